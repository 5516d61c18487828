// The named tag rules, the container checks and the asset path resolver.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ConfigFixture.h"
#include "config/AssetFiles.h"
#include "config/AssetPaths.h"
#include "config/MeshProbe.h"
#include "config/TagRules.h"
#include "kiv/TempFolder.h"

using namespace OBLLib;
using P = Kiv::PString;

namespace {

class RulesTest : public ConfigFixture {
protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    m_dm = Start(false);
    std::filesystem::create_directories(m_dir / "asset" / "Body");
    m_dm->contentFolder = m_dir.string();
    m_dm->assetFolder = "asset";
    m_root.name = m_root.type = P("root");
    m_root.isRoot = true;
  }
  void Touch(const std::string& relative) { std::ofstream(m_dir / relative) << "x"; }
  // A tag of the owner (the root unless given).
  Tag* MakeTag(const char* name, const char* value, Container* owner = nullptr) {
    owner = owner ? owner : &m_root;
    Tag* tag = owner->MakeTag(static_cast<int32_t>(owner->tags.size()), owner, P(name));
    tag->value = P(value);
    owner->tags.push_back(tag);
    return tag;
  }
  Container* MakeChild(Container& parent, const char* name) {
    auto* child = new Container();
    child->name = child->type = P(name);
    child->parent = &parent;
    parent.AddChild(child);
    return child;
  }
  // Runs a rule by its table name; the one finding it made ("" when none),
  // with its severity.
  bool Run(const char* rule, Tag& tag, const char* params = "", std::string* finding = nullptr,
           int* severity = nullptr) {
    EH().Clear();
    TagRuleFn fn = FindTagRule(P(rule));
    EXPECT_NE(fn, nullptr) << rule;
    SoupRef parameters = *params ? Soup(params) : SoupRef();
    bool ok = fn(tag, parameters);
    const auto& entries = EH().GetEntries();
    if (finding) *finding = entries.empty() ? "" : entries.front().text.Str();
    if (severity) *severity = entries.empty() ? -1 : entries.front().severity;
    return ok;
  }

  DataManager* m_dm = nullptr;
  Container m_root;
};

struct RuleCase {
  const char* rule;
  const char* params;
  const char* value;
  float build;
  bool ok;
  const char* finding;  // "" for none
  int severity;
};

// The value rules at their edges: bounds inclusive, empty values fail
// without a report, the array size is counted from build 2.89 on.
TEST_F(RulesTest, ValueRules) {
  const RuleCase cases[] = {
      {"range", "min 1 max 5", "1", 3.4f, true, "", -1},
      {"range", "min 1 max 5", "5", 3.4f, true, "", -1},
      {"range", "min 1 max 5", "0.999", 3.4f, false, "The tag 'v' must lie between 1 and 5.", 3},
      {"range", "min 1 max 5", "2, 5.001", 3.4f, false, "The tag 'v' must lie between 1 and 5.", 3},
      {"range", "max 5", "-1", 3.4f, false, "The tag 'v' must lie between 0 and 5.", 3},
      {"range", "min 1 max 5", "", 3.4f, false, "", -1},
      {"range", "min 1 max 5", " , ,", 3.4f, false, "The tag 'v' has no value.", 3},
      {"ispositive", "", "0,3", 3.4f, true, "", -1},
      {"ispositive", "", "2 -1", 3.4f, false, "The tag 'v' must not be negative.", 3},
      {"ispositive", "", "", 3.4f, false, "", -1},
      {"isnotzero", "", "1 0", 3.4f, false, "The tag 'v' must not be zero.", 3},
      {"isnotzero", "", "-0", 3.4f, false, "The tag 'v' must not be zero.", 3},
      {"isnotzero", "", "nan", 3.4f, true, "", -1},
      {"isnotzero", "", "", 3.4f, false, "", -1},
      {"isnotzero", "", "1e999999", 3.4f, true, "", -1},  // far beyond the float range: infinite
      {"arraysize", "size 3", "1,2", 2.901f, false, "The tag 'v' has the wrong number of values.", 3},
      {"arraysize", "size 3", "1,2", 2.801f, true, "", -1},
      {"arraysize", "size 3", "1 2,3", 2.901f, true, "", -1},
      {"arraysize", "size 3", "", 2.901f, false, "", -1},
      {"arraysize", "other 3", "1,2,3", 2.901f, false, "", -1},
  };
  for (const RuleCase& c : cases) {
    m_dm->build = c.build;
    Tag* tag = MakeTag("v", c.value);
    std::string finding;
    int severity = 0;
    EXPECT_EQ(Run(c.rule, *tag, c.params, &finding, &severity), c.ok) << c.rule << " " << c.value;
    EXPECT_EQ(finding, c.finding) << c.rule << " " << c.value;
    if (*c.finding) {
      EXPECT_EQ(severity, c.severity) << c.rule << " " << c.value;
    }
  }
}

