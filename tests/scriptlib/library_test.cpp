// Script libraries against a folder asset database: one object per context,
// the plug-in bridge with the test plug-in, properties across a world-list
// save and load, the click message, and failures that leave nothing behind.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/AssetSpec.h"
#include "foundation/KUID.h"
#include "foundation/Soup.h"
#include "foundation/Stream.h"
#include "gamescript/runtime/Router.h"
#include "kiv/File.h"
#include "kiv/Log.h"
#include "kiv/TempFolder.h"
#include "scriptlib/GSOLibrary.h"
#include "scriptlib/RovanaScriptContext.h"
#include "umbclient/AssetTypes.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/OpenDatabase.h"

#include "ScriptHarness.h"
#include "tests/config/AssetTree.h"

namespace {

const KUID kEcho(523, 200, 0);      // a library with the test plug-in
const KUID kPlain(523, 201, 0);     // a library without one
const KUID kBroken(523, 202, 0);    // a library whose Init fails
const KUID kEscaping(523, 203, 0);  // a plug-in name that climbs out of the folder
const KUID kScenery(523, 204, 0);   // no library
const KUID kMenu(523, 205, 0);      // a library that uses the menu natives

// Init counts and logs; the properties are the member "note"; SetProperties
// marks what it restored.
const char* const kLibraryScript = R"(include "Rovana.gs"
include "Library.gs"
class EchoLibrary isclass Library {
  string note;
  int inits;
  public void Init(Asset self) {
    inherited(self);
    inits++;
    note = "from " + self.GetLocalisedName();
    World.Log("Init of " + self.GetLocalisedName() + " #" + inits);
    AddHandler(me, "Interface", "ClickSystemButton", "Clicked");
  }
  public Soup GetProperties(void) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("note", note);
    Soup k = Constructors.NewSoup();
    k.SetNamedTag("k", "<kuid:523:205>");
    if (!World.GetLibrary(k.GetNamedTagAsKUID("k"))) s.SetNamedTag("lookup", "refused");
    return s;
  }
  public void SetProperties(Soup s) { note = s.GetNamedTag("note") + " restored"; }
  void Clicked(Message m) { World.Log("clicked " + m.major + "/" + m.minor); }
};
)";

const char* const kMenuScript = R"(include "Rovana.gs"
include "Library.gs"
class MenuLibrary isclass Library {
  public void Init(Asset self) {
    inherited(self);
    AddSystemMenuIcon(self, "tip", "label");
    AddSystemMenuIcon(self, "tip", "", true);
    BlinkSystemMenuIcon(3);
    ShowSystemMenuIconMenu(null);
    RemoveSystemMenuIcon();
  }
};
)";

const char* const kBrokenScript = R"(include "Rovana.gs"
include "Library.gs"
class BrokenLibrary isclass Library {
  public void Init(Asset self) { int zero = 0; int x = 1 / zero; }
};
)";

