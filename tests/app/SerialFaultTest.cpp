// The console against a device that misbehaves: it vanishes while open, or
// floods the line with garbage between its requests.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "tests/app/SerialConsoleFixture.h"
#include "tests/serial/SerialTestSupport.h"

namespace {

using namespace serialtest;

// A sanitizer makes every instruction dearer; a spinning thread still shows
// as most of a core.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kCpuScale = 4;
#else
constexpr double kCpuScale = 1;
#endif

TEST_F(SerialConsole, AVanishedDeviceIsReportedOncePerEpisodeInEveryMode) {
  struct Case {
    const char* name;
    bool packet;
    bool long_write;
  };
  const Case cases[] = {
      {"text mode", false, false},
      {"packet mode with Treat", true, false},
      {"during a long write", false, true},
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
    }
    ws.RunUntil([&] { return !ws.Messages().empty(); }, 5000);
    const double cpu0 = ProcessCpuSeconds();
    ws.RunUntil([] { return false; }, 1000);  // two hundred status ticks
    const double cpu = ProcessCpuSeconds() - cpu0;
    EXPECT_EQ(ws.Messages().size(), 1u) << ::testing::PrintToString(ws.Messages());
    EXPECT_LT(cpu, 0.05 * kCpuScale) << "no thread may spin on a gone device";
    EXPECT_TRUE(form->SysTimer->Enabled());

    form->BtnClose->OperatorClick();
    EXPECT_FALSE(form->VaComm->IsOpen());
    EXPECT_EQ(Panel(6), " Com-порт не выбран");
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

TEST_F(SerialConsole, GarbageBurstsNeitherLoseNorForgeNorRepeatAnswers) {
  OpenPacketMode(true);
  std::mt19937 rng(7);
  auto garbage = [&](std::size_t n) {
    // Anything but a start byte: one inside garbage can begin a false frame
    // that passes its CRC by chance, which no receiver could tell apart.
    std::string g(n, '\0');
    for (auto& c : g) {
      do c = static_cast<char>(rng());
      while (static_cast<std::uint8_t>(c) == kPacketStart);
    }
    return g;
  };
  std::set<std::string> may;  // requests inside a burst: the ring may lose them
  std::vector<std::string> must;
  std::string answered;
  int id = 0;
  auto request = [&] {
    const int first = id++ % 200 + 0x20;
    return std::make_pair(Frame({first, 1 + (id & 1)}), Frame({first, 1 + (id & 1)}));
  };
  for (int burst = 0; burst < 10; ++burst) {
    std::string bytes = garbage(4000);
    const auto inside = request();
    may.insert(inside.second);
    bytes += inside.first + garbage(6000);
    Send(bytes);
    // Once the line has been quiet and the ring is read, requests that follow
    // are answered, each once.
    ASSERT_TRUE(ws.RunUntil(
        [&] {
          Gather();
          return RxParsePos == RxAccumulatorCount && RxQuietTicks == 0;
        },
        10000));
    for (int r = 0; r < 3; ++r) {
      const auto after = request();
      must.push_back(after.second);
      Send(after.first);
    }
    ASSERT_TRUE(ws.RunUntil(
        [&] {
          Gather();
          return device.size() >= 5 && device.substr(device.size() - 5) == must.back();
        },
        10000))
        << "burst " << burst;
  }
  ws.RunUntil(
      [&] {
        Gather();
        return false;
      },
      200);
  // Every answer is a correct acknowledgement of something sent, in order.
  std::size_t next_must = 0;
  for (std::size_t at = 0; at < device.size(); at += 5) {
    const std::string ack = device.substr(at, 5);
    if (next_must < must.size() && ack == must[next_must]) {
      ++next_must;
    } else {
      EXPECT_EQ(may.erase(ack), 1u) << "an answer nobody asked for, or one given twice";
    }
  }
  EXPECT_EQ(device.size() % 5, 0u);
  EXPECT_EQ(next_must, must.size()) << "a request after a quiet line went unanswered";
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
