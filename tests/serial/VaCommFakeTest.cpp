// The component against a scriptable fake device: settings and the device
// control block, refusals, the event mask, the writer and the monitor.
#include <gtest/gtest.h>

#include "SerialTestSupport.h"

namespace {

std::string Message(const std::function<void()>& action) {
  try {
    action();
  } catch (const EVaCommError& e) {
    return e.what();
  }
  return "(nothing raised)";
}

constexpr const char* kPortOpen = "Can't perform this operation while port is open";

TEST(VaCommSettings, FreshComponentWritesTheDefaultBlock) {
  FakeComm comm;
  comm.Open();
  const auto dcbs = comm.device->Dcbs();
  ASSERT_EQ(dcbs.size(), 1u);
  const CommDcb& b = dcbs[0];
  EXPECT_EQ(b.DCBlength, sizeof(CommDcb));
  EXPECT_EQ(b.BaudRate, 1200u);
  EXPECT_EQ(b.ByteSize, 8);
  EXPECT_EQ(b.Parity, NOPARITY);
  EXPECT_EQ(b.StopBits, ONESTOPBIT);
  EXPECT_EQ(b.fBinary, 1u);
  EXPECT_EQ(b.fDtrControl, DTR_CONTROL_DISABLE);
  EXPECT_EQ(b.fRtsControl, RTS_CONTROL_DISABLE);
  EXPECT_EQ(b.fOutxCtsFlow | b.fOutxDsrFlow | b.fOutX | b.fInX | b.fDsrSensitivity |
                b.fTXContinueOnXoff | b.fErrorChar | b.fNull | b.fParity | b.fAbortOnError,
            0u);
  EXPECT_EQ(b.XonChar, 17);
  EXPECT_EQ(b.XoffChar, 19);
  EXPECT_EQ(b.XonLim, 1024);
  EXPECT_EQ(b.XoffLim, 1024);
  EXPECT_EQ(comm.device->Queues(), std::make_pair(4096u, 2048u));
  // Default events [ceError, ceRxChar, ceTxEmpty]: the writer reports an
  // empty output itself, so EV_TXEMPTY leaves the device mask.
  EXPECT_EQ(comm.MonitorEvents().Value(), 200);
  EXPECT_EQ(comm.device->Masks(), std::vector<std::uint32_t>{EV_RXCHAR | EV_ERR});
}

TEST(VaCommSettings, UserBaudrateAndBaudrateFollowEachOther) {
  FakeComm comm;
  comm.Open();
  comm.SetUserBaudrate(921600);
  EXPECT_EQ(comm.Baudrate(), brUser);
  EXPECT_EQ(comm.device->Dcbs().back().BaudRate, 921600u);
  comm.SetBaudrate(br9600);
  EXPECT_EQ(comm.UserBaudrate(), 0);
  EXPECT_EQ(comm.device->Dcbs().back().BaudRate, 9600u);

  // The same value again writes nothing, even while Baudrate is not brUser.
  const std::size_t writes = comm.device->Dcbs().size();
  comm.SetUserBaudrate(0);
  EXPECT_EQ(comm.Baudrate(), br9600);
  comm.SetParity(paNone);
  EXPECT_EQ(comm.device->Dcbs().size(), writes);

  // brUser with rate 0: the device's refusal comes back with its code.
  EXPECT_EQ(Message([&] { comm.SetBaudrate(brUser); }),
            WithSystemText("Error writing dcb (22), ", 22));
  EXPECT_EQ(comm.Baudrate(), brUser);  // the property keeps its new value
}

TEST(VaCommSettings, LineFormatAndLimitsReachTheBlock) {
  FakeComm comm;
  TVaBuffers buffers;
  buffers.SetXonLimit(70000);
  comm.SetBuffers(buffers);
  comm.Open();
  EXPECT_EQ(comm.device->Dcbs().back().XonLim, 4464);

  comm.SetParity(paMark);
  comm.SetStopbits(sb2);
  comm.SetDatabits(db7);
  comm.SetOptions({coParityCheck, coNullStrip});
  const CommDcb b = comm.device->Dcbs().back();
  EXPECT_EQ(b.Parity, MARKPARITY);
  EXPECT_EQ(b.StopBits, TWOSTOPBITS);
  EXPECT_EQ(b.ByteSize, 7);
  EXPECT_EQ(b.fParity, 1u);
  EXPECT_EQ(b.fNull, 1u);
  EXPECT_EQ(b.fErrorChar, 0u);
}

TEST(VaCommSettings, EventCharsWriteTheBlockOnEverySet) {
  FakeComm comm;
  comm.Open();
  std::size_t writes = comm.device->Dcbs().size();
  comm.EventChars()->SetXonChar(17);  // unchanged, written all the same
  EXPECT_EQ(comm.device->Dcbs().size(), ++writes);
  comm.EventChars()->SetEofChar(26);
  EXPECT_EQ(comm.device->Dcbs().size(), ++writes);
  EXPECT_EQ(comm.device->Dcbs().back().EofChar, 26);
  EXPECT_EQ(comm.device->Dcbs().back().EvtChar, 0);
  EXPECT_EQ(comm.EventChars()->EventChar(), 0);

  // Assigning a whole object notifies once.
  TVaEventChars chars;
  chars.SetXonChar(1);
  chars.SetXoffChar(2);
  comm.SetEventChars(chars);
  EXPECT_EQ(comm.device->Dcbs().size(), ++writes);
  EXPECT_EQ(comm.device->Dcbs().back().XoffChar, 2);

  // Flow control writes only when a value changes, and once per Assign.
  comm.FlowControl()->SetOutCtsFlow(false);
  EXPECT_EQ(comm.device->Dcbs().size(), writes);
  TVaFlowControl flow;
  flow.SetOutCtsFlow(true);
  flow.SetXonXoffIn(true);
  flow.SetControlRts(rtsHandshake);
  comm.SetFlowControl(flow);
  EXPECT_EQ(comm.device->Dcbs().size(), ++writes);
  EXPECT_EQ(comm.device->Dcbs().back().fOutxCtsFlow, 1u);
  EXPECT_EQ(comm.device->Dcbs().back().fInX, 1u);
  EXPECT_EQ(comm.device->Dcbs().back().fRtsControl, RTS_CONTROL_HANDSHAKE);
}

TEST(VaCommSettings, UpdateDcbFalseNeverWritesTheBlock) {
  FakeComm comm;
  comm.SetUpdateDCB(false);
  comm.Open();
  comm.SetBaudrate(br115200);
  comm.EventChars()->SetXonChar(5);
  comm.FlowControl()->SetXonXoffOut(true);
  EXPECT_TRUE(comm.device->Dcbs().empty());
}

TEST(VaCommSettings, RefusalsWhileOpenChangeNothing) {
  FakeComm comm;
  comm.SetPortNum(3);
  comm.Open();
  EXPECT_EQ(Message([&] { comm.SetPortNum(4); }), kPortOpen);
  EXPECT_EQ(Message([&] { comm.SetDeviceName("/dev/x"); }), kPortOpen);
  EXPECT_EQ(Message([&] { comm.SetMonitorEvents({ceCts}); }), kPortOpen);
  EXPECT_EQ(Message([&] { comm.SetDirectWrite(true); }), kPortOpen);
  EXPECT_EQ(Message([&] { comm.SetUpdateDCB(false); }), kPortOpen);
  TVaBuffers other;
  other.SetReadTimeout(5);
  EXPECT_EQ(Message([&] { comm.SetBuffers(other); }), kPortOpen);
  EXPECT_EQ(Message([&] { comm.Buffers()->Assign(other); }), kPortOpen);
  EXPECT_EQ(Message([&] { comm.Buffers()->SetReadSize(100); }), kPortOpen);
  EXPECT_EQ(Message([&] { comm.Buffers()->SetXoffLimit(100); }), kPortOpen);
  EXPECT_EQ(Message([&] { comm.Open(); }), kPortOpen);
  EXPECT_EQ(comm.PortNum(), 3);
  EXPECT_EQ(comm.DeviceName(), "COM%d");
  EXPECT_EQ(comm.Buffers()->ReadSize(), 4096);
  EXPECT_EQ(comm.Buffers()->XoffLimit(), 1024);
  EXPECT_EQ(comm.Buffers()->ReadTimeout(), 1000);
  EXPECT_TRUE(comm.IsOpen());

  comm.Buffers()->SetReadTimeout(250);  // time-outs are free to change
  EXPECT_EQ(comm.Buffers()->ReadTimeout(), 250);
  EXPECT_EQ(comm.device->Dcbs().size(), 1u);
}

TEST(VaCommSettings, ConsoleEventsGiveMask0x83AndTxEmptyAloneGivesNone) {
  FakeComm comm;
  comm.SetMonitorEvents({ceError, ceRxChar, ceTxEmpty, ceRxFlag});
  comm.Open();
  EXPECT_EQ(comm.EventMask(), 0x0083u);
  comm.Close();

  comm.SetMonitorEvents({ceTxEmpty});
  comm.Open();
  EXPECT_EQ(comm.device->Masks().back(), 0u);
  comm.Close();

  comm.SetDirectWrite(true);
  comm.Open();
  EXPECT_EQ(comm.device->Masks().back(), EV_TXEMPTY);
}

TEST(VaCommLifecycle, FailedOpenStepsCloseTheDeviceAgain) {
  struct Case {
    std::atomic<int> FakeCommDevice::*fail;
    std::string message;
  };
  const Case cases[] = {
      {&FakeCommDevice::fail_state, WithSystemText("Error writing dcb (5), ", 5)},
      {&FakeCommDevice::fail_setup, WithSystemText("Error initializing buffers (12), ", 12)},
      {&FakeCommDevice::fail_timeouts, WithSystemText("Error setting timeouts (22), ", 22)},
      {&FakeCommDevice::fail_mask, WithSystemText(" Error setting EventMask (25), ", 25)},
  };
  const int codes[] = {EIO, ENOMEM, EINVAL, ENOTTY};
  for (int i = 0; i < 4; ++i) {
    FakeComm comm;
    int opened = 0;
    comm.OnOpen = [&](TObject*) { ++opened; };
    (*comm.device.*cases[i].fail) = codes[i];
    EXPECT_EQ(Message([&] { comm.Open(); }), cases[i].message);
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_TRUE(comm.device->Closed());
    EXPECT_EQ(opened, 0);
  }
}

TEST(VaCommLifecycle, OpenAndCloseHandlers) {
  HookRecorder hook;
  FakeComm comm;
  int closed = 0;
  comm.OnOpen = [](TObject*) { throw EVaCommError("from OnOpen"); };
  comm.OnClose = [&](TObject*) { ++closed; };
  comm.Open();  // the handler's error goes to the hook, the port stays open
  EXPECT_TRUE(comm.IsOpen());
  EXPECT_EQ(hook.Messages(), std::vector<std::string>{"from OnOpen"});

  auto start = SteadyClock::now();
  comm.Close();
  EXPECT_GE(SteadyClock::now() - start, 290ms);
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(comm.device->Closed());

  start = SteadyClock::now();
  comm.Close();  // closed already: at once, no handler
  EXPECT_LT(SteadyClock::now() - start, 100ms);
  EXPECT_EQ(closed, 1);

  {
    FakeComm doomed;
    doomed.OnClose = [&](TObject*) { ++closed; };
    doomed.Open();
  }
  EXPECT_EQ(closed, 1);  // destruction closes without OnClose
}

TEST(VaCommLifecycle, AutoOpenAtEndOfLoading) {
  FakeComm comm;
  comm.BeginLoading();
  comm.SetAutoOpen(true);
  comm.SetUserBaudrate(19200);
  EXPECT_FALSE(comm.IsOpen());
  comm.EndLoading();
  EXPECT_TRUE(comm.IsOpen());
  EXPECT_EQ(comm.device->Dcbs().size(), 1u);
  EXPECT_EQ(comm.device->Dcbs()[0].BaudRate, 19200u);
}

TEST(VaCommLines, LineFunctionsOpenAndClosed) {
  FakeComm comm;
  comm.SetDTR(true);  // closed: nothing happens
  EXPECT_FALSE(comm.GetModemState(4));
  EXPECT_EQ(comm.InQueCount(), 0);
  EXPECT_EQ(comm.ReadText(), "");
  EXPECT_FALSE(comm.WriteText("x"));
  EXPECT_TRUE(comm.WriteText(""));

  comm.Open();
  comm.SetDTR(true);
  comm.SetRTS(false);
  EXPECT_EQ(comm.device->Escapes(), (std::vector<std::uint32_t>{SETDTR, CLRRTS}));
  comm.device->SetModemStatus(MS_DSR_ON | MS_RLSD_ON);
  EXPECT_FALSE(comm.GetModemState(1));
  EXPECT_TRUE(comm.GetModemState(2));
  EXPECT_FALSE(comm.GetModemState(3));
  EXPECT_TRUE(comm.GetModemState(4));
  EXPECT_FALSE(comm.GetModemState(0));
  EXPECT_FALSE(comm.GetModemState(5));

  comm.device->fail_modem = EIO;
  EXPECT_EQ(Message([&] { comm.GetModemState(2); }),
            WithSystemText("Error reading modem state (5), ", 5));
  comm.device->fail_escape = EIO;
  EXPECT_EQ(Message([&] { comm.SetRTS(true); }),
            WithSystemText("Error calling comm function (5), ", 5));
  comm.device->fail_stats = EIO;
  EXPECT_EQ(Message([&] { comm.InQueCount(); }),
            WithSystemText("Error retrieving statistics (5), ", 5));
  comm.Close();

  comm.FlowControl()->SetControlDtr(dtrHandshake);
  comm.FlowControl()->SetControlRts(rtsToggle);
  EXPECT_EQ(Message([&] { comm.SetDTR(true); }),
            "DTR line updates not allowed when flowcontrol is set to Handshake.");
  EXPECT_EQ(Message([&] { comm.SetRTS(true); }),
            "RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.");
}

TEST(VaCommWriter, PartialDeviceWritesKeepByteOrder) {
  FakeComm comm;
  comm.device->max_per_write = 3;
  comm.Open();
  std::string expected;
  for (int i = 0; i < 40; ++i) {
    // Built by appending: g++ 12 misreads "<" + string at -O3 (-Wrestrict).
    std::string piece = "<";
    piece += std::to_string(i) + ">";
    ASSERT_TRUE(comm.WriteText(piece));
    expected += piece;
    CheckSynchronize(0);
  }
  EXPECT_TRUE(PumpUntil([&] { return comm.device->Written().size() == expected.size(); }));
  EXPECT_EQ(comm.device->Written(), expected);
}

TEST(VaCommWriter, TxEmptyOnceAfterTenBytes) {
  FakeComm comm;
  int empties = 0;
  comm.OnTxEmpty = [&](TObject*) { ++empties; };
  comm.Open();
  ASSERT_EQ(comm.EventMask() & EV_TXEMPTY, 0u);
  ASSERT_TRUE(comm.WriteText("0123456789"));
  EXPECT_TRUE(PumpUntil([&] { return empties > 0; }));
  EXPECT_EQ(comm.device->Written(), "0123456789");
  PumpFor(50ms);
  EXPECT_EQ(empties, 1);
}

TEST(VaCommWriter, EnqueueExactFillAndOversizeWithoutBurningCpu) {
  FakeComm comm;
  TVaBuffers buffers;
  buffers.SetWriteSize(16);
  buffers.SetWriteTimeout(400);
  comm.SetBuffers(buffers);
  comm.device->SetFull(true);  // the device takes nothing for now
  comm.Open();

  auto start = SteadyClock::now();
  ASSERT_TRUE(comm.WriteText(std::string(16, 'a')));  // exactly full: at once
  EXPECT_LT(SteadyClock::now() - start, 200ms);

  const double cpu = ProcessCpuSeconds();
  start = SteadyClock::now();
  EXPECT_EQ(Message([&] { comm.WriteText("b"); }),
            "Output buffer is full. Please check comm status.");
  const auto waited = SteadyClock::now() - start;
  EXPECT_GE(waited, 400ms);
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.1);

