#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "packet/Util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Crc8, CheckValueTableAndBitwiseRuleAgree) {
  std::uint8_t crc = 0;
  for (char c : std::string("123456789")) crc = Crc8Update(crc, static_cast<std::uint8_t>(c));
  EXPECT_EQ(crc, 0xA1);
  EXPECT_EQ(kCrc8Table[1], 0x5E);
  EXPECT_EQ(kCrc8Table[2], 0xBC);
  EXPECT_EQ(kCrc8Table[3], 0xE2);
  EXPECT_EQ(kCrc8Table[255], 0x35);
  for (int c = 0; c < 256; ++c) {
    for (int b = 0; b < 256; ++b) {
      ASSERT_EQ(Crc8Update(static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(b)),
                Crc8UpdateBitwise(static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(b)))
          << c << " " << b;
    }
  }
}

struct FindCase {
  const char* name;
  std::uint8_t at;  // ring position of the first unread byte
  Bytes unread;
  std::uint8_t quiet;
  bool found;
  int advance;  // how far pos moves
  Bytes image;  // expected leading image bytes when found
};

TEST(FindPacket, FindsSkipsAndWaitsAsTheFramingRuleSays) {
  Bytes len255 = {0x1E, 0xFF};
  len255.resize(254, 0x00);
  const FindCase cases[] = {
      {"empty payload", 0, {0x1E, 0x00, 0x30}, 0, true, 3, {0x00}},
      {"kind 1 ack", 10, {0x1E, 0x02, 0x05, 0x01, 0xC3}, 5, true, 5, {0x02, 0x05, 0x01}},
      {"kind 2 ack", 10, {0x1E, 0x02, 0x05, 0x02, 0x21}, 5, true, 5, {0x02, 0x05, 0x02}},
      {"leading garbage", 0, {0x00, 0xFF, 0x1E, 0x00, 0x30}, 3, true, 5, {0x00}},
      {"frame inside a false candidate",
       0,
       {0x1E, 0x05, 0x1E, 0x00, 0x30, 0x11, 0x22, 0x33, 0x44},
       3,
       true,
       5,
       {0x00}},
      {"incomplete false candidate, line busy", 0, {0x1E, 0x05, 0x1E, 0x00, 0x30}, 4, false, 0, {}},
      {"incomplete false candidate, line quiet",
       0,
       {0x1E, 0x05, 0x1E, 0x00, 0x30},
       0,
       true,
       5,
       {0x00}},
      {"partial frame, line busy", 0, {0x1E, 0x02, 0x05}, 1, false, 0, {}},
      {"partial frame, line quiet", 0, {0x1E, 0x02, 0x05}, 0, false, 3, {}},
      {"last byte held while busy", 7, {0x41, 0x42}, 1, false, 1, {}},
      {"wrong CRC", 0, {0x1E, 0x00, 0x31}, 0, false, 3, {}},
      {"across 255 to 0", 253, {0x1E, 0x02, 0x05, 0x01, 0xC3}, 1, true, 5, {0x02, 0x05, 0x01}},
      {"length 255 is passed over at once", 0, len255, 1, false, 253, {}},
      {"length 253 is passed over, the frame behind it found",
       0,
       {0x1E, 0xFD, 0x1E, 0x02, 0x05, 0x01, 0xC3, 0x1E},
       1,
       true,
       7,
       {0x02, 0x05, 0x01}},
      {"length 252 still waits for the rest while busy",
       0,
       {0x1E, 0xFC, 0x1E, 0x00, 0x30},
       1,
       false,
       0,
       {}},
      {"nothing unread", 42, {}, 0, false, 0, {}},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint8_t ring[256];
    std::memset(ring, 0xAA, sizeof ring);
    for (std::size_t i = 0; i < c.unread.size(); ++i) ring[(c.at + i) & 0xFF] = c.unread[i];
    std::uint8_t image[256];
    std::memset(image, 0x77, sizeof image);
    std::uint8_t pos = c.at;
    const auto end = static_cast<std::uint8_t>(c.at + c.unread.size());
    EXPECT_EQ(FindPacket(kPacketStart, pos, end, ring, image, c.quiet), c.found);
    EXPECT_EQ(pos, static_cast<std::uint8_t>(c.at + c.advance));
    for (std::size_t i = 0; i < c.image.size(); ++i) EXPECT_EQ(image[i], c.image[i]) << i;
    if (c.unread.empty()) {
      EXPECT_EQ(image[0], 0x77);
    }
  }
}

TEST(FindPacket, APartialFrameIsFoundOnceTheRestArrives) {
  std::uint8_t ring[256] = {0x1E, 0x02, 0x05, 0x01, 0xC3};
  std::uint8_t image[256];
  std::uint8_t pos = 0;
  EXPECT_FALSE(FindPacket(kPacketStart, pos, 3, ring, image, 10));
  EXPECT_EQ(pos, 0);
  EXPECT_TRUE(FindPacket(kPacketStart, pos, 5, ring, image, 10));
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(image[2], 0x01);
  image[3] = 0x77;
  ring[5] = 0x1E;
  ring[6] = 0x00;
  ring[7] = 0x30;
  EXPECT_TRUE(FindPacket(kPacketStart, pos, 8, ring, image, 0));
  EXPECT_EQ(image[3], 0x77) << "bytes beyond L stay as they were";
}

