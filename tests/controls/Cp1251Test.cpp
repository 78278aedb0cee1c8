#include <gtest/gtest.h>

#include <string>

#include "controls/Cp1251.h"
#include "tests/controls/SystemCp1251.h"

namespace {

TEST(Cp1251, EveryAssignedByteMatchesTheSystemConverter) {
  int compared = 0;
  for (int b = 0x20; b <= 0xFF; ++b) {
    const std::string expected = SystemCp1251ToUtf8(static_cast<unsigned char>(b));
    if (expected.empty()) continue;  // 0x98 is unassigned
    const char byte = static_cast<char>(b);
    EXPECT_EQ(Cp1251ToUtf8(std::string_view(&byte, 1)), expected) << "byte " << b;
    ++compared;
  }
  EXPECT_GE(compared, 223);
}

TEST(Cp1251, CyrillicAlphabetAndRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string utf8 = Cp1251ToUtf8(all);
  EXPECT_EQ(Utf8ToCp1251(utf8), all);  // every byte, 0x98 included, comes back

  EXPECT_EQ(Cp1251ToUtf8("\xC0\xC1\xDF\xE0\xFF\xA8\xB8"), "АБЯаяЁё");
  EXPECT_EQ(Utf8ToCp1251("Конфигуратор TORIN5"),
            "\xCA\xEE\xED\xF4\xE8\xE3\xF3\xF0\xE0\xF2\xEE\xF0 TORIN5");
  EXPECT_EQ(Cp1251Char(0xC0), u'А');
  EXPECT_EQ(Cp1251Char(0xB9), u'№');
}

TEST(Cp1251, UnmappableAndMalformedInputBecomesQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xADz"), "a?z");      // a CJK character
  EXPECT_EQ(Utf8ToCp1251("x\xF0\x9F\x98\x80y"), "x?y");  // outside the BMP
  EXPECT_EQ(Utf8ToCp1251("\xD0"), "?");                  // truncated sequence
  EXPECT_EQ(Utf8ToCp1251("\xD0Z"), "?Z");                // resynchronises
  EXPECT_EQ(Utf8ToCp1251("\xC0\xAF"), "??");             // overlong '/'
  EXPECT_EQ(Utf8ToCp1251("\xED\xA0\x80"), "???");        // a surrogate
  EXPECT_EQ(Utf8ToCp1251(std::string("\0a", 2)), std::string("\0a", 2));
}

}  // namespace
