// The serial device on Windows: the Win32 comm calls on a handle opened for
// overlapped I/O. The device control block and the statistics records are
// the system's own, so they pass through unchanged.
//
// clang-format off
// The seam's constants share their names with the system's macros: its
// header must be read before the system's.
#include "serial/CommDevice.h"
#include "serial/CommLines.h"
#include <windows.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

static_assert(sizeof(DCB) == sizeof(CommDcb), "the block is handed to SetCommState as it is");
static_assert(offsetof(DCB, XonLim) == offsetof(CommDcb, XonLim));
static_assert(offsetof(DCB, EvtChar) == offsetof(CommDcb, EvtChar));
static_assert(sizeof(COMSTAT) == sizeof(CommStat));
static_assert(offsetof(COMSTAT, cbInQue) == offsetof(CommStat, cbInQue));
static_assert(sizeof(COMMTIMEOUTS) == sizeof(CommTimeouts));

// What the serial drivers answer once their adapter is unplugged: usbser
// and most vendors' drivers fail every call with ERROR_BAD_COMMAND or
// ERROR_GEN_FAILURE, some with ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED
// or ERROR_DEVICE_REMOVED; a handle to a device that is no more gives
// ERROR_NO_SUCH_DEVICE or ERROR_FILE_NOT_FOUND.
bool CommDeviceGone(int code) {
  constexpr int kNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, not in every SDK's headers
  if (code == kNoSuchDevice) return true;
  switch (code) {
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_ACCESS_DENIED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND:
      return true;
    default:
      return false;
  }
}

bool LineRateAccepted(std::uint32_t requested, std::uint32_t applied) {
  const std::uint64_t off = requested > applied ? requested - applied : applied - requested;
  return off * 100 <= std::uint64_t{requested} * 3;
}

// No descriptor calls on this system; the class exists for the factory's
// signature only.
int CommDeviceCalls::Ioctl(int, unsigned long, void*) {
  errno = ERROR_NOT_SUPPORTED;
  return -1;
}

int CommDeviceCalls::Close(int) {
  return 0;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
// Bytes a report left unread are reported again this much later.
constexpr auto kRxRecheck = std::chrono::milliseconds(10);
// How often a device whose own event wait does not work is looked at, when
// a pending read cannot tell of received bytes, or for line changes.
constexpr DWORD kPollMs = 5;
// How long Close waits for a cancelled transfer to end.
constexpr DWORD kCancelWaitMs = 1000;
constexpr std::uint32_t kDefaultQueue = 4096;

void SetErrno(DWORD code) {
  errno = static_cast<int>(code);
}

bool Failed() {
  SetErrno(::GetLastError());
  return false;
}

// A line without modem control (a virtual port) refuses the line functions
// with this; it is a line whose outputs cannot be switched.
bool NoModemControl(DWORD err) {
  return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION;
}

HANDLE AsHandle(TWaitable w) {
  return reinterpret_cast<HANDLE>(w);
}

// COMn (any case) names a port in the device namespace, where COM10 and
// above are found too; anything else is a path given in full.
std::string DevicePath(const std::string& name) {
  if (name.size() < 4) return name;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return name;
  }
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return name;
  }
  return "\\\\.\\" + name;
}

class Win32CommDevice final : public CommDevice {
 public:
  explicit Win32CommDevice(HANDLE handle) : handle_(handle) {}
  ~Win32CommDevice() override;

  // Creates the completion events; errno on failure.
  bool Init();

  bool SetCommState(const CommDcb& dcb) override;
  bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommTimeouts(const CommTimeouts& timeouts) override;
  bool SetCommMask(std::uint32_t mask) override;
  CommWait WaitCommEvent(std::uint32_t& mask, TWaitable wake) override;
  long Read(void* buffer, std::size_t count) override;
  long Write(const void* buffer, std::size_t count) override;
  CommWait WaitWritable(TWaitable wake, std::uint32_t ms) override;
  bool ClearCommError(std::uint32_t& errors, CommStat& stat) override;
  bool EscapeCommFunction(std::uint32_t function) override;
  bool GetCommModemStatus(std::uint32_t& status) override;
  void Close() override;

