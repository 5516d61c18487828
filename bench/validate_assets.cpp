// Validating a tree of generated assets in one process, against reading and
// parsing the same configs alone (same run): assets per second, peak heap at
// 1,000 and at 10,000 assets, and the time per tag of a 1,000-tag and a
// 10,000-tag config. Then the start-up of a command on a generated tree of
// 50,000 assets (the asset index built, and unchanged), each in a fresh process,
// against rescanning the whole tree as every command did before the index was
// kept; and the peak memory of validating configs of 10^4, 10^5 and 10^6 tags
// against their size.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "config/AssetValidation.h"
#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "foundation/InterfaceTextDB.h"
#include "foundation/ResultsLog.h"
#include "foundation/Soup.h"
#include "kiv/Log.h"
#include "kiv/Memory.h"
#include "bench/bench_report.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/FolderAssetDatabase.h"

// ---- counting allocator: live and peak heap bytes ----
namespace {
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};
constexpr size_t kHeader = 16;

// The config tree's tags lie in slabs of mapped pages, apart from the heap,
// and the interned names in pieces of the same: they count as heap here, the
// kept-back empty ones too.
int64_t Live() {
  return g_live.load(std::memory_order_relaxed) + static_cast<int64_t>(Kiv::AlignedPagesBytes());
}

void CountIn(size_t size) {
  int64_t live = g_live.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed) +
                 static_cast<int64_t>(size) + static_cast<int64_t>(Kiv::AlignedPagesBytes());
  int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {}
}

void* CountedAlloc(size_t size) {
  void* block = std::malloc(size + kHeader);
  if (!block) throw std::bad_alloc();
  *static_cast<size_t*>(block) = size;
  CountIn(size);
  return static_cast<char*>(block) + kHeader;
}

void CountedFree(void* p) {
  if (!p) return;
  void* block = static_cast<char*>(p) - kHeader;
  g_live.fetch_sub(static_cast<int64_t>(*static_cast<size_t*>(block)), std::memory_order_relaxed);
  std::free(block);
}

// Aligned blocks (the large hash tables) keep their header a whole alignment
// ahead, so the block itself stays aligned.
void* CountedAlignedAlloc(size_t size, std::align_val_t align) {
  const size_t a = std::max(static_cast<size_t>(align), kHeader);
  void* block = std::aligned_alloc(a, (size + a + a - 1) / a * a);
  if (!block) throw std::bad_alloc();
  *static_cast<size_t*>(block) = size;
  CountIn(size);
  return static_cast<char*>(block) + a;
}

void CountedAlignedFree(void* p, std::align_val_t align) {
  if (!p) return;
  void* block = static_cast<char*>(p) - std::max(static_cast<size_t>(align), kHeader);
  g_live.fetch_sub(static_cast<int64_t>(*static_cast<size_t*>(block)), std::memory_order_relaxed);
  std::free(block);
}
}  // namespace

void* operator new(size_t size) { return CountedAlloc(size); }
void* operator new[](size_t size) { return CountedAlloc(size); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }
void* operator new(size_t size, std::align_val_t align) { return CountedAlignedAlloc(size, align); }
void* operator new[](size_t size, std::align_val_t align) { return CountedAlignedAlloc(size, align); }
void operator delete(void* p, std::align_val_t align) noexcept { CountedAlignedFree(p, align); }
void operator delete[](void* p, std::align_val_t align) noexcept { CountedAlignedFree(p, align); }
void operator delete(void* p, size_t, std::align_val_t align) noexcept { CountedAlignedFree(p, align); }
void operator delete[](void* p, size_t, std::align_val_t align) noexcept { CountedAlignedFree(p, align); }

using namespace OBLLib;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// ROVANA_BENCH_ASSETS sets a smaller tree (for profiling).
const int kAssets = std::getenv("ROVANA_BENCH_ASSETS")
                        ? std::max(1000, std::atoi(std::getenv("ROVANA_BENCH_ASSETS")))
                        : 10000;

