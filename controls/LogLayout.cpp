#include "controls/LogLayout.h"

#include <algorithm>

namespace {

constexpr std::size_t npos = TLogText::npos;

bool IsWordByte(unsigned char b) {
  return b > 0x20 && b != 0xA0;
}

}  // namespace

void TLogLayout::SetText(const TLogText* Text) {
  text_ = Text;
  anchor_ = caret_ = 0;
  seen_ = Size();
  following_ = true;
  top_ = BottomTop();
}

void TLogLayout::SetCharWidths(const std::array<double, 256>& Widths) {
  widths_ = Widths;
  SnapTop();
}

void TLogLayout::SetWidth(double Width) {
  if (Width == width_) return;
  width_ = Width;
  SnapTop();
}

void TLogLayout::SetWrap(bool Wrap) {
  if (Wrap == wrap_) return;
  wrap_ = Wrap;
  SnapTop();
}

void TLogLayout::SetRows(int Rows) {
  Rows = std::max(Rows, 1);
  if (Rows == rows_) return;
  rows_ = Rows;
  SnapTop();
}

void TLogLayout::SnapTop() {
  if (!text_) return;
  if (following_) {
    top_ = BottomTop();
    return;
  }
  const Segment s = SegmentAt(top_);
  const std::vector<std::size_t> starts = Wrap(text_->Read(s.start, s.end - s.start));
  const std::size_t off = std::max(top_, s.start) - s.start;
  top_ = s.start + *(std::upper_bound(starts.begin(), starts.end(), off) - 1);
}

bool TLogLayout::TextAppended() {
  const std::size_t old = seen_;
  seen_ = Size();
  if (seen_ == old) return false;
  if (following_) {
    top_ = BottomTop();
    return true;
  }
  // Shown only if the old end was on screen.
  const std::vector<Row> rows = VisibleRows(rows_ + 1);
  return rows.size() < static_cast<std::size_t>(rows_) + 1 || rows.back().End() >= old;
}

void TLogLayout::TextCleared() {
  top_ = 0;
  seen_ = 0;
  following_ = true;
  anchor_ = caret_ = 0;
}

TLogLayout::Segment TLogLayout::SegmentAt(std::size_t Pos) const {
  if (!text_ || text_->Empty()) return {0, 0, npos};
  Pos = std::min(Pos, Size());
  const std::size_t line = text_->LineOf(Pos);
  const std::size_t ls = text_->LineStart(line);
  const std::size_t le = text_->LineEnd(line);
  Pos = std::min(Pos, le);
  std::size_t piece = (Pos - ls) / kSegment;
  if (piece > 0 && ls + piece * kSegment >= le) --piece;  // Pos at the end of a full piece
  Segment s;
  s.start = ls + piece * kSegment;
  s.end = std::min(s.start + kSegment, le);
  s.next = s.end < le ? s.end : line + 1 < text_->LineCount() ? le + 2 : npos;
  return s;
}

bool TLogLayout::SegmentBefore(const Segment& S, Segment& Out) const {
  if (S.start == 0) return false;
  const bool line_start = text_->LineStart(text_->LineOf(S.start)) == S.start;
  Out = SegmentAt(line_start ? S.start - 2 : S.start - 1);
  return true;
}

std::vector<std::size_t> TLogLayout::Wrap(const std::string& Bytes) const {
  std::vector<std::size_t> rows{0};
  if (!wrap_ || width_ <= 0) return rows;
  const std::size_t n = Bytes.size();
  double x = 0;
  std::size_t row = 0;
  std::size_t after_blank = npos;  // where the row may break: after its last blank
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(Bytes[i]);
    const double w = widths_[b];
    if (x + w > width_ && i > row) {
      if (b == ' ') {
        // A blank that does not fit hangs at the end of its row.
        if (i + 1 < n) rows.push_back(row = i + 1);
        x = 0;
        after_blank = npos;
        continue;
      }
      if (after_blank != npos && after_blank > row) {
        rows.push_back(row = after_blank);
        x = 0;
        for (std::size_t k = row; k < i; ++k) x += widths_[static_cast<unsigned char>(Bytes[k])];
      }
      if (x + w > width_ && i > row) {  // a word longer than the row breaks inside
        rows.push_back(row = i);
        x = 0;
      }
      after_blank = npos;
    }
    x += w;
    if (b == ' ') after_blank = i + 1;
  }
  return rows;
}

