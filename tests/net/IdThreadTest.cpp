#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "net/IdThread.h"
#include "runtime/Events.h"
#include "tests/net/NetTestSupport.h"

using nettest::PumpUntil;

namespace {

class Tracked : public TObject {
 public:
  explicit Tracked(std::atomic<int>& alive) : alive_(alive) { ++alive_; }
  ~Tracked() override { --alive_; }

 private:
  std::atomic<int>& alive_;
};

// Counts its cycles; each cycle waits briefly on an event so the loop does
// not spin, and can be told to fail.
class TCountingThread : public TIdThread {
 public:
  TCountingThread() : TIdThread(true) {}
  ~TCountingThread() override { TerminateAndWaitFor(); }

  std::atomic<int> cycles{0};
  std::atomic<int> loopsStarted{0};
  std::atomic<int> loopsEnded{0};
  std::atomic<int> endings{0};
  std::atomic<int> dataAlive{0};
  std::atomic<bool> failNext{false};
  TEvent tick;

 protected:
  void RunLoopStarting() override {
    ++loopsStarted;
    DataObject = std::make_unique<Tracked>(dataAlive);
  }
  void RunLoopEnded() override { ++loopsEnded; }
  void ThreadEnding() override { ++endings; }
  void DoCycle() override {
    if (failNext.exchange(false)) throw EConvertError("cycle failed");
    ++cycles;
    tick.WaitFor(2);
  }
};

bool WaitFor(const std::function<bool()>& cond) {
  return PumpUntil(cond, 5000);
}

}  // namespace

TEST(IdThreadTest, LoopRunsBetweenStartAndStopAndStopEndsTheThread) {
  auto t = NewThread<TCountingThread>();
  EXPECT_TRUE(t->IsStopped());
  EXPECT_TRUE(t->Suspended());
  EXPECT_EQ(t->cycles.load(), 0);

  t->StartLoop();
  EXPECT_FALSE(t->IsStopped());
  ASSERT_TRUE(WaitFor([&] { return t->cycles.load() >= 3; }));
  t->StartLoop();  // already running: nothing changes
  EXPECT_EQ(t->loopsStarted.load(), 1);

  t->StopLoop();
  EXPECT_TRUE(t->IsStopped());
  EXPECT_TRUE(t->StopRequested());
  ASSERT_TRUE(WaitFor([&] { return t->Finished(); }));
  EXPECT_EQ(t->loopsEnded.load(), 1);
  EXPECT_EQ(t->endings.load(), 1);
  EXPECT_EQ(t->dataAlive.load(), 0);
  EXPECT_EQ(t->EndingClass(), "");
}

TEST(IdThreadTest, SuspendModePausesAndRestartsTheLoop) {
  auto t = NewThread<TCountingThread>();
  t->SetStopMode(smSuspend);
  std::atomic<int> stoppedNotes{0};
  t->OnLoopStopped = [&](TIdThread*) { ++stoppedNotes; };
  t->StartLoop();
  ASSERT_TRUE(WaitFor([&] { return t->cycles.load() >= 2; }));

  t->StopLoop();
  EXPECT_FALSE(t->StopRequested());
  ASSERT_TRUE(WaitFor([&] { return stoppedNotes.load() == 1 && t->loopsEnded.load() == 1; }));
  // The data of the finished run is gone and the loop stays paused.
  EXPECT_EQ(t->dataAlive.load(), 0);
  const int paused = t->cycles.load();
  nettest::PumpFor(30);
  EXPECT_EQ(t->cycles.load(), paused);
  EXPECT_FALSE(t->Finished());
  EXPECT_TRUE(t->IsStopped());

  t->StartLoop();
  ASSERT_TRUE(WaitFor([&] { return t->cycles.load() > paused + 2; }));
  EXPECT_EQ(t->loopsStarted.load(), 2);

  // Repeated quick stop/start pairs never lose a start.
  for (int i = 0; i < 200; ++i) {
    t->StopLoop();
    t->StartLoop();
  }
  const int before = t->cycles.load();
  ASSERT_TRUE(WaitFor([&] { return t->cycles.load() > before + 2; }));

  // A paused thread still ends when its owner lets it go.
  t->StopLoop();
  ASSERT_TRUE(WaitFor([&] { return t->IsStopped(); }));
  t.reset();
}

