// What the simulated device sends in packet mode: mostly requests of kind 1
// and 2, now and then a frame the console must leave unanswered, a frame with
// a broken CRC, or a few bytes of garbage in front of a frame.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "packet/Util.h"

enum class FrameKind { Request1, Request2, Request3, Empty, OneByte, Corrupted, Count };
const char* FrameKindName(FrameKind k);

struct TrafficItem {
  FrameKind kind = FrameKind::Request1;
  std::string bytes;         // what goes on the line, garbage included
  std::string expected_ack;  // empty: nothing may be answered
  bool garbage = false;      // bytes carries garbage in front of the frame
};

class TrafficGenerator {
 public:
  explicit TrafficGenerator(std::uint32_t Seed = 1) : rng_(Seed) {}
  TrafficItem Next();

 private:
  // Payload bytes, garbage and broken CRCs never hold the start byte: outside
  // a valid frame it would begin a false candidate that holds the parser back.
  std::uint8_t NonStartByte();
  std::uint8_t NextId();

  std::mt19937 rng_;
  std::uint8_t id_ = 0;
};
