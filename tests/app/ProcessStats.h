// What the process holds, read from /proc, for tests and the soak run.
#pragma once

#include <fstream>
#include <string>

// A "Key:" line of /proc/self/status in KiB (VmRSS:, VmHWM:, VmSize:, ...);
// 0 when the line is missing.
inline long StatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string k;
  long value = 0;
  while (status >> k) {
    if (k == key) {
      status >> value;
      break;
    }
  }
  return value;
}

// Resident memory in KiB.
inline long ResidentKiB() {
  return StatusKiB("VmRSS:");
}
