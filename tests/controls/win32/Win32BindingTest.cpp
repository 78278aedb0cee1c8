#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "controls/Controls.h"
#include "controls/Cp1251.h"
#include "controls/win32/Win32LogView.h"
#include "controls/win32/Win32Text.h"
#include "controls/win32/Win32WindowSystem.h"
#include "runtime/Thread.h"
#include "tests/controls/Worker.h"
#include "tests/controls/win32/Win32Fixture.h"

// Last: its macros (INFINITE among them) must not meet the program's names.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

namespace {

HWND H(const TControl* c) {
  return TWin32WindowSystem::HandleOf(*c);
}

class Win32Binding : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    form = std::make_unique<TForm>(nullptr);
    form->SetClientSize(420, 300);
    form->SetCaption("Конфигуратор TORIN5  ДОРМАКС ");
    box = Make<TGroupBox>(form.get(), 10, 10, 400, 200);
    box->SetCaption("Настройка порта");
  }
  void TearDown() override {
    form.reset();
    Win32Test::TearDown();
  }
  template <class T>
  T* Make(TWinControl* parent, int l, int t, int w, int h) {
    auto* c = new T(form.get());
    c->SetParent(parent);
    c->SetBounds(l, t, w, h);
    return c;
  }
  void ShowForm() {
    form->Show();
    ASSERT_TRUE(SpinUntil([&] { return IsWindowVisible(H(form.get())) != FALSE; }));
  }
  std::unique_ptr<TForm> form;
  TGroupBox* box = nullptr;
};

TEST_F(Win32Binding, CaptionsReachTheWindowsAsUtf16) {
  auto* label = Make<TLabel>(box, 6, 20, 80, 13);
  label->SetCaption("Имя ПК:");
  auto* button = Make<TButton>(box, 6, 40, 60, 24);
  button->SetCaption("Старт");
  auto* check = Make<TCheckBox>(box, 6, 70, 90, 16);
  check->SetCaption("Активация");
  auto* radio = Make<TRadioButton>(box, 6, 90, 90, 17);
  radio->SetCaption("Пакетный");
  auto* edit = Make<TEdit>(box, 6, 110, 120, 21);
  edit->SetText("192.168.0.150");
  ShowForm();
  const struct {
    const TControl* control;
    std::wstring text;
  } cases[] = {
      {form.get(), L"Конфигуратор TORIN5  ДОРМАКС "},
      {box, L"Настройка порта"},
      {label, L"Имя ПК:"},
      {button, L"Старт"},
      {check, L"Активация"},
      {radio, L"Пакетный"},
      {edit, L"192.168.0.150"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.control->Name());
    ASSERT_NE(H(c.control), nullptr);
    EXPECT_EQ(TextOf(H(c.control)), c.text);
  }
  // A caption set while shown reaches the window; so does one in Windows-1251.
  label->SetCaption("Мой IP:");
  EXPECT_EQ(TextOf(H(label)), L"Мой IP:");
  button->SetCaption("\xD1\xF2\xEE\xEF");  // "Стоп" in Windows-1251
  EXPECT_EQ(TextOf(H(button)), L"Стоп");
}

