#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "foundation/Soup.h"
#include "kiv/File.h"
#include "soup_test_util.h"
#include "kiv/TempFolder.h"

namespace {

class SoupFileTest : public ::testing::Test {
protected:
  void SetUp() override { m_dir = m_temp.Root(); }
  void TearDown() override { Kiv::File::SetFaultInjector(nullptr); }
  void Put(const std::string& name, const std::string& bytes) {
    std::ofstream(m_dir / name, std::ios::binary) << bytes;
  }
  std::string Get(const std::string& name) {
    std::ifstream in(m_dir / name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string Dir() const { return m_dir.string(); }

  Kiv::TempFolder m_temp{"rovana-soup-file"};
  std::filesystem::path m_dir;
};

TEST_F(SoupFileTest, BothFormsRoundTripByExtension) {
  SoupRef soup = souptest::RandomSoup(11);
  soup.SetNamedTagKUID("kuid", KUID(12, 34, 0));
  for (const char* name : {"config.txt", "config.chump", "pack.cdp", "pack.CDP2"}) {
    ASSERT_TRUE(SaveSoupFile(soup, Dir(), name)) << name;
    SoupRef back = SoupRef::NewContainer();
    ASSERT_TRUE(LoadSoupFile(back, Dir(), name)) << name;
    EXPECT_TRUE(souptest::SameTree(soup.Get(), back.Get())) << name;
  }
  EXPECT_EQ(Get("config.chump").substr(0, 4), "ACS$");
  EXPECT_NE(Get("config.txt").find("kuid <kuid:12:34>"), std::string::npos);

  // The form follows the extension argument when one is given.
  ASSERT_TRUE(SaveSoupFile(soup, "", (m_dir / "data.bin").string(), "chump"));
  SoupRef back;
  EXPECT_TRUE(LoadSoupFile(back, "", (m_dir / "data.bin").string(), "chump"));
  EXPECT_FALSE(LoadSoupFile(back, Dir(), "data.bin"));
  EXPECT_FALSE(SaveSoupFile(soup, Dir(), "data.bin"));
  // Case of the name on disk does not matter.
  EXPECT_TRUE(LoadSoupFile(back, Dir(), "CONFIG.TXT"));
}

TEST_F(SoupFileTest, FailuresLeaveNoSoupAndKeepOldFiles) {
  SoupRef soup;
  soup.SetNamedTagInt("v", 1);
  ASSERT_TRUE(SaveSoupFile(soup, Dir(), "keep.txt"));
  std::string before = Get("keep.txt");

  // A failing write step leaves the old file whole.
  Kiv::File::SetFaultInjector([](std::string_view step) { return step != "rename"; });
  soup.SetNamedTagInt("v", 2);
  EXPECT_FALSE(SaveSoupFile(soup, Dir(), "keep.txt"));
  Kiv::File::SetFaultInjector(nullptr);
  EXPECT_EQ(Get("keep.txt"), before);

  SoupRef loaded = SoupRef::NewContainer();
  EXPECT_FALSE(LoadSoupFile(loaded, Dir(), "missing.txt"));
  EXPECT_TRUE(loaded.IsNull());
  Put("bad.txt", "a {\n");
  loaded = SoupRef::NewContainer();
  EXPECT_FALSE(LoadSoupFile(loaded, Dir(), "bad.txt"));
  EXPECT_TRUE(loaded.IsNull());
  Put("bad.chump", "ACS$garbage");
  EXPECT_FALSE(LoadSoupFile(loaded, Dir(), "bad.chump"));
  std::filesystem::create_directories(m_dir / "folder.txt");
  EXPECT_FALSE(LoadSoupFile(loaded, Dir(), "folder.txt"));
}

TEST_F(SoupFileTest, BackupTwinIsTheFallback) {
  SoupRef out;
  EXPECT_FALSE(LoadSoupFileWithBackup(Dir(), "settings.txt", out));
  Put("settings.txt.tmp", "from tmp\n");
  ASSERT_TRUE(LoadSoupFileWithBackup(Dir(), "settings.txt", out));
  EXPECT_EQ(out.GetNamedTag("from").Str(), "tmp");
  Put("settings.txt", "from main\n");
  ASSERT_TRUE(LoadSoupFileWithBackup(Dir(), "settings.txt", out));
  EXPECT_EQ(out.GetNamedTag("from").Str(), "main");
  // A damaged main file falls back too.
  Put("settings.txt", "from {\n");
  ASSERT_TRUE(LoadSoupFileWithBackup(Dir(), "settings.txt", out));
  EXPECT_EQ(out.GetNamedTag("from").Str(), "tmp");
}

// A large text is mapped rather than read: it must give the same tree, the
// same failures and the same size limit as a small one read whole.
TEST_F(SoupFileTest, LargeTextsLoadAsTheirTextParses) {
  std::string text = "kuid <kuid:901:1>\nkuid-table\n{\n";
  for (int i = 0; text.size() < Kiv::MappedFile::kWorthFromBytes + 1000; ++i)
    text += "  t" + std::to_string(i) + " <kuid:900:" + std::to_string(i) + ">\n";
  text += "}\nname \"last\"\n";
  Put("big.txt", text);
  SoupRef parsed;
  ASSERT_TRUE(ParseSoupText(text, parsed));
  SoupRef loaded;
  ASSERT_TRUE(LoadSoupFile(loaded, Dir(), "BIG.TXT"));
  EXPECT_TRUE(souptest::SameTree(parsed.Get(), loaded.Get()));
  SoupRef spelled;
  ASSERT_TRUE(LoadSoupFileAsSpelled(spelled, (m_dir / "big.txt").string(), text.size()));
  EXPECT_TRUE(souptest::SameTree(parsed.Get(), spelled.Get()));
  // One byte over the limit is refused, in both ways of naming the file.
  EXPECT_FALSE(LoadSoupFileAsSpelled(spelled, (m_dir / "big.txt").string(), text.size() - 1));
  EXPECT_TRUE(spelled.IsNull());
  EXPECT_FALSE(LoadSoupFile(loaded, Dir(), "big.txt", {}, text.size() - 1));
  EXPECT_TRUE(loaded.IsNull());

  // A fault in the last line fails the load and leaves no soup.
  Put("broken.txt", text + "open {\n");
  loaded = SoupRef::NewContainer();
  EXPECT_FALSE(LoadSoupFile(loaded, Dir(), "broken.txt"));
  EXPECT_TRUE(loaded.IsNull());
}

}  // namespace