// A config like the sample assets: most are clean, every fourth is of a
// legacy build (upgraded in memory), every tenth has an undefined tag.
std::string MakeConfig(int i) {
  std::string c = "kuid <kuid:900:" + std::to_string(i) + ">\nkind scenery\n";
  const bool legacy = i % 4 == 3;
  if (legacy) {
    c += "name \"Asset " + std::to_string(i) +
         "\"\nasset-filename body\nrovana-build 2.4\ncategory-era-0 \"1950\"\n";
  } else {
    c += "username \"Asset " + std::to_string(i) +
         "\"\nrovana-build 3.4\ncategory-era \"1950s\"\n"
         "mesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n    auto-create 1\n  }\n"
         "  shadow\n  {\n    mesh \"shadow.im\"\n    auto-create 0\n  }\n}\n";
  }
  c += "author \"Bench Works\"\ncategory-class BU\ncategory-region Britain\n"
       "description \"A generated asset for the benchmark, with a description of some length.\"\n";
  if (i % 10 == 0) c += "colour \"red\"\n";
  return c;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double ReadAndParse(const std::vector<std::string>& folders, size_t count) {
  auto t0 = Clock::now();
  size_t tags = 0;
  for (size_t i = 0; i < count; ++i) {
    SoupRef soup;
    if (!LoadSoupFile(soup, folders[i], "config.txt")) std::abort();
    tags += soup.CountTags();
  }
  auto t1 = Clock::now();
  if (tags == 0) std::abort();
  return Seconds(t0, t1);
}

double Validate(const std::vector<std::string>& folders, size_t count, int& errors) {
  errors = 0;
  auto t0 = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    ResultsLog log;
    // Set-up of the measured data, known to work.
    (void)CheckAssetFolder(log, folders[i]);
    errors += log.ErrorCount();
  }
  return Seconds(t0, Clock::now());
}

// Peak heap above the level before, while validating the first count assets.
int64_t PeakWhileValidating(const std::vector<std::string>& folders, size_t count) {
  const int64_t base = Live();
  g_peak.store(base);
  int errors = 0;
  Validate(folders, count, errors);
  return g_peak.load() - base;
}

// Set-up time of one config of n tags (best of rounds), per tag.
double PerTag(int n) {
  std::string text =
      "kuid <kuid:900:1>\nusername \"Big\"\nkind scenery\nrovana-build 3.4\n"
      "mesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n    auto-create 1\n  }\n}\n"
      "kuid-table\n{\n";
  for (int i = 0; i < n; ++i) text += "  t" + std::to_string(i) + " <kuid:900:" + std::to_string(i) + ">\n";
  text += "}\n";
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    ErrorHandler::Instance()->Clear();
    // Parsed afresh (untimed), as a check reads its config: a copy of a kept soup
    // would give every name a second holder, which a config read once never has.
    SoupRef soup;
    if (!ParseSoupText(text, soup)) std::abort();
    auto t0 = Clock::now();
    {
      Container root;
      // Set-up of the measured data, known to work.
      (void)root.SetupRoot(soup);
    }
    best = std::min(best, Seconds(t0, Clock::now()));
  }
  return best / n;
}

// ---- start-up on a large tree, each run in a fresh process ----

// ROVANA_BENCH_TREE sets the size of the start-up tree.
const int kTreeAssets =
    std::getenv("ROVANA_BENCH_TREE") ? std::max(1000, std::atoi(std::getenv("ROVANA_BENCH_TREE"))) : 50000;

// The child: opens the asset database over the tree as a command's start-up does, then
// prints its wall time until the command can go on (the index answers), and until the
// database is closed (a new index's file is then written and in place).
int RunStartUp(const std::string& mode, const std::string& userData) {
  Kiv::Log::Instance().SetConsole(false);
  const auto keeping = mode == "kept" ? FolderAssetDatabase::IndexKeeping::kCacheFile
                                      : FolderAssetDatabase::IndexKeeping::kInMemory;
  size_t count = 0;
  double ready = 0;
  std::unique_ptr<FolderAssetDatabase> keep;
  const double seconds = BenchReport::Seconds([&] {
    ready = BenchReport::Seconds([&] {
      std::unique_ptr<FolderAssetDatabase> db(new FolderAssetDatabase(userData, "", {}, keeping));
      db->Rescan();
      count = db->AssetCount();
      keep = std::move(db);
    });
    keep.reset();
  });
  // The peak of this process image (the wait's figure would include the parent's pages
  // the child started from), and its processor time over all its threads: the wall time
  // of a loaded machine says little on its own.
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double processor =
      usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::printf("%.6f %zu %ld %.6f %.6f\n", ready, count, BenchReport::StatusBytes("VmHWM"), seconds,
              processor);
  return count > 0 ? 0 : 1;
}

