// The engine's configuration text: entries with values and blocks, quoting,
// comments, the version, and texts that are refused with their line.
#include <gtest/gtest.h>

#include "kiv/TempFolder.h"
#include "kiv/render/ConfigParser.h"

namespace {

TEST(ConfigParser, EntriesValuesAndBlocks) {
  Kiv::ConfigData data;
  ASSERT_EQ(Kiv::ConfigParser::ParseText(
                "\xEF\xBB\xBF"
                "version 1.0\n"
                "mesh 0 { name a.im }\n"
                "mesh far {\n  name \"with space \\\"q\\\".im\" // note\n  animated YES\n}\n"
                "flag; multiplier +2.5 # trailing\n"
                "\r\nempty {}\n",
                data),
            0)
      << data.Error();
  const Kiv::ConfigEntry& root = data.Root();
  EXPECT_EQ(data.GetVersion(), 1.0f);
  const auto meshes = root.FindAll("MESH");
  ASSERT_EQ(meshes.size(), 2u);
  EXPECT_EQ(meshes[0]->value, "0");
  EXPECT_EQ(meshes[0]->GetString("name"), "a.im");
  EXPECT_EQ(meshes[1]->GetString("Name"), "with space \"q\".im");
  EXPECT_TRUE(meshes[1]->GetBool("animated", false));
  EXPECT_EQ(meshes[1]->line, 3u);
  ASSERT_NE(root.Find("flag"), nullptr);
  EXPECT_EQ(root.Find("flag")->value, "");
  EXPECT_EQ(root.GetFloat("multiplier", 1.0f), 2.5f);
  EXPECT_EQ(root.GetFloat("missing", 7.0f), 7.0f);
  ASSERT_NE(root.Find("empty"), nullptr);
  EXPECT_TRUE(root.Find("empty")->children.empty());
}

TEST(ConfigParser, NumbersTruthsAndTheVersion) {
  Kiv::ConfigData data;
  ASSERT_EQ(Kiv::ConfigParser::ParseText("a 1e3\nb 1.5x\nc nan\nd no\ne maybe\n", data), 0);
  EXPECT_EQ(data.GetVersion(), 1.0f);  // no version entry
  EXPECT_EQ(data.Root().GetFloat("a", 0), 1000.0f);
  EXPECT_EQ(data.Root().GetFloat("b", -1), -1.0f);
  EXPECT_EQ(data.Root().GetFloat("c", -1), -1.0f);
  EXPECT_FALSE(data.Root().GetBool("d", true));
  EXPECT_TRUE(data.Root().GetBool("e", true));
  ASSERT_EQ(Kiv::ConfigParser::ParseText("version 2\n", data), 0);
  EXPECT_EQ(data.GetVersion(), 2.0f);
}

TEST(ConfigParser, RefusedTextsSayWhere) {
  struct Case {
    const char* text;
    const char* where;
  } cases[] = {
      {"a {\n", "line 2"},            // not closed
      {"a 1\n}\n", "line 2"},         // closed without a block
      {"a \"open\nb 1\n", "line 1"},  // a string running past its line
      {"a 1 2\n", "line 1"},          // two values
      {"{ a 1 }\n", "line 1"},        // a block without a key
      {"a { b } c\n", "line 1"},      // a value after the block
  };
  for (const Case& c : cases) {
    Kiv::ConfigData data;
    EXPECT_EQ(Kiv::ConfigParser::ParseText(c.text, data), 3) << c.text;
    EXPECT_NE(data.Error().find(c.where), std::string::npos) << c.text << " -> " << data.Error();
    EXPECT_TRUE(data.Root().children.empty());
  }
  // Nesting is bounded.
  Kiv::ConfigData data;
  EXPECT_EQ(Kiv::ConfigParser::ParseText(std::string(1000, '{'), data), 3);
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += "a {";
  EXPECT_EQ(Kiv::ConfigParser::ParseText(deep, data), 3);
}

TEST(ConfigParser, FilesThatCannotBeRead) {
  Kiv::TempFolder folder("config-parser");
  Kiv::ConfigData data;
  EXPECT_EQ(Kiv::ConfigParser::Parse(folder.Path("missing.txt"), data), 2);
  EXPECT_EQ(Kiv::ConfigParser::Parse(folder.Root(), data), 2);
  EXPECT_EQ(Kiv::ConfigParser::Parse(folder.Write("ok.txt", "x 1\n"), data), 0);
  EXPECT_EQ(data.Root().GetFloat("x", 0), 1.0f);
}

}  // namespace
