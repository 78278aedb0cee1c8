#include <gtest/gtest.h>

#include <future>

#include "bench/udp_baseline.h"
#include "net/IdUDPServer.h"
#include "tests/net/NetTestSupport.h"

TEST(UdpBaselineTest, BaselineAnswersEveryDatagramWithALineFeed) {
  udpbench::EchoBaseline echo;
  ASSERT_TRUE(echo.ok());
  const udpbench::RoundTrips rt = udpbench::MeasureRoundTrips(echo.port(), 200);
  EXPECT_EQ(rt.answered, 200);
  EXPECT_EQ(rt.lost, 0);
  EXPECT_GT(rt.p50_us, 0);
  EXPECT_GE(rt.p99_us, rt.p50_us);
  const udpbench::Flood flood = udpbench::MeasureFlood(echo.port(), 2000);
  EXPECT_EQ(flood.answered, 2000);
  EXPECT_GT(flood.per_second, 0);
}

TEST(UdpBaselineTest, MeasuresTheServerWhileTheMainThreadDelivers) {
  TIdUDPServer server(nullptr);
  const int port = nettest::FreePort();
  ASSERT_NE(port, 0);
  server.SetDefaultPort(port);
  server.OnUDPRead = [&server](TObject*, TMemoryStream&, TIdSocketHandle& b) {
    server.SendText(b.RemoteIP(), b.RemotePort(), "\n");
  };
  server.SetActive(true);
  auto rt =
      std::async(std::launch::async, [port] { return udpbench::MeasureRoundTrips(port, 100); });
  ASSERT_TRUE(nettest::PumpUntil(
      [&] { return rt.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
  EXPECT_EQ(rt.get().answered, 100);
  auto flood =
      std::async(std::launch::async, [port] { return udpbench::MeasureFlood(port, 1000); });
  ASSERT_TRUE(nettest::PumpUntil(
      [&] { return flood.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
  EXPECT_EQ(flood.get().answered, 1000);
  // Without the main loop no answer comes: the measurement reports the loss.
  const udpbench::RoundTrips stalled = udpbench::MeasureRoundTrips(port, 1, "x", 50);
  EXPECT_EQ(stalled.lost, 1);
}
