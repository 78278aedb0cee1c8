#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "net/IdComponent.h"
#include "net/IdSocketHandle.h"
#include "tests/net/NetTestSupport.h"

using nettest::UdpPeer;

namespace {

// A stack that counts binds, in the order the ports were asked for.
class TBindCountingStack : public TPlatformStack {
 public:
  int BindSocket(TIdStackSocketHandle s, int family, const std::string& ip, int port) override {
    ports.push_back(port);
    return TPlatformStack::BindSocket(s, family, ip, port);
  }
  int SendToAddress(TIdStackSocketHandle s, const void* buffer, int length, int flags,
                    const std::string& ip, int port) override {
    const int r = TPlatformStack::SendToAddress(s, buffer, length, flags, ip, port);
    return shortSend && r > 0 ? r - 1 : r;
  }
  int CloseSocketHandle(TIdStackSocketHandle s) override {
    ++closes;
    return TPlatformStack::CloseSocketHandle(s);
  }
  std::vector<int> ports;
  int closes = 0;
  bool shortSend = false;  // report one byte less than sent
};

TIdStack* NewBindCountingStack() {
  return new TBindCountingStack();
}

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = StackClass;
    StackClass = &NewBindCountingStack;
    component_ = std::make_unique<TIdComponent>(nullptr);
    stack_ = static_cast<TBindCountingStack*>(GlobalStack);
    handles_ = std::make_unique<TIdSocketHandles>(nullptr);
  }
  void TearDown() override {
    handles_.reset();
    component_.reset();
    StackClass = saved_;
  }

  // Port the bound socket really has, as the system reports it.
  static int BoundPort(const TIdSocketHandle& b) {
    return nettest::sys::LocalPort(b.SocketHandle());
  }

  TIdStackClass saved_ = nullptr;
  std::unique_ptr<TIdComponent> component_;
  TBindCountingStack* stack_ = nullptr;
  std::unique_ptr<TIdSocketHandles> handles_;
};

}  // namespace

TEST_F(BindingTest, NewBindingTakesTheDefaultPortAndBindsItOnEveryInterface) {
  const int port = nettest::FreePort();
  ASSERT_NE(port, 0);
  handles_->SetDefaultPort(port);
  TIdSocketHandle* b = handles_->AddBinding();
  EXPECT_EQ(b->Port(), port);
  EXPECT_EQ(b->IP(), "");
  EXPECT_EQ(b->ClientPortMin(), 0);
  EXPECT_EQ(b->ClientPortMax(), 0);
  EXPECT_FALSE(b->HasSocket());
  EXPECT_EQ(b->SocketHandle(), Id_INVALID_SOCKET);
  EXPECT_EQ(b->RemoteIP(), "");
  EXPECT_EQ(b->RemotePort(), 0);

  b->AcquireSocket();
  EXPECT_TRUE(b->HasSocket());
  b->BindLocal();
  EXPECT_EQ(stack_->ports, std::vector<int>{port});
  EXPECT_EQ(b->IP(), "0.0.0.0");
  EXPECT_EQ(b->Port(), port);
  EXPECT_EQ(BoundPort(*b), port);

  // A datagram to the loopback address reaches the socket bound everywhere.
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port, "hi"));
  TIdSocketList read{b->SocketHandle()};
  ASSERT_EQ(GlobalStack->WaitSockets(&read, nullptr, nullptr, 2000), 1);
  char buf[16];
  std::string ip;
  int from = 0;
  EXPECT_EQ(b->ReceiveDatagram(buf, sizeof buf, ip, from), 2);
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_EQ(from, client.port());
}

TEST_F(BindingTest, PortZeroWithoutRangeTakesThePortTheSystemChose) {
  TIdSocketHandle* b = handles_->AddBinding();
  b->SetIP("127.0.0.1");
  b->AcquireSocket();
  b->BindLocal();
  EXPECT_EQ(stack_->ports, std::vector<int>{0});
  EXPECT_GT(b->Port(), 0);
  EXPECT_EQ(b->Port(), BoundPort(*b));
  EXPECT_EQ(b->IP(), "127.0.0.1");
}

