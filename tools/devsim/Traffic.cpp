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

void ReceiverModel::Feed(std::string_view Bytes) {
  for (char c : Bytes) {
    // A full ring always holds a frame to take or bytes to pass over.
    if (static_cast<std::uint8_t>(write_ - read_) == 255) Scan(1);
    ring_[write_++] = static_cast<std::uint8_t>(c);
  }
  Scan(1);
}

void ReceiverModel::Scan(std::uint8_t QuietTicks) {
  while (FindPacket(kPacketStart, read_, write_, ring_, image_, QuietTicks)) {
    ++frames_;
    last_ = BuildFrame({reinterpret_cast<const char*>(image_ + 1), image_[0]});
    if (image_[0] >= 2 && (image_[2] == 1 || image_[2] == 2))
      acks_.push_back(BuildFrame(last_.substr(2, 2)));
  }
}

std::uint8_t TrafficGenerator::NextId() {
  return ++id_;
}

TrafficItem TrafficGenerator::Next() {
  // Start bytes may turn up anywhere in garbage, extra payload or a broken
  // CRC. An item is sent only when the framing rule resolves it on its own:
  // its own frame is found (a broken one: nothing), whether or not the line
  // falls quiet after it, so every false candidate in it fails its CRC or its
  // length before the next item begins.
  for (;;) {
    TrafficItem item = Candidate();
    ReceiverModel model;
    model.Feed(item.bytes);
    const bool broken = item.kind == FrameKind::Corrupted;
    const std::string frame = broken ? "" : item.bytes.substr(item.bytes.size() - item.frame_size);
    if (model.Settled() && model.Frames() == (broken ? 0u : 1u) &&
        (broken || model.LastFrame() == frame)) {
      return item;
    }
  }
}

TrafficItem TrafficGenerator::Candidate() {
  TrafficItem item;
  const unsigned roll = rng_() % 100;
  std::string payload;
  if (roll < 80) {
    // A request; one in five carries extra payload, which the answer drops.
    const char kind = roll < 40 ? 1 : 2;
    item.kind = kind == 1 ? FrameKind::Request1 : FrameKind::Request2;
    payload = {static_cast<char>(NextId()), kind};
    if (rng_() % 5 == 0) {
      for (unsigned n = 1 + rng_() % 4; n > 0; --n) payload += static_cast<char>(AnyByte());
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
    do bad = AnyByte();
    while (bad == static_cast<std::uint8_t>(item.bytes.back()));
    item.bytes.back() = static_cast<char>(bad);
  }
  item.frame_size = item.bytes.size();
  if (rng_() % 20 == 0) {
    std::string garbage;
    // Now and then a start byte with a length no ring can hold.
    if (rng_() % 4 == 0)
      garbage += {static_cast<char>(kPacketStart), static_cast<char>(253 + rng_() % 3)};
    for (unsigned n = 1 + rng_() % 4; n > 0; --n) garbage += static_cast<char>(AnyByte());
    item.bytes = garbage + item.bytes;
    item.garbage = true;
  }
  return item;
}
