// What a log view shows of a TLogText, for any toolkit: rows wrapped from
// the width of each byte, the scroll position, following the tail, the
// selection. A window system's view only measures characters, paints the
// rows it is given and forwards the operator's input.
//
// Nothing is laid out beyond what is looked at. A line is wrapped on its own
// (greedy, after the last blank that fits, inside a word when none does), and
// a line longer than kSegment bytes is wrapped in pieces of kSegment bytes,
// each starting a row, so a line that never ends costs no more to show than a
// short one. The scroll position is the byte that starts the top row; the
// scroll bar runs over bytes, so dragging it across any size stays direct.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "controls/LogText.h"

class TLogLayout {
 public:
  static constexpr std::size_t kSegment = 16 << 10;

  struct Row {
    std::size_t Start;
    std::string Bytes;  // the row's bytes, its line's CR LF left out
    std::size_t End() const { return Start + Bytes.size(); }
  };

  explicit TLogLayout(const TLogText* Text = nullptr) : text_(Text) {}
  // Starts over on another text (nullptr: none).
  void SetText(const TLogText* Text);
  const TLogText* Text() const { return text_; }

  // Advance of each byte, in pixels; control bytes should be 0.
  void SetCharWidths(const std::array<double, 256>& Widths);
  double CharWidth(unsigned char Byte) const { return widths_[Byte]; }
  // The width rows are wrapped to; Wrap off keeps each line (piece) one row.
  void SetWidth(double Width);
  void SetWrap(bool Wrap);
  // Whole rows the view has room for (at least 1).
  void SetRows(int Rows);
  int Rows() const { return rows_; }

  // The text grew: a view that follows the tail moves to the new end.
  // Returns whether what is shown may have changed.
  bool TextAppended();
  void TextCleared();

  std::size_t Top() const { return top_; }
  bool Following() const { return following_; }
  // Rows down (positive) or up; stops at either end.
  void ScrollRows(long long N);
  // A page is the rows shown less one.
  void ScrollPages(int N);
  void ScrollToStart();
  void ScrollToEnd();
  // The top row's start when the last row is at the bottom.
  std::size_t BottomTop() const;

  // The scroll bar, in units small enough for an int however long the text.
  int ScrollMax() const;
  int ScrollValue() const { return static_cast<int>(top_ >> Shift()); }
  int ScrollPage() const;
  void ScrollTo(int Value);

  // Up to Count rows from the top one.
  std::vector<Row> VisibleRows(int Count) const { return RowsFrom(top_, Count); }
  // Rows starting with the one that holds Pos.
  std::vector<Row> RowsFrom(std::size_t Pos, int Count) const;
  // Rows of line Line, wrapped to the current width.
  std::size_t RowsOfLine(std::size_t Line) const;
  // Pixels from the row's start to byte Pos of it.
  double XOf(const Row& R, std::size_t Pos) const;
  // The byte position under x on row RowIndex (0: the top row).
  std::size_t HitTest(int RowIndex, double X) const;
  // The byte drawn under x on row RowIndex, or npos where no character is
  // (past the row's end, below the last row).
  std::size_t CharAt(int RowIndex, double X) const;

  // Selection: an anchor and a moving end, as byte positions.
  void Press(std::size_t Pos, bool Extend);
  void DragTo(std::size_t Pos) { caret_ = Pos; }
  // The word (bytes other than blanks and control codes) at Pos, or the
  // byte there when it is none.
  void SelectWord(std::size_t Pos);
  void SelectAll();
  // Selects bytes [From, To) and, unless From is on screen already, scrolls
  // it to a third of the way down (a match found is shown in its context).
  void SelectRange(std::size_t From, std::size_t To);
  std::size_t SelStart() const { return std::min(anchor_, caret_); }
  std::size_t SelEnd() const { return std::max(anchor_, caret_); }
  bool HasSelection() const { return anchor_ != caret_; }
  std::string SelectedBytes() const;

 private:
  struct Segment {
    std::size_t start, end;  // bytes of one wrapped piece of a line
    std::size_t next;        // where the following piece starts (npos: none)
  };
  Segment SegmentAt(std::size_t Pos) const;
  bool SegmentBefore(const Segment& S, Segment& Out) const;
  // Row starts (offsets into Bytes) of one segment; always at least one.
  std::vector<std::size_t> Wrap(const std::string& Bytes) const;
  std::size_t Size() const { return text_ ? text_->Size() : 0; }
  int Shift() const;
  // Moves top_ to the start of the row that holds it.
  void SnapTop();
  void SetTop(std::size_t Top);

  const TLogText* text_;
  std::array<double, 256> widths_{};
  double width_ = 0;
  bool wrap_ = true;
  int rows_ = 1;
  std::size_t top_ = 0;
  bool following_ = true;
  std::size_t seen_ = 0;  // text size at the last TextAppended
  std::size_t anchor_ = 0, caret_ = 0;
};
