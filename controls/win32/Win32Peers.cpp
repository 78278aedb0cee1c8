#include "controls/win32/Win32Peers.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <vector>

#include "controls/Cp1251.h"
#include "controls/win32/Win32LogView.h"
#include "controls/win32/Win32Text.h"
#include "controls/win32/Win32WindowSystem.h"

const wchar_t* const kFormClass = L"T5Form";
const wchar_t* const kPanelClass = L"T5Panel";

namespace {

const wchar_t* const kPeerProp = L"T5Peer";

std::wstring WindowText(HWND w) {
  const int n = GetWindowTextLengthW(w);
  std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
  const int got = GetWindowTextW(w, s.data(), n + 1);
  s.resize(static_cast<std::size_t>(std::max(0, got)));
  return s;
}

// The message goes to the peer of the window it is about, when that is ours.
bool Reflect(UINT Msg, WPARAM W, LPARAM L, LRESULT& Result) {
  switch (Msg) {
    case WM_COMMAND:
      if (TWin32PeerBase* p = TWin32PeerBase::FromHandle(reinterpret_cast<HWND>(L))) {
        p->Command(HIWORD(W));
        Result = 0;
        return true;
      }
      return false;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
      if (TWin32PeerBase* p = TWin32PeerBase::FromHandle(reinterpret_cast<HWND>(L))) {
        if (HBRUSH b = p->CtlColor(reinterpret_cast<HDC>(W))) {
          Result = reinterpret_cast<LRESULT>(b);
          return true;
        }
      }
      return false;
    default:
      return false;
  }
}

}  // namespace

// ------------------------------------------------------------------ the base

TWin32PeerBase::TWin32PeerBase(TControl& Control, TWin32WindowSystem& System)
    : control_(Control), system_(System), alive_(std::make_shared<bool>(true)) {
  system_.Enlist(this);
}

TWin32PeerBase::~TWin32PeerBase() {
  *alive_ = false;
  system_.Delist(this);
  // Nothing may reach this half-destroyed peer while its window goes.
  if (HWND w = hwnd_) {
    Detach();
    DestroyWindow(w);
  }
}

void TWin32PeerBase::Detach() {
  if (!hwnd_) return;
  RemovePropW(hwnd_, kPeerProp);
  if (own_class_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  } else {
    RemoveWindowSubclass(hwnd_, SubclassProc, 1);
  }
  hwnd_ = nullptr;
}

TWin32PeerBase* TWin32PeerBase::FromHandle(HWND Window) {
  return Window ? static_cast<TWin32PeerBase*>(GetPropW(Window, kPeerProp)) : nullptr;
}

void TWin32PeerBase::Create(DWORD ExStyle, const wchar_t* Class, DWORD Style, HWND Parent,
                            bool Own) {
  own_class_ = Own;
  HWND w = CreateWindowExW(ExStyle, Class, L"", Style, 0, 0, 0, 0, Parent, nullptr,
                           system_.Instance(), Own ? this : nullptr);
  if (!w) throw Exception("Cannot create a window");
  hwnd_ = w;
  SetPropW(w, kPeerProp, this);
  if (!Own) SetWindowSubclass(w, SubclassProc, 1, reinterpret_cast<DWORD_PTR>(this));
}

LRESULT CALLBACK TWin32PeerBase::OwnProc(HWND Window, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(L);
    if (auto* peer = static_cast<TWin32PeerBase*>(cs->lpCreateParams)) {
      peer->hwnd_ = Window;
      SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(peer));
    }
  }
  auto* peer = reinterpret_cast<TWin32PeerBase*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
  LRESULT result = 0;
  if (peer && (peer->Message(Msg, W, L, result) || peer->Common(Msg, W, L, result))) return result;
  if (Msg == WM_NCDESTROY && peer) peer->hwnd_ = nullptr;
  return DefWindowProcW(Window, Msg, W, L);
}

LRESULT CALLBACK TWin32PeerBase::SubclassProc(HWND Window, UINT Msg, WPARAM W, LPARAM L, UINT_PTR,
                                              DWORD_PTR Data) {
  auto* peer = reinterpret_cast<TWin32PeerBase*>(Data);
  LRESULT result = 0;
  if (peer->Message(Msg, W, L, result) || peer->Common(Msg, W, L, result)) return result;
  if (Msg == WM_NCDESTROY) {
    // The parent went first and took this window with it.
    RemoveWindowSubclass(Window, SubclassProc, 1);
    peer->hwnd_ = nullptr;
  }
  return DefSubclassProc(Window, Msg, W, L);
}

