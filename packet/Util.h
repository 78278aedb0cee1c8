// The packet frame: start byte, length L, L payload bytes, CRC-8 over all of
// them (Dallas/Maxim, reflected 0x8C, from 0, no final XOR). Frames are found
// in and written into 256-byte rings addressed by 8-bit positions that wrap.
// A packet image is the frame without start byte and CRC: image[0] = L,
// image[1..L] the payload.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

constexpr std::uint8_t kPacketStart = 0x1E;
// The longest payload: its whole frame (L + 3 bytes) fits in a ring.
constexpr std::uint8_t kMaxPayload = 252;

// Folds one byte into the CRC, bit by bit.
constexpr std::uint8_t Crc8UpdateBitwise(std::uint8_t crc, std::uint8_t b) {
  for (int i = 0; i < 8; ++i) {
    const bool low = ((crc ^ b) & 1) != 0;
    crc = static_cast<std::uint8_t>(crc >> 1);
    if (low) crc ^= 0x8C;
    b = static_cast<std::uint8_t>(b >> 1);
  }
  return crc;
}

// Entry i is the CRC of the single byte i from 0.
inline constexpr std::array<std::uint8_t, 256> kCrc8Table = [] {
  std::array<std::uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = Crc8UpdateBitwise(0, static_cast<std::uint8_t>(i));
  return t;
}();

// The same as Crc8UpdateBitwise, one table lookup per byte.
constexpr std::uint8_t Crc8Update(std::uint8_t crc, std::uint8_t b) {
  return kCrc8Table[crc ^ b];
}

// Looks for the next valid frame among the unread bytes ring[pos .. end).
// Bytes that cannot start a frame are dropped one at a time; a candidate
// whose CRC fails loses only its start byte, and so does one whose length is
// above kMaxPayload (no ring could ever hold it). At a candidate that runs into
// the end of the data the scan waits there (returns false, pos on the
// candidate) while QuietTicks is above 0, and drops its start byte once the
// line has been quiet. On success image holds the packet image and pos lies
// just past the frame's CRC; image bytes beyond L are left as they were.
bool FindPacket(std::uint8_t start, std::uint8_t& pos, std::uint8_t end,
                const std::uint8_t (&ring)[256], std::uint8_t (&image)[256],
                std::uint8_t QuietTicks);
// The same, with the console's quiet-time countdown RxQuietTicks.
bool FindPacket(std::uint8_t start, std::uint8_t& pos, std::uint8_t end,
                const std::uint8_t (&ring)[256], std::uint8_t (&image)[256]);

// Writes the frame of the image in source into ring from pos on. The write
// must not reach limit (the ring's read position): when it would, nothing is
// committed and the result is false. On success pos lies just past the frame.
// L must be at most 252.
bool PutPacket(std::uint8_t start, const std::uint8_t (&source)[256], std::uint8_t limit,
               std::uint8_t& pos, std::uint8_t (&ring)[256]);

// The whole frame of a payload of at most 252 bytes, as bytes on the line.
std::string BuildFrame(std::string_view payload);
