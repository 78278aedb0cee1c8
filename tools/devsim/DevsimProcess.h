// torin5-devsim as a child process, for the end-to-end tests and the
// benchmarks: its standard output is collected, its report read by key.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class DevsimProcess {
 public:
  DevsimProcess(const std::string& Program, const std::vector<std::string>& Args);
  // A simulator still running is sent SIGTERM and waited for.
  ~DevsimProcess();
  DevsimProcess(const DevsimProcess&) = delete;
  DevsimProcess& operator=(const DevsimProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  // Everything it has printed so far.
  const std::string& Output();
  // Whether it has ended; then ExitStatus is its status (-1 when killed).
  bool Exited();
  int ExitStatus() const { return status_; }
  void Terminate() { Signal(SIGTERM); }
  void Signal(int Number);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::string output_;
};

// The number after "Key=" on the report line that begins with Line (for
// example Line "acks:" and Key "correct").
std::optional<long long> ReportValue(const std::string& Output, const std::string& Line,
                                     const std::string& Key);
// The text after Prefix on the first line that begins with it.
std::optional<std::string> OutputLine(const std::string& Output, const std::string& Prefix);
