#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/Thread.h"
#include "tests/runtime/ThreadTestSupport.h"

namespace {

using namespace threadtest;

// Waits (without running anything) until n calls are queued.
bool PumpUntilQueued(std::size_t n) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (PendingCallCount() < n) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(Marshalling, CallsFromSeveralWorkersRunOnMainOneAtATimeInOrder) {
  constexpr int kWorkers = 4;
  constexpr int kCalls = 200;
  std::vector<std::pair<int, int>> ran;  // touched only on the main thread
  int in_flight = 0;
  bool overlap = false, off_main = false;
  std::vector<std::unique_ptr<FnThread>> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.push_back(NewThread<FnThread>(false, [&, w](FnThread& self) {
      for (int i = 0; i < kCalls; ++i) {
        self.RunOnMainThread([&, w, i] {
          if (++in_flight != 1) overlap = true;
          if (!IsMainThread()) off_main = true;
          ran.emplace_back(w, i);
          --in_flight;
        });
      }
    }));
  }
  ASSERT_TRUE(PumpUntil([&] { return ran.size() == kWorkers * kCalls; }));
  EXPECT_FALSE(overlap);
  EXPECT_FALSE(off_main);
  std::vector<int> next(kWorkers, 0);
  for (auto [w, i] : ran) EXPECT_EQ(i, next[w]++) << "worker " << w << " out of order";
  for (auto& t : workers) t->WaitForExit();
}

TEST(Marshalling, CallsThatOutlastTheWorkersLookEndCleanly) {
  // The main thread ends each call while the worker is still looking, about
  // to sleep, or asleep, in turn; the worker's record of the call lives in
  // its own frame, so ending a call must not touch it once the worker may
  // have gone on (a sanitizer build sees it if it does).
  constexpr int kCalls = 20000;
  int ran = 0;
  auto worker = NewThread<FnThread>(false, [&](FnThread& self) {
    for (int i = 0; i < kCalls; ++i) {
      self.RunOnMainThread([&, i] {
        const auto until = Clock::now() + kSpinTime * (i % 8) / 4;
        while (Clock::now() < until) {
        }
        ++ran;
      });
    }
  });
  ASSERT_TRUE(PumpUntil([&] { return ran == kCalls; }));
  worker->WaitForExit();
}

TEST(Marshalling, ALoopThatRunsCallsOnlyWhenSignalledMissesNone) {
  // As the window systems' loops do: sleep on the queue's event, run a pass
  // when it fires. Calls that come back to back land while a pass is still
  // looking for more, and some passes end at their limit with calls left:
  // every one of them must still be signalled.
  constexpr int kWorkers = 3;
  constexpr int kCalls = 2000;
  int ran = 0;
  std::vector<std::unique_ptr<FnThread>> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.push_back(NewThread<FnThread>(false, [&](FnThread& self) {
      for (int i = 0; i < kCalls; ++i) self.RunOnMainThread([&] { ++ran; });
    }));
  }
  while (ran < kWorkers * kCalls) {
    ASSERT_EQ(CallsQueuedEvent().WaitFor(5000), wrSignaled)
        << ran << " calls ran; " << PendingCallCount() << " left queued without a signal";
    CheckSynchronize(0);
  }
  for (auto& t : workers) t->WaitForExit();
}

struct Tracked : Exception {
  explicit Tracked(const Tracked** where) : Exception("from main") { *where = this; }
};

TEST(Marshalling, ExceptionReachesTheWorkerAsTheSameObject) {
  const Tracked* thrown = nullptr;
  const Tracked* caught = nullptr;
  std::string message;
  std::atomic<bool> after_ran{false};
  auto worker = NewThread<FnThread>(false, [&](FnThread& self) {
    try {
      self.RunOnMainThread([&] { throw Tracked(&thrown); });
    } catch (const Tracked& e) {
      caught = &e;
      message = e.Message();
    }
    // The main thread survived and still serves calls.
    self.RunOnMainThread([&] { after_ran = true; });
  });
  ASSERT_TRUE(PumpUntil([&] { return after_ran.load(); }));
  worker->WaitForExit();
  ASSERT_NE(thrown, nullptr);
  EXPECT_EQ(caught, thrown);
  EXPECT_EQ(message, "from main");
  EXPECT_FALSE(worker->FatalException());
}

