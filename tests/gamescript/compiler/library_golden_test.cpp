#include <gtest/gtest.h>

#include <cstring>

#include "foundation/Crc32.h"
#include "tests/gamescript/compiler/codegen_support.h"

using namespace CodegenTest;

namespace {

// Little-endian image builder for the expected bytes.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes& W(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    return *this;
  }
  Bytes& S(const std::string& text) {
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
    return *this;
  }
  Bytes& Raw(std::initializer_list<uint8_t> bytes) {
    b.insert(b.end(), bytes);
    return *this;
  }
  Bytes& Pad(uint8_t fill) {
    while (b.size() % 4) b.push_back(fill);
    return *this;
  }
};

constexpr uint32_t kNone = 0xFFFFFFFF;
constexpr uint32_t kVersionBits = 0x3F828F5C;  // 1.02 as a float

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// Header and chunk 2 of a library "m.gs" without includes.
Bytes Header(const Built& b, const std::string& text) {
  const uint32_t id1 = Crc32(text.data(), text.size());
  const uint32_t id2 = Crc32LowerString("m.gs");
  const std::string name = Lower(b.mainPath);
  Bytes x;
  x.W(0).W(0xF762575D).W(kVersionBits).W(id1).W(id2).W(uint32_t(name.size() + 1)).S(name);
  x.W(20).W(2).W(1).W(id1).W(id2);
  return x;
}

// Chunk 3 holding `strings` in index order.
void StringTable(Bytes& x, const std::vector<std::string>& strings) {
  const std::size_t start = x.b.size();
  x.W(0).W(3).W(uint32_t(strings.size()));
  uint32_t offset = 0;
  for (const std::string& s : strings) {
    x.W(offset);
    offset += uint32_t(s.size() + 1);
  }
  for (const std::string& s : strings) x.S(s);
  x.Pad(0);
  const uint32_t size = uint32_t(x.b.size() - start);
  std::memcpy(&x.b[start], &size, 4);
}

// Empty when equal, else the first differing offset with both bytes.
std::string Diff(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  const std::size_t n = std::min(got.size(), want.size());
  for (std::size_t i = 0; i < n; ++i)
    if (got[i] != want[i])
      return "offset " + std::to_string(i) + ": got " + std::to_string(got[i]) + ", want " +
             std::to_string(want[i]);
  if (got.size() != want.size())
    return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size());
  return "";
}

void Total(Bytes& x) {
  const uint32_t size = uint32_t(x.b.size());
  std::memcpy(&x.b[0], &size, 4);
}

// The record of a class initialiser without code: 16 words, no line table.
void EmptyInitialiser(Bytes& x, uint32_t key) {
  x.W(64).W(9).W(key).W(0).W(kNone).W(0x20).W(kNone);
  x.W(4).W(0).W(1).W(4).W(1).W(0).W(0).W(0).W(0);
}

}  // namespace

TEST(LibraryGolden, EmptyClass) {
  const std::string text = "class Empty { };\n";
  Built b = Build(text);
  ASSERT_EQ(b.errors, 0) << b.Log();
  Bytes x = Header(b, text);
  StringTable(x, {"Empty", "::Empty()"});
  x.W(12).W(4).W(0);             // no class imports
  x.W(12).W(5).W(0);             // no function imports
  x.W(164).W(6).W(1);            // one class
  x.W(152).W(7).W(0).W(0).W(0);  // name, flags, no ancestors
  x.W(76).W(8).W(1);             // only the initialiser
  EmptyInitialiser(x, 1);
  x.W(12).W(10).W(0);                           // no member variables
  x.W(12).W(11).W(0);                           // empty function table
  x.W(32).W(12).W(5).W(1).W(1).W(1).W(0).W(0);  // V + 5 cells; the record {1, 1, 0}
  Total(x);
  EXPECT_EQ(Diff(b.bytes, x.b), "");
  EXPECT_EQ(b.problem, "");
}

