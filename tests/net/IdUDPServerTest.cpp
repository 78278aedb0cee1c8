#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/IdUDPServer.h"
#include "tests/net/NetTestSupport.h"

using nettest::Clock;
using nettest::MillisSince;
using nettest::PumpUntil;
using nettest::UdpPeer;

namespace {

struct Got {
  std::string data;
  std::int64_t position = -1;
  std::string ip;
  int port = 0;
  TIdSocketHandle* binding = nullptr;
  TObject* sender = nullptr;
  decltype(CurrentThreadId()) thread = 0;
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = nettest::FreePort();
    ASSERT_NE(port_, 0);
    server_ = std::make_unique<TIdUDPServer>(nullptr);
    server_->SetDefaultPort(port_);
    server_->OnUDPRead = [this](TObject* Sender, TMemoryStream& AData, TIdSocketHandle& ABinding) {
      Got g;
      g.position = AData.Position();
      g.data.resize(static_cast<std::size_t>(AData.Size()));
      AData.Read(g.data.data(), AData.Size());
      g.ip = ABinding.RemoteIP();
      g.port = ABinding.RemotePort();
      g.binding = &ABinding;
      g.sender = Sender;
      g.thread = CurrentThreadId();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        got_.push_back(g);
      }
      if (then_) then_(ABinding);
    };
  }
  void TearDown() override {
    // Deactivate first: a threaded handler may still be reading server_.
    if (server_) server_->SetActive(false);
    server_.reset();
  }

  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_.size();
  }
  Got At(std::size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_.at(i);
  }
  bool WaitCount(std::size_t n, int timeoutMs = 5000) {
    return PumpUntil([&] { return Count() >= n; }, timeoutMs);
  }

  static int BroadcastOption(const TIdSocketHandle* b) {
    return nettest::sys::BroadcastOption(b->SocketHandle());
  }

  int port_ = 0;
  std::unique_ptr<TIdUDPServer> server_;
  std::mutex mutex_;
  std::vector<Got> got_;
  // Runs inside OnUDPRead after the datagram was recorded.
  std::function<void(TIdSocketHandle&)> then_;
};

TIdStack* NewFailingLookupStack() {
  struct Stack : TPlatformStack {
    std::string LookupHost(const std::string&) override { RaiseSocketErrorCode(11001); }
  };
  return new Stack();
}

}  // namespace

TEST_F(ServerTest, ActivatesAsTheConsoleCreatesIt) {
  EXPECT_EQ(server_->BufferSize(), 8192);
  EXPECT_FALSE(server_->ThreadedEvent());
  EXPECT_FALSE(server_->BroadcastEnabled());
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->Bindings().Count(), 0);
  EXPECT_EQ(server_->ReplyBinding(), nullptr);

  server_->SetActive(true);
  EXPECT_TRUE(server_->Active());
  ASSERT_EQ(server_->Bindings().Count(), 1);
  TIdSocketHandle* b = server_->Bindings().Items(0);
  EXPECT_EQ(b->IP(), "0.0.0.0");
  EXPECT_EQ(b->Port(), port_);
  EXPECT_TRUE(b->HasSocket());
  EXPECT_EQ(server_->ReplyBinding(), b);
  ASSERT_NE(server_->Listener(), nullptr);
  EXPECT_EQ(server_->Listener()->ReceiveSize(), 8192);
  EXPECT_EQ(server_->Listener()->WaitMillis(), 1000);
  EXPECT_EQ(BroadcastOption(b), 0);
  EXPECT_FALSE(nettest::PortIsFree(port_));

  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "hello\r\n"));
  ASSERT_TRUE(WaitCount(1));
  const Got g = At(0);
  EXPECT_EQ(g.data, "hello\r\n");
  EXPECT_EQ(g.position, 0);
  EXPECT_EQ(g.ip, "127.0.0.1");
  EXPECT_EQ(g.port, client.port());
  EXPECT_EQ(g.binding, b);
  EXPECT_EQ(g.sender, server_.get());
  // Delivered on the main thread.
  EXPECT_EQ(g.thread, CurrentThreadId());
}

