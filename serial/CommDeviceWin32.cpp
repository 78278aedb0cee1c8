// The serial device on Windows: the Win32 comm calls on a handle opened for
// overlapped I/O. The device control block and the statistics records are
// the system's own, so they pass through unchanged.
#include "serial/CommDeviceWin32.h"

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

#include "serial/CommLines.h"

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

// ---------------------------------------------------------------- the system's calls

BOOL Win32CommCalls::SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
  return ::SetupComm(h, inQueue, outQueue);
}
BOOL Win32CommCalls::SetCommState(HANDLE h, DCB* dcb) {
  return ::SetCommState(h, dcb);
}
BOOL Win32CommCalls::GetCommState(HANDLE h, DCB* dcb) {
  return ::GetCommState(h, dcb);
}
BOOL Win32CommCalls::SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
  return ::SetCommTimeouts(h, timeouts);
}
BOOL Win32CommCalls::SetCommMask(HANDLE h, DWORD mask) {
  return ::SetCommMask(h, mask);
}
BOOL Win32CommCalls::WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) {
  return ::WaitCommEvent(h, mask, ov);
}
BOOL Win32CommCalls::ReadFile(HANDLE h, void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) {
  return ::ReadFile(h, buffer, count, done, ov);
}
BOOL Win32CommCalls::WriteFile(HANDLE h, const void* buffer, DWORD count, DWORD* done,
                               OVERLAPPED* ov) {
  return ::WriteFile(h, buffer, count, done, ov);
}
BOOL Win32CommCalls::CancelIoEx(HANDLE h, OVERLAPPED* ov) {
  return ::CancelIoEx(h, ov);
}
BOOL Win32CommCalls::ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
  return ::ClearCommError(h, errors, stat);
}
BOOL Win32CommCalls::EscapeCommFunction(HANDLE h, DWORD function) {
  return ::EscapeCommFunction(h, function);
}
BOOL Win32CommCalls::GetCommModemStatus(HANDLE h, DWORD* status) {
  return ::GetCommModemStatus(h, status);
}
BOOL Win32CommCalls::PurgeComm(HANDLE h, DWORD flags) {
  return ::PurgeComm(h, flags);
}
BOOL Win32CommCalls::CloseHandle(HANDLE h) {
  return ::CloseHandle(h);
}

