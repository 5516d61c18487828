// Sorted alpha-blend cache against std::multimap: one million items inserted
// at random distances and walked far to near, the same items in both. The
// bucket tree alone and the whole cache (bucket choice, item fill, drawing
// walk) are compared with a multimap holding the same item records.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <vector>

#include "bench/bench_report.h"
#include "graphics/material/RovanaAlphaBlendCache.h"

namespace {

using BenchReport::Median;
using BenchReport::Seconds;

constexpr int kItems = 1000000;
constexpr int kRuns = 5;

struct Record {
  float transform[16];
  uint32_t parameter;
};

}  // namespace

int main() {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> coordinate(-700.0f, 700.0f);
  std::vector<float> transforms(static_cast<size_t>(kItems) * 16);
  std::vector<float> distances(kItems);
  for (int i = 0; i < kItems; ++i) {
    float* t = &transforms[static_cast<size_t>(i) * 16];
    for (int k = 0; k < 16; ++k) t[k] = k % 5 == 0 ? 1.0f : 0.0f;
    t[12] = coordinate(random);
    t[13] = coordinate(random);
    t[14] = coordinate(random);
    distances[i] = Kiv::RovanaAlphaBlendCache::ViewerDistance(t);
  }

  uint64_t sink = 0;
  std::vector<double> treeRuns, treeRef, cacheRuns, cacheRef;
  Kiv::AlphaBlendItemPool pool;
  Kiv::AlphaBlendBucket bucket(pool);
  Kiv::RovanaAlphaBlendCache cache;
  for (int run = 0; run < kRuns; ++run) {
    treeRuns.push_back(Seconds([&] {
      for (int i = 0; i < kItems; ++i) bucket.Insert(distances[i])->parameter = static_cast<uint32_t>(i);
      bucket.WalkFarToNear([&](const Kiv::AlphaBlendItem& item) { sink += item.parameter; });
      bucket.Clear();
    }));
    treeRef.push_back(Seconds([&] {
      std::multimap<float, uint32_t> map;
      for (int i = 0; i < kItems; ++i) map.emplace(distances[i], static_cast<uint32_t>(i));
      for (auto it = map.rbegin(); it != map.rend(); ++it) sink += it->second;
    }));
    cacheRuns.push_back(Seconds([&] {
      for (int i = 0; i < kItems; ++i)
        cache.Add(nullptr, nullptr, &transforms[static_cast<size_t>(i) * 16], static_cast<uint32_t>(i));
      cache.Render([&](const Kiv::AlphaBlendItem& item) { sink += item.parameter; });
    }));
    cacheRef.push_back(Seconds([&] {
      std::multimap<float, Record> map;
      for (int i = 0; i < kItems; ++i) {
        Record record;
        std::copy_n(&transforms[static_cast<size_t>(i) * 16], 16, record.transform);
        record.parameter = static_cast<uint32_t>(i);
        map.emplace(distances[i], record);
      }
      for (auto it = map.rbegin(); it != map.rend(); ++it) sink += it->second.parameter;
    }));
  }
  std::printf("checksum %llu\n", static_cast<unsigned long long>(sink));
  char note[96];
  std::snprintf(note, sizeof note, "(median of %d, spread %.0f%% / %.0f%%)", kRuns,
                BenchReport::SpreadPercent(treeRuns), BenchReport::SpreadPercent(treeRef));
  BenchReport::Figure("bucket tree insert+walk 1e6", Median(treeRuns) * 1e3, Median(treeRef) * 1e3, "ms",
                      note);
  std::snprintf(note, sizeof note, "(median of %d, spread %.0f%% / %.0f%%)", kRuns,
                BenchReport::SpreadPercent(cacheRuns), BenchReport::SpreadPercent(cacheRef));
  BenchReport::Figure("alpha-blend cache add+render 1e6", Median(cacheRuns) * 1e3, Median(cacheRef) * 1e3,
                      "ms", note);
  return 0;
}
