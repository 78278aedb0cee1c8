#include <sys/stat.h>
#include <unistd.h>

#include "tests/controls/SavePaths.h"

std::vector<SavePath> FailingSavePaths(const std::string& Dir) {
  std::vector<SavePath> out;
  // Every write to it fails with ENOSPC, and it is no file to remove.
  if (access("/dev/full", W_OK) == 0)
    out.push_back({"a full disk", "/dev/full", "Диск переполнен."});
  // The superuser may write anywhere.
  if (geteuid() != 0) {
    const std::string locked = Dir + "/locked";
    mkdir(locked.c_str(), 0500);
    out.push_back({"no permission", locked + "/log.txt", "Нет прав на запись."});
  }
  return out;
}
