// Every opcode of the instruction table is exercised somewhere: by the code the
// compiler makes for the script corpus (the sources run through gsrun and the
// class libraries), or, for the few no source makes, by the hand-assembled
// cases of the interpreter tests. A new opcode that nothing runs fails here.

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/LibraryFile.h"
#include "gamescript/runtime/Opcodes.h"
#include "kiv/File.h"
#include "tests/gamescript/runtime/runtime_support.h"

using namespace GSRuntime;

namespace {

// Opcodes no compiled source contains: Interpreter.OpcodesNoSourceMakes
// assembles and runs them. (NOTNULL is compiled by the corpus script
// tests/scriptlib/scripts/world_base.gs.)
const std::set<std::string> kAssembledOnly = {"DUP", "DUP2O", "SWAP", "JNZ", "JNZK",
                                              "JLT", "JLE",   "JGT",  "JGE"};

// Marks every opcode in the code of every function of the library image;
// false when the image does not read or an instruction does not decode.
bool MarkOpcodes(const std::vector<uint8_t>& image, std::vector<bool>& seen, std::string& why) {
  LibraryFile file;
  why = ReadLibraryFile(image, file);
  if (!why.empty()) return false;
  for (const LibraryClass& cls : file.classes)
    for (const LibraryFunction& f : cls.functions)
      for (std::size_t at = 0; at < f.code.size();) {
        const std::size_t length = InstructionLength(f.code.data(), f.code.size(), at);
        if (length == 0) {
          why = std::string(f.key) + ": no instruction at " + std::to_string(at);
          return false;
        }
        seen[f.code[at]] = true;
        at += length;
      }
  return true;
}

std::vector<std::string> Sources(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".gs") out.push_back(entry.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(OpcodeCoverage, CorpusAndAssembledCasesReachEveryOpcode) {
  std::vector<bool> seen(256, false);
  std::string why;
  std::size_t libraries = 0;
  // The class libraries the build compiled.
  for (const auto& entry : std::filesystem::directory_iterator(ROVANA_SCRIPTS_DIR)) {
    if (entry.path().extension() != ".gsl") continue;
    std::vector<uint8_t> image;
    ASSERT_TRUE(Kiv::File::ReadWholeFile(entry.path().string(), image));
    ASSERT_TRUE(MarkOpcodes(image, seen, why)) << entry.path() << ": " << why;
    ++libraries;
  }
  // The corpus, compiled here with the class libraries as include folder.
  RuntimeTest::Folder out;
  const std::string root = ROVANA_SOURCE_DIR;
  std::vector<std::string> sources = Sources(root + "/tests/gamescript/scripts");
  for (const std::string& s : Sources(root + "/tests/scriptlib/scripts")) sources.push_back(s);
  for (const std::string& source : sources) {
    const std::string name = std::filesystem::path(source).stem().string();
    if (name == "compile_error") continue;  // fails to compile on purpose
    GSCompiler::CompileLog log;
    const std::vector<GSCompiler::IncludePath> includes = {{Kiv::File::Path(ROVANA_SCRIPTS_DIR), {}}};
    ASSERT_EQ(GSCompiler::CompileFile(source.c_str(), (out.Path() + "/").c_str(), includes, &log), 0)
        << source;
    ASSERT_TRUE(MarkOpcodes(out.Read(name + ".gsl"), seen, why)) << source << ": " << why;
    ++libraries;
  }
  EXPECT_GT(libraries, 20u);

  std::vector<std::string> missing, listedButCompiled;
  for (int op = 0; op < kOpcodeCount; ++op) {
    const std::string name = kOpcodeTable[op].mnemonic;
    const bool assembled = kAssembledOnly.count(name) != 0;
    if (!seen[op] && !assembled) missing.push_back(name);
    // The list stays the opcodes no source makes: one the compiler starts to
    // make leaves it, so the hand-assembled cases are not all it has.
    if (seen[op] && assembled) listedButCompiled.push_back(name);
  }
  std::string names;
  for (const std::string& m : missing) names += " " + m;
  EXPECT_TRUE(missing.empty()) << "no source or assembled case reaches:" << names;
  EXPECT_TRUE(listedButCompiled.empty()) << "compiled now: " << ::testing::PrintToString(listedButCompiled);
}

}  // namespace
