// Each asset folder is judged by what it holds itself: the attachment points
// of its own meshes, the script and category of its own config, and its own
// scripts however many folders of its KUID were checked before it.
#include <gtest/gtest.h>

#include <filesystem>

#include "RunProgram.h"
#include "TempTree.h"
#include "tests/graphics/mesh/MeshFixture.h"
#include "umbclient/OpenDatabase.h"

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

class OwnFolderVerdicts : public ::testing::Test {
protected:
  void SetUp() override {
    m_root = m_tree.MakeDir("install");
    m_userData = m_tree.Path("user");
    CopySampleInstallation(m_root);
    std::filesystem::create_directories(m_userData + "/local");
    std::filesystem::create_directories(m_userData + "/editing");
  }
  void TearDown() override { EXPECT_FALSE(UMBIsDatabaseOpen()); }

  // Writes the files (name, bytes) into the folder (below the test's tree); its path.
  std::string Folder(const std::string& folder,
                     const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [name, bytes] : files) m_tree.Write(folder + "/" + name, bytes);
    return m_tree.Path(folder);
  }
  // What one run printed, and its code.
  std::string Run(std::vector<std::string> args, int* code = nullptr, const std::string& input = "") {
    const size_t seen = m_out.Text().size();
    const int result = RunProgram(std::move(args), m_root, m_userData, m_out.File(), input);
    if (code) *code = result;
    return m_out.Text().substr(seen);
  }
  // A file pair of the asset's one mesh, which its mesh table names.
  static std::pair<std::string, std::string> OneMesh() { return {"body.im", MeshWithPoints({"a.x"})}; }
  static constexpr const char* kOneMesh =
      "mesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n    auto-create 1\n  }\n}\n";
  static std::string Header(int number, const std::string& kind, const std::string& build = "3.4") {
    return "kuid <kuid:523:" + std::to_string(9000 + number) + ">\nkind " + kind + "\nusername \"Made " +
           std::to_string(number) + "\"\nrovana-build " + build + "\n";
  }

  TempTree m_tree;
  CapturedOutput m_out;
  std::string m_root, m_userData;
};