TEST_F(RulesTest, FileRulesResolveInsideTheAssetFolderOnly) {
  Touch("asset/Body/wood.bmp");
  Touch("asset/main.gse");
  Touch("outside.txt");
  std::string finding;
  int severity = 0;
  m_dm->build = 3.401f;
  // Case and separators as a config written elsewhere has them.
  EXPECT_TRUE(Run("fileexists", *MakeTag("f", "Body\\Wood.BMP"), "", &finding));
  EXPECT_FALSE(Run("fileexists", *MakeTag("f", "../../outside.txt"), "", &finding, &severity));
  EXPECT_EQ(finding, "The file '../../outside.txt' does not exist.");
  EXPECT_EQ(severity, 3);
  m_dm->build = 3.301f;  // below 3.4 a missing file only warns
  EXPECT_FALSE(Run("fileexists", *MakeTag("f", "gone.im"), "", &finding, &severity));
  EXPECT_EQ(severity, 2);
  EXPECT_FALSE(Run("fileexists", *MakeTag("f", ""), "", &finding));
  EXPECT_EQ(finding, "");

  EXPECT_TRUE(Run("scriptfileexists", *MakeTag("s", "MAIN"), "", &finding));  // the .gse form
  EXPECT_TRUE(Run("scriptfileexists", *MakeTag("s", "/anything"), "", &finding));
  EXPECT_FALSE(Run("scriptfileexists", *MakeTag("s", "other.gs"), "", &finding));
  EXPECT_EQ(finding, "The script file 'other.gs' does not exist.");
  // A packed content folder passes the script check unseen.
  std::ofstream(m_dir.string() + ".ja") << "x";
  EXPECT_TRUE(Run("scriptfileexists", *MakeTag("s", "other.gs"), "", &finding));
  std::filesystem::remove(m_dir.string() + ".ja");
}

TEST_F(RulesTest, StructureRules) {
  std::string finding;
  Container* mesh = MakeChild(m_root, "mesh-table");
  Container* entry = MakeChild(*mesh, "default");
  EXPECT_FALSE(Run("notownparent", *MakeTag("att-parent", "default", entry), "", &finding));
  EXPECT_EQ(finding, "A mesh cannot be its own parent.");
  EXPECT_TRUE(Run("notownparent", *MakeTag("att-parent", "body", entry), "", &finding));

  Tag* collate = MakeTag("collate", "1");
  EXPECT_FALSE(Run("needcollatemeshes", *collate, "", &finding));
  EXPECT_EQ(finding, "The tag 'collate' needs a 'collate-meshes' tag.");
  MakeTag("collate-meshes", "1");
  EXPECT_TRUE(Run("needcollatemeshes", *collate, ""));

  m_root.configSoup = Soup("kind traincar");
  EXPECT_FALSE(Run("isnottraincar", *collate, "", &finding));
  EXPECT_EQ(EH().GetEntries().front().tag, 0u);  // unattributed
  // A tag deeper in the config: the asset's kind counts, not its entry's
  // soup (which an import gives every nested container).
  entry->configSoup = Soup("mesh \"body.im\"");
  EXPECT_FALSE(Run("isnottraincar", *MakeTag("lod", "1", entry), ""));
  m_root.configSoup = Soup("kind scenery");
  EXPECT_TRUE(Run("isnottraincar", *collate, ""));

  Tag* side = MakeTag("side", "1", entry);
  EXPECT_FALSE(Run("istracksidetype", *side, "", &finding));
  EXPECT_EQ(finding, "The tag 'side' needs a 'type' tag of 'trackside'.");
  Tag* type = MakeTag("type", "road", entry);
  EXPECT_FALSE(Run("istracksidetype", *side, "", &finding));
  EXPECT_EQ(EH().GetEntries().front().tag, type->Id());  // the finding goes to the "type" tag
  type->value = P("trackside");
  EXPECT_TRUE(Run("istracksidetype", *side, ""));

  EXPECT_TRUE(Run("mustbepaired", *MakeTag("initial-count", "0"), "0 \"a\" 1 \"b\""));
  EXPECT_FALSE(Run("mustbepaired", *MakeTag("count", "2"), "0 \"a\" 1 \"b\""));
  EXPECT_EQ(EH().GetEntries().size(), 2u);
  EXPECT_EQ(EH().GetEntries().back().text.Str(), "The tag 'b' is missing; it must come with 'a'.");
}

