#include "controls/win32/Win32WindowSystem.h"

#include <commctrl.h>

#include <algorithm>

#include "controls/win32/Win32Peers.h"
#include "controls/win32/Win32Text.h"
#include "runtime/Thread.h"

namespace {

const wchar_t* const kMessageClass = L"T5Messages";
constexpr UINT kWakeMessage = WM_APP + 10;
constexpr UINT kFineTickMessage = WM_APP + 11;
// CreateWaitableTimerExW's flag where the headers lack it (Windows 10 1803
// and later; older systems refuse it).
constexpr DWORD kHighResolutionTimer = 0x00000002;

HWND ParentHandle(const TControl& Control, const TWin32WindowSystem& System) {
  HWND h = Control.Parent() ? TWin32WindowSystem::HandleOf(*Control.Parent()) : nullptr;
  return h ? h : System.Parking();
}

HANDLE QueuedCallsHandle() {
  return reinterpret_cast<HANDLE>(CallsQueuedEvent().Handle());
}

// Centres a message box on the work area while it is being shown.
HHOOK g_centre_hook = nullptr;
RECT g_centre_area{};

LRESULT CALLBACK CentreBox(int Code, WPARAM W, LPARAM L) {
  if (Code == HCBT_ACTIVATE) {
    HWND box = reinterpret_cast<HWND>(W);
    RECT r;
    GetWindowRect(box, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    SetWindowPos(box, nullptr,
                 g_centre_area.left + (g_centre_area.right - g_centre_area.left - w) / 2,
                 g_centre_area.top + (g_centre_area.bottom - g_centre_area.top - h) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    UnhookWindowsHookEx(g_centre_hook);
    g_centre_hook = nullptr;
  }
  return CallNextHookEx(nullptr, Code, W, L);
}

// The program's name as the message box's title: the executable's.
std::wstring ProgramName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring s(path);
  const std::size_t slash = s.find_last_of(L"\\/");
  if (slash != std::wstring::npos) s.erase(0, slash + 1);
  const std::size_t dot = s.rfind(L'.');
  if (dot != std::wstring::npos) s.erase(dot);
  return s;
}

// The per-monitor resolution calls of Windows 10 (1607 and later), looked
// up at run time so the program still starts where they are missing.
template <class F>
F User32Call(const char* Name) {
  HMODULE user = GetModuleHandleW(L"user32.dll");
  return user ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(user, Name))) : nullptr;
}

// DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 and _SYSTEM_AWARE, where the
// headers lack them.
const HANDLE kPerMonitorAwareV2 = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4));
const HANDLE kSystemAware = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-2));

void DeclareDpiAwareness() {
  using SetContext = HANDLE(WINAPI*)(HANDLE);
  if (auto set = User32Call<SetContext>("SetThreadDpiAwarenessContext")) {
    if (!set(kPerMonitorAwareV2)) set(kSystemAware);
  }
}

}  // namespace

int SystemDpiOf(HWND Window) {
  using ForWindow = UINT(WINAPI*)(HWND);
  static const auto forWindow = User32Call<ForWindow>("GetDpiForWindow");
  if (Window && forWindow) {
    if (const UINT dpi = forWindow(Window)) return static_cast<int>(dpi);
  }
  HDC dc = GetDC(nullptr);
  const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc) ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

TFineTimer::TFineTimer(HWND Target, UINT Message, WPARAM Id, int IntervalMs) {
  timer_ = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
  high_resolution_ = timer_ != nullptr;
  if (!timer_) timer_ = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!timer_ || !stop_) throw Exception("Cannot create a timer");
  const LONG period = std::max(1, IntervalMs);
  LARGE_INTEGER due;
  due.QuadPart = -10000LL * period;  // relative, in 100 ns
  if (!SetWaitableTimer(timer_, &due, period, nullptr, nullptr, FALSE)) {
    throw Exception("Cannot start a timer");
  }
  thread_ = std::thread([this, Target, Message, Id] {
    const HANDLE handles[2] = {stop_, timer_};
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      if (posted_.exchange(true)) continue;
      if (!PostMessageW(Target, Message, Id, 0)) posted_.store(false);
    }
  });
}

TFineTimer::~TFineTimer() {
  if (thread_.joinable()) {
    SetEvent(stop_);
    thread_.join();
  }
  if (timer_) {
    CancelWaitableTimer(timer_);
    CloseHandle(timer_);
  }
  if (stop_) CloseHandle(stop_);
}

