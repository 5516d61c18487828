// The native script classes against their references, in one run:
//  - 1,000,000 Soup.CountTags() calls from a script loop, against 1,000,000
//    calls of an empty script method and against Lua 5.4 calling a C
//    function 1,000,000 times (ns per call; lower is better);
//  - 100,000 KUIDList adds against 100,000 std::unordered_set inserts, and
//    the time per add at 10,000 and at 100,000 (linear when it stays flat);
//  - 1,000,000 HTMLBuffer appends of 20 bytes against std::string::append.
#include <lua5.4/lua.hpp>

#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/bench_report.h"
#include "bench/script_bench.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/TempFolder.h"
#include "scriptlib/GSOHTMLBuffer.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;

namespace {

const char* const kScript = R"(include "Constructors.gs"
class Empty {
  public void Nothing(void) { }
};
class Work {
  Soup soup = Constructors.NewSoup();
  Empty empty = new Empty();
  public int Natives(int n) {
    int i, c = 0;
    for (i = 0; i < n; i++) c = soup.CountTags();
    return c;
  }
  public int Empties(int n) {
    int i;
    for (i = 0; i < n; i++) empty.Nothing();
    return n;
  }
};
)";

const char* const kLua = R"(
function natives(n)
  local c = 0
  for i = 1, n do c = count_tags() end
  return c
end
)";

int CountTags(lua_State* L) {
  lua_pushinteger(L, 0);
  return 1;
}

constexpr int kRuns = 7;
// A script run is bounded in byte code, so a million calls go as ten runs.
constexpr uint32_t kPerCall = 100000, kCalls = 10;

template <class Work>
std::vector<double> Samples(Work&& work) {
  std::vector<double> s;
  for (int r = 0; r < kRuns; ++r) s.push_back(BenchReport::Seconds(work));
  return s;
}

void Report(const char* name, const std::vector<double>& ours, const std::vector<double>& reference,
            double scale, const char* unit) {
  char note[128];
  std::snprintf(note, sizeof note, "(median of %d; spread %.0f%% / %.0f%%)", kRuns,
                BenchReport::SpreadPercent(ours), BenchReport::SpreadPercent(reference));
  BenchReport::Figure(name, BenchReport::Median(ours) * scale, BenchReport::Median(reference) * scale, unit,
                      note);
}

}  // namespace

int main() {
  Kiv::TempFolder folder("bench-natives");
  GSClass* cls = CompileBenchClass(folder, "natives_work.gs", kScript, "Work");
  GSContext context;
  auto* object = new GSObject();
  if (!cls || !object->BindScriptClass(cls, &context)) return 1;

  // Native calls against empty script calls and Lua's C calls.
  GSFunction* natives = cls->FindMethod("::Natives(int)");
  GSFunction* empties = cls->FindMethod("::Empties(int)");
  int32_t code = ER_Done;
  uint32_t result = 0;
  auto run = [&](GSFunction* f) {
    return [&, f] {
      for (uint32_t c = 0; c < kCalls; ++c)
        code |= CallScriptFunction(*f, object->GetScriptHandle(), &kPerCall, 1, &result);
    };
  };
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  lua_register(L, "count_tags", &CountTags);
  if (luaL_dostring(L, kLua) != LUA_OK) return 1;
  auto lua = [&] {
    lua_getglobal(L, "natives");
    lua_pushinteger(L, lua_Integer(kPerCall) * kCalls);
    lua_pcall(L, 1, 1, 0);
    lua_pop(L, 1);
  };
  const std::vector<double> native = Samples(run(natives));
  const std::vector<double> empty = Samples(run(empties));
  const std::vector<double> luaCalls = Samples(lua);
  lua_close(L);
  if (code != ER_Done) {
    std::printf("a script run failed: %s\n", ErrorName(code));
    return 1;
  }
  const double perCall = 1e9 / (double(kPerCall) * kCalls);
  Report("soup_counttags_vs_lua_c_call", native, luaCalls, perCall, "ns/call");
  Report("soup_counttags_vs_empty_script_call", native, empty, perCall, "ns/call");
  delete object;

  // KUID lists: adds of distinct identifiers, against a hash set.
  auto adds = [&](int n) {
    return Samples([&, n] {
      GSOKUIDList* list = GSOKUIDList::Create(&context);  // its last reference deletes it
      // Set-up of the measured data, known to work.
      for (int i = 0; i < n; ++i) (void)list->Add(KUID(i & 0xFFFF, i, 0));
      if (list->Count() != size_t(n)) std::printf("list count wrong\n");
      ReleaseHandle(list->GetScriptHandle());
    });
  };
  const std::vector<double> adds100k = adds(100000), adds10k = adds(10000);
  const std::vector<double> set100k = Samples([] {
    std::unordered_set<uint64_t> set;
    for (int i = 0; i < 100000; ++i) set.insert(uint64_t(i & 0xFFFF) << 32 | uint32_t(i));
  });
  Report("kuidlist_add_100k_vs_unordered_set", adds100k, set100k, 1e9 / 100000, "ns/add");
  BenchReport::Figure("kuidlist_add_per_item_100k_vs_10k", BenchReport::Median(adds100k) * 1e9 / 100000,
                      BenchReport::Median(adds10k) * 1e9 / 10000, "ns/add", "(1.0 is linear)");

  // Page text: 20-byte appends.
  const std::string piece = "<td>cell 0123</td>\r\n";
  const std::vector<double> html = Samples([&] {
    HTMLBuffer buffer;
    for (int i = 0; i < 1000000; ++i) buffer.Append(piece);
    if (buffer.Text().size() != piece.size() * 1000000) std::printf("buffer size wrong\n");
  });
  const std::vector<double> text = Samples([&] {
    std::string s;
    for (int i = 0; i < 1000000; ++i) s.append(piece);
    if (s.size() != piece.size() * 1000000) std::printf("string size wrong\n");
  });
  Report("htmlbuffer_append_vs_string_append", html, text, 1e9 / 1000000, "ns/append");
  return 0;
}
