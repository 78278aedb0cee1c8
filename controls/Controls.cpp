#include "controls/Controls.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "controls/Cp1251.h"
#include "runtime/Exception.h"
#include "runtime/Thread.h"

namespace {

TWindowSystem* g_window_system = nullptr;
TForm* g_main_form = nullptr;

std::vector<TTimer*>& Timers() {
  static std::vector<TTimer*> timers;
  return timers;
}

[[noreturn]] void CannotFocus() {
  throw Exception("Cannot focus a disabled or invisible window");
}

[[noreturn]] void IndexOutOfBounds(int index) {
  throw EListError(Format("List index out of bounds (%d)", index));
}

// Restores a flag on every way out, exceptions included.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }

 private:
  bool& flag_;
};

int Utf8Length(const std::string& s) {
  int n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

// ------------------------------------------------------------ free functions

int FontLineHeight(const TFont& Font) {
  return static_cast<int>(std::lround(Font.Size * 96.0 / 72.0)) + 2;
}

TSize EstimateTextExtent(const TFont& Font, const std::string& Text) {
  const double em = Font.Size * 96.0 / 72.0;
  const double per_char = em * (Font.Bold ? 0.62 : 0.56);
  return {static_cast<int>(std::lround(per_char * Utf8Length(Text))), FontLineHeight(Font)};
}

void SetWindowSystem(TWindowSystem* System) {
  if (System == g_window_system) return;
  for (TTimer* t : Timers()) t->Stop();
  g_window_system = System;
  if (System) {
    SetMainThreadWakeup([System] { System->CallQueued(); });
  } else {
    SetMainThreadWakeup(nullptr);
  }
  for (TTimer* t : Timers()) t->UpdateTimer();
}

TWindowSystem* WindowSystem() {
  return g_window_system;
}

TForm* MainForm() {
  return g_main_form;
}
void SetMainForm(TForm* Form) {
  g_main_form = Form;
}

void EditKeyIntoText(std::string& Text, char Key) {
  const unsigned char k = static_cast<unsigned char>(Key);
  if (k == 8) {
    // Drop the last UTF-8 character with all its continuation bytes.
    while (!Text.empty()) {
      const unsigned char last = static_cast<unsigned char>(Text.back());
      Text.pop_back();
      if ((last & 0xC0) != 0x80) break;
    }
  } else if (k >= 0x20) {
    Text += Cp1251ToUtf8(std::string_view(&Key, 1));
  }
}

void ShowMessage(const std::string& Text) {
  if (TWindowSystem* ws = WindowSystem()) {
    ws->ShowMessageBox(Text);
  } else {
    std::fprintf(stderr, "%s\n", Text.c_str());
  }
}

void ProcessMessages() {
  if (TWindowSystem* ws = WindowSystem()) ws->ProcessMessages();
}

// ------------------------------------------------------------------ TControl

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {}

TControl::~TControl() {
  if (parent_) {
    if (TForm* form = ParentForm()) form->ControlGone(this);
    parent_->RemoveChild(this);
    parent_ = nullptr;
  }
  peer_.reset();
}

void TControl::SetParent(TWinControl* AParent) {
  if (AParent == parent_) return;
  for (TControl* p = AParent; p; p = p->parent_) {
    if (p == this) throw Exception("A control cannot be its own parent");
  }
  const TFont before = Font();
  if (parent_) {
    if (TForm* form = ParentForm()) form->ControlGone(this);
    TWinControl* old = parent_;
    parent_ = nullptr;
    old->RemoveChild(this);
  }
  parent_ = AParent;
  if (parent_) parent_->AddChild(this);
  if (parent_font_ && !(Font() == before)) FontChanged();
}

TForm* TControl::ParentForm() const {
  const TControl* c = this;
  while (c->parent_) c = c->parent_;
  return dynamic_cast<TForm*>(const_cast<TControl*>(c));
}

void TControl::StoreBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  left_ = ALeft;
  top_ = ATop;
  width_ = std::max(0, AWidth);
  height_ = std::max(0, AHeight);
}

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  AWidth = std::max(0, AWidth);
  AHeight = std::max(0, AHeight);
  if (ALeft == left_ && ATop == top_ && AWidth == width_ && AHeight == height_) return;
  const bool resized = AWidth != width_ || AHeight != height_;
  StoreBounds(ALeft, ATop, AWidth, AHeight);
  if (peer_) PushBounds();
  if (resized) Resized();
  if (parent_ && align_ != alNone) parent_->ChildLayoutChanged(this);
}

