// The native script classes through compiled scripts: registration against
// the build's libraries, and the cases a single corpus run cannot show
// (every mutator of a locked object, state after a refusal, string tables
// handed in by the program).
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/InterfaceTextDB.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/NativeCosts.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "gamescript/runtime/Thread.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"
#include "online/OnlineNatives.h"
#include "scriptlib/GSOHTMLBuffer.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/GSOSoup.h"
#include "scriptlib/GSOStringTable.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"
#include "ScriptHarness.h"

using namespace GSRuntime;

namespace {

std::string SoupText(const SoupRef& soup) {
  std::string text;
  EXPECT_TRUE(WriteSoupText(soup, text));
  return text;
}

// The native classes in the order their tables are registered.
const char* const kClasses[] = {"KUID",
                                "Soup",
                                "HTMLBuffer",
                                "HTMLBufferStatic",
                                "KUIDList",
                                "StringTable",
                                "Asset",
                                "LinkedList",
                                "RovanaGameObject",
                                "OnlineAccess",
                                "OnlineGroup",
                                "Library",
                                "Image",
                                "RovanaScriptBase",
                                "SecurityToken",
                                "ConstructorsBase"};

// As the program does: the online tables are handed in before any registration.
const bool g_onlineInstalled = (InstallOnlineNatives(), true);

}  // namespace

TEST(ScriptNatives, TablesMatchTheLibrariesAndEveryLinkResolves) {
  ScriptLogHook = &CaptureLog;
  g_log.clear();
  ASSERT_TRUE(RegisterScriptNatives()) << ScriptLibrariesFolder();
  GSMachine& machine = GSMachine::Instance();
  const std::size_t records = machine.NativeCount();
  EXPECT_TRUE(RegisterScriptNatives());
  EXPECT_EQ(machine.NativeCount(), records) << "a second registration entered records again";

  std::set<std::string> tables, declared;
  for (std::size_t i = 0; i < machine.NativeCount(); ++i) {
    const GSNativeFunction* r = machine.NativeAt(i);
    for (const char* c : kClasses)
      if (r->ClassName().View() == c) {
        EXPECT_TRUE(tables.insert(r->Key().Str()).second) << r->Key().Str();
      }
  }
  Kiv::File::Find find(Kiv::File::Path(ScriptLibrariesFolder()).Join("*.gsl").Str());
  int libraries = 0;
  while (find.Next()) {
    GSLibrary* library = machine.GetLibraryByName(find.Name());
    ASSERT_NE(library, nullptr) << find.Name();
    ++libraries;
    for (std::size_t c = 0; c < library->ClassCount(); ++c)
      for (GSFunction& f : library->ClassAt(c)->Functions()) {
        if (!f.IsNative()) continue;
        EXPECT_NE(f.native, nullptr) << f.key;
        for (const char* name : kClasses)
          if (library->ClassAt(c)->Name() == name) declared.insert(std::string(f.key));
      }
  }
  EXPECT_GE(libraries, 7);
  EXPECT_EQ(tables, declared);
  // Naming the folder again (a script's include folder) adds nothing and reports nothing.
  const std::size_t known = machine.RegisteredCount();
  // Set-up; the checks below show a failure.
  (void)machine.AddLibraryFolder(ScriptLibrariesFolder());
  EXPECT_EQ(machine.RegisteredCount(), known);
  EXPECT_FALSE(LogHas("Could not add game script library"));
  EXPECT_FALSE(LogHas("Could not resolve native link"));
  ASSERT_NE(ScriptClasses().soup, nullptr);
  EXPECT_EQ(ScriptClasses().soup->Name(), "Soup");
  ScriptLogHook = nullptr;
}

// A native of any layer is registered only with a decision on what it costs,
// and the table names no native that is not registered.
TEST(ScriptNatives, EveryNativeSaysWhatItPaysAndCounts) {
  ASSERT_TRUE(RegisterScriptNatives());
  GSMachine& machine = GSMachine::Instance();
  std::set<std::string> registered;
  for (std::size_t i = 0; i < machine.NativeCount(); ++i) {
    const std::string key = machine.NativeAt(i)->Key().Str();
    registered.insert(key);
    EXPECT_NE(FindNativeCost(key), nullptr) << key << " is in neither the paying nor the constant natives";
  }
  for (const NativeCost& cost : NativeCosts())
    EXPECT_TRUE(registered.count(std::string(cost.key))) << cost.key << " is listed but not registered";
}