TWin32WindowSystem::TWin32WindowSystem() : instance_(GetModuleHandleW(nullptr)) {
  DeclareDpiAwareness();
  dpi_ = SystemDpiOf(nullptr);
  RegisterWin32Classes(instance_);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = MessageProc;
  wc.hInstance = instance_;
  wc.lpszClassName = kMessageClass;
  RegisterClassExW(&wc);
  messages_ =
      CreateWindowExW(0, kMessageClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance_, this);
  parking_ = CreateWindowExW(0, kPanelClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance_,
                             nullptr);
  if (!messages_ || !parking_) throw Exception("Cannot create the window system's windows");
}

TWin32WindowSystem::~TWin32WindowSystem() {
  if (WindowSystem() == this) SetWindowSystem(nullptr);
  for (auto& [id, tick] : timers_) KillTimer(messages_, id);
  timers_.clear();
  fine_timers_.clear();
  SetWindowLongPtrW(messages_, GWLP_USERDATA, 0);
  DestroyWindow(messages_);
  DestroyWindow(parking_);
  for (auto& [key, font] : fonts_) DeleteObject(font);
  for (auto& [color, brush] : brushes_) {
    if (!IsSystemColor(color)) DeleteObject(brush);
  }
}

HWND TWin32WindowSystem::HandleOf(const TControl& Control) {
  auto* peer = dynamic_cast<TWin32PeerBase*>(Control.Peer());
  return peer ? peer->Handle() : nullptr;
}

std::unique_ptr<TFormPeer> TWin32WindowSystem::CreatePeer(TForm& Control) {
  return MakeWin32FormPeer(Control, *this);
}
std::unique_ptr<TControlPeer> TWin32WindowSystem::CreatePeer(TPanel& Control) {
  return MakeWin32PanelPeer(Control, *this, ParentHandle(Control, *this));
}
std::unique_ptr<TControlPeer> TWin32WindowSystem::CreatePeer(TGroupBox& Control) {
  return MakeWin32GroupBoxPeer(Control, *this, ParentHandle(Control, *this));
}
std::unique_ptr<TLabelPeer> TWin32WindowSystem::CreatePeer(TLabel& Control) {
  return MakeWin32LabelPeer(Control, *this, ParentHandle(Control, *this));
}
std::unique_ptr<TControlPeer> TWin32WindowSystem::CreatePeer(TButton& Control) {
  return MakeWin32ButtonPeer(Control, *this, ParentHandle(Control, *this));
}
std::unique_ptr<TCheckPeer> TWin32WindowSystem::CreatePeer(TCheckBox& Control) {
  return MakeWin32CheckBoxPeer(Control, *this, ParentHandle(Control, *this));
}
std::unique_ptr<TCheckPeer> TWin32WindowSystem::CreatePeer(TRadioButton& Control) {
  return MakeWin32RadioButtonPeer(Control, *this, ParentHandle(Control, *this));
}
std::unique_ptr<TEditPeer> TWin32WindowSystem::CreatePeer(TEdit& Control) {
  return MakeWin32EditPeer(Control, *this, ParentHandle(Control, *this));
}
std::unique_ptr<TComboBoxPeer> TWin32WindowSystem::CreatePeer(TComboBox& Control) {
  return MakeWin32ComboBoxPeer(Control, *this, ParentHandle(Control, *this));
}
std::unique_ptr<TMemoPeer> TWin32WindowSystem::CreatePeer(TMemo& Control) {
  return MakeWin32MemoPeer(Control, *this, ParentHandle(Control, *this));
}
std::unique_ptr<TStatusBarPeer> TWin32WindowSystem::CreatePeer(TStatusBar& Control) {
  return MakeWin32StatusBarPeer(Control, *this, ParentHandle(Control, *this));
}

std::wstring CyrillicFace(const std::string& Name, UINT CodePage) {
  // The bitmap faces carry the letters of the system's own code page only:
  // on a Windows-1251 system they have Cyrillic, elsewhere their TrueType
  // twins stand in for them.
  static const std::pair<const char*, const wchar_t*> kTwins[] = {
      {"MS Sans Serif", L"Microsoft Sans Serif"},
      {"Fixedsys", L"Lucida Console"},
      {"System", L"Microsoft Sans Serif"},
      {"Courier", L"Courier New"},
      {"MS Serif", L"Times New Roman"},
  };
  if (CodePage != 1251) {
    for (const auto& [bitmap, trueType] : kTwins) {
      if (_stricmp(Name.c_str(), bitmap) == 0) return trueType;
    }
  }
  return ToWide(Name);
}