void TControl::PushBounds() {
  peer_->SetBounds(left_, top_, width_, height_);
}

void TControl::SetAlign(TAlign Value) {
  if (Value == align_) return;
  align_ = Value;
  if (parent_) parent_->Realign();
}

void TControl::SetVisible(bool Value) {
  if (Value == visible_) return;
  visible_ = Value;
  if (peer_) peer_->SetVisible(Value);
  if (parent_ && align_ != alNone) parent_->ChildLayoutChanged(this);
}

bool TControl::Showing() const {
  for (const TControl* c = this; c; c = c->parent_) {
    if (!c->visible_) return false;
  }
  return true;
}

void TControl::SetEnabled(bool Value) {
  if (Value == enabled_) return;
  enabled_ = Value;
  if (peer_) peer_->SetEnabled(Value);
}

const TFont& TControl::Font() const {
  return parent_font_ && parent_ ? parent_->Font() : font_;
}

void TControl::SetFont(const TFont& Value) {
  const TFont before = Font();
  parent_font_ = false;
  font_ = Value;
  if (!(before == Value)) FontChanged();
}

void TControl::SetParentFont(bool Value) {
  if (Value == parent_font_) return;
  const TFont before = Font();
  if (!Value) font_ = before;  // keeps showing what it showed
  parent_font_ = Value;
  if (!(Font() == before)) FontChanged();
}

void TControl::FontChanged() {
  if (peer_) peer_->SetFont(Font());
}

void TControl::SetCaption(const std::string& Value) {
  if (Value == caption_) return;
  caption_ = Value;
  if (peer_) peer_->SetCaption(Value);
  CaptionChanged();
}

void TControl::SetTabStop(bool Value) {
  if (Value == tab_stop_) return;
  tab_stop_ = Value;
  if (peer_) peer_->SetTabStop(Value);
}

void TControl::SetColor(TColor Value) {
  if (Value == color_) return;
  color_ = Value;
  if (peer_) peer_->SetColor(Value);
}

void TControl::OperatorFocus() {
  auto* self = dynamic_cast<TWinControl*>(this);
  TForm* form = ParentForm();
  if (!self || !form || form == this) return;
  form->active_ = self;
}

void TControl::InitPeer() {
  PushBounds();
  peer_->SetFont(Font());
  peer_->SetColor(color_);
  peer_->SetEnabled(enabled_);
  peer_->SetTabStop(tab_stop_);
  peer_->SetCaption(caption_);
}

void TControl::CreatePeerTree(TWindowSystem& System) {
  if (!peer_) {
    peer_ = MakePeer(System);
    InitPeer();
    peer_->SetVisible(visible_);
  }
  if (auto* self = dynamic_cast<TWinControl*>(this)) {
    // A copy: a peer's creation must not see the list change under it.
    const std::vector<TControl*> children = self->children_;
    for (TControl* c : children) c->CreatePeerTree(System);
  }
}

void TControl::DestroyPeerTree() {
  if (auto* self = dynamic_cast<TWinControl*>(this)) {
    for (TControl* c : self->children_) c->DestroyPeerTree();
  }
  peer_.reset();
}

// --------------------------------------------------------------- TWinControl

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner) {}

TWinControl::~TWinControl() {
  TForm* form = ParentForm();
  for (TControl* c : children_) {
    if (form) form->ControlGone(c);
    c->DestroyPeerTree();
    c->parent_ = nullptr;
  }
  children_.clear();
}

TControl* TWinControl::Controls(int Index) const {
  if (Index < 0 || Index >= ControlCount()) IndexOutOfBounds(Index);
  return children_[Index];
}

void TWinControl::SetBorderWidth(int Value) {
  Value = std::max(0, Value);
  if (Value == border_width_) return;
  border_width_ = Value;
  Realign();
}

