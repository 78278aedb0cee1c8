// The command lines sent this run, for the command line's Up and Down.
#pragma once

#include <optional>
#include <string>
#include <vector>

class TCommandHistory {
 public:
  // A line was sent. An empty line, or the same line as the newest, adds
  // nothing. Ends any walk through the lines.
  void Add(const std::string& Line);
  // Up: the line before the one shown, the newest first. Shown is the edit's
  // text; the first step back keeps it as the line being typed. Nothing when
  // there is no older line.
  std::optional<std::string> Older(const std::string& Shown);
  // Down: the line after the one shown, and after the newest the line that
  // was being typed. Nothing when not walking.
  std::optional<std::string> Newer();
  std::size_t Count() const { return lines_.size(); }

 private:
  std::vector<std::string> lines_;
  std::size_t at_ = 0;  // the line shown; lines_.size() when not walking
  std::string typed_;
};
