// The serial device on Linux: termios2 for the line settings (any integer
// rate), the modem-line ioctls, epoll for the comm events and the driver's
// counters for the error bits.
#include <asm/termbits.h>  // termios2; must not meet <termios.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <mutex>
#include <shared_mutex>

#include "runtime/Events.h"
#include "serial/CommDevice.h"
#include "serial/CommLines.h"
#include "serial/PortMap.h"

int CommDeviceCalls::Ioctl(int fd, unsigned long request, void* arg) {
  return ::ioctl(fd, request, arg);
}

int CommDeviceCalls::Close(int fd) {
  return ::close(fd);
}

bool CommDeviceGone(int code) {
  return code == EIO || code == ENXIO || code == ENODEV;
}

bool LineRateAccepted(std::uint32_t requested, std::uint32_t applied) {
  const std::uint64_t off = requested > applied ? requested - applied : applied - requested;
  return off * 100 <= std::uint64_t{requested} * 3;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
// How often line states and a draining output queue are looked at while
// someone waits for them: the tty layer's waits for either (TIOCMIWAIT, a
// blocking drain) cannot join the epoll set the monitor waits on.
constexpr int kLinePollMs = 10;
constexpr int kDrainPollMs = 5;
// The line discipline's input buffer; fuller queues stay in the driver.
constexpr std::uint32_t kLineDisciplineBuffer = 4096;

// A device without modem control (a pseudo-terminal) refuses the line calls
// with one of these; it is a line whose outputs cannot be switched.
bool NoModemControl(int err) {
  return err == ENOTTY || err == EINVAL;
}

void* ValueArg(int value) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(value));
}

