// Load of the library compiled from the generated 50,000-line GameScript
// source (read the file, check it, verify the code, link, in a fresh script
// machine, then free it all) against Lua 5.4 loading the precompiled chunk of
// the generated Lua of the same token count (read the file, luaL_loadbufferx
// in mode "b" in a fresh state, then close it), timed in the same run with
// the rounds of both interleaved, so that the load of the machine falls on
// both alike. Reading the library file alone is printed as the floor.
#include <lua5.4/lua.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/gs_bench_support.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Machine.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"

namespace {

constexpr int kLines = 50000;
int g_rounds = 15;  // "bench_gs_load N" runs N rounds (for profiling)

template <class Work>
double Time(Work&& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Best(const std::vector<double>& samples) { return *std::min_element(samples.begin(), samples.end()); }

std::string Note(const std::vector<double>& ours, const std::vector<double>& reference) {
  char note[96];
  std::snprintf(note, sizeof note, "(best of %zu; spread %.0f%% / %.0f%%)", ours.size(),
                BenchReport::SpreadPercent(ours), BenchReport::SpreadPercent(reference));
  return note;
}

}  // namespace

int main(int argc, char** argv) {
  int exitCode = 0;
  if (GSBench::MeasureChild(argc, argv, exitCode)) return exitCode;
  if (argc > 1) g_rounds = std::max(1, std::atoi(argv[1]));
  const Kiv::TempFolder temp("gs-load-bench");
  const std::string folder = temp.Root();
  const std::string source = GSBench::GameScriptClasses(kLines);
  // Set-up of the measured data, known to work.
  (void)Kiv::File::WriteWholeFile(folder + "/big.gs", source);
  GSCompiler::CompileLog log;
  if (GSCompiler::CompileFile((folder + "/big.gs").c_str(), (folder + "/").c_str(), {}, &log) != 0) {
    std::printf("the generated source did not compile\n");
    return 1;
  }
  const std::string path = folder + "/big.gsl";
  const int64_t bytes = Kiv::File::FileSize(path);

  // The Lua of the same token count, precompiled by luac.
  const std::string luaPath = folder + "/big.lua", luacPath = folder + "/big.luac";
  const std::string lua = GSBench::LuaClasses(GSBench::CountTokens(source));
  // Set-up of the measured data, known to work.
  (void)Kiv::File::WriteWholeFile(luaPath, lua);
  const GSBench::ProcessRuns luac = GSBench::RunProcess({"luac5.4", "-o", luacPath, luaPath}, 1);
  if (!luac.ok) {
    std::printf("luac5.4 -o could not be run: no figures\n");
    return 1;
  }
  const int64_t luaBytes = Kiv::File::FileSize(luacPath);

  std::size_t classes = 0, functions = 0, checked = 0;
  bool failed = false;
  auto loadOurs = [&] {
    GSRuntime::GSMachine machine;
    machine.RegisterBuiltins();
    GSRuntime::GSLibrary* library =
        machine.AddLibrary(folder, "big.gsl") ? machine.GetLibraryByName("big.gsl") : nullptr;
    failed |= library == nullptr;
    classes = library ? library->ClassCount() : 0;
    functions = checked = 0;
    for (std::size_t i = 0; i < classes; ++i)
      for (const GSRuntime::GSFunction& f : library->ClassAt(i)->Functions()) {
        ++functions;
        checked += f.depthChecked;
      }
  };
  auto loadLua = [&] {
    std::vector<uint8_t> chunk;
    failed |= !Kiv::File::ReadWholeFile(luacPath, chunk);
    lua_State* L = luaL_newstate();
    failed |=
        luaL_loadbufferx(L, reinterpret_cast<const char*>(chunk.data()), chunk.size(), "big", "b") != LUA_OK;
    lua_close(L);
  };
  auto readFile = [&] {
    std::vector<uint8_t> image;
    failed |= !Kiv::File::ReadWholeFile(path, image);
  };

  std::vector<double> ours, reference, read;
  for (int i = 0; i < g_rounds && !failed; ++i) {
    ours.push_back(Time(loadOurs));
    reference.push_back(Time(loadLua));
    read.push_back(Time(readFile));
  }
  if (failed) {
    std::printf("a library or chunk did not load\n");
    return 1;
  }
  std::printf(
      "library: %lld bytes, %zu classes, %zu functions (%zu with every call's depth known); "
      "Lua chunk: %lld bytes\n",
      static_cast<long long>(bytes), classes, functions, checked, static_cast<long long>(luaBytes));
  BenchReport::Figure("gsl load+verify+link vs Lua 5.4 load of the luac chunk", Best(ours) * 1e3,
                      Best(reference) * 1e3, "ms", Note(ours, reference).c_str());
  BenchReport::Figure("gsl load+verify+link vs reading the file", Best(ours) * 1e3, Best(read) * 1e3, "ms",
                      Note(ours, read).c_str());
  return 0;
}