TEST_F(Win32Binding, WindowsSitWhereTheControlsAreAndFollowTheirState) {
  auto* panel = Make<TPanel>(form.get(), 0, 220, 420, 80);
  auto* button = Make<TButton>(panel, 100, 43, 48, 28);
  auto* status = Make<TStatusBar>(panel, 0, 54, 420, 26);
  status->AddPanel(50, taCenter);
  status->AddPanel(150, taLeftJustify);
  ShowForm();
  RECT client;
  GetClientRect(H(form.get()), &client);
  EXPECT_EQ(client.right, 420);
  EXPECT_EQ(client.bottom, 300);
  RECT r;
  GetWindowRect(H(button), &r);
  MapWindowPoints(HWND_DESKTOP, H(form.get()), reinterpret_cast<POINT*>(&r), 2);
  EXPECT_EQ(r.left, 100);
  EXPECT_EQ(r.top, 263);
  EXPECT_EQ(r.right - r.left, 48);
  EXPECT_EQ(r.bottom - r.top, 28);

  button->SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(H(button)));
  panel->SetVisible(false);
  EXPECT_FALSE(IsWindowVisible(H(button)));
  // Hidden while its parent is hidden, it stays hidden when the parent shows.
  button->SetVisible(false);
  panel->SetVisible(true);
  EXPECT_FALSE(IsWindowVisible(H(button)));
  EXPECT_TRUE(IsWindowVisible(H(status)));
  button->SetVisible(true);
  EXPECT_TRUE(IsWindowVisible(H(button)));

  status->SetPanelText(0, "DTR");
  status->SetPanelText(1, "Com-порт не выбран");
  wchar_t text[64] = {};
  SendMessageW(H(status), SB_GETTEXTW, 1, reinterpret_cast<LPARAM>(text));
  EXPECT_EQ(std::wstring(text), L"Com-порт не выбран");
  SendMessageW(H(status), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
  EXPECT_EQ(std::wstring(text), L"\tDTR");  // a leading tab centres it
  int edges[4] = {};
  ASSERT_EQ(SendMessageW(H(status), SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges)), 2);
  EXPECT_EQ(edges[0], 50);
  EXPECT_EQ(edges[1], -1);  // the last panel takes the rest
}

TEST_F(Win32Binding, ClicksReachTheHandlersWithTheEventRules) {
  auto* button = Make<TButton>(box, 6, 20, 60, 24);
  auto* check = Make<TCheckBox>(box, 6, 50, 90, 16);
  auto* r1 = Make<TRadioButton>(box, 6, 70, 90, 17);
  auto* r2 = Make<TRadioButton>(box, 6, 90, 90, 17);
  std::vector<std::string> raised;
  button->SetName("Button");
  check->SetName("Check");
  r1->SetName("R1");
  r2->SetName("R2");
  for (TButtonControl* c : std::initializer_list<TButtonControl*>{button, check, r1, r2}) {
    c->OnClick = [&raised](TObject* s) { raised.push_back(static_cast<TComponent*>(s)->Name()); };
  }
  r1->SetChecked(true);
  raised.clear();
  ShowForm();
  const struct {
    TButtonControl* clicked;
    std::vector<std::string> raised;
    bool check, r1, r2;
  } steps[] = {
      {button, {"Button"}, false, true, false},
      {check, {"Check"}, true, true, false},
      {check, {"Check"}, false, true, false},
      {r2, {"R2"}, false, false, true},
      {r2, {}, false, false, true},  // selecting it again raises nothing
      {r1, {"R1"}, false, true, false},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.clicked->Name());
    raised.clear();
    SendMessageW(H(s.clicked), BM_CLICK, 0, 0);
    EXPECT_EQ(raised, s.raised);
    EXPECT_EQ(check->Checked(), s.check);
    EXPECT_EQ(r1->Checked(), s.r1);
    EXPECT_EQ(r2->Checked(), s.r2);
    // The boxes show what the controls hold.
    EXPECT_EQ(SendMessageW(H(check), BM_GETCHECK, 0, 0) == BST_CHECKED, s.check);
    EXPECT_EQ(SendMessageW(H(r1), BM_GETCHECK, 0, 0) == BST_CHECKED, s.r1);
    EXPECT_EQ(SendMessageW(H(r2), BM_GETCHECK, 0, 0) == BST_CHECKED, s.r2);
  }
  // The program's change raises the check box's handler too.
  raised.clear();
  check->SetChecked(true);
  EXPECT_EQ(raised, std::vector<std::string>{"Check"});
}

