#include "app/DateTimeText.h"

#include <langinfo.h>

#include <cstring>

#include "controls/Cp1251.h"

namespace {

std::string FormatTime(const char* format, const std::tm& t) {
  char buf[128];
  const std::size_t n = std::strftime(buf, sizeof buf, format, &t);
  return std::string(buf, n);
}

}  // namespace

std::string DateTimeToText(const std::tm& LocalTime) {
  std::string text = FormatTime(nl_langinfo(D_FMT), LocalTime);
  if (LocalTime.tm_hour != 0 || LocalTime.tm_min != 0 || LocalTime.tm_sec != 0) {
    text += ' ';
    text += FormatTime(nl_langinfo(T_FMT), LocalTime);
  }
  // The pane holds Windows-1251; a UTF-8 locale may write non-ASCII names.
  return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0 ? Utf8ToCp1251(text) : text;
}

std::string NowText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return DateTimeToText(local);
}