class Libraries : public ::testing::Test {
protected:
  void SetUp() override {
    Asset(kEcho, "echo_library", "Echo", "echo.gs", "EchoLibrary", kLibraryScript, "echoplugin");
    Asset(kPlain, "plain_library", "Plain", "echo.gs", "EchoLibrary", kLibraryScript, "");
    Asset(kBroken, "broken_library", "Broken", "broken.gs", "BrokenLibrary", kBrokenScript, "echoplugin");
    Asset(kMenu, "menu_library", "Menu", "menu.gs", "MenuLibrary", kMenuScript, "");
    Asset(kEscaping, "escaping_library", "Escaping", "echo.gs", "EchoLibrary", kLibraryScript,
          "../plugins/echoplugin");
    SoupRef scenery = SoupRef::NewContainer();
    scenery.SetNamedTagKUID("kuid", kScenery);
    scenery.SetNamedTag("username", "Tree");
    scenery.SetNamedTag("kind", "scenery");
    WriteConfig("user/local/tree/config.txt", scenery);
    std::vector<uint8_t> plugin;
    ASSERT_TRUE(Kiv::File::ReadWholeFile(ROVANA_TEST_PLUGINS "/echoplugin.so", plugin));
    m_tree.Write("install/bin/plugins/echoplugin.so", std::string(plugin.begin(), plugin.end()));
    m_tree.Write("install/tables/asset-types.txt", "buildings  BS\n");
    // The installation's script sources, which the library scripts include.
    for (Kiv::File::Find find(ROVANA_SOURCE_DIR "/scripts/*.gs"); find.Next();) {
      std::string text;
      ASSERT_TRUE(Kiv::File::ReadWholeFile(find.FullPath(), text));
      m_tree.Write("install/scripts/" + find.Name(), text);
    }
    ASSERT_TRUE(m_tree.Open());
    ScriptLogHook = &CaptureLog;
    g_log.clear();
    m_listener = Kiv::Log::Instance().AddListener(
        [](Kiv::LogLevel, std::string_view line) { g_log.emplace_back(line); });
    ASSERT_TRUE(RegisterScriptNatives());
  }
  void TearDown() override {
    Kiv::Log::Instance().RemoveListener(m_listener);
    ScriptLogHook = nullptr;
    m_tree.Close();
  }
  void Asset(const KUID& kuid, const std::string& folder, const char* name, const char* script,
             const char* cls, const char* source, const char* plugin) {
    SoupRef config = SoupRef::NewContainer();
    config.SetNamedTagKUID("kuid", kuid);
    config.SetNamedTag("username", name);
    config.SetNamedTag("kind", "library");
    config.SetNamedTag("script", script);
    config.SetNamedTag("class", cls);
    config.SetNamedTagFloat("rovana-build", 3.4f);
    if (*plugin) config.SetNamedTag("native-library", plugin);
    WriteConfig("user/local/" + folder + "/config.txt", config);
    m_tree.Write("user/local/" + folder + "/" + script, source);
  }
  void WriteConfig(const std::string& relative, const SoupRef& soup) { m_tree.WriteConfig(relative, soup); }
  static size_t LogCount(std::string_view text) {
    size_t n = 0;
    for (const std::string& line : g_log) n += line.find(text) != std::string::npos;
    return n;
  }

  AssetTree m_tree{"library-test"};
  int m_listener = -1;
};

TEST_F(Libraries, OneObjectPerContextWithItsPlugin) {
  RovanaScriptContext context;
  GSOLibrary* library = context.GetScriptLibrary(kEcho);
  ASSERT_NE(library, nullptr) << (g_log.empty() ? "" : g_log.back());
  EXPECT_FALSE(library->Failed());
  EXPECT_TRUE(library->Initialised());
  EXPECT_EQ(context.GetScriptLibrary(kEcho), library);
  EXPECT_EQ(context.World().ItemCount(), 1u);
  EXPECT_EQ(library->GetTypeCode(), 0x67736C62u);
  EXPECT_EQ(LogCount("Init of Echo #1"), 1u);
  EXPECT_EQ(LogCount("Init of Echo"), 1u);
  // The plug-in saw "Init" once; arguments and a null element round-trip.
  ASSERT_NE(library->NativeLibrary(), nullptr);
  EXPECT_EQ(library->CallNative("inits", {}), "1");
  EXPECT_EQ(library->CallNative("echo", {"a", nullptr, "c d"}), "a|<null>|c d");
  EXPECT_EQ(library->CallNative("nothing", {"a"}), "");

  // Another context has its own object, and the plug-in starts again there.
  RovanaScriptContext other;
  GSOLibrary* second = other.GetScriptLibrary(kEcho);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, library);
  EXPECT_EQ(second->CallNative("inits", {}), "1");

  // Assets that are no library, and a plug-in name outside the folder.
  EXPECT_EQ(context.GetScriptLibrary(kScenery), nullptr);
  EXPECT_EQ(LogCount("unable to find Library <kuid:523:204>"), 1u);
  EXPECT_EQ(context.GetScriptLibrary(KUID::Null()), nullptr);
  GSOLibrary* escaping = context.GetScriptLibrary(kEscaping);
  ASSERT_NE(escaping, nullptr);
  EXPECT_EQ(escaping->NativeLibrary(), nullptr);
  EXPECT_EQ(LogCount("NativeInterface> refused plug-in name '../plugins/echoplugin'"), 1u);
}