void TWin32WindowSystem::Enlist(TWin32PeerBase* Peer) {
  peers_.push_back(Peer);
}

void TWin32WindowSystem::Delist(TWin32PeerBase* Peer) {
  peers_.erase(std::remove(peers_.begin(), peers_.end(), Peer), peers_.end());
}

void TWin32WindowSystem::ChangeDpi(int Dpi) {
  if (Dpi <= 0 || Dpi == dpi_) return;
  dpi_ = Dpi;
  // Parents were made before their children, so they are placed first.
  // The fonts of the old resolution stay cached: few, and windows may
  // still hold them until their peer has changed.
  const std::vector<TWin32PeerBase*> peers = peers_;
  for (TWin32PeerBase* p : peers) {
    if (std::find(peers_.begin(), peers_.end(), p) != peers_.end()) p->DpiChanged();
  }
}

HFONT TWin32WindowSystem::Font(const TFont& Font) const {
  auto key = std::make_tuple(Font.Name, Font.Size, Font.Bold, Font.Cyrillic, dpi_);
  auto it = fonts_.find(key);
  if (it != fonts_.end()) return it->second;
  // Points at the resolution the windows are laid out at.
  const int height = -MulDiv(Font.Size > 0 ? Font.Size : 8, dpi_, 72);
  const std::wstring name = CyrillicFace(Font.Name, GetACP());
  const bool fixed = _stricmp(Font.Name.c_str(), "Fixedsys") == 0;
  // Every text of the program is Russian: whatever a control shows, its
  // font is asked for with the Cyrillic character set.
  HFONT f = CreateFontW(height, 0, 0, 0, Font.Bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                        RUSSIAN_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        fixed ? FIXED_PITCH | FF_MODERN : DEFAULT_PITCH | FF_DONTCARE,
                        name.c_str());
  if (!f) f = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  fonts_.emplace(key, f);
  return f;
}

COLORREF TWin32WindowSystem::ColorRef(TColor Color) {
  if (IsSystemColor(Color)) return GetSysColor(static_cast<int>(Color & 0xFF));
  return RGB((Color >> 16) & 0xFF, (Color >> 8) & 0xFF, Color & 0xFF);
}

HBRUSH TWin32WindowSystem::Brush(TColor Color) const {
  auto it = brushes_.find(Color);
  if (it != brushes_.end()) return it->second;
  HBRUSH b = IsSystemColor(Color) ? GetSysColorBrush(static_cast<int>(Color & 0xFF))
                                  : CreateSolidBrush(ColorRef(Color));
  brushes_.emplace(Color, b);
  return b;
}

void TWin32WindowSystem::Dispatch(MSG& M) {
  if (M.message == WM_KEYDOWN && M.wParam == VK_TAB && GetKeyState(VK_CONTROL) >= 0 &&
      GetKeyState(VK_MENU) >= 0) {
    HWND top = GetAncestor(M.hwnd, GA_ROOT);
    wchar_t name[16] = {};
    if (top && GetClassNameW(top, name, 16) && std::wstring_view(name) == kFormClass) {
      const bool back = GetKeyState(VK_SHIFT) < 0;
      HWND from = GetFocus();
      if (HWND next = GetNextDlgTabItem(top, from == top ? nullptr : from, back)) {
        ::SetFocus(next);
        // An edit shows the text it is tabbed into as selected.
        wchar_t cls[16] = {};
        if (GetClassNameW(next, cls, 16) && _wcsicmp(cls, WC_EDITW) == 0) {
          SendMessageW(next, EM_SETSEL, 0, -1);
        }
      }
      return;
    }
  }
  TranslateMessage(&M);
  DispatchMessageW(&M);
}

void TWin32WindowSystem::RunQueuedCalls() {
  RunGuarded(nullptr, [] { CheckSynchronize(0); });
}

bool TWin32WindowSystem::PumpOnce() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      terminated_ = true;
      return false;
    }
    Dispatch(m);
    if (terminated_) return false;
  }
  return true;
}

