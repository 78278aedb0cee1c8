// The small class library of forms and controls the window is built from.
// It knows no toolkit: state lives here, a window system's peer only shows
// it. Event rules live here too, the same for every window system:
// - a check box raises OnClick on every change of its state, by the operator
//   or by the program, never on a set to the state it already has;
// - a radio button raises OnClick only when it becomes selected, and
//   selecting it unselects its sibling radio buttons;
// - a combo box raises OnChange only on the operator's choice;
// - an edit's OnKeyPress sees a typed key before the edit takes it, and its
//   OnMoveKey sees Up and Down;
// - whatever the loop runs on the operator's behalf (Operator... calls,
//   timer ticks) is guarded: an escaping exception goes to the application
//   exception hook and never crosses the loop.
// Texts of captions, items and edits are UTF-8; the log pane takes
// Windows-1251 bytes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "controls/ControlTypes.h"
#include "controls/LogText.h"
#include "controls/WindowSystem.h"
#include "runtime/Application.h"
#include "runtime/Classes.h"

class TWinControl;
class TForm;

// Runs Action; an exception escaping it goes to the application exception
// hook with Sender.
template <class F>
void RunGuarded(TObject* Sender, F&& Action) {
  try {
    Action();
  } catch (...) {
    ApplicationHandleException(Sender);
  }
}

class TControl : public TComponent {
 public:
  explicit TControl(TComponent* AOwner);
  ~TControl() override;

  TWinControl* Parent() const { return parent_; }
  // Moving a realised control to another parent (or to none) gives it and
  // its children new peers, which show the state kept in the controls. What
  // lived only in the old peers is lost: text the operator typed into an
  // edit (it shows the text the program set last), a list choice nobody
  // read since. Set parents before the form is realised.
  void SetParent(TWinControl* AParent);
  TForm* ParentForm() const;  // the form this control is on (itself for a form)

  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
  void SetTop(int v) { SetBounds(left_, v, width_, height_); }
  void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
  void SetHeight(int v) { SetBounds(left_, top_, width_, v); }
  TRect BoundsRect() const { return {left_, top_, left_ + width_, top_ + height_}; }

  TAlign Align() const { return align_; }
  void SetAlign(TAlign Value);

  bool Visible() const { return visible_; }
  void SetVisible(bool Value);
  // Visible, and so are all its parents.
  bool Showing() const;
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool Value);

  // The parent's font until a font of its own is set.
  const TFont& Font() const;
  void SetFont(const TFont& Value);
  bool ParentFont() const { return parent_font_; }
  void SetParentFont(bool Value);

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& Value);

  bool TabStop() const { return tab_stop_; }
  void SetTabStop(bool Value);
  TColor Color() const { return color_; }
  void SetColor(TColor Value);

  // Whether this control can take the keyboard focus now: a windowed
  // control on a form, it and its parents up to the form visible and enabled.
  virtual bool CanFocus() const { return false; }

  // The peer while the control is realised.
  TControlPeer* Peer() const { return peer_.get(); }
  bool HandleAllocated() const { return peer_ != nullptr; }

  // The operator moved the keyboard focus to this control.
  void OperatorFocus();

 protected:
  // Builds this control's peer through System.
  virtual std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) = 0;
  // Pushes the whole state into a fresh peer.
  virtual void InitPeer();
  virtual void Resized() {}
  virtual void FontChanged();
  virtual void CaptionChanged() {}
  // Outer bounds as the peer gets them (a form sends its client size).
  virtual void PushBounds();
  // Sets the bounds quietly: no peer, no layout (defaults in constructors).
  void StoreBounds(int ALeft, int ATop, int AWidth, int AHeight);

  // The peer as the kind this control created.
  template <class P>
  P* PeerAs() const {
    return static_cast<P*>(peer_.get());
  }

 private:
  friend class TWinControl;
  friend class TForm;
  void CreatePeerTree(TWindowSystem& System);
  void DestroyPeerTree();

  TWinControl* parent_ = nullptr;
  std::unique_ptr<TControlPeer> peer_;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  TAlign align_ = alNone;
  bool visible_ = true;
  bool enabled_ = true;
  bool parent_font_ = true;
  TFont font_;
  std::string caption_;
  bool tab_stop_ = false;
  TColor color_ = clBtnFace;
};

