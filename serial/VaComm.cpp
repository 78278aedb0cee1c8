#include "serial/VaComm.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "runtime/Application.h"

// Threads that a component has started and that have not ended yet; the
// component is not released before the count is back to 0.
struct CommThreadCount {
  std::mutex lock;
  int running = 0;
  TEvent none{true};  // signalled while running is 0

  void Add() {
    std::lock_guard guard(lock);
    if (running++ == 0) none.Reset();
  }
  void Release() {
    std::lock_guard guard(lock);
    if (--running == 0) none.Signal();
  }
  int Running() {
    std::lock_guard guard(lock);
    return running;
  }
};

namespace {

using Clock = std::chrono::steady_clock;

// A thread whose wait fails for a reason that does not go away waits this
// long before trying again, instead of spinning.
constexpr std::uint32_t kRetryPauseMs = 100;
constexpr auto kClosePause = std::chrono::milliseconds(300);

constexpr const char* kPortOpen = "Can't perform this operation while port is open";

std::string EscapePercent(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::uint32_t NonNegative(std::int32_t v) {
  return v < 0 ? 0u : static_cast<std::uint32_t>(v);
}

}  // namespace

std::uint32_t BaudrateValue(TVaBaudrate Rate) {
  static const std::uint32_t kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                         14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return Rate <= br256000 ? kRates[Rate] : 0;
}

std::uint32_t CommEventMaskBit(TVaCommEvent Event) {
  static const std::uint32_t kBits[] = {EV_BREAK,    EV_CTS,    EV_DSR,     EV_ERR,    EV_RING,
                                        EV_RLSD,     EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_PERR,
                                        EV_RX80FULL, EV_EVENT1, EV_EVENT2};
  return Event <= ceEvent2 ? kBits[Event] : 0;
}

std::uint32_t CommEventsMask(TVaCommEvents Events) {
  std::uint32_t mask = 0;
  for (int e = ceBreak; e <= ceEvent2; ++e) {
    if (Events.Contains(static_cast<TVaCommEvent>(e))) {
      mask |= CommEventMaskBit(static_cast<TVaCommEvent>(e));
    }
  }
  return mask;
}

std::string CommErrorMessage(const std::string& Template, int Code) {
  std::string text = SysErrorMessage(Code);
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text.back());
    if (c > ' ' && c != '.' && c != 0x7F) break;
    text.pop_back();
  }
  std::string out;
  bool code_used = false, text_used = false;
  for (std::size_t i = 0; i < Template.size(); ++i) {
    const char c = Template[i];
    if (c != '%' || i + 1 == Template.size()) {
      out += c;
      continue;
    }
    const char conv = Template[i + 1];
    if (conv == '%') {
      out += '%';
      ++i;
    } else if (conv == 'd' && !code_used) {
      out += std::to_string(Code);
      code_used = true;
      ++i;
    } else if (conv == 's' && code_used && !text_used) {
      out += text;
      text_used = true;
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

void RaiseCommError(const std::string& Template, int Code) {
  throw EVaCommError(CommErrorMessage(Template, Code), Code);
}

std::string FormatDeviceName(const std::string& DeviceName, TVaPortInt PortNum) {
  // The name comes from the operator's settings: only %d is filled in, so a
  // stray conversion cannot read arguments that are not there.
  std::string out;
  bool used = false;
  for (std::size_t i = 0; i < DeviceName.size(); ++i) {
    const char c = DeviceName[i];
    if (c == '%' && i + 1 < DeviceName.size()) {
      const char conv = DeviceName[i + 1];
      if (conv == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (conv == 'd' && !used) {
        out += std::to_string(PortNum);
        used = true;
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

// ---------------------------------------------------------------- TVaCommBuffer

TVaCommBuffer::TVaCommBuffer(std::int32_t Capacity)
    : data_(new std::uint8_t[static_cast<std::size_t>(std::max(Capacity, 1))]),
      capacity_(std::max(Capacity, 0)) {}

void TVaCommBuffer::Append(const void* Data, std::int32_t N) {
  std::memcpy(data_.get() + count_, Data, static_cast<std::size_t>(N));
  count_ += N;
}

void TVaCommBuffer::Remove(std::int32_t N) {
  std::memmove(data_.get(), data_.get() + N, static_cast<std::size_t>(count_ - N));
  count_ -= N;
}

// ---------------------------------------------------------------- event monitor

TVaCommEventThread::TVaCommEventThread(TVaCustomComm* Owner, std::shared_ptr<CommDevice> Device,
                                       std::shared_ptr<CommThreadCount> Count)
    : TThread(true), owner_(Owner), device_(std::move(Device)), count_(std::move(Count)) {
  count_->Add();
}

TVaCommEventThread::~TVaCommEventThread() {
  count_->Release();
}

// The stopped thread may end and free itself at once. It takes the count's
// lock on its way out, so holding that lock here keeps it (and the event's
// descriptor) alive until the signal is given.
void TVaCommEventThread::Stop() {
  std::lock_guard guard(count_->lock);
  RequestStop();
  WakeEvent.Signal();
}

void TVaCommEventThread::ThreadBody() {
  while (!StopRequested()) {
    try {
      std::uint32_t mask = 0;
      switch (device_->WaitCommEvent(mask, WakeEvent.Handle())) {
        case CommWait::Events:
          EvtMask = mask;
          if (!StopRequested()) RunOnMainThread([this] { ProcessEvents(); });
          break;
        case CommWait::Woken:
        case CommWait::Timeout:
          break;  // only Stop wakes us; the loop test ends the thread
        case CommWait::Failed:
          WakeEvent.WaitFor(kRetryPauseMs);
          break;
      }
    } catch (...) {
      // ProcessEvents keeps its errors; whatever else fails must not end
      // the monitor while the component counts on it.
      WakeEvent.WaitFor(kRetryPauseMs);
    }
  }
}

void TVaCommEventThread::ProcessEvents() {
  try {
    if (EvtMask & EV_RXCHAR) {
      owner_->HandleRxChar();
      EvtMask &= ~EV_RXCHAR;
    }
    if (EvtMask != 0) owner_->HandleEvents(EvtMask);
  } catch (...) {
    owner_->ReportFailure(this);
  }
}

// ---------------------------------------------------------------- background writer

TVaCommWriteThread::TVaCommWriteThread(TVaCustomComm* Owner, std::shared_ptr<CommDevice> Device,
                                       std::shared_ptr<CommThreadCount> Count,
                                       std::int32_t Capacity)
    : TThread(true),
      owner_(Owner),
      device_(std::move(Device)),
      count_(std::move(Count)),
      buffer_(Capacity) {
  count_->Add();
}

TVaCommWriteThread::~TVaCommWriteThread() {
  count_->Release();
}

void TVaCommWriteThread::Stop() {
  std::lock_guard guard(count_->lock);  // as the monitor's Stop
  CloseEvent.Signal();
}

bool TVaCommWriteThread::Enqueue(const void* Data, std::int32_t N) {
  if (N <= 0) return true;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(NonNegative(owner_->Buffers()->WriteTimeout()));
  for (;;) {
    {
      std::lock_guard guard(owner_->WriteLock);
      if (failed_error_.load() != 0) return false;
      const std::int32_t before = buffer_.Count();
      if (static_cast<std::int64_t>(before) + N <= buffer_.Capacity()) {
        if (before == 0 && IsMainThread()) {
          // Nothing queued means the writer is not writing either: the bytes
          // are offered to the device from this thread at once, and only
          // what it does not take is queued, so a short answer leaves
          // without waiting for the writer to wake. What the writer would
          // report (the empty output, a failed device) it still reports.
          // Only the main thread does so: it outlives the port, and Windows
          // cancels a write still in progress when the thread that started
          // it ends.
          const long taken = WriteNow(Data, N);
          if (taken < 0) RefuseWrites(errno);
          if (taken < 0 || taken == N) {
            unreported_ |= taken < 0 ? EV_ERR : EV_TXEMPTY;
            DataPendingEvent.Signal();
            return true;
          }
          Data = static_cast<const std::uint8_t*>(Data) + taken;
          N -= static_cast<std::int32_t>(taken);
        }
        buffer_.Append(Data, N);
        // The event stays set while the buffer holds bytes (the writer clears
        // it only once it has emptied the buffer): only the first ones set it.
        if (before == 0) DataPendingEvent.Signal();
        return true;
      }
      // Cleared under the lock the writer signals under: no wake-up is lost.
      WriteDoneEvent.Reset();
      room_wanted_ = true;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    if (IsMainThread()) {
      // The writer may be blocked handing its report to this very thread:
      // run that report, and nothing else, rather than wait out the time-out.
      const TWaitable fds[2] = {WriteDoneEvent.Handle(), ReportQueuedEvent.Handle()};
      if (WaitForAny(fds, static_cast<std::uint32_t>(left)) == 1) {
        TVaCustomComm* const owner = owner_;
        const std::uint64_t closes = owner->closes_;
        ReportQueuedEvent.Reset();
        CheckSynchronizeFor(this);
        // A handler of the report may have closed the port; this writer then
        // ends and frees itself, so nothing of it may be touched any more.
        if (owner->closes_ != closes) return false;
      }
    } else {
      WriteDoneEvent.WaitFor(static_cast<std::uint32_t>(left));
    }
  }
}

long TVaCommWriteThread::WriteNow(const void* Data, std::int32_t N) {
  const TFailureEpisode::TTicket ticket = owner_->episode_.Ticket();
  const long written = device_->Write(Data, static_cast<std::size_t>(N));
  if (written > 0) owner_->episode_.Answered(ticket);
  return std::min<long>(written, N);
}

void TVaCommWriteThread::ThreadBody() {
  const TWaitable events[2] = {CloseEvent.Handle(), DataPendingEvent.Handle()};
  while (!StopRequested()) {
    try {
      const int which = WaitForAny(events, INFINITE);
      if (which == 0) {
        RequestStop();
        break;
      }
      if (which != 1) {
        CloseEvent.WaitFor(kRetryPauseMs);
        continue;
      }
      std::int32_t n;
      const std::uint8_t* start;
      std::uint32_t report = 0;
      {
        std::lock_guard guard(owner_->WriteLock);
        n = buffer_.Count();
        start = buffer_.Data();
        if (n == 0) {
          DataPendingEvent.Reset();
          report = std::exchange(unreported_, 0);
        }
      }
      if (n == 0) {
        if (CloseEvent.IsSignaled()) report &= ~EV_ERR;
        if (report != 0) Report(report);
        continue;
      }
      // Appends during the write go behind the snapshot; the block never moves.
      const TFailureEpisode::TTicket ticket = owner_->episode_.Ticket();
      const long written = device_->Write(start, static_cast<std::size_t>(n));
      if (written > 0) {
        owner_->episode_.Answered(ticket);
        WriteDone(written);
      } else if (written == 0) {
        switch (device_->WaitWritable(CloseEvent.Handle(), INFINITE)) {
          case CommWait::Woken:
            RequestStop();
            break;
          case CommWait::Failed:
            Fail(errno);
            break;
          default:
            break;  // room again: the data is still pending
        }
      } else {
        Fail(errno);
      }
    } catch (...) {
      CloseEvent.WaitFor(kRetryPauseMs);
    }
  }
}

void TVaCommWriteThread::WriteDone(long Written) {
  bool empty;
  {
    std::lock_guard guard(owner_->WriteLock);
    buffer_.Remove(static_cast<std::int32_t>(Written));
    empty = buffer_.Count() == 0;
    // Tested and cleared under the lock that Enqueue appends under.
    // Bytes that remain keep DataPendingEvent set: the loop sends them next.
    if (empty) {
      DataPendingEvent.Reset();
      unreported_ &= ~EV_TXEMPTY;  // reported below
    }
    if (room_wanted_) {
      room_wanted_ = false;
      WriteDoneEvent.Signal();
    }
  }
  if (empty) Report(EV_TXEMPTY);
}

void TVaCommWriteThread::Fail(int Error) {
  // A tty whose write fails (EIO after a hang-up) never takes bytes again;
  // retrying at once would only spin. Report once and refuse further
  // writes; what is left in the buffer stays there, and the loop waits for
  // Close alone, since nothing can set DataPendingEvent any more.
  {
    std::lock_guard guard(owner_->WriteLock);
    RefuseWrites(Error);
    DataPendingEvent.Reset();
  }
  if (!CloseEvent.IsSignaled()) Report(EV_ERR);
}

void TVaCommWriteThread::RefuseWrites(int Error) {
  failed_error_.store(Error == 0 ? EIO : Error);
  WriteDoneEvent.Signal();  // a write waiting for room gives up at once
}

void TVaCommWriteThread::Report(std::uint32_t Mask) {
  RunOnMainThread(
      [this, Mask] {
        try {
          owner_->HandleEvents(Mask);
        } catch (...) {
          owner_->ReportFailure(this);
        }
      },
      &ReportQueuedEvent);
}

// ---------------------------------------------------------------- component

TVaCustomComm::TVaCustomComm(TComponent* AOwner)
    : TVaComponent(AOwner),
      event_chars_(std::make_unique<TVaEventChars>()),
      flow_control_(std::make_unique<TVaFlowControl>()),
      buffers_(std::make_unique<TVaBuffers>()),
      thread_count_(std::make_shared<CommThreadCount>()) {
  event_chars_->OnChange = [this](TObject*) { WriteDCB(); };
  flow_control_->OnChange = [this](TObject*) { WriteDCB(); };
  buffers_->OnChange = [this](TObject*) { CheckClosed(); };
}

TVaCustomComm::~TVaCustomComm() {
  destroying_ = true;
  try {
    Close();
  } catch (...) {
    ApplicationHandleException(this);
  }
  WaitForThreads();
}

void TVaCustomComm::WaitForThreads() {
  CommThreadCount& count = *thread_count_;
  if (!IsMainThread()) {
    count.none.WaitFor(INFINITE);
    return;
  }
  const TWaitable fds[2] = {count.none.Handle(), CallsQueuedEvent().Handle()};
  while (count.Running() > 0) {
    WaitForAny(fds, INFINITE);
    CheckSynchronize(0);
  }
}

void TVaCustomComm::Loaded() {
  TVaComponent::Loaded();
  if (auto_open_) Open();
}

void TVaCustomComm::CheckClosed() const {
  if (IsOpen()) throw EVaCommError(kPortOpen);
}

void TVaCustomComm::RaiseCommError(const std::string& Template) const {
  ::RaiseCommError(Template, errno);
}

void TVaCustomComm::WriteDCB() {
  if (!IsOpen() || !update_dcb_) return;
  CommDcb dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate =
      baudrate_ == brUser ? static_cast<std::uint32_t>(user_baudrate_) : BaudrateValue(baudrate_);
  static const std::uint8_t kParity[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
  static const std::uint8_t kStop[] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
  dcb.Parity = kParity[parity_];
  dcb.StopBits = kStop[stopbits_];
  dcb.ByteSize = static_cast<std::uint8_t>(4 + databits_);
  dcb.XonChar = event_chars_->XonChar();
  dcb.XoffChar = event_chars_->XoffChar();
  dcb.ErrorChar = event_chars_->ErrorChar();
  dcb.EofChar = event_chars_->EofChar();
  dcb.EvtChar = event_chars_->EventChar();
  dcb.XonLim = static_cast<std::uint16_t>(buffers_->XonLimit() & 0xFFFF);
  dcb.XoffLim = static_cast<std::uint16_t>(buffers_->XoffLimit() & 0xFFFF);
  dcb.fBinary = 1;
  dcb.fOutxCtsFlow = flow_control_->OutCtsFlow();
  dcb.fOutxDsrFlow = flow_control_->OutDsrFlow();
  dcb.fOutX = flow_control_->XonXoffOut();
  dcb.fInX = flow_control_->XonXoffIn();
  dcb.fDsrSensitivity = flow_control_->DsrSensitivity();
  dcb.fTXContinueOnXoff = flow_control_->TxContinueOnXoff();
  dcb.fDtrControl = flow_control_->ControlDtr();
  dcb.fRtsControl = flow_control_->ControlRts();
  dcb.fErrorChar = options_.Contains(coErrorChar);
  dcb.fNull = options_.Contains(coNullStrip);
  dcb.fParity = options_.Contains(coParityCheck);
  if (!device_->SetCommState(dcb)) RaiseCommError("Error writing dcb (%d), %s");
}

// ---------------------------------------------------------------- settings

void TVaCustomComm::SetBaudrate(TVaBaudrate v) {
  if (v == baudrate_) return;
  baudrate_ = v;
  if (v != brUser) user_baudrate_ = 0;
  WriteDCB();
}

void TVaCustomComm::SetUserBaudrate(std::int32_t v) {
  if (v == user_baudrate_) return;
  user_baudrate_ = v;
  baudrate_ = brUser;
  WriteDCB();
}

void TVaCustomComm::SetParity(TVaParity v) {
  if (v == parity_) return;
  parity_ = v;
  WriteDCB();
}

void TVaCustomComm::SetDatabits(TVaDatabits v) {
  if (v == databits_) return;
  databits_ = v;
  WriteDCB();
}

void TVaCustomComm::SetStopbits(TVaStopbits v) {
  if (v == stopbits_) return;
  stopbits_ = v;
  WriteDCB();
}

void TVaCustomComm::SetOptions(TVaCommOptions v) {
  if (v == options_) return;
  options_ = v;
  WriteDCB();
}

void TVaCustomComm::SetPortNum(TVaPortInt v) {
  CheckClosed();
  port_num_ = v;
}

void TVaCustomComm::SetDeviceName(const std::string& v) {
  CheckClosed();
  device_name_ = v;
}

void TVaCustomComm::SetMonitorEvents(TVaCommEvents v) {
  CheckClosed();
  monitor_events_ = v;
}

void TVaCustomComm::SetBuffers(const TVaBuffers& v) {
  CheckClosed();
  buffers_->Assign(v);
}

void TVaCustomComm::SetEventPriority(TThreadPriority v) {
  if (v == event_priority_) return;
  event_priority_ = v;
  if (event_thread_) event_thread_->SetPriority(v);
}

void TVaCustomComm::SetWritePriority(TThreadPriority v) {
  if (v == write_priority_) return;
  write_priority_ = v;
  if (write_thread_) write_thread_->SetPriority(v);
}

void TVaCustomComm::SetDirectWrite(bool v) {
  CheckClosed();
  direct_write_ = v;
}

void TVaCustomComm::SetUpdateDCB(bool v) {
  CheckClosed();
  update_dcb_ = v;
}

// ---------------------------------------------------------------- lifecycle

std::shared_ptr<CommDevice> TVaCustomComm::CreateHandle() {
  const std::string path = DevicePath();
  std::shared_ptr<CommDevice> device = OpenCommDevice(path);
  if (!device) {
    const int err = errno;
    if (err == ENOENT) {
      ::RaiseCommError("Specified device not found (" + EscapePercent(path) + ").", err);
    }
    ::RaiseCommError("Can't open specified device " + EscapePercent(path) + " (Error %d, %s)", err);
  }
  return device;
}

void TVaCustomComm::Open() {
  CheckClosed();
  std::shared_ptr<CommDevice> device = CreateHandle();
  if (!device)
    ::RaiseCommError(
        "Can't open specified device " + EscapePercent(DevicePath()) + " (Error %d, %s)", ENODEV);
  device_ = std::move(device);
  episode_.Reset();
  try {
    WriteDCB();
    if (!device_->SetupComm(NonNegative(buffers_->ReadSize()),
                            NonNegative(buffers_->WriteSize()))) {
      RaiseCommError("Error initializing buffers (%d), %s");
    }
    const CommTimeouts timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!device_->SetCommTimeouts(timeouts)) RaiseCommError("Error setting timeouts (%d), %s");
    device_->SetReadWait(NonNegative(buffers_->ReadTimeout()));
    event_mask_ = CommEventsMask(monitor_events_);
    // The background writer reports an empty output itself.
    if (!direct_write_) event_mask_ &= ~EV_TXEMPTY;
    if (!device_->SetCommMask(event_mask_)) RaiseCommError(" Error setting EventMask (%d), %s");
    CreateThreads();
  } catch (...) {
    StopThreads();
    device_->Close();
    device_.reset();
    throw;
  }
  if (OnOpen) {
    try {
      OnOpen(this);
    } catch (...) {
      ApplicationHandleException(this);
    }
  }
}

void TVaCustomComm::CreateThreads() {
  if (event_mask_ != 0) {
    auto monitor = NewThread<TVaCommEventThread>(this, device_, thread_count_);
    monitor->SetPriority(event_priority_);
    monitor->SetFreeOnThreadEnd(true);
    event_thread_ = monitor.release();
    event_thread_->Resume();
  }
  if (!direct_write_) {
    auto writer =
        NewThread<TVaCommWriteThread>(this, device_, thread_count_, buffers_->WriteSize());
    writer->SetPriority(write_priority_);
    writer->SetFreeOnThreadEnd(true);
    write_thread_ = writer.release();
    write_thread_->Resume();
  }
}

void TVaCustomComm::StopThreads() {
  std::lock_guard guard(ReadLock);
  if (event_thread_) {
    event_thread_->Stop();
    event_thread_ = nullptr;
  }
  if (write_thread_) {
    write_thread_->Stop();
    write_thread_ = nullptr;
  }
}

void TVaCustomComm::Close() {
  if (!IsOpen()) return;
  ++closes_;
  StopThreads();
  // The device waits for the woken threads to leave it before it lets go
  // of the descriptor.
  device_->Close();
  device_.reset();
  if (!destroying_ && OnClose) OnClose(this);
  std::this_thread::sleep_for(kClosePause);
}

// ---------------------------------------------------------------- I/O

std::int32_t TVaCustomComm::ReadBuf(void* Buffer, std::int32_t Count) {
  if (!IsOpen() || Count <= 0) return 0;
  std::lock_guard guard(ReadLock);
  const TFailureEpisode::TTicket ticket = episode_.Ticket();
  const long n = device_->Read(Buffer, static_cast<std::size_t>(Count));
  if (n < 0) RaiseCommError("Read error (%d), %s");
  if (n > 0) episode_.Answered(ticket);
  return static_cast<std::int32_t>(n);
}

std::int32_t TVaCustomComm::WriteBuf(const void* Buffer, std::int32_t Count) {
  if (!IsOpen() || Count <= 0) return 0;
  if (!direct_write_) {
    const std::uint64_t closes = closes_;
    if (!write_thread_->Enqueue(Buffer, Count)) {
      // Closed by a handler that ran while the write waited for room.
      if (closes_ != closes) return 0;
      if (const int err = write_thread_->FailedError()) {
        ::RaiseCommError("Write error (%d), %s", err);
      }
      ::RaiseCommError("Output buffer is full. Please check comm status.", 0);
    }
    return Count;
  }
  std::lock_guard guard(WriteLock);
  const auto* bytes = static_cast<const std::uint8_t*>(Buffer);
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(NonNegative(buffers_->ReadTimeout()));
  std::int32_t done = 0;
  IoEvent.Reset();
  while (done < Count) {
    const TFailureEpisode::TTicket ticket = episode_.Ticket();
    const long n = device_->Write(bytes + done, static_cast<std::size_t>(Count - done));
    if (n < 0) {
      if (done == 0) RaiseCommError("Write error (%d), %s");
      break;  // the bytes already taken are reported; the next call raises
    }
    if (n > 0) episode_.Answered(ticket);
    done += static_cast<std::int32_t>(n);
    if (done == Count) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    const CommWait r = device_->WaitWritable(IoEvent.Handle(), static_cast<std::uint32_t>(left));
    if (r == CommWait::Woken || r == CommWait::Failed) break;  // a time-out is judged above
  }
  return done;
}

bool TVaCustomComm::WriteText(const std::string& Text) {
  const auto length = static_cast<std::int32_t>(Text.size());
  return WriteBuf(Text.data(), length) == length;
}

std::string TVaCustomComm::ReadText() {
  const std::int32_t count = InQueCount();
  if (count <= 0) return {};
  std::string bytes(static_cast<std::size_t>(count), '\0');
  bytes.resize(static_cast<std::size_t>(ReadBuf(bytes.data(), count)));
  return bytes;
}

void TVaCustomComm::SetDTR(bool State) {
  if (flow_control_->ControlDtr() == dtrHandshake) {
    throw EVaCommError("DTR line updates not allowed when flowcontrol is set to Handshake.");
  }
  if (!IsOpen()) return;
  if (!device_->EscapeCommFunction(State ? SETDTR : CLRDTR)) {
    RaiseCommError("Error calling comm function (%d), %s");
  }
}

void TVaCustomComm::SetRTS(bool State) {
  const TVaControlRts rts = flow_control_->ControlRts();
  if (rts == rtsHandshake || rts == rtsToggle) {
    throw EVaCommError(
        "RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.");
  }
  if (!IsOpen()) return;
  if (!device_->EscapeCommFunction(State ? SETRTS : CLRRTS)) {
    RaiseCommError("Error calling comm function (%d), %s");
  }
}

bool TVaCustomComm::GetModemState(std::int32_t Line) {
  static const std::uint32_t kLineBits[] = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
  if (Line < 1 || Line > 4) return false;
  std::uint32_t status = 0;
  if (IsOpen() && !device_->GetCommModemStatus(status)) {
    RaiseCommError("Error reading modem state (%d), %s");
  }
  return (status & kLineBits[Line - 1]) != 0;
}

TVaCommStatistics TVaCustomComm::GetStatistics() {
  std::lock_guard guard(ReadLock);
  TVaCommStatistics stats;
  std::memset(&stats, 0, sizeof stats);
  if (IsOpen() && !device_->ClearCommError(stats.Errors, stats.Stat)) {
    RaiseCommError("Error retrieving statistics (%d), %s");
  }
  return stats;
}

std::int32_t TVaCustomComm::InQueCount() {
  if (!IsOpen()) return 0;
  return static_cast<std::int32_t>(GetStatistics().Stat.cbInQue);
}

// ---------------------------------------------------------------- events

void TVaCustomComm::ReportFailure(TObject* Sender) {
  const std::exception_ptr error = std::current_exception();
  bool port_error = false;
  try {
    if (error) std::rethrow_exception(error);
  } catch (const EVaCommError&) {
    port_error = true;
  } catch (...) {
  }
  // Only this port's errors while it is open make up an episode.
  if (!port_error || !IsOpen() || episode_.Begin()) ApplicationHandleException(Sender, error);
  if (!port_error || !close_when_gone_) return;
  try {
    std::rethrow_exception(error);
  } catch (const EVaCommError& e) {
    CloseIfGone(e);
  }
}

bool TVaCustomComm::CloseIfGone(const std::exception& E) {
  const auto* e = dynamic_cast<const EVaCommError*>(&E);
  if (e == nullptr || !IsOpen() || !CommDeviceGone(e->Code())) return false;
  Close();
  return true;
}

void TVaCustomComm::FailureShown() {
  if (IsOpen()) episode_.Begin();
}

void TVaCustomComm::HandleRxChar() {
  const std::int32_t count = InQueCount();
  if (count <= 0) return;
  if (OnRxChar) OnRxChar(this, count);
}

void TVaCustomComm::HandleEvents(std::uint32_t Mask) {
  if (Mask & EV_ERR) {
    bool read = false;
    TVaCommStatistics stats;
    try {
      stats = GetStatistics();
      read = true;
    } catch (...) {
      ReportFailure(this);
    }
    if (read) {
      try {
        if (stats.Errors != 0 && OnError) OnError(this, static_cast<std::int32_t>(stats.Errors));
      } catch (...) {
        ApplicationHandleException(this);
      }
    }
  }
  const std::pair<std::uint32_t, TVaNotifyEvent*> steps[] = {
      {EV_RXFLAG, &OnRxFlag}, {EV_CTS, &OnCts},      {EV_DSR, &OnDsr},
      {EV_RING, &OnRing},     {EV_RLSD, &OnRlsd},    {EV_TXEMPTY, &OnTxEmpty},
      {EV_BREAK, &OnBreak},   {EV_PERR, &OnPErr},    {EV_RX80FULL, &OnRx80Full},
      {EV_EVENT1, &OnEvent1}, {EV_EVENT2, &OnEvent2}};
  for (const auto& [bit, handler] : steps) {
    if ((Mask & bit) && *handler) (*handler)(this);
  }
}
