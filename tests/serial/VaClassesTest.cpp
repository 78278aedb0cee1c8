#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "serial/VaClasses.h"

TEST(VaEvent, WaitsAsAManualResetEventOnItsHandle) {
  TVaWaitEvent e;
  ASSERT_GE(e.Handle(), 0);
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

TEST(VaEvent, ClosesItsDescriptorWhenDestroyed) {
  int fd;
  {
    TVaEvent e;
    fd = e.Handle();
    EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST(VaHandleObject, TellsAHungUpDescriptorFromAReadableOne) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  TVaHandleObject reader(ends[0]);
  EXPECT_EQ(reader.WaitFor(0), wrTimeout);
  ASSERT_EQ(::write(ends[1], "x", 1), 1);
  EXPECT_EQ(reader.WaitFor(0), wrSignaled);
  char c;
  ASSERT_EQ(::read(ends[0], &c, 1), 1);
  ::close(ends[1]);
  EXPECT_EQ(reader.WaitFor(1000), wrAbandoned);
}
