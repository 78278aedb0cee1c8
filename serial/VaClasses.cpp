#include "serial/VaClasses.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

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
  SetHandle(event_.Fd());
}

TVaEvent::~TVaEvent() {
  SetHandle(-1);  // the event closes its own descriptor
}