TEST_F(ServerTest, SettingActiveToItsValueDoesNothing) {
  server_->SetActive(false);
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->Bindings().Count(), 0);

  server_->SetActive(true);
  TIdUDPListenerThread* listener = server_->Listener();
  const int socket = server_->Bindings().Items(0)->SocketHandle();
  server_->SetActive(true);
  EXPECT_EQ(server_->Listener(), listener);
  EXPECT_EQ(server_->Bindings().Items(0)->SocketHandle(), socket);
  EXPECT_EQ(server_->Bindings().Count(), 1);

  server_->SetActive(false);
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->Listener(), nullptr);
  EXPECT_EQ(server_->ReplyBinding(), nullptr);
  EXPECT_FALSE(server_->Bindings().Items(0)->HasSocket());
  EXPECT_TRUE(nettest::PortIsFree(port_));
  server_->SetActive(false);
  EXPECT_FALSE(server_->Active());
}

TEST_F(ServerTest, SendTextActivatesAnInactiveServer) {
  UdpPeer peer;
  ASSERT_TRUE(peer.ok());
  server_->SendText("LocalHost", peer.port(), std::string("AT\x00Z\r", 5));
  EXPECT_TRUE(server_->Active());
  ASSERT_NE(server_->Listener(), nullptr);
  auto got = peer.Receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->data, std::string("AT\x00Z\r", 5));
  EXPECT_EQ(got->port, port_);

  // And the server it activated receives.
  ASSERT_TRUE(peer.SendTo(port_, "back"));
  ASSERT_TRUE(WaitCount(1));
  EXPECT_EQ(At(0).data, "back");
}

TEST_F(ServerTest, ReplyToTheSenderLeavesFromTheBoundPort) {
  then_ = [this](TIdSocketHandle& b) { server_->SendText(b.RemoteIP(), b.RemotePort(), "\n"); };
  server_->SetActive(true);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "hello\r\n"));
  auto answer = client.Receive(0);
  ASSERT_TRUE(PumpUntil([&] {
    answer = client.Receive(0);
    return answer.has_value();
  }));
  EXPECT_EQ(answer->data, "\n");
  EXPECT_EQ(answer->port, port_);
  EXPECT_EQ(answer->ip, "127.0.0.1");
  ASSERT_EQ(Count(), 1u);
  EXPECT_EQ(At(0).port, client.port());
}

TEST_F(ServerTest, DatagramsUpToBufferSizeAreDeliveredLongerOnesDropped) {
  server_->SetActive(true);
  UdpPeer client;
  const std::string tooLong(8193, 'L');
  std::string full(8192, 'F');
  full[0] = '\0';
  full[8191] = 'E';
  ASSERT_TRUE(client.SendTo(port_, tooLong));
  ASSERT_TRUE(client.SendTo(port_, full));
  ASSERT_TRUE(client.SendTo(port_, ""));
  ASSERT_TRUE(WaitCount(2));
  nettest::PumpFor(100);
  ASSERT_EQ(Count(), 2u);
  EXPECT_EQ(At(0).data, full);
  EXPECT_EQ(At(0).position, 0);
  // An empty datagram still makes an event, with an empty stream.
  EXPECT_EQ(At(1).data, "");
  EXPECT_EQ(At(1).port, client.port());
}

TEST_F(ServerTest, EachDatagramShowsOnlyItsOwnBytes) {
  server_->SetActive(true);
  UdpPeer client;
  // Long, short, longer, empty, long again: nothing of an earlier datagram
  // shows through in a later one.
  const std::vector<std::string> sent = {std::string(8192, 'A'), "bc", std::string(5000, 'D'), "",
                                         std::string(700, 'E') + std::string(3, '\0') + "F"};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    ASSERT_TRUE(client.SendTo(port_, sent[i]));
    ASSERT_TRUE(WaitCount(i + 1));
  }
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(At(i).data, sent[i]) << "datagram " << i;
    EXPECT_EQ(At(i).position, 0);
  }
}

TEST_F(ServerTest, SmallerBufferSizeAppliesToTheNextListener) {
  server_->SetBufferSize(4);
  server_->SetActive(true);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "12345"));
  ASSERT_TRUE(client.SendTo(port_, "1234"));
  ASSERT_TRUE(WaitCount(1));
  nettest::PumpFor(50);
  ASSERT_EQ(Count(), 1u);
  EXPECT_EQ(At(0).data, "1234");
}