// The output rate a line reports; drivers that pick a standard rate may set
// only its code (B0-B38400, then B57600-B4000000 after CBAUDEX).
std::uint32_t ReportedRate(const termios2& t) {
  static const std::uint32_t kRates[] = {
      0,      50,      75,      110,     134,     150,     200,     300,     600,    1200,   1800,
      2400,   4800,    9600,    19200,   38400,   57600,   115200,  230400,  460800, 500000, 576000,
      921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
  const tcflag_t code = t.c_cflag & CBAUD;
  if (code == BOTHER) return t.c_ospeed;
  const tcflag_t index = code & CBAUDEX ? (code & ~CBAUDEX) + 15 : code;
  return index < std::size(kRates) ? kRates[index] : t.c_ospeed;
}

class LinuxCommDevice final : public CommDevice {
 public:
  LinuxCommDevice(int fd, std::shared_ptr<CommDeviceCalls> calls)
      : calls_(std::move(calls)), fd_(fd) {}
  ~LinuxCommDevice() override { Close(); }

  // Sets up raw mode and the event machinery; errno on failure.
  bool Init();

  bool SetCommState(const CommDcb& dcb) override;
  bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommTimeouts(const CommTimeouts& timeouts) override;
  bool SetCommMask(std::uint32_t mask) override;
  CommWait WaitCommEvent(std::uint32_t& mask, TWaitable wakeFd) override;
  long Read(void* buffer, std::size_t count) override;
  long Write(const void* buffer, std::size_t count) override;
  CommWait WaitWritable(TWaitable wakeFd, std::uint32_t ms) override;
  bool ClearCommError(std::uint32_t& errors, CommStat& stat) override;
  bool EscapeCommFunction(std::uint32_t function) override;
  bool GetCommModemStatus(std::uint32_t& status) override;
  void Close() override;

 private:
  bool Ioctl(unsigned long request, void* arg) const {
    for (;;) {
      if (calls_->Ioctl(fd_, request, arg) == 0) return true;
      if (errno != EINTR) return false;
    }
  }
  // TIOCMBIS / TIOCMBIC of one line; a line that cannot be switched is fine.
  bool SwitchLine(bool on, int line);
  // Reads the error counters; false with errno on failure, and false with
  // errno 0 when the device keeps none.
  bool ReadCounters(serial_icounter_struct& counters);
  std::uint32_t ModemBits(int lines) const;
  // The input lines as modem status bits, from a read less than TModemLines::kFresh
  // old when there is one; a device without modem lines reads 0.
  bool ReadLines(std::uint32_t& bits);
  // Whether the monitor looks for line changes at all.
  bool LinesWatched() const { return has_counters_.load() == 1 || !lines_.NoModemControl(); }
  // Comm events found when the monitor looks at the device.
  std::uint32_t CollectEvents(std::uint32_t mask, bool rxEdge);

  // Shared by every call; Close takes it exclusively, so the descriptor is
  // never closed (and its number reused) under a call in progress.
  mutable std::shared_mutex lock_;
  std::shared_ptr<CommDeviceCalls> calls_;
  int fd_;
  int epoll_fd_ = -1;
  int tx_kick_fd_ = -1;
  int epoll_wake_fd_ = -1;  // the monitor's wake descriptor, once in the epoll set
  std::atomic<std::uint32_t> mask_{0};
  std::atomic<std::uint32_t> rx80_threshold_{kLineDisciplineBuffer * 8 / 10};
  std::atomic<int> has_counters_{-1};  // -1 unknown, 0 no, 1 yes
  bool rs485_enabled_ = false;

  TModemLines lines_;

  // Event monitor's state (one waiting thread at a time).
  bool hung_up_ = false;
  bool rx_waiting_ = false;            // a report had received bytes in it, and
  Clock::time_point rx_recheck_at_{};  // when to look whether they still wait
  bool lines_known_ = false;
  std::uint32_t last_lines_ = 0;
  bool event_counters_known_ = false;
  serial_icounter_struct event_counters_{};
  bool rx80_reported_ = false;
  bool tx_pending_ = false;

  // ClearCommError's own baseline: reading the statistics clears the bits
  // without hiding them from the monitor, and the other way round.
  std::mutex stat_lock_;
  bool stat_counters_known_ = false;
  serial_icounter_struct stat_counters_{};
};

bool LinuxCommDevice::Init() {
  termios2 t{};
  if (!Ioctl(TCGETS2, &t)) return false;
  // A serial line carries bytes: no echo, no line editing, no translation,
  // no signals, no byte swallowed or changed on its way in (software flow
  // control and parity checks only when the control block asks for them),
  // and modem status never hangs the line up. Without the block the tty
  // would keep whatever an earlier user left, IXON of a fresh tty included.
  t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                 IUCLC | IXON | IXANY | IXOFF | IMAXBEL | IUTF8);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | ECHOCTL | ECHOKE);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (!Ioctl(TCSETS2, &t)) return false;

  // The error counters count from here: errors in the very first bytes
  // received after the open are reported too.
  serial_icounter_struct start{};
  if (ReadCounters(start)) {
    event_counters_ = stat_counters_ = start;
    event_counters_known_ = stat_counters_known_ = true;
  }

  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) return false;
  // Edge-triggered: a report means new bytes arrived, so bytes the owner
  // leaves unread do not wake the monitor again.
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.fd = fd_;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd_, &ev) != 0) return false;
  tx_kick_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (tx_kick_fd_ < 0) return false;
  ev.events = EPOLLIN;
  ev.data.fd = tx_kick_fd_;
  return ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, tx_kick_fd_, &ev) == 0;
}

void LinuxCommDevice::Close() {
  std::unique_lock guard(lock_);
  if (fd_ < 0) return;
  // Unsent bytes are dropped anyway; left queued, they would hold the last
  // close of the tty in the kernel's closing wait (up to 30 s on a line
  // that has stopped taking data).
  calls_->Ioctl(fd_, TCFLSH, ValueArg(TCOFLUSH));
  // Root ignores the exclusive mark; others would find the line busy after us.
  calls_->Ioctl(fd_, TIOCNXCL, nullptr);
  calls_->Close(fd_);
  fd_ = -1;
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  if (tx_kick_fd_ >= 0) ::close(tx_kick_fd_);
  epoll_fd_ = tx_kick_fd_ = -1;
}

