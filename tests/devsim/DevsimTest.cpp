// The simulator's pieces: its command line, its traffic and the checker that
// decides whether the console answered correctly.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "packet/Util.h"
#include "tools/devsim/AckChecker.h"
#include "tools/devsim/DevsimProcess.h"
#include "tools/devsim/Options.h"
#include "tools/devsim/Traffic.h"

namespace {

TEST(DevsimOptions, CommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string error;  // a part of the message; empty: accepted
    DevsimOptions want;
  };
  const auto with = [](auto change) {
    DevsimOptions o;
    change(o);
    return o;
  };
  const Case cases[] = {
      {{}, "", DevsimOptions{}},
      {{"--packets", "--rate", "500", "--seconds", "30"}, "", with([](DevsimOptions& o) {
         o.packets = true;
         o.rate = 500;
         o.seconds = 30;
       })},
      {{"--ports=/tmp/p", "--com=16", "--udp", "localhost:50000"}, "", with([](DevsimOptions& o) {
         o.ports_dir = "/tmp/p";
         o.com = 16;
         o.udp_host = "127.0.0.1";
         o.udp_port = 50000;
       })},
      {{"-h"}, "", with([](DevsimOptions& o) { o.help = true; })},
      {{"--packets", "--burst", "300"}, "", with([](DevsimOptions& o) {
         o.packets = true;
         o.burst = 300;
       })},
      {{"--packets", "--back-to-back"}, "", with([](DevsimOptions& o) {
         o.packets = true;
         o.back_to_back = true;
       })},
      {{"--burst", "0"}, "--burst: '0' is not a whole number from 1 to 100000", {}},
      {{"--burst=5", "--back-to-back"}, "exclude each other", {}},
      {{"--bogus"}, "unknown option '--bogus'", {}},
      {{"extra"}, "unexpected argument 'extra'", {}},
      {{"--com", "0"}, "--com: '0' is not a whole number from 1 to 16", {}},
      {{"--com", "17"}, "from 1 to 16", {}},
      {{"--rate", "12x"}, "--rate: '12x'", {}},
      {{"--rate", ""}, "--rate: ''", {}},
      {{"--seconds", "-1"}, "--seconds: '-1'", {}},
      {{"--seconds"}, "--seconds needs a value", {}},
      {{"--packets=yes"}, "--packets takes no value", {}},
      {{"--ports", ""}, "--ports: the directory name is empty", {}},
      {{"--udp", "127.0.0.1"}, "--udp: '127.0.0.1' is not HOST:PORT", {}},
      {{"--udp", "127.0.0.1:0"}, "--udp", {}},
      {{"--udp", "some.host:5000"}, "--udp", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParsedOptions p = ParseOptions(c.args);
    if (!c.error.empty()) {
      EXPECT_NE(p.error.find(c.error), std::string::npos) << p.error;
      EXPECT_EQ(p.error.find('\n'), std::string::npos) << "one line";
      continue;
    }
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.options.ports_dir, c.want.ports_dir);
    EXPECT_EQ(p.options.com, c.want.com);
    EXPECT_EQ(p.options.packets, c.want.packets);
    EXPECT_EQ(p.options.rate, c.want.rate);
    EXPECT_EQ(p.options.burst, c.want.burst);
    EXPECT_EQ(p.options.back_to_back, c.want.back_to_back);
    EXPECT_EQ(p.options.udp_host, c.want.udp_host);
    EXPECT_EQ(p.options.udp_port, c.want.udp_port);
    EXPECT_EQ(p.options.seconds, c.want.seconds);
    EXPECT_EQ(p.options.help, c.want.help);
  }
}

