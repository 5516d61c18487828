#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <unistd.h>

#include "gamescript/compiler/Driver.h"
#include "gamescript/compiler/ParseContext.h"
#include "tests/gamescript/compiler/codegen_support.h"
#include "tests/gamescript/compiler/parser_support.h"

using namespace GSCompiler;

namespace {

// `classes` numbered copies of a class with members, loops, a switch, calls
// and string building ("@" stands for the number), each deriving from the first.
std::string ManyClasses(int classes) {
  const std::string templ =
      "class C@ isclass C0 {\n"
      "  public int count@ = 3;\n"
      "  float ratio = 1.5;\n"
      "  public void Reset(void) { count@ = 0; ratio = 0.0; }\n"
      "  public int Step(int a, float b) {\n"
      "    int i;\n"
      "    for (i = 0; i < a; i++) {\n"
      "      if (i % 2 == 0 and b > 0.5) count@ = count@ + i * 2;\n"
      "      else count@ = count@ - 1;\n"
      "    }\n"
      "    switch (a) { case 1: count@ = 5; break; default: break; }\n"
      "    string s = \"value \" + (string)count@;\n"
      "    while (ratio > 10.0) ratio = ratio / 2.0;\n"
      "    Reset();\n"
      "    return count@ + s.size();\n"
      "  }\n"
      "};\n";
  std::string s = "class C0 { };\n";
  for (int c = 1; c <= classes; ++c)
    for (char ch : templ) {
      if (ch == '@')
        s += std::to_string(c);
      else
        s += ch;
    }
  return s;
}

struct TreeUse {
  int errors = -1;
  std::size_t sourceBytes = 0;
  std::size_t peakTreeBytes = 0;
  std::size_t libraryBytes = 0;
};

TreeUse Compile(int classes) {
  CodegenTest::TempDir t;
  TreeUse use;
  const std::string source = ManyClasses(classes);
  use.sourceBytes = source.size();
  t.Write("many.gs", source);
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});
  CompileLog log;
  CompileUnit unit;
  use.errors = unit.Compile("many.gs", &log);
  // Counted before the library is written, which frees the tree's pool.
  use.peakTreeBytes = unit.RootContext().stringPool.PeakHeldBytes();
  Utils::ByteBuffer buffer;
  EXPECT_TRUE(buffer.Init(1024));
  if (use.errors == 0 && unit.WriteLibrary(buffer, &log, "many.gs")) use.libraryBytes = buffer.Length();
  ClearIncludePaths();
  return use;
}

}  // namespace

// A file's syntax tree is held a class at a time: the most its pool ever
// holds does not grow with the number of classes, and for a large source is a
// small part of it.
TEST(DriverMemory, TreeOfALargeSourceIsBoundedByItsLargestClass) {
  const TreeUse few = Compile(20);
  const TreeUse many = Compile(2000);
  ASSERT_EQ(few.errors, 0);
  ASSERT_EQ(many.errors, 0);
  EXPECT_GT(many.libraryBytes, 50 * few.libraryBytes);  // every class was generated
  EXPECT_GT(many.sourceBytes, 1000000u);
  EXPECT_EQ(many.peakTreeBytes, few.peakTreeBytes);
  EXPECT_LT(many.peakTreeBytes, many.sourceBytes / 16);
}