bool LinuxCommDevice::SwitchLine(bool on, int line) {
  if (Ioctl(on ? TIOCMBIS : TIOCMBIC, &line)) return true;
  return NoModemControl(errno);
}

bool LinuxCommDevice::SetCommState(const CommDcb& dcb) {
  std::shared_lock guard(lock_);
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  // What termios cannot express is refused rather than silently dropped.
  const bool xonxoff = dcb.fOutX || dcb.fInX;
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
      (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS) || dcb.fOutxDsrFlow ||
      dcb.fDsrSensitivity || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fDtrControl > 2 ||
      dcb.fErrorChar || dcb.fNull || dcb.fAbortOnError ||
      (xonxoff && dcb.XonChar == dcb.XoffChar)) {
    errno = EINVAL;
    return false;
  }
  termios2 t{};
  if (!Ioctl(TCGETS2, &t)) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
  t.c_ospeed = t.c_ispeed = dcb.BaudRate;
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case ODDPARITY:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (dcb.StopBits == TWOSTOPBITS) t.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(IXON | IXOFF | INPCK | IGNPAR);
  if (dcb.fOutX) t.c_iflag |= IXON;
  if (dcb.fInX) t.c_iflag |= IXOFF;
  if (dcb.fParity) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  if (!Ioctl(TCSETS2, &t)) return false;
  // The call succeeds whatever rate the driver settles on: a built-in UART
  // keeps or clamps a rate beyond its clock, some USB drivers restore the
  // old settings. A line at another rate only talks garbage.
  termios2 applied{};
  if (!Ioctl(TCGETS2, &applied)) return false;
  if (!LineRateAccepted(dcb.BaudRate, ReportedRate(applied))) {
    errno = EINVAL;
    return false;
  }

  if (dcb.fRtsControl == RTS_CONTROL_TOGGLE || rs485_enabled_) {
    // RTS raised only while sending: the driver's RS-485 mode.
    serial_rs485 rs{};
    if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
      rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    }
    if (!Ioctl(TIOCSRS485, &rs)) return false;
    rs485_enabled_ = dcb.fRtsControl == RTS_CONTROL_TOGGLE;
  }
  if (!SwitchLine(dcb.fDtrControl == DTR_CONTROL_ENABLE, TIOCM_DTR)) return false;
  if (dcb.fRtsControl == RTS_CONTROL_DISABLE || dcb.fRtsControl == RTS_CONTROL_ENABLE) {
    if (!SwitchLine(dcb.fRtsControl == RTS_CONTROL_ENABLE, TIOCM_RTS)) return false;
  }
  return true;
}

bool LinuxCommDevice::SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) {
  std::shared_lock guard(lock_);
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  // The tty layer sizes its own queues; the requested input size still
  // tells when the input queue counts as 80% full.
  const std::uint32_t size =
      inQueue == 0 || inQueue > kLineDisciplineBuffer ? kLineDisciplineBuffer : inQueue;
  rx80_threshold_.store(size * 8 / 10 == 0 ? 1 : size * 8 / 10);
  return true;
}

bool LinuxCommDevice::SetCommTimeouts(const CommTimeouts& timeouts) {
  std::shared_lock guard(lock_);
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  // The descriptor is non-blocking: reads return at once with what has
  // arrived, which is the only regime the component asks for.
  const bool immediate = timeouts.ReadIntervalTimeout == MAXDWORD &&
                         timeouts.ReadTotalTimeoutMultiplier == 0 &&
                         timeouts.ReadTotalTimeoutConstant == 0;
  if (!immediate) {
    errno = EINVAL;
    return false;
  }
  return true;
}

