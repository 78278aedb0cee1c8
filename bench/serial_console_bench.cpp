// The real console (Qt offscreen, its own event loop as under `make run`)
// against a pseudo-terminal published as COM1, driven by a device thread:
//  1. acknowledgement latency: the device writes a request at a random
//     moment and reads the complete acknowledgement; next to a bare
//     responder thread on the same pty (poll, read, find, build, write);
//  2. bytes per second the console absorbs in text mode and in packet mode
//     with "Treat", and the cost per byte with 1 MB and 50 MB in the pane;
//  3. CPU per second of the idle console (packet mode, "Treat", port open),
//     next to a bare Qt window with one 5 ms timer.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/fBase.h"
#include "bench/BenchTable.h"
#include "controls/qt/QtWindowSystem.h"
#include "packet/Util.h"
#include "packet/uThread.h"
#include "tests/serial/PtyLine.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;

double Us(Clock::duration d) {
  return duration<double, std::micro>(d).count();
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs fn on the main thread and waits for it.
void OnMain(const std::function<void()>& fn) {
  QMetaObject::invokeMethod(qApp, fn, Qt::BlockingQueuedConnection);
}

std::string Frame(std::uint8_t first, std::uint8_t kind) {
  return BuildFrame(std::string{static_cast<char>(first), static_cast<char>(kind)});
}

// Reads exactly n bytes, sleeping in poll as a device program would.
bool ReadExactly(int fd, std::string& out, std::size_t n, int timeout_ms = 2000) {
  out.clear();
  char buf[256];
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    const long got = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (got <= 0) return false;
    out.append(buf, static_cast<std::size_t>(got));
  }
  return true;
}

struct Percentiles {
  double p50 = 0, p99 = 0, max = 0;
  int errors = 0;
};

Percentiles Summarise(std::vector<double> v, int errors) {
  Percentiles p;
  p.errors = errors;
  if (v.empty()) return p;
  std::sort(v.begin(), v.end());
  p.p50 = v[v.size() / 2];
  p.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  p.max = v.back();
  return p;
}

// Writes requests at random intervals and times each acknowledgement.
void RunRequests(int master, int count, std::mt19937& rng, std::vector<double>& lat, int& errors) {
  std::uniform_int_distribution<int> gap_us(1000, 4000);
  std::string ack;
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(gap_us(rng)));
    const std::string request = Frame(static_cast<std::uint8_t>(i), 1 + (i & 1));
    const auto t0 = Clock::now();
    if (::write(master, request.data(), request.size()) != 5) {
      ++errors;
      continue;
    }
    if (!ReadExactly(master, ack, 5) || ack != request) {
      ++errors;
      continue;
    }
    lat.push_back(Us(Clock::now() - t0));
  }
}

// The least machinery that answers requests: one thread on the line's
// device, sleeping in poll, finding frames and writing acknowledgements.
class BareResponder {
 public:
  explicit BareResponder(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd_, TCSANOW, &t);
    if (fd_ < 0 || ::pipe(stop_) != 0) std::perror("bare responder");
    thread_ = std::thread([this] { Run(); });
  }
  ~BareResponder() {
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
    ::close(fd_);
    ::close(stop_[0]);
    ::close(stop_[1]);
  }

 private:
  void Run() {
    std::uint8_t ring[256] = {}, image[256] = {}, tx[256] = {};
    std::uint8_t head = 0, pos = 0;
    for (;;) {
      pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) return;
      std::uint8_t buf[256];
      const long n = ::read(fd_, buf, sizeof buf);
      for (long i = 0; i < n; ++i) ring[head++] = buf[i];
      while (FindPacket(kPacketStart, pos, head, ring, image, 1)) {
        if (image[0] < 2 || (image[2] != 1 && image[2] != 2)) continue;
        std::uint8_t ack[256] = {2, image[1], image[2]};
        std::uint8_t at = 0;
        PutPacket(kPacketStart, ack, 0, at, tx);
        (void)!::write(fd_, tx, at);
      }
    }
  }
  int fd_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

std::string SlavePath(const PtyLine& line) {
  char path[256] = {};
  return ::ptsname_r(line.Master(), path, sizeof path) == 0 ? path : "";
}

