// Path lookups in a folder of 10,000 entries: misses (the name is not there,
// or a folder on the way is missing), hits spelled exactly and in another
// case, and the create-then-remove cycle that adding assets one by one makes.
// The references do the same work with plain system calls: a stat for a
// lookup spelled as on disk, mkdir and rmdir for the cycle, and a listing of
// the folder for what needs every name compared without regard to case (a
// hit in another case, and a miss, which no spelling may answer). A miss is
// also set against a stat, the least any lookup costs. The folder is
// removed at the end.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"

namespace {

constexpr int kEntries = 10000;

std::unique_ptr<Kiv::TempFolder> g_temp;  // the folder this run made
std::string g_root;

void MakeTree() {
  g_temp = std::make_unique<Kiv::TempFolder>("kivbench");
  g_root = g_temp->Root();
  if (g_root.empty()) std::abort();
  if (!Kiv::File::CreateDirectories(g_root + "/Big")) std::abort();
  char name[32];
  for (int i = 0; i < kEntries; ++i) {
    std::snprintf(name, sizeof name, "/Big/Asset_%05d.txt", i);
    if (!Kiv::File::WriteWholeFile(g_root + name, "x")) std::abort();
  }
}

bool PlainStat(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Lists the folder and compares each name without regard to case.
bool ListingFinds(const std::string& folder, const char* name) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return false;
  bool found = false;
  while (const dirent* e = ::readdir(dir))
    if (::strcasecmp(e->d_name, name) == 0) found = true;
  ::closedir(dir);
  return found;
}

void BM_MissInBigFolder(benchmark::State& state) {
  const std::string path = g_root + "/Big/missing_asset.txt";
  for (auto _ : state) benchmark::DoNotOptimize(Kiv::FileExists(path));
  if (Kiv::FileExists(path) != -1) state.SkipWithError("miss was found");
}
BENCHMARK(BM_MissInBigFolder);

void BM_MissBelowBigFolder(benchmark::State& state) {
  const std::string path = g_root + "\\Big\\kuid_1_2\\config.txt";
  for (auto _ : state) benchmark::DoNotOptimize(Kiv::FileExists(path));
  if (Kiv::FileExists(path) != -1) state.SkipWithError("miss was found");
}
BENCHMARK(BM_MissBelowBigFolder);

void BM_HitExactSpelling(benchmark::State& state) {
  const std::string path = g_root + "/Big/Asset_04321.txt";
  for (auto _ : state) benchmark::DoNotOptimize(Kiv::FileExists(path));
  if (Kiv::FileExists(path) != 0) state.SkipWithError("hit was missed");
}
BENCHMARK(BM_HitExactSpelling);

void BM_HitOtherCase(benchmark::State& state) {
  const std::string path = g_root + "/BIG\\asset_04321.TXT";
  for (auto _ : state) benchmark::DoNotOptimize(Kiv::FileExists(path));
  if (Kiv::FileExists(path) != 0) state.SkipWithError("hit was missed");
}
BENCHMARK(BM_HitOtherCase);

// Asset creation: look up a new folder, create it, remove it again.
void BM_CreateAndRemoveFolder(benchmark::State& state) {
  const std::string path = g_root + "/Big/kuid_9_9";
  for (auto _ : state) {
    if (Kiv::FileExists(path) == 0 || !Kiv::File::CreateDirectories(path) || !Kiv::File::Prune(path)) {
      state.SkipWithError(Kiv::File::LastError().c_str());
      break;
    }
  }
}
BENCHMARK(BM_CreateAndRemoveFolder);

// Nanoseconds per call of work: the best of five blocks of n calls, and the
// spread of the blocks. Aborts when work gives the wrong answer.
struct Timed {
  double best = 0;
  double spread = 0;
};

template <class Work>
Timed NanosPerCall(int n, Work work) {
  std::vector<double> blocks;
  for (int b = 0; b < 5; ++b) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i)
      if (!work()) std::abort();
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    blocks.push_back(took.count() / n);
  }
  return {*std::min_element(blocks.begin(), blocks.end()), BenchReport::SpreadPercent(blocks)};
}

void Figure(const char* name, const Timed& ours, const Timed& reference) {
  char note[80];
  std::snprintf(note, sizeof note, "(best of 5 blocks; spread %.0f%% ours, %.0f%% reference)", ours.spread,
                reference.spread);
  BenchReport::Figure(name, ours.best, reference.best, "ns", note);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  MakeTree();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const std::string big = g_root + "/Big";
  const std::string miss = big + "/missing_asset.txt", missBelow = big + "/kuid_1_2/config.txt";
  const std::string hit = big + "/Asset_04321.txt", created = big + "/kuid_9_9";
  const int n = 20000;
  const Timed missOurs = NanosPerCall(n, [&] { return Kiv::FileExists(miss) == -1; });
  const Timed missStat = NanosPerCall(n, [&] { return !PlainStat(miss); });
  const Timed belowOurs =
      NanosPerCall(n, [&] { return Kiv::FileExists(g_root + "\\Big\\kuid_1_2\\config.txt") == -1; });
  const Timed belowStat = NanosPerCall(n, [&] { return !PlainStat(missBelow); });
  const Timed hitOurs = NanosPerCall(n, [&] { return Kiv::FileExists(hit) == 0; });
  const Timed hitStat = NanosPerCall(n, [&] { return PlainStat(hit); });
  const Timed caseOurs =
      NanosPerCall(n, [&] { return Kiv::FileExists(g_root + "/BIG\\asset_04321.TXT") == 0; });
  const Timed caseListing = NanosPerCall(50, [&] { return ListingFinds(big, "asset_04321.TXT"); });
  const Timed missListing = NanosPerCall(50, [&] { return !ListingFinds(big, "missing_asset.txt"); });
  const Timed cycleOurs = NanosPerCall(200, [&] {
    return Kiv::FileExists(created) == -1 && Kiv::File::CreateDirectories(created) &&
           Kiv::File::Prune(created);
  });
  const Timed cyclePlain = NanosPerCall(200, [&] {
    return !PlainStat(created) && ::mkdir(created.c_str(), 0777) == 0 && ::rmdir(created.c_str()) == 0;
  });

  std::printf("lookups in a folder of %d entries; ours against a plain stat, mkdir and rmdir, or a listing\n",
              kEntries);
  Figure("miss in the big folder, against a listing of the folder", missOurs, missListing);
  Figure("miss in the big folder, against stat", missOurs, missStat);
  Figure("miss below a missing folder, against stat", belowOurs, belowStat);
  Figure("hit spelled as on disk, against stat", hitOurs, hitStat);
  Figure("hit in another case, against a listing of the folder", caseOurs, caseListing);
  Figure("look up, create and remove a folder, against stat, mkdir and rmdir", cycleOurs, cyclePlain);

  if (!Kiv::File::Prune(g_root)) {
    std::fprintf(stderr, "could not remove %s: %s\n", g_root.c_str(), Kiv::File::LastError().c_str());
    return 1;
  }
  return 0;
}
