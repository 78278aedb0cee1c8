#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "net/IdComponent.h"
#include "net/IdStack.h"
#include "tests/net/NetTestSupport.h"

using nettest::Clock;
using nettest::MillisSince;
using nettest::UdpPeer;

namespace {

// A stack that records name lookups instead of asking the resolver, so the
// tests can tell which texts go to a lookup without any traffic.
class TRecordingStack : public TPlatformStack {
 public:
  std::string LookupHost(const std::string& name) override {
    lookups.push_back(name);
    return "10.9.8.7";
  }
  std::vector<std::string> lookups;
};

TIdStack* NewRecordingStack() {
  return new TRecordingStack();
}

class StackTest : public ::testing::Test {
 protected:
  void SetUp() override { component_ = std::make_unique<TIdComponent>(nullptr); }
  void TearDown() override { component_.reset(); }

  std::unique_ptr<TIdComponent> component_;
};

class RecordingStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = StackClass;
    StackClass = &NewRecordingStack;
    component_ = std::make_unique<TIdComponent>(nullptr);
    stack_ = dynamic_cast<TRecordingStack*>(GlobalStack);
    ASSERT_NE(stack_, nullptr);
  }
  void TearDown() override {
    component_.reset();
    StackClass = saved_;
  }

  TIdStackClass saved_ = nullptr;
  std::unique_ptr<TIdComponent> component_;
  TRecordingStack* stack_ = nullptr;
};

TIdIn4Addr Bytes(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t raw[4] = {a, b, c, d};
  TIdIn4Addr out;
  std::memcpy(&out, raw, 4);
  return out;
}

std::vector<int> Sockets(int count) {
  std::vector<int> list;
  for (int i = 0; i < count; ++i) list.push_back(GlobalStack->NewSocket(Id_SOCK_DGRAM, 0));
  return list;
}

void CloseAll(const std::vector<int>& list) {
  for (int s : list) nettest::sys::Close(s);
}

}  // namespace

TEST_F(RecordingStackTest, LocalhostInAnyCaseResolvesWithoutLookup) {
  for (const char* name : {"localhost", "LocalHost", "LOCALHOST", "lOcAlHoSt"}) {
    EXPECT_EQ(stack_->ResolveToAddress(name), "127.0.0.1") << name;
  }
  EXPECT_EQ(stack_->ResolveToAddress("192.168.0.150"), "192.168.0.150");
  EXPECT_TRUE(stack_->lookups.empty());
}

TEST_F(RecordingStackTest, TextsThatAreNotDottedQuadsGoToTheLookup) {
  for (const char* name : {"192.168.0.256", "1.2.3", "1.2.3.4.5", "device.local", "localhost."}) {
    EXPECT_EQ(stack_->ResolveToAddress(name), "10.9.8.7") << name;
  }
  EXPECT_EQ(stack_->lookups, (std::vector<std::string>{"192.168.0.256", "1.2.3", "1.2.3.4.5",
                                                       "device.local", "localhost."}));
}

TEST_F(StackTest, DottedQuadNeedsFourPartsFrom0To255) {
  for (const char* yes : {"0.0.0.0", "255.255.255.255", "192.168.0.150", "127.0.0.1"}) {
    EXPECT_TRUE(GlobalStack->IsDottedQuad(yes)) << yes;
  }
  for (const char* no : {"192.168.0.256", "1.2.3", "1.2.3.4.5", "", "...", "1..2.3", "a.b.c.d",
                         "1.2.3.x", "-1.2.3.4", "1.2.3.4."}) {
    EXPECT_FALSE(GlobalStack->IsDottedQuad(no)) << no;
  }
}

TEST_F(StackTest, AddressTextBothWays) {
  EXPECT_EQ(GlobalStack->AddressToText(Bytes(192, 168, 0, 150)), "192.168.0.150");
  EXPECT_EQ(GlobalStack->AddressToText(Bytes(0, 0, 0, 0)), "0.0.0.0");
  EXPECT_EQ(GlobalStack->AddressToText(Bytes(255, 1, 10, 100)), "255.1.10.100");

  EXPECT_EQ(GlobalStack->ParseAddress("192.168.0.150"), Bytes(192, 168, 0, 150));
  // Only the low eight bits of a part are kept.
  EXPECT_EQ(GlobalStack->ParseAddress("256.257.1.300"), Bytes(0, 1, 1, 44));

  TIdIn4Addr a = 0;
  try {
    GlobalStack->TextToAddress("1.2.3", a);
    FAIL() << "a missing part must not convert";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid integer value");
  }
  try {
    GlobalStack->TextToAddress("1.2.x.4", a);
    FAIL() << "a non-numeric part must not convert";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'x' is not a valid integer value");
  }
  EXPECT_THROW(GlobalStack->TextToAddress("1.2.3.4.5", a), EConvertError);
}

