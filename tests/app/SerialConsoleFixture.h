// The console on the headless window system with two pseudo-terminals
// published as COM1 and COM2, and the device side's helpers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <string>

#include "packet/Util.h"
#include "packet/uThread.h"
#include "tests/app/ConsoleFixture.h"
#include "tests/serial/PtyLine.h"

namespace serialtest {

using Clock = std::chrono::steady_clock;

inline std::string Frame(std::initializer_list<int> payload) {
  std::string bytes;
  for (int b : payload) bytes += static_cast<char>(b);
  return BuildFrame(bytes);
}

class SerialConsole : public Console {
 protected:
  void SetUp() override {
    Console::SetUp();
    for (int fd : {com1.Master(), com2.Master()}) ::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  THeadlessPeerState& State(const TControl& c) { return *THeadlessWindowSystem::StateOf(c); }
  std::string Panel(int i) { return form->StatusBar->PanelText(i); }

  // What the device side has received so far, gathered while the window runs.
  void Gather(int master = -1) {
    char buf[4096];
    for (;;) {
      const long n = ::read(master < 0 ? com1.Master() : master, buf, sizeof buf);
      if (n <= 0) break;
      device.append(buf, static_cast<std::size_t>(n));
    }
  }
  bool DeviceGets(const std::string& expected, std::uint32_t ms = 5000) {
    ws.RunUntil(
        [&] {
          Gather();
          return device.size() >= expected.size();
        },
        ms);
    const bool same = device.substr(0, expected.size()) == expected;
    EXPECT_EQ(device, expected);
    device.clear();
    return same;
  }
  // Writes all of bytes to the line, running the window while the line is
  // full.
  void Send(const std::string& bytes) {
    std::size_t at = 0;
    ws.RunUntil(
        [&] {
          while (at < bytes.size()) {
            const long n = ::write(com1.Master(), bytes.data() + at, bytes.size() - at);
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
          }
          return true;
        },
        10000);
    ASSERT_EQ(at, bytes.size()) << "the line took no more";
  }
  bool PaneIs(const std::string& text, std::uint32_t ms = 5000) {
    ws.RunUntil([&] { return form->LogText() == text; }, ms);
    return form->LogText() == text;
  }
  // Packet mode on COM1 with "Treat" as given, once the responder has caught
  // up with whatever earlier traffic left in the ring.
  void OpenPacketMode(bool treat) {
    form->ChBxTreat->SetChecked(treat);
    form->RButPack->OperatorClick();
    ASSERT_TRUE(form->VaComm->IsOpen());
    ASSERT_TRUE(ws.RunUntil([] { return RxParsePos == RxAccumulatorCount; }, 5000));
    form->LogClear();
  }

  PtyLine com1;
  PtyLine com2{2, com1};
  std::string device;
};

}  // namespace serialtest
