// Soup text parsing against RapidJSON's DOM parse of the same tree written as
// JSON, in one run: time per tree (each parser reads the tree in its own
// format), and the memory each parse takes (peak while parsing and what stays
// after), counted by replacing the global allocator and RapidJSON's alike.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <memory>
#include <vector>
#include <string>

#include "bench/bench_report.h"
#include "foundation/Soup.h"

// ---- counting allocator ----
// Counts the usable size of each block while counting is on; blocks carry no
// header, so the timed runs (counting off) allocate exactly as without it.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

void CountAdded(void* block) {
  const auto size = static_cast<int64_t>(malloc_usable_size(block));
  const int64_t live = g_live.fetch_add(size, std::memory_order_relaxed) + size;
  int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {}
}

void* CountedAlloc(size_t size) {
  void* block = std::malloc(size);
  if (!block) throw std::bad_alloc();
  if (g_counting.load(std::memory_order_relaxed)) CountAdded(block);
  return block;
}

void CountedFree(void* p) {
  if (p && g_counting.load(std::memory_order_relaxed))
    g_live.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}

// RapidJSON's own allocator, counted alike.
struct CountedCrtAllocator {
  static const bool kNeedFree = true;
  void* Malloc(size_t size) { return size ? CountedAlloc(size) : nullptr; }
  void* Realloc(void* original, size_t, size_t newSize) {
    if (newSize == 0) {
      CountedFree(original);
      return nullptr;
    }
    const bool counting = g_counting.load(std::memory_order_relaxed);
    if (original && counting)
      g_live.fetch_sub(static_cast<int64_t>(malloc_usable_size(original)), std::memory_order_relaxed);
    void* grown = std::realloc(original, newSize);
    if (!grown) throw std::bad_alloc();
    if (counting) CountAdded(grown);
    return grown;
  }
  static void Free(void* p) { CountedFree(p); }
};
using JsonDocument =
    rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<CountedCrtAllocator>,
                               CountedCrtAllocator>;

// Memory of one piece of work: what stays allocated after it and the peak
// while it ran, in bytes.
struct Memory {
  int64_t kept = 0;
  int64_t peak = 0;
};

template <class Work>
Memory Count(Work work) {
  g_counting.store(true);
  const int64_t before = g_live.load();
  g_peak.store(before);
  Memory m;
  work(m, before);
  m.peak = g_peak.load() - before;
  g_counting.store(false);
  return m;
}

}  // namespace

void* operator new(size_t size) { return CountedAlloc(size); }
void* operator new[](size_t size) { return CountedAlloc(size); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, size_t) noexcept { CountedFree(p); }

namespace {

// ---- the test tree: asset configs as they appear in a content collection ----

std::string Words(std::mt19937& rng, size_t count) {
  static const char* kWords[] = {"red", "steam", "locomotive", "with",   "tender",  "built",
                                 "for", "the",   "northern",   "line",   "freight", "service",
                                 "and", "heavy", "coal",       "trains", "in",      "1923"};
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    if (i) s += ' ';
    s += kWords[rng() % (sizeof kWords / sizeof *kWords)];
  }
  return s;
}

SoupRef MakeCollection(size_t assets) {
  std::mt19937 rng(2024);
  SoupRef root;
  for (size_t a = 0; a < assets; ++a) {
    SoupRef asset;
    asset.SetNamedTagKUID("kuid", KUID(static_cast<int32_t>(rng() % 500000), static_cast<int32_t>(a), 0));
    asset.SetNamedTag("username", Words(rng, 3));
    asset.SetNamedTag("description", Words(rng, 14));
    asset.SetNamedTag("kind", "traincar");
    asset.SetNamedTag("category-class", "AS");
    asset.SetNamedTag("category-region", "UK;DE");
    asset.SetNamedTagFloat("rovana-build", 3.4f);
    asset.SetNamedTagInt("mass", static_cast<int32_t>(rng() % 100000));
    const float camera[3] = {0.5f, static_cast<float>(rng() % 100) / 7.0f, -3.25f};
    asset.SetNamedTagFloatArray("camera", camera, 3);
    SoupRef meshes;
    for (int m = 0; m < 3; ++m) {
      SoupRef mesh;
      mesh.SetNamedTag("mesh", "body/lod" + std::to_string(m) + ".im");
      mesh.SetNamedTagInt("auto-create", 1);
      mesh.SetNamedTagFloat("lod-distance", 50.0f * static_cast<float>(m + 1));
      // Set-up of the measured data, known to work.
      (void)meshes.SetNamedSoup(m == 0 ? "default" : "lod" + std::to_string(m), mesh);
    }
    // Set-up of the measured data, known to work.
    (void)asset.SetNamedSoup("mesh-table", meshes);
    SoupRef kuids;
    for (int k = 0; k < 5; ++k)
      kuids.SetNamedTagKUID(std::to_string(k), KUID(static_cast<int32_t>(rng() % 500000),
                                                    static_cast<int32_t>(rng() % 90000), 0));
    // Set-up of the measured data, known to work.
    (void)asset.SetNamedSoup("kuid-table", kuids);
    SoupRef strings;
    strings.SetNamedTag("en", Words(rng, 6));
    strings.SetNamedTag("de", Words(rng, 6));
    // Set-up of the measured data, known to work.
    (void)asset.SetNamedSoup("string-table", strings);
    // Set-up of the measured data, known to work.
    (void)root.SetNamedSoup("asset-" + std::to_string(a), asset);
  }
  return root;
}