// An effect's "att", a mesh-table entry's "att" and a traincar's smoke
// "attachment" that name points of the asset's mesh pass, as do the name
// effects a legacy scenery gets from its mesh's points; a name the mesh
// lacks is still refused.
TEST_F(OwnFolderVerdicts, AttachmentPointsOfTheAssetsOwnMeshes) {
  const std::string mesh = MeshWithPoints({"a.x", "a.lamp", "a.chimney", "a.name0", "a.name1"});
  const std::string table = "mesh-table\n{\n  default\n  {\n    mesh \"body.im\"\n    auto-create 1\n";
  const std::string lamp = table +
                           "  }\n  lamp\n  {\n    mesh \"hut.im\"\n    att \"a.lamp\"\n"
                           "    att-parent \"default\"\n  }\n}\n";
  const std::string assets[] = {
      Header(1, "scenery") + table +
          "    effects\n    {\n      glow\n      {\n        kind \"name\"\n"
          "        att \"a.x\"\n      }\n    }\n  }\n}\n",
      Header(2, "scenery") + lamp,
      Header(3, "traincar") + table + "  }\n  shadow\n  {\n    mesh \"hut.im\"\n  }\n}\n" +
          "smoke\n{\n  attachment \"a.chimney\"\n  rate 2\n  velocity 1\n}\n",
      Header(4, "scenery", "2.8") + "asset-filename hut\n",
  };
  int number = 0;
  for (const std::string& config : assets) {
    SCOPED_TRACE(config);
    int code = -1;
    const std::string folder = Folder("user/local/own" + std::to_string(++number),
                                      {{"config.txt", config}, {"body.im", mesh}, {"hut.im", mesh}});
    const std::string out = Run({"validate", folder}, &code);
    EXPECT_NE(out.find("OK (0 Errors,"), std::string::npos) << out;
    EXPECT_EQ(code, 0) << out;
  }
  std::string missing = Header(9, "scenery") + lamp;
  missing.replace(missing.find("a.lamp"), 6, "a.gone");
  int code = 0;
  const std::string out = Run(
      {"validate", Folder("user/local/own9", {{"config.txt", missing}, {"body.im", mesh}, {"hut.im", mesh}})},
      &code);
  EXPECT_NE(out.find("- 'a.gone' in the tag 'att' is not an attachment point of the mesh 'body.im'.\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(code, -1);
}

// The script's class must fit the category of the config being checked,
// whether or not the database knows the KUID, and whatever another folder of
// the same KUID says; the messages name the asset as its config does.
TEST_F(OwnFolderVerdicts, ScriptKindFromTheConfigBeingChecked) {
  const std::string config =
      Header(11, "scenery") + "category-class SWA\nscript \"sig\"\nclass \"Home\"\n" + kOneMesh;
  const std::string right = std::string(kKinds) + "class Home isclass Signal {};\n";
  const std::string wrong = std::string(kKinds) + "class Home isclass Vehicle {};\n";
  // Loose folders, outside every content folder: the database knows nothing of them.
  const std::string good = Folder("loose/good", {{"config.txt", config}, {"sig.gs", right}, OneMesh()});
  const std::string bad = Folder("loose/bad", {{"config.txt", config}, {"sig.gs", wrong}, OneMesh()});
  int code = -1;
  EXPECT_EQ(Run({"validate", good}, &code), "OK (0 Errors,0 Warnings)\n");
  EXPECT_EQ(code, 0);
  std::string out = Run({"validate", bad}, &code);
  EXPECT_NE(out.find("- Script class does not match asset kind (vehicle).\n"), std::string::npos) << out;
  EXPECT_EQ(code, -1);

  // A twin of the KUID indexed in "local" as a building, with a plain class.
  std::string twin = config;
  twin.replace(twin.find("SWA"), 3, "BU");
  twin.replace(twin.find("\"Home\""), 6, "\"Shed\"");
  Folder("user/local/twin", {{"config.txt", twin}, {"sig.gs", "class Shed {};\n"}, OneMesh()});
  EXPECT_EQ(Run({"validate", good}, &code), "OK (0 Errors,0 Warnings)\n");
  EXPECT_EQ(code, 0);

  // A script that does not compile is named by the config's own description.
  const std::string broken =
      Folder("loose/broken", {{"config.txt", config}, {"sig.gs", "class Home {\n"}, OneMesh()});
  out = Run({"validate", broken}, &code);
  EXPECT_NE(out.find("Syntax error in script of asset '<kuid:523:9011> \"Made 11\"'"), std::string::npos)
      << out;
  EXPECT_EQ(code, -1);
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
  // The verdict of each batch line: its summary and whether it reported a syntax error.
  auto verdicts = [&](const std::string& first, const std::string& second) {
    const std::string batch = m_tree.Write("batch.txt", "validate " + first + "\nvalidate " + second + "\n");
    const std::string out = Run({"@" + batch});
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at = out.find("OK ("); at != std::string::npos; at = out.find("OK (", at + 1)) {
      const size_t end = out.find('\n', at);
      const std::string part = out.substr(from, end - from);
      lines.push_back(out.substr(at, end - at) +
                      (part.find("Syntax error") != std::string::npos ? " syntax" : ""));
      from = end + 1;
    }
    return lines;
  };
  const std::string good = "OK (0 Errors,0 Warnings)";
  const std::string bad = "OK (2 Errors,0 Warnings) syntax";
  EXPECT_EQ(verdicts(installed, edited), (std::vector<std::string>{good, bad}));
  EXPECT_EQ(verdicts(edited, installed), (std::vector<std::string>{bad, good}));
  EXPECT_EQ(verdicts(installed, installed), (std::vector<std::string>{good, good}));
}

}  // namespace
