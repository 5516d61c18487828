#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "foundation/InterfaceTextDB.h"
#include "kiv/Log.h"
#include "kiv/TempFolder.h"

namespace {

namespace fs = std::filesystem;

// A strings folder of its own for each test; the previous folder comes back after.
class InterfaceTextTest : public ::testing::Test {
protected:
  void SetUp() override {
    m_saved = InterfaceTextDB::Folder();
    m_dir = m_temp.Root();
  }
  void TearDown() override { InterfaceTextDB::SetFolder(m_saved); }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(m_dir / name, std::ios::binary) << text;
  }
  Kiv::TempFolder m_temp{"rovana-itext"};
  fs::path m_dir;
  std::string m_saved;
};

}  // namespace

TEST_F(InterfaceTextTest, LoadsEveryTableOfTheFolder) {
  Write("core.txt",
        "\xEF\xBB\xBF# comment line\r\n"
        "$umb_hello Hello, $(NAME)!\r\n"
        "\n"
        "   $indented    Leading blanks of the text go\n"
        "$escapes a\\tb\\nc\\\\d \\q\n"
        "$empty\n"
        "$dup first\n");
  Write("obl.txt", "$obl_val_notzero Value must not be zero\n$dup second\nnot a key line\n");
  Write("ignored.dat", "$other never read\n");
  InterfaceTextDB::SetFolder(m_dir.string());
  InterfaceTextDB& db = InterfaceTextDB::Instance();
  EXPECT_EQ(db.GetString("$umb_hello"), Kiv::PString("Hello, $(NAME)!"));
  EXPECT_EQ(db.GetString("$indented"), Kiv::PString("Leading blanks of the text go"));
  EXPECT_EQ(db.GetString("$escapes"), Kiv::PString("a\tb\nc\\d \\q"));
  EXPECT_EQ(db.GetString("$empty"), Kiv::PString(""));
  EXPECT_EQ(db.GetString("$obl_val_notzero"), Kiv::PString("Value must not be zero"));
  // Tables load in name order and the first definition wins.
  EXPECT_EQ(db.GetString("$dup"), Kiv::PString("first"));
  EXPECT_EQ(db.GetString("$other"), Kiv::PString("$other"));
  EXPECT_EQ(db.LoadErrors(), 1u);
  EXPECT_EQ(GetInterfaceText("$umb_hello").Str(), "Hello, $(NAME)!");
  EXPECT_EQ(GetInterfaceText("$nope").Str(), "$nope");
}

TEST_F(InterfaceTextTest, MissingKeysGiveTheKeyAndAreReportedTenTimesPerProcess) {
  Write("core.txt", "$known yes\n");
  InterfaceTextDB::SetFolder(m_dir.string());
  std::vector<std::string> lines;
  std::mutex linesLock;
  const int id = Kiv::Log::Instance().AddListener([&](Kiv::LogLevel, std::string_view line) {
    std::lock_guard<std::mutex> lock(linesLock);
    if (line.find("InterfaceTextDB::GetString> Tag '") != std::string_view::npos) lines.emplace_back(line);
  });
  const int before = InterfaceTextDB::ReportedMisses();
  InterfaceTextDB& db = InterfaceTextDB::Instance();
  EXPECT_EQ(db.GetString(Kiv::PString(""), true), Kiv::PString(""));
  EXPECT_EQ(db.GetString("$missing_0", false), Kiv::PString("$missing_0"));
  for (int i = 0; i < 15; ++i) {
    Kiv::PString key(std::string("$missing_") + std::to_string(i));
    EXPECT_EQ(db.GetString(key, true), key);
  }
  Kiv::Log::Instance().RemoveListener(id);
  EXPECT_EQ(InterfaceTextDB::ReportedMisses(), 10);
  ASSERT_EQ(lines.size(), static_cast<size_t>(10 - before));
  if (before == 0) {
    EXPECT_EQ(lines[0], "InterfaceTextDB::GetString> Tag '$missing_0' not found in '" + m_dir.string() + "'");
  }
}

// The string-table lookup: found texts as GetString, a miss is empty and silent.
TEST_F(InterfaceTextTest, TableLookupMissIsEmptyAndSilent) {
  Write("core.txt", "$known yes\n$blank\n");
  InterfaceTextDB::SetFolder(m_dir.string());
  int logged = 0;
  const int id = Kiv::Log::Instance().AddListener([&](Kiv::LogLevel, std::string_view line) {
    if (line.find("InterfaceTextDB::") != std::string_view::npos) ++logged;
  });
  InterfaceTextDB& db = InterfaceTextDB::Instance();
  const struct {
    const char* key;
    bool found;
    const char* text;
  } cases[] = {{"$known", true, "yes"}, {"$blank", true, ""}, {"$absent", false, ""}, {"", false, ""}};
  for (const auto& c : cases) {
    Kiv::PString out("stale");
    EXPECT_EQ(db.FindString(Kiv::PString(c.key), out), c.found) << c.key;
    EXPECT_EQ(out, Kiv::PString(c.text)) << c.key;
  }
  Kiv::Log::Instance().RemoveListener(id);
  EXPECT_EQ(logged, 0);
}

TEST_F(InterfaceTextTest, ChangingTheFolderLoadsAgainAndAMissingFolderIsEmpty) {
  Write("a.txt", "$k one\n");
  InterfaceTextDB::SetFolder(m_dir.string());
  EXPECT_EQ(InterfaceTextDB::Instance().GetString("$k"), Kiv::PString("one"));
  InterfaceTextDB::SetFolder((m_dir / "nowhere").string());
  EXPECT_EQ(InterfaceTextDB::Instance().Count(), 0u);
  EXPECT_EQ(InterfaceTextDB::Instance().GetString("$k"), Kiv::PString("$k"));
}

// Many threads asking at once while nothing is loaded yet: one load, same answers.
TEST_F(InterfaceTextTest, FirstUseFromManyThreads) {
  std::string table;
  for (int i = 0; i < 200; ++i) table += "$key" + std::to_string(i) + " text " + std::to_string(i) + "\n";
  Write("t.txt", table);
  InterfaceTextDB::SetFolder(m_dir.string());
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&wrong, t] {
      for (int i = 0; i < 200; ++i) {
        const int k = (i + t * 25) % 200;
        if (InterfaceTextDB::Instance().GetString(Kiv::PString("$key" + std::to_string(k))) !=
            Kiv::PString("text " + std::to_string(k)))
          ++wrong;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(InterfaceTextDB::Instance().Count(), 200u);
}

TEST(InterfaceTextDB, ShippedCoreTableParses) {
  const std::string saved = InterfaceTextDB::Folder();
  InterfaceTextDB::SetFolder(std::string(ROVANA_SOURCE_DIR) + "/samples/install/strings");
  InterfaceTextDB& db = InterfaceTextDB::Instance();
  EXPECT_EQ(db.LoadErrors(), 0u);
  EXPECT_GT(db.Count(), 0u);
  EXPECT_NE(db.GetString("$umb_texture_compress_err"), Kiv::PString("$umb_texture_compress_err"));
  InterfaceTextDB::SetFolder(saved);
}
