// What a run budget buys through each native whose work grows with its
// arguments: the worst case built for it (long keys, long texts, large
// images, many assets) loops until the run budget ends, and its time is
// printed as a multiple of a plain byte-code loop (a jump to itself)
// spending the same budget, measured in the same run (target: none above
// 10). The worst three follow.
// Then the three ordinary text scripts (the commas of a 160 KB text found
// one after another, 2,000 range replacements in a 1.3 MB string, 4,096
// appends of a 256-byte piece) at their size and at four times it: each
// should finish well within the budget.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/script_bench.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/TempFolder.h"
#include "scriptlib/RovanaScriptContext.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;

namespace {

constexpr int kAssets = 3000;
// Each case runs this many times and its fastest run counts: on a shared
// machine the fastest is the one least disturbed.
constexpr int kRuns = 3;

const char* const kScript = R"(include "Rovana.gs"
include "Constructors.gs"
include "LinkedList.gs"
class Cases {
  string words, text, key, runs, near, set, blanks, spaced, nearSpaced, eights, nearEights;
  LinkedData[] sorted, added, empties;
  LinkedData item;
  Image small, large, source, medium, mediumSource;
  Soup soup;

  string Text(string piece, int bytes) {
    string t = piece;
    while (t.size() < bytes) t = t + t;
    return t;
  }
  LinkedData[] Items(int count) {
    LinkedData[] list = new LinkedData[count];
    int i;
    for (i = 0; i < count; i++) {
      LinkedData d = new LinkedData();
      d.key = key;
      d.value = i;
      list[i] = d;
    }
    return list;
  }
  // Each part is a run of its own: making the data spends budget too.
  public void Prepare(int part) {
    int i;
    if (part == 0) {
      words = Text("a ", 2097152);
      text = Text("abcdefgh", 1048576);
      key = Text("k", 65536);
      runs = Text("a", 1048576);
      near = Text("a", 4096) + "b";
      set = Text("b", 1048576);
      blanks = Text(" ", 1048576) + "5";
      // The rarest byte of the text sought met every 9 bytes (checked each
      // time), or every 8 at first (the search hands over to memmem).
      spaced = Text("aaaaaaaab", 1048576);
      nearSpaced = "zb";
      eights = Text("aaaaaaab", 8192) + Text("a", 1048576);
      nearEights = Text("a", 16) + "b";
    } else if (part == 1) {
      sorted = Items(2000);
    } else if (part == 2) {
      key = Text("k", 32768);
      added = Items(3000);
      item = new LinkedData();
      item.key = key;
      item.value = -1;
      key = "";
      empties = Items(3000);
    } else if (part == 3) {
      small = Constructors.NewImage();
      small.Clear(64, 64);
      large = Constructors.NewImage();
      large.Clear(2048, 2048);
      // Half transparent: every pixel drawn is blended.
      source = Constructors.NewImage();
      source.SetFillColor(0.5, 0.25, 0.75, 0.5);
      source.Clear(2048, 2048);
      medium = Constructors.NewImage();
      medium.Clear(512, 512);
      mediumSource = Constructors.NewImage();
      mediumSource.SetFillColor(0.5, 0.25, 0.75, 0.5);
      mediumSource.Clear(512, 512);
    } else if (part == 4) {
      soup = Constructors.NewSoup();
      for (i = 0; i < 5000; i++) soup.SetNamedTag("tag" + i, i);
    } else {
      for (i = 5000; i < 10000; i++) soup.SetNamedTag("tag" + i, i);
    }
  }

