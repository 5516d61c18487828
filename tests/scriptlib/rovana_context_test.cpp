// The script context's natives and the Asset class against a folder asset
// database: what a script reads of its asset, lookups that ask the database
// once, and searches.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config/AssetSpec.h"
#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "foundation/Stream.h"
#include "kiv/Bitmap.h"
#include "kiv/Log.h"
#include "kiv/TempFolder.h"
#include "scriptlib/GSOAsset.h"
#include "scriptlib/GSOSecurityToken.h"
#include "scriptlib/ScriptableObject.h"
#include "scriptlib/RovanaScriptContext.h"
#include "umbclient/AssetTypes.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/FolderAssetDatabase.h"
#include "umbclient/OpenDatabase.h"

#include "ScriptHarness.h"
#include "tests/config/AssetTree.h"

namespace {

TEST(RovanaScriptContext, NormalizedTimeOfDay) {
  EXPECT_EQ(NormalizedTimeOfDay(12, 0, 0), 1.0f);  // noon is not wrapped
  EXPECT_EQ(NormalizedTimeOfDay(0, 0, 0), 0.5f);
  EXPECT_EQ(NormalizedTimeOfDay(6, 0, 0), 0.75f);
  const float after = NormalizedTimeOfDay(12, 0, 1);
  EXPECT_GT(after, 0.0f);
  EXPECT_LT(after, 0.00002f);
  EXPECT_LT(NormalizedTimeOfDay(23, 59, 59), 0.5f);
}

TEST(RovanaScriptContext, BuildVersionComparesHundredths) {
  EXPECT_TRUE(SupportsBuildVersion(3.4f, 3.4f));
  EXPECT_FALSE(SupportsBuildVersion(3.39f, 3.4f));
  EXPECT_TRUE(SupportsBuildVersion(3.5f, 3.4f));
}

TEST(RovanaScriptContext, ImageNamesStayInsideTheAssetFolder) {
  EXPECT_TRUE(IsNameInsideFolder("thumb.tga"));
  EXPECT_TRUE(IsNameInsideFolder("art/thumb..tga"));
  EXPECT_FALSE(IsNameInsideFolder("../other/thumb.tga"));
  EXPECT_FALSE(IsNameInsideFolder("art/../../thumb.tga"));
  EXPECT_FALSE(IsNameInsideFolder("art\\..\\..\\x.tga"));
  EXPECT_FALSE(IsNameInsideFolder("/etc/passwd"));
  EXPECT_FALSE(IsNameInsideFolder("c:thumb.tga"));
  EXPECT_FALSE(IsNameInsideFolder(".."));
}

const KUID kStation(523, 100, 0);
const KUID kShed(523, 101, 0);
const KUID kTree(523, 102, 0);

class AssetScripts : public ::testing::Test {
protected:
  void SetUp() override {
    SoupRef station = SoupRef::NewContainer();
    station.SetNamedTagKUID("kuid", kStation);
    station.SetNamedTag("username", "Station");
    station.SetNamedTag("author", "Maker");
    station.SetNamedTag("kind", "scenery");
    station.SetNamedTag("category-class", "BS");
    station.SetNamedTag("info-url", "http://example.invalid/station");
    station.SetNamedTagFloat("rovana-build", 3.4f);
    SoupRef table = SoupRef::NewContainer();
    table.SetNamedTagKUID("shed", kShed);
    table.SetNamedTagKUID("tree", kTree);
    EXPECT_TRUE(station.SetNamedSoup("kuid-table", table));
    SoupRef strings = SoupRef::NewContainer();
    strings.SetNamedTag("greeting", "Hello $0");
    EXPECT_TRUE(station.SetNamedSoup("string-table", strings));
    SoupRef rules = SoupRef::NewContainer();
    SoupRef timing = SoupRef::NewContainer();
    timing.SetNamedTagInt("limit", 7);
    EXPECT_TRUE(rules.SetNamedSoup("timing", timing));
    EXPECT_TRUE(station.SetNamedSoup("rule-data", rules));
    Write("user/local/station/config.txt", station);
    for (const auto& [kuid, name] : {std::pair{kShed, "Shed"}, std::pair{kTree, "Tree"}}) {
      SoupRef s = SoupRef::NewContainer();
      s.SetNamedTagKUID("kuid", kuid);
      s.SetNamedTag("username", name);
      s.SetNamedTag("kind", "scenery");
      s.SetNamedTag("category-class", "BS");
      Write(std::string("user/local/") + name + "/config.txt", s);
    }
    m_tree.Write("install/tables/asset-types.txt", "buildings  BS\n");
    m_tree.Write("install/tables/legacy-categories.txt", "# none\n");
    Kiv::Bitmap thumb;
    ASSERT_TRUE(thumb.Create(3, 2, Kiv::Bitmap::FormatRGBA32));
    ASSERT_TRUE(thumb.Save(m_tree.Path("user/local/station/thumb.png")));
    ASSERT_TRUE(thumb.Save(m_tree.Path("user/local/outside.png")));
    ASSERT_TRUE(m_tree.Open());
  }
  void TearDown() override { m_tree.Close(); }
  void Write(const std::string& relative, const SoupRef& soup) { m_tree.WriteConfig(relative, soup); }
  static uint64_t Requests(uint32_t id) { return AssetTree::Requests(id); }