bool TWin32PeerBase::Common(UINT Msg, WPARAM W, LPARAM L, LRESULT& Result) {
  if (Msg == WM_SETFOCUS) {
    control_.OperatorFocus();
    return false;  // the window takes the focus as it always does
  }
  return Reflect(Msg, W, L, Result);
}

bool TWin32PeerBase::Message(UINT, WPARAM, LPARAM, LRESULT&) {
  return false;
}

HBRUSH TWin32PeerBase::CtlColor(HDC Dc) {
  SetTextColor(Dc, GetSysColor(IsWindowEnabled(hwnd_) ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT));
  SetBkColor(Dc, TWin32WindowSystem::ColorRef(color_));
  return system_.Brush(color_);
}

void TWin32PeerBase::Remember(int l, int t, int w, int h) {
  given_bounds_ = true;
  given_l_ = l;
  given_t_ = t;
  given_w_ = w;
  given_h_ = h;
}

void TWin32PeerBase::RememberFont(const TFont& f) {
  given_font_set_ = true;
  given_font_ = f;
}

RECT TWin32PeerBase::Scaled(int l, int t, int w, int h) const {
  const int x = system_.Scale(l), y = system_.Scale(t);
  return {x, y, std::max(x, system_.Scale(l + std::max(0, w))),
          std::max(y, system_.Scale(t + std::max(0, h)))};
}

void TWin32PeerBase::Place(int l, int t, int w, int h) {
  Remember(l, t, w, h);
  if (!hwnd_) return;
  const RECT want = Scaled(l, t, w, h);
  RECT r;
  GetWindowRect(hwnd_, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(hwnd_), reinterpret_cast<POINT*>(&r), 2);
  if (EqualRect(&r, &want)) return;
  SetWindowPos(hwnd_, nullptr, want.left, want.top, want.right - want.left, want.bottom - want.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void TWin32PeerBase::Show(bool v) {
  if (!hwnd_) return;
  // The window's own flag: a hidden parent must not hide that the control
  // itself is visible, or not.
  const bool own = (GetWindowLongW(hwnd_, GWL_STYLE) & WS_VISIBLE) != 0;
  if (own == v) return;
  ShowWindow(hwnd_, v ? SW_SHOWNA : SW_HIDE);
}

void TWin32PeerBase::Enable(bool v) {
  if (!hwnd_) return;
  const bool own = (GetWindowLongW(hwnd_, GWL_STYLE) & WS_DISABLED) == 0;
  if (own != v) EnableWindow(hwnd_, v);
}

void TWin32PeerBase::ApplyText(const std::wstring& Text) {
  if (hwnd_ && WindowText(hwnd_) != Text) SetWindowTextW(hwnd_, Text.c_str());
}

void TWin32PeerBase::ApplyFont(const TFont& f) {
  RememberFont(f);
  if (!hwnd_) return;
  HFONT font = system_.Font(f);
  if (reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)) != font) {
    SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
}

void TWin32PeerBase::ApplyColor(TColor c) {
  if (c == color_) return;
  color_ = c;
  if (hwnd_) InvalidateRect(hwnd_, nullptr, TRUE);
}

void TWin32PeerBase::ApplyTabStop(bool v) {
  SetStyleBits(WS_TABSTOP, v);
}

void TWin32PeerBase::Focus() {
  if (hwnd_ && GetFocus() != hwnd_) ::SetFocus(hwnd_);
}

bool TWin32PeerBase::SetStyleBits(DWORD Bits, bool On) {
  if (!hwnd_) return false;
  const DWORD style = static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_STYLE));
  const DWORD next = On ? (style | Bits) : (style & ~Bits);
  if (next == style) return false;
  SetWindowLongW(hwnd_, GWL_STYLE, static_cast<LONG>(next));
  return true;
}

template <class Interface>
void TWin32Peer<Interface>::ApplyCaption(const std::string& c) {
  ApplyText(ToWide(c));
}

