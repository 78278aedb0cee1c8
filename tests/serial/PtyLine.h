// Pseudo-terminals published as COM ports, for tests and the benchmark.
#pragma once

#include <string>

// A pseudo-terminal whose slave is reachable as COM1 through a temporary
// TORIN5_PORTS directory for as long as the object lives. A line made with
// another line beside it is published in that line's directory.
class PtyLine {
 public:
  PtyLine();
  PtyLine(int Com, const PtyLine& Beside);
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  // The device side: what the component writes comes out here.
  int Master() const { return master_; }
  // An extra descriptor on the line, for looking at its settings.
  int Slave() const { return slave_; }
  // Closes the device side, as when an adapter is pulled.
  void CloseMaster();
  // A new pseudo-terminal behind the same COM1 name.
  void Replace();

 private:
  void OpenPty();
  int master_ = -1;
  int slave_ = -1;
  std::string dir_;
  std::string link_;
  bool owns_dir_ = true;
};

// Rate in bit/s of the line's settings, and whether it is in raw mode.
unsigned LineSpeed(int fd);
bool LineIsRaw(int fd);