TRect TWinControl::AlignRect() const {
  return {border_width_, border_width_, ClientWidth() - border_width_,
          ClientHeight() - border_width_};
}

void TWinControl::Realign() {
  if (aligning_) return;
  FlagScope scope(aligning_);
  TRect r = AlignRect();

  auto group = [this](TAlign a) {
    std::vector<TControl*> g;
    for (TControl* c : children_) {
      if (c->align_ == a && c->visible_) g.push_back(c);
    }
    // Within a group the position decides the order, as designed.
    std::stable_sort(g.begin(), g.end(), [a](const TControl* x, const TControl* y) {
      switch (a) {
        case alTop:
          return x->top_ < y->top_;
        case alBottom:
          return x->top_ + x->height_ > y->top_ + y->height_;
        case alLeft:
          return x->left_ < y->left_;
        case alRight:
          return x->left_ + x->width_ > y->left_ + y->width_;
        default:
          return false;
      }
    });
    return g;
  };

  for (TControl* c : group(alTop)) {
    const int h = c->height_;
    c->SetBounds(r.Left, r.Top, r.Width(), h);
    r.Top += h;
  }
  for (TControl* c : group(alBottom)) {
    const int h = c->height_;
    c->SetBounds(r.Left, r.Bottom - h, r.Width(), h);
    r.Bottom -= h;
  }
  for (TControl* c : group(alLeft)) {
    const int w = c->width_;
    c->SetBounds(r.Left, r.Top, w, r.Height());
    r.Left += w;
  }
  for (TControl* c : group(alRight)) {
    const int w = c->width_;
    c->SetBounds(r.Right - w, r.Top, w, r.Height());
    r.Right -= w;
  }
  for (TControl* c : group(alClient)) {
    c->SetBounds(r.Left, r.Top, r.Width(), r.Height());
  }
}

void TWinControl::Resized() {
  Realign();
}

void TWinControl::FontChanged() {
  TControl::FontChanged();
  for (TControl* c : children_) {
    if (c->parent_font_) c->FontChanged();
  }
}

void TWinControl::AddChild(TControl* Child) {
  children_.push_back(Child);
  if (Peer() && WindowSystem()) Child->CreatePeerTree(*WindowSystem());
  if (Child->align_ != alNone) Realign();
}

void TWinControl::RemoveChild(TControl* Child) {
  auto it = std::find(children_.begin(), children_.end(), Child);
  if (it == children_.end()) return;
  children_.erase(it);
  Child->DestroyPeerTree();
  if (Child->align_ != alNone) Realign();
}

void TWinControl::ChildLayoutChanged(TControl* Child) {
  if (Child->align_ != alNone || !Child->visible_) Realign();
}

bool TWinControl::CanFocus() const {
  const TForm* form = ParentForm();
  if (!form) return false;
  for (const TControl* c = this; c && c != form; c = c->Parent()) {
    if (!c->Visible() || !c->Enabled()) return false;
  }
  return true;
}

void TWinControl::SetFocus() {
  TForm* form = ParentForm();
  if (!form || form == this) CannotFocus();
  form->SetActiveControl(this);
}

bool TWinControl::Focused() const {
  const TForm* form = ParentForm();
  return form && form->ActiveControl() == this;
}

// --------------------------------------------------------------------- TForm

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner) {
  const TRect m = FrameMargins();
  StoreBounds(0, 0, 320 + m.Left + m.Right, 240 + m.Top + m.Bottom);
  SetVisible(false);
  SetTabStop(false);
}

TForm::~TForm() {
  if (g_main_form == this) g_main_form = nullptr;
}

int TForm::ClientWidth() const {
  const TRect m = FrameMargins();
  return std::max(0, Width() - m.Left - m.Right);
}

int TForm::ClientHeight() const {
  const TRect m = FrameMargins();
  return std::max(0, Height() - m.Top - m.Bottom);
}

void TForm::SetClientSize(int AClientWidth, int AClientHeight) {
  const TRect m = FrameMargins();
  SetBounds(Left(), Top(), std::max(0, AClientWidth) + m.Left + m.Right,
            std::max(0, AClientHeight) + m.Top + m.Bottom);
}

void TForm::PushBounds() {
  Peer()->SetBounds(Left(), Top(), ClientWidth(), ClientHeight());
}

