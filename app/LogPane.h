// The log pane's text: Windows-1251 bytes, lines separated by CR LF. It is
// never trimmed, so it is kept in fixed-size blocks: an append costs what it
// adds and never moves what the pane already holds, however large it is. A
// view is told of each change and redraws incrementally.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class TLogPane {
 public:
  // The view hears of appended bytes and of clearing, in order.
  std::function<void(std::string_view)> OnAppend;
  std::function<void()> OnClear;

  std::size_t Size() const { return size_; }
  // A copy of the whole text (costs its length).
  std::string Text() const;

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

  static constexpr std::size_t kBlockSize = 1 << 20;

 private:
  void Append(std::string_view s);
  bool EndsWithCrLf() const { return size_ >= 2 && tail_[0] == '\r' && tail_[1] == '\n'; }

  std::vector<std::string> blocks_;  // each holds at most kBlockSize bytes
  std::size_t size_ = 0;
  char tail_[2] = {0, 0};  // the last two bytes
};
