// Soup text parsing against RapidJSON's DOM parse of the same tree written as
// JSON, in one run. Prints the throughput ratio (soup MB/s over RapidJSON MB/s)
// and the memory a parsed soup takes relative to its text (peak while parsing
// and what stays after), counted by replacing the global allocator.
#include <benchmark/benchmark.h>
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
#include <string>

#include "foundation/Soup.h"

// ---- counting allocator ----
namespace {
std::atomic<bool> g_counting{false};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};
constexpr size_t kHeader = 16;

void* CountedAlloc(size_t size) {
  void* block = std::malloc(size + kHeader);
  if (!block) throw std::bad_alloc();
  *static_cast<size_t*>(block) = size;
  if (!g_counting.load(std::memory_order_relaxed)) return static_cast<char*>(block) + kHeader;
  int64_t live =
      g_live.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed) + static_cast<int64_t>(size);
  int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {}
  return static_cast<char*>(block) + kHeader;
}

void CountedFree(void* p) {
  if (!p) return;
  void* block = static_cast<char*>(p) - kHeader;
  if (g_counting.load(std::memory_order_relaxed))
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
      meshes.SetNamedSoup(m == 0 ? "default" : "lod" + std::to_string(m), mesh);
    }
    asset.SetNamedSoup("mesh-table", meshes);
    SoupRef kuids;
    for (int k = 0; k < 5; ++k)
      kuids.SetNamedTagKUID(std::to_string(k), KUID(static_cast<int32_t>(rng() % 500000),
                                                    static_cast<int32_t>(rng() % 90000), 0));
    asset.SetNamedSoup("kuid-table", kuids);
    SoupRef strings;
    strings.SetNamedTag("en", Words(rng, 6));
    strings.SetNamedTag("de", Words(rng, 6));
    asset.SetNamedSoup("string-table", strings);
    root.SetNamedSoup("asset-" + std::to_string(a), asset);
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
        tag.ToText(text);
        AppendJsonString(out, text);
        break;
      case kSoupInt:
      case kSoupFloat:
        tag.ToText(text);
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
    WriteSoupText(tree, soupText);
    AppendJson(json, *tree.Get());
  }
};

const Inputs& GetInputs() {
  static Inputs inputs;
  return inputs;
}

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
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_SoupTextParse)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_RapidJsonDomParse(benchmark::State& state) {
  const std::string& json = GetInputs().json;
  for (auto _ : state) {
    auto* doc = new rapidjson::Document;
    doc->Parse(json.c_str(), json.size());
    benchmark::DoNotOptimize(doc->HasParseError());
    if (doc->HasParseError()) state.SkipWithError("parse failed");
    state.PauseTiming();
    delete doc;
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(json.size()));
}
BENCHMARK(BM_RapidJsonDomParse)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Remembers the best throughput of each benchmark's repetitions (the machine
// may be shared, so the best run is the least disturbed one) for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.real_accumulated_time <= 0) continue;
      const Inputs& in = GetInputs();
      std::string name = run.benchmark_name();
      double bytes = name.find("Soup") != std::string::npos ? static_cast<double>(in.soupText.size())
                                                            : static_cast<double>(in.json.size());
      double rate = bytes * static_cast<double>(run.iterations) / run.real_accumulated_time / 1e6;
      double& best = name.find("Soup") != std::string::npos ? soupMBs : jsonMBs;
      if (rate > best) best = rate;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double soupMBs = 0;
  double jsonMBs = 0;
};

// Best parse time of each parser over rounds that alternate between them, so
// that load from other processes falls on both alike.
void InterleavedBest(double& soupSeconds, double& jsonSeconds) {
  const Inputs& in = GetInputs();
  using Clock = std::chrono::steady_clock;
  soupSeconds = jsonSeconds = 1e9;
  for (int round = 0; round < 30; ++round) {
    {
      SoupRef soup;
      auto t0 = Clock::now();
      bool ok = ParseSoupText(in.soupText, soup);
      auto t1 = Clock::now();
      benchmark::DoNotOptimize(ok);
      soupSeconds = std::min(soupSeconds, std::chrono::duration<double>(t1 - t0).count());
    }
    {
      auto* doc = new rapidjson::Document;
      auto t0 = Clock::now();
      doc->Parse(in.json.c_str(), in.json.size());
      auto t1 = Clock::now();
      benchmark::DoNotOptimize(doc->HasParseError());
      jsonSeconds = std::min(jsonSeconds, std::chrono::duration<double>(t1 - t0).count());
      delete doc;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const Inputs& in = GetInputs();

  // Memory of one parse, from a state where none of the soup's names are interned yet.
  g_counting.store(true);
  int64_t before = g_live.load();
  g_peak.store(before);
  int64_t kept = 0;
  {
    SoupRef soup;
    if (!ParseSoupText(in.soupText, soup)) return 1;
    kept = g_live.load() - before;
  }
  int64_t peak = g_peak.load() - before;
  g_counting.store(false);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("soup text %zu bytes, JSON %zu bytes\n", in.soupText.size(), in.json.size());
  if (reporter.jsonMBs > 0)
    std::printf("benchmark runs (best of 5): soup %.1f MB/s, RapidJSON DOM %.1f MB/s, ratio %.2fx\n",
                reporter.soupMBs, reporter.jsonMBs, reporter.soupMBs / reporter.jsonMBs);
  double soupSeconds, jsonSeconds;
  InterleavedBest(soupSeconds, jsonSeconds);
  double soupMBs = static_cast<double>(in.soupText.size()) / soupSeconds / 1e6;
  double jsonMBs = static_cast<double>(in.json.size()) / jsonSeconds / 1e6;
  std::printf(
      "throughput (alternating rounds, best of 30): soup %.1f MB/s, RapidJSON DOM %.1f MB/s, ratio %.2fx "
      "(target >= 1.0x)\n",
      soupMBs, jsonMBs, soupMBs / jsonMBs);
  std::printf("memory: parsed soup %.2fx its text (peak while parsing %.2fx; target <= 3x)\n",
              static_cast<double>(kept) / static_cast<double>(in.soupText.size()),
              static_cast<double>(peak) / static_cast<double>(in.soupText.size()));
  return 0;
}
