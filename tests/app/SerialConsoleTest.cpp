// The window's serial side against real pseudo-terminals published as COM1
// and COM2, on the headless window system: what the panels and boxes show,
// what the device receives, what the pane shows, which requests are answered.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/app/SerialConsoleFixture.h"

namespace {

using namespace serialtest;

TEST_F(SerialConsole, StartAndStopShowThePortStateAndTheLines) {
  form->GrBxSet->SetVisible(true);
  form->BtSet->SetFocus();
  form->BtnOpen->OperatorClick();
  ASSERT_TRUE(form->VaComm->IsOpen()) << (ws.Messages().empty() ? "" : ws.Messages()[0]);
  EXPECT_TRUE(LineIsRaw(com1.Slave()));
  EXPECT_EQ(LineSpeed(com1.Slave()), 115200u);
  EXPECT_EQ(Panel(6), " Com-порт 1 [активен]");
  EXPECT_TRUE(form->ChBxDTR->Checked());
  EXPECT_TRUE(form->ChBxRTS->Checked());
  EXPECT_EQ(Panel(0), "DTR");
  EXPECT_EQ(Panel(2), "RTS");
  EXPECT_TRUE(form->SysTimer->Enabled());
  EXPECT_TRUE(form->EdCmdLn->Focused());

  form->ChBxDTR->OperatorClick();
  EXPECT_EQ(Panel(0), "");
  EXPECT_EQ(Panel(2), "RTS");

  form->BtSet->SetFocus();
  form->BtnClose->OperatorClick();
  EXPECT_FALSE(form->VaComm->IsOpen());
  EXPECT_EQ(Panel(6), " Com-порт не выбран");
  EXPECT_FALSE(form->ChBxDTR->Checked());
  EXPECT_FALSE(form->ChBxRTS->Checked());
  EXPECT_EQ(Panel(0), "");
  EXPECT_EQ(Panel(2), "");
  EXPECT_FALSE(form->SysTimer->Enabled());
  EXPECT_TRUE(form->EdCmdLn->Focused());
  EXPECT_TRUE(ws.Messages().empty());
}

TEST_F(SerialConsole, PacketModeReopensTheChosenPortAt115200) {
  form->ComboPortNum->OperatorSelect(1);
  form->ComboBaudrate->OperatorSelect(form->ComboBaudrate->Items().IndexOf("9600"));
  form->BtnOpen->OperatorClick();
  EXPECT_EQ(LineSpeed(com2.Slave()), 9600u);
  form->RButPack->OperatorClick();
  ASSERT_TRUE(form->VaComm->IsOpen());
  EXPECT_EQ(form->VaComm->PortNum(), 2);
  EXPECT_EQ(LineSpeed(com2.Slave()), 115200u);
  EXPECT_EQ(form->ComboBaudrate->Text(), "115200");
  EXPECT_EQ(form->RButPack->Tag(), 1);
  EXPECT_EQ(Panel(6), " Com-порт 2 [активен]");
  form->RButDirect->OperatorClick();
  EXPECT_EQ(form->RButPack->Tag(), 0);
  EXPECT_TRUE(form->VaComm->IsOpen());
}

TEST_F(SerialConsole, AMissingPortShowsItsNameAndMovesTheListUp) {
  form->ComboPortNum->OperatorSelect(4);
  form->BtSet->SetFocus();
  form->BtnOpen->OperatorClick();
  ASSERT_EQ(ws.Messages().size(), 1u);
  EXPECT_EQ(ws.Messages()[0], "Specified device not found (COM5).");
  EXPECT_EQ(form->ComboPortNum->ItemIndex(), 3);
  EXPECT_FALSE(form->EdCmdLn->Focused()) << "a failed open leaves the focus";

  // From "Порт 1" the list is left without a selection, then COM0 is tried.
  char empty[] = "/tmp/torin5-noports-XXXXXX";
  ASSERT_TRUE(::mkdtemp(empty));
  ::setenv("TORIN5_PORTS", empty, 1);
  form->ComboPortNum->OperatorSelect(0);
  form->BtnOpen->OperatorClick();
  EXPECT_EQ(form->ComboPortNum->ItemIndex(), -1);
  form->BtnOpen->OperatorClick();
  EXPECT_EQ(form->ComboPortNum->ItemIndex(), -1);
  ASSERT_EQ(ws.Messages().size(), 3u);
  EXPECT_EQ(ws.Messages()[1], "Specified device not found (COM1).");
  EXPECT_EQ(ws.Messages()[2], "Specified device not found (COM0).");
  EXPECT_FALSE(form->VaComm->IsOpen());
  ::rmdir(empty);
}

TEST_F(SerialConsole, TheCommandLineAndItsKeysReachTheDevice) {
  form->BtnOpen->OperatorClick();
  ASSERT_TRUE(form->VaComm->IsOpen());
  form->EdCmdLn->OperatorType("at");
  form->EdCmdLn->OperatorKey('+');
  EXPECT_TRUE(DeviceGets("+"));
  EXPECT_EQ(form->EdCmdLn->Text(), "at+") << "the key still reaches the line";
  form->EdCmdLn->OperatorKey(24);
  EXPECT_TRUE(DeviceGets("\x18"));
  form->EdCmdLn->OperatorKey(27);
  EXPECT_TRUE(DeviceGets("\x1b"));
  form->EdCmdLn->OperatorKey('\r');
  EXPECT_TRUE(DeviceGets("at+\r\n"));
  EXPECT_EQ(form->EdCmdLn->Text(), "at+");
  form->EdCmdLn->SetText("Привет");
  form->BtSet->SetFocus();
  form->BtTransmit->OperatorClick();
  EXPECT_TRUE(DeviceGets("\xCF\xF0\xE8\xE2\xE5\xF2\r\n")) << "the line goes out in Windows-1251";
  EXPECT_TRUE(form->EdCmdLn->Focused());
  EXPECT_EQ(form->LogText(), "");

  // With the port closed every send is logged as not written.
  form->BtnClose->OperatorClick();
  form->EdCmdLn->OperatorKey('\r');
  EXPECT_EQ(form->LogText(), "Error writing to: Port 1\r\n");
  EXPECT_EQ(form->EdCmdLn->Text(), "Привет");
}

TEST_F(SerialConsole, TextModeShowsPrintableBytesUpToAZeroByte) {
  form->RButDirect->OperatorClick();
  ASSERT_TRUE(form->VaComm->IsOpen());
  Send(std::string("\x48\x69\x0D\x0A\x00\x41", 6));
  EXPECT_TRUE(PaneIs("Hi\r\n"));
  Send("Z\tY");
  EXPECT_TRUE(PaneIs("Hi\r\nZY")) << "nothing after the zero byte of a read is shown";
}

TEST_F(SerialConsole, PacketModeShowsHexLinesAndFeedsTheRingOnlyWithTreat) {
  OpenPacketMode(false);
  std::uint8_t before = RxAccumulatorCount;
  Send(std::string("\x41\x0D\x00\xFF", 4));
  EXPECT_TRUE(PaneIs("Rx- 41 0D 00 FF \r\n"));
  EXPECT_EQ(RxAccumulatorCount, before);

  form->ChBxTreat->SetChecked(true);
  form->LogClear();
  before = RxAccumulatorCount;
  std::string bytes, hex = "Rx- ";
  for (int i = 0; i < 300; ++i) {
    const int b = (i * 7 + 3) & 0xFF;
    bytes += static_cast<char>(b);
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X ", b);
    hex += pair;
  }
  Send(bytes);
  EXPECT_TRUE(PaneIs(hex + "\r\n")) << "one read, one line";
  EXPECT_EQ(static_cast<std::uint8_t>(RxAccumulatorCount - before), 44);
}

TEST_F(SerialConsole, RequestsOfKindOneAndTwoAreAnsweredByteForByte) {
  OpenPacketMode(true);
  struct Case {
    const char* name;
    std::string request;
    std::string answer;
  };
  const Case cases[] = {
      {"kind 1", Frame({0x05, 0x01}), Frame({0x05, 0x01})},
      {"kind 2", Frame({0x05, 0x02}), Frame({0x05, 0x02})},
      {"longer request", Frame({0x07, 0x01, 0xAA, 0xBB}), Frame({0x07, 0x01})},
      {"kind 3, empty and one-byte payloads go unanswered",
       Frame({0x05, 0x03}) + Frame({}) + Frame({0x09}) + Frame({0x06, 0x02}), Frame({0x06, 0x02})},
      {"garbage before a request", std::string("\x00\x1E\x7F", 3) + Frame({0x11, 0x01}),
       Frame({0x11, 0x01})},
      {"two requests in one read", Frame({0x21, 0x01}) + Frame({0x22, 0x02}),
       Frame({0x21, 0x01}) + Frame({0x22, 0x02})},
  };
  EXPECT_EQ(Frame({0x05, 0x01}), std::string("\x1E\x02\x05\x01\xC3"));
  EXPECT_EQ(Frame({0x05, 0x02}), std::string("\x1E\x02\x05\x02\x21"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Send(c.request);
    EXPECT_TRUE(DeviceGets(c.answer));
  }
  EXPECT_TRUE(ws.Messages().empty());
}

// n requests of kind 1 and 2 with first payload bytes from first on, and
// the answers they are owed, in order.
std::pair<std::string, std::string> Requests(int n, int first = 0) {
  std::string requests, answers;
  for (int i = 0; i < n; ++i) {
    const int id = (first + i) & 0xFF;
    const int kind = 1 + (i & 1);
    requests += Frame({id, kind, 0x5A});
    answers += Frame({id, kind});
  }
  return {requests, answers};
}

TEST_F(SerialConsole, EveryRequestOfABurstIsAnsweredOnceInOrderWhileTheLineIsBusy) {
  OpenPacketMode(true);
  // The line never falls quiet here: without the status tick the countdown
  // stays where each reception sets it, so no answer may wait for the
  // quiet time.
  form->SysTimer->SetEnabled(false);
  struct Case {
    std::string name;
    std::string sent;
    std::string answers;
  };
  std::vector<Case> cases;
  for (int n : {1, 52, 255, 300, 1000}) {
    const auto [requests, answers] = Requests(n, n);
    cases.push_back({"a burst of " + std::to_string(n) + " in one write", requests, answers});
  }
  {
    const auto [requests, answers] = Requests(40, 7);
    cases.push_back(
        {"a length of 253, then traffic", std::string("\x1E\xFD", 2) + requests, answers});
    cases.push_back(
        {"a length of 255 inside a burst",
         requests.substr(0, 102) + std::string("\x1E\xFF\x1E", 3) + requests.substr(102), answers});
    // A frame of 255 bytes fills the ring; its CRC would be 0xBD, and the
    // start byte after it is not.
    cases.push_back({"a length of 252 passed over by its CRC",
                     std::string("\x1E\xFC", 2) + std::string(252, '\x55') + requests, answers});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint8_t before = RxAccumulatorCount;
    Send(c.sent);
    EXPECT_TRUE(DeviceGets(c.answers, 20000));
    ws.RunUntil([] { return RxParsePos == RxAccumulatorCount; }, 1000);
    EXPECT_EQ(static_cast<std::uint8_t>(RxAccumulatorCount - before),
              static_cast<std::uint8_t>(c.sent.size()))
        << "every byte received is stored";
    ws.RunUntil(
        [&] {
          Gather();
          return false;
        },
        20);
    EXPECT_EQ(device, "") << "nothing else is sent";
    device.clear();
  }
  EXPECT_TRUE(ws.Messages().empty()) << ::testing::PrintToString(ws.Messages());
}

TEST_F(SerialConsole, RequestsSplitAcrossTwoReadsAtEveryOffsetAreAnswered) {
  OpenPacketMode(true);
  form->SysTimer->SetEnabled(false);  // the line stays busy between the reads
  // Two requests around a start byte whose length no ring can hold.
  const std::string sent =
      Frame({0x31, 0x01}) + std::string("\x1E\xFE", 2) + Frame({0x32, 0x02, 0xAA, 0xBB});
  const std::string answers = Frame({0x31, 0x01}) + Frame({0x32, 0x02});
  for (std::size_t at = 1; at < sent.size(); ++at) {
    SCOPED_TRACE("split after byte " + std::to_string(at));
    const std::uint8_t before = RxAccumulatorCount;
    Send(sent.substr(0, at));
    // The first part is read on its own before the rest is written.
    ASSERT_TRUE(ws.RunUntil(
        [&] { return static_cast<std::uint8_t>(RxAccumulatorCount - before) == at; }, 5000));
    Send(sent.substr(at));
    EXPECT_TRUE(DeviceGets(answers));
  }
}

TEST_F(SerialConsole, ARequestWithThePortClosedGivesTheWriteErrorLine) {
  // The ring is fed as reception feeds it; the port was never opened.
  StoreReceived(Frame({0x05, 0x01}));
  EXPECT_TRUE(PaneIs("Error writing to: Port 0\r\n"));
  EXPECT_EQ(RxParsePos, RxAccumulatorCount);
}

TEST_F(SerialConsole, ClosingTheWindowWhileRequestsArriveEndsPromptly) {
  OpenPacketMode(true);
  std::atomic<bool> stop{false};
  std::thread devicesim([&] {
    const std::string request = Frame({0x05, 0x01});
    while (!stop) {
      (void)!::write(com1.Master(), request.data(), request.size());
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  ws.RunUntil(
      [&] {
        Gather();
        return device.size() >= 50;
      },
      5000);
  EXPECT_GE(device.size(), 50u) << "requests are being answered";
  const auto start = Clock::now();
  form->OperatorClose();
  const auto took = Clock::now() - start;
  stop = true;
  devicesim.join();
  EXPECT_FALSE(form->VaComm->IsOpen());
  EXPECT_FALSE(ResponderThread->Running);
  EXPECT_TRUE(ResponderThread->Finished());
  EXPECT_LT(took, std::chrono::seconds(3)) << "the close pause is 300 ms";
}

TEST_F(SerialConsole, ClosingTheWindowClosesAnOpenPort) {
  form->BtnOpen->OperatorClick();
  ASSERT_TRUE(form->VaComm->IsOpen());
  SetMainForm(form.get());
  form->OperatorClose();
  EXPECT_FALSE(form->VaComm->IsOpen());
  EXPECT_TRUE(ws.Terminated());
  SetMainForm(nullptr);
}

}  // namespace