  comm.device->SetFull(false);
  EXPECT_TRUE(PumpUntil([&] { return comm.device->Written().size() == 16; }));
  EXPECT_EQ(comm.device->Written(), std::string(16, 'a'));  // the refused byte is not there

  // Larger than the whole buffer: never fits, refused after the time-out.
  start = SteadyClock::now();
  EXPECT_FALSE([&] {
    try {
      return comm.WriteText(std::string(17, 'c'));
    } catch (const EVaCommError&) {
      return false;
    }
  }());
  EXPECT_GE(SteadyClock::now() - start, 400ms);
  PumpFor(30ms);
  EXPECT_EQ(comm.device->Written(), std::string(16, 'a'));
}

TEST(VaCommWriter, BurstFromTheMainThreadLargerThanTheBufferGoesOutWhole) {
  // Each emptied buffer is reported on the main thread, which is the one
  // waiting for room here: the wait must let the report run. The device
  // takes a few bytes a call, as a slow line does, so the buffer fills.
  FakeComm comm;
  TVaBuffers buffers;
  buffers.SetWriteSize(16);
  buffers.SetWriteTimeout(2000);
  comm.SetBuffers(buffers);
  comm.device->max_per_write = 4;
  int empties = 0;
  comm.OnTxEmpty = [&](TObject*) { ++empties; };
  comm.Open();
  std::string expected;
  const auto start = SteadyClock::now();
  for (int i = 0; i < 20; ++i) {
    const std::string piece = "chunk-" + std::to_string(i % 10) + "-xyzw";  // 12 bytes
    ASSERT_TRUE(comm.WriteText(piece)) << i;
    expected += piece;
  }
  EXPECT_LT(SteadyClock::now() - start, 1000ms) << "a write waited out its time-out";
  EXPECT_TRUE(PumpUntil([&] { return comm.device->Written().size() == expected.size(); }));
  EXPECT_EQ(comm.device->Written(), expected);
  EXPECT_TRUE(PumpUntil([&] { return empties >= 1; }));
}

