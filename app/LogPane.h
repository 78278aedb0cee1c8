// The log pane's text: Windows-1251 bytes, lines separated by CR LF. It is
// never trimmed, so every operation costs what it adds, not what the pane
// already holds. A view is told of each change and redraws incrementally.
#pragma once

#include <functional>
#include <string>
#include <string_view>

class TLogPane {
 public:
  // The view hears of appended bytes and of clearing, in order.
  std::function<void(std::string_view)> OnAppend;
  std::function<void()> OnClear;

  const std::string& Text() const { return text_; }

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

 private:
  void Append(std::string_view s);
  std::string text_;
};
