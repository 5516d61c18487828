// The sample meshes and fuzz seeds are the fixture writer's output. Run with
// ROVANA_WRITE_MESH_SAMPLES=1 to write them again after changing the writer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
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

}  // namespace