// A worker that hands one call to the main thread.
class OneCall : public TThread {
 public:
  explicit OneCall(std::function<void()> call) : TThread(false), call_(std::move(call)) {}
  ~OneCall() override { WaitForExit(); }

 protected:
  void ThreadBody() override { RunOnMainThread(call_); }

 private:
  std::function<void()> call_;
};

TEST(VaCommWriter, WaitingForRoomRunsOnlyTheWritersOwnReport) {
  FakeComm comm;
  TVaBuffers buffers;
  buffers.SetWriteSize(16);
  buffers.SetWriteTimeout(2000);
  comm.SetBuffers(buffers);
  comm.Open();
  std::atomic<bool> other_ran{false};
  auto other = NewThread<OneCall>([&] { other_ran = true; });
  // Let the other call be queued before the burst starts.
  const auto queued = SteadyClock::now() + 2s;
  while (PendingCallCount() == 0 && SteadyClock::now() < queued) std::this_thread::yield();
  ASSERT_EQ(PendingCallCount(), 1u);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(comm.WriteText("twelve bytes")) << i;
    EXPECT_FALSE(other_ran) << "another worker's call ran inside WriteText";
  }
  EXPECT_TRUE(PumpUntil([&] { return other_ran.load(); }));
  EXPECT_TRUE(PumpUntil([&] { return comm.device->Written().size() == 20 * 12; }));
}