namespace {

template <class Fn>
Fn Entry(HMODULE module, const char* name) {
  if (!module) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// winmm is not linked: the program imports only what every Windows has at
// start, and a missing entry only costs the finer timer.
struct TimerPeriodCalls {
  using Call = UINT(WINAPI*)(UINT);
  Call begin = nullptr;
  Call end = nullptr;
};

const TimerPeriodCalls& Winmm() {
  static const TimerPeriodCalls calls = [] {
    const HMODULE winmm = ::LoadLibraryA("winmm.dll");
    return TimerPeriodCalls{Entry<TimerPeriodCalls::Call>(winmm, "timeBeginPeriod"),
                            Entry<TimerPeriodCalls::Call>(winmm, "timeEndPeriod")};
  }();
  return calls;
}

constexpr UINT kTimerNoError = 0;  // TIMERR_NOERROR

}  // namespace

bool KeepTimerResolutionWhenHidden() {
  // The record and values of the power-throttling setting, which older
  // headers lack.
  struct PowerThrottlingState {
    ULONG Version;
    ULONG ControlMask;
    ULONG StateMask;
  };
  constexpr int kProcessPowerThrottling = 4;
  constexpr ULONG kCurrentVersion = 1;
  constexpr ULONG kIgnoreTimerResolution = 0x4;
  using SetProcessInformationCall = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
  static const auto set = Entry<SetProcessInformationCall>(::GetModuleHandleA("kernel32.dll"),
                                                           "SetProcessInformation");
  if (!set) return false;
  // Taking control of the setting and leaving it off: requests are honoured.
  PowerThrottlingState state{kCurrentVersion, kIgnoreTimerResolution, 0};
  return set(::GetCurrentProcess(), kProcessPowerThrottling, &state, sizeof state) != FALSE;
}

bool Win32CommCalls::BeginTimerPeriod(UINT ms) {
  static const bool kept = KeepTimerResolutionWhenHidden();
  (void)kept;
  const auto begin = Winmm().begin;
  return begin && begin(ms) == kTimerNoError;
}

void Win32CommCalls::EndTimerPeriod(UINT ms) {
  if (const auto end = Winmm().end) end(ms);
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
// Bytes a report left unread are reported again this much later.
constexpr auto kRxRecheck = std::chrono::milliseconds(10);
// How often a device whose own event wait does not work is looked at, when
// a pending read cannot tell of received bytes, or for line changes; and the
// pause before the system's wait is tried again after it kept ending with
// nothing.
constexpr DWORD kPollMs = 5;
// Waits that end with nothing asked for are tried again at once this many
// times in a row, then after a pause each.
constexpr int kRetriesAtOnce = 3;
// Wine's wait on a pseudo-terminal is cancelled as soon as it starts, again
// and again: this many such ends in a row, each within kAtOnce of its start,
// and the device is looked at instead of waited on.
// A real wait lasts until something happens on the line; "at once" is
// generous enough that a busy machine's scheduling does not hide Wine's kind.
constexpr int kCancelledWaitsForPolling = 3;
constexpr auto kAtOnce = std::chrono::milliseconds(250);
// How long Close waits for cancelled transfers to end, once before and once
// after closing the handle.
constexpr DWORD kCancelWaitMs = 1000;
constexpr std::uint32_t kDefaultQueue = 4096;
constexpr std::uint32_t kDefaultReadWaitMs = 1000;

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

// What the system writes into while a transfer runs: its record, the event
// that tells its end, the mask a comm-event wait fills in and the bytes of
// a read or write. On the heap, so that the record of a transfer whose
// cancel never ends can be left to the system when the device goes.
struct Transfer {
  OVERLAPPED ov{};
  HANDLE event = nullptr;
  DWORD events = 0;
  std::vector<std::uint8_t> data;
  bool pending = false;
  Clock::time_point started{};

  ~Transfer() {
    if (event) ::CloseHandle(event);
  }
  // A fresh record for the next transfer.
  OVERLAPPED* Start() {
    ::ResetEvent(event);
    ov = OVERLAPPED{};
    ov.hEvent = event;
    events = 0;
    pending = false;
    started = Clock::now();
    return &ov;
  }
  bool Ended() const { return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
};

class Win32CommDevice final : public CommDevice {
 public:
  Win32CommDevice(HANDLE handle, std::shared_ptr<Win32CommCalls> calls)
      : handle_(handle), calls_(std::move(calls)) {}
  ~Win32CommDevice() override;

  // Creates the completion events and asks for the finer timer; errno on
  // failure.
  bool Init();

  bool SetCommState(const CommDcb& dcb) override;
  bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommTimeouts(const CommTimeouts& timeouts) override;
  bool SetCommMask(std::uint32_t mask) override;
  void SetReadWait(std::uint32_t ms) override { read_wait_ms_.store(ms); }
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
  // Looks at the write in flight: when it has ended, its count waits in
  // sent_ for the caller to offer those bytes again. False with errno when
  // it failed. write_lock_ held.
  bool ReapWrite();
  // The system's statistics with the error bits kept for the owner.
  bool ReadStat(DWORD& errors, COMSTAT& stat);
  bool ReadLines(std::uint32_t& bits);
  // Events found by looking at the device, for a device whose own event
  // wait does not work.
  std::uint32_t PollEvents(std::uint32_t wanted);
  // The system's wait ended: ok and the mask it filled in, or the error it
  // failed with. Returns the events to report; tells a wait that does not
  // work on this device from one whose device has gone away.
  std::uint32_t SystemWaitEnded(bool ok, DWORD error, std::uint32_t wanted);
  // Starts the one-byte read that ends when a byte arrives; true when it
  // ended at once. probe_lock_ held.
  bool StartProbe();
  // Takes the result of the ended probe; probe_lock_ held.
  void ReapProbe();
  // Takes the bytes of a read that ended after its caller had gone;
  // probe_lock_ held.
  void ReapLateRead();
  // The bytes taken by the probe or by a late read, counted as waiting.
  DWORD HeldCount();

  // Shared by every call; Close takes it exclusively, so the handle is never
  // closed under a call in progress.
  mutable std::shared_mutex lock_;
  HANDLE handle_;
  const std::shared_ptr<Win32CommCalls> calls_;
  bool timer_period_held_ = false;
  std::atomic<std::uint32_t> mask_{0};
  std::atomic<std::uint32_t> out_queue_{kDefaultQueue};
  std::atomic<std::uint32_t> rx80_threshold_{kDefaultQueue * 8 / 10};
  std::atomic<std::uint32_t> read_wait_ms_{kDefaultReadWaitMs};

  // The owner's reads. A read the system leaves pending (some drivers do,
  // despite the time-outs) is waited for up to read_wait_ms_, then
  // cancelled; what it took is kept either way. One whose cancel does not
  // end stays with the system, its bytes taken when it does end.
  std::mutex read_lock_;
  std::unique_ptr<Transfer> read_ = std::make_unique<Transfer>();

  // The write in flight: its bytes are the device's own copy, as the
  // caller's buffer may go while the system still sends them. Its count
  // is reported once it has ended, to the caller that offers the same bytes
  // again (the component does, until told they went out).
  std::mutex write_lock_;
  std::unique_ptr<Transfer> write_ = std::make_unique<Transfer>();
  bool sent_known_ = false;
  DWORD sent_ = 0;
  DWORD write_error_ = 0;                // of a write that failed after it was started
  std::atomic<bool> tx_pending_{false};  // output went out since the last EV_TXEMPTY

  // Event monitor's state (one waiting thread at a time). The system's wait
  // may stay outstanding from one call to the next; Close ends it.
  std::unique_ptr<Transfer> wait_ = std::make_unique<Transfer>();
  bool poll_mode_ = false;
  bool hung_up_ = false;
  int empty_ends_ = 0;      // system waits in a row that ended with nothing asked for
  int cancelled_ends_ = 0;  // of which cancelled as soon as they started
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
  // read at once with nothing is looked at every kPollMs instead. The lock
  // also guards the owner's read record and the bytes held.
  std::mutex probe_lock_;
  std::unique_ptr<Transfer> probe_ = std::make_unique<Transfer>();
  std::string held_;
  std::atomic<bool> probe_works_{true};

  TModemLines lines_;
};

Win32CommDevice::~Win32CommDevice() {
  Close();
}

bool Win32CommDevice::Init() {
  for (Transfer* t : {read_.get(), write_.get(), wait_.get(), probe_.get()}) {
    t->event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!t->event) return Failed();
    t->ov.hEvent = t->event;
  }
  probe_->data.resize(1);
  // Refused, the port still works, at the system's coarser tick.
  timer_period_held_ = calls_->BeginTimerPeriod(kOpenPortTimerPeriodMs);
  return true;
}

void Win32CommDevice::Close() {
  std::unique_lock guard(lock_);
  if (!Open()) return;
  std::lock_guard write_guard(write_lock_);
  std::lock_guard probe_guard(probe_lock_);
  // A new mask ends an outstanding wait; the cancels are for drivers that
  // do not end it, and for the transfers.
  if (wait_->pending) calls_->SetCommMask(handle_, 0);
  std::unique_ptr<Transfer>* const transfers[] = {&wait_, &write_, &probe_, &read_};
  for (auto* t : transfers) {
    if ((*t)->pending) calls_->CancelIoEx(handle_, &(*t)->ov);
  }
  calls_->PurgeComm(handle_, PURGE_TXCLEAR | PURGE_TXABORT);
  auto waitForEnds = [&] {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kCancelWaitMs);
    for (auto* t : transfers) {
      if (!(*t)->pending) continue;
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      const DWORD ms = left < 0 ? 0 : static_cast<DWORD>(left);
      if (::WaitForSingleObject((*t)->event, ms) == WAIT_OBJECT_0) (*t)->pending = false;
    }
  };
  waitForEnds();
  calls_->CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  // Closing the handle ends what the cancels left on most drivers.
  waitForEnds();
  for (auto* t : transfers) {
    // The system may still write into this record and its bytes: it is left
    // to it, a small loss for each transfer a driver never gives back.
    if ((*t)->pending) (void)t->release();
  }
  if (timer_period_held_) calls_->EndTimerPeriod(kOpenPortTimerPeriodMs);
  timer_period_held_ = false;
}

bool Win32CommDevice::SetCommState(const CommDcb& dcb) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  DCB block;
  std::memcpy(&block, &dcb, sizeof block);
  if (!calls_->SetCommState(handle_, &block)) return Failed();
  // A driver may settle on another rate than the one asked for and still
  // succeed; a line at another rate only talks garbage.
  DCB applied{};
  applied.DCBlength = sizeof applied;
  if (!calls_->GetCommState(handle_, &applied)) return Failed();
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
  if (!calls_->SetupComm(handle_, inQueue, outQueue)) return Failed();
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
  return calls_->SetCommTimeouts(handle_, &t) || Failed();
}

