// Meshes loaded for an asset check: what they report, through which key and
// with which values, and what they keep for the checks that follow.
#include <gtest/gtest.h>

#include "config/Container.h"
#include "config/ErrorHandler.h"
#include "foundation/InterfaceTextDB.h"
#include "graphics/mesh/MeshData.h"
#include "kiv/Bitmap.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"
#include "kiv/render/Plugin.h"
#include "tests/graphics/mesh/MeshFixture.h"
#include "tests/graphics/mesh/SampleMeshes.h"

namespace {

using Kiv::PString;
using OBLLib::ErrorHandler;

std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

MeshFixture::Mesh Textured(std::vector<std::string> textures,
                           std::vector<std::string> materials = {"body.m.onetex"}) {
  MeshFixture::Mesh mesh;
  for (const std::string& material : materials) {
    mesh.chunks.push_back(MeshFixture::Quad(1.0f, material));
    for (uint32_t slot = 0; slot < textures.size(); ++slot)
      mesh.chunks.back().material.textures.push_back({slot, textures[slot], 1.0f});
  }
  return mesh;
}

class MeshDataTest : public ::testing::Test {
protected:
  void SetUp() override {
    InterfaceTextDB::SetFolder(std::string(ROVANA_SOURCE_DIR) + "/samples/install/strings");
    EXPECT_TRUE(ErrorHandler::Create());
    Kiv::PluginSystem::Instance().Clear();
    const Kiv::UId category("4C414E80-BBDA-11D4-9AD7-0001025364B8");
    new Kiv::ResourceType<RovanaIndexedMeshResource>(PString("im"), category, category);
    new Kiv::ResourceType<RovanaProgressiveMeshResource>(PString("pm"), category, category);
    new Kiv::ResourceType<RovanaIndexedMeshLODResource>(PString("lm"), category, category);
    new Kiv::ResourceType<RovanaIndexedMeshLODResource>(PString("lm.txt"), category, category);
    site.database = &database;
    site.display = &display;
    site.manager = &manager;
    site.assetFolder = "asset";
    site.files = &files;
  }
  void TearDown() override {
    Kiv::PluginSystem::Instance().Clear();
    ErrorHandler::Destroy();
  }
  static std::string Text(const char* key, std::initializer_list<std::string> values = {}) {
    std::string text = InterfaceTextDB::Instance().GetString(PString(key)).Str();
    size_t at = 0;
    for (const std::string& value : values) {
      at = text.find("%s", at);
      text.replace(at, 2, value);
      at += value.size();
    }
    return text;
  }
  static std::vector<std::string> Reports() {
    std::vector<std::string> out;
    for (const auto& e : ErrorHandler::Instance()->GetEntries()) out.push_back(e.text.Str());
    return out;
  }
  void Put(const std::string& name, const MeshFixture::Mesh& mesh) {
    folder.Write("asset/" + name, AsText(MeshFixture::Write(mesh)));
  }

