#include <gtest/gtest.h>

#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Verifier.h"
#include "kiv/Bytes.h"
#include "tests/gamescript/runtime/runtime_support.h"

using namespace GSRuntime;
using RuntimeTest::Folder;
using RuntimeTest::LogCapture;

namespace {

const char* const kBase = R"(class Base {
  public int x;
  public string s;
  public native string GetGSClassName(void);
  public native int Missing(int a);
  public int F(int a) { return a + 1; }
  public void G(void) {
    F(2);
    x = F(3);
  }
};
class Derived isclass Base {
  public Base other;
  public int F(int a) { return inherited(a) * 2; }
};
)";

struct Loaded {
  Folder folder;
  GSMachine machine;
  Loaded() { machine.RegisterBuiltins(); }
};

TEST(RuntimeLoader, CompiledLibraryLoadsLinksAndMakesInstances) {
  Loaded t;
  t.folder.Compile("m", kBase);
  LogCapture log;
  uint64_t id = 0;
  ASSERT_TRUE(t.machine.AddLibrary(t.folder.Path(), "m.gsl", &id));
  ASSERT_TRUE(t.machine.AddLibrary(t.folder.Path(), "m.gsl"));  // twice: one entry
  EXPECT_EQ(t.machine.RegisteredCount(), 1u);
  GSLibrary* lib = t.machine.GetLibraryByName("M.GSL");
  ASSERT_NE(lib, nullptr) << log.All();
  EXPECT_EQ(lib, t.machine.GetLibrary(uint32_t(id >> 32), uint32_t(id)));
  EXPECT_EQ(t.machine.LoadedCount(), 1u);
  // The unknown native is reported and the class is still built.
  EXPECT_NE(log.All().find("Could not resolve native link $int@Base::Missing(int)"), std::string::npos)
      << log.All();

  GSClass* base = lib->FindClass("Base");
  GSClass* derived = lib->FindClass("Derived");
  ASSERT_TRUE(base && derived);
  EXPECT_EQ(lib->FindClass("base"), nullptr);
  EXPECT_TRUE(derived->IsDerivedFrom("Derived"));
  EXPECT_TRUE(derived->IsDerivedFrom("Base"));
  EXPECT_FALSE(base->IsDerivedFrom("Derived"));
  const int32_t native = base->FindFunctionIndex("$string@Base::GetGSClassName()");
  ASSERT_GE(native, 0);
  EXPECT_EQ(base->FunctionAt(std::size_t(native))->native, nullptr);  // keyed on Base, not GSObject
  int32_t index, offset;
  EXPECT_EQ(derived->FindFunction("$void@Base::G()", index, offset), base);
  EXPECT_EQ(offset, derived->Ancestors()[0].offset);
  GSFunction* f = derived->FunctionAt(std::size_t(derived->FindFunctionIndex("$int@Derived::F(int)")));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->inherited, base->FunctionAt(std::size_t(base->FindFunctionIndex("$int@Base::F(int)"))));
  EXPECT_TRUE(f->depthChecked);
  EXPECT_EQ(f->LineOf(0), 14);
  EXPECT_EQ(derived->Functions().back().LineOf(0), -1);  // the initialiser has no line table
  for (const GSDispatchEntry& e : derived->DispatchTable()) EXPECT_NE(e.function, nullptr);
  for (GSClass* c : {base, derived})
    for (const GSFunction& g : c->Functions()) EXPECT_TRUE(g.depthChecked) << g.key;

  const std::size_t handles = HandleTable::Instance().LiveCount();
  const int64_t heap = ContextHeap().LiveBlocks();
  {
    GSContext context;
    GSObject object;
    ASSERT_TRUE(object.BindScriptClass(derived, &context));
    EXPECT_FALSE(object.BindScriptClass(derived, &context));  // keeps the first
    GSScriptInstance* i = object.Instance();
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->cls, derived);
    EXPECT_EQ(HandleTable::Instance().LiveCount(), handles + 2);  // own block and Base's
    // Each block's first cell holds its negated offset, the second its table part.
    const uint32_t vo = uint32_t(derived->Ancestors()[0].offset);
    EXPECT_EQ(i->cells[vo], uint32_t(-int32_t(vo)));
    EXPECT_EQ(HandleTable::Instance().Find(i->HandleOfBlock(vo))->dispatchBase, i->cells[vo + 1]);
    EXPECT_EQ(derived->GetClassData(i, base), i->cells + vo);
  }
  EXPECT_EQ(HandleTable::Instance().LiveCount(), handles);
  EXPECT_EQ(ContextHeap().LiveBlocks(), heap);
}

