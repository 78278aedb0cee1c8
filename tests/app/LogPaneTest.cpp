#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/LogPane.h"

namespace {

// A pane whose view mirrors every change, as the window's view does.
struct MirroredPane {
  TLogPane pane;
  std::string mirror;
  MirroredPane() {
    pane.OnAppend = [this](std::string_view s) { mirror.append(s); };
    pane.OnClear = [this] { mirror.clear(); };
  }
};

TEST(LogPane, AddLineOnEmptyAndOnOpenLines) {
  MirroredPane m;
  m.pane.LogAddLine("x");
  EXPECT_EQ(m.pane.Text(), "x\r\n");

  m.pane.LogClear();
  m.pane.LogAppend("ab");
  m.pane.LogAddLine("x");
  EXPECT_EQ(m.pane.Text(), "ab\r\nx");
  m.pane.LogAppend("y");
  EXPECT_EQ(m.pane.Text(), "ab\r\nxy");
  // After an empty last line the pane ends with an empty line again.
  m.pane.LogNewLine();
  m.pane.LogAddLine("z");
  EXPECT_EQ(m.pane.Text(), "ab\r\nxy\r\nz\r\n");
  EXPECT_EQ(m.mirror, m.pane.Text());
}

TEST(LogPane, NewLineAlwaysAddsExactlyOneLineBreak) {
  MirroredPane m;
  m.pane.LogNewLine();
  EXPECT_EQ(m.pane.Text(), "\r\n");
  m.pane.LogClear();
  m.pane.LogAppend("ab");
  m.pane.LogNewLine();
  m.pane.LogNewLine();
  EXPECT_EQ(m.pane.Text(), "ab\r\n\r\n");
  EXPECT_EQ(m.mirror, m.pane.Text());
}

TEST(LogPane, ShowPrintableKeepsPrintableBytesAndBreaksOnCr) {
  MirroredPane m;
  m.pane.ShowPrintable(std::string("\x41\x0A\x42\x0D\x44", 5));
  EXPECT_EQ(m.pane.Text(), "AB\r\nD");

  // NUL, TAB and the other control codes are dropped; 0x20-0xFF shown as is.
  m.pane.LogClear();
  std::string bytes("\x00\x09 \x7F\xC0\xFF\x1B\x0D\x0D", 9);
  m.pane.ShowPrintable(bytes);
  EXPECT_EQ(m.pane.Text(), std::string(" \x7F\xC0\xFF\r\n\r\n"));
  EXPECT_EQ(m.mirror, m.pane.Text());
}

TEST(LogPane, CrOnAnOpenLineClosesItAndStartsTheNext) {
  TLogPane pane;
  pane.LogAppend("abc");
  pane.ShowPrintable("\rdef\r");
  EXPECT_EQ(pane.Text(), "abc\r\ndef\r\n");
}

TEST(LogPane, ClearEmptiesPaneAndView) {
  MirroredPane m;
  m.pane.LogAppend(std::string(100000, 'q'));
  m.pane.LogClear();
  EXPECT_EQ(m.pane.Text(), "");
  EXPECT_EQ(m.mirror, "");
  m.pane.LogAddLine("after");
  EXPECT_EQ(m.pane.Text(), "after\r\n");
}

TEST(LogPane, LinesThatStraddleItsStorageBlocksStayWhole) {
  MirroredPane m;
  const std::string filler(TLogPane::kBlockSize - 1, 'f');
  m.pane.LogAppend(filler);
  m.pane.LogNewLine();  // CR ends the first block, LF starts the second
  m.pane.LogAddLine("x");
  EXPECT_EQ(m.pane.Size(), filler.size() + 5);
  EXPECT_EQ(m.pane.Text(), filler + "\r\nx\r\n");
  // One append larger than a block spreads over three.
  const std::string big(2 * TLogPane::kBlockSize + 10, 'b');
  m.pane.LogAppend(big);
  m.pane.LogAddLine("y");
  EXPECT_EQ(m.pane.Text(), filler + "\r\nx\r\n" + big + "\r\ny");
  EXPECT_EQ(m.mirror, m.pane.Text());
  m.pane.LogClear();
  EXPECT_EQ(m.pane.Size(), 0u);
  m.pane.LogAddLine("z");
  EXPECT_EQ(m.pane.Text(), "z\r\n");
}

// The line starts of a text, the slow way: 0 and every byte after CR LF.
std::vector<std::size_t> LineStarts(const std::string& t) {
  std::vector<std::size_t> starts{0};
  for (std::size_t i = 1; i < t.size(); ++i) {
    if (t[i - 1] == '\r' && t[i] == '\n') starts.push_back(i + 1);
  }
  return starts;
}

void ExpectIndexMatches(const TLogText& text, const std::string& model) {
  const std::vector<std::size_t> starts = LineStarts(model);
  ASSERT_EQ(text.LineCount(), starts.size());
  for (std::size_t n = 0; n < starts.size(); ++n) {
    ASSERT_EQ(text.LineStart(n), starts[n]) << "line " << n;
    const std::size_t end = n + 1 < starts.size() ? starts[n + 1] - 2 : model.size();
    ASSERT_EQ(text.LineEnd(n), end) << "line " << n;
    // The first and last byte of the line, and its CR LF, belong to it.
    ASSERT_EQ(text.LineOf(starts[n]), n);
    if (end > starts[n]) {
      ASSERT_EQ(text.LineOf(end - 1), n);
    }
    if (n + 1 < starts.size()) {
      ASSERT_EQ(text.LineOf(end + 1), n);
    }
  }
}

// Appends in pieces that split CR from LF, both within a block and across
// the boundary of the blocks that get packed; a line break's LF is also the
// last byte of one block.
std::string FillAcrossBlocks(const std::function<void(const std::string&)>& append) {
  std::mt19937 rng(3);
  std::string model;
  auto add = [&](const std::string& s) {
    append(s);
    model += s;
  };
  const std::size_t block = TLogPane::kBlockSize;
  while (model.size() < block - 1) {
    std::string piece(1 + rng() % 300, static_cast<char>('A' + rng() % 26));
    if (rng() % 3 == 0) piece += '\r';  // LF in the next call
    if (model.size() + piece.size() >= block - 1) piece.resize(block - 1 - model.size());
    add(piece);
    if (!piece.empty() && piece.back() == '\r') add("\n");
  }
  add("\r");  // the last byte of block 0
  add("\n");  // the first of block 1
  while (model.size() < 2 * block - 2)
    add(std::string(std::min<std::size_t>(2 * block - 2 - model.size(), 997), 'x'));
  add("\r\n");  // its LF ends block 1
  while (model.size() < 3 * block + 1000) {
    add(std::string(1 + rng() % 900, static_cast<char>(0xC0 + rng() % 64)));
    add(rng() % 2 ? "\r\n" : "\r");
    if (model.back() == '\r') add("\n");
  }
  // A CR alone and an LF alone break no line.
  add("lone\rcr\nlf");
  return model;
}

std::string FillAcrossBlocks(TLogPane& pane) {
  return FillAcrossBlocks([&](const std::string& s) { pane.LogAppend(s); });
}

TEST(LogPane, LineIndexHoldsOverSplitLineBreaksInOpenAndPackedBlocks) {
  TLogPane pane;
  const std::string model = FillAcrossBlocks(pane);
  ASSERT_EQ(pane.Text(), model);
  ExpectIndexMatches(pane.Store(), model);
  // Once every full block is packed the same index reads the same.
  pane.Store().WaitIdle();
  EXPECT_EQ(pane.Store().PackedBlocks(), model.size() / TLogPane::kBlockSize);
  ExpectIndexMatches(pane.Store(), model);
}

TEST(LogPane, AnyRangeReadsBackTheBytesAppended) {
  TLogPane pane;
  const std::string model = FillAcrossBlocks(pane);
  std::mt19937 rng(5);
  const std::size_t block = TLogPane::kBlockSize;
  struct Range {
    std::size_t from, count;
  };
  std::vector<Range> ranges = {
      {0, model.size()},          {block - 3, 6},  // across the first boundary
      {2 * block - 1, block + 2},                  // a whole block and a byte either side
      {model.size() - 10, 100},                    // clipped at the end
      {model.size(), 5},          {0, 0},
  };
  for (int i = 0; i < 200; ++i) {
    ranges.push_back({rng() % model.size(), rng() % (2 * block)});
  }
  for (bool packed : {false, true}) {
    if (packed) pane.Store().WaitIdle();
    for (const Range& r : ranges) {
      ASSERT_EQ(pane.Store().Read(r.from, r.count), model.substr(r.from, r.count))
          << "from " << r.from << " count " << r.count << (packed ? " packed" : "");
    }
  }
}

TEST(LogPane, ClearGivesTheMemoryBackAndTheNextAppendsStartAFreshText) {
  TLogPane pane;
  // Hex lines as packet mode writes them pack well below their size.
  std::mt19937 rng(9);
  const char* hex = "0123456789ABCDEF";
  std::string line = "Rx- ";
  while (pane.Size() < 6 * TLogPane::kBlockSize) {
    line.resize(4);
    for (int i = 0; i < 300; ++i) {
      const unsigned b = rng() % 256;
      line += hex[b >> 4];
      line += hex[b & 15];
      line += ' ';
    }
    pane.LogAddLine(line);
  }
  pane.Store().WaitIdle();
  EXPECT_LT(pane.Store().MemoryUsed(), pane.Size() * 6 / 10);

  pane.LogClear();
  EXPECT_EQ(pane.Size(), 0u);
  EXPECT_EQ(pane.Store().LineCount(), 1u);
  EXPECT_LT(pane.Store().MemoryUsed(), 64u << 10);
  pane.LogAddLine("x");
  pane.LogAppend("y");
  EXPECT_EQ(pane.Text(), "x\r\ny");
  EXPECT_EQ(pane.Store().LineStart(1), 3u);
  EXPECT_EQ(pane.Store().LineOf(4), 1u);
}

// The system under the store, failing a set number of worker starts and of
// page allocations made by the packing worker (not by the appends).
struct FailingSystem : TLogSystem {
  std::thread::id main = std::this_thread::get_id();
  std::atomic<int> thread_starts_to_fail{0};
  std::atomic<int> worker_allocations_to_fail{0};
  std::atomic<int> failed{0};

