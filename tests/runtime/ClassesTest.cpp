#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Application.h"
#include "runtime/Classes.h"
#include "runtime/Events.h"

namespace {

TEST(StrToInt, AcceptsSignedDecimalAndRejectsEverythingElse) {
  EXPECT_EQ(StrToInt("50000"), 50000);
  EXPECT_EQ(StrToInt("-17"), -17);
  EXPECT_EQ(StrToInt("+8"), 8);
  EXPECT_EQ(StrToInt("  42"), 42);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
  for (const char* bad :
       {"", " ", "-", "12a", "a12", "1 2", "12 ", "2147483648", "0x10", "99999999999999999999"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid integer value");
    }
  }
}

class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::vector<std::string>* log, std::string name)
      : TComponent(owner), log_(log) {
    SetName(std::move(name));
  }
  ~Probe() override { log_->push_back("free " + Name()); }
  void Loaded() override {
    TComponent::Loaded();
    log_->push_back("loaded " + Name());
  }

 private:
  std::vector<std::string>* log_;
};

TEST(Component, OwnerDestroysOwnedLastFirstAndLoadingReachesEveryone) {
  std::vector<std::string> log;
  {
    Probe form(nullptr, &log, "form");
    auto* a = new Probe(&form, &log, "a");
    new Probe(&form, &log, "b");
    auto* gone = new Probe(&form, &log, "gone");
    a->SetTag(7);
    EXPECT_EQ(form.ComponentCount(), 3);
    delete gone;  // leaves its owner's list
    EXPECT_EQ(form.ComponentCount(), 2);
    EXPECT_EQ(form.FindComponent("a")->Tag(), 7);
    EXPECT_EQ(form.FindComponent("gone"), nullptr);
    EXPECT_THROW(form.Components(2), EListError);

    form.BeginLoading();
    EXPECT_TRUE(a->Loading());
    form.EndLoading();
    EXPECT_FALSE(a->Loading());
    EXPECT_FALSE(form.Loading());
    log.erase(log.begin());  // "free gone"
    EXPECT_EQ(log, (std::vector<std::string>{"loaded a", "loaded b", "loaded form"}));
    log.clear();
  }
  // The owner's own destructor body runs first, then what it owns goes, last first.
  EXPECT_EQ(log, (std::vector<std::string>{"free form", "free b", "free a"}));
}

class Item : public TCollectionItem {
 public:
  using TCollectionItem::TCollectionItem;
  int value = 0;
};
class ItemList : public TOwnedCollection {
 public:
  using TOwnedCollection::TOwnedCollection;

 protected:
  TCollectionItem* CreateItem() override { return new Item(this); }
};

TEST(Collection, OwnsItemsAndKeepsOrder) {
  ItemList items(nullptr);
  auto* first = static_cast<Item*>(items.Add());
  auto* second = static_cast<Item*>(items.Add());
  second->value = 2;
  EXPECT_EQ(items.Count(), 2);
  EXPECT_EQ(second->Index(), 1);
  delete first;
  EXPECT_EQ(items.Count(), 1);
  EXPECT_EQ(static_cast<Item*>(items.Items(0))->value, 2);
  EXPECT_EQ(second->Index(), 0);
  EXPECT_THROW(items.Items(1), EListError);
  items.Clear();
  EXPECT_EQ(items.Count(), 0);
}

TEST(StringList, IndexOutsideRaisesWithTheIndex) {
  TStringList list;
  list.Add("10.0.0.1");
  list.Add("127.0.0.1");
  EXPECT_EQ(list.Strings(1), "127.0.0.1");
  EXPECT_EQ(list.IndexOf("10.0.0.1"), 0);
  EXPECT_EQ(list.IndexOf("nope"), -1);
  for (int bad : {-1, 2}) {
    try {
      list.Strings(bad);
      ADD_FAILURE() << bad;
    } catch (const EStringListError& e) {
      EXPECT_EQ(e.Message(), "List index out of bounds (" + std::to_string(bad) + ")");
    }
  }
  TStringList copy;
  copy.Assign(list);
  EXPECT_EQ(copy.Text(), "10.0.0.1\r\n127.0.0.1\r\n");
  TComponent notAList(nullptr);
  EXPECT_THROW(copy.Assign(notAList), EConvertError);
}

