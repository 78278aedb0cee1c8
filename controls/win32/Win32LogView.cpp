#include "controls/win32/Win32LogView.h"

#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "controls/Controls.h"
#include "controls/Cp1251.h"
#include "controls/win32/Win32Text.h"
#include "controls/win32/Win32WindowSystem.h"
#include "runtime/Exception.h"

namespace {

const wchar_t* const kLogViewClass = L"T5LogView";
constexpr UINT_PTR kFrameTimer = 1;
constexpr UINT_PTR kDragTimer = 2;
constexpr UINT_PTR kCopyTimer = 3;
constexpr UINT_PTR kFindTimer = 4;
constexpr UINT_PTR kSaveTimer = 5;
constexpr UINT kFlushMessage = WM_APP + 1;
// A window-wide key for the view: its command in W.
constexpr UINT kKeyMessage = WM_APP + 2;
constexpr UINT kFindFieldId = 100;
// How often a drag held past the top or bottom edge scrolls a row.
constexpr UINT kDragScrollMs = 50;

// The views of this thread, for the keys that work anywhere in their window.
thread_local std::vector<TWin32LogView*> t_views;

void RegisterClassOnce(HINSTANCE instance, WNDPROC proc) {
  static bool done = false;
  if (done) return;
  done = true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_IBEAM));
  wc.lpszClassName = kLogViewClass;
  RegisterClassExW(&wc);
}

}  // namespace

// A copy under way: the selection converted to UTF-16 a slice per turn of
// the loop straight into the memory the clipboard will own, so it costs one
// text of the size the clipboard holds and no more.
struct TWin32LogView::CopyJob {
  TLogSlices slices;
  HGLOBAL mem = nullptr;
  wchar_t* out = nullptr;
  std::size_t used = 0;
  explicit CopyJob(TLogSlices Slices) : slices(Slices) {}
  CopyJob(const CopyJob&) = delete;
  CopyJob& operator=(const CopyJob&) = delete;
  ~CopyJob() {
    if (!mem) return;
    if (out) GlobalUnlock(mem);
    GlobalFree(mem);
  }
};

TWin32LogView::TWin32LogView(TWin32WindowSystem& System, HWND Parent) : system_(System) {
  RegisterClassOnce(System.Instance(), Proc);
  CreateWindowExW(WS_EX_CLIENTEDGE, kLogViewClass, L"",
                  WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0, 0, 0, Parent, nullptr,
                  System.Instance(), this);
  if (!hwnd_) throw Exception("Cannot create the log view");
  find_edit_ = CreateWindowExW(
      WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 0, 0, hwnd_,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFindFieldId)), System.Instance(), nullptr);
  find_status_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | SS_LEFT | SS_CENTERIMAGE, 0, 0, 0, 0,
                                 hwnd_, nullptr, System.Instance(), nullptr);
  if (find_edit_) {
    SetWindowLongPtrW(find_edit_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    edit_proc_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        find_edit_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TWin32LogView::FindFieldProc)));
  }
  if (t_views.empty())
    keys_hook_ =
        SetWindowsHookExW(WH_GETMESSAGE, &TWin32LogView::WindowKeys, nullptr, GetCurrentThreadId());
  t_views.push_back(this);
  Measure();
}

TWin32LogView::~TWin32LogView() {
  std::erase(t_views, this);
  // The hook serves every view of the thread: it goes with the one that set it
  // only when none is left.
  if (keys_hook_ && !t_views.empty()) t_views.front()->keys_hook_ = keys_hook_;
  if (keys_hook_ && t_views.empty()) UnhookWindowsHookEx(keys_hook_);
  keys_hook_ = nullptr;
  if (find_edit_ && edit_proc_) {
    SetWindowLongPtrW(find_edit_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(edit_proc_));
  }
  copy_.reset();
  if (HWND w = hwnd_) {
    SetWindowLongPtrW(w, GWLP_USERDATA, 0);
    hwnd_ = nullptr;
    DestroyWindow(w);
  }
}

TWin32LogView* TWin32LogView::FromHandle(HWND Window) {
  wchar_t name[32] = {};
  if (!Window || !GetClassNameW(Window, name, 32) || std::wcscmp(name, kLogViewClass) != 0) {
    return nullptr;
  }
  return reinterpret_cast<TWin32LogView*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
}

