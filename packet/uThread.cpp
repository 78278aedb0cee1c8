#include "packet/uThread.h"

#include <chrono>
#include <thread>

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
    const std::uint8_t seen = RxAccumulatorCount;
    RunOnMainThread([this] {
      // A failing write must not end the responder: the error goes to the
      // operator as any other port error does, and the next request is
      // answered again.
      try {
        AnswerPacket();
      } catch (...) {
        ApplicationHandleException(this);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    WaitForWork(seen);
  } while (!StopRequested());
}

void TUserThread::WaitForWork(std::uint8_t SeenCount) {
  // A step's result depends only on the unread bytes and on whether the
  // line is quiet; while neither has changed since a step that found
  // nothing, another step would find nothing again.
  auto idle = [&] {
    if (StopRequested()) return false;
    if (RxParsePos == RxAccumulatorCount) return true;
    return !last_found_ && RxAccumulatorCount == SeenCount && RxQuietTicks != 0;
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
  for (char c : Bytes) RxAccumulator[at++] = static_cast<std::uint8_t>(c);
  RxAccumulatorCount = at;
  if (ResponderThread) ResponderThread->WakeUp();
}

bool TakeAcknowledgement(std::string& Ack) {
  Ack.clear();
  std::uint8_t pos = RxParsePos;
  const bool found = FindPacket(kPacketStart, pos, RxAccumulatorCount, RxAccumulator, FoundPacket);
  RxParsePos = pos;
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
  const std::uint8_t before = RxParsePos;
  last_found_ = TakeAcknowledgement(ack) || RxParsePos != before;
  if (ack.empty()) return;
  if (!port_->WriteText(ack)) add_line_(WriteErrorLine(port_->PortNum()));
}
