#include "app/LogPane.h"

namespace {
constexpr std::string_view kCrLf = "\r\n";
}  // namespace

void TLogPane::Append(std::string_view s) {
  if (s.empty()) return;
  const std::size_t before = Size();
  try {
    text_.Append(s);
  } catch (...) {
    // What the store took before it failed is shown; the rest is lost.
    Took(s.substr(0, Size() - before));
    throw;
  }
  Took(s);
}

void TLogPane::Took(std::string_view s) {
  if (s.empty()) return;
  if (s.size() >= 2) {
    tail_[0] = s[s.size() - 2];
  } else {
    tail_[0] = tail_[1];
  }
  tail_[1] = s.back();
  if (OnAppend) OnAppend(s);
}

void TLogPane::LogAppend(std::string_view s) {
  Append(s);
}

void TLogPane::LogAddLine(std::string_view s) {
  // Two appends rather than one built line: no allocation per line break.
  if (Size() == 0 || EndsWithCrLf()) {
    Append(s);
    Append(kCrLf);
  } else {
    Append(kCrLf);
    Append(s);
  }
}

void TLogPane::LogClear() {
  text_.Clear();
  tail_[0] = tail_[1] = 0;
  if (OnClear) OnClear();
}

void TLogPane::ShowPrintable(std::string_view bytes) {
  // Runs of printable bytes go in as one append: the same text as one
  // append per byte, without the per-call cost.
  std::size_t run = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b >= 0x20) continue;
    Append(bytes.substr(run, i - run));
    if (b == '\r') LogNewLine();
    run = i + 1;
  }
  Append(bytes.substr(run));
}