// One class of many functions is read, checked and generated a member at a
// time: neither the tree nor the parameters' symbols grow with the class.
TEST(DriverMemory, OneLargeClassHoldsOneMemberAtATime) {
  CodegenTest::TempDir t;
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});
  std::size_t tree[2] = {}, cells[2] = {}, library[2] = {};
  const int counts[2] = {50, 3000};
  for (int i = 0; i < 2; ++i) {
    std::string source = "class Big {\n  public int total = 0;\n";
    for (int f = 0; f < counts[i]; ++f) {
      const std::string n = std::to_string(f);
      source += "  public int F" + n + "(int a) { int b = a; total = total + b; return F" + n + "(a - 1) + " +
                n + "; }\n";
    }
    t.Write("big.gs", source + "};\n");
    CompileLog log;
    CompileUnit unit;
    ASSERT_EQ(unit.Compile("big.gs", &log), 0);
    tree[i] = unit.RootContext().stringPool.PeakHeldBytes() + unit.RootContext().memberPool.PeakHeldBytes();
    cells[i] = unit.Symbols().VariableCells();
    Utils::ByteBuffer buffer;
    EXPECT_TRUE(buffer.Init(1024));
    ASSERT_TRUE(unit.WriteLibrary(buffer, &log, "big.gs"));
    library[i] = buffer.Length();
  }
  ClearIncludePaths();
  EXPECT_GT(library[1], 40 * library[0]);  // every function was generated
  EXPECT_EQ(tree[1], tree[0]);
  EXPECT_EQ(cells[1], cells[0]);  // the member variable, then one parameter and one local at a time
}

// Every class's locals and parameters go when the class has been compiled,
// and the next class's take their room: what the symbols hold grows with the
// members alone.
TEST(DriverMemory, SymbolsOfALargeSourceGrowWithItsMembersOnly) {
  CodegenTest::TempDir t;
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});
  std::size_t cells[2] = {}, held[2] = {};
  const int counts[2] = {20, 2000};
  for (int i = 0; i < 2; ++i) {
    t.Write("many.gs", ManyClasses(counts[i]));
    CompileLog log;
    CompileUnit unit;
    ASSERT_EQ(unit.Compile("many.gs", &log), 0);
    cells[i] = unit.Symbols().VariableCells();
    held[i] = unit.Symbols().HeldCount();
  }
  ClearIncludePaths();
  // Two member variables, four locals and parameters, two functions a class.
  const std::size_t more = std::size_t(counts[1] - counts[0]);
  EXPECT_EQ(cells[1] - cells[0], 2 * more);
  EXPECT_EQ(held[1] - held[0], 5 * more);  // the class, its two variables and two functions
}

// The library stored in parts (blocks of classes) is byte for byte the joined one; a unit's
// code is given back as it is written, so a second write is refused rather
// than giving a library without its classes.
TEST(DriverMemory, LibraryInPartsIsTheJoinedLibraryAndIsWrittenOnce) {
  CodegenTest::TempDir t;
  t.Write("many.gs", ManyClasses(2500));  // more than one block of classes
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});
  CompileLog log;
  CompileUnit joined, parts;
  ASSERT_EQ(joined.Compile("many.gs", &log), 0);
  ASSERT_EQ(parts.Compile("many.gs", &log), 0);
  ClearIncludePaths();
  Utils::ByteBuffer buffer;
  EXPECT_TRUE(buffer.Init(1024));
  ASSERT_TRUE(joined.WriteLibrary(buffer, &log, "many.gs"));
  LibraryBytes bytes;
  ASSERT_TRUE(parts.WriteLibrary(bytes, &log, "many.gs"));
  ASSERT_GT(bytes.head.Position(), 0u);
  ASSERT_GT(bytes.rest.size(), 1u);
  std::string stored(reinterpret_cast<const char*>(bytes.head.Data()), bytes.head.Position());
  stored.append(bytes.strings).append(bytes.stringsPad, '\0');
  for (const auto& block : bytes.rest)
    stored.append(reinterpret_cast<const char*>(block->Data()), block->Position());
  EXPECT_EQ(stored.size(), bytes.Size());
  EXPECT_EQ(stored, std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Length()));

  ASSERT_EQ(log.Count(), 0u);
  LibraryBytes again;
  EXPECT_FALSE(parts.WriteLibrary(again, &log, "many.gs"));
  ASSERT_EQ(log.Count(), 1u);
  EXPECT_STREQ(log.At(0), "Internal Compiler Error: the classes' code was written before.");
}