TEST_F(ServerTest, WithoutHandlerDatagramsAreDroppedAndReplyBindingFollows) {
  server_->OnUDPRead = nullptr;
  TIdSocketHandle* first = server_->Bindings().AddBinding();
  first->SetIP("127.0.0.1");
  first->SetPort(0);
  TIdSocketHandle* second = server_->Bindings().AddBinding();
  second->SetIP("127.0.0.1");
  second->SetPort(0);
  server_->SetActive(true);
  ASSERT_EQ(server_->ReplyBinding(), first);

  UdpPeer client;
  ASSERT_TRUE(client.SendTo(second->Port(), "to second"));
  EXPECT_TRUE(PumpUntil([&] { return server_->ReplyBinding() == second; }));
  EXPECT_EQ(second->RemotePort(), client.port());
  ASSERT_TRUE(client.SendTo(first->Port(), "to first"));
  EXPECT_TRUE(PumpUntil([&] { return server_->ReplyBinding() == first; }));

  // A send now leaves from the binding that received last.
  UdpPeer peer;
  server_->SendText("127.0.0.1", peer.port(), "x");
  auto got = peer.Receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->port, first->Port());
}

TEST_F(ServerTest, ReleasedBindingIsNotWaitedOnWhenItsNumberIsReused) {
  TIdSocketHandle* released = server_->Bindings().AddBinding();
  released->SetIP("127.0.0.1");
  released->SetPort(0);
  TIdSocketHandle* kept = server_->Bindings().AddBinding();
  kept->SetIP("127.0.0.1");
  kept->SetPort(0);
  server_->SetActive(true);
  const int number = released->SocketHandle();
  released->ReleaseSocket();
  // Somebody else's socket gets the number at once.
  UdpPeer stranger;
  if (stranger.fd() != number) GTEST_SKIP() << "the descriptor number was not reused";

  UdpPeer client;
  // The first delivery ends a wait that may have begun before the release;
  // every later wait is built afterwards.
  ASSERT_TRUE(client.SendTo(kept->Port(), "one"));
  ASSERT_TRUE(WaitCount(1));
  ASSERT_TRUE(client.SendTo(stranger.port(), "not the server's"));
  ASSERT_TRUE(client.SendTo(kept->Port(), "two"));
  ASSERT_TRUE(WaitCount(2));
  EXPECT_EQ(At(1).data, "two");
  EXPECT_EQ(At(1).binding, kept);
  EXPECT_EQ(Count(), 2u);
  const auto left = stranger.Receive(0);
  ASSERT_TRUE(left.has_value()) << "the server read a socket it does not own";
  EXPECT_EQ(left->data, "not the server's");
}

TEST_F(ServerTest, DatagramIsDeliveredWithTheBindingThatHoldsItsSocketNow) {
  TIdSocketHandle* bindings[3];
  for (TIdSocketHandle*& b : bindings) {
    b = server_->Bindings().AddBinding();
    b->SetIP("127.0.0.1");
    b->SetPort(0);
  }
  server_->SetActive(true);
  TIdSocketHandle* first = bindings[0];
  TIdSocketHandle* last = bindings[2];
  const int first_number = first->SocketHandle();
  const int last_number = last->SocketHandle();
  // Both released; somebody takes the first one's number, so the first
  // binding, acquired again by hand, gets the last one's.
  last->ReleaseSocket();
  first->ReleaseSocket();
  UdpPeer stranger;
  if (stranger.fd() != first_number) GTEST_SKIP() << "the descriptor number was not reused";
  first->AcquireSocket();
  if (first->SocketHandle() != last_number) GTEST_SKIP() << "the descriptor number was not reused";
  // A fresh port: the listener's wait in progress may still hold the old one.
  first->SetPort(0);
  first->BindLocal();

  UdpPeer client;
  // As above: the first delivery may end a wait from before the changes.
  ASSERT_TRUE(client.SendTo(bindings[1]->Port(), "settle"));
  ASSERT_TRUE(WaitCount(1));
  ASSERT_TRUE(client.SendTo(first->Port(), "to first"));
  ASSERT_TRUE(WaitCount(2));
  EXPECT_EQ(At(1).data, "to first");
  EXPECT_EQ(At(1).binding, first);
  EXPECT_EQ(first->RemotePort(), client.port());
}

