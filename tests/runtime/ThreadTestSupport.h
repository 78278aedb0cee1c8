// Threads and pumping shared by the runtime's thread tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "runtime/Thread.h"

namespace threadtest {

using Clock = std::chrono::steady_clock;

// Runs marshalled calls on this (main) thread until cond holds or 10 s pass.
inline bool PumpUntil(const std::function<bool()>& cond, int ms = 10000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!cond()) {
    if (Clock::now() > deadline) return false;
    CheckSynchronize(10);
  }
  return true;
}

class FnThread : public TThread {
 public:
  FnThread(bool suspended, std::function<void(FnThread&)> body)
      : TThread(suspended), body_(std::move(body)) {}
  ~FnThread() override {
    RequestStop();
    if (!Finished()) {
      Resume();
      WaitForExit();
    }
  }
  std::atomic<bool> entered{false};

 protected:
  void ThreadBody() override {
    entered = true;
    body_(*this);
  }

 private:
  std::function<void(FnThread&)> body_;
};

// A thread that idles until it is stopped.
inline std::unique_ptr<FnThread> IdleThread(std::function<void()> first = {}) {
  return NewThread<FnThread>(false, [first](FnThread& self) {
    if (first) first();
    while (!self.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
}

}  // namespace threadtest