TEST(ScriptNatives, RecordsFollowTheTableOrderAndEachClassItsLibrary) {
  ASSERT_TRUE(RegisterScriptNatives());
  GSMachine& machine = GSMachine::Instance();
  // Class by class in table order, each class's records together.
  std::vector<std::string> seen;
  std::map<std::string, std::vector<std::string>> keys;
  for (std::size_t i = 0; i < machine.NativeCount(); ++i) {
    const GSNativeFunction* r = machine.NativeAt(i);
    const std::string cls = r->ClassName().Str();
    if (std::find(std::begin(kClasses), std::end(kClasses), cls) == std::end(kClasses)) continue;
    if (seen.empty() || seen.back() != cls) {
      EXPECT_EQ(std::count(seen.begin(), seen.end(), cls), 0) << cls << " registered in two places";
      seen.push_back(cls);
    }
    keys[cls].push_back(r->Key().Str());
  }
  std::vector<std::string> expected;
  for (const char* c : kClasses)
    if (keys.count(c)) expected.push_back(c);
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(seen.size(), std::size(kClasses));

  // Within a class, in the order its library declares the natives.
  const struct {
    const char* file;
    const char* cls;
  } libraries[] = {{"kuid.gsl", "KUID"},
                   {"Soup.gsl", "Soup"},
                   {"HTMLBuffer.gsl", "HTMLBuffer"},
                   {"KUIDList.gsl", "KUIDList"},
                   {"StringTable.gsl", "StringTable"},
                   {"asset.gsl", "Asset"},
                   {"RovanaGameObject.gsl", "RovanaGameObject"},
                   {"OnlineAccess.gsl", "OnlineAccess"},
                   {"OnlineGroup.gsl", "OnlineGroup"},
                   {"Library.gsl", "Library"},
                   {"Image.gsl", "Image"},
                   {"Rovana.gsl", "RovanaScriptBase"},
                   {"SecurityToken.gsl", "SecurityToken"},
                   {"Constructors.gsl", "ConstructorsBase"}};
  for (const auto& l : libraries) {
    GSLibrary* library = machine.GetLibraryByName(l.file);
    ASSERT_NE(library, nullptr) << l.file;
    GSClass* cls = library->FindClass(l.cls);
    ASSERT_NE(cls, nullptr) << l.cls;
    std::vector<std::string> declared;
    for (GSFunction& f : cls->Functions())
      if (f.IsNative()) declared.push_back(std::string(f.key));
    EXPECT_EQ(keys[l.cls], declared) << l.cls;
  }
}

// In a fresh process whose "libraries" lacks OnlineAccess.gsl: registration
// fails there, with the slots of the libraries before it filled and those
// after it empty. 0 when so.
int RegisterWithoutOnlineAccess() {
  Kiv::TempFolder folder("scriptlib-partial");
  folder.MakeDir("libraries");
  Kiv::File::Find find(Kiv::File::Path(ScriptLibrariesFolder()).Join("*.gsl").Str());
  std::string bytes;
  while (find.Next())
    if (find.Name() != "OnlineAccess.gsl" &&
        !(Kiv::File::ReadWholeFile(find.FullPath(), bytes) &&
          Kiv::File::WriteWholeFile(folder.Path("libraries/" + find.Name()), bytes)))
      return 2;
  const std::string start = Kiv::CurrentFolder();
  if (!Kiv::SetCurrentFolder(folder.Root())) return 3;
  const bool registered = RegisterScriptNatives();
  // Set-up; the checks below show a failure.
  (void)Kiv::SetCurrentFolder(start);
  const ScriptClassSlots& s = ScriptClasses();
  const bool before =
      s.kuid && s.soup && s.htmlBuffer && s.kuidList && s.stringTable && s.asset && s.rovanaGameObject;
  const bool after = !s.onlineAccess && !s.onlineGroup && !s.image && !s.library && !s.securityToken &&
                     !s.constructorsBase && !s.rovanaScriptBase;
  return registered ? 4 : !before ? 5 : !after ? 6 : 0;
}

TEST(ScriptNatives, LibrariesAreRegisteredInOrderUpToTheFirstMissing) {
  ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
  EXPECT_EXIT(std::exit(RegisterWithoutOnlineAccess()), ::testing::ExitedWithCode(0), "");
}

