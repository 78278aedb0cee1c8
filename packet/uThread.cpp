#include "packet/uThread.h"

#include <algorithm>

#include "packet/Util.h"
#include "runtime/Application.h"
#include "serial/VaComm.h"

std::uint8_t RxAccumulator[256];
std::atomic<std::uint8_t> RxAccumulatorCount{0};
std::atomic<std::uint8_t> RxParsePos{0};
std::atomic<std::uint8_t> RxQuietTicks{0};
std::uint8_t FoundPacket[256];
std::uint8_t AckPayload[256];
std::uint8_t TxRingHead = 0;
std::uint8_t TxRingTail = 0;
TUserThread* ResponderThread = nullptr;

namespace {
// Bytes stored so far, wrapping at 2^32: the responder tells new bytes from
// none by it (the ring's write position comes back to the same value after
// 256 of them).
std::atomic<std::uint32_t> g_stored{0};
}  // namespace

std::string WriteErrorLine(int PortNum) {
  return "Error writing to: " + Format("Port %d", PortNum);
}

TUserThread::TUserThread(bool CreateSuspended, TVaComm* Port, TLineSink AddLine)
    : TThread(CreateSuspended), port_(Port), add_line_(std::move(AddLine)) {}

TUserThread::~TUserThread() {
  // The body waits on this object's event and runs its steps: end it first.
  RequestStop();
  if (!Finished()) {
    Resume();
    WaitForExit();
  }
}

void TUserThread::RequestStop() {
  TThread::RequestStop();
  wake_.Signal();
}

void TUserThread::ThreadBody() {
  RxQuietTicks = 1;
  Running = true;
  struct ClearRunning {
    std::atomic<bool>& flag;
    ~ClearRunning() { flag = false; }
  } clear_running{Running};
  do {
    const std::uint32_t seen = g_stored.load();
    RunOnMainThread([this] { Step(); });
    // A step that took a frame is followed by the next one at once while
    // bytes are left. Otherwise the worker waits until something a step
    // depends on changes; bytes that come in meanwhile are answered by the
    // reception that stores them, so what wakes the worker is, as a rule,
    // the line falling quiet behind an incomplete frame.
    if (last_found_.load() && RxParsePos != RxAccumulatorCount) continue;
    WaitForWork(seen);
  } while (!StopRequested());
}

void TUserThread::Step() {
  // A failing write must not end the responder: the error goes to the port's
  // failure report as any other port error does, and the next request is
  // answered again.
  try {
    AnswerPacket();
  } catch (...) {
    if (port_)
      port_->ReportFailure(this);
    else
      ApplicationHandleException(this);
  }
}

void TUserThread::AnswerStored() {
  // The steps the worker would have asked for next, taken here at once:
  // handing each to the worker only for it to hand it back would cost two
  // thread wake-ups per request. What is left after a fruitless step (a
  // frame still incomplete) waits for more bytes, which come here too, or
  // for the quiet line, whose tick wakes the worker. A responder that is
  // stopping answers nothing more: the port is about to close.
  if (StopRequested()) return;
  do {
    Step();
  } while (last_found_.load() && RxParsePos != RxAccumulatorCount && !StopRequested());
}

void TUserThread::WaitForWork(std::uint32_t SeenStored) {
  // A step's result depends only on the unread bytes and on whether the
  // line is quiet; while neither has changed since a step that found
  // nothing, another step would find nothing again.
  auto idle = [&] {
    if (StopRequested()) return false;
    if (RxParsePos == RxAccumulatorCount) return true;
    return !last_found_.load() && g_stored.load() == SeenStored && RxQuietTicks != 0;
  };
  while (idle()) {
    // Cleared before the second look: a change after the look signals
    // again, one before it is seen by it.
    wake_.Reset();
    if (idle()) wake_.WaitFor(INFINITE);
  }
}

void StoreReceived(std::string_view Bytes) {
  if (Bytes.empty()) return;
  std::uint8_t at = RxAccumulatorCount;
  std::size_t next = 0;
  while (next < Bytes.size()) {
    // The ring tells 255 unread bytes apart; bytes the parser has not read
    // are never overwritten. When a read would overtake them, the steps
    // answer what is stored first: a frame fits in 255 bytes, so a full
    // ring always holds a frame to take or bytes to pass over.
    std::uint8_t room = static_cast<std::uint8_t>(255 - static_cast<std::uint8_t>(at - RxParsePos));
    if (room == 0) {
      RxAccumulatorCount = at;
      const std::uint8_t before = RxParsePos;
      if (ResponderThread) {
        ResponderThread->Step();
      } else {
        std::string ignored;
        TakeAcknowledgement(ignored);
      }
      // Cannot happen with frames that fit; should it, the oldest byte goes
      // rather than the loop spinning.
      if (RxParsePos == before) RxParsePos = static_cast<std::uint8_t>(before + 1);
      continue;
    }
    const std::size_t n = std::min<std::size_t>(room, Bytes.size() - next);
    for (std::size_t i = 0; i < n; ++i)
      RxAccumulator[at++] = static_cast<std::uint8_t>(Bytes[next + i]);
    next += n;
  }
  RxAccumulatorCount = at;
  g_stored.fetch_add(static_cast<std::uint32_t>(Bytes.size()));
  if (ResponderThread) ResponderThread->AnswerStored();
}

bool TakeAcknowledgement(std::string& Ack, bool* Found) {
  Ack.clear();
  std::uint8_t pos = RxParsePos;
  const bool found = FindPacket(kPacketStart, pos, RxAccumulatorCount, RxAccumulator, FoundPacket);
  RxParsePos = pos;
  if (Found) *Found = found;
  if (!found) return false;
  // An empty request is not answered; nor is one of a single byte, whose
  // kind would be whatever an earlier packet left in the image.
  if (FoundPacket[0] < 2) return false;
  const std::uint8_t kind = FoundPacket[2];
  if (kind != 1 && kind != 2) return false;
  AckPayload[0] = 2;
  AckPayload[1] = FoundPacket[1];
  AckPayload[2] = kind;
  // The transmit ring is empty on entry, so the five bytes always fit.
  PutPacket(kPacketStart, AckPayload, TxRingTail, TxRingHead, FoundPacket);
  while (TxRingTail != TxRingHead) {
    Ack += static_cast<char>(FoundPacket[TxRingTail]);
    ++TxRingTail;
  }
  return true;
}

void TUserThread::AnswerPacket() {
  std::string ack;
  bool found = false;
  TakeAcknowledgement(ack, &found);
  last_found_ = found;
  if (ack.empty()) return;
  if (!port_->WriteText(ack)) add_line_(WriteErrorLine(port_->PortNum()));
}
