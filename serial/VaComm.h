// The serial port component: its settings and device control block, open,
// close, read and write, the line functions, and its two worker threads (the
// event monitor and the background writer).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "runtime/Classes.h"
#include "runtime/Thread.h"
#include "serial/CommDevice.h"
#include "serial/FailureEpisode.h"
#include "serial/VaClasses.h"
#include "serial/VaCommError.h"
#include "serial/VaPrst.h"

enum TVaBaudrate : std::uint8_t {
  brUser,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TVaDatabits : std::uint8_t { db4, db5, db6, db7, db8 };
enum TVaParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TVaStopbits : std::uint8_t { sb1, sb15, sb2 };
enum TVaCommOption : std::uint8_t { coErrorChar, coNullStrip, coParityCheck };
enum TVaCommEvent : std::uint8_t {
  ceBreak,
  ceCts,
  ceDsr,
  ceError,
  ceRing,
  ceRlsd,
  ceRxChar,
  ceTxEmpty,
  ceRxFlag,
  cePErr,
  ceRx80Full,
  ceEvent1,
  ceEvent2
};

// A set of enumeration members, member n at bit n.
template <class E, class Storage>
class TVaSet {
 public:
  constexpr TVaSet() = default;
  constexpr TVaSet(std::initializer_list<E> members) {
    for (E m : members) bits_ |= Bit(m);
  }
  static constexpr TVaSet FromValue(Storage value) {
    TVaSet s;
    s.bits_ = value;
    return s;
  }
  constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
  constexpr TVaSet& Include(E m) {
    bits_ |= Bit(m);
    return *this;
  }
  constexpr TVaSet& Exclude(E m) {
    bits_ &= static_cast<Storage>(~Bit(m));
    return *this;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr Storage Value() const { return bits_; }
  constexpr bool operator==(const TVaSet&) const = default;

 private:
  static constexpr Storage Bit(E m) { return static_cast<Storage>(Storage{1} << m); }
  Storage bits_ = 0;
};

using TVaCommOptions = TVaSet<TVaCommOption, std::uint8_t>;
using TVaCommEvents = TVaSet<TVaCommEvent, std::uint16_t>;
using TVaPortInt = std::int32_t;

// Rate in bit/s of a member (brUser has none: 0).
std::uint32_t BaudrateValue(TVaBaudrate Rate);
// The comm event mask bit of a member, and of a whole set.
std::uint32_t CommEventMaskBit(TVaCommEvent Event);
std::uint32_t CommEventsMask(TVaCommEvents Events);

// The message rule: Template with its first %d replaced by Code and its
// first %s by the system's text for Code, without the trailing blanks,
// control characters and periods ("%%" is a percent sign). Only those two
// conversions are filled; anything else in the template stays as written.
std::string CommErrorMessage(const std::string& Template, int Code);
[[noreturn]] void RaiseCommError(const std::string& Template, int Code);

// DeviceName with PortNum in place of its %d ("COM%d", 3 -> "COM3").
std::string FormatDeviceName(const std::string& DeviceName, TVaPortInt PortNum);

struct TVaCommStatistics {
  std::uint32_t Errors;
  CommStat Stat;
};

using PVaData = const void*;
using TVaCommErrorEvent = std::function<void(TObject* Sender, std::int32_t Errors)>;
using TVaCommRxCharEvent = std::function<void(TObject* Sender, std::int32_t Count)>;
using TVaCommRxBufEvent = std::function<void(TObject* Sender, PVaData Data, std::int32_t Count)>;

class TVaCustomComm;
struct CommThreadCount;

// The background writer's buffer: a fixed block whose bytes in use are kept
// at its front. The caller guarantees the room.
class TVaCommBuffer {
 public:
  explicit TVaCommBuffer(std::int32_t Capacity);
  void Append(const void* Data, std::int32_t N);
  void Remove(std::int32_t N);
  std::int32_t Count() const { return count_; }
  std::int32_t Capacity() const { return capacity_; }
  const std::uint8_t* Data() const { return data_.get(); }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::int32_t capacity_;
  std::int32_t count_ = 0;
};

// Waits for the port events of the owner's event mask and hands each batch
// to the main thread. Frees itself when stopped.
class TVaCommEventThread : public TThread {
 public:
  TVaCommEventThread(TVaCustomComm* Owner, std::shared_ptr<CommDevice> Device,
                     std::shared_ptr<CommThreadCount> Count);
  ~TVaCommEventThread() override;
  void Stop();

