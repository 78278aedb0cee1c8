#include "PtyLine.h"

#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

PtyLine::PtyLine() {
  char dir[] = "/tmp/torin5-ports-XXXXXX";
  if (!::mkdtemp(dir)) throw std::runtime_error(std::strerror(errno));
  dir_ = dir;
  link_ = dir_ + "/COM1";
  OpenPty();
  ::setenv("TORIN5_PORTS", dir_.c_str(), 1);
}

PtyLine::PtyLine(int Com, const PtyLine& Beside)
    : dir_(Beside.dir_), link_(Beside.dir_ + "/COM" + std::to_string(Com)), owns_dir_(false) {
  OpenPty();
}

PtyLine::~PtyLine() {
  if (owns_dir_) ::unsetenv("TORIN5_PORTS");
  CloseMaster();
  if (slave_ >= 0) ::close(slave_);
  ::unlink(link_.c_str());
  if (owns_dir_) ::rmdir(dir_.c_str());
}

void PtyLine::OpenPty() {
  char name[256];
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::strerror(errno));
  }
  ::unlink(link_.c_str());
  if (::symlink(name, link_.c_str()) != 0) throw std::runtime_error(std::strerror(errno));
}

void PtyLine::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void PtyLine::Replace() {
  CloseMaster();
  if (slave_ >= 0) ::close(slave_);
  OpenPty();
}