 private:
  bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Starts a write of the staged bytes from staged_off_; write_lock_ held.
  bool StartWrite();
  // Looks at a started write: false with errno when it failed, true
  // otherwise (write_pending_ tells whether it still runs). A short write
  // goes on with the rest. write_lock_ held.
  bool ReapWrite(bool wait);
  // The system's statistics with the error bits kept for the owner.
  bool ReadStat(DWORD& errors, COMSTAT& stat);
  bool ReadLines(std::uint32_t& bits);
  // Events found by looking at the device, for a device whose own event
  // wait does not work.
  std::uint32_t PollEvents(std::uint32_t wanted);
  // The system's wait ended without events: tells a device that cannot
  // wait from one that has gone away. Returns the events to report.
  std::uint32_t SystemWaitEnded(std::uint32_t wanted);
  // Ends a transfer on its record before the record may go.
  void EndTransfer(OVERLAPPED& ov);
  // Starts the one-byte read that ends when a byte arrives; true when it
  // ended at once. probe_lock_ held.
  bool StartProbe();
  // Takes the result of the ended probe; probe_lock_ held.
  void ReapProbe(bool wait);
  // The byte the probe took, counted as waiting.
  DWORD HeldCount();

  // Shared by every call; Close takes it exclusively, so the handle is never
  // closed under a call in progress.
  mutable std::shared_mutex lock_;
  HANDLE handle_;
  std::atomic<std::uint32_t> mask_{0};
  std::atomic<std::uint32_t> out_queue_{kDefaultQueue};
  std::atomic<std::uint32_t> rx80_threshold_{kDefaultQueue * 8 / 10};

  std::mutex read_lock_;
  HANDLE read_event_ = nullptr;

  std::mutex write_lock_;
  HANDLE write_event_ = nullptr;
  OVERLAPPED write_ov_{};
  bool write_pending_ = false;
  DWORD write_error_ = 0;  // of a write that failed after it was taken
  std::vector<std::uint8_t> staged_;
  std::size_t staged_len_ = 0;
  std::size_t staged_off_ = 0;
  std::atomic<bool> tx_pending_{false};  // output went out since the last EV_TXEMPTY

  // Event monitor's state (one waiting thread at a time). The system's wait
  // may stay outstanding from one call to the next; Close ends it.
  HANDLE wait_event_ = nullptr;
  OVERLAPPED wait_ov_{};
  DWORD wait_events_ = 0;
  bool wait_pending_ = false;
  bool poll_mode_ = false;
  bool hung_up_ = false;
  bool rx_waiting_ = false;
  Clock::time_point rx_recheck_at_{};
  bool rx80_reported_ = false;
  bool lines_known_ = false;
  std::uint32_t last_lines_ = 0;

  // Error bits the monitor's looks took from the system, kept for the
  // owner's next statistics read; and the input count the monitor last saw,
  // less what was read since.
  std::mutex stat_lock_;
  DWORD kept_errors_ = 0;
  DWORD rx_seen_ = 0;

  // On a device whose event wait does not work, a one-byte read kept
  // pending tells of received bytes without looking again and again; the
  // byte it takes is the next one Read returns. A device that ends such a
  // read at once with nothing is looked at every kPollMs instead.
  std::mutex probe_lock_;
  HANDLE probe_event_ = nullptr;
  OVERLAPPED probe_ov_{};
  std::uint8_t probe_byte_ = 0;
  bool probe_pending_ = false;
  bool held_ = false;
  std::uint8_t held_byte_ = 0;
  std::atomic<bool> probe_works_{true};

  TModemLines lines_;
};

Win32CommDevice::~Win32CommDevice() {
  Close();
  for (HANDLE e : {read_event_, write_event_, wait_event_, probe_event_}) {
    if (e) ::CloseHandle(e);
  }
}

bool Win32CommDevice::Init() {
  for (HANDLE* e : {&read_event_, &write_event_, &wait_event_, &probe_event_}) {
    *e = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!*e) return Failed();
  }
  write_ov_.hEvent = write_event_;
  wait_ov_.hEvent = wait_event_;
  return true;
}

void Win32CommDevice::EndTransfer(OVERLAPPED& ov) {
  ::CancelIoEx(handle_, &ov);
  if (::WaitForSingleObject(ov.hEvent, kCancelWaitMs) == WAIT_OBJECT_0) {
    DWORD n = 0;
    ::GetOverlappedResult(handle_, &ov, &n, FALSE);
  }
}

