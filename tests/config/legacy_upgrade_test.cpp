// The legacy config upgrade and its mesh tables, as soup-to-soup cases.
#include <gtest/gtest.h>

#include <filesystem>
#include <limits>

#include "ConfigFixture.h"
#include "FakeMeshProbe.h"
#include "config/LegacyUpgrade.h"
#include "umbclient/AssetTypes.h"
#include "umbclient/ContentFolders.h"

using namespace OBLLib;

namespace {

const std::string kSource = ROVANA_SOURCE_DIR;

class LegacyUpgradeTest : public ConfigFixture {
protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    std::filesystem::copy(kSource + "/samples/install/OBLData", m_dir,
                          std::filesystem::copy_options::recursive);
    m_savedRoot = GetInstallationRoot();
    SetInstallationRoot(kSource + "/samples/install");
    AssetTables::Reload();
    m_dm = Start(true);
    std::filesystem::create_directories(m_dir / "asset");
    m_dm->contentFolder = m_dir.string();
    m_dm->assetFolder = "asset";
    m_probe = std::make_shared<FakeMeshProbe>();
    SetMeshProbe(m_probe);
  }
  void TearDown() override {
    SetMeshProbe(nullptr);
    SetInstallationRoot(m_savedRoot);
    AssetTables::Reload();
    ConfigFixture::TearDown();
  }
  // A mesh file of the asset that the fake probe knows.
  void Mesh(const std::string& path, const std::vector<std::string>& points) {
    std::filesystem::create_directories((m_dir / "asset" / path).parent_path());
    std::ofstream(m_dir / "asset" / path) << "mesh";
    m_probe->Add(path, points);
  }
  std::string Upgrade(const std::string& config, float build = 2.801f) {
    SoupRef soup = Soup(config);
    m_dm->build = build;
    UpgradeContainerBuild(soup);
    std::string out;
    EXPECT_TRUE(WriteSoupText(soup, out));
    return out;
  }
  // The upgrade without the defaults every legacy config gets, on one line.
  std::string Brief(const std::string& config) {
    SoupRef soup = Soup(config);
    UpgradeLegacyAsset(soup);
    for (const char* name : {"category-era", "category-class", "category-region"})
      if (soup.GetNamedTag(Kiv::PString(name)).View() == (std::string_view(name) == "category-era" ? "1800s"
                                                          : std::string_view(name) == "category-class"
                                                              ? "ZX"
                                                              : "00"))
        soup.RemoveNamedTag(Kiv::PString(name));
    std::string out;
    EXPECT_TRUE(WriteSoupText(soup, out));
    std::string line;
    bool blank = false;
    for (char c : out) {
      bool space = c == ' ' || c == '\n' || c == '\t';
      if (space) {
        blank = !line.empty();
        continue;
      }
      if (blank) line += ' ';
      blank = false;
      line += c;
    }
    return line;
  }

  DataManager* m_dm = nullptr;
  std::shared_ptr<FakeMeshProbe> m_probe;
  std::string m_savedRoot;
};

