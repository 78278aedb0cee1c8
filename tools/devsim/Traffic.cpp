#include "tools/devsim/Traffic.h"

#include "packet/Util.h"

const char* FrameKindName(FrameKind k) {
  switch (k) {
    case FrameKind::Request1:
      return "kind1";
    case FrameKind::Request2:
      return "kind2";
    case FrameKind::Request3:
      return "kind3";
    case FrameKind::Empty:
      return "empty";
    case FrameKind::OneByte:
      return "onebyte";
    case FrameKind::Corrupted:
      return "corrupted";
    case FrameKind::Count:
      break;
  }
  return "?";
}

std::uint8_t TrafficGenerator::NonStartByte() {
  std::uint8_t b;
  do b = static_cast<std::uint8_t>(rng_());
  while (b == kPacketStart);
  return b;
}

std::uint8_t TrafficGenerator::NextId() {
  if (++id_ == kPacketStart) ++id_;
  return id_;
}

TrafficItem TrafficGenerator::Next() {
  TrafficItem item;
  const unsigned roll = rng_() % 100;
  std::string payload;
  if (roll < 80) {
    // A request; one in five carries extra payload, which the answer drops.
    const char kind = roll < 40 ? 1 : 2;
    item.kind = kind == 1 ? FrameKind::Request1 : FrameKind::Request2;
    payload = {static_cast<char>(NextId()), kind};
    if (rng_() % 5 == 0) {
      for (unsigned n = 1 + rng_() % 4; n > 0; --n) payload += static_cast<char>(NonStartByte());
    }
    item.expected_ack = BuildFrame(payload.substr(0, 2));
    item.bytes = BuildFrame(payload);
  } else if (roll < 86) {
    item.kind = FrameKind::Request3;
    item.bytes = BuildFrame(std::string{static_cast<char>(NextId()), 3});
  } else if (roll < 90) {
    item.kind = FrameKind::Empty;
    item.bytes = BuildFrame({});
  } else if (roll < 94) {
    item.kind = FrameKind::OneByte;
    item.bytes = BuildFrame(std::string{static_cast<char>(NextId())});
  } else {
    // A request whose CRC is off: the parser drops its start byte and finds
    // nothing in the rest.
    item.kind = FrameKind::Corrupted;
    item.bytes =
        BuildFrame(std::string{static_cast<char>(NextId()), static_cast<char>(1 + rng_() % 2)});
    std::uint8_t bad;
    do bad = NonStartByte();
    while (bad == static_cast<std::uint8_t>(item.bytes.back()));
    item.bytes.back() = static_cast<char>(bad);
  }
  if (rng_() % 20 == 0) {
    std::string garbage;
    for (unsigned n = 1 + rng_() % 4; n > 0; --n) garbage += static_cast<char>(NonStartByte());
    item.bytes = garbage + item.bytes;
    item.garbage = true;
  }
  return item;
}