void Win32CommDevice::Close() {
  std::unique_lock guard(lock_);
  if (!Open()) return;
  if (wait_pending_) {
    // A new mask ends an outstanding wait; the cancel is for drivers that
    // do not.
    ::SetCommMask(handle_, 0);
    EndTransfer(wait_ov_);
  }
  {
    std::lock_guard write_guard(write_lock_);
    if (write_pending_) EndTransfer(write_ov_);
  }
  {
    std::lock_guard probe_guard(probe_lock_);
    if (probe_pending_) EndTransfer(probe_ov_);
  }
  ::PurgeComm(handle_, PURGE_TXCLEAR | PURGE_TXABORT);
  ::CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  // Closing the handle ends whatever the cancels left; their records live
  // on in this object until it goes.
  if (wait_pending_) ::WaitForSingleObject(wait_event_, kCancelWaitMs);
  if (write_pending_) ::WaitForSingleObject(write_event_, kCancelWaitMs);
  if (probe_pending_) ::WaitForSingleObject(probe_event_, kCancelWaitMs);
  wait_pending_ = write_pending_ = probe_pending_ = false;
}

bool Win32CommDevice::SetCommState(const CommDcb& dcb) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  DCB block;
  std::memcpy(&block, &dcb, sizeof block);
  if (!::SetCommState(handle_, &block)) return Failed();
  // A driver may settle on another rate than the one asked for and still
  // succeed; a line at another rate only talks garbage.
  DCB applied{};
  applied.DCBlength = sizeof applied;
  if (!::GetCommState(handle_, &applied)) return Failed();
  if (!LineRateAccepted(dcb.BaudRate, applied.BaudRate)) {
    SetErrno(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

bool Win32CommDevice::SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!::SetupComm(handle_, inQueue, outQueue)) return Failed();
  const std::uint32_t in = inQueue == 0 ? kDefaultQueue : inQueue;
  rx80_threshold_.store(std::max<std::uint32_t>(in * 8 / 10, 1));
  // What one write takes: the output queue asked for.
  out_queue_.store(outQueue == 0 ? kDefaultQueue : outQueue);
  return true;
}

bool Win32CommDevice::SetCommTimeouts(const CommTimeouts& timeouts) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  COMMTIMEOUTS t;
  std::memcpy(&t, &timeouts, sizeof t);
  return ::SetCommTimeouts(handle_, &t) || Failed();
}

bool Win32CommDevice::SetCommMask(std::uint32_t mask) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  mask_.store(mask);
  return ::SetCommMask(handle_, mask) || Failed();
}

bool Win32CommDevice::ReadStat(DWORD& errors, COMSTAT& stat) {
  errors = 0;
  std::memset(&stat, 0, sizeof stat);
  if (!::ClearCommError(handle_, &errors, &stat)) return Failed();
  return true;
}

bool Win32CommDevice::ReadLines(std::uint32_t& bits) {
  return lines_.Read(bits, [this](std::uint32_t& now) {
    DWORD status = 0;
    if (!::GetCommModemStatus(handle_, &status)) {
      const DWORD err = ::GetLastError();
      if (NoModemControl(err)) return TModemLines::Look::NoModemControl;
      SetErrno(err);
      return TModemLines::Look::Failed;
    }
    now = status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return TModemLines::Look::Read;
  });
}

