// Priorities as the Linux scheduler sees them: nice values per thread.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <thread>

#include "runtime/Thread.h"
#include "tests/runtime/ThreadTestSupport.h"

namespace {

using namespace threadtest;

int NiceOfThread(TThreadId tid) {
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  return errno == 0 ? nice : 1000;
}

TEST(Thread, PriorityReportsTheLevelInForce) {
  auto t = IdleThread();
  ASSERT_TRUE(PumpUntil([&] { return t->entered.load(); }));
  const struct {
    TThreadPriority level;
    int nice;
  } kLevels[] = {{tpIdle, 19},   {tpLowest, 10},   {tpLower, 5},         {tpNormal, 0},
                 {tpHigher, -5}, {tpHighest, -10}, {tpTimeCritical, -20}};
  const bool privileged = ::geteuid() == 0;
  for (const auto& l : kLevels) {
    EXPECT_NO_THROW(t->SetPriority(l.level));
    const int nice = NiceOfThread(t->ThreadID());
    // Raises need privilege; whatever happened, the level read is the one in force.
    if (l.nice >= 0 || privileged) {
      EXPECT_EQ(nice, l.nice) << "level " << l.level;
    }
    const auto* in_force = std::find_if(std::begin(kLevels), std::end(kLevels),
                                        [&](const auto& k) { return k.nice == nice; });
    ASSERT_NE(in_force, std::end(kLevels));
    EXPECT_EQ(t->Priority(), in_force->level) << "asked for " << l.level;
  }
  t->RequestStop();
  t->WaitForExit();
}

// Drops the calling thread's (and only its) credentials: the kernel keeps
// them per thread, and the raw call does not spread the change to the rest
// of the process as setuid() would.
bool BecomeNobody() {
  return ::syscall(SYS_setresuid, 65534, 65534, 65534) == 0;
}

TEST(Thread, RefusedRaiseLeavesTheOldPriorityReported) {
  // Under a limit that allows no raise at all, an unprivileged owner asks an
  // unprivileged thread; as root both shed their privilege first.
  const bool root = ::geteuid() == 0;
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NICE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(::setrlimit(RLIMIT_NICE, &none), 0);
  std::atomic<int> dropped{-1};
  auto t = IdleThread([&] { dropped = !root || BecomeNobody() ? 1 : 0; });
  ASSERT_TRUE(PumpUntil([&] { return dropped.load() >= 0; }));
  TThreadPriority after_idle = tpNormal, after_raise = tpIdle;
  int nice = 1000;
  bool owner_dropped = false;
  std::thread owner([&] {
    owner_dropped = !root || BecomeNobody();
    if (dropped != 1 || !owner_dropped) return;
    t->SetPriority(tpIdle);
    after_idle = t->Priority();
    t->SetPriority(tpNormal);  // refused: no error, and not remembered
    after_raise = t->Priority();
    nice = NiceOfThread(t->ThreadID());
  });
  owner.join();
  t->RequestStop();
  t->WaitForExit();
  ::setrlimit(RLIMIT_NICE, &saved);
  if (dropped != 1 || !owner_dropped) GTEST_SKIP() << "cannot drop a thread's credentials";
  EXPECT_EQ(after_idle, tpIdle);
  EXPECT_EQ(nice, 19);
  EXPECT_EQ(after_raise, tpIdle);
}

}  // namespace
