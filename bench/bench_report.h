#pragma once
// The closing lines of every benchmark: one per figure, the project's number,
// the reference's number for the same work and their ratio, so the README's
// table can quote them. The ratio is always project over reference; the unit
// says which way is better (time: lower, rate: higher).
#include <algorithm>
#include <cstdio>
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

}  // namespace BenchReport