TEST_F(Libraries, ScriptsCallThePluginThroughLibraryCallNative) {
  ScriptHarness script(R"(include "Rovana.gs"
include "Constructors.gs"
class Test {
  KUID K(string text) {
    Soup s = Constructors.NewSoup();
    s.SetNamedTag("k", text);
    return s.GetNamedTagAsKUID("k");
  }
  string Call(string kuid, string f) {
    Library lib = World.GetLibrary(K(kuid));
    if (!lib) return "no library";
    string[] args = new string[3];
    args[0] = "x"; args[2] = "z";
    return "[" + lib.LibraryCallNative(f, args, null) + "]";
  }
  public string Echo(void) { return Call("<kuid:523:200>", "echo"); }
  public string Plain(void) { return Call("<kuid:523:201>", "f"); }
  public string Tree(void) { return Call("<kuid:523:204>", "f"); }
  public bool Same(void) { return World.GetLibrary(K("<kuid:523:200>")) == World.GetLibrary(K("<kuid:523:200>")); }
};
)");
  ASSERT_TRUE(script.ok);
  EXPECT_EQ(script.CallText("::Echo()"), "[x|<null>|z]");
  uint32_t same = 0;
  ASSERT_EQ(script.Call("::Same()", {}, &same), ER_Done);
  EXPECT_EQ(same, 1u);
  // Without a plug-in: the empty string and one line naming the function.
  g_log.clear();
  EXPECT_EQ(script.CallText("::Plain()"), "[]");
  std::vector<std::string> unknown;
  for (const std::string& line : g_log)
    if (line.find("unknown function") != std::string::npos) unknown.push_back(line);
  EXPECT_EQ(unknown,
            std::vector<std::string>{"Library.LibraryCall> unknown function 'f' was called on object "
                                     "'<kuid:523:201> \"Plain\"'"});
  EXPECT_EQ(script.CallText("::Tree()"), "no library");
}

TEST_F(Libraries, PropertiesSurviveAWorldListSaveAndLoad) {
  TBuffer saved;
  {
    RovanaScriptContext context;
    GSOLibrary* library = context.GetScriptLibrary(kEcho);
    ASSERT_NE(library, nullptr);
    ASSERT_TRUE(context.SaveWorld(saved));
    // No library is made while the list is walked.
    EXPECT_EQ(LogCount("RovanaScriptContext::GetScriptLibrary> attempted while list is locked"), 1u);
    EXPECT_EQ(context.World().ItemCount(), 1u);
  }
  const std::string bytes(reinterpret_cast<const char*>(saved.Data()), saved.Size());
  // The record: a u32 0, then the binary soup.
  EXPECT_NE(bytes.find(std::string("\0\0\0\0ACS$", 8)), std::string::npos);

  RovanaScriptContext context;
  GSOLibrary* library = context.GetScriptLibrary(kEcho);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(library->GetProperties().GetNamedTag(Kiv::PString("note")).Str(), "from Echo");
  TBuffer in(saved.Data(), saved.Size());
  context.LoadWorld(in);
  EXPECT_EQ(library->GetProperties().GetNamedTag(Kiv::PString("note")).Str(), "from Echo restored");

  // The default properties are empty: no soup is written.
  RovanaScriptContext empty;
  ASSERT_NE(empty.GetScriptLibrary(kMenu), nullptr);
  TBuffer none;
  ASSERT_TRUE(empty.SaveWorld(none));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(none.Data()), none.Size()).find("ACS$"),
            std::string::npos);
}

TEST_F(Libraries, AFailedScriptLeavesNoLibraryAndStartsAfreshNextTime) {
  RovanaScriptContext context;
  EXPECT_EQ(context.GetScriptLibrary(kBroken), nullptr);
  EXPECT_EQ(LogCount("script failure on Library <kuid:523:202>"), 1u);
  EXPECT_EQ(context.World().ItemCount(), 0u);
  EXPECT_EQ(context.GetScriptLibrary(kBroken), nullptr);
  EXPECT_EQ(LogCount("script failure on Library <kuid:523:202>"), 2u);
  EXPECT_FALSE(LogHas("unable to create instance"));
}

std::string CustomSource(const std::string& word) {
  return "include \"Rovana.gs\"\ninclude \"echo.gs\"\nclass CustomObject isclass EchoLibrary {\n"
         "  public void Init(Asset self) { inherited(self); World.Log(\"custom " +
         word + "\"); }\n};\n";
}

