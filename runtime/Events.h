// Manual-reset events that a thread can wait on together with the system's
// other waitable objects, and a re-entrant lock. The system side lives in one
// file per platform (an eventfd and poll on Linux, an event object and
// WaitForMultipleObjects on Windows).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

// The system headers of Windows spell the same value as a macro; whichever
// comes first, the name means 0xFFFFFFFF.
#pragma push_macro("INFINITE")
#undef INFINITE
inline constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
#pragma pop_macro("INFINITE")

enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// An object of the system that a thread can wait on: a file descriptor on
// Linux, a handle on Windows.
using TWaitable = std::intptr_t;
inline constexpr TWaitable kNoWaitable = -1;

// How a wait spends its first moments. Most waits are long (a device, a
// socket, an idle writer) and sleep at once; a hand-off that is expected back
// within microseconds may look first, since waking a sleeping thread costs
// the waker tens of microseconds on a virtual machine.
enum class TWaitStyle { Sleep, SpinFirst };

// A manual-reset event: once signalled it stays signalled until Reset, and a
// wait does not consume it. Its state is kept beside the descriptor, so that
// signalling a signalled event, clearing a clear one and asking for the state
// cost no system call.
class TEvent {
 public:
  explicit TEvent(bool initiallySignaled = false);  // EThread when no fd can be had
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Signal();
  void Reset();
  bool IsSignaled() const { return signaled_.load(std::memory_order_acquire); }
  // Waits up to ms milliseconds (INFINITE: no limit).
  TWaitResult WaitFor(std::uint32_t ms, TWaitStyle style = TWaitStyle::Sleep) const;
  // Signalled for the system's waits while the event is.
  TWaitable Handle() const { return handle_; }

 private:
  TWaitable handle_;
  std::mutex lock_;  // the descriptor changes only together with signaled_
  std::atomic<bool> signaled_{false};
};

// How long a SpinFirst wait keeps looking before it sleeps.
inline constexpr auto kSpinTime = std::chrono::microseconds(50);

// Tests ready() until it holds or kSpinTime has passed, giving the processor
// to whoever wants it between tests; returns whether it held. Callers go on
// to a sleeping wait when it did not.
template <class Ready>
bool SpinBriefly(Ready ready) {
  const auto end = std::chrono::steady_clock::now() + kSpinTime;
  do {
    if (ready()) return true;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < end);
  return ready();
}

// Waits until one of the objects is signalled (a descriptor: readable, or
// reporting an error or hang-up) or ms milliseconds pass. Returns the index
// of the first ready one, -1 on timeout; sets errorOut (if given) to the
// system's error code and returns -2 when the wait fails. An interrupted wait
// is taken again with the time left.
int WaitForAny(std::span<const TWaitable> objects, std::uint32_t ms, int* errorOut = nullptr,
               TWaitStyle style = TWaitStyle::Sleep);

// Waits for one object the caller owns: wrSignaled when it is signalled,
// wrAbandoned when it reports a hang-up or error instead (nothing to read),
// wrTimeout after ms (never with INFINITE), wrError with the system's code in
// errorOut when the wait itself fails.
TWaitResult WaitForWaitable(TWaitable object, std::uint32_t ms, int& errorOut);
// Closes an object the caller owns.
void CloseWaitable(TWaitable object);

// Milliseconds of poll timeout for a duration given as INFINITE or ms.
inline int PollTimeout(std::uint32_t ms) {
  return ms == INFINITE ? -1 : (ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ms));
}

// Re-entrant critical section.
class TCriticalSection {
 public:
  void Enter() { m_.lock(); }
  void Leave() { m_.unlock(); }
  bool TryEnter() { return m_.try_lock(); }
  // BasicLockable, for std::lock_guard / std::unique_lock.
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }

 private:
  std::recursive_mutex m_;
};
