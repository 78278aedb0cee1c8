#include "controls/LogSaver.h"

#include <system_error>

#include "controls/Cp1251.h"

namespace {

std::string Message(const std::string& Path, const TLogFile& File) {
  std::string why;
  switch (File.Fault()) {
    case TLogFile::TFault::NoPath:
      why = "Такой папки нет.";
      break;
    case TLogFile::TFault::NoAccess:
      why = "Нет прав на запись.";
      break;
    case TLogFile::TFault::DiskFull:
      why = "Диск переполнен.";
      break;
    default:
      why = File.SystemText();
  }
  return "Не удалось сохранить журнал в файл " + Path + "\n" + why;
}

}  // namespace

TLogSaver::TLogSaver(const TLogText& Text, std::string Path)
    : slices_(Text, 0, Text.Size()), path_(std::move(Path)) {
  try {
    worker_ = std::thread([this] { Work(); });
  } catch (const std::system_error& e) {
    error_ = "Не удалось сохранить журнал в файл " + path_ + "\n" + e.what();
    done_ = true;
  }
}

TLogSaver::~TLogSaver() {
  Cancel();
}

int TLogSaver::Percent() const {
  return Total() == 0 ? 100 : static_cast<int>(100.0 * static_cast<double>(written_) / Total());
}

void TLogSaver::Cancel() {
  if (done_) return;
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  cancelled_ = true;
  Finish();
}

void TLogSaver::Finish() {
  if (worker_.joinable()) worker_.join();
  std::lock_guard lock(mu_);
  saved_ = worker_saved_ && !cancelled_;
  if (!saved_) file_.Remove();
  if (!cancelled_) error_ = worker_error_;
  queue_.clear();
  spare_.clear();
  done_ = true;
}

bool TLogSaver::Waiting() const {
  std::lock_guard lock(mu_);
  return !worker_done_ && (input_done_ || queue_.size() >= kQueued);
}

bool TLogSaver::Step(std::chrono::milliseconds Budget) {
  if (done_) return true;
  const auto until = std::chrono::steady_clock::now() + Budget;
  for (;;) {
    {
      std::lock_guard lock(mu_);
      if (worker_done_) break;
      if (input_done_ || queue_.size() >= kQueued) return false;
    }
    if (slices_.Done()) {
      {
        std::lock_guard lock(mu_);
        input_done_ = true;
      }
      cv_.notify_all();
      return false;
    }
    const std::string bytes = slices_.Next();
    Piece piece;
    {
      std::lock_guard lock(mu_);
      if (!spare_.empty()) {
        piece.utf8 = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    // A slice is at most one byte longer than kSlice (a CR LF kept whole),
    // and a byte is at most three of UTF-8.
    if (!piece.utf8) piece.utf8.reset(new char[3 * (TLogSlices::kSlice + 1)]);
    piece.size = Cp1251ToUtf8At(piece.utf8.get(), bytes, false);
    piece.source = bytes.size();
    {
      std::lock_guard lock(mu_);
      queue_.push_back(std::move(piece));
    }
    cv_.notify_all();
    if (std::chrono::steady_clock::now() >= until) return false;
  }
  Finish();
  return true;
}

void TLogSaver::Run() {
  while (!Step(std::chrono::milliseconds(100))) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return worker_done_ || (!input_done_ && queue_.size() < kQueued); });
  }
}

void TLogSaver::Work() {
  bool ok = file_.Create(path_);
  while (ok) {
    Piece piece;
    {
      std::unique_lock lock(mu_);
      cv_.wait(lock, [this] { return stop_ || !queue_.empty() || input_done_; });
      if (stop_ || queue_.empty()) break;  // cancelled, or all written
      piece = std::move(queue_.front());
      queue_.pop_front();
    }
    cv_.notify_all();  // room for the next slice
    ok = file_.Write(piece.utf8.get(), piece.size);
    if (ok) written_ += piece.source;
    std::lock_guard lock(mu_);
    spare_.push_back(std::move(piece.utf8));
  }
  bool stopped;
  {
    std::lock_guard lock(mu_);
    stopped = stop_;
  }
  if (ok && !stopped) ok = file_.Close();
  std::lock_guard lock(mu_);
  if (!ok) worker_error_ = Message(path_, file_);
  worker_saved_ = ok && !stopped;
  worker_done_ = true;
  cv_.notify_all();
}
