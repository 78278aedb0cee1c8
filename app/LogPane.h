// The log pane's text: Windows-1251 bytes, lines separated by CR LF. It is
// never trimmed, so it lives in a store of compressed blocks with a sparse
// line index (TLogText): an append costs what it adds, a shift of logging
// costs a fraction of its size, and clearing is immediate. A view is told of
// each change and reads what it shows from Store().
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "controls/LogText.h"

class TLogPane {
 public:
  // The view hears of appended bytes and of clearing, in order.
  std::function<void(std::string_view)> OnAppend;
  std::function<void()> OnClear;

  std::size_t Size() const { return text_.Size(); }
  // A copy of the whole text (costs its length).
  std::string Text() const { return text_.Text(); }
  // Lines, ranges and memory of the text, for views.
  const TLogText& Store() const { return text_; }

  // The text continues the last line.
  void LogAppend(std::string_view s);
  // Adds the line s: on an empty pane or after an empty last line the pane
  // gets s CR LF, otherwise CR LF s (the new line stays open).
  void LogAddLine(std::string_view s);
  // Exactly one CR LF at the end.
  void LogNewLine() { LogAddLine({}); }
  void LogClear();
  // Bytes 0x20-0xFF are shown, CR starts a new line, the other control bytes
  // are dropped.
  void ShowPrintable(std::string_view bytes);

  static constexpr std::size_t kBlockSize = TLogText::kBlockSize;

 private:
  void Append(std::string_view s);
  // The store took s: the last bytes and the view follow.
  void Took(std::string_view s);
  bool EndsWithCrLf() const { return Size() >= 2 && tail_[0] == '\r' && tail_[1] == '\n'; }

  TLogText text_;
  char tail_[2] = {0, 0};  // the last two bytes
};