TEST_F(ServerTest, ThreadedEventRunsTheHandlerOnTheListenerThread) {
  server_->SetThreadedEvent(true);
  then_ = [this](TIdSocketHandle& b) { server_->SendText(b.RemoteIP(), b.RemotePort(), "\n"); };
  server_->SetActive(true);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "threaded"));
  // Nothing pumps the main thread's queue here: the handler must run anyway.
  auto answer = client.Receive(5000);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->data, "\n");
  ASSERT_EQ(Count(), 1u);
  EXPECT_EQ(At(0).data, "threaded");
  EXPECT_NE(At(0).thread, CurrentThreadId());
  EXPECT_EQ(At(0).thread, server_->Listener()->ThreadID());
}

TEST_F(ServerTest, BroadcastOptionFollowsTheFlagOnEveryBinding) {
  for (int i = 0; i < 2; ++i) {
    TIdSocketHandle* b = server_->Bindings().AddBinding();
    b->SetIP("127.0.0.1");
    b->SetPort(0);
  }
  // Set while inactive: applied at activation.
  server_->SetBroadcastEnabled(true);
  EXPECT_FALSE(server_->Active());
  server_->SetActive(true);
  EXPECT_EQ(BroadcastOption(server_->Bindings().Items(0)), 1);
  EXPECT_EQ(BroadcastOption(server_->Bindings().Items(1)), 1);
  // Set while active: applied at once.
  server_->SetBroadcastEnabled(false);
  EXPECT_EQ(BroadcastOption(server_->Bindings().Items(0)), 0);
  EXPECT_EQ(BroadcastOption(server_->Bindings().Items(1)), 0);
  server_->SetBroadcastEnabled(true);
  EXPECT_EQ(BroadcastOption(server_->Bindings().Items(0)), 1);
  EXPECT_EQ(BroadcastOption(server_->Bindings().Items(1)), 1);
}

TEST_F(ServerTest, DefaultPortWrittenAfterTheFirstActivationIsIgnored) {
  server_->SetActive(true);
  server_->SetActive(false);
  const int other = nettest::FreePort();
  ASSERT_NE(other, 0);
  server_->SetDefaultPort(other);
  EXPECT_EQ(server_->DefaultPort(), other);
  server_->SetActive(true);
  ASSERT_EQ(server_->Bindings().Count(), 1);
  EXPECT_EQ(server_->Bindings().Items(0)->Port(), port_);
  EXPECT_FALSE(nettest::PortIsFree(port_));
  EXPECT_TRUE(nettest::PortIsFree(other));
}

TEST_F(ServerTest, PortInUseLeavesTheServerInactive) {
  auto holder = std::make_unique<UdpPeer>(port_);
  ASSERT_TRUE(holder->ok());
  try {
    server_->SetActive(true);
    FAIL() << "the port is held";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->Listener(), nullptr);
  EXPECT_EQ(server_->ReplyBinding(), nullptr);
  // A send tries the activation again and fails the same way.
  EXPECT_THROW(server_->SendText("127.0.0.1", 9, "x"), EIdCouldNotBindSocket);

  holder.reset();
  server_->SetActive(true);
  EXPECT_TRUE(server_->Active());
}

TEST_F(ServerTest, DeactivationEndsTheListenerPromptly) {
  server_->SetActive(true);
  // Let the listener settle into its wait.
  nettest::PumpFor(100);
  const auto start = Clock::now();
  server_->SetActive(false);
  // The shut-down sockets end the wait at once; sleeping out the listener's
  // one-second wait would miss this by far even on a busy machine.
  EXPECT_LT(MillisSince(start), 500);
  EXPECT_EQ(server_->Listener(), nullptr);
  EXPECT_TRUE(nettest::PortIsFree(port_));

  // Activation after deactivation works with a new listener.
  server_->SetActive(true);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "again"));
  ASSERT_TRUE(WaitCount(1));
  EXPECT_EQ(At(0).data, "again");
}