void TForm::SetActiveControl(TWinControl* Control) {
  if (Control && (Control == this || Control->ParentForm() != this || !Control->CanFocus())) {
    CannotFocus();
  }
  active_ = Control;
  if (Control && Control->Peer() && Visible()) Control->Peer()->SetFocus();
}

void TForm::ControlGone(TControl* Control) {
  for (const TControl* c = active_; c; c = c->Parent()) {
    if (c == Control) {
      active_ = nullptr;
      return;
    }
  }
}

std::unique_ptr<TControlPeer> TForm::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

void TForm::Realize() {
  TWindowSystem* ws = WindowSystem();
  if (!ws) throw Exception("No window system is installed");
  CreatePeerTree(*ws);
}

void TForm::Show() {
  Realize();
  if (!shown_once_) {
    shown_once_ = true;
    if (position_ != poDesigned) {
      const TRect area = WindowSystem()->WorkArea();
      SetBounds(area.Left + std::max(0, (area.Width() - Width()) / 2),
                area.Top + std::max(0, (area.Height() - Height()) / 2), Width(), Height());
    }
  }
  SetVisible(true);
  if (active_ && active_->Peer() && active_->CanFocus()) active_->Peer()->SetFocus();
  if (OnShow) OnShow(this);
}

void TForm::Close() {
  TCloseAction action = caHide;
  if (OnClose) OnClose(this, action);
  if (action == caNone) return;
  SetVisible(false);
  if (g_main_form == this) {
    if (TWindowSystem* ws = WindowSystem()) ws->Terminate();
  }
}

void TForm::OperatorClose() {
  RunGuarded(this, [this] { Close(); });
}

void TForm::OperatorResize(int AClientWidth, int AClientHeight) {
  RunGuarded(this, [&] { SetClientSize(AClientWidth, AClientHeight); });
}

void TForm::OperatorMove(int ALeft, int ATop) {
  StoreBounds(ALeft, ATop, Width(), Height());
}

// -------------------------------------------------------- panels and labels

TPanel::TPanel(TComponent* AOwner) : TWinControl(AOwner) {
  StoreBounds(0, 0, 185, 41);
}

std::unique_ptr<TControlPeer> TPanel::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

TGroupBox::TGroupBox(TComponent* AOwner) : TWinControl(AOwner) {
  StoreBounds(0, 0, 185, 105);
}

TRect TGroupBox::AlignRect() const {
  TRect r = TWinControl::AlignRect();
  r.Top += FontLineHeight(Font());
  r.Left += 2;
  r.Top += 2;
  r.Right -= 2;
  r.Bottom -= 2;
  return r;
}

std::unique_ptr<TControlPeer> TGroupBox::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

void TGroupBox::FontChanged() {
  TWinControl::FontChanged();
  Realign();
}

TLabel::TLabel(TComponent* AOwner) : TControl(AOwner) {
  AdjustSize();
}

void TLabel::SetAutoSize(bool Value) {
  if (Value == auto_size_) return;
  auto_size_ = Value;
  AdjustSize();
}

void TLabel::SetAlignment(TAlignment Value) {
  if (Value == alignment_) return;
  alignment_ = Value;
  if (Peer()) PeerAs<TLabelPeer>()->SetAlignment(Value);
}

std::unique_ptr<TControlPeer> TLabel::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

void TLabel::InitPeer() {
  AdjustSize();
  TControl::InitPeer();
  PeerAs<TLabelPeer>()->SetAlignment(alignment_);
}

void TLabel::Loaded() {
  TControl::Loaded();
  AdjustSize();
}

void TLabel::CaptionChanged() {
  AdjustSize();
}

void TLabel::FontChanged() {
  TControl::FontChanged();
  AdjustSize();
}

void TLabel::AdjustSize() {
  if (!auto_size_) return;
  const TSize s = WindowSystem() ? WindowSystem()->TextExtent(Font(), Caption())
                                 : EstimateTextExtent(Font(), Caption());
  SetBounds(Left(), Top(), s.Width, s.Height);
}

// ------------------------------------------------------------------- buttons

TButtonControl::TButtonControl(TComponent* AOwner) : TWinControl(AOwner) {
  SetTabStop(true);
}