LRESULT CALLBACK TWin32LogView::Proc(HWND Window, UINT Msg, WPARAM W, LPARAM L) {
  if (Msg == WM_NCCREATE) {
    auto* view = static_cast<TWin32LogView*>(reinterpret_cast<CREATESTRUCTW*>(L)->lpCreateParams);
    view->hwnd_ = Window;
    SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
  }
  auto* view = reinterpret_cast<TWin32LogView*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
  if (!view) return DefWindowProcW(Window, Msg, W, L);
  if (Msg == WM_NCDESTROY) {
    view->hwnd_ = nullptr;
    return DefWindowProcW(Window, Msg, W, L);
  }
  // Nothing may escape into the system's dispatch: an error goes to the
  // application's hook, as every control's does.
  LRESULT result = 0;
  RunGuarded(nullptr, [&] { result = view->Message(Msg, W, L); });
  return result;
}

void TWin32LogView::ShowText(const TLogText* Text) {
  core_.ShowText(Text);
}

void TWin32LogView::TextAppended() {
  core_.TextAppended();
}

void TWin32LogView::TextCleared() {
  core_.TextCleared();
}

void TWin32LogView::SetWordWrap(bool Wrap) {
  core_.SetWordWrap(Wrap);
}

void TWin32LogView::SetFont(HFONT Font) {
  if (Font == font_) return;
  font_ = Font;
  if (find_edit_) SendMessageW(find_edit_, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
  if (find_status_) SendMessageW(find_status_, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
  Measure();
}

void TWin32LogView::SetBackground(TColor Color) {
  if (Color == background_) return;
  background_ = Color;
  InvalidateRect(hwnd_, nullptr, FALSE);
}

void TWin32LogView::SetVerticalBar(bool On) {
  const bool now = (GetWindowLongW(hwnd_, GWL_STYLE) & WS_VSCROLL) != 0;
  if (now == On) return;
  ShowScrollBar(hwnd_, SB_VERT, On);
  SyncScrollBar();
}

namespace {

UINT_PTR TimerId(TLogViewTimer Timer) {
  switch (Timer) {
    case TLogViewTimer::Frame:
      return kFrameTimer;
    case TLogViewTimer::Find:
      return kFindTimer;
    case TLogViewTimer::Save:
      break;
  }
  return kSaveTimer;
}

}  // namespace

void TWin32LogView::StartTimer(TLogViewTimer Timer, int Ms) {
  // The next frame that is due at once comes on the loop's next turn.
  if (Timer == TLogViewTimer::Frame && Ms == 0) {
    PostMessageW(hwnd_, kFlushMessage, 0, 0);
    return;
  }
  SetTimer(hwnd_, TimerId(Timer), Ms > 0 ? static_cast<UINT>(Ms) : USER_TIMER_MINIMUM, nullptr);
}

void TWin32LogView::StopTimer(TLogViewTimer Timer) {
  KillTimer(hwnd_, TimerId(Timer));
}

void TWin32LogView::Repaint() {
  InvalidateRect(hwnd_, nullptr, FALSE);
}

void TWin32LogView::CancelCopies() {
  CancelCopy();
}

void TWin32LogView::Flush() {
  core_.Flush();
}

void TWin32LogView::Measure() {
  HDC dc = GetDC(hwnd_);
  HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
  std::array<double, 256> widths{};
  for (int b = 0x20; b < 256; ++b) {
    const wchar_t c = Cp1251Glyph(static_cast<unsigned char>(b));
    SIZE s{};
    GetTextExtentPoint32W(dc, &c, 1, &s);
    widths_[b] = s.cx;
    widths[b] = s.cx;
  }
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  row_height_ = std::max(1, static_cast<int>(tm.tmHeight + tm.tmExternalLeading));
  SelectObject(dc, old);
  ReleaseDC(hwnd_, dc);
  layout_.SetCharWidths(widths);
  Resized();
}

void TWin32LogView::Resized() {
  RECT r{};
  GetClientRect(hwnd_, &r);
  layout_.SetWidth(std::max(1, static_cast<int>(r.right) - 2 * Margin()));
  const int bar = find_open_ ? FindBarHeight() : 0;
  layout_.SetRows(std::max(1, (static_cast<int>(r.bottom) - bar) / row_height_));
  PlaceFindBar();
  SyncScrollBar();
  InvalidateRect(hwnd_, nullptr, FALSE);
}

void TWin32LogView::SyncScrollBar() {
  if (!hwnd_ || !(GetWindowLongW(hwnd_, GWL_STYLE) & WS_VSCROLL)) return;
  SCROLLINFO si{};
  si.cbSize = sizeof(si);
  si.fMask = SIF_RANGE | SIF_PAGE | SIF_DISABLENOSCROLL;
  const int page = std::max(1, layout_.ScrollPage());
  si.nMin = 0;
  si.nMax = layout_.ScrollMax() + page - 1;
  si.nPage = static_cast<UINT>(page);
  // While the operator drags the thumb it stays under the mouse; the view
  // shows the row that starts nearest below it.
  if (!tracking_) {
    si.fMask |= SIF_POS;
    si.nPos = layout_.ScrollValue();
  }
  SetScrollInfo(hwnd_, SB_VERT, &si, TRUE);
}

void TWin32LogView::Scrolled() {
  core_.Scrolled();
}

std::vector<std::wstring> TWin32LogView::PaintedRows() const {
  std::vector<std::wstring> out;
  for (const TLogLayout::Row& r : layout_.VisibleRows(layout_.Rows())) {
    out.push_back(PaintedCp1251(r.Bytes));
  }
  return out;
}

namespace {

// Draws bytes from x with the advances they were measured with, so the
// painted text lines up with what the layout computed.
void DrawBytes(HDC dc, int x, int y, std::string_view bytes, const std::array<int, 256>& widths) {
  std::wstring text;
  std::vector<INT> dx;
  text.reserve(bytes.size());
  dx.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20) continue;
    text += static_cast<wchar_t>(Cp1251Glyph(b));
    dx.push_back(widths[b]);
  }
  if (!text.empty()) {
    ExtTextOutW(dc, x, y, 0, nullptr, text.c_str(), static_cast<UINT>(text.size()), dx.data());
  }
}

}  // namespace

