#include <gtest/gtest.h>

#include <string>

#include "app/LogPane.h"

namespace {

// A pane whose view mirrors every change, as the window's view does.
struct MirroredPane {
  TLogPane pane;
  std::string mirror;
  MirroredPane() {
    pane.OnAppend = [this](std::string_view s) { mirror.append(s); };
    pane.OnClear = [this] { mirror.clear(); };
  }
};

TEST(LogPane, AddLineOnEmptyAndOnOpenLines) {
  MirroredPane m;
  m.pane.LogAddLine("x");
  EXPECT_EQ(m.pane.Text(), "x\r\n");

  m.pane.LogClear();
  m.pane.LogAppend("ab");
  m.pane.LogAddLine("x");
  EXPECT_EQ(m.pane.Text(), "ab\r\nx");
  m.pane.LogAppend("y");
  EXPECT_EQ(m.pane.Text(), "ab\r\nxy");
  // After an empty last line the pane ends with an empty line again.
  m.pane.LogNewLine();
  m.pane.LogAddLine("z");
  EXPECT_EQ(m.pane.Text(), "ab\r\nxy\r\nz\r\n");
  EXPECT_EQ(m.mirror, m.pane.Text());
}

TEST(LogPane, NewLineAlwaysAddsExactlyOneLineBreak) {
  MirroredPane m;
  m.pane.LogNewLine();
  EXPECT_EQ(m.pane.Text(), "\r\n");
  m.pane.LogClear();
  m.pane.LogAppend("ab");
  m.pane.LogNewLine();
  m.pane.LogNewLine();
  EXPECT_EQ(m.pane.Text(), "ab\r\n\r\n");
  EXPECT_EQ(m.mirror, m.pane.Text());
}

TEST(LogPane, ShowPrintableKeepsPrintableBytesAndBreaksOnCr) {
  MirroredPane m;
  m.pane.ShowPrintable(std::string("\x41\x0A\x42\x0D\x44", 5));
  EXPECT_EQ(m.pane.Text(), "AB\r\nD");

  // NUL, TAB and the other control codes are dropped; 0x20-0xFF shown as is.
  m.pane.LogClear();
  std::string bytes("\x00\x09 \x7F\xC0\xFF\x1B\x0D\x0D", 9);
  m.pane.ShowPrintable(bytes);
  EXPECT_EQ(m.pane.Text(), std::string(" \x7F\xC0\xFF\r\n\r\n"));
  EXPECT_EQ(m.mirror, m.pane.Text());
}

TEST(LogPane, CrOnAnOpenLineClosesItAndStartsTheNext) {
  TLogPane pane;
  pane.LogAppend("abc");
  pane.ShowPrintable("\rdef\r");
  EXPECT_EQ(pane.Text(), "abc\r\ndef\r\n");
}

TEST(LogPane, ClearEmptiesPaneAndView) {
  MirroredPane m;
  m.pane.LogAppend(std::string(100000, 'q'));
  m.pane.LogClear();
  EXPECT_EQ(m.pane.Text(), "");
  EXPECT_EQ(m.mirror, "");
  m.pane.LogAddLine("after");
  EXPECT_EQ(m.pane.Text(), "after\r\n");
}

TEST(LogPane, LinesThatStraddleItsStorageBlocksStayWhole) {
  MirroredPane m;
  const std::string filler(TLogPane::kBlockSize - 1, 'f');
  m.pane.LogAppend(filler);
  m.pane.LogNewLine();  // CR ends the first block, LF starts the second
  m.pane.LogAddLine("x");
  EXPECT_EQ(m.pane.Size(), filler.size() + 5);
  EXPECT_EQ(m.pane.Text(), filler + "\r\nx\r\n");
  // One append larger than a block spreads over three.
  const std::string big(2 * TLogPane::kBlockSize + 10, 'b');
  m.pane.LogAppend(big);
  m.pane.LogAddLine("y");
  EXPECT_EQ(m.pane.Text(), filler + "\r\nx\r\n" + big + "\r\ny");
  EXPECT_EQ(m.mirror, m.pane.Text());
  m.pane.LogClear();
  EXPECT_EQ(m.pane.Size(), 0u);
  m.pane.LogAddLine("z");
  EXPECT_EQ(m.pane.Text(), "z\r\n");
}

}  // namespace
