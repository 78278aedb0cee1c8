// Cases of the server that only Linux has: signals landing in the wait.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "net/IdUDPServer.h"
#include "tests/net/NetTestSupport.h"

using nettest::Clock;
using nettest::MillisSince;
using nettest::PumpUntil;
using nettest::UdpPeer;

namespace {

class PosixServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = nettest::FreePort();
    ASSERT_NE(port_, 0);
    server_ = std::make_unique<TIdUDPServer>(nullptr);
    server_->SetDefaultPort(port_);
    server_->OnUDPRead = [this](TObject*, TMemoryStream& AData, TIdSocketHandle&) {
      std::string data(static_cast<std::size_t>(AData.Size()), '\0');
      AData.Read(data.data(), AData.Size());
      last_ = data;
      ++count_;
    };
  }
  void TearDown() override { server_.reset(); }

  bool WaitCount(int n) {
    return PumpUntil([&] { return count_ >= n; });
  }

  int port_ = 0;
  std::unique_ptr<TIdUDPServer> server_;
  int count_ = 0;  // main thread only
  std::string last_;
};

}  // namespace

namespace {
std::atomic<int> g_signals{0};
void CountSignal(int) {
  g_signals.fetch_add(1);
}
}  // namespace

TEST_F(PosixServerTest, SignalsToTheListenerDoNotDelayDeliveries) {
  struct sigaction counting {};
  counting.sa_handler = CountSignal;  // no SA_RESTART: the wait is interrupted
  sigemptyset(&counting.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGUSR1, &counting, &saved), 0);
  server_->SetActive(true);
  const pid_t listener = server_->Listener()->ThreadID();
  std::atomic<bool> stop{false};
  std::thread signaller([&] {
    while (!stop) {
      ::syscall(SYS_tgkill, ::getpid(), listener, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  UdpPeer client;
  long long slowest = 0;
  bool delivered = true;
  for (int i = 0; i < 10 && delivered; ++i) {
    const int before = g_signals.load();
    // A signal lands in the idle wait before each datagram.
    PumpUntil([&] { return g_signals.load() > before + 1; });
    const auto sent = Clock::now();
    delivered = client.SendTo(port_, "d" + std::to_string(i)) && WaitCount(i + 1);
    slowest = std::max(slowest, MillisSince(sent));
  }
  stop = true;
  signaller.join();
  ::sigaction(SIGUSR1, &saved, nullptr);
  ASSERT_TRUE(delivered);
  EXPECT_GT(g_signals.load(), 10);
  // An interrupted wait that idled out its second would show here.
  EXPECT_LT(slowest, 500);
  EXPECT_EQ(last_, "d9");
}
