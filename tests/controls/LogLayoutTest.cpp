#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controls/LogLayout.h"

namespace {

// Every printable byte one pixel wide, control bytes none.
std::array<double, 256> UnitWidths() {
  std::array<double, 256> w{};
  for (int b = 0x20; b < 256; ++b) w[b] = 1;
  return w;
}

std::vector<std::string> RowTexts(const TLogLayout& layout, std::size_t from = 0, int count = 100) {
  std::vector<std::string> out;
  for (const TLogLayout::Row& r : layout.RowsFrom(from, count)) out.push_back(r.Bytes);
  return out;
}

struct Fixture {
  TLogText text;
  TLogLayout layout{&text};
  explicit Fixture(double width, int rows = 10) {
    layout.SetCharWidths(UnitWidths());
    layout.SetWidth(width);
    layout.SetRows(rows);
  }
  void Add(const std::string& s) {
    text.Append(s);
    layout.TextAppended();
  }
};

TEST(LogLayout, WrapsAfterTheLastBlankThatFitsAndInsideWordsTooLong) {
  struct Case {
    const char* name;
    std::string text;
    double width;
    std::vector<std::string> rows;
  };
  const std::vector<Case> cases = {
      {"fits", "abc", 10, {"abc"}},
      {"after a blank", "aaaa bbbb cccc", 10, {"aaaa bbbb ", "cccc"}},
      {"blank that does not fit hangs", "aaaaaaaaaa bb", 10, {"aaaaaaaaaa ", "bb"}},
      {"long word", "abcdefghijklmnop", 10, {"abcdefghij", "klmnop"}},
      {"word after a blank, too long", "ab cdefghijklmnopq", 5, {"ab ", "cdefg", "hijkl", "mnopq"}},
      {"fractional width", "abcdefg", 2.5, {"ab", "cd", "ef", "g"}},
      {"empty line", "\r\nx", 10, {"", "x"}},
      {"line breaks end rows", "ab\r\ncd\r\n", 10, {"ab", "cd", ""}},
      {"control bytes take no room",
       std::string("ab\x01\x02\x03"
                   "cdefghij"),
       10,
       {std::string("ab\x01\x02\x03"
                    "cdefghij")}},
      {"hex packet line", "Rx- 1E 02 05 01 C3 ", 8, {"Rx- 1E ", "02 05 01 ", "C3 "}},
  };
  for (const Case& c : cases) {
    Fixture f(c.width);
    f.Add(c.text);
    EXPECT_EQ(RowTexts(f.layout), c.rows) << c.name;
  }
}

TEST(LogLayout, ALineLongerThanAPieceIsWrappedPieceByPiece) {
  Fixture f(0);  // no width: rows are whole pieces
  const std::size_t n = 2 * TLogLayout::kSegment + 100;
  f.Add(std::string(n, 'q') + "\r\nend");
  const auto rows = f.layout.RowsFrom(0, 10);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].Bytes.size(), TLogLayout::kSegment);
  EXPECT_EQ(rows[1].Start, TLogLayout::kSegment);
  EXPECT_EQ(rows[2].Bytes.size(), 100u);
  EXPECT_EQ(rows[3].Bytes, "end");
  EXPECT_EQ(f.layout.RowsOfLine(0), 3u);
  // From any byte of the middle piece, its rows start at the piece.
  EXPECT_EQ(f.layout.RowsFrom(TLogLayout::kSegment + 77, 1)[0].Start, TLogLayout::kSegment);
  // A piece that ends exactly at the line's end has no empty piece after it.
  Fixture g(0);
  g.Add(std::string(TLogLayout::kSegment, 'z'));
  EXPECT_EQ(g.layout.RowsOfLine(0), 1u);
  EXPECT_EQ(g.layout.BottomTop(), 0u);
}

std::string Lines(int from, int to) {
  std::string s;
  for (int i = from; i < to; ++i) s += "L" + std::to_string(100 + i) + "\r\n";
  return s;
}

