// The check of whole asset folders: the four sample assets against their
// golden result lines, and the cases that stop before the set-up.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "ConfigFixture.h"
#include "config/AssetValidation.h"
#include "foundation/ResultsLog.h"
#include "umbclient/AssetTypes.h"
#include "umbclient/ContentFolders.h"

using namespace OBLLib;
namespace fs = std::filesystem;

namespace {

const std::string kSource = ROVANA_SOURCE_DIR;

class AssetValidationTest : public ConfigFixture {
protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    fs::copy(kSource + "/samples/install/OBLData", m_dir / "OBLData", fs::copy_options::recursive);
    m_savedUserData = GetUserDataFolder();
    m_savedRoot = GetInstallationRoot();
    SetUserDataFolder(kSource + "/samples/userdata");
    SetInstallationRoot(kSource + "/samples/install");
    AssetTables::Reload();
    EXPECT_TRUE(DataManager::Create((m_dir / "OBLData/").c_str()));
  }
  void TearDown() override {
    SetUserDataFolder(m_savedUserData);
    SetInstallationRoot(m_savedRoot);
    AssetTables::Reload();
    ConfigFixture::TearDown();
  }
  // The results of one check as printed, then the summary.
  static std::string Lines(const ResultsLog& log) {
    std::string out;
    for (const ResultsLog::Entry& e : log.Entries())
      out += std::string(e.severity == 3 ? "- " : e.severity == 2 ? "! " : "; ") + e.text + "\n";
    return out + "OK (" + std::to_string(log.ErrorCount()) + " Errors," + std::to_string(log.WarningCount()) +
           " Warnings)\n";
  }
  std::string Check(const std::string& folder, bool* ok = nullptr) {
    ResultsLog log;
    bool result = CheckAssetFolder(log, folder);
    if (ok) *ok = result;
    return Lines(log);
  }
  // An asset folder of its own with this config.
  std::string Asset(const std::string& config, const char* file = "config.txt") {
    const fs::path folder = m_dir / "assets" / std::to_string(m_assets++);
    fs::create_directories(folder);
    std::ofstream(folder / file, std::ios::binary) << config;
    return folder.string();
  }

  std::string m_savedUserData, m_savedRoot;
  int m_assets = 0;
};

// Every file below the folder with its bytes and time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> Snapshot(const fs::path& folder) {
  std::map<std::string, std::pair<std::string, fs::file_time_type>> out;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file())
      out[entry.path().string()] = {ReadFile(entry.path()), entry.last_write_time()};
  return out;
}

TEST_F(AssetValidationTest, SampleAssetsGiveTheirGoldenResults) {
  const fs::path local = kSource + "/samples/userdata/local";
  const auto before = Snapshot(local);
  std::string results;
  for (const char* asset : {"clean_shed", "warning_fence", "broken_signal", "legacy_hut", "faded_sign",
                            "legacy_shelter", "steam_loco"}) {
    ResultsLog log;
    bool ok = CheckAssetFolder(log, (local / asset).string());
    EXPECT_EQ(ok, log.ErrorCount() == 0) << asset;
    // Every finding names the asset by the KUID of its config.
    for (const ResultsLog::Entry& e : log.Entries()) {
      ASSERT_NE(e.asset.AssetKUID(), nullptr) << asset;
      EXPECT_EQ(e.asset.AssetKUID()->user, 523) << asset;
    }
    results += std::string("== ") + asset + "\n" + Lines(log);
  }
  const std::string golden = kSource + "/tests/config/corpus/sample_results.txt";
  if (std::getenv("ROVANA_UPDATE_GOLDEN")) std::ofstream(golden) << results;
  EXPECT_EQ(results, ReadFile(golden));
  // The check only reads the user's files.
  EXPECT_TRUE(Snapshot(local) == before);
}

TEST_F(AssetValidationTest, ChecksThatStopBeforeTheSetUp) {
  struct Case {
    const char* config;
    bool ok;
    const char* lines;
  } cases[] = {
      {"kuid <kuid:1:2>\nkind scenery\nrovana-build 3.41\n", false,
       "- This asset is of a build newer than this program can check.\nOK (1 Errors,0 Warnings)\n"},
      {"kuid <kuid:1:2>\nkind scenery\nrovana-build 1e30\n", false,
       "- This asset is of a build newer than this program can check.\nOK (1 Errors,0 Warnings)\n"},
      {"kuid <kuid:1:2>\nkind Water\nbogus 1\n", true,
       "! Water assets of this kind are obsolete.\nOK (0 Errors,1 Warnings)\n"},
      {"kuid <kuid:1:2>\nkind pigmora-skin\n", true,
       "! Assets of this kind are obsolete.\nOK (0 Errors,1 Warnings)\n"},
      // A warning does not stop the compile step, which needs the asset's KUID.
      {"kind pigmora-skin\n", false,
       "! Assets of this kind are obsolete.\n- UMBCompileAsset unable to determine asset KUID\nOK (1 "
       "Errors,1 "
       "Warnings)\n"},
      {"kind scenery\nrovana-build 3.4\nmesh-table {\n", false,
       "- Unable to read the config '0/config.txt': line 3: container 'mesh-table' is not closed.\nOK (1 "
       "Errors,0 Warnings)\n"},
      {"", false,
       "! This asset is of a build older than 2.7 and is obsolete.\n- The config has no \"kind\" tag.\n"
       "OK (1 Errors,1 Warnings)\n"},
  };
  for (const Case& c : cases) {
    m_assets = 0;
    fs::remove_all(m_dir / "assets");
    bool ok = !c.ok;
    EXPECT_EQ(Check(Asset(c.config), &ok), c.lines) << c.config;
    EXPECT_EQ(ok, c.ok) << c.config;
  }
  EXPECT_EQ(Check((m_dir / "missing").string()),
            "- Asset folder '" + (m_dir / "missing").string() + "' not found.\nOK (1 Errors,0 Warnings)\n");
  fs::create_directories(m_dir / "empty");
  EXPECT_EQ(Check((m_dir / "empty").string()), "- Unable to read the asset config at '" +
                                                   (m_dir / "empty").string() +
                                                   "'.\nOK (1 Errors,0 Warnings)\n");
}

