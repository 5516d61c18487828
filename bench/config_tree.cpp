// Building, checking and deleting a typed config tree must cost the same per
// tag at 10,000 tags as at 1,000: registries, duplicate tests and findings
// are indexed, not searched.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/TagNames.h"
#include "kiv/Log.h"

using namespace OBLLib;

namespace {

const char* const kSchema = R"(
big
{
  top-level 1
  subpossibilities
  {
    att { kind "value" type "combobox" source "attachment" }
    part { kind "value" type "combobox" source "mesh-table" }
    flag { kind "value" type "bool" }
    name { kind "value" type "string" }
  }
  tagarray { kind "value" type "kuid" }
}
part-def { subpossibilities { x { kind "value" type "int" } } }
)";

struct Fixture {
  std::string dir;
  SoupRef def;
  Fixture() {
    Kiv::Log::Instance().SetConsole(false);
    char name[] = "/tmp/bench_config_treeXXXXXX";
    if (!mkdtemp(name)) std::abort();
    dir = std::string(name) + "/";
    std::ofstream(dir + "kind.txt") << kSchema;
    ErrorHandler::Create();
    DataManager::Create(dir.c_str());
    DataManager::Instance()->LoadSchema();
    def = DataManager::Instance()->Schema().GetNamedSoup(Kiv::PString("big"));
  }
  ~Fixture() {
    DataManager::Destroy();
    ErrorHandler::Destroy();
    std::filesystem::remove_all(dir);
  }
};

Fixture& F() {
  static Fixture f;
  return f;
}

struct Config {
  SoupRef soup;
  std::vector<Kiv::PString> names;
};

// n value tags: most are table entries, every fourth an attachment, every
// eighth a mesh-table part and every sixteenth a bad bool that makes a
// finding; and a child container for every tenth tag.
Config MakeConfig(int n) {
  Config c;
  c.soup = SoupRef::NewContainer();
  for (int i = 0; i < n; ++i) {
    std::string name = std::to_string(i);
    name.insert(name.begin(), 't');
    c.names.emplace_back(name);
    c.soup.Get()->AppendTag(TDBDataTag::MakeBytes(c.names.back(), kSoupText, name.data(), name.size()));
  }
  return c;
}

const Kiv::PString kAtt("att"), kPart("part"), kFlag("flag"), kPartDef("part-def");

// One asset check's worth of work on the tree, then its deletion.
void BuildCheckDelete(const Config& config) {
  Fixture& f = F();
  const SoupRef subs = f.def.GetNamedSoup(tn::subpossibilities);
  auto root = std::make_unique<Container>();
  root->name = root->type = Kiv::PString("big");
  root->schema = DataManager::Instance()->Schema();
  root->LoadDefinition(f.def, true);
  const SoupRef tagArray = root->tagArrayDefinition;
  for (size_t i = 0; i < config.names.size(); ++i) {
    SoupRef entry = i % 16 == 0  ? subs.GetNamedSoup(kFlag)
                    : i % 8 == 0 ? subs.GetNamedSoup(kPart)
                    : i % 4 == 0 ? subs.GetNamedSoup(kAtt)
                                 : tagArray;
    Tag* tag = root->CreateTagFromDefinition(root.get(), config.names[i], entry, config.soup);
    if (!tag) std::abort();
    tag->BindValidation(entry);
    RunTagRules(*tag);
    root->AddTag(tag);
    if (i % 10 == 0) {
      Container* child =
          root->MakeChild(config.names[i], kPartDef, root.get(), SoupRef(), static_cast<int32_t>(i));
      if (!child) std::abort();
      root->AddChild(child);
      DataManager::Instance()->RegisterObjectByKey(root->name, child);
    }
  }
  root->MoveHeaderTagsToFront();
  root.reset();
  ErrorHandler::Instance()->Clear();
}

void BM_ConfigTree(benchmark::State& state) {
  const Config config = MakeConfig(static_cast<int>(state.range(0)));
  for (auto _ : state) BuildCheckDelete(config);
  state.SetItemsProcessed(state.iterations() * state.range(0));
  // Seconds per tag: the inverse of the tag rate.
  state.counters["s_per_tag"] =
      benchmark::Counter(static_cast<double>(state.range(0)),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ConfigTree)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

double NanosPerTag(int n, int rounds) {
  const Config config = MakeConfig(n);
  BuildCheckDelete(config);  // warm up
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    BuildCheckDelete(config);
    std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / n);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  // Quadratic work would make the 10,000-tag cost per tag ten times the
  // 1,000-tag one; memory-cache effects alone stay within a small factor.
  const double small = NanosPerTag(1000, 50), large = NanosPerTag(10000, 10), huge = NanosPerTag(100000, 3);
  std::printf(
      "config tree: ns per tag %.1f at 1,000 tags, %.1f at 10,000, %.1f at 100,000; "
      "ratio 10k/1k %.2f, 100k/10k %.2f (quadratic would be 10)\n",
      small, large, huge, large / small, huge / large);
  benchmark::Shutdown();
  return 0;
}