TEST(RuntimeLoader, UnknownIdNamesALoadedLibraryOfTheSameFileName) {
  Loaded t;
  t.folder.Compile("m", "class E {\n  public int v;\n};\n");
  ASSERT_TRUE(t.machine.AddLibrary(t.folder.Path(), "m.gsl"));
  GSLibrary* m = t.machine.GetLibraryByName("m.gsl");
  ASSERT_NE(m, nullptr);
  LogCapture log;
  EXPECT_EQ(t.machine.GetLibrary(m->Id1() + 1, m->Id2()), nullptr);
  EXPECT_NE(log.All().find("built from different source: " + m->GetName()), std::string::npos) << log.All();
  EXPECT_EQ(m->FindClass("F"), nullptr);
  // A second file of the same id is another name for the first.
  t.folder.Write("Copy.gsl", t.folder.Read("m.gsl"));
  ASSERT_TRUE(t.machine.AddLibrary(t.folder.Path(), "Copy.gsl"));
  EXPECT_EQ(t.machine.RegisteredCount(), 1u);
  EXPECT_EQ(t.machine.GetLibraryByName("copy.GSL"), m);
}

TEST(RuntimeLoader, MissingDependencyGivesMinusTwoAndItsMessages) {
  Loaded t;
  t.folder.Compile("lib", "class Lib {\n  public int v;\n};\n");
  t.folder.Compile("m", "include \"lib.gs\"\nclass User isclass Lib {\n  public int n;\n};\n");
  ASSERT_TRUE(t.machine.AddLibrary(t.folder.Path(), "m.gsl"));
  {
    LogCapture log;
    EXPECT_EQ(t.machine.GetLibraryByName("m.gsl"), nullptr);
    EXPECT_NE(log.All().find("not found in link table"), std::string::npos) << log.All();
    EXPECT_NE(log.All().find("GSMachine: Error -2 loading library"), std::string::npos) << log.All();
    EXPECT_NE(log.All().find("m.gs (m.gsl)"), std::string::npos);
  }
  EXPECT_EQ(t.machine.LoadedCount(), 0u);
  // With the dependency registered the same entry loads on the next request.
  ASSERT_TRUE(t.machine.AddLibraryFolder(t.folder.Path()));  // m.gsl again: reported, skipped
  GSLibrary* m = t.machine.GetLibraryByName("m.gsl");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(t.machine.LoadedCount(), 2u);
  EXPECT_TRUE(m->FindClass("User")->IsDerivedFrom("Lib"));
}

TEST(RuntimeLoader, MissingClassGivesMinusThreeAndLeavesNothingLoaded) {
  Loaded t;
  t.folder.Compile("lib", "class Lib {\n  public int v;\n};\n");
  t.folder.Compile("m", "include \"lib.gs\"\nclass User isclass Lib {\n  public int n;\n};\n");
  // Rename the class the library defines: the user's import then finds nothing.
  std::vector<uint8_t> lib = t.folder.Read("lib.gsl");
  const std::string name = "Lib";
  auto at = std::search(lib.begin(), lib.end(), name.begin(), name.end());
  ASSERT_NE(at, lib.end());
  *at = 'Q';
  t.folder.Write("lib.gsl", lib);
  ASSERT_TRUE(t.machine.AddLibraryFolder(t.folder.Path()));
  LogCapture log;
  EXPECT_EQ(t.machine.GetLibraryByName("m.gsl"), nullptr);
  EXPECT_NE(log.All().find("GS Link error: Unable to find class 'Lib'"), std::string::npos) << log.All();
  EXPECT_NE(log.All().find("Error -3 loading library"), std::string::npos);
  // The dependency loaded on its behalf does not refer to it and stays.
  EXPECT_EQ(t.machine.LoadedCount(), 1u);
}