std::uint32_t Win32CommDevice::PollEvents(std::uint32_t wanted) {
  DWORD errors = 0;
  COMSTAT stat;
  if (!ReadStat(errors, stat)) {
    hung_up_ = true;
    return wanted & EV_ERR;
  }
  std::uint32_t events = 0;
  const DWORD in = stat.cbInQue + HeldCount();
  {
    std::lock_guard guard(stat_lock_);
    kept_errors_ |= errors;
    if (in > rx_seen_) events |= EV_RXCHAR;
    rx_seen_ = in;
  }
  if (errors & (CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME)) events |= EV_ERR;
  if (errors & CE_BREAK) events |= EV_BREAK;
  const bool full = in >= rx80_threshold_.load();
  if (full && !rx80_reported_) events |= EV_RX80FULL;
  rx80_reported_ = full;
  if ((wanted & kLineEvents) && !lines_.NoModemControl()) {
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
  if (tx_pending_.load() && stat.cbOutQue == 0) {
    std::lock_guard guard(write_lock_);
    if (!write_pending_) {
      tx_pending_.store(false);
      events |= EV_TXEMPTY;
    }
  }
  return events & wanted;
}

std::uint32_t Win32CommDevice::SystemWaitEnded(std::uint32_t wanted) {
  DWORD errors = 0;
  COMSTAT stat;
  if (!ReadStat(errors, stat)) {
    // Adapter pulled: report it once, then wait only for the owner to stop us.
    hung_up_ = true;
    return wanted & EV_ERR;
  }
  {
    std::lock_guard guard(stat_lock_);
    kept_errors_ |= errors;
  }
  // The device is there but its own wait does not work (some emulated
  // ports end every wait at once): look at it regularly instead.
  poll_mode_ = true;
  return 0;
}

DWORD Win32CommDevice::HeldCount() {
  std::lock_guard guard(probe_lock_);
  return held_ ? 1 : 0;
}

bool Win32CommDevice::StartProbe() {
  ::ResetEvent(probe_event_);
  probe_ov_ = OVERLAPPED{};
  probe_ov_.hEvent = probe_event_;
  DWORD n = 0;
  if (!::ReadFile(handle_, &probe_byte_, 1, &n, &probe_ov_)) {
    if (::GetLastError() == ERROR_IO_PENDING) {
      probe_pending_ = true;
      return false;
    }
    probe_works_.store(false);  // what fails here, the next look reports
    return true;
  }
  probe_pending_ = true;
  ReapProbe(false);
  return true;
}

void Win32CommDevice::ReapProbe(bool wait) {
  if (!probe_pending_) return;
  DWORD n = 0;
  if (!::GetOverlappedResult(handle_, &probe_ov_, &n, wait)) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_IO_INCOMPLETE) return;
    if (err != ERROR_OPERATION_ABORTED) probe_works_.store(false);
  } else if (n == 1) {
    held_ = true;
    held_byte_ = probe_byte_;
  } else if (!wait) {
    probe_works_.store(false);  // the read does not wait for bytes here
  }
  probe_pending_ = false;
}

CommWait Win32CommDevice::WaitCommEvent(std::uint32_t& mask, TWaitable wake) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return CommWait::Failed;
  }
  const HANDLE wakeHandle = AsHandle(wake);
  for (;;) {
    const std::uint32_t wanted = mask_.load();
    std::uint32_t events = 0;
    if (!hung_up_ && !poll_mode_ && !wait_pending_) {
      wait_events_ = 0;
      ::ResetEvent(wait_event_);
      if (::WaitCommEvent(handle_, &wait_events_, &wait_ov_)) {
        events = wait_events_ == 0 ? SystemWaitEnded(wanted) : wait_events_ & wanted;
      } else if (::GetLastError() == ERROR_IO_PENDING) {
        wait_pending_ = true;
      } else {
        events = SystemWaitEnded(wanted);
      }
    }
    bool look = false;  // the probe has ended: no need to wait
    bool probing = false;
    if (poll_mode_ && !hung_up_ && probe_works_.load()) {
      std::lock_guard probe_guard(probe_lock_);
      if (!probe_pending_ && !held_) look = StartProbe();
      probing = probe_pending_;
    }
    if (events == 0 && !look) {
      DWORD timeout = INFINITE;
      if (!hung_up_) {
        const bool linesWatched = (wanted & kLineEvents) && !lines_.NoModemControl();
        if (poll_mode_ && (!probing || linesWatched || tx_pending_.load())) timeout = kPollMs;
        if (rx_waiting_) {
          const auto left =
              std::chrono::ceil<std::chrono::milliseconds>(rx_recheck_at_ - Clock::now()).count();
          const DWORD until = left < 0 ? 0 : static_cast<DWORD>(left);
          timeout = std::min(timeout, until);
        }
      }
      HANDLE handles[3] = {wakeHandle};
      DWORD count = 1;
      const DWORD waitIndex = wait_pending_ ? count : MAXDWORD;
      if (wait_pending_) handles[count++] = wait_event_;
      const DWORD probeIndex = probing ? count : MAXDWORD;
      if (probing) handles[count++] = probe_event_;
      const DWORD r = ::WaitForMultipleObjects(count, handles, FALSE, timeout);
      if (r == WAIT_OBJECT_0) return CommWait::Woken;
      if (r == WAIT_FAILED) {
        Failed();
        return CommWait::Failed;
      }
      if (r == WAIT_OBJECT_0 + probeIndex) {
        std::lock_guard probe_guard(probe_lock_);
        ReapProbe(false);  // unless a read has taken it meanwhile
      }
      if (r == WAIT_OBJECT_0 + waitIndex) {
        wait_pending_ = false;
        DWORD n = 0;
        const bool ok = ::GetOverlappedResult(handle_, &wait_ov_, &n, FALSE);
        events = ok && wait_events_ != 0 ? wait_events_ & wanted : SystemWaitEnded(wanted);
      }
      if (hung_up_ && events == 0) continue;
    }
    if (poll_mode_ && !hung_up_) events |= PollEvents(wanted);
    // Bytes left unread are reported again a while later: should they fill
    // the input queue, the line is throttled and no new byte, so no new
    // report, would ever come.
    if (rx_waiting_ && !(events & EV_RXCHAR) && !hung_up_ && Clock::now() >= rx_recheck_at_) {
      DWORD errors = 0;
      COMSTAT stat;
      rx_waiting_ = false;
      if (ReadStat(errors, stat)) {
        const DWORD in = stat.cbInQue + HeldCount();
        std::lock_guard stat_guard(stat_lock_);
        kept_errors_ |= errors;
        rx_seen_ = in;
        if (in > 0) events |= wanted & EV_RXCHAR;
      }
    }
    if (events != 0) {
      if (events & EV_RXCHAR) {
        rx_waiting_ = true;
        rx_recheck_at_ = Clock::now() + kRxRecheck;
      }
      mask = events;
      return CommWait::Events;
    }
  }
}

