#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controls/LogViewCore.h"

namespace {

// How each row on screen splits around the selection, for both views: the
// highlighted bytes, where the band starts and ends, and whether the line
// break past the row's end shows as selected.
TEST(LogViewCore, SplitsEachRowAroundTheSelection) {
  struct Expect {
    bool selected;
    std::size_t a, b;
    bool line_break;
  };
  struct Case {
    const char* name;
    std::size_t from, to;  // the selection; from == to: none
    std::vector<Expect> rows;
  };
  // Rows: "ab" [0, 2), "" [4, 4), "cdef" [6, 10).
  const std::string text = "ab\r\n\r\ncdef";
  const std::vector<Case> cases = {
      {"nothing selected", 0, 0, {{false, 0, 0, false}, {false, 0, 0, false}, {false, 0, 0, false}}},
      {"inside one row", 7, 9, {{false, 0, 0, false}, {false, 0, 0, false}, {true, 1, 3, false}}},
      {"to a row's end, not past it",
       6,
       10,
       {{false, 0, 0, false}, {false, 0, 0, false}, {true, 0, 4, false}}},
      {"across the empty line",
       1,
       7,
       {{true, 1, 2, true}, {true, 0, 0, true}, {true, 0, 1, false}}},
      {"starting at a row's end leaves that row plain",
       2,
       7,
       {{false, 0, 0, false}, {true, 0, 0, true}, {true, 0, 1, false}}},
      {"ending where a row starts leaves that row plain",
       0,
       6,
       {{true, 0, 2, true}, {true, 0, 0, true}, {false, 0, 0, false}}},
  };
  std::array<double, 256> widths{};
  for (int b = 0x20; b < 256; ++b) widths[b] = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLogText log;
    log.Append(text);
    TLogLayout layout(&log);
    layout.SetCharWidths(widths);
    layout.SetWidth(100);
    layout.SetRows(10);
    layout.SelectRange(c.from, c.to);
    const std::vector<TLogLayout::Row> rows = layout.VisibleRows(10);
    ASSERT_EQ(rows.size(), c.rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
      SCOPED_TRACE(i);
      const TLogRowSplit s = TLogViewCore::SplitRow(layout, rows[i]);
      EXPECT_EQ(s.Selected, c.rows[i].selected);
      if (!s.Selected) continue;
      EXPECT_EQ(s.A, c.rows[i].a);
      EXPECT_EQ(s.B, c.rows[i].b);
      EXPECT_DOUBLE_EQ(s.XA, 2.0 * c.rows[i].a);
      EXPECT_DOUBLE_EQ(s.XB, 2.0 * c.rows[i].b);
      EXPECT_EQ(s.LineBreak, c.rows[i].line_break);
    }
  }
}

}  // namespace
