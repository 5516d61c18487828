#include <algorithm>

#include <gtest/gtest.h>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Stack.h"
#include "tests/gamescript/runtime/runtime_support.h"

using namespace GSRuntime;
using RuntimeTest::Folder;
using RuntimeTest::LogCapture;

namespace {

struct Fixture {
  Folder folder;
  GSMachine machine;
  GSLibrary* Load(const std::string& name, const std::string& text) {
    folder.Compile(name, text);
    machine.RegisterBuiltins();
    return machine.AddLibrary(folder.Path(), name + ".gsl") ? machine.GetLibraryByName(name + ".gsl")
                                                            : nullptr;
  }
};

// What the initialiser runner saw, and what it answers.
struct Runs {
  static std::vector<std::string>& Seen() {
    static std::vector<std::string> seen;
    return seen;
  }
  static inline std::string failIn;
  static inline bool keep = false;  // hand the instance to someone else before failing
  static inline uint32_t kept = 0;
  static bool Run(GSFunction& init, uint32_t handle) {
    const HandleView* view = HandleTable::Instance().Find(handle);
    Seen().push_back(std::string(init.owner->Name()) + "@" + std::to_string(view ? view->block : 999));
    if (init.owner->Name() != failIn) return true;
    if (keep) {
      AddReference(handle);
      kept = handle;
    }
    return false;
  }
};

const char* const kChain =
    "class A {\n  public int a = 1;\n};\nclass B isclass A {\n  public int b = 2;\n};\n";

TEST(RuntimeClasses, InitialisersRunAncestorsFirstAndAFailureUndoesTheInstance) {
  Fixture t;
  GSLibrary* lib = t.Load("m", kChain);
  ASSERT_NE(lib, nullptr);
  GSClass* b = lib->FindClass("B");
  const uint32_t vo = uint32_t(b->Ancestors()[0].offset);
  const std::size_t handles = HandleTable::Instance().LiveCount();
  GSContext context;
  {
    LogCapture log;  // no interpreter: the initialiser cannot run
    GSObject object;
    EXPECT_FALSE(object.BindScriptClass(b, &context));
    EXPECT_NE(log.All().find("no interpreter for the initialiser of A"), std::string::npos) << log.All();
    EXPECT_EQ(object.Instance(), nullptr);
  }
  GSClass::SetInitialiserRunner(&Runs::Run);
  Runs::Seen().clear();
  {
    GSObject object;
    ASSERT_TRUE(object.BindScriptClass(b, &context));
    EXPECT_EQ(Runs::Seen(), (std::vector<std::string>{"A@" + std::to_string(vo), "B@0"}));
  }
  Runs::failIn = "B";
  {
    GSObject object;
    EXPECT_FALSE(object.BindScriptClass(b, &context));
    EXPECT_EQ(object.Instance(), nullptr);
    EXPECT_EQ(HandleTable::Instance().LiveCount(), handles);
  }
  // The failing initialiser gave the instance away: it stays valid for that
  // holder, without a native object, until released.
  Runs::keep = true;
  {
    GSObject object;
    EXPECT_FALSE(object.BindScriptClass(b, &context));
    EXPECT_EQ(object.Instance(), nullptr);
    ASSERT_NE(HandleTable::Instance().Get(Runs::kept), nullptr);
    EXPECT_EQ(GetObject(Runs::kept), nullptr);
    ReleaseHandle(Runs::kept);
  }
  EXPECT_EQ(HandleTable::Instance().LiveCount(), handles);
  GSClass::SetInitialiserRunner(nullptr);
  Runs::failIn.clear();
  Runs::keep = false;
}

TEST(RuntimeClasses, DeletedNativeObjectLeavesAValidEmptyInstance) {
  Fixture t;
  GSLibrary* lib = t.Load("m", "class N {\n  public int v;\n};\n");
  ASSERT_NE(lib, nullptr);
  GSContext context;
  auto* object = new GSObject();
  ASSERT_TRUE(object->BindScriptClass(lib->FindClass("N"), &context));
  const uint32_t h = object->GetScriptHandle();
  AddReference(h);  // a script holds it
  delete object;
  ASSERT_NE(HandleTable::Instance().Get(h), nullptr);
  EXPECT_EQ(GetObject(h), nullptr);
  ReleaseHandle(h);
  EXPECT_EQ(HandleTable::Instance().Get(h), nullptr);
}

// A native object that its owner deletes later (as a router does with game objects).
class Kept : public GSObject {
public:
  bool DeferDeletion() override {
    deferred = true;
    return true;
  }
  bool deferred = false;
};

TEST(RuntimeClasses, LastReferenceOfADeferringObjectLeavesItToItsOwner) {
  Fixture t;
  GSLibrary* lib = t.Load("m", "class N {\n  public int v;\n};\n");
  ASSERT_NE(lib, nullptr);
  GSContext context;
  auto* kept = new Kept();
  ASSERT_TRUE(kept->BindScriptClass(lib->FindClass("N"), &context));
  const uint32_t h = kept->GetScriptHandle();
  ReleaseReference(kept->Instance());  // the object's own reference
  EXPECT_TRUE(kept->deferred);
  EXPECT_NE(kept->Instance(), nullptr);
  // Unbinding detaches; the object itself stays.
  EXPECT_FALSE(kept->BindScriptClass(nullptr, nullptr));
  EXPECT_EQ(kept->Instance(), nullptr);
  EXPECT_EQ(kept->GetScriptHandle(), 0u);
  EXPECT_EQ(HandleTable::Instance().Get(h), nullptr);
  delete kept;
}

TEST(RuntimeClasses, GetGSClassNameNative) {
  Fixture t;
  GSLibrary* lib = t.Load("m", "class N {\n  public int v;\n};\n");
  ASSERT_NE(lib, nullptr);
  GSNativeFunction* native = t.machine.FindNativeFunction("GSObject", "$string@GSObject::GetGSClassName()");
  ASSERT_NE(native, nullptr);
  GSContext context;
  GSObject object;
  ASSERT_TRUE(object.BindScriptClass(lib->FindClass("N"), &context));
  GSStack stack;
  stack.Push(object.GetScriptHandle());
  stack.SetArgumentBase(0);
  ASSERT_TRUE(native->Call(&object, stack));
  auto* name = dynamic_cast<GSString*>(GetObject(stack.Top()));
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->Text(), "N");
  EXPECT_FALSE(native->Call(nullptr, stack));
  // The unbound game-object natives do not run.
  GSNativeFunction* send = t.machine.FindNativeFunction("GameObject", "$int@GameObject::GetId()");
  ASSERT_NE(send, nullptr);
  EXPECT_FALSE(send->Call(&object, stack));
}