void TButtonControl::Click() {
  if (OnClick) OnClick(this);
}

TButton::TButton(TComponent* AOwner) : TButtonControl(AOwner) {
  StoreBounds(0, 0, 75, 25);
}

void TButton::OperatorClick() {
  RunGuarded(this, [this] { Click(); });
}

std::unique_ptr<TControlPeer> TButton::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

TCheckBox::TCheckBox(TComponent* AOwner) : TButtonControl(AOwner) {
  StoreBounds(0, 0, 97, 17);
}

void TCheckBox::SetChecked(bool Value) {
  if (Value == checked_) return;
  checked_ = Value;
  if (Peer()) PeerAs<TCheckPeer>()->SetChecked(Value);
  Click();
}

void TCheckBox::OperatorClick() {
  RunGuarded(this, [this] { SetChecked(!checked_); });
}

void TCheckBox::OperatorToggle(bool State) {
  RunGuarded(this, [this, State] { SetChecked(State); });
}

std::unique_ptr<TControlPeer> TCheckBox::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

void TCheckBox::InitPeer() {
  TButtonControl::InitPeer();
  PeerAs<TCheckPeer>()->SetChecked(checked_);
}

TRadioButton::TRadioButton(TComponent* AOwner) : TButtonControl(AOwner) {
  StoreBounds(0, 0, 113, 17);
  SetTabStop(false);  // only the selected one of a group is a tab stop
}

void TRadioButton::SetChecked(bool Value) {
  if (Value == checked_) return;
  checked_ = Value;
  SetTabStop(Value);
  if (Peer()) PeerAs<TCheckPeer>()->SetChecked(Value);
  if (!Value) return;
  if (TWinControl* p = Parent()) {
    for (int i = 0; i < p->ControlCount(); ++i) {
      auto* other = dynamic_cast<TRadioButton*>(p->Controls(i));
      if (other && other != this) other->SetChecked(false);
    }
  }
  Click();
}

void TRadioButton::OperatorClick() {
  RunGuarded(this, [this] { SetChecked(true); });
}

std::unique_ptr<TControlPeer> TRadioButton::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

void TRadioButton::InitPeer() {
  TButtonControl::InitPeer();
  PeerAs<TCheckPeer>()->SetChecked(checked_);
}

// ---------------------------------------------------------------------- TEdit

TEdit::TEdit(TComponent* AOwner) : TWinControl(AOwner) {
  StoreBounds(0, 0, 121, 21);
  SetTabStop(true);
  SetColor(clWindow);
}

std::string TEdit::Text() const {
  return Peer() ? PeerAs<TEditPeer>()->Text() : text_;
}

void TEdit::SetText(const std::string& Value) {
  // The shown text is the peer's (the operator types into it), so the peer
  // is the one that compares and leaves unchanged text alone.
  text_ = Value;
  if (Peer()) PeerAs<TEditPeer>()->SetText(Value);
}

void TEdit::SetReadOnly(bool Value) {
  if (Value == read_only_) return;
  read_only_ = Value;
  if (Peer()) PeerAs<TEditPeer>()->SetReadOnly(Value);
}

char TEdit::OperatorKey(char Key) {
  try {
    if (OnKeyPress) OnKeyPress(this, Key);
    if (Key != 0) KeyIntoText(Key);
  } catch (...) {
    ApplicationHandleException(this);
    return 0;
  }
  return Key;
}

bool TEdit::OperatorMoveKey(TMoveKey Key) {
  if (!OnMoveKey) return false;
  RunGuarded(this, [&] { OnMoveKey(this, Key); });
  return true;
}

void TEdit::OperatorType(std::string_view Keys) {
  for (char k : Keys) OperatorKey(k);
}

void TEdit::KeyIntoText(char Key) {
  if (Peer()) {
    PeerAs<TEditPeer>()->KeyIntoEdit(Key);
  } else if (!read_only_) {
    EditKeyIntoText(text_, Key);
  }
}

std::unique_ptr<TControlPeer> TEdit::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

void TEdit::InitPeer() {
  TWinControl::InitPeer();
  auto* p = PeerAs<TEditPeer>();
  p->SetReadOnly(read_only_);
  p->SetText(text_);
}

