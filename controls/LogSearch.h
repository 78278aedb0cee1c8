// Finding a text in the log pane's store, for any toolkit. Case is ignored
// for Latin and Cyrillic letters alike (Windows-1251 bytes). The store is read
// a chunk at a time, never unpacked whole, and a search runs a step at a time
// so the loop that drives it stays live however large the text is.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "controls/LogText.h"

class TLogSearch {
 public:
  static constexpr std::size_t npos = TLogText::npos;
  // Bytes read from the store at a time.
  static constexpr std::size_t kChunk = 1 << 20;

  // Looks for Pattern (Windows-1251) in the text as it is now. Forward finds
  // the first match that starts at From or later; backward the last one that
  // ends at From or earlier (so From is the end of the selection going
  // forward, its start going back, and the selected match is passed over).
  // Either direction goes on from the other end of the text when it reaches
  // one, so a match anywhere is found and "none" means none in the text.
  TLogSearch(const TLogText& Text, std::string_view Pattern, std::size_t From, bool Forward);

  // Looks through about Budget more bytes; returns Done().
  bool Step(std::size_t Budget = 8 * kChunk);
  // Steps until done; the match's start or npos.
  std::size_t Run();
  bool Done() const { return phase_ >= 2; }
  bool Found() const { return match_ != npos; }
  std::size_t Match() const { return match_; }
  std::size_t Length() const { return pattern_.size(); }

  // The byte a letter is compared as (its small letter); others unchanged.
  static unsigned char Fold(unsigned char Byte);

 private:
  // Searches match starts [lo_, hi_) of the current phase by one chunk.
  void Chunk();
  void NextPhase();

  const TLogText& text_;
  std::string pattern_;  // folded
  std::array<std::size_t, 256> shift_;
  std::size_t size_;  // the text's size when the search began
  std::size_t from_;
  bool forward_;
  int phase_ = 0;                // 0: from From on, 1: from the other end, 2: done
  std::size_t lo_ = 0, hi_ = 0;  // starts still to look at
  std::size_t match_ = npos;
  std::string data_;  // the chunk read, its memory kept for the next
};
