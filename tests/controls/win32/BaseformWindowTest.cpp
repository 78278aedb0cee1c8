// The console's own window on the Win32 window system: its caption, every
// control where the form description puts it, the first focus, the log.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/fBase.h"
#include "app/fBaseDesign.h"
#include "controls/win32/Win32LogView.h"
#include "controls/win32/Win32WindowSystem.h"
#include "tests/controls/win32/Win32Fixture.h"

// Last: its macros (INFINITE among them) must not meet the program's names.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

namespace {

std::wstring Utf16(std::string_view utf8) {
  std::wstring out(utf8.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    out.data(), static_cast<int>(out.size()));
  out.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return out;
}

class BaseformWindow : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    form = std::make_unique<TBaseform>(nullptr);
    form->Show();
    ASSERT_TRUE(SpinUntil([&] { return IsWindowVisible(Handle(form.get())) != FALSE; }));
  }
  void TearDown() override {
    form.reset();
    Win32Test::TearDown();
  }
  static HWND Handle(const TControl* c) { return TWin32WindowSystem::HandleOf(*c); }
  std::unique_ptr<TBaseform> form;
};

TEST_F(BaseformWindow, OpensWithItsCaptionAndSize) {
  HWND w = Handle(form.get());
  EXPECT_EQ(TextOf(w), L"Конфигуратор TORIN5  ДОРМАКС ");
  RECT client;
  GetClientRect(w, &client);
  EXPECT_EQ(client.right, form->ClientWidth());
  EXPECT_EQ(client.bottom, form->ClientHeight());
  // Centred in the work area, where the form says it is.
  RECT outer;
  GetWindowRect(w, &outer);
  EXPECT_EQ(outer.left, form->Left());
  EXPECT_EQ(outer.top, form->Top());
  // The operator starts on the button the description names.
  EXPECT_EQ(GetFocus(), Handle(form->BtnETX));
}

TEST_F(BaseformWindow, EveryControlSitsWhereTheDescriptionPutsIt) {
  const TFormDesign& design = BaseformDesign();
  ASSERT_FALSE(design.Controls.empty());
  int withFont = 0;
  for (const TControlDesign& d : design.Controls) {
    const std::string name(d.Name);
    SCOPED_TRACE(name);
    auto* c = dynamic_cast<TControl*>(form->FindComponent(name));
    ASSERT_NE(c, nullptr);
    HWND w = Handle(c);
    ASSERT_NE(w, nullptr);
    HWND parent = d.Parent.empty()
                      ? Handle(form.get())
                      : Handle(dynamic_cast<TControl*>(form->FindComponent(std::string(d.Parent))));
    EXPECT_EQ(GetParent(w), parent);
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    // Aligned controls get their place from the layout; the description
    // fixes the rest, and a size it leaves out is the control's own.
    const bool placed = d.Align == alNone;
    EXPECT_EQ(r.left, placed ? d.Left : c->Left());
    EXPECT_EQ(r.top, placed ? d.Top : c->Top());
    EXPECT_EQ(r.right - r.left, d.Width ? d.Width : c->Width());
    EXPECT_EQ(r.bottom - r.top, d.Height ? d.Height : c->Height());
    EXPECT_EQ(IsWindowVisible(w) != FALSE, c->Showing());
    // Whatever it shows is Russian: its font has Cyrillic letters, here
    // as on a system whose own code page has none.
    if (auto font = reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0))) {
      LOGFONTW asked{};
      GetObjectW(font, sizeof asked, &asked);
      EXPECT_EQ(asked.lfCharSet, RUSSIAN_CHARSET);
      EXPECT_EQ(std::wstring(asked.lfFaceName), CyrillicFace(c->Font().Name, GetACP()));
      HDC dc = GetDC(w);
      HGDIOBJ old = SelectObject(dc, font);
      EXPECT_EQ(GetTextCharset(dc), RUSSIAN_CHARSET);
      SelectObject(dc, old);
      ReleaseDC(w, dc);
      ++withFont;
    }
    if (!d.Caption.empty() && d.Kind != TDesignKind::Edit && d.Kind != TDesignKind::ComboBox &&
        d.Kind != TDesignKind::Label) {
      EXPECT_EQ(TextOf(w), Utf16(d.Caption));
    }
  }
  // The port and rate lists among them.
  EXPECT_GE(withFont, 20);
  EXPECT_NE(SendMessageW(Handle(form->ComboPortNum), WM_GETFONT, 0, 0), 0);
  // The bitmap faces' stand-ins; the form's faces stay on a Windows-1251 system.
  EXPECT_EQ(CyrillicFace("Fixedsys", 1252), L"Lucida Console");
  EXPECT_EQ(CyrillicFace("MS Sans Serif", 1250), L"Microsoft Sans Serif");
  EXPECT_EQ(CyrillicFace("Fixedsys", 1251), L"Fixedsys");
  EXPECT_EQ(CyrillicFace("Arial", 1252), L"Arial");
}