struct StartUp {
  double seconds = 0;  // until the index answers
  long peakBytes = 0;
  double closed = 0;     // until the database is closed
  double processor = 0;  // the whole process's, until closed
};

bool SpawnStartUp(const char* mode, const std::string& userData, StartUp& run) {
  std::string text;
  size_t count = 0;
  return BenchReport::RunSelf({"--startup", mode, userData}, text) &&
         std::sscanf(text.c_str(), "%lf %zu %ld %lf %lf", &run.seconds, &count, &run.peakBytes, &run.closed,
                     &run.processor) == 5;
}

// Rounds of one start-up mode, given as medians (and the highest peak).
struct Rounds {
  std::vector<double> times, closed, processor;
  long peak = 0;
  bool Run(const char* mode, const std::string& userData) {
    StartUp run;
    if (!SpawnStartUp(mode, userData, run)) return false;
    times.push_back(run.seconds);
    closed.push_back(run.closed);
    processor.push_back(run.processor);
    peak = std::max(peak, run.peakBytes);
    return true;
  }
  StartUp Median() const {
    StartUp m;
    m.seconds = BenchReport::Median(times);
    m.closed = BenchReport::Median(closed);
    m.processor = BenchReport::Median(processor);
    m.peakBytes = peak;
    return m;
  }
  double Spread() const { return BenchReport::SpreadPercent(times); }
};

bool MeasureStartUp(const std::string& dir) {
  const std::string userData = dir + "/startup";
  for (int i = 0; i < kTreeAssets; ++i) {
    const std::string folder = userData + "/local/s" + std::to_string(i);
    fs::create_directories(folder);
    std::ofstream(folder + "/config.txt") << MakeConfig(i);
  }
  // Times from the last second are not trusted by the index: let the tree age first.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  const std::string smallTree = dir + "/startup-small";
  fs::create_directories(smallTree + "/local/one");
  std::ofstream(smallTree + "/local/one/config.txt") << MakeConfig(1);
  // The rescan and the first start-up (the index file removed before it) take turns, each
  // first in every other round, so a change in the machine's load falls on both alike. An
  // odd count of rounds ends with a first start-up, whose index the unchanged ones use.
  constexpr int kPairs = 5;
  static_assert(kPairs % 2 == 1);
  Rounds rescanRounds, firstRounds, unchangedRounds, smallRounds;
  for (int i = 0; i < kPairs; ++i) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool rescanNow = (turn == 0) == (i % 2 == 0);
      fs::remove_all(userData + "/cache");
      if (!(rescanNow ? rescanRounds.Run("memory", userData) : firstRounds.Run("kept", userData)))
        return false;
    }
  }
  for (int i = 0; i < 7; ++i)
    if (!unchangedRounds.Run("kept", userData)) return false;
  for (int i = 0; i < 3; ++i)
    if (!smallRounds.Run("memory", smallTree)) return false;
  const StartUp rescan = rescanRounds.Median(), first = firstRounds.Median(),
                unchanged = unchangedRounds.Median(), small = smallRounds.Median();
  const double firstSpread = firstRounds.Spread(), rescanSpread = rescanRounds.Spread(),
               unchangedSpread = unchangedRounds.Spread();
  fs::remove_all(userData);
  fs::remove_all(smallTree);
  char note[160];
  std::snprintf(note, sizeof note, "(%d assets; median of %d, spread %.0f%% / %.0f%%)", kTreeAssets, kPairs,
                firstSpread, rescanSpread);
  BenchReport::Figure("start-up, index built", first.seconds, rescan.seconds, "s", note);
  // The new index's file is written while the command goes on; closing waits for it.
  BenchReport::Figure("start-up, index built, until closed (file written)", first.closed, rescan.closed, "s");
  BenchReport::Figure("start-up, index built, processor time of the process (all threads)", first.processor,
                      rescan.processor, "s");
  std::snprintf(note, sizeof note, "(median of 7, spread %.0f%%)", unchangedSpread);
  BenchReport::Figure("start-up, index unchanged", unchanged.seconds, rescan.seconds, "s", note);
  std::snprintf(note, sizeof note, "(a process over a one-asset tree holds %.1f MiB)",
                small.peakBytes / 1048576.0);
  BenchReport::Figure("start-up peak memory, index unchanged", unchanged.peakBytes / 1048576.0,
                      rescan.peakBytes / 1048576.0, "MiB", note);
  BenchReport::Figure("start-up peak memory, index built", first.peakBytes / 1048576.0,
                      rescan.peakBytes / 1048576.0, "MiB");
  return true;
}

