// The sample meshes and fuzz seeds are the fixture writer's output. Run with
// ROVANA_WRITE_MESH_SAMPLES=1 to write them again after changing the writer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"
#include "kiv/TempFolder.h"
#include "graphics/mesh/RovanaProgressiveMeshDefinition.h"
#include "kiv/File.h"
#include "tests/graphics/mesh/SampleMeshes.h"

namespace {

std::string SourceDir() {
  const char* env = std::getenv("ROVANA_SOURCE_DIR");
  return env ? env : ROVANA_SOURCE_DIR;
}

void CheckOrWrite(const std::string& folder,
                  const std::vector<std::pair<std::string, std::vector<uint8_t>>>& files) {
  const bool write = std::getenv("ROVANA_WRITE_MESH_SAMPLES") != nullptr;
  for (auto& [name, bytes] : files) {
    const std::string path = folder + "/" + name;
    if (write) {
      ASSERT_TRUE(Kiv::File::CreateDirectories(folder));
      ASSERT_TRUE(Kiv::File::ReplaceFileAtomic(path, bytes.data(), bytes.size()));
    }
    std::vector<uint8_t> stored;
    ASSERT_TRUE(Kiv::File::ReadWholeFile(path, stored)) << path;
    EXPECT_EQ(stored, bytes) << path << " differs from the fixture writer's output";
  }
}

TEST(SampleMeshes, AreTheFixtureWritersOutputAndLoad) {
  CheckOrWrite(SourceDir() + "/samples/meshes", MeshFixture::SampleMeshes());
  CheckOrWrite(SourceDir() + "/fuzz/corpus/mesh_load", MeshFixture::FuzzSeeds());
  for (auto& [name, bytes] : MeshFixture::FuzzSeeds()) {
    const bool progressive = name.ends_with(".pm");
    std::unique_ptr<RovanaIndexedMeshDefinition> definition =
        progressive ? std::make_unique<RovanaProgressiveMeshDefinition>()
                    : std::make_unique<RovanaIndexedMeshDefinition>();
    definition->SetFileData(bytes, name);
    Kiv::ScriptedMaterialManager manager;
    Kiv::Resource resource(Kiv::PString("<kuid:1:1>"), Kiv::PString(name));
    EXPECT_EQ(definition->Load(nullptr, &manager, &resource, name, 0), 0) << name;
    EXPECT_EQ(definition->FinishMaterials(), 0) << name;
  }
}

TEST(SampleMeshes, TheSampleAssetsMeshesAreTheFixtureWritersOutput) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (auto& asset : MeshFixture::SampleAssetMeshes()) files.emplace_back(asset.path, asset.bytes);
  // The tower's LOD files, written from texts that list their one level.
  for (const char* name : {"tower", "lamp"}) {
    Kiv::TempFolder folder("sample-tower");
    const std::string material =
        name == std::string("tower") ? "steel.m.onetex" : "lamp.m.nosuchmaterialtype";
    const std::vector<uint8_t> level = MeshFixture::Write(MeshFixture::TowerLevel(material));
    folder.Write("level0.im", std::string(level.begin(), level.end()));
    folder.Write("tower.lm.txt", "mesh 0 { name level0.im }\n");
    Kiv::ScriptedMaterialManager manager;
    Kiv::ResourceDatabase database(folder.Root());
    Kiv::Resource resource(Kiv::PString("<kuid:523:1015>"), Kiv::PString("tower.lm.txt"), &database);
    RovanaIndexedMeshLODDefinition tower;
    ASSERT_EQ(tower.LoadLODText(nullptr, &manager, &resource, "tower.lm.txt", 0xFFFFFFFFu), 0);
    ASSERT_EQ(tower.GetLevels().size(), 1u);
    EXPECT_EQ(tower.GetLevels()[0].faceTotal, 200u);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(tower.WriteLODFile(bytes), 0);
    files.emplace_back(std::string("lod_tower/") + name + ".lm", bytes);
  }
  CheckOrWrite(SourceDir() + "/samples/userdata/local", files);
}

}  // namespace