void RegisterWin32Classes(HINSTANCE Instance) {
  static bool done = false;
  if (done) return;
  done = true;
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = TWin32PeerBase::OwnProc;
  wc.hInstance = Instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  // The program's icon is resource 1 when the executable carries one.
  wc.hIcon = LoadIconW(Instance, MAKEINTRESOURCEW(1));
  if (!wc.hIcon) wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
  wc.hIconSm = static_cast<HICON>(LoadImageW(Instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), 0));
  wc.lpszClassName = kFormClass;
  RegisterClassExW(&wc);
  wc.style = 0;
  wc.hIcon = nullptr;
  wc.hIconSm = nullptr;
  wc.lpszClassName = kPanelClass;
  RegisterClassExW(&wc);
}

namespace {

// Paints a container's background in its colour.
bool EraseBackground(HWND w, HDC dc, HBRUSH brush) {
  RECT r;
  GetClientRect(w, &r);
  FillRect(dc, &r, brush);
  return true;
}

// ----------------------------------------------------------------------- form

// The window's outer size for a client area, with the frame of the
// resolution the window is laid out at (AdjustWindowRectExForDpi, Windows 10
// 1607 and later, looked up at run time; the system-wide frame elsewhere).
SIZE OuterSize(HWND Window, int ClientWidth, int ClientHeight, int Dpi) {
  using ForDpi = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto forDpi = [] {
    HMODULE user = GetModuleHandleW(L"user32.dll");
    return user ? reinterpret_cast<ForDpi>(
                      reinterpret_cast<void*>(GetProcAddress(user, "AdjustWindowRectExForDpi")))
                : nullptr;
  }();
  RECT r{0, 0, ClientWidth, ClientHeight};
  const auto style = static_cast<DWORD>(GetWindowLongW(Window, GWL_STYLE));
  const auto ex = static_cast<DWORD>(GetWindowLongW(Window, GWL_EXSTYLE));
  if (!forDpi || !forDpi(&r, style, FALSE, ex, static_cast<UINT>(Dpi))) {
    r = {0, 0, ClientWidth, ClientHeight};
    AdjustWindowRectEx(&r, style, FALSE, ex);
  }
  return {r.right - r.left, r.bottom - r.top};
}

class TWin32FormPeer : public TWin32Peer<TFormPeer> {
 public:
  TWin32FormPeer(TForm& Form, TWin32WindowSystem& System) : TWin32Peer(Form, System) {
    Create(WS_EX_CONTROLPARENT, kFormClass, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, nullptr, true);
    // The form's controls are made after it, at the resolution of the
    // monitor it is on.
    system_.ChangeDpi(system_.DpiOf(hwnd_));
  }
  void SetBounds(int l, int t, int cw, int ch) override {
    Remember(l, t, cw, ch);
    if (!hwnd_) return;
    const int x = system_.Scale(l), y = system_.Scale(t);
    const int w = system_.Scale(cw), h = system_.Scale(ch);
    RECT now, client;
    GetWindowRect(hwnd_, &now);
    GetClientRect(hwnd_, &client);
    if (now.left == x && now.top == y && client.right == w && client.bottom == h) return;
    const SIZE outer = Outer(w, h);
    SetWindowPos(hwnd_, nullptr, x, y, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    FitClient(w, h);
  }
  // At a new resolution the window keeps where it is (the system has put
  // it on the monitor it moved to) and takes its size anew.
  void DpiChanged() override {
    if (given_font_set_) ApplyFont(given_font_);
    if (!hwnd_ || !given_bounds_) return;
    const int w = system_.Scale(given_w_), h = system_.Scale(given_h_);
    const SIZE outer = Outer(w, h);
    SetWindowPos(hwnd_, nullptr, 0, 0, outer.cx, outer.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    FitClient(w, h);
  }
  // A frame drawn at another resolution than the one asked for (a system
  // that scales the frame itself, or not at all) leaves another client
  // area: the outer size is corrected by the difference.
  void FitClient(int w, int h) {
    RECT client, outer;
    GetClientRect(hwnd_, &client);
    if (IsIconic(hwnd_) || IsZoomed(hwnd_) || (client.right == w && client.bottom == h)) return;
    GetWindowRect(hwnd_, &outer);
    SetWindowPos(hwnd_, nullptr, 0, 0, outer.right - outer.left + w - client.right,
                 outer.bottom - outer.top + h - client.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SIZE Outer(int w, int h) const { return OuterSize(hwnd_, w, h, system_.Dpi()); }
  void SetVisible(bool v) override {
    if (!hwnd_ || (IsWindowVisible(hwnd_) != FALSE) == v) return;
    ShowWindow(hwnd_, v ? SW_SHOW : SW_HIDE);
    if (v) UpdateWindow(hwnd_);
  }

  bool Message(UINT Msg, WPARAM W, LPARAM L, LRESULT& Result) override {
    TForm& form = static_cast<TForm&>(control_);
    switch (Msg) {
      case WM_CLOSE:
        // Closing is the form's decision (OnClose may refuse); it hides itself.
        form.OperatorClose();
        Result = 0;
        return true;
      case WM_SIZE:
        if (W != SIZE_MINIMIZED) {
          const int cw = system_.Unscale(GET_X_LPARAM(L)), ch = system_.Unscale(GET_Y_LPARAM(L));
          if (cw != form.ClientWidth() || ch != form.ClientHeight()) form.OperatorResize(cw, ch);
        }
        return false;
      case WM_MOVE: {
        RECT r;
        GetWindowRect(hwnd_, &r);
        if (!IsIconic(hwnd_)) form.OperatorMove(system_.Unscale(r.left), system_.Unscale(r.top));
        return false;
      }
      case WM_DPICHANGED: {
        // Moved to a monitor of another resolution (or its scale was
        // changed): everything is laid out again, where the system suggests.
        system_.ChangeDpi(LOWORD(W));
        const auto* suggested = reinterpret_cast<const RECT*>(L);
        SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        Result = 0;
        return true;
      }
      case WM_ERASEBKGND:
        Result = EraseBackground(hwnd_, reinterpret_cast<HDC>(W), system_.Brush(color_));
        return true;
      case WM_SETFOCUS:
        // The focus goes back to the control that had it.
        if (TWinControl* a = form.ActiveControl()) {
          if (HWND h = TWin32WindowSystem::HandleOf(*a)) {
            if (IsWindowVisible(h) && IsWindowEnabled(h)) {
              ::SetFocus(h);
              Result = 0;
              return true;
            }
          }
        }
        return false;
      default:
        return false;
    }
  }
};

// ------------------------------------------------------- panels and labels

class TWin32PanelPeer : public TWin32Peer<TControlPeer> {
 public:
  TWin32PanelPeer(TPanel& Control, TWin32WindowSystem& System, HWND Parent)
      : TWin32Peer(Control, System) {
    Create(WS_EX_CONTROLPARENT, kPanelClass, WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, Parent,
           true);
  }
  bool Message(UINT Msg, WPARAM W, LPARAM L, LRESULT& Result) override {
    switch (Msg) {
      case WM_ERASEBKGND:
        Result = EraseBackground(hwnd_, reinterpret_cast<HDC>(W), system_.Brush(color_));
        return true;
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd_, &ps);
        const std::wstring text = WindowText(hwnd_);
        if (!text.empty()) {
          RECT r;
          GetClientRect(hwnd_, &r);
          HGDIOBJ old =
              SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)));
          SetBkMode(dc, TRANSPARENT);
          SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
          DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
                    DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
          SelectObject(dc, old);
        }
        EndPaint(hwnd_, &ps);
        Result = 0;
        return true;
      }
      case WM_SETFONT:
        font_ = reinterpret_cast<HFONT>(W);
        if (LOWORD(L)) InvalidateRect(hwnd_, nullptr, TRUE);
        Result = 0;
        return true;
      case WM_GETFONT:
        Result = reinterpret_cast<LRESULT>(font_);
        return true;
      case WM_SETTEXT:
        InvalidateRect(hwnd_, nullptr, TRUE);
        return false;
      default:
        return false;
    }
  }