  Kiv::TempFolder folder{"mesh-data"};
  Kiv::ResourceDatabase database{folder.Root()};
  Kiv::Display display;
  Kiv::ScriptedMaterialManager manager;
  std::unordered_map<std::string, MeshCheckSite::FileFacts> files;
  MeshCheckSite site;
  OBLLib::Container context;
};

TEST_F(MeshDataTest, AMissingMeshIsReportedOnlyWithAContext) {
  MeshData alone(site);
  EXPECT_FALSE(alone.Load(PString("asset/missing.im"), nullptr));
  EXPECT_TRUE(Reports().empty());
  MeshData withContext(site);
  EXPECT_FALSE(withContext.Load(PString("asset/missing.im"), &context));
  EXPECT_EQ(Reports(), std::vector<std::string>{Text("$obl_mesh_load_mesh", {"missing.im"})});
  EXPECT_FALSE(withContext.IsLoaded());
  EXPECT_TRUE(withContext.GetAttachments().empty());
  // Failed meshes take no animation.
  EXPECT_FALSE(withContext.LoadAnimation(PString("asset/walk.kin")));
  EXPECT_EQ(Reports().back(), Text("$obl_mesh_animationfailedmesh", {"walk.kin"}));

  LODMeshData lod(site);
  EXPECT_FALSE(lod.Load(PString("asset/missing.lm"), nullptr));
  EXPECT_EQ(Reports().size(), 2u);
}

TEST_F(MeshDataTest, EveryFailedMaterialIsReportedAndTheMeshStillLoads) {
  // Brass is of a type nothing can make, not even as its plain material;
  // gold fails twice and is reported once.
  Put("body.im",
      Textured({}, {"glass.m.onetex", "steel.m.onetex", "brass.m.notype", "gold.m.notype", "gold.m.notype"}));
  manager.ScriptAnswer("*asset*glass.m.onetex", 3);
  manager.ScriptAnswer("*asset*brass.m.notype", 4);
  manager.ScriptAnswer("*asset*gold.m.notype", 3);
  manager.ScriptAnswer("m.notype", 3);
  MeshData mesh(site);
  EXPECT_TRUE(mesh.Load(PString("Asset/Body.im"), nullptr));
  EXPECT_EQ(Reports(),
            (std::vector<std::string>{Text("$obl_mesh_failedmaterial", {"glass.m.onetex", "body.im"}),
                                      Text("$obl_mesh_failedmaterial", {"brass.m.notype", "body.im"}),
                                      Text("$obl_mesh_failedmaterial", {"gold.m.notype", "body.im"})}));
  EXPECT_EQ(mesh.PolygonCount(), 10u);
  EXPECT_EQ(mesh.GetMeshKey().View(), "asset/body.im");
  // With a context the same reports go to it.
  ErrorHandler::Instance()->Clear();
  MeshData again(site);
  EXPECT_TRUE(again.Load(PString("asset/body.im"), &context));
  EXPECT_EQ(Reports().size(), 3u);
}

std::string SampleFile(const std::string& relative) {
  std::string bytes;
  EXPECT_TRUE(Kiv::File::ReadWholeFile(std::string(ROVANA_SOURCE_DIR) + "/samples/" + relative, bytes));
  return bytes;
}

std::string Tga() {
  Kiv::Bitmap bitmap;
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(bitmap.Create(4, 4, Kiv::Bitmap::FormatRGB24) &&
              bitmap.SaveToMemory(Kiv::Bitmap::FileType::TGA, bytes));
  return AsText(bytes);
}

TEST_F(MeshDataTest, TexturesResolveThroughTheirDescriptions) {
  const std::string png = SampleFile("textures/brick.png");
  const std::string converted = SampleFile("userdata/local/clean_shed/brick.texture");
  // The description's "Primary=" line is the last, without a line end.
  folder.Write("asset/brick.texture.txt", "Tile=st\r\nPrimary=Brick.PNG");
  folder.Write("asset/brick.png", png);
  folder.Write("asset/stone.texture.txt", "Primary=stone.png\n");  // its image is missing
  folder.Write("asset/packed.texture", converted);                 // no description needed
  folder.Write("asset/glass.texture.txt", "Tile=st\n");            // no image: the file checks say so
  folder.Write("asset/direct.tga", Tga());
  // Files that are there but do not load.
  folder.Write("asset/text.texture", "Primary=brick.png\n");
  folder.Write("asset/cut.texture", converted.substr(0, 100));
  folder.Write("asset/garbage.tga", std::string(300, '\x5a'));
  folder.Write("asset/broken.texture.txt", "Primary=broken.png\n");
  folder.Write("asset/broken.png", png.substr(0, png.size() / 2));
  Put("body.im", Textured({"brick.texture", "stone.texture", "packed.texture", "glass.texture",
                           "gone.texture", "odd%s%n.texture", "direct.tga", "text.texture", "cut.texture",
                           "garbage.tga", "broken.texture"}));
  MeshData mesh(site);
  EXPECT_TRUE(mesh.Load(PString("asset/body.im"), &context));
  // Names are reported as given, never read as formats.
  EXPECT_EQ(Reports(),
            (std::vector<std::string>{Text("$obl_mesh_load_texture", {"stone.texture", "body.im"}),
                                      Text("$obl_mesh_load_texture", {"gone.texture", "body.im"}),
                                      Text("$obl_mesh_load_texture", {"odd%s%n.texture", "body.im"}),
                                      Text("$obl_mesh_load_texture", {"text.texture", "body.im"}),
                                      Text("$obl_mesh_load_texture", {"cut.texture", "body.im"}),
                                      Text("$obl_mesh_load_texture", {"garbage.tga", "body.im"}),
                                      Text("$obl_mesh_load_texture", {"broken.texture", "body.im"})}));

  // Each description and image is asked about and probed once in a check,
  // for every mesh that names it: what was found holds for the whole check.
  const size_t asked = files.size();
  folder.Write("asset/cut.texture", converted);
  Put("second.im", Textured({"brick.texture", "cut.texture"}));
  MeshData second(site);
  ErrorHandler::Instance()->Clear();
  EXPECT_TRUE(second.Load(PString("asset/second.im"), &context));
  EXPECT_EQ(files.size(), asked);
  EXPECT_EQ(Reports(),
            std::vector<std::string>{Text("$obl_mesh_load_texture", {"cut.texture", "second.im"})});
}

TEST_F(MeshDataTest, AttachmentsSkeletonAndAnimations) {
  auto skinned = MeshFixture::SampleMeshes()[1].second;  // two bones, one attachment
  folder.Write("asset/skinned.im", AsText(skinned));
  folder.Write("asset/walk.kin", "k");
  MeshFixture::Mesh plain = Textured({});
  plain.attachments = std::vector<MeshFixture::Attachment>{{"lights/front/a.lamp"}, {"a.door"}};
  Put("plain.im", plain);

  MeshData mesh(site);
  ASSERT_TRUE(mesh.Load(PString("asset/plain.im"), &context));
  ASSERT_EQ(mesh.AttachmentCount(), 2u);
  EXPECT_EQ(mesh.GetAttachments()[0].name.View(), "a.lamp");
  EXPECT_EQ(mesh.Info().attachmentPoints[0], PString("a.lamp"));
  EXPECT_TRUE(mesh.GetParticles().empty());
  EXPECT_FALSE(mesh.LoadAnimation(PString("asset/walk.kin")));
  EXPECT_EQ(Reports().back(), Text("$obl_mesh_animationfailedskeleton", {"walk.kin"}));

  MeshData bones(site);
  ASSERT_TRUE(bones.Load(PString("asset/skinned.im"), &context));
  EXPECT_EQ(bones.GetAttachments()[0].position[0], 2.0f);
  EXPECT_FALSE(bones.LoadAnimation(PString("asset/run.kin")));
  EXPECT_EQ(Reports().back(), Text("$obl_mesh_animationfailedres", {"run.kin"}));
  EXPECT_TRUE(bones.LoadAnimation(PString("Asset/Walk.kin")));
  EXPECT_TRUE(bones.LoadAnimation(PString("asset/walk.kin")));
  ASSERT_EQ(bones.GetAnimations().size(), 2u);  // accepted twice, listed twice
  EXPECT_EQ(bones.GetAnimations()[0].first.View(), "asset/walk.kin");

  // A progressive mesh loads with nothing checked or kept.
  folder.Write("asset/quad.pm", AsText(MeshFixture::SampleMeshes()[2].second));
  ErrorHandler::Instance()->Clear();
  MeshData progressive(site);
  EXPECT_TRUE(progressive.Load(PString("asset/quad.pm"), &context));
  EXPECT_FALSE(progressive.IsLoaded());
  EXPECT_TRUE(Reports().empty());
  EXPECT_FALSE(progressive.LoadAnimation(PString("asset/walk.kin")));
}

TEST_F(MeshDataTest, LevelsAndTheirPolygons) {
  Put("lod0.im", Textured({}));
  MeshFixture::Mesh coarse;
  coarse.chunks.push_back(MeshFixture::Bar(3));
  Put("lod1.im", coarse);
  folder.Write("asset/car.lm.txt", "mesh 0 { name lod0.im }\nmesh 10 { name lod1.im }\n");
  LODMeshData lod(site);
  ASSERT_TRUE(lod.Load(PString("asset/car.lm.txt"), &context));
  ASSERT_EQ(lod.LevelCount(), 2u);
  EXPECT_EQ(lod.PolygonCount(), 2u);
  lod.SelectLevel(1);
  EXPECT_EQ(lod.PolygonCount(), 6u);
  lod.SelectLevel(2);  // out of range: nothing changes
  EXPECT_EQ(lod.SelectedLevel(), 1u);
  EXPECT_EQ(lod.PolygonCount(), 6u);
  EXPECT_TRUE(Reports().empty());

  // A plain mesh named as a LOD mesh cannot be set up as one.
  LODMeshData wrong(site);
  EXPECT_FALSE(wrong.Load(PString("asset/lod0.im"), &context));
  EXPECT_EQ(Reports(), std::vector<std::string>{Text("$obl_mesh_initialise_mesh", {"lod0.im"})});
  // A text naming a missing level fails to lock.
  folder.Write("asset/broken.lm.txt", "mesh 0 { name gone.im }\n");
  LODMeshData broken(site);
  EXPECT_FALSE(broken.Load(PString("asset/broken.lm.txt"), nullptr));
  EXPECT_EQ(Reports().size(), 1u);
}

}  // namespace

namespace {

// What a check finds of an asset's files it remembers for that check only:
// the next check of the same asset sees a file added in between.
TEST(MeshDataLoaderChecks, ANewCheckSeesFilesAddedSinceTheLast) {
  Kiv::TempFolder folder{"mesh-checks"};
  Kiv::Display display;
  Kiv::ScriptedMaterialManager manager;
  MeshDataLoader loader(&display, &manager);
  MeshCheckSite site;
  ASSERT_TRUE(loader.Site(folder.Root(), "asset", 1, site));
  EXPECT_FALSE(site.database->ResolveName("asset/late.im"));
  folder.Write("asset/late.im", "x");
  ASSERT_TRUE(loader.Site(folder.Root(), "asset", 1, site));
  const Kiv::ResourceDatabase* first = site.database;
  ASSERT_TRUE(loader.Site(folder.Root(), "asset", 2, site));
  EXPECT_NE(site.database, first);
  EXPECT_TRUE(site.database->ResolveName("asset/late.im"));
}

}  // namespace