// A control that can hold other controls and take the focus. Aligned
// children are laid out here on every change of size, in the order top,
// bottom, left, right, client, each group sorted by its position, inside the
// client area less BorderWidth.
class TWinControl : public TControl {
 public:
  explicit TWinControl(TComponent* AOwner);
  // Children are not destroyed by their parent (their owner does that); they
  // are detached and lose their peers.
  ~TWinControl() override;

  int ControlCount() const { return static_cast<int>(children_.size()); }
  TControl* Controls(int Index) const;  // EListError outside 0..Count-1

  int BorderWidth() const { return border_width_; }
  void SetBorderWidth(int Value);

  virtual int ClientWidth() const { return Width(); }
  virtual int ClientHeight() const { return Height(); }
  // The area aligned children share, in this control's coordinates.
  virtual TRect AlignRect() const;
  // Lays out the aligned children again.
  void Realign();

  bool CanFocus() const override;
  // Makes this control the focused control of its form.
  void SetFocus();
  bool Focused() const;

 protected:
  void Resized() override;
  void FontChanged() override;

 private:
  friend class TControl;
  void AddChild(TControl* Child);
  void RemoveChild(TControl* Child);
  void ChildLayoutChanged(TControl* Child);

  std::vector<TControl*> children_;
  int border_width_ = 0;
  bool aligning_ = false;
};

// A top-level window. Width/Height are the outer size; the client area is
// smaller by the frame (FrameMargins), the same for every window system so
// the layout does not depend on the toolkit.
class TForm : public TWinControl {
 public:
  explicit TForm(TComponent* AOwner);
  ~TForm() override;

  static TRect FrameMargins() { return {4, 30, 4, 4}; }
  int ClientWidth() const override;
  int ClientHeight() const override;
  void SetClientSize(int AClientWidth, int AClientHeight);
  void SetClientWidth(int v) { SetClientSize(v, ClientHeight()); }
  void SetClientHeight(int v) { SetClientSize(ClientWidth(), v); }

  TPosition Position() const { return position_; }
  void SetPosition(TPosition Value) { position_ = Value; }

  // The focused control (nullptr: none). Raises Exception when the control
  // is not on this form or cannot be focused.
  TWinControl* ActiveControl() const { return active_; }
  void SetActiveControl(TWinControl* Control);

  TCloseEvent OnClose;
  TNotifyEvent OnShow;

  // Creates the peers of the whole tree through the current window system.
  void Realize();
  // Realises (if needed) and shows; the first time it is centred in the
  // desktop's work area when Position asks for it, and the active control
  // gets the focus.
  void Show();
  void Hide() { SetVisible(false); }
  // Raises OnClose with caHide; unless the handler set caNone the form is
  // hidden and, for the main form, the loop ends.
  void Close();

  // Operator actions from the window system.
  void OperatorClose();
  void OperatorResize(int AClientWidth, int AClientHeight);
  void OperatorMove(int ALeft, int ATop);

  bool CanFocus() const override { return Visible() && Enabled(); }

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
  void PushBounds() override;

 private:
  friend class TControl;
  friend class TWinControl;
  void ControlGone(TControl* Control);
  TPosition position_ = poDesigned;
  TWinControl* active_ = nullptr;
  bool shown_once_ = false;
};

// The form whose closing ends the loop (set by TWindowSystem::Run).
TForm* MainForm();
void SetMainForm(TForm* Form);

class TPanel : public TWinControl {
 public:
  explicit TPanel(TComponent* AOwner);

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
};

