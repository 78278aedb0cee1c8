// Cost of LogAppend per byte on a pane that already holds 1 MB and 100 MB,
// through the window: the pane, its control and a view that takes each
// append (it counts the bytes, standing in for the toolkit's view, which
// draws later, once per frame). The pane is never trimmed, so the second
// must cost about what the first does; the ratio is printed at the end.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/fBase.h"
#include "controls/Headless.h"

namespace {

class CountingView : public THeadlessPeer<TMemoPeer> {
 public:
  void SetReadOnly(bool) override {}
  void SetWordWrap(bool) override {}
  void SetScrollBars(TScrollStyle) override {}
  void ShowText(const TLogText& t) override { bytes = t.Size(); }
  void AppendText(std::string_view s) override { bytes += s.size(); }
  void ClearText() override { bytes = 0; }
  std::size_t bytes = 0;
};

class BenchWindows : public THeadlessWindowSystem {
 public:
  using THeadlessWindowSystem::CreatePeer;
  std::unique_ptr<TMemoPeer> CreatePeer(TMemo&) override {
    return std::make_unique<CountingView>();
  }
};

std::map<std::int64_t, std::vector<double>> g_ns_per_byte;  // every repetition

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void FillTo(TBaseform& form, std::size_t bytes) {
  const std::string line(62, 'a');
  while (form.LogSize() < bytes) {
    form.LogAppend(line);
    form.LogNewLine();
  }
}

// One call per byte, as the text display of a serial stream does.
void BM_LogAppendPerByte(benchmark::State& state) {
  // Every case appends into memory the process has not touched before, as a
  // growing pane does: without this the small case would reuse the pages
  // the previous repetition freed and skip their first-touch cost.
  malloc_trim(0);
  BenchWindows windows;
  SetWindowSystem(&windows);
  {
    TBaseform form(nullptr);
    form.Show();
    FillTo(form, static_cast<std::size_t>(state.range(0)));
    const std::size_t start = form.LogSize();
    for (auto _ : state) {
      form.LogAppend("x");
    }
    const double bytes = static_cast<double>(form.LogSize() - start);
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["ns_per_byte"] =
        benchmark::Counter(bytes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  }
  SetWindowSystem(nullptr);
}
BENCHMARK(BM_LogAppendPerByte)
    ->Arg(1 << 20)
    ->Arg(100 << 20)
    ->MinTime(0.3)
    ->Repetitions(5)
    ->Unit(benchmark::kNanosecond);

class Collect : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && r.iterations > 0) {
        const auto arg = r.benchmark_name().substr(r.benchmark_name().find('/') + 1);
        g_ns_per_byte[std::stoll(arg)].push_back(r.GetAdjustedRealTime());
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collect reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double small = Median(g_ns_per_byte[1 << 20]);
  const double large = Median(g_ns_per_byte[100 << 20]);
  if (small > 0) {
    std::printf(
        "LogAppend: %.2f ns/byte at 1 MB, %.2f ns/byte at 100 MB, ratio %.2f (target <= 1.5)\n",
        small, large, large / small);
  }
  return 0;
}