void TWin32WindowSystem::Run(TForm& MainForm) {
  SetMainForm(&MainForm);
  if (terminated_) return;
  MainForm.Show();
  const HANDLE queued = QueuedCallsHandle();
  while (!terminated_) {
    if (!PumpOnce()) break;
    if (WaitForSingleObject(queued, 0) == WAIT_OBJECT_0) RunQueuedCalls();
    if (terminated_) break;
    MsgWaitForMultipleObjectsEx(1, &queued, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

void TWin32WindowSystem::Terminate() {
  terminated_ = true;
  PostMessageW(messages_, WM_NULL, 0, 0);
}

void TWin32WindowSystem::ProcessMessages() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    if (m.message == WM_QUIT) {
      terminated_ = true;
      break;
    }
    Dispatch(m);
  }
  RunQueuedCalls();
}

void TWin32WindowSystem::Wake() {
  // One posted wake-up at a time is enough: it runs every call queued so
  // far, and a call queued after it started posts the next one.
  if (wake_posted_.exchange(true)) return;
  if (!PostMessageW(messages_, kWakeMessage, 0, 0)) wake_posted_.store(false);
}

LRESULT CALLBACK TWin32WindowSystem::MessageProc(HWND Window, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(L);
    SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<TWin32WindowSystem*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
  if (self && Msg == kWakeMessage) {
    self->wake_posted_.store(false);
    self->RunQueuedCalls();
    return 0;
  }
  if (self && (Msg == WM_TIMER || Msg == kFineTickMessage)) {
    if (Msg == kFineTickMessage) {
      auto fine = self->fine_timers_.find(W);
      if (fine == self->fine_timers_.end()) return 0;
      fine->second->Taken();
    }
    auto it = self->timers_.find(W);
    if (it != self->timers_.end()) {
      // The tick may stop its own timer.
      const std::shared_ptr<std::function<void()>> tick = it->second;
      (*tick)();
    }
    return 0;
  }
  return DefWindowProcW(Window, Msg, W, L);
}

int TWin32WindowSystem::StartTimer(int IntervalMs, std::function<void()> OnTick) {
  const UINT_PTR id = next_timer_id_++;
  timers_[id] = std::make_shared<std::function<void()>>(std::move(OnTick));
  if (IntervalMs < static_cast<int>(USER_TIMER_MINIMUM)) {
    fine_timers_[id] = std::make_unique<TFineTimer>(messages_, kFineTickMessage, id, IntervalMs);
  } else {
    SetTimer(messages_, id, static_cast<UINT>(IntervalMs), nullptr);
  }
  return static_cast<int>(id);
}

void TWin32WindowSystem::StopTimer(int TimerId) {
  const auto id = static_cast<UINT_PTR>(TimerId);
  if (!timers_.erase(id)) return;
  if (!fine_timers_.erase(id)) KillTimer(messages_, id);
}

void TWin32WindowSystem::ShowMessageBox(const std::string& Text) {
  const std::wstring text = ToWide(Text);
  const std::wstring title = ProgramName();
  HWND owner = nullptr;
  if (TForm* f = MainForm()) {
    HWND h = HandleOf(*f);
    if (h && IsWindowVisible(h)) owner = h;
  }
  const TRect area = WorkArea();
  g_centre_area = {area.Left, area.Top, area.Right, area.Bottom};
  g_centre_hook = SetWindowsHookExW(WH_CBT, CentreBox, nullptr, GetCurrentThreadId());
  MessageBoxW(owner, text.c_str(), title.c_str(), MB_OK | MB_ICONINFORMATION);
  if (g_centre_hook) {
    UnhookWindowsHookEx(g_centre_hook);
    g_centre_hook = nullptr;
  }
}

TRect TWin32WindowSystem::WorkArea() const {
  RECT r{0, 0, 1024, 768};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
  return {Unscale(r.left), Unscale(r.top), Unscale(r.right), Unscale(r.bottom)};
}

TSize TWin32WindowSystem::TextExtent(const TFont& Font, const std::string& Text) const {
  const std::wstring w = ToWide(Text);
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, this->Font(Font));
  SIZE s{};
  GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &s);
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  // Measured in the font of the current resolution and rounded up, so the
  // size the layout gives back holds the text.
  const auto up = [this](LONG v) { return static_cast<int>((v * 96 + dpi_ - 1) / dpi_); };
  return {up(s.cx), up(tm.tmHeight)};
}