TEST(IdThreadTest, AnExceptionInTheLoopEndsTheThreadAndIsRecorded) {
  auto t = NewThread<TCountingThread>();
  std::string seen;
  t->OnLoopException = [&](TIdThread*, const std::exception& e) { seen = e.what(); };
  t->StartLoop();
  ASSERT_TRUE(WaitFor([&] { return t->cycles.load() >= 1; }));
  t->failNext = true;
  ASSERT_TRUE(WaitFor([&] { return t->Finished(); }));
  EXPECT_EQ(t->EndingClass(), "EConvertError");
  EXPECT_EQ(t->EndingMessage(), "cycle failed");
  EXPECT_EQ(seen, "cycle failed");
  EXPECT_EQ(t->loopsEnded.load(), 1);
  EXPECT_EQ(t->endings.load(), 1);
  EXPECT_EQ(t->dataAlive.load(), 0);
  EXPECT_TRUE(t->IsStopped());
  EXPECT_EQ(t->FatalException(), nullptr);
}

TEST(IdThreadTest, AStopRightAfterAStartOfAPausedLoopIsNotLost) {
  auto t = NewThread<TCountingThread>();
  t->SetStopMode(smSuspend);
  std::atomic<int> stoppedNotes{0};
  t->OnLoopStopped = [&](TIdThread*) { ++stoppedNotes; };
  t->StartLoop();
  ASSERT_TRUE(WaitFor([&] { return t->cycles.load() >= 1; }));
  t->StopLoop();
  ASSERT_TRUE(WaitFor([&] { return stoppedNotes.load() >= 1; }));

  for (int i = 0; i < 300; ++i) {
    // Paused (or on its way there): start and stop at once. The stop must
    // hold even though the thread has not yet woken from the start.
    t->StartLoop();
    t->StopLoop();
    EXPECT_TRUE(t->IsStopped());
    // Long enough for the woken thread to run a cycle or two if the stop
    // had been lost.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!t->IsStopped()) {
      ADD_FAILURE() << "the loop runs after StartLoop + StopLoop, round " << i;
      break;
    }
  }
  const int settled = t->cycles.load();
  nettest::PumpFor(30);
  EXPECT_EQ(t->cycles.load(), settled);
  EXPECT_TRUE(t->IsStopped());
  EXPECT_FALSE(t->Finished());

  // And it can still be started afterwards.
  t->StartLoop();
  ASSERT_TRUE(WaitFor([&] { return t->cycles.load() > settled + 2; }));
  EXPECT_FALSE(t->IsStopped());
}

// A cycle that idles through WaitWhileRunning, as the listener does after a
// failed wait.
class TIdlingThread : public TIdThread {
 public:
  TIdlingThread() : TIdThread(true) {}
  ~TIdlingThread() override { TerminateAndWaitFor(); }

  std::atomic<int> cycles{0};

 protected:
  void DoCycle() override {
    ++cycles;
    WaitWhileRunning(std::chrono::steady_clock::now() + std::chrono::seconds(10));
  }
};

TEST(IdThreadTest, AnIdlingCycleReturnsAtOnceWhenTheLoopStops) {
  for (TIdThreadStopMode mode : {smTerminate, smSuspend}) {
    auto t = NewThread<TIdlingThread>();
    t->SetStopMode(mode);
    std::atomic<int> stoppedNotes{0};
    t->OnLoopStopped = [&](TIdThread*) { ++stoppedNotes; };
    t->StartLoop();
    ASSERT_TRUE(WaitFor([&] { return t->cycles.load() == 1; }));
    const auto start = nettest::Clock::now();
    t->StopLoop();
    if (mode == smTerminate) {
      ASSERT_TRUE(WaitFor([&] { return t->Finished(); }));
    } else {
      // The idle ended and the loop paused without a second cycle.
      ASSERT_TRUE(WaitFor([&] { return stoppedNotes.load() == 1; }));
      nettest::PumpFor(30);
      EXPECT_EQ(t->cycles.load(), 1);
      EXPECT_FALSE(t->Finished());
    }
    EXPECT_LT(nettest::MillisSince(start), 2000) << "stop mode " << mode;
    const auto endStart = nettest::Clock::now();
    t.reset();
    EXPECT_LT(nettest::MillisSince(endStart), 2000) << "stop mode " << mode;
  }
}
