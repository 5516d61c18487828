// Building, checking and deleting a typed config tree must cost the same per
// tag at 100,000 tags as at 1,000: registries, duplicate tests and findings
// are indexed, not searched. The reference of each figure is the cost per tag
// of the 1,000-tag tree. Two forms of config: the tags of a large table, whose
// names only the config holds (the import then needs no name index), and tags
// whose names other soups or the definitions hold too, which the import checks
// and finds through the container's name index.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/TagPrototype.h"
#include "config/TagNames.h"
#include "kiv/Log.h"
#include "kiv/TempFolder.h"

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
  Kiv::TempFolder temp{"bench-config-tree"};
  std::string dir = temp.Root() + "/";
  SoupRef def;
  Fixture() {
    Kiv::Log::Instance().SetConsole(false);
    if (temp.Root().empty()) std::abort();
    std::ofstream(dir + "kind.txt") << kSchema;
    // Set-up of the measured data, known to work.
    (void)ErrorHandler::Create();
    // Set-up of the measured data, known to work.
    (void)DataManager::Create(dir.c_str());
    // Set-up of the measured data, known to work.
    (void)DataManager::Instance()->LoadSchema();
    def = DataManager::Instance()->Schema().GetNamedSoup(Kiv::PString("big"));
  }
  ~Fixture() {
    DataManager::Destroy();
    ErrorHandler::Destroy();
  }
};

Fixture& F() {
  static Fixture f;
  return f;
}

struct Config {
  SoupRef soup;
  // The names held beside the soup too, in the second form.
  std::vector<Kiv::PString> heldElsewhere;
};

// n value tags: most are table entries, every fourth an attachment, every
// eighth a mesh-table part and every sixteenth a bad bool that makes a
// finding; and a child container for every tenth tag. Configs held at once
// take different initials: a name two configs shared would have two holders.
Config MakeConfig(int n, bool namesHeldElsewhere, char initial = 't') {
  Config c;
  c.soup = SoupRef::NewContainer();
  for (int i = 0; i < n; ++i) {
    std::string text = std::to_string(i);
    text.insert(text.begin(), initial);
    const Kiv::PString name(text);
    if (namesHeldElsewhere) c.heldElsewhere.push_back(name);
    // Set-up of the measured data, known to work.
    (void)c.soup.Get()->AppendTag(TDBDataTag::MakeBytes(name, kSoupText, text.data(), text.size()));
  }
  return c;
}

const Kiv::PString kAtt("att"), kPart("part"), kFlag("flag"), kPartDef("part-def");

double ProcessorSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// One asset check's worth of work on the tree, then its deletion. With
// deleteSeconds, the processor time of the deletion alone is added there.
void BuildCheckDelete(const Config& config, double* deleteSeconds = nullptr) {
  Fixture& f = F();
  const SoupRef subs = f.def.GetNamedSoup(tn::subpossibilities);
  auto root = std::make_unique<Container>();
  root->name = root->type = Kiv::PString("big");
  root->schema = DataManager::Instance()->Schema();
  root->LoadDefinition(f.def, true);
  // Each entry is read once, as the import reads each definition's entries.
  const SoupRef entries[] = {subs.GetNamedSoup(kFlag), subs.GetNamedSoup(kPart), subs.GetNamedSoup(kAtt),
                             root->tagArrayDefinition};
  const TagPrototype prototypes[] = {TagPrototype(entries[0]), TagPrototype(entries[1]),
                                     TagPrototype(entries[2]), TagPrototype(entries[3])};
  // As the import does: the tag list takes one tag per config entry at most,
  // and a name that only its config entry holds needs no look-up.
  const size_t n = config.soup.CountTags();
  root->tags.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const size_t kind = i % 16 == 0 ? 0 : i % 8 == 0 ? 1 : i % 4 == 0 ? 2 : 3;
    const SoupRef& entry = entries[kind];
    const bool sole = config.soup.Get()->GetTag(i).GetName().HasOneHolder();
    const Kiv::PString name = config.soup.GetIndexedTagName(i);
    Tag* tag =
        root->CreateBoundTag(root.get(), name, entry, prototypes[kind], config.soup, sole ? long(i) : -1);
    if (!tag) std::abort();
    // Set-up of the measured data, known to work.
    (void)RunTagRules(*tag);
    root->AddTag(tag);
    if (i % 10 == 0) {
      Container* child = root->MakeChild(name, kPartDef, root.get(), SoupRef(), static_cast<int32_t>(i));
      if (!child) std::abort();
      root->AddChild(child);
      DataManager::Instance()->RegisterObjectByKey(root->name, child);
    }
  }
  root->MoveHeaderTagsToFront();
  const double deleteStart = deleteSeconds ? ProcessorSeconds() : 0;
  root.reset();
  if (deleteSeconds) *deleteSeconds += ProcessorSeconds() - deleteStart;
  ErrorHandler::Instance()->Clear();
}