// ------------------------------------------------------------------ TComboBox

TComboBox::TComboBox(TComponent* AOwner) : TWinControl(AOwner) {
  StoreBounds(0, 0, 145, 21);
  SetTabStop(true);
  SetColor(clWindow);
}

void TComboBox::SyncItems() const {
  if (!Peer()) return;
  const int n = items_.Count();
  bool same = static_cast<int>(shown_items_.size()) == n;
  for (int i = 0; same && i < n; ++i) same = shown_items_[i] == items_.Strings(i);
  if (same) return;
  const int index = PeerAs<TComboBoxPeer>()->ItemIndex();
  shown_items_.clear();
  for (int i = 0; i < n; ++i) shown_items_.push_back(items_.Strings(i));
  item_index_ = index < n ? index : -1;
  auto* p = PeerAs<TComboBoxPeer>();
  p->SetItems(shown_items_);
  p->SetItemIndex(item_index_);
}

void TComboBox::ItemsChanged() {
  SyncItems();
}

int TComboBox::ItemIndex() const {
  SyncItems();
  if (Peer()) item_index_ = PeerAs<TComboBoxPeer>()->ItemIndex();
  if (item_index_ >= items_.Count()) item_index_ = -1;
  return item_index_;
}

void TComboBox::SetItemIndex(int Value) {
  if (Value < 0 || Value >= items_.Count()) Value = -1;
  if (Value == ItemIndex()) return;
  item_index_ = Value;
  if (Peer()) PeerAs<TComboBoxPeer>()->SetItemIndex(Value);
}

std::string TComboBox::Text() const {
  const int i = ItemIndex();
  return i >= 0 ? items_.Strings(i) : std::string();
}

void TComboBox::OperatorSelect(int Index) {
  RunGuarded(this, [this, Index] {
    SyncItems();
    if (Index < 0 || Index >= items_.Count()) return;
    item_index_ = Index;
    if (Peer() && PeerAs<TComboBoxPeer>()->ItemIndex() != Index) {
      PeerAs<TComboBoxPeer>()->SetItemIndex(Index);
    }
    if (OnChange) OnChange(this);
  });
}

std::unique_ptr<TControlPeer> TComboBox::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

void TComboBox::InitPeer() {
  TWinControl::InitPeer();
  shown_items_.clear();
  for (int i = 0; i < items_.Count(); ++i) shown_items_.push_back(items_.Strings(i));
  if (item_index_ >= items_.Count()) item_index_ = -1;
  auto* p = PeerAs<TComboBoxPeer>();
  p->SetItems(shown_items_);
  p->SetItemIndex(item_index_);
}

// ---------------------------------------------------------------------- TMemo

TMemo::TMemo(TComponent* AOwner)
    : TWinControl(AOwner), own_(std::make_unique<TLogText>()), shown_(own_.get()) {
  StoreBounds(0, 0, 185, 89);
  SetTabStop(true);
  SetColor(clWindow);
}

TMemo::~TMemo() = default;

void TMemo::SetReadOnly(bool Value) {
  if (Value == read_only_) return;
  read_only_ = Value;
  if (Peer()) PeerAs<TMemoPeer>()->SetReadOnly(Value);
}

void TMemo::SetWordWrap(bool Value) {
  if (Value == word_wrap_) return;
  word_wrap_ = Value;
  if (Peer()) PeerAs<TMemoPeer>()->SetWordWrap(Value);
}

void TMemo::SetScrollBars(TScrollStyle Value) {
  if (Value == scroll_bars_) return;
  scroll_bars_ = Value;
  if (Peer()) PeerAs<TMemoPeer>()->SetScrollBars(Value);
}

void TMemo::ShowText(const TLogText* Text) {
  const TLogText* shown = Text ? Text : own_.get();
  if (shown == shown_) return;
  shown_ = shown;
  if (shown_ != own_.get()) own_->Clear();
  if (Peer()) PeerAs<TMemoPeer>()->ShowText(*shown_);
}

void TMemo::AppendText(std::string_view Cp1251) {
  if (Cp1251.empty()) return;
  if (shown_ == own_.get()) own_->Append(Cp1251);
  if (Peer()) PeerAs<TMemoPeer>()->AppendText(Cp1251);
}

