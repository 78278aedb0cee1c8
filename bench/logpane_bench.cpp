// Cost of LogAppend per byte on a pane that already holds 1 MB and 100 MB.
// The pane is never trimmed, so the second must cost about what the first
// does; the ratio is printed at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "app/LogPane.h"

namespace {

std::map<std::int64_t, double> g_ns_per_byte;

void FillTo(TLogPane& pane, std::size_t bytes) {
  const std::string line(62, 'a');
  while (pane.Text().size() < bytes) {
    pane.LogAppend(line);
    pane.LogNewLine();
  }
}

// One call per byte, as the text display of a serial stream does.
void BM_LogAppendPerByte(benchmark::State& state) {
  TLogPane pane;
  std::size_t viewed = 0;
  pane.OnAppend = [&](std::string_view s) { viewed += s.size(); };
  FillTo(pane, static_cast<std::size_t>(state.range(0)));
  const std::size_t start = pane.Text().size();
  for (auto _ : state) {
    pane.LogAppend("x");
  }
  benchmark::DoNotOptimize(viewed);
  const double bytes = static_cast<double>(pane.Text().size() - start);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["ns_per_byte"] = benchmark::Counter(
      bytes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LogAppendPerByte)->Arg(1 << 20)->Arg(100 << 20)->MinTime(0.5)->Unit(benchmark::kNanosecond);

class Collect : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && r.iterations > 0) {
        const auto arg = r.benchmark_name().substr(r.benchmark_name().find('/') + 1);
        g_ns_per_byte[std::stoll(arg)] = r.GetAdjustedRealTime();
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
  const double small = g_ns_per_byte[1 << 20];
  const double large = g_ns_per_byte[100 << 20];
  if (small > 0) {
    std::printf("LogAppend: %.2f ns/byte at 1 MB, %.2f ns/byte at 100 MB, ratio %.2f (target <= 1.5)\n",
                small, large, large / small);
  }
  return 0;
}
