#include "controls/win32/Win32Text.h"

#include <windows.h>

#include "controls/Cp1251.h"

std::wstring ToWide(std::string_view Text) {
  if (Text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, Text.data(),
                                    static_cast<int>(Text.size()), nullptr, 0);
  std::wstring out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, Text.data(), static_cast<int>(Text.size()),
                        out.data(), n);
    return out;
  }
  out.reserve(Text.size());
  for (char c : Text) out += static_cast<wchar_t>(Cp1251Char(static_cast<unsigned char>(c)));
  return out;
}

std::string FromWide(std::wstring_view Text) {
  if (Text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, Text.data(), static_cast<int>(Text.size()), out.data(), n,
                        nullptr, nullptr);
  }
  return out;
}

namespace {

// The bytes from the lowest value up, as UTF-16.
template <char16_t (*Map)(unsigned char)>
std::wstring WideCp1251(std::string_view Bytes, unsigned char Lowest) {
  std::wstring out;
  out.reserve(Bytes.size());
  for (char c : Bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= Lowest) out += static_cast<wchar_t>(Map(b));
  }
  return out;
}

}  // namespace

std::wstring PaintedCp1251(std::string_view Bytes) {
  return WideCp1251<Cp1251Glyph>(Bytes, 0x20);
}

std::wstring CopiedCp1251(std::string_view Bytes) {
  return WideCp1251<Cp1251Char>(Bytes, 1);
}
