#include "tests/controls/SavePaths.h"

std::vector<SavePath> FailingSavePaths(const std::string&) {
  return {};
}