TEST_F(BindingTest, RangeIsTriedFromTheTopDown) {
  const int base = nettest::FreePortRange(11);
  ASSERT_NE(base, 0);
  const int top = base + 10;
  // The two highest ports are taken, so the third from the top wins.
  UdpPeer takenTop(top), takenNext(top - 1);
  ASSERT_TRUE(takenTop.ok() && takenNext.ok());
  TIdSocketHandle* b = handles_->AddBinding();
  b->SetIP("127.0.0.1");
  b->SetClientPortMin(base);
  b->SetClientPortMax(top);
  b->AcquireSocket();
  b->BindLocal();
  EXPECT_EQ(stack_->ports, (std::vector<int>{top, top - 1, top - 2}));
  EXPECT_EQ(b->Port(), top - 2);
  EXPECT_EQ(BoundPort(*b), top - 2);
}

TEST_F(BindingTest, RangeWithEveryPortTakenFails) {
  const int base = nettest::FreePortRange(3);
  ASSERT_NE(base, 0);
  UdpPeer p0(base), p1(base + 1), p2(base + 2);
  ASSERT_TRUE(p0.ok() && p1.ok() && p2.ok());
  TIdSocketHandle* b = handles_->AddBinding();
  b->SetIP("127.0.0.1");
  b->SetClientPortMin(base);
  b->SetClientPortMax(base + 2);
  b->AcquireSocket();
  try {
    b->BindLocal();
    FAIL() << "no port of the range was free";
  } catch (const EIdCanNotBindPortInRange& e) {
    EXPECT_EQ(std::string(e.what()),
              Format("Can not bind in port range (%d - %d)", base, base + 2));
  }
  EXPECT_EQ(stack_->ports, (std::vector<int>{base + 2, base + 1, base}));
  EXPECT_EQ(b->Port(), base);
  // The socket stays open and unbound.
  EXPECT_TRUE(b->HasSocket());
}

TEST_F(BindingTest, InvertedRangeFailsWithoutAnyBind) {
  TIdSocketHandle* b = handles_->AddBinding();
  b->SetClientPortMin(6010);
  b->SetClientPortMax(6000);
  b->AcquireSocket();
  try {
    b->BindLocal();
    FAIL() << "an inverted range must be refused";
  } catch (const EIdInvalidPortRange& e) {
    EXPECT_STREQ(e.what(), "Invalid Port Range (6010 - 6000)");
  }
  EXPECT_TRUE(stack_->ports.empty());
}

TEST_F(BindingTest, RangeIsIgnoredWhenPortIsSetOrAnEndIsZero) {
  const int port = nettest::FreePort();
  ASSERT_NE(port, 0);
  TIdSocketHandle* fixed = handles_->AddBinding();
  fixed->SetIP("127.0.0.1");
  fixed->SetPort(port);
  fixed->SetClientPortMin(port + 1);
  fixed->SetClientPortMax(port + 5);
  fixed->AcquireSocket();
  fixed->BindLocal();
  EXPECT_EQ(stack_->ports, std::vector<int>{port});

  stack_->ports.clear();
  TIdSocketHandle* halfRange = handles_->AddBinding();
  halfRange->SetIP("127.0.0.1");
  halfRange->SetClientPortMin(0);
  halfRange->SetClientPortMax(6010);
  halfRange->AcquireSocket();
  halfRange->BindLocal();
  EXPECT_EQ(stack_->ports, std::vector<int>{0});
}

TEST_F(BindingTest, PortInUseRaisesCouldNotBindAndOtherFailuresRaiseSocketErrors) {
  UdpPeer holder;
  ASSERT_TRUE(holder.ok());
  TIdSocketHandle* b = handles_->AddBinding();
  b->SetPort(holder.port());
  b->AcquireSocket();
  EXPECT_FALSE(b->TryBindLocal());
  try {
    b->BindLocal();
    FAIL() << "the port is held";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }

  TIdSocketHandle* notDotted = handles_->AddBinding();
  notDotted->SetIP("my-host");
  notDotted->AcquireSocket();
  EXPECT_THROW(notDotted->BindLocal(), EConvertError);

  TIdSocketHandle* tooBig = handles_->AddBinding();
  tooBig->SetPort(70000);
  tooBig->AcquireSocket();
  try {
    tooBig->BindLocal();
    FAIL() << "a port above 65535 must not wrap";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10022);
  }
}