 private:
  HFONT font_ = nullptr;
};

class TWin32GroupBoxPeer : public TWin32Peer<TControlPeer> {
 public:
  TWin32GroupBoxPeer(TGroupBox& Control, TWin32WindowSystem& System, HWND Parent)
      : TWin32Peer(Control, System) {
    Create(WS_EX_CONTROLPARENT, WC_BUTTONW,
           WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | BS_GROUPBOX, Parent, false);
  }
  bool Message(UINT Msg, WPARAM W, LPARAM L, LRESULT& Result) override {
    switch (Msg) {
      case WM_ERASEBKGND:
        Result = EraseBackground(hwnd_, reinterpret_cast<HDC>(W), system_.Brush(color_));
        return true;
      case WM_NCHITTEST:
        // A group box is see-through for the mouse; its children are not.
        Result = HTCLIENT;
        return true;
      default:
        return false;
    }
  }
};

class TWin32LabelPeer : public TWin32Peer<TLabelPeer> {
 public:
  TWin32LabelPeer(TLabel& Control, TWin32WindowSystem& System, HWND Parent)
      : TWin32Peer(Control, System) {
    Create(0, WC_STATICW, WS_CHILD | WS_CLIPSIBLINGS | SS_LEFT | SS_NOPREFIX, Parent, false);
  }
  void DpiChanged() override {
    TWin32Peer::DpiChanged();
    // A label sized to its text is measured again in the new font: the
    // hinted letters do not grow exactly with the resolution.
    auto& label = static_cast<TLabel&>(control_);
    if (label.AutoSize()) {
      label.SetAutoSize(false);
      label.SetAutoSize(true);
    }
  }
  void SetAlignment(TAlignment a) override {
    const DWORD bits = a == taCenter ? SS_CENTER : a == taRightJustify ? SS_RIGHT : SS_LEFT;
    const DWORD style = static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_STYLE));
    if ((style & SS_TYPEMASK) == bits) return;
    SetWindowLongW(hwnd_, GWL_STYLE, static_cast<LONG>((style & ~SS_TYPEMASK) | bits));
    InvalidateRect(hwnd_, nullptr, TRUE);
  }
};