void TWin32LogView::Paint(HDC dc, const RECT& area) {
  ++paints_;
  FillRect(dc, &area, system_.Brush(background_));
  HGDIOBJ old = SelectObject(dc, font_ ? font_ : GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  // Colours that read on the background, whatever the desktop's scheme.
  const TTextColors colors = TextColorsOn(background_);
  const COLORREF text = TWin32WindowSystem::ColorRef(colors.Text);
  const COLORREF high_text = TWin32WindowSystem::ColorRef(colors.HighlightText);
  HBRUSH high = system_.Brush(colors.Highlight);
  const std::vector<TLogLayout::Row> rows = layout_.VisibleRows(layout_.Rows() + 1);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TLogLayout::Row& r = rows[i];
    const int y = static_cast<int>(i) * row_height_;
    if (y > area.bottom) break;
    const std::string_view bytes(r.Bytes);
    SetTextColor(dc, text);
    const TLogRowSplit split = TLogViewCore::SplitRow(layout_, r);
    if (!split.Selected) {
      DrawBytes(dc, Margin(), y, bytes, widths_);
      continue;
    }
    const std::size_t a = split.A, b = split.B;
    const int xa = Margin() + static_cast<int>(split.XA);
    const int xb_text = Margin() + static_cast<int>(split.XB);
    const int xb = xb_text + (split.LineBreak ? widths_[' '] : 0);
    const RECT band{xa, y, xb, y + row_height_};
    FillRect(dc, &band, high);
    DrawBytes(dc, Margin(), y, bytes.substr(0, a), widths_);
    DrawBytes(dc, xb_text, y, bytes.substr(b), widths_);
    SetTextColor(dc, high_text);
    DrawBytes(dc, xa, y, bytes.substr(a, b - a), widths_);
  }
  SelectObject(dc, old);
}

void TWin32LogView::DragScroll() {
  RECT r;
  GetClientRect(hwnd_, &r);
  if (dragging_ && drag_y_ < 0) {
    layout_.ScrollRows(-1);
  } else if (dragging_ && drag_y_ >= r.bottom) {
    layout_.ScrollRows(1);
  } else {
    StopDragTimer();
  }
  SyncScrollBar();
  if (dragging_) DragTo();
}