TEST_F(BindingTest, ReleaseClosesOnceAndKeepsTheAddresses) {
  TIdSocketHandle* b = handles_->AddBinding();
  b->SetIP("127.0.0.1");
  b->ReleaseSocket();  // nothing to close yet
  EXPECT_EQ(stack_->closes, 0);
  b->AcquireSocket();
  b->BindLocal();
  b->SetRemote("10.0.0.7", 4000);
  const int handle = b->SocketHandle();
  const int port = b->Port();
  b->ReleaseSocket();
  b->ReleaseSocket();
  EXPECT_EQ(stack_->closes, 1);
  EXPECT_FALSE(b->HasSocket());
  EXPECT_EQ(b->SocketHandle(), handle);
  EXPECT_EQ(b->Port(), port);
  EXPECT_EQ(b->IP(), "127.0.0.1");
  EXPECT_EQ(b->RemoteIP(), "10.0.0.7");
  EXPECT_EQ(b->RemotePort(), 4000);

  // The next acquire and bind take the same address again.
  b->AcquireSocket();
  b->BindLocal();
  EXPECT_EQ(BoundPort(*b), port);
  // Acquiring again closes the socket held first.
  b->AcquireSocket();
  EXPECT_EQ(stack_->closes, 2);
}

TEST_F(BindingTest, FindByHandleAndDefaultPortChanges) {
  handles_->SetDefaultPort(50000);
  TIdSocketHandle* a = handles_->AddBinding();
  TIdSocketHandle* b = handles_->AddBinding();
  handles_->SetDefaultPort(50001);
  EXPECT_EQ(a->Port(), 50000);
  EXPECT_EQ(b->Port(), 50000);
  EXPECT_EQ(handles_->AddBinding()->Port(), 50001);
  EXPECT_EQ(handles_->Count(), 3);

  a->AcquireSocket();
  b->AcquireSocket();
  EXPECT_EQ(handles_->FindByHandle(a->SocketHandle()), a);
  EXPECT_EQ(handles_->FindByHandle(b->SocketHandle()), b);
  EXPECT_EQ(handles_->FindByHandle(b->SocketHandle() + 1000), nullptr);
  // A released binding is still found by its old number.
  const int old = b->SocketHandle();
  b->ReleaseSocket();
  EXPECT_EQ(handles_->FindByHandle(old), b);
}

TEST_F(BindingTest, SendingReportsItsThreeFailures) {
  UdpPeer peer;
  ASSERT_TRUE(peer.ok());
  TIdSocketHandle* b = handles_->AddBinding();
  b->SetIP("127.0.0.1");
  b->AcquireSocket();
  b->BindLocal();
  b->SendDatagram("127.0.0.1", peer.port(), "ping", 4);
  auto got = peer.Receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->data, "ping");
  EXPECT_EQ(got->port, b->Port());

  std::string big(70000, 'x');
  EXPECT_THROW(b->SendDatagram("127.0.0.1", peer.port(), big.data(), 70000), EIdPackageSizeTooBig);
  try {
    b->SendDatagram("127.0.0.1", 0, "x", 1);
    FAIL() << "port 0 is no destination";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10022);
  }
  stack_->shortSend = true;
  EXPECT_THROW(b->SendDatagram("127.0.0.1", peer.port(), "four", 4), EIdNotAllBytesSent);
  stack_->shortSend = false;
  ASSERT_TRUE(peer.Receive(2000).has_value());
  // After the release the old number may belong to someone else: nothing is
  // sent through it.
  b->ReleaseSocket();
  try {
    b->SendDatagram("127.0.0.1", peer.port(), "late", 4);
    FAIL() << "a released binding cannot send";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10038);
  }
  EXPECT_FALSE(peer.Receive(100).has_value());
}

TEST_F(BindingTest, DestroyingTheCollectionClosesEverySocket) {
  handles_->AddBinding()->AcquireSocket();
  handles_->AddBinding()->AcquireSocket();
  handles_->AddBinding();
  handles_.reset();
  EXPECT_EQ(stack_->closes, 2);
}