long Win32CommDevice::Read(void* buffer, std::size_t count) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return -1;
  }
  std::lock_guard read_guard(read_lock_);
  // Held across the read: a probe started meanwhile would take the next
  // byte out of order. A probe still waiting is first in line for the next
  // byte, so nothing more is read now; the byte it gets is reported anew.
  // It is not cancelled from here: on some systems its end needs the thread
  // that started it, which may be waiting for this lock.
  std::lock_guard probe_guard(probe_lock_);
  DWORD held = 0;
  if (held_ && count > 0) {
    *static_cast<std::uint8_t*>(buffer) = held_byte_;
    held_ = false;
    held = 1;
  }
  auto taken = [this](DWORD n) {
    std::lock_guard stat_guard(stat_lock_);
    rx_seen_ -= std::min(rx_seen_, n);
    return static_cast<long>(n);
  };
  if (count == held || probe_pending_) return taken(held);
  OVERLAPPED ov{};
  ov.hEvent = read_event_;
  ::ResetEvent(read_event_);
  DWORD n = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - held, MAXDWORD));
  if (!::ReadFile(handle_, static_cast<std::uint8_t*>(buffer) + held, want, &n, &ov)) {
    const DWORD err = ::GetLastError();
    if (err != ERROR_IO_PENDING) {
      if (held > 0) return taken(held);  // the failure is reported next time
      SetErrno(err);
      return -1;
    }
    // Nothing had arrived, and this system waits for it despite the
    // time-outs: end the read, keeping what it got meanwhile.
    ::CancelIoEx(handle_, &ov);
    if (!::GetOverlappedResult(handle_, &ov, &n, TRUE)) {
      const DWORD end = ::GetLastError();
      if (end != ERROR_OPERATION_ABORTED && held == 0) {
        SetErrno(end);
        return -1;
      }
      n = 0;
    }
  } else if (!::GetOverlappedResult(handle_, &ov, &n, FALSE)) {
    if (held == 0) {
      Failed();
      return -1;
    }
    n = 0;
  }
  return taken(n + held);
}

bool Win32CommDevice::StartWrite() {
  for (;;) {
    ::ResetEvent(write_event_);
    write_ov_ = OVERLAPPED{};
    write_ov_.hEvent = write_event_;
    DWORD n = 0;
    const DWORD len = static_cast<DWORD>(staged_len_ - staged_off_);
    if (!::WriteFile(handle_, staged_.data() + staged_off_, len, &n, &write_ov_)) {
      const DWORD err = ::GetLastError();
      if (err == ERROR_IO_PENDING) {
        write_pending_ = true;
        return true;
      }
      SetErrno(err);
      return false;
    }
    if (!::GetOverlappedResult(handle_, &write_ov_, &n, FALSE)) return Failed();
    staged_off_ += n;
    if (staged_off_ >= staged_len_ || n == 0) return true;
  }
}

