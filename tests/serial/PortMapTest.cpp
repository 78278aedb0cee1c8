// The COM name map of the Linux build.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "serial/PortMap.h"

namespace {

TEST(PortMap, ComNamesFollowThePortsDirectory) {
  char dir[] = "/tmp/torin5-map-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  ::setenv("TORIN5_PORTS", dir, 1);
  EXPECT_EQ(ResolveCommPath("COM3"), std::string(dir) + "/COM3");
  EXPECT_EQ(ResolveCommPath("com03"), std::string(dir) + "/COM3");
  EXPECT_EQ(ResolveCommPath("/dev/ttyS0"), "/dev/ttyS0");
  EXPECT_EQ(ResolveCommPath("COM0"), "");
  EXPECT_EQ(ResolveCommPath("LPT1"), "");
  EXPECT_EQ(ResolveCommPath("COM"), "");

  // Without the directory the host's own ports count, in their order.
  ::unsetenv("TORIN5_PORTS");
  ::rmdir(dir);
  const auto ports = HostSerialPorts();
  for (std::size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ResolveCommPath("COM" + std::to_string(i + 1)), ports[i]);
  }
  EXPECT_EQ(ResolveCommPath("COM" + std::to_string(ports.size() + 1)), "");
}

}  // namespace
