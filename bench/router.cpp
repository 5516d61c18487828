// Messages between game objects through the router's step: 1,000,000
// messages posted from and to 1,000 objects, 10,000 per step, each delivered
// to an empty script handler (a "Message" object made and the handler run),
// and the same through nodes whose native receive does nothing. The
// reference does the same work with a plain queue, a hash map from node id to
// receiver and a virtual call. Prints deliveries per second (higher is
// better), the ratio, the peak resident set and its growth over the run.
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/bench_report.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"

using namespace GSRuntime;

namespace {

constexpr int kObjects = 1000;
constexpr int kMessages = 1000000;
constexpr int kPerStep = 10000;
constexpr int kRuns = 5;

const char* const kScript = R"(
include "gs.gs"
class Node isclass GameObject {
  void On(Message m) { }
  public void Listen(void) { AddHandler(me, "Tick", "", "On"); }
};
)";

struct Pairs {
  std::vector<std::pair<int, int>> list;
  Pairs() {
    std::mt19937 random(7);
    list.resize(kMessages);
    for (auto& [from, to] : list) {
      from = int(random() % kObjects);
      to = int(random() % kObjects);
    }
  }
};

// Counts what reaches it; the router-only case.
struct Counter : GSNode {
  bool Receive(GSMessage*) override {
    ++received;
    return true;
  }
  static inline uint64_t received = 0;
};

struct Growth {
  long first = 0, last = 0;
};

// Posts every pair's message, a step's worth at a time, then steps.
template <class Node>
double Run(GSRouter& router, uint64_t& now, const std::vector<Node*>& nodes, uint16_t major,
           const Pairs& pairs, Growth* growth) {
  return BenchReport::Seconds([&] {
    for (int i = 0; i < kMessages; i += kPerStep) {
      for (int j = i; j < i + kPerStep; ++j) {
        const auto [from, to] = pairs.list[std::size_t(j)];
        const MessageRef m(GSMessage::Make(major, kMessageAnyMinor,
                                           uint32_t(nodes[std::size_t(from)]->NodeId()),
                                           uint32_t(nodes[std::size_t(to)]->NodeId()), kMessageCreated));
        // The benchmark posts below the limits.
        (void)router.PostMessage(m.Get());
      }
      now += 100;
      router.Step();
      if (growth && i == 10 * kPerStep) growth->first = BenchReport::StatusBytes("VmRSS");
    }
    if (growth) growth->last = BenchReport::StatusBytes("VmRSS");
  });
}

// The reference: the same posts and deliveries through a plain queue and map.
struct Receiver {
  virtual ~Receiver() = default;
  virtual void Receive(uint16_t major, uint32_t from) = 0;
};
struct CountingReceiver : Receiver {
  void Receive(uint16_t, uint32_t) override { ++received; }
  static inline uint64_t received = 0;
};

double Reference(const Pairs& pairs) {
  std::vector<std::unique_ptr<CountingReceiver>> receivers;
  std::unordered_map<int32_t, Receiver*> byId;
  for (int i = 0; i < kObjects; ++i) {
    receivers.push_back(std::make_unique<CountingReceiver>());
    byId[i + 1] = receivers.back().get();
  }
  struct Posted {
    uint16_t major;
    uint32_t from, to;
  };
  std::vector<Posted> queue;
  return BenchReport::Seconds([&] {
    for (int i = 0; i < kMessages; i += kPerStep) {
      for (int j = i; j < i + kPerStep; ++j) {
        const auto [from, to] = pairs.list[std::size_t(j)];
        queue.push_back(Posted{101, uint32_t(from + 1), uint32_t(to + 1)});
      }
      for (const Posted& p : queue)
        if (auto found = byId.find(int32_t(p.to)); found != byId.end())
          found->second->Receive(p.major, p.from);
      queue.clear();
    }
  });
}

}  // namespace

