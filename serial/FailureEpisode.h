// When a failing serial device is worth a message. A device that fails keeps
// failing at every poll, every write and in every thread that touches it; the
// operator is told once per episode. An episode begins with the first
// failure reported while the port is open and ends only when the device has
// really answered again (bytes came in from it, or it took bytes to send) or
// when the port is opened anew. A successful status read ends nothing: on a
// device without modem lines, or from a fresh cache, it is given without the
// device being asked.
#pragma once

#include <atomic>
#include <cstdint>

class TFailureEpisode {
 public:
  // Taken before a call on the device whose success counts as an answer.
  using TTicket = std::uint32_t;
  TTicket Ticket() const { return state_.load(std::memory_order_acquire) >> 1; }

  // A failure is being reported: true when it begins an episode (it is to be
  // shown), false while one is running.
  bool Begin() {
    std::uint32_t s = state_.load(std::memory_order_acquire);
    do {
      if (s & 1) return false;
    } while (!state_.compare_exchange_weak(s, ((s >> 1) + 1) << 1 | 1));
    return true;
  }

  // The device answered a call made with Ticket: the episode is over, unless
  // it began after the call did (an answer that was on its way when the
  // device failed proves nothing). Any thread.
  void Answered(TTicket Ticket) {
    std::uint32_t s = Ticket << 1 | 1;
    state_.compare_exchange_strong(s, Ticket << 1);
  }

  // The port was opened: a fresh start.
  void Reset() {
    std::uint32_t s = state_.load(std::memory_order_acquire);
    while (!state_.compare_exchange_weak(s, ((s >> 1) + 1) << 1)) {
    }
  }

  bool Running() const { return (state_.load(std::memory_order_acquire) & 1) != 0; }

 private:
  // Episode number times two, plus one while it is running.
  std::atomic<std::uint32_t> state_{0};
};