TEST_F(StackTest, ErrorTextsAreTheTemplateWithTheTableText) {
  EXPECT_EQ(GlobalStack->SocketErrorText(10048), "Ошибка сокета # 10048\r\nАдрес все еще занят");
  EXPECT_EQ(GlobalStack->SocketErrorText(11001), "Ошибка сокета # 11001\r\nХост сервер не найден");
  EXPECT_EQ(GlobalStack->SocketErrorText(10047),
            "Ошибка сокета # 10047\r\nАдрес не поддерживается протоколом ");
  EXPECT_EQ(GlobalStack->SocketErrorText(10038),
            "Ошибка сокета # 10038\r\nSocket operation on non-socket.");
  // A code outside the table ends right after CR LF.
  EXPECT_EQ(GlobalStack->SocketErrorText(12345), "Ошибка сокета # 12345\r\n");
  EXPECT_EQ(GlobalStack->SocketErrorText(0), "Ошибка сокета # 0\r\n");
  EXPECT_EQ(GlobalStack->SocketErrorText(10067), "Ошибка сокета # 10067\r\n");
}

TEST_F(StackTest, CheckSocketResultToleratesOnlyTheListedCodes) {
  EXPECT_FALSE(GlobalStack->CheckSocketResult(0));
  EXPECT_FALSE(GlobalStack->CheckSocketResult(5, {10048}));

  UdpPeer holder;
  ASSERT_TRUE(holder.ok());
  const int s = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
  // A real "address in use" failure, as the platform reports it.
  const int r = GlobalStack->BindSocket(s, Id_PF_INET, "127.0.0.1", holder.port());
  ASSERT_EQ(r, -1);
  EXPECT_EQ(GlobalStack->LastPlatformError(), 10048);
  EXPECT_TRUE(GlobalStack->CheckSocketResult(r, {10048}));
  EXPECT_EQ(GlobalStack->LastSocketError(), 10048);
  try {
    GlobalStack->CheckSocketResult(r);
    FAIL() << "an untolerated failure must raise";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10048);
    EXPECT_EQ(std::string(e.what()), "Ошибка сокета # 10048\r\nАдрес все еще занят");
  }

  // Binding a bound socket again is an invalid argument, not an address in use.
  ASSERT_EQ(GlobalStack->BindSocket(s, Id_PF_INET, "127.0.0.1", 0), 0);
  const int again = GlobalStack->BindSocket(s, Id_PF_INET, "127.0.0.1", 0);
  try {
    GlobalStack->CheckSocketResult(again, {10048});
    FAIL() << "10022 is not tolerated";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 10022);
  }
  EXPECT_EQ(GlobalStack->LastSocketError(), 10022);
  nettest::sys::Close(s);
}

TEST_F(StackTest, PortsOutsideSixteenBitsAreRefusedNotWrapped) {
  const int s = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
  EXPECT_EQ(GlobalStack->BindSocket(s, Id_PF_INET, "", 65536 + 80), -1);
  EXPECT_EQ(GlobalStack->LastPlatformError(), 10022);
  EXPECT_EQ(GlobalStack->SendToAddress(s, "x", 1, 0, "127.0.0.1", -1), -1);
  EXPECT_EQ(GlobalStack->LastPlatformError(), 10022);
  nettest::sys::Close(s);
}

TEST_F(StackTest, WaitAcceptsSixtyFourSocketsAndRefusesSixtyFive) {
  std::vector<int> list = Sockets(65);
  TIdSocketList read(list.begin(), list.begin() + 64);
  EXPECT_EQ(GlobalStack->WaitSockets(&read, nullptr, nullptr, 0), 0);
  EXPECT_TRUE(read.empty());

  TIdSocketList tooMany(list.begin(), list.end());
  try {
    GlobalStack->WaitSockets(&tooMany, nullptr, nullptr, 0);
    FAIL() << "65 sockets must be refused";
  } catch (const EIdStackSetSizeExceeded& e) {
    EXPECT_STREQ(e.what(), "Set Size Exceeded.");
  }
  TIdSocketList write(list.begin(), list.end());
  EXPECT_THROW(GlobalStack->WaitSockets(nullptr, &write, nullptr, 0), EIdStackSetSizeExceeded);
  CloseAll(list);
}

