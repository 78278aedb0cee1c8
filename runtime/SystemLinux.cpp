// The runtime's system calls on Linux: events over eventfd, waits over poll,
// thread ids and priorities as nice values, error texts from strerror.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

#include "runtime/Events.h"
#include "runtime/Exception.h"
#include "runtime/System.h"
#include "runtime/Thread.h"

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

TEvent::TEvent(bool initiallySignaled) : handle_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (handle_ < 0) {
    const int err = errno;
    throw EThread(Format("Thread Error: %s (%d)", SysErrorMessage(err).c_str(), err));
  }
  if (initiallySignaled) Signal();
}

TEvent::~TEvent() {
  ::close(static_cast<int>(handle_));
}

void TEvent::Signal() {
  std::lock_guard guard(lock_);
  if (signaled_.load(std::memory_order_relaxed)) return;
  T5_HAPPENS_BEFORE(this);
  const std::uint64_t one = 1;
  // The counter is 0 here, so the write cannot fail for want of room.
  [[maybe_unused]] ssize_t n = ::write(static_cast<int>(handle_), &one, sizeof one);
  signaled_.store(true, std::memory_order_release);
}

void TEvent::Reset() {
  std::lock_guard guard(lock_);
  if (!signaled_.load(std::memory_order_relaxed)) return;
  std::uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(static_cast<int>(handle_), &value, sizeof value);
  signaled_.store(false, std::memory_order_release);
}

TWaitResult TEvent::WaitFor(std::uint32_t ms, TWaitStyle style) const {
  const TWaitable fd = handle_;
  const int r = WaitForAny(std::span<const TWaitable>(&fd, 1), ms, nullptr, style);
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

int WaitForAny(std::span<const TWaitable> fds, std::uint32_t ms, int* errorOut, TWaitStyle style) {
  std::vector<pollfd> pfds(fds.size());
  for (std::size_t i = 0; i < fds.size(); ++i)
    pfds[i] = pollfd{static_cast<int>(fds[i]), POLLIN, 0};
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

TWaitResult WaitForWaitable(TWaitable object, std::uint32_t ms, int& errorOut) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
  for (;;) {
    int timeout = -1;
    if (ms != INFINITE) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 0x7FFFFFFF));
    }
    pollfd p{static_cast<int>(object), POLLIN, 0};
    const int n = ::poll(&p, 1, timeout);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      errorOut = errno;
      return wrError;
    }
    if (n == 0) return wrTimeout;
    if (p.revents & POLLIN) return wrSignaled;
    if (p.revents & POLLNVAL) {
      errorOut = EBADF;
      return wrError;
    }
    return wrAbandoned;
  }
}

void CloseWaitable(TWaitable object) {
  if (object >= 0) ::close(static_cast<int>(object));
}

std::string SysErrorMessage(int code) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : Format("Unknown error %d", code);
}

TThreadId CurrentThreadId() {
  return static_cast<TThreadId>(::syscall(SYS_gettid));
}

namespace {

[[noreturn]] void RaisePriorityError(int err) {
  throw EThread(Format("Thread Error: %s (%d)", SysErrorMessage(err).c_str(), err));
}

constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -20};

// The level nearest to a nice value (one set from outside may lie between).
TThreadPriority PriorityOfNice(int nice) {
  int best = 0;
  for (int i = 1; i < static_cast<int>(std::size(kNice)); ++i) {
    if (std::abs(kNice[i] - nice) < std::abs(kNice[best] - nice)) best = i;
  }
  return static_cast<TThreadPriority>(best);
}

}  // namespace

TThreadPriority ApplyThreadPriority(TThreadId thread, TThreadPriority value, bool finished) {
  const auto id = static_cast<id_t>(thread);
  if (::setpriority(PRIO_PROCESS, id, kNice[static_cast<int>(value)]) != 0) {
    const int err = errno;
    // An unprivileged raise is refused by the system; running at the old
    // priority is harmless. A thread that has already ended has no priority.
    if (err != EACCES && err != EPERM && !(err == ESRCH && finished)) RaisePriorityError(err);
  }
  // What is in force, not what was asked: a refused change leaves the old
  // priority.
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, id);
  if (nice == -1 && errno != 0) {
    const int err = errno;
    if (err != ESRCH || !finished) RaisePriorityError(err);
    return value;
  }
  return PriorityOfNice(nice);
}

void LowerCurrentThreadPriority() {
  // Best effort: a helper that runs a little later is harmless.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), 10);
}

int LastSystemError() {
  return errno;
}

const int kErrorNotPermitted = EPERM;
const int kErrorDeadlock = EDEADLK;

void* AllocatePages(std::size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

void FreePages(void* pages, std::size_t size) {
  ::munmap(pages, size);
}
