// One row of the benchmark table, for bench/table.sh to collect:
//   BENCH|figure|value|baseline|ratio|target|pass-or-miss
// The baseline is measured in the same run; a figure without one (or
// without a target) shows "-" there.
#pragma once

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

inline void BenchRow(const std::string& Figure, double Value, const std::string& Unit,
                     std::optional<double> Baseline, const std::string& Target,
                     std::optional<bool> Pass) {
  const auto text = [&](double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, std::fabs(v) >= 100 || v == std::floor(v) ? "%.0f" : "%.3g", v);
    return std::string(buf) + (Unit.empty() ? "" : " " + Unit);
  };
  std::string ratio = "-";
  if (Baseline && *Baseline != 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", Value / *Baseline);
    ratio = buf;
  }
  std::printf("BENCH|%s|%s|%s|%s|%s|%s\n", Figure.c_str(), text(Value).c_str(),
              Baseline ? text(*Baseline).c_str() : "-", ratio.c_str(),
              Target.empty() ? "-" : Target.c_str(),
              !Pass   ? "-"
              : *Pass ? "pass"
                      : "miss");
  std::fflush(stdout);
}
