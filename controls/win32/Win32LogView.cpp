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
#include "controls/LogSaver.h"
#include "controls/LogSearch.h"
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
// How often a save looks again while its writer catches up.
constexpr UINT kSaveWaitMs = 10;
const char* const kNotFound = "Не найдено";
// How often a drag held past the top or bottom edge scrolls a row.
constexpr UINT kDragScrollMs = 50;
// What a copy may take of one turn of the loop.
constexpr auto kCopyBudget = std::chrono::milliseconds(8);
const char* const kTooLarge = "Выделенный текст слишком велик для буфера обмена.";

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
  saver_.reset();
  search_.reset();
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
  CancelSave();
  search_.reset();
  CancelCopy();
  pending_ = false;
  layout_.SetText(Text);
  SyncScrollBar();
  InvalidateRect(hwnd_, nullptr, FALSE);
}

void TWin32LogView::TextAppended() {
  pending_ = true;
  Schedule();
}

void TWin32LogView::TextCleared() {
  // A save in progress would read what is gone; a search would find it.
  CancelSave();
  search_.reset();
  CancelCopy();
  pending_ = false;
  layout_.TextCleared();
  SyncScrollBar();
  InvalidateRect(hwnd_, nullptr, FALSE);
}

void TWin32LogView::SetWordWrap(bool Wrap) {
  layout_.SetWrap(Wrap);
  SyncScrollBar();
  InvalidateRect(hwnd_, nullptr, FALSE);
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

void TWin32LogView::Schedule() {
  if (scheduled_) return;
  scheduled_ = true;
  const ULONGLONG since = last_frame_ ? GetTickCount64() - last_frame_ : kFrameMs;
  if (since >= static_cast<ULONGLONG>(kFrameMs)) {
    PostMessageW(hwnd_, kFlushMessage, 0, 0);
  } else {
    SetTimer(hwnd_, kFrameTimer, static_cast<UINT>(kFrameMs - since), nullptr);
  }
}

void TWin32LogView::Flush() {
  scheduled_ = false;
  KillTimer(hwnd_, kFrameTimer);
  if (!pending_) return;
  pending_ = false;
  ++frames_;
  last_frame_ = GetTickCount64();
  const bool changed = layout_.TextAppended();
  SyncScrollBar();
  if (changed) InvalidateRect(hwnd_, nullptr, FALSE);
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
  SyncScrollBar();
  InvalidateRect(hwnd_, nullptr, FALSE);
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
  const std::size_t sel_a = layout_.SelStart();
  const std::size_t sel_b = layout_.SelEnd();
  const bool sel = layout_.HasSelection();
  const std::vector<TLogLayout::Row> rows = layout_.VisibleRows(layout_.Rows() + 1);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TLogLayout::Row& r = rows[i];
    const int y = static_cast<int>(i) * row_height_;
    if (y > area.bottom) break;
    const std::string_view bytes(r.Bytes);
    SetTextColor(dc, text);
    if (!sel || sel_b <= r.Start || sel_a > r.End() || (sel_a == r.End() && !bytes.empty())) {
      DrawBytes(dc, Margin(), y, bytes, widths_);
      continue;
    }
    const std::size_t a = std::max(sel_a, r.Start) - r.Start;
    const std::size_t b = std::min(sel_b, r.End()) - r.Start;
    const int xa = Margin() + static_cast<int>(layout_.XOf(r, r.Start + a));
    const int xb_text = Margin() + static_cast<int>(layout_.XOf(r, r.Start + b));
    int xb = xb_text;
    // A selected line break shows as a blank's width past the row's end.
    if (sel_b > r.End() && b == bytes.size()) xb += widths_[' '];
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
  layout_.SelectAll();
  InvalidateRect(hwnd_, nullptr, FALSE);
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
  const auto until = std::chrono::steady_clock::now() + kCopyBudget;
  CopyJob& job = *copy_;
  try {
    do {
      const std::wstring w = CopiedCp1251(job.slices.Next());
      std::memcpy(job.out + job.used, w.data(), w.size() * sizeof(wchar_t));
      job.used += w.size();
    } while (!job.slices.Done() && std::chrono::steady_clock::now() < until);
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
  if (OnRefused) OnRefused(kTooLarge);
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
  if (ctrl && (Key == 'C' || Key == VK_INSERT)) {
    Copy();
  } else if (ctrl && Key == 'A') {
    SelectAll();
  } else if (ctrl && Key == VK_HOME) {
    layout_.ScrollToStart();
    Scrolled();
  } else if (ctrl && Key == VK_END) {
    layout_.ScrollToEnd();
    Scrolled();
  } else if (Key == VK_PRIOR || Key == VK_NEXT) {
    layout_.ScrollPages(Key == VK_PRIOR ? -1 : 1);
    Scrolled();
  } else if (Key == VK_UP || Key == VK_DOWN) {
    layout_.ScrollRows(Key == VK_UP ? -1 : 1);
    Scrolled();
  } else if (Key == VK_F3) {
    FindNext(GetKeyState(VK_SHIFT) >= 0);
  }
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
      if (W == kFindTimer) FindSteps();
      if (W == kSaveTimer) SaveSteps();
      return 0;
    case kKeyMessage:
      if (W == kFindCommand) OpenFind();
      if (W == kSaveCommand) Save();
      return 0;
    case WM_COMMAND:
      // A new text starts over from the selection, with nothing said yet.
      if (LOWORD(W) == kFindFieldId && HIWORD(W) == EN_CHANGE) {
        search_.reset();
        KillTimer(hwnd_, kFindTimer);
        SetWindowTextW(find_status_, L"");
      }
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
          layout_.ScrollRows(-1);
          break;
        case SB_LINEDOWN:
          layout_.ScrollRows(1);
          break;
        case SB_PAGEUP:
          layout_.ScrollPages(-1);
          break;
        case SB_PAGEDOWN:
          layout_.ScrollPages(1);
          break;
        case SB_TOP:
          layout_.ScrollToStart();
          break;
        case SB_BOTTOM:
          layout_.ScrollToEnd();
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
    case WM_MOUSEWHEEL: {
      wheel_rest_ += GET_WHEEL_DELTA_WPARAM(W);
      const int steps = wheel_rest_ / 40;  // three rows a notch
      wheel_rest_ -= steps * 40;
      if (steps != 0) {
        layout_.ScrollRows(-steps);
        Scrolled();
      }
      return 0;
    }
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
  search_.reset();
  KillTimer(hwnd_, kFindTimer);
  SetWindowTextW(find_status_, L"");
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
  SetWindowTextW(find_status_, L"");
  if (!layout_.Text() || !find_edit_) return;
  const int n = GetWindowTextLengthW(find_edit_);
  std::wstring typed(static_cast<std::size_t>(n) + 1, L'\0');
  typed.resize(static_cast<std::size_t>(GetWindowTextW(find_edit_, typed.data(), n + 1)));
  const std::string pattern = Utf8ToCp1251(FromWide(typed));
  if (pattern.empty()) return;
  const std::size_t from = Forward ? layout_.SelEnd() : layout_.SelStart();
  search_ = std::make_unique<TLogSearch>(*layout_.Text(), pattern, from, Forward);
  // A small text is searched before this returns.
  FindSteps();
}

void TWin32LogView::FindSteps() {
  if (!search_) {
    KillTimer(hwnd_, kFindTimer);
    return;
  }
  const auto until = std::chrono::steady_clock::now() + kCopyBudget;
  while (!search_->Step(TLogSearch::kChunk) && std::chrono::steady_clock::now() < until) {
  }
  if (!search_->Done()) {
    SetTimer(hwnd_, kFindTimer, USER_TIMER_MINIMUM, nullptr);
    return;
  }
  KillTimer(hwnd_, kFindTimer);
  const std::unique_ptr<TLogSearch> done = std::move(search_);
  if (!done->Found()) {
    SetWindowTextW(find_status_, ToWide(kNotFound).c_str());
    return;
  }
  layout_.SelectRange(done->Match(), done->Match() + done->Length());
  Scrolled();
}

// ---------------------------------------------------------------------- save

void TWin32LogView::Save() {
  if (saver_) return CancelSave();
  if (!layout_.Text()) return;
  std::string path;
  if (AskSavePath) {
    path = AskSavePath();
  } else {
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
    if (GetSaveFileNameW(&ofn)) path = FromWide(file.data());
  }
  // The text may have gone while the dialog ran its loop.
  if (path.empty() || !layout_.Text()) return;
  saver_ = std::make_unique<TLogSaver>(*layout_.Text(), path);
  SaveSteps();
}

void TWin32LogView::CancelSave() {
  if (!saver_) return;
  saver_.reset();  // stops the writer and removes its file
  KillTimer(hwnd_, kSaveTimer);
  SaveProgress("");
}

void TWin32LogView::SaveProgress(const std::string& Text) {
  if (Text == save_progress_) return;
  save_progress_ = Text;
  if (OnSaveProgress) OnSaveProgress(Text);
}

void TWin32LogView::SaveSteps() {
  if (!saver_) {
    KillTimer(hwnd_, kSaveTimer);
    return;
  }
  if (!saver_->Step(kCopyBudget)) {
    SaveProgress("Сохранение " + std::to_string(saver_->Percent()) + "%");
    SetTimer(hwnd_, kSaveTimer, saver_->Waiting() ? kSaveWaitMs : USER_TIMER_MINIMUM, nullptr);
    return;
  }
  KillTimer(hwnd_, kSaveTimer);
  const std::string error = saver_->Error();
  saver_.reset();
  SaveProgress("");
  // Told after the save is over: the message box runs a loop of its own.
  if (!error.empty() && OnSaveFailed) OnSaveFailed(error);
}
