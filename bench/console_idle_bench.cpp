// CPU time of the console while nothing happens: Qt offscreen, the serial
// port open on a pseudo-terminal (with the status bar's 5 ms modem-line
// poll), the UDP server active, no traffic.
#include <pty.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "app/fBase.h"
#include "bench/udp_baseline.h"
#include "controls/qt/QtWindowSystem.h"

namespace {

constexpr int kSeconds = 5;

struct Usage {
  double cpu_seconds;
  long switches;
};

Usage Now() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {s(u.ru_utime) + s(u.ru_stime), u.ru_nvcsw + u.ru_nivcsw};
}

// CPU seconds of each thread of this process, by kernel thread id.
std::map<int, double> ThreadTimes() {
  std::map<int, double> out;
  const long ticks = ::sysconf(_SC_CLK_TCK);
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(e.path() / "stat");
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 2));
    std::string f;
    double utime = 0, stime = 0;
    for (int i = 3; fields >> f; ++i) {
      if (i == 14) utime = std::stod(f);
      if (i == 15) {
        stime = std::stod(f);
        break;
      }
    }
    out[std::stoi(e.path().filename().string())] = (utime + stime) / static_cast<double>(ticks);
  }
  return out;
}

// The console's own loop, as under `make run`, for d.
void RunLoopFor(std::chrono::milliseconds d) {
  QEventLoop loop;
  QTimer::singleShot(d, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  int master = -1, slave = -1;
  char name[256];
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios raw{};
  ::tcgetattr(slave, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(slave, TCSANOW, &raw);
  char dir[] = "/tmp/torin5-idle-XXXXXX";
  if (!::mkdtemp(dir) || ::symlink(name, (std::string(dir) + "/COM1").c_str()) != 0) {
    std::perror("ports directory");
    return 1;
  }
  ::setenv("TORIN5_PORTS", dir, 1);
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int qt_argc = 1;
  TQtWindowSystem windows(qt_argc, argv);
  SetWindowSystem(&windows);
  Usage used{};
  {
    TBaseform form(nullptr);
    form.Show();
    form.VaComm->SetPortNum(1);
    form.VaComm->SetUserBaudrate(115200);
    form.VaComm->Open();
    // The status bar's poll of the four input lines.
    form.SysTimer->OnTimer = [&](TObject*) {
      for (int line = 1; line <= 4; ++line) form.VaComm->GetModemState(line);
    };
    form.SysTimer->SetEnabled(true);
    form.EdPort->SetText(std::to_string(udpbench::LoopbackSocket().port()));
    form.ChBxActiv->SetChecked(true);
    if (!form.VaComm->IsOpen() || !form.UDPServer->Active()) {
      std::fprintf(stderr, "port or UDP server did not start\n");
      return 1;
    }
    RunLoopFor(std::chrono::milliseconds(500));  // settle
    const Usage start = Now();
    const auto threads_start = ThreadTimes();
    RunLoopFor(std::chrono::seconds(kSeconds));
    const Usage end = Now();
    for (const auto& [tid, t] : ThreadTimes()) {
      const auto was = threads_start.find(tid);
      const double spent = t - (was == threads_start.end() ? 0 : was->second);
      if (spent > 0)
        std::printf("  thread %d%s: %.2f s\n", tid, tid == ::getpid() ? " (main)" : "", spent);
    }
    used = {end.cpu_seconds - start.cpu_seconds, end.switches - start.switches};
    form.SysTimer->SetEnabled(false);
    form.VaComm->Close();
  }
  SetWindowSystem(nullptr);
  std::printf("console idle, port open on a pty (5 ms line poll), UDP server active, %d s:\n",
              kSeconds);
  std::printf("  CPU %.3f s = %.2f%% of one core; %.0f context switches per second\n",
              used.cpu_seconds, 100.0 * used.cpu_seconds / kSeconds,
              static_cast<double>(used.switches) / kSeconds);
  ::unlink((std::string(dir) + "/COM1").c_str());
  ::rmdir(dir);
  ::close(slave);
  ::close(master);
  return 0;
}