std::vector<TLogLayout::Row> TLogLayout::RowsFrom(std::size_t Pos, int Count) const {
  std::vector<Row> rows;
  if (!text_ || Count <= 0) return rows;
  Segment s = SegmentAt(Pos);
  bool first = true;
  for (;;) {
    const std::string bytes = text_->Read(s.start, s.end - s.start);
    const std::vector<std::size_t> starts = Wrap(bytes);
    std::size_t k = 0;
    if (first) {
      const std::size_t off = std::max(Pos, s.start) - s.start;
      k = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), off) -
                                   starts.begin()) -
          1;
      first = false;
    }
    for (; k < starts.size() && rows.size() < static_cast<std::size_t>(Count); ++k) {
      const std::size_t e = k + 1 < starts.size() ? starts[k + 1] : bytes.size();
      rows.push_back({s.start + starts[k], bytes.substr(starts[k], e - starts[k])});
    }
    if (rows.size() >= static_cast<std::size_t>(Count) || s.next == npos) break;
    s = SegmentAt(s.next);
  }
  return rows;
}

std::size_t TLogLayout::RowsOfLine(std::size_t Line) const {
  if (!text_ || Line >= text_->LineCount()) return 0;
  const std::size_t ls = text_->LineStart(Line);
  const std::size_t le = text_->LineEnd(Line);
  std::size_t rows = 0;
  std::size_t p = ls;
  do {
    const std::size_t e = std::min(p + kSegment, le);
    rows += Wrap(text_->Read(p, e - p)).size();
    p = e;
  } while (p < le);
  return rows;
}

std::size_t TLogLayout::BottomTop() const {
  if (!text_ || text_->Empty()) return 0;
  Segment s = SegmentAt(Size());
  std::size_t need = static_cast<std::size_t>(rows_);
  for (;;) {
    const std::vector<std::size_t> starts = Wrap(text_->Read(s.start, s.end - s.start));
    if (starts.size() >= need) return s.start + starts[starts.size() - need];
    need -= starts.size();
    Segment before;
    if (!SegmentBefore(s, before)) return 0;
    s = before;
  }
}

void TLogLayout::SetTop(std::size_t Top) {
  const std::size_t bottom = BottomTop();
  top_ = std::min(Top, bottom);
  following_ = top_ >= bottom;
}

void TLogLayout::ScrollRows(long long N) {
  if (!text_ || N == 0) return;
  if (N > 0) {
    const std::vector<Row> rows =
        RowsFrom(top_, static_cast<int>(std::min<long long>(N, 1 << 20)) + 1);
    SetTop(rows.size() > static_cast<std::size_t>(N) ? rows[N].Start : rows.back().Start);
    return;
  }
  std::size_t need = static_cast<std::size_t>(-N);
  Segment s = SegmentAt(top_);
  std::vector<std::size_t> starts = Wrap(text_->Read(s.start, s.end - s.start));
  const std::size_t off = std::max(top_, s.start) - s.start;
  const std::size_t k = static_cast<std::size_t>(
                            std::upper_bound(starts.begin(), starts.end(), off) - starts.begin()) -
                        1;
  if (k >= need) return SetTop(s.start + starts[k - need]);
  need -= k;
  for (;;) {
    Segment before;
    if (!SegmentBefore(s, before)) return SetTop(0);
    s = before;
    starts = Wrap(text_->Read(s.start, s.end - s.start));
    if (starts.size() >= need) return SetTop(s.start + starts[starts.size() - need]);
    need -= starts.size();
  }
}

void TLogLayout::ScrollPages(int N) {
  ScrollRows(static_cast<long long>(N) * std::max(rows_ - 1, 1));
}

void TLogLayout::ScrollToStart() {
  SetTop(0);
}

