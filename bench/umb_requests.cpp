// Asset-database cost per asset: indexing a tree, a query over every asset, and the
// per-asset requests a script search makes (resolve 26, updated 27). The in-process
// request is compared with one loopback round trip (a socket pair ping-pong measured in
// the same run), the cost a request over a local connection could not go below.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "bench/asset_tree.h"
#include "bench/bench_report.h"
#include "foundation/Soup.h"
#include "foundation/Stream.h"
#include "kiv/File.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/FolderAssetDatabase.h"
#include "umbclient/OpenDatabase.h"
#include "umbclient/Filter.h"

namespace {

constexpr int kAssets = 10000;

struct Tree : BenchAssetTree {
  Tree()
      : BenchAssetTree(
            "umb-bench", kAssets, [](int i) { return KUID(1000 + i % 50, i, 0); },
            [](int i, SoupRef& c) {
              c.SetNamedTag("username", "Asset " + std::to_string(i));
              c.SetNamedTag("kind", i % 3 ? "scenery" : "traincar");
              c.SetNamedTag("category-class", i % 3 ? "BU" : "TR");
            }) {}
};

Tree& TheTree() {
  static Tree tree;
  return tree;
}

FolderAssetDatabase& Opened() {
  static FolderAssetDatabase* db = [] {
    auto d = std::make_unique<FolderAssetDatabase>(TheTree().root + "/user", TheTree().root + "/install");
    d->Rescan();
    FolderAssetDatabase* raw = d.get();
    // Set-up of the measured data, known to work.
    (void)UMBOpenDatabase(std::move(d));
    return raw;
  }();
  return *db;
}

void BM_Rescan(benchmark::State& state) {
  FolderAssetDatabase db(TheTree().root + "/user", TheTree().root + "/install");
  for (auto _ : state) {
    db.Rescan();
    benchmark::DoNotOptimize(db.AssetCount());
  }
  state.counters["assets"] = static_cast<double>(db.AssetCount());
  state.counters["per_asset_us"] =
      benchmark::Counter(static_cast<double>(db.AssetCount()) * state.iterations(),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Rescan)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_QueryAll(benchmark::State& state) {
  Opened();
  UMBFilterElementGroup query(1, 0);
  query.Add(std::make_unique<UMBFilterElementBool>(kStateLocal));
  UMBFilterElementGroup::AddGroup(query, std::make_unique<UMBFilterElementBool>(kStateObsolete));
  query.Add(std::make_unique<UMBFilterElementString>(UMBFilterElementString::kCategoryList, "TR"));
  size_t found = 0;
  for (auto _ : state) found = UMBRunQuery(query).size();
  state.counters["found"] = static_cast<double>(found);
}
BENCHMARK(BM_QueryAll)->Unit(benchmark::kMillisecond);

// One round trip of 16 bytes over a local socket pair, echoed by a second thread.
double LoopbackRoundTripMicros() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  constexpr int kTrips = 20000;
  std::thread echo([fd = fds[1]] {
    char buf[16];
    for (int i = 0; i < kTrips; ++i) {
      if (read(fd, buf, sizeof buf) != sizeof buf) break;
      if (write(fd, buf, sizeof buf) != sizeof buf) break;
    }
  });
  char buf[16] = {};
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kTrips; ++i) {
    if (write(fds[0], buf, sizeof buf) != sizeof buf || read(fds[0], buf, sizeof buf) != sizeof buf) break;
  }
  auto end = std::chrono::steady_clock::now();
  echo.join();
  close(fds[0]);
  close(fds[1]);
  return std::chrono::duration<double, std::micro>(end - start).count() / kTrips;
}

void BM_ResolvePerAsset(benchmark::State& state) {
  Opened();
  int i = 0;
  for (auto _ : state) {
    KUID k(1000 + i % 50, i % kAssets, 0);
    benchmark::DoNotOptimize(UMBResolveKUID(k));
    benchmark::DoNotOptimize(UMBGetUpdatedKUID(k));
    ++i;
  }
  state.counters["requests_per_s"] =
      benchmark::Counter(2.0 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ResolvePerAsset);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  // The ratio: one in-process request against one loopback round trip.
  Opened();
  constexpr int kRequests = 20000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRequests; ++i)
    benchmark::DoNotOptimize(UMBResolveKUID(KUID(1000 + i % 50, i % kAssets, 0)));
  double request =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kRequests;
  double roundTrip = LoopbackRoundTripMicros();
  BenchReport::Figure("request 26 in the process against one loopback round trip", request, roundTrip, "us");
  UMBCloseDatabase();
  benchmark::Shutdown();
  return 0;
}