// In a fresh process whose current folder has an empty "libraries": both
// calls fail and no record of the native classes is entered. 0 when so.
int RegisterWithoutLibraries() {
  Kiv::TempFolder folder("scriptlib-empty");
  folder.MakeDir("libraries");
  const std::string start = Kiv::CurrentFolder();
  if (!Kiv::SetCurrentFolder(folder.Root())) return 2;
  const std::size_t builtins = GSMachine::Instance().NativeCount();
  const bool first = RegisterScriptNatives();
  const bool second = RegisterScriptNatives();
  const bool none = GSMachine::Instance().NativeCount() == builtins;
  // Set-up; the checks below show a failure.
  (void)Kiv::SetCurrentFolder(start);
  return !first && !second && none && ScriptClasses().gameObject == nullptr ? 0 : 1;
}

TEST(ScriptNatives, AFailedRegistrationIsReportedAgainAndEntersNothing) {
  ::testing::GTEST_FLAG(death_test_style) = "threadsafe";  // a process of its own, nothing registered yet
  EXPECT_EXIT(std::exit(RegisterWithoutLibraries()), ::testing::ExitedWithCode(0), "");
}

TEST(ScriptNatives, EveryMutatorOfALockedSoupRaisesAndChangesNothing) {
  ScriptHarness script(R"(include "Constructors.gs"
class Test {
  public void Text(Soup s) { s.SetNamedTag("a", "x"); }
  public void Float(Soup s) { s.SetNamedTag("a", 1.0); }
  public void Int(Soup s) { s.SetNamedTag("a", 1); }
  public void Kuid(Soup s) { s.SetNamedTag("a", s.GetNamedTagAsKUID("k")); }
  public void Sub(Soup s) { s.SetNamedSoup("a", Constructors.NewSoup()); }
  public void Remove(Soup s) { s.RemoveNamedTag("k"); }
  public void Copy(Soup s) { s.Copy(Constructors.NewSoup()); }
  public void Clear(Soup s) { s.Clear(); }
  public void Add(Soup s) { s.GetNamedSoupAdd("new"); }
  public void Unique(Soup s) { s.AddUniqueNamedSoup(Constructors.NewSoup()); }
  public void LockedChild(Soup s) { Constructors.NewSoup().SetNamedSoup("a", s); }
  public void LockedUnique(Soup s) { Constructors.NewSoup().AddUniqueNamedSoup(s); }
};)");
  ASSERT_TRUE(script.ok);
  SoupRef soup = SoupRef::NewContainer();
  soup.SetNamedTagKUID(Kiv::PString("k"), KUID(1, 2, 0));
  EXPECT_TRUE(soup.SetNamedSoup(Kiv::PString("child"), SoupRef::NewContainer()));
  const std::string before = SoupText(soup);
  auto* locked = GSOSoup::Create(&script.context, soup, true);
  ASSERT_NE(locked, nullptr);
  const struct {
    const char* method;
    const char* text;
  } cases[] = {
      {"::Text(Soup)", "Soup.SetNamedTag> parent soup is locked"},
      {"::Float(Soup)", "Soup.SetNamedTag> parent soup is locked"},
      {"::Int(Soup)", "Soup.SetNamedTag> parent soup is locked"},
      {"::Kuid(Soup)", "Soup.SetNamedKUID> parent soup is locked"},
      {"::Sub(Soup)", "Soup.SetNamedTag> parent soup is locked"},
      {"::Remove(Soup)", "Soup.RemoveNamedTag> parent soup is locked"},
      {"::Copy(Soup)", "Soup.Copy> parent soup is locked"},
      {"::Clear(Soup)", "Soup.Clear> parent soup is locked"},
      {"::Add(Soup)", "Soup.GetNamedSoupAdd> parent soup is locked"},
      {"::Unique(Soup)", "Soup.AddUniqueNamedSoup> parent soup is locked"},
      {"::LockedChild(Soup)", "Soup.SetNamedTag> sub-soup parameter is locked"},
      {"::LockedUnique(Soup)", "Soup.AddUniqueNamedSoup> sub-soup parameter is locked"},
  };
  for (const auto& c : cases) {
    g_log.clear();
    EXPECT_EQ(script.Call(c.method, {locked}), ER_Exception) << c.method;
    ASSERT_FALSE(g_log.empty()) << c.method;
    EXPECT_EQ(g_log[0], std::string(c.text) + " (file Soup.gs)") << c.method;
    EXPECT_EQ(SoupText(soup), before) << c.method;
    EXPECT_TRUE(locked->Soup() == soup) << c.method;
  }
  ReleaseHandle(locked->GetScriptHandle());
}

