// Priorities as the Windows scheduler sees them: the thread's level.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "runtime/Exception.h"
#include "runtime/Thread.h"
#include "tests/runtime/ThreadTestSupport.h"

namespace {

using namespace threadtest;

int LevelOfThread(TThreadId tid) {
  const HANDLE h = OpenThread(THREAD_QUERY_INFORMATION, FALSE, static_cast<DWORD>(tid));
  if (!h) return 1000;
  const int level = GetThreadPriority(h);
  CloseHandle(h);
  return level;
}

TEST(Thread, PriorityIsTheSystemsLevelAndReadBack) {
  auto t = IdleThread();
  ASSERT_TRUE(PumpUntil([&] { return t->entered.load(); }));
  const struct {
    TThreadPriority level;
    int system;
  } kLevels[] = {{tpIdle, THREAD_PRIORITY_IDLE},
                 {tpLowest, THREAD_PRIORITY_LOWEST},
                 {tpLower, THREAD_PRIORITY_BELOW_NORMAL},
                 {tpNormal, THREAD_PRIORITY_NORMAL},
                 {tpHigher, THREAD_PRIORITY_ABOVE_NORMAL},
                 {tpHighest, THREAD_PRIORITY_HIGHEST},
                 {tpTimeCritical, THREAD_PRIORITY_TIME_CRITICAL}};
  for (const auto& l : kLevels) {
    EXPECT_NO_THROW(t->SetPriority(l.level));
    EXPECT_EQ(LevelOfThread(t->ThreadID()), l.system) << "level " << l.level;
    EXPECT_EQ(t->Priority(), l.level);
  }
  // The writer's default level, set on a thread that has already ended,
  // raises nothing.
  t->RequestStop();
  t->WaitForExit();
  EXPECT_NO_THROW(t->SetPriority(tpHighest));
}

TEST(Thread, ErrorTextsAreTheSystemsOwnWithoutTheLineBreak) {
  for (const int code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_POSSIBLE_DEADLOCK}) {
    char raw[512] = {};
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, raw, sizeof raw, nullptr),
              0u);
    const std::string text = SysErrorMessage(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
    EXPECT_NE(text.back(), '\r') << code;
    // The system's own words, only the line break taken off.
    EXPECT_EQ(std::string(raw).rfind(text, 0), 0u) << code << ": " << text;
  }
  EXPECT_NE(SysErrorMessage(ERROR_FILE_NOT_FOUND), SysErrorMessage(ERROR_ACCESS_DENIED));
}

}  // namespace
