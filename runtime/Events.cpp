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
  std::lock_guard guard(lock_);
  if (signaled_.load(std::memory_order_relaxed)) return;
  T5_HAPPENS_BEFORE(this);
  const std::uint64_t one = 1;
  // The counter is 0 here, so the write cannot fail for want of room.
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
  signaled_.store(true, std::memory_order_release);
}

void TEvent::Reset() {
  std::lock_guard guard(lock_);
  if (!signaled_.load(std::memory_order_relaxed)) return;
  std::uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(fd_, &value, sizeof value);
  signaled_.store(false, std::memory_order_release);
}

TWaitResult TEvent::WaitFor(std::uint32_t ms, TWaitStyle style) const {
  const int fd = fd_;
  const int r = WaitForAnyFd(std::span<const int>(&fd, 1), ms, nullptr, style);
  if (r == 0) T5_HAPPENS_AFTER(const_cast<TEvent*>(this));
  return r == 0 ? wrSignaled : (r == -1 ? wrTimeout : wrError);
}

namespace {

// One look at the descriptors: the index of the first ready one, -1 when none
// is ready within timeout ms, -2 with errno set when poll fails, -3 when the
// look must be taken again (interrupted).
int PollOnce(std::vector<pollfd>& pfds, int timeout) {
  const int r = ::poll(pfds.data(), pfds.size(), timeout);
  if (r > 0) {
    for (std::size_t i = 0; i < pfds.size(); ++i) {
      if (pfds[i].revents != 0) return static_cast<int>(i);
    }
    return -3;
  }
  if (r == 0) return -1;
  return errno == EINTR ? -3 : -2;
}

}  // namespace

int WaitForAnyFd(std::span<const int> fds, std::uint32_t ms, int* errorOut, TWaitStyle style) {
  std::vector<pollfd> pfds(fds.size());
  for (std::size_t i = 0; i < fds.size(); ++i) pfds[i] = pollfd{fds[i], POLLIN, 0};
  using Clock = std::chrono::steady_clock;
  const bool infinite = ms == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : ms);
  if (style == TWaitStyle::SpinFirst && ms != 0) {
    int r = -1;
    SpinBriefly([&] {
      r = PollOnce(pfds, 0);
      return r >= 0 || r == -2;
    });
    if (r >= 0) return r;
    if (r == -2) {
      if (errorOut) *errorOut = errno;
      return -2;
    }
  }
  for (;;) {
    int timeout = -1;
    if (!infinite) {
      // Rounded up: a wait never ends before its time.
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 0x7FFFFFFF));
    }
    const int r = PollOnce(pfds, timeout);
    if (r >= -1) return r;
    if (r == -2) {
      if (errorOut) *errorOut = errno;
      return -2;
    }
  }
}
