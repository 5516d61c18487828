// Mesh files as resources of a content folder: found by suffix, loaded by
// their first lock, what a failed load leaves, and what they say about the
// materials and textures they wait for.
#include <gtest/gtest.h>

#include "graphics/mesh/RovanaGeometryResource.h"
#include "kiv/TempFolder.h"
#include "kiv/render/Plugin.h"
#include "kiv/render/RenderKernel.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

using Kiv::PString;

std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A texture whose load the test decides.
struct ScriptedTexture : Kiv::Texture {
  enum Outcome { kLoads, kFails, kStaysWaiting };
  ScriptedTexture(Outcome outcome, Kiv::Resource* source = nullptr)
      : Kiv::Texture(PString("t"), false), m_outcome(outcome), m_source(source) {}
  void Load() override {
    ++loads;
    if (m_outcome == kLoads) SetLoaded(true);
  }
  bool HasFailed() const override { return m_outcome == kFails && loads > 0; }
  Kiv::Resource* GetResource() const override { return m_source; }
  int loads = 0;
  Outcome m_outcome;
  Kiv::Resource* m_source;
};

// A resource that never finishes loading, or fails.
struct SourceResource : Kiv::Resource {
  explicit SourceResource(int state) : Kiv::Resource(PString(), PString("t.texture")), m_state(state) {}
  int IsAllLoaded() override { return m_state; }
  int m_state;
};

// A material whose loaded code and textures the test decides.
struct ScriptedMaterial : Kiv::Material {
  ScriptedMaterial() : Kiv::Material(PString("onetex")) {}
  int IsLoaded() const override { return code; }
  std::shared_ptr<Kiv::Texture> GetTexture(uint32_t slot) const override {
    return slot < textures.size() ? textures[slot] : nullptr;
  }
  void AddTexture(std::shared_ptr<Kiv::Texture> texture) {
    SetTextureDefinition(uint32_t(textures.size()), PString("t"), 1.0f);
    textures.push_back(std::move(texture));
  }
  int code = 0;
  std::vector<std::shared_ptr<Kiv::Texture>> textures;
};

struct ScriptedManager : Kiv::MaterialManager {
  int Find(std::string_view key, std::shared_ptr<Kiv::Material>& out) override {
    (void)key;
    made.push_back(std::make_shared<ScriptedMaterial>());
    out = made.back();
    return 0;
  }
  std::vector<std::shared_ptr<ScriptedMaterial>> made;
};

MeshFixture::Mesh TwoChunkMesh(float offset) {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Grid(2, offset));
  mesh.chunks.push_back(MeshFixture::Quad(1.0f, "glass.m.onetex"));
  return mesh;
}

class MeshResources : public ::testing::Test {
protected:
  void SetUp() override {
    Kiv::PluginSystem::Instance().Clear();
    const Kiv::UId category("4C414E80-BBDA-11D4-9AD7-0001025364B8");
    new Kiv::ResourceType<RovanaIndexedMeshResource>(PString("im"), category, category);
    new Kiv::ResourceType<RovanaProgressiveMeshResource>(PString("pm"), category, category);
    new Kiv::ResourceType<RovanaIndexedMeshLODResource>(PString("lm"), category, category);
    new Kiv::ResourceType<RovanaIndexedMeshLODResource>(PString("lm.txt"), category, category);
    folder.Write("car/lod0.im", AsText(MeshFixture::Write(TwoChunkMesh(0.0f))));
    folder.Write("car/lod1.im", AsText(MeshFixture::Write(TwoChunkMesh(5.0f))));
    folder.Write("car/Car.lm.txt", "mesh 0 { name lod0.im }\nmesh 10 { name lod1.im }\n");
    folder.Write("car/broken.lm.txt", "mesh 0 { name lod0.im }\nmesh 10 { name missing.im }\n");
    folder.Write("car/broken.lm", "KVXB");
    folder.Write("car/notes.txt", "x");
  }
  void TearDown() override { Kiv::PluginSystem::Instance().Clear(); }

  template <class T>
  T* Get(std::string_view name) {
    Kiv::Resource* resource = database.GetResource(name);
    auto* typed = dynamic_cast<T*>(resource);
    if (typed) typed->SetDisplay(&display, &manager);
    return typed;
  }