void TWin32LogView::DragTo() {
  RECT r;
  GetClientRect(hwnd_, &r);
  const int y = std::clamp(drag_y_, 0, std::max(0, static_cast<int>(r.bottom) - 1));
  layout_.DragTo(PositionAt(drag_x_, y));
  InvalidateRect(hwnd_, nullptr, FALSE);
}

void TWin32LogView::StopDragTimer() {
  if (!drag_timer_) return;
  drag_timer_ = false;
  KillTimer(hwnd_, kDragTimer);
}

std::size_t TWin32LogView::PositionAt(int X, int Y) const {
  const int row = std::max(0, Y) / row_height_;
  return layout_.HitTest(row, X - Margin());
}

std::wstring TWin32LogView::SelectedText() const {
  return CopiedCp1251(layout_.SelectedBytes());
}

void TWin32LogView::SelectAll() {
  core_.SelectAll();
}

void TWin32LogView::Copy() {
  if (!layout_.HasSelection() || !layout_.Text()) return;
  CancelCopy();
  const std::size_t n = layout_.SelEnd() - layout_.SelStart();
  // UTF-16 takes at most one unit a byte (NULs are left out) and the end.
  if (n > copy_limit_ || n > static_cast<std::size_t>(-1) / sizeof(wchar_t) - 1) return Refuse();
  copy_ =
      std::make_unique<CopyJob>(TLogSlices(*layout_.Text(), layout_.SelStart(), layout_.SelEnd()));
  copy_->mem = GlobalAlloc(GMEM_MOVEABLE, (n + 1) * sizeof(wchar_t));
  if (copy_->mem) copy_->out = static_cast<wchar_t*>(GlobalLock(copy_->mem));
  if (!copy_->out) {
    CancelCopy();
    return Refuse();
  }
  // A small selection is on the clipboard before this returns.
  CopySteps();
}

void TWin32LogView::CancelCopy() {
  if (!copy_) return;
  copy_.reset();
  KillTimer(hwnd_, kCopyTimer);
}

void TWin32LogView::CopySteps() {
  if (!copy_) return;
  ++copy_turns_;
  const auto until = std::chrono::steady_clock::now() + TLogViewCore::kStepBudget;
  CopyJob& job = *copy_;
  try {
    TLogViewCore::CopySlices(job.slices, until, [&job](const std::string& s) {
      const std::wstring w = CopiedCp1251(s);
      std::memcpy(job.out + job.used, w.data(), w.size() * sizeof(wchar_t));
      job.used += w.size();
    });
  } catch (const std::bad_alloc&) {
    CancelCopy();
    return Refuse();
  }
  if (!job.slices.Done()) {
    SetTimer(hwnd_, kCopyTimer, USER_TIMER_MINIMUM, nullptr);
    return;
  }
  KillTimer(hwnd_, kCopyTimer);
  job.out[job.used] = L'\0';
  GlobalUnlock(job.mem);
  job.out = nullptr;
  HGLOBAL mem = job.mem;
  job.mem = nullptr;
  copy_.reset();
  if (!OpenClipboard(hwnd_)) {
    GlobalFree(mem);
    return;
  }
  EmptyClipboard();
  if (!SetClipboardData(CF_UNICODETEXT, mem)) GlobalFree(mem);
  CloseClipboard();
}

void TWin32LogView::Refuse() {
  if (OnRefused) OnRefused(TLogViewCore::kTooLarge);
}

void TWin32LogView::ContextMenu(int X, int Y) {
  if (X == -1 && Y == -1) {  // from the keyboard: at the view's corner
    POINT p{Margin(), Margin()};
    ClientToScreen(hwnd_, &p);
    X = p.x;
    Y = p.y;
  }
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING | (layout_.HasSelection() ? 0 : MF_GRAYED), kCopyCommand,
              L"Копировать");
  AppendMenuW(menu, MF_STRING, kSelectAllCommand, L"Выделить всё");
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kFindCommand, L"Найти...");
  AppendMenuW(menu, MF_STRING, kSaveCommand, L"Сохранить в файл...");
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, X, Y, 0, hwnd_, nullptr));
  DestroyMenu(menu);
  if (chosen == kCopyCommand) Copy();
  if (chosen == kSelectAllCommand) SelectAll();
  if (chosen == kFindCommand) OpenFind();
  if (chosen == kSaveCommand) Save();
}