class TGroupBox : public TWinControl {
 public:
  explicit TGroupBox(TComponent* AOwner);
  // Aligned children keep clear of the caption and the frame.
  TRect AlignRect() const override;

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
  void FontChanged() override;
};

// A text that sizes itself to its caption while AutoSize is on.
class TLabel : public TControl {
 public:
  explicit TLabel(TComponent* AOwner);
  bool AutoSize() const { return auto_size_; }
  void SetAutoSize(bool Value);
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment Value);
  // Sizes itself once the form description has been read.
  void Loaded() override;

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
  void InitPeer() override;
  void CaptionChanged() override;
  void FontChanged() override;

 private:
  void AdjustSize();
  bool auto_size_ = true;
  TAlignment alignment_ = taLeftJustify;
};

// Buttons, check boxes and radio buttons: OnClick and Click().
class TButtonControl : public TWinControl {
 public:
  explicit TButtonControl(TComponent* AOwner);
  TNotifyEvent OnClick;
  // Raises OnClick (unguarded: an error goes to the caller).
  virtual void Click();
};

class TButton : public TButtonControl {
 public:
  explicit TButton(TComponent* AOwner);
  // The operator pressed the button.
  void OperatorClick();

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
};

class TCheckBox : public TButtonControl {
 public:
  explicit TCheckBox(TComponent* AOwner);
  bool Checked() const { return checked_; }
  // A change of state raises OnClick; a set to the same state does nothing.
  void SetChecked(bool Value);
  // The operator clicked the box: it toggles.
  void OperatorClick();
  // The operator set the box to State (the widget may already show it).
  void OperatorToggle(bool State);

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
  void InitPeer() override;

 private:
  bool checked_ = false;
};

class TRadioButton : public TButtonControl {
 public:
  explicit TRadioButton(TComponent* AOwner);
  bool Checked() const { return checked_; }
  // Selecting unselects the sibling radio buttons and raises OnClick;
  // unselecting or selecting again raises nothing.
  void SetChecked(bool Value);
  // The operator clicked the button: it becomes selected.
  void OperatorClick();

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
  void InitPeer() override;

 private:
  bool checked_ = false;
};

// A one-line edit.
class TEdit : public TWinControl {
 public:
  explicit TEdit(TComponent* AOwner);
  std::string Text() const;  // live
  void SetText(const std::string& Value);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool Value);

  // Sees each typed key (Windows-1251) before the edit takes it.
  TKeyPressEvent OnKeyPress;
  // The operator typed Key: OnKeyPress sees it first; unless the handler set
  // it to 0 the (possibly changed) key then goes into the edit (a read-only
  // edit ignores it). Returns the key passed on, 0 when swallowed or when
  // the handler failed.
  char OperatorKey(char Key);
  // OperatorKey for each byte of Keys.
  void OperatorType(std::string_view Keys);

  // Up and Down, which type nothing into a one-line edit.
  TMoveKeyEvent OnMoveKey;
  // The operator pressed Up or Down: OnMoveKey sees it (guarded like
  // OperatorKey). Returns whether there was a handler to take it.
  bool OperatorMoveKey(TMoveKey Key);

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
  void InitPeer() override;

 private:
  void KeyIntoText(char Key);
  std::string text_;
  bool read_only_ = false;
};

// A drop-down list without typed text.
class TComboBox : public TWinControl {
 public:
  explicit TComboBox(TComponent* AOwner);
  // The items; changes reach the view when the list is next used (or at once
  // through ItemsChanged).
  TStringList& Items() { return items_; }
  const TStringList& Items() const { return items_; }
  void ItemsChanged();

  int ItemIndex() const;  // live; -1 when nothing is selected
  // An index outside the items selects nothing. Raises no OnChange.
  void SetItemIndex(int Value);
  std::string Text() const;  // the selected item, empty when none

  // Raised only when the operator chooses an item.
  TNotifyEvent OnChange;
  void OperatorSelect(int Index);

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
  void InitPeer() override;