  Kiv::TempFolder folder{"mesh-resources"};
  Kiv::ResourceDatabase database{folder.Root(), PString("<kuid:7:8>")};
  Kiv::Display display;
  ScriptedManager manager;
};

TEST_F(MeshResources, FoundBySuffixOncePerName) {
  Kiv::Resource* text = database.GetResource("CAR\\car.LM.TXT");
  ASSERT_NE(dynamic_cast<RovanaIndexedMeshLODResource*>(text), nullptr);
  EXPECT_TRUE(text->IsTextForm());
  EXPECT_EQ(text->GetPath().View(), "car/car.lm.txt");
  EXPECT_EQ(text->GetOwnerName().View(), "<kuid:7:8>");
  EXPECT_EQ(database.GetResource("car/car.lm.txt"), text);
  EXPECT_NE(dynamic_cast<RovanaIndexedMeshResource*>(database.GetResource("car/lod0.im")), nullptr);
  EXPECT_FALSE(database.GetResource("car/lod0.im")->IsTextForm());
  EXPECT_EQ(database.GetResource("car/missing.im"), nullptr);
  EXPECT_EQ(database.GetResource("car/notes.txt"), nullptr);  // no type has the suffix
  EXPECT_EQ(database.GetResource("../car/lod0.im"), nullptr);
}

TEST_F(MeshResources, LockLoadsAndAFailedLoadKeepsOnlyATextDefinition) {
  auto* text = Get<RovanaIndexedMeshLODResource>("car/car.lm.txt");
  ASSERT_NE(text, nullptr);
  ASSERT_EQ(text->Lock(), 0);
  ASSERT_NE(text->GetLODDefinition(), nullptr);
  EXPECT_EQ(text->GetLODDefinition()->GetLevels().size(), 2u);
  EXPECT_EQ(text->GetLODDefinition()->GetNumOwnedObjects(), 0u);  // completed and let go
  EXPECT_GT(text->CalculateDataSize(), 0u);
  text->Unlock();

  auto* brokenText = Get<RovanaIndexedMeshLODResource>("car/broken.lm.txt");
  ASSERT_NE(brokenText, nullptr);
  EXPECT_EQ(brokenText->Lock(), 1);
  EXPECT_EQ(brokenText->GetLastReadResult(), 2);  // the missing level mesh's code
  ASSERT_NE(brokenText->GetDefinition(), nullptr);
  EXPECT_EQ(brokenText->GetLODDefinition()->GetLevels().size(), 1u);  // what was read stays

  auto* broken = Get<RovanaIndexedMeshLODResource>("car/broken.lm");
  ASSERT_NE(broken, nullptr);
  EXPECT_EQ(broken->Lock(), 1);
  EXPECT_EQ(broken->GetLastReadResult(), 3);
  EXPECT_EQ(broken->GetDefinition(), nullptr);
  EXPECT_EQ(broken->CalculateDataSize(), 0u);
  EXPECT_EQ(broken->Lock(), 1);  // a failed resource stays failed

  // Without a display nothing loads; without a manager the read fails.
  RovanaIndexedMeshResource noDisplay(PString(), PString("car/lod0.im"), &database);
  EXPECT_EQ(noDisplay.Load("car/lod0.im"), 1);
  EXPECT_EQ(noDisplay.GetDefinition(), nullptr);
  RovanaIndexedMeshLODResource noManager(PString(), PString("car/car.lm.txt"), &database);
  noManager.SetDisplay(&display, nullptr);
  EXPECT_EQ(noManager.LoadTxt("car/car.lm.txt"), 1);
  EXPECT_EQ(noManager.GetLastReadResult(), 5);
}