  std::uint32_t EvtMask = 0;

 protected:
  void ThreadBody() override;
  // Main thread: raises the owner's handlers for EvtMask; every error goes
  // to the application's exception hook.
  void ProcessEvents();

 private:
  TVaCustomComm* owner_;
  std::shared_ptr<CommDevice> device_;
  std::shared_ptr<CommThreadCount> count_;
  TVaWaitEvent WakeEvent;  // the stop signal
};

// Sends what WriteBuf queued and reports an empty buffer (OnTxEmpty) or a
// failed write (EV_ERR) on the main thread. Frees itself when stopped.
class TVaCommWriteThread : public TThread {
 public:
  TVaCommWriteThread(TVaCustomComm* Owner, std::shared_ptr<CommDevice> Device,
                     std::shared_ptr<CommThreadCount> Count, std::int32_t Capacity);
  ~TVaCommWriteThread() override;
  void Stop();
  // Appends N bytes, waiting up to the owner's WriteTimeout for room; false
  // when there is none by then, or at once when the device has failed.
  bool Enqueue(const void* Data, std::int32_t N);
  // errno of the write that failed for good; 0 while the writer works.
  int FailedError() const { return failed_error_.load(); }

 protected:
  void ThreadBody() override;

 private:
  // Offers bytes to the device from the calling thread: how many it took,
  // or -1 with errno set when it failed.
  long WriteNow(const void* Data, std::int32_t N);
  void WriteDone(long Written);
  void Fail(int Error);
  // Under WriteLock: the device has failed for good, later writes are refused.
  void RefuseWrites(int Error);
  void Report(std::uint32_t Mask);

  TVaCustomComm* owner_;
  std::shared_ptr<CommDevice> device_;
  std::shared_ptr<CommThreadCount> count_;
  TVaCommBuffer buffer_;
  TVaWaitEvent DataPendingEvent;
  TVaWaitEvent CloseEvent;
  TVaWaitEvent WriteDoneEvent;  // a write has made room in the buffer
  TEvent ReportQueuedEvent;     // a report waits for the main thread
  std::atomic<int> failed_error_{0};
  bool room_wanted_ = false;  // an Enqueue waits for WriteDoneEvent; under WriteLock
  std::uint32_t unreported_ = 0;  // events of writes made at once, for the writer to report; under WriteLock
};

class TVaComponent : public TComponent {
 public:
  using TComponent::TComponent;
};

class TVaCustomComm : public TVaComponent {
 public:
  explicit TVaCustomComm(TComponent* AOwner);
  ~TVaCustomComm() override;

  void Open();
  void Close();
  bool IsOpen() const { return device_ != nullptr; }

  std::int32_t WriteBuf(const void* Buffer, std::int32_t Count);
  std::int32_t ReadBuf(void* Buffer, std::int32_t Count);
  bool WriteText(const std::string& Text);
  std::string ReadText();
  void SetDTR(bool State);
  void SetRTS(bool State);
  bool GetModemState(std::int32_t Line);
  TVaCommStatistics GetStatistics();
  std::int32_t InQueCount();

