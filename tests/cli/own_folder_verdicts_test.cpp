// Each asset folder is judged by what it holds itself: the attachment points
// of its own meshes, the script and category of its own config, and its own
// scripts however many folders of its KUID were checked before it.
#include <gtest/gtest.h>

#include <filesystem>

#include "ProgramFixture.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

// A one-quad mesh with the named attachment points.
std::string MeshWithPoints(const std::vector<std::string>& points) {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(1.0f, "body.m.onetex"));
  mesh.attachments = std::vector<MeshFixture::Attachment>();
  for (const std::string& point : points) mesh.attachments->push_back({point});
  const std::vector<uint8_t> bytes = MeshFixture::Write(mesh);
  return std::string(bytes.begin(), bytes.end());
}

// Script classes of the three asset kinds the compile step tells apart.
constexpr const char* kKinds = "class Vehicle {};\nclass Trackside {};\nclass Signal isclass Trackside {};\n";

class OwnFolderVerdicts : public ProgramFixture {
protected:
  // Writes the files (name, bytes) into the folder (below the test's tree); its path.
  std::string Folder(const std::string& folder,
                     const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, bytes] : files) m_tree.Write(folder + "/" + name, bytes);
    return m_tree.Path(folder);
  }
  // A file pair of the asset's one mesh, which its mesh table names.
  static std::pair<std::string, std::string> OneMesh() { return {"body.im", MeshWithPoints({"a.x"})}; }
  static constexpr const char* kOneMesh =
      "mesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n    auto-create 1\n  }\n}\n";
  static std::string Header(int number, const std::string& kind, const std::string& build = "3.4") {
    return "kuid <kuid:523:" + std::to_string(9000 + number) + ">\nkind " + kind + "\nusername \"Made " +
           std::to_string(number) + "\"\nrovana-build " + build + "\n";
  }
};

// An effect's "att", a mesh-table entry's "att" and a traincar's smoke
// "attachment" that name points of the asset's mesh pass, as do the name
// effects a legacy scenery gets from its mesh's points; a name the mesh
// lacks is still refused.
TEST_F(OwnFolderVerdicts, AttachmentPointsOfTheAssetsOwnMeshes) {
  const std::string mesh = MeshWithPoints({"a.x", "a.lamp", "a.chimney", "a.name0", "a.name1"});
  const std::string table = "mesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n    auto-create 1\n";
  auto lamp = [&](const std::string& point) {
    return table + "  }\n  lamp\n  {\n    mesh \"hut.im\"\n    att \"" + point +
           "\"\n    att-parent \"default\"\n  }\n}\n";
  };
  const std::string passes = "OK (0 Errors,";
  const std::pair<std::string, std::string> cases[] = {
      // a config and a line of its findings
      {Header(1, "scenery") + table +
           "    effects\n    {\n      glow\n      {\n        kind \"name\"\n"
           "        att \"a.x\"\n      }\n    }\n  }\n}\n",
       passes},
      {Header(2, "scenery") + lamp("a.lamp"), passes},
      {Header(3, "traincar") + table + "  }\n  shadow\n  {\n    mesh \"hut.im\"\n  }\n}\n" +
           "smoke\n{\n  attachment \"a.chimney\"\n  rate 2\n  velocity 1\n}\n",
       passes},
      {Header(4, "scenery", "2.8") + "asset-filename hut\n", passes},
      {Header(9, "scenery") + lamp("a.gone"),
       "- 'a.gone' in the tag 'att' is not an attachment point of the mesh 'body.im'.\n"},
  };
  int number = 0;
  for (const auto& [config, finding] : cases) {
    SCOPED_TRACE(config);
    const std::string folder = Folder("user/local/own" + std::to_string(++number),
                                      {{"config.txt", config}, {"body.im", mesh}, {"hut.im", mesh}});
    EXPECT_EQ(Run({"validate", folder}), finding == passes ? 0 : -1) << m_last;
    EXPECT_NE(m_last.find(finding), std::string::npos) << m_last;
  }
}

// The script's class must fit the category of the config being checked,
// whether or not the database knows the KUID, and whatever another folder of
// the same KUID says; the messages name the asset as its config does.
TEST_F(OwnFolderVerdicts, ScriptKindFromTheConfigBeingChecked) {
  const std::string config =
      Header(11, "scenery") + "category-class SWA\nscript \"sig\"\nclass \"Home\"\n" + kOneMesh;
  auto loose = [&](const std::string& name, const std::string& script) {  // outside every content folder
    return Folder("loose/" + name, {{"config.txt", config}, {"sig.gs", script}, OneMesh()});
  };
  const std::pair<std::string, std::string> cases[] = {
      // a folder and its findings, or a line of them
      {loose("good", std::string(kKinds) + "class Home isclass Signal {};\n"), "OK (0 Errors,0 Warnings)\n"},
      {loose("bad", std::string(kKinds) + "class Home isclass Vehicle {};\n"),
       "- Script class does not match asset kind (vehicle).\n"},
      {loose("broken", "class Home {\n"), "Syntax error in script of asset '<kuid:523:9011> \"Made 11\"'"},
  };
  for (const bool twin : {false, true}) {
    if (twin) {  // a twin of the KUID indexed in "local" as a building, with a plain class
      std::string other = config;
      other.replace(other.find("SWA"), 3, "BU");
      other.replace(other.find("\"Home\""), 6, "\"Shed\"");
      Folder("user/local/twin", {{"config.txt", other}, {"sig.gs", "class Shed {};\n"}, OneMesh()});
    }
    for (const auto& [folder, findings] : cases) {
      SCOPED_TRACE(folder + (twin ? " beside its twin" : ""));
      const int code = Run({"validate", folder});
      if (findings.starts_with("OK")) {
        EXPECT_EQ(code, 0);
        EXPECT_EQ(m_last, findings);
      } else {
        EXPECT_EQ(code, -1);
        EXPECT_NE(m_last.find(findings), std::string::npos) << m_last;
      }
    }
  }
}

// An installed copy in "local" and an edited copy in "editing" of one KUID,
// the edited one with a script that does not compile: in a batch, in either
// order, each folder gets its own verdict.
TEST_F(OwnFolderVerdicts, TwoFoldersOfOneKuidInABatch) {
  const std::string config = Header(21, "scenery") + "script \"work\"\nclass \"Work\"\n" + kOneMesh;
  const std::string installed =
      Folder("user/local/work", {{"config.txt", config}, {"work.gs", "class Work { int n; };\n"}, OneMesh()});
  const std::string edited = Folder(
      "user/editing/work", {{"config.txt", config}, {"work.gs", "class Work { int n };\n"}, OneMesh()});
  // Each alone first: the edited copy fails to compile, the installed one passes.
  EXPECT_EQ(Run({"validate", edited}), -1);
  const std::string bad = m_last;
  EXPECT_NE(bad.find("Syntax error"), std::string::npos) << bad;
  EXPECT_TRUE(bad.ends_with("OK (2 Errors,0 Warnings)\n")) << bad;
  EXPECT_EQ(Run({"validate", installed}), 0);
  const std::string good = m_last;
  EXPECT_EQ(good, "OK (0 Errors,0 Warnings)\n");
  // In a batch each line prints what it printed alone.
  auto batch = [&](const std::string& first, const std::string& second) {
    Run({"@" + m_tree.Write("batch.txt", "validate " + first + "\nvalidate " + second + "\n")});
    return m_last;
  };
  EXPECT_EQ(batch(installed, edited), good + bad);
  EXPECT_EQ(batch(edited, installed), bad + good);
  EXPECT_EQ(batch(installed, installed), good + good);
}

}  // namespace
