// Start-up: from the fork of a new process to the console's window shown
// (Qt offscreen), against a plain Qt window with one label as the baseline;
// median of alternating runs.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchTable.h"

namespace {

// Milliseconds the probe reports, or a negative number when it failed.
double RunProbe(const char* mode) {
  int out[2];
  if (::pipe(out) != 0) return -1;
  timespec t0{};
  ::clock_gettime(CLOCK_MONOTONIC, &t0);
  const std::string t0_text = std::to_string(t0.tv_sec * 1000000000LL + t0.tv_nsec);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::setenv("T5_T0_NS", t0_text.c_str(), 1);
    ::execl(T5_STARTUP_PROBE, T5_STARTUP_PROBE, mode, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) return -1;
  return std::atof(text.c_str());
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const int runs =
      std::getenv("STARTUP_BENCH_RUNS") ? std::atoi(std::getenv("STARTUP_BENCH_RUNS")) : 11;
  RunProbe("console");  // warm the file cache
  std::vector<double> console, baseline;
  for (int i = 0; i < std::max(runs, 1); ++i) {
    const double b = RunProbe("baseline");
    const double c = RunProbe("console");
    if (b < 0 || c < 0) {
      std::fprintf(stderr, "the start-up probe failed\n");
      return 1;
    }
    baseline.push_back(b);
    console.push_back(c);
  }
  const double c = Median(console), b = Median(baseline);
  std::printf(
      "start-up, %zu runs: console median %.1f ms (min %.1f, max %.1f), plain Qt window "
      "median %.1f ms\n",
      console.size(), c, *std::min_element(console.begin(), console.end()),
      *std::max_element(console.begin(), console.end()), b);
  BenchRow("start-up: process start to window shown (offscreen), median", c, "ms", b, "< 300 ms",
           c < 300);
  return 0;
}
