// The operator's date and time formats on Windows: the user's default short
// date and long time, asked in UTF-16 and brought to Windows-1251.
#include <windows.h>

#include <cstdio>

#include "app/DateTimeText.h"

namespace {

bool AtMidnight(const std::tm& t) {
  return t.tm_hour == 0 && t.tm_min == 0 && t.tm_sec == 0;
}

// Printable Windows-1251, or nothing when a character has no place in the
// code page (no best-fit stand-ins) or is a control character.
bool ToCp1251(const std::wstring& text, std::string& out) {
  if (text.empty()) return false;
  BOOL lossy = FALSE;
  const int n = WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0, nullptr, &lossy);
  if (n <= 0 || lossy) return false;
  out.assign(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                      out.data(), n, nullptr, &lossy);
  if (lossy) return false;
  for (const char c : out) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || b == 0x98) return false;
  }
  return true;
}

std::wstring Formatted(bool date, const SYSTEMTIME& st) {
  wchar_t buf[128];
  const int n = date ? GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buf, 128)
                     : GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, buf, 128);
  // The count includes the terminating zero.
  return n > 1 ? std::wstring(buf, static_cast<std::size_t>(n - 1)) : std::wstring();
}

}  // namespace

std::string DateTimeToText(const std::tm& LocalTime) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(LocalTime.tm_year + 1900);
  st.wMonth = static_cast<WORD>(LocalTime.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(LocalTime.tm_wday);
  st.wDay = static_cast<WORD>(LocalTime.tm_mday);
  st.wHour = static_cast<WORD>(LocalTime.tm_hour);
  st.wMinute = static_cast<WORD>(LocalTime.tm_min);
  st.wSecond = static_cast<WORD>(LocalTime.tm_sec);
  std::wstring text = Formatted(true, st);
  if (!AtMidnight(LocalTime)) {
    const std::wstring time = Formatted(false, st);
    text += L' ';
    text += time.empty() ? L"\x01" : time;  // a failed format takes the numeric form below
  }
  std::string out;
  if (ToCp1251(text, out)) return out;
  char buf[32];
  if (AtMidnight(LocalTime)) {
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", LocalTime.tm_mday, LocalTime.tm_mon + 1,
                  LocalTime.tm_year + 1900);
  } else {
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d:%02d", LocalTime.tm_mday,
                  LocalTime.tm_mon + 1, LocalTime.tm_year + 1900, LocalTime.tm_hour,
                  LocalTime.tm_min, LocalTime.tm_sec);
  }
  return buf;
}

std::string NowText() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  std::tm local{};
  local.tm_year = st.wYear - 1900;
  local.tm_mon = st.wMonth - 1;
  local.tm_wday = st.wDayOfWeek;
  local.tm_mday = st.wDay;
  local.tm_hour = st.wHour;
  local.tm_min = st.wMinute;
  local.tm_sec = st.wSecond;
  return DateTimeToText(local);
}
