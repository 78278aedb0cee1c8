#include <sys/resource.h>

#include "SerialTestSupport.h"

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Written out rather than asked for: the messages must carry these texts.
std::string SystemText(int code) {
  switch (code) {
    case 2:
      return "No such file or directory";
    case 5:
      return "Input/output error";
    case 12:
      return "Cannot allocate memory";
    case 16:
      return "Device or resource busy";
    case 22:
      return "Invalid argument";
    case 25:
      return "Inappropriate ioctl for device";
    default:
      return "(no text for " + std::to_string(code) + ")";
  }
}
