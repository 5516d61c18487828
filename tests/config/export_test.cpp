// The export of a typed config tree: what each writer writes and reports.
#include <gtest/gtest.h>

#include "ConfigFixture.h"
#include "config/Export.h"

using namespace OBLLib;
using P = Kiv::PString;

namespace {

class ExportTest : public ConfigFixture {
protected:
  void SetUp() override {
    ConfigFixture::SetUp();
    m_dm = Start(false);
    m_root.name = m_root.type = P("scenery");
    m_root.isRoot = true;
  }
  Tag* Add(Container& owner, const char* name, int32_t type, const char* value) {
    Tag* tag = owner.MakeTag(static_cast<int32_t>(owner.tags.size()), &owner, P(name));
    tag->typeCode = type;
    tag->value = P(value);
    owner.tags.push_back(tag);
    return tag;
  }
  // The exported soup as text, and the findings as "E text" / "W text" lines.
  std::string Export(bool* ok = nullptr) {
    // The check alone (as validation runs it) finds the same, in the same order.
    EH().Clear();
    const bool checked = CheckExport(m_root);
    const std::string checkFindings = FindingLines();
    EH().Clear();
    SoupRef soup;
    const bool result = ExportToSoup(m_root, soup);
    if (ok) *ok = result;
    EXPECT_EQ(checked, result);
    EXPECT_EQ(checkFindings, FindingLines());
    std::string out;
    EXPECT_TRUE(WriteSoupText(soup, out));
    return out + FindingLines();
  }

  void ClearTags() {
    for (Tag* tag : m_root.tags) delete tag;
    m_root.tags.clear();
  }

