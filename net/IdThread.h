// A worker thread with a restartable work loop: StartLoop runs DoCycle over
// and over until StopLoop, which either ends the thread or pauses the loop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/Events.h"
#include "runtime/Thread.h"

class TIdBaseThread : public TThread {
 public:
  using TThread::TThread;
};

enum TIdThreadStopMode : std::uint8_t { smTerminate = 0, smSuspend = 1 };

class TIdThread;
using TIdExceptionThreadEvent = std::function<void(TIdThread* Sender, const std::exception& E)>;
using TIdNotifyThreadEvent = std::function<void(TIdThread* Sender)>;

class TIdThread : public TIdBaseThread {
 public:
  // Created stopped when suspended; create it with NewThread<...>.
  explicit TIdThread(bool CreateSuspended = true);
  // Ends the thread and waits for it. A subclass with its own DoCycle must
  // call TerminateAndWaitFor in its destructor, before its members go.
  ~TIdThread() override;

  // True while the loop does not run: stop requested, loop stopped, or the
  // thread not started.
  bool IsStopped();
  // Runs the loop (starting or waking the thread) when it is stopped.
  void StartLoop();
  // Stops the loop; in smTerminate mode the thread ends.
  void StopLoop();
  // Marks the loop stopped and asks the thread to end.
  void EndThread();
  // Asks the thread to end, wakes it wherever it waits, and waits for its end
  // (does nothing on the thread itself).
  void TerminateAndWaitFor();

  TIdThreadStopMode StopMode() const { return stop_mode_; }
  void SetStopMode(TIdThreadStopMode value) { stop_mode_ = value; }

  // Freed after every run of the loop.
  std::unique_ptr<TObject> DataObject;

  // Class name and message of the exception that ended the thread.
  std::string EndingClass();
  std::string EndingMessage();

  TIdExceptionThreadEvent OnLoopException;
  TIdNotifyThreadEvent OnLoopStopped;

 protected:
  void ThreadBody() override;

  virtual void RunLoopEnded() {}
  virtual void ThreadEnding() {}
  virtual void ThreadStarting() {}
  virtual void RunLoopStarting() {}
  virtual void ReleaseData();
  virtual void NotifyException(const std::exception& E);
  virtual void NotifyStopped();
  virtual void DoCycle() = 0;

  // For DoCycle: waits until the deadline passes or the loop is stopped,
  // whichever comes first.
  void WaitWhileRunning(std::chrono::steady_clock::time_point deadline);

 private:
  // Waits until the loop is started again or the thread is asked to end.
  void PauseUntilStarted();
  void WakePause();

  TCriticalSection state_lock_;     // StateLock
  std::atomic<bool> loop_stopped_;  // LoopStopped; changed under StateLock
  TIdThreadStopMode stop_mode_ = smTerminate;
  std::string ending_class_;
  std::string ending_message_;

  // The loop's own waits (paused, or idling inside a cycle) sleep on this;
  // every change that stops or starts the loop wakes them through it.
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;
};