Bytes Build(const Bytes& payload, std::uint8_t at = 0, std::uint8_t limit_ahead = 0,
            bool* ok = nullptr, std::uint8_t* advance = nullptr) {
  std::uint8_t source[256] = {};
  source[0] = static_cast<std::uint8_t>(payload.size());
  std::copy(payload.begin(), payload.end(), source + 1);
  std::uint8_t ring[256];
  std::memset(ring, 0x55, sizeof ring);
  std::uint8_t pos = at;
  const bool r =
      PutPacket(kPacketStart, source, static_cast<std::uint8_t>(at + limit_ahead), pos, ring);
  if (ok) *ok = r;
  if (advance) *advance = static_cast<std::uint8_t>(pos - at);
  Bytes out;
  for (int i = 0; i < static_cast<int>(payload.size()) + 3; ++i)
    out.push_back(ring[(at + i) & 0xFF]);
  return out;
}

TEST(PutPacket, WritesTheFrameOrNothingWhenTheLimitIsInTheWay) {
  bool ok = false;
  std::uint8_t advance = 0;
  EXPECT_EQ(Build({0x05, 0x01}, 0, 0, &ok, &advance), (Bytes{0x1E, 0x02, 0x05, 0x01, 0xC3}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(advance, 5);
  EXPECT_EQ(Build({0x05, 0x02}, 254, 0, &ok, &advance), (Bytes{0x1E, 0x02, 0x05, 0x02, 0x21}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(Build({}, 9, 0, &ok, &advance), (Bytes{0x1E, 0x00, 0x30}));
  EXPECT_EQ(advance, 3);
  Build({0x05, 0x01}, 100, 3, &ok, &advance);
  EXPECT_FALSE(ok);
  EXPECT_EQ(advance, 0) << "pos must not move when the frame does not fit";
  Build({0x05, 0x01}, 100, 6, &ok, &advance);
  EXPECT_TRUE(ok) << "the limit six ahead leaves room for five bytes";
  Build(Bytes(252, 0x1E), 17, 0, &ok, &advance);
  EXPECT_TRUE(ok) << "a 255-byte frame fits into an empty ring";
  EXPECT_EQ(advance, 255);
}

TEST(FramesRoundTrip, NoiseAndRandomSplitsLoseNoFrameAndFindNoneTwice) {
  std::mt19937 rng(20261209);
  auto byte = [&] { return static_cast<std::uint8_t>(rng() & 0xFF); };
  auto plain = [&] {
    std::uint8_t b;
    do b = byte();
    while (b == kPacketStart);
    return b;
  };
  // The stream: frames built by PutPacket with noise between them. The noise
  // holds false candidates that cannot pass as frames: complete ones with a
  // wrong CRC, and ones whose length 255 never completes, which hold the scan
  // until the line falls quiet.
  Bytes stream;
  std::vector<Bytes> sent;
  for (int f = 0; f < 3000; ++f) {
    for (int n = static_cast<int>(rng() % 4); n > 0; --n) {
      switch (rng() % 8) {
        case 0: {
          Bytes fake = {kPacketStart, static_cast<std::uint8_t>(1 + rng() % 5)};
          std::uint8_t crc = Crc8Update(Crc8Update(0, fake[0]), fake[1]);
          for (int i = 0; i < fake[1]; ++i) {
            fake.push_back(plain());
            crc = Crc8Update(crc, fake.back());
          }
          std::uint8_t wrong;
          do wrong = plain();
          while (wrong == crc);
          fake.push_back(wrong);
          stream.insert(stream.end(), fake.begin(), fake.end());
          break;
        }
        case 1:
          if (rng() % 8 == 0) {
            stream.push_back(kPacketStart);
            stream.push_back(0xFF);
            break;
          }
          [[fallthrough]];
        default:
          stream.push_back(plain());
      }
    }
    Bytes payload(rng() % 40);
    for (auto& b : payload) b = rng() % 5 == 0 ? kPacketStart : byte();
    const Bytes frame = Build(payload, byte());
    stream.insert(stream.end(), frame.begin(), frame.end());
    Bytes image{static_cast<std::uint8_t>(payload.size())};
    image.insert(image.end(), payload.begin(), payload.end());
    sent.push_back(image);
  }

  std::uint8_t ring[256] = {};
  std::uint8_t image[256] = {};
  std::uint8_t pos = byte();
  std::uint8_t end = pos;
  std::vector<Bytes> found;
  auto find = [&](std::uint8_t quiet) {
    if (!FindPacket(kPacketStart, pos, end, ring, image, quiet)) return false;
    found.emplace_back(image, image + image[0] + 1);
    return true;
  };
  std::size_t next = 0;
  while (next < stream.size()) {
    const std::size_t room = 255 - static_cast<std::uint8_t>(end - pos);
    const std::size_t chunk = std::min<std::size_t>({1 + rng() % 24, room, stream.size() - next});
    for (std::size_t i = 0; i < chunk; ++i) ring[end++] = stream[next++];
    // Bytes keep arriving; only a ring held full by a false candidate makes
    // the line fall quiet for one look.
    bool any = false;
    while (find(1)) any = true;
    if (!any && room == chunk) find(0);
  }
  while (find(0)) {
  }
  EXPECT_EQ(pos, end);
  ASSERT_EQ(found.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(found[i], sent[i]) << "frame " << i;
}

}  // namespace
