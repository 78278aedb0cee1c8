// The console against the simulated device, both real: the simulator runs as
// its own process on a pseudo-terminal and over loopback UDP, the console's
// window on the headless window system in this process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "app/fBase.h"
#include "controls/Headless.h"
#include "tests/net/NetTestSupport.h"
#include "tools/devsim/DevsimProcess.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

class DevsimConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWindowSystem(&ws);
    form = std::make_unique<TBaseform>(nullptr);
    form->Show();
  }
  void TearDown() override {
    form.reset();
    SetWindowSystem(nullptr);
    ::unsetenv("TORIN5_PORTS");
  }
  long long Value(DevsimProcess& sim, const char* line, const char* key) {
    return ReportValue(sim.Output(), line, key).value_or(-1);
  }
  // Runs the window until cond holds; the loop sleeps until its next timer
  // or message, so the condition is looked at every few milliseconds.
  bool Until(const std::function<bool()>& cond, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ws.RunUntil(cond, 5)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
    }
    return true;
  }
  bool PaneHas(const std::string& text) {
    return Until([&] { return form->LogText().find(text) != std::string::npos; }, 8000);
  }
  THeadlessWindowSystem ws;
  std::unique_ptr<TBaseform> form;
};

TEST_F(DevsimConsole, EveryRequestOfKindOneAndTwoIsAnsweredAndNothingElse) {
  char dir[] = "/tmp/torin5-e2e-XXXXXX";
  ASSERT_TRUE(::mkdtemp(dir));
  struct RemoveLater {
    const char* dir;
    ~RemoveLater() { ::rmdir(dir); }
  } remove_later{dir};
  {
    DevsimProcess sim(T5_DEVSIM_PATH, {"--ports", dir, "--packets", "--seconds", "5"});
    ASSERT_TRUE(sim.Started());
    const std::string com1 = std::string(dir) + "/COM1";
    ASSERT_TRUE(Until([&] { return Exists(com1); }, 5000)) << sim.Output();
    ::setenv("TORIN5_PORTS", dir, 1);

    form->ChBxTreat->OperatorClick();
    ASSERT_TRUE(form->ChBxTreat->Checked());
    form->RButPack->OperatorClick();
    ASSERT_TRUE(form->VaComm->IsOpen()) << ::testing::PrintToString(ws.Messages());

    ASSERT_TRUE(Until([&] { return sim.Exited(); }, 20000)) << sim.Output();
    const std::string& out = sim.Output();
    EXPECT_EQ(sim.ExitStatus(), 0) << out;
    const long long expected = Value(sim, "acks:", "expected");
    EXPECT_GT(expected, 400) << "about 160 requests a second for 5 s\n" << out;
    EXPECT_EQ(Value(sim, "acks:", "correct"), expected) << out;
    EXPECT_EQ(Value(sim, "acks:", "missing"), 0) << out;
    EXPECT_EQ(Value(sim, "acks:", "wrong"), 0) << out;
    EXPECT_EQ(Value(sim, "acks:", "stray"), 0) << out;
    // The traffic had the frames that must stay unanswered.
    for (const char* kind : {"kind3", "empty", "onebyte", "corrupted", "garbage"}) {
      EXPECT_GT(Value(sim, "packets:", kind), 0) << kind << "\n" << out;
    }
    EXPECT_FALSE(Exists(com1)) << "the simulator takes its port away";
    EXPECT_NE(form->LogText().find("Rx- 1E 02 "), std::string::npos);
  }
  EXPECT_TRUE(Exists(dir)) << "a directory it was given stays";
}

TEST_F(DevsimConsole, TextAndUdpSidesReachEachOther) {
  const int port = nettest::FreePort();
  ASSERT_GT(port, 0);
  form->EdPort->SetText(std::to_string(port));
  form->ChBxActiv->OperatorClick();
  ASSERT_TRUE(form->UDPServer->Active());

  DevsimProcess sim(T5_DEVSIM_PATH,
                    {"--udp", "127.0.0.1:" + std::to_string(port), "--seconds", "5"});
  std::optional<std::string> dir;
  ASSERT_TRUE(
      Until([&] { return (dir = OutputLine(sim.Output(), "TORIN5_PORTS=")).has_value(); }, 5000))
      << sim.Output();
  ::setenv("TORIN5_PORTS", dir->c_str(), 1);
  form->BtnOpen->OperatorClick();
  ASSERT_TRUE(form->VaComm->IsOpen()) << ::testing::PrintToString(ws.Messages());

  // Serial: a command line and its reply, and the device's own status line.
  form->EdCmdLn->SetText("status?");
  form->EdCmdLn->OperatorKey('\r');
  EXPECT_TRUE(PaneHas("OK status?\r\n")) << form->LogText();
  EXPECT_TRUE(PaneHas("STATUS device ready")) << form->LogText();
  // UDP: the device's datagrams are shown, SSI lines stamped; the command
  // line goes back to the device, whose address the first datagram set.
  EXPECT_TRUE(PaneHas("devsim 0 hello")) << form->LogText();
  EXPECT_TRUE(PaneHas("SSI 1 level 42\r\n")) << form->LogText();
  EXPECT_EQ(form->edtHost->Text(), "127.0.0.1");
  form->EdCmdLn->SetText("over udp");
  form->BtnETX->OperatorClick();

  ASSERT_TRUE(Until([&] { return sim.Exited(); }, 20000)) << sim.Output();
  const std::string& out = sim.Output();
  EXPECT_EQ(sim.ExitStatus(), 0) << out;
  EXPECT_TRUE(OutputLine(out, "serial: command \"status?\"")) << out;
  EXPECT_EQ(Value(sim, "serial:", "commands"), 1) << out;
  EXPECT_GE(Value(sim, "serial:", "status"), 1) << out;
  EXPECT_TRUE(OutputLine(out, "udp: from 127.0.0.1:" + std::to_string(port) + " \"over udp\\r\""))
      << out;
  const long long sent = Value(sim, "udp:", "sent");
  EXPECT_GE(sent, 8) << out;
  EXPECT_EQ(Value(sim, "udp:", "lf_answers"), sent) << "every datagram answered with one LF\n"
                                                    << out;
  EXPECT_EQ(Value(sim, "udp:", "other"), 1) << out;
  EXPECT_FALSE(Exists(*dir)) << "the directory it made is gone";
}

}  // namespace