TEST(VaCommWriter, HandlerClosingThePortWhileAWriteWaitsForRoom) {
  FakeComm comm;
  TVaBuffers buffers;
  buffers.SetWriteSize(16);
  buffers.SetWriteTimeout(2000);
  comm.SetBuffers(buffers);
  comm.OnTxEmpty = [&](TObject*) { comm.Close(); };
  comm.Open();
  ASSERT_TRUE(comm.WriteText("twelve bytes"));
  // The writer reports the empty output and waits for the main thread to
  // run the report; the device then takes nothing, so the buffer fills and
  // a write waits for room. The report runs meanwhile and its handler
  // closes the port under the waiting write.
  const auto queued = SteadyClock::now() + 2s;
  while (PendingCallCount() == 0 && SteadyClock::now() < queued) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(PendingCallCount(), 1u);
  comm.device->SetFull(true);
  const auto start = SteadyClock::now();
  bool accepted = true;
  for (int i = 0; i < 5 && comm.IsOpen(); ++i) accepted = comm.WriteText("twelve bytes");
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_FALSE(accepted);
  EXPECT_LT(SteadyClock::now() - start, 1500ms);
  PumpFor(50ms);  // the writer ends and frees itself
}

TEST(VaCommWriter, TxEmptyHandlerErrorDoesNotEndTheWriter) {
  HookRecorder hook;
  FakeComm comm;
  int empties = 0;
  comm.OnTxEmpty = [&](TObject*) {
    ++empties;
    throw EVaCommError("from OnTxEmpty");
  };
  comm.Open();
  ASSERT_TRUE(comm.WriteText("one"));
  EXPECT_EQ(comm.device->Written(), "one") << "bytes for an idle device waited for the writer";
  ASSERT_TRUE(PumpUntil([&] { return empties == 1; }));
  ASSERT_TRUE(comm.WriteText("two"));
  ASSERT_TRUE(PumpUntil([&] { return empties == 2; }));
  EXPECT_EQ(comm.device->Written(), "onetwo");
  EXPECT_EQ(hook.Messages(), (std::vector<std::string>{"from OnTxEmpty", "from OnTxEmpty"}));
}