TEST_F(BaseformWindow, TheLogPaneShowsWindows1251AsCyrillic) {
  form->LogAddLine("\xCF\xEE\xF0\xF2 1 [\xE0\xEA\xF2\xE8\xE2\xE5\xED]");  // "Порт 1 [активен]"
  auto* view = TWin32LogView::FromHandle(Handle(form->MemMess));
  ASSERT_NE(view, nullptr);
  ASSERT_TRUE(SpinUntil([&] { return !view->HasPending(); }));
  ASSERT_FALSE(view->PaintedRows().empty());
  EXPECT_EQ(view->PaintedRows().front(), L"Порт 1 [активен]");
}

TEST_F(BaseformWindow, UpAndDownInTheCommandLineRecallTheLinesSent) {
  HWND edit = Handle(form->EdCmdLn);
  auto type = [&](std::wstring_view keys) {
    for (wchar_t k : keys) SendMessageW(edit, WM_CHAR, k, 0);
  };
  auto shown = [&] {
    wchar_t text[64] = {};
    GetWindowTextW(edit, text, 64);
    return std::wstring(text);
  };
  // Sent with Enter while no port is open: each leaves its write error line.
  type(L"ver\r");
  SetWindowTextW(edit, L"");
  type(L"\u0442\u0435\u0441\u0442\r");  // "тест"
  SetWindowTextW(edit, L"");
  type(L"st");
  const struct {
    WPARAM key;
    std::wstring shown;
  } steps[] = {{VK_UP, L"\u0442\u0435\u0441\u0442"},
               {VK_UP, L"ver"},
               {VK_DOWN, L"\u0442\u0435\u0441\u0442"},
               {VK_DOWN, L"st"}};
  for (const auto& s : steps) {
    SendMessageW(edit, WM_KEYDOWN, s.key, 0);
    EXPECT_EQ(shown(), s.shown);
    DWORD from = 0, to = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    EXPECT_EQ(from, s.shown.size()) << "the caret ends the recalled line";
    EXPECT_EQ(to, s.shown.size());
  }
}