TEST(MemoryStream, ReadsAndWritesAtThePosition) {
  TMemoryStream s;
  EXPECT_EQ(s.Write("abcdef", 6), 6);
  EXPECT_EQ(s.Position(), 6);
  s.SetPosition(2);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 4);
  EXPECT_EQ(std::string(buf, 4), "cdef");
  EXPECT_EQ(s.Read(buf, 1), 0);
  s.SetPosition(4);
  s.Write("XYZ", 3);  // overwrites two bytes, grows by one
  EXPECT_EQ(s.Size(), 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Memory()), 7), "abcdXYZ");
  s.SetSize(3);
  EXPECT_EQ(s.Position(), 3);
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
}

TEST(Event, IsManualResetAndWaitsWithDeadline) {
  TEvent e;
  EXPECT_FALSE(e.IsSignaled());
  EXPECT_EQ(e.WaitFor(20), wrTimeout);
  e.Signal();
  e.Signal();
  EXPECT_EQ(e.WaitFor(0), wrSignaled);
  EXPECT_EQ(e.WaitFor(INFINITE), wrSignaled);  // a wait does not consume it
  e.Reset();
  EXPECT_FALSE(e.IsSignaled());
  TEvent other(true);
  const TWaitable fds[] = {e.Handle(), other.Handle()};
  EXPECT_EQ(WaitForAny(fds, 1000), 1);
  // Looking first changes how a wait begins, not what it reports or how
  // long it lasts at least.
  for (const TWaitStyle style : {TWaitStyle::Sleep, TWaitStyle::SpinFirst}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(e.WaitFor(15, style), wrTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
    EXPECT_EQ(WaitForAny(fds, 1000, nullptr, style), 1);
    EXPECT_EQ(other.WaitFor(INFINITE, style), wrSignaled);
  }
}

// The state kept beside the descriptor must never drift from it, whatever
// order a concurrent Signal and Reset land in: a drifted event would either
// ignore the next Reset (a waiter woken again and again) or hide a Signal
// from poll. Each round starts both calls together and then compares.
TEST(Event, StateAndDescriptorAgreeUnderConcurrentSignalAndReset) {
  constexpr int kRounds = 20000;
  TEvent e;
  std::atomic<int> go{0}, done{0};
  std::thread signaller([&] {
    for (int round = 1; round <= kRounds; ++round) {
      while (go.load() < round) {
      }
      e.Signal();
      done.fetch_add(1);
    }
  });
  int drifted = 0;
  for (int round = 1; round <= kRounds; ++round) {
    if (round % 2 == 0) e.Signal();  // half the rounds start signalled
    go.store(round);
    e.Reset();
    while (done.load() < round) {
    }
    const TWaitable fd = e.Handle();
    const bool readable = WaitForAny(std::span<const TWaitable>(&fd, 1), 0) == 0;
    if (e.IsSignaled() != readable) ++drifted;
    e.Reset();
    if (e.WaitFor(0) != wrTimeout) ++drifted;
  }
  signaller.join();
  EXPECT_EQ(drifted, 0);
}

TEST(Event, WaitEndsOnASignalFromAnotherThreadAfterItHasGoneToSleep) {
  TEvent a, b;
  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    b.Signal();
  });
  const TWaitable fds[] = {a.Handle(), b.Handle()};
  EXPECT_EQ(WaitForAny(fds, 5000), 1);
  signaller.join();
  EXPECT_FALSE(a.IsSignaled());
}

TEST(ApplicationHook, ReceivesTheErrorAndSurvivesAFailingHook) {
  std::string seen;
  TObject* sender = nullptr;
  TStringList source;
  SetApplicationOnException([&](TObject* s, const std::exception& e) {
    sender = s;
    seen = e.what();
    if (seen == "again") throw Exception("hook failed");
  });
  try {
    throw EConvertError("bad number");
  } catch (...) {
    ApplicationHandleException(&source);
  }
  EXPECT_EQ(seen, "bad number");
  EXPECT_EQ(sender, &source);
  try {
    throw Exception("again");
  } catch (...) {
    EXPECT_NO_THROW(ApplicationHandleException(nullptr));
  }
  try {
    throw 42;  // not an exception class: still reaches the hook
  } catch (...) {
    ApplicationHandleException(nullptr);
  }
  EXPECT_EQ(seen, "Unknown error");
  SetApplicationOnException(nullptr);
}

}  // namespace
