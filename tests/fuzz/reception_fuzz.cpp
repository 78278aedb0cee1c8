// The packet-mode reception path: a device's bytes, in reads of any size,
// go into the receive ring as the console stores them, and the responder's
// steps take frames out, with the line falling quiet whenever the input says.
// Every request of kind 1 or 2 that the ring can hold is answered exactly
// once and in order; nothing else is answered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "packet/Util.h"
#include "packet/uThread.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

std::uint8_t CrcOf(const std::string& bytes) {
  std::uint8_t crc = 0;
  for (char c : bytes) crc = Crc8Update(crc, static_cast<std::uint8_t>(c));
  return crc;
}

// A frame whose bytes after the start byte hold no start byte, so that a
// scan that drops its start byte cannot find a false frame inside it.
std::string Frame(std::string payload, bool corrupt) {
  for (;;) {
    std::string f(1, static_cast<char>(kPacketStart));
    f += static_cast<char>(payload.size());
    f += payload;
    std::uint8_t crc = CrcOf(f);
    if (corrupt) crc = NotStart(static_cast<std::uint8_t>(crc + 1));
    if (crc != kPacketStart || payload.empty()) return f + static_cast<char>(crc);
    // Another first byte (the one an acknowledgement echoes) changes the CRC.
    payload[0] = static_cast<char>(NotStart(static_cast<std::uint8_t>(payload[0] + 1)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzReader in{data, size};
  // The device's traffic: requests, frames that are not answered, noise,
  // and moments at which the line falls quiet (between frames).
  std::string stream;
  std::vector<std::string> expected;
  std::vector<std::size_t> quiet_at;
  while (in.size > 0 && stream.size() < 4000) {
    const std::uint8_t op = in.Next() % 8;
    if (op <= 2) {
      std::string payload(1, static_cast<char>(NotStart(in.Next())));
      payload += static_cast<char>(1 + (op & 1));
      for (int n = in.Next() % 4; n > 0; --n) payload += static_cast<char>(NotStart(in.Next()));
      const std::string frame = Frame(payload, false);
      stream += frame;
      std::string ack(1, static_cast<char>(kPacketStart));
      ack += '\x02';
      ack += frame.substr(2, 2);
      expected.push_back(ack + static_cast<char>(CrcOf(ack)));
    } else if (op == 3) {
      std::string payload;
      switch (in.Next() % 4) {
        case 0:  // another kind
          payload += static_cast<char>(NotStart(in.Next()));
          payload += static_cast<char>(NotStart(static_cast<std::uint8_t>(3 + in.Next() % 250)));
          stream += Frame(payload, false);
          break;
        case 1:  // empty
          stream += Frame("", false);
          break;
        case 2:  // one byte
          stream += Frame(std::string(1, static_cast<char>(NotStart(in.Next()))), false);
          break;
        default:  // a request of kind 1 with a broken CRC
          payload += static_cast<char>(NotStart(in.Next()));
          payload += '\x01';
          stream += Frame(payload, true);
      }
    } else if (op == 4) {
      quiet_at.push_back(stream.size());
    } else {
      for (int n = 1 + in.Next() % 8; n > 0; --n) stream += static_cast<char>(NotStart(in.Next()));
    }
  }

  // The harness starts from an empty ring at any position; the console
  // never resets it, but its state between frames is just that.
  const std::uint8_t at = in.Next();
  RxAccumulatorCount = at;
  RxParsePos = at;
  TxRingHead = TxRingTail = in.Next();
  std::vector<std::string> answered;
  auto step = [&] {
    std::string ack;
    const bool any = TakeAcknowledgement(ack);
    if (any) answered.push_back(ack);
    return any;
  };
  auto unread = [] { return static_cast<std::uint8_t>(RxAccumulatorCount - RxParsePos); };

  std::size_t next = 0, quiet = 0;
  while (next < stream.size()) {
    std::size_t chunk = 1 + in.Next() % 40;
    if (chunk > stream.size() - next) chunk = stream.size() - next;
    // A read ends where the line falls quiet.
    while (quiet < quiet_at.size() && quiet_at[quiet] <= next) ++quiet;
    if (quiet < quiet_at.size() && next + chunk > quiet_at[quiet]) chunk = quiet_at[quiet] - next;
    // The responder keeps stepping while the ring has no room for the read.
    for (int guard = 0; unread() + chunk > 255 && guard < 300; ++guard) {
      RxQuietTicks = 10;
      step();
    }
    if (unread() + chunk > 255) std::abort();  // frames this short never fill the ring
    StoreReceived(stream.substr(next, chunk));
    next += chunk;
    RxQuietTicks = 10;
    for (int n = in.Next() % 4; n > 0; --n) step();
    if (quiet < quiet_at.size() && next == quiet_at[quiet]) {
      RxQuietTicks = 0;
      while (RxParsePos != RxAccumulatorCount) step();
    }
  }
  RxQuietTicks = 0;
  while (RxParsePos != RxAccumulatorCount) step();
  if (TxRingHead != TxRingTail) std::abort();
  if (answered != expected) std::abort();
  return 0;
}