void TWin32LogView::KeyDown(WPARAM Key) {
  const bool ctrl = GetKeyState(VK_CONTROL) < 0;
  TLogViewKey key;
  if (ctrl && (Key == 'C' || Key == VK_INSERT)) {
    key = TLogViewKey::Copy;
  } else if (ctrl && Key == 'A') {
    key = TLogViewKey::SelectAll;
  } else if (ctrl && Key == VK_HOME) {
    key = TLogViewKey::Home;
  } else if (ctrl && Key == VK_END) {
    key = TLogViewKey::End;
  } else if (Key == VK_PRIOR || Key == VK_NEXT) {
    key = Key == VK_PRIOR ? TLogViewKey::PageUp : TLogViewKey::PageDown;
  } else if (Key == VK_UP || Key == VK_DOWN) {
    key = Key == VK_UP ? TLogViewKey::Up : TLogViewKey::Down;
  } else if (Key == VK_F3) {
    key = TLogViewKey::F3;
  } else {
    return;
  }
  core_.Key(key, GetKeyState(VK_SHIFT) < 0);
}

LRESULT TWin32LogView::Message(UINT Msg, WPARAM W, LPARAM L) {
  switch (Msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd_, &ps);
      RECT client;
      GetClientRect(hwnd_, &client);
      // Painted off screen first, so a busy log does not flicker.
      HDC mem = CreateCompatibleDC(dc);
      HBITMAP bmp = CreateCompatibleBitmap(dc, std::max<LONG>(1, client.right),
                                           std::max<LONG>(1, client.bottom));
      HGDIOBJ old = SelectObject(mem, bmp);
      Paint(mem, client);
      BitBlt(dc, 0, 0, client.right, client.bottom, mem, 0, 0, SRCCOPY);
      SelectObject(mem, old);
      DeleteObject(bmp);
      DeleteDC(mem);
      EndPaint(hwnd_, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_SIZE:
      Resized();
      return 0;
    case WM_SETFOCUS:
      if (OnFocus) OnFocus();
      return 0;
    case WM_SETFONT:
      SetFont(reinterpret_cast<HFONT>(W));
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(font_);
    case WM_TIMER:
      if (W == kFrameTimer) Flush();
      if (W == kDragTimer) DragScroll();
      if (W == kCopyTimer) CopySteps();
      if (W == kFindTimer) core_.FindSteps();
      if (W == kSaveTimer) core_.SaveSteps();
      return 0;
    case kKeyMessage:
      if (W == kFindCommand) OpenFind();
      if (W == kSaveCommand) Save();
      return 0;
    case WM_COMMAND:
      // A new text starts over from the selection, with nothing said yet.
      if (LOWORD(W) == kFindFieldId && HIWORD(W) == EN_CHANGE) core_.FindReset();
      return 0;
    case kFlushMessage:
      Flush();
      return 0;
    case WM_VSCROLL: {
      SCROLLINFO si{};
      si.cbSize = sizeof(si);
      si.fMask = SIF_TRACKPOS;
      switch (LOWORD(W)) {
        case SB_LINEUP:
          core_.BarStep(TLogBarStep::RowUp);
          break;
        case SB_LINEDOWN:
          core_.BarStep(TLogBarStep::RowDown);
          break;
        case SB_PAGEUP:
          core_.BarStep(TLogBarStep::PageUp);
          break;
        case SB_PAGEDOWN:
          core_.BarStep(TLogBarStep::PageDown);
          break;
        case SB_TOP:
          core_.BarStep(TLogBarStep::Top);
          break;
        case SB_BOTTOM:
          core_.BarStep(TLogBarStep::Bottom);
          break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
          GetScrollInfo(hwnd_, SB_VERT, &si);
          tracking_ = LOWORD(W) == SB_THUMBTRACK;
          layout_.ScrollTo(si.nTrackPos);
          break;
        case SB_ENDSCROLL:
          tracking_ = false;
          break;
        default:
          break;
      }
      Scrolled();
      return 0;
    }
    case WM_MOUSEWHEEL:
      core_.Wheel(GET_WHEEL_DELTA_WPARAM(W));
      return 0;
    case WM_KEYDOWN:
      KeyDown(W);
      return 0;
    case WM_LBUTTONDOWN:
      ::SetFocus(hwnd_);
      SetCapture(hwnd_);
      layout_.Press(PositionAt(GET_X_LPARAM(L), GET_Y_LPARAM(L)), (W & MK_SHIFT) != 0);
      dragging_ = true;
      InvalidateRect(hwnd_, nullptr, FALSE);
      return 0;
    case WM_MOUSEMOVE: {
      if (!dragging_) return 0;
      drag_x_ = GET_X_LPARAM(L);
      drag_y_ = GET_Y_LPARAM(L);
      RECT r;
      GetClientRect(hwnd_, &r);
      // Held past the top or bottom edge, the drag scrolls a row a tick
      // until the mouse comes back or the button is let go.
      if (drag_y_ < 0 || drag_y_ >= r.bottom) {
        if (!drag_timer_) {
          drag_timer_ = true;
          SetTimer(hwnd_, kDragTimer, kDragScrollMs, nullptr);
          DragScroll();
          return 0;
        }
      } else {
        StopDragTimer();
      }
      DragTo();
      return 0;
    }
    case WM_LBUTTONUP:
      dragging_ = false;
      StopDragTimer();
      if (GetCapture() == hwnd_) ReleaseCapture();
      return 0;
    case WM_CAPTURECHANGED:
      dragging_ = false;
      StopDragTimer();
      return 0;
    case WM_LBUTTONDBLCLK: {
      // A word under the mouse, or nothing where there is no character.
      const int x = GET_X_LPARAM(L), y = GET_Y_LPARAM(L);
      const std::size_t pos = layout_.CharAt(std::max(0, y) / row_height_, x - Margin());
      if (pos == TLogText::npos) {
        layout_.Press(PositionAt(x, y), false);
      } else {
        layout_.SelectWord(pos);
      }
      dragging_ = false;
      StopDragTimer();
      InvalidateRect(hwnd_, nullptr, FALSE);
      return 0;
    }
    case WM_CONTEXTMENU:
      ContextMenu(GET_X_LPARAM(L), GET_Y_LPARAM(L));
      return 0;
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS;
    case WM_SETCURSOR:
      // While a copy is made the pointer says so.
      if (copy_ && LOWORD(L) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_APPSTARTING)));
        return TRUE;
      }
      return DefWindowProcW(hwnd_, Msg, W, L);
    default:
      return DefWindowProcW(hwnd_, Msg, W, L);
  }
}

