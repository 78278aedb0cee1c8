// clang-format off
// The comm constants of the device header share their names with the
// system's macros: it must be read first.
#include "SerialTestSupport.h"
#include <windows.h>
// clang-format on

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto seconds = [](const FILETIME& t) {
    return ((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
}

// The system's wording differs between its versions and languages; what the
// messages must do with it is drop the line end and the final period.
std::string SystemText(int code) {
  std::string text = SysErrorMessage(code);
  while (!text.empty() && (text.back() == '.' || static_cast<unsigned char>(text.back()) <= ' ')) {
    text.pop_back();
  }
  return text;
}
