// The component against real pseudo-terminals published as COM1.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <random>
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

std::string RandomBytes(std::size_t n) {
  std::mt19937 gen(12345);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// Reads n bytes from fd, giving up after the time-out.
std::string ReadFully(int fd, std::size_t n, std::chrono::seconds timeout) {
  std::string out;
  const auto deadline = SteadyClock::now() + timeout;
  char buf[65536];
  while (out.size() < n && SteadyClock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

void WriteFully(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t r =
        ::write(fd, data.data() + done, std::min<std::size_t>(4096, data.size() - done));
    if (r <= 0) return;
    done += static_cast<std::size_t>(r);
  }
}

class VaCommPty : public ::testing::Test {
 protected:
  void SetUp() override {
    comm.SetPortNum(1);
    comm.SetUserBaudrate(115200);
  }
  PtyLine line;
  TVaComm comm{nullptr};
};

TEST_F(VaCommPty, OpensRawAtAnyRateAndTreatsLinesAsAbsent) {
  comm.Open();
  EXPECT_EQ(LineSpeed(line.Slave()), 115200u);
  EXPECT_TRUE(LineIsRaw(line.Slave()));
  // A pseudo-terminal has no modem lines: switching works, inputs read off.
  comm.SetDTR(true);
  comm.SetRTS(true);
  for (int l = 1; l <= 4; ++l) EXPECT_FALSE(comm.GetModemState(l));
  comm.Close();

  comm.SetUserBaudrate(921600);
  comm.Open();
  EXPECT_EQ(LineSpeed(line.Slave()), 921600u);
  comm.SetBaudrate(br9600);
  EXPECT_EQ(LineSpeed(line.Slave()), 9600u);
  // Settings termios cannot express are refused with EINVAL.
  EXPECT_EQ(Message([&] { comm.SetStopbits(sb15); }), "Error writing dcb (22), Invalid argument");
}

TEST_F(VaCommPty, MegabyteEachWayByteExact) {
  const std::size_t total = 1 << 20;
  const std::string data = RandomBytes(total);

  std::string received;
  comm.OnRxChar = [&](TObject*, std::int32_t) { received += comm.ReadText(); };
  bool empty = true;
  comm.OnTxEmpty = [&](TObject*) { empty = true; };
  comm.SetUserBaudrate(921600);
  comm.Open();

  std::thread device_writer([&] { WriteFully(line.Master(), data); });
  EXPECT_TRUE(PumpUntil([&] { return received.size() >= total; }, 60000ms));
  device_writer.join();
  EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";

  std::string at_device;
  std::thread device_reader([&] { at_device = ReadFully(line.Master(), total, 60s); });
  std::size_t sent = 0;
  const auto deadline = SteadyClock::now() + 60s;
  while (sent < total && SteadyClock::now() < deadline) {
    if (!empty) {
      CheckSynchronize(5);
      continue;
    }
    empty = false;
    const std::size_t n = std::min<std::size_t>(2048, total - sent);
    ASSERT_TRUE(comm.WriteText(data.substr(sent, n)));
    sent += n;
  }
  device_reader.join();
  EXPECT_TRUE(at_device == data) << "device got " << at_device.size() << " bytes";
}

TEST_F(VaCommPty, DirectWriteWithTxEmptyInTheMask) {
  int empties = 0;
  comm.OnTxEmpty = [&](TObject*) { ++empties; };
  comm.SetDirectWrite(true);
  comm.SetMonitorEvents({ceTxEmpty});
  comm.Open();
  EXPECT_EQ(comm.EventMask(), EV_TXEMPTY);
  EXPECT_EQ(comm.WriteBuf("direct", 6), 6);
  EXPECT_EQ(ReadFully(line.Master(), 6, 5s), "direct");
  EXPECT_TRUE(PumpUntil([&] { return empties == 1; }));
  PumpFor(50ms);
  EXPECT_EQ(empties, 1);
}

TEST_F(VaCommPty, OpenFailuresNameTheDevice) {
  comm.Open();
  TVaComm second(nullptr);
  second.SetPortNum(1);
  EXPECT_EQ(Message([&] { second.Open(); }),
            "Can't open specified device COM1 (Error 16, Device or resource busy)");
  EXPECT_FALSE(second.IsOpen());
  comm.Close();
  second.Open();  // free again once the first lets go
  EXPECT_TRUE(second.IsOpen());
  second.Close();

  comm.SetPortNum(7);
  EXPECT_EQ(Message([&] { comm.Open(); }), "Specified device not found (COM7).");
  comm.SetDeviceName("/nonexistent/tty%d");
  EXPECT_EQ(Message([&] { comm.Open(); }), "Specified device not found (/nonexistent/tty7).");
}

TEST_F(VaCommPty, UnreadBytesAreReportedAgainAtThePollsPaceWithoutSpinning) {
  std::vector<int> counts;
  comm.OnRxChar = [&](TObject*, std::int32_t n) { counts.push_back(n); };  // reads nothing
  comm.Open();
  ASSERT_EQ(::write(line.Master(), "0123456789", 10), 10);
  ASSERT_TRUE(PumpUntil([&] { return !counts.empty(); }));

  const double cpu = ProcessCpuSeconds();
  PumpFor(1000ms);
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.05);
  EXPECT_GE(counts.size(), 2u);
  EXPECT_LE(counts.size(), 150u) << "reported faster than the line poll";
  EXPECT_EQ(std::count(counts.begin(), counts.end(), 10), static_cast<long>(counts.size()));

  // New bytes raise it at once, with everything that is waiting.
  ASSERT_EQ(::write(line.Master(), "ab", 2), 2);
  ASSERT_TRUE(PumpUntil([&] { return counts.back() == 12; }));
  EXPECT_EQ(comm.ReadText(), "0123456789ab");
}

TEST_F(VaCommPty, DeviceGoneIsReportedWithoutSpinningAndComesBack) {
  HookRecorder hook;
  std::string received;
  comm.OnRxChar = [&](TObject*, std::int32_t) { received += comm.ReadText(); };
  comm.Open();
  line.CloseMaster();
  // The monitor reports the hang-up once; the statistics read then fails.
  ASSERT_TRUE(PumpUntil([&] { return hook.Count() >= 1; }));
  EXPECT_EQ(hook.Messages()[0], "Error retrieving statistics (5), Input/output error");

  const double cpu = ProcessCpuSeconds();
  PumpFor(1000ms);
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.05);
  EXPECT_EQ(hook.Count(), 1u);

  // The writer finds out on its next write and refuses the ones after it.
  EXPECT_TRUE(comm.WriteText("x"));
  std::string refusal;
  EXPECT_TRUE(PumpUntil([&] {
    refusal = Message([&] { comm.WriteText("y"); });
    return refusal != "(nothing raised)";
  }));
  EXPECT_EQ(refusal, "Write error (5), Input/output error");
  EXPECT_THROW(comm.GetModemState(2), EVaCommError);
  // The writer's own report of the failure is the same failure: no second box.
  PumpFor(200ms);
  EXPECT_EQ(hook.Count(), 1u);

  comm.Close();
  EXPECT_FALSE(comm.IsOpen());

  line.Replace();
  comm.Open();
  ASSERT_EQ(::write(line.Master(), "back", 4), 4);
  EXPECT_TRUE(PumpUntil([&] { return received == "back"; }));
  // Gone again after the reopen: a new failure, reported again.
  line.CloseMaster();
  EXPECT_TRUE(PumpUntil([&] { return hook.Count() == 2; }));
}

}  // namespace