TEST_F(Win32Binding, AListRaisesItsChangeOnlyOnTheOperatorsChoice) {
  auto* combo = Make<TComboBox>(box, 6, 16, 90, 24);
  for (const char* s : {"Порт 1", "Порт 2", "Порт 3"}) combo->Items().Add(s);
  int changes = 0;
  combo->OnChange = [&](TObject*) { ++changes; };
  combo->SetItemIndex(0);
  ShowForm();
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(SendMessageW(H(combo), CB_GETCURSEL, 0, 0), 0);
  wchar_t item[32] = {};
  SendMessageW(H(combo), CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(item));
  EXPECT_EQ(std::wstring(item), L"Порт 3");
  // The operator steps down the closed list with the arrow key.
  SetFocus(H(combo));
  SendMessageW(H(combo), WM_KEYDOWN, VK_DOWN, 0);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(combo->ItemIndex(), 1);
  EXPECT_EQ(combo->Text(), "Порт 2");
  combo->SetItemIndex(2);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(SendMessageW(H(combo), CB_GETCURSEL, 0, 0), 2);
}

// The characters that reach the edit class's own window procedure.
WNDPROC g_edit_proc = nullptr;
std::wstring g_edit_got;

LRESULT CALLBACK RecordingEditProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_CHAR) g_edit_got += static_cast<wchar_t>(wp);
  return CallWindowProcW(g_edit_proc, w, m, wp, lp);
}

TEST_F(Win32Binding, TypedKeysGoThroughTheKeyPressHandlerFirst) {
  auto* edit = Make<TEdit>(box, 6, 20, 200, 21);
  std::string seen;
  edit->OnKeyPress = [&](TObject*, char& key) {
    seen += key;
    if (key == '#') key = 0;    // swallowed
    if (key == 'x') key = 'y';  // changed
  };
  // The class's procedure, changed through a window of the class, is the
  // own procedure of the edits made while it stays changed.
  HWND probe = CreateWindowExW(0, WC_EDITW, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  g_edit_proc = reinterpret_cast<WNDPROC>(
      SetClassLongPtrW(probe, GCLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingEditProc)));
  ShowForm();
  SetClassLongPtrW(probe, GCLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_edit_proc));
  DestroyWindow(probe);
  const struct {
    std::wstring typed;
    std::string seen;  // Windows-1251, as the handler gets it
    std::wstring shown;
  } cases[] = {
      {L"abc", "abc", L"abc"}, {L"жЯ", "\xE6\xDF", L"жЯ"}, {L"a#b", "a#b", L"ab"},
      {L"x", "x", L"y"},       {L"ab\b", "ab\b", L"a"},    {L"\r\x1B", "\r\x1B", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.seen));
    edit->SetText("");
    seen.clear();
    g_edit_got.clear();
    for (wchar_t ch : c.typed) SendMessageW(H(edit), WM_CHAR, ch, 0);
    EXPECT_EQ(seen, c.seen);
    EXPECT_EQ(TextOf(H(edit)), c.shown);
    // Enter and Esc end at the handler (the control would beep at them);
    // what the edit takes reaches it.
    EXPECT_EQ(g_edit_got.find_first_of(L"\r\n\x1B"), std::wstring::npos);
    EXPECT_EQ(g_edit_got.empty(), c.shown.empty());
  }
  // The text comes back as the program keeps its texts: UTF-8.
  edit->SetText("");
  for (wchar_t ch : std::wstring(L"Порт")) SendMessageW(H(edit), WM_CHAR, ch, 0);
  EXPECT_EQ(edit->Text(), "Порт");
  // A handler's error goes to the hook and the key goes nowhere.
  edit->OnKeyPress = [](TObject*, char&) { throw Exception("no"); };
  SendMessageW(H(edit), WM_CHAR, L'z', 0);
  EXPECT_EQ(edit->Text(), "Порт");
  EXPECT_EQ(hooked, std::vector<std::string>{"no"});
}