  AssetTree m_tree{"rovana-context-test"};
};

const char* const kPrelude = R"(include "Rovana.gs"
include "Constructors.gs"
class Test {
  KUID K(string text) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }
  Asset Station(void) { return World.FindAsset(K("<kuid:523:100>")); }
)";

TEST_F(AssetScripts, AnAssetReadsItsConfigTablesAndInfo) {
  ScriptHarness script(std::string(kPrelude) + R"(
  public string Main(void) {
    Asset a = Station();
    StringTable t = a.GetStringTable();
    t.SetParam(0, "there");
    string r = a.GetLocalisedName() + "|" + a.GetCreatorName() + "|" + t.GetString("greeting") + "|";
    if (a.GetStringTable() == t) r = r + "same-table|";
    r = r + a.LookupKUIDTable("SHED").GetLogString() + "|" + a.FindAsset("Tree").GetLocalisedName() + "|";
    if (a.FindAsset("tree") == a.FindAsset("TREE")) r = r + "same-asset|";
    if (a.SupportsRovanaBuildVersion(3.4)) r = r + "3.4|";
    if (!a.SupportsRovanaBuildVersion(3.41)) r = r + "not-3.41|";
    r = r + a.GetInfoURL() + "|" + a.GetSessionRuleData("Timing").GetNamedTagAsInt("limit") + "|";
    if (!a.GetSessionRuleData("other")) r = r + "no-rules|";
    Soup c = a.GetConfigSoup();
    if (c.IsLocked()) r = r + "locked|";
    if (!a.GetIsFavorite() and !a.IsBuiltIn()) r = r + "plain|";
    Image i = a.LoadImage("Thumb.PNG");
    if (i) r = r + "image " + i.GetWidth() + "x" + i.GetHeight() + "|";
    if (!a.LoadImage("../outside.png") and !a.LoadImage("missing.png")) r = r + "no-image|";
    return r + a.GetKUID().GetLogString();
  }
};
)");
  ASSERT_TRUE(script.ok);
  EXPECT_EQ(script.CallText("::Main()"),
            "Station|Maker|Hello there|same-table|<kuid:523:101>|Tree|same-asset|3.4|not-3.41|"
            "http://example.invalid/station|7|no-rules|locked|plain|image 3x2|no-image|<kuid:523:100>");
}

TEST_F(AssetScripts, AKUIDTableMissStopsTheScriptListingTheNames) {
  ScriptHarness script(std::string(kPrelude) + R"(
  public int Main(void) { Station().FindAsset("Barn"); return 1; }
  public int Lookup(void) { Station().LookupKUIDTable("barn"); return 1; }
};
)");
  ASSERT_TRUE(script.ok);
  EXPECT_NE(script.Call("::Main()"), ER_Done);
  EXPECT_TRUE(
      LogHas("Asset.FindKUID> unable to find 'barn' in kuid-table\nAvailable kuids are: \"shed\" \"tree\" "))
      << (g_log.empty() ? "" : g_log.back());
  EXPECT_NE(script.Call("::Lookup()"), ER_Done);
  EXPECT_TRUE(LogHas("Asset.LookupKUIDTable> unable to find 'barn'"));
}

