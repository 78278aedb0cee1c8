// A worker that hands one call to the main thread and ends: what the window
// systems' loops must run without waiting for anything else.
#pragma once

#include <functional>
#include <utility>

#include "runtime/Thread.h"

class Worker : public TThread {
 public:
  explicit Worker(std::function<void()> call) : TThread(false), call_(std::move(call)) {}
  ~Worker() override { WaitForExit(); }

 protected:
  void ThreadBody() override { RunOnMainThread(call_); }

 private:
  std::function<void()> call_;
};
