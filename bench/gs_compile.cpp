// Whole GameScript compile (read, scan, parse, check, generate, write the
// library) of a generated 50,000-line source, against "luac5.4 -o" on a
// generated Lua source of the same token count, timed in the same run. Prints
// tokens per second of each, the ratio (above 1.0: ours is faster) and the
// peak memory of one compile relative to the source size.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "bench/gs_bench_support.h"
#include "gamescript/compiler/Driver.h"

namespace {

using namespace GSBench;

constexpr int kLines = 50000;
namespace fs = std::filesystem;

// Lua of the same shape as the classes above, until the token count is reached.
std::string MakeLua(size_t tokens) {
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

struct Inputs {
  fs::path folder;
  std::string gsPath, gslPath;
  size_t gsBytes = 0, gsTokens = 0, luaTokens = 0;
  double luaSeconds = 0;  // best of several "luac5.4 -o" runs
};

const Inputs& Data() {
  static const Inputs inputs = [] {
    Inputs in;
    in.folder = fs::temp_directory_path() / Fill("gs_compile_bench_@", int(getpid()));
    fs::create_directories(in.folder);
    const std::string gs = GameScriptClasses(kLines);
    in.gsBytes = gs.size();
    in.gsTokens = CountTokens(gs);
    in.gsPath = (in.folder / "big.gs").string();
    in.gslPath = (in.folder / "big.gsl").string();
    std::ofstream(in.gsPath, std::ios::binary) << gs;
    const std::string lua = MakeLua(in.gsTokens);
    in.luaTokens = CountLuaTokens(lua);
    const std::string luaPath = (in.folder / "big.lua").string();
    std::ofstream(luaPath, std::ios::binary) << lua;
    in.luaSeconds =
        BestCommandSeconds("luac5.4 -o '" + (in.folder / "big.luac").string() + "' '" + luaPath + "'");
    return in;
  }();
  return inputs;
}

int CompileOnce() {
  const Inputs& in = Data();
  GSCompiler::ClearIncludePaths();
  GSCompiler::AppendIncludePath({Kiv::File::Path(in.folder.string()), {}});
  GSCompiler::CompileLog log;
  const int errors = GSCompiler::CompileToFile("big.gs", in.gslPath.c_str(), &log);
  GSCompiler::ClearIncludePaths();
  if (errors != 0)
    for (std::size_t i = 0; i < log.Count() && i < 5; ++i) std::fprintf(stderr, "%s\n", log.At(i));
  return errors;
}

void BM_Compile(benchmark::State& state) {
  const Inputs& in = Data();
  for (auto _ : state)
    if (CompileOnce() != 0) state.SkipWithError("generated source did not compile");
  state.counters["tokens/s"] =
      benchmark::Counter(double(in.gsTokens), benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.gsBytes));
}

void BM_LuacCompile(benchmark::State& state) {
  const Inputs& in = Data();
  if (in.luaSeconds <= 0) {
    state.SkipWithError("luac5.4 -o did not run");
    return;
  }
  for (auto _ : state) state.SetIterationTime(in.luaSeconds);
  state.counters["tokens/s"] = double(in.luaTokens) / in.luaSeconds;
}

BENCHMARK(BM_LuacCompile)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Compile)->Unit(benchmark::kMillisecond);

// Resident-set figures of this process from /proc, in bytes.
long StatusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size()) * 1024;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const Inputs& in = Data();
  // Peak memory of one compile: reset the high-water mark, compile, read it.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const long before = StatusBytes("VmRSS");
  const int errors = CompileOnce();
  const long peak = StatusBytes("VmHWM");

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const double best = BestSeconds(CompileOnce);
  std::printf("GameScript source: %d lines, %zu bytes, %zu tokens, %d errors; Lua source: %zu tokens\n",
              kLines, in.gsBytes, in.gsTokens, errors, in.luaTokens);
  if (before > 0 && peak > 0)
    std::printf("peak memory of one compile: %.1f MB, %.2fx the source\n", double(peak - before) / 1e6,
                double(peak - before) / double(in.gsBytes));
  if (errors != 0) {
    std::printf("the generated source did not compile: no ratio\n");
  } else if (in.luaSeconds > 0) {
    const double ours = double(in.gsTokens) / best;
    const double lua = double(in.luaTokens) / in.luaSeconds;
    std::printf("luac5.4 -o: %.3f ms, %.1f M tokens/s\n", in.luaSeconds * 1e3, lua / 1e6);
    std::printf("compile:    %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n", best * 1e3, ours / 1e6,
                ours / lua);
  } else {
    std::printf("luac5.4 -o could not be run: no ratio\n");
  }
  std::error_code ec;
  fs::remove_all(in.folder, ec);
  return 0;
}
