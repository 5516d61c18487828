// The compile step of the asset check: scripts compiled once into the user's
// cache under the CRC pair of their source, stale and planted files
// replaced, the class checked against the asset's category.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "config/AssetFiles.h"
#include "config/AssetSpec.h"
#include "config/ScriptCache.h"
#include "foundation/ResultsLog.h"
#include "foundation/ScriptFileBuffer.h"
#include "kiv/File.h"
#include "kiv/String.h"
#include "kiv/TempFolder.h"
#include "umbclient/ContentFolders.h"

#include "AssetTree.h"
#include "umbclient/OpenDatabase.h"

namespace {

uint32_t ZlibCrc(std::string_view text) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
}

std::string Hex(uint32_t a, uint32_t b) {
  char name[32];
  std::snprintf(name, sizeof name, "%08x%08x.gsl", a, b);
  return name;
}

class ScriptCacheTest : public ::testing::Test {
protected:
  void SetUp() override {
    EXPECT_TRUE(Kiv::File::CreateDirectories(m_tree.Path("user/cache")));
    m_tree.UseFolders();
  }
  void TearDown() override { m_tree.Close(); }
  void Open() { ASSERT_TRUE(m_tree.Open()); }
  std::string Asset(const std::string& folder, const std::string& config) {
    m_tree.Write("user/local/" + folder + "/config.txt", config);
    return m_tree.Path("user/local/" + folder);
  }
  void Script(const std::string& folder, const std::string& file, const std::string& text) {
    m_tree.Write("user/local/" + folder + "/" + file, text);
  }
  std::string Compile(const std::string& folder, bool* ok = nullptr, OBLLib::AssetFiles* listed = nullptr) {
    ResultsLog log;
    const bool result = UMBCompileAsset(log, folder, SoupRef(), listed);
    if (ok) *ok = result;
    std::string out;
    for (const ResultsLog::Entry& e : log.Entries()) out += e.text + "\n";
    return out;
  }
  std::string CacheFolder(int content) {
    return m_tree.Path("user/cache/libraries/523_" + std::to_string(content) + "_0");
  }

  AssetTree m_tree{"script-cache-test"};
};

const char* kLoco =
    "class Vehicle {};\nclass Trackside {};\nclass Loco isclass Vehicle {\n  public int Speed(void) { return "
    "3; }\n};\n";

TEST_F(ScriptCacheTest, CompiledOnceUnderTheCrcPairAndKeptOnTheNextRun) {
  const std::string folder = Asset("loco",
                                   "kuid <kuid:523:1>\nkind traincar\ncategory-class TR;TV\n"
                                   "rovana-build 3.4\nscript \"Main\"\nclass \"Loco\"\n");
  Script("loco", "main.gs", kLoco);
  Open();
  bool ok = false;
  EXPECT_EQ(Compile(folder, &ok),
            "Script class does not match asset kind (trackside).\nFailed to compile asset\n");
  EXPECT_FALSE(ok);

  // The name is the pair computed independently of the project's CRC code.
  const std::string cached =
      Kiv::File::Path(CacheFolder(1)).Join(Hex(ZlibCrc(kLoco), ZlibCrc("main.gs"))).Str();
  ASSERT_TRUE(Kiv::File::IsRegularFile(cached)) << cached;
  // A second name for the file tells whether the next run leaves the same file in place.
  namespace fs = std::filesystem;
  const fs::path keep = fs::path(cached).concat(".keep");
  fs::create_hard_link(cached, keep);
  const auto written = fs::last_write_time(cached);

  Open();
  Compile(folder, &ok);
  EXPECT_TRUE(fs::equivalent(cached, keep));
  EXPECT_EQ(fs::last_write_time(cached), written);
}

TEST_F(ScriptCacheTest, CategoryAndClassAgree) {
  const std::string folder = Asset("shed",
                                   "kuid <kuid:523:2>\nkind scenery\ncategory-class BU\n"
                                   "rovana-build 3.4\nscript \"shed\"\nclass \"Shed\"\n");
  Script("shed", "shed.gs", "class Shed { public int N(void) { return 1; } };\n");
  Open();
  bool ok = false;
  EXPECT_EQ(Compile(folder, &ok), "");
  EXPECT_TRUE(ok);

  // A class that names no class of its library cannot be linked.
  const std::string wrong = Asset("wrong",
                                  "kuid <kuid:523:3>\nkind scenery\ncategory-class BU\n"
                                  "rovana-build 3.4\nscript \"w\"\nclass \"Nope\"\n");
  Script("wrong", "w.gs", "class Shed {};\n");
  EXPECT_EQ(Compile(wrong, &ok), "Unable to link compiled script class 'Nope'.\nFailed to compile asset\n");
}