TEST(Marshalling, WaitForExitOnMainKeepsServingOtherWorkers) {
  std::atomic<bool> served{false};
  std::atomic<bool> saw_served{false};
  auto caller = NewThread<FnThread>(
      false, [&](FnThread& self) { self.RunOnMainThread([&] { served = true; }); });
  // Ends only after the other worker's call has run on the main thread,
  // which is blocked in WaitForExit on this one meanwhile.
  auto waited = NewThread<FnThread>(false, [&](FnThread&) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!served && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    saw_served = served.load();
  });
  waited->WaitForExit();
  EXPECT_TRUE(saw_served);
  caller->WaitForExit();
}

TEST(Marshalling, CallsOfOneWorkerCanBeRunAloneAndSignalWhenQueued) {
  TEvent a_queued;
  std::atomic<bool> a_ran{false}, b_ran{false};
  auto b = NewThread<FnThread>(
      false, [&](FnThread& self) { self.RunOnMainThread([&] { b_ran = true; }); });
  ASSERT_TRUE(PumpUntilQueued(1));
  auto a = NewThread<FnThread>(
      false, [&](FnThread& self) { self.RunOnMainThread([&] { a_ran = true; }, &a_queued); });
  ASSERT_EQ(a_queued.WaitFor(10000), wrSignaled);
  EXPECT_EQ(PendingCallCount(), 2u);
  EXPECT_TRUE(CheckSynchronizeFor(a.get()));
  EXPECT_TRUE(a_ran);
  EXPECT_FALSE(b_ran) << "the other worker's call must stay queued";
  EXPECT_FALSE(CheckSynchronizeFor(a.get()));
  EXPECT_EQ(PendingCallCount(), 1u);
  ASSERT_TRUE(PumpUntil([&] { return b_ran.load(); }));
  a->WaitForExit();
  b->WaitForExit();
}

TEST(Marshalling, ACallCanWaitForALaterCallQueuedInTheSamePass) {
  // The first call waits on the main thread for the second worker's call,
  // as a write waiting for the writer's report does; both were queued
  // before the main thread looked.
  std::atomic<bool> b_ran{false};
  std::atomic<FnThread*> b_thread{nullptr};
  bool a_saw_b = false;
  auto a = NewThread<FnThread>(false, [&](FnThread& self) {
    self.RunOnMainThread([&] {
      const auto deadline = Clock::now() + std::chrono::seconds(3);
      while (!b_ran && Clock::now() < deadline) {
        if (!CheckSynchronizeFor(b_thread.load())) std::this_thread::yield();
      }
      a_saw_b = b_ran;
    });
  });
  ASSERT_TRUE(PumpUntilQueued(1));
  auto b = NewThread<FnThread>(
      false, [&](FnThread& self) { self.RunOnMainThread([&] { b_ran = true; }); });
  b_thread = b.get();
  ASSERT_TRUE(PumpUntilQueued(2));
  EXPECT_TRUE(CheckSynchronize(0));
  EXPECT_TRUE(a_saw_b) << "the later call was out of reach while the first one ran";
  a->WaitForExit();
  b->WaitForExit();
}