TEST_F(Win32Binding, TabMovesTheFocusAlongTheTabStops) {
  auto* e1 = Make<TEdit>(box, 6, 20, 100, 21);
  auto* b1 = Make<TButton>(box, 6, 50, 60, 24);
  auto* e2 = Make<TEdit>(form.get(), 10, 250, 100, 21);
  auto* skipped = Make<TButton>(box, 6, 80, 60, 24);
  skipped->SetTabStop(false);
  form->SetActiveControl(e1);
  ShowForm();
  ASSERT_TRUE(SpinUntil([&] { return GetFocus() == H(e1); }));
  const struct {
    bool back;
    const TWinControl* next;
  } steps[] = {{false, b1}, {false, e2}, {false, e1}, {true, e2}};
  for (const auto& s : steps) {
    MSG m{GetFocus(), WM_KEYDOWN, VK_TAB, 0, 0, {}};
    if (s.back) {
      BYTE keys[256] = {};
      GetKeyboardState(keys);
      keys[VK_SHIFT] = 0x80;
      SetKeyboardState(keys);
      ws.Dispatch(m);
      keys[VK_SHIFT] = 0;
      SetKeyboardState(keys);
    } else {
      ws.Dispatch(m);
    }
    EXPECT_EQ(GetFocus(), H(s.next));
    // The form knows which control the operator is on.
    EXPECT_EQ(form->ActiveControl(), s.next);
  }
}

TEST_F(Win32Binding, TheLoopRunsMarshalledCallsAndTimersUntilTheFormCloses) {
  // The worker's call closes the main form, which ends the loop; the loop
  // sleeps in the wait for messages and the call queue's event.
  TTimer timer(nullptr);
  timer.SetInterval(5);
  int ticks = 0;
  std::atomic<bool> on_main{false};
  timer.OnTimer = [&](TObject*) {
    if (++ticks >= 3 && on_main) form->Close();
  };
  std::unique_ptr<Worker> worker;
  form->OnShow = [&](TObject*) { worker = NewThread<Worker>([&] { on_main = IsMainThread(); }); };
  ws.Run(*form);
  EXPECT_TRUE(on_main);
  EXPECT_GE(ticks, 3);
  EXPECT_FALSE(IsWindowVisible(H(form.get())));
  worker.reset();
}

// A timer under the window timer's 10 ms floor ticks from a waitable timer
// and reaches its handler on the loop's thread; the periods measured for a
// 5 ms and a 10 ms timer are printed for the record.
TEST_F(Win32Binding, ATimerFinerThanTheWindowTimerTicksOnTheLoopThread) {
  auto measure = [&](int intervalMs) {
    int ticks = 0;
    bool onMain = true;
    std::chrono::steady_clock::time_point first, last;
    const int id = ws.StartTimer(intervalMs, [&] {
      last = std::chrono::steady_clock::now();
      if (ticks++ == 0) first = last;
      onMain = onMain && IsMainThread();
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
    while (std::chrono::steady_clock::now() < end) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
      ws.ProcessMessages();
    }
    ws.StopTimer(id);
    EXPECT_TRUE(onMain);
    const double period =
        ticks > 1 ? std::chrono::duration<double, std::milli>(last - first).count() / (ticks - 1)
                  : 0;
    return std::make_pair(ticks, period);
  };
  const auto [fineTicks, finePeriod] = measure(5);
  const auto [windowTicks, windowPeriod] = measure(10);
  EXPECT_GE(fineTicks, 10);
  EXPECT_GE(windowTicks, 10);
  TFineTimer probe(nullptr, WM_NULL, 0, 5);
  std::printf("status timer tick: %.2f ms at 5 ms (%s waitable timer), %.2f ms at 10 ms (SetTimer)\n",
              finePeriod, probe.HighResolution() ? "high-resolution" : "plain", windowPeriod);
  // A tick posted before its timer stopped finds nothing to run.
  int late = 0;
  const int id = ws.StartTimer(5, [&] { ++late; });
  Sleep(30);
  ws.StopTimer(id);
  ws.ProcessMessages();
  EXPECT_EQ(late, 0);
}

// Stops at the first visible dialog window, which it leaves in *Found.
BOOL CALLBACK FindShownBox(HWND w, LPARAM Found) {
  wchar_t cls[16] = {};
  GetClassNameW(w, cls, 16);
  if (std::wstring(cls) != L"#32770" || !IsWindowVisible(w)) return TRUE;
  *reinterpret_cast<HWND*>(Found) = w;
  return FALSE;
}

TEST_F(Win32Binding, TheMessageBoxShowsItsTextCentredOnTheWorkArea) {
  ShowForm();
  std::wstring shown;
  RECT box_rect{};
  // The box runs its own loop; a timer of ours finds it there and closes it.
  const int timer = ws.StartTimer(20, [&] {
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindShownBox, reinterpret_cast<LPARAM>(&box));
    if (!box || !shown.empty()) return;
    wchar_t text[128] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 128);
    shown = text;
    GetWindowRect(box, &box_rect);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  ws.ShowMessageBox("Ошибка открытия порта (2)");
  ws.StopTimer(timer);
  EXPECT_EQ(shown, L"Ошибка открытия порта (2)");
  const TRect area = ws.WorkArea();
  EXPECT_NEAR((box_rect.left + box_rect.right) / 2, (area.Left + area.Right) / 2, 1);
  EXPECT_NEAR((box_rect.top + box_rect.bottom) / 2, (area.Top + area.Bottom) / 2, 1);
}

const TFont kPaneFont{"Arial", 8, true, true};

class Win32Log : public Win32Binding {
 protected:
  void SetUp() override {
    Win32Binding::SetUp();
    memo = Make<TMemo>(form.get(), 0, 0, 420, 200);
    memo->SetReadOnly(true);
    memo->SetScrollBars(ssVertical);
    memo->SetFont(kPaneFont);
    memo->SetColor(clCream);
    box->SetVisible(false);
    ShowForm();
    view = TWin32LogView::FromHandle(H(memo));
    ASSERT_NE(view, nullptr);
  }
  void Settle() {
    ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  }
  std::wstring Clipboard() {
    std::wstring out;
    if (!OpenClipboard(nullptr)) return out;
    if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
      if (auto* p = static_cast<const wchar_t*>(GlobalLock(h))) {
        out = p;
        GlobalUnlock(h);
      }
    }
    CloseClipboard();
    return out;
  }
  TMemo* memo = nullptr;
  TWin32LogView* view = nullptr;
};