TEST_F(MeshResources, TheBinaryFormSharesEqualMaterialsOfItsLevels) {
  auto* text = Get<RovanaIndexedMeshLODResource>("car/car.lm.txt");
  ASSERT_EQ(text->Lock(), 0);
  std::vector<uint8_t> bytes;
  ASSERT_EQ(text->GetLODDefinition()->WriteLODFile(bytes), 0);
  folder.Write("car/car.lm", AsText(bytes));
  auto* binary = Get<RovanaIndexedMeshLODResource>("car/car.lm");
  ASSERT_EQ(binary->Lock(), 0);
  const auto& levels = binary->GetLODDefinition()->GetLevels();
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[1].materials[0], levels[0].materials[0]);
  EXPECT_EQ(levels[1].materials[1], levels[0].materials[0]);  // the same type and class
  EXPECT_EQ(binary->GetDefinition()->GetMaterials(), levels[1].materials);
}

TEST_F(MeshResources, WhatTheMaterialsAndTexturesWaitFor) {
  auto* resource = Get<RovanaIndexedMeshResource>("car/lod0.im");
  ASSERT_EQ(resource->Load("car/lod0.im"), 0);
  ASSERT_EQ(manager.made.size(), 2u);
  ScriptedMaterial& first = *manager.made[0];
  ScriptedMaterial& second = *manager.made[1];
  EXPECT_EQ(resource->IsAllLoaded(), 0);  // both materials loaded
  EXPECT_TRUE(resource->LoadAll());

  // Not loaded and no texture to wait for: it cannot load.
  second.code = Kiv::kMaterialNotLoaded;
  EXPECT_EQ(resource->IsAllLoaded(), 1);

  // A material waiting for a texture that loads when asked.
  auto loads = std::make_shared<ScriptedTexture>(ScriptedTexture::kLoads);
  second.AddTexture(loads);
  EXPECT_EQ(resource->IsAllLoaded(), 5);
  EXPECT_TRUE(resource->LoadAll());
  EXPECT_EQ(loads->loads, 1);
  EXPECT_EQ(resource->IsAllLoaded(), 5);  // every texture is loaded, the material not yet
  EXPECT_TRUE(resource->LoadAll());
  EXPECT_EQ(loads->loads, 1);  // a loaded texture is not asked again

  // A texture that fails: the first texture still loading decides.
  auto fails = std::make_shared<ScriptedTexture>(ScriptedTexture::kFails);
  first.code = Kiv::kMaterialNotLoaded;
  first.AddTexture(fails);
  EXPECT_EQ(resource->IsAllLoaded(), 5);  // not asked to load yet
  EXPECT_FALSE(resource->LoadAll());
  EXPECT_EQ(resource->IsAllLoaded(), 1);

  // A texture whose resource cannot load.
  SourceResource failedSource(1), waitingSource(5);
  first.textures[0] = std::make_shared<ScriptedTexture>(ScriptedTexture::kStaysWaiting, &failedSource);
  EXPECT_EQ(resource->IsAllLoaded(), 1);
  first.textures[0] = std::make_shared<ScriptedTexture>(ScriptedTexture::kStaysWaiting, &waitingSource);
  EXPECT_EQ(resource->IsAllLoaded(), 5);
  EXPECT_TRUE(resource->LoadAll());  // waiting is no failure

  // A material that failed outright.
  first.code = 7;
  EXPECT_EQ(resource->IsAllLoaded(), 1);
  first.code = 0;
  second.code = 0;
  EXPECT_EQ(resource->IsAllLoaded(), 0);
}

TEST_F(MeshResources, TheOtherKindsLoadThroughTheirOwnReaders) {
  MeshFixture::Mesh progressive = TwoChunkMesh(0.0f);
  progressive.form = "IDXM";
  progressive.progressive = MeshFixture::Progressive{};
  folder.Write("car/body.pm", AsText(MeshFixture::Write(progressive)));
  auto* pm = Get<RovanaProgressiveMeshResource>("car/body.pm");
  ASSERT_NE(pm, nullptr);
  ASSERT_EQ(pm->Lock(), 0);
  EXPECT_EQ(pm->GetDefinition()->GetNumChunks(), 2u);
  EXPECT_GT(pm->CalculateDataSize(), 0u);
  auto* im = Get<RovanaIndexedMeshResource>("car/lod1.im");
  ASSERT_EQ(im->Lock(), 0);
  EXPECT_EQ(im->GetLockCount(), 1);
  EXPECT_EQ(im->LoadComplete(42), 42);
}

}  // namespace