bool LinuxCommDevice::SetCommMask(std::uint32_t mask) {
  std::shared_lock guard(lock_);
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  mask_.store(mask);
  return true;
}

bool LinuxCommDevice::ReadCounters(serial_icounter_struct& counters) {
  if (has_counters_.load() == 0) {
    errno = 0;
    return false;
  }
  if (Ioctl(TIOCGICOUNT, &counters)) {
    has_counters_.store(1);
    return true;
  }
  if (NoModemControl(errno)) {
    has_counters_.store(0);
    errno = 0;
  }
  return false;
}

std::uint32_t LinuxCommDevice::ModemBits(int lines) const {
  std::uint32_t bits = 0;
  if (lines & TIOCM_CTS) bits |= MS_CTS_ON;
  if (lines & TIOCM_DSR) bits |= MS_DSR_ON;
  if (lines & TIOCM_RNG) bits |= MS_RING_ON;
  if (lines & TIOCM_CAR) bits |= MS_RLSD_ON;
  return bits;
}

bool LinuxCommDevice::ReadLines(std::uint32_t& bits) {
  return lines_.Read(bits, [this](std::uint32_t& now) {
    int lines = 0;
    if (!Ioctl(TIOCMGET, &lines)) {
      return NoModemControl(errno) ? TModemLines::Look::NoModemControl : TModemLines::Look::Failed;
    }
    now = ModemBits(lines);
    return TModemLines::Look::Read;
  });
}

// EV_RXFLAG, EV_PERR, EV_EVENT1 and EV_EVENT2 never come from here: a tty
// lets nobody look at received bytes before they are read, and has no
// printer or provider events.
std::uint32_t LinuxCommDevice::CollectEvents(std::uint32_t mask, bool rxEdge) {
  std::uint32_t events = 0;
  // New bytes arrived. Should the owner have read them already, its count
  // finds 0 and nothing is raised; counting here would cost every batch.
  if (rxEdge) events |= EV_RXCHAR;
  if (rxEdge && (mask & EV_RX80FULL)) {
    int waiting = 0;
    if (Ioctl(FIONREAD, &waiting)) {
      const bool full = static_cast<std::uint32_t>(waiting) >= rx80_threshold_.load();
      if (full && !rx80_reported_) events |= EV_RX80FULL;
      rx80_reported_ = full;
    }
  }
  const bool watchLines = (mask & kLineEvents) && LinesWatched();
  bool counted = false;
  if ((mask & (EV_ERR | EV_BREAK)) || watchLines) {
    serial_icounter_struct now{};
    counted = ReadCounters(now);
    if (counted) {
      if (event_counters_known_) {
        const auto& was = event_counters_;
        if (now.frame != was.frame || now.overrun != was.overrun || now.parity != was.parity ||
            now.buf_overrun != was.buf_overrun) {
          events |= EV_ERR;
        }
        if (now.brk != was.brk) events |= EV_BREAK;
        // The driver counts every change of an input line, so a change is
        // seen without asking for the lines (a transfer on USB adapters),
        // a pulse between two polls included.
        if (now.cts != was.cts) events |= EV_CTS;
        if (now.dsr != was.dsr) events |= EV_DSR;
        if (now.rng != was.rng) events |= EV_RING;
        if (now.dcd != was.dcd) events |= EV_RLSD;
        if (events & kLineEvents) {
          // The handler of the change reads the new state, not a cached one.
          lines_.Forget();
        }
      }
      event_counters_ = now;
      event_counters_known_ = true;
    }
  }
  if (watchLines && !counted && has_counters_.load() == 0) {
    std::uint32_t bits = 0;
    if (ReadLines(bits) && !lines_.NoModemControl()) {
      if (lines_known_) {
        const std::uint32_t changed = bits ^ last_lines_;
        if (changed & MS_CTS_ON) events |= EV_CTS;
        if (changed & MS_DSR_ON) events |= EV_DSR;
        if (changed & MS_RING_ON) events |= EV_RING;
        if (changed & MS_RLSD_ON) events |= EV_RLSD;
      }
      last_lines_ = bits;
      lines_known_ = true;
    }
  }
  if (tx_pending_) {
    int queued = 0;
    if (!Ioctl(TIOCOUTQ, &queued) || queued == 0) {
      tx_pending_ = false;
      events |= EV_TXEMPTY;
    }
  }
  return events & mask;
}