TEST_F(ScriptCacheTest, PlantedAndStaleFilesAreReplacedAndGseMatchesGs) {
  const std::string text = "class Shed {};\n";
  const std::string folder = Asset("shed",
                                   "kuid <kuid:523:4>\nkind scenery\nrovana-build 3.4\n"
                                   "script \"shed\"\nclass \"Shed\"\n");
  const std::vector<uint8_t> enciphered = ScriptFileBuffer::Encode(text);
  m_tree.Write("user/local/shed/shed.gse", std::string(enciphered.begin(), enciphered.end()));
  const std::string name = Hex(ZlibCrc(text), ZlibCrc("shed.gs"));  // the ".gse" maps to the ".gs" name
  EXPECT_TRUE(Kiv::File::CreateDirectories(CacheFolder(4)));
  const std::string cached = Kiv::File::Path(CacheFolder(4)).Join(name).Str();
  m_tree.Write("user/cache/libraries/523_4_0/" + name, "planted, not a library");
  Open();
  bool ok = false;
  EXPECT_EQ(Compile(folder, &ok), "");
  EXPECT_TRUE(ok);
  std::string bytes;
  ASSERT_TRUE(Kiv::File::ReadWholeFile(cached, bytes));
  EXPECT_NE(bytes, "planted, not a library");

  // A ".gs" beside a ".gse" of another text: compiling the ".gse" compiles
  // the ".gs", whose library can never have the ".gse"'s identity.
  const std::string both = Asset("both", "kuid <kuid:523:8>\nkind scenery\nrovana-build 3.4\n");
  m_tree.Write("user/local/both/b.gse", std::string(enciphered.begin(), enciphered.end()));
  Script("both", "b.gs", "class Shed { public int N(void) { return 2; } };\n");
  Open();
  const std::string lines = Compile(both, &ok);
  EXPECT_NE(lines.find("CRC Mismatch on '" + Kiv::File::Path(both).Join("b.gse").Str() +
                       "' after recompile. Do you have both .gs and .gse present?"),
            std::string::npos)
      << lines;
  EXPECT_FALSE(ok);
}

TEST_F(ScriptCacheTest, UndecodableGseIsAnUnreadableSource) {
  const std::string folder = Asset("enc", "kuid <kuid:523:9>\nkind scenery\nrovana-build 3.4\n");
  m_tree.Write("user/local/enc/broken.gse", "not an enciphered script");
  Open();
  bool ok = true;
  EXPECT_EQ(Compile(folder, &ok), "Unable to read script source file '" +
                                      Kiv::File::Path(folder).Join("broken.gse").Str() +
                                      "'\nFailed to compile asset\n");
  EXPECT_FALSE(ok);
}

TEST_F(ScriptCacheTest, SyntaxErrorsFailWithTheCompilersLines) {
  const std::string folder = Asset("bad",
                                   "kuid <kuid:523:5>\nkind scenery\nrovana-build 3.4\n"
                                   "script \"main\"\nclass \"Main\"\n");
  Script("bad", "main.gs", "class Main {};\n");
  Script("bad", "helper.gs", "class Helper { int x\n};\n");
  Open();
  bool ok = true;
  const std::string lines = Compile(folder, &ok);
  EXPECT_NE(lines.find("RovanaBaseSpec::CacheScripts> Syntax error in script of asset '<kuid:523:5>"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("helper.gs(2) : "), std::string::npos) << "[" << lines << "]";
  // A script that does not compile fails the asset, primary or not.
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines.find("Unable to locate primary"), std::string::npos);

  // No library is left behind for the failed script.
  size_t libraries = 0;
  for (Kiv::File::Find find(CacheFolder(5) + "/*.gsl"); find.Next();) ++libraries;
  EXPECT_EQ(libraries, 1u);
}

