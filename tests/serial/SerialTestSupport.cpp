#include "SerialTestSupport.h"

bool PumpUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  const auto deadline = SteadyClock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (SteadyClock::now() >= deadline) return false;
    CheckSynchronize(5);
  }
}

void PumpFor(std::chrono::milliseconds time) {
  const auto deadline = SteadyClock::now() + time;
  while (SteadyClock::now() < deadline) CheckSynchronize(5);
}

std::string WithSystemText(const std::string& head, int code) {
  return head + SystemText(code);
}

HookRecorder::HookRecorder() {
  SetApplicationOnException([this](TObject*, const std::exception& e) {
    std::lock_guard guard(lock_);
    messages_.emplace_back(e.what());
  });
}

HookRecorder::~HookRecorder() {
  SetApplicationOnException({});
}

std::vector<std::string> HookRecorder::Messages() const {
  std::lock_guard guard(lock_);
  return messages_;
}

std::size_t HookRecorder::Count() const {
  std::lock_guard guard(lock_);
  return messages_.size();
}

// ---------------------------------------------------------------- fake device

void FakeCommDevice::Receive(const std::string& bytes, std::uint32_t errors) {
  std::lock_guard guard(lock_);
  input_ += bytes;
  errors_ |= errors;
}

void FakeCommDevice::PushEvent(std::uint32_t mask) {
  std::lock_guard guard(lock_);
  events_.push_back(mask);
  event_ready_.Signal();
}

bool FakeCommDevice::EventsTaken() {
  std::lock_guard guard(lock_);
  return events_.empty();
}

void FakeCommDevice::SetFull(bool full) {
  if (full) {
    room_.Reset();
  } else {
    room_.Signal();
  }
}

std::vector<CommDcb> FakeCommDevice::Dcbs() {
  std::lock_guard guard(lock_);
  return dcbs_;
}

std::vector<std::uint32_t> FakeCommDevice::Masks() {
  std::lock_guard guard(lock_);
  return masks_;
}

std::vector<std::uint32_t> FakeCommDevice::Escapes() {
  std::lock_guard guard(lock_);
  return escapes_;
}

std::pair<std::uint32_t, std::uint32_t> FakeCommDevice::Queues() {
  std::lock_guard guard(lock_);
  return queues_;
}

std::string FakeCommDevice::Written() {
  std::lock_guard guard(lock_);
  return written_;
}

bool FakeCommDevice::Closed() {
  std::lock_guard guard(lock_);
  return closed_;
}

void FakeCommDevice::Reopen() {
  std::lock_guard guard(lock_);
  closed_ = false;
}

bool FakeCommDevice::SetCommState(const CommDcb& dcb) {
  std::lock_guard guard(lock_);
  dcbs_.push_back(dcb);
  if (dcb.BaudRate == 0) {
    errno = EINVAL;
    return false;
  }
  return !Fails(fail_state);
}

bool FakeCommDevice::SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) {
  std::lock_guard guard(lock_);
  queues_ = {inQueue, outQueue};
  return !Fails(fail_setup);
}

bool FakeCommDevice::SetCommTimeouts(const CommTimeouts&) {
  return !Fails(fail_timeouts);
}

bool FakeCommDevice::SetCommMask(std::uint32_t mask) {
  std::lock_guard guard(lock_);
  masks_.push_back(mask);
  return !Fails(fail_mask);
}

CommWait FakeCommDevice::WaitCommEvent(std::uint32_t& mask, TWaitable wake) {
  for (;;) {
    {
      std::lock_guard guard(lock_);
      if (closed_) {
        errno = EBADF;
        return CommWait::Failed;
      }
      if (!events_.empty()) {
        mask = events_.front();
        events_.pop_front();
        if (events_.empty()) event_ready_.Reset();
        return CommWait::Events;
      }
    }
    const TWaitable fds[2] = {wake, event_ready_.Handle()};
    if (WaitForAny(fds, INFINITE) == 0) return CommWait::Woken;
  }
}

long FakeCommDevice::Read(void* buffer, std::size_t count) {
  std::lock_guard guard(lock_);
  const std::size_t n = std::min(count, input_.size());
  std::copy_n(input_.data(), n, static_cast<char*>(buffer));
  input_.erase(0, n);
  return static_cast<long>(n);
}

long FakeCommDevice::Write(const void* buffer, std::size_t count) {
  ++write_calls;
  if (Fails(fail_write)) return -1;
  if (!room_.IsSignaled()) return 0;
  std::lock_guard guard(lock_);
  const std::size_t n = std::min(count, max_per_write.load());
  written_.append(static_cast<const char*>(buffer), n);
  return static_cast<long>(n);
}

CommWait FakeCommDevice::WaitWritable(TWaitable wake, std::uint32_t ms) {
  const TWaitable fds[2] = {room_.Handle(), wake};
  const int r = WaitForAny(std::span<const TWaitable>(fds, wake != kNoWaitable ? 2 : 1), ms);
  if (r == 0) return CommWait::Events;
  if (r == 1) return CommWait::Woken;
  return CommWait::Timeout;
}

bool FakeCommDevice::ClearCommError(std::uint32_t& errors, CommStat& stat) {
  std::lock_guard guard(lock_);
  errors = 0;
  stat = CommStat{};
  if (Fails(fail_stats)) return false;
  errors = errors_;
  errors_ = 0;
  stat.cbInQue = static_cast<std::uint32_t>(input_.size());
  return true;
}

bool FakeCommDevice::EscapeCommFunction(std::uint32_t function) {
  std::lock_guard guard(lock_);
  escapes_.push_back(function);
  return !Fails(fail_escape);
}

bool FakeCommDevice::GetCommModemStatus(std::uint32_t& status) {
  status = 0;
  if (Fails(fail_modem)) return false;
  status = modem_.load();
  return true;
}

void FakeCommDevice::Close() {
  std::lock_guard guard(lock_);
  closed_ = true;
}

std::shared_ptr<CommDevice> FakeComm::CreateHandle() {
  device->Reopen();
  return device;
}
