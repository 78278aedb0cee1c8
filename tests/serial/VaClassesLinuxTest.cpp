// The handle objects over descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "serial/VaClasses.h"

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
