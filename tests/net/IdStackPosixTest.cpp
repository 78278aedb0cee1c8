// Cases of the Linux stack that have no Windows counterpart.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "net/IdComponent.h"
#include "net/IdStack.h"
#include "tests/net/NetTestSupport.h"

using nettest::Clock;
using nettest::MillisSince;

namespace {

class PosixStackTest : public ::testing::Test {
 protected:
  void SetUp() override { component_ = std::make_unique<TIdComponent>(nullptr); }
  void TearDown() override { component_.reset(); }

  std::unique_ptr<TIdComponent> component_;
};

}  // namespace

TEST_F(PosixStackTest, ShuttingASocketDownWakesAWaitOnIt) {
  const int s = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
  ASSERT_EQ(GlobalStack->BindSocket(s, Id_PF_INET, "127.0.0.1", 0), 0);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    GlobalStack->ShutdownSocket(s, Id_SD_Both);
  });
  TIdSocketList read{s};
  const auto start = Clock::now();
  GlobalStack->WaitSockets(&read, nullptr, nullptr, 5000);
  EXPECT_LT(MillisSince(start), 2000);
  stopper.join();
  EXPECT_EQ(GlobalStack->CloseSocketHandle(s), 0);
}

TEST_F(PosixStackTest, LoopbackAddressesComeLast) {
  TStringList& list = GlobalStack->LocalAddresses();
  bool seenLoopback = false;
  for (int i = 0; i < list.Count(); ++i) {
    const bool loopback = list.Strings(i).rfind("127.", 0) == 0;
    EXPECT_FALSE(seenLoopback && !loopback) << list.Text();
    seenLoopback = seenLoopback || loopback;
  }
  EXPECT_NE(list.IndexOf("127.0.0.1"), -1);
}
