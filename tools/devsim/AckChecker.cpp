#include "tools/devsim/AckChecker.h"

#include <algorithm>

#include "packet/Util.h"
#include "tools/devsim/Traffic.h"

void AckChecker::Expect(std::string Ack, Clock::time_point Sent) {
  ++counts_.expected;
  outstanding_.push_back({std::move(Ack), Sent});
}

void AckChecker::Received(std::string_view Bytes, Clock::time_point At) {
  for (char c : Bytes) {
    ring_[write_++] = static_cast<std::uint8_t>(c);
    // Scanned at every byte, the ring never fills: a candidate that could
    // hold 255 bytes is passed over or complete by then.
    Scan(1, At);
  }
}

void AckChecker::Scan(std::uint8_t QuietTicks, Clock::time_point At) {
  for (;;) {
    const std::uint8_t before = read_;
    const bool found = FindPacket(kPacketStart, read_, write_, ring_, image_, QuietTicks);
    const std::uint8_t advanced = static_cast<std::uint8_t>(read_ - before);
    if (!found) {
      counts_.stray += advanced;
      return;
    }
    const std::uint8_t length = image_[0];
    counts_.stray += static_cast<std::uint8_t>(advanced - (length + 3));
    Match(BuildFrame({reinterpret_cast<const char*>(image_ + 1), length}), At);
  }
}

void AckChecker::Match(const std::string& Frame, Clock::time_point At) {
  const auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                               [&](const Pending& p) { return p.ack == Frame; });
  if (it == outstanding_.end()) {
    ++counts_.wrong;
    return;
  }
  // Answers come in the order of the requests: those passed over are lost.
  counts_.missing += static_cast<std::uint64_t>(it - outstanding_.begin());
  ++counts_.correct;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(At - it->sent).count();
  latencies_us_.push_back(static_cast<std::uint32_t>(std::max<long long>(us, 0)));
  outstanding_.erase(outstanding_.begin(), it + 1);
}

void AckChecker::Finish() {
  Scan(0, Clock::now());
  counts_.stray += static_cast<std::uint8_t>(write_ - read_);
  read_ = write_;
  counts_.missing += outstanding_.size();
  outstanding_.clear();
}

AckChecker::Summary AckChecker::Report() const {
  Summary s = counts_;
  if (latencies_us_.empty()) return s;
  std::vector<std::uint32_t> sorted = latencies_us_;
  std::sort(sorted.begin(), sorted.end());
  const auto rank = [&](double q) {
    std::size_t i = static_cast<std::size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::clamp<std::size_t>(i, 1, sorted.size()) - 1];
  };
  s.p50_us = rank(0.50);
  s.p90_us = rank(0.90);
  s.p99_us = rank(0.99);
  s.max_us = sorted.back();
  return s;
}