  void* AllocatePages(std::size_t size) override {
    if (std::this_thread::get_id() != main && worker_allocations_to_fail > 0) {
      --worker_allocations_to_fail;
      ++failed;
      throw std::bad_alloc();
    }
    return TLogSystem::AllocatePages(size);
  }
  std::thread StartThread(std::function<void()> body) override {
    if (thread_starts_to_fail > 0) {
      --thread_starts_to_fail;
      ++failed;
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return TLogSystem::StartThread(std::move(body));
  }
};

// A worker that cannot start or cannot get memory to pack into loses
// nothing and miscounts no line: the blocks wait unpacked and are packed
// once the system allows it.
TEST(LogText, SystemFailuresWhilePackingLoseNothingAndAreRetried) {
  struct Case {
    const char* name;
    int thread_starts_to_fail;
    int worker_allocations_to_fail;
  };
  for (const Case& c :
       {Case{"thread start", 2, 0}, Case{"packing memory", 0, 2}, Case{"both", 1, 2}}) {
    SCOPED_TRACE(c.name);
    FailingSystem system;
    system.thread_starts_to_fail = c.thread_starts_to_fail;
    system.worker_allocations_to_fail = c.worker_allocations_to_fail;
    TLogText text(system);
    const std::string model = FillAcrossBlocks([&](const std::string& s) { text.Append(s); });
    ASSERT_EQ(text.Text(), model);
    ExpectIndexMatches(text, model);
    text.WaitIdle();
    EXPECT_EQ(system.failed, c.thread_starts_to_fail + c.worker_allocations_to_fail);
    EXPECT_EQ(text.PackedBlocks(), model.size() / TLogText::kBlockSize);
    ASSERT_EQ(text.Text(), model);
    ExpectIndexMatches(text, model);
    // And it goes on as a store that never failed.
    text.Append("\r\nafter");
    EXPECT_EQ(text.Read(text.LineStart(text.LineCount() - 1), 5), "after");
    text.Clear();
    EXPECT_EQ(text.Size(), 0u);
  }
}

}  // namespace
