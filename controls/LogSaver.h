// Saving the whole log to a file, for any toolkit: the store's Windows-1251
// bytes as UTF-8, lines ending in CR LF, converted as a copy converts them.
// The loop that owns the store converts a slice per Step; a worker writes,
// so a slow or stuck disk never holds up the window. A save that fails or is
// cancelled leaves no file behind.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controls/LogFile.h"
#include "controls/LogText.h"

class TLogSaver {
 public:
  // Converted text waiting for the writer, at most.
  static constexpr std::size_t kQueued = 4;

  // Saves the text as it is now (what is appended meanwhile is not saved) to
  // Path (UTF-8). The text must not be cleared while saving: cancel first.
  TLogSaver(const TLogText& Text, std::string Path);
  // An unfinished save is cancelled.
  ~TLogSaver();
  TLogSaver(const TLogSaver&) = delete;
  TLogSaver& operator=(const TLogSaver&) = delete;

  // Converts for about Budget (at least one slice while the writer has room)
  // and returns Done().
  bool Step(std::chrono::milliseconds Budget = std::chrono::milliseconds(8));
  // Steps until done, waiting on the writer (tests, benchmarks).
  void Run();
  // Saved, failed or cancelled, the writer ended.
  bool Done() const { return done_; }
  bool Saved() const { return saved_; }
  // Empty unless the save failed: what the operator is told.
  const std::string& Error() const { return error_; }
  // Stops the writer and removes what it wrote, even when it had written
  // all: a save is over only once Step has said so.
  void Cancel();
  // Nothing to convert until the writer catches up: a loop may step less
  // often meanwhile.
  bool Waiting() const;

  // Of the text's bytes, how many the file holds by now.
  std::size_t Total() const { return slices_.Size(); }
  std::size_t Written() const { return written_; }
  int Percent() const;

 private:
  void Work();
  void Finish();

  TLogSlices slices_;
  std::string path_;
  TLogFile file_;  // the worker's while it runs
  std::thread worker_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  // Guarded by mu_.
  struct Piece {
    std::unique_ptr<char[]> utf8;
    std::size_t size = 0;    // of utf8
    std::size_t source = 0;  // the text's bytes it holds
  };
  std::deque<Piece> queue_;
  // Buffers written out, for the next slices: no memory is taken anew.
  std::vector<std::unique_ptr<char[]>> spare_;
  bool input_done_ = false;
  bool stop_ = false;
  bool worker_done_ = false;
  bool worker_saved_ = false;
  std::string worker_error_;

  std::atomic<std::size_t> written_{0};
  bool done_ = false;
  bool cancelled_ = false;
  bool saved_ = false;
  std::string error_;
};