TEST(RuntimeClasses, LibrariesThatIncludeEachOtherLoadAndFailTogether) {
  Folder folder;
  const std::string b = "include \"a.gs\"\nclass B {\n  public int v;\n};\n";
  folder.Write("b.gs", b);
  folder.Compile("a", "include \"b.gs\"\nclass A {\n  public B other;\n};\n");
  folder.Compile("b", b);
  {
    GSMachine machine;
    ASSERT_TRUE(machine.AddLibraryFolder(folder.Path()));
    GSLibrary* a = machine.GetLibraryByName("a.gsl");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(machine.LoadedCount(), 2u);
    GSLibrary* b = machine.GetLibraryByName("b.gsl");
    EXPECT_EQ(b->Dependencies()[1].library, a);
    EXPECT_EQ(a->ClassImports()[0].cls, b->FindClass("B"));
  }
  // B loads on A's behalf, then A fails: B, linked against A, goes too.
  std::vector<uint8_t> bytes = folder.Read("b.gsl");
  auto at = std::find(bytes.begin() + 24, bytes.end(), uint8_t('B'));
  while (at != bytes.end() && !(at[-1] == 0 && at[1] == 0)) at = std::find(at + 1, bytes.end(), uint8_t('B'));
  ASSERT_NE(at, bytes.end());
  *at = 'Q';
  folder.Write("b.gsl", bytes);
  GSMachine machine;
  ASSERT_TRUE(machine.AddLibraryFolder(folder.Path()));
  LogCapture log;
  EXPECT_EQ(machine.GetLibraryByName("a.gsl"), nullptr);
  EXPECT_NE(log.All().find("Unable to find class 'B'"), std::string::npos) << log.All();
  EXPECT_EQ(machine.LoadedCount(), 0u);
  EXPECT_EQ(machine.GetLibraryByName("b.gsl"), nullptr);  // it needs A, which cannot load
  EXPECT_EQ(machine.LoadedCount(), 0u);
}

// An override that does not return what its base's function returns would
// leave a caller's stack a cell off: the class does not link.
TEST(RuntimeClasses, OverrideOfAnotherShapeIsRefused) {
  Folder folder;
  folder.Compile("m",
                 "class A {\n  public int F(void) { return 1; }\n};\n"
                 "class B isclass A {\n  public int F(void) { return 2; }\n};\n");
  std::vector<uint8_t> bytes = folder.Read("m.gsl");
  LibraryFile file;
  ASSERT_EQ(ReadLibraryFile(bytes, file), "");
  const LibraryFunction& f = file.classes[1].functions[0];
  ASSERT_EQ(f.key, "$int@B::F()");
  // The return type word: eleven words of record, the reference count and
  // cells, and the code size lie between it and the code.
  const std::size_t at = std::size_t(f.code.data() - bytes.data()) - 4 * (13 + f.referenceCells.size());
  ASSERT_EQ(bytes[at], 2);  // int
  bytes[at] = 0;            // void
  folder.Write("m.gsl", bytes);
  GSMachine machine;
  ASSERT_TRUE(machine.AddLibrary(folder.Path(), "m.gsl"));
  LogCapture log;
  EXPECT_EQ(machine.GetLibraryByName("m.gsl"), nullptr);
  EXPECT_NE(log.All().find("GS Link error: Unable to link 'B'"), std::string::npos) << log.All();
}

}  // namespace
