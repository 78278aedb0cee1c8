#include "serial/VaPrst.h"

#include <array>

void TVaPersistent::EndUpdate() {
  if (update_count_ > 0) --update_count_;
  Changed();
}

void TVaPersistent::Changed() {
  if (update_count_ == 0 && OnChange) OnChange(this);
}

namespace {
// Runs the steps between BeginUpdate and EndUpdate; EndUpdate runs even when
// a step raises, and the step's error wins over one from the notification.
template <class Steps>
void InOneUpdate(TVaPersistent& target, Steps steps) {
  target.BeginUpdate();
  try {
    steps();
  } catch (...) {
    try {
      target.EndUpdate();
    } catch (...) {
    }
    throw;
  }
  target.EndUpdate();
}
}  // namespace

void TVaFlowControl::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TVaFlowControl*>(&Source);
  if (!src) {
    TVaPersistent::Assign(Source);
    return;
  }
  InOneUpdate(*this, [&] {
    SetOutCtsFlow(src->OutCtsFlow());
    SetOutDsrFlow(src->OutDsrFlow());
    SetControlDtr(src->ControlDtr());
    SetControlRts(src->ControlRts());
    SetXonXoffOut(src->XonXoffOut());
    SetXonXoffIn(src->XonXoffIn());
    SetDsrSensitivity(src->DsrSensitivity());
    SetTxContinueOnXoff(src->TxContinueOnXoff());
  });
}

char TVaEventChars::Char(int Index) const {
  return Index >= 1 && Index <= 5 ? chars_[Index - 1] : 0;
}

void TVaEventChars::SetChar(int Index, char Value) {
  if (Index < 1 || Index > 5) return;
  chars_[Index - 1] = Value;
  Changed();
}

void TVaEventChars::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TVaEventChars*>(&Source);
  if (!src) {
    TVaPersistent::Assign(Source);
    return;
  }
  InOneUpdate(*this, [&] {
    for (int i = 1; i <= 5; ++i) SetChar(i, src->Char(i));
  });
}

void TVaBuffers::Store(TVaIntW& field, TVaIntW value) {
  if (field == value) return;
  const TVaIntW old = field;
  field = value;
  try {
    Changed();
  } catch (...) {
    field = old;
    throw;
  }
}

void TVaBuffers::Assign(const TPersistent& Source) {
  const auto* src = dynamic_cast<const TVaBuffers*>(&Source);
  if (!src) {
    TVaPersistent::Assign(Source);
    return;
  }
  const std::array<TVaIntW, 6> old = {read_size_,     read_timeout_, write_size_,
                                      write_timeout_, xon_limit_,    xoff_limit_};
  BeginUpdate();
  read_size_ = src->read_size_;
  read_timeout_ = src->read_timeout_;
  write_size_ = src->write_size_;
  write_timeout_ = src->write_timeout_;
  xon_limit_ = src->xon_limit_;
  xoff_limit_ = src->xoff_limit_;
  try {
    EndUpdate();
  } catch (...) {
    // Refused by the owner: nothing changes.
    read_size_ = old[0];
    read_timeout_ = old[1];
    write_size_ = old[2];
    write_timeout_ = old[3];
    xon_limit_ = old[4];
    xoff_limit_ = old[5];
    throw;
  }
}
