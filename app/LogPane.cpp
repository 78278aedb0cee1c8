#include "app/LogPane.h"

#include <algorithm>

namespace {
constexpr std::string_view kCrLf = "\r\n";
}  // namespace

std::string TLogPane::Text() const {
  std::string out;
  out.reserve(size_);
  for (const std::string& b : blocks_) out += b;
  return out;
}

void TLogPane::Append(std::string_view s) {
  if (s.empty()) return;
  for (std::string_view rest = s; !rest.empty();) {
    if (blocks_.empty() || blocks_.back().size() == kBlockSize) {
      blocks_.emplace_back();
      blocks_.back().reserve(kBlockSize);
    }
    std::string& block = blocks_.back();
    const std::size_t take = std::min(rest.size(), kBlockSize - block.size());
    block.append(rest.substr(0, take));
    rest.remove_prefix(take);
  }
  size_ += s.size();
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
  if (size_ == 0 || EndsWithCrLf()) {
    Append(s);
    Append(kCrLf);
  } else {
    Append(kCrLf);
    Append(s);
  }
}

void TLogPane::LogClear() {
  std::vector<std::string>().swap(blocks_);  // give the memory back: the pane may have held a lot
  size_ = 0;
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
