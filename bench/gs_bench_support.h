#pragma once
// Shared by the GameScript benchmarks: numbered copies of a source template,
// token counts of GameScript and Lua text, and the timing of a reference
// command-line tool.
#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gamescript/compiler/Scanner.h"
#include "kiv/TempFolder.h"

extern char** environ;

namespace GSBench {

// The template with every "@" replaced by the number.
inline std::string Fill(const char* templ, int number) {
  const std::string n = std::to_string(number);
  std::string out;
  for (const char* p = templ; *p; ++p) {
    if (*p == '@')
      out += n;
    else
      out += *p;
  }
  return out;
}

// Numbered copies of a class template of linesPerClass lines, as many as fit
// in totalLines.
inline std::string RepeatClasses(const char* templ, int linesPerClass, int totalLines) {
  std::string s;
  s.reserve(std::size_t(totalLines) * 40);
  int lines = 0;
  for (int c = 0; lines + linesPerClass <= totalLines; ++c) {
    s += Fill(templ, c);
    lines += linesPerClass;
  }
  return s;
}

// The generated GameScript source of the compile and load benchmarks: one
// class per 20 lines, with loops, a switch, calls and string building.
inline std::string GameScriptClasses(int totalLines) {
  return RepeatClasses(
      "class C@ {\n"
      "  public int count = 3;\n"
      "  float ratio = 1.5;\n"
      "  public void Reset(void) { count = 0; ratio = 0.0; }\n"
      "  public int Step(int a, float b) {\n"
      "    int i;\n"
      "    for (i = 0; i < a; i++) {\n"
      "      if (i % 2 == 0 and b > 0.5) count = count + i * 2;\n"
      "      else count = count - 1;\n"
      "    }\n"
      "    switch (a) { case 1: count = 5; break; case 7: count = 2; break; default: break; }\n"
      "    string s = \"value \" + (string)count;\n"
      "    while (ratio > 10.0) ratio = ratio / 2.0;\n"
      "    ratio = ratio * 0.5 + (float)a;\n"
      "    Reset();\n"
      "    // a comment line\n"
      "    return count + s.size();\n"
      "  }\n"
      "};\n"
      "\n",
      20, totalLines);
}

// Tokens the GameScript scanner finds in the text.
inline std::size_t CountTokens(const std::string& text) {
  GSCompiler::Scanner scanner(text.data(), text.size());
  std::size_t n = 0;
  while (scanner.Next() != 0) ++n;
  return n;
}

// Counts Lua tokens: names and keywords, numbers, strings, and operators
// (longest of "...", "..", "==", "~=", "<=", ">=", "//", "::", else one character).
inline std::size_t CountLuaTokens(const std::string& text) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
      while (i < text.size() && text[i] != '\n') ++i;
      continue;
    }
    ++n;
    if (std::isalpha(c) || c == '_') {
      while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) ++i;
    } else if (std::isdigit(c)) {
      while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
    } else if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {}
      ++i;
    } else if (text.compare(i, 3, "...") == 0) {
      i += 3;
    } else {
      static const char* two[] = {"..", "==", "~=", "<=", ">=", "//", "::"};
      std::size_t step = 1;
      for (const char* t : two)
        if (text.compare(i, 2, t) == 0) step = 2;
      i += step;
    }
  }
  return n;
}

// Numbered copies of a Lua template until the text holds at least `tokens`
// tokens (each copy is counted on its own: copies end at a line's end).
inline std::string RepeatLua(const char* templ, std::size_t tokens) {
  std::string s;
  std::size_t n = 0;
  for (int c = 0; n < tokens; ++c) {
    const std::string copy = Fill(templ, c);
    n += CountLuaTokens(copy);
    s += copy;
  }
  return s;
}

// Lua of the same shape as GameScriptClasses, until the token count is reached
// (the reference of the compile and load benchmarks).
inline std::string LuaClasses(std::size_t tokens) {
  return RepeatLua(
      "C@ = { count = 3, ratio = 1.5 }\n"
      "function C@.Step(a, b)\n"
      "  local i = 0\n"
      "  for i = 0, a - 1 do\n"
      "    if i % 2 == 0 and b > 0.5 then C@.count = C@.count + i * 2\n"
      "    else C@.count = C@.count - 1 end\n"
      "  end\n"
      "  if a == 1 then C@.count = 5 elseif a == 7 then C@.count = 2 end\n"
      "  local s = \"value \" .. tostring(C@.count)\n"
      "  while C@.ratio > 10.0 do C@.ratio = C@.ratio / 2.0 end\n"
      "  C@.ratio = C@.ratio * 0.5 + a\n"
      "  C@.Reset()\n"
      "  -- a comment line\n"
      "  return C@.count + #s\n"
      "end\n"
      "function C@.Reset() C@.count = 0 C@.ratio = 0.0 end\n",
      tokens);
}