TEST_F(BaseformWindow, CtrlFFromTheCommandLineFindsEscGivesItBackTheFocusAndASaveShowsItsProgress) {
  std::string line;
  for (int i = 0; i < 2000; ++i) line += "Rx- 1E 02 05 01 C3 0A 1B 2C 3D 4E 5F 60 71 82 93 A4 B5 ";
  for (int i = 0; i < 20; ++i) form->LogAddLine(line);
  form->LogAddLine("stat OK");
  auto* view = TWin32LogView::FromHandle(Handle(form->MemMess));
  ASSERT_NE(view, nullptr);
  HWND edit = Handle(form->EdCmdLn);
  SetFocus(edit);
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  keys[VK_CONTROL] = 0x80;
  SetKeyboardState(keys);
  PostMessageW(edit, WM_KEYDOWN, 'F', 0);
  const bool opened = SpinUntil([&] { return GetFocus() == view->FindField(); });
  keys[VK_CONTROL] = 0;
  SetKeyboardState(keys);
  ASSERT_TRUE(opened);
  SetWindowTextW(view->FindField(), L"STAT ok");
  SendMessageW(view->FindField(), WM_KEYDOWN, VK_RETURN, 0);
  ASSERT_TRUE(SpinUntil([&] { return !view->Finding(); }, 30000));
  EXPECT_EQ(view->SelectedText(), L"stat OK");
  SendMessageW(view->FindField(), WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_EQ(GetFocus(), edit);

  // A save's progress goes to the last status panel, which is empty again
  // once it is over.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring path = std::wstring(temp) + L"t5-console-log.txt";
  view->AskSavePath = [&] {
    std::string utf8(path.size() * 3, '\0');
    utf8.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), utf8.data(),
                            static_cast<int>(utf8.size()), nullptr, nullptr)));
    return utf8;
  };
  const int last = form->StatusBar->PanelCount() - 1;
  std::vector<std::string> shown;
  view->Save();
  ASSERT_TRUE(view->Saving());
  shown.push_back(form->StatusBar->PanelText(last));
  ASSERT_TRUE(SpinUntil([&] { return !view->Saving(); }, 30000));
  EXPECT_EQ(shown.front().rfind("Сохранение ", 0), 0u);
  EXPECT_EQ(form->StatusBar->PanelText(last), "");
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, form->LogSize());  // all of it ASCII
  DeleteFileW(path.c_str());
}

}  // namespace

// The window at 150% scaling (144 dpi), then moved to monitors of 120 and
// 96 dpi: every control at its place and size scaled by the edges, fonts of
// the scaled size, and no text larger than the window that shows it.
class BaseformWindowScaled : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    ws.SetDpiSource([this](HWND) { return dpi; });
    form = std::make_unique<TBaseform>(nullptr);
    form->Show();
    ASSERT_TRUE(SpinUntil([&] { return IsWindowVisible(Handle(form.get())) != FALSE; }));
  }
  void TearDown() override {
    form.reset();
    ws.SetDpiSource(nullptr);
    ws.ChangeDpi(ws.DpiOf(nullptr));
    Win32Test::TearDown();
  }
  static HWND Handle(const TControl* c) { return TWin32WindowSystem::HandleOf(*c); }
  int S(int v) const { return MulDiv(v, dpi, 96); }
  // The extent of a window's text in the window's own font.
  static SIZE TextSize(HWND w, const std::wstring& Text) {
    HDC dc = GetDC(w);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0)));
    SIZE s{};
    GetTextExtentPoint32W(dc, Text.c_str(), static_cast<int>(Text.size()), &s);
    SelectObject(dc, old);
    ReleaseDC(w, dc);
    return s;
  }
  int dpi = 144;
  std::unique_ptr<TBaseform> form;
};