// ---- peak memory against the config's size ----

// The peaks of checking one asset folder whose config has n tags, against the
// config's size, and above `base` (the peaks of a config of one tag: what a check
// takes whatever its size): the heap of a check in this process, and the resident
// set of `rovanautil validate` on the folder, as a user runs it.
struct Peaks {
  double heap = 0;
  double resident = 0;  // 0 when the program could not be run
  double text = 0;      // the config's size
};

// The child of --peak-of: runs the program with its arguments and prints its
// resident peak. A process's peak carries over its exec, and a spawned child
// starts in its parent's pages: so the program is started from this small,
// fresh process by a real fork, not from the benchmark's large one.
int RunForPeak(char** argv) {
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execv(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 127) return 1;
  // This process's own peak bounds what the child could have taken from it.
  std::printf("%ld %ld\n", long(usage.ru_maxrss) * 1024, BenchReport::StatusBytes("VmHWM"));
  return 0;
}

// The lowest of a few runs: what a run takes, not the machine's noise.
double ProgramPeak(const std::string& folder) {
  long best = 0;
  for (int run = 0; run < 3; ++run) {
    std::string output;
    long peak = 0, starter = 0;
    if (!BenchReport::RunSelf({"--peak-of", ROVANA_PROGRAM, "validate", folder}, output) ||
        std::sscanf(output.c_str(), "%ld %ld", &peak, &starter) != 2 || peak <= starter)
      return 0;
    if (best == 0 || peak < best) best = peak;
  }
  return static_cast<double>(best);
}