int main() {
  Kiv::TempFolder folder;
  const std::string scripts = ROVANA_SCRIPTS_DIR;
  // Set-up of the measured data, known to work.
  (void)Kiv::File::WriteWholeFile(folder.Path("bench.gs"), kScript);
  GSCompiler::CompileLog log;
  if (GSCompiler::CompileFile(folder.Path("bench.gs").c_str(), (folder.Root() + "/").c_str(),
                              {{Kiv::File::Path(scripts), Kiv::PString()}}, &log) != 0) {
    for (std::size_t i = 0; i < log.Count(); ++i) std::printf("%s\n", log.At(i));
    return 1;
  }
  GSMachine& machine = GSMachine::Instance();
  // Set-up of the measured data, known to work.
  (void)machine.AddLibraryFolder(scripts);
  GSLibrary* library =
      machine.AddLibrary(folder.Root(), "bench.gsl") ? machine.GetLibraryByName("bench.gsl") : nullptr;
  GSClass* cls = library ? library->FindClass("Node") : nullptr;
  if (!cls) {
    std::printf("the benchmark's script did not load\n");
    return 1;
  }
  const Pairs pairs;

  // Script handlers.
  std::vector<double> script, native, reference;
  Growth growth;
  for (int run = 0; run < kRuns; ++run) {
    uint64_t now = 0;
    GSContext context;
    GSRouter& router = *context.CreateRouter([&now] { return now; });
    std::vector<GSGameObject*> objects;
    for (int i = 0; i < kObjects; ++i) {
      auto* o = new GSGameObject();
      o->SetName(std::to_string(i));
      if (!o->BindScriptClass(cls, &context) || !router.AddNode(o)) return 1;
      CallScriptFunction(*cls->FindMethod("::Listen()"), o->GetScriptHandle(), nullptr, 0, nullptr);
      objects.push_back(o);
    }
    script.push_back(
        Run(router, now, objects, router.GetMessageId("Tick"), pairs, run == 0 ? &growth : nullptr));
    for (GSGameObject* o : objects) delete o;
  }
  // Native nodes that do nothing: the router alone.
  for (int run = 0; run < kRuns; ++run) {
    uint64_t now = 0;
    GSRouter router([&now] { return now; });
    std::vector<std::unique_ptr<Counter>> owned;
    std::vector<Counter*> nodes;
    const uint16_t major = router.GetMessageId("Tick");
    for (int i = 0; i < kObjects; ++i) {
      owned.push_back(std::make_unique<Counter>());
      // Set-up of the measured data, known to work.
      (void)router.AddNode(owned.back().get());
      // Set-up of the measured data, known to work.
      (void)router.Subscribe(owned.back().get(), major);
      nodes.push_back(owned.back().get());
    }
    native.push_back(Run(router, now, nodes, major, pairs, nullptr));
  }
  for (int run = 0; run < kRuns; ++run) reference.push_back(Reference(pairs));

  char note[160];
  const double ref = kMessages / BenchReport::Median(reference);
  std::snprintf(note, sizeof note, "(median of %d, spread %.0f%%; 1,000 objects, 10,000 per step)", kRuns,
                BenchReport::SpreadPercent(script));
  BenchReport::Figure("deliveries to script handlers", kMessages / BenchReport::Median(script), ref,
                      "messages/s", note);
  std::snprintf(note, sizeof note, "(median of %d, spread %.0f%%)", kRuns,
                BenchReport::SpreadPercent(native));
  BenchReport::Figure("deliveries to native nodes", kMessages / BenchReport::Median(native), ref,
                      "messages/s", note);
  std::printf("peak resident set %.1f MiB; resident set after step 10 %.1f MiB, after step 100 %.1f MiB\n",
              double(BenchReport::StatusBytes("VmHWM")) / 1048576.0, double(growth.first) / 1048576.0,
              double(growth.last) / 1048576.0);
  std::printf("delivered %llu native, %llu reference\n", (unsigned long long)Counter::received,
              (unsigned long long)CountingReceiver::received);
  return 0;
}