CommWait LinuxCommDevice::WaitCommEvent(std::uint32_t& mask, TWaitable wake) {
  const int wakeFd = static_cast<int>(wake);
  std::shared_lock guard(lock_);
  if (fd_ < 0) {
    errno = EBADF;
    return CommWait::Failed;
  }
  // The wake descriptor joins the epoll set, so one call waits for all.
  if (wakeFd != epoll_wake_fd_) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wakeFd, &ev) != 0 && errno != EEXIST) {
      return CommWait::Failed;
    }
    epoll_wake_fd_ = wakeFd;
  }
  for (;;) {
    const std::uint32_t wanted = mask_.load();
    int timeout = -1;
    if (!hung_up_) {
      if ((wanted & kLineEvents) && LinesWatched()) timeout = kLinePollMs;
      if (tx_pending_) timeout = kDrainPollMs;
      if (rx_waiting_) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(rx_recheck_at_ - Clock::now()).count();
        const int until = left < 0 ? 0 : static_cast<int>(left);
        if (timeout < 0 || until < timeout) timeout = until;
      }
    }
    epoll_event ready[3];
    const int n = ::epoll_wait(epoll_fd_, ready, 3, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      return CommWait::Failed;
    }
    bool rxEdge = false;
    for (int i = 0; i < n; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == wakeFd) return CommWait::Woken;
      if (fd == tx_kick_fd_) {
        std::uint64_t value;
        [[maybe_unused]] ssize_t r = ::read(tx_kick_fd_, &value, sizeof value);
        tx_pending_ = (wanted & EV_TXEMPTY) != 0;
      } else if (ready[i].events & (EPOLLHUP | EPOLLERR)) {
        // Adapter pulled or the other end gone: report it once, then wait
        // only for the owner to stop us. A hung-up descriptor would report
        // readiness forever, so it leaves the set.
        hung_up_ = true;
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd_, nullptr);
        if (wanted & EV_ERR) {
          mask = EV_ERR;
          return CommWait::Events;
        }
      } else if (ready[i].events & EPOLLIN) {
        rxEdge = true;
      }
    }
    if (hung_up_) continue;
    // Bytes a report left unread are reported again a line poll later:
    // should they fill the input queue, the line is throttled and no new
    // byte, so no new report, would ever come.
    bool rxAgain = false;
    if (rx_waiting_ && !rxEdge && Clock::now() >= rx_recheck_at_) {
      int waiting = 0;
      rx_waiting_ = rxAgain = Ioctl(FIONREAD, &waiting) && waiting > 0;
    }
    const std::uint32_t events = CollectEvents(wanted, rxEdge || rxAgain);
    if (events != 0) {
      if (events & EV_RXCHAR) {
        rx_waiting_ = true;
        rx_recheck_at_ = Clock::now() + std::chrono::milliseconds(kLinePollMs);
      }
      mask = events;
      return CommWait::Events;
    }
  }
}

long LinuxCommDevice::Read(void* buffer, std::size_t count) {
  std::shared_lock guard(lock_);
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, count);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN) return 0;
    if (errno != EINTR) return -1;
  }
}

long LinuxCommDevice::Write(const void* buffer, std::size_t count) {
  std::shared_lock guard(lock_);
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    const ssize_t n = ::write(fd_, buffer, count);
    if (n >= 0) {
      if (n > 0 && (mask_.load() & EV_TXEMPTY)) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t r = ::write(tx_kick_fd_, &one, sizeof one);
      }
      return static_cast<long>(n);
    }
    if (errno == EAGAIN) return 0;
    if (errno != EINTR) return -1;
  }
}