void AppendJsonString(std::string& out, std::string_view s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void AppendJson(std::string& out, const ACSChunk& node) {
  out += '{';
  for (size_t i = 0; i < node.CountChildren(); ++i) {
    const TDBDataTag& tag = node.GetTag(i);
    if (i) out += ',';
    AppendJsonString(out, tag.GetName().View());
    out += ':';
    if (const ACSChunk* child = tag.GetContainer()) {
      AppendJson(out, *child);
      continue;
    }
    std::string text;
    switch (tag.GetDataType()) {
      case kSoupText:
      case kSoupKUID:
        // Set-up of the measured data, known to work.
        (void)tag.ToText(text);
        AppendJsonString(out, text);
        break;
      case kSoupInt:
      case kSoupFloat:
        // Set-up of the measured data, known to work.
        (void)tag.ToText(text);
        if (tag.GetSize() > 4)
          out += '[' + text + ']';
        else
          out += text;
        break;
      default: out += "null";
    }
  }
  out += '}';
}

struct Inputs {
  std::string soupText;
  std::string json;
  Inputs() {
    SoupRef tree = MakeCollection(3000);
    // Set-up of the measured data, known to work.
    (void)WriteSoupText(tree, soupText);
    AppendJson(json, *tree.Get());
  }
};

const Inputs& GetInputs() {
  static Inputs inputs;
  return inputs;
}

// Time per tree: both parsers read the same tree, each in its own format.
void BM_SoupTextParse(benchmark::State& state) {
  const std::string& text = GetInputs().soupText;
  for (auto _ : state) {
    SoupRef soup;
    bool ok = ParseSoupText(text, soup);
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError("parse failed");
    // Only the parse is timed, not the release of the tree.
    state.PauseTiming();
    soup.Clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_SoupTextParse)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_RapidJsonDomParse(benchmark::State& state) {
  const std::string& json = GetInputs().json;
  for (auto _ : state) {
    auto doc = std::make_unique<JsonDocument>();
    doc->Parse(json.c_str(), json.size());
    benchmark::DoNotOptimize(doc->HasParseError());
    if (doc->HasParseError()) state.SkipWithError("parse failed");
    state.PauseTiming();
    doc.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_RapidJsonDomParse)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Best parse time of each parser per block of rounds that alternate between
// them, so that load from other processes falls on both alike.
struct Block {
  double soupSeconds = 1e9;
  double jsonSeconds = 1e9;
};

Block TimeBlock(int rounds) {
  const Inputs& in = GetInputs();
  using Clock = std::chrono::steady_clock;
  Block b;
  for (int round = 0; round < rounds; ++round) {
    {
      SoupRef soup;
      auto t0 = Clock::now();
      bool ok = ParseSoupText(in.soupText, soup);
      auto t1 = Clock::now();
      if (!ok) std::abort();
      b.soupSeconds = std::min(b.soupSeconds, std::chrono::duration<double>(t1 - t0).count());
    }
    {
      auto doc = std::make_unique<JsonDocument>();
      auto t0 = Clock::now();
      doc->Parse(in.json.c_str(), in.json.size());
      auto t1 = Clock::now();
      if (doc->HasParseError()) std::abort();
      b.jsonSeconds = std::min(b.jsonSeconds, std::chrono::duration<double>(t1 - t0).count());
    }
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const Inputs& in = GetInputs();

  // Memory of one parse each, from a state where none of the soup's names
  // are interned yet.
  const Memory soupMemory = Count([&](Memory& m, int64_t before) {
    SoupRef soup;
    if (!ParseSoupText(in.soupText, soup)) std::abort();
    m.kept = g_live.load() - before;
  });
  const Memory jsonMemory = Count([&](Memory& m, int64_t before) {
    auto doc = std::make_unique<JsonDocument>();
    doc->Parse(in.json.c_str(), in.json.size());
    if (doc->HasParseError()) std::abort();
    m.kept = g_live.load() - before;
  });

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  // Five blocks of ten alternating rounds: the figure is the best of all,
  // the spread is that of the five blocks' ratios.
  Block best;
  std::vector<double> ratios;
  for (int block = 0; block < 5; ++block) {
    const Block b = TimeBlock(10);
    best.soupSeconds = std::min(best.soupSeconds, b.soupSeconds);
    best.jsonSeconds = std::min(best.jsonSeconds, b.jsonSeconds);
    ratios.push_back(b.jsonSeconds / b.soupSeconds);
  }
  const double text = static_cast<double>(in.soupText.size());
  std::printf("one tree: soup text %zu bytes, the same as JSON %zu bytes\n", in.soupText.size(),
              in.json.size());
  std::printf(
      "memory per soup text byte: %.2f kept, %.2f peak (target <= 2); RapidJSON per JSON byte: %.2f, %.2f\n",
      static_cast<double>(soupMemory.kept) / text, static_cast<double>(soupMemory.peak) / text,
      static_cast<double>(jsonMemory.kept) / static_cast<double>(in.json.size()),
      static_cast<double>(jsonMemory.peak) / static_cast<double>(in.json.size()));
  char note[96];
  std::snprintf(note, sizeof note, "(best of 50 alternating rounds; block ratios %.3f..%.3f, spread %.1f%%)",
                *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()), BenchReport::SpreadPercent(ratios));
  BenchReport::Figure("soup text parse, trees per second (target ratio >= 1)", 1.0 / best.soupSeconds,
                      1.0 / best.jsonSeconds, "trees/s", note);
  BenchReport::Figure("parse memory kept", static_cast<double>(soupMemory.kept) / 1e6,
                      static_cast<double>(jsonMemory.kept) / 1e6, "MB");
  BenchReport::Figure("parse memory peak", static_cast<double>(soupMemory.peak) / 1e6,
                      static_cast<double>(jsonMemory.peak) / 1e6, "MB");
  return 0;
}