bool Win32CommDevice::ReapWrite(bool wait) {
  if (!write_pending_) return true;
  DWORD n = 0;
  if (!::GetOverlappedResult(handle_, &write_ov_, &n, wait)) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_IO_INCOMPLETE) return true;
    write_pending_ = false;
    SetErrno(err);
    return false;
  }
  write_pending_ = false;
  staged_off_ += n;
  if (staged_off_ < staged_len_ && n > 0) return StartWrite();
  return true;
}

long Win32CommDevice::Write(const void* buffer, std::size_t count) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return -1;
  }
  std::lock_guard write_guard(write_lock_);
  if (write_error_ != 0) {
    SetErrno(write_error_);
    write_error_ = 0;
    return -1;
  }
  if (!ReapWrite(false)) return -1;
  if (write_pending_) return 0;  // the last bytes taken are still on their way
  // The bytes are the device's from here: the caller's buffer may go while
  // the system still sends them.
  const std::size_t n = std::min<std::size_t>(count, out_queue_.load());
  staged_.assign(static_cast<const std::uint8_t*>(buffer),
                 static_cast<const std::uint8_t*>(buffer) + n);
  staged_len_ = n;
  staged_off_ = 0;
  if (!StartWrite()) return -1;
  const std::size_t taken = write_pending_ ? n : staged_off_;
  if (taken > 0 && (mask_.load() & EV_TXEMPTY)) tx_pending_.store(true);
  return static_cast<long>(taken);
}

CommWait Win32CommDevice::WaitWritable(TWaitable wake, std::uint32_t ms) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return CommWait::Failed;
  }
  {
    std::lock_guard write_guard(write_lock_);
    if (!ReapWrite(false)) {
      // Ready: the next write reports it.
      write_error_ = static_cast<DWORD>(errno);
      return CommWait::Events;
    }
    if (!write_pending_) return CommWait::Events;
  }
  const HANDLE handles[2] = {write_event_, AsHandle(wake)};
  const DWORD r = ::WaitForMultipleObjects(wake == -1 ? 1 : 2, handles, FALSE, ms);
  if (r == WAIT_OBJECT_0) return CommWait::Events;
  if (r == WAIT_OBJECT_0 + 1) return CommWait::Woken;
  if (r == WAIT_TIMEOUT) return CommWait::Timeout;
  Failed();
  return CommWait::Failed;
}

bool Win32CommDevice::ClearCommError(std::uint32_t& errors, CommStat& stat) {
  std::shared_lock guard(lock_);
  errors = 0;
  std::memset(&stat, 0, sizeof stat);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  DWORD bits = 0;
  COMSTAT cs;
  if (!ReadStat(bits, cs)) return false;
  {
    std::lock_guard stat_guard(stat_lock_);
    bits |= kept_errors_;
    kept_errors_ = 0;
  }
  errors = bits;
  std::memcpy(&stat, &cs, sizeof stat);
  stat.cbInQue += HeldCount();
  // Bytes taken but not yet handed to the system wait for output too.
  std::lock_guard write_guard(write_lock_);
  if (write_pending_) stat.cbOutQue += static_cast<std::uint32_t>(staged_len_ - staged_off_);
  return true;
}

bool Win32CommDevice::EscapeCommFunction(std::uint32_t function) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  if (::EscapeCommFunction(handle_, function)) return true;
  const DWORD err = ::GetLastError();
  const bool line = function == SETRTS || function == CLRRTS || function == SETDTR ||
                    function == CLRDTR || function == SETBREAK || function == CLRBREAK;
  if (line && NoModemControl(err)) return true;
  SetErrno(err);
  return false;
}

bool Win32CommDevice::GetCommModemStatus(std::uint32_t& status) {
  std::shared_lock guard(lock_);
  status = 0;
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  return ReadLines(status);
}

}  // namespace

std::shared_ptr<CommDevice> OpenCommDevice(const std::string& path,
                                           std::shared_ptr<CommDeviceCalls>) {
  const HANDLE handle = ::CreateFileA(DevicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Failed();
    return nullptr;
  }
  auto device = std::make_shared<Win32CommDevice>(handle);
  if (!device->Init()) {
    const int err = errno;
    device->Close();
    errno = err;
    return nullptr;
  }
  return device;
}