CommWait LinuxCommDevice::WaitWritable(TWaitable wake, std::uint32_t ms) {
  const int wakeFd = static_cast<int>(wake);
  std::shared_lock guard(lock_);
  if (fd_ < 0) {
    errno = EBADF;
    return CommWait::Failed;
  }
  pollfd fds[2] = {{fd_, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
  const nfds_t count = wakeFd >= 0 ? 2 : 1;
  for (;;) {
    const int n = ::poll(fds, count, PollTimeout(ms));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return CommWait::Failed;
    if (n == 0) return CommWait::Timeout;
    if (count == 2 && fds[1].revents) return CommWait::Woken;
    // Hang-up and errors count as ready: the next write reports them.
    return CommWait::Events;
  }
}

bool LinuxCommDevice::ClearCommError(std::uint32_t& errors, CommStat& stat) {
  std::shared_lock guard(lock_);
  errors = 0;
  std::memset(&stat, 0, sizeof stat);
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  int in = 0, out = 0;
  if (!Ioctl(FIONREAD, &in) || !Ioctl(TIOCOUTQ, &out)) return false;
  stat.cbInQue = static_cast<std::uint32_t>(in);
  stat.cbOutQue = static_cast<std::uint32_t>(out);
  serial_icounter_struct now{};
  if (ReadCounters(now)) {
    std::lock_guard stat_guard(stat_lock_);
    if (stat_counters_known_) {
      const auto& was = stat_counters_;
      if (now.buf_overrun != was.buf_overrun) errors |= CE_RXOVER;
      if (now.overrun != was.overrun) errors |= CE_OVERRUN;
      if (now.parity != was.parity) errors |= CE_RXPARITY;
      if (now.frame != was.frame) errors |= CE_FRAME;
      if (now.brk != was.brk) errors |= CE_BREAK;
    }
    stat_counters_ = now;
    stat_counters_known_ = true;
  } else if (errno != 0) {
    return false;
  }
  return true;
}

bool LinuxCommDevice::EscapeCommFunction(std::uint32_t function) {
  std::shared_lock guard(lock_);
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  switch (function) {
    case SETRTS:
      return SwitchLine(true, TIOCM_RTS);
    case CLRRTS:
      return SwitchLine(false, TIOCM_RTS);
    case SETDTR:
      return SwitchLine(true, TIOCM_DTR);
    case CLRDTR:
      return SwitchLine(false, TIOCM_DTR);
    case SETBREAK:
      return Ioctl(TIOCSBRK, nullptr) || NoModemControl(errno);
    case CLRBREAK:
      return Ioctl(TIOCCBRK, nullptr) || NoModemControl(errno);
    case SETXOFF:
      return Ioctl(TCXONC, ValueArg(TCOOFF));
    case SETXON:
      return Ioctl(TCXONC, ValueArg(TCOON));
    default:
      errno = EINVAL;
      return false;
  }
}

bool LinuxCommDevice::GetCommModemStatus(std::uint32_t& status) {
  std::shared_lock guard(lock_);
  status = 0;
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  return ReadLines(status);
}

}  // namespace

std::shared_ptr<CommDevice> OpenCommDevice(const std::string& path,
                                           std::shared_ptr<CommDeviceCalls> calls) {
  if (!calls) calls = std::make_shared<CommDeviceCalls>();
  const std::string resolved = ResolveCommPath(path);
  if (resolved.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  const int fd = ::open(resolved.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Exclusive use: TIOCEXCL stops other opens (except root's), the lock stops
  // every program that takes it, root or not.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    errno = err;
    return nullptr;
  }
  calls->Ioctl(fd, TIOCEXCL, nullptr);
  return InitialisedDevice(std::make_shared<LinuxCommDevice>(fd, std::move(calls)));
}
