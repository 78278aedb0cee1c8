#include "runtime/Thread.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <system_error>
#include <vector>

#include "runtime/System.h"

namespace {

// Static initialisation runs on the thread that enters main.
const std::thread::id g_main_thread = std::this_thread::get_id();

// Signalled once the main thread has run a call. Not std::binary_semaphore:
// the C++ library of the Windows build can miss its release and leave the
// worker asleep for good. The worker's brief look before it sleeps reads one
// atomic and takes no lock, so it never contends with the release; the lock
// and the condition variable are used only when the worker really sleeps.
class CallDone {
 public:
  void release() {
    // A worker that has not gone to sleep may see kDone and destroy this
    // object at once: nothing of it is touched after a successful exchange.
    int expected = kPending;
    if (state_.compare_exchange_strong(expected, kDone, std::memory_order_acq_rel)) return;
    // The worker sleeps (or is about to, holding the lock). kDone is stored
    // under the lock, so even a spurious wake-up cannot see it and leave
    // before this release has let go of the mutex.
    std::lock_guard<std::mutex> lock(mutex_);
    state_.store(kDone, std::memory_order_release);
    cv_.notify_one();
  }
  bool try_acquire() const { return state_.load(std::memory_order_acquire) == kDone; }
  void acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    int expected = kPending;
    if (!state_.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel)) return;
    cv_.wait(lock, [this] { return state_.load(std::memory_order_acquire) == kDone; });
  }

 private:
  static constexpr int kPending = 0, kSleeping = 1, kDone = 2;
  std::atomic<int> state_{kPending};
  std::mutex mutex_;
  std::condition_variable cv_;
};

struct QueuedCall {
  TPendingCall* record;
  CallDone* done;
};

struct CallQueue {
  std::mutex PendingCallsLock;
  std::vector<QueuedCall> PendingCalls;
  std::function<void()> MainThreadWakeup;
  // Under the lock: the main thread has just emptied the queue and keeps
  // looking at Count for a moment before it goes back to its loop. A call
  // queued meanwhile is taken by that look, so its worker neither signals
  // CallsQueuedEvent nor wakes the loop: two system calls and a wake-up of
  // a sleeping loop saved on every hand-off of a busy exchange.
  bool MainLooking = false;
  // PendingCalls.size(), for that look, which takes no lock.
  std::atomic<std::size_t> Count{0};
};

CallQueue& Queue() {
  static CallQueue queue;
  return queue;
}

[[noreturn]] void RaiseThreadError(int err) {
  throw EThread(Format("Thread Error: %s (%d)", SysErrorMessage(err).c_str(), err));
}

}  // namespace

bool IsMainThread() {
  return std::this_thread::get_id() == g_main_thread;
}

TEvent& CallsQueuedEvent() {
  static TEvent event;
  return event;
}

void SetMainThreadWakeup(std::function<void()> wakeup) {
  std::lock_guard<std::mutex> lock(Queue().PendingCallsLock);
  Queue().MainThreadWakeup = std::move(wakeup);
}

std::size_t PendingCallCount() {
  std::lock_guard<std::mutex> lock(Queue().PendingCallsLock);
  return Queue().PendingCalls.size();
}

namespace {
void RunQueuedCall(QueuedCall& call) {
  try {
    call.record->Method();
  } catch (...) {
    call.record->RaisedException = std::current_exception();
  }
  call.done->release();
}
}  // namespace

namespace {

// Calls a pass may take beyond those queued when it began, while it looks
// for more after the queue ran dry: enough for a burst of exchanges, few
// enough that a steady stream cannot keep the loop from its other work.
constexpr int kLateCallsPerPass = 32;

// Takes the oldest queued call, if any. With Linger, an empty queue leaves
// the main thread looking: calls queued from then on are not signalled.
bool TakeCall(QueuedCall& call, bool linger) {
  CallQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.PendingCallsLock);
  auto& pending = q.PendingCalls;
  if (pending.empty()) {
    q.MainLooking = linger;
    // Every call queued so far has been taken, and the signal a later one
    // gives (or, while the main thread looks, need not give) is given under
    // this lock: clearing it here drops only signals already answered.
    if (linger) CallsQueuedEvent().Reset();
    return false;
  }
  // A call runs with nobody looking: a wait inside it (WaitForExit, a write
  // waiting for the writer) must see the signals of calls queued meanwhile.
  q.MainLooking = false;
  call = pending.front();
  pending.erase(pending.begin());
  q.Count.store(pending.size(), std::memory_order_relaxed);
  return true;
}