// Written through a spill file, as a compile to a file writes it, the library
// keeps one block in memory and is still byte for byte the joined one: the
// classes chunk's size word, in the first block, is filled in the file.
TEST(DriverMemory, LibraryThroughASpillFileIsTheJoinedLibrary) {
  CodegenTest::TempDir t;
  t.Write("many.gs", ManyClasses(2500));
  ClearIncludePaths();
  AppendIncludePath({t.Path(), {}});
  CompileLog log;
  CompileUnit joined, spilled;
  ASSERT_EQ(joined.Compile("many.gs", &log), 0);
  ASSERT_EQ(spilled.Compile("many.gs", &log), 0);
  Utils::ByteBuffer buffer;
  EXPECT_TRUE(buffer.Init(1024));
  ASSERT_TRUE(joined.WriteLibrary(buffer, &log, "many.gs"));
  const std::string want(reinterpret_cast<const char*>(buffer.Data()), buffer.Length());

  Kiv::ScratchFile spill;
  LibraryBytes bytes;
  bytes.spill = &spill;
  ASSERT_TRUE(spilled.WriteLibrary(bytes, &log, "many.gs"));
  EXPECT_EQ(bytes.rest.size(), 1u);
  EXPECT_GT(spill.Size(), 2 * bytes.rest[0]->Position());
  std::string stored(reinterpret_cast<const char*>(bytes.head.Data()), bytes.head.Position());
  stored.append(bytes.strings).append(bytes.stringsPad, '\0');
  std::string spilledBytes(spill.Size(), '\0');
  ASSERT_EQ(::pread(spill.Fd(), spilledBytes.data(), spilledBytes.size(), 0), ssize_t(spilledBytes.size()));
  stored += spilledBytes;
  stored.append(reinterpret_cast<const char*>(bytes.rest[0]->Data()), bytes.rest[0]->Position());
  EXPECT_EQ(stored.size(), bytes.Size());
  EXPECT_EQ(stored, want);
  // A library in memory cannot take blocks that went to a file.
  Utils::ByteBuffer joinedAgain;
  EXPECT_TRUE(joinedAgain.Init(16));
  EXPECT_FALSE(JoinLibrary(bytes, joinedAgain, nullptr));

  // The compile to a file writes the same bytes.
  CompileLog fileLog;
  ASSERT_EQ(CompileToFile("many.gs", (t.Path() + "/many.gsl").c_str(), &fileLog), 0);
  ClearIncludePaths();
  const std::vector<uint8_t> file = CodegenTest::ReadFile(t.Path("many.gsl"));
  EXPECT_EQ(std::string(file.begin(), file.end()), want);
}

// Each derived class repeats its base's function table: a base of n functions
// and n one-line derived classes ask for 8 n^2 bytes. Past what a library may
// hold, the compile is refused before any table is built, and nothing is written.
TEST(DriverMemory, TablesBeyondALibraryAreRefusedBeforeTheyAreBuilt) {
  CodegenTest::TempDir t;
  constexpr int kCount = 11600;  // 8 * 11600^2 bytes is just over 1 GiB
  std::string source = "class Base {\n";
  for (int f = 0; f < kCount; ++f) source += " public void F" + std::to_string(f) + "(void) { }\n";
  source += "};\n";
  for (int c = 0; c < kCount; ++c) source += "class D" + std::to_string(c) + " isclass Base { };\n";
  t.Write("wide.gs", source);
  CompileLog log;
  EXPECT_EQ(CompileFile(t.Path("wide.gs").c_str(), (t.Path() + "/").c_str(), {}, &log), 1);
  std::string all;
  for (std::size_t i = 0; i < log.Count(); ++i) all += std::string(log.At(i)) + "\n";
  EXPECT_NE(all.find("need 1076990400 bytes, more than the 1073741824 of a library"), std::string::npos)
      << all;
  EXPECT_FALSE(std::filesystem::exists(t.Path("wide.gsl")));
}