// An asset's dependencies reach the script as a list it may read but not
// change: every change is refused and leaves the list as it was.
TEST_F(AssetScripts, TheDependencyListIsLocked) {
  ScriptHarness script(std::string(kPrelude) + R"(
  KUIDList list;
  public string Main(void) {
    list = Station().GetDependencyList();
    string r = "locked " + list.IsLocked() + " count " + list.CountKUIDs();
    if (list.HasKUID(K("<kuid:523:101>")) and list.HasKUID(K("<kuid:523:102>"))) r = r + " shed and tree";
    return r;
  }
  public int Add(void) { list.AddKUID(K("<kuid:9:9>")); return 1; }
  public int Remove(void) { list.RemoveKUID(K("<kuid:523:101>")); return 1; }
  public int Clear(void) { list.Clear(); return 1; }
  public int Count(void) { return list.CountKUIDs(); }
};
)");
  ASSERT_TRUE(script.ok);
  EXPECT_EQ(script.CallText("::Main()"), "locked true count 2 shed and tree");
  for (const char* change : {"::Add()", "::Remove()", "::Clear()"}) {
    SCOPED_TRACE(change);
    EXPECT_NE(script.Call(change), ER_Done);
    uint32_t count = 0;
    EXPECT_EQ(script.Call("::Count()", {}, &count), ER_Done);
    EXPECT_EQ(count, 2u);
  }
  EXPECT_TRUE(LogHas("KUIDList.Copy> list is locked")) << (g_log.empty() ? "" : g_log.back());
}

TEST_F(AssetScripts, FindAssetAsksTheDatabaseOnceAndKeepsTheObject) {
  ScriptHarness script(std::string(kPrelude) + R"(
  public int Main(void) {
    Asset a = Station();
    Asset b = Station();
    Asset none = World.FindAsset(K("<kuid:999:1>"));
    if (a != b or none) return 0;
    return 1;
  }
};
)");
  ASSERT_TRUE(script.ok);
  const uint64_t before = Requests(26);
  uint32_t result = 0;
  ASSERT_EQ(script.Call("::Main()", {}, &result), ER_Done);
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(Requests(26) - before, 2u);  // the station once, the unknown asset once
  EXPECT_EQ(CountAssetObjects(), 1u);
  // The objects go with their context.
  ClearAssetCache(&script.context);
  EXPECT_EQ(CountAssetObjects(), 0u);
}

// A KUID the database did not know is asked again once an asset with it has
// been installed and the folders rescanned.
TEST_F(AssetScripts, FindAssetForgetsWhatItResolvedWhenTheDatabaseChanges) {
  ScriptHarness script(std::string(kPrelude) + R"(
  public int Main(void) {
    if (World.FindAsset(K("<kuid:523:200>"))) return 1;
    return 0;
  }
};
)");
  ASSERT_TRUE(script.ok);
  uint32_t result = 9;
  ASSERT_EQ(script.Call("::Main()", {}, &result), ER_Done);
  EXPECT_EQ(result, 0u);
  SoupRef barn = SoupRef::NewContainer();
  barn.SetNamedTagKUID("kuid", KUID(523, 200, 0));
  barn.SetNamedTag("username", "Barn");
  barn.SetNamedTag("kind", "scenery");
  barn.SetNamedTag("category-class", "BS");
  Write("user/local/barn/config.txt", barn);
  ASSERT_TRUE(UMBWithDatabase([](AssetDatabase& d) {
    if (auto* folder = dynamic_cast<FolderAssetDatabase*>(&d)) folder->Rescan();
  }));
  ASSERT_EQ(script.Call("::Main()", {}, &result), ER_Done);
  EXPECT_EQ(result, 1u);
  ClearAssetCache(&script.context);
}