// Bytes the console has taken in since Start: the pane's growth, less the
// line frame of each read in packet mode.
class Absorption {
 public:
  explicit Absorption(TBaseform& form) : form_(form) {
    OnMain([this] {
      auto original = form_.VaComm->OnRxChar;
      form_.VaComm->OnRxChar = [this, original](TObject* s, std::int32_t n) {
        ++reads_;
        original(s, n);
      };
    });
  }
  // Seconds for the console to show n bytes written as fast as the line
  // takes them.
  double Measure(int master, const std::string& bytes, bool packet, std::size_t crs) {
    std::size_t base = 0;
    long reads0 = 0;
    OnMain([&] {
      base = form_.LogSize();
      reads0 = reads_;
    });
    const auto t0 = Clock::now();
    std::thread writer([&] {
      for (std::size_t at = 0; at < bytes.size();) {
        const long n =
            ::write(master, bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at));
        if (n > 0) {
          at += static_cast<std::size_t>(n);
        } else {
          pollfd p{master, POLLOUT, 0};
          ::poll(&p, 1, 100);
        }
      }
    });
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    for (;;) {
      std::size_t shown = 0;
      OnMain([&] {
        const std::size_t grown = form_.LogSize() - base;
        const std::size_t frame = static_cast<std::size_t>(reads_ - reads0) * 6;
        shown = packet ? (grown - std::min(grown, frame)) / 3 : grown - std::min(grown, crs);
      });
      if (shown >= bytes.size() || Clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double s = duration<double>(Clock::now() - t0).count();
    writer.join();
    return s;
  }

 private:
  TBaseform& form_;
  long reads_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const int requests =
      std::getenv("T5_BENCH_REQUESTS") ? std::atoi(std::getenv("T5_BENCH_REQUESTS")) : 5000;
  PtyLine line;
  ::fcntl(line.Master(), F_SETFL, O_NONBLOCK);
  const std::string slave = SlavePath(line);
  int qt_argc = 1;
  TQtWindowSystem windows(qt_argc, argv);
  SetWindowSystem(&windows);
  auto form = std::make_unique<TBaseform>(nullptr);

  Percentiles product, baseline;
  double text_1mb = 0, text_50mb = 0, packet_rate = 0, text_rate = 0;
  double idle_console = 0, idle_bare = 0;
  const std::size_t kVolume = 8 << 20;

  std::thread device([&] {
    std::mt19937 rng(12345);
    // 1. Latency, in alternating rounds; the port is free for the baseline
    // while the console has it closed.
    std::vector<double> lat_product, lat_base;
    int err_product = 0, err_base = 0;
    const int rounds = 4;
    for (int r = 0; r < rounds; ++r) {
      for (int side = 0; side < 2; ++side) {
        const bool console_side = (side == 0) == (r % 2 == 0);
        if (console_side) {
          OnMain([&] {
            form->ChBxTreat->SetChecked(true);
            if (form->RButPack->Checked()) {
              form->BtnOpen->OperatorClick();
            } else {
              form->RButPack->OperatorClick();
            }
          });
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          RunRequests(line.Master(), requests / rounds, rng, lat_product, err_product);
          OnMain([&] { form->BtnClose->OperatorClick(); });
        } else {
          BareResponder bare(slave);
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          RunRequests(line.Master(), requests / rounds, rng, lat_base, err_base);
        }
      }
    }
    product = Summarise(lat_product, err_product);
    baseline = Summarise(lat_base, err_base);

    // 2. Absorption. Text: printable bytes with a CR every 80.
    Absorption absorb(*form);
    std::string text(kVolume, 'x');
    std::size_t crs = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char>(0x20 + (i * 31) % 0xDF);
      if (i % 80 == 79) {
        text[i] = '\r';
        ++crs;
      }
    }
    OnMain([&] { form->RButDirect->OperatorClick(); });
    auto prefill = [&](std::size_t bytes) {
      OnMain([&] {
        form->LogClear();
        const std::string chunk(1000, 'p');
        for (std::size_t n = 0; n < bytes; n += 1000) {
          form->LogAppend(chunk);
          form->LogNewLine();
        }
      });
    };
    prefill(1 << 20);
    absorb.Measure(line.Master(), text.substr(0, 1 << 20), false, crs / 8);  // warm-up
    prefill(1 << 20);
    text_1mb = absorb.Measure(line.Master(), text, false, crs);
    prefill(50 << 20);
    text_50mb = absorb.Measure(line.Master(), text, false, crs);
    text_rate = static_cast<double>(kVolume) / text_1mb;

    std::string noise(kVolume / 4, '\0');
    for (auto& c : noise) {
      do c = static_cast<char>(rng());
      while (static_cast<std::uint8_t>(c) == kPacketStart);
    }
    OnMain([&] {
      form->ChBxTreat->SetChecked(true);
      form->RButPack->OperatorClick();
    });
    prefill(1 << 20);
    packet_rate = static_cast<double>(noise.size()) / absorb.Measure(line.Master(), noise, true, 0);

    // 3. Idle CPU, alternating the console and a bare window with a 5 ms
    // timer (the console's port closed meanwhile, so its own timer stops).
    OnMain([&] { form->LogClear(); });
    std::vector<double> idle_c, idle_b;
    const double window_s = 3.0;
    for (int r = 0; r < 2; ++r) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      double c0 = ProcessCpuSeconds();
      std::this_thread::sleep_for(duration<double>(window_s));
      idle_c.push_back((ProcessCpuSeconds() - c0) / window_s);
      QWidget* bare = nullptr;
      QTimer* timer = nullptr;
      OnMain([&] {
        form->BtnClose->OperatorClick();
        bare = new QWidget;
        bare->resize(200, 100);
        bare->show();
        timer = new QTimer(bare);
        timer->setTimerType(Qt::PreciseTimer);  // as the console's own timers
        QObject::connect(timer, &QTimer::timeout, bare, [] {});
        timer->start(5);
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      c0 = ProcessCpuSeconds();
      std::this_thread::sleep_for(duration<double>(window_s));
      idle_b.push_back((ProcessCpuSeconds() - c0) / window_s);
      OnMain([&] {
        delete bare;
        form->BtnOpen->OperatorClick();
      });
    }
    idle_console = *std::min_element(idle_c.begin(), idle_c.end());
    idle_bare = *std::min_element(idle_b.begin(), idle_b.end());
    OnMain([&] { form->Close(); });
  });
  windows.Run(*form);
  device.join();
  form.reset();
  SetWindowSystem(nullptr);

  std::printf("acknowledgement latency, %d requests at random 1-4 ms intervals (us):\n", requests);
  std::printf("  console   p50 %7.1f  p99 %7.1f  max %8.1f  errors %d\n", product.p50, product.p99,
              product.max, product.errors);
  std::printf("  baseline  p50 %7.1f  p99 %7.1f  max %8.1f  errors %d\n", baseline.p50,
              baseline.p99, baseline.max, baseline.errors);
  std::printf("  p50 ratio %.2f (target <= 3), p99 %.0f us (target < 1000)\n",
              product.p50 / baseline.p50, product.p99);
  std::printf("absorption: text mode %.1f MB/s, packet mode with Treat %.1f MB/s\n",
              text_rate / 1e6, packet_rate / 1e6);
  std::printf(
      "text mode cost per byte, pane at 1 MB %.1f ns, at 50 MB %.1f ns, ratio %.2f (target <= "
      "1.5)\n",
      text_1mb / static_cast<double>(kVolume) * 1e9, text_50mb / static_cast<double>(kVolume) * 1e9,
      text_50mb / text_1mb);
  std::printf(
      "idle CPU: console (packet mode, Treat, port open) %.2f%%, bare window with a 5 ms timer "
      "%.2f%%, ratio %.2f (target <= 1.5)\n",
      idle_console * 100, idle_bare * 100, idle_console / idle_bare);
  BenchRow("serial console: acknowledgement latency p50", product.p50, "us", baseline.p50,
           "<= 3x baseline", product.p50 <= 3 * baseline.p50);
  BenchRow("serial console: acknowledgement latency p99", product.p99, "us", baseline.p99,
           "< 1000 us", product.p99 < 1000);
  BenchRow("serial console: acknowledgement errors", product.errors, "", baseline.errors, "0",
           product.errors == 0);
  BenchRow("serial console: text mode absorbed", text_rate / 1e6, "MB/s", std::nullopt, "",
           std::nullopt);
  BenchRow("serial console: packet mode with Treat absorbed", packet_rate / 1e6, "MB/s",
           std::nullopt, "", std::nullopt);
  BenchRow("serial console: text cost per byte, pane 50 MB vs 1 MB",
           text_50mb / static_cast<double>(kVolume) * 1e9, "ns",
           text_1mb / static_cast<double>(kVolume) * 1e9, "ratio <= 1.5",
           text_50mb / text_1mb <= 1.5);
  BenchRow("serial console: idle CPU, packet mode, Treat, port open", idle_console * 100, "%",
           idle_bare * 100, "ratio <= 1.5", idle_console / idle_bare <= 1.5);
  return 0;
}