TEST_F(ServerTest, ListenerIdlesWhenItsWaitFailsAndStillEndsPromptly) {
  server_->SetActive(true);
  nettest::PumpFor(50);
  TIdUDPListenerThread* listener = server_->Listener();
  ASSERT_NE(listener, nullptr);
  // The socket goes away under the running listener: it has nothing left to
  // wait on from now on.
  server_->Bindings().Items(0)->ReleaseSocket();
  const double cpuStart = nettest::sys::ProcessCpuSeconds();
  nettest::PumpFor(1500);
  const double cpuSeconds = nettest::sys::ProcessCpuSeconds() - cpuStart;
  // A listener retrying the failed wait at once would burn a core here.
  EXPECT_LT(cpuSeconds, 0.3);
  EXPECT_FALSE(listener->Finished());
  EXPECT_FALSE(server_->Active());

  // Its socket gone, the server reads inactive; its destruction still stops
  // the listener, which leaves its idle at once instead of sleeping it out.
  const auto start = Clock::now();
  server_.reset();
  EXPECT_LT(MillisSince(start), 500);
}

TEST_F(ServerTest, DeliveryQueuedBeforeDeactivationStillRuns) {
  UdpPeer client;
  then_ = [this](TIdSocketHandle& b) {
    // The sockets are already closed: this send fails and the failure is
    // discarded by the listener.
    server_->SendText(b.RemoteIP(), b.RemotePort(), "\n");
  };
  server_->SetActive(true);
  ASSERT_TRUE(client.SendTo(port_, "late"));
  // Wait without pumping until the listener has queued the delivery.
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (PendingCallCount() == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(PendingCallCount(), 1u);
  server_->SetActive(false);
  ASSERT_EQ(Count(), 1u);
  EXPECT_EQ(At(0).data, "late");
  EXPECT_EQ(server_->Listener(), nullptr);
  EXPECT_FALSE(client.Receive(50).has_value());
}

TEST_F(ServerTest, HandlerRunDuringDeactivationCanNeitherSendNorDeactivateAgain) {
  int sendError = 0;
  then_ = [this, &sendError](TIdSocketHandle& b) {
    try {
      server_->SendText(b.RemoteIP(), b.RemotePort(), "\n");
    } catch (const EIdSocketError& e) {
      sendError = e.ErrorCode();
    }
    server_->SetActive(false);  // already under way: returns at once
  };
  server_->SetActive(true);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "late"));
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (PendingCallCount() == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(PendingCallCount(), 1u);
  server_->SetActive(false);
  ASSERT_EQ(Count(), 1u);
  EXPECT_NE(sendError, 0);
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->Listener(), nullptr);
  EXPECT_TRUE(nettest::PortIsFree(port_));
  EXPECT_FALSE(client.Receive(50).has_value());
}

TEST_F(ServerTest, HandlerFailuresCostOnlyTheirDatagram) {
  then_ = [](TIdSocketHandle&) { throw Exception("handler failed"); };
  server_->SetActive(true);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "one"));
  ASSERT_TRUE(WaitCount(1));
  ASSERT_TRUE(client.SendTo(port_, "two"));
  ASSERT_TRUE(WaitCount(2));
  EXPECT_EQ(At(1).data, "two");
  EXPECT_FALSE(server_->Listener()->Finished());
}

TEST_F(ServerTest, ManyDatagramsArriveWholeAndInOrder) {
  then_ = [this](TIdSocketHandle& b) { server_->SendText(b.RemoteIP(), b.RemotePort(), "\n"); };
  server_->SetActive(true);
  UdpPeer client;
  const int n = 300;
  int answers = 0;
  auto drain = [&] {
    while (auto a = client.Receive(0)) answers += a->data == "\n" ? 1 : 0;
  };
  for (int i = 0; i < n; ++i) {
    ASSERT_TRUE(client.SendTo(port_, "datagram " + std::to_string(i)));
    // Keep a few in flight, well inside the socket buffers.
    if (i % 20 == 19) {
      ASSERT_TRUE(WaitCount(static_cast<std::size_t>(i + 1)));
      drain();
    }
  }
  ASSERT_TRUE(WaitCount(n));
  for (int i = 0; i < n; ++i) EXPECT_EQ(At(i).data, "datagram " + std::to_string(i));
  ASSERT_TRUE(PumpUntil([&] {
    drain();
    return answers >= n;
  }));
  EXPECT_EQ(answers, n);
}