  // The plainest loop: one jump that pays for the fewest bytes, so it takes
  // the longest of any byte code to spend the budget.
  public int Loop(void) {
    while (true) { }
    return 0;
  }
  public int Tokens(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + Str.Tokens(words, " ").size(); return n; }
  public int Sort(void) { int i; for (i = 0; i < 2000000000; i++) LinkedList.SortInternal(sorted); return 0; }
  public int AddEmpty(void) { int i; for (i = 0; i < 2000000000; i++) LinkedList.AddInternal(empties, item, true); return 0; }
  public int AddUnique(void) { int i; for (i = 0; i < 2000000000; i++) LinkedList.AddInternal(added, item, true); return 0; }
  public int AssetList(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + World.GetAssetList("building").size(); return n; }
  public int Search(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + World.SearchAssets("QQ", false).size(); return n; }
  public int Updated(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + World.FindUpdatedAssets().size(); return n; }
  public int FontFaces(void) {
    int i, n = 0;
    for (i = 0; i < 2000000000; i++) { small.SetTextFont("face" + i, 12); n = n + small.MeasureTextWidth("Ag"); }
    return n;
  }
  public int FontSizes(void) {
    int i, n = 0;
    for (i = 0; i < 2000000000; i++) { small.SetTextFont("sans", 1 + i % 4096); n = n + small.MeasureTextWidth("A"); }
    return n;
  }
  public int DrawText(void) {
    small.SetTextFont("sans", 12);
    int i;
    for (i = 0; i < 2000000000; i++) small.DrawText(0, 0, text);
    return 0;
  }
  public int MeasureText(void) {
    small.SetTextFont("sans", 12);
    int i, n = 0;
    for (i = 0; i < 2000000000; i++) n = n + small.MeasureTextWidth(text);
    return n;
  }
  public int Find(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + Str.Find(text, "z", 0); return n; }
  public int ToUpper(void) { int i; for (i = 0; i < 2000000000; i++) Str.ToUpper(text); return 0; }
  public int ToInt(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + Str.ToInt(text); return n; }
  public int FindNear(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + Str.Find(runs, near, 0); return n; }
  public int FindSpaced(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + Str.Find(spaced, nearSpaced, 0); return n; }
  public int FindEights(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + Str.Find(eights, nearEights, 0); return n; }
  public int TrimSet(void) { int i; string c = "c"; for (i = 0; i < 2000000000; i++) Str.TrimLeft(c, set); return 0; }
  public int ToIntBlanks(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + Str.ToInt(blanks); return n; }
  public int Clear(void) { int i; for (i = 0; i < 2000000000; i++) large.Clear(2048, 2048 - i % 2); return 0; }
  public int Resize(void) { int i; for (i = 0; i < 2000000000; i++) large.Resize(2048, 2048 - i % 2, true); return 0; }
  public int DrawRect(void) { int i; for (i = 0; i < 2000000000; i++) large.DrawRect(0, 0, 2048, 2048); return 0; }
  public int DrawImageMedium(void) { int i; for (i = 0; i < 2000000000; i++) medium.DrawImage(0, 0, mediumSource); return 0; }
  public int DrawImage(void) { int i; for (i = 0; i < 2000000000; i++) large.DrawImage(0, 0, source); return 0; }
  public int SoupWalk(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + soup.GetIndexForNamedTag("tag9999"); return n; }
  public int SoupNone(void) { int i, n = 0; for (i = 0; i < 2000000000; i++) n = n + soup.GetIndexForNamedTag("none"); return n; }

  public int Commas(int scale) {
    string t = Text("abcdefghi,", 163840 * scale);
    int n = 0, at = Str.Find(t, ",", 0);
    while (at >= 0) { n++; at = Str.Find(t, ",", at + 1); }
    return n;
  }
  public int Replace(int scale) {
    string t = Text("abcdefgh", 1310720 * scale);
    int i;
    for (i = 0; i < 2000 * scale; i++) t[i, i + 3] = "XYZ";
    return t.size();
  }
  public int Append(int scale) {
    string piece = Text("p", 256), s = "";
    int i;
    for (i = 0; i < 4096 * scale; i++) s = s + piece;
    return s.size();
  }
};
)";

struct Case {
  const char* native;
  const char* method;
};