// Each step of the upgrade on a small config (the category defaults every
// legacy config gets are left out of the expected texts).
TEST_F(LegacyUpgradeTest, Steps) {
  Mesh("X/X.im", {"a.road0a", "a.road0b", "a.track0a"});
  Mesh("Outer/Outer.im", {"a.otrack0a", "a.otrack0b"});
  Mesh("hut.im", {"a.name0", "a.name1", "a.name3"});
  const struct {
    const char* config;
    const char* upgraded;
  } cases[] = {
      {"kind scenery\nname \"Bob\"\n", "kind \"scenery\" username \"Bob\""},
      {"kind x\nasset-filename hut\n", "kind \"x\" username \"hut\""},
      {"kind x\ncategory-era-0 \"1950\"\ncategory-era-1 \"1960s\"\n",
       "kind \"x\" category-era \"1950s;1960s\""},
      {"kind x\nrgb \"255,0\"\n", "kind \"x\""},
      {"kind x\nrgb \"255,0,0\"\n", "kind \"x\" rgb \"255,0,0\""},
      {"kind x\nscript \"main\"\n", "kind \"x\" script \"main.gs\""},
      {"kind x\nscript \"main.gse\"\n", "kind \"x\" script \"main.gse\""},
      {"kind x\nscriptlibrary \"lib\"\nclasslibrary \"C\"\n", "kind \"x\" class \"C\" script \"lib.gs\""},
      {"description \"a\"\nthis \"x\"\nis \"y\"\nmy \"z\"\nkind \"scenery\"\nauthor \"A\"\nbuilt \"1\"\n",
       "description \"a\" kind \"scenery\" author \"A\" built \"1\""},
      // The stray run after "description" goes by position: an earlier tag of the same name stays.
      {"painted \"a\"\ndescription \"d\"\npainted \"b\"\nkind x\n",
       "painted \"a\" description \"d\" kind \"x\""},
      {"kind traincar\nbogey <kuid:1:1>\nbogey-1-r <kuid:1:2>\nbogey-3 <kuid:1:3>\n",
       "kind \"traincar\" bogey-3 <kuid:1:3> bogeys { 0 { bogey <kuid:1:1> reversed 0 } 1 { bogey <kuid:1:2> "
       "reversed 1 } }"},
      {"kind traincar\nasset-filename car\nrunning-numbers 1\n",
       "kind \"traincar\" mesh-table { default { mesh \"car_body/car_body.pm\" auto-create 1 } shadow { mesh "
       "\"car_shadow/car_shadow.pm\" auto-create 0 } } bogeys { } username \"car\""},
      {"kind mojunction\nasset-filename j\nmode0 \"Left\"\n",
       "kind \"mojunction\" mesh-table { left { mesh \"Left/Left.im\" auto-create \"1\" } } username \"j\""},
      {"kind mocrossing\nasset-filename c\ntrack <kuid:1:4>\n",
       "kind \"mocrossing\" mesh-table { default { mesh \"mode0.im\" anim \"anim.kin\" auto-create 1 } } "
       "username \"c\""},
      {"kind mocrossing\nasset-filename c\nmode0 X\nroad <kuid:1:3>\ntrack <kuid:1:4>\n",
       "kind \"mocrossing\" mesh-table { default { mesh \"X/X.im\" anim \"X/anim.kin\" auto-create 1 } } "
       "attached-track { road1 { vertices { 0 \"a.road0a\" 1 \"a.road0b\" } track <kuid:1:3> "
       "useadjoiningtracktype 1 } } username \"c\""},
      {"kind turntable\nasset-filename t\nmode0 Outer\nmode1 Inner\ntrack <kuid:1:5>\n",
       "kind \"turntable\" track <kuid:1:5> mesh-table { default { mesh \"Outer/Outer.im\" auto-create 1 } "
       "turntable { mesh \"Inner/Inner.im\" } } username \"t\""},
      {"kind scenery\nasset-filename hut\nfontcolor \"1,2,3\"\nnight \"lit\"\nauto-animation 1\n",
       "kind \"scenery\" mesh-table { default { auto-create 1 mesh \"hut.im\" anim \"anim.kin\" "
       "animation-loop-speed 1.0 effects { 0 { kind \"name\" att \"a.name0\" fontcolor \"1,2,3\" name "
       "\"name\" } 1 { kind \"name\" att \"a.name1\" fontcolor \"1,2,3\" name \"name\" } } } night { mesh "
       "\"lit/lit.im\" night-mesh-base \"default\" } } username \"hut\""},
      {"kind interior\nasset-filename i\nmesh \"in.im\"\ncamera \"1,2,3\"\nattachment { seat { att "
       "\"a.seat\" } }\n",
       "kind \"interior\" mesh-table { seat { att \"a.seat\" att-parent \"default\" } default { mesh "
       "\"in.im\" auto-create 1 } } cameralist { camera0 1.0,2.0,3.0,0.0,0.0 } cameradefault 0 username "
       "\"i\""},
      {"kind x\nicon-texture \"i.tga\"\n",
       "kind \"x\" thumbnails { 0 { image \"i.tga\" width 64 height 64 } }"},
      {"kind x\ncategory-region \"Any Region In The World\"\ncategory-class BU\n", "kind \"x\""},
      {"kind scenery\ncategory-class BU\ncategory-region Britain\n",
       "kind \"scenery\" category-class \"BU\" category-region \"Britain\""},
      {"kind bogey\nasset-filename b\nlight 1\n",
       "kind \"bogey\" mesh-table { default { mesh \"b.pm\" auto-create 1 } shadow { mesh "
       "\"b_shadow/b_shadow.pm\" auto-create 0 } } username \"b\""},
      {"kind x\nsoundscript { s { sound { horn \"\" loud \"2\" } } }\n",
       "kind \"x\" soundscript { s { sound { 0 \"horn\" loud \"2\" } } }"},
      {"kind x\nasset-foo 1\nasset-filename z\nasset \"1\"\nusername \"u\"\n", "kind \"x\" username \"u\""},
  };
  for (const auto& c : cases) EXPECT_EQ(Brief(c.config), c.upgraded) << c.config;
}