TEST(LibraryGolden, OneFunction) {
  const std::string text = "class A {\n  public int Get(int x) { return x + 1; }\n};\n";
  Built b = Build(text);
  ASSERT_EQ(b.errors, 0) << b.Log();
  Bytes x = Header(b, text);
  StringTable(x, {"A", "::Get(int)", "$int@A::Get(int)", "::A()"});
  x.W(20).W(4).W(1).W(0).W(0);       // class A from file 0
  x.W(24).W(5).W(1).W(0).W(1).W(0);  // A::Get(int), slot 0
  x.W(264).W(6).W(1);
  x.W(252).W(7).W(0).W(0).W(0);
  x.W(168).W(8).W(2);
  // Get: key, int, no class, public, slot 0; L = 0: advance 4, base -1,
  // header 1, size D + 4 with D = 2, P = 2, no locals, temporaries or cells.
  x.W(92).W(9).W(2).W(2).W(kNone).W(1).W(0);
  x.W(4).W(uint32_t(-1)).W(1).W(6).W(2).W(0).W(0).W(0);
  x.W(10).Raw({0x1F, 1, 0, 0x1E, 1, 0, 0, 0, 0x00, 0x6E});  // LDL 1, PUSHK 1, ADDI, RETV
  x.Raw({0xFF, 0xFF});                                      // to 4 from chunk 4
  x.Raw({'l', 'g', 'b', 'd'}).W(1).W(0).W(2);               // one line entry
  EmptyInitialiser(x, 3);
  x.W(12).W(10).W(0);
  x.W(20).W(11).W(1).W(0).W(0);  // table: import 0 at offset 0
  x.W(32).W(12).W(5).W(1).W(1).W(1).W(0).W(0);
  Total(x);
  EXPECT_EQ(Diff(b.bytes, x.b), "");
  EXPECT_EQ(b.problem, "");
}

TEST(LibraryGolden, OneImportAndAMemberWithItsInitialiser) {
  const std::string lib = "class Lib {\n  public int v;\n};\n";
  const std::string text = "include \"lib.gs\"\nclass User {\n  public Lib other;\n  public int n = 7;\n};\n";
  Built b = Build(text, {{"lib.gs", lib}});
  ASSERT_EQ(b.errors, 0) << b.Log();
  ASSERT_EQ(b.problem, "");
  // Chunk 2: the library itself, then the included file.
  Bytes deps;
  deps.W(28)
      .W(2)
      .W(2)
      .W(Crc32(text.data(), text.size()))
      .W(Crc32LowerString("m.gs"))
      .W(Crc32(lib.data(), lib.size()))
      .W(Crc32LowerString("lib.gs"));
  const std::size_t at = 24 + b.lib.name.size() + 1;
  ASSERT_GE(b.bytes.size(), at + deps.b.size());
  EXPECT_EQ(std::vector<uint8_t>(b.bytes.begin() + long(at), b.bytes.begin() + long(at + deps.b.size())),
            deps.b);
  EXPECT_EQ(b.lib.classImports, (std::vector<std::pair<uint32_t, std::string>>{{1, "Lib"}}));
  ASSERT_EQ(b.lib.classes.size(), 1u);
  const LibraryCheck::Class& user = b.lib.classes[0];
  std::vector<std::string> variables = user.variables;  // readers find them by name
  std::sort(variables.begin(), variables.end());
  EXPECT_EQ(variables, (std::vector<std::string>{"n", "other"}));
  EXPECT_EQ(user.instanceCells, 2u + 2u + 3u);
  EXPECT_EQ(b.Listing("User", "::User()"), "0000: PUSHK 7\n0005: STS 3\n0008: RET\n");
}

// The same rule with classes of few functions and of many, declarations and
// overrides interleaved: the inherited part keeps its positions, overridden
// where the derived class says so, and the derived class's own functions
// follow in the order they are declared.
TEST(LibraryGolden, FunctionTablesOfFewAndManyFunctions) {
  for (int count : {3, 16, 17, 40}) {
    std::string text = "class Base {\n";
    for (int i = 0; i < 20; ++i) text += "  public int F" + std::to_string(i) + "(void) { return 1; }\n";
    text += "};\nclass Derived isclass Base {\n";
    std::vector<std::string> base, own;
    for (int i = 0; i < 20; ++i) base.push_back("Base::F" + std::to_string(i) + "()");
    for (int i = 0; i < count; ++i) {
      // Every third declaration overrides a function of Base, from the last one down.
      const std::string name = i % 3 == 1 ? "F" + std::to_string(19 - i / 3) : "N" + std::to_string(i);
      text += "  public int " + name + "(void) { return 2; }\n";
      own.push_back("Derived::" + name + "()");
      if (name[0] == 'F') base[std::size_t(19 - i / 3)] = own.back();
    }
    text += "};\n";
    Built b = Build(text);
    ASSERT_EQ(b.errors, 0) << b.Log();
    ASSERT_EQ(b.problem, "");
    ASSERT_EQ(b.lib.classes.size(), 2u);
    std::vector<std::string> names;
    for (uint32_t f : b.lib.classes[1].table) names.push_back(b.lib.functionImports[f]);
    std::vector<std::string> expected = base;
    expected.insert(expected.end(), own.begin(), own.end());
    EXPECT_EQ(names, expected) << count;
  }
}

