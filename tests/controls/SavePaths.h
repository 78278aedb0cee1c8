// Paths a log cannot be saved to on this platform, beyond the ones every
// platform has, with the reason the operator is told.
#pragma once

#include <string>
#include <vector>

struct SavePath {
  std::string name, path, why;
};

std::vector<SavePath> FailingSavePaths(const std::string& Dir);
