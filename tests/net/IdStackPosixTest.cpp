// Cases of the Linux stack that have no Windows counterpart.
#include <gtest/gtest.h>

#include <memory>

#include "net/IdComponent.h"
#include "net/IdStack.h"
#include "tests/net/NetTestSupport.h"

namespace {

class PosixStackTest : public ::testing::Test {
 protected:
  void SetUp() override { component_ = std::make_unique<TIdComponent>(nullptr); }
  void TearDown() override { component_.reset(); }

  std::unique_ptr<TIdComponent> component_;
};

}  // namespace

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
