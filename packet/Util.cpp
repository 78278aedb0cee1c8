#include "packet/Util.h"

#include "packet/uThread.h"

bool FindPacket(std::uint8_t start, std::uint8_t& pos, std::uint8_t end,
                const std::uint8_t (&ring)[256], std::uint8_t (&image)[256],
                std::uint8_t QuietTicks) {
  if (pos == end) return false;
  for (;;) {
    // A candidate at pos.
    std::uint8_t q = static_cast<std::uint8_t>(pos + 1);
    bool incomplete = q == end;
    // A length above kMaxPayload announces a frame no ring can hold: it is
    // passed over at once, like a candidate whose CRC fails.
    if (!incomplete && ring[pos] == start && ring[q] <= kMaxPayload) {
      std::uint8_t crc = Crc8Update(0, ring[pos]);
      const std::uint8_t length = ring[q];
      std::uint8_t k = 0;
      // The length byte, then the payload.
      do {
        const std::uint8_t b = ring[q];
        image[k] = b;
        q = static_cast<std::uint8_t>(q + 1);
        if (q == end) {
          incomplete = true;
          break;
        }
        crc = Crc8Update(crc, b);
        k = static_cast<std::uint8_t>(k + 1);
      } while (length >= k);
      if (!incomplete && ring[q] == crc) {
        pos = static_cast<std::uint8_t>(q + 1);
        return true;
      }
    }
    // Still arriving: keep the candidate for the next call.
    if (incomplete && QuietTicks != 0) return false;
    pos = static_cast<std::uint8_t>(pos + 1);
    if (pos == end) return false;
  }
}

bool FindPacket(std::uint8_t start, std::uint8_t& pos, std::uint8_t end,
                const std::uint8_t (&ring)[256], std::uint8_t (&image)[256]) {
  return FindPacket(start, pos, end, ring, image, RxQuietTicks.load(std::memory_order_relaxed));
}

bool PutPacket(std::uint8_t start, const std::uint8_t (&source)[256], std::uint8_t limit,
               std::uint8_t& pos, std::uint8_t (&ring)[256]) {
  const std::uint8_t length = source[0];
  const std::uint8_t count = static_cast<std::uint8_t>(length + 3);
  std::uint8_t p = pos;
  std::uint8_t crc = 0;
  std::uint8_t x = start;
  std::uint8_t i = 0;
  for (std::uint8_t left = count; left > 0; --left) {
    ring[p] = x;
    p = static_cast<std::uint8_t>(p + 1);
    if (p == limit) return false;
    crc = Crc8Update(crc, x);
    x = source[i];
    i = static_cast<std::uint8_t>(i + 1);
    if (left - 1 == 1) x = crc;
  }
  pos = p;
  return true;
}

std::string BuildFrame(std::string_view payload) {
  std::uint8_t image[256] = {};
  std::uint8_t ring[256] = {};
  image[0] = static_cast<std::uint8_t>(payload.size());
  for (std::size_t i = 0; i < payload.size(); ++i)
    image[i + 1] = static_cast<std::uint8_t>(payload[i]);
  std::uint8_t pos = 0;
  PutPacket(kPacketStart, image, 0, pos, ring);  // into an empty ring: always fits
  return std::string(reinterpret_cast<const char*>(ring), payload.size() + 3);
}