// Every cut and every byte flip before the code of the first function loads
// or is refused, never crashes (the sanitizer build checks memory).
TEST(RuntimeLoader, TruncatedAndFlippedLibrariesAreRefused) {
  Loaded t;
  t.folder.Compile("m", kBase);
  const std::vector<uint8_t> good = t.folder.Read("m.gsl");
  LibraryFile file;
  ASSERT_EQ(ReadLibraryFile(good, file), "");
  for (std::size_t n = 0; n < good.size(); ++n) {
    LibraryFile cut;
    EXPECT_NE(ReadLibraryFile(std::span(good.data(), n), cut), "") << n;
  }
  // Flips of the header and tables (up to the first function's code) go
  // through the whole load and link of a machine.
  const std::size_t tables = std::size_t(file.classes[0].functions[0].code.data() - good.data());
  int refused = 0;
  for (std::size_t i = 0; i < tables; ++i) {
    std::vector<uint8_t> bad = good;
    bad[i] ^= 0x5A;
    t.folder.Write("m.gsl", bad);
    GSMachine machine;
    machine.RegisterBuiltins();
    uint64_t id;
    if (!machine.AddLibrary(t.folder.Path(), "m.gsl", &id)) continue;
    if (!machine.GetLibrary(uint32_t(id >> 32), uint32_t(id))) ++refused;
    EXPECT_LE(machine.LoadedCount(), 1u);
  }
  EXPECT_GT(refused, int(tables) / 2);
}

TEST(RuntimeLoader, VerifierRefusesBadCountsOffsetsAndJumps) {
  Loaded t;
  t.folder.Compile(
      "m", "class A {\n  public int Loop(int n) {\n    while (n > 0) n = n - 1;\n    return n;\n  }\n};\n");
  const std::vector<uint8_t> good = t.folder.Read("m.gsl");
  LibraryFile file;
  ASSERT_EQ(ReadLibraryFile(good, file), "");
  const std::size_t nameEnd = 24 + file.name.size() + 1;
  const std::size_t strings = nameEnd + 8 + 4 + 8 * file.dependencies.size();  // chunk 3 head
  const auto codeAt = std::size_t(file.classes[0].functions[0].code.data() - good.data());
  struct Case {
    const char* what;
    std::size_t at;
    uint32_t value;
    const char* expected;
  };
  const Case cases[] = {
      {"string count", strings + 8, 0xFFFFFFFF, "string count"},
      {"string offset", strings + 12, 0x7FFFFFF0, "string offset outside"},
      {"dependency count", nameEnd + 8, 0xFFFFFFFF, "dependency count"},
      {"chunk size", nameEnd, 0xFFFFFFF0, "chunk size"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bad = good;
    Kiv::StoreLE32(bad.data() + c.at, c.value);
    LibraryFile out;
    const std::string problem = ReadLibraryFile(bad, out);
    EXPECT_NE(problem.find(c.expected), std::string::npos) << c.what << ": " << problem;
  }
  // A jump into the middle of an instruction.
  const auto code = file.classes[0].functions[0].code;
  std::size_t jump = 0;
  InstructionView in;
  for (std::size_t pc = 0; DecodeInstruction(code.data(), code.size(), pc, in); pc += in.length)
    if (in.info->form == OperandForm::Target) jump = pc;
  ASSERT_NE(jump, 0u);
  std::vector<uint8_t> bad = good;
  Kiv::StoreLE32(bad.data() + codeAt + jump + 1, 1);
  LibraryFile out;
  EXPECT_NE(ReadLibraryFile(bad, out).find("jump target not on an instruction"), std::string::npos);
}

TEST(RuntimeNatives, RegistryKeepsTheFirstOfEqualKeysAndTheBuiltinOrder) {
  GSMachine machine;
  machine.RegisterBuiltins();
  ASSERT_EQ(machine.NativeCount(), 31u);
  EXPECT_EQ(machine.NativeAt(0)->Key().View(), "$string@GSObject::GetGSClassName()");
  EXPECT_EQ(machine.NativeAt(1)->Key().View(), "$void@GameObject::SendMessage(GameObject,string,string)");
  EXPECT_EQ(machine.NativeAt(12)->Key().View(), "$GameObject@Router::GetGameObject(int)");
  EXPECT_EQ(machine.NativeAt(17)->Key().View(), "$float@Math::Rand(float,float)");
  EXPECT_EQ(machine.NativeAt(30)->Key().View(), "$int@Str::Find(string,string,int)");
  auto noop = [](GSContext*, GSStack&) {};
  GSNativeFunction* first =
      machine.RegisterNative(std::make_unique<GSCNativeFunction>("T", "$void@T::F(int,int)", noop));
  machine.RegisterNative(std::make_unique<GSCNativeFunction>("T", "$void@T::F(int,int)", noop));
  EXPECT_EQ(machine.FindNativeFunction("T", "$void@T::F(int,int)"), first);
  EXPECT_EQ(machine.FindNativeFunction("T", "$void@T::F(int, int)"), nullptr);
  EXPECT_EQ(machine.FindNativeFunction("U", "$void@T::F(int,int)"), nullptr);
}

}  // namespace