TEST(LibraryGolden, OverrideKeepsItsTablePosition) {
  const std::string text = R"(class Base {
  public int F(void) { return 1; }
  public int G(void) { return 2; }
};
class Derived isclass Base {
  public int H(void) { return 4; }
  public int G(void) { return 3; }
};
)";
  Built b = Build(text);
  ASSERT_EQ(b.errors, 0) << b.Log();
  ASSERT_EQ(b.problem, "");
  ASSERT_EQ(b.lib.classes.size(), 2u);
  auto names = [&](const LibraryCheck::Class& c) {
    std::vector<std::string> out;
    for (uint32_t f : c.table) out.push_back(b.lib.functionImports[f]);
    return out;
  };
  EXPECT_EQ(names(b.lib.classes[0]), (std::vector<std::string>{"Base::F()", "Base::G()"}));
  // G takes over the position Base had it at; the new functions follow every
  // inherited entry, each at its own slot (H 2, G 3), which is the slot that
  // calls through a Derived reference use.
  EXPECT_EQ(names(b.lib.classes[1]),
            (std::vector<std::string>{"Base::F()", "Derived::G()", "Derived::H()", "Derived::G()"}));
  // Chunk 11 of Derived byte for byte: each entry's offset is that of the
  // implementing class's part (Base's part starts at cell 2).
  const auto& imports = b.lib.functionImports;
  auto index = [&](const std::string& n) {
    return uint32_t(std::find(imports.begin(), imports.end(), n) - imports.begin());
  };
  Bytes table;
  table.W(44).W(11).W(4).W(index("Base::F()")).W(2).W(index("Derived::G()")).W(0);
  table.W(index("Derived::H()")).W(0).W(index("Derived::G()")).W(0);
  const auto found = std::search(b.bytes.begin(), b.bytes.end(), table.b.begin(), table.b.end());
  EXPECT_NE(found, b.bytes.end());
  // Derived: one ancestor, so records {0, 2, -2}, {1, 3, 0} and {1, 1, 0}.
  Bytes layout;
  layout.W(56).W(12).W(2 + 2 + 0 + 3).W(3).W(0).W(2).W(uint32_t(-2)).W(1).W(3).W(0).W(1).W(1).W(0).W(0);
  EXPECT_NE(std::search(b.bytes.begin(), b.bytes.end(), layout.b.begin(), layout.b.end()), b.bytes.end());
}

