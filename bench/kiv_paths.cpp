// Path lookups in a folder of 10,000 entries: misses (the name is not there,
// or a folder on the way is missing), hits spelled exactly and in another
// case, and the create-then-remove cycle that adding assets one by one makes.
// Every lookup must stay far below the cost of listing the folder.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "kiv/File.h"

namespace fs = std::filesystem;

namespace {

constexpr int kEntries = 10000;

// One shared tree for the whole run, removed at exit.
const std::string& Root() {
  static const std::string root = [] {
    std::string tmpl = (fs::temp_directory_path() / "kivbenchXXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    fs::create_directories(tmpl + "/Big");
    char name[32];
    for (int i = 0; i < kEntries; ++i) {
      std::snprintf(name, sizeof name, "/Big/Asset_%05d.txt", i);
      std::ofstream(tmpl + name) << "x";
    }
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(Root(), ec);
    });
    return tmpl;
  }();
  return root;
}

void BM_MissInBigFolder(benchmark::State& state) {
  const std::string path = Root() + "/Big/missing_asset.txt";
  for (auto _ : state) benchmark::DoNotOptimize(Kiv::FileExists(path));
  if (Kiv::FileExists(path) != -1) state.SkipWithError("miss was found");
}
BENCHMARK(BM_MissInBigFolder);

void BM_MissBelowBigFolder(benchmark::State& state) {
  const std::string path = Root() + "\\Big\\kuid_1_2\\config.txt";
  for (auto _ : state) benchmark::DoNotOptimize(Kiv::FileExists(path));
  if (Kiv::FileExists(path) != -1) state.SkipWithError("miss was found");
}
BENCHMARK(BM_MissBelowBigFolder);

void BM_HitExactSpelling(benchmark::State& state) {
  const std::string path = Root() + "/Big/Asset_04321.txt";
  for (auto _ : state) benchmark::DoNotOptimize(Kiv::FileExists(path));
  if (Kiv::FileExists(path) != 0) state.SkipWithError("hit was missed");
}
BENCHMARK(BM_HitExactSpelling);

void BM_HitOtherCase(benchmark::State& state) {
  const std::string path = Root() + "/BIG\\asset_04321.TXT";
  for (auto _ : state) benchmark::DoNotOptimize(Kiv::FileExists(path));
  if (Kiv::FileExists(path) != 0) state.SkipWithError("hit was missed");
}
BENCHMARK(BM_HitOtherCase);

// Asset creation: look up a new folder, create it, remove it again.
void BM_CreateAndRemoveFolder(benchmark::State& state) {
  const std::string path = Root() + "/Big/kuid_9_9";
  for (auto _ : state) {
    if (Kiv::FileExists(path) == 0 || !Kiv::File::CreateDirectories(path) || !Kiv::File::Prune(path)) {
      state.SkipWithError(Kiv::File::LastError().c_str());
      break;
    }
  }
}
BENCHMARK(BM_CreateAndRemoveFolder);

}  // namespace

BENCHMARK_MAIN();