// Rules that look two containers up must not assume there are two.
TEST_F(RulesTest, GrandparentRulesNearTheRoot) {
  std::string finding;
  EXPECT_FALSE(Run("mustbeinlightcontainer", *MakeTag("lights-on", "0"), "", &finding));
  EXPECT_EQ(finding, "There is no \"lights\" container.");
  EXPECT_FALSE(Run("mustbeownparent", *MakeTag("part", "x"), "", &finding));
  EXPECT_EQ(finding, "");

  Container* lights = MakeChild(m_root, "lights");
  MakeChild(*lights, "0");
  MakeChild(*lights, "1");
  Container* effects = MakeChild(*MakeChild(m_root, "mesh-table"), "default");
  EXPECT_FALSE(Run("mustbeinlightcontainer", *MakeTag("l", "0, 2 1", effects), "", &finding));
  EXPECT_EQ(finding, "There is no light 2 in the \"lights\" container.");
  EXPECT_EQ(EH().GetEntries().size(), 1u);

  MeshInfo info;
  info.filePath = "asset/body.im";
  info.namedEntries = {P("wheel"), P("door")};
  m_dm->SetLiveObject(&m_root, std::make_unique<LoadedMesh>(info));
  EXPECT_TRUE(Run("mustbeownparent", *MakeTag("p", "door", effects), ""));
  EXPECT_FALSE(Run("mustbeownparent", *MakeTag("p", "roof", effects), "", &finding));
  EXPECT_EQ(finding, "'roof' is not a named part of the mesh 'body.im'.");
}

TEST_F(RulesTest, NullKuidWarning) {
  Tag* tag = MakeTag("engine", "<NULL>");
  EXPECT_TRUE(WarnNullKUID(*tag));
  ASSERT_EQ(EH().GetEntries().size(), 1u);
  EXPECT_EQ(EH().GetEntries().front().severity, 2);
  EH().Clear();
  EXPECT_TRUE(WarnNullKUID(*MakeTag("engine2", "<kuid:1:2>")));
  EXPECT_TRUE(WarnNullKUID(*MakeTag("x", "", MakeChild(m_root, "obsolete-table"))));
  EXPECT_TRUE(EH().GetEntries().empty());
}