// A derived class whose base comes from an included file, with a string
// member, a string parameter and a string local: every byte worked out by hand.
TEST(LibraryGolden, DerivedClassWithReferenceCells) {
  const std::string base = "class B {\n  public string name;\n};\n";
  const std::string text =
      "include \"b.gs\"\nclass D isclass B {\n  string label;\n"
      "  public void Set(string s) { string t; t = s; name = t; }\n};\n";
  Built b = Build(text, {{"b.gs", base}});
  ASSERT_EQ(b.errors, 0) << b.Log();
  const uint32_t id1 = Crc32(text.data(), text.size());
  const uint32_t id2 = Crc32LowerString("m.gs");
  const std::string name = Lower(b.mainPath);
  Bytes x;
  x.W(0).W(0xF762575D).W(kVersionBits).W(id1).W(id2).W(uint32_t(name.size() + 1)).S(name);
  x.W(28).W(2).W(2).W(id1).W(id2).W(Crc32(base.data(), base.size())).W(Crc32LowerString("b.gs"));
  StringTable(x, {"B", "D", "::Set(string)", "$void@D::Set(string)", "::D()", "label"});
  x.W(28).W(4).W(2).W(1).W(0).W(0).W(1);  // B from the included file, D from this one
  x.W(24).W(5).W(1).W(1).W(2).W(0);       // D::Set(string) at slot 0
  x.W(336).W(6).W(1);
  x.W(324).W(7).W(1).W(0).W(1);  // D, no flags, one ancestor
  x.W(0).W(2).W(1);              // B at cell 2, named in the extends list
  x.W(180).W(8).W(2);
  // Set: P = 2, one local (cell 2), no temporaries, so L = 1; depth 1.
  x.W(104).W(9).W(3).W(0).W(kNone).W(1).W(0);
  x.W(5).W(uint32_t(-1)).W(2).W(6).W(2).W(1).W(0);
  x.W(2).W(1).W(2);  // s and t hold references
  // LDLO 1, SCOPY, STLO 2, LDLO 2, SCOPY, STSO 4 (name: B's cell 2 + 2), RET
  x.W(15).Raw({0x20, 1, 0, 0x4D, 0x23, 2, 0, 0x20, 2, 0, 0x4D, 0x6A, 4, 0, 0x6D});
  x.Raw({0xFF});  // 108 + 87 bytes from chunk 4: one pad byte
  x.Raw({'l', 'g', 'b', 'd'}).W(1).W(0).W(4);
  EmptyInitialiser(x, 4);
  x.W(32).W(10).W(1).W(5).W(4).W(kNone).W(0).W(5);  // label: string, private, cell 5
  x.W(20).W(11).W(1).W(0).W(0);
  // VB(D) = 2 + 3 = 5, V = 1: 9 cells; records {0, 2, -2}, {1, 3, 0}, {1, 1, 0}; label holds a reference.
  x.W(60).W(12).W(9).W(3).W(0).W(2).W(uint32_t(-2)).W(1).W(3).W(0).W(1).W(1).W(0).W(1).W(5);
  Total(x);
  EXPECT_EQ(Diff(b.bytes, x.b), "");
  EXPECT_EQ(b.problem, "");
  // The reader's records of the fixed-size tables, read from the image.
  GSRuntime::LibraryFile file;
  ASSERT_EQ(GSRuntime::ReadLibraryFile(b.bytes, file), "");
  ASSERT_EQ(file.classes.size(), 1u);
  const GSRuntime::LibraryClass& d = file.classes[0];
  ASSERT_EQ(d.ancestors.size(), 1u);
  EXPECT_EQ(d.ancestors[0].classImport, 0u);
  EXPECT_EQ(d.ancestors[0].offset, 2);
  EXPECT_EQ(d.ancestors[0].direct, 1u);
  ASSERT_EQ(d.table.size(), 1u);
  EXPECT_EQ(d.table[0].functionImport, 0u);
  EXPECT_EQ(d.table[0].offset, 0);
  std::vector<std::vector<int64_t>> values;
  for (const GSRuntime::LibraryClass::InitialValue& v : d.initialValues)
    values.push_back({v.kind, v.cell, v.value});
  EXPECT_EQ(values, (std::vector<std::vector<int64_t>>{{0, 2, -2}, {1, 3, 0}, {1, 1, 0}}));
  EXPECT_EQ(std::vector<int32_t>(d.objectMembers.begin(), d.objectMembers.end()), std::vector<int32_t>{5});
}

TEST(LibraryGolden, DifferentReturnTypeOfAnInheritedFunctionFailsTheClass) {
  // Two bases with the same function but different results meet in one table.
  Built b = Build(R"(class P { public int F(void) { return 1; } };
class Q { public float F(void) { return 1.0; } };
class R isclass P, Q { };
)");
  EXPECT_EQ(b.errors, 1);
  EXPECT_EQ(b.log, (std::vector<std::string>{"Wrong return type on function:$float@Q::F()\n",
                                             "Internal Compiler Error.\n"}));
}

TEST(LibraryWrite, FailedWriteKeepsTheOldLibraryAndCountsOneError) {
  TempDir dir;
  dir.Write("x.gs", "class X { };\n");
  const std::string target = dir.Write("x.gsl", "old library");
  GSCompiler::ClearIncludePaths();
  GSCompiler::AppendIncludePath({Kiv::File::Path(dir.Path()), {}});
  for (const char* step : {"open", "write", "sync", "rename"}) {
    Kiv::File::SetFaultInjector([step](std::string_view s) { return s != step; });
    GSCompiler::CompileLog log;
    EXPECT_EQ(GSCompiler::CompileToFile("x.gs", target.c_str(), &log), 1) << step;
    Kiv::File::SetFaultInjector(nullptr);
    ASSERT_EQ(log.Count(), 2u) << step;
    EXPECT_EQ(std::string(log.At(0)), "Unable to open output file: '" + target + "'.\n");
    // The reason follows, naming the file.
    EXPECT_NE(std::string(log.At(1)).find("'" + target + "'"), std::string::npos) << log.At(1);
    const std::vector<uint8_t> kept = ReadFile(target);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "old library") << step;
  }
  // Without a fault the library replaces the old file.
  GSCompiler::CompileLog log;
  EXPECT_EQ(GSCompiler::CompileToFile("x.gs", target.c_str(), &log), 0);
  LibraryCheck::Library lib;
  EXPECT_EQ(LibraryCheck::Check(ReadFile(target), lib), "");
  EXPECT_EQ(lib.name, "x.gs");
  // A compile with errors writes nothing over it either.
  dir.Write("x.gs", "class X { int f(void) { return; } };\n");
  const std::vector<uint8_t> before = ReadFile(target);
  EXPECT_EQ(GSCompiler::CompileToFile("x.gs", target.c_str(), &log), 1);
  EXPECT_EQ(ReadFile(target), before);
  GSCompiler::ClearIncludePaths();
}

