// The file a log is saved to: created (or emptied), written and closed from
// one thread, and removed again when saving fails or is cancelled. Each
// platform has its own implementation; a failure is told by its kind and the
// system's own text.
#pragma once

#include <cstddef>
#include <string>

class TLogFile {
 public:
  enum class TFault { None, NoPath, NoAccess, DiskFull, Other };

  TLogFile() = default;
  ~TLogFile();
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  // Path is UTF-8. Each returns false on failure, with Fault() and
  // SystemText() set.
  bool Create(const std::string& Path);
  bool Write(const char* Data, std::size_t Size);
  bool Close();
  // Removes what Create made, closing it first; only a plain file is ever
  // removed (never a device that was written to).
  void Remove();

  TFault Fault() const { return fault_; }
  const std::string& SystemText() const { return system_text_; }

 private:
  void Failed(long Code);

  std::string path_;
  long long handle_ = -1;  // the platform's, -1 when none
  bool created_ = false;
  bool plain_ = false;
  TFault fault_ = TFault::None;
  std::string system_text_;
};
