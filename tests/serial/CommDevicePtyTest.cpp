// The Linux device under the component, on pseudo-terminals: what it reads
// back, leaves behind and asks the driver, counted through its calls. A pty
// has no modem lines or counters; the calls below stand in for a driver's.
#include <asm/termbits.h>  // termios2; must not meet <termios.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "PtyLine.h"
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

// Passes every call to the system and counts it; on request answers the
// modem-line and counter calls as a driver with those would, or reports
// another rate than the one applied.
class ScriptedCalls : public CommDeviceCalls {
 public:
  std::atomic<bool> has_lines{false}, has_counters{false};
  std::atomic<int> lines{0};
  // When set, reads of the settings report this rate code and speed.
  std::atomic<tcflag_t> reported_code{0};
  std::atomic<speed_t> reported_speed{0};

  int Count(unsigned long request) {
    std::lock_guard guard(lock_);
    return counts_[request];
  }
  void Bump(int serial_icounter_struct::*counter) {
    std::lock_guard guard(lock_);
    ++(counters_.*counter);
  }
  // "flush-output" and "close" in the order they happened.
  std::vector<std::string> Log() {
    std::lock_guard guard(lock_);
    return log_;
  }

  int Ioctl(int fd, unsigned long request, void* arg) override {
    {
      std::lock_guard guard(lock_);
      ++counts_[request];
      if (request == TCFLSH && reinterpret_cast<std::intptr_t>(arg) == TCOFLUSH) {
        log_.push_back("flush-output");
      }
      if (request == TIOCGICOUNT && has_counters) {
        *static_cast<serial_icounter_struct*>(arg) = counters_;
        return 0;
      }
    }
    if (request == TIOCMGET && has_lines) {
      *static_cast<int*>(arg) = lines.load();
      return 0;
    }
    const int r = CommDeviceCalls::Ioctl(fd, request, arg);
    if (r == 0 && request == TCGETS2 && reported_code.load() != 0) {
      auto* t = static_cast<termios2*>(arg);
      t->c_cflag = (t->c_cflag & ~CBAUD) | reported_code.load();
      t->c_ospeed = t->c_ispeed = reported_speed.load();
    }
    return r;
  }
  int Close(int fd) override {
    {
      std::lock_guard guard(lock_);
      log_.push_back("close");
    }
    return CommDeviceCalls::Close(fd);
  }

 private:
  std::mutex lock_;
  std::map<unsigned long, int> counts_;
  serial_icounter_struct counters_{};
  std::vector<std::string> log_;
};

class ScriptedComm : public TVaComm {
 public:
  ScriptedComm() : TVaComm(nullptr) {}
  std::shared_ptr<ScriptedCalls> calls = std::make_shared<ScriptedCalls>();

 protected:
  std::shared_ptr<CommDevice> CreateHandle() override {
    return OpenCommDevice(DevicePath(), calls);
  }
};

class CommDevicePty : public ::testing::Test {
 protected:
  void SetUp() override {
    comm.SetPortNum(1);
    comm.SetUserBaudrate(115200);
  }
  PtyLine line;
  ScriptedComm comm;
};

termios2 Settings(int fd) {
  termios2 t{};
  ::ioctl(fd, TCGETS2, &t);
  return t;
}

TEST(LineRate, AcceptedWithinThreePercentOfTheRequest) {
  const struct {
    std::uint32_t requested, applied;
    bool accepted;
  } cases[] = {
      {9600, 9600, true},      {115200, 118656, true},
      {115200, 118657, false}, {115200, 111744, true},
      {115200, 111743, false}, {921600, 115200, false},
      {460800, 921600, false}, {1200, 0, false},
      {250000, 250000, true},  {4000000000u, 4000000000u, true},
      {0xFFFFFFFFu, 0, false}, {0, 0, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LineRateAccepted(c.requested, c.applied), c.accepted)
        << c.requested << " applied as " << c.applied;
  }
}

TEST_F(CommDevicePty, RateTheLineDidNotTakeIsRefused) {
  // What the driver reports after the rate was applied: code and speed.
  const struct {
    tcflag_t code;
    speed_t speed;
    const char* raised;
  } cases[] = {
      {0, 0, "(nothing raised)"},                                    // the pty as it is
      {BOTHER, 115200, "Error writing dcb (22), Invalid argument"},  // clamped
      {B9600, 9600, "Error writing dcb (22), Invalid argument"},     // old settings back
      {B921600, 0, "(nothing raised)"},  // a standard code without its speed
      {B115200, 921600, "Error writing dcb (22), Invalid argument"},
      {BOTHER, 926000, "(nothing raised)"},  // an inexact clock, well within a frame
  };
  for (const auto& c : cases) {
    comm.calls->reported_code = c.code;
    comm.calls->reported_speed = c.speed;
    comm.SetUserBaudrate(921600);
    EXPECT_EQ(Message([&] { comm.Open(); }), c.raised) << c.code << "/" << c.speed;
    comm.Close();
  }
}

TEST_F(CommDevicePty, CloseDiscardsOutputTheLineDidNotTake) {
  // The device side reads nothing: the line fills and its output stays queued.
  comm.SetDirectWrite(true);
  comm.Buffers()->SetReadTimeout(50);
  comm.Open();
  const std::string block(4096, 'x');
  std::size_t taken = 0;
  while (comm.WriteBuf(block.data(), 4096) == 4096) taken += 4096;
  ASSERT_GT(taken, 0u);
  comm.Close();
  EXPECT_EQ(comm.calls->Log(), (std::vector<std::string>{"flush-output", "close"}));
}

