#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "controls/Controls.h"
#include "controls/Headless.h"
#include "runtime/Exception.h"
#include "runtime/Thread.h"
#include "tests/controls/Fixture.h"
#include "tests/controls/Worker.h"

namespace {

using Clock = std::chrono::steady_clock;

class Loop : public HeadlessTest {};

TEST_F(Loop, TimerFiresAtItsIntervalAndStops) {
  TTimer timer(nullptr);
  timer.SetEnabled(false);
  timer.SetInterval(5);
  int ticks = 0;
  timer.OnTimer = [&](TObject* s) {
    EXPECT_EQ(s, &timer);
    ++ticks;
  };
  EXPECT_FALSE(timer.Running());
  timer.SetEnabled(true);
  const auto start = Clock::now();
  ASSERT_TRUE(ws.RunUntil([&] { return ticks >= 10; }, 5000));
  // Ten 5 ms ticks take at least 50 ms: the timer does not run early.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(45));

  timer.SetEnabled(false);
  EXPECT_EQ(ws.ActiveTimerCount(), 0);
  const int stopped_at = ticks;
  ws.RunUntil([] { return false; }, 40);
  EXPECT_EQ(ticks, stopped_at);

  timer.SetEnabled(true);
  timer.SetInterval(0);  // an interval of 0 stops it too
  EXPECT_FALSE(timer.Running());
}

TEST_F(Loop, TimerHandlerErrorsGoToTheHookAndTheTimerGoesOn) {
  TTimer timer(nullptr);
  timer.SetInterval(2);
  int ticks = 0;
  timer.OnTimer = [&](TObject*) {
    ++ticks;
    throw Exception("poll failed");
  };
  ASSERT_TRUE(ws.RunUntil([&] { return ticks >= 3; }, 5000));
  EXPECT_GE(hooked.size(), 3u);
  EXPECT_EQ(hooked[0], "poll failed");
  EXPECT_EQ(hooked_senders[0], &timer);
}

TEST_F(Loop, TimerIsNotReenteredFromANestedLoopAndMayStopOrFreeItself) {
  auto* timer = new TTimer(nullptr);
  timer->SetInterval(1);
  int depth = 0, max_depth = 0, ticks = 0;
  timer->OnTimer = [&](TObject*) {
    ++ticks;
    max_depth = std::max(max_depth, ++depth);
    // A handler that runs a nested loop (a message box's) while its timer
    // keeps ticking.
    const auto until = Clock::now() + std::chrono::milliseconds(5);
    while (Clock::now() < until) ProcessMessages();
    --depth;
    if (ticks == 3) delete timer;
  };
  ASSERT_TRUE(ws.RunUntil([&] { return ticks == 3; }, 5000));
  EXPECT_EQ(max_depth, 1);
  EXPECT_EQ(ws.ActiveTimerCount(), 0);
}

TEST_F(Loop, TimersMoveToTheWindowSystemInstalledLater) {
  SetWindowSystem(nullptr);
  TTimer timer(nullptr);
  timer.SetInterval(1);
  EXPECT_FALSE(timer.Running());
  int ticks = 0;
  timer.OnTimer = [&](TObject*) { ++ticks; };
  SetWindowSystem(&ws);
  EXPECT_TRUE(timer.Running());
  EXPECT_TRUE(ws.RunUntil([&] { return ticks > 0; }, 5000));
}

TEST_F(Loop, MarshalledCallsRunFromTheLoopWithoutWaitingForATimer) {
  // A slow timer must not delay the call: the loop sleeps on the call queue.
  TTimer slow(nullptr);
  slow.SetInterval(60000);
  std::atomic<bool> ran{false};
  bool on_main = false;
  auto worker = NewThread<Worker>([&] {
    on_main = IsMainThread();
    ran = true;
  });
  const auto start = Clock::now();
  ASSERT_TRUE(ws.RunUntil([&] { return ran.load(); }, 10000));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(on_main);
}

TEST_F(Loop, WakeFromAnotherThreadEndsTheWait) {
  std::atomic<bool> flag{false};
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    flag = true;
    ws.Wake();
  });
  const auto start = Clock::now();
  EXPECT_TRUE(ws.RunUntil([&] { return flag.load(); }, 20000));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  t.join();
}

TEST_F(Loop, RunShowsTheMainFormAndReturnsWhenItCloses) {
  TForm form(nullptr);
  TTimer closer(nullptr);
  closer.SetInterval(10);
  bool shown_when_closed = false;
  closer.OnTimer = [&](TObject*) {
    shown_when_closed = form.Visible();
    form.Close();
  };
  ws.Run(form);
  EXPECT_EQ(MainForm(), &form);
  EXPECT_TRUE(shown_when_closed);
  EXPECT_FALSE(form.Visible());
  EXPECT_TRUE(ws.Terminated());
}

}  // namespace
