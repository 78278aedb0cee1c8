// A window system without a display: peers keep the state in plain fields,
// tests act as the operator through the controls' Operator... calls and run
// the loop until a condition holds or a deadline passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "controls/Controls.h"
#include "controls/WindowSystem.h"
#include "runtime/Events.h"

// What a headless peer shows. Updates counts every call the control made on
// it, so a test can tell that an unchanged value did not reach the view.
class THeadlessPeerState {
 public:
  int Updates = 0;
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool Visible = false;
  bool Enabled = true;
  bool TabStop = false;
  int FocusRequests = 0;
  std::string Caption;
  TFont Font;
  TColor Color = clBtnFace;
};

template <class Interface>
class THeadlessPeer : public Interface, public THeadlessPeerState {
 public:
  void SetBounds(int l, int t, int w, int h) override {
    ++Updates;
    Left = l;
    Top = t;
    Width = w;
    Height = h;
  }
  void SetVisible(bool v) override {
    ++Updates;
    Visible = v;
  }
  void SetEnabled(bool v) override {
    ++Updates;
    Enabled = v;
  }
  void SetCaption(const std::string& c) override {
    ++Updates;
    Caption = c;
  }
  void SetFont(const TFont& f) override {
    ++Updates;
    Font = f;
  }
  void SetColor(TColor c) override {
    ++Updates;
    Color = c;
  }
  void SetTabStop(bool v) override {
    ++Updates;
    TabStop = v;
  }
  void SetFocus() override {
    ++Updates;
    ++FocusRequests;
  }
};

class THeadlessLabelPeer : public THeadlessPeer<TLabelPeer> {
 public:
  TAlignment Alignment = taLeftJustify;
  void SetAlignment(TAlignment a) override {
    ++Updates;
    Alignment = a;
  }
};

class THeadlessCheckPeer : public THeadlessPeer<TCheckPeer> {
 public:
  bool Checked = false;
  void SetChecked(bool v) override {
    ++Updates;
    Checked = v;
  }
};

class THeadlessEditPeer : public THeadlessPeer<TEditPeer> {
 public:
  std::string Value;
  bool ReadOnly = false;
  void SetText(const std::string& t) override {
    if (t == Value) return;  // as a toolkit peer must
    ++Updates;
    Value = t;
  }
  std::string Text() const override { return Value; }
  void SetReadOnly(bool v) override {
    ++Updates;
    ReadOnly = v;
  }
  void KeyIntoEdit(char Key) override {
    if (!ReadOnly) EditKeyIntoText(Value, Key);
  }
};

class THeadlessComboBoxPeer : public THeadlessPeer<TComboBoxPeer> {
 public:
  std::vector<std::string> Items;
  int Index = -1;
  void SetItems(const std::vector<std::string>& items) override {
    ++Updates;
    Items = items;
    Index = -1;
  }
  void SetItemIndex(int i) override {
    ++Updates;
    Index = i;
  }
  int ItemIndex() const override { return Index; }
};

class THeadlessMemoPeer : public THeadlessPeer<TMemoPeer> {
 public:
  std::string Text;  // Windows-1251, as shown
  bool ReadOnly = false;
  bool WordWrap = true;
  TScrollStyle ScrollBars = ssNone;
  void SetReadOnly(bool v) override {
    ++Updates;
    ReadOnly = v;
  }
  void SetWordWrap(bool v) override {
    ++Updates;
    WordWrap = v;
  }
  void SetScrollBars(TScrollStyle s) override {
    ++Updates;
    ScrollBars = s;
  }
  // A copy of its own: the simple pane of a window system for tests.
  void ShowText(const TLogText& t) override {
    ++Updates;
    Text = t.Text();
  }
  void AppendText(std::string_view s) override {
    ++Updates;
    Text.append(s);
  }
  void ClearText() override {
    ++Updates;
    Text.clear();
  }
};

class THeadlessStatusBarPeer : public THeadlessPeer<TStatusBarPeer> {
 public:
  struct Panel {
    int Width;
    TAlignment Alignment;
    std::string Text;
  };
  std::vector<Panel> Panels;
  void AddPanel(int w, TAlignment a) override {
    ++Updates;
    Panels.push_back({w, a, {}});
  }
  void SetPanelText(int i, const std::string& t) override {
    ++Updates;
    Panels.at(static_cast<std::size_t>(i)).Text = t;
  }
};

class THeadlessWindowSystem : public TWindowSystem {
 public:
  THeadlessWindowSystem();
  ~THeadlessWindowSystem() override;

  std::unique_ptr<TFormPeer> CreatePeer(TForm& Control) override;
  std::unique_ptr<TControlPeer> CreatePeer(TPanel& Control) override;
  std::unique_ptr<TControlPeer> CreatePeer(TGroupBox& Control) override;
  std::unique_ptr<TLabelPeer> CreatePeer(TLabel& Control) override;
  std::unique_ptr<TControlPeer> CreatePeer(TButton& Control) override;
  std::unique_ptr<TCheckPeer> CreatePeer(TCheckBox& Control) override;
  std::unique_ptr<TCheckPeer> CreatePeer(TRadioButton& Control) override;
  std::unique_ptr<TEditPeer> CreatePeer(TEdit& Control) override;
  std::unique_ptr<TComboBoxPeer> CreatePeer(TComboBox& Control) override;
  std::unique_ptr<TMemoPeer> CreatePeer(TMemo& Control) override;
  std::unique_ptr<TStatusBarPeer> CreatePeer(TStatusBar& Control) override;

  void Run(TForm& MainForm) override;
  void Terminate() override;
  bool Terminated() const override { return terminated_; }
  // Runs due timers and marshalled calls once, without waiting.
  void ProcessMessages() override;
  void Wake() override { wake_.Signal(); }
  // The loop waits on the call queue's event itself: nothing to signal.
  void CallQueued() override {}

  int StartTimer(int IntervalMs, std::function<void()> OnTick) override;
  void StopTimer(int TimerId) override;

  // Records the text and returns at once, as if the operator pressed OK.
  void ShowMessageBox(const std::string& Text) override;
  TRect WorkArea() const override { return work_area_; }
  void SetWorkArea(TRect Area) { work_area_ = Area; }

  // Runs marshalled calls and due timers until Condition holds or TimeoutMs
  // pass (INFINITE: until Terminate). Sleeps on the call queue's event with
  // the time to the next timer in between. Returns Condition's last value.
  bool RunUntil(const std::function<bool()>& Condition, std::uint32_t TimeoutMs);

  const std::vector<std::string>& Messages() const { return messages_; }
  void ClearMessages() { messages_.clear(); }
  int ActiveTimerCount() const { return static_cast<int>(timers_.size()); }

  // The headless state behind a realised control (nullptr when it has none).
  static THeadlessPeerState* StateOf(const TControl& Control);

 private:
  using Clock = std::chrono::steady_clock;
  struct Timer {
    std::chrono::milliseconds Interval;
    Clock::time_point Due;
    std::function<void()> OnTick;
  };
  // Runs the timers that are due now; returns whether any ran.
  bool RunDueTimers();
  bool Pump();

  TEvent wake_;
  bool terminated_ = false;
  int next_timer_id_ = 1;
  std::map<int, Timer> timers_;
  std::vector<std::string> messages_;
  TRect work_area_{0, 0, 1024, 768};
};
