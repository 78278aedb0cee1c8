// What the simulated device sends in packet mode: mostly requests of kind 1
// and 2, now and then a frame the console must leave unanswered, a frame with
// a broken CRC, or a few bytes of garbage in front of a frame. Garbage may
// hold start bytes; and a model of the console's receiver tells what the
// framing rule makes of any bytes.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "packet/Util.h"

enum class FrameKind { Request1, Request2, Request3, Empty, OneByte, Corrupted, Count };
const char* FrameKindName(FrameKind k);

struct TrafficItem {
  FrameKind kind = FrameKind::Request1;
  std::string bytes;           // what goes on the line, garbage included
  std::string expected_ack;    // empty: nothing may be answered
  bool garbage = false;        // bytes carries garbage in front of the frame
  std::size_t frame_size = 0;  // the frame's own bytes at the end of bytes
};

// The console's receiver as the framing rule sees it: Feed bytes while the
// line is busy (a candidate still incomplete waits for more), Quiet once the
// line has fallen quiet. Frames are taken as they complete, and unread bytes
// are never overwritten, as in the console.
class ReceiverModel {
 public:
  void Feed(std::string_view Bytes);
  void Quiet() { Scan(0); }
  // The acknowledgements owed for the frames found so far, in order.
  const std::vector<std::string>& Acks() const { return acks_; }
  std::size_t Frames() const { return frames_; }
  // The last frame found, whole.
  const std::string& LastFrame() const { return last_; }
  bool Idle() const { return read_ == write_; }
  // Nothing unread but a last byte held while the line is busy, which the
  // next byte lets go of unless it is a start byte.
  bool Settled() const {
    return Idle() ||
           (static_cast<std::uint8_t>(write_ - read_) == 1 && ring_[read_] != kPacketStart);
  }

 private:
  void Scan(std::uint8_t QuietTicks);

  std::uint8_t ring_[256] = {};
  std::uint8_t image_[256] = {};
  std::uint8_t read_ = 0, write_ = 0;
  std::size_t frames_ = 0;
  std::string last_;
  std::vector<std::string> acks_;
};

class TrafficGenerator {
 public:
  explicit TrafficGenerator(std::uint32_t Seed = 1) : rng_(Seed) {}
  TrafficItem Next();

 private:
  TrafficItem Candidate();
  std::uint8_t AnyByte() { return static_cast<std::uint8_t>(rng_()); }
  std::uint8_t NextId();

  std::mt19937 rng_;
  std::uint8_t id_ = 0;
};