  // Passes the error being handled (call it from a catch block) to the
  // application's exception handling on behalf of Sender, unless it is an
  // error of this open port in a failure episode already reported: the one
  // rule by which the port's own threads and whoever polls or writes the
  // port in the background (a timer, a responder) tell the operator of a
  // failing device once. Main thread. With CloseWhenGone, an error that says
  // the device is gone then closes the port (see CloseIfGone), whether it
  // was shown or not.
  void ReportFailure(TObject* Sender);
  // Off by default: the port stays open, failing, until its owner closes it.
  bool CloseWhenGone() const { return close_when_gone_; }
  void SetCloseWhenGone(bool Value) { close_when_gone_ = Value; }
  // When E is an error of this open port that says its device is gone (a
  // pulled adapter), closes the port as Close does (OnClose included): the
  // handle is of no more use, and a re-plugged device needs its name free.
  // Returns whether it closed. Main thread.
  bool CloseIfGone(const std::exception& E);
  // An error of this port was shown to the operator by other means (raised
  // by the operator's own action): while the port is open, the episode has
  // been reported. Main thread.
  void FailureShown();
  bool FailureEpisodeRunning() const { return episode_.Running(); }

  // The comm event mask worked out by the last Open.
  std::uint32_t EventMask() const { return event_mask_; }
  std::string DevicePath() const { return FormatDeviceName(device_name_, port_num_); }

  void Loaded() override;

 protected:
  friend class TVaCommEventThread;
  friend class TVaCommWriteThread;

  // Opens the device; raises the open errors. Tests put a fake device in here.
  virtual std::shared_ptr<CommDevice> CreateHandle();
  virtual void CreateThreads();
  virtual void HandleRxChar();
  virtual void HandleEvents(std::uint32_t Mask);

  void WriteDCB();
  void CheckClosed() const;
  // Raises with the code of the system call that has just failed.
  [[noreturn]] void RaiseCommError(const std::string& Template) const;

  // Settings.
  bool AutoOpen() const { return auto_open_; }
  void SetAutoOpen(bool v) { auto_open_ = v; }
  TVaBaudrate Baudrate() const { return baudrate_; }
  void SetBaudrate(TVaBaudrate v);
  TVaParity Parity() const { return parity_; }
  void SetParity(TVaParity v);
  TVaDatabits Databits() const { return databits_; }
  void SetDatabits(TVaDatabits v);
  TVaStopbits Stopbits() const { return stopbits_; }
  void SetStopbits(TVaStopbits v);
  TVaEventChars* EventChars() const { return event_chars_.get(); }
  void SetEventChars(const TVaEventChars& v) { event_chars_->Assign(v); }
  TVaFlowControl* FlowControl() const { return flow_control_.get(); }
  void SetFlowControl(const TVaFlowControl& v) { flow_control_->Assign(v); }
  TVaCommOptions Options() const { return options_; }
  void SetOptions(TVaCommOptions v);
  TVaPortInt PortNum() const { return port_num_; }
  void SetPortNum(TVaPortInt v);
  const std::string& DeviceName() const { return device_name_; }
  void SetDeviceName(const std::string& v);
  TVaCommEvents MonitorEvents() const { return monitor_events_; }
  void SetMonitorEvents(TVaCommEvents v);
  TVaBuffers* Buffers() const { return buffers_.get(); }
  void SetBuffers(const TVaBuffers& v);
  TThreadPriority EventPriority() const { return event_priority_; }
  void SetEventPriority(TThreadPriority v);
  TThreadPriority WritePriority() const { return write_priority_; }
  void SetWritePriority(TThreadPriority v);
  bool DirectWrite() const { return direct_write_; }
  void SetDirectWrite(bool v);
  bool UpdateDCB() const { return update_dcb_; }
  void SetUpdateDCB(bool v);
  std::int32_t UserBaudrate() const { return user_baudrate_; }
  void SetUserBaudrate(std::int32_t v);

  TVaNotifyEvent OnOpen, OnClose, OnCts, OnDsr, OnRlsd, OnRing, OnBreak;
  TVaCommErrorEvent OnError;
  TVaCommRxCharEvent OnRxChar;
  TVaCommRxBufEvent OnRxBuf;
  TVaNotifyEvent OnRxFlag, OnTxEmpty, OnPErr, OnRx80Full, OnEvent1, OnEvent2;

  TVaCriticalSection WriteLock;
  TVaCriticalSection ReadLock;
  TVaWaitEvent IoEvent;  // wake descriptor of direct writes waiting for room