 private:
  void SyncItems() const;
  TStringList items_;
  mutable std::vector<std::string> shown_items_;  // what the peer shows
  mutable int item_index_ = -1;
};

// The multi-line text view used as the read-only log pane. The control
// holds its text in a TLogText of its own, or shows one that its writer lends
// it (ShowText), so that the text is kept once; the view reads what it shows
// from there and is told of appends and clearing as they happen.
class TMemo : public TWinControl {
 public:
  explicit TMemo(TComponent* AOwner);
  ~TMemo() override;
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool Value);
  bool WordWrap() const { return word_wrap_; }
  void SetWordWrap(bool Value);
  TScrollStyle ScrollBars() const { return scroll_bars_; }
  void SetScrollBars(TScrollStyle Value);

  // Shows Text (nullptr: the memo's own text again), which must outlive the
  // memo's use of it; from then on AppendText and ClearText only tell the
  // view what its owner just did to it.
  void ShowText(const TLogText* Text);
  const TLogText& Text() const { return *shown_; }

  void AppendText(std::string_view Cp1251);
  void ClearText();

  // The operator closed the view's find field.
  TNotifyEvent OnFindClose;
  // A save of the text to a file: its progress as a text to show (UTF-8),
  // empty when it is over.
  std::function<void(TObject* Sender, const std::string& Text)> OnSaveProgress;
  // Raised by the view (guarded like every handler).
  void OperatorFindClose();
  void SaveProgress(const std::string& Text);

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
  void InitPeer() override;

 private:
  bool read_only_ = false;
  bool word_wrap_ = true;
  TScrollStyle scroll_bars_ = ssNone;
  std::unique_ptr<TLogText> own_;
  const TLogText* shown_;
};

// A status bar along its parent's bottom edge with fixed-width panels; the
// last panel takes what is left of the width.
class TStatusBar : public TWinControl {
 public:
  explicit TStatusBar(TComponent* AOwner);
  int AddPanel(int Width, TAlignment Alignment);  // returns its index
  int PanelCount() const { return static_cast<int>(panels_.size()); }
  // Index outside 0..Count-1 raises EListError "List index out of bounds (%d)".
  const std::string& PanelText(int Index) const;
  int PanelWidth(int Index) const;
  TAlignment PanelAlignment(int Index) const;
  // The same text again does not touch the view.
  void SetPanelText(int Index, const std::string& Text);

 protected:
  std::unique_ptr<TControlPeer> MakePeer(TWindowSystem& System) override;
  void InitPeer() override;

 private:
  struct Panel {
    int Width;
    TAlignment Alignment;
    std::string Text;
  };
  const Panel& PanelAt(int Index) const;
  std::vector<Panel> panels_;
};

// A repeating timer run by the window system's loop. It runs while Enabled
// and Interval > 0 and a window system is installed; OnTimer is guarded, and
// a tick that comes while the previous one is still in its handler (a
// message box's loop) is skipped.
class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* AOwner);
  ~TTimer() override;
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool Value);
  int Interval() const { return interval_; }
  void SetInterval(int Value);
  TNotifyEvent OnTimer;
  // One tick, as the loop runs it.
  void Tick();
  bool Running() const { return timer_id_ != 0; }

 private:
  friend void SetWindowSystem(TWindowSystem*);
  void UpdateTimer();
  void Stop();
  bool enabled_ = true;
  int interval_ = 1000;
  bool in_tick_ = false;
  int timer_id_ = 0;
  TWindowSystem* system_ = nullptr;
  std::shared_ptr<bool> alive_;  // false once destroyed, for a handler that frees its timer
};

// What an edit does with a key that reaches it (Windows-1251): a printable
// character is appended, backspace (8) removes the last character, other
// control characters change nothing. Text is UTF-8.
void EditKeyIntoText(std::string& Text, char Key);

// The modal message box with a single OK (UTF-8 text); without a window
// system the text goes to standard error.
void ShowMessage(const std::string& Text);
// Handles pending events once through the window system.
void ProcessMessages();
