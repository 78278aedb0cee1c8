#include "runtime/Events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

#include "runtime/Exception.h"

// An eventfd orders memory between the signalling and the woken thread, but
// the race checker cannot see through it; tell it.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define T5_HAPPENS_BEFORE(p) __tsan_release(p)
#define T5_HAPPENS_AFTER(p) __tsan_acquire(p)
#else
#define T5_HAPPENS_BEFORE(p) ((void)(p))
#define T5_HAPPENS_AFTER(p) ((void)(p))
#endif

TEvent::TEvent(bool initiallySignaled) : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) {
    const int err = errno;
    throw EThread(Format("Thread Error: %s (%d)", SysErrorMessage(err).c_str(), err));
  }
  if (initiallySignaled) Signal();
}

TEvent::~TEvent() {
  ::close(fd_);
}

void TEvent::Signal() {
  T5_HAPPENS_BEFORE(this);
  const std::uint64_t one = 1;
  // EAGAIN only when the counter is near overflow, i.e. already signalled.
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

void TEvent::Reset() {
  std::uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(fd_, &value, sizeof value);
}

bool TEvent::IsSignaled() const {
  pollfd p{fd_, POLLIN, 0};
  const bool signaled = ::poll(&p, 1, 0) == 1;
  if (signaled) T5_HAPPENS_AFTER(const_cast<TEvent*>(this));
  return signaled;
}

TWaitResult TEvent::WaitFor(std::uint32_t ms) const {
  const int fd = fd_;
  const int r = WaitForAnyFd(std::span<const int>(&fd, 1), ms);
  if (r == 0) T5_HAPPENS_AFTER(const_cast<TEvent*>(this));
  return r == 0 ? wrSignaled : (r == -1 ? wrTimeout : wrError);
}

int WaitForAnyFd(std::span<const int> fds, std::uint32_t ms, int* errorOut) {
  std::vector<pollfd> pfds(fds.size());
  for (std::size_t i = 0; i < fds.size(); ++i) pfds[i] = pollfd{fds[i], POLLIN, 0};
  using Clock = std::chrono::steady_clock;
  const bool infinite = ms == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : ms);
  for (;;) {
    int timeout = -1;
    if (!infinite) {
      // Rounded up: a wait never ends before its time.
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 0x7FFFFFFF));
    }
    const int r = ::poll(pfds.data(), pfds.size(), timeout);
    if (r > 0) {
      for (std::size_t i = 0; i < pfds.size(); ++i) {
        if (pfds[i].revents != 0) return static_cast<int>(i);
      }
    }
    if (r == 0) return -1;
    if (r < 0 && errno != EINTR) {
      if (errorOut) *errorOut = errno;
      return -2;
    }
  }
}
