// Throughput of the serial component over a pseudo-terminal, each direction
// next to a plain read/write baseline over the same line in the same run.
//
// Receive: the device side writes; the bytes reach the owner through the
// event monitor, OnRxChar and ReadText. Send: WriteText hands the bytes to
// the background writer, paced by OnTxEmpty; the device side reads them.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Thread.h"
#include "serial/VaComm.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kTotal = 4u << 20;
constexpr std::size_t kChunk = 2048;  // the writer's default buffer size
constexpr std::size_t kLargeChunk = 16384;
constexpr int kRounds = 7;

void WriteAll(int fd, const char* data, std::size_t n, std::size_t chunk) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::write(fd, data + done, std::min(chunk, n - done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 5000);
      continue;
    }
    if (r <= 0) {
      std::perror("write");
      std::exit(1);
    }
    done += static_cast<std::size_t>(r);
  }
}

void ReadAll(int fd, std::size_t n) {
  static char buf[65536];
  std::size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) {
      std::fprintf(stderr, "read stalled at %zu of %zu bytes\n", got, n);
      std::exit(1);
    }
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) {
      std::perror("read");
      std::exit(1);
    }
    got += static_cast<std::size_t>(r);
  }
}

// Process CPU time (every thread: device side, monitor, writer, main).
double ProcessCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One side's measurement: whole transfers of kTotal bytes repeated until at
// least kWindow has passed, so a round is long enough to mean something.
struct Window {
  double seconds = 0;
  double cpu_seconds = 0;
  double mib = 0;
  double Rate() const { return mib * 1048576.0 / seconds; }
  double WallMsPerMiB() const { return 1000.0 * seconds / mib; }
  double CpuMsPerMiB() const { return 1000.0 * cpu_seconds / mib; }
};

constexpr auto kWindow = std::chrono::milliseconds(500);

template <class Transfer>
Window Measure(Transfer transfer) {
  Window w;
  const double cpu = ProcessCpuSeconds();
  const auto start = Clock::now();
  do {
    transfer();
    w.mib += static_cast<double>(kTotal) / 1048576.0;
  } while (Clock::now() - start < kWindow);
  w.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  w.cpu_seconds = ProcessCpuSeconds() - cpu;
  return w;
}

// Both sides of one direction, round by round.
struct Figures {
  std::vector<Window> component, baseline;
  // Runs the two sides back to back, alternating which goes first, so
  // neither always meets a cold or a warmed-up machine.
  template <class Component, class Baseline>
  void Round(int round, Component c, Baseline b) {
    if (round % 2 == 0) {
      baseline.push_back(Measure(b));
      component.push_back(Measure(c));
    } else {
      component.push_back(Measure(c));
      baseline.push_back(Measure(b));
    }
  }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <class F>
double MedianOf(const std::vector<Window>& w, F f) {
  std::vector<double> v;
  for (const Window& x : w) v.push_back(f(x));
  return Median(v);
}

void Print(const char* what, const Figures& f) {
  auto rate = [](const Window& w) { return w.Rate(); };
  auto wall = [](const Window& w) { return w.WallMsPerMiB(); };
  auto cpu = [](const Window& w) { return w.CpuMsPerMiB(); };
  std::vector<double> ratios;
  double best_c = 0, best_b = 0;
  for (std::size_t i = 0; i < f.component.size(); ++i) {
    ratios.push_back(f.component[i].Rate() / f.baseline[i].Rate());
    best_c = std::max(best_c, f.component[i].Rate());
    best_b = std::max(best_b, f.baseline[i].Rate());
  }
  std::printf("%s\n", what);
  std::printf("  component  median %7.1f MB/s (best %7.1f); per MiB: wall %6.2f ms, CPU %6.2f ms\n",
              MedianOf(f.component, rate) / 1e6, best_c / 1e6, MedianOf(f.component, wall),
              MedianOf(f.component, cpu));
  std::printf("  plain      median %7.1f MB/s (best %7.1f); per MiB: wall %6.2f ms, CPU %6.2f ms\n",
              MedianOf(f.baseline, rate) / 1e6, best_b / 1e6, MedianOf(f.baseline, wall),
              MedianOf(f.baseline, cpu));
  std::printf("  ratio of the rounds: median %.2f, range %.2f-%.2f (target >= 0.5)\n",
              Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()));
}

}  // namespace