namespace {

// Hand-assembled bodies against a frame of one parameter, no locals and two
// evaluation cells.
TEST(RuntimeVerifier, CodeCases) {
  struct Case {
    const char* name;
    std::vector<uint8_t> code;
    const char* expected;  // empty: sound
  };
  const uint8_t J = OP_JMP, R = OP_RET;
  const Case cases[] = {
      {"straight", {OP_PUSH1, OP_POP, R}, ""},
      {"loop reached first backwards", {J, 9, 0, 0, 0, OP_PUSH0, OP_POP, R, R, J, 5, 0, 0, 0}, ""},
      {"underflow only reached backwards", {J, 8, 0, 0, 0, OP_POP, R, R, J, 5, 0, 0, 0}, "stack underflow"},
      {"underflow", {OP_ADDI, R}, "stack underflow"},
      {"deeper than the frame", {OP_PUSH0, OP_PUSH0, OP_PUSH0, R}, "stack deeper than the frame"},
      {"paths disagree", {OP_PUSH0, OP_JZ, 8, 0, 0, 0, OP_PUSH1, R, R}, ""},
      {"join at two depths", {OP_PUSH0, OP_JNZK, 7, 0, 0, 0, OP_POP, R}, "stack depth differs"},
      {"into an operand", {J, 2, 0, 0, 0, R}, "not on an instruction"},
      {"past the end", {J, 6, 0, 0, 0, R}, "outside the code"},
      {"runs off the end", {OP_PUSH0, OP_POP}, "runs off its end"},
      {"local outside", {OP_LDL, 1, 0, OP_POP, R}, "local cell outside"},
      {"illegal opcode", {116, R}, "illegal"},
      {"truncated operand", {OP_PUSHK, 1, 2}, "illegal or truncated"},
      {"switch keys",
       {OP_PUSH0, OP_SWITCH, 2, 0, 5, 0, 0, 0, 5, 0, 0, 0, 23, 0, 0, 0, 23, 0, 0, 0, 23, 0, 0, 0, R},
       "switch keys"},
      {"receiver above the top", {OP_CALL, 1, 0, 0, 0, R}, "receiver above"},
      // Walked first at depth 1, entered again at depth 2.
      {"back into an expression one deeper",
       {OP_PUSH1, OP_PUSH1, OP_JNZK, 1, 0, 0, 0, OP_POP, OP_POP, R},
       "stack deeper than the frame"},
      {"back into an expression as deep", {OP_PUSH1, OP_PUSH1, OP_JNZ, 1, 0, 0, 0, OP_POP, R}, ""},
      {"back to a loop head with its state", {OP_PUSH1, OP_POP, OP_PUSH1, OP_JNZ, 0, 0, 0, 0, R}, ""},
  };
  for (const Case& c : cases) {
    LibraryFunction f;
    f.parameters = 1;
    f.stackAdvance = 4;
    f.frameHeader = 1;
    f.frameSize = 6;
    f.code = c.code;
    bool checked;
    const std::string problem = VerifyCode(f, 1, 1, nullptr, nullptr, checked);
    if (*c.expected == 0)
      EXPECT_EQ(problem, "") << c.name;
    else
      EXPECT_NE(problem.find(c.expected), std::string::npos) << c.name << ": " << problem;
  }
}

// Expressions deeper than the few cells the verifier keeps in a register:
// depth and kinds stay exact across the boundary.
TEST(RuntimeVerifier, DeepExpressions) {
  const uint8_t refs[] = {1, 0, 0, 0};  // cell 1, a reference parameter
  auto verify = [&](uint32_t room, std::size_t numbers, uint8_t lastPop) {
    std::vector<uint8_t> code{OP_LDLO, 1, 0};
    for (std::size_t i = 0; i < numbers; ++i) {
      if (i % 2)
        code.push_back(OP_PUSH1);
      else
        code.insert(code.end(), {OP_LDL, 2, 0});
    }
    for (std::size_t i = 0; i < numbers; ++i) code.push_back(OP_POP);
    code.push_back(lastPop);
    code.push_back(OP_RET);
    LibraryFunction f;
    f.parameters = 2;
    f.locals = 1;  // cell 2, a number
    f.stackAdvance = 5;
    f.frameHeader = 2;
    f.frameSize = 5 + room;
    f.referenceCells = {refs, 1};
    f.code = code;
    bool typed;
    return VerifyCode(f, 1, 1, nullptr, nullptr, typed);
  };
  for (std::size_t numbers : {3, 6, 7, 8, 12, 30}) {
    const uint32_t depth = uint32_t(numbers) + 1;
    EXPECT_EQ(verify(depth, numbers, OP_POPO), "") << numbers;
    EXPECT_NE(verify(depth - 1, numbers, OP_POPO).find("stack deeper than the frame"), std::string::npos)
        << numbers;
    EXPECT_NE(verify(depth, numbers, OP_POP).find("handle used as a number"), std::string::npos) << numbers;
  }
}

// What a call through a dispatch slot reaches, as the verifier assumes it:
// slot 0 holds functions of two parameter counts (two agreeing functions of
// one count, one of the other), slot 1 two functions of one count whose
// results differ.
TEST(RuntimeLoader, CallSlotsKnowTheShapeTheirFunctionsAgreeOn) {
  Loaded t;
  t.folder.Compile(
      "s",
      "class A {\n  public int F(int a) { return a; }\n};\n"
      "class B {\n  public string F(int a, int b) { return \"x\"; }\n"
      "  public int G(void) { return 1; }\n};\n"
      "class C {\n  public int F(int a) { return a; }\n  public string G(void) { return \"y\"; }\n};\n");
  ASSERT_TRUE(t.machine.AddLibrary(t.folder.Path(), "s.gsl"));
  GSLibrary* lib = t.machine.GetLibraryByName("s.gsl");
  ASSERT_NE(lib, nullptr);
  const auto slot = [&](const char* cls, std::size_t k) {
    const auto table = lib->FindClass(cls)->DispatchTable();
    return k < table.size() ? table[k].function : nullptr;
  };
  ASSERT_TRUE(slot("A", 0) && slot("B", 0) && slot("C", 0) && slot("B", 1) && slot("C", 1));
  ASSERT_EQ(slot("A", 0)->shape, slot("C", 0)->shape);
  EXPECT_EQ(lib->CallShape(0, 2), slot("A", 0)->shape);
  EXPECT_EQ(lib->CallShape(0, 3), slot("B", 0)->shape);
  EXPECT_NE(lib->SlotFunction(0, 2), nullptr);
  EXPECT_EQ(lib->SlotFunction(0, 3), slot("B", 0));
  // No function at slot 0 takes one cell; the two at slot 1 disagree.
  EXPECT_EQ(lib->CallShape(0, 1), GSLibrary::kMixedShapes);
  EXPECT_NE(slot("B", 1)->shape, slot("C", 1)->shape);
  EXPECT_EQ(lib->CallShape(1, 1), GSLibrary::kMixedShapes);
  EXPECT_EQ(lib->SlotFunction(1, 1), nullptr);
  EXPECT_EQ(lib->CallShape(2, 1), GSLibrary::kMixedShapes);
}

// Every class of a library with many is found by its name, and no other name is.
TEST(RuntimeLoader, ManyClassesAreFoundByName) {
  Loaded t;
  std::string source;
  for (int i = 0; i < 300; ++i)
    source += "class K" + std::to_string(i * 7919 % 1000) + " {\n  public int F(void) { return 1; }\n};\n";
  t.folder.Compile("many", source);
  ASSERT_TRUE(t.machine.AddLibrary(t.folder.Path(), "many.gsl"));
  GSLibrary* lib = t.machine.GetLibraryByName("many.gsl");
  ASSERT_NE(lib, nullptr);
  ASSERT_EQ(lib->ClassCount(), 300u);
  for (std::size_t i = 0; i < lib->ClassCount(); ++i) {
    GSClass* cls = lib->ClassAt(i);
    EXPECT_EQ(lib->FindClass(cls->Name()), cls) << cls->Name();
  }
  EXPECT_EQ(lib->FindClass("K"), nullptr);
  EXPECT_EQ(lib->FindClass("K1000"), nullptr);
  EXPECT_EQ(lib->FindClass(""), nullptr);
}

// A crafted library whose class has more ancestors than the compiler lets a
// class have is refused under its own name, with the count as the reason.
TEST(RuntimeLoader, ClassesBeyondTheAncestorLimitAreRefused) {
  Loaded t;
  std::string source = "class K0 { public int F(void) { return 1; } };\n";
  for (uint32_t i = 1; i <= kMaxAncestors; ++i)
    source += "class K" + std::to_string(i) + " isclass K" + std::to_string(i - 1) + " { };\n";
  t.folder.Compile("deep", source);
  std::vector<uint8_t> image = t.folder.Read("deep.gsl");
  LibraryFile file;
  ASSERT_EQ(ReadLibraryFile(image, file), "");
  ASSERT_EQ(file.classes.back().ancestors.size(), kMaxAncestors);
  const auto countAt = std::size_t(file.classes.back().ancestors.data - image.data()) - 4;
  Kiv::StoreLE32(image.data() + countAt, kMaxAncestors + 1);
  EXPECT_NE(ReadLibraryFile(image, file).find("more ancestors than a class can have"), std::string::npos);

  t.folder.Write("deep.gsl", image);
  LogCapture log;
  uint64_t id = 0;
  ASSERT_TRUE(t.machine.AddLibrary(t.folder.Path(), "deep.gsl", &id));
  EXPECT_EQ(t.machine.GetLibrary(uint32_t(id >> 32), uint32_t(id)), nullptr);
  EXPECT_NE(log.All().find("deep.gs (deep.gsl)"), std::string::npos) << log.All();
}

}  // namespace