TEST(VaCommWriter, FailedDeviceWriteIsReportedOnceAndRefusesLaterWrites) {
  HookRecorder hook;
  FakeComm comm;
  std::vector<int> errors;
  comm.OnError = [&](TObject*, std::int32_t e) { errors.push_back(e); };
  comm.Open();
  comm.device->fail_write = EIO;
  comm.device->Receive("", CE_FRAME);  // the driver's bits at that moment
  ASSERT_TRUE(comm.WriteText("lost"));
  ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors, std::vector<int>{CE_FRAME});
  // No retry loop: the writer gave up on the device.
  PumpFor(100ms);
  EXPECT_EQ(comm.device->write_calls.load(), 1);
  EXPECT_EQ(Message([&] { comm.WriteText("more"); }), WithSystemText("Write error (5), ", 5));
  comm.Close();
  EXPECT_FALSE(comm.IsOpen());
}

TEST(VaCommMonitor, FailingDeviceIsReportedOncePerEpisode) {
  HookRecorder hook;
  FakeComm comm;
  std::vector<int> errors;
  comm.OnError = [&](TObject*, std::int32_t e) { errors.push_back(e); };
  comm.Open();
  // The writer finds the device failing first, then the monitor does.
  comm.device->fail_write = EIO;
  comm.device->fail_stats = EIO;
  ASSERT_TRUE(comm.WriteText("lost"));
  ASSERT_TRUE(PumpUntil([&] { return hook.Count() == 1; }));
  comm.device->PushEvent(EV_ERR);
  ASSERT_TRUE(PumpUntil([&] { return comm.device->EventsTaken(); }));
  PumpFor(50ms);
  EXPECT_EQ(hook.Messages(),
            std::vector<std::string>{WithSystemText("Error retrieving statistics (5), ", 5)});

  // A good statistics read is the driver's answer, not the device's: the
  // episode goes on.
  comm.device->fail_stats = 0;
  comm.device->Receive("", CE_FRAME);
  comm.device->PushEvent(EV_ERR);
  ASSERT_TRUE(PumpUntil([&] { return errors.size() == 1; }));
  comm.device->fail_stats = EIO;
  comm.device->PushEvent(EV_ERR);
  ASSERT_TRUE(PumpUntil([&] { return comm.device->EventsTaken(); }));
  PumpFor(50ms);
  EXPECT_EQ(hook.Count(), 1u);

  // The device sends bytes again: the episode is over, errors are errors
  // again.
  comm.device->Receive("ok", 0);
  comm.device->fail_stats = 0;
  EXPECT_EQ(comm.ReadText(), "ok");
  comm.device->fail_stats = EIO;
  comm.device->PushEvent(EV_ERR);
  EXPECT_TRUE(PumpUntil([&] { return hook.Count() == 2; }));
}

