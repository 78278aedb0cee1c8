// Runs on the build machine beside the Windows line test: opens a
// pseudo-terminal, publishes its slave as COM1 of the Wine prefix, starts the
// test program under Wine and plays the device on the master side. Checks
// what only this side can see (the rate on the line, the bytes the program
// sent) and prints the round trip of a byte echoed by the program's receive
// handler. Usage: com_line_driver WINE TEST.EXE [ARGS...]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kPings = 20;
int failures = 0;

void Fail(const std::string& what) {
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  ++failures;
}

// Runs a command to its end; its output goes nowhere.
int Run(std::vector<std::string> args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string LinkTarget(const std::string& link) {
  char buf[4096];
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// A dosdevices entry pointed elsewhere for the run, put back as it was.
class Link {
 public:
  Link(std::string path, const std::string& target) : path_(std::move(path)) {
    old_ = LinkTarget(path_);
    ::unlink(path_.c_str());
    if (!target.empty() && ::symlink(target.c_str(), path_.c_str()) != 0) {
      Fail("cannot link " + path_ + ": " + std::strerror(errno));
    }
  }
  ~Link() {
    ::unlink(path_.c_str());
    if (!old_.empty() && ::symlink(old_.c_str(), path_.c_str()) != 0) {
      std::fprintf(stderr, "cannot restore %s\n", path_.c_str());
    }
  }

 private:
  std::string path_;
  std::string old_;
};

// The program's standard output, line by line, and the master side of the
// line, read as they come.
class Session {
 public:
  Session(int out, int master) : out_(out), master_(master) {}

  // Until the program has printed a line starting with prefix; the line.
  bool WaitLine(const std::string& prefix, Clock::duration limit, std::string* line = nullptr) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      for (std::size_t end; (end = text_.find('\n')) != std::string::npos;) {
        std::string l = text_.substr(0, end);
        text_.erase(0, end + 1);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        std::printf("exe: %s\n", l.c_str());
        if (l.compare(0, prefix.size(), prefix) == 0) {
          if (line) *line = l;
          return true;
        }
      }
      if (!Pump(deadline)) return false;
    }
  }

  // Until n bytes have come from the line.
  bool WaitBytes(std::size_t n, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (line_.size() < n) {
      if (!Pump(deadline)) return false;
    }
    return true;
  }

  std::string TakeBytes() { return std::exchange(line_, std::string()); }

 private:
  bool Pump(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return false;
    pollfd fds[2] = {{out_, POLLIN, 0}, {master_, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno != EINTR) return false;
    char buf[4096];
    if (fds[0].revents) {
      const ssize_t r = ::read(out_, buf, sizeof buf);
      if (r <= 0) return false;  // the program has ended
      text_.append(buf, static_cast<std::size_t>(r));
    }
    if (fds[1].revents & POLLIN) {
      const ssize_t r = ::read(master_, buf, sizeof buf);
      if (r > 0) line_.append(buf, static_cast<std::size_t>(r));
    }
    return true;
  }

  int out_;
  int master_;
  std::string text_;
  std::string line_;
};

std::string AllBytes() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02x ", c);
    out += pair;
  }
  return out;
}

unsigned LineRate(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return 0;
  static const std::pair<speed_t, unsigned> kRates[] = {
      {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
      {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  for (const auto& [code, rate] : kRates) {
    if (::cfgetospeed(&t) == code) return rate;
  }
  return 0;
}

void Play(Session& s, int master, int slave) {
  std::string line;
  if (!s.WaitLine("DIRECT ", 60s, &line)) return Fail("the program did not write directly");
  const std::size_t direct = static_cast<std::size_t>(std::atoi(line.c_str() + 7));
  if (!s.WaitBytes(direct, 10s)) Fail("the direct write did not arrive");
  if (const std::string got = s.TakeBytes(); got != "direct\r\n") {
    Fail("the direct write differs: " + Hex(got));
  }
  // The program closes the port only after this: closing would discard
  // bytes still on their way.
  if (::write(master, "k", 1) != 1) return Fail("cannot write to the line");
  if (!s.WaitLine("OPEN ", 60s, &line)) return Fail("the program did not open COM1");
  const unsigned asked = static_cast<unsigned>(std::atoi(line.c_str() + 5));
  if (LineRate(slave) != asked) {
    Fail("line rate " + std::to_string(LineRate(slave)) + ", asked for " + std::to_string(asked));
  }
  const std::string all = AllBytes();
  if (::write(master, all.data(), all.size()) != static_cast<ssize_t>(all.size())) {
    return Fail("cannot write to the line");
  }
  if (!s.WaitLine("SENT", 30s)) return Fail("the program did not answer");
  if (!s.WaitBytes(all.size(), 10s)) Fail("fewer bytes than sent came from the program");
  const std::string back = s.TakeBytes();
  if (back != std::string(all.rbegin(), all.rend())) Fail("the bytes from the program differ");
  // Bytes the program leaves unread for a while.
  if (::write(master, "abc", 3) != 3) return Fail("cannot write to the line");
  if (!s.WaitLine("ECHO", 30s)) return Fail("the program did not read the bytes left");

  std::vector<double> rtt;
  for (int i = 0; i < kPings; ++i) {
    const char byte = static_cast<char>(i == 0 ? 0 : 0xFF - i);  // never the closing 'Q'
    const auto start = Clock::now();
    if (::write(master, &byte, 1) != 1 || !s.WaitBytes(1, 5s)) return Fail("no echo");
    rtt.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (s.TakeBytes() != std::string(1, byte)) Fail("wrong echo");
  }
  if (::write(master, "Q", 1) != 1) return Fail("cannot write to the line");
  std::sort(rtt.begin(), rtt.end());
  std::printf("echo round trip over the line, ms: min %.1f median %.1f max %.1f\n", rtt.front(),
              rtt[rtt.size() / 2], rtt.back());
  if (!s.WaitLine("DONE", 60s)) Fail("the program did not finish");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s WINE TEST.EXE [ARGS...]\n", argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const char* prefixEnv = std::getenv("WINEPREFIX");
  const char* home = std::getenv("HOME");
  const std::string prefix = prefixEnv ? prefixEnv : std::string(home ? home : "") + "/.wine";
  const std::string wine = argv[1];

  int master = -1, slave = -1;
  char name[256];
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  // Wine's device manager maps COM ports afresh whenever its server starts:
  // the registry entry keeps COM1 on the line then, the link from now on.
  const std::string ports = "HKLM\\Software\\Wine\\Ports";
  Run({wine, "reg", "add", ports, "/v", "COM1", "/t", "REG_SZ", "/d", name, "/f"});
  ::mkdir((prefix + "/dosdevices").c_str(), 0755);
  int status = 0;
  {
    Link com1(prefix + "/dosdevices/com1", name);
    Link com7(prefix + "/dosdevices/com7", "");  // the port that must not be there

    int out[2];
    if (::pipe(out) != 0) return 1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      ::close(master);
      ::close(slave);
      std::vector<char*> args(argv + 1, argv + argc);
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
    ::close(out[1]);
    Session session(out[0], master);
    Play(session, master, slave);
    // The rest of its output, up to its end.
    session.WaitLine("\x01", failures ? 5s : 60s);
    const auto deadline = Clock::now() + 20s;
    pid_t done = 0;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    if (done == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      Fail("the program did not end");
    }
    ::close(out[0]);
  }
  Run({wine, "reg", "delete", ports, "/v", "COM1", "/f"});
  ::close(master);
  ::close(slave);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("the program reported failures");
  return failures == 0 ? 0 : 1;
}
