#include "net/IdThread.h"

TIdThread::TIdThread(bool CreateSuspended)
    : TIdBaseThread(CreateSuspended), loop_stopped_(CreateSuspended) {}

TIdThread::~TIdThread() {
  SetFreeOnThreadEnd(false);
  TerminateAndWaitFor();
  ReleaseData();
}

bool TIdThread::IsStopped() {
  std::lock_guard<TCriticalSection> guard(state_lock_);
  return StopRequested() || loop_stopped_ || Suspended();
}

void TIdThread::StartLoop() {
  std::lock_guard<TCriticalSection> guard(state_lock_);
  if (IsStopped()) {
    loop_stopped_ = false;
    Resume();
    WakePause();
  }
}

void TIdThread::StopLoop() {
  std::lock_guard<TCriticalSection> guard(state_lock_);
  if (!IsStopped()) {
    if (stop_mode_ == smTerminate) EndThread();
    loop_stopped_ = true;
    // A cycle idling in WaitWhileRunning returns at once.
    WakePause();
  }
}

void TIdThread::EndThread() {
  {
    std::lock_guard<TCriticalSection> guard(state_lock_);
    loop_stopped_ = true;
    RequestStop();
  }
  WakePause();
}

void TIdThread::TerminateAndWaitFor() {
  if (Finished()) return;
  RequestStop();
  WakePause();
  Resume();
  if (CurrentThreadId() != ThreadID()) WaitForExit();
}

std::string TIdThread::EndingClass() {
  std::lock_guard<TCriticalSection> guard(state_lock_);
  return ending_class_;
}

std::string TIdThread::EndingMessage() {
  std::lock_guard<TCriticalSection> guard(state_lock_);
  return ending_message_;
}

void TIdThread::ReleaseData() {
  DataObject.reset();
}

void TIdThread::NotifyException(const std::exception& E) {
  if (OnLoopException) OnLoopException(this, E);
}

void TIdThread::NotifyStopped() {
  if (OnLoopStopped) OnLoopStopped(this);
}

void TIdThread::PauseUntilStarted() {
  std::unique_lock<std::mutex> lock(pause_mutex_);
  // StartLoop and EndThread change the state first and then wake through
  // this mutex, so no start is lost between the check and the wait.
  pause_cv_.wait(lock, [this] { return StopRequested() || !loop_stopped_.load(); });
}

void TIdThread::WaitWhileRunning(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(pause_mutex_);
  // StopLoop and EndThread change the state first and then wake through this
  // mutex, so no stop is lost between the check and the wait.
  pause_cv_.wait_until(lock, deadline, [this] { return StopRequested() || loop_stopped_.load(); });
}

void TIdThread::WakePause() {
  { std::lock_guard<std::mutex> lock(pause_mutex_); }
  pause_cv_.notify_all();
}

void TIdThread::ThreadBody() {
  try {
    ThreadStarting();
    try {
      while (!StopRequested()) {
        if (IsStopped()) {
          NotifyStopped();
          if (IsStopped()) {
            if (StopRequested()) break;
            PauseUntilStarted();
            if (StopRequested()) break;
          }
        }
        RunLoopStarting();
        try {
          while (!IsStopped()) DoCycle();
        } catch (...) {
          RunLoopEnded();
          ReleaseData();
          throw;
        }
        RunLoopEnded();
        ReleaseData();
      }
    } catch (...) {
      ThreadEnding();
      throw;
    }
    ThreadEnding();
  } catch (const Exception& E) {
    {
      std::lock_guard<TCriticalSection> guard(state_lock_);
      ending_class_ = ClassNameOf(E);
      ending_message_ = E.Message();
    }
    NotifyException(E);
    EndThread();
  }
}
