// The seam between the toolkit-neutral controls and a concrete window system.
// Each realised control owns one peer: the control pushes its state into the
// peer and reads live state (an edit's text, a list's index) back from it.
// Operator actions come back as calls on the control (Operator...).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "controls/ControlTypes.h"

class TControl;
class TForm;
class TPanel;
class TGroupBox;
class TLabel;
class TButton;
class TCheckBox;
class TRadioButton;
class TEdit;
class TComboBox;
class TMemo;
class TStatusBar;
class TLogText;

// Common to every peer. Bounds are relative to the parent control; the
// controls call a setter only when the value differs from what they last
// pushed, so a peer never sees a redundant update from them (an edit's text
// excepted, see TEditPeer).
class TControlPeer {
 public:
  virtual ~TControlPeer() = default;
  virtual void SetBounds(int Left, int Top, int Width, int Height) = 0;
  virtual void SetVisible(bool Visible) = 0;
  virtual void SetEnabled(bool Enabled) = 0;
  virtual void SetCaption(const std::string& Caption) = 0;  // UTF-8
  virtual void SetFont(const TFont& Font) = 0;
  virtual void SetColor(TColor Color) = 0;
  virtual void SetTabStop(bool TabStop) = 0;
  virtual void SetFocus() = 0;
};

// A top-level window. Its SetBounds gets the outer position (Left, Top) and
// the size of the client area (Width, Height).
class TFormPeer : public TControlPeer {};

class TLabelPeer : public TControlPeer {
 public:
  virtual void SetAlignment(TAlignment Alignment) = 0;
};

class TCheckPeer : public TControlPeer {
 public:
  virtual void SetChecked(bool Checked) = 0;
};

class TEditPeer : public TControlPeer {
 public:
  // Called for every SetText of the edit: the text shown is live, so the
  // peer compares and leaves the view alone when it already shows Text.
  virtual void SetText(const std::string& Text) = 0;
  virtual std::string Text() const = 0;  // live: the operator may have typed
  virtual void SetReadOnly(bool ReadOnly) = 0;
  // The key (Windows-1251, after the key-press handler) goes into the edit:
  // printable characters are inserted, backspace (8) deletes, other control
  // characters have the edit's own meaning or none.
  virtual void KeyIntoEdit(char Key) = 0;
};

class TComboBoxPeer : public TControlPeer {
 public:
  virtual void SetItems(const std::vector<std::string>& Items) = 0;
  virtual void SetItemIndex(int Index) = 0;
  virtual int ItemIndex() const = 0;  // live
};

// Shows a TLogText (Windows-1251, lines separated by CR LF) that outlives
// the peer; the text never lives in the toolkit.
class TMemoPeer : public TControlPeer {
 public:
  virtual void SetReadOnly(bool ReadOnly) = 0;
  virtual void SetWordWrap(bool WordWrap) = 0;
  virtual void SetScrollBars(TScrollStyle ScrollBars) = 0;
  // The text to show from now on, as it is.
  virtual void ShowText(const TLogText& Text) = 0;
  // Cp1251 was just appended to the text shown.
  virtual void AppendText(std::string_view Cp1251) = 0;
  // The text shown was just cleared.
  virtual void ClearText() = 0;
};

class TStatusBarPeer : public TControlPeer {
 public:
  virtual void AddPanel(int Width, TAlignment Alignment) = 0;
  virtual void SetPanelText(int Index, const std::string& Text) = 0;
};

class TWindowSystem {
 public:
  virtual ~TWindowSystem() = default;

  // Peers; the parent control's peer exists already.
  virtual std::unique_ptr<TFormPeer> CreatePeer(TForm& Control) = 0;
  virtual std::unique_ptr<TControlPeer> CreatePeer(TPanel& Control) = 0;
  virtual std::unique_ptr<TControlPeer> CreatePeer(TGroupBox& Control) = 0;
  virtual std::unique_ptr<TLabelPeer> CreatePeer(TLabel& Control) = 0;
  virtual std::unique_ptr<TControlPeer> CreatePeer(TButton& Control) = 0;
  virtual std::unique_ptr<TCheckPeer> CreatePeer(TCheckBox& Control) = 0;
  virtual std::unique_ptr<TCheckPeer> CreatePeer(TRadioButton& Control) = 0;
  virtual std::unique_ptr<TEditPeer> CreatePeer(TEdit& Control) = 0;
  virtual std::unique_ptr<TComboBoxPeer> CreatePeer(TComboBox& Control) = 0;
  virtual std::unique_ptr<TMemoPeer> CreatePeer(TMemo& Control) = 0;
  virtual std::unique_ptr<TStatusBarPeer> CreatePeer(TStatusBar& Control) = 0;

  // Makes MainForm the main form, shows it and runs the message loop until
  // Terminate (closing the main form terminates). Returns at once when
  // Terminate came first.
  virtual void Run(TForm& MainForm) = 0;
  virtual void Terminate() = 0;
  virtual bool Terminated() const = 0;
  // Handles what is pending once, without waiting (marshalled calls included).
  virtual void ProcessMessages() = 0;
  // Thread-safe: makes the loop run CheckSynchronize(0) soon.
  virtual void Wake() = 0;
  // Thread-safe: a worker has just queued a call for the main thread. A
  // window system whose loop watches the queue's event itself has nothing
  // to do here.
  virtual void CallQueued() { Wake(); }

  // A repeating timer; OnTick runs on the main thread from the loop.
  virtual int StartTimer(int IntervalMs, std::function<void()> OnTick) = 0;
  virtual void StopTimer(int TimerId) = 0;

  // The modal message box with a single OK, centred on the screen (UTF-8).
  virtual void ShowMessageBox(const std::string& Text) = 0;
  // The part of the desktop windows may use (panels and docks left out), in
  // desktop coordinates; windows are centred within it.
  virtual TRect WorkArea() const = 0;
  virtual TSize TextExtent(const TFont& Font, const std::string& Text) const {
    return EstimateTextExtent(Font, Text);
  }
};

// Installs the window system used from now on (nullptr: none) and hooks it up
// as the main thread's wakeup, so calls marshalled from worker threads run
// from its loop promptly. Running timers move over to it.
void SetWindowSystem(TWindowSystem* System);
TWindowSystem* WindowSystem();