TEST_F(StackTest, WaitKeepsOnlyReadySocketsInListOrder) {
  UdpPeer a, b, c, client;
  ASSERT_TRUE(a.ok() && b.ok() && c.ok() && client.ok());
  ASSERT_TRUE(client.SendTo(c.port(), "1"));
  ASSERT_TRUE(client.SendTo(a.port(), "2"));
  // Both datagrams are queued on loopback before the wait looks.
  ASSERT_TRUE(nettest::PumpUntil(
      [&] {
        TIdSocketList probe{a.fd(), c.fd()};
        GlobalStack->WaitSockets(&probe, nullptr, nullptr, 0);
        return probe.size() == 2;
      },
      2000));
  TIdSocketList read{c.fd(), b.fd(), a.fd()};
  TIdSocketList write{b.fd()};
  EXPECT_EQ(GlobalStack->WaitSockets(&read, &write, nullptr, 1000), 3);
  EXPECT_EQ(read, (TIdSocketList{c.fd(), a.fd()}));
  EXPECT_EQ(write, (TIdSocketList{b.fd()}));
}

TEST_F(StackTest, TimedWaitEndsAfterSecondsPlusMilliseconds) {
  UdpPeer idle;
  ASSERT_TRUE(idle.ok());
  TIdSocketList read{idle.fd()};
  const auto start = Clock::now();
  EXPECT_EQ(GlobalStack->WaitSockets(&read, nullptr, nullptr, 1500), 0);
  const long long ms = MillisSince(start);
  EXPECT_GE(ms, 1450);
  EXPECT_LT(ms, 3000);
  EXPECT_TRUE(read.empty());
}

TEST_F(StackTest, UnlimitedWaitReturnsWhenADatagramArrives) {
  UdpPeer server, client;
  ASSERT_TRUE(server.ok() && client.ok());
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    client.SendTo(server.port(), "wake");
  });
  TIdSocketList read{server.fd()};
  const auto start = Clock::now();
  EXPECT_EQ(GlobalStack->WaitSockets(&read, nullptr, nullptr, IdTimeoutInfinite), 1);
  EXPECT_GE(MillisSince(start), 150);
  EXPECT_EQ(read, (TIdSocketList{server.fd()}));
  sender.join();
}

TEST_F(StackTest, WaitOnAClosedSocketFailsAndLeavesNothingToRead) {
  const int s = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
  nettest::sys::Close(s);
  TIdSocketList read{s};
  EXPECT_EQ(GlobalStack->WaitSockets(&read, nullptr, nullptr, 100), -1);
  EXPECT_EQ(GlobalStack->LastPlatformError(), 10038);
  EXPECT_TRUE(read.empty());
}

TEST_F(StackTest, ShuttingASocketDownWakesAWaitOnIt) {
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

TEST_F(StackTest, CloseSocketHandleClosesTheDescriptor) {
  const int s = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
  ASSERT_EQ(GlobalStack->BindSocket(s, Id_PF_INET, "127.0.0.1", 0), 0);
  int family = 0, port = 0;
  std::string ip;
  GlobalStack->LocalSocketAddress(s, family, ip, port);
  ASSERT_NE(port, 0);
  EXPECT_EQ(GlobalStack->CloseSocketHandle(s), 0);
  EXPECT_FALSE(nettest::sys::IsOpen(s));
  // The port is free again at once.
  UdpPeer again(port);
  EXPECT_TRUE(again.ok());
}

TEST_F(StackTest, ReceiveReportsSenderAndRefusesOversizedDatagrams) {
  const int s = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
  ASSERT_EQ(GlobalStack->BindSocket(s, Id_PF_INET, "127.0.0.1", 0), 0);
  int family = 0, port = 0;
  std::string ip;
  GlobalStack->LocalSocketAddress(s, family, ip, port);
  EXPECT_EQ(family, Id_PF_INET);
  EXPECT_EQ(ip, "127.0.0.1");
  ASSERT_GT(port, 0);

  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port, "123456789"));
  ASSERT_TRUE(client.SendTo(port, "12345678"));
  char buf[8];
  std::string from;
  int fromPort = 0;
  TIdSocketList read{s};
  ASSERT_EQ(GlobalStack->WaitSockets(&read, nullptr, nullptr, 2000), 1);
  EXPECT_EQ(GlobalStack->ReceiveFrom(s, buf, 8, 0, from, fromPort), -1);
  EXPECT_EQ(GlobalStack->LastPlatformError(), 10040);
  // The oversized datagram is gone; the next one comes whole.
  read = {s};
  ASSERT_EQ(GlobalStack->WaitSockets(&read, nullptr, nullptr, 2000), 1);
  EXPECT_EQ(GlobalStack->ReceiveFrom(s, buf, 8, 0, from, fromPort), 8);
  EXPECT_EQ(std::string(buf, 8), "12345678");
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(fromPort, client.port());
  nettest::sys::Close(s);
}

