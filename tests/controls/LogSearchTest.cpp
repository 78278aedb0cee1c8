#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controls/Cp1251.h"
#include "controls/LogSearch.h"
#include "controls/LogText.h"

namespace {

constexpr std::size_t B = TLogText::kBlockSize;
constexpr std::size_t K = TLogSearch::kChunk;
constexpr std::size_t kSize = 3 * K + 12345;
constexpr std::size_t npos = TLogSearch::npos;

struct Placed {
  std::size_t at;
  const char* utf8;
};

struct Case {
  const char* name;
  std::vector<Placed> placed;
  const char* pattern;  // UTF-8
  std::size_t from;
  bool forward;
  std::size_t expect;  // npos: not found
};

// Lines of dots with the needles written over them, packed into the store's
// blocks.
std::string Build(const std::vector<Placed>& placed) {
  std::string text(kSize, '.');
  for (std::size_t i = 78; i + 1 < kSize; i += 80) {
    text[i] = '\r';
    text[i + 1] = '\n';
  }
  for (const Placed& p : placed) {
    const std::string bytes = Utf8ToCp1251(p.utf8);
    text.replace(p.at, bytes.size(), bytes);
  }
  return text;
}

TEST(LogSearch, FindsWhatTheTableSays) {
  const std::size_t m6 = 6;  // the length of "Rx- 1E"
  const std::vector<Case> cases = {
      {"across a block boundary", {{B - 3, "Rx- 1E"}}, "Rx- 1E", 0, true, B - 3},
      {"across a chunk boundary", {{K - 2, "Rx- 1E"}}, "Rx- 1E", 0, true, K - 2},
      {"across a chunk boundary going back",
       {{kSize - m6 - K, "Rx- 1E"}},
       "Rx- 1E",
       kSize,
       false,
       kSize - m6 - K},
      {"Latin case ignored", {{500, "Rx- 1e"}}, "rX- 1E", 0, true, 500},
      {"Cyrillic capitals found by small letters",
       {{2 * B - 4, "ПРИВЕТ ЁЖ ЇЄІҐЎ"}},
       "привет ёж їєіґў",
       0,
       true,
       2 * B - 4},
      {"Cyrillic small letters found by capitals",
       {{K + 7, "связь ёж"}},
       "СВЯЗЬ ЁЖ",
       kSize,
       false,
       K + 7},
      {"Е is not Ё", {{900, "еж"}}, "ёж", 0, true, npos},
      {"forward from a selected match",
       {{100, "Rx- 1E"}, {300, "Rx- 1E"}},
       "Rx- 1E",
       100 + m6,
       true,
       300},
      {"forward from a match's start finds it", {{100, "Rx- 1E"}}, "Rx- 1E", 100, true, 100},
      {"forward past the last match goes on from the start",
       {{100, "Rx- 1E"}, {300, "Rx- 1E"}},
       "Rx- 1E",
       300 + m6,
       true,
       100},
      {"back from a selected match", {{100, "Rx- 1E"}, {300, "Rx- 1E"}}, "Rx- 1E", 300, false, 100},
      {"back from before the first match goes on from the end",
       {{100, "Rx- 1E"}, {300, "Rx- 1E"}, {2 * K, "rx- 1e"}},
       "Rx- 1E",
       100,
       false,
       2 * K},
      {"back finds the last of several in a chunk",
       {{10, "ab"}, {20, "ab"}, {30, "ab"}},
       "AB",
       31,
       false,
       20},
      {"a match that ends exactly at From going back", {{200, "ab"}}, "ab", 202, false, 200},
      {"nothing to find", {{100, "Rx- 1E"}}, "Rx- 1F", 0, true, npos},
      {"nothing to find going back", {{100, "Rx- 1E"}}, "Tx-", kSize, false, npos},
      {"an empty pattern", {}, "", 0, true, npos},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLogText text;
    text.Append(Build(c.placed));
    text.WaitIdle();
    text.DropCache();
    const std::string pattern = Utf8ToCp1251(c.pattern);
    // In one go, and a chunk at a time as a loop drives it.
    EXPECT_EQ(TLogSearch(text, pattern, c.from, c.forward).Run(), c.expect);
    TLogSearch stepped(text, pattern, c.from, c.forward);
    int steps = 1;
    while (!stepped.Step(1)) ++steps;
    EXPECT_EQ(stepped.Match(), c.expect);
    EXPECT_EQ(stepped.Found(), c.expect != npos);
    if (c.expect != npos) {
      EXPECT_EQ(stepped.Length(), pattern.size());
    } else if (!pattern.empty()) {
      // The whole text was looked through, a chunk a step.
      EXPECT_GE(steps, static_cast<int>(kSize / K));
    }
  }
}

TEST(LogSearch, PatternLongerThanTheTextIsNotFound) {
  TLogText text;
  text.Append("ab");
  EXPECT_EQ(TLogSearch(text, "abc", 0, true).Run(), npos);
  EXPECT_EQ(TLogSearch(text, "AB", 2, false).Run(), 0u);
}

}  // namespace