int main() {
  int master = -1, slave = -1;
  char name[256];
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios raw{};
  ::tcgetattr(slave, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(slave, TCSANOW, &raw);
  char dir[] = "/tmp/torin5-bench-XXXXXX";
  if (!::mkdtemp(dir) || ::symlink(name, (std::string(dir) + "/COM1").c_str()) != 0) {
    std::perror("ports directory");
    return 1;
  }
  ::setenv("TORIN5_PORTS", dir, 1);
  const std::string data(kTotal, '\x5A');

  TVaComm comm(nullptr);
  comm.SetPortNum(1);
  comm.SetUserBaudrate(921600);
  std::size_t received = 0;
  std::atomic<bool> done_reading{false};
  comm.OnRxChar = [&](TObject*, std::int32_t) { received += comm.ReadText().size(); };

  // The baselines wait as the component does: a long wait (for the line)
  // sleeps at once in poll, on a descriptor that never blocks.
  ::fcntl(slave, F_SETFL, ::fcntl(slave, F_GETFL) | O_NONBLOCK);
  auto rx_plain = [&] {
    std::thread device([&] { WriteAll(master, data.data(), data.size(), kChunk); });
    ReadAll(slave, kTotal);
    device.join();
  };
  auto tx_plain = [&](std::size_t chunk) {
    std::thread device([&] { ReadAll(master, kTotal); });
    WriteAll(slave, data.data(), data.size(), chunk);
    device.join();
  };
  auto rx_comm = [&] {
    received = 0;
    std::thread device([&] { WriteAll(master, data.data(), data.size(), kChunk); });
    while (received < kTotal) CheckSynchronize(1000);
    device.join();
  };
  // The producer writes on as the console does: each WriteText waits for
  // room in the writer's buffer, the writer sends in the background.
  auto tx_comm = [&](std::size_t chunk) {
    std::thread device([&] {
      ReadAll(master, kTotal);
      done_reading = true;
    });
    for (std::size_t sent = 0; sent < kTotal; sent += chunk) {
      if (!comm.WriteText(data.substr(sent, std::min(chunk, kTotal - sent)))) {
        std::fprintf(stderr, "WriteText refused\n");
        std::exit(1);
      }
    }
    while (!done_reading) CheckSynchronize(10);  // the writer's last report runs here
    device.join();
    done_reading = false;
  };

  // Each round runs the baseline and the component back to back, so both
  // see the same load on the machine; the median of the rounds' own ratios
  // is what a lucky or unlucky round on one side alone does not move.
  Figures receive, send, send_large;
  for (const std::size_t size : {kChunk, kLargeChunk}) {
    TVaBuffers buffers;
    buffers.SetWriteSize(static_cast<TVaIntW>(size));
    comm.SetBuffers(buffers);
    comm.Open();
    Figures& sent = size == kChunk ? send : send_large;
    for (int round = 0; round < kRounds; ++round) {
      if (size == kChunk) receive.Round(round, rx_comm, rx_plain);
      sent.Round(
          round, [&] { tx_comm(size); }, [&] { tx_plain(size); });
    }
    comm.Close();
  }

  std::printf(
      "serial component over a pseudo-terminal, %d rounds of at least %lld ms per side, "
      "%zu MiB per transfer, CPU of the whole process\n",
      kRounds, static_cast<long long>(kWindow.count()), kTotal >> 20);
  Print("receive (event monitor, OnRxChar, ReadText) vs plain read", receive);
  Print("send, 2 KiB writer buffer (the default) vs plain write", send);
  Print("send, 16 KiB writer buffer vs plain write", send_large);

  ::unlink((std::string(dir) + "/COM1").c_str());
  ::rmdir(dir);
  ::close(slave);
  ::close(master);
  return 0;
}
