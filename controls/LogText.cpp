#include "controls/LogText.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "runtime/System.h"
#include "runtime/Thread.h"

// Blocks come straight from the system's pages rather than the heap: freeing
// them gives the memory back at once, whatever the allocator would keep.
class TLogText::TPages {
 public:
  explicit TPages(std::size_t Size) : data_(static_cast<char*>(AllocatePages(Size))), size_(Size) {}
  ~TPages() { FreePages(data_, size_); }
  TPages(const TPages&) = delete;
  TPages& operator=(const TPages&) = delete;
  char* Data() const { return data_; }
  std::size_t Size() const { return size_; }

 private:
  char* data_;
  std::size_t size_;
};

namespace {

// Level 1 packs hex and printable text about as tightly as the slower levels
// (its literals are entropy-coded either way) at a few milliseconds a block.
constexpr int kLevel = 1;
constexpr std::size_t kCacheBlocks = 8;
constexpr std::size_t kChunkSize = 4 << 20;

// Offsets (1..n) of the line starts whose LF lies in [0, n).
void ScanStarts(const char* d, std::size_t n, bool after_cr, std::vector<std::uint32_t>& out) {
  out.clear();
  const char* p = d;
  const char* end = d + n;
  while (p < end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (!lf) break;
    const bool cr = lf == d ? after_cr : lf[-1] == '\r';
    if (cr) out.push_back(static_cast<std::uint32_t>(lf - d + 1));
    p = lf + 1;
  }
}

std::size_t RoundToPages(std::size_t n) {
  constexpr std::size_t kPage = 4096;
  return (n + kPage - 1) / kPage * kPage;
}

}  // namespace

TLogText::TLogText() : cache_(kCacheBlocks) {}

TLogText::~TLogText() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  work_cv_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void TLogText::Append(std::string_view s) {
  while (!s.empty()) {
    if (!open_) open_ = std::make_shared<TPages>(kBlockSize);
    const std::size_t take = std::min(s.size(), kBlockSize - open_size_);
    char* dst = open_->Data() + open_size_;
    std::memcpy(dst, s.data(), take);
    // Line starts: every LF whose byte before is CR, that byte possibly
    // from an earlier append or block.
    for (const char* p = dst; p < dst + take;) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', dst + take - p));
      if (!lf) break;
      const bool cr = lf == dst ? last_cr_ : lf[-1] == '\r';
      if (cr) {
        open_starts_.push_back(static_cast<std::uint32_t>(lf - open_->Data() + 1));
        ++breaks_;
      }
      p = lf + 1;
    }
    last_cr_ = dst[take - 1] == '\r';
    open_size_ += take;
    size_ += take;
    s.remove_prefix(take);
    if (open_size_ == kBlockSize) CloseOpenBlock();
  }
}

void TLogText::CloseOpenBlock() {
  const std::uint64_t before = breaks_ - open_starts_.size();
  index_.push_back({before, static_cast<std::uint32_t>(open_starts_.size()), open_after_cr_});
  open_after_cr_ = last_cr_;
  open_starts_.clear();
  {
    std::lock_guard lock(mu_);
    slots_.push_back({open_, nullptr});
    jobs_.push_back({generation_, slots_.size() - 1, open_});
    if (!worker_.joinable()) worker_ = std::thread([this] { Work(); });
  }
  work_cv_.notify_one();
  open_.reset();
  open_size_ = 0;
}

void TLogText::Clear() {
  {
    std::lock_guard lock(mu_);
    if (!slots_.empty()) trash_.push_back(std::move(slots_));
    slots_.clear();
    jobs_.clear();
    ++generation_;
  }
  work_cv_.notify_one();
  size_ = 0;
  breaks_ = 0;
  last_cr_ = false;
  open_size_ = 0;
  open_after_cr_ = false;
  std::vector<std::uint32_t>().swap(open_starts_);
  std::vector<Index>().swap(index_);
  open_.reset();  // the open block's touched pages go back too
  for (CacheEntry& e : cache_) e = CacheEntry();
}

void TLogText::Work() {
  // Packing can wait; the main thread, which shares the cores, cannot.
  LowerCurrentThreadPriority();
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  std::string out;
  Buf chunk;  // the one being filled
  std::size_t chunk_used = 0;
  std::uint64_t chunk_generation = 0;
  std::unique_lock lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [this] { return stop_ || !jobs_.empty() || !trash_.empty(); });
    if (stop_) break;
    if (!trash_.empty()) {
      std::vector<std::vector<Slot>> trash;
      trash.swap(trash_);
      busy_ = true;
      lock.unlock();
      trash.clear();
      chunk.reset();
      lock.lock();
      busy_ = false;
      if (jobs_.empty() && trash_.empty()) idle_cv_.notify_all();
      continue;
    }
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();

    out.resize(ZSTD_compressBound(job.raw->Size()));
    const std::size_t n =
        ZSTD_compressCCtx(cctx, out.data(), out.size(), job.raw->Data(), kBlockSize, kLevel);
    Packed packed;
    if (!ZSTD_isError(n)) {
      if (!chunk || chunk_generation != job.generation || chunk_used + n > chunk->Size()) {
        chunk = std::make_shared<TPages>(std::max(kChunkSize, RoundToPages(n)));
        chunk_used = 0;
        chunk_generation = job.generation;
      }
      std::memcpy(chunk->Data() + chunk_used, out.data(), n);
      packed = {chunk, static_cast<std::uint32_t>(chunk_used), static_cast<std::uint32_t>(n)};
      chunk_used += n;
    }
    Buf raw_done;
    lock.lock();
    if (packed.chunk && job.generation == generation_ && job.block < slots_.size()) {
      slots_[job.block].packed = std::move(packed);
      raw_done = std::move(slots_[job.block].raw);
    }
    busy_ = false;
    const bool idle = jobs_.empty() && trash_.empty();
    lock.unlock();
    raw_done.reset();  // outside the lock: unmapping is not free
    job.raw.reset();
    if (idle) idle_cv_.notify_all();
    lock.lock();
  }
  lock.unlock();
  ZSTD_freeCCtx(cctx);
}