TEST_F(AssetScripts, SearchesAndAssetLists) {
  ScriptHarness script(std::string(kPrelude) + R"(
  public string Main(void) {
    Asset[] none = World.GetAssetList("UnknownType");
    Asset[] all = World.GetAssetList("Buildings");
    Asset[] extra = World.GetAssetList("buildings", "zz");
    KUID[] found = World.SearchAssets("bs", false);
    KUID[] local = World.SearchAssets("bs", true);
    KUID[] other = World.SearchAssets("XX", true);
    if (!none) return "null";
    return none.size() + " " + all.size() + " " + extra.size() + " " + found.size() + " " + local.size() + " " +
           other.size() + " " + found[0].GetLogString();
  }
  public string Version(void) {
    return World.GetRovanaVersion() + " " + World.GetRovanaBuild();
  }
  public int NullSoup(void) { World.RovanaSystemCall("x", null); return 1; }
};
)");
  ASSERT_TRUE(script.ok);
  std::vector<std::string> lines;
  const int listener = Kiv::Log::Instance().AddListener(
      [&lines](Kiv::LogLevel, std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(script.CallText("::Main()"), "0 3 0 3 3 0 <kuid:523:100>");
  Kiv::Log::Instance().RemoveListener(listener);
  // An unknown type, and a list whose extra category no asset has.
  const std::vector<std::string> want{"World.GetAssetList> warning: found zero assets of type 'unknowntype'",
                                      "World.GetAssetList> warning: found zero assets of type 'buildings'"};
  std::vector<std::string> warnings;
  for (const std::string& line : lines)
    if (line.find("GetAssetList") != std::string::npos) warnings.push_back(line);
  EXPECT_EQ(warnings, want);
  EXPECT_EQ(script.CallText("::Version()"), "3.400000 46170");
  EXPECT_NE(script.Call("::NullSoup()"), ER_Done);
  EXPECT_TRUE(LogHas("null object at parameter 2"));
}

}  // namespace

namespace {

// A script object of an asset, as the program makes for asset scripts.
class AssetObject : public AssetScriptObject {
public:
  AssetObject(RovanaScriptContext* context, const KUID& kuid)
      : AssetScriptObject(context, SpecRegistry::Instance()->GetSpec(kuid)) {}
};

const GSOSecurityToken* TokenOf(uint32_t cell) {
  return dynamic_cast<const GSOSecurityToken*>(GetObject(cell));
}

std::string Describe(const GSOSecurityToken& token, const std::vector<const ScriptableObject*>& issuers) {
  std::string text;
  for (const auto& [serial, grants] : token.GrantTable()) {
    for (size_t i = 0; i < issuers.size(); ++i)
      if (issuers[i]->Serial() == serial) text.append(1, '#').append(std::to_string(i));
    for (const auto& [key, grant] : grants) {
      text.append(1, ' ').append(FormatKUIDTag(grant.first)).append(1, ':');
      for (const Kiv::PString& right : grant.second) text.append(1, ' ').append(right.View());
    }
    text.append(1, ';');
  }
  return text;
}

const char* const kTokenScript = R"(include "RovanaGameObject.gs"
include "Constructors.gs"
class Guard isclass RovanaGameObject { };
class Test {
  SecurityToken kept;
  KUID K(string text) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }
  string[] R(string a, string b) { string[] r = new string[2]; r[0] = a; r[1] = b; return r; }
  public SecurityToken Grant(Guard issuer) {
    string[] r = new string[4];
    r[0] = "enter"; r[1] = "enter"; r[3] = "duplicate-token";
    return issuer.IssueSecurityToken(K("<kuid:523:101>"), r);
  }
  public string Check(Guard holder, Guard issuer, SecurityToken t) {
    kept = t;
    string r = "";
    if (holder.Validate(t, issuer, "enter")) r = r + "object ";
    if (holder.Validate(t, K("<kuid:523:100>"), "enter")) r = r + "kuid ";
    if (!holder.Validate(t, K("<kuid:523:100>"), "leave")) r = r + "no-leave ";
    if (!issuer.Validate(t, issuer, "enter")) r = r + "not-for-the-issuer";
    return r;
  }
  public SecurityToken Pass(Guard holder, SecurityToken t) {
    return holder.IssueSecurityToken(t, K("<kuid:523:102>"), R("enter", "leave"));
  }
  public SecurityToken Merge(Guard g, SecurityToken a, SecurityToken b) {
    SecurityToken[] all = new SecurityToken[3];
    all[0] = a; all[2] = b;
    return g.MergeSecurityTokens(all);
  }
  public bool StillValid(Guard holder) { return holder.Validate(kept, K("<kuid:523:100>"), "enter"); }
};
)";

}  // namespace

