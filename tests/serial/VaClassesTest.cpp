#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "serial/VaClasses.h"

TEST(VaEvent, WaitsAsAManualResetEventOnItsHandle) {
  TVaWaitEvent e;
  ASSERT_NE(e.Handle(), kNoWaitable);
  EXPECT_FALSE(e.IsSignaled());
  EXPECT_EQ(e.WaitFor(10), wrTimeout);
  e.Signal();
  e.Signal();
  EXPECT_TRUE(e.IsSignaled());
  EXPECT_EQ(e.WaitFor(0), wrSignaled);
  EXPECT_EQ(e.WaitFor(INFINITE), wrSignaled);  // not consumed by a wait
  e.Reset();                                   // one Reset clears any number of Signals
  EXPECT_EQ(e.WaitFor(0), wrTimeout);

  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    e.Signal();
  });
  EXPECT_EQ(e.WaitFor(5000), wrSignaled);
  signaller.join();
}
