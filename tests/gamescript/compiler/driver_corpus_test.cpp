#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/gamescript/compiler/codegen_support.h"
#include "tests/gamescript/compiler/parser_support.h"

using namespace GSCompiler;

// Every ".gs" file of the driver corpus is compiled as a main file. Its comment
// lines "// result: N" and "// expect: <log line>" give the error count and the
// whole compile log, in order; "$DIR" stands for the corpus folder and "\\n"
// for a line break inside one entry.
TEST(DriverCorpus, EachFileGivesItsExpectedLog) {
  int files = 0;
  for (const auto& path : ParserTest::CorpusFiles("driver")) {
    ++files;
    const std::string source = ParserTest::ReadFile(path);
    const std::vector<std::string> results = ParserTest::Expectations(source, "// result: ");
    ASSERT_EQ(results.size(), 1u) << path << " needs one result line";
    std::vector<std::string> expected = ParserTest::Expectations(source, "// expect: ");
    for (std::string& text : expected) {
      if (std::size_t d = text.find("$DIR"); d != std::string::npos)
        text.replace(d, 4, path.parent_path().string());
      std::string plain;
      for (std::size_t i = 0; i < text.size(); ++i) {
        const bool lineBreak = text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n';
        plain += lineBreak ? '\n' : text[i];
        i += lineBreak;
      }
      text = std::move(plain);
    }
    // Libraries go to a folder of their own, never into the corpus.
    CodegenTest::TempDir out;
    CompileLog log;
    EXPECT_EQ(CompileFile(path.c_str(), (out.Path() + "/").c_str(), {}, &log), std::stoi(results[0])) << path;
    EXPECT_EQ(ParserTest::LogLines(log), expected) << path;
  }
  EXPECT_GE(files, 10);
}
