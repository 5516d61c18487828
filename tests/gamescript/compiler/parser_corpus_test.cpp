// Parses every file of the parser corpus and compares the compile log with the
// file's "// EXPECT: " lines (none: the file must parse cleanly).
#include <gtest/gtest.h>

#include "tests/gamescript/compiler/parser_support.h"

using namespace GSCompiler;

namespace {

TEST(ParserCorpus, EveryFileGivesItsExpectedMessages) {
  const auto files = ParserTest::CorpusFiles("parser");
  ASSERT_GE(files.size(), 10u);
  for (const auto& path : files) {
    const std::string source = ParserTest::ReadFile(path);
    const std::string name = path.filename().string();
    auto parsed = ParserTest::ParseText(source, name.c_str());
    const auto expected = ParserTest::Expectations(source, "// EXPECT: ");
    EXPECT_EQ(parsed->Lines(), expected) << name;
    EXPECT_EQ(parsed->result, expected.empty() ? 0 : 1) << name;
    EXPECT_EQ(parsed->context->errorCount, static_cast<int>(expected.size())) << name;
    EXPECT_EQ(parsed->Tree() != nullptr, expected.empty()) << name;
  }
}

}  // namespace
