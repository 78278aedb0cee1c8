// What the process holds, read from /proc, for tests and the soak run.
#pragma once

#include <fstream>
#include <string>

// Resident memory in KiB.
inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      break;
    }
  }
  return value;
}