void BM_ConfigTree(benchmark::State& state) {
  const Config config = MakeConfig(static_cast<int>(state.range(0)), false);
  for (auto _ : state) BuildCheckDelete(config);
  state.SetItemsProcessed(state.iterations() * state.range(0));
  // Seconds per tag: the inverse of the tag rate.
  state.counters["s_per_tag"] =
      benchmark::Counter(static_cast<double>(state.range(0)),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ConfigTree)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Best cost per tag of some samples, in nanoseconds, and the spread of the samples.
struct PerTag {
  double best = 1e300;
  double spread = 0;
};

// Processor time, not wall time: on a shared machine a run of a large tree
// is always interrupted while small ones often are not, which would charge
// other processes' time to the large tree alone. For the same reason every
// sample covers the same number of tags (trees of a small size in turn), and
// the sizes take their samples in turn: a busy stretch of the machine then
// falls on every size alike, not on whichever size was being measured.
constexpr int kTagsPerSample = 100000;
std::vector<PerTag> NanosPerTag(const std::vector<int>& sizes, bool namesHeldElsewhere, int samples) {
  std::vector<Config> configs;
  for (int n : sizes) {
    configs.push_back(MakeConfig(n, namesHeldElsewhere, static_cast<char>('a' + configs.size())));
    BuildCheckDelete(configs.back());  // warm up
  }
  std::vector<std::vector<double>> perTag(sizes.size());
  for (int r = 0; r < samples; ++r) {
    for (size_t s = 0; s < sizes.size(); ++s) {
      const int trees = std::max(1, kTagsPerSample / sizes[s]);
      const std::clock_t start = std::clock();
      for (int t = 0; t < trees; ++t) BuildCheckDelete(configs[s]);
      const double took = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC * 1e9;
      perTag[s].push_back(took / (static_cast<double>(sizes[s]) * trees));
    }
  }
  std::vector<PerTag> result;
  for (const std::vector<double>& p : perTag)
    result.push_back({*std::min_element(p.begin(), p.end()), BenchReport::SpreadPercent(p)});
  return result;
}

// ROVANA_BENCH_TREE_TAGS=n: only trees of n tags, built and deleted until
// about 20 million tags are done, for a profiler; the deletion is timed
// apart. ROVANA_BENCH_TREE_TOTAL changes the 20 million;
// ROVANA_BENCH_TREE_HELD=1 takes the form whose names are held elsewhere too.
int ProfileOneSize(long n) {
  if (n <= 0 || n > 10'000'000) {
    std::fprintf(stderr, "ROVANA_BENCH_TREE_TAGS: give a number of tags from 1 to 10,000,000\n");
    return 2;
  }
  const char* total = std::getenv("ROVANA_BENCH_TREE_TOTAL");
  const long tags = total ? std::atol(total) : 20'000'000;
  const Config config = MakeConfig(static_cast<int>(n), std::getenv("ROVANA_BENCH_TREE_HELD") != nullptr);
  BuildCheckDelete(config);  // warm up
  const long rounds = std::max(1L, tags / n);
  double deletion = 0;
  const double start = ProcessorSeconds();
  for (long r = 0; r < rounds; ++r) BuildCheckDelete(config, &deletion);
  const double all = ProcessorSeconds() - start;
  const double per = 1e9 / static_cast<double>(rounds * n);
  std::printf("config tree of %ld tags, %ld rounds: ns per tag %.1f in all, %.1f deletion, %.1f the rest\n",
              n, rounds, all * per, deletion * per, (all - deletion) * per);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* only = std::getenv("ROVANA_BENCH_TREE_TAGS")) return ProfileOneSize(std::atol(only));
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // Quadratic work would make the cost per tag grow tenfold with each tenfold
  // size; memory-cache effects alone stay within a small factor.
  constexpr int kSamples = 25;
  const std::vector<int> sizes = {1000, 10000, 100000};
  for (const bool held : {false, true}) {
    const std::vector<PerTag> perTag = NanosPerTag(sizes, held, kSamples);
    const char* form =
        held ? "names held elsewhere too (name index)" : "a table's tags (names only in the config)";
    std::printf("config tree, %s: ns per tag %.1f at 1,000 tags, %.1f at 10,000, %.1f at 100,000\n", form,
                perTag[0].best, perTag[1].best, perTag[2].best);
    for (size_t s = 1; s < sizes.size(); ++s) {
      char title[160], note[160];
      std::snprintf(title, sizeof title, "config tree cost per tag, %s, %s tags against 1,000", form,
                    s == 1 ? "10,000" : "100,000");
      std::snprintf(
          note, sizeof note,
          "(processor time, best of %d samples of 100,000 tags, sizes in turn; spread %.0f%% against %.0f%%)",
          kSamples, perTag[s].spread, perTag[0].spread);
      BenchReport::Figure(title, perTag[s].best, perTag[0].best, "ns/tag", note);
    }
  }
  return 0;
}
