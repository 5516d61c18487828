// GameScript scanner and parser throughput on a generated 50,000-line source,
// against "luac5.4 -p" on a generated Lua source of the same token count, timed
// in the same run. Prints tokens per second of each and the ratio (above 1.0:
// ours is faster).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/gs_bench_support.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Parser.h"

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
  std::string luaPath;
  size_t luaTokens = 0;
  double luaSeconds = 0;  // best of several "luac5.4 -p" runs
};

const Inputs& Data() {
  static const Inputs inputs = [] {
    Inputs in;
    in.gs = MakeGameScript();
    in.gsTokens = CountTokens(in.gs);
    const std::string lua = MakeLua(in.gsTokens);
    in.luaTokens = CountLuaTokens(lua);
    in.luaPath =
        (std::filesystem::temp_directory_path() / Fill("gs_parse_bench_@.lua", int(getpid()))).string();
    std::ofstream(in.luaPath, std::ios::binary) << lua;
    in.luaSeconds = BestCommandSeconds("luac5.4 -p '" + in.luaPath + "'");
    std::filesystem::remove(in.luaPath);
    return in;
  }();
  return inputs;
}

double LuaTokensPerSecond() {
  const Inputs& in = Data();
  return in.luaSeconds > 0 ? double(in.luaTokens) / in.luaSeconds : 0;
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
  if (in.luaSeconds <= 0) {
    state.SkipWithError("luac5.4 -p did not run");
    return;
  }
  for (auto _ : state) state.SetIterationTime(in.luaSeconds);
  state.counters["tokens/s"] = LuaTokensPerSecond();
}

BENCHMARK(BM_LuacParse)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
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
  std::printf("luac5.4 -p: %.3f ms, %.1f M tokens/s\n", in.luaSeconds * 1e3, lua / 1e6);
  std::printf("scan:       %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n", scan * 1e3,
              in.gsTokens / scan / 1e6, (in.gsTokens / scan) / lua);
  std::printf("scan+parse: %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n", parse * 1e3,
              in.gsTokens / parse / 1e6, (in.gsTokens / parse) / lua);
  std::printf("scan+parse, first in the process: %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n",
              first.count() * 1e3, in.gsTokens / first.count() / 1e6, (in.gsTokens / first.count()) / lua);
#ifdef __GLIBC__
  // The tree is about 115 bytes per token of fresh memory, and first touches
  // of fresh pages cost a good part of the time above. For comparison only:
  // the same parse when the freed heap is kept mapped between runs.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  ParseOnce();
  const double warm = BestSeconds(ParseOnce);
  std::printf("scan+parse, heap kept mapped: %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n", warm * 1e3,
              in.gsTokens / warm / 1e6, (in.gsTokens / warm) / lua);
#endif
  return 0;
}
