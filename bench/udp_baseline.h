// Loopback UDP measuring helpers: a minimal recvfrom/sendto echo loop that
// answers every datagram with one LF (the baseline a server is compared
// with in the same run), and the client side that measures round trips and
// answered datagrams per second against any server on 127.0.0.1.
//
// The measuring functions block; call them from a thread other than the
// one the server under test needs (its main loop keeps running meanwhile).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Events.h"

namespace udpbench {

using Clock = std::chrono::steady_clock;

// CPU time spent while a measurement ran: by the whole process, and by the
// measuring (client) thread alone; the difference is the server's.
struct CpuSpent {
  double process_s = 0;
  double client_s = 0;
  double ServerUsPer(int ops) const { return ops > 0 ? 1e6 * (process_s - client_s) / ops : 0; }
  double ClientUsPer(int ops) const { return ops > 0 ? 1e6 * client_s / ops : 0; }
};

struct RoundTrips {
  double p50_us = 0;
  double p99_us = 0;
  int answered = 0;
  int lost = 0;
  double seconds = 0;
  CpuSpent cpu;
};

struct Flood {
  int sent = 0;
  int answered = 0;
  double seconds = 0;
  double per_second = 0;
  CpuSpent cpu;
};

inline double CpuSeconds(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Measures the CPU time from construction to Stop.
class CpuMeter {
 public:
  CpuMeter()
      : process_(CpuSeconds(CLOCK_PROCESS_CPUTIME_ID)),
        client_(CpuSeconds(CLOCK_THREAD_CPUTIME_ID)) {}
  CpuSpent Stop() const {
    return {CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process_,
            CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - client_};
  }

 private:
  double process_, client_;
};

// A UDP socket on 127.0.0.1 (port chosen by the system unless given).
class LoopbackSocket {
 public:
  explicit LoopbackSocket(int port = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Address(port);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      socklen_t n = sizeof a;
      if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n) == 0) port_ = ntohs(a.sin_port);
    }
  }
  ~LoopbackSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  bool ok() const { return port_ != 0; }
  int fd() const { return fd_; }
  int port() const { return port_; }

  bool SendTo(int port, const std::string& data) const {
    const sockaddr_in a = Address(port);
    return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                    sizeof a) == static_cast<ssize_t>(data.size());
  }

  // Waits up to timeoutMs for a datagram; true when it is a single LF.
  // Sets *got (if given) when any datagram arrived.
  bool ReceiveLineFeed(int timeoutMs, bool* got = nullptr) const {
    if (got) *got = false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[16];
    const ssize_t r = ::recv(fd_, buf, sizeof buf, MSG_TRUNC);
    if (r < 0) return false;
    if (got) *got = true;
    return r == 1 && buf[0] == '\n';
  }

  static sockaddr_in Address(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// The baseline: one thread, poll, recvfrom, sendto of one LF to the sender.
// It waits as the server under test does: after an answer it looks for the
// next datagram as briefly as the console's main thread looks for the next
// call, then sleeps in poll.
class EchoBaseline {
 public:
  EchoBaseline() : thread_([this] { Run(); }) {}
  ~EchoBaseline() {
    stop_ = true;
    thread_.join();
  }
  EchoBaseline(const EchoBaseline&) = delete;
  EchoBaseline& operator=(const EchoBaseline&) = delete;

  bool ok() const { return socket_.ok(); }
  int port() const { return socket_.port(); }

 private:
  void Run() {
    std::vector<char> buf(8192);
    bool answered = false;
    while (!stop_) {
      pollfd p{socket_.fd(), POLLIN, 0};
      const bool ready =
          answered && SpinBriefly([&] { return ::poll(&p, 1, 0) > 0; });
      answered = false;
      if (!ready && ::poll(&p, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t n = sizeof from;
      if (::recvfrom(socket_.fd(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from),
                     &n) < 0) {
        continue;
      }
      ::sendto(socket_.fd(), "\n", 1, 0, reinterpret_cast<sockaddr*>(&from), n);
      answered = true;
    }
  }

  LoopbackSocket socket_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

inline double Percentile(std::vector<double> sorted, double fraction) {
  if (sorted.empty()) return 0;
  std::sort(sorted.begin(), sorted.end());
  const std::size_t i = std::min(
      sorted.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(sorted.size())));
  return sorted[i];
}

// Sends datagrams one at a time and times each until its LF answer: count
// of them, and more until minSeconds have passed. A datagram without answer
// within timeoutMs counts as lost.
inline RoundTrips MeasureRoundTrips(int port, int count, const std::string& payload = "ping\r",
                                    int timeoutMs = 1000, double minSeconds = 0) {
  LoopbackSocket client;
  RoundTrips out;
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(count));
  const CpuMeter meter;
  const auto begin = Clock::now();
  auto more = [&](int i) {
    return i < count || std::chrono::duration<double>(Clock::now() - begin).count() < minSeconds;
  };
  for (int i = 0; more(i); ++i) {
    const auto start = Clock::now();
    if (!client.SendTo(port, payload)) {
      ++out.lost;
      continue;
    }
    bool answered = false;
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    while (!answered && Clock::now() < deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      answered = client.ReceiveLineFeed(static_cast<int>(std::max<long long>(left, 0)));
    }
    if (!answered) {
      ++out.lost;
      continue;
    }
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  out.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  out.cpu = meter.Stop();
  out.answered = static_cast<int>(times.size());
  out.p50_us = Percentile(times, 0.50);
  out.p99_us = Percentile(times, 0.99);
  return out;
}

// Sends count datagrams (and more until minSeconds have passed) keeping up
// to window of them unanswered, and counts the LF answers; stops early when
// no answer comes for timeoutMs.
inline Flood MeasureFlood(int port, int count, int window = 64,
                          const std::string& payload = "flood\r", int timeoutMs = 1000,
                          double minSeconds = 0) {
  LoopbackSocket client;
  Flood out;
  const CpuMeter meter;
  const auto start = Clock::now();
  auto keep_sending = [&] {
    return out.sent < count ||
           std::chrono::duration<double>(Clock::now() - start).count() < minSeconds;
  };
  while (out.answered < out.sent || keep_sending()) {
    while (out.sent - out.answered < window && keep_sending()) {
      if (!client.SendTo(port, payload)) break;
      ++out.sent;
    }
    bool got = false;
    if (client.ReceiveLineFeed(timeoutMs, &got)) {
      ++out.answered;
    } else if (!got) {
      break;  // the server stopped answering
    }
  }
  out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  out.cpu = meter.Stop();
  out.per_second = out.seconds > 0 ? out.answered / out.seconds : 0;
  return out;
}

}  // namespace udpbench