// Ends the pass's looking. Calls still queued may have come while the main
// thread looked, unsignalled: they are signalled now, for the next pass.
void StopLooking() {
  CallQueue& q = Queue();
  std::lock_guard<std::mutex> lock(q.PendingCallsLock);
  q.MainLooking = false;
  if (!q.PendingCalls.empty()) {
    CallsQueuedEvent().Signal();
    try {
      if (q.MainThreadWakeup) q.MainThreadWakeup();
    } catch (...) {
      // The event alone brings the loop back; the hook is only the quicker way.
    }
  }
}

}  // namespace

bool CheckSynchronize(std::uint32_t TimeoutMs) {
  if (!IsMainThread()) {
    throw EThread(Format("CheckSynchronize called from thread $%x, which is NOT the main thread",
                         static_cast<unsigned>(CurrentThreadId())));
  }
  TEvent& queued = CallsQueuedEvent();
  // Clear before taking the list: a call queued after the take signals again.
  if (TimeoutMs > 0) {
    if (queued.WaitFor(TimeoutMs) == wrSignaled) queued.Reset();
  } else {
    queued.Reset();
  }
  // The calls are taken one at a time from the shared queue: a call that
  // waits inside for a later one (CheckSynchronizeFor) still finds it there.
  // Only as many calls as were queued when the pass began run in it, and a
  // few that come while it looks briefly for more, so a steady stream of
  // new calls cannot keep the loop from its other work.
  std::size_t budget;
  {
    std::lock_guard<std::mutex> lock(Queue().PendingCallsLock);
    budget = Queue().PendingCalls.size();
  }
  bool ran = false;
  QueuedCall call;
  for (; budget > 0; --budget) {
    if (!TakeCall(call, false)) break;
    RunQueuedCall(call);
    ran = true;
  }
  if (!ran) return false;
  // A call answered is often followed by another within microseconds (the
  // worker's next datagram, the responder's write, the writer's report):
  // looking for it briefly costs less than the loop's sleep and wake-up.
  for (int late = 0; late < kLateCallsPerPass; ++late) {
    if (!TakeCall(call, true)) {
      const bool came = SpinBriefly(
          [] { return Queue().Count.load(std::memory_order_relaxed) != 0; });
      if (!came || !TakeCall(call, true)) break;
    }
    RunQueuedCall(call);
  }
  StopLooking();
  return true;
}

bool CheckSynchronizeFor(const TThread* Thread) {
  if (!IsMainThread()) {
    throw EThread(Format("CheckSynchronize called from thread $%x, which is NOT the main thread",
                         static_cast<unsigned>(CurrentThreadId())));
  }
  std::vector<QueuedCall> taken;
  {
    std::lock_guard<std::mutex> lock(Queue().PendingCallsLock);
    auto& pending = Queue().PendingCalls;
    const auto mine =
        std::stable_partition(pending.begin(), pending.end(),
                              [Thread](const QueuedCall& c) { return c.record->Thread != Thread; });
    taken.assign(mine, pending.end());
    pending.erase(mine, pending.end());
    Queue().Count.store(pending.size(), std::memory_order_relaxed);
  }
  for (QueuedCall& call : taken) RunQueuedCall(call);
  return !taken.empty();
}

// ---------------------------------------------------------------- TThread

TThread::TThread(bool CreateSuspended)
    : created_suspended_(CreateSuspended), suspended_(CreateSuspended) {
  try {
    os_thread_ = std::thread([this] { Entry(); });
  } catch (const std::system_error& e) {
    throw EThread(Format("Thread creation error: %s", SysErrorMessage(e.code().value()).c_str()));
  }
  std::unique_lock<std::mutex> lock(gate_mutex_);
  gate_cv_.wait(lock, [this] { return tid_known_; });
}

TThread::~TThread() {
  if (!finished_.load()) {
    RequestStop();
    {
      std::lock_guard<std::mutex> lock(gate_mutex_);
      started_ = true;
      suspended_.store(false);
      gate_cv_.notify_all();
    }
    if (std::this_thread::get_id() != os_thread_.get_id()) WaitForExit();
  }
  if (os_thread_.joinable()) {
    if (std::this_thread::get_id() == os_thread_.get_id()) {
      os_thread_.detach();  // freeing itself at its end
    } else {
      os_thread_.join();
    }
  }
}