TEST_F(ServerTest, DeactivatingFromInsideTheHandlerDoesNotHang) {
  then_ = [this](TIdSocketHandle&) { server_->SetActive(false); };
  server_->SetActive(true);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "stop"));
  ASSERT_TRUE(WaitCount(1));
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->Listener(), nullptr);
  EXPECT_TRUE(nettest::PortIsFree(port_));

  then_ = nullptr;
  server_->SetActive(true);
  ASSERT_TRUE(client.SendTo(port_, "more"));
  ASSERT_TRUE(WaitCount(2));
  EXPECT_EQ(At(1).data, "more");
}

TEST_F(ServerTest, DeactivatingFromAThreadedHandlerDoesNotHang) {
  server_->SetThreadedEvent(true);
  std::atomic<bool> returned{false};
  then_ = [this, &returned](TIdSocketHandle&) {
    server_->SetActive(false);
    returned = true;
  };
  server_->SetActive(true);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "stop"));
  ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
  EXPECT_FALSE(server_->Active());
  EXPECT_EQ(server_->Listener(), nullptr);
}

TEST_F(ServerTest, MoreThanSixtyFourBindingsEndTheListener) {
  for (int i = 0; i < 65; ++i) {
    TIdSocketHandle* b = server_->Bindings().AddBinding();
    b->SetIP("127.0.0.1");
    b->SetPort(0);
  }
  server_->SetActive(true);
  TIdUDPListenerThread* listener = server_->Listener();
  ASSERT_NE(listener, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return listener->Finished(); }));
  EXPECT_EQ(listener->EndingClass(), "EIdStackSetSizeExceeded");
  EXPECT_EQ(listener->EndingMessage(), "Set Size Exceeded.");
  // Still reported active until deactivated.
  EXPECT_TRUE(server_->Active());
  server_->SetActive(false);
  EXPECT_FALSE(server_->Active());
}

TEST_F(ServerTest, ActiveWrittenWhileLoadingIsAppliedWhenLoadingEnds) {
  TComponent form(nullptr);
  auto* server = new TIdUDPServer(&form);
  server->SetDefaultPort(port_);
  form.BeginLoading();
  server->SetActive(true);
  EXPECT_TRUE(server->Active());
  EXPECT_EQ(server->Bindings().Count(), 0);
  EXPECT_EQ(server->Listener(), nullptr);
  form.EndLoading();
  EXPECT_TRUE(server->Active());
  EXPECT_NE(server->Listener(), nullptr);
  EXPECT_FALSE(nettest::PortIsFree(port_));
}

TEST_F(ServerTest, NameThatCannotBeFoundNeitherSendsNorActivates) {
  server_.reset();
  const TIdStackClass saved = StackClass;
  StackClass = &NewFailingLookupStack;
  {
    TIdUDPServer server(nullptr);
    server.SetDefaultPort(port_);
    try {
      server.SendText("no-such-device", 10501, "x\r");
      FAIL() << "the name cannot be found";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), 11001);
      EXPECT_EQ(std::string(e.what()), "Ошибка сокета # 11001\r\nХост сервер не найден");
    }
    EXPECT_FALSE(server.Active());
  }
  StackClass = saved;
}

TEST_F(ServerTest, DestroyedServerDoesNotCallItsHandlerAnyMore) {
  server_->SetActive(true);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "queued"));
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (PendingCallCount() == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(PendingCallCount(), 1u);
  // The queued delivery runs during the destruction, but not into the
  // handler, whose owner may be going away too.
  server_.reset();
  EXPECT_EQ(PendingCallCount(), 0u);
  EXPECT_EQ(Count(), 0u);
}

TEST_F(ServerTest, DestroyingTheLastComponentDestroysTheStack) {
  server_->SetActive(true);
  ASSERT_NE(GlobalStack, nullptr);
  UdpPeer client;
  ASSERT_TRUE(client.SendTo(port_, "x"));
  ASSERT_TRUE(WaitCount(1));
  server_.reset();
  EXPECT_EQ(GlobalStack, nullptr);
  EXPECT_EQ(LiveComponentCount(), 0);
  EXPECT_TRUE(nettest::PortIsFree(port_));
}
