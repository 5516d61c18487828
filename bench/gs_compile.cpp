// Whole GameScript compile (read, scan, parse, check, generate, write the
// library) against "luac5.4 -o" on generated Lua of the same token count.
// Measured three ways, each printed in tokens per second (above 1.0: ours is
// faster) with the spread of the runs:
// - in this process: the first compile (fresh pages, as a one-shot compile
//   meets them) and the best of several warm ones, against luac's whole
//   process, which is the only form it has (its start-up is about a
//   millisecond);
// - as whole processes: "rovanautil compile" against "luac5.4 -o", at
//   50,000 and 500,000 lines, each paying its own start-up, with the peak
//   resident set of both;
// - one class of 30,000 functions (the per-class lookups), in the process
//   and as whole processes.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "bench/bench_report.h"
#include "bench/gs_bench_support.h"
#include "gamescript/compiler/Driver.h"
#include "kiv/Memory.h"
#include "kiv/TempFolder.h"

namespace {

using namespace GSBench;
using BenchReport::StatusBytes;
namespace fs = std::filesystem;

constexpr int kLines = 50000;
constexpr int kBigLines = 500000;
constexpr int kBigClassFunctions = 30000;  // a class's slots must fit 15 bits
constexpr int kProcessRuns = 5;

// One class of many functions, each calling itself.
std::string MakeBigClass() {
  std::string s = "class Big {\n  public int total = 0;\n";
  for (int i = 0; i < kBigClassFunctions; ++i)
    s += Fill("  public int F@(int a) { total = total + a; return F@(a - 1) + @; }\n", i);
  return s + "};\n";
}

std::string MakeBigClassLua(size_t tokens) {
  return "Big = { total = 0 }\n" +
         RepeatLua("function Big.F@(a) Big.total = Big.total + a return Big.F@(a - 1) + @ end\n", tokens);
}

// A GameScript source and the Lua source of the same token count, as files.
struct Pair {
  std::string name;
  std::string gsPath, luaPath, luacPath;
  size_t gsBytes = 0, gsTokens = 0, luaTokens = 0;
};

Pair MakePair(const fs::path& folder, const std::string& name, const std::string& gs,
              std::string (*lua)(size_t)) {
  Pair p;
  p.name = name;
  p.gsBytes = gs.size();
  p.gsTokens = CountTokens(gs);
  p.gsPath = (folder / (name + ".gs")).string();
  std::ofstream(p.gsPath, std::ios::binary) << gs;
  const std::string luaText = lua(p.gsTokens);
  p.luaTokens = CountLuaTokens(luaText);
  p.luaPath = (folder / (name + ".lua")).string();
  p.luacPath = (folder / (name + ".luac")).string();
  std::ofstream(p.luaPath, std::ios::binary) << luaText;
  return p;
}

struct Inputs {
  fs::path folder;
  Pair lines50k, lines500k, bigClass;
};

const Inputs& Data() {
  static const Kiv::TempFolder temp("gs-compile-bench");  // removed at exit
  static const Inputs inputs = [] {
    Inputs in;
    in.folder = temp.Root();
    in.lines50k = MakePair(in.folder, "lines50k", GameScriptClasses(kLines), LuaClasses);
    in.lines500k = MakePair(in.folder, "lines500k", GameScriptClasses(kBigLines), LuaClasses);
    in.bigClass = MakePair(in.folder, "bigclass", MakeBigClass(), MakeBigClassLua);
    return in;
  }();
  return inputs;
}

int CompileOnce(const Pair& p) {
  GSCompiler::ClearIncludePaths();
  GSCompiler::AppendIncludePath({Kiv::File::Path(Data().folder.string()), {}});
  GSCompiler::CompileLog log;
  const std::string source = p.name + ".gs";
  const std::string library = (Data().folder / (p.name + ".gsl")).string();
  const int errors = GSCompiler::CompileToFile(source.c_str(), library.c_str(), &log);
  GSCompiler::ClearIncludePaths();
  if (errors != 0)
    for (std::size_t i = 0; i < log.Count() && i < 5; ++i) std::fprintf(stderr, "%s\n", log.At(i));
  return errors;
}

void BM_Compile(benchmark::State& state) {
  const Pair& p = Data().lines50k;
  for (auto _ : state)
    if (CompileOnce(p) != 0) state.SkipWithError("generated source did not compile");
  state.counters["tokens/s"] =
      benchmark::Counter(double(p.gsTokens), benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.gsBytes));
}
// The compile runs on the parser's own stack thread: every thread's time counts.
BENCHMARK(BM_Compile)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// Processor time of this process (every thread: the compile runs on its
// parser's own stack thread).
double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

template <class Work>
std::vector<double> CpuSamples(int runs, Work work) {
  std::vector<double> seconds;
  for (int i = 0; i < runs; ++i) {
    const double start = ProcessCpuSeconds();
    work();
    seconds.push_back(ProcessCpuSeconds() - start);
  }
  return seconds;
}

template <class Work>
std::vector<double> Samples(int runs, Work work) {
  std::vector<double> seconds;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return seconds;
}

double Best(const std::vector<double>& s) { return *std::min_element(s.begin(), s.end()); }

std::string Note(const std::vector<double>& ours, const std::vector<double>& theirs) {
  char text[160];
  std::snprintf(text, sizeof text, "(best of %zu / %zu runs; spread %.0f%% / %.0f%%)", ours.size(),
                theirs.size(), BenchReport::SpreadPercent(ours), BenchReport::SpreadPercent(theirs));
  return text;
}

struct ProcessFigures {
  ProcessRuns ours, luac;
};

