// Root set-up and import of a config soup against a small schema.
#include <gtest/gtest.h>

#include <cstdarg>

#include "ConfigFixture.h"
#include "kiv/String.h"

using namespace OBLLib;
using P = Kiv::PString;

namespace {

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = Kiv::FormatV(format, args);
  va_end(args);
  return out;
}

const char* const kSchema = R"(
base { subpossibilities {
  kuid { kind "value" type "kuid" compulsory 1 }
  username { kind "value" type "string" compulsory 1 }
  kind { kind "value" type "string" compulsory 1 }
  description { kind "value" type "string" }
  author { kind "value" type "string" }
  rovana-build { kind "value" type "float" }
  category-class { kind "value" type "string" }
  category-era { kind "value" type "string" }
  category-region { kind "value" type "string" }
  table { kind "element" element-type "table-def" }
} }
middle { inherit { base 1 } subpossibilities { extra { kind "value" type "int" } } }
widget {
  top-level 1
  inherit { middle 1 }
  subpossibilities {
    flag { kind "value" type "bool" }
    size { kind "value" type "float" compulsory 3.0 validation { ispositive 1 } }
    mesh0 { kind "value" type "string" sequence 1 }
    part0 { kind "value" type "string" }
    parts { kind "element" element-type "parts-def" compulsory 2.0 }
    nest { kind "element" element-type "nest-def" }
  }
}
table-def { tagarray { kind "value" type "kuid" } }
parts-def { array-element { kind "element" element-type "part-def" } }
part-def { subpossibilities { mesh { kind "value" type "string" compulsory 1 } } validation { uniquenames 1 } }
nest-def { subpossibilities { nest { kind "element" element-type "nest-def" } } }
bridge { top-level 1 inherit { base 1 } }
double-track { top-level 1 inherit { base 1 } }
tunnel { top-level 1 inherit { base 1 } }
chunky-track { top-level 1 inherit { base 1 } }
obsolete-track { top-level 1 inherit { base 1 } }
relic { top-level 1 inherit { base 1 } obsolete-tag { old-tag { kind "value" type "string" obsolete-version 3.0 } } }
loop-a { top-level 1 inherit { loop-b 1 base 1 } }
loop-b { inherit { loop-a 1 } subpossibilities { b { kind "value" type "int" } } }
layered { top-level 1 inherit { base 1 first 1 second 1 }
  subpossibilities { own { kind "value" type "int" } shadow { kind "value" type "string" } } }
first { subpossibilities { dup 1 dup { kind "value" type "bool" } shared { kind "value" type "float" }
  shadow { kind "value" type "int" } } tagarray { kind "value" type "kuid" } }
second { subpossibilities { late { kind "value" type "bool" } dup { kind "value" type "int" } } }
)";

class ImportTest : public ConfigFixture {
protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    Write("kind.txt", kSchema);
    Start(true);
  }
  // Sets up a root from the config text; the findings' texts in order.
  std::vector<std::string> SetUpRoot(const std::string& config, bool* ok = nullptr) {
    EH().Clear();
    m_root = std::make_unique<Container>();
    bool result = m_root->SetupRoot(Soup(config));
    if (ok) *ok = result;
    std::vector<std::string> out;
    for (const auto& e : EH().GetEntries())
      out.push_back((e.severity == 3 ? "E " : e.severity == 2 ? "W " : "M ") + e.text.Str());
    return out;
  }
  const Tag* RootTag(const char* name) const {
    for (const Tag* t : m_root->tags)
      if (t->name == P(name)) return t;
    return nullptr;
  }
  std::unique_ptr<Container> m_root;
};

const std::string kBody =
    "kuid <kuid:1:2>\nusername \"W\"\nkind widget\nsize 2\nparts { a { mesh \"a.im\" } }\n";
const std::string kGood = kBody + "rovana-build 3.4\n";

// What an import prepares of a definition is kept per asset build: assets of
// different builds checked one after the other each get their own verdicts.
TEST_F(ImportTest, PreparedImportsFollowTheBuild) {
  const std::string relic = "kuid <kuid:1:3>\nusername \"G\"\nkind relic\nold-tag \"x\"\n";
  auto obsoleteFindings = [&](const char* build) {
    size_t n = 0;
    for (const std::string& f : SetUpRoot(relic + "rovana-build " + build + "\n"))
      n += f.find("old-tag") != std::string::npos;
    return n;
  };
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(obsoleteFindings("3.4"), 1u);
    EXPECT_EQ(obsoleteFindings("2.9"), 0u);
    EXPECT_EQ(m_root->obsoleteTagNames.size(), 0u);
  }
  // The compulsory "size" of a widget is an error from build 3.0, a warning before.
  for (int round = 0; round < 2; ++round) {
    const auto newer = SetUpRoot(
        "kuid <kuid:1:2>\nusername \"W\"\nkind widget\nparts { a { mesh \"a.im\" } }\n"
        "rovana-build 3.4\n");
    const auto older = SetUpRoot(
        "kuid <kuid:1:2>\nusername \"W\"\nkind widget\nparts { a { mesh \"a.im\" } }\n"
        "rovana-build 2.9\n");
    ASSERT_EQ(newer.size(), older.size());
    EXPECT_NE(newer, older);
  }
}