TEST_F(ScriptCacheTest, AssetsWithoutScriptsPassAndWriteNothing) {
  const std::string folder = Asset("plain", "kuid <kuid:523:6>\nkind scenery\nrovana-build 3.4\n");
  Open();
  bool ok = false;
  EXPECT_EQ(Compile(folder, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_FALSE(Kiv::File::IsDirectory(CacheFolder(6)));

  // A named primary that is not there is reported.
  const std::string missing = Asset("missing",
                                    "kuid <kuid:523:7>\nkind scenery\nrovana-build 3.4\n"
                                    "script \"gone\"\nclass \"Gone\"\n");
  Script("missing", "other.gs", "class Other {};\n");
  EXPECT_EQ(Compile(missing, &ok), "Unable to locate primary script source file '" +
                                       Kiv::File::Path(missing).Join("gone.gs").Str() +
                                       "'\nFailed to compile asset\n");
}

// The asset check hands the compile its listing of the folder, which serves instead of a
// second walk: a folder, or a link to one, named like a script is no script there either.
TEST_F(ScriptCacheTest, TheChecksListingServesTheCompile) {
  const std::string folder = Asset("listed",
                                   "kuid <kuid:523:8>\nkind scenery\ncategory-class BU\n"
                                   "rovana-build 3.4\nscript \"shed\"\nclass \"Shed\"\n");
  const std::string shed = "class Shed { public int N(void) { return 1; } };\n";
  Script("listed", "shed.gs", shed);
  ASSERT_TRUE(Kiv::File::CreateDirectories(folder + "/dir.gs"));
  ASSERT_EQ(::symlink((folder + "/dir.gs").c_str(), (folder + "/link.gs").c_str()), 0);
  OBLLib::AssetFiles files(folder);
  ASSERT_NE(files.List(""), nullptr);
  // Written after the listing, so only a walk of its own would find it.
  Script("listed", "late.gs", "class Late {\n");
  Open();
  bool ok = false;
  EXPECT_EQ(Compile(folder, &ok, &files), "");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(Kiv::File::IsRegularFile(
      Kiv::File::Path(CacheFolder(8)).Join(Hex(ZlibCrc(shed), ZlibCrc("shed.gs"))).Str()));
}

TEST_F(ScriptCacheTest, IncludedAssetsFollowedOnceFromBuildTwoPointNine) {
  // Two libraries that include each other: each is compiled once and the walk ends.
  Asset("liba",
        "kuid <kuid:523:20>\nkind library\nrovana-build 3.4\nscript \"liba\"\nclass \"LibA\"\n"
        "script-include-table { 0 <kuid:523:21> }\n");
  Script("liba", "liba.gs", "class LibA {};\n");
  Asset("libb",
        "kuid <kuid:523:21>\nkind library\nrovana-build 3.4\nscript \"libb\"\nclass \"LibB\"\n"
        "script-include-table { 0 <kuid:523:20> }\n");
  Script("libb", "libb.gs", "class LibB {};\n");
  const std::string user = Asset("user",
                                 "kuid <kuid:523:22>\nkind scenery\nrovana-build 2.9\nscript \"u\"\n"
                                 "class \"U\"\nscript-include-table { 0 <kuid:523:20> }\n");
  Script("user", "u.gs", "include \"libb.gs\"\nclass U isclass LibB {};\n");
  Open();
  bool ok = false;
  EXPECT_EQ(Compile(user, &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(Kiv::File::IsDirectory(CacheFolder(20)));
  EXPECT_TRUE(Kiv::File::IsDirectory(CacheFolder(21)));

  // At build 2.8 the include table is not followed, so the include is not found.
  const std::string old = Asset("old",
                                "kuid <kuid:523:23>\nkind scenery\nrovana-build 2.8\nscript \"o\"\n"
                                "class \"O\"\nscript-include-table { 0 <kuid:523:20> }\n");
  Script("old", "o.gs", "include \"libb.gs\"\nclass O isclass LibB {};\n");
  const std::string lines = Compile(old, &ok);
  EXPECT_FALSE(ok);
  EXPECT_NE(lines.find("Syntax error in script"), std::string::npos) << lines;
}

// The asset check hands over the config it has read: the compile and its
// spec work from it, with or without the database, and never read the folder's
// config again (here the file on disk no longer parses).
TEST_F(ScriptCacheTest, ConfigAlreadyReadIsUsedNotReadAgain) {
  const std::string text =
      "kuid <kuid:523:30>\nkind scenery\nrovana-build 3.4\nscript \"main\"\nclass \"Loco\"\n";
  const std::string folder = Asset("given", "kuid <kuid:523:30\n{{{ not a config\n");
  Script("given", "main.gs", kLoco);
  SoupRef config;
  ASSERT_TRUE(ParseSoupText(text, config));
  for (const bool database : {false, true}) {
    SCOPED_TRACE(database);
    if (database) Open();
    ResultsLog reread;
    EXPECT_FALSE(UMBCompileAsset(reread, folder));
    ASSERT_EQ(reread.Entries().size(), 1u);
    EXPECT_EQ(reread.Entries()[0].text, "UMBCompileAsset unable to load asset config");

    // The class is found and checked: the script details came from the given config.
    ResultsLog log;
    EXPECT_FALSE(UMBCompileAsset(log, folder, config));
    std::string out;
    for (const ResultsLog::Entry& e : log.Entries()) out += e.text + "\n";
    EXPECT_EQ(out, "Script class does not match asset kind (vehicle).\nFailed to compile asset\n");
    EXPECT_TRUE(Kiv::File::IsDirectory(CacheFolder(30)));
  }
}

TEST(ScriptCacheNames, PathChecksumIgnoresCaseFolderAndTheFinalE) {
  EXPECT_EQ(ScriptPathChecksum("/a/b/Main.GSE"), ZlibCrc("main.gs"));
  EXPECT_EQ(ScriptPathChecksum("main.gs"), ZlibCrc("main.gs"));
  EXPECT_EQ(ScriptCacheFileName(0xab, 0x1234cdef), "000000ab1234cdef.gsl");
}

}  // namespace
