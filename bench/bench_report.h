#pragma once
// The closing lines of every benchmark: one per figure, the project's number,
// the reference's number for the same work and their ratio, so the README's
// table can quote them. The ratio is always project over reference; the unit
// says which way is better (time: lower, rate: higher).
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern "C" char** environ;

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

// Runs this benchmark program again as a child with the arguments and reads
// what it prints (up to a line's worth); false unless it ended with exit 0.
// childPeakBytes, when given, gets the child's peak resident set.
inline bool RunSelf(std::vector<std::string> args, std::string& output, long* childPeakBytes = nullptr) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, fds[1], 1);
  posix_spawn_file_actions_addclose(&files, fds[0]);
  std::string self = "/proc/self/exe";
  std::vector<char*> argv{self.data()};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const bool started = posix_spawn(&pid, self.c_str(), &files, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&files);
  close(fds[1]);
  char text[256] = {};
  const ssize_t got = started ? read(fds[0], text, sizeof text - 1) : -1;
  close(fds[0]);
  int status = 0;
  rusage usage{};
  if (!started || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return false;
  if (childPeakBytes) *childPeakBytes = long(usage.ru_maxrss) * 1024;
  output.assign(text, got > 0 ? static_cast<size_t>(got) : 0);
  return got > 0;
}

}  // namespace BenchReport