// -------------------------------------------------------------------- buttons

class TWin32ButtonPeer : public TWin32Peer<TControlPeer> {
 public:
  TWin32ButtonPeer(TButton& Control, TWin32WindowSystem& System, HWND Parent)
      : TWin32Peer(Control, System) {
    Create(0, WC_BUTTONW, WS_CHILD | WS_CLIPSIBLINGS | BS_PUSHBUTTON, Parent, false);
  }
  void Command(WORD Code) override {
    if (Code == BN_CLICKED) static_cast<TButton&>(control_).OperatorClick();
  }
};

// A box that does not change itself: the control decides and sets it.
template <class C>
class TWin32CheckPeer : public TWin32Peer<TCheckPeer> {
 public:
  TWin32CheckPeer(C& Control, TWin32WindowSystem& System, HWND Parent, DWORD Kind)
      : TWin32Peer(Control, System) {
    Create(0, WC_BUTTONW, WS_CHILD | WS_CLIPSIBLINGS | Kind, Parent, false);
  }
  void SetChecked(bool v) override {
    if (!hwnd_) return;
    const bool now = SendMessageW(hwnd_, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (now != v) SendMessageW(hwnd_, BM_SETCHECK, v ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  void Command(WORD Code) override {
    if (Code == BN_CLICKED) static_cast<C&>(control_).OperatorClick();
  }
};

// ----------------------------------------------------------------------- edit

class TWin32EditPeer : public TWin32Peer<TEditPeer> {
 public:
  TWin32EditPeer(TEdit& Control, TWin32WindowSystem& System, HWND Parent)
      : TWin32Peer(Control, System) {
    Create(WS_EX_CLIENTEDGE, WC_EDITW, WS_CHILD | WS_CLIPSIBLINGS | ES_AUTOHSCROLL, Parent, false);
  }
  // An edit's caption is not its text.
  void ApplyCaption(const std::string&) override {}
  void SetText(const std::string& t) override {
    ApplyText(ToWide(t));
    // The caret after the text, where typing goes on (a recalled line).
    if (!hwnd_) return;
    const int n = GetWindowTextLengthW(hwnd_);
    SendMessageW(hwnd_, EM_SETSEL, static_cast<WPARAM>(n), n);
  }
  std::string Text() const override { return hwnd_ ? FromWide(WindowText(hwnd_)) : std::string(); }
  void SetReadOnly(bool v) override {
    if (!hwnd_) return;
    const bool now = (GetWindowLongW(hwnd_, GWL_STYLE) & ES_READONLY) != 0;
    if (now != v) SendMessageW(hwnd_, EM_SETREADONLY, v, 0);
  }
  void KeyIntoEdit(char Key) override {
    if (in_event_ && Key == event_key_) {
      pass_event_ = true;  // the typed character itself goes on into the edit
      return;
    }
    if (!hwnd_ || (GetWindowLongW(hwnd_, GWL_STYLE) & ES_READONLY)) return;
    const auto k = static_cast<unsigned char>(Key);
    switch (k) {
      case 0x03:
        SendMessageW(hwnd_, WM_COPY, 0, 0);
        break;
      case 0x16:
        SendMessageW(hwnd_, WM_PASTE, 0, 0);
        break;
      case 0x18:
        SendMessageW(hwnd_, WM_CUT, 0, 0);
        break;
      case 0x1A:
        SendMessageW(hwnd_, EM_UNDO, 0, 0);
        break;
      default:
        if (k == 8 || k >= 0x20) {
          inserting_ = true;
          SendMessageW(hwnd_, WM_CHAR, k == 8 ? 8 : Cp1251Char(k), 0);
          inserting_ = false;
        }
    }
  }
  bool Message(UINT Msg, WPARAM W, LPARAM L, LRESULT& Result) override {
    if (Msg == WM_KEYDOWN && (W == VK_UP || W == VK_DOWN) && GetKeyState(VK_SHIFT) >= 0 &&
        GetKeyState(VK_CONTROL) >= 0 && GetKeyState(VK_MENU) >= 0) {
      if (!static_cast<TEdit&>(control_).OperatorMoveKey(W == VK_UP ? mkUp : mkDown)) return false;
      Result = 0;
      return true;
    }
    if (Msg != WM_CHAR || inserting_) return false;
    const auto ch = static_cast<wchar_t>(W);
    // Tab moves the focus; a half of a surrogate pair is no Windows-1251 key.
    if (ch == L'\t' || (ch >= 0xD800 && ch <= 0xDFFF)) return false;
    const char key = ch < 0x20 ? static_cast<char>(ch) : UnicodeToCp1251(ch);
    const std::shared_ptr<bool> alive = alive_;
    in_event_ = true;
    event_key_ = key;
    pass_event_ = false;
    static_cast<TEdit&>(control_).OperatorKey(key);
    if (!*alive) {
      Result = 0;
      return true;
    }
    in_event_ = false;
    // Enter and Esc stop here once the handler has seen them: a one-line
    // edit has no use for them and answers them with a beep.
    const bool lineKey = key == '\r' || key == '\n' || key == 0x1B;
    if (pass_event_ && !lineKey) return false;
    Result = 0;
    return true;
  }

 private:
  bool in_event_ = false;
  bool inserting_ = false;
  char event_key_ = 0;
  bool pass_event_ = false;
};

// ------------------------------------------------------------------- combobox

class TWin32ComboBoxPeer : public TWin32Peer<TComboBoxPeer> {
 public:
  static constexpr int kDropRows = 8;

  TWin32ComboBoxPeer(TComboBox& Control, TWin32WindowSystem& System, HWND Parent)
      : TWin32Peer(Control, System) {
    Create(0, WC_COMBOBOXW, WS_CHILD | WS_CLIPSIBLINGS | WS_VSCROLL | CBS_DROPDOWNLIST, Parent,
           false);
  }
  // The window's height includes the dropped list; the selection field is
  // made as high as the control.
  void SetBounds(int l, int t, int w, int h) override {
    Remember(l, t, w, h);
    if (!hwnd_) return;
    const RECT r = Scaled(l, t, w, h);
    height_ = r.bottom - r.top;
    const int item = std::max(1, static_cast<int>(SendMessageW(hwnd_, CB_GETITEMHEIGHT, 0, 0)));
    SetWindowPos(hwnd_, nullptr, r.left, r.top, r.right - r.left,
                 height_ + item * kDropRows + system_.Scale(2), SWP_NOZORDER | SWP_NOACTIVATE);
    FitField();
  }
  void SetFont(const TFont& f) override {
    ApplyFont(f);
    FitField();
  }
  void ApplyCaption(const std::string&) override {}
  void SetItems(const std::vector<std::string>& Items) override {
    if (!hwnd_) return;
    SendMessageW(hwnd_, WM_SETREDRAW, FALSE, 0);
    SendMessageW(hwnd_, CB_RESETCONTENT, 0, 0);
    for (const std::string& s : Items) {
      const std::wstring w = ToWide(s);
      SendMessageW(hwnd_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(w.c_str()));
    }
    SendMessageW(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    SendMessageW(hwnd_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(hwnd_, nullptr, TRUE);
  }
  void SetItemIndex(int i) override {
    if (hwnd_ && ItemIndex() != i) SendMessageW(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
  }
  int ItemIndex() const override {
    return hwnd_ ? static_cast<int>(SendMessageW(hwnd_, CB_GETCURSEL, 0, 0)) : -1;
  }
  void Command(WORD Code) override {
    auto& combo = static_cast<TComboBox&>(control_);
    if (Code == CBN_DROPDOWN) {
      RunGuarded(&combo, [&combo] { combo.ItemsChanged(); });
    } else if (Code == CBN_SELCHANGE) {
      combo.OperatorSelect(ItemIndex());
    }
  }

 private:
  // The field's height follows the item height asked for, by an offset
  // that differs between systems, so it is asked for until it fits.
  void FitField() {
    if (!hwnd_ || height_ <= 0) return;
    int asked = static_cast<int>(SendMessageW(hwnd_, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
    for (int i = 0; i < 4; ++i) {
      RECT r;
      GetWindowRect(hwnd_, &r);
      const int now = r.bottom - r.top;
      if (now == height_ || asked + height_ - now <= 0) return;
      asked += height_ - now;
      SendMessageW(hwnd_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), asked);
    }
  }
  int height_ = 0;
};

// ----------------------------------------------------------------------- memo

class TWin32MemoPeer : public TWin32Peer<TMemoPeer> {
 public:
  TWin32MemoPeer(TMemo& Control, TWin32WindowSystem& System, HWND Parent)
      : TWin32Peer(Control, System), view_(System, Parent) {
    hwnd_ = view_.Handle();
    SetPropW(hwnd_, L"T5Peer", static_cast<TWin32PeerBase*>(this));
    view_.OnFocus = [this] { control_.OperatorFocus(); };
    view_.OnRefused = [this](const std::string& Text) { system_.ShowMessageBox(Text); };
    view_.OnSaveFailed = view_.OnRefused;
    auto& memo = static_cast<TMemo&>(Control);
    view_.OnFindClosed = [&memo] { memo.OperatorFindClose(); };
    view_.OnSaveProgress = [&memo](const std::string& Text) { memo.SaveProgress(Text); };
  }
  ~TWin32MemoPeer() override {
    // The view destroys its own window.
    RemovePropW(hwnd_, L"T5Peer");
    hwnd_ = nullptr;
  }
  void SetFont(const TFont& f) override {
    RememberFont(f);
    view_.SetFont(system_.Font(f));
  }
  void SetColor(TColor c) override { view_.SetBackground(c); }
  void ApplyCaption(const std::string&) override {}
  // The view is read-only whatever the control says: it has no editing.
  void SetReadOnly(bool) override {}
  void SetWordWrap(bool v) override { view_.SetWordWrap(v); }
  void SetScrollBars(TScrollStyle s) override {
    view_.SetVerticalBar(s == ssVertical || s == ssBoth);
  }
  void ShowText(const TLogText& t) override { view_.ShowText(&t); }
  void AppendText(std::string_view) override { view_.TextAppended(); }
  void ClearText() override { view_.TextCleared(); }

 private:
  TWin32LogView view_;
};

// ------------------------------------------------------------------ statusbar

class TWin32StatusBarPeer : public TWin32Peer<TStatusBarPeer> {
 public:
  TWin32StatusBarPeer(TStatusBar& Control, TWin32WindowSystem& System, HWND Parent)
      : TWin32Peer(Control, System) {
    Create(0, STATUSCLASSNAMEW,
           WS_CHILD | WS_CLIPSIBLINGS | CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER, Parent,
           false);
  }
  void ApplyCaption(const std::string&) override {}
  void AddPanel(int Width, TAlignment Alignment) override {
    panels_.push_back({Width, Alignment, {}});
    SetParts();
    // Setting the parts keeps the texts; the new panel starts empty.
    for (std::size_t i = 0; i < panels_.size(); ++i) Send(static_cast<int>(i));
  }
  void DpiChanged() override {
    TWin32Peer::DpiChanged();
    if (!panels_.empty()) SetParts();
  }
  void SetPanelText(int Index, const std::string& Text) override {
    if (Index < 0 || Index >= static_cast<int>(panels_.size())) return;
    const std::wstring w = ToWide(Text);
    if (panels_[Index].Text == w) return;
    panels_[Index].Text = w;
    Send(Index);
  }

 private:
  struct Panel {
    int Width;
    TAlignment Alignment;
    std::wstring Text;
  };
  void Send(int i) {
    const Panel& p = panels_[i];
    // A tab before the text centres it, two right-align it.
    const std::wstring shown = (p.Alignment == taCenter         ? L"\t"
                                : p.Alignment == taRightJustify ? L"\t\t"
                                                                : L"") +
                               p.Text;
    SendMessageW(hwnd_, SB_SETTEXTW, static_cast<WPARAM>(i),
                 reinterpret_cast<LPARAM>(shown.c_str()));
  }
  // The panels' right edges, scaled from the widths given at 96 dpi.
  void SetParts() {
    std::vector<int> edges;
    int x = 0;
    for (const Panel& p : panels_) edges.push_back(system_.Scale(x += p.Width));
    edges.back() = -1;  // the last panel takes the rest
    SendMessageW(hwnd_, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
  }
  std::vector<Panel> panels_;
};

}  // namespace

std::unique_ptr<TFormPeer> MakeWin32FormPeer(TForm& Control, TWin32WindowSystem& System) {
  return std::make_unique<TWin32FormPeer>(Control, System);
}
std::unique_ptr<TControlPeer> MakeWin32PanelPeer(TPanel& Control, TWin32WindowSystem& System,
                                                 HWND Parent) {
  return std::make_unique<TWin32PanelPeer>(Control, System, Parent);
}
std::unique_ptr<TControlPeer> MakeWin32GroupBoxPeer(TGroupBox& Control, TWin32WindowSystem& System,
                                                    HWND Parent) {
  return std::make_unique<TWin32GroupBoxPeer>(Control, System, Parent);
}
std::unique_ptr<TLabelPeer> MakeWin32LabelPeer(TLabel& Control, TWin32WindowSystem& System,
                                               HWND Parent) {
  return std::make_unique<TWin32LabelPeer>(Control, System, Parent);
}
std::unique_ptr<TControlPeer> MakeWin32ButtonPeer(TButton& Control, TWin32WindowSystem& System,
                                                  HWND Parent) {
  return std::make_unique<TWin32ButtonPeer>(Control, System, Parent);
}
std::unique_ptr<TCheckPeer> MakeWin32CheckBoxPeer(TCheckBox& Control, TWin32WindowSystem& System,
                                                  HWND Parent) {
  return std::make_unique<TWin32CheckPeer<TCheckBox>>(Control, System, Parent, BS_CHECKBOX);
}
std::unique_ptr<TCheckPeer> MakeWin32RadioButtonPeer(TRadioButton& Control,
                                                     TWin32WindowSystem& System, HWND Parent) {
  return std::make_unique<TWin32CheckPeer<TRadioButton>>(Control, System, Parent, BS_RADIOBUTTON);
}
std::unique_ptr<TEditPeer> MakeWin32EditPeer(TEdit& Control, TWin32WindowSystem& System,
                                             HWND Parent) {
  return std::make_unique<TWin32EditPeer>(Control, System, Parent);
}
std::unique_ptr<TComboBoxPeer> MakeWin32ComboBoxPeer(TComboBox& Control, TWin32WindowSystem& System,
                                                     HWND Parent) {
  return std::make_unique<TWin32ComboBoxPeer>(Control, System, Parent);
}
std::unique_ptr<TMemoPeer> MakeWin32MemoPeer(TMemo& Control, TWin32WindowSystem& System,
                                             HWND Parent) {
  return std::make_unique<TWin32MemoPeer>(Control, System, Parent);
}
std::unique_ptr<TStatusBarPeer> MakeWin32StatusBarPeer(TStatusBar& Control,
                                                       TWin32WindowSystem& System, HWND Parent) {
  return std::make_unique<TWin32StatusBarPeer>(Control, System, Parent);
}