TEST(ScriptNatives, RefusalsLeaveTheObjectAsItWas) {
  ScriptHarness script(R"(include "Constructors.gs"
class Test {
  public void Loop(Soup s) { s.GetNamedSoup("child").AddUniqueNamedSoup(s); }
  public void Self(Soup s) { s.SetNamedSoup("me", s); }
  public void EmptyName(Soup s) { s.SetNamedTag("", 1); }
  public void NullName(Soup s) { string n; s.SetNamedTag(n, "x"); }
  public void NullSoup(Soup s) { Soup none; s.Copy(none); }
  public int Count(Soup s) { return s.GetNamedSoup(null).CountTags(); }
  public void Locked(KUIDList l) { l.AddKUID(l.GetIndexedKUID(0)); }
  public void LockedRemove(KUIDList l) { l.RemoveKUID(l.GetIndexedKUID(0)); }
  public void LockedCopy(KUIDList l) { l.Copy(Constructors.NewKUIDList()); }
  public void LockedClear(KUIDList l) { l.Clear(); }
  public int Reads(KUIDList l) { if (l.HasKUID(l.GetIndexedKUID(1))) return l.CountKUIDs(); return -1; }
  public void Past(KUIDList l) { l.GetIndexedKUID(l.CountKUIDs()); }
};)");
  ASSERT_TRUE(script.ok);
  SoupRef soup = SoupRef::NewContainer();
  EXPECT_TRUE(soup.SetNamedSoup(Kiv::PString("child"), SoupRef::NewContainer()));
  soup.SetNamedTagInt(Kiv::PString("n"), 4);
  const std::string before = SoupText(soup);
  auto* open = GSOSoup::Create(&script.context, soup, false);
  const struct {
    const char* method;
    const char* text;
  } soupCases[] = {
      {"::Loop(Soup)", "Soup.AddUniqueNamedSoup> sub-soup contains parent soup (file Soup.gs)"},
      {"::Self(Soup)", "Soup.SetNamedTag> sub-soup contains parent soup (file Soup.gs)"},
      {"::EmptyName(Soup)", "empty string at parameter 1 (file Soup.gs)"},
      {"::NullName(Soup)", "null string at parameter 1 (file Soup.gs)"},
      {"::NullSoup(Soup)", "null object at parameter 1 (file Soup.gs)"},
  };
  for (const auto& c : soupCases) {
    g_log.clear();
    EXPECT_EQ(script.Call(c.method, {open}), ER_Exception) << c.method;
    ASSERT_FALSE(g_log.empty()) << c.method;
    EXPECT_EQ(g_log[0], c.text);
    EXPECT_EQ(SoupText(soup), before) << c.method;
  }
  // A refused getter still leaves the declared result: the caller reads 0.
  g_log.clear();
  EXPECT_EQ(script.Call("::Count(Soup)", {open}), ER_Exception);
  EXPECT_EQ(g_log[0], "null string at parameter 1 (file Soup.gs)");
  ReleaseHandle(open->GetScriptHandle());

  GSOKUIDList::List kuids;
  kuids.PushBack(KUID(1, 2, 0));
  kuids.PushBack(KUID(3, 4, 5));
  auto* locked = new GSOKUIDList(&script.context, kuids);
  ASSERT_TRUE(locked->Locked());
  for (const char* method : {"::Locked(KUIDList)", "::LockedRemove(KUIDList)", "::LockedCopy(KUIDList)"}) {
    g_log.clear();
    EXPECT_EQ(script.Call(method, {locked}), ER_Exception) << method;
    ASSERT_FALSE(g_log.empty());
    EXPECT_EQ(g_log[0], "KUIDList.Copy> list is locked (file KUIDList.gs)") << method;
    EXPECT_EQ(locked->Count(), 2u);
  }
  g_log.clear();
  EXPECT_EQ(script.Call("::LockedClear(KUIDList)", {locked}), ER_Exception);
  EXPECT_EQ(g_log.at(0), "KUIDList.Clear> list is locked (file KUIDList.gs)");
  uint32_t count = 0;
  EXPECT_EQ(script.Call("::Reads(KUIDList)", {locked}, &count), ER_Done);
  EXPECT_EQ(count, 2u);
  g_log.clear();
  EXPECT_EQ(script.Call("::Past(KUIDList)", {locked}), ER_Exception);
  EXPECT_EQ(g_log.at(0), "KUIDList.GetIndexedKUID> index out of range (file KUIDList.gs)");
  EXPECT_EQ(locked->Count(), 2u);
  ReleaseHandle(locked->GetScriptHandle());
}

