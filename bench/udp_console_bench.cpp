// Round trip and throughput of the real console (Qt offscreen, UDP server
// active): a loopback client sends a datagram and waits for the LF answer.
// The same client runs against a minimal recvfrom/sendto echo loop in the
// same run, as the baseline.
#include <QCoreApplication>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/fBase.h"
#include "bench/udp_baseline.h"
#include "controls/qt/QtWindowSystem.h"

namespace {

constexpr int kRoundTrips = 10000;
constexpr int kFlood = 100000;
constexpr int kWindow = 128;  // in flight: below what the socket buffers hold

struct Figures {
  udpbench::RoundTrips rtt;
  udpbench::Flood flood;
};

Figures Measure(int port) {
  udpbench::MeasureRoundTrips(port, 200);  // warm-up
  Figures f;
  f.rtt = udpbench::MeasureRoundTrips(port, kRoundTrips);
  f.flood = udpbench::MeasureFlood(port, kFlood, kWindow);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int qt_argc = 1;
  TQtWindowSystem windows(qt_argc, argv);
  SetWindowSystem(&windows);

  Figures base;
  {
    udpbench::EchoBaseline echo;
    base = Measure(echo.port());
  }

  Figures console;
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
    std::atomic<bool> done{false};
    std::thread client([&] {
      console = Measure(port);
      done = true;
      windows.Wake();
    });
    // The console's own loop runs meanwhile, as under `make run`.
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    client.join();
    QCoreApplication::processEvents();
    shown = static_cast<long long>(form.LogSize());
  }
  SetWindowSystem(nullptr);

  std::printf("UDP round trip, %d datagrams, us:\n", kRoundTrips);
  std::printf("  console   p50 %8.1f   p99 %8.1f   lost %d\n", console.rtt.p50_us,
              console.rtt.p99_us, console.rtt.lost);
  std::printf("  baseline  p50 %8.1f   p99 %8.1f   lost %d\n", base.rtt.p50_us, base.rtt.p99_us,
              base.rtt.lost);
  std::printf("  p50 ratio %.2f (target <= 3)\n", console.rtt.p50_us / base.rtt.p50_us);
  std::printf("UDP flood, %d datagrams, %d in flight:\n", kFlood, kWindow);
  std::printf("  console   %8.0f datagrams/s shown and answered (%d of %d; target >= 20000)\n",
              console.flood.per_second, console.flood.answered, console.flood.sent);
  std::printf("  baseline  %8.0f datagrams/s (%d of %d)\n", base.flood.per_second,
              base.flood.answered, base.flood.sent);
  std::printf("  log pane holds %lld bytes\n", shown);
  return 0;
}