void TLogText::WaitIdle() const {
  std::unique_lock lock(mu_);
  idle_cv_.wait(lock, [this] { return jobs_.empty() && trash_.empty() && !busy_; });
}

std::size_t TLogText::MemoryUsed() const {
  std::size_t n = open_ ? RoundToPages(open_size_) : 0;
  for (const CacheEntry& e : cache_) n += e.data.capacity() + e.starts.capacity() * 4;
  n += open_starts_.capacity() * 4 + index_.capacity() * sizeof(Index);
  std::lock_guard lock(mu_);
  for (const Slot& s : slots_) {
    if (s.raw) n += s.raw->Size();
    if (s.packed.chunk) n += s.packed.size;
  }
  return n;
}

void TLogText::DropCache() const {
  for (CacheEntry& e : cache_) e.block = npos;
}

std::size_t TLogText::PackedBlocks() const {
  std::lock_guard lock(mu_);
  return static_cast<std::size_t>(std::count_if(
      slots_.begin(), slots_.end(), [](const Slot& s) { return s.packed.chunk != nullptr; }));
}

TLogText::View TLogText::BlockView(std::size_t Block) const {
  if (Block >= ClosedBlocks()) return {open_ ? open_->Data() : "", open_size_, &open_starts_};
  CacheEntry* hit = nullptr;
  for (CacheEntry& e : cache_) {
    if (e.block == Block) hit = &e;
  }
  if (!hit) {
    hit = &*std::min_element(
        cache_.begin(), cache_.end(),
        [](const CacheEntry& a, const CacheEntry& b) { return a.used < b.used; });
    Buf raw;
    Packed packed;
    {
      std::lock_guard lock(mu_);
      raw = slots_[Block].raw;
      packed = slots_[Block].packed;
    }
    hit->block = npos;
    hit->data.resize(kBlockSize);
    if (raw) {
      std::memcpy(hit->data.data(), raw->Data(), kBlockSize);
    } else {
      const std::size_t n = ZSTD_decompress(hit->data.data(), kBlockSize,
                                            packed.chunk->Data() + packed.offset, packed.size);
      if (ZSTD_isError(n) || n != kBlockSize) throw std::runtime_error("log block unreadable");
    }
    ScanStarts(hit->data.data(), kBlockSize, index_[Block].after_cr, hit->starts);
    hit->block = Block;
  }
  hit->used = ++cache_clock_;
  return {hit->data.data(), kBlockSize, &hit->starts};
}

std::uint64_t TLogText::BreaksBefore(std::size_t Block) const {
  return Block < ClosedBlocks() ? index_[Block].breaks_before : breaks_ - open_starts_.size();
}

std::size_t TLogText::LineStart(std::size_t Line) const {
  if (Line == 0) return 0;
  if (Line > breaks_) return size_;
  // The block whose LF ends line Line - 1: the last with fewer breaks before it.
  std::size_t block = ClosedBlocks();
  if (Line <= BreaksBefore(block)) {
    auto it = std::partition_point(index_.begin(), index_.end(),
                                   [&](const Index& x) { return x.breaks_before < Line; });
    block = static_cast<std::size_t>(it - index_.begin()) - 1;
  }
  const View v = BlockView(block);
  return block * kBlockSize + (*v.starts)[Line - BreaksBefore(block) - 1];
}

std::size_t TLogText::LineEnd(std::size_t Line) const {
  return Line < breaks_ ? LineStart(Line + 1) - 2 : size_;
}

std::size_t TLogText::LineOf(std::size_t Pos) const {
  Pos = std::min(Pos, size_);
  const std::size_t block = std::min(Pos / kBlockSize, ClosedBlocks());
  const View v = BlockView(block);
  const auto offset = static_cast<std::uint32_t>(Pos - block * kBlockSize);
  const auto in_block = std::upper_bound(v.starts->begin(), v.starts->end(), offset);
  return BreaksBefore(block) + static_cast<std::size_t>(in_block - v.starts->begin());
}

std::string TLogText::Read(std::size_t From, std::size_t Count) const {
  std::string out;
  if (From >= size_) return out;
  Count = std::min(Count, size_ - From);
  out.resize(Count);
  std::size_t done = 0;
  while (done < Count) {
    const std::size_t pos = From + done;
    const std::size_t block = pos / kBlockSize;
    const View v = BlockView(block);
    const std::size_t offset = pos - block * kBlockSize;
    const std::size_t take = std::min(Count - done, v.size - offset);
    std::memcpy(out.data() + done, v.data + offset, take);
    done += take;
  }
  return out;
}