TEST(ScriptNatives, OneKUIDObjectPerIdentifierAndContext) {
  ScriptHarness script(R"(include "kuid.gs"
class Test { public int Main(void) { return 0; } };)");
  ASSERT_TRUE(script.ok);
  const std::size_t start = CountKUIDObjects();
  GSOKUID* a = GetKUIDObject(&script.context, KUID(1, 2, 0));
  GSOKUID* b = GetKUIDObject(&script.context, KUID(1, 2, 0));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  {
    GSContext other;
    GSOKUID* c = GetKUIDObject(&other, KUID(1, 2, 0));
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, a);
    EXPECT_EQ(CountKUIDObjects(), start + 2);
    ReleaseContextKUIDObjects(&other);
    EXPECT_EQ(CountKUIDObjects(), start + 1);
  }
  // The object lives while a reference does, then leaves the registry.
  ReleaseHandle(a->GetScriptHandle());
  EXPECT_EQ(CountKUIDObjects(), start + 1);
  ReleaseHandle(b->GetScriptHandle());
  EXPECT_EQ(CountKUIDObjects(), start);

  EXPECT_EQ(GetBaseKUID(KUID(5, 7, 3)), KUID(5, 7, 0));
  EXPECT_EQ(GetBaseKUID(KUID(-5, 7, 3)), KUID(-5, 7, 127));
  EXPECT_TRUE(GetBaseKUID(KUID(0x02000000, 7, 3)).IsNull());
}

TEST(ScriptNatives, StringTableSubstitutesParametersOnce) {
  ScriptHarness script(R"(include "StringTable.gs"
class Test {
  public string Nested(StringTable t) { t.SetParam(0, "$1"); t.SetParam(1, "x"); return t.GetString("nested"); }
  public string Get(StringTable t) { return t.GetString("price") + "|" + t.GetString("tail") + "|" +
      t.GetString("plain") + "|" + t.GetString("unset") + "|" + t.GetString("nokey") + "|" + t.GetString(""); }
  public void High(StringTable t) { t.SetParam(10, "x"); }
  public void Low(StringTable t) { t.SetParam(-1, "x"); }
  public string Cleared(StringTable t) { t.SetParam(3, "three"); t.ClearParams(); return t.GetString("unset"); }
};)");
  ASSERT_TRUE(script.ok);
  SoupRef config;
  ASSERT_TRUE(ParseSoupText(R"(string-table {
  nested "a$0b"
  price "100$$"
  tail "end$"
  plain "$a"
  unset "<$3>"
})",
                            config));
  GizmokitSpec spec(KUID(1, 2, 0), "", "/nonexistent", "asset");
  auto* table = new GSOStringTable(&script.context, SpecRef(&spec), config);
  ASSERT_NE(table->GetScriptHandle(), 0u);
  EXPECT_EQ(spec.Holders(), 1);
  EXPECT_EQ(script.CallText("::Nested(StringTable)", {table}), "a$1b");
  EXPECT_EQ(script.CallText("::Get(StringTable)", {table}), "100$|end$|$a|<>||");
  EXPECT_EQ(script.CallText("::Cleared(StringTable)", {table}), "<>");
  for (const char* method : {"::High(StringTable)", "::Low(StringTable)"}) {
    g_log.clear();
    EXPECT_EQ(script.Call(method, {table}), ER_Exception);
    ASSERT_FALSE(g_log.empty());
    EXPECT_EQ(g_log[0], std::string("StringTable.SetParam> index (") + (method[2] == 'H' ? "10" : "-1") +
                            ") out of range (0..9) (file StringTable.gs)");
  }
  ReleaseHandle(table->GetScriptHandle());
  EXPECT_EQ(spec.Holders(), 0) << "the table keeps its asset's spec only while it lives";

  Kiv::PString none[10];
  EXPECT_EQ(SubstituteStringParameters("$", none), "$");
  EXPECT_EQ(SubstituteStringParameters("$$$", none), "$$");
  EXPECT_EQ(SubstituteStringParameters("a$9$0", none), "a");
}

