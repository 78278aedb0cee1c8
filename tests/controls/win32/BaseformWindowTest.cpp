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