TEST_F(Win32Log, ShowsWindows1251AsCyrillicAndCopiesItAsUnicode) {
  // "Порт 1" CR LF "Rx- 1E" CR LF "Привет" in Windows-1251.
  memo->AppendText("\xCF\xEE\xF0\xF2 1\r\nRx- 1E \r\n\xCF\xF0\xE8\xE2\xE5\xF2");
  Settle();
  const std::vector<std::wstring> rows = view->PaintedRows();
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows[0], L"Порт 1");
  EXPECT_EQ(rows[1], L"Rx- 1E ");
  EXPECT_EQ(rows[2], L"Привет");
  EXPECT_GT(view->RowHeight(), 8);

  SetFocus(H(memo));
  EXPECT_EQ(form->ActiveControl(), memo);
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  keys[VK_CONTROL] = 0x80;
  SetKeyboardState(keys);
  SendMessageW(H(memo), WM_KEYDOWN, 'A', 0);
  SendMessageW(H(memo), WM_KEYDOWN, 'C', 0);
  keys[VK_CONTROL] = 0;
  SetKeyboardState(keys);
  EXPECT_EQ(Clipboard(), L"Порт 1\r\nRx- 1E \r\nПривет");
}

TEST_F(Win32Log, TheMouseSelectsWhatItCoversAndCopiesIt) {
  memo->AppendText("\xCF\xEE\xF0\xF2 1\r\nRx- 1E \r\n\xCF\xF0\xE8\xE2\xE5\xF2");
  Settle();
  const int row = view->RowHeight();
  RECT client;
  GetClientRect(H(memo), &client);
  const struct {
    int from_x, from_y, to_x, to_y;
    bool word;  // a double click at from instead of a drag
    std::wstring copied;
  } cases[] = {
      // From the first character to past the end of the second row.
      {0, row / 2, client.right - 1, row + row / 2, false, L"Порт 1\r\nRx- 1E "},
      // From the start of the third row upwards to the start of the second.
      {0, 2 * row + row / 2, 0, row + row / 2, false, L"Rx- 1E \r\n"},
      {TWin32LogView::kMargin + 2, 2 * row + row / 2, 0, 0, true, L"Привет"},
      // Past the end of a row there is no word: nothing is selected.
      {client.right - 1, row / 2, 0, 0, true, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.copied));
    if (c.word) {
      SendMessageW(H(memo), WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(c.from_x, c.from_y));
    } else {
      SendMessageW(H(memo), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(c.from_x, c.from_y));
      SendMessageW(H(memo), WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(c.to_x, c.to_y));
      SendMessageW(H(memo), WM_LBUTTONUP, 0, MAKELPARAM(c.to_x, c.to_y));
    }
    EXPECT_EQ(view->SelectedText(), c.copied);
    if (c.copied.empty()) continue;
    view->Copy();
    EXPECT_EQ(Clipboard(), c.copied);
  }
}

