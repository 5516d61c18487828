// A script's asset search returning 10,000 assets through the asset database
// (World.GetAssetList: one query, then an Asset object per KUID), against one
// in-process request (resolve, 26) measured in the same run, per asset:
//  - the first search of a context, whose every asset is resolved once;
//  - the same search again, served from the context's cache.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/script_bench.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/TempFolder.h"
#include "scriptlib/GSOAsset.h"
#include "scriptlib/RovanaScriptContext.h"
#include "scriptlib/ScriptNatives.h"
#include "umbclient/AssetRequests.h"

using namespace GSRuntime;

namespace {

constexpr int kAssets = 10000;
constexpr int kRuns = 7;

KUID KuidOf(int i) { return KUID(1000 + i % 50, i, 0); }

const char* const kScript = R"(include "Rovana.gs"
class Search {
  public int Count(string type) {
    Asset[] found = World.GetAssetList(type);
    return found.size();
  }
};
)";

// The Search object of one context: each run asks for "building" and checks the count.
class Searcher {
public:
  explicit Searcher(GSClass* cls) : m_object(new GSObject()) {
    m_ok = m_object->BindScriptClass(cls, &m_context);
    m_count = cls->FindMethod("::Count(string)");
  }
  ~Searcher() { delete m_object; }
  bool Run() {
    if (!m_ok || !m_count) return false;
    GSString* type = GSString::Create(&m_context, "building");
    uint32_t argument = type->GetScriptHandle();  // the call's frame releases it
    uint32_t result = 0;
    const int32_t code = CallScriptFunction(*m_count, m_object->GetScriptHandle(), &argument, 1, &result);
    return code == ER_Done && result == uint32_t(kAssets);
  }

private:
  RovanaScriptContext m_context;
  GSObject* m_object;
  GSFunction* m_count = nullptr;
  bool m_ok = false;
};

void Report(const char* name, const std::vector<double>& ours, const std::vector<double>& reference) {
  char note[160];
  std::snprintf(note, sizeof note, "(per asset of %d; median of %d; spread %.0f%% / %.0f%%)", kAssets, kRuns,
                BenchReport::SpreadPercent(ours), BenchReport::SpreadPercent(reference));
  BenchReport::Figure(name, BenchReport::Median(ours) * 1e6 / kAssets,
                      BenchReport::Median(reference) * 1e6 / kAssets, "us", note);
}

}  // namespace

int main() {
  BenchAssetTree tree("asset-search-bench", kAssets, KuidOf, DescribeBuilding);
  if (!OpenBenchDatabase(tree)) return 1;
  Kiv::TempFolder folder("asset-search-script");
  GSClass* search = CompileBenchClass(folder, "asset_search.gs", kScript, "Search");
  if (!search) return 1;

  std::vector<double> first, again, request;
  bool ok = true;
  for (int r = 0; r < kRuns; ++r) {
    // Interleaved, so that a change of machine load touches all three alike.
    request.push_back(BenchReport::Seconds([&] {
      for (int i = 0; i < kAssets; ++i) ok &= !UMBResolveKUID(KuidOf(i)).IsNull();
    }));
    Searcher searcher(search);
    first.push_back(BenchReport::Seconds([&] { ok &= searcher.Run(); }));
    again.push_back(BenchReport::Seconds([&] { ok &= searcher.Run(); }));
  }
  if (!ok || CountAssetObjects() != 0) {
    std::printf("a search did not give every asset\n");
    return 1;
  }
  Report("asset_search_first_vs_request", first, request);
  Report("asset_search_repeated_vs_request", again, request);
  UMBCloseDatabase();
  return 0;
}