TEST(VaCommWriter, DirectWriteTakesWhatTheDeviceTakesWithinTheReadTimeout) {
  FakeComm comm;
  comm.SetDirectWrite(true);
  comm.Buffers()->SetReadTimeout(200);
  comm.Open();
  comm.device->max_per_write = 4;
  EXPECT_EQ(comm.WriteBuf("abcdefghij", 10), 10);
  EXPECT_EQ(comm.device->Written(), "abcdefghij");

  comm.device->SetFull(true);
  const auto start = SteadyClock::now();
  EXPECT_EQ(comm.WriteBuf("xyz", 3), 0);
  EXPECT_GE(SteadyClock::now() - start, 200ms);

  comm.device->fail_write = EIO;
  EXPECT_EQ(Message([&] { comm.WriteBuf("x", 1); }), WithSystemText("Write error (5), ", 5));
}

TEST(VaCommMonitor, RxCharRunsBeforeErrorAndClearsItsBits) {
  HookRecorder hook;
  FakeComm comm;
  std::vector<std::string> seen;
  comm.OnRxChar = [&](TObject*, std::int32_t n) { seen.push_back("rx" + std::to_string(n)); };
  comm.OnError = [&](TObject*, std::int32_t e) { seen.push_back("err" + std::to_string(e)); };
  comm.OnRxBuf = [&](TObject*, PVaData, std::int32_t) { seen.push_back("rxbuf"); };
  comm.Open();

  comm.device->Receive("abc", CE_FRAME);
  comm.device->PushEvent(EV_RXCHAR | EV_ERR);
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == 1; }));
  // Unread bytes are counted again with the next ones.
  comm.device->Receive("de");
  comm.device->PushEvent(EV_RXCHAR);
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }));
  comm.device->Receive("", CE_OVERRUN);
  comm.device->PushEvent(EV_ERR);
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"rx3", "rx5", "err2"}));
  EXPECT_EQ(comm.ReadText(), "abcde");
  EXPECT_EQ(hook.Count(), 0u);
}

