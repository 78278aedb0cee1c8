// The Win32 device against a driver played through its system calls: what
// real drivers do and Wine's do not (waits that end with stray bits or
// fail, reads and writes the driver keeps, cancels that never end), and the
// timer resolution held while a port is open.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <thread>

// clang-format off
#include "SerialTestSupport.h"
#include "serial/CommDeviceWin32.h"
// clang-format on

namespace {

constexpr LONG kPending = 0x103;           // STATUS_PENDING
constexpr LONG kCancelled = 0xC0000120L;  // STATUS_CANCELLED
const HANDLE kPort = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7100));

// How the driver ends a comm-event wait.
enum class WaitEnd {
  Normal,            // pends until an event in the mask happens
  StrayAtOnce,       // completes at once with bits outside the mask only
  StrayLater,        // pends, then completes with bits outside the mask only
  Fails,             // fails at once with ERROR_GEN_FAILURE
  CancelledAtOnce,   // pends and is ended at once with ERROR_OPERATION_ABORTED
};

// How the driver treats a read it cannot answer at once.
enum class ReadEnd {
  AtOnce,         // answers with what has arrived, possibly nothing
  Late,           // keeps it and completes it 30 ms later with what has arrived
  TakenOnCancel,  // keeps it, takes the bytes into its own buffer, gives them at the cancel
  Hung,           // keeps it and never ends the cancel
};

enum class WriteEnd { AtOnce, Kept, Hung };

class FakeDriver : public Win32CommCalls {
 public:
  ~FakeDriver() override {
    for (auto& t : threads_) t.join();
  }

  // Scripts: the first waits end as `first` (count of them; -1: all), the
  // rest normally.
  void ScriptWaits(WaitEnd first, int count) {
    std::lock_guard guard(lock_);
    wait_end_ = first;
    scripted_waits_ = count;
  }
  std::atomic<ReadEnd> read_end{ReadEnd::AtOnce};
  std::atomic<WriteEnd> write_end{WriteEnd::AtOnce};
  std::atomic<bool> grant_timer_period{true};

  std::atomic<int> waits{0}, probes{0}, begin_periods{0}, end_periods{0}, closes{0};
  std::atomic<UINT> period_asked{0};

  void Receive(const std::string& bytes) {
    std::lock_guard guard(lock_);
    input_ += bytes;
    if (mask_ & EV_RXCHAR) {
      // As the system's drivers do, an event that finds no wait is kept
      // for the next one.
      if (wait_ov_) {
        EndWait(EV_RXCHAR, 0);
      } else {
        history_ |= EV_RXCHAR;
      }
    }
    if (read_ov_ && read_end == ReadEnd::AtOnce) EndRead(0);
  }
  // Ends the write the driver kept: all its bytes went out.
  void FinishWrite() {
    std::lock_guard guard(lock_);
    if (!write_ov_) return;
    written_ += write_bytes_;
    Complete(write_ov_, 0, static_cast<DWORD>(write_bytes_.size()));
    write_ov_ = nullptr;
  }
  // Ends a hung read with what has arrived; true when its record's event
  // could still be signalled.
  bool FinishHungRead() {
    std::lock_guard guard(lock_);
    if (!read_ov_) return false;
    return EndRead(0);
  }
  bool FinishHungWrite() {
    std::lock_guard guard(lock_);
    if (!write_ov_) return false;
    const bool signalled = Complete(write_ov_, 0, static_cast<DWORD>(write_bytes_.size()));
    write_ov_ = nullptr;
    return signalled;
  }
  bool WriteKept() {
    std::lock_guard guard(lock_);
    return write_ov_ != nullptr;
  }
  std::string Written() {
    std::lock_guard guard(lock_);
    return written_;
  }