TEST_F(RulesTest, ContainerChecks) {
  auto check = [](const char* name) {
    for (const NamedContainerCheck& c : NamedContainerChecks())
      if (std::string_view(c.name) == name) return c.check;
    return ContainerRuleFn(nullptr);
  };
  // Three children of one name: the second and third carry one finding each.
  for (int i = 0; i < 3; ++i) MakeChild(m_root, "dup");
  MakeTag("t", "1");
  MakeTag("t", "2");
  EXPECT_FALSE(check("uniquenames")(m_root, SoupRef()));
  ASSERT_EQ(EH().GetEntries().size(), 3u);
  EXPECT_EQ(EH().GetEntries().front().container, m_root.children[1]->Id());
  EXPECT_EQ(EH().GetEntries().back().text.Str(), "There is more than one tag 't' in 'root'.");

  EH().Clear();
  Container* table = MakeChild(m_root, "mesh-table");
  MakeTag("auto-create", "0", MakeChild(*table, "default"));
  MakeChild(*table, "lod");  // without "auto-create": does not count
  EXPECT_FALSE(check("meshtablehasvisiblemesh")(m_root, SoupRef()));
  EXPECT_FALSE(check("meshtablehasshadow")(m_root, SoupRef()));
  EXPECT_EQ(EH().GetEntries().size(), 2u);
  MakeTag("auto-create", "1", MakeChild(*table, "shadow"));
  EXPECT_TRUE(check("meshtablehasvisiblemesh")(m_root, SoupRef()));
  EXPECT_TRUE(check("meshtablehasshadow")(m_root, SoupRef()));
  EXPECT_TRUE(check("meshtablehasshadow")(*table, SoupRef()));  // not the root: nothing to check

  EH().Clear();
  Container texture;
  texture.name = P("tex");
  EXPECT_FALSE(check("hasvalidtexturefile")(texture, SoupRef()));
  EXPECT_EQ(EH().GetEntries().front().text.Str(), "No texture file is named.");
  Tag* named = texture.MakeTag(0, &texture, P("texture"));
  named->value = P("Wall.TGA");
  texture.tags.push_back(named);
  EXPECT_FALSE(check("hasvalidtexturefile")(texture, SoupRef()));
  Touch("asset/wall.texture.txt");  // the settings file alone is enough
  EXPECT_TRUE(check("hasvalidtexturefile")(texture, SoupRef()));
}

// Only the container checks are bound, with what the definition inherits;
// a cycle in the schema's inheritance ends.
TEST_F(RulesTest, BindContainerChecksMergesInheritedLists) {
  Write(
      "kind.txt",
      "base { inherit { top 1 } validation { uniquenames 1 meshtablehasshadow 1 } }\n"
      "top { inherit { base 1 } validation { meshtablehasshadow 1 ispositive 1 hasvalidtexturefile 1 } }\n");
  DataManager::Destroy();
  m_dm = Start(true);
  Container c;
  c.type = P("top");
  c.BindContainerChecks(m_dm->Schema().GetNamedSoup(P("top")), &c);
  ASSERT_EQ(c.rules.size(), 3u);
  EXPECT_EQ(c.rules[0], NamedContainerChecks()[0].check);  // uniquenames
  EXPECT_EQ(c.rules[1], NamedContainerChecks()[2].check);  // meshtablehasshadow, moved last by "top"
  EXPECT_EQ(c.rules[2], NamedContainerChecks()[1].check);
  // The shared schema is not written.
  EXPECT_EQ(m_dm->Schema().GetNamedSoup(P("top")).GetNamedSoup(P("validation")).CountTags(), 3u);
}

TEST(AssetPaths, JoinStaysInsideTheContentFolder) {
  struct Case {
    const char* folder;
    const char* value;
    const char* joined;  // nullptr: refused
  } cases[] = {
      {"asset", "Body\\Wood.BMP", "asset/Body/Wood.BMP"},
      {"a\\b", "./c//d", "a/b/c/d"},
      {"asset", "../other/x.im", "other/x.im"},  // another asset of the same content folder
      {"asset", "../../x.im", nullptr},
      {"asset", "/etc/passwd", nullptr},
      {"asset", "\\share\\x", nullptr},
      {"asset", "c:\\windows\\x", nullptr},
      {"asset", "sub/c:x", nullptr},
      {"", "..", nullptr},
  };
  for (const Case& c : cases) {
    auto joined = JoinInsideContentFolder(c.folder, c.value);
    if (c.joined) {
      EXPECT_EQ(joined.value_or("<refused>"), c.joined) << c.value;
    } else {
      EXPECT_FALSE(joined.has_value()) << c.value;
    }
  }
  EXPECT_FALSE(ResolveAssetPath("", "asset", "x").has_value());
  const std::string longName(600, 'n');
  EXPECT_EQ(JoinInsideContentFolder("asset", longName).value_or(""), "asset/" + longName);
}

