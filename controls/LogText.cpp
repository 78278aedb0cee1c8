#include "controls/LogText.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "runtime/System.h"
#include "runtime/Thread.h"

// Blocks come straight from the system's pages rather than the heap: freeing
// them gives the memory back at once, whatever the allocator would keep.
class TLogText::TPages {
 public:
  TPages(TLogSystem& System, std::size_t Size)
      : system_(System), data_(static_cast<char*>(System.AllocatePages(Size))), size_(Size) {}
  ~TPages() { system_.FreePages(data_, size_); }
  TPages(const TPages&) = delete;
  TPages& operator=(const TPages&) = delete;
  char* Data() const { return data_; }
  std::size_t Size() const { return size_; }

 private:
  TLogSystem& system_;
  char* data_;
  std::size_t size_;
};

void* TLogSystem::AllocatePages(std::size_t Size) {
  return ::AllocatePages(Size);
}

void TLogSystem::FreePages(void* Pages, std::size_t Size) {
  ::FreePages(Pages, Size);
}

std::thread TLogSystem::StartThread(std::function<void()> Body) {
  return std::thread(std::move(Body));
}

TLogSystem& TLogSystem::Default() {
  static TLogSystem system;
  return system;
}

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

// Room for one more element, growing geometrically, so that the push_back
// after it cannot fail.
template <class V>
void MakeRoom(V& v) {
  if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(16, 2 * v.capacity()));
}

}  // namespace

TLogText::TLogText(TLogSystem& System) : system_(System), cache_(kCacheBlocks) {}

TLogText::~TLogText() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  work_cv_.notify_all();
  if (worker_.joinable()) worker_.join();
  ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(cctx_));
}

void TLogText::Append(std::string_view s) {
  while (!s.empty()) {
    // A block left full by a close that failed is closed first.
    if (open_size_ == kBlockSize) CloseOpenBlock();
    if (!open_) open_ = std::make_shared<TPages>(system_, kBlockSize);
    const std::size_t take = std::min(s.size(), kBlockSize - open_size_);
    char* dst = open_->Data() + open_size_;
    std::memcpy(dst, s.data(), take);
    // Line starts: every LF whose byte before is CR, that byte possibly
    // from an earlier append or block. Nothing counts until they all are.
    const std::size_t had = open_starts_.size();
    try {
      for (const char* p = dst; p < dst + take;) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', dst + take - p));
        if (!lf) break;
        const bool cr = lf == dst ? last_cr_ : lf[-1] == '\r';
        if (cr) open_starts_.push_back(static_cast<std::uint32_t>(lf - open_->Data() + 1));
        p = lf + 1;
      }
    } catch (...) {
      open_starts_.resize(had);
      throw;
    }
    breaks_ += open_starts_.size() - had;
    last_cr_ = dst[take - 1] == '\r';
    open_size_ += take;
    size_ += take;
    s.remove_prefix(take);
    if (open_size_ == kBlockSize) CloseOpenBlock();
  }
}

void TLogText::CloseOpenBlock() {
  // What can fail comes first and the index is committed last: a failure
  // leaves the full block open and the store as it was.
  MakeRoom(index_);
  {
    std::lock_guard lock(mu_);
    MakeRoom(slots_);
    jobs_.push_back({generation_, slots_.size(), open_});
    slots_.push_back({open_, Packed{}});
    // Without a worker the block stays unpacked until one starts.
    EnsureWorker();
  }
  work_cv_.notify_one();
  const std::uint64_t before = breaks_ - open_starts_.size();
  index_.push_back({before, static_cast<std::uint32_t>(open_starts_.size()), open_after_cr_});
  open_after_cr_ = last_cr_;
  open_starts_.clear();
  open_.reset();
  open_size_ = 0;
}

void TLogText::EnsureWorker() {
  if (worker_.joinable()) return;
  try {
    worker_ = system_.StartThread([this] { Work(); });
  } catch (...) {
    // Asked again at the next close; the blocks wait unpacked meanwhile.
  }
}

