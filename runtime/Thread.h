// Worker threads and the marshalling of calls from workers onto the main
// thread. Everything that touches the window runs on the main thread; a
// worker gets there only through RunOnMainThread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "runtime/Classes.h"
#include "runtime/Events.h"

// The system's id of a thread.
using TThreadId = long long;

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread;
using TThreadMethod = std::function<void()>;
using TThreadEndEvent = std::function<void(TThread*)>;

// The record a worker fills when it hands a call to the main thread.
struct TPendingCall {
  TThread* Thread = nullptr;
  TThreadMethod Method;
  std::exception_ptr RaisedException;
};

// Base of every worker thread. The OS thread exists from construction on but
// does not enter ThreadBody before it is started: create instances with
// NewThread<T>(...), which starts the thread after the whole object (subclass
// included) has been built unless it was created suspended.
// A subclass whose body uses its own members must stop the thread
// (RequestStop, WaitForExit) in its destructor, before those members go.
class TThread : public TObject {
 public:
  explicit TThread(bool CreateSuspended);
  ~TThread() override;

  // Called once the full object exists; resumes unless created suspended.
  void AfterConstruction();

  void RequestStop() { stop_requested_.store(true); }
  bool StopRequested() const { return stop_requested_.load(); }

  // The priority in force, as read back after the last change: a change the
  // system refuses (a raise by an unprivileged user) leaves the old one.
  TThreadPriority Priority() const { return priority_.load(); }
  void SetPriority(TThreadPriority value);

  // A thread can suspend only itself; Suspend from another thread raises
  // EThread. Resume wakes a suspended thread (or starts one created
  // suspended); on a running thread it does nothing.
  void Suspend();
  void Resume();
  bool Suspended() const { return suspended_.load(); }

  // Waits for the thread to end and returns its exit code. On the main thread
  // marshalled calls keep running while it waits.
  int WaitForExit();

  bool FreeOnThreadEnd() const { return free_on_end_.load(); }
  void SetFreeOnThreadEnd(bool value) { free_on_end_.store(value); }
  TThreadEndEvent OnThreadEnd;

  bool Finished() const { return finished_.load(); }
  TThreadId ThreadID() const { return tid_; }
  int ReturnValue() const { return return_value_; }
  void SetReturnValue(int value) { return_value_ = value; }
  // What escaped ThreadBody, if anything.
  std::exception_ptr FatalException() const { return fatal_; }

  // Runs method on the main thread and waits for it; rethrows in this thread
  // the very exception object the method raised. On the main thread the
  // method is called directly. QueuedSignal, when given, is signalled once
  // the call is queued (for a main thread that waits for this thread's calls
  // in particular, see CheckSynchronizeFor).
  // Should waking the main thread fail, the call is withdrawn before the
  // failure is raised here: nothing of it stays queued.
  void RunOnMainThread(TThreadMethod method, TEvent* QueuedSignal = nullptr);

 protected:
  virtual void DoThreadEnd();
  virtual void ThreadBody() = 0;

 private:
  void Entry();
  void WaitUntilResumed();

  std::thread os_thread_;
  TThreadId tid_ = 0;
  TEvent finished_event_;
  std::exception_ptr fatal_;
  std::mutex gate_mutex_;
  std::condition_variable gate_cv_;
  bool tid_known_ = false;
  bool started_ = false;  // the gate the OS thread waits at before its body
  bool created_suspended_;
  std::atomic<bool> suspended_;
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> free_on_end_{false};
  std::atomic<bool> finished_{false};
  std::atomic<TThreadPriority> priority_{tpNormal};
  int return_value_ = 0;
  int exit_code_ = 0;
};

// Builds a thread object and starts it (unless created suspended).
template <class T, class... Args>
std::unique_ptr<T> NewThread(Args&&... args) {
  std::unique_ptr<T> t(new T(std::forward<Args>(args)...));
  t->AfterConstruction();
  return t;
}

// Runs the calls queued by workers, oldest first, one at a time. With a
// timeout above 0 it first waits that long for a call to be queued. Raises
// EThread when called off the main thread. Returns whether a call ran.
bool CheckSynchronize(std::uint32_t TimeoutMs = 0);
// Runs only the calls that Thread has queued, leaving the others queued in
// their order. For a main thread that must not wait for a worker blocked on
// it, without running every other worker's call in the middle of its work.
bool CheckSynchronizeFor(const TThread* Thread);

bool IsMainThread();
// The system's id of the calling thread.
TThreadId CurrentThreadId();
// Lowers the calling thread's priority a little, for background helpers;
// failure is ignored.
void LowerCurrentThreadPriority();

// Signalled when a call is queued or a thread ends. A call queued while the
// main thread, at the end of a pass, still looks for more is taken by that
// look and not signalled; one the pass leaves queued is signalled as it ends.
TEvent& CallsQueuedEvent();
// Set by the window system: makes the main loop run CheckSynchronize(0) soon.
// Called (under the queue lock) when a call is queued, except while the main
// thread looks for it as above.
void SetMainThreadWakeup(std::function<void()> wakeup);
// Number of calls queued and not yet taken by the main thread.
std::size_t PendingCallCount();
