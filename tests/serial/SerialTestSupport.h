// Helpers shared by the serial component's tests: a main-thread pump, CPU
// time, error texts, and a scriptable fake device with a component that uses
// it. What asks the system lives in one file per platform.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/Application.h"
#include "runtime/Events.h"
#include "runtime/Thread.h"
#include "serial/VaComm.h"

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Runs queued main-thread calls until cond holds or the time is up.
bool PumpUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
// Runs queued main-thread calls for the given time.
void PumpFor(std::chrono::milliseconds time);
// CPU seconds this process has used so far.
double ProcessCpuSeconds();
// The system's text for an error code as the component's messages show it.
std::string SystemText(int code);
// head followed by that text.
std::string WithSystemText(const std::string& head, int code);

// Collects what reaches the application's exception hook while alive.
class HookRecorder {
 public:
  HookRecorder();
  ~HookRecorder();
  std::vector<std::string> Messages() const;
  std::size_t Count() const;

 private:
  mutable std::mutex lock_;
  std::vector<std::string> messages_;
};

class FakeCommDevice : public CommDevice {
 public:
  // Scripted failures: the errno each call fails with, 0 for success.
  std::atomic<int> fail_state{0}, fail_setup{0}, fail_timeouts{0}, fail_mask{0}, fail_write{0},
      fail_modem{0}, fail_escape{0}, fail_stats{0};
  std::atomic<std::size_t> max_per_write{SIZE_MAX};
  std::atomic<int> write_calls{0};

  void Receive(const std::string& bytes, std::uint32_t errors = 0);
  void PushEvent(std::uint32_t mask);
  // While full the device takes no bytes.
  void SetFull(bool full);
  void SetModemStatus(std::uint32_t status) { modem_ = status; }
  bool EventsTaken();

  std::vector<CommDcb> Dcbs();
  std::vector<std::uint32_t> Masks();
  std::vector<std::uint32_t> Escapes();
  std::pair<std::uint32_t, std::uint32_t> Queues();
  std::string Written();
  bool Closed();
  void Reopen();

  bool SetCommState(const CommDcb& dcb) override;
  bool SetupComm(std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommTimeouts(const CommTimeouts& timeouts) override;
  bool SetCommMask(std::uint32_t mask) override;
  CommWait WaitCommEvent(std::uint32_t& mask, TWaitable wake) override;
  long Read(void* buffer, std::size_t count) override;
  long Write(const void* buffer, std::size_t count) override;
  CommWait WaitWritable(TWaitable wake, std::uint32_t ms) override;
  bool ClearCommError(std::uint32_t& errors, CommStat& stat) override;
  bool EscapeCommFunction(std::uint32_t function) override;
  bool GetCommModemStatus(std::uint32_t& status) override;
  void Close() override;

 private:
  bool Fails(const std::atomic<int>& code) {
    if (code.load() == 0) return false;
    errno = code.load();
    return true;
  }

  std::mutex lock_;
  std::vector<CommDcb> dcbs_;
  std::vector<std::uint32_t> masks_, escapes_;
  std::pair<std::uint32_t, std::uint32_t> queues_{0, 0};
  std::string input_, written_;
  std::uint32_t errors_ = 0;
  std::deque<std::uint32_t> events_;
  TEvent event_ready_;
  TEvent room_{true};
  std::atomic<std::uint32_t> modem_{0};
  bool closed_ = false;
};

// The component with a fake device put in through CreateHandle, and the
// protected parts a test needs.
class FakeComm : public TVaComm {
 public:
  FakeComm() : TVaComm(nullptr) {}
  std::shared_ptr<FakeCommDevice> device = std::make_shared<FakeCommDevice>();

 protected:
  std::shared_ptr<CommDevice> CreateHandle() override;
};
