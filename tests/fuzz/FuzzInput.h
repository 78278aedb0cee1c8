// What the frame targets share: the fuzzer's input read a byte at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "packet/Util.h"

// Input bytes taken one at a time; zeros once it runs out.
struct FuzzReader {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t Next() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
};

// Noise holds no start byte: a start byte in noise can begin a false frame
// that passes its CRC by chance, which no receiver could tell from a real one.
inline std::uint8_t NotStart(std::uint8_t b) {
  return b == kPacketStart ? static_cast<std::uint8_t>(b + 1) : b;
}