bool Win32CommDevice::SetCommMask(std::uint32_t mask) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  mask_.store(mask);
  return calls_->SetCommMask(handle_, mask) || Failed();
}

bool Win32CommDevice::ReadStat(DWORD& errors, COMSTAT& stat) {
  errors = 0;
  std::memset(&stat, 0, sizeof stat);
  if (!calls_->ClearCommError(handle_, &errors, &stat)) return Failed();
  return true;
}

bool Win32CommDevice::ReadLines(std::uint32_t& bits) {
  return lines_.Read(bits, [this](std::uint32_t& now) {
    DWORD status = 0;
    if (!calls_->GetCommModemStatus(handle_, &status)) {
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
    if (!ReapWrite()) write_error_ = static_cast<DWORD>(errno);  // the next write reports it
    if (!write_->pending) {
      tx_pending_.store(false);
      events |= EV_TXEMPTY;
    }
  }
  return events & wanted;
}

std::uint32_t Win32CommDevice::SystemWaitEnded(bool ok, DWORD error, std::uint32_t wanted) {
  const std::uint32_t got = wait_->events;
  if (ok && (got & wanted) != 0) {
    empty_ends_ = cancelled_ends_ = 0;
    return got & wanted;
  }
  // Nothing asked for: bits outside the mask, a mask changed meanwhile, or
  // a failed wait. The wait is tried again; only a failing device ends it.
  ++empty_ends_;
  if (ok) {
    cancelled_ends_ = 0;
    return 0;
  }
  DWORD errors = 0;
  COMSTAT stat;
  if (!ReadStat(errors, stat)) {
    // Adapter pulled: report it once, then wait only for the owner to stop us.
    hung_up_ = true;
    return wanted & EV_ERR;
  }
  std::uint32_t events = 0;
  {
    // A failed wait may have lost the driver's record of what happened
    // meanwhile: bytes that came are reported from the queue.
    const DWORD in = stat.cbInQue + HeldCount();
    std::lock_guard guard(stat_lock_);
    kept_errors_ |= errors;
    if (in > rx_seen_) events |= wanted & EV_RXCHAR;
    rx_seen_ = in;
  }
  const bool cancelledAtOnce =
      error == ERROR_OPERATION_ABORTED && got == 0 && Clock::now() - wait_->started < kAtOnce;
  cancelled_ends_ = cancelledAtOnce ? cancelled_ends_ + 1 : 0;
  // The device is there but its own wait does not work (Wine's on a
  // pseudo-terminal): look at it regularly instead, until it is opened anew.
  if (cancelled_ends_ >= kCancelledWaitsForPolling) poll_mode_ = true;
  return events;
}

DWORD Win32CommDevice::HeldCount() {
  std::lock_guard guard(probe_lock_);
  ReapLateRead();
  return static_cast<DWORD>(held_.size());
}

void Win32CommDevice::ReapLateRead() {
  Transfer& t = *read_;
  if (!t.pending || !t.Ended()) return;
  DWORD n = 0;
  ::GetOverlappedResult(handle_, &t.ov, &n, FALSE);  // a cancelled read still tells its count
  held_.append(reinterpret_cast<const char*>(t.data.data()), std::min<std::size_t>(n, t.data.size()));
  t.pending = false;
}

bool Win32CommDevice::StartProbe() {
  Transfer& t = *probe_;
  DWORD n = 0;
  if (!calls_->ReadFile(handle_, t.data.data(), 1, &n, t.Start())) {
    if (::GetLastError() == ERROR_IO_PENDING) {
      t.pending = true;
      return false;
    }
    probe_works_.store(false);  // what fails here, the next look reports
    return true;
  }
  t.pending = true;
  ReapProbe();
  return true;
}

void Win32CommDevice::ReapProbe() {
  Transfer& t = *probe_;
  if (!t.pending) return;
  DWORD n = 0;
  if (!::GetOverlappedResult(handle_, &t.ov, &n, FALSE)) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_IO_INCOMPLETE) return;
    if (err != ERROR_OPERATION_ABORTED) probe_works_.store(false);
  } else if (n == 1) {
    held_ += static_cast<char>(t.data[0]);
  } else {
    probe_works_.store(false);  // the read does not wait for bytes here
  }
  t.pending = false;
}