// ---------------------------------------------------------------------- keys

LRESULT CALLBACK TWin32LogView::WindowKeys(int Code, WPARAM W, LPARAM L) {
  auto* msg = reinterpret_cast<MSG*>(L);
  // Ctrl+F and Ctrl+S anywhere in a view's window go to the view, whichever
  // control has the focus (a repeat of a held key only once).
  if (Code == HC_ACTION && W == PM_REMOVE && msg->message == WM_KEYDOWN &&
      (msg->wParam == 'F' || msg->wParam == 'S') && GetKeyState(VK_CONTROL) < 0 &&
      GetKeyState(VK_MENU) >= 0 && !(msg->lParam & (1 << 30))) {
    const HWND root = GetAncestor(msg->hwnd, GA_ROOT);
    for (TWin32LogView* v : t_views) {
      if (v->hwnd_ && GetAncestor(v->hwnd_, GA_ROOT) == root) {
        // Acted on from the view's own message, not inside the hook.
        PostMessageW(v->hwnd_, kKeyMessage, msg->wParam == 'F' ? kFindCommand : kSaveCommand, 0);
        msg->message = WM_NULL;
        break;
      }
    }
  }
  return CallNextHookEx(nullptr, Code, W, L);
}

// ---------------------------------------------------------------------- find

int TWin32LogView::Margin() const {
  return system_.Scale(kMargin);
}

int TWin32LogView::FindBarHeight() const {
  return row_height_ + system_.Scale(8);
}

void TWin32LogView::PlaceFindBar() {
  if (!find_edit_) return;
  RECT r{};
  GetClientRect(hwnd_, &r);
  const int h = FindBarHeight();
  const int gap = system_.Scale(4);
  const int status_w = std::min<int>(r.right / 3, 12 * widths_['W'] + 2 * gap);
  MoveWindow(find_edit_, 0, r.bottom - h, std::max(0, static_cast<int>(r.right) - status_w), h,
             TRUE);
  MoveWindow(find_status_, r.right - status_w + gap, r.bottom - h, status_w - gap, h, TRUE);
}