TEST_F(Win32Log, FollowsTheTailAndScrollsByPage) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "\xF1\xF2\xF0\xEE\xEA\xE0 " + std::to_string(i) + "\r\n";
  memo->AppendText(text);
  Settle();
  // The pane shows the end; the last row is the empty line after the break.
  std::vector<std::wstring> rows = view->PaintedRows();
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[rows.size() - 2], L"строка 199");
  SCROLLINFO si{};
  si.cbSize = sizeof(si);
  si.fMask = SIF_ALL;
  GetScrollInfo(H(memo), SB_VERT, &si);
  EXPECT_EQ(si.nPos + static_cast<int>(si.nPage) - 1, si.nMax);

  SendMessageW(H(memo), WM_KEYDOWN, VK_PRIOR, 0);
  EXPECT_FALSE(view->Layout().Following());
  const std::wstring top = view->PaintedRows().front();
  // More text does not move a view the operator scrolled away from the end.
  memo->AppendText("\xEA\xEE\xED\xE5\xF6");
  Settle();
  EXPECT_EQ(view->PaintedRows().front(), top);
  SendMessageW(H(memo), WM_VSCROLL, SB_BOTTOM, 0);
  rows = view->PaintedRows();
  EXPECT_EQ(rows.back(), L"конец");
  EXPECT_TRUE(view->Layout().Following());

  memo->ClearText();
  rows = view->PaintedRows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], L"");
}

TEST_F(Win32Log, AppendsAreTakenInOncePerFrame) {
  const long long frames = view->FrameCount();
  for (int i = 0; i < 500; ++i) memo->AppendText("x");
  Settle();
  // Five hundred appends in one go cost a frame or two, not five hundred.
  EXPECT_LE(view->FrameCount() - frames, 2);
  const std::wstring first = view->PaintedRows().front();
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first, std::wstring(first.size(), L'x'));
}

TEST_F(Win32Log, ALargeCopyLeavesTheLoopRunningAndOneTooLargeIsRefused) {
  std::vector<std::string> refused;
  view->OnRefused = [&](const std::string& t) { refused.push_back(t); };
  std::string chunk;
  while (chunk.size() < (1 << 20)) chunk += "\xD1\xF2\xF0\xEE\xEA\xE0 Rx- 1E 02\r\n";
  for (int i = 0; i < 40; ++i) memo->AppendText(chunk);
  Settle();
  view->SelectAll();
  view->Copy();
  // Made a slice per turn of the loop, on the clipboard when done.
  ASSERT_TRUE(view->Copying());
  ASSERT_TRUE(SpinUntil([&] { return !view->Copying(); }, 60000));
  EXPECT_GT(view->CopyTurns(), 2);
  const std::wstring got = Clipboard();
  ASSERT_EQ(got.size(), 40 * chunk.size());
  EXPECT_EQ(got.substr(0, 19), L"Строка Rx- 1E 02\r\nС");
  EXPECT_TRUE(refused.empty());

  view->SetCopyLimit(chunk.size());
  view->Copy();
  EXPECT_FALSE(view->Copying());
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0], "Выделенный текст слишком велик для буфера обмена.");
  view->SetCopyLimit(static_cast<std::size_t>(-1));
}

}  // namespace