TEST_F(LegacyUpgradeTest, TurntableTracksWhenBothMeshesLoad) {
  Mesh("Outer/Outer.im",
       {"a.otrack0a", "a.otrack0b", "a.otrack1a", "a.otrack1b", "a.itrack0a", "a.itrack0b"});
  Mesh("Inner/Inner.im", {"a.itrack0a"});
  EXPECT_EQ(
      Brief("kind turntable\nasset-filename t\nmode0 Outer\nmode1 Inner\ntrack <kuid:1:5>\n"),
      "kind \"turntable\" mesh-table { default { mesh \"Outer/Outer.im\" auto-create 1 } turntable { mesh "
      "\"Inner/Inner.im\" } } attached-track { tracko1 { vertices { 0 \"a.otrack0a\" 1 \"a.otrack0b\" } "
      "track "
      "<kuid:1:5> useadjoiningtracktype 0 } tracko2 { vertices { 0 \"a.otrack1a\" 1 \"a.otrack1b\" } track "
      "<kuid:1:5> useadjoiningtracktype 0 } } username \"t\"");
}

// Names that no tag can have go in the final sweep; the user name keeps one line.
TEST_F(LegacyUpgradeTest, FinalSweepAndUserName) {
  SoupRef soup = Soup("kind x\n");
  for (const char* name : {"_", "__", "123", "it's", "a{b", "a_1", "x2"})
    soup.SetNamedTag(Kiv::PString(name), "v");
  soup.SetNamedTag(Kiv::PString(""), "empty");
  soup.SetNamedTag(Kiv::PString("username"), "Bob\r\nsecond line");
  UpgradeLegacyAsset(soup);
  std::vector<std::string> names;
  for (size_t i = 0; i < soup.CountTags(); ++i) names.push_back(soup.GetIndexedTagName(i).Str());
  EXPECT_EQ(names, (std::vector<std::string>{"kind", "a_1", "x2", "category-era", "category-class",
                                             "category-region", "username"}));
  EXPECT_EQ(soup.GetNamedTag(Kiv::PString("username")).Str(), "Bob");
}

// Below build 2.9 (2.85 is stored as 2.851) the config is upgraded and says
// 2.9 afterwards; from 2.9 on it is left alone.
TEST_F(LegacyUpgradeTest, BuildHook) {
  EXPECT_NE(Upgrade("kind x\nrovana-build 2.85\n", 2.851f).find("rovana-build 2.9"), std::string::npos);
  EXPECT_EQ(Upgrade("kind x\nrovana-build 2.9\nrem 1\n", 2.901f), "kind \"x\"\nrovana-build 2.9\nrem 1\n");
  EXPECT_NE(Upgrade("kind x\n", std::numeric_limits<float>::quiet_NaN()).find("rovana-build 2.9"),
            std::string::npos);
}

// One fully legacy config, upgraded, against its stored text.
TEST_F(LegacyUpgradeTest, GoldenLegacyConfig) {
  const std::string corpus = kSource + "/tests/config/corpus/";
  const std::string upgraded = Upgrade(ReadFile(corpus + "legacy_full.txt"), 2.401f);
  if (std::getenv("ROVANA_UPDATE_GOLDEN")) std::ofstream(corpus + "legacy_full.upgraded.txt") << upgraded;
  EXPECT_EQ(upgraded, ReadFile(corpus + "legacy_full.upgraded.txt"));
}

}  // namespace