TEST(LogLayout, FollowsTheTailUntilScrolledUpAndStaysPutThen) {
  Fixture f(20, 10);
  f.Add(Lines(0, 100));  // 100 lines and the empty one after them
  EXPECT_TRUE(f.layout.Following());
  EXPECT_EQ(f.layout.Top(), f.text.LineStart(91));
  EXPECT_EQ(f.layout.ScrollValue(), f.layout.ScrollMax());

  f.text.Append(Lines(100, 110));
  EXPECT_TRUE(f.layout.TextAppended());
  EXPECT_EQ(f.layout.Top(), f.text.LineStart(101));

  f.layout.ScrollRows(-5);
  EXPECT_FALSE(f.layout.Following());
  const std::size_t top = f.layout.Top();
  EXPECT_EQ(top, f.text.LineStart(96));
  f.text.Append(Lines(110, 120));
  // The old end was not on screen: nothing shown changed, nothing moved.
  EXPECT_FALSE(f.layout.TextAppended());
  EXPECT_EQ(f.layout.Top(), top);

  f.layout.ScrollPages(-1);
  EXPECT_EQ(f.layout.Top(), f.text.LineStart(87));
  f.layout.ScrollRows(-1000);
  EXPECT_EQ(f.layout.Top(), 0u);
  f.layout.ScrollPages(1);
  EXPECT_EQ(f.layout.Top(), f.text.LineStart(9));
  // Down to the end, by rows, follows again.
  f.layout.ScrollRows(1000);
  EXPECT_TRUE(f.layout.Following());
  EXPECT_EQ(f.layout.Top(), f.text.LineStart(111));

  // The scroll bar runs over bytes: its top is the start, its end follows.
  f.layout.ScrollTo(0);
  EXPECT_EQ(f.layout.Top(), 0u);
  EXPECT_FALSE(f.layout.Following());
  f.layout.ScrollTo(static_cast<int>(f.text.LineStart(50) + 2));  // inside line 50
  EXPECT_EQ(f.layout.Top(), f.text.LineStart(50));
  f.layout.ScrollTo(f.layout.ScrollMax());
  EXPECT_TRUE(f.layout.Following());

  f.layout.ScrollToStart();
  f.layout.TextCleared();
  EXPECT_EQ(f.layout.Top(), 0u);
  EXPECT_TRUE(f.layout.Following());
}

TEST(LogLayout, ScrollingCountsWrappedRowsAndReWrappingKeepsTheTopText) {
  Fixture f(10, 3);
  // Line 0 takes three rows, line 1 one, line 2 two.
  f.Add("aaaaaaaaaabbbbbbbbbbcc\r\nshort\r\ndddddddddde");
  EXPECT_EQ(RowTexts(f.layout), (std::vector<std::string>{"aaaaaaaaaa", "bbbbbbbbbb", "cc", "short",
                                                          "dddddddddd", "e"}));
  EXPECT_EQ(f.layout.Top(), f.text.LineStart(1));  // the last three rows
  f.layout.ScrollRows(-2);
  EXPECT_EQ(f.layout.Top(), 10u);  // the second row of line 0
  f.layout.ScrollRows(1);
  EXPECT_EQ(f.layout.Top(), 20u);
  f.layout.ScrollRows(-1);

  // Narrower: the row that now holds the top byte is on top.
  f.layout.SetWidth(4);
  EXPECT_EQ(f.layout.Top(), 8u);
  EXPECT_EQ(f.layout.VisibleRows(1)[0].Bytes, "aabb");
  f.layout.SetWidth(100);
  EXPECT_EQ(f.layout.Top(), 0u);
  EXPECT_EQ(f.layout.VisibleRows(1)[0].Bytes, "aaaaaaaaaabbbbbbbbbbcc");
}

TEST(LogLayout, SelectionByPressDragWordAndAll) {
  Fixture f(10, 5);
  f.Add("Rx- 1E 02 05\r\n\xC0\xC1\xC2 \xE3\xE4\xE5\r\nend");
  // Rows: "Rx- 1E 02 ", "05", "АБВ где", "end".
  ASSERT_EQ(RowTexts(f.layout).size(), 4u);
  f.layout.ScrollToStart();

  // Hit testing rounds to the nearer character boundary.
  EXPECT_EQ(f.layout.HitTest(0, 2.4), 2u);
  EXPECT_EQ(f.layout.HitTest(0, 2.6), 3u);
  EXPECT_EQ(f.layout.HitTest(1, 50), 12u);  // past the end of "05"
  EXPECT_EQ(f.layout.HitTest(9, 0), f.text.Size());

  f.layout.Press(f.layout.HitTest(0, 4), false);
  f.layout.DragTo(f.layout.HitTest(2, 3));
  EXPECT_EQ(f.layout.SelectedBytes(), "1E 02 05\r\n\xC0\xC1\xC2");
  // Shift-click moves the end and keeps the anchor; dragging back past it
  // selects backwards.
  f.layout.Press(f.layout.HitTest(0, 9), true);
  EXPECT_EQ(f.layout.SelectedBytes(), "1E 02");
  f.layout.DragTo(1);
  EXPECT_EQ(f.layout.SelectedBytes(), "x- ");

  f.layout.SelectWord(5);
  EXPECT_EQ(f.layout.SelectedBytes(), "1E");
  f.layout.SelectWord(f.text.LineStart(1) + 5);
  EXPECT_EQ(f.layout.SelectedBytes(), "\xE3\xE4\xE5");
  f.layout.SelectWord(3);  // a blank is selected alone
  EXPECT_EQ(f.layout.SelectedBytes(), " ");

  f.layout.SelectAll();
  EXPECT_EQ(f.layout.SelectedBytes(), f.text.Text());
  f.layout.Press(4, false);
  EXPECT_FALSE(f.layout.HasSelection());
  EXPECT_EQ(f.layout.SelectedBytes(), "");
}

}  // namespace
