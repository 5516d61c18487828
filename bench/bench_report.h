#pragma once
// The closing lines of every benchmark: one per figure, the project's number,
// the reference's number for the same work and their ratio, so the README's
// table can quote them. The ratio is always project over reference; the unit
// says which way is better (time: lower, rate: higher).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace BenchReport {

// Prints "figure <name>: project <p> <unit>, reference <r> <unit>, ratio <p/r>"
// with an optional note (how it was measured, the spread).
inline void Figure(const char* name, double project, double reference, const char* unit,
                   const char* note = "") {
  std::printf("figure %s: project %.4g %s, reference %.4g %s, ratio %.3f%s%s\n", name, project, unit,
              reference, unit, reference != 0 ? project / reference : 0.0, *note ? " " : "", note);
}

// Spread of repeated measurements, in percent: (slowest - fastest) / fastest.
inline double SpreadPercent(const std::vector<double>& samples) {
  if (samples.empty()) return 0;
  const auto [lo, hi] = std::minmax_element(samples.begin(), samples.end());
  return *lo > 0 ? (*hi - *lo) / *lo * 100.0 : 0.0;
}

// The middle sample (of an even count, the upper of the two middle ones).
inline double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Wall time of one run of work, in seconds.
template <class Work>
double Seconds(Work&& work) {
  const auto t0 = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A resident-set figure of this process from /proc ("VmRSS", "VmHWM"), in
// bytes; -1 when it is not there.
inline long StatusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size()) * 1024;
  return -1;
}

}  // namespace BenchReport