// A value tag takes the first definition along the inheritance: the kind's own entry, then
// each inherited definition's entry or, failing that, its whole tag array, which then
// answers before any later definition. A soup answers with its first tag of the name,
// and only when that tag is an entry.
TEST_F(ImportTest, ValueTagsTakeTheFirstDefinitionAlongTheInheritance) {
  for (int round = 0; round < 2; ++round) {  // the second round reads what was kept
    SetUpRoot(
        "kuid <kuid:1:9>\nusername \"L\"\nkind layered\nrovana-build 3.4\nown 1\nshadow \"s\"\n"
        "shared 1.5\nlate <kuid:1:1>\ndup <kuid:1:2>\n");
    auto type = [&](const char* name) {
      const Tag* tag = RootTag(name);
      return tag ? tag->typeCode : -2;
    };
    EXPECT_EQ(type("own"), Tag::kInt);
    EXPECT_EQ(type("shadow"), Tag::kString);
    EXPECT_EQ(type("shared"), Tag::kFloat);
    EXPECT_EQ(type("late"), Tag::kKUID);  // first's tag array, not second's entry
    EXPECT_EQ(type("dup"), Tag::kKUID);   // first's "dup" is no entry; its tag array answers
  }
}

// A table's entries are mostly names that no other holder has: they are made
// without the name look-ups. The tree comes out as when every name is held
// elsewhere too (the look-ups then decide): values, types, order, the first
// of a repeated name kept, and later duplicate tests still see every entry.
TEST_F(ImportTest, TableEntriesWithNamesOfTheirOwn) {
  std::string config = kGood + "table {\n";
  for (int i = 0; i < 300; ++i) config += Printf("  e%d <kuid:5:%d>\n", i, i);
  config +=
      "  e5 <kuid:7:1>\n  flag <kuid:7:2>\n  mesh \"m\"\n  e300 <kuid:7:3>\n  e300 <kuid:7:4>\n  e301 4\n}\n";
  auto table = [&] {
    std::vector<std::string> out;
    for (const Container* c : m_root->children)
      if (c->name == P("table"))
        for (const Tag* t : c->tags)
          out.push_back(
              Printf("%s=%s:%d@%d", t->name.c_str(), t->value.Str().c_str(), t->typeCode, t->index));
    return out;
  };
  const std::vector<std::string> findings = SetUpRoot(config);
  const std::vector<std::string> made = table();
  ASSERT_EQ(made.size(), 304u);
  EXPECT_EQ(made[5], "e5=<kuid:5:5>:14@5");
  EXPECT_EQ(made[300], "flag=<kuid:7:2>:14@300");
  EXPECT_EQ(made[302], "e300=<kuid:7:3>:14@302");
  EXPECT_EQ(made[303], "e301=4:14@303");
  Container* own = m_root->children.back();
  ASSERT_EQ(own->name, P("table"));
  EXPECT_EQ(own->CreateTagFromDefinition(own, P("e7"), SoupRef(), own->configSoup), nullptr);
  EXPECT_EQ(own->CreateTagFromDefinition(own, P("e299"), SoupRef(), SoupRef()), nullptr);

  std::vector<P> held;
  for (int i = 0; i < 302; ++i) held.emplace_back(Printf("e%d", i));
  EXPECT_EQ(SetUpRoot(config), findings);
  EXPECT_EQ(table(), made);
}

TEST_F(ImportTest, CompleteConfigHasNoFindingsAndHeaderTagsLead) {
  bool ok = false;
  EXPECT_TRUE(
      SetUpRoot(kGood + "description-de \"x\"\nusername-fr \"y\"\nextra 3\nmesh12 \"m\"\nmesh3 \"n\"\n", &ok)
          .empty());
  EXPECT_TRUE(ok);
  EXPECT_EQ(m_root->tags[0]->name, P("kuid"));  // from the definition, then the config's own
  EXPECT_NE(RootTag("mesh12"), nullptr);
  ASSERT_EQ(m_root->children.size(), 1u);
  EXPECT_EQ(m_root->children[0]->children.size(), 1u);            // the array element "a"
  EXPECT_EQ(m_root->children[0]->children[0]->rules.size(), 1u);  // its container check
  EXPECT_EQ(m_root->type, P("widget"));
}