// One size limit for configs, as the asset index has it; a config linked from outside its
// asset folder is missing, one linked inside it is read.
TEST_F(AssetValidationTest, ConfigSizeLimitAndLinkedConfigs) {
  std::string config = "kuid <kuid:1:2>\nkind pigmora-skin\n";
  config.resize(kMaxConfigFileBytes, '\n');
  EXPECT_EQ(Check(Asset(config)), "! Assets of this kind are obsolete.\nOK (0 Errors,1 Warnings)\n");
  config += '\n';
  EXPECT_EQ(Check(Asset(config)),
            "- Unable to read the config '1/config.txt': the file is too large.\nOK (1 Errors,0 Warnings)\n");

  const std::string outside = Asset("kuid <kuid:1:2>\nkind pigmora-skin\n");
  const fs::path linked = m_dir / "assets" / "linked";
  fs::create_directories(linked);
  fs::create_symlink(fs::path(outside) / "config.txt", linked / "config.txt");
  EXPECT_EQ(Check(linked.string()),
            "- Unable to read the asset config at '" + linked.string() + "'.\nOK (1 Errors,0 Warnings)\n");
  fs::remove(linked / "config.txt");
  fs::copy_file(fs::path(outside) / "config.txt", linked / "real.txt");
  fs::create_symlink(linked / "real.txt", linked / "config.txt");
  EXPECT_EQ(Check(linked.string()), "! Assets of this kind are obsolete.\nOK (0 Errors,1 Warnings)\n");
}

// With the first check option an old config is not set up at all; the
// asset check itself always clears the option.
TEST_F(AssetValidationTest, FirstCheckOptionSkipsOldConfigs) {
  const std::string folder = Asset("kind scenery\n");
  DataManager::Instance()->checkOptions[0] = true;
  ResultsLog log;
  EXPECT_TRUE(ValidateAssetConfig(Kiv::PString(m_dir.string() + "/assets"), Kiv::File::Path("0/config.txt"),
                                  log, nullptr));
  EXPECT_EQ(log.Size(), 0u);
  EXPECT_NE(Check(folder), "OK (0 Errors,0 Warnings)\n");
}

// "config.chump" is preferred to "config.txt"; a binary config that does
// not decode is reported as unreadable.
TEST_F(AssetValidationTest, BinaryConfigComesFirst) {
  const std::string folder = Asset("kind scenery\nrovana-build 3.41\n");
  std::ofstream(fs::path(folder) / "config.chump") << "not a soup";
  EXPECT_EQ(Check(folder),
            "- Unable to read the config '0/config.chump': the file is not a valid binary soup.\n"
            "OK (1 Errors,0 Warnings)\n");
}

}  // namespace

namespace {

// The file half: a config without tags is not checked; a texture error alone
// fails the asset and brings the export's findings (warnings included) with
// it; an error the export reports without failing still fails the asset.
TEST_F(AssetValidationTest, FileChecksReportTheWholeRun) {
  EH().Clear();
  EH().Warning(Kiv::PString("kept"));
  Container empty;
  ResultsLog log;
  EXPECT_TRUE(ValidateAssetFiles(empty, log));
  EXPECT_EQ(EH().GetEntries().size(), 1u);

  const std::string clean =
      "kuid <kuid:523:7>\nkind scenery\nusername \"A\"\ncategory-class BU\nrovana-build 3.4\n"
      "mesh-table { default { mesh \"a.im\" auto-create 1 } }\n";
  const std::string folder = Asset(clean);
  std::ofstream(fs::path(folder) / "a.im") << "mesh";
  EXPECT_EQ(Check(folder), "OK (0 Errors,0 Warnings)\n");
  std::ofstream(fs::path(folder) / "x.convert-tex.txt") << "";
  EXPECT_EQ(Check(folder), "- Unable to load the image 'x.convert-tex.txt'.\nOK (1 Errors,0 Warnings)\n");
  fs::remove(fs::path(folder) / "x.convert-tex.txt");
  fs::remove(fs::path(folder) / "a.im");
  EXPECT_EQ(Check(folder), "- The file 'a.im' does not exist.\nOK (1 Errors,0 Warnings)\n");

  // An empty int combo box is reported without failing its writer.
  DataManager* dm = DataManager::Instance();
  dm->contentFolder = m_dir.string();
  dm->assetFolder = "assets";
  Container root;
  root.name = Kiv::PString("scenery");
  root.configSoup = Soup("kuid <kuid:523:8>\n");
  Tag* tag = root.MakeTag(0, &root, Kiv::PString("level"));
  tag->typeCode = Tag::kIntComboBox;
  root.tags.push_back(tag);
  EXPECT_FALSE(ValidateAssetFiles(root, log));
  ASSERT_EQ(log.Size(), 1u);
  EXPECT_EQ(log.Entries()[0].text, "The tag 'level' in 'scenery' has no value chosen.");
}

}  // namespace