TEST_F(CommDevicePty, OpenLeavesTheLineEightBitCleanWithoutTheBlock) {
  // Left over from an earlier user, or a fresh tty's IXON.
  termios2 t = Settings(line.Slave());
  t.c_iflag |= IXON | IXOFF | IXANY | ISTRIP | INPCK | ICRNL | INLCR;
  ASSERT_EQ(::ioctl(line.Slave(), TCSETS2, &t), 0);
  std::string received;
  comm.OnRxChar = [&](TObject*, std::int32_t) { received += comm.ReadText(); };
  comm.SetUpdateDCB(false);
  comm.Open();
  EXPECT_TRUE(LineIsRaw(line.Slave()));
  const std::string bytes = {'\x11', 'a', '\x13', 'b', '\r', '\n', '\xff', '\x80'};
  ASSERT_EQ(::write(line.Master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  EXPECT_TRUE(PumpUntil([&] { return received.size() >= bytes.size(); }, 2000ms));
  EXPECT_EQ(received, bytes);
  comm.Close();

  // Software flow control only when the block asks for it.
  comm.SetUpdateDCB(true);
  comm.FlowControl()->SetXonXoffOut(true);
  comm.Open();
  EXPECT_EQ(Settings(line.Slave()).c_iflag & (IXON | IXOFF), tcflag_t{IXON});
}

TEST_F(CommDevicePty, ModemStatusReadsOfOneTickShareOneLineRead) {
  comm.calls->has_lines = true;
  comm.calls->lines = TIOCM_DSR | TIOCM_CAR;
  comm.Open();
  const int before = comm.calls->Count(TIOCMGET);
  // The console's order: DSR, CTS, RING, DCD.
  EXPECT_TRUE(comm.GetModemState(2));
  EXPECT_FALSE(comm.GetModemState(1));
  EXPECT_FALSE(comm.GetModemState(3));
  EXPECT_TRUE(comm.GetModemState(4));
  EXPECT_EQ(comm.calls->Count(TIOCMGET) - before, 1);

  // A change is seen once the read has aged.
  comm.calls->lines = TIOCM_CTS;
  EXPECT_TRUE(PumpUntil([&] { return comm.GetModemState(1); }, 1000ms));
  EXPECT_FALSE(comm.GetModemState(2));
}

TEST_F(CommDevicePty, LineChangesComeFromTheDriversCountersWhereItKeepsThem) {
  for (const bool counters : {true, false}) {
    SCOPED_TRACE(counters ? "driver with counters" : "driver without counters");
    int cts = 0, ring = 0, dsr = 0;
    comm.OnCts = [&](TObject*) { ++cts; };
    comm.OnRing = [&](TObject*) { ++ring; };
    comm.OnDsr = [&](TObject*) { ++dsr; };
    comm.calls->has_lines = true;
    comm.calls->has_counters = counters;
    comm.calls->lines = 0;
    comm.SetMonitorEvents({ceCts, ceDsr, ceRing, ceRlsd, ceRxChar});
    comm.Open();
    const int reads = comm.calls->Count(TIOCMGET);
    const int polls = comm.calls->Count(TIOCGICOUNT);
    // Let the monitor poll a few times with nothing changing.
    ASSERT_TRUE(PumpUntil([&] {
      return comm.calls->Count(counters ? TIOCGICOUNT : TIOCMGET) - (counters ? polls : reads) >= 5;
    }));
    if (counters) {
      EXPECT_EQ(comm.calls->Count(TIOCMGET), reads);
    }

    comm.calls->lines = TIOCM_CTS;
    if (counters) comm.calls->Bump(&serial_icounter_struct::cts);
    EXPECT_TRUE(PumpUntil([&] { return cts == 1; }));
    if (counters) {
      // A ring between two polls: the lines read the same before and after.
      comm.calls->Bump(&serial_icounter_struct::rng);
      comm.calls->Bump(&serial_icounter_struct::rng);
      EXPECT_TRUE(PumpUntil([&] { return ring == 1; }));
      EXPECT_EQ(comm.calls->Count(TIOCMGET), reads);
    }
    PumpFor(50ms);
    EXPECT_EQ(cts, 1);
    EXPECT_EQ(dsr, 0);
    comm.Close();
  }
}

// Writes data to fd as it takes it, until all is written or the deadline.
std::size_t WriteWithin(int fd, const std::string& data, SteadyClock::time_point deadline) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::size_t done = 0;
  while (done < data.size() && SteadyClock::now() < deadline) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const ssize_t r =
        ::write(fd, data.data() + done, std::min<std::size_t>(1024, data.size() - done));
    if (r > 0) done += static_cast<std::size_t>(r);
  }
  return done;
}

TEST_F(CommDevicePty, FullInputQueueDoesNotStallReception) {
  std::string data(32768, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::string received;
  std::vector<int> counts;
  bool reading = false;
  comm.OnRxChar = [&](TObject*, std::int32_t n) {
    counts.push_back(n);
    if (reading) received += comm.ReadText();
  };
  comm.Open();
  std::atomic<std::size_t> sent{0};
  std::jthread device([&] { sent = WriteWithin(line.Master(), data, SteadyClock::now() + 20s); });

  // The handler leaves everything until the input queue is full and the line
  // stops; the bytes waiting keep being reported, at the poll's pace.
  ASSERT_TRUE(PumpUntil([&] { return !counts.empty() && counts.back() >= 4000; }));
  const std::size_t reports = counts.size();
  const double cpu = ProcessCpuSeconds();
  PumpFor(500ms);
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.1);
  EXPECT_GE(counts.size(), reports + 2);
  EXPECT_LE(counts.size(), reports + 100) << "reports faster than the line poll";

  reading = true;
  EXPECT_TRUE(PumpUntil([&] { return received.size() >= data.size(); }, 20000ms));
  device.join();
  EXPECT_EQ(sent.load(), data.size());
  EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

}  // namespace