TEST(ScriptNatives, LanguageWithoutItsEntryIsTheKey) {
  Kiv::TempFolder folder("scriptlib-lang");
  folder.Write("strings/a.txt", "$other_key text\n");
  InterfaceTextDB::SetFolder(folder.Path("strings"));
  EXPECT_EQ(GSOStringTable::GetLanguage(), "$main_language");
  folder.Write("strings/a.txt", "$main_language deutsch\n");
  InterfaceTextDB::SetFolder(folder.Path("strings"));
  EXPECT_EQ(GSOStringTable::GetLanguage(), "deutsch");
}

TEST(HTMLBuffer, GrowsToExactlyTheFirstAppendAndEscapesBreaks) {
  HTMLBuffer buffer;
  buffer.Append("hello", 5);
  EXPECT_EQ(buffer.Capacity(), 5u);
  EXPECT_EQ(buffer.Text(), "hello");
  buffer.Append(" world", 6);
  EXPECT_EQ(buffer.Capacity(), 16u);
  EXPECT_TRUE(buffer.IsEmpty());
  buffer.Clear();
  buffer.Escape("a\r\nb\n\rc\rd\ne\n\nf\r\r<&>");
  EXPECT_EQ(buffer.Text(), "a<br>b<br>c<br>d<br>e<br><br>f<br><br>&lt;&amp;&gt;");
  EXPECT_FALSE(buffer.IsEmpty());
  buffer.Clear();
  EXPECT_EQ(buffer.Capacity(), 0u);
  EXPECT_EQ(buffer.Text(), "");
  EXPECT_TRUE(buffer.IsEmpty());
}

TEST(ScriptNatives, ArrayElementsGrowOnWriteAndCountReferences) {
  ASSERT_TRUE(RegisterScriptNatives());
  GSContext context;
  GSArray* array = GSArray::Create(&context, true);
  GSOSoup* a = GSOSoup::Create(&context, SoupRef(), false);
  GSOSoup* b = GSOSoup::Create(&context, SoupRef(), false);
  ASSERT_TRUE(array && a && b);
  uint32_t out = 7;
  EXPECT_FALSE(ScriptNatives::GetArrayElement(-1, out, *array, true));
  EXPECT_EQ(out, 0u);
  EXPECT_FALSE(ScriptNatives::SetArrayElement(-1, *array, a->GetScriptHandle()));
  EXPECT_TRUE(ScriptNatives::SetArrayElement(3, *array, a->GetScriptHandle()));
  EXPECT_EQ(array->Size(), 4u);
  EXPECT_EQ(a->Instance()->refCount, 2);
  out = 7;
  EXPECT_FALSE(ScriptNatives::GetArrayElement(4, out, *array, true));
  EXPECT_EQ(out, 0u);
  EXPECT_TRUE(ScriptNatives::GetArrayElement(3, out, *array, true));
  EXPECT_EQ(out, a->GetScriptHandle());
  EXPECT_EQ(a->Instance()->refCount, 3);
  ReleaseHandle(out);
  EXPECT_TRUE(ScriptNatives::GetArrayElementNoReference(3, *array, out));
  EXPECT_FALSE(ScriptNatives::GetArrayElementNoReference(4, *array, out));
  EXPECT_EQ(a->Instance()->refCount, 2);
  // Replacing an element releases the old one.
  EXPECT_TRUE(ScriptNatives::SetArrayElement(3, *array, b->GetScriptHandle()));
  EXPECT_EQ(a->Instance()->refCount, 1);
  EXPECT_EQ(b->Instance()->refCount, 2);
  EXPECT_FALSE(ScriptNatives::SetArrayElement(int32_t(GSArray::kMaxSize), *array, a->GetScriptHandle()));
  ReleaseHandle(a->GetScriptHandle());
  ReleaseHandle(b->GetScriptHandle());
  ReleaseHandle(array->GetScriptHandle());
}
