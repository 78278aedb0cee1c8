// Round trip and throughput of the real console (Qt offscreen, UDP server
// active): a loopback client sends a datagram and waits for the LF answer.
// The same client runs against a minimal recvfrom/sendto echo loop in the
// same run, as the baseline; the rounds alternate which side goes first.
#include <QEventLoop>
#include <QMetaObject>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/fBase.h"
#include "bench/BenchTable.h"
#include "bench/udp_baseline.h"
#include "controls/qt/QtWindowSystem.h"

namespace {

constexpr int kRounds = 6;
constexpr double kWindowSeconds = 0.5;  // at least, per side and measurement
constexpr int kRoundTrips = 2000;       // at least, per round
constexpr int kFlood = 20000;           // at least, per round
constexpr int kWindow = 128;            // in flight: below what the socket buffers hold

struct Figures {
  udpbench::RoundTrips rtt;
  udpbench::Flood flood;
};

// Measures from a client thread while this (main) thread runs the Qt loop,
// which sleeps while nothing is due, as under `make run`.
Figures Measure(int port) {
  Figures f;
  QEventLoop loop;
  std::thread client([&] {
    f.rtt = udpbench::MeasureRoundTrips(port, kRoundTrips, "ping\r", 1000, kWindowSeconds);
    f.flood = udpbench::MeasureFlood(port, kFlood, kWindow, "flood\r", 1000, kWindowSeconds);
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  loop.exec();
  client.join();
  return f;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Side {
  std::vector<double> p50, p99, rtt_server_cpu, rtt_client_cpu, flood_rate, flood_server_cpu;
  int lost = 0, answered = 0, sent = 0;
  void Add(const Figures& f) {
    p50.push_back(f.rtt.p50_us);
    p99.push_back(f.rtt.p99_us);
    const int n = f.rtt.answered + f.rtt.lost;
    rtt_server_cpu.push_back(f.rtt.cpu.ServerUsPer(n));
    rtt_client_cpu.push_back(f.rtt.cpu.ClientUsPer(n));
    flood_rate.push_back(f.flood.per_second);
    flood_server_cpu.push_back(f.flood.cpu.ServerUsPer(f.flood.answered));
    lost += f.rtt.lost;
    answered += f.flood.answered;
    sent += f.flood.sent;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int qt_argc = 1;
  TQtWindowSystem windows(qt_argc, argv);
  SetWindowSystem(&windows);

  Side console, base;
  std::vector<double> p50_ratios;
  long long shown = 0;
  {
    TBaseform form(nullptr);
    form.Show();
    const int port = udpbench::LoopbackSocket().port();
    form.EdPort->SetText(std::to_string(port));
    form.ChBxActiv->SetChecked(true);  // its handler activates the server
    if (!form.UDPServer->Active()) {
      std::fprintf(stderr, "the console's UDP server did not start on port %d\n", port);
      return 1;
    }
    udpbench::EchoBaseline echo;
    udpbench::MeasureRoundTrips(echo.port(), 200);  // warm-up
    {
      QEventLoop loop;
      std::thread warm([&] {
        udpbench::MeasureRoundTrips(port, 200);
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
      });
      loop.exec();
      warm.join();
    }
    for (int round = 0; round < kRounds; ++round) {
      Figures c, b;
      if (round % 2 == 0) {
        b = Measure(echo.port());
        c = Measure(port);
      } else {
        c = Measure(port);
        b = Measure(echo.port());
      }
      console.Add(c);
      base.Add(b);
      p50_ratios.push_back(c.rtt.p50_us / b.rtt.p50_us);
    }
    shown = static_cast<long long>(form.LogSize());
  }
  SetWindowSystem(nullptr);

  std::printf(
      "UDP over loopback, %d rounds alternating which side goes first, each side >= %.1f s "
      "per measurement; medians of the rounds\n",
      kRounds, kWindowSeconds);
  std::printf("round trip, us (CPU per datagram: server side, client side):\n");
  std::printf("  console   p50 %7.1f   p99 %7.1f   CPU %6.1f + %5.1f   lost %d\n",
              Median(console.p50), Median(console.p99), Median(console.rtt_server_cpu),
              Median(console.rtt_client_cpu), console.lost);
  std::printf("  baseline  p50 %7.1f   p99 %7.1f   CPU %6.1f + %5.1f   lost %d\n", Median(base.p50),
              Median(base.p99), Median(base.rtt_server_cpu), Median(base.rtt_client_cpu),
              base.lost);
  std::printf("  p50 ratio: median %.2f, range %.2f-%.2f (target <= 3)\n", Median(p50_ratios),
              *std::min_element(p50_ratios.begin(), p50_ratios.end()),
              *std::max_element(p50_ratios.begin(), p50_ratios.end()));
  std::printf("flood, %d in flight (server CPU per datagram):\n", kWindow);
  std::printf(
      "  console   %8.0f datagrams/s shown and answered, CPU %5.1f us (%d of %d; "
      "target >= 50000)\n",
      Median(console.flood_rate), Median(console.flood_server_cpu), console.answered, console.sent);
  std::printf("  baseline  %8.0f datagrams/s, CPU %5.1f us (%d of %d)\n", Median(base.flood_rate),
              Median(base.flood_server_cpu), base.answered, base.sent);
  std::printf("  log pane holds %lld bytes\n", shown);
  const double flood_ratio = Median(console.flood_rate) / Median(base.flood_rate);
  BenchRow("UDP flood through the console, datagrams/s (server CPU " +
               std::to_string(static_cast<int>(Median(console.flood_server_cpu) + 0.5)) +
               " us per datagram, echo loop " +
               std::to_string(static_cast<int>(Median(base.flood_server_cpu) + 0.5)) + " us)",
           Median(console.flood_rate), "", Median(base.flood_rate), "ratio >= 0.5",
           flood_ratio >= 0.5);
  return 0;
}
