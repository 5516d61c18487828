#include <gtest/gtest.h>

#include <filesystem>

#include "tests/gamescript/compiler/codegen_support.h"

using namespace CodegenTest;

namespace {

// The error count a corpus file declares with "// result: N" (0 when absent).
int DeclaredResult(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line))
    if (std::size_t at = line.find("// result: "); at != std::string::npos)
      return std::stoi(line.substr(at + 11));
  return 0;
}

}  // namespace

// Every source of the code-generation corpus, and every source of the other
// corpora that compiles without errors, becomes a library that the structure
// checker accepts: framing, counts, indexes, frame words, instruction
// boundaries and jump targets. (The emitter itself refuses a function whose
// stack depth does not return to 0, so a written library also proves that.)
TEST(CodegenCorpus, EveryCleanSourceGivesAWellFormedLibrary) {
  const fs::path base = fs::path(ROVANA_SOURCE_DIR) / "tests/gamescript/compiler/corpus";
  int libraries = 0, codegenFiles = 0;
  for (const char* area : {"codegen", "driver", "sema"}) {
    if (!fs::exists(base / area)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(base / area)) {
      if (entry.path().extension() != ".gs") continue;
      const bool ours = std::string(area) == "codegen";
      if (!ours && DeclaredResult(entry.path()) != 0) continue;
      TempDir out;
      GSCompiler::CompileLog log;
      const int errors = GSCompiler::CompileFile(entry.path().c_str(), (out.Path() + "/").c_str(), {}, &log);
      std::string messages;
      for (std::size_t i = 0; i < log.Count(); ++i) messages += std::string(log.At(i)) + "\n";
      if (ours) {
        ++codegenFiles;
        EXPECT_EQ(errors, 0) << entry.path() << "\n" << messages;
      }
      if (errors != 0) continue;
      const fs::path lib = fs::path(out.Path()) / (entry.path().stem().string() + ".gsl");
      ASSERT_TRUE(fs::exists(lib)) << entry.path();
      LibraryCheck::Library parsed;
      EXPECT_EQ(LibraryCheck::Check(ReadFile(lib.string()), parsed), "") << entry.path();
      EXPECT_FALSE(parsed.classes.empty()) << entry.path();
      ++libraries;
    }
  }
  EXPECT_GE(codegenFiles, 4);
  EXPECT_GE(libraries, codegenFiles);
}

TEST(CodegenCorpus, CheckerRefusesDamagedLibraries) {
  // The checker must itself catch faults, or the corpus test proves nothing.
  Built b = Build("class A {\n public int v;\n public void F(int n) { while (n > 0) n--; v = n; }\n};\n");
  ASSERT_EQ(b.errors, 0) << b.Log();
  ASSERT_EQ(b.problem, "");
  LibraryCheck::Library lib;
  std::vector<uint8_t> cut(b.bytes.begin(), b.bytes.end() - 1);
  EXPECT_NE(LibraryCheck::Check(cut, lib), "");
  for (std::size_t i = 0; i < b.bytes.size(); i += 7) {
    std::vector<uint8_t> bad = b.bytes;
    bad[i] ^= 0x80;
    LibraryCheck::Library again;
    // A flipped byte is either caught or lands in a field with no rule
    // (names, ids, string texts, line numbers); it never crashes the reader.
    (void)LibraryCheck::Check(bad, again);
  }
  std::vector<uint8_t> magic = b.bytes;
  magic[4] ^= 1;
  EXPECT_NE(LibraryCheck::Check(magic, lib), "");
}