TEST(Marshalling, FailedWakeUpLeavesNothingQueued) {
  SetMainThreadWakeup([] { throw Exception("no loop to wake"); });
  std::string message;
  std::atomic<bool> ran{false};
  auto t = NewThread<FnThread>(false, [&](FnThread& self) {
    try {
      self.RunOnMainThread([&] { ran = true; });
    } catch (const Exception& e) {
      message = e.Message();
    }
  });
  t->WaitForExit();
  SetMainThreadWakeup(nullptr);
  EXPECT_EQ(message, "no loop to wake");
  EXPECT_EQ(PendingCallCount(), 0u);
  EXPECT_FALSE(CheckSynchronize(0));
  EXPECT_FALSE(ran);
}

TEST(Marshalling, CheckSynchronizeOffTheMainThreadRaisesWithTheThreadId) {
  std::string message;
  TThreadId tid = 0;
  std::thread other([&] {
    tid = CurrentThreadId();
    try {
      CheckSynchronize(0);
    } catch (const EThread& e) {
      message = e.Message();
    }
  });
  other.join();
  EXPECT_EQ(message, Format("CheckSynchronize called from thread $%x, which is NOT the main thread",
                            static_cast<unsigned>(tid)));
}

TEST(Marshalling, CheckSynchronizeWithTimeoutReturnsFalseWhenNothingCame) {
  CheckSynchronize(0);  // earlier threads' ends left the event signalled
  const auto start = Clock::now();
  EXPECT_FALSE(CheckSynchronize(30));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(25));
}

TEST(Thread, StoppedBeforeItFirstRunsNeverEntersItsBody) {
  auto t = NewThread<FnThread>(true, [](FnThread&) {});
  t->RequestStop();
  t->Resume();
  t->WaitForExit();
  EXPECT_FALSE(t->entered);
  EXPECT_TRUE(t->Finished());

  // Destroying one that was never resumed ends it the same way.
  std::atomic<bool> ran{false};
  auto never = NewThread<FnThread>(true, [&](FnThread&) { ran = true; });
  never.reset();
  EXPECT_FALSE(ran);
}

TEST(Thread, KeepsWhatEscapedTheBodyAndItsReturnValue) {
  auto t = NewThread<FnThread>(false, [](FnThread& self) {
    self.SetReturnValue(5);
    throw Exception("boom");
  });
  EXPECT_EQ(t->WaitForExit(), 5);
  ASSERT_TRUE(t->FatalException());
  try {
    std::rethrow_exception(t->FatalException());
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "boom");
  }
}

TEST(Thread, SuspendsOnlyItselfAndResumes) {
  std::atomic<int> phase{0};
  auto t = NewThread<FnThread>(false, [&](FnThread& self) {
    phase = 1;
    self.Suspend();
    phase = 2;
  });
  ASSERT_TRUE(PumpUntil([&] { return phase == 1 && t->Suspended(); }));
  EXPECT_THROW(t->Suspend(), EThread);
  EXPECT_EQ(phase, 1);
  t->Resume();
  t->WaitForExit();
  EXPECT_EQ(phase, 2);
  t->Resume();  // on an ended thread: nothing
}

class SelfFreeing : public TThread {
 public:
  explicit SelfFreeing(std::atomic<bool>* freed) : TThread(false), freed_(freed) {
    SetFreeOnThreadEnd(true);
  }
  ~SelfFreeing() override { *freed_ = true; }

 protected:
  void ThreadBody() override {}

 private:
  std::atomic<bool>* freed_;
};

TEST(Thread, FreesItselfAtItsEndWhenAsked) {
  std::atomic<bool> freed{false};
  NewThread<SelfFreeing>(&freed).release();  // owns itself from here on
  ASSERT_TRUE(PumpUntil([&] { return freed.load(); }));
}

TEST(Thread, OnThreadEndRunsOnTheMainThread) {
  std::atomic<bool> on_main{false}, called{false};
  auto t = NewThread<FnThread>(true, [](FnThread&) {});
  t->OnThreadEnd = [&](TThread*) {
    on_main = IsMainThread();
    called = true;
  };
  t->Resume();
  t->WaitForExit();
  EXPECT_TRUE(called);
  EXPECT_TRUE(on_main);
}

}  // namespace