ProcessFigures RunBoth(const Pair& p) {
  const std::string tool = ProgramFolder() + "/rovanautil";
  return {RunProcess({tool, "compile", p.gsPath, "-s"}, kProcessRuns),
          RunProcess({"luac5.4", "-o", p.luacPath, p.luaPath}, kProcessRuns)};
}

}  // namespace

int main(int argc, char** argv) {
  if (int code = 0; GSBench::MeasureChild(argc, argv, code)) return code;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const Inputs& in = Data();
  // The heap as "rovanautil compile" sets its own up, so the compiles in this
  // process run as they do in the tool's. The memory the sources were made in
  // goes back first: the first compile meets fresh pages, as a one-shot
  // compile does, and its peak below is its own.
  malloc_trim(0);
  Kiv::PrepareHeapForRounds(true);

  // The first compile of the process, with its peak memory: reset the
  // high-water mark, compile, read it.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const long before = StatusBytes("VmRSS");
  const auto firstStart = std::chrono::steady_clock::now();
  const int errors = CompileOnce(in.lines50k);
  const double first = std::chrono::duration<double>(std::chrono::steady_clock::now() - firstStart).count();
  const long peak = StatusBytes("VmHWM");

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const std::vector<double> warm = Samples(5, [&] { CompileOnce(in.lines50k); });
  const std::vector<double> warmCpu = CpuSamples(5, [&] { CompileOnce(in.lines50k); });
  const std::vector<double> bigClassWarm = Samples(3, [&] { CompileOnce(in.bigClass); });
  const ProcessFigures p50k = RunBoth(in.lines50k);
  const ProcessFigures p500k = RunBoth(in.lines500k);
  const ProcessFigures pBig = RunBoth(in.bigClass);

  for (const Pair* p : {&in.lines50k, &in.lines500k, &in.bigClass})
    std::printf("%s: GameScript %zu bytes, %zu tokens; Lua %zu tokens\n", p->name.c_str(), p->gsBytes,
                p->gsTokens, p->luaTokens);
  std::printf("peak memory of the first compile in this process: %.1f MB, %.2fx the source\n",
              double(peak - before) / 1e6, double(peak - before) / double(in.lines50k.gsBytes));
  if (errors != 0 || !p50k.ours.ok || !p500k.ours.ok || !pBig.ours.ok) {
    std::printf("a generated source did not compile: no figures\n");
  } else if (!p50k.luac.ok || !p500k.luac.ok || !pBig.luac.ok) {
    std::printf("luac5.4 -o could not be run: no figures\n");
  } else {
    const auto rate = [](const Pair& p, double ours, double luac, double& project, double& reference) {
      project = double(p.gsTokens) / ours / 1e6;
      reference = double(p.luaTokens) / luac / 1e6;
    };
    double project, reference;
    const Pair& a = in.lines50k;
    rate(a, Best(warm), p50k.luac.Best(), project, reference);
    BenchReport::Figure("compile 50k lines in the process, warm", project, reference, "M tokens/s",
                        Note(warm, p50k.luac.seconds).c_str());
    // The same by processor time, which the load of other processes on the
    // machine disturbs far less than the wall time.
    rate(a, Best(warmCpu), p50k.luac.BestCpu(), project, reference);
    BenchReport::Figure("compile 50k lines in the process, warm, processor time", project, reference,
                        "M tokens/s", Note(warmCpu, p50k.luac.cpuSeconds).c_str());
    rate(a, first, p50k.luac.Best(), project, reference);
    BenchReport::Figure("compile 50k lines in the process, first", project, reference, "M tokens/s",
                        "(one run each side)");
    rate(a, p50k.ours.Best(), p50k.luac.Best(), project, reference);
    BenchReport::Figure("compile 50k lines, whole processes", project, reference, "M tokens/s",
                        Note(p50k.ours.seconds, p50k.luac.seconds).c_str());
    rate(a, p50k.ours.BestCpu(), p50k.luac.BestCpu(), project, reference);
    BenchReport::Figure("compile 50k lines, whole processes, processor time", project, reference,
                        "M tokens/s", Note(p50k.ours.cpuSeconds, p50k.luac.cpuSeconds).c_str());
    rate(in.lines500k, p500k.ours.Best(), p500k.luac.Best(), project, reference);
    BenchReport::Figure("compile 500k lines, whole processes", project, reference, "M tokens/s",
                        Note(p500k.ours.seconds, p500k.luac.seconds).c_str());
    rate(in.lines500k, p500k.ours.BestCpu(), p500k.luac.BestCpu(), project, reference);
    BenchReport::Figure("compile 500k lines, whole processes, processor time", project, reference,
                        "M tokens/s", Note(p500k.ours.cpuSeconds, p500k.luac.cpuSeconds).c_str());
    rate(in.bigClass, Best(bigClassWarm), pBig.luac.Best(), project, reference);
    BenchReport::Figure("compile one class of 30k functions in the process", project, reference, "M tokens/s",
                        Note(bigClassWarm, pBig.luac.seconds).c_str());
    rate(in.bigClass, pBig.ours.Best(), pBig.luac.Best(), project, reference);
    BenchReport::Figure("compile one class of 30k functions, whole processes", project, reference,
                        "M tokens/s", Note(pBig.ours.seconds, pBig.luac.seconds).c_str());
    for (const auto& [pair, figures] : {std::pair{&in.lines50k, &p50k}, std::pair{&in.lines500k, &p500k}}) {
      char name[96], note[96];
      std::snprintf(name, sizeof name, "peak memory of a whole compile, %s", pair->name.c_str());
      std::snprintf(note, sizeof note, "(ours %.1fx its source; target <= 8x)",
                    double(figures->ours.peakBytes) / double(pair->gsBytes));
      BenchReport::Figure(name, double(figures->ours.peakBytes) / 1e6, double(figures->luac.peakBytes) / 1e6,
                          "MB", note);
    }
  }
  return 0;
}