namespace {

// Holds Ctrl (and Shift) down for the thread's key state while it lives.
struct HeldKeys {
  explicit HeldKeys(bool ctrl, bool shift = false) {
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_CONTROL] = ctrl ? 0x80 : 0;
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
  }
  ~HeldKeys() {
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_CONTROL] = keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
  }
};

std::string Slurp(const std::wstring& path) {
  std::string out;
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return out;
  char buf[1 << 16];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(h);
  return out;
}

}  // namespace

TEST_F(Win32Log, FindsFromTheFieldAndSavesThePaneWithTheWindowWideKeys) {
  int closed = 0;
  std::vector<std::string> progress, failed;
  memo->OnFindClose = [&](TObject*) { ++closed; };
  memo->OnSaveProgress = [&](TObject*, const std::string& t) { progress.push_back(t); };
  view->OnSaveFailed = [&](const std::string& t) { failed.push_back(t); };
  std::string lines;
  for (int i = 0; i < 40000; ++i)
    lines += "Rx- 1E 02 05 01 C3 0A 1B 2C 3D 4E 5F 60 71 82 93 A4 B5\r\n";
  const std::string needle =
      "\xD1\xE2\xFF\xE7\xFC \xCF\xCE\xD2\xC5\xD0\xDF\xCD\xC0";  // Связь ПОТЕРЯНА
  memo->AppendText("Rx- 1E\r\n" + needle + "\r\n" + lines + needle + "\r\nRx- 1E\r\n");
  Settle();
  const std::size_t first = 8, second = 8 + needle.size() + 2 + lines.size();

  // Ctrl+F with the focus elsewhere in the window.
  {
    HeldKeys ctrl(true);
    PostMessageW(H(form.get()), WM_KEYDOWN, 'F', 0);
    ASSERT_TRUE(SpinUntil([&] { return GetFocus() == view->FindField(); }));
  }
  EXPECT_TRUE(IsWindowVisible(view->FindField()));
  SetWindowTextW(view->FindField(), L"связь потеряна");
  const struct {
    WPARAM key;
    bool shift;
    std::size_t expect;
  } steps[] = {
      {VK_RETURN, false, first},
      {VK_F3, false, second},
      {VK_RETURN, false, first},  // past the last: from the top again
      {VK_F3, true, second},      // before the first: from the end
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.expect);
    {
      HeldKeys shift(false, s.shift);
      SendMessageW(view->FindField(), WM_KEYDOWN, s.key, 0);
    }
    ASSERT_TRUE(SpinUntil([&] { return !view->Finding(); }, 30000));
    EXPECT_EQ(view->Layout().SelStart(), s.expect);
    EXPECT_EQ(view->SelectedText(), L"Связь ПОТЕРЯНА");
    EXPECT_EQ(view->FindStatus(), L"");
  }
  SetWindowTextW(view->FindField(), L"связь потеряна!");
  SendMessageW(view->FindField(), WM_KEYDOWN, VK_RETURN, 0);
  ASSERT_TRUE(SpinUntil([&] { return !view->Finding(); }, 30000));
  EXPECT_EQ(view->FindStatus(), L"Не найдено");
  SendMessageW(view->FindField(), WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_FALSE(IsWindowVisible(view->FindField()));
  EXPECT_EQ(closed, 1);

  // Ctrl+S: the pane as UTF-8 with CR LF.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring path = std::wstring(temp) + L"t5-журнал.txt";
  view->AskSavePath = [&] { return FromWide(path); };
  {
    HeldKeys ctrl(true);
    PostMessageW(H(form.get()), WM_KEYDOWN, 'S', 0);
    ASSERT_TRUE(SpinUntil([&] { return view->Saving(); }));
  }
  ASSERT_TRUE(SpinUntil([&] { return !view->Saving(); }, 60000));
  EXPECT_TRUE(failed.empty());
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), "");
  EXPECT_TRUE(Slurp(path) == Cp1251ToUtf8(memo->Text().Text()));
  DeleteFileW(path.c_str());

  // Asked again while it runs, the save stops and leaves no file.
  view->Save();
  ASSERT_TRUE(view->Saving());
  view->Save();
  EXPECT_FALSE(view->Saving());
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(hooked.empty());
}
