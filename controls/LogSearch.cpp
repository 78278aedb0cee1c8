#include "controls/LogSearch.h"

#include <algorithm>
#include <array>

#include "controls/Cp1251.h"

namespace {

// Small letters from the code page's own characters: Latin A-Z, Cyrillic
// U+0400-U+042F and Ґ, each to the letter the code page holds for it.
const std::array<unsigned char, 256>& FoldTable() {
  static const auto table = [] {
    std::array<unsigned char, 256> t{};
    for (int b = 0; b < 256; ++b) {
      const char16_t c = Cp1251Char(static_cast<unsigned char>(b));
      char32_t small = c;
      if (c >= u'A' && c <= u'Z') small = c + 0x20;
      if (c >= 0x0400 && c <= 0x040F) small = c + 0x50;
      if (c >= 0x0410 && c <= 0x042F) small = c + 0x20;
      if (c == 0x0490) small = 0x0491;
      t[b] = small == c ? static_cast<unsigned char>(b)
                        : static_cast<unsigned char>(UnicodeToCp1251(small));
    }
    return t;
  }();
  return table;
}

// Horspool over folded bytes: the first start in [0, Starts) where Pattern
// matches Data, or npos. Data holds Starts + Pattern.size() - 1 bytes;
// Shift is the pattern's skip for each folded byte.
std::size_t FindFirst(const char* Data, std::size_t Starts, const std::string& Pattern,
                      const std::array<std::size_t, 256>& shift) {
  const auto& fold = FoldTable();
  const std::size_t m = Pattern.size();
  const auto* d = reinterpret_cast<const unsigned char*>(Data);
  const auto* p = reinterpret_cast<const unsigned char*>(Pattern.data());
  const unsigned char last = p[m - 1];
  std::size_t i = 0;
  while (i < Starts) {
    const unsigned char t = fold[d[i + m - 1]];
    if (t == last) {
      std::size_t j = 0;
      while (j + 1 < m && fold[d[i + j]] == p[j]) ++j;
      if (j + 1 >= m) return i;
    }
    i += shift[t];
  }
  return TLogSearch::npos;
}

}  // namespace

unsigned char TLogSearch::Fold(unsigned char Byte) {
  return FoldTable()[Byte];
}

TLogSearch::TLogSearch(const TLogText& Text, std::string_view Pattern, std::size_t From,
                       bool Forward)
    : text_(Text), size_(Text.Size()), from_(std::min(From, Text.Size())), forward_(Forward) {
  pattern_.reserve(Pattern.size());
  for (char c : Pattern) pattern_ += static_cast<char>(Fold(static_cast<unsigned char>(c)));
  shift_.fill(pattern_.size());
  for (std::size_t i = 0; i + 1 < pattern_.size(); ++i)
    shift_[static_cast<unsigned char>(pattern_[i])] = pattern_.size() - 1 - i;
  if (pattern_.empty() || pattern_.size() > size_) {
    phase_ = 2;
    return;
  }
  phase_ = -1;
  NextPhase();
}

void TLogSearch::NextPhase() {
  ++phase_;
  const std::size_t m = pattern_.size();
  const std::size_t starts = size_ - m + 1;  // every start there is: [0, starts)
  // Backward, the starts whose match ends at From or earlier come first.
  const std::size_t split =
      forward_ ? std::min(from_, starts) : std::min(from_ >= m ? from_ - m + 1 : 0, starts);
  const bool before = forward_ == (phase_ == 1);
  lo_ = before ? 0 : split;
  hi_ = before ? split : starts;
}

bool TLogSearch::Step(std::size_t Budget) {
  std::size_t looked = 0;
  while (!Done() && looked < Budget) {
    if (lo_ >= hi_) {
      NextPhase();
      continue;
    }
    const std::size_t before = hi_ - lo_;
    Chunk();
    looked += before - (hi_ - lo_);
  }
  return Done();
}

std::size_t TLogSearch::Run() {
  while (!Step()) {
  }
  return match_;
}

void TLogSearch::Chunk() {
  const std::size_t m = pattern_.size();
  const std::size_t n = std::min(kChunk, hi_ - lo_);
  // A chunk's last bytes are read again with the next one, so a match that
  // spans the two (or two blocks of the store) is seen whole.
  const std::size_t at = forward_ ? lo_ : hi_ - n;
  text_.ReadInto(at, n + m - 1, data_);
  const std::string& data = data_;
  std::size_t found = FindFirst(data.data(), n, pattern_, shift_);
  if (forward_) {
    if (found != npos) {
      match_ = at + found;
      phase_ = 2;
    }
    lo_ = at + n;
    return;
  }
  // Going back, the last match in the chunk.
  std::size_t last = npos;
  while (found != npos) {
    last = found;
    if (found + 1 >= n) break;
    const std::size_t next = FindFirst(data.data() + found + 1, n - found - 1, pattern_, shift_);
    found = next == npos ? npos : found + 1 + next;
  }
  if (last != npos) {
    match_ = at + last;
    phase_ = 2;
  }
  hi_ = at;
}
