// Checks what the console sends back in packet mode: every request of kind 1
// or 2 must be answered once, in order, with exactly its acknowledgement
// frame; nothing else may arrive.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

class AckChecker {
 public:
  using Clock = std::chrono::steady_clock;

  // A request went out at Sent that must be answered with Ack.
  void Expect(std::string Ack, Clock::time_point Sent);
  // Bytes from the console, arrived at At.
  void Received(std::string_view Bytes, Clock::time_point At);
  // No more bytes will come: a frame still incomplete counts as stray bytes,
  // an answer still awaited as missing.
  void Finish();

  std::uint64_t Outstanding() const { return outstanding_.size(); }

  struct Summary {
    std::uint64_t expected = 0;
    std::uint64_t correct = 0;  // answered once, byte for byte
    std::uint64_t missing = 0;  // never answered (or skipped by a later answer)
    std::uint64_t wrong = 0;    // frames that answer no request still awaited
    std::uint64_t stray = 0;    // bytes outside any frame
    // Latency from the request's write to its answer's last byte, in
    // microseconds (nearest rank; 0 without answers).
    std::uint64_t p50_us = 0, p90_us = 0, p99_us = 0, max_us = 0;
    bool Clean() const { return missing == 0 && wrong == 0 && stray == 0; }
  };
  Summary Report() const;

 private:
  struct Pending {
    std::string ack;
    Clock::time_point sent;
  };
  void Scan(std::uint8_t QuietTicks, Clock::time_point At);
  void Match(const std::string& Frame, Clock::time_point At);

  std::deque<Pending> outstanding_;
  std::uint8_t ring_[256] = {};
  std::uint8_t image_[256] = {};
  std::uint8_t read_ = 0, write_ = 0;
  Summary counts_;
  std::vector<std::uint32_t> latencies_us_;
};