TEST_F(ImportTest, Findings) {
  struct Case {
    std::string config;
    std::vector<std::string> findings;
  } cases[] = {
      // A numbered name without a sequence definition; a duplicate value tag is dropped silently.
      {kGood + "part1 \"p\"\nflag 1\nflag 0\n",
       {"E The tag 'part1' in 'widget' is not defined for this kind of asset."}},
      // The same undefined container twice: one finding.
      {kGood + "odd { }\nodd { }\n", {"E The tag 'odd' in 'widget' is not defined for this kind of asset."}},
      {kGood + ".cache { }\n",
       {"E The tag '.cache' in 'widget' is not defined for this kind of asset.",
        "E The \".cache\" container is left over from an old version and is not allowed."}},
      // Compulsory from a later build: a warning; from this build: an error on the tag made in its place.
      {"kuid <kuid:1:2>\nusername \"W\"\nkind widget\nrovana-build 3.0\nparts { }\n",
       {"E The required tag 'size' is missing."}},
      {"kuid <kuid:1:2>\nusername \"W\"\nkind widget\nrovana-build 2.9\nparts { }\n",
       {"W The required tag 'size' is missing."}},
      {"kuid <kuid:1:2>\nkind widget\nrovana-build 3.4\nsize 1\n",
       {"E The required tag 'username' is missing.", "E The required container 'parts' is missing."}},
      {"kuid <kuid:1:2>\nusername \"W\"\nkind widget\nrovana-build 2.9\nsize 1\nparts { a { } }\n",
       {"E The required tag 'mesh' is missing."}},
      {"kuid <kuid:1:2>\nusername \"W\"\nkind widget\nrovana-build 1.9\nsize 1\n",
       {"W This asset is of a build older than 2.7 and is obsolete.",
        "W The required container 'parts' is missing."}},
      {"username \"W\"\nrovana-build 3.4\n", {"E The config has no \"kind\" tag."}},
      {"kind gadget\nrovana-build 3.4\n", {"E The kind of this asset has no definition in the schema."}},
      // An inheritance cycle in the schema is reported and the import ends.
      {"kuid <kuid:1:2>\nusername \"W\"\nkind loop-a\nrovana-build 3.4\nb 1\n",
       {"E The schema definition 'loop-a' inherits from itself; its inheritance is ignored."}},
      {kGood + "alias <kuid:1:3>\n",
       {"W This asset borrows its mesh through an \"alias\" tag.",
        "E The tag 'alias' in 'widget' is not defined for this kind of asset."}},
  };
  for (const Case& c : cases) EXPECT_EQ(SetUpRoot(c.config), c.findings) << c.config;
}

TEST_F(ImportTest, MissingCompulsoryTagGetsItsDefault) {
  SetUpRoot("kuid <kuid:1:2>\nusername \"W\"\nkind widget\nrovana-build 3.4\nparts { }\n");
  const Tag* size = RootTag("size");
  ASSERT_NE(size, nullptr);
  ASSERT_FALSE(EH().GetEntries().empty());
  EXPECT_EQ(EH().GetEntries().front().tag, size->Id());
  EXPECT_EQ(size->Rules().size(), 1u);
}

TEST_F(ImportTest, KindMapping) {
  struct Case {
    const char* config;
    const char* type;
  } cases[] = {
      {"kind bridge\nheight 0.0005\nrovana-build 3.4", "double-track"},
      {"kind bridge\nheight -0.0005\nrovana-build 3.4", "double-track"},
      {"kind bridge\nheight -0.002\nrovana-build 3.4", "bridge"},
      {"kind bridge\nheight 0.002\nrovana-build 3.4", "tunnel"},
      {"kind bridge\nrovana-build 3.4", "double-track"},
      {"kind track\nchunky_mesh 1", "chunky-track"},  // no build: 1.3, below 2.9
      {"kind track", "obsolete-track"},
      {"kind Widget\nrovana-build 3.4", "Widget"},  // not mapped, but found lower-cased
  };
  for (const Case& c : cases) {
    SetUpRoot(c.config);
    EXPECT_EQ(m_root->type.Str(), c.type) << c.config;
  }
}

TEST_F(ImportTest, BuildEdgesAndBadBuilds) {
  auto obsolete = [&](const std::string& build) {
    for (const std::string& f : SetUpRoot(kBody + "rovana-build " + build + "\n"))
      if (f.find("older than 2.7") != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(obsolete("2.69"));
  EXPECT_FALSE(obsolete("2.7"));
  // Not a number: refused, not taken for the default 1.3.
  EXPECT_EQ(SetUpRoot(kBody + "rovana-build nan\n"),
            std::vector<std::string>{"E The build number 'nan' in \"rovana-build\" is not a finite number."});
  EXPECT_TRUE(obsolete("-1e30"));
  EXPECT_FALSE(obsolete("1e30"));
}

// A schema whose container may hold itself cannot drive the import into
// unbounded recursion.
TEST_F(ImportTest, DeepNestingEndsWithAFinding) {
  std::string config = kGood + "nest ";
  for (int i = 0; i < 100; ++i) config += "{ nest ";
  config += "{ }";
  for (int i = 0; i < 100; ++i) config += " }";
  bool ok = true;
  std::vector<std::string> findings = SetUpRoot(config + "\n", &ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0], "E The containers inside 'nest' are nested too deeply to be checked.");
}

}  // namespace
