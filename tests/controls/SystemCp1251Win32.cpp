#include <windows.h>

#include "tests/controls/SystemCp1251.h"

std::string SystemCp1251ToUtf8(unsigned char byte) {
  const char in = static_cast<char>(byte);
  wchar_t wide[2] = {};
  if (MultiByteToWideChar(1251, MB_ERR_INVALID_CHARS, &in, 1, wide, 2) != 1) return {};
  char out[8] = {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, 1, out, sizeof out, nullptr, nullptr);
  return n > 0 ? std::string(out, static_cast<std::size_t>(n)) : std::string();
}