TEST_F(AssetScripts, SecurityTokensGrantPassMergeAndOutliveTheirIssuer) {
  ScriptHarness script(kTokenScript);
  ASSERT_TRUE(script.ok);
  GSClass* guard = script.FindClass("Guard");
  ASSERT_NE(guard, nullptr);
  auto* station = new AssetObject(&script.context, kStation);
  AssetObject shed(&script.context, kShed);
  AssetObject tree(&script.context, kTree);
  ASSERT_TRUE(station->BindScriptClass(guard, &script.context));
  ASSERT_TRUE(shed.BindScriptClass(guard, &script.context));
  ASSERT_TRUE(tree.BindScriptClass(guard, &script.context));
  const std::vector<const ScriptableObject*> who{station, &shed, &tree};

  uint32_t granted = 0;
  ASSERT_EQ(script.Call("::Grant(Guard)", {station}, &granted), ER_Done);
  ASSERT_NE(TokenOf(granted), nullptr);
  // Duplicates collapse and elements that are not strings are skipped.
  EXPECT_EQ(Describe(*TokenOf(granted), who), "#0 <kuid:523:101>: duplicate-token enter;");
  EXPECT_EQ(script.CallText("::Check(Guard,Guard,SecurityToken)", {&shed, station, TokenOf(granted)}),
            "object kuid no-leave not-for-the-issuer");

  // The holder may duplicate: it passes on what it holds, nothing more.
  uint32_t passed = 0;
  ASSERT_EQ(script.Call("::Pass(Guard,SecurityToken)", {&shed, TokenOf(granted)}, &passed), ER_Done);
  ASSERT_NE(TokenOf(passed), nullptr);
  EXPECT_EQ(Describe(*TokenOf(passed), who),
            "#0 <kuid:523:101>: duplicate-token enter;#1 <kuid:523:102>: enter;");
  // The tree holds no duplicate right and issued nothing.
  std::vector<std::string> lines;
  const int listener = Kiv::Log::Instance().AddListener(
      [&lines](Kiv::LogLevel, std::string_view l) { lines.emplace_back(l); });
  uint32_t refused = 1;
  ASSERT_EQ(script.Call("::Pass(Guard,SecurityToken)", {&tree, TokenOf(granted)}, &refused), ER_Done);
  Kiv::Log::Instance().RemoveListener(listener);
  EXPECT_EQ(refused, 0u);
  EXPECT_EQ(lines,
            std::vector<std::string>{"GSOSecurityToken::ReIssueToken> Unauthorised attempt made to re-issue "
                                     "security token (<kuid:523:102>)"});

  uint32_t merged = 0;
  ASSERT_EQ(script.Call("::Merge(Guard,SecurityToken,SecurityToken)",
                        {&tree, TokenOf(granted), TokenOf(passed)}, &merged),
            ER_Done);
  ASSERT_NE(TokenOf(merged), nullptr);
  EXPECT_EQ(Describe(*TokenOf(merged), who), Describe(*TokenOf(passed), who));

  // The issuer goes; its token grants nothing any more, and nothing breaks.
  delete station;
  uint32_t valid = 1;
  ASSERT_EQ(script.Call("::StillValid(Guard)", {&shed}, &valid), ER_Done);
  EXPECT_EQ(valid, 0u);
  ReleaseHandle(granted);
  ReleaseHandle(passed);
  ReleaseHandle(merged);
}

TEST(ScriptableObject, WrapperSourceAndSourceText) {
  EXPECT_EQ(WrapperSource(nullptr),
            "include \"Rovana.gs\"\n\ninclude \"gs.gs\"\n\nclass CustomObject isclass GameObject\n{\n"
            "  public void Init(Asset self)\n  {\n    inherited(self);\n    //...\n  }\n};\n\n");
  ScriptableObject object(nullptr);
  EXPECT_FALSE(object.SetSource(" \t\r\n"));
  EXPECT_FALSE(object.SetSource(WrapperSource(nullptr)));
  EXPECT_TRUE(object.SetSource("class A { };"));
  EXPECT_EQ(object.GetSource(), "class A { };");
  EXPECT_TRUE(object.SetSource("\n\n"));
  EXPECT_EQ(object.GetSource(), WrapperSource(nullptr));

  // Through a stream: the text set, or none; a text too long for a stream
  // string is reported, not silently written as another text.
  ScriptableObject copy(nullptr);
  TBuffer stream;
  EXPECT_TRUE(object.WriteSource(stream));
  ASSERT_TRUE(object.SetSource("class B { };"));
  EXPECT_TRUE(object.WriteSource(stream));
  EXPECT_TRUE(stream.Rewind());
  copy.ReadSource(stream);
  EXPECT_EQ(copy.GetSource(), WrapperSource(nullptr));
  copy.ReadSource(stream);
  EXPECT_EQ(copy.GetSource(), "class B { };");
  ASSERT_TRUE(object.SetSource(std::string(70000, 'x')));
  EXPECT_FALSE(object.WriteSource(stream));
}