void TThread::AfterConstruction() {
  if (!created_suspended_) {
    // Notified under the lock: a thread that frees itself at its end may be
    // gone, condition variable and all, as soon as the lock is released.
    std::lock_guard<std::mutex> lock(gate_mutex_);
    started_ = true;
    gate_cv_.notify_all();
  }
}

void TThread::Entry() {
  {
    std::unique_lock<std::mutex> lock(gate_mutex_);
    tid_ = CurrentThreadId();
    tid_known_ = true;
    gate_cv_.notify_all();
    gate_cv_.wait(lock, [this] { return started_; });
  }
  if (!StopRequested()) {
    try {
      ThreadBody();
    } catch (...) {
      fatal_ = std::current_exception();
    }
  }
  const bool free_self = FreeOnThreadEnd();
  exit_code_ = return_value_;
  try {
    DoThreadEnd();
  } catch (...) {
    // The end hook's failure has nowhere to go; the thread ends regardless.
  }
  finished_.store(true);
  CallsQueuedEvent().Signal();
  finished_event_.Signal();
  // Past this point a waiter may destroy the object: touch nothing of it.
  if (free_self) delete this;
}

void TThread::DoThreadEnd() {
  if (OnThreadEnd) RunOnMainThread([this] { OnThreadEnd(this); });
}

void TThread::SetPriority(TThreadPriority value) {
  priority_.store(ApplyThreadPriority(tid_, value, finished_.load()));
}

void TThread::Suspend() {
  if (CurrentThreadId() != tid_) RaiseThreadError(kErrorNotPermitted);
  std::unique_lock<std::mutex> lock(gate_mutex_);
  suspended_.store(true);
  gate_cv_.wait(lock, [this] { return !suspended_.load(); });
}

void TThread::Resume() {
  std::lock_guard<std::mutex> lock(gate_mutex_);
  if (!started_) {
    started_ = true;
  } else if (!suspended_.load()) {
    return;
  }
  suspended_.store(false);
  gate_cv_.notify_all();
}

int TThread::WaitForExit() {
  if (CurrentThreadId() == tid_) RaiseThreadError(kErrorDeadlock);
  if (IsMainThread()) {
    const TWaitable fds[2] = {finished_event_.Handle(), CallsQueuedEvent().Handle()};
    for (;;) {
      int err = 0;
      const int r = WaitForAny(fds, 1000, &err);
      if (r == 0) break;
      if (r == 1) CheckSynchronize(0);
      if (r == -2) RaiseThreadError(err);
    }
  } else if (finished_event_.WaitFor(INFINITE) != wrSignaled) {
    RaiseThreadError(LastSystemError());
  }
  // Pairs with the store in Entry, which comes after exit_code_ is written.
  (void)finished_.load(std::memory_order_acquire);
  return exit_code_;
}

void TThread::RunOnMainThread(TThreadMethod method, TEvent* QueuedSignal) {
  if (IsMainThread()) {
    method();
    return;
  }
  TPendingCall record;
  record.Thread = this;
  record.Method = std::move(method);
  CallDone done;
  {
    CallQueue& q = Queue();
    std::lock_guard<std::mutex> lock(q.PendingCallsLock);
    auto& pending = q.PendingCalls;
    pending.push_back(QueuedCall{&record, &done});
    q.Count.store(pending.size(), std::memory_order_relaxed);
    try {
      if (QueuedSignal) QueuedSignal->Signal();
      if (!q.MainLooking) {
        CallsQueuedEvent().Signal();
        if (q.MainThreadWakeup) q.MainThreadWakeup();
      }
    } catch (...) {
      // The lock is still held, so the main thread has not taken the call:
      // withdraw it, or it would later run on, and signal, this dead frame.
      pending.erase(std::find_if(pending.begin(), pending.end(),
                                 [&](const QueuedCall& c) { return c.record == &record; }));
      q.Count.store(pending.size(), std::memory_order_relaxed);
      throw;
    }
  }
  // The one hand-off that comes back within microseconds as a rule: look
  // briefly before sleeping.
  if (!SpinBriefly([&] { return done.try_acquire(); })) done.acquire();
  if (record.RaisedException) std::rethrow_exception(record.RaisedException);
}
