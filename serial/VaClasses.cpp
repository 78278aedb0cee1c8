#include "serial/VaClasses.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "runtime/Exception.h"

TVaHandleObject::~TVaHandleObject() {
  if (handle_ >= 0) ::close(handle_);
}

TWaitResult TVaHandleObject::WaitFor(std::uint32_t Milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(Milliseconds == INFINITE ? 0 : Milliseconds);
  for (;;) {
    int timeout = -1;
    if (Milliseconds != INFINITE) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
    }
    pollfd p{handle_, POLLIN, 0};
    const int n = ::poll(&p, 1, timeout);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      last_error_ = errno;
      return wrError;
    }
    if (n == 0) return wrTimeout;
    if (p.revents & POLLIN) return wrSignaled;
    if (p.revents & POLLNVAL) {
      last_error_ = EBADF;
      return wrError;
    }
    return wrAbandoned;
  }
}

TVaEvent::TVaEvent() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    throw EThread(Format("Thread Error: %s (%d)", SysErrorMessage(err).c_str(), err));
  }
  SetHandle(fd);
}

void TVaEvent::Signal() {
  const std::uint64_t one = 1;
  // Fails only when the counter is already near its top, i.e. signalled.
  [[maybe_unused]] ssize_t n = ::write(Handle(), &one, sizeof one);
}

void TVaEvent::Reset() {
  std::uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(Handle(), &value, sizeof value);
}

bool TVaEvent::IsSignaled() {
  return WaitFor(0) == wrSignaled;
}