void TLogLayout::SelectRange(std::size_t From, std::size_t To) {
  anchor_ = From;
  caret_ = To;
  if (!text_) return;
  const std::vector<Row> rows = VisibleRows(rows_);
  if (!rows.empty() && From >= rows.front().Start &&
      (From < rows.back().End() || rows.back().End() >= Size()))
    return;
  following_ = false;
  top_ = std::min(From, Size());
  SnapTop();
  ScrollRows(-(rows_ / 3));
  SetTop(top_);
}

void TLogLayout::ScrollToEnd() {
  top_ = BottomTop();
  following_ = true;
}

int TLogLayout::Shift() const {
  int shift = 0;
  while ((Size() >> shift) >= (std::size_t{1} << 30)) ++shift;
  return shift;
}

int TLogLayout::ScrollMax() const {
  return static_cast<int>(BottomTop() >> Shift());
}

int TLogLayout::ScrollPage() const {
  const std::vector<Row> rows = VisibleRows(rows_);
  const std::size_t shown = rows.empty() ? 0 : rows.back().End() - top_;
  return std::max(1, static_cast<int>(shown >> Shift()));
}

void TLogLayout::ScrollTo(int Value) {
  if (Value >= ScrollMax()) return ScrollToEnd();
  top_ = static_cast<std::size_t>(std::max(Value, 0)) << Shift();
  following_ = false;
  SnapTop();
  following_ = top_ >= BottomTop();
}

double TLogLayout::XOf(const Row& R, std::size_t Pos) const {
  double x = 0;
  const std::size_t n = std::min(Pos, R.End()) - std::min(Pos, R.Start);
  for (std::size_t i = 0; i < n; ++i) x += widths_[static_cast<unsigned char>(R.Bytes[i])];
  return x;
}

std::size_t TLogLayout::HitTest(int RowIndex, double X) const {
  const std::vector<Row> rows = VisibleRows(std::max(RowIndex, 0) + 1);
  if (rows.empty()) return 0;
  if (RowIndex >= static_cast<int>(rows.size())) return Size();
  const Row& r = rows[std::max(RowIndex, 0)];
  double x = 0;
  for (std::size_t i = 0; i < r.Bytes.size(); ++i) {
    const double w = widths_[static_cast<unsigned char>(r.Bytes[i])];
    if (X < x + w / 2) return r.Start + i;
    x += w;
  }
  return r.End();
}

std::size_t TLogLayout::CharAt(int RowIndex, double X) const {
  if (RowIndex < 0 || X < 0) return npos;
  const std::vector<Row> rows = VisibleRows(RowIndex + 1);
  if (RowIndex >= static_cast<int>(rows.size())) return npos;
  const Row& r = rows[RowIndex];
  double x = 0;
  for (std::size_t i = 0; i < r.Bytes.size(); ++i) {
    x += widths_[static_cast<unsigned char>(r.Bytes[i])];
    if (X < x) return r.Start + i;
  }
  return npos;
}

void TLogLayout::Press(std::size_t Pos, bool Extend) {
  if (!Extend) anchor_ = Pos;
  caret_ = Pos;
}

void TLogLayout::SelectWord(std::size_t Pos) {
  const Segment s = SegmentAt(Pos);
  const std::string bytes = text_ ? text_->Read(s.start, s.end - s.start) : std::string();
  if (bytes.empty()) {
    anchor_ = caret_ = s.start;
    return;
  }
  std::size_t i = std::min(std::max(Pos, s.start) - s.start, bytes.size() - 1);
  if (!IsWordByte(static_cast<unsigned char>(bytes[i]))) {
    anchor_ = s.start + i;
    caret_ = anchor_ + 1;
    return;
  }
  std::size_t a = i, e = i;
  while (a > 0 && IsWordByte(static_cast<unsigned char>(bytes[a - 1]))) --a;
  while (e < bytes.size() && IsWordByte(static_cast<unsigned char>(bytes[e]))) ++e;
  anchor_ = s.start + a;
  caret_ = s.start + e;
}

void TLogLayout::SelectAll() {
  anchor_ = 0;
  caret_ = Size();
}

std::string TLogLayout::SelectedBytes() const {
  if (!text_ || !HasSelection()) return {};
  return text_->Read(SelStart(), SelEnd() - SelStart());
}