Peaks MemoryPerTag(const std::string& dir, int n, const Peaks& base = {}) {
  const std::string folder = dir + "/user/local/big" + std::to_string(n);
  fs::create_directories(folder);
  std::string text =
      "kuid <kuid:901:1>\nusername \"Big\"\nkind scenery\nrovana-build 3.4\ncategory-class BU\n"
      "kuid-table\n{\n";
  for (int i = 0; i < n; ++i) text += "  t" + std::to_string(i) + " <kuid:900:" + std::to_string(i) + ">\n";
  text += "}\n";
  std::ofstream(folder + "/config.txt") << text;
  const int64_t before = Live();
  g_peak.store(before);
  ResultsLog log;
  // Set-up of the measured data, known to work.
  (void)CheckAssetFolder(log, folder);
  Peaks peaks;
  peaks.text = static_cast<double>(text.size());
  peaks.heap = static_cast<double>(g_peak.load() - before);
  peaks.resident = ProgramPeak(folder);
  fs::remove_all(folder);
  if (n == 1) return peaks;
  const double size = static_cast<double>(text.size());
  char name[64], note[200];
  std::snprintf(name, sizeof name, "peak heap of a %d-tag config", n);
  std::snprintf(
      note, sizeof note,
      "(%.0f bytes per tag; %.2f times the text above a one-tag config's peak of %.3f MiB; %d findings)",
      peaks.heap / n, (peaks.heap - base.heap) / size, base.heap / 1048576.0, log.ErrorCount());
  BenchReport::Figure(name, peaks.heap / 1048576.0, size / 1048576.0, "MiB", note);
  if (peaks.resident > 0 && base.resident > 0) {
    std::snprintf(name, sizeof name, "resident peak of rovanautil validate, %d-tag config", n);
    std::snprintf(
        note, sizeof note,
        "(%.0f bytes per tag; %.2f times the text above the process's %.1f MiB for a one-tag config)",
        (peaks.resident - base.resident) / n, (peaks.resident - base.resident) / size,
        base.resident / 1048576.0);
    BenchReport::Figure(name, peaks.resident / 1048576.0, size / 1048576.0, "MiB", note);
  } else {
    std::printf("rovanautil validate could not be run for the resident peak\n");
  }
  return peaks;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--startup") return RunStartUp(argv[2], argv[3]);
  if (argc > 2 && std::string(argv[1]) == "--peak-of") return RunForPeak(argv + 2);
  Kiv::Log::Instance().SetConsole(false);
  char name[] = "/tmp/bench_validateXXXXXX";
  if (!mkdtemp(name)) return 1;
  const std::string dir = name;
  const std::string source = ROVANA_SOURCE_DIR;
  // The program run for the resident peaks finds the installation there.
  setenv("ROVANA_ROOT", (source + "/samples/install").c_str(), 1);
  fs::copy(source + "/samples/install/OBLData", dir + "/OBLData", fs::copy_options::recursive);
  InterfaceTextDB::SetFolder(source + "/samples/install/strings");
  SetUserDataFolder(dir + "/user");
  SetInstallationRoot(source + "/samples/install");
  // Set-up of the measured data, known to work.
  (void)ErrorHandler::Create();
  // Set-up of the measured data, known to work.
  (void)DataManager::Create((dir + "/OBLData/").c_str());

  if (const char* only = std::getenv("ROVANA_BENCH_PERTAG")) {  // profiling one config size
    std::printf("%.0f ns per tag\n", PerTag(std::atoi(only)) * 1e9);
    fs::remove_all(dir);
    return 0;
  }
  if (const char* only = std::getenv("ROVANA_BENCH_MEMORY")) {  // profiling the memory of one config size
    const Peaks base = MemoryPerTag(dir, 1);
    MemoryPerTag(dir, std::atoi(only), base);
    fs::remove_all(dir);
    return 0;
  }
  std::vector<std::string> folders;
  for (int i = 0; i < kAssets; ++i) {
    const std::string folder = dir + "/user/local/a" + std::to_string(i);
    fs::create_directories(folder);
    std::ofstream(folder + "/config.txt") << MakeConfig(i);
    folders.push_back(folder);
  }

  // Warm-up: the schema, the interface texts and the interned names.
  int errors = 0;
  Validate(folders, 100, errors);
  ReadAndParse(folders, 100);

  double best = 1e9, bestRef = 1e9;
  for (int round = 0; round < 3; ++round) {
    bestRef = std::min(bestRef, ReadAndParse(folders, folders.size()));
    best = std::min(best, Validate(folders, folders.size(), errors));
  }
  const int64_t peak1k = PeakWhileValidating(folders, 1000);
  const int64_t peak10k = PeakWhileValidating(folders, folders.size());
  const double perTag1k = PerTag(1000);
  const double perTag10k = PerTag(10000);
  // ROVANA_BENCH_MAXTAGS caps the largest config (10^6 tags by default).
  const int maxTags =
      std::getenv("ROVANA_BENCH_MAXTAGS") ? std::atoi(std::getenv("ROVANA_BENCH_MAXTAGS")) : 1000000;
  const Peaks base = MemoryPerTag(dir, 1);
  std::vector<Peaks> sizes;
  for (int n = 10000; n <= maxTags; n *= 10) sizes.push_back(MemoryPerTag(dir, n, base));
  // What each further byte of text costs between the two largest configs: the
  // slope of a peak that is linear in the text above a fixed base.
  if (sizes.size() >= 2) {
    const Peaks& a = sizes[sizes.size() - 2];
    const Peaks& b = sizes.back();
    const double grew = b.text - a.text;
    BenchReport::Figure("peak heap growth between the two largest configs", (b.heap - a.heap) / 1048576.0,
                        grew / 1048576.0, "MiB", "(reference: the text's growth)");
    if (a.resident > 0 && b.resident > 0)
      BenchReport::Figure("resident peak growth between the two largest configs",
                          (b.resident - a.resident) / 1048576.0, grew / 1048576.0, "MiB",
                          "(reference: the text's growth)");
  }
  if (!std::getenv("ROVANA_BENCH_NO_STARTUP") && !MeasureStartUp(dir)) std::printf("start-up runs failed\n");

  DataManager::Destroy();
  ErrorHandler::Destroy();
  fs::remove_all(dir);

  std::printf("%d assets, %d errors found per pass\n", kAssets, errors);
  const double rate = kAssets / best, rateRef = kAssets / bestRef;
  std::printf("assets per second: validate %.0f, read+parse %.0f, ratio %.2f (target >= 0.33)\n", rate,
              rateRef, rate / rateRef);
  std::printf(
      "peak heap while validating (KiB): 10,000 assets %.1f, 1,000 assets %.1f, ratio %.2f (target ~1)\n",
      peak10k / 1024.0, peak1k / 1024.0, static_cast<double>(peak10k) / static_cast<double>(peak1k));
  std::printf(
      "set-up time per tag (ns): 10,000-tag config %.0f, 1,000-tag config %.0f, ratio %.2f (target ~1)\n",
      perTag10k * 1e9, perTag1k * 1e9, perTag10k / perTag1k);
  return 0;
}
