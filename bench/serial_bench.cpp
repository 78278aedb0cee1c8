// Throughput of the serial component over a pseudo-terminal, each direction
// next to a plain read/write baseline over the same line in the same run.
//
// Receive: the device side writes; the bytes reach the owner through the
// event monitor, OnRxChar and ReadText. Send: WriteText hands the bytes to
// the background writer, paced by OnTxEmpty; the device side reads them.
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
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
constexpr int kRounds = 11;

void WriteAll(int fd, const char* data, std::size_t n, std::size_t chunk) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::write(fd, data + done, std::min(chunk, n - done));
    if (r < 0 && errno == EINTR) continue;
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

double Rate(Clock::duration d) {
  return static_cast<double>(kTotal) / std::chrono::duration<double>(d).count();
}

// Rates of one direction, component and baseline, round by round.
struct Figures {
  std::vector<double> component, baseline;
  void Add(double c, double b) {
    component.push_back(c);
    baseline.push_back(b);
  }
  std::vector<double> Ratios() const {
    std::vector<double> r(component.size());
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = component[i] / baseline[i];
    return r;
  }
};

double Best(const std::vector<double>& v) {
  return *std::max_element(v.begin(), v.end());
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Print(const char* what, const Figures& f) {
  std::printf(
      "%-46s best: component %7.1f MB/s, plain read/write %7.1f MB/s, ratio %.2f;"
      "  median ratio of the rounds %.2f\n",
      what, Best(f.component) / 1e6, Best(f.baseline) / 1e6, Best(f.component) / Best(f.baseline),
      Median(f.Ratios()));
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

  auto rx_plain = [&] {
    const auto start = Clock::now();
    std::thread device([&] { WriteAll(master, data.data(), data.size(), kChunk); });
    ReadAll(slave, kTotal);
    device.join();
    return Rate(Clock::now() - start);
  };
  auto tx_plain = [&](std::size_t chunk) {
    const auto start = Clock::now();
    std::thread device([&] { ReadAll(master, kTotal); });
    WriteAll(slave, data.data(), data.size(), chunk);
    device.join();
    return Rate(Clock::now() - start);
  };
  auto rx_comm = [&] {
    received = 0;
    const auto start = Clock::now();
    std::thread device([&] { WriteAll(master, data.data(), data.size(), kChunk); });
    while (received < kTotal) CheckSynchronize(1000);
    device.join();
    return Rate(Clock::now() - start);
  };
  // The producer writes on as the console does: each WriteText waits for
  // room in the writer's buffer, the writer sends in the background.
  auto tx_comm = [&](std::size_t chunk) {
    const auto start = Clock::now();
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
    return Rate(Clock::now() - start);
  };

  // Each round runs the baseline and the component back to back, so both
  // see the same load on the machine. The best round of each is printed, and
  // beside it the median of the rounds' own ratios, which a lucky or unlucky
  // round on one side alone does not move.
  Figures receive, send, send_large;
  for (const std::size_t size : {kChunk, kLargeChunk}) {
    TVaBuffers buffers;
    buffers.SetWriteSize(static_cast<TVaIntW>(size));
    comm.SetBuffers(buffers);
    comm.Open();
    Figures& sent = size == kChunk ? send : send_large;
    for (int round = 0; round < kRounds; ++round) {
      if (size == kChunk) {
        const double plain = rx_plain();
        receive.Add(rx_comm(), plain);
      }
      const double plain = tx_plain(size);
      sent.Add(tx_comm(size), plain);
    }
    comm.Close();
  }

  std::printf("serial component over a pseudo-terminal, %zu MiB per round, %d rounds\n",
              kTotal >> 20, kRounds);
  Print("receive (event monitor, OnRxChar, ReadText)", receive);
  Print("send, 2 KiB writer buffer (the default)", send);
  Print("send, 16 KiB writer buffer", send_large);

  ::unlink((std::string(dir) + "/COM1").c_str());
  ::rmdir(dir);
  ::close(slave);
  ::close(master);
  return 0;
}