// The program itself: a bad command line is one line on stderr and status 2.
TEST(DevsimOptions, TheProgramRejectsABadCommandLineWithStatusTwo) {
  struct Case {
    const char* args;
    int status;
    const char* stdout_part;
    const char* stderr_part;
  };
  const Case cases[] = {
      {"--frobnicate", 2, "", "torin5-devsim: unknown option '--frobnicate'"},
      {"--rate fast", 2, "", "torin5-devsim: --rate: 'fast'"},
      {"--help", 0, "--packets", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const std::string err_file = ::testing::TempDir() + "devsim-stderr.txt";
    const std::string cmd = std::string(T5_DEVSIM_PATH) + " " + c.args + " 2>" + err_file;
    std::FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = ::pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    std::string err;
    if (std::FILE* f = std::fopen(err_file.c_str(), "r")) {
      for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) err.append(buf, n);
      std::fclose(f);
    }
    EXPECT_NE(out.find(c.stdout_part), std::string::npos) << out;
    EXPECT_NE(err.find(c.stderr_part), std::string::npos) << err;
    if (c.status == 2) {
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
  }
}

// SIGINT and SIGTERM end a run as its time would: the report, status 0, and
// the port map directory it made is gone.
TEST(DevsimProgram, ASignalEndsItCleanly) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    DevsimProcess sim(T5_DEVSIM_PATH, {});
    ASSERT_TRUE(sim.Started());
    std::optional<std::string> dir;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(dir = OutputLine(sim.Output(), "TORIN5_PORTS=")) &&
           std::chrono::steady_clock::now() < deadline) {
      ::usleep(5000);
    }
    ASSERT_TRUE(dir.has_value()) << sim.Output();
    EXPECT_EQ(::access((*dir + "/COM1").c_str(), F_OK), 0);
    sim.Signal(sig);
    while (!sim.Exited() && std::chrono::steady_clock::now() < deadline + std::chrono::seconds(5)) {
      ::usleep(5000);
    }
    ASSERT_TRUE(sim.Exited());
    EXPECT_EQ(sim.ExitStatus(), 0);
    EXPECT_EQ(ReportValue(sim.Output(), "serial:", "commands"), 0) << sim.Output();
    EXPECT_NE(::access(dir->c_str(), F_OK), 0) << "removed at the end";
  }
}

std::string Ack(int id, int kind) {
  return BuildFrame(std::string{static_cast<char>(id), static_cast<char>(kind)});
}

TEST(DevsimAcks, TheCheckerCountsEveryKindOfAnswer) {
  struct Case {
    const char* name;
    std::vector<std::array<int, 2>> requests;  // id and kind, in the order sent
    std::string answers;
    AckChecker::Summary want;  // expected, correct, missing, wrong, stray
  };
  const Case cases[] = {
      {"all answered in order", {{5, 1}, {6, 2}}, Ack(5, 1) + Ack(6, 2), {2, 2, 0, 0, 0}},
      {"one passed over", {{5, 1}, {6, 2}, {7, 1}}, Ack(5, 1) + Ack(7, 1), {3, 2, 1, 0, 0}},
      {"the last never comes", {{5, 1}, {6, 2}}, Ack(5, 1), {2, 1, 1, 0, 0}},
      {"the wrong kind", {{5, 1}}, Ack(5, 2), {1, 0, 1, 1, 0}},
      {"answered twice", {{5, 1}}, Ack(5, 1) + Ack(5, 1), {1, 1, 0, 1, 0}},
      {"an answer to an unanswerable frame", {}, Ack(9, 3), {0, 0, 0, 1, 0}},
      {"bytes around the answers",
       {{5, 1}, {6, 1}},
       std::string("\x00\x41", 2) + Ack(5, 1) + "\x7F" + Ack(6, 1),
       {2, 2, 0, 0, 3}},
      {"a broken CRC", {{5, 1}}, std::string("\x1E\x02\x05\x01\xC4"), {1, 0, 1, 0, 5}},
      {"cut short", {{5, 1}}, Ack(5, 1).substr(0, 3), {1, 0, 1, 0, 3}},
  };
  ASSERT_EQ(Ack(5, 1), std::string("\x1E\x02\x05\x01\xC3"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool bytewise : {false, true}) {
      AckChecker check;
      const auto t0 = AckChecker::Clock::now();
      for (const auto& r : c.requests) check.Expect(Ack(r[0], r[1]), t0);
      if (bytewise) {
        for (char b : c.answers) check.Received(std::string_view(&b, 1), t0);
      } else {
        check.Received(c.answers, t0);
      }
      check.Finish();
      const AckChecker::Summary s = check.Report();
      EXPECT_EQ(s.expected, c.want.expected);
      EXPECT_EQ(s.correct, c.want.correct);
      EXPECT_EQ(s.missing, c.want.missing);
      EXPECT_EQ(s.wrong, c.want.wrong);
      EXPECT_EQ(s.stray, c.want.stray);
      EXPECT_EQ(s.Clean(), c.want.missing + c.want.wrong + c.want.stray == 0);
    }
  }
}