TEST(LibraryCommandLine, OutputPathAndIncludeFolders) {
  TempDir dir;
  const std::string main =
      dir.Write("src/game.gs", "include \"shared.gs\"\nclass Game isclass Shared { };\n");
  dir.Write("first/other.gs", "class Other { };\n");
  dir.Write("second/shared.gs", "class Shared {\n  public int n = 1;\n};\n");
  std::filesystem::create_directories(dir.Path("out"));

  // -i folders are searched in order after the source's own folder; -p
  // names the folder of the library.
  MainRun r =
      RunMain({"prog", "-i" + dir.Path("first"), "-i" + dir.Path("second"), "-p" + dir.Path("out"), main});
  EXPECT_EQ(r.result, 0) << r.out;
  EXPECT_EQ(r.out, "");
  LibraryCheck::Library lib;
  ASSERT_EQ(LibraryCheck::Check(ReadFile(dir.Path("out/game.gsl")), lib), "");
  EXPECT_EQ(lib.dependencies.size(), 2u);
  EXPECT_EQ(lib.classImports, (std::vector<std::pair<uint32_t, std::string>>{{1, "Shared"}}));
  EXPECT_FALSE(std::filesystem::exists(dir.Path("src/game.gsl")));
}

TEST(LibraryGolden, CallSlotsIndexTheTableOfTheReceiversClass) {
  // A call is compiled with the slot of the function as seen from the
  // receiver's class; that position of the class's function table (or of an
  // ancestor part of it) must hold the function called, overrides included.
  Built b = Build(R"(class P {
  public int F(void) { return 1; }
  public int G(void) { return 2; }
};
class Q {
  public int K(void) { return 5; }
};
class D isclass P, Q {
  public int H(void) { return 4; }
  public int G(void) { return 3; }
  public int K(void) { return 6; }
  public int Use(D d, P p, Q q) { return d.G() + d.H() + d.F() + p.G() + q.K() + d.K(); }
};
)");
  ASSERT_EQ(b.errors, 0) << b.Log();
  ASSERT_EQ(b.problem, "");
  const LibraryCheck::Class* d = nullptr;
  for (const auto& c : b.lib.classes)
    if (c.name == "D") d = &c;
  ASSERT_NE(d, nullptr);
  // Slots from the calls of Use, in call order.
  std::vector<uint32_t> slots;
  const LibraryCheck::Function* use = b.Find("D", "Use");
  ASSERT_NE(use, nullptr);
  for (std::size_t pc = 0; pc < use->code.size();) {
    const std::size_t n = GSRuntime::InstructionLength(use->code.data(), use->code.size(), pc);
    ASSERT_NE(n, 0u);
    if (use->code[pc] == GSRuntime::OP_CALL) slots.push_back(GSRuntime::ReadU16(use->code.data() + pc + 3));
    pc += n;
  }
  ASSERT_EQ(slots.size(), 6u);
  // Q's part of D's table starts after all of P's slots (two), so q.K()'s
  // slot 0 is position 2 in a D object.
  auto at = [&](uint32_t position) { return b.lib.functionImports[d->table.at(position)]; };
  EXPECT_EQ(at(slots[0]), "D::G()");
  EXPECT_EQ(at(slots[1]), "D::H()");
  EXPECT_EQ(at(slots[2]), "P::F()");
  EXPECT_EQ(at(slots[3]), "D::G()");      // through P's part at offset 0
  EXPECT_EQ(at(2 + slots[4]), "D::K()");  // through Q's part at offset 2
  EXPECT_EQ(at(slots[5]), "D::K()");
}
