// What `validate` tells about assets and installations as users meet them: a
// schema folder that lacks files, a script that does not compile or link,
// legacy assets that the upgrade converts, a data file holding a NUL byte and
// a config file named in place of its folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "ProgramFixture.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

// A mesh of one quad with the attachment points named (a skeleton takes an
// animation).
std::string MeshWith(const std::vector<std::string>& points, bool skeleton = false) {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(1.0f, "body.m.onetex"));
  if (skeleton) mesh.skeleton = MeshFixture::Bone("root");
  mesh.attachments.emplace();
  for (const std::string& point : points) mesh.attachments->push_back({point});
  const std::vector<uint8_t> bytes = MeshFixture::Write(mesh);
  return std::string(bytes.begin(), bytes.end());
}

class ValidateReports : public ProgramFixture {};

}  // namespace

// Only the schema files that are there and read count.
TEST_F(ValidateReports, ASchemaFolderOfOneFileJudgesTheAsset) {
  std::filesystem::remove_all(m_root + "/OBLData");
  m_tree.Write("install/OBLData/kind.txt",
               "shed { top-level 1 subpossibilities { kuid { kind \"value\" type \"kuid\" } username { kind "
               "\"value\" type \"string\" } kind { kind \"value\" type \"string\" } rovana-build { kind "
               "\"value\" type \"float\" } } }\n");
  const std::string shed =
      Write("shed/config.txt", "kuid <kuid:523:9001>\nkind shed\nusername \"Shed\"\nrovana-build 3.4\n");
  // The files that are not there are named, without counting against the asset.
  const std::string noInheritance = "; The installation has no schema file '" + m_root +
                                    "/OBLData/inheritance.txt'; its definitions are missing.\n";
  EXPECT_EQ(Run({"validate", shed}), 0);
  EXPECT_EQ(m_last, noInheritance + "; The installation has no schema file '" + m_root +
                        "/OBLData/container.txt'; its definitions are missing.\nOK (0 Errors,0 Warnings)\n");
  // A file that is there but does not read is named before the findings.
  m_tree.Write("install/OBLData/container.txt", "mesh-table\n{\n");
  EXPECT_EQ(Run({"validate", shed}), 0);
  EXPECT_EQ(m_last, noInheritance + "; The schema file '" + m_root +
                        "/OBLData/container.txt' does not read; its definitions are missing.\n"
                        "OK (0 Errors,0 Warnings)\n");
}

// A syntax error's lines are printed as lines, naming the file as it is on
// disk; a class the script lacks is named.
TEST_F(ValidateReports, ScriptErrorsReadAsTheCompilerWroteThem) {
  const std::string config = "kuid <kuid:523:9101>\nkind library\nusername \"Plain\"\nrovana-build 3.4\n";
  const std::string plain = Write("MyAsset/config.txt", config + "script \"plain\"\nclass \"Plain\"\n");
  Write("MyAsset/Plain.gs", "class Plain {\n  public void F(void) {\n    int x = ;\n  }\n};\n");
  EXPECT_EQ(Run({"validate", plain}), -1);
  EXPECT_NE(m_last.find("of asset '<kuid:523:9101> \"Plain\"'\n\n  " + plain + "/Plain.gs(3) : "),
            std::string::npos)
      << m_last;
  const std::string linked = Write("Linked/config.txt", config + "script \"linked\"\nclass \"Absent\"\n");
  Write("Linked/linked.gs", "class Present {\n};\n");
  EXPECT_EQ(Run({"validate", linked}), -1);
  EXPECT_NE(m_last.find("- Unable to link compiled script class 'Absent'.\n"), std::string::npos) << m_last;
}

// What the upgrade makes of a legacy turntable, crossing and junction, and of
// their region codes, is what the shipped schema defines.
TEST_F(ValidateReports, TheShippedSchemaTakesWhatTheUpgradeWrites) {
  Write("turntable/pit/pit.im", MeshWith({"a.otrack0a", "a.otrack0b"}));
  Write("turntable/deck/deck.im", MeshWith({"a.itrack0a", "a.itrack0b"}));
  Write("crossing/cross/cross.im", MeshWith({"a.road0a", "a.road0b", "a.track0a", "a.track0b"}, true));
  Write("crossing/cross/anim.kin", "barriers");
  Write("junction/left/left.im", MeshWith({}));
  Write("junction/right/right.im", MeshWith({}));
  const struct {
    const char* asset;
    const char* tags;
  } legacy[] = {
      {"turntable", "9201>\nkind turntable\nmode0 \"pit\"\nmode1 \"deck\"\ntrack <kuid:523:9299>\n"},
      {"crossing", "9202>\nkind mocrossing\nmode0 \"cross\"\ntrack <kuid:523:9299>\nroad <kuid:523:9298>\n"},
      {"junction", "9203>\nkind mojunction\nmode0 \"left\"\nmode1 \"right\"\n"},
  };
  for (const auto& [asset, tags] : legacy) {
    Run({"validate", Write(std::string(asset) + "/config.txt",
                           "kuid <kuid:523:" + std::string(tags) +
                               "username \"Legacy\"\nrovana-build 2.4\ncategory-region-0 \"au\"\n"
                               "asset-filename \"x\"\n")});
    EXPECT_EQ(m_last.find("- "), std::string::npos) << asset << "\n" << m_last;
  }
  // A container where the schema defines a value is named with its place.
  const std::string odd = Write("odd/config.txt",
                                "kuid <kuid:523:9204>\nkind library\nusername \"Odd\"\n"
                                "rovana-build 3.4\nauthor\n{\n  name \"x\"\n}\n");
  EXPECT_EQ(Run({"validate", odd}), -1);
  EXPECT_NE(
      m_last.find("- The schema gives the container 'author' in 'library' the unhandled kind 'value'.\n"),
      std::string::npos)
      << m_last;
}

// A NUL byte in a data file costs only the rest of its line; a config file
// named in place of its folder stands for the folder.
TEST_F(ValidateReports, DataFilesAndConfigPathsAsUsersGiveThem) {
  m_tree.Write("install/OBLData/regions.txt", std::string("00 Any region\nAustralia\0junk\nBritain\n", 38));
  const std::string shed = Write("shed/config.txt",
                                 "kuid <kuid:523:9301>\nkind library\nusername \"Shed\"\n"
                                 "rovana-build 3.4\ncategory-region \"Britain\"\n");
  for (const std::string& given : {shed, shed + "/config.txt"}) {
    EXPECT_EQ(Run({"validate", given}), 0);
    EXPECT_EQ(m_last, "OK (0 Errors,0 Warnings)\n");
  }
}
