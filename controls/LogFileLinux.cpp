#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "controls/LogFile.h"

TLogFile::~TLogFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void TLogFile::Failed(long Code) {
  switch (Code) {
    case ENOENT:
    case ENOTDIR:
      fault_ = TFault::NoPath;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
      fault_ = TFault::NoAccess;
      break;
    case ENOSPC:
    case EDQUOT:
      fault_ = TFault::DiskFull;
      break;
    default:
      fault_ = TFault::Other;
  }
  system_text_ = std::strerror(static_cast<int>(Code));
}

bool TLogFile::Create(const std::string& Path) {
  path_ = Path;
  const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    Failed(errno);
    return false;
  }
  handle_ = fd;
  created_ = true;
  struct stat st {};
  plain_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  return true;
}

bool TLogFile::Write(const char* Data, std::size_t Size) {
  while (Size > 0) {
    const ssize_t n = ::write(static_cast<int>(handle_), Data, Size);
    if (n < 0) {
      if (errno == EINTR) continue;
      Failed(errno);
      return false;
    }
    Data += n;
    Size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool TLogFile::Close() {
  if (handle_ < 0) return true;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  // A network or full disk may tell only now that the data did not land.
  if (::close(fd) != 0 && errno != EINTR) {
    Failed(errno);
    return false;
  }
  return true;
}

void TLogFile::Remove() {
  if (handle_ >= 0) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
  if (created_ && plain_) ::unlink(path_.c_str());
  created_ = false;
}