CommWait Win32CommDevice::WaitCommEvent(std::uint32_t& mask, TWaitable wake) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return CommWait::Failed;
  }
  const HANDLE wakeHandle = AsHandle(wake);
  Transfer& wait = *wait_;
  for (;;) {
    const std::uint32_t wanted = mask_.load();
    std::uint32_t events = 0;
    if (!hung_up_ && !poll_mode_ && !wait.pending) {
      if (calls_->WaitCommEvent(handle_, &wait.events, wait.Start())) {
        events = SystemWaitEnded(true, 0, wanted);
      } else if (const DWORD err = ::GetLastError(); err == ERROR_IO_PENDING) {
        wait.pending = true;
      } else {
        events = SystemWaitEnded(false, err, wanted);
      }
    }
    bool look = false;  // the probe has ended: no need to wait
    bool probing = false;
    if (poll_mode_ && !hung_up_ && probe_works_.load()) {
      std::lock_guard probe_guard(probe_lock_);
      if (!probe_->pending && held_.empty() && !read_->pending) look = StartProbe();
      probing = probe_->pending;
    }
    if (events == 0 && !look) {
      DWORD timeout = INFINITE;
      if (!hung_up_) {
        const bool linesWatched = (wanted & kLineEvents) && !lines_.NoModemControl();
        if (poll_mode_ && (!probing || linesWatched || tx_pending_.load())) timeout = kPollMs;
        // The system's wait ended with nothing: armed again on the next
        // pass, at once the first times.
        if (!poll_mode_ && !wait.pending) timeout = empty_ends_ <= kRetriesAtOnce ? 0 : kPollMs;
        if (rx_waiting_) {
          const auto left =
              std::chrono::ceil<std::chrono::milliseconds>(rx_recheck_at_ - Clock::now()).count();
          const DWORD until = left < 0 ? 0 : static_cast<DWORD>(left);
          timeout = std::min(timeout, until);
        }
      }
      HANDLE handles[3] = {wakeHandle};
      DWORD count = 1;
      const DWORD waitIndex = wait.pending ? count : MAXDWORD;
      if (wait.pending) handles[count++] = wait.event;
      const DWORD probeIndex = probing ? count : MAXDWORD;
      if (probing) handles[count++] = probe_->event;
      const DWORD r = ::WaitForMultipleObjects(count, handles, FALSE, timeout);
      if (r == WAIT_OBJECT_0) return CommWait::Woken;
      if (r == WAIT_FAILED) {
        Failed();
        return CommWait::Failed;
      }
      if (r == WAIT_OBJECT_0 + probeIndex) {
        std::lock_guard probe_guard(probe_lock_);
        ReapProbe();  // unless a read has taken it meanwhile
      }
      if (r == WAIT_OBJECT_0 + waitIndex) {
        wait.pending = false;
        DWORD n = 0;
        const bool ok = ::GetOverlappedResult(handle_, &wait.ov, &n, FALSE);
        events = SystemWaitEnded(ok, ok ? 0 : ::GetLastError(), wanted);
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
  // that started it, which may be waiting for this lock. A read left with
  // the system earlier is first in line the same way.
  std::lock_guard probe_guard(probe_lock_);
  ReapLateRead();
  auto* const out = static_cast<std::uint8_t*>(buffer);
  const std::size_t held = std::min(count, held_.size());
  std::memcpy(out, held_.data(), held);
  held_.erase(0, held);
  auto taken = [this](std::size_t n) {
    std::lock_guard stat_guard(stat_lock_);
    rx_seen_ -= std::min<DWORD>(rx_seen_, static_cast<DWORD>(n));
    return static_cast<long>(n);
  };
  Transfer& t = *read_;
  if (count == held || probe_->pending || t.pending) return taken(held);
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - held, MAXDWORD));
  t.data.resize(want);
  DWORD n = 0;
  if (!calls_->ReadFile(handle_, t.data.data(), want, &n, t.Start())) {
    const DWORD err = ::GetLastError();
    if (err != ERROR_IO_PENDING) {
      if (held > 0) return taken(held);  // the failure is reported next time
      SetErrno(err);
      return -1;
    }
    // The system keeps the read although the time-outs ask for an answer at
    // once: a driver that queues it completes it soon. Given the read
    // time-out to end, then cancelled; the count it reports either way is
    // what it took (a driver with its own buffer has already moved those
    // bytes out of the input queue).
    t.pending = true;
    if (::WaitForSingleObject(t.event, read_wait_ms_.load()) != WAIT_OBJECT_0) {
      calls_->CancelIoEx(handle_, &t.ov);
      if (::WaitForSingleObject(t.event, kCancelWaitMs) != WAIT_OBJECT_0) {
        return taken(held);  // its bytes are held when it ends at last
      }
    }
    t.pending = false;
  }
  if (!::GetOverlappedResult(handle_, &t.ov, &n, FALSE)) {
    const DWORD err = ::GetLastError();
    if (err != ERROR_OPERATION_ABORTED && held == 0 && n == 0) {
      SetErrno(err);
      return -1;
    }
  }
  n = std::min(n, want);
  std::memcpy(out + held, t.data.data(), n);
  return taken(held + n);
}