TEST_F(BaseformWindowScaled, EveryControlIsScaledAndNothingIsCut) {
  // The thread that made the window system is aware of per-monitor
  // resolutions where the system has the calls (Windows 10, Wine).
  HMODULE user = GetModuleHandleW(L"user32.dll");
  using GetContext = HANDLE(WINAPI*)();
  using SameContext = BOOL(WINAPI*)(HANDLE, HANDLE);
  auto get = reinterpret_cast<GetContext>(
      reinterpret_cast<void*>(GetProcAddress(user, "GetThreadDpiAwarenessContext")));
  auto same = reinterpret_cast<SameContext>(
      reinterpret_cast<void*>(GetProcAddress(user, "AreDpiAwarenessContextsEqual")));
  if (get && same) {
    const HANDLE now = get();
    EXPECT_TRUE(same(now, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4))) ||
                same(now, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-2))));
  }

  const TFormDesign& design = BaseformDesign();
  HWND window = Handle(form.get());
  const int clientWidth = form->ClientWidth(), clientHeight = form->ClientHeight();
  auto* view = TWin32LogView::FromHandle(Handle(form->MemMess));
  ASSERT_NE(view, nullptr);
  for (const int at : {144, 120, 96}) {
    SCOPED_TRACE(at);
    if (at != dpi) {
      // What the system sends when the window reaches a monitor of another
      // resolution: the new one and a suggested rectangle.
      dpi = at;
      RECT suggested;
      GetWindowRect(window, &suggested);
      SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(at, at), reinterpret_cast<LPARAM>(&suggested));
      ASSERT_TRUE(SpinUntil([] { return true; }));
    }
    EXPECT_EQ(ws.Dpi(), at);
    // The layout itself does not change; the window shows it scaled.
    EXPECT_EQ(form->Width(), design.Width);
    EXPECT_EQ(form->Height(), design.Height);
    EXPECT_EQ(form->ClientWidth(), clientWidth);
    EXPECT_EQ(form->ClientHeight(), clientHeight);
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, S(clientWidth));
    EXPECT_EQ(client.bottom, S(clientHeight));
    int captions = 0;
    for (const TControlDesign& d : design.Controls) {
      const std::string name(d.Name);
      SCOPED_TRACE(name);
      auto* c = dynamic_cast<TControl*>(form->FindComponent(name));
      ASSERT_NE(c, nullptr);
      HWND w = Handle(c);
      ASSERT_NE(w, nullptr);
      if (d.Align == alNone) {
        EXPECT_EQ(c->Left(), d.Left);
        EXPECT_EQ(c->Top(), d.Top);
      }
      RECT r;
      GetWindowRect(w, &r);
      MapWindowPoints(HWND_DESKTOP, GetParent(w), reinterpret_cast<POINT*>(&r), 2);
      EXPECT_EQ(r.left, S(c->Left()));
      EXPECT_EQ(r.top, S(c->Top()));
      EXPECT_EQ(r.right, S(c->Left() + c->Width()));
      EXPECT_EQ(r.bottom, S(c->Top() + c->Height()));
      if (auto font = reinterpret_cast<HFONT>(SendMessageW(w, WM_GETFONT, 0, 0))) {
        LOGFONTW asked{};
        GetObjectW(font, sizeof asked, &asked);
        EXPECT_EQ(asked.lfHeight, -MulDiv(c->Font().Size, at, 72));
      }
      const bool showsCaption = d.Kind == TDesignKind::Label || d.Kind == TDesignKind::Button ||
                                d.Kind == TDesignKind::CheckBox ||
                                d.Kind == TDesignKind::RadioButton ||
                                d.Kind == TDesignKind::GroupBox;
      const std::wstring text = TextOf(w);
      if (!showsCaption || text.empty()) continue;
      ++captions;
      // A box's text starts after its box.
      const bool box = d.Kind == TDesignKind::CheckBox || d.Kind == TDesignKind::RadioButton;
      const int room = (r.right - r.left) - (box ? GetSystemMetrics(SM_CXMENUCHECK) : 0);
      const SIZE s = TextSize(w, text);
      EXPECT_LE(s.cx, room) << "text cut";
      EXPECT_LE(s.cy, r.bottom - r.top) << "text cut";
    }
    EXPECT_GE(captions, 10);
    // The status panels keep their proportions, and each holds its text.
    HWND bar = Handle(form->StatusBar);
    const int panels = static_cast<int>(SendMessageW(bar, SB_GETPARTS, 0, 0));
    ASSERT_EQ(panels, form->StatusBar->PanelCount());
    std::vector<int> edges(static_cast<std::size_t>(panels));
    SendMessageW(bar, SB_GETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
    int x = 0;
    for (int i = 0; i < panels; ++i) {
      SCOPED_TRACE(i);
      x += form->StatusBar->PanelWidth(i);
      if (i + 1 < panels) {
        EXPECT_EQ(edges[static_cast<std::size_t>(i)], S(x));
      }
      RECT part{};
      SendMessageW(bar, SB_GETRECT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&part));
      const std::wstring shown = Utf16(form->StatusBar->PanelText(i));
      EXPECT_LE(TextSize(bar, shown).cx, part.right - part.left) << "panel text cut";
    }
    // The log's rows are as high as its font, its margins scaled.
    LOGFONTW logFont{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(view->Handle(), WM_GETFONT, 0, 0)),
               sizeof logFont, &logFont);
    EXPECT_GE(view->RowHeight(), -logFont.lfHeight);
    EXPECT_EQ(view->Margin(), S(TWin32LogView::kMargin));
  }
}
