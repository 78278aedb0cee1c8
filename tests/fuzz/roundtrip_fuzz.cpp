// Frames built with the builder, with noise between them, written into a
// ring at any position in reads of any size, are all found by the finder,
// once each and in order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "packet/Util.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzReader in{data, size};
  std::vector<std::uint8_t> stream;
  std::vector<std::vector<std::uint8_t>> sent;
  std::uint8_t scratch[256];
  while (in.size > 0 && sent.size() < 64) {
    for (int n = in.Next() % 4; n > 0; --n) stream.push_back(NotStart(in.Next()));
    std::uint8_t source[256] = {};
    source[0] = static_cast<std::uint8_t>(in.Next() % 64);
    for (int i = 1; i <= source[0]; ++i) source[i] = in.Next();
    std::uint8_t at = in.Next(), pos = at;
    if (!PutPacket(kPacketStart, source, at, pos, scratch)) std::abort();  // an empty ring takes it
    if (static_cast<std::uint8_t>(pos - at) != source[0] + 3) std::abort();
    for (int i = 0; i < source[0] + 3; ++i) stream.push_back(scratch[(at + i) & 0xFF]);
    sent.emplace_back(source, source + source[0] + 1);
  }

  std::uint8_t ring[256] = {}, image[256] = {};
  std::uint8_t pos = in.Next(), end = pos;
  std::size_t next = 0, found = 0;
  auto take = [&](std::uint8_t quiet) {
    while (FindPacket(kPacketStart, pos, end, ring, image, quiet)) {
      if (found >= sent.size()) std::abort();
      const auto& want = sent[found++];
      if (image[0] != want[0]) std::abort();
      for (std::size_t i = 0; i < want.size(); ++i) {
        if (image[i] != want[i]) std::abort();
      }
    }
  };
  std::uint8_t split = 7;
  while (next < stream.size()) {
    split = static_cast<std::uint8_t>(split * 31 + 17);
    const std::size_t room = 255 - static_cast<std::uint8_t>(end - pos);
    std::size_t chunk = 1 + split % 70;
    if (chunk > room) chunk = room;
    if (chunk > stream.size() - next) chunk = stream.size() - next;
    if (chunk == 0) std::abort();  // frames of at most 66 bytes never fill the ring
    for (std::size_t i = 0; i < chunk; ++i) ring[end++] = stream[next++];
    take(1);
  }
  take(0);
  if (found != sent.size() || pos != end) std::abort();
  return 0;
}