// A file reached through a symbolic link is found only when its real place lies inside
// the asset's folder; a plain path to another asset of the content folder still is.
TEST(AssetPaths, LinksOutOfTheAssetAreMissing) {
  Kiv::TempFolder dir("asset-paths");
  const std::string content = dir.Path("local");
  dir.Write("local/asset/own.im", "x");
  dir.Write("local/other/x.im", "x");
  dir.Write("secret/passwd", "x");
  namespace fs = std::filesystem;
  fs::create_symlink(dir.Path("secret/passwd"), dir.Path("local/asset/link.im"));
  fs::create_directory_symlink(dir.Path("secret"), dir.Path("local/asset/etcdir"));
  fs::create_symlink(dir.Path("local/other/x.im"), dir.Path("local/asset/neighbour.im"));
  fs::create_symlink(dir.Path("local/asset/own.im"), dir.Path("local/asset/inside.im"));
  fs::create_directory_symlink(dir.Path("local/asset"), dir.Path("local/asset/self"));
  EXPECT_FALSE(ResolveAssetPath(content, "asset", "link.im").has_value());
  EXPECT_FALSE(ResolveAssetPath(content, "asset", "etcdir/passwd").has_value());
  EXPECT_FALSE(ResolveAssetPath(content, "asset", "etcdir").has_value());
  EXPECT_FALSE(ResolveAssetPath(content, "asset", "neighbour.im").has_value());
  EXPECT_TRUE(ResolveAssetPath(content, "asset", "inside.im").has_value());
  EXPECT_TRUE(ResolveAssetPath(content, "asset", "self/own.im").has_value());
  EXPECT_TRUE(ResolveAssetPath(content, "asset", "../other/x.im").has_value());
  EXPECT_TRUE(ResolveAssetPath(content, "asset", "Own.IM").has_value());
}

// The listings a whole asset check answers its look-ups from give what the resolver
// gives: the same spelling among names that differ in case, folders tried in turn, and
// the same refusals of links that lead out of the asset.
TEST(AssetPaths, ListingsAnswerAsTheResolver) {
  Kiv::TempFolder dir("asset-files");
  const std::string content = dir.Path("local");
  dir.Write("local/asset/own.im", "x");
  dir.Write("local/asset/Mixed.im", "x");
  dir.Write("local/asset/mixed.IM", "x");
  dir.Write("local/asset/Dir/a.im", "x");
  dir.MakeDir("local/asset/dir");
  dir.Write("local/asset/dir/b.im", "x");
  dir.Write("local/asset/deep/er/C.im", "x");
  dir.Write("local/other/x.im", "x");
  dir.Write("secret/passwd", "x");
  namespace fs = std::filesystem;
  fs::create_symlink(dir.Path("secret/passwd"), dir.Path("local/asset/link.im"));
  fs::create_directory_symlink(dir.Path("secret"), dir.Path("local/asset/etcdir"));
  fs::create_symlink(dir.Path("local/asset/own.im"), dir.Path("local/asset/inside.im"));
  fs::create_directory_symlink(dir.Path("local/asset"), dir.Path("local/asset/self"));
  fs::create_symlink(dir.Path("nowhere"), dir.Path("local/asset/dangling.im"));
  AssetFiles files(dir.Path("local/asset"));
  for (const char* name :
       {"own.im",     "OWN.IM",         "mixed.im", "MIXED.IM",     "Mixed.im",       "mixed.IM",
        "dir/a.im",   "DIR/B.IM",       "Dir/b.im", "deep/ER/c.im", "deep\\er\\C.im", "./own.im",
        "link.im",    "etcdir/passwd",  "etcdir",   "inside.im",    "self/own.im",    "SELF/Self/Own.im",
        "missing.im", "dir/missing.im", "own.im/x", "dangling.im",  "deep",           "deep/"}) {
    const std::optional<std::string> expected = ResolveAssetPath(content, "asset", name);
    EXPECT_EQ(files.Find(name).value_or("<none>"), expected.value_or("<none>")) << name;
  }
  EXPECT_FALSE(files.Find("../other/x.im").has_value());  // never climbs out
  EXPECT_TRUE(files.IsFolder("self"));
  EXPECT_FALSE(files.IsFolder("link.im"));
  EXPECT_TRUE(files.PassesThroughLink("self/own.im"));
  EXPECT_FALSE(files.PassesThroughLink("Dir/a.im"));
}

}  // namespace
