// The packet responder: each step, on the main thread, takes at most one
// frame out of the receive ring and answers a request of kind 1 or 2 with an
// acknowledgement on the serial port. Reception runs the steps on the bytes
// it stores at once, one after another while they find frames; the worker
// paces the steps that waited for the line to fall quiet (a frame left
// incomplete), and otherwise sleeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "runtime/Events.h"
#include "runtime/Thread.h"

class TVaComm;

// The packet link's state, process-wide, zeroed at start and never reset.
// Everything is touched on the main thread only, except the three positions
// the worker looks at to decide whether a step can find anything (and the
// countdown it sets once at its start): those are atomics.
extern std::uint8_t RxAccumulator[256];               // the receive ring
extern std::atomic<std::uint8_t> RxAccumulatorCount;  // its write position
extern std::atomic<std::uint8_t> RxParsePos;          // its read position
extern std::atomic<std::uint8_t> RxQuietTicks;        // status ticks until the line counts as quiet
extern std::uint8_t FoundPacket[256];  // the image just found; also the transmit ring's storage
extern std::uint8_t AckPayload[256];   // the acknowledgement's image
extern std::uint8_t TxRingHead;        // transmit ring: write position
extern std::uint8_t TxRingTail;        // transmit ring: read position

class TUserThread;
// The one responder, owned by the main window.
extern TUserThread* ResponderThread;

// "Error writing to: Port n", the line for a write the port did not take.
std::string WriteErrorLine(int PortNum);

// Stores received bytes in the receive ring at RxAccumulatorCount and runs
// the responder's steps on them, here on the caller's (main) thread, until a
// step finds nothing. Bytes not parsed yet are never overwritten: when the
// ring has no room left, the steps run before more is stored.
// RxAccumulatorCount advances by every byte stored.
void StoreReceived(std::string_view Bytes);
// The step without its write: takes at most one frame out of the receive
// ring; true with the acknowledgement's bytes in Ack when it is a request of
// kind 1 or 2 with at least two payload bytes. Found, when given, tells
// whether a frame was taken at all.
bool TakeAcknowledgement(std::string& Ack, bool* Found = nullptr);

class TUserThread : public TThread {
 public:
  using TLineSink = std::function<void(const std::string& Line)>;
  // Port: where acknowledgements go; AddLine: adds a line to the log pane.
  TUserThread(bool CreateSuspended, TVaComm* Port, TLineSink AddLine);
  ~TUserThread() override;

  // True from the first statement of the body to its last, however the body
  // ends.
  std::atomic<bool> Running{false};

  // Asks the worker to end after its current step, and wakes it if it is
  // waiting for bytes.
  void RequestStop();
  // Something a step depends on has changed (bytes were stored, the line
  // fell quiet): a waiting worker resumes its steps.
  void WakeUp() { wake_.Signal(); }

  // Bytes have just been stored (on the main thread): answers what they
  // complete, step after step, until a step finds nothing.
  void AnswerStored();

  // One step, on the main thread: TakeAcknowledgement, then the write.
  void AnswerPacket();
  // The step as the worker runs it: a port error it raises goes to the
  // port's failure report, and the responder goes on.
  void Step();

 protected:
  void ThreadBody() override;

 private:
  // Blocks while no step could find anything: the ring holds nothing unread,
  // or the last step found no frame and neither new bytes nor the end of the
  // quiet time have come since. A stop request ends the wait too.
  void WaitForWork(std::uint32_t SeenStored);

  TVaComm* port_;
  TLineSink add_line_;
  TEvent wake_;
  // Whether the last step took a frame; written by the step on the main
  // thread, read by the worker.
  std::atomic<bool> last_found_{false};
};
