// The component on the Win32 device against a real line: COM1 is a
// pseudo-terminal whose other end the driver that started this program
// plays. The two sides keep step through this program's output lines and
// the bytes on the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "../SerialTestSupport.h"

namespace {

constexpr int kRate = 19200;
constexpr char kQuit = 'Q';  // the driver's last byte, after its pings

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string AllBytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

std::string OpenError(TVaComm& comm) {
  try {
    comm.Open();
  } catch (const EVaCommError& e) {
    return e.what();
  }
  return "(nothing raised)";
}

TEST(ComLine, APortWithoutADeviceIsNamed) {
  TVaComm comm(nullptr);
  comm.SetPortNum(7);
  EXPECT_EQ(OpenError(comm), "Specified device not found (COM7).");
  EXPECT_FALSE(comm.IsOpen());
}

// A driver may take a rate it cannot run and keep its old one; the rate
// read back tells, and the open fails instead of talking garbage.
TEST(ComLine, ARateTheLineDoesNotTakeIsRefused) {
  TVaComm comm(nullptr);
  comm.SetPortNum(1);
  comm.SetUserBaudrate(56000);
  EXPECT_EQ(OpenError(comm), WithSystemText("Error writing dcb (87), ", 87));
  EXPECT_FALSE(comm.IsOpen());
}

// Without the background writer: the device takes the bytes itself, and
// the driver reads them before anything else.
TEST(ComLine, DirectWritesReachTheLine) {
  TVaComm comm(nullptr);
  comm.SetPortNum(1);
  comm.SetUserBaudrate(kRate);
  comm.SetDirectWrite(true);
  ASSERT_EQ(OpenError(comm), "(nothing raised)");
  const std::string text = "direct\r\n";
  EXPECT_EQ(comm.WriteBuf(text.data(), static_cast<std::int32_t>(text.size())),
            static_cast<std::int32_t>(text.size()));
  Say("DIRECT " + std::to_string(text.size()));
  // Closing discards what the line has not passed on yet: the driver's
  // answer says the bytes are through.
  char answer = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (answer != 'k' && std::chrono::steady_clock::now() < until) {
    if (comm.ReadBuf(&answer, 1) != 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(answer, 'k') << "the driver did not confirm the direct write";
  comm.Close();
}

TEST(ComLine, BytesGoBothWaysAtTheRateSet) {
  TVaComm comm(nullptr);
  comm.SetPortNum(1);
  comm.SetUserBaudrate(kRate);
  comm.SetMonitorEvents({ceError, ceRxChar, ceTxEmpty, ceRxFlag});
  enum { kCollect, kLeave, kEcho } mode = kCollect;
  std::string got;
  std::vector<int> leftCounts;
  bool quit = false;
  comm.OnRxChar = [&](TObject*, std::int32_t count) {
    if (mode == kLeave) {
      leftCounts.push_back(count);  // unread: they must be reported again
      return;
    }
    const std::string bytes = comm.ReadText();
    if (mode == kEcho) {
      quit = bytes.find(kQuit) != std::string::npos;
      if (!quit) comm.WriteText(bytes);
    } else {
      got += bytes;
    }
  };
  HookRecorder hook;
  ASSERT_EQ(OpenError(comm), "(nothing raised)");
  // What the console does at open; a line without modem control takes it.
  comm.SetDTR(true);
  comm.SetRTS(true);
  EXPECT_FALSE(comm.GetModemState(2));
  Say("OPEN " + std::to_string(kRate));

  // Device to program: every byte value, a zero byte and 0xFF among them.
  EXPECT_TRUE(PumpUntil([&] { return got.size() >= 256; }, 20s)) << got.size();
  EXPECT_EQ(got, AllBytes());

  // Program to device, through the background writer.
  mode = kLeave;
  const std::string all = AllBytes();
  ASSERT_TRUE(comm.WriteText(std::string(all.rbegin(), all.rend())));
  Say("SENT");

  // The driver sends three bytes next; left unread, they come again.
  EXPECT_TRUE(PumpUntil([&] { return leftCounts.size() >= 2; }, 20s));
  ASSERT_GE(leftCounts.size(), 1u);
  EXPECT_EQ(leftCounts.back(), 3);
  EXPECT_EQ(comm.ReadText(), "abc");

  mode = kEcho;
  Say("ECHO");
  EXPECT_TRUE(PumpUntil([&] { return quit; }, 60s));

  // Idle with the port open: the monitor and the writer wait, the main
  // thread sleeps. A figure for the record, not a bound.
  const double cpu = ProcessCpuSeconds();
  const auto start = SteadyClock::now();
  std::this_thread::sleep_for(2s);
  const double wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
  const double share = std::max(0.0, ProcessCpuSeconds() - cpu) / wall;
  Say("idle with the port open: " + std::to_string(100 * share) + "% of one core");

  comm.Close();
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_TRUE(hook.Messages().empty()) << hook.Messages().front();
  Say("DONE");
}

}  // namespace
