// Settings objects of the serial component: flow control, the special
// characters and the driver buffers. Each tells its owner about changes.
#pragma once

#include <cstdint>
#include <functional>

#include "runtime/Classes.h"

using TVaNotifyEvent = std::function<void(TObject* Sender)>;
using TVaIntW = std::int32_t;

enum TVaControlDtr : std::uint8_t { dtrDisabled, dtrEnabled, dtrHandshake };
enum TVaControlRts : std::uint8_t { rtsDisabled, rtsEnabled, rtsHandshake, rtsToggle };

// Change notification with update nesting: between BeginUpdate and the
// outermost EndUpdate nothing is reported; that EndUpdate always reports.
class TVaPersistent : public TPersistent {
 public:
  void BeginUpdate() { ++update_count_; }
  void EndUpdate();
  void Changed();
  std::int32_t UpdateCount() const { return update_count_; }

  TVaNotifyEvent OnChange;

 private:
  std::int32_t update_count_ = 0;
};

class TVaFlowControl : public TVaPersistent {
 public:
  bool OutCtsFlow() const { return out_cts_flow_; }
  void SetOutCtsFlow(bool v) { Store(out_cts_flow_, v); }
  bool OutDsrFlow() const { return out_dsr_flow_; }
  void SetOutDsrFlow(bool v) { Store(out_dsr_flow_, v); }
  TVaControlDtr ControlDtr() const { return control_dtr_; }
  void SetControlDtr(TVaControlDtr v) { Store(control_dtr_, v); }
  TVaControlRts ControlRts() const { return control_rts_; }
  void SetControlRts(TVaControlRts v) { Store(control_rts_, v); }
  bool XonXoffOut() const { return xon_xoff_out_; }
  void SetXonXoffOut(bool v) { Store(xon_xoff_out_, v); }
  bool XonXoffIn() const { return xon_xoff_in_; }
  void SetXonXoffIn(bool v) { Store(xon_xoff_in_, v); }
  bool DsrSensitivity() const { return dsr_sensitivity_; }
  void SetDsrSensitivity(bool v) { Store(dsr_sensitivity_, v); }
  bool TxContinueOnXoff() const { return tx_continue_on_xoff_; }
  void SetTxContinueOnXoff(bool v) { Store(tx_continue_on_xoff_, v); }

  void Assign(const TPersistent& Source) override;

 private:
  template <class T>
  void Store(T& field, T value) {
    if (field == value) return;
    field = value;
    Changed();
  }

  bool out_cts_flow_ = false;
  bool out_dsr_flow_ = false;
  TVaControlDtr control_dtr_ = dtrDisabled;
  TVaControlRts control_rts_ = rtsDisabled;
  bool xon_xoff_out_ = false;
  bool xon_xoff_in_ = false;
  bool dsr_sensitivity_ = false;
  bool tx_continue_on_xoff_ = false;
};

// The five special characters, addressed 1-5 (XON, XOFF, error, event, EOF).
// Every set reports a change, even of an unchanged character.
class TVaEventChars : public TVaPersistent {
 public:
  char Char(int Index) const;
  void SetChar(int Index, char Value);  // indexes outside 1-5 are ignored

  char XonChar() const { return Char(1); }
  void SetXonChar(char v) { SetChar(1, v); }
  char XoffChar() const { return Char(2); }
  void SetXoffChar(char v) { SetChar(2, v); }
  char ErrorChar() const { return Char(3); }
  void SetErrorChar(char v) { SetChar(3, v); }
  char EventChar() const { return Char(4); }
  void SetEventChar(char v) { SetChar(4, v); }
  char EofChar() const { return Char(5); }
  void SetEofChar(char v) { SetChar(5, v); }

  void Assign(const TPersistent& Source) override;

 private:
  char chars_[5] = {17, 19, 0, 0, 0};
};

// Driver queue sizes, flow-control limits and time-outs. A change of a size
// or a limit is reported, and a report that the owner refuses (it raises)
// leaves the old value in place. The time-outs are stored at any time.
class TVaBuffers : public TVaPersistent {
 public:
  TVaIntW ReadSize() const { return read_size_; }
  void SetReadSize(TVaIntW v) { Store(read_size_, v); }
  TVaIntW WriteSize() const { return write_size_; }
  void SetWriteSize(TVaIntW v) { Store(write_size_, v); }
  TVaIntW ReadTimeout() const { return read_timeout_; }
  void SetReadTimeout(TVaIntW v) { read_timeout_ = v; }
  TVaIntW WriteTimeout() const { return write_timeout_; }
  void SetWriteTimeout(TVaIntW v) { write_timeout_ = v; }
  TVaIntW XonLimit() const { return xon_limit_; }
  void SetXonLimit(TVaIntW v) { Store(xon_limit_, v); }
  TVaIntW XoffLimit() const { return xoff_limit_; }
  void SetXoffLimit(TVaIntW v) { Store(xoff_limit_, v); }

  void Assign(const TPersistent& Source) override;

 private:
  void Store(TVaIntW& field, TVaIntW value);

  TVaIntW read_size_ = 4096;
  TVaIntW write_size_ = 2048;
  TVaIntW read_timeout_ = 1000;
  TVaIntW write_timeout_ = 1000;
  TVaIntW xon_limit_ = 1024;
  TVaIntW xoff_limit_ = 1024;
};