  BOOL SetupComm(HANDLE, DWORD, DWORD) override { return TRUE; }
  BOOL SetCommState(HANDLE, DCB* dcb) override {
    std::lock_guard guard(lock_);
    dcb_ = *dcb;
    return TRUE;
  }
  BOOL GetCommState(HANDLE, DCB* dcb) override {
    std::lock_guard guard(lock_);
    *dcb = dcb_;
    return TRUE;
  }
  BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS*) override { return TRUE; }
  BOOL SetCommMask(HANDLE, DWORD mask) override {
    std::lock_guard guard(lock_);
    mask_ = mask;
    history_ = 0;
    if (wait_ov_) EndWait(0, 0);  // a new mask ends the wait with nothing
    return TRUE;
  }
  BOOL WaitCommEvent(HANDLE, DWORD* mask, OVERLAPPED* ov) override {
    std::lock_guard guard(lock_);
    ++waits;
    WaitEnd end = WaitEnd::Normal;
    if (scripted_waits_ != 0) {
      end = wait_end_;
      if (scripted_waits_ > 0) --scripted_waits_;
    }
    constexpr DWORD kStray = EV_TXEMPTY | EV_CTS;  // outside the monitor's mask
    switch (end) {
      case WaitEnd::StrayAtOnce:
        *mask = kStray;
        Complete(ov, 0, 0);
        return TRUE;
      case WaitEnd::Fails:
        ::SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
      case WaitEnd::Normal:
        if (history_ & mask_) {
          *mask = history_ & mask_;
          history_ = 0;
          Complete(ov, 0, 0);
          return TRUE;
        }
        break;
      default:
        break;
    }
    ov->Internal = kPending;
    wait_mask_ = mask;
    wait_ov_ = ov;
    if (end == WaitEnd::StrayLater) EndWait(kStray, 0);
    if (end == WaitEnd::CancelledAtOnce) EndWait(0, kCancelled);
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  BOOL ReadFile(HANDLE, void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) override {
    std::lock_guard guard(lock_);
    if (count == 1 && input_.empty()) ++probes;  // the device waits on a read for bytes
    read_buf_ = static_cast<char*>(buffer);
    read_count_ = count;
    read_ov_ = ov;
    ov->Internal = kPending;
    switch (read_end.load()) {
      case ReadEnd::AtOnce:
        if (count == 1 && input_.empty()) break;  // a waiting read, as on Wine
        EndRead(0);
        *done = static_cast<DWORD>(ov->InternalHigh);
        return TRUE;
      case ReadEnd::Late:
        threads_.emplace_back([this] {
          std::this_thread::sleep_for(30ms);
          std::lock_guard guard(lock_);
          if (read_ov_) EndRead(0);
        });
        break;
      case ReadEnd::TakenOnCancel:
        taken_ = input_.substr(0, count);
        input_.erase(0, taken_.size());
        break;
      case ReadEnd::Hung:
        break;
    }
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  BOOL WriteFile(HANDLE, const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) override {
    std::lock_guard guard(lock_);
    const std::string bytes(static_cast<const char*>(buffer), count);
    if (write_end == WriteEnd::AtOnce) {
      written_ += bytes;
      Complete(ov, 0, count);
      *done = count;
      return TRUE;
    }
    write_bytes_ = bytes;
    write_ov_ = ov;
    ov->Internal = kPending;
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  BOOL CancelIoEx(HANDLE, OVERLAPPED* ov) override {
    std::lock_guard guard(lock_);
    if (ov == wait_ov_) EndWait(0, kCancelled);
    if (ov == read_ov_ && read_end != ReadEnd::Hung) {
      const DWORD n = static_cast<DWORD>(taken_.size());
      std::memcpy(read_buf_, taken_.data(), n);
      taken_.clear();
      Complete(read_ov_, kCancelled, n);
      read_ov_ = nullptr;
    }
    if (ov == write_ov_ && write_end != WriteEnd::Hung) {
      Complete(write_ov_, kCancelled, 0);
      write_ov_ = nullptr;
    }
    return TRUE;
  }
  BOOL ClearCommError(HANDLE, DWORD* errors, COMSTAT* stat) override {
    std::lock_guard guard(lock_);
    *errors = 0;
    *stat = COMSTAT{};
    stat->cbInQue = static_cast<DWORD>(input_.size());
    return TRUE;
  }
  BOOL EscapeCommFunction(HANDLE, DWORD) override { return TRUE; }
  BOOL GetCommModemStatus(HANDLE, DWORD* status) override {
    *status = 0;
    return TRUE;
  }
  BOOL PurgeComm(HANDLE, DWORD) override { return TRUE; }
  BOOL CloseHandle(HANDLE) override {
    ++closes;
    return TRUE;
  }
  bool BeginTimerPeriod(UINT ms) override {
    ++begin_periods;
    period_asked = ms;
    return grant_timer_period.load();
  }
  void EndTimerPeriod(UINT ms) override {
    if (ms == period_asked) ++end_periods;
  }

 private:
  // Ends a transfer the system's way; false when its event is gone.
  static bool Complete(OVERLAPPED* ov, LONG status, DWORD n) {
    ov->InternalHigh = n;
    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
    return ::SetEvent(ov->hEvent) != FALSE;
  }
  void EndWait(DWORD events, LONG status) {
    *wait_mask_ = events;
    Complete(wait_ov_, status, 0);
    wait_ov_ = nullptr;
  }
  bool EndRead(LONG status) {
    const std::size_t n = std::min<std::size_t>(read_count_, input_.size());
    std::memcpy(read_buf_, input_.data(), n);
    input_.erase(0, n);
    const bool signalled = Complete(read_ov_, status, static_cast<DWORD>(n));
    read_ov_ = nullptr;
    return signalled;
  }

  std::mutex lock_;
  DCB dcb_{};
  DWORD mask_ = 0;
  DWORD history_ = 0;
  WaitEnd wait_end_ = WaitEnd::Normal;
  int scripted_waits_ = 0;
  DWORD* wait_mask_ = nullptr;
  OVERLAPPED* wait_ov_ = nullptr;
  std::string input_, taken_, written_, write_bytes_;
  char* read_buf_ = nullptr;
  DWORD read_count_ = 0;
  OVERLAPPED* read_ov_ = nullptr;
  OVERLAPPED* write_ov_ = nullptr;
  std::vector<std::thread> threads_;
};

// The component on the Win32 device over the played driver.
class DriverComm : public TVaComm {
 public:
  DriverComm() : TVaComm(nullptr) { SetMonitorEvents({ceError, ceRxChar, ceTxEmpty}); }
  std::shared_ptr<FakeDriver> driver = std::make_shared<FakeDriver>();

 protected:
  std::shared_ptr<CommDevice> CreateHandle() override {
    auto device = NewWin32CommDevice(kPort, driver);
    if (!device) ::RaiseCommError("Can't open (%d), %s", errno);
    return device;
  }
};

std::string ReceivedThrough(DriverComm& comm, const std::string& bytes) {
  std::string got;
  comm.OnRxChar = [&](TObject*, std::int32_t) { got += comm.ReadText(); };
  comm.driver->Receive(bytes);
  PumpUntil([&] { return got.size() >= bytes.size(); }, 3s);
  comm.OnRxChar = nullptr;
  return got;
}

// However the system's wait ends, received bytes keep being reported; only
// Wine's kind of end, a wait cancelled as soon as it starts, again and
// again, turns the device to waiting on a read, and only until it is
// opened anew.
TEST(Win32CommDevice, ReceivedBytesAreReportedHoweverTheWaitsEnd) {
  struct Case {
    const char* name;
    WaitEnd end;
    int count;
    bool waitsOnARead;
  };
  const Case cases[] = {
      {"a wait completed at once with stray bits", WaitEnd::StrayAtOnce, 1, false},
      {"stray bits at once, again and again", WaitEnd::StrayAtOnce, 20, false},
      {"a pending wait ended with stray bits", WaitEnd::StrayLater, 2, false},
      {"waits that fail", WaitEnd::Fails, 6, false},
      {"one wait cancelled at once", WaitEnd::CancelledAtOnce, 1, false},
      {"every wait cancelled at once", WaitEnd::CancelledAtOnce, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DriverComm comm;
    comm.driver->ScriptWaits(c.end, c.count);
    comm.Open();
    EXPECT_EQ(ReceivedThrough(comm, "first"), "first");
    EXPECT_EQ(ReceivedThrough(comm, "second"), "second");
    if (c.waitsOnARead) {
      EXPECT_TRUE(PumpUntil([&] { return comm.driver->probes > 0; }, 5s));
    } else {
      EXPECT_EQ(comm.driver->probes, 0);
    }
    comm.Close();
    // Opened anew on a driver whose waits work: they are waited on again.
    comm.driver->ScriptWaits(WaitEnd::Normal, 0);
    const int probes = comm.driver->probes;
    comm.driver->waits = 0;
    comm.Open();
    EXPECT_EQ(ReceivedThrough(comm, "third"), "third");
    EXPECT_TRUE(PumpUntil([&] { return comm.driver->waits > 0; }));
    EXPECT_EQ(comm.driver->probes, probes);
    comm.Close();
  }
}

// A read the driver keeps although the time-outs ask for an answer at once
// is given the read time-out, then cancelled; the bytes it took are
// delivered in every case, also those of a read whose cancel ends only
// after the caller has gone.
TEST(Win32CommDevice, BytesOfAReadTheDriverKeepsAreNotLost) {
  for (ReadEnd end : {ReadEnd::Late, ReadEnd::TakenOnCancel, ReadEnd::Hung}) {
    SCOPED_TRACE(static_cast<int>(end));
    DriverComm comm;
    TVaBuffers buffers;
    // Long enough for a late end on a loaded machine; short where only the
    // cancel can end the read.
    buffers.SetReadTimeout(end == ReadEnd::Late ? 10000 : 50);
    comm.SetBuffers(buffers);
    comm.SetMonitorEvents({});
    comm.Open();
    comm.driver->read_end = end;
    comm.driver->Receive("abc");
    auto read = std::async(std::launch::async, [&] { return comm.ReadText(); });
    ASSERT_EQ(read.wait_for(10s), std::future_status::ready) << "the read never returned";
    if (end == ReadEnd::Hung) {
      EXPECT_EQ(read.get(), "");
      EXPECT_TRUE(comm.driver->FinishHungRead());
      comm.driver->read_end = ReadEnd::AtOnce;
      EXPECT_EQ(comm.InQueCount(), 3);
      EXPECT_EQ(comm.ReadText(), "abc");
    } else {
      EXPECT_EQ(read.get(), "abc");
    }
    comm.Close();
  }
}

// OnTxEmpty tells that the bytes have gone out: it waits for the end of a
// write the driver keeps, and the bytes are written once.
TEST(Win32CommDevice, TxEmptyComesWhenTheWriteHasEnded) {
  DriverComm comm;
  comm.driver->write_end = WriteEnd::Kept;
  int empties = 0;
  comm.OnTxEmpty = [&](TObject*) { ++empties; };
  comm.Open();
  ASSERT_TRUE(comm.WriteText("ping\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return comm.driver->WriteKept(); }));
  PumpFor(100ms);
  EXPECT_EQ(empties, 0);
  EXPECT_EQ(comm.GetStatistics().Stat.cbOutQue, 6u);
  comm.driver->FinishWrite();
  EXPECT_TRUE(PumpUntil([&] { return empties == 1; }));
  PumpFor(50ms);
  EXPECT_EQ(empties, 1);
  EXPECT_EQ(comm.driver->Written(), "ping\r\n");

  // A direct write waits for the end the same way, within the read time-out.
  comm.Close();
  comm.SetDirectWrite(true);
  TVaBuffers buffers;
  buffers.SetReadTimeout(10000);
  comm.SetBuffers(buffers);
  comm.Open();
  auto write = std::async(std::launch::async, [&] { return comm.WriteBuf("pong", 4); });
  ASSERT_TRUE(PumpUntil([&] { return comm.driver->WriteKept(); }));
  comm.driver->FinishWrite();
  EXPECT_EQ(write.get(), 4);
  EXPECT_EQ(comm.driver->Written(), "ping\r\npong");
  comm.Close();
}

// A write whose cancel the driver never ends: Close gives up after its
// waits, and the record the system may still complete stays allocated, its
// event included, after the device has gone.
TEST(Win32CommDevice, ARecordTheDriverKeepsOutlivesTheDevice) {
  auto driver = std::make_shared<FakeDriver>();
  {
    DriverComm comm;
    comm.driver = driver;
    driver->write_end = WriteEnd::Hung;
    comm.Open();
    ASSERT_TRUE(comm.WriteText("stuck"));
    ASSERT_TRUE(PumpUntil([&] { return driver->WriteKept(); }));
    comm.Close();
    EXPECT_EQ(driver->closes, 1);
  }
  EXPECT_TRUE(driver->FinishHungWrite());
}

// The finer timer is asked for at open and given back at close, once each;
// one the system refuses is not given back.
TEST(Win32CommDevice, TheTimerResolutionIsHeldWhileThePortIsOpen) {
  for (bool granted : {true, false}) {
    SCOPED_TRACE(granted);
    DriverComm comm;
    comm.driver->grant_timer_period = granted;
    comm.Open();
    EXPECT_EQ(comm.driver->begin_periods, 1);
    EXPECT_EQ(comm.driver->period_asked, 1u);
    EXPECT_EQ(comm.driver->end_periods, 0);
    comm.Close();
    EXPECT_EQ(comm.driver->begin_periods, 1);
    EXPECT_EQ(comm.driver->end_periods, granted ? 1 : 0);
  }
}

// The system's own calls, loaded at run time: the request is taken, and
// what a 1 ms step of the packet responder lasts with and without it is
// printed for the record.
TEST(Win32CommDevice, TheSystemGrantsTheFinerTimer) {
  auto stepMs = [] {
    constexpr int kSteps = 200;
    const auto start = SteadyClock::now();
    for (int i = 0; i < kSteps; ++i) std::this_thread::sleep_for(1ms);
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count() / kSteps;
  };
  const double without = stepMs();
  Win32CommCalls system;
  ASSERT_TRUE(system.BeginTimerPeriod(kOpenPortTimerPeriodMs));
  const double with = stepMs();
  system.EndTimerPeriod(kOpenPortTimerPeriodMs);
  std::printf("1 ms step: %.2f ms, %.2f ms with the port's timer resolution; "
              "resolution kept while hidden: %s\n",
              without, with, KeepTimerResolutionWhenHidden() ? "yes" : "not on this system");
}

}  // namespace
