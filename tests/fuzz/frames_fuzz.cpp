// The frame finder against a plain model of its rule, for any ring, any
// positions and any countdown: the same result, the same read position and
// the same image, byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "packet/Util.h"

namespace {

std::uint8_t ModelCrc(std::uint8_t crc, std::uint8_t b) {
  for (int i = 0; i < 8; ++i) {
    if ((crc ^ b) & 1) {
      crc = static_cast<std::uint8_t>((crc >> 1) ^ 0x8C);
    } else {
      crc = static_cast<std::uint8_t>(crc >> 1);
    }
    b = static_cast<std::uint8_t>(b >> 1);
  }
  return crc;
}

// The rule step by step, written for reading rather than speed.
bool ModelFind(std::uint8_t start, std::uint8_t& pos, std::uint8_t end, const std::uint8_t* ring,
               std::uint8_t* image, std::uint8_t quiet) {
  std::uint8_t p, q, v, crc, length, k, b;
  if (pos == end) return false;
step2:
  p = pos;
  v = ring[p];
  q = static_cast<std::uint8_t>(p + 1);
  if (q == end) goto step8;
  if (v != start) goto step9;
  crc = ModelCrc(0, v);
  length = ring[q];
  if (length > 252) goto step9;  // no ring can hold such a frame
  k = 0;
  do {
    b = ring[q];
    image[k] = b;
    q = static_cast<std::uint8_t>(q + 1);
    if (q == end) goto step8;
    crc = ModelCrc(crc, b);
    k = static_cast<std::uint8_t>(k + 1);
  } while (length >= k);
  if (ring[q] != crc) goto step9;
  pos = static_cast<std::uint8_t>(q + 1);
  return true;
step8:
  if (quiet != 0) return false;
step9:
  pos = static_cast<std::uint8_t>(pos + 1);
  if (pos == end) return false;
  goto step2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t pos0 = data[0], end = data[1], quiet = data[2], fill = data[3];
  data += 4;
  size -= 4;
  std::uint8_t ring[256];
  std::memset(ring, fill, sizeof ring);
  std::memcpy(ring, data, size < 256 ? size : 256);
  std::uint8_t image[256], model_image[256];
  std::memset(image, fill ^ 0x5A, sizeof image);
  std::memcpy(model_image, image, sizeof image);

  std::uint8_t pos = pos0, model_pos = pos0;
  const bool found = FindPacket(kPacketStart, pos, end, ring, image, quiet);
  const bool model = ModelFind(kPacketStart, model_pos, end, ring, model_image, quiet);
  if (found != model || pos != model_pos || std::memcmp(image, model_image, sizeof image) != 0) {
    std::abort();
  }
  return 0;
}
