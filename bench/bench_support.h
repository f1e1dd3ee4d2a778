// Helpers shared by the benchmark programs.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

// Files go to the build's scratch folder; MX_BENCH_DIR points them elsewhere
// (a tmpfs, to take the disk out of the comparison).
inline std::string bench_path(const char* name) {
  const char* dir = std::getenv("MX_BENCH_DIR");
  return std::string(dir != nullptr && dir[0] != 0 ? dir : MX_BENCH_TMP_DIR) + "/" + name;
}

// With --benchmark_repetitions: the fastest and the slowest run as well as the
// mean and median; the machine's other work only ever adds time, so the
// fastest run is the one least disturbed.
inline void add_spread(benchmark::internal::Benchmark* b) {
  b->ComputeStatistics(
      "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
  b->ComputeStatistics(
      "max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); });
}

// Wall seconds of one call of f.
template <class F>
double seconds_of(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double median_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A paired comparison: every iteration runs ours and the yardstick, each
// returning the wall seconds of its timed part (negative: it failed), so that
// a change in the machine's load touches both alike; which of the two goes
// first alternates, so that neither always inherits what the other left
// (freed pages, a warm cache). The iteration's time is
// ours (register with UseManualTime); the counters give both medians and the
// median of the per-iteration ratios yardstick / ours (above 1: ours is
// faster), with their least and largest value.
//
// Which of the two goes first can move a pair's ratio by several hundredths
// (on a virtual machine writing whole files into a tmpfs, mostly against the
// second of the pair, in some runs against the first), so the median of all
// pairs falls on one side or the other. The counters ours_first and
// yardstick_first give the median ratio of each order, and order_balanced
// their geometric mean, in which that effect cancels.
template <class Ours, class Yardstick>
void run_paired(benchmark::State& state, Ours&& ours, Yardstick&& yardstick) {
  std::vector<double> ours_s, yard_s, ratios, ours_first_ratios, yard_first_ratios;
  bool ours_first = true;
  for (auto _ : state) {
    double a, b;
    if (ours_first) {
      a = ours();
      b = yardstick();
    } else {
      b = yardstick();
      a = ours();
    }
    if (a <= 0 || b <= 0) {
      state.SkipWithError("a write failed");
      return;
    }
    state.SetIterationTime(a);
    ours_s.push_back(a);
    yard_s.push_back(b);
    ratios.push_back(b / a);
    (ours_first ? ours_first_ratios : yard_first_ratios).push_back(b / a);
    ours_first = !ours_first;
  }
  state.counters["ours_ms"] = median_of(ours_s) * 1e3;
  state.counters["yardstick_ms"] = median_of(yard_s) * 1e3;
  state.counters["speed_vs_yardstick"] = median_of(ratios);
  state.counters["ratio_min"] = *std::min_element(ratios.begin(), ratios.end());
  state.counters["ratio_max"] = *std::max_element(ratios.begin(), ratios.end());
  const double by_ours_first = median_of(ours_first_ratios);
  const double by_yardstick_first = median_of(yard_first_ratios);
  state.counters["ours_first"] = by_ours_first;
  state.counters["yardstick_first"] = by_yardstick_first;
  state.counters["order_balanced"] = std::sqrt(by_ours_first * by_yardstick_first);
}
