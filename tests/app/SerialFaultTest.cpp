// The console against a device that misbehaves: it vanishes while open, or
// floods the line with garbage between its requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "serial/VaCommError.h"
#include "tests/app/SerialConsoleFixture.h"
#include "tests/serial/SerialTestSupport.h"
#include "tools/devsim/Traffic.h"

namespace {

using namespace serialtest;

// A sanitizer makes every instruction dearer; a spinning thread still shows
// as most of a core.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kCpuScale = 4;
#else
constexpr double kCpuScale = 1;
#endif

TEST_F(SerialConsole, AVanishedDeviceIsReportedOnceAndItsPortClosedInEveryMode) {
  struct Case {
    const char* name;
    bool packet;
    bool long_write;
    int queued;  // requests read just before the pull, still to be answered
  };
  const Case cases[] = {
      {"text mode", false, false, 0},
      {"packet mode with Treat", true, false, 0},
      {"during a long write", false, true, 0},
      {"packet mode with 20 requests queued", true, false, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ws.ClearMessages();
    form->ChBxTreat->SetChecked(c.packet);
    form->RButPack->SetTag(c.packet ? 1 : 0);
    form->BtnOpen->OperatorClick();
    ASSERT_TRUE(form->VaComm->IsOpen()) << ::testing::PrintToString(ws.Messages());
    if (c.long_write) {
      // The device takes nothing and goes away while the line waits for room.
      std::thread pull([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        com1.CloseMaster();
      });
      form->EdCmdLn->SetText(std::string(256 * 1024, 'w'));
      form->BtTransmit->OperatorClick();
      pull.join();
    } else {
      Send(Frame({0x05, 0x01}));
      ws.RunUntil([&] { return form->LogSize() > 0; }, 5000);
      com1.CloseMaster();
      // A device without modem lines: every status poll succeeds while its
      // answers fail, and none of those polls ends the episode.
      std::string queued;
      for (int i = 0; i < c.queued; ++i) queued += Frame({0x40 + i, 1 + (i & 1)});
      StoreReceived(queued);
    }
    ws.RunUntil([&] { return !ws.Messages().empty(); }, 5000);
    const double cpu0 = ProcessCpuSeconds();
    ws.RunUntil([] { return false; }, 1000);  // two hundred status ticks
    const double cpu = ProcessCpuSeconds() - cpu0;
    EXPECT_EQ(ws.Messages().size(), 1u) << ::testing::PrintToString(ws.Messages());
    EXPECT_LT(cpu, 0.05 * kCpuScale) << "no thread may spin on a gone device";
    // After its message the port is closed as "Стоп" closes it.
    EXPECT_FALSE(form->VaComm->IsOpen());
    EXPECT_FALSE(form->SysTimer->Enabled());
    EXPECT_EQ(Panel(6), " Com-порт не выбран");
    EXPECT_FALSE(form->ChBxDTR->Checked());
    EXPECT_FALSE(form->ChBxRTS->Checked());
    EXPECT_EQ(Panel(0), "");
    EXPECT_EQ(Panel(2), "");

    // The device comes back under the same name and "Старт" opens it.
    com1.Replace();
    ::fcntl(com1.Master(), F_SETFL, O_NONBLOCK);
    form->EdCmdLn->SetText("");
    form->BtnOpen->OperatorClick();
    ASSERT_TRUE(form->VaComm->IsOpen()) << ::testing::PrintToString(ws.Messages());
    form->EdCmdLn->OperatorKey('+');
    EXPECT_TRUE(DeviceGets("+"));
    form->BtnClose->OperatorClick();
    form->LogClear();
  }
}

// Only an error that says the device is gone closes the port; any other is
// shown and the port stays as it was.
TEST_F(SerialConsole, OnlyAGoneDeviceClosesThePortAfterItsMessage) {
  const struct {
    int code;
    bool closes;
  } cases[] = {{EIO, true}, {ENXIO, true}, {ENODEV, true}, {EAGAIN, false}, {EBUSY, false},
               {0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ws.ClearMessages();
    form->BtnOpen->OperatorClick();
    ASSERT_TRUE(form->VaComm->IsOpen()) << ::testing::PrintToString(ws.Messages());
    form->BtTransmit->OnClick = [&](TObject*) {
      throw EVaCommError("Write error (" + std::to_string(c.code) + ")", c.code);
    };
    form->BtTransmit->OperatorClick();
    ASSERT_EQ(ws.Messages().size(), 1u);
    EXPECT_EQ(form->VaComm->IsOpen(), !c.closes);
    EXPECT_EQ(Panel(6), c.closes ? " Com-порт не выбран" : " Com-порт 1 [активен]");
    EXPECT_EQ(form->ChBxDTR->Checked(), !c.closes);
    form->BtnClose->OperatorClick();
  }
}

TEST_F(SerialConsole, GarbageBurstsNeitherLoseNorForgeNorRepeatAnswers) {
  OpenPacketMode(true);
  // Noise is any byte, start bytes included: one can begin a false frame,
  // which holds the parser until it fails its CRC or its length, or passes
  // its CRC by chance, which no receiver could tell from a real frame. What
  // the console answers for a burst is what the framing rule makes of it;
  // requests after the line has fallen quiet are all answered.
  std::mt19937 rng(7);
  auto noise = [&](std::size_t n) {
    std::string g(n, '\0');
    for (auto& c : g) c = static_cast<char>(rng());
    return g;
  };
  std::string expected;
  int id = 0, inside = 0, inside_answered = 0;
  auto request = [&] {
    const int first = id++ % 200 + 0x20;
    return std::make_pair(Frame({first, 1 + (id & 1)}), Frame({first, 1 + (id & 1)}));
  };
  for (int burst = 0; burst < 10; ++burst) {
    SCOPED_TRACE("burst " + std::to_string(burst));
    const auto in_noise = request();
    const std::string bytes = noise(4000) + in_noise.first + noise(6000);
    ASSERT_NE(bytes.find('\x1E'), std::string::npos);
    ReceiverModel model;
    model.Feed(bytes);
    model.Quiet();
    for (const std::string& ack : model.Acks()) expected += ack;
    ++inside;
    inside_answered +=
        static_cast<int>(std::count(model.Acks().begin(), model.Acks().end(), in_noise.second));
    // The line stays busy while the burst arrives, then falls quiet.
    form->SysTimer->SetEnabled(false);
    form->LogClear();
    Send(bytes);
    // Each read is a line of "Rx- ", three characters a byte and CR LF.
    auto received = [&] {
      const std::string log = form->LogText();
      std::size_t reads = 0;
      for (std::size_t at = log.find("Rx- "); at != std::string::npos;
           at = log.find("Rx- ", at + 1))
        ++reads;
      return (log.size() - 6 * reads) / 3;
    };
    ASSERT_TRUE(ws.RunUntil(
        [&] {
          Gather();
          return received() == bytes.size();
        },
        10000));
    form->SysTimer->SetEnabled(true);
    ASSERT_TRUE(ws.RunUntil(
        [&] {
          Gather();
          return RxParsePos == RxAccumulatorCount && RxQuietTicks == 0;
        },
        10000));
    for (int r = 0; r < 3; ++r) {
      const auto after = request();
      expected += after.second;
      Send(after.first);
    }
    ASSERT_TRUE(ws.RunUntil(
        [&] {
          Gather();
          return device.size() >= expected.size();
        },
        10000));
    ASSERT_EQ(device, expected);
  }
  ws.RunUntil(
      [&] {
        Gather();
        return false;
      },
      200);
  EXPECT_EQ(device, expected) << "nothing more";
  EXPECT_GT(inside_answered, inside / 2) << "most requests inside noise get through";
  EXPECT_TRUE(ws.Messages().empty());
}

TEST_F(SerialConsole, AFrameLeftIncompleteOnAClosedLineCostsNoSteps) {
  // With the port closed the line cannot fall quiet, so the frame stays
  // held; a responder that kept stepping would wake the window every
  // millisecond for nothing.
  RxQuietTicks = 10;
  StoreReceived(std::string("\x1E\x02\x05", 3));
  ws.RunUntil([] { return false; }, 100);
  EXPECT_NE(RxParsePos, RxAccumulatorCount);
  const double cpu0 = ProcessCpuSeconds();
  ws.RunUntil([] { return false; }, 1000);
  EXPECT_LT(ProcessCpuSeconds() - cpu0, 0.03 * kCpuScale);

  // Opened in packet mode the line falls quiet, the frame is given up, and
  // the next request is answered.
  form->ChBxTreat->SetChecked(true);
  form->RButPack->OperatorClick();
  ASSERT_TRUE(form->VaComm->IsOpen());
  EXPECT_TRUE(ws.RunUntil([] { return RxParsePos == RxAccumulatorCount; }, 5000));
  Send(Frame({0x05, 0x01}));
  EXPECT_TRUE(ws.RunUntil(
      [&] {
        Gather();
        return device.size() >= 5;
      },
      5000));
  EXPECT_EQ(device, Frame({0x05, 0x01}));
}

}  // namespace