  DataManager* m_dm = nullptr;
  Container m_root;
};

TEST_F(ExportTest, SplitFloatsCountsEveryPiece) {
  EXPECT_EQ(SplitFloats("1,2"), (std::vector<float>{1, 2}));
  EXPECT_EQ(SplitFloats("1, 2"), (std::vector<float>{1, 0, 2}));
  EXPECT_EQ(SplitFloats(""), (std::vector<float>{0}));
  EXPECT_EQ(SplitFloats("0.5 x,-3"), (std::vector<float>{0.5f, 0, -3}));
}

// One tag at a time: the written value, the findings and the result.
TEST_F(ExportTest, WritersByType) {
  struct Case {
    int32_t type;
    const char* name;
    const char* value;
    bool ok;
    const char* out;
  } cases[] = {
      {Tag::kFloat, "height", "2.5m", true, "height 2.5\n"},
      {Tag::kFloat, "height", "", true, "height 0.0\n"},
      {Tag::kInt, "count", "12abc", true, "count 12\n"},
      {Tag::kInt, "count", "-99999999999", true, "count -2147483648\n"},
      {Tag::kBool, "on", "1", true, "on 1\n"},
      {Tag::kBool, "on", "yes", true, "on 0\n"},
      {Tag::kVector3, "offset", "1,2,3", true, "offset 1.0,2.0,3.0\n"},
      // Two numbers where three are due: written as they are, and a finding.
      {Tag::kVector3, "offset", "1,2", false,
       "offset 1.0,2.0\nE The tag 'offset' has the wrong number of values.\n"},
      {Tag::kFloatList, "list", "1, 2", true, "list 1.0,0.0,2.0\n"},
      {Tag::kString, "username", "", false,
       "username \"\"\nE The tag 'username' in 'scenery' must not be empty.\n"},
      {Tag::kDoubleString, "Name-DE", "", false,
       "name-de \"\"\nW The tag 'Name-DE' in 'scenery' is empty.\n"},
      {Tag::kDoubleString, "", "x", false, "\"\" \"x\"\nE A tag in 'scenery' has an empty name.\n"},
      {Tag::kKUID, "asset", "<kuid:1:2>", true, "asset <kuid:1:2>\n"},
      {Tag::kKUID, "asset", "", true, "asset <NULL>\n"},
      {Tag::kStringKUID, "Dep", "<kuid:1:2>", true, "dep <kuid:1:2>\n"},
      {Tag::kComboBox, "mode", "", true, "mode \"\"\nE The tag 'mode' in 'scenery' has no value chosen.\n"},
      {Tag::kIntComboBox, "level", "", true,
       "level 0\nE The tag 'level' in 'scenery' has no value chosen.\n"},
      {Tag::kListBox, "style", "", true, "style \"\"\nE The tag 'style' in 'scenery' has no item chosen.\n"},
      {Tag::kComment, "rem", "", true, "rem \"\"\n"},
      {Tag::kNone, "nothing", "x", true, ""},
  };
  for (const Case& c : cases) {
    ClearTags();
    Add(m_root, c.name, c.type, c.value);
    bool ok = !c.ok;
    EXPECT_EQ(Export(&ok), c.out) << c.name << " " << c.value;
    EXPECT_EQ(ok, c.ok) << c.name << " " << c.value;
  }
}

TEST_F(ExportTest, FilePathsByDataType) {
  struct Case {
    int32_t type;
    const char* dataType;
    const char* value;
    const char* out;
  } cases[] = {
      {Tag::kFilePath, "meshes", "a/b.lm.txt", "file \"a\\\\b.lm\"\n"},
      {Tag::kFilePathEdit, "meshes", "a/b.lm.txt", "file \"a\\\\b.lm\"\n"},
      {Tag::kFilePathEdit, "meshes", "b.txt", "file \"b\"\n"},
      {Tag::kFilePath, "meshes", "b.txt",
       "file \"b\"\nE The tag 'file' in 'scenery' does not name a mesh file.\n"},
      {Tag::kFilePath, "image", "b.PNG",
       "file \"b.PNG\"\nE The tag 'file' in 'scenery' does not name an image file.\n"},
      {Tag::kFilePath, "animation", "walk.kin", "file \"walk.kin\"\n"},
      {Tag::kFilePath, "meshes", "", "file \"\"\nE The tag 'file' in 'scenery' is empty.\n"},
  };
  for (const Case& c : cases) {
    ClearTags();
    Add(m_root, "file", c.type, c.value)->SetDataType(P(c.dataType));
    EXPECT_EQ(Export(), c.out) << c.dataType << " " << c.value;
  }
}

// The kind is written lower-case with the set-up's mapping undone; a failed
// tag does not keep later float and string tags from being written and
// checked; a child goes under its saving name.
TEST_F(ExportTest, KindChildrenAndLaterTags) {
  Add(m_root, "kind", Tag::kString, "Tunnel");
  Add(m_root, "offset", Tag::kVector2, "1");
  Add(m_root, "height", Tag::kFloat, "3");
  Add(m_root, "username", Tag::kString, "");
  auto* child = new Container();
  child->name = P("0");
  child->savingName = P("mesh-table");
  child->parent = &m_root;
  m_root.AddChild(child);
  Add(*child, "mesh", Tag::kFilePath, "x.im")->SetDataType(P("meshes"));
  bool ok = true;
  EXPECT_EQ(Export(&ok),
            "kind \"bridge\"\noffset 1.0\nheight 3.0\nusername \"\"\nmesh-table\n{\n  mesh \"x.im\"\n}\n"
            "E The tag 'offset' has the wrong number of values.\n"
            "E The tag 'username' in 'scenery' must not be empty.\n");
  EXPECT_FALSE(ok);
}

TEST_F(ExportTest, EmptySoundStringPassesBeforeBuild31) {
  m_root.name = P("sound");
  Add(m_root, "name", Tag::kString, "");
  for (float build : {3.0f, 3.1f}) {
    m_dm->build = build;
    bool ok = false;
    const std::string out = Export(&ok);
    EXPECT_EQ(ok, build < 3.05f) << out;
  }
}

// An attachment value the schema manager does not know is reported against
// the container path, unless the mesh did not load or was borrowed.
TEST_F(ExportTest, AttachmentNotInTheMesh) {
  auto* child = new Container();
  child->name = child->type = P("default");
  child->parent = &m_root;
  m_root.AddChild(child);
  Tag* tag = Add(*child, "att", Tag::kComboBox, "a.front");
  tag->hasSource = true;
  tag->SetSource(P("attachment"));
  bool ok = true;
  EXPECT_EQ(Export(&ok),
            "default\n{\n  att \"a.front\"\n}\n"
            "E In 'default' the tag 'att' names 'a.front', which is not an attachment point of "
            "the mesh.\n");
  EXPECT_FALSE(ok);
  m_dm->meshFailure = true;
  EXPECT_EQ(Export(&ok), "default\n{\n  att \"a.front\"\n}\n");
  EXPECT_TRUE(ok);
  m_dm->meshFailure = false;
}

}  // namespace