void TWin32LogView::OpenFind() {
  if (!find_edit_) return;
  if (!find_open_) {
    find_open_ = true;
    ShowWindow(find_edit_, SW_SHOW);
    ShowWindow(find_status_, SW_SHOW);
    Resized();
  }
  ::SetFocus(find_edit_);
  SendMessageW(find_edit_, EM_SETSEL, 0, -1);
}

void TWin32LogView::CloseFind() {
  core_.FindReset();
  if (find_open_) {
    find_open_ = false;
    ShowWindow(find_edit_, SW_HIDE);
    ShowWindow(find_status_, SW_HIDE);
    Resized();
  }
  if (OnFindClosed) OnFindClosed();
}

std::wstring TWin32LogView::FindStatus() const {
  wchar_t buf[64] = {};
  if (find_status_) GetWindowTextW(find_status_, buf, 64);
  return buf;
}

LRESULT CALLBACK TWin32LogView::FindFieldProc(HWND Window, UINT Msg, WPARAM W, LPARAM L) {
  auto* view = reinterpret_cast<TWin32LogView*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
  if (!view || !view->edit_proc_) return DefWindowProcW(Window, Msg, W, L);
  if (Msg == WM_KEYDOWN && (W == VK_RETURN || W == VK_F3 || W == VK_ESCAPE)) {
    RunGuarded(nullptr, [&] {
      if (W == VK_ESCAPE) {
        view->CloseFind();
      } else {
        view->FindNext(GetKeyState(VK_SHIFT) >= 0);
      }
    });
    return 0;
  }
  // Their characters would only beep.
  if (Msg == WM_CHAR && (W == L'\r' || W == 0x1B)) return 0;
  if (Msg == WM_GETDLGCODE) {
    // Enter, Esc and F3 are the field's own, never the dialog manager's.
    LRESULT code = CallWindowProcW(view->edit_proc_, Window, Msg, W, L);
    const auto* m = reinterpret_cast<const MSG*>(L);
    if (m && m->message == WM_KEYDOWN &&
        (m->wParam == VK_RETURN || m->wParam == VK_ESCAPE || m->wParam == VK_F3))
      code |= DLGC_WANTMESSAGE;
    return code;
  }
  return CallWindowProcW(view->edit_proc_, Window, Msg, W, L);
}

void TWin32LogView::FindNext(bool Forward) {
  core_.FindNext(Forward);
}

std::string TWin32LogView::FindPattern() const {
  if (!find_edit_) return {};
  const int n = GetWindowTextLengthW(find_edit_);
  std::wstring typed(static_cast<std::size_t>(n) + 1, L'\0');
  typed.resize(static_cast<std::size_t>(GetWindowTextW(find_edit_, typed.data(), n + 1)));
  return FromWide(typed);
}

void TWin32LogView::ShowFindStatus(const std::string& Utf8) {
  SetWindowTextW(find_status_, ToWide(Utf8).c_str());
}

// ---------------------------------------------------------------------- save

void TWin32LogView::Save() {
  core_.Save();
}

std::string TWin32LogView::SavePath() {
  if (AskSavePath) return AskSavePath();
  std::vector<wchar_t> file(32768, L'\0');
  const std::wstring title = ToWide("Сохранить в файл");
  static const wchar_t kFilter[] = L"Текст (*.txt)\0*.txt\0Все файлы (*.*)\0*.*\0";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = GetAncestor(hwnd_, GA_ROOT);
  ofn.lpstrFilter = kFilter;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrTitle = title.c_str();
  ofn.lpstrDefExt = L"txt";
  ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
  if (!GetSaveFileNameW(&ofn)) return {};
  return FromWide(file.data());
}

void TWin32LogView::CancelSave() {
  core_.CancelSave();
}

void TWin32LogView::SaveProgress(const std::string& Text) {
  if (OnSaveProgress) OnSaveProgress(Text);
}

void TWin32LogView::SaveFailed(const std::string& Error) {
  if (OnSaveFailed) OnSaveFailed(Error);
}
