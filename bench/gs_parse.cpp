// GameScript scanner and parser throughput on a generated 50,000-line source,
// against "luac5.4 -p" on a generated Lua source of the same token count.
// Note that "luac -p" still generates byte code (it only skips writing it):
// the reference does more work than a parse, so the ratio compares our parse
// with luac's whole compile. Measured in this process (the first parse and
// the best of several warm ones) and as whole processes: this program with
// "--parse-file <source>" (read and parse one file, then exit) against
// "luac5.4 -p", each paying its own start-up, with the peak resident set of
// both. Prints tokens per second of each and the ratio (above 1.0: ours is
// faster).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/bench_report.h"
#include "bench/gs_bench_support.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Parser.h"
#include "kiv/TempFolder.h"

namespace {

using namespace GSBench;

constexpr int kLines = 50000;

// One class per 16 lines.
std::string MakeGameScript() {
  return RepeatClasses(
      "class C@ {\n"
      "  public int count = 3;\n"
      "  float ratio = 1.5;\n"
      "  public int Step(int a, float b) {\n"
      "    int i;\n"
      "    for (i = 0; i < a; i++) {\n"
      "      if (i % 2 == 0 and b > 0.5) count = count + i * 2;\n"
      "      else count = count - 1;\n"
      "    }\n"
      "    string s = \"value \" + (string)count;\n"
      "    ratio = ratio * 0.5 + (float)a;\n"
      "    // a comment line\n"
      "    return count;\n"
      "  }\n"
      "  public void Reset(void) { count = 0; ratio = 0.0; }\n"
      "};\n",
      16, kLines);
}

// Lua functions of the same shape as the classes above, until the token count
// reaches `tokens`.
std::string MakeLua(size_t tokens) {
  return RepeatLua(
      "C@ = { count = 3, ratio = 1.5 }\n"
      "function C@.Step(a, b)\n"
      "  local i = 0\n"
      "  for i = 0, a - 1 do\n"
      "    if i % 2 == 0 and b > 0.5 then C@.count = C@.count + i * 2\n"
      "    else C@.count = C@.count - 1 end\n"
      "  end\n"
      "  local s = \"value \" .. tostring(C@.count)\n"
      "  C@.ratio = C@.ratio * 0.5 + a\n"
      "  -- a comment line\n"
      "  return C@.count\n"
      "end\n"
      "function C@.Reset() C@.count = 0 C@.ratio = 0.0 end\n",
      tokens);
}

struct Inputs {
  std::string gs;
  size_t gsTokens = 0;
  std::string gsPath, luaPath;
  size_t luaTokens = 0;
  ProcessRuns ours, luac;  // whole processes
};

const Inputs& Data() {
  static const Inputs inputs = [] {
    Inputs in;
    in.gs = MakeGameScript();
    in.gsTokens = CountTokens(in.gs);
    const std::string lua = MakeLua(in.gsTokens);
    in.luaTokens = CountLuaTokens(lua);
    const Kiv::TempFolder temp("gs-parse-bench");
    in.luaPath = temp.Write("big.lua", lua);
    in.gsPath = temp.Write("big.gs", in.gs);
    in.luac = RunProcess({"luac5.4", "-p", in.luaPath}, 5);
    in.ours = RunProcess({ProgramPath(), "--parse-file", in.gsPath}, 5);
    return in;
  }();
  return inputs;
}

// "--parse-file <source>": reads and parses the file once; 0 when it parsed.
int ParseFileMain(const char* path) {
  std::ifstream file(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  GSCompiler::ParseContext context;
  context.Reset(nullptr, nullptr);
  GSCompiler::Scanner scanner(text.data(), text.size());
  return GSCompiler::Parse(scanner, context) == 0 && !text.empty() ? 0 : 1;
}

double LuaTokensPerSecond() {
  const Inputs& in = Data();
  return in.luac.ok && in.luac.Best() > 0 ? double(in.luaTokens) / in.luac.Best() : 0;
}

void Report(benchmark::State& state, size_t tokens) {
  state.counters["tokens/s"] =
      benchmark::Counter(double(tokens), benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Data().gs.size()));
}

void BM_Scan(benchmark::State& state) {
  const Inputs& in = Data();
  for (auto _ : state) benchmark::DoNotOptimize(CountTokens(in.gs));
  Report(state, in.gsTokens);
}

void BM_Parse(benchmark::State& state) {
  const Inputs& in = Data();
  for (auto _ : state) {
    GSCompiler::ParseContext context;
    context.Reset(nullptr, nullptr);
    GSCompiler::Scanner scanner(in.gs.data(), in.gs.size());
    if (GSCompiler::Parse(scanner, context) != 0) state.SkipWithError("generated source did not parse");
    benchmark::DoNotOptimize(context.declarations);
  }
  Report(state, in.gsTokens);
}

void BM_LuacParse(benchmark::State& state) {
  const Inputs& in = Data();
  if (LuaTokensPerSecond() <= 0) {
    state.SkipWithError("luac5.4 -p did not run");
    return;
  }
  for (auto _ : state) state.SetIterationTime(in.luac.Best());
  state.counters["tokens/s"] = LuaTokensPerSecond();
}

BENCHMARK(BM_LuacParse)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (int code = 0; GSBench::MeasureChild(argc, argv, code)) return code;
  if (argc == 3 && std::string(argv[1]) == "--parse-file") return ParseFileMain(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const Inputs& in = Data();
  const auto ParseOnce = [&] {
    GSCompiler::ParseContext context;
    context.Reset(nullptr, nullptr);
    GSCompiler::Scanner scanner(in.gs.data(), in.gs.size());
    benchmark::DoNotOptimize(GSCompiler::Parse(scanner, context));
  };
  // The first parse of the process, before any tree was freed: every page
  // of the tree is fresh, as in a one-shot compile.
  const auto firstStart = std::chrono::steady_clock::now();
  ParseOnce();
  const std::chrono::duration<double> first = std::chrono::steady_clock::now() - firstStart;

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const double scan = BestSeconds([&] { benchmark::DoNotOptimize(CountTokens(in.gs)); });
  const double parse = BestSeconds(ParseOnce);
  const double lua = LuaTokensPerSecond();
  std::printf("GameScript source: %d lines, %zu tokens; Lua source: %zu tokens\n", kLines, in.gsTokens,
              in.luaTokens);
  if (lua <= 0) {
    std::printf("luac5.4 -p could not be run: no ratio\n");
    return 0;
  }
  const double luac = in.luac.Best();
  std::printf("luac5.4 -p (it still generates byte code): %.3f ms, %.1f M tokens/s\n", luac * 1e3, lua / 1e6);
  std::printf("scan:       %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n", scan * 1e3,
              in.gsTokens / scan / 1e6, (in.gsTokens / scan) / lua);
#ifdef __GLIBC__
  // For comparison only: the same parse when the freed heap is kept mapped
  // between runs (first touches of fresh pages are a good part of a parse).
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  ParseOnce();
  const double kept = BestSeconds(ParseOnce);
  std::printf("scan+parse, heap kept mapped: %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n", kept * 1e3,
              in.gsTokens / kept / 1e6, (in.gsTokens / kept) / lua);
#endif
  if (!in.ours.ok) {
    std::printf("the generated source did not parse in its own process: no whole-process figures\n");
    return 0;
  }
  char note[128];
  std::snprintf(note, sizeof note, "(best of 5; luac -p also generates byte code)");
  BenchReport::Figure("scan+parse 50k lines in the process, warm", in.gsTokens / parse / 1e6, lua / 1e6,
                      "M tokens/s", note);
  BenchReport::Figure("scan+parse 50k lines in the process, first", in.gsTokens / first.count() / 1e6,
                      lua / 1e6, "M tokens/s", "(one run; luac -p also generates byte code)");
  std::snprintf(note, sizeof note,
                "(best of 5 / 5 runs; spread %.0f%% / %.0f%%; luac -p also generates byte code)",
                BenchReport::SpreadPercent(in.ours.seconds), BenchReport::SpreadPercent(in.luac.seconds));
  BenchReport::Figure("scan+parse 50k lines, whole processes", in.gsTokens / in.ours.Best() / 1e6,
                      in.luaTokens / luac / 1e6, "M tokens/s", note);
  BenchReport::Figure("peak memory of a whole parse, 50k lines", double(in.ours.peakBytes) / 1e6,
                      double(in.luac.peakBytes) / 1e6, "MB");
  return 0;
}