TEST(DevsimAcks, LatencyPercentilesByNearestRank) {
  AckChecker check;
  const auto t0 = AckChecker::Clock::now();
  for (int i = 1; i <= 100; ++i) check.Expect(Ack(i, 1), t0);
  for (int i = 1; i <= 100; ++i) check.Received(Ack(i, 1), t0 + std::chrono::microseconds(i * 10));
  const AckChecker::Summary s = check.Report();
  EXPECT_EQ(s.correct, 100u);
  EXPECT_EQ(s.p50_us, 500u);
  EXPECT_EQ(s.p90_us, 900u);
  EXPECT_EQ(s.p99_us, 990u);
  EXPECT_EQ(s.max_us, 1000u);
}

// The traffic, run through the link's own parser as the console's responder
// takes it: each item yields exactly its own frame (garbage and the rest of a
// broken frame are skipped), and a request's expected answer is what its
// image calls for.
TEST(DevsimTraffic, TheParserFindsExactlyTheFramesMeant) {
  TrafficGenerator traffic(7);
  std::uint8_t ring[256] = {}, image[256] = {};
  std::uint8_t read = 0, write = 0;
  std::array<int, static_cast<int>(FrameKind::Count)> kinds{};
  int garbage = 0, start_in_garbage = 0;
  for (int i = 0; i < 5000; ++i) {
    const TrafficItem item = traffic.Next();
    ++kinds[static_cast<int>(item.kind)];
    garbage += item.garbage;
    if (item.garbage && item.bytes.substr(0, item.bytes.size() - item.frame_size).find('\x1E') !=
                            std::string::npos) {
      ++start_in_garbage;
    }
    for (char c : item.bytes) ring[write++] = static_cast<std::uint8_t>(c);
    std::vector<std::string> found;
    while (FindPacket(kPacketStart, read, write, ring, image, 1)) {
      found.push_back(BuildFrame({reinterpret_cast<const char*>(image + 1), image[0]}));
    }
    if (item.kind == FrameKind::Corrupted) {
      EXPECT_TRUE(found.empty());
      EXPECT_TRUE(item.expected_ack.empty());
      continue;
    }
    ASSERT_EQ(found.size(), 1u) << "item " << i << " " << FrameKindName(item.kind);
    const std::string& frame = found[0];
    ASSERT_LE(frame.size(), item.bytes.size());
    EXPECT_EQ(item.bytes.substr(item.bytes.size() - frame.size()), frame);
    EXPECT_EQ(item.garbage, item.bytes.size() > frame.size());
    const bool answerable = image[0] >= 2 && (image[2] == 1 || image[2] == 2);
    EXPECT_EQ(answerable, item.kind == FrameKind::Request1 || item.kind == FrameKind::Request2);
    EXPECT_EQ(item.expected_ack, answerable ? BuildFrame(frame.substr(2, 2)) : "");
  }
  for (int k = 0; k < static_cast<int>(FrameKind::Count); ++k) {
    EXPECT_GT(kinds[k], 0) << FrameKindName(static_cast<FrameKind>(k));
  }
  EXPECT_GT(kinds[0] + kinds[1], 5000 * 3 / 4) << "mostly requests";
  EXPECT_GT(garbage, 0);
  EXPECT_GT(start_in_garbage, 0) << "the receiver must resynchronise on real noise";
}

}  // namespace