TEST_F(Libraries, ObjectsCompiledFromSourceShareOneCacheFileAndStartWithInit) {
  RovanaScriptContext context;
  const std::string cache = m_tree.Path("user/cache");
  SpecRef spec = AssetTree::Registry().GetSpec(kEcho);
  ASSERT_TRUE(spec);
  AssetScriptObject first(&context, spec);
  EXPECT_EQ(first.GetSource(), WrapperSource(spec.AsBase()));
  ASSERT_TRUE(first.SetSource(CustomSource("one")));
  context.Complete(first);
  ASSERT_FALSE(first.Failed());
  EXPECT_EQ(first.Instance()->cls->Name(), "CustomObject");
  EXPECT_EQ(LogCount("Init of Echo #1"), 1u);  // the asset's class runs through inherited()
  EXPECT_EQ(LogCount("custom one"), 1u);
  EXPECT_FALSE(Kiv::File::Exists(cache + "/temp_object.gs"));
  std::vector<uint8_t> before, after;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(cache + "/temp_object.gsl", before));

  // A second object writes the same file over; the first keeps its class.
  AssetScriptObject second(&context, spec);
  ASSERT_TRUE(second.SetSource(CustomSource("two")));
  context.Complete(second);
  ASSERT_FALSE(second.Failed());
  EXPECT_EQ(LogCount("custom two"), 1u);
  ASSERT_TRUE(Kiv::File::ReadWholeFile(cache + "/temp_object.gsl", after));
  EXPECT_NE(before, after);
  EXPECT_EQ(first.Instance()->cls->Name(), "CustomObject");
  EXPECT_NE(first.Instance()->cls, second.Instance()->cls);

  // A new text on a started object binds and starts it again.
  ASSERT_TRUE(first.SetSource(CustomSource("three")));
  EXPECT_FALSE(first.Failed());
  EXPECT_EQ(LogCount("custom three"), 1u);

  // A text that does not compile leaves no class and the object failed.
  AssetScriptObject broken(&context, spec);
  ASSERT_TRUE(broken.SetSource("class CustomObject isclass {"));
  context.Complete(broken);
  EXPECT_TRUE(broken.Failed());
  EXPECT_EQ(broken.Instance(), nullptr);
  EXPECT_FALSE(Kiv::File::Exists(cache + "/temp_object.gs"));

  // No user-data folder: nothing is written, no class.
  SetUserDataFolder("");
  AssetScriptObject homeless(&context, spec);
  ASSERT_TRUE(homeless.SetSource(CustomSource("four")));
  context.Complete(homeless);
  EXPECT_TRUE(homeless.Failed());
  EXPECT_EQ(LogCount("custom four"), 0u);
}

// A host that records the menu hooks.
class MenuHost : public RovanaScriptContext {
public:
  void SetSystemMenuIcon(GSOLibrary&, const KUID& asset, const Kiv::PString& a, const Kiv::PString& b,
                         bool flag) override {
    calls.push_back("icon " + FormatKUIDTag(asset) + " " + a.Str() + "/" + b.Str() + (flag ? " on" : " off"));
  }
  void BlinkSystemMenuIcon(GSOLibrary&, int32_t count) override {
    calls.push_back("blink " + std::to_string(count));
  }
  void ShowSystemMenuIconMenu(GSOLibrary&, GSObjectReference* menu) override {
    calls.push_back(menu ? "menu" : "menu null");
  }
  void LibraryCreated(GSOLibrary&) override { calls.push_back("created"); }
  std::vector<std::string> calls;
};

TEST_F(Libraries, MenuNativesReachTheHostAndAClickBecomesAScriptMessage) {
  MenuHost host;
  uint64_t now = 0;
  GSRouter* router = host.CreateRouter([&now] { return now; });
  ASSERT_NE(host.GetScriptLibrary(kMenu), nullptr);
  const std::string removed = "icon " + FormatKUIDTag(KUID::Null()) + " / off";
  EXPECT_EQ(host.calls,
            (std::vector<std::string>{"created", "icon <kuid:523:205> tip/label off",
                                      "icon <kuid:523:205> tip/ on", "blink 3", "menu null", removed}));

  GSOLibrary* library = host.GetScriptLibrary(kEcho);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(library->NodeId(), 0);
  const int marker = 7;
  // Nothing is the click source yet; then only its "click" counts.
  EXPECT_EQ(library->ReceiveMessage(Kiv::PString("click"), &marker), 1);
  library->SetClickSource(&marker);
  EXPECT_EQ(library->ReceiveMessage(Kiv::PString("other"), &marker), 1);
  EXPECT_EQ(library->ReceiveMessage(Kiv::PString("click"), nullptr), 1);
  EXPECT_EQ(library->ReceiveMessage(Kiv::PString("click"), &marker), 0);
  now += 100;
  router->Step();
  EXPECT_EQ(LogCount("clicked Interface/ClickSystemButton"), 1u);
}

}  // namespace
