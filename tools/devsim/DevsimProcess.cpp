#include "tools/devsim/DevsimProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

DevsimProcess::DevsimProcess(const std::string& Program, const std::vector<std::string>& Args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  std::vector<std::string> argv_text = {Program};
  argv_text.insert(argv_text.end(), Args.begin(), Args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::execv(Program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  out_ = fds[0];
  ::fcntl(out_, F_SETFL, O_NONBLOCK);
}

DevsimProcess::~DevsimProcess() {
  if (pid_ > 0 && !Exited()) {
    Terminate();
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (out_ >= 0) ::close(out_);
}

const std::string& DevsimProcess::Output() {
  char buf[4096];
  for (ssize_t n; out_ >= 0 && (n = ::read(out_, buf, sizeof buf)) > 0;) {
    output_.append(buf, static_cast<std::size_t>(n));
  }
  return output_;
}

bool DevsimProcess::Exited() {
  if (exited_ || pid_ <= 0) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  exited_ = true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  Output();
  return true;
}

void DevsimProcess::Signal(int Number) {
  if (pid_ > 0 && !exited_) ::kill(pid_, Number);
}

std::optional<std::string> OutputLine(const std::string& Output, const std::string& Prefix) {
  std::istringstream in(Output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(Prefix, 0) == 0) return line.substr(Prefix.size());
  }
  return std::nullopt;
}

std::optional<long long> ReportValue(const std::string& Output, const std::string& Line,
                                     const std::string& Key) {
  // The report comes last; an earlier line with the same start is a notice.
  std::optional<std::string> found;
  std::istringstream in(Output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(Line, 0) == 0 && line.find(" " + Key + "=") != std::string::npos) found = line;
  }
  if (!found) return std::nullopt;
  const std::size_t at = found->find(" " + Key + "=") + Key.size() + 2;
  try {
    return std::stoll(found->substr(at));
  } catch (...) {
    return std::nullopt;
  }
}