void TLogText::Clear() {
  std::vector<std::vector<Slot>> unfreed;
  {
    std::lock_guard lock(mu_);
    if (!slots_.empty()) trash_.push_back(std::move(slots_));
    slots_.clear();
    jobs_.clear();
    ++generation_;
    // Freeing is the worker's, so clearing stays quick; without one it is
    // done here.
    if (!trash_.empty()) EnsureWorker();
    if (!worker_.joinable()) unfreed.swap(trash_);
  }
  work_cv_.notify_one();
  unfreed.clear();
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

bool TLogText::Pack(const Job& J, Packed& Out) {
  try {
    if (!cctx_) cctx_ = ZSTD_createCCtx();
    auto* cctx = static_cast<ZSTD_CCtx*>(cctx_);
    if (!cctx) return false;
    out_.resize(ZSTD_compressBound(kBlockSize));
    const std::size_t n =
        ZSTD_compressCCtx(cctx, out_.data(), out_.size(), J.raw->Data(), kBlockSize, kLevel);
    if (ZSTD_isError(n)) return false;
    if (!chunk_ || chunk_generation_ != J.generation || chunk_used_ + n > chunk_->Size()) {
      chunk_ = std::make_shared<TPages>(system_, std::max(kChunkSize, RoundToPages(n)));
      chunk_used_ = 0;
      chunk_generation_ = J.generation;
    }
    std::memcpy(chunk_->Data() + chunk_used_, out_.data(), n);
    Out = {chunk_, static_cast<std::uint32_t>(chunk_used_), static_cast<std::uint32_t>(n)};
    chunk_used_ += n;
    return true;
  } catch (...) {
    // Out of memory: the block keeps its unpacked bytes for now.
    return false;
  }
}

void TLogText::Work() {
  // Packing can wait; the main thread, which shares the cores, cannot.
  LowerCurrentThreadPriority();
  std::unique_lock lock(mu_);
  for (;;) {
    // After a failure the queued blocks wait for retry_at_.
    while (!stop_ && trash_.empty()) {
      if (jobs_.empty()) {
        work_cv_.wait(lock);
      } else if (std::chrono::steady_clock::now() < retry_at_) {
        work_cv_.wait_until(lock, retry_at_);
      } else {
        break;
      }
    }
    if (stop_) break;
    if (!trash_.empty()) {
      std::vector<std::vector<Slot>> trash;
      trash.swap(trash_);
      busy_ = true;
      lock.unlock();
      trash.clear();
      chunk_.reset();
      lock.lock();
      busy_ = false;
      if (jobs_.empty() && trash_.empty()) idle_cv_.notify_all();
      continue;
    }
    Job job = jobs_.front();
    busy_ = true;
    lock.unlock();

    Packed packed;
    const bool ok = Pack(job, packed);
    Buf raw_done;
    lock.lock();
    busy_ = false;
    // The job is still at the front unless clearing dropped it.
    const bool queued = !jobs_.empty() && jobs_.front().generation == job.generation &&
                        jobs_.front().block == job.block;
    if (ok && queued) {
      jobs_.pop_front();
      if (job.block < slots_.size()) {
        slots_[job.block].packed = std::move(packed);
        raw_done = std::move(slots_[job.block].raw);
      }
    } else if (queued) {
      retry_at_ = std::chrono::steady_clock::now() + kRetryDelay;
    }
    const bool idle = jobs_.empty() && trash_.empty();
    lock.unlock();
    raw_done.reset();  // outside the lock: unmapping is not free
    job.raw.reset();
    packed = {};
    if (idle) idle_cv_.notify_all();
    lock.lock();
  }
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
  ReadInto(From, Count, out);
  return out;
}

void TLogText::ReadInto(std::size_t From, std::size_t Count, std::string& out) const {
  Count = From >= size_ ? 0 : std::min(Count, size_ - From);
  out.resize(Count);  // fills only what it grows by
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
}

std::string TLogSlices::Next() {
  std::size_t n = std::min(kSlice, end_ - next_);
  // CR LF stays in one slice, so a view can turn it into its line break.
  if (next_ + n < end_ && text_.Read(next_ + n - 1, 2) == "\r\n") ++n;
  std::string out = text_.Read(next_, n);
  next_ += n;
  return out;
}