bool Win32CommDevice::ReapWrite() {
  Transfer& t = *write_;
  if (!t.pending) return true;
  DWORD n = 0;
  if (!::GetOverlappedResult(handle_, &t.ov, &n, FALSE)) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_IO_INCOMPLETE) return true;
    t.pending = false;
    SetErrno(err);
    return false;
  }
  t.pending = false;
  sent_known_ = true;
  sent_ = std::min<DWORD>(n, static_cast<DWORD>(t.data.size()));
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
  Transfer& t = *write_;
  if (!ReapWrite()) return -1;
  if (t.pending) return 0;  // nothing more goes before the bytes on their way
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  if (sent_known_) {
    sent_known_ = false;
    // The bytes the caller was told are on their way, offered again: those
    // that went out are reported now. A caller that gave up on them (a
    // direct write past its time-out) offers others, which go out anew.
    if (sent_ > 0 && count >= sent_ && std::memcmp(bytes, t.data.data(), sent_) == 0) {
      return static_cast<long>(sent_);
    }
  }
  const std::size_t n = std::min<std::size_t>(count, out_queue_.load());
  t.data.assign(bytes, bytes + n);
  DWORD done = 0;
  if (!calls_->WriteFile(handle_, t.data.data(), static_cast<DWORD>(n), &done, t.Start())) {
    const DWORD err = ::GetLastError();
    if (err != ERROR_IO_PENDING) {
      SetErrno(err);
      return -1;
    }
    t.pending = true;
    if (mask_.load() & EV_TXEMPTY) tx_pending_.store(true);
    return 0;  // reported when it has ended: the bytes are still the caller's to offer
  }
  if (!::GetOverlappedResult(handle_, &t.ov, &done, FALSE)) {
    Failed();
    return -1;
  }
  done = std::min<DWORD>(done, static_cast<DWORD>(n));
  if (done > 0 && (mask_.load() & EV_TXEMPTY)) tx_pending_.store(true);
  return static_cast<long>(done);
}