// Best time of five runs of work, in seconds.
template <class Work>
double BestSeconds(Work work) {
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

// Best time of five runs of a shell command, in seconds; 0 when a run fails
// (the reference tool is missing or rejected its input).
inline double BestCommandSeconds(const std::string& command) {
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (rc != 0) return 0;
    best = std::min(best, took.count());
  }
  return best;
}

// Runs of a whole program: wall time of each run and the largest resident
// set of any.
struct ProcessRuns {
  std::vector<double> seconds;
  std::vector<double> cpuSeconds;  // user and system time of each run
  long peakBytes = 0;
  bool ok = true;  // every run started and exited with 0

  double Best() const { return seconds.empty() ? 0 : *std::min_element(seconds.begin(), seconds.end()); }
  // On a loaded machine the processor time varies far less than the wall time.
  double BestCpu() const {
    return cpuSeconds.empty() ? 0 : *std::min_element(cpuSeconds.begin(), cpuSeconds.end());
  }
};

// Starts the program (looked up in PATH), standard output and error to
// /dev/null, and waits for it: its wall time, its processor time (user and
// system) and the kernel's account of its peak resident set. False when it
// did not start or did not exit with 0.
inline bool SpawnAndWait(char** argv, double& seconds, long& peakBytes, double& cpuSeconds) {
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const bool started = posix_spawnp(&pid, argv[0], &files, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&files);
  int status = 0;
  rusage usage{};
  if (!started || wait4(pid, &status, 0, &usage) != pid) return false;
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  peakBytes = long(usage.ru_maxrss) * 1024;
  cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A child started from a large process is charged that process's resident
// set at its start, so the programs are started through a fresh copy of this
// small benchmark program ("--measure-child <result file> <program> <args>"),
// which writes "<seconds> <peak bytes> <ok> <processor seconds>". Call first thing in main: true
// (with the exit code) when this is such a run.
inline bool MeasureChild(int argc, char** argv, int& exitCode) {
  if (argc < 4 || std::string(argv[1]) != "--measure-child") return false;
  double seconds = 0, cpu = 0;
  long peak = 0;
  const bool ok = SpawnAndWait(argv + 3, seconds, peak, cpu);
  if (std::FILE* out = std::fopen(argv[2], "w")) {
    std::fprintf(out, "%.9f %ld %d %.6f\n", seconds, peak, ok ? 1 : 0, cpu);
    std::fclose(out);
  }
  exitCode = ok ? 0 : 1;
  return true;
}

// The folder of this program (where the other programs of the build are).
inline std::string ProgramPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, std::size_t(n)) : std::string();
}
inline std::string ProgramFolder() {
  const std::string p = ProgramPath();
  return p.empty() ? "." : p.substr(0, p.rfind('/'));
}

// Runs the program `runs` times through MeasureChild of this program.
inline ProcessRuns RunProcess(const std::vector<std::string>& args, int runs) {
  ProcessRuns result;
  const Kiv::TempFolder temp("gs_bench_child");
  const std::string resultFile = temp.Path("result");
  std::vector<std::string> all = {ProgramPath(), "--measure-child", resultFile};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (int i = 0; i < runs && result.ok; ++i) {
    double ignored = 0, ignoredCpu = 0;
    long ignoredPeak = 0;
    std::remove(resultFile.c_str());
    SpawnAndWait(argv.data(), ignored, ignoredPeak, ignoredCpu);
    double seconds = 0, cpu = 0;
    long peak = 0;
    int ok = 0;
    std::FILE* in = std::fopen(resultFile.c_str(), "r");
    if (!in || std::fscanf(in, "%lf %ld %d %lf", &seconds, &peak, &ok, &cpu) != 4 || !ok) result.ok = false;
    if (in) std::fclose(in);
    if (!result.ok) break;
    result.seconds.push_back(seconds);
    result.cpuSeconds.push_back(cpu);
    result.peakBytes = std::max(result.peakBytes, peak);
  }
  return result;
}

}  // namespace GSBench