const Case kCases[] = {
    {"Str.Tokens (2 MiB of one-letter words)", "::Tokens()"},
    {"LinkedList.SortInternal (2,000 equal 64 KiB keys)", "::Sort()"},
    {"LinkedList.AddInternal unique (3,000 equal 32 KiB keys)", "::AddUnique()"},
    {"LinkedList.AddInternal unique (3,000 empty keys)", "::AddEmpty()"},
    {"World.GetAssetList (3,000 assets)", "::AssetList()"},
    {"World.SearchAssets finding none (3,000 assets)", "::Search()"},
    {"World.FindUpdatedAssets (3,000 assets)", "::Updated()"},
    {"Image.MeasureTextWidth, a new face each call", "::FontFaces()"},
    {"Image.MeasureTextWidth, sizes 1..4096", "::FontSizes()"},
    {"Image.DrawText (1 MiB text)", "::DrawText()"},
    {"Image.MeasureTextWidth (1 MiB text)", "::MeasureText()"},
    {"Str.Find finding none (1 MiB)", "::Find()"},
    {"Str.ToUpper (1 MiB)", "::ToUpper()"},
    {"Str.ToInt (1 MiB)", "::ToInt()"},
    {"Str.Find of a 4 KiB near-match finding none (1 MiB)", "::FindNear()"},
    {"Str.Find, the rarest byte sought met every 9 bytes (1 MiB)", "::FindSpaced()"},
    {"Str.Find, a near-match handed to memmem (1 MiB)", "::FindEights()"},
    {"Str.TrimLeft by a 1 MiB set", "::TrimSet()"},
    {"Str.ToInt after 1 MiB of blanks", "::ToIntBlanks()"},
    {"Image.Clear 2048 x 2048", "::Clear()"},
    {"Image.Resize 2048 x 2048", "::Resize()"},
    {"Image.DrawRect 2048 x 2048", "::DrawRect()"},
    {"Image.DrawImage 2048 x 2048", "::DrawImage()"},
    {"Image.DrawImage 512 x 512 (held in the cache)", "::DrawImageMedium()"},
    {"Soup.GetIndexForNamedTag, the last of 10,000 tags", "::SoupWalk()"},
    {"Soup.GetIndexForNamedTag, none of 10,000 tags", "::SoupNone()"},
};

}  // namespace

// An argument runs only the cases whose native names contain it.
int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  BenchAssetTree tree(
      "native-costs-bench", kAssets, [](int i) { return KUID(1000 + i % 50, i, 0); }, DescribeBuilding);
  if (!OpenBenchDatabase(tree)) return 1;
  Kiv::TempFolder folder("native-costs-script");
  GSClass* cls = CompileBenchClass(folder, "native_costs.gs", kScript, "Cases");
  if (!cls) return 1;
  ScriptMemory::SetLimit(uint64_t(1) << 30);
  {
    RovanaScriptContext context;
    auto* object = new GSObject();
    if (!object->BindScriptClass(cls, &context)) return 1;
    const uint32_t self = object->GetScriptHandle();
    auto call = [&](const char* method, const uint32_t* arguments, uint32_t count, int32_t& code) {
      GSFunction* f = cls->FindMethod(method);
      uint32_t result = 0;
      std::vector<double> samples;
      for (int r = 0; r < kRuns; ++r)
        samples.push_back(BenchReport::Seconds(
            [&] { code = f ? CallScriptFunction(*f, self, arguments, count, &result) : -1; }));
      return *std::min_element(samples.begin(), samples.end());
    };
    int32_t code = ER_Done;
    for (uint32_t part = 0; part < 6; ++part) {
      GSFunction* prepare = cls->FindMethod("::Prepare(int)");
      code = prepare ? CallScriptFunction(*prepare, self, &part, 1, nullptr) : -1;
      if (code != ER_Done) {
        std::printf("the cases could not be prepared (part %u): %s\n", part, ErrorName(code));
        return 1;
      }
    }
    const double loop = call("::Loop()", nullptr, 0, code);
    std::printf("plain byte-code loop spending the budget: %.4f s (%s)\n", loop, ErrorName(code));
    struct Row {
      std::string native;
      double seconds, multiple;
      int32_t code;
    };
    std::vector<Row> rows;
    for (const Case& c : kCases) {
      if (std::string(c.native).find(only) == std::string::npos) continue;
      const double seconds = call(c.method, nullptr, 0, code);
      rows.push_back({c.native, seconds, seconds / loop, code});
      std::printf("%-60s %8.4f s %7.2fx  %s\n", c.native, seconds, seconds / loop, ErrorName(code));
    }
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.multiple > b.multiple; });
    std::printf("worst three:\n");
    for (std::size_t i = 0; i < 3 && i < rows.size(); ++i)
      BenchReport::Figure(rows[i].native.c_str(), rows[i].seconds, loop, "s",
                          "(a run budget; target ratio 10 or less)");

    std::printf("ordinary scripts (they should end with ER_Done):\n");
    const char* const ordinary[][2] = {{"::Commas(int)", "Str.Find over the commas of 160 KB"},
                                       {"::Replace(int)", "2,000 range replacements in 1.3 MB"},
                                       {"::Append(int)", "4,096 appends of a 256-byte piece"}};
    for (const auto& o : ordinary)
      for (uint32_t scale : {1u, 4u}) {
        const double seconds = call(o[0], &scale, 1, code);
        std::printf("%-45s x%u %8.4f s  %s\n", o[1], scale, seconds, ErrorName(code));
      }
    delete object;
  }
  UMBCloseDatabase();
  return 0;
}
