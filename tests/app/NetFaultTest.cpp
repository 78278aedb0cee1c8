// The network side under a flood and against sends that cannot succeed.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/app/ConsoleFixture.h"
#include "tests/app/ProcessStats.h"
#include "tests/net/NetTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

using NetFault = Console;

TEST_F(NetFault, AFloodIsShownAndAnsweredOrDroppedAndTheWindowStillClosesPromptly) {
  const int port = ActivateUdp();
  nettest::UdpPeer peer;
  const int big = 16 << 20;
  ::setsockopt(peer.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  constexpr int kDatagrams = 200000;
  std::atomic<bool> sent_all{false}, stop{false};
  std::atomic<long> answers{0};
  std::thread receiver([&] {
    char buf[16];
    while (!stop) {
      pollfd p{peer.fd(), POLLIN, 0};
      if (::poll(&p, 1, 50) > 0 && ::recv(peer.fd(), buf, sizeof buf, 0) == 1 && buf[0] == '\n') {
        ++answers;
      }
    }
  });
  std::thread sender([&] {
    for (int i = 0; i < kDatagrams; ++i) peer.SendTo(port, "x\r");
    sent_all = true;
  });
  const long rss0 = ResidentKiB();
  // Each shown datagram is "x" and a line break in the pane.
  auto shown = [&] { return static_cast<long>(form->LogSize() / 3); };
  long last = -1;
  auto settled_at = Clock::now();
  // In slices: once the flood is over nothing wakes the loop to look again.
  auto settled = [&] {
    if (shown() != last) {
      last = shown();
      settled_at = Clock::now();
    }
    return sent_all && Clock::now() - settled_at > std::chrono::milliseconds(500);
  };
  for (const auto deadline = Clock::now() + std::chrono::seconds(120);
       !settled() && Clock::now() < deadline;) {
    ws.RunUntil(settled, 100);
  }
  sender.join();
  for (int i = 0; i < 50 && answers < shown(); ++i) ws.RunUntil([] { return false; }, 100);
  const long growth_kib = ResidentKiB() - rss0;
  EXPECT_TRUE(sent_all);
  EXPECT_GT(shown(), 0) << "the flood must not stop reception";
  EXPECT_LE(shown(), kDatagrams);
  EXPECT_EQ(form->LogSize() % 3, 0u) << "a datagram was shown in part";
  EXPECT_EQ(answers.load(), shown()) << "every datagram shown is answered once";
  // The pane's text, once in the pane and once in the headless view.
  const long pane_kib = static_cast<long>(form->LogSize() / 1024);
  EXPECT_LT(growth_kib, 2 * pane_kib + 64 * 1024);
  std::printf("flood: %ld of %d shown and answered, %d dropped by the socket buffer\n", shown(),
              kDatagrams, kDatagrams - static_cast<int>(shown()));

  // Closed in the middle of another flood.
  std::thread again([&] {
    for (int i = 0; i < 50000; ++i) peer.SendTo(port, "y\r");
  });
  ws.RunUntil([] { return false; }, 50);
  const auto t0 = Clock::now();
  form->OperatorClose();
  form.reset();
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  again.join();
  stop = true;
  receiver.join();
}

TEST_F(NetFault, SendsThatCannotSucceedAreToldOnceAndTheNextOneWorks) {
  nettest::UdpPeer peer;
  nettest::UdpPeer holder;
  // Activation on a port in use leaves nothing behind, so the next one, on
  // another port, works.
  form->EdPort->SetText(std::to_string(holder.port()));
  form->ChBxActiv->OperatorClick();
  EXPECT_FALSE(form->UDPServer->Active());
  EXPECT_FALSE(form->ChBxActiv->Checked());
  EXPECT_EQ(form->UDPServer->Bindings().Count(), 0);
  EXPECT_EQ(ws.Messages().size(), 1u);
  ws.ClearMessages();
  const int port = ActivateUdp();

  form->EdCmdLn->SetText("ping");
  struct Case {
    const char* name;
    std::string host;
  };
  const Case cases[] = {
      {"a name that does not resolve", "no-such-host.invalid"},
      {"an address the socket may not send to", "255.255.255.255"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    form->edtHost->SetText(c.host);
    form->edtPort->SetText(std::to_string(peer.port()));
    form->BtnETX->OperatorClick();
    EXPECT_TRUE(form->UDPServer->Active());
    ASSERT_EQ(ws.Messages().size(), 1u);
    EXPECT_EQ(ws.Messages()[0].rfind("Ошибка сокета # ", 0), 0u) << ws.Messages()[0];
    ws.ClearMessages();
    form->edtHost->SetText("127.0.0.1");
    form->BtnETX->OperatorClick();
    const auto got = peer.Receive(5000);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->data, "ping\r");
    EXPECT_EQ(got->port, port);
  }
  ASSERT_TRUE(peer.SendTo(port, "back\r"));
  ASSERT_TRUE(ws.RunUntil([&] { return form->LogText() == "back\r\n"; }, 5000));
  const auto answer = peer.Receive(5000);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->data, "\n");
  EXPECT_TRUE(ws.Messages().empty());
}

}  // namespace