TEST(VaCommMonitor, HandlerErrorsGoToTheHookAndTheMonitorGoesOn) {
  HookRecorder hook;
  FakeComm comm;
  int cts = 0, dsr = 0;
  comm.OnRxChar = [&](TObject*, std::int32_t) { comm.device->fail_stats = EIO, comm.ReadText(); };
  comm.OnCts = [&](TObject*) { ++cts; };
  comm.OnDsr = [&](TObject*) { ++dsr; };
  comm.Open();
  comm.device->Receive("z");
  comm.device->PushEvent(EV_RXCHAR);
  ASSERT_TRUE(PumpUntil([&] { return hook.Count() == 1; }));
  EXPECT_EQ(hook.Messages()[0], WithSystemText("Error retrieving statistics (5), ", 5));
  comm.device->fail_stats = 0;
  comm.device->PushEvent(EV_CTS | EV_DSR);
  ASSERT_TRUE(PumpUntil([&] { return cts == 1 && dsr == 1; }));
}

TEST(VaCommMonitor, BatchThatRunsAfterCloseFindsThePortClosed) {
  FakeComm comm;
  int rx = 0, errors = 0, flags = 0;
  comm.OnRxChar = [&](TObject*, std::int32_t) { ++rx; };
  comm.OnError = [&](TObject*, std::int32_t) { ++errors; };
  comm.OnRxFlag = [&](TObject*) { ++flags; };
  comm.Open();
  comm.device->Receive("late", CE_BREAK);
  comm.device->PushEvent(EV_RXCHAR | EV_ERR | EV_RXFLAG);
  // The batch is queued for the main thread, which has not run it yet.
  const auto deadline = SteadyClock::now() + 5s;
  while (PendingCallCount() == 0 && SteadyClock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(PendingCallCount(), 1u);
  comm.Close();
  ASSERT_TRUE(PumpUntil([&] { return flags == 1; }));
  EXPECT_EQ(rx, 0);
  EXPECT_EQ(errors, 0);
}

TEST(VaCommMonitor, ComponentOutlivesTheCallsQueuedForIt) {
  int rx = 0;
  {
    FakeComm comm;
    comm.OnRxChar = [&](TObject*, std::int32_t) { ++rx; };
    comm.Open();
    comm.device->Receive("q");
    comm.device->PushEvent(EV_RXCHAR);
    const auto deadline = SteadyClock::now() + 5s;
    while (PendingCallCount() == 0 && SteadyClock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    ASSERT_EQ(PendingCallCount(), 1u);
  }  // destroyed with the batch still queued: it runs before the memory goes
  EXPECT_EQ(PendingCallCount(), 0u);
  EXPECT_EQ(rx, 0);
}

}  // namespace
