// The stamp's text from the time locale and its code set.
#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <optional>
#include <string>

#include "app/DateTimeTextLinux.h"

namespace {

TEST(StampText, IsWindows1251WhateverCodeSetTheTimeLocaleWrites) {
  const struct {
    const char* text;
    const char* codeset;
    std::optional<std::string> cp1251;
  } kCases[] = {
      {"12 \xD0\x9C\xD0\xB0\xD0\xB9 2026", "UTF-8", "12 \xCC\xE0\xE9 2026"},  // Май
      {"09/12/26 01:02:03 PM", "ANSI_X3.4-1968", "09/12/26 01:02:03 PM"},
      {"\xCC\xE0\xE9", "CP1251", "\xCC\xE0\xE9"},
      {"\xCE\xC0\xCA", "KOI8-R", "\xED\xFE\xE9"},  // нюй
      {"\xE9t\xE9", "ISO-8859-1", std::nullopt},   // é: not in the code page
      {"\xC3\x28", "UTF-8", std::nullopt},         // malformed
      {"a\x98", "CP1251", std::nullopt},           // the unassigned byte
      {"a\tb", "UTF-8", std::nullopt},             // a control character
      {"12:00", "NO-SUCH-CODESET", std::nullopt},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(LocaleTextToCp1251(c.text, c.codeset), c.cp1251) << c.codeset << " " << c.text;
  }
  // What the pane cannot hold gives way to the numeric form.
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 9;
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_sec = 3;
  EXPECT_EQ(DateTimeToText(t, "NO-SUCH-CODESET"), "09.12.2026 07:05:03");
  EXPECT_EQ(DateTimeToText(t, "UTF-16"), "09.12.2026 07:05:03");
  t.tm_hour = t.tm_min = t.tm_sec = 0;
  EXPECT_EQ(DateTimeToText(t, "NO-SUCH-CODESET"), "09.12.2026");
}

TEST(StampText, CodeSetIsTheTimeLocales) {
  const std::string time_before = std::setlocale(LC_TIME, nullptr);
  const std::string ctype_before = std::setlocale(LC_CTYPE, nullptr);
  std::setlocale(LC_CTYPE, "C");
  const bool utf8 = std::setlocale(LC_TIME, "C.UTF-8") != nullptr;
  const std::string codeset = TimeLocaleCodeset();
  std::setlocale(LC_TIME, "C");
  const std::string plain = TimeLocaleCodeset();
  std::setlocale(LC_TIME, time_before.c_str());
  std::setlocale(LC_CTYPE, ctype_before.c_str());
  if (!utf8) GTEST_SKIP() << "no C.UTF-8 locale here";
  EXPECT_EQ(codeset, "UTF-8");
  EXPECT_EQ(plain, "ANSI_X3.4-1968");
}

}  // namespace
