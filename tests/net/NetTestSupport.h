// Helpers of the networking tests: a plain loopback UDP peer written with
// the platform's own calls only (so it does not depend on the code under
// test), free port discovery, and waiting loops that keep the main thread's
// marshalled calls running.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "runtime/Thread.h"

// After the runtime: the platform file brings the system headers.
#include "NetTestPlatform.h"

namespace nettest {

using Clock = std::chrono::steady_clock;

inline long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs marshalled calls until cond holds or timeoutMs passes; returns cond().
template <class Cond>
bool PumpUntil(Cond cond, int timeoutMs = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (Clock::now() >= deadline) return cond();
    CheckSynchronize(5);
  }
  return true;
}

// Keeps running marshalled calls for ms milliseconds (to show that something
// does NOT happen).
inline void PumpFor(int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) CheckSynchronize(5);
}

struct Datagram {
  std::string data;
  std::string ip;
  int port = 0;
};

// A UDP socket bound to 127.0.0.1 on a port of the system's choosing (or the
// given one).
class UdpPeer {
 public:
  explicit UdpPeer(int port = 0) {
    fd_ = sys::OpenUdp();
    ok_ = fd_ >= 0 && sys::Bind(fd_, port, true);
    if (ok_) port_ = sys::LocalPort(fd_);
  }
  ~UdpPeer() {
    if (fd_ >= 0) sys::Close(fd_);
  }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool ok() const { return ok_; }
  int fd() const { return fd_; }
  int port() const { return port_; }

  bool SendTo(int port, const std::string& data) const { return sys::SendTo(fd_, port, data); }

  // The next datagram within timeoutMs, if any.
  std::optional<Datagram> Receive(int timeoutMs) const {
    if (!sys::Readable(fd_, timeoutMs)) return std::nullopt;
    std::vector<char> buf(70000);
    Datagram d;
    const int r = sys::ReceiveFrom(fd_, buf.data(), static_cast<int>(buf.size()), d.ip, d.port);
    if (r < 0) return std::nullopt;
    d.data.assign(buf.data(), static_cast<std::size_t>(r));
    return d;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  bool ok_ = false;
};

// Whether a UDP port can be bound on every interface right now.
inline bool PortIsFree(int port) {
  const int fd = sys::OpenUdp();
  const bool ok = fd >= 0 && sys::Bind(fd, port, false);
  if (fd >= 0) sys::Close(fd);
  return ok;
}

// The first port of count consecutive ports that are free now, chosen at
// random in a range the system does not hand out by itself, so that tests
// running side by side rarely meet.
inline int FreePortRange(int count) {
  static std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> pick(20000, 30000);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int base = pick(rng);
    bool all = true;
    for (int p = base; p < base + count && all; ++p) all = PortIsFree(p);
    if (all) return base;
  }
  return 0;
}

inline int FreePort() {
  return FreePortRange(1);
}

}  // namespace nettest
