// Standard Win32 controls behind the controls: one peer per control, owning
// its window. Peers change a window only when it shows something else, and
// hand the operator's actions back to their control. A parent hands the
// notifications and colour requests of its child windows to the child's
// peer, so every control answers for itself.
#pragma once

#include <memory>
#include <string>

#include "controls/Controls.h"
#include "controls/WindowSystem.h"
#include "runtime/Events.h"

// Last: its macros (INFINITE among them) must not meet the program's names.
#include <windows.h>

class TWin32WindowSystem;

class TWin32PeerBase {
 public:
  TWin32PeerBase(TControl& Control, TWin32WindowSystem& System);
  virtual ~TWin32PeerBase();
  TWin32PeerBase(const TWin32PeerBase&) = delete;
  TWin32PeerBase& operator=(const TWin32PeerBase&) = delete;

  HWND Handle() const { return hwnd_; }
  TControl& Control() const { return control_; }
  // The peer behind a window of ours (nullptr for any other window).
  static TWin32PeerBase* FromHandle(HWND Window);

  // A notification (WM_COMMAND code) this window sent its parent.
  virtual void Command(WORD Code) {}
  // The brush this window's background is painted with, text colours set
  // on Dc; nullptr leaves it to the system.
  virtual HBRUSH CtlColor(HDC Dc);
  // A message to the window itself; returns true when it was handled and
  // Result holds the answer.
  virtual bool Message(UINT Msg, WPARAM W, LPARAM L, LRESULT& Result);

  // The window system's resolution changed: the window takes its font and
  // place again, scaled anew.
  virtual void DpiChanged() {}

  // The window procedure of the window classes of our own.
  static LRESULT CALLBACK OwnProc(HWND Window, UINT Msg, WPARAM W, LPARAM L);

 protected:
  // Creates the window: a class of our own (its procedure calls Message),
  // or a standard control, subclassed so Message sees its messages first.
  void Create(DWORD ExStyle, const wchar_t* Class, DWORD Style, HWND Parent, bool Own);
  // What a window takes of the common state. Places and sizes are in the
  // layout's 96-dpi units, scaled here (by the edges, so neighbours that
  // touch still touch).
  void Place(int l, int t, int w, int h);
  RECT Scaled(int l, int t, int w, int h) const;
  // What the control last gave: asked for again at another resolution.
  void Remember(int l, int t, int w, int h);
  void RememberFont(const TFont& f);
  void Show(bool v);
  void Enable(bool v);
  void ApplyText(const std::wstring& Text);
  void ApplyFont(const TFont& f);
  void ApplyColor(TColor c);
  void ApplyTabStop(bool v);
  void Focus();
  // Sets or clears style bits; returns whether they changed.
  bool SetStyleBits(DWORD Bits, bool On);

  TControl& control_;
  TWin32WindowSystem& system_;
  HWND hwnd_ = nullptr;
  TColor color_ = clBtnFace;
  // Cleared when the peer goes, for a handler that frees its own control.
  std::shared_ptr<bool> alive_;
  bool given_bounds_ = false;
  int given_l_ = 0, given_t_ = 0, given_w_ = 0, given_h_ = 0;
  bool given_font_set_ = false;
  TFont given_font_;

 private:
  static LRESULT CALLBACK SubclassProc(HWND Window, UINT Msg, WPARAM W, LPARAM L, UINT_PTR Id,
                                       DWORD_PTR Data);
  bool Common(UINT Msg, WPARAM W, LPARAM L, LRESULT& Result);
  void Detach();
  bool own_class_ = false;
};

// Forwards what the control sets to the window.
template <class Interface>
class TWin32Peer : public Interface, public TWin32PeerBase {
 public:
  using TWin32PeerBase::TWin32PeerBase;
  void SetBounds(int l, int t, int w, int h) override { Place(l, t, w, h); }
  void SetVisible(bool v) override { Show(v); }
  void SetEnabled(bool v) override { Enable(v); }
  void SetCaption(const std::string& c) override { ApplyCaption(c); }
  void SetFont(const TFont& f) override { ApplyFont(f); }
  void SetColor(TColor c) override { ApplyColor(c); }
  void SetTabStop(bool v) override { ApplyTabStop(v); }
  void SetFocus() override { Focus(); }
  // Through the interface, so a peer's own placing and font rules apply.
  void DpiChanged() override {
    if (given_font_set_) {
      const TFont f = given_font_;
      this->SetFont(f);
    }
    if (given_bounds_) this->SetBounds(given_l_, given_t_, given_w_, given_h_);
  }

 protected:
  virtual void ApplyCaption(const std::string& c);
};

// The window classes of our own, registered once per process.
void RegisterWin32Classes(HINSTANCE Instance);
extern const wchar_t* const kFormClass;
extern const wchar_t* const kPanelClass;

// Peers, created by TWin32WindowSystem; Parent is the parent control's window.
std::unique_ptr<TFormPeer> MakeWin32FormPeer(TForm& Control, TWin32WindowSystem& System);
std::unique_ptr<TControlPeer> MakeWin32PanelPeer(TPanel& Control, TWin32WindowSystem& System,
                                                 HWND Parent);
std::unique_ptr<TControlPeer> MakeWin32GroupBoxPeer(TGroupBox& Control, TWin32WindowSystem& System,
                                                    HWND Parent);
std::unique_ptr<TLabelPeer> MakeWin32LabelPeer(TLabel& Control, TWin32WindowSystem& System,
                                               HWND Parent);
std::unique_ptr<TControlPeer> MakeWin32ButtonPeer(TButton& Control, TWin32WindowSystem& System,
                                                  HWND Parent);
std::unique_ptr<TCheckPeer> MakeWin32CheckBoxPeer(TCheckBox& Control, TWin32WindowSystem& System,
                                                  HWND Parent);
std::unique_ptr<TCheckPeer> MakeWin32RadioButtonPeer(TRadioButton& Control,
                                                     TWin32WindowSystem& System, HWND Parent);
std::unique_ptr<TEditPeer> MakeWin32EditPeer(TEdit& Control, TWin32WindowSystem& System,
                                             HWND Parent);
std::unique_ptr<TComboBoxPeer> MakeWin32ComboBoxPeer(TComboBox& Control, TWin32WindowSystem& System,
                                                     HWND Parent);
std::unique_ptr<TMemoPeer> MakeWin32MemoPeer(TMemo& Control, TWin32WindowSystem& System,
                                             HWND Parent);
std::unique_ptr<TStatusBarPeer> MakeWin32StatusBarPeer(TStatusBar& Control,
                                                       TWin32WindowSystem& System, HWND Parent);