 private:
  void StopThreads();
  // Until every thread this component started has ended; on the main thread
  // the calls they queue keep running meanwhile.
  void WaitForThreads();

  bool auto_open_ = false;
  TVaBaudrate baudrate_ = br1200;
  TVaParity parity_ = paNone;
  TVaDatabits databits_ = db8;
  TVaStopbits stopbits_ = sb1;
  std::unique_ptr<TVaEventChars> event_chars_;
  std::unique_ptr<TVaFlowControl> flow_control_;
  TVaCommOptions options_;
  TVaPortInt port_num_ = 0;
  std::string device_name_ = "COM%d";
  TVaCommEvents monitor_events_ = {ceError, ceRxChar, ceTxEmpty};
  std::unique_ptr<TVaBuffers> buffers_;
  TThreadPriority event_priority_ = tpNormal;
  TThreadPriority write_priority_ = tpHighest;
  bool direct_write_ = false;
  bool update_dcb_ = true;
  std::int32_t user_baudrate_ = 0;

  std::shared_ptr<CommDevice> device_;
  std::uint32_t event_mask_ = 0;
  TVaCommEventThread* event_thread_ = nullptr;
  TVaCommWriteThread* write_thread_ = nullptr;
  std::shared_ptr<CommThreadCount> thread_count_;
  std::uint64_t closes_ = 0;  // how often the port was closed; main thread
  // Whether a failure of the device has been reported; see ReportFailure.
  TFailureEpisode episode_;
  bool close_when_gone_ = false;
  bool destroying_ = false;
};

// The component with its settings and handlers published.
class TVaComm : public TVaCustomComm {
 public:
  using TVaCustomComm::TVaCustomComm;

  using TVaCustomComm::AutoOpen;
  using TVaCustomComm::Baudrate;
  using TVaCustomComm::Buffers;
  using TVaCustomComm::Databits;
  using TVaCustomComm::DeviceName;
  using TVaCustomComm::DirectWrite;
  using TVaCustomComm::EventChars;
  using TVaCustomComm::EventPriority;
  using TVaCustomComm::FlowControl;
  using TVaCustomComm::MonitorEvents;
  using TVaCustomComm::Options;
  using TVaCustomComm::Parity;
  using TVaCustomComm::PortNum;
  using TVaCustomComm::SetAutoOpen;
  using TVaCustomComm::SetBaudrate;
  using TVaCustomComm::SetBuffers;
  using TVaCustomComm::SetDatabits;
  using TVaCustomComm::SetDeviceName;
  using TVaCustomComm::SetDirectWrite;
  using TVaCustomComm::SetEventChars;
  using TVaCustomComm::SetEventPriority;
  using TVaCustomComm::SetFlowControl;
  using TVaCustomComm::SetMonitorEvents;
  using TVaCustomComm::SetOptions;
  using TVaCustomComm::SetParity;
  using TVaCustomComm::SetPortNum;
  using TVaCustomComm::SetStopbits;
  using TVaCustomComm::SetUpdateDCB;
  using TVaCustomComm::SetUserBaudrate;
  using TVaCustomComm::SetWritePriority;
  using TVaCustomComm::Stopbits;
  using TVaCustomComm::UpdateDCB;
  using TVaCustomComm::UserBaudrate;
  using TVaCustomComm::WritePriority;

  using TVaCustomComm::OnBreak;
  using TVaCustomComm::OnClose;
  using TVaCustomComm::OnCts;
  using TVaCustomComm::OnDsr;
  using TVaCustomComm::OnError;
  using TVaCustomComm::OnEvent1;
  using TVaCustomComm::OnEvent2;
  using TVaCustomComm::OnOpen;
  using TVaCustomComm::OnPErr;
  using TVaCustomComm::OnRing;
  using TVaCustomComm::OnRlsd;
  using TVaCustomComm::OnRx80Full;
  using TVaCustomComm::OnRxBuf;
  using TVaCustomComm::OnRxChar;
  using TVaCustomComm::OnRxFlag;
  using TVaCustomComm::OnTxEmpty;
};
