// The stamp's text from the user's default date and time formats.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "app/DateTimeText.h"

namespace {

bool PrintableCp1251(const std::string& text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || b == 0x98) return false;
  }
  return !text.empty();
}

TEST(StampText, IsTheShortDateThenTheLongTimeInWindows1251) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 9;
  t.tm_wday = 3;
  const std::string midnight = DateTimeToText(t);
  t.tm_hour = 19;
  t.tm_min = 5;
  t.tm_sec = 3;
  const std::string evening = DateTimeToText(t);
  EXPECT_TRUE(PrintableCp1251(midnight)) << midnight;
  EXPECT_TRUE(PrintableCp1251(evening)) << evening;
  EXPECT_NE(midnight.find("2026"), std::string::npos) << midnight;
  // The time follows the date after one blank, and is left out at midnight.
  ASSERT_GT(evening.size(), midnight.size() + 1);
  EXPECT_EQ(evening.substr(0, midnight.size() + 1), midnight + " ");
  EXPECT_NE(evening.find("05"), std::string::npos) << evening;
  EXPECT_NE(evening.find("03"), std::string::npos) << evening;
  EXPECT_EQ(NowText().empty(), false);
}

}  // namespace