CommWait Win32CommDevice::WaitWritable(TWaitable wake, std::uint32_t ms) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return CommWait::Failed;
  }
  HANDLE writeEvent;
  {
    std::lock_guard write_guard(write_lock_);
    if (!ReapWrite()) {
      // Ready: the next write reports it.
      write_error_ = static_cast<DWORD>(errno);
      return CommWait::Events;
    }
    if (!write_->pending) return CommWait::Events;
    writeEvent = write_->event;
  }
  const HANDLE handles[2] = {writeEvent, AsHandle(wake)};
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
  // Bytes on their way to the system wait for output too.
  std::lock_guard write_guard(write_lock_);
  if (write_->pending) stat.cbOutQue += static_cast<std::uint32_t>(write_->data.size());
  return true;
}

bool Win32CommDevice::EscapeCommFunction(std::uint32_t function) {
  std::shared_lock guard(lock_);
  if (!Open()) {
    SetErrno(ERROR_INVALID_HANDLE);
    return false;
  }
  if (calls_->EscapeCommFunction(handle_, function)) return true;
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

std::shared_ptr<CommDevice> NewWin32CommDevice(HANDLE handle,
                                               std::shared_ptr<Win32CommCalls> calls) {
  return InitialisedDevice(std::make_shared<Win32CommDevice>(handle, std::move(calls)));
}

std::shared_ptr<CommDevice> OpenCommDevice(const std::string& path,
                                           std::shared_ptr<CommDeviceCalls>) {
  const HANDLE handle = ::CreateFileA(DevicePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Failed();
    return nullptr;
  }
  static const auto system = std::make_shared<Win32CommCalls>();
  return NewWin32CommDevice(handle, system);
}
