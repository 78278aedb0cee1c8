#include "app/CommandHistory.h"

void TCommandHistory::Add(const std::string& Line) {
  if (!Line.empty() && (lines_.empty() || lines_.back() != Line)) lines_.push_back(Line);
  at_ = lines_.size();
  typed_.clear();
}

std::optional<std::string> TCommandHistory::Older(const std::string& Shown) {
  if (at_ == 0) return std::nullopt;
  if (at_ == lines_.size()) typed_ = Shown;
  return lines_[--at_];
}

std::optional<std::string> TCommandHistory::Newer() {
  if (at_ == lines_.size()) return std::nullopt;
  ++at_;
  return at_ == lines_.size() ? typed_ : lines_[at_];
}