TEST_F(StackTest, LocalNameAndAddresses) {
  const std::string name = nettest::sys::HostName();
  ASSERT_NE(name, "");
  EXPECT_EQ(GlobalStack->LocalHostName(), name);
  EXPECT_EQ(component_->LocalComputerName(), name);

  TStringList& list = GlobalStack->LocalAddresses();
  ASSERT_GT(list.Count(), 0);
  for (int i = 0; i < list.Count(); ++i) EXPECT_TRUE(GlobalStack->IsDottedQuad(list.Strings(i)));
  EXPECT_EQ(GlobalStack->FirstLocalAddress(), list.Strings(0));
  // Refilled, not appended to, on every call.
  const int count = list.Count();
  EXPECT_EQ(GlobalStack->LocalAddresses().Count(), count);
}

TEST_F(StackTest, LookupOfANameFromTheHostsFile) {
  EXPECT_EQ(GlobalStack->LookupHost("localhost"), "127.0.0.1");
}

TEST_F(StackTest, SocketErrorsCarryWinSockNumbers) {
  UdpPeer peer;
  const int s = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
  std::string big(70000, 'x');
  EXPECT_EQ(GlobalStack->SendToAddress(s, big.data(), static_cast<int>(big.size()), 0, "127.0.0.1",
                                       peer.port()),
            -1);
  EXPECT_EQ(GlobalStack->LastPlatformError(), 10040);
  nettest::sys::Close(s);
  EXPECT_EQ(GlobalStack->SendToAddress(s, "x", 1, 0, "127.0.0.1", peer.port()), -1);
  EXPECT_EQ(GlobalStack->LastPlatformError(), nettest::sys::kClosedSocketError);
  const std::int32_t on = -1;
  const int t = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
  EXPECT_EQ(GlobalStack->SetSocketOption(t, Id_SOL_SOCKET, Id_SO_BROADCAST, &on, 4), 0);
  EXPECT_EQ(nettest::sys::BroadcastOption(t), 1);
  EXPECT_EQ(GlobalStack->SetSocketOption(t, Id_SOL_SOCKET, 0x7777, &on, 4), -1);
  EXPECT_EQ(GlobalStack->LastPlatformError(), 10042);
  nettest::sys::Close(t);
}

TEST_F(StackTest, ErrorsAreKeptPerThread) {
  const int s = GlobalStack->NewSocket(Id_SOCK_DGRAM, 0);
  UdpPeer holder;
  ASSERT_EQ(GlobalStack->BindSocket(s, Id_PF_INET, "127.0.0.1", holder.port()), -1);
  // Read at once: any later system call may overwrite it.
  const int mine = GlobalStack->LastPlatformError();
  int other = -1;
  std::thread([&] { other = GlobalStack->LastPlatformError(); }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(mine, 10048);
  nettest::sys::Close(s);
}

TEST(StackLifetimeTest, StackLivesWithTheComponentsAndStartsOnce) {
  ASSERT_EQ(GlobalStack, nullptr);
  ASSERT_EQ(LiveComponentCount(), 0);
  const int startsBefore = SocketLibraryStartCount();
  {
    TIdComponent first(nullptr);
    ASSERT_NE(GlobalStack, nullptr);
    TIdStack* stack = GlobalStack;
    {
      TIdComponent second(nullptr);
      EXPECT_EQ(LiveComponentCount(), 2);
      EXPECT_EQ(GlobalStack, stack);
    }
    EXPECT_EQ(GlobalStack, stack);
    EXPECT_EQ(LiveComponentCount(), 1);
  }
  EXPECT_EQ(GlobalStack, nullptr);
  EXPECT_EQ(LiveComponentCount(), 0);
  EXPECT_TRUE(SocketLibraryStarted());
  {
    TIdComponent again(nullptr);
    EXPECT_NE(GlobalStack, nullptr);
    EXPECT_NE(GlobalStack->FirstLocalAddress(), "");
  }
  EXPECT_EQ(GlobalStack, nullptr);
  // One start-up per process at most, however often the stack is rebuilt.
  EXPECT_EQ(SocketLibraryStartCount(), std::max(startsBefore, 1));
  EXPECT_LE(SocketLibraryStartCount(), 1);
}

TEST(StackLifetimeTest, OwnedComponentsKeepTheStackUntilTheLastGoes) {
  auto owner = std::make_unique<TComponent>(nullptr);
  new TIdComponent(owner.get());
  new TIdComponent(owner.get());
  EXPECT_EQ(LiveComponentCount(), 2);
  EXPECT_NE(GlobalStack, nullptr);
  owner.reset();
  EXPECT_EQ(LiveComponentCount(), 0);
  EXPECT_EQ(GlobalStack, nullptr);
}
