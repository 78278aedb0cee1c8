// The log pane's text store: Windows-1251 bytes, lines separated by CR LF,
// never trimmed. The text lives in fixed-size blocks; a block that is full is
// compressed (Zstandard) by a worker thread and unpacked again on demand into
// a small cache, so a shift of logging costs a fraction of its size. The line
// index is sparse: a count of line breaks per block, the offsets inside a
// block found by scanning it when it is read. Appends cost what they add.
// Everything but the worker belongs to one thread (the main thread).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// What the store asks of the system: pages for its blocks and a thread for
// its packing worker. Tests put failures behind it.
class TLogSystem {
 public:
  virtual ~TLogSystem() = default;
  // Raises std::bad_alloc when there is no memory.
  virtual void* AllocatePages(std::size_t Size);
  virtual void FreePages(void* Pages, std::size_t Size);
  // Raises when no thread can be started (std::system_error).
  virtual std::thread StartThread(std::function<void()> Body);
  static TLogSystem& Default();
};

// Neither running out of memory nor a worker that cannot start loses text
// already stored or ends the program: a block that cannot be packed stays
// unpacked and is tried again later, and a failing append leaves the store
// as it was before the piece that failed.
class TLogText {
 public:
  static constexpr std::size_t kBlockSize = 64 << 10;
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  // How long packing waits after running out of memory before it tries again.
  static constexpr std::chrono::milliseconds kRetryDelay{200};

  explicit TLogText(TLogSystem& System = TLogSystem::Default());
  ~TLogText();
  TLogText(const TLogText&) = delete;
  TLogText& operator=(const TLogText&) = delete;

  std::size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  void Append(std::string_view Bytes);
  // Takes no longer however large the text is: the blocks are freed by the
  // worker.
  void Clear();

  // Line n starts after the n-th CR LF; there is always one line at least.
  std::size_t LineCount() const { return breaks_ + 1; }
  std::size_t LineStart(std::size_t Line) const;
  // Where the line's CR LF begins (Size() for the last line).
  std::size_t LineEnd(std::size_t Line) const;
  // The line that holds byte Pos (Pos <= Size(); a CR LF belongs to the line
  // it ends).
  std::size_t LineOf(std::size_t Pos) const;

  // Bytes [From, From + Count), clipped to the text.
  std::string Read(std::size_t From, std::size_t Count) const;
  // The same into Out, whose memory is reused: a reader going through a
  // large text a piece at a time allocates (and faults in) nothing new.
  void ReadInto(std::size_t From, std::size_t Count, std::string& Out) const;
  std::string Text() const { return Read(0, size_); }

  // Waits until the worker has packed every full block and freed what
  // clearing left it (tests, benchmarks).
  void WaitIdle() const;
  // Bytes held for the text: packed blocks, blocks not packed yet, the open
  // block's pages and the cache.
  std::size_t MemoryUsed() const;
  std::size_t PackedBlocks() const;
  // Forgets the unpacked blocks, so the next read unpacks (benchmarks).
  void DropCache() const;

  // Page-backed bytes for the blocks being filled: given back to the system
  // as soon as they are freed.
  class TPages;

 private:
  using Buf = std::shared_ptr<TPages>;
  // Packed blocks lie one after another in chunks of pages that are never
  // written again and go back to the system whole once clearing drops them.
  struct Packed {
    Buf chunk;
    std::uint32_t offset = 0, size = 0;
  };
  struct Slot {  // guarded by mu_
    Buf raw;     // full block before it is packed
    Packed packed;
  };
  struct Index {  // per closed block, main thread only
    std::uint64_t breaks_before;
    std::uint32_t breaks;
    bool after_cr;  // the byte before the block is CR
  };
  struct Job {
    std::uint64_t generation;
    std::size_t block;
    Buf raw;
  };
  // One block's bytes and the offsets (1..size) of the line starts whose LF
  // lies in it.
  struct View {
    const char* data;
    std::size_t size;
    const std::vector<std::uint32_t>* starts;
  };
  struct CacheEntry {
    std::size_t block = npos;
    std::uint64_t used = 0;
    std::string data;
    std::vector<std::uint32_t> starts;
  };

  View BlockView(std::size_t Block) const;
  std::size_t ClosedBlocks() const { return index_.size(); }
  std::uint64_t BreaksBefore(std::size_t Block) const;
  void CloseOpenBlock();
  // Starts the worker unless it runs; a failure is left for the next call.
  // Called with mu_ held.
  void EnsureWorker();
  // Packs one block; false when memory (or the library) fails.
  bool Pack(const Job& J, Packed& Out);
  void Work();

  TLogSystem& system_;

  std::size_t size_ = 0;
  std::uint64_t breaks_ = 0;
  bool last_cr_ = false;
  Buf open_;
  std::size_t open_size_ = 0;
  bool open_after_cr_ = false;
  std::vector<std::uint32_t> open_starts_;
  std::vector<Index> index_;

  mutable std::vector<CacheEntry> cache_;
  mutable std::uint64_t cache_clock_ = 0;

  mutable std::mutex mu_;
  std::condition_variable work_cv_;
  mutable std::condition_variable idle_cv_;
  std::vector<Slot> slots_;
  std::deque<Job> jobs_;  // the front one stays queued until it is packed
  std::chrono::steady_clock::time_point retry_at_{};
  std::vector<std::vector<Slot>> trash_;
  std::uint64_t generation_ = 0;
  bool busy_ = false;
  bool stop_ = false;
  std::thread worker_;
  // The worker's own state.
  void* cctx_ = nullptr;
  std::string out_;
  Buf chunk_;  // the one being filled
  std::size_t chunk_used_ = 0;
  std::uint64_t chunk_generation_ = 0;
};

// Bytes [From, To) of a text a slice at a time, no slice ending between CR
// and LF: how a copy of any size is read without holding up the loop that
// reads it for more than a slice.
class TLogSlices {
 public:
  static constexpr std::size_t kSlice = 1 << 20;

  TLogSlices(const TLogText& Text, std::size_t From, std::size_t To)
      : text_(Text),
        from_(std::min(From, Text.Size())),
        next_(from_),
        end_(std::min(std::max(To, From), Text.Size())) {}
  std::size_t Size() const { return end_ - from_; }
  bool Done() const { return next_ >= end_; }
  std::string Next();

 private:
  const TLogText& text_;
  std::size_t from_, next_, end_;
};
