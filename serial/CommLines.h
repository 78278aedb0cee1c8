// The modem input lines of a device, read through a short-lived cache that
// both platforms' devices share.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

// Reads of the lines within kFresh share one look at them: the console asks
// for four lines one after another every 5 ms, and on USB adapters each look
// is a control transfer of its own. A device found to have no modem control
// reads its lines off for ever.
class TModemLines {
 public:
  static constexpr auto kFresh = std::chrono::milliseconds(1);
  enum class Look { Read, NoModemControl, Failed };

  // look(bits) asks the device for the lines as modem status bits; Failed
  // leaves the system's code where the caller expects it. Returns false
  // only for Failed.
  template <class LookAtLines>
  bool Read(std::uint32_t& bits, LookAtLines look) {
    bits = 0;
    if (none_.load()) return true;
    std::lock_guard guard(lock_);
    if (cached_ && Clock::now() - read_at_ < kFresh) {
      bits = bits_;
      return true;
    }
    std::uint32_t now = 0;
    switch (look(now)) {
      case Look::Failed:
        return false;
      case Look::NoModemControl:
        none_.store(true);
        return true;
      case Look::Read:
        break;
    }
    // Counted from the answer: a slow look still serves the calls right after it.
    read_at_ = Clock::now();
    cached_ = true;
    bits = bits_ = now;
    return true;
  }
  bool NoModemControl() const { return none_.load(); }
  // The next read looks again (after a change of the lines was seen).
  void Forget() {
    std::lock_guard guard(lock_);
    cached_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::mutex lock_;
  std::atomic<bool> none_{false};
  bool cached_ = false;
  Clock::time_point read_at_{};
  std::uint32_t bits_ = 0;
};