void TMemo::ClearText() {
  if (shown_ == own_.get()) own_->Clear();
  if (Peer()) PeerAs<TMemoPeer>()->ClearText();
}

void TMemo::OperatorFindClose() {
  if (OnFindClose) RunGuarded(this, [&] { OnFindClose(this); });
}

void TMemo::SaveProgress(const std::string& Text) {
  if (OnSaveProgress) RunGuarded(this, [&] { OnSaveProgress(this, Text); });
}

std::unique_ptr<TControlPeer> TMemo::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

void TMemo::InitPeer() {
  TWinControl::InitPeer();
  auto* p = PeerAs<TMemoPeer>();
  p->SetReadOnly(read_only_);
  p->SetWordWrap(word_wrap_);
  p->SetScrollBars(scroll_bars_);
  p->ShowText(*shown_);
}

// ----------------------------------------------------------------- TStatusBar

TStatusBar::TStatusBar(TComponent* AOwner) : TWinControl(AOwner) {
  StoreBounds(0, 0, 185, 19);
  SetAlign(alBottom);
}

int TStatusBar::AddPanel(int Width, TAlignment Alignment) {
  panels_.push_back({std::max(0, Width), Alignment, {}});
  if (Peer()) PeerAs<TStatusBarPeer>()->AddPanel(panels_.back().Width, Alignment);
  return PanelCount() - 1;
}

const TStatusBar::Panel& TStatusBar::PanelAt(int Index) const {
  if (Index < 0 || Index >= PanelCount()) IndexOutOfBounds(Index);
  return panels_[Index];
}

const std::string& TStatusBar::PanelText(int Index) const {
  return PanelAt(Index).Text;
}
int TStatusBar::PanelWidth(int Index) const {
  return PanelAt(Index).Width;
}
TAlignment TStatusBar::PanelAlignment(int Index) const {
  return PanelAt(Index).Alignment;
}

void TStatusBar::SetPanelText(int Index, const std::string& Text) {
  if (PanelAt(Index).Text == Text) return;
  panels_[Index].Text = Text;
  if (Peer()) PeerAs<TStatusBarPeer>()->SetPanelText(Index, Text);
}

std::unique_ptr<TControlPeer> TStatusBar::MakePeer(TWindowSystem& System) {
  return System.CreatePeer(*this);
}

void TStatusBar::InitPeer() {
  TWinControl::InitPeer();
  auto* p = PeerAs<TStatusBarPeer>();
  for (std::size_t i = 0; i < panels_.size(); ++i) {
    p->AddPanel(panels_[i].Width, panels_[i].Alignment);
    if (!panels_[i].Text.empty()) p->SetPanelText(static_cast<int>(i), panels_[i].Text);
  }
}

// --------------------------------------------------------------------- TTimer

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner), alive_(std::make_shared<bool>(true)) {
  Timers().push_back(this);
  UpdateTimer();
}

TTimer::~TTimer() {
  *alive_ = false;
  Stop();
  auto& timers = Timers();
  timers.erase(std::remove(timers.begin(), timers.end(), this), timers.end());
}

void TTimer::SetEnabled(bool Value) {
  if (Value == enabled_) return;
  enabled_ = Value;
  UpdateTimer();
}

void TTimer::SetInterval(int Value) {
  if (Value == interval_) return;
  interval_ = Value;
  UpdateTimer();
}

void TTimer::Stop() {
  if (timer_id_ != 0 && system_) system_->StopTimer(timer_id_);
  timer_id_ = 0;
  system_ = nullptr;
}

void TTimer::UpdateTimer() {
  Stop();
  TWindowSystem* ws = WindowSystem();
  if (!enabled_ || interval_ <= 0 || !ws) return;
  system_ = ws;
  timer_id_ = ws->StartTimer(interval_, [this] { Tick(); });
}

void TTimer::Tick() {
  if (in_tick_) return;
  const std::shared_ptr<bool> alive = alive_;
  in_tick_ = true;
  RunGuarded(this, [this] {
    if (OnTimer) OnTimer(this);
  });
  if (*alive) in_tick_ = false;
}
