#include "app/LogPane.h"

namespace {
constexpr std::string_view kCrLf = "\r\n";

bool EndsWithCrLf(const std::string& t) {
  return t.size() >= 2 && t[t.size() - 2] == '\r' && t.back() == '\n';
}
}  // namespace

void TLogPane::Append(std::string_view s) {
  if (s.empty()) return;
  text_.append(s);
  if (OnAppend) OnAppend(s);
}

void TLogPane::LogAppend(std::string_view s) { Append(s); }

void TLogPane::LogAddLine(std::string_view s) {
  std::string line;
  line.reserve(s.size() + kCrLf.size());
  if (text_.empty() || EndsWithCrLf(text_)) {
    line.append(s).append(kCrLf);
  } else {
    line.append(kCrLf).append(s);
  }
  Append(line);
}

void TLogPane::LogClear() {
  std::string().swap(text_);  // give the memory back: the pane may have held a lot
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
