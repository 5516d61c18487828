// Mesh instances in a scene: what culling lists and what the display is
// asked to draw, the instance each mesh resource makes, the progressive and
// skinned variants, and skinned chunks added or merged.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "graphics/mesh/RovanaDynamicMeshInstance.h"
#include "graphics/mesh/RovanaGeometryResource.h"
#include "graphics/mesh/RovanaIndexedMeshLODInstance.h"
#include "kiv/TempFolder.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

using Kiv::PString;

std::string AsText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// A bar of two segments skinned by two bones: "root" at the origin holds
// the first column, "tip" at x = 1 the last, the middle column is shared.
MeshFixture::Mesh SkinnedBar() {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Bar(2));
  std::vector<MeshFixture::Influence> bones(2);
  bones[0].name = "root";
  bones[0].references = {{0, {{0, 1, 0, 0}, {1, 1, 0, 1}, {2, 0.5f, 1, 0}, {3, 0.5f, 1, 1}}}};
  bones[1].name = "tip";
  bones[1].parent = "root";
  bones[1].position[0] = 1;
  bones[1].references = {{0, {{2, 0.5f, 0, 0}, {3, 0.5f, 0, 1}, {4, 1, 1, 0}, {5, 1, 1, 1}}}};
  mesh.influences = bones;
  return mesh;
}

// Two quads that follow the bones "root" and "arm" of a skeleton.
MeshFixture::Mesh RiggedQuads() {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(1.0f));
  mesh.chunks.push_back(MeshFixture::Quad(1.0f, "glass.m.onetex"));
  mesh.chunks[0].geometry.name = "root";
  mesh.chunks[1].geometry.name = "arm";
  MeshFixture::Bone root("root");
  root.children.emplace_back("arm");
  root.children[0].position[1] = 2;
  mesh.skeleton = root;
  mesh.attachments = std::vector<MeshFixture::Attachment>{{"p.light"}, {"Pdoor"}, {"a.seat"}, {"xp"}};
  return mesh;
}

struct Scene {
  Kiv::TempFolder folder{"mesh-drawing"};
  Kiv::ResourceDatabase database{folder.Root(), PString("<kuid:7:8>")};
  Kiv::Display display;
  Kiv::ScriptedMaterialManager manager;
  Kiv::Camera camera;
  std::vector<std::unique_ptr<Kiv::Resource>> resources;
  std::shared_ptr<Kiv::Particle> root = std::make_shared<Kiv::Particle>(PString("scene"));
  Kiv::ViewPoint view{display, camera};

  ~Scene() { root.reset(); }

  template <class R>
  R* Load(const std::string& name, const std::string& bytes, bool text = false) {
    folder.Write(name, bytes);
    auto resource = std::make_unique<R>(PString("<kuid:7:8>"), PString(name), &database);
    resource->SetDisplay(&display, &manager);
    resource->SetTextForm(text);
    EXPECT_EQ(resource->Lock(), 0) << name;
    R* raw = resource.get();
    resources.push_back(std::move(resource));
    return raw;
  }
  // Culls and draws one frame; the draws of each chunk.
  std::map<const Kiv::GeometryChunk*, int> Frame() {
    display.ClearDraws();
    view.NextFrame();
    view.RenderFrame(*root);
    std::map<const Kiv::GeometryChunk*, int> draws;
    for (const Kiv::DisplayDraw& draw : display.Draws()) ++draws[draw.chunk];
    return draws;
  }
};

std::vector<float> Positions(const Kiv::GeometryChunk& chunk) {
  std::vector<float> out;
  const Kiv::ElementArray p = chunk.GetElement(Kiv::kElementPosition);
  for (uint32_t v = 0; v < chunk.GetNumVertices(); ++v) {
    const float* xyz = reinterpret_cast<const float*>(p.data + size_t(v) * p.stride);
    out.insert(out.end(), xyz, xyz + 3);
  }
  return out;
}

void ExpectNear(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-5f) << "coordinate " << i;
}

TEST(MeshDrawing, EachResourceMakesItsKindOfInstance) {
  Scene scene;
  MeshFixture::Mesh plain;
  plain.chunks.push_back(MeshFixture::Quad());
  const std::string plainBytes = AsText(MeshFixture::Write(plain));
  const std::string skinnedBytes = AsText(MeshFixture::Write(SkinnedBar()));
  const auto Id = [](const std::shared_ptr<Kiv::Particle>& p) { return p ? p->GetID() : 0u; };
  EXPECT_EQ(Id(scene.Load<RovanaIndexedMeshResource>("a.im", plainBytes)->CreateMeshInstance()), 17u);
  EXPECT_EQ(Id(scene.Load<RovanaIndexedMeshResource>("b.im", skinnedBytes)->CreateMeshInstance()), 18u);
  EXPECT_EQ(Id(scene.Load<RovanaProgressiveMeshResource>("c.pm", plainBytes)->CreateMeshInstance()), 19u);
  EXPECT_EQ(Id(scene.Load<RovanaProgressiveMeshResource>("d.pm", skinnedBytes)->CreateMeshInstance()), 20u);
  scene.folder.Write("bar.im", skinnedBytes);
  scene.folder.Write("quad.im", plainBytes);
  auto* lod = scene.Load<RovanaIndexedMeshLODResource>("plain.lm.txt", "mesh 0 { name quad.im }\n", true);
  EXPECT_EQ(Id(lod->CreateMeshInstance()), 21u);
  auto* boned = scene.Load<RovanaIndexedMeshLODResource>("boned.lm.txt", "mesh 0 { name bar.im }\n", true);
  EXPECT_EQ(Id(boned->CreateMeshInstance()), 22u);

  // An instance keeps its resource locked while it lives.
  auto* resource = scene.Load<RovanaIndexedMeshResource>("e.im", plainBytes);
  const int locks = resource->GetLockCount();
  {
    auto instance = resource->CreateMeshInstance();
    auto clone = instance->CreateInstance();
    EXPECT_EQ(resource->GetLockCount(), locks + 2);
  }
  EXPECT_EQ(resource->GetLockCount(), locks);
  // Without a display nothing is made.
  resource->SetDisplay(nullptr, nullptr);
  EXPECT_EQ(resource->CreateMeshInstance(), nullptr);
}

TEST(MeshDrawing, CullingListsVisibleInstancesAndDrawsEveryChunkOnce) {
  Scene scene;
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Grid(2, 0.0f));
  mesh.chunks.push_back(MeshFixture::Quad(1.0f, "glass.m.onetex"));
  auto* resource = scene.Load<RovanaIndexedMeshResource>("m.im", AsText(MeshFixture::Write(mesh)));
  auto instance = std::static_pointer_cast<RovanaIndexedMeshInstance>(resource->CreateMeshInstance());
  instance->position[0] = 10;
  EXPECT_TRUE(scene.root->Add(instance));
  auto draws = scene.Frame();
  ASSERT_EQ(scene.view.GetRenderList().size(), 1u);
  EXPECT_FLOAT_EQ(instance->GetStoredMatrix().m[12], 10);
  ASSERT_EQ(draws.size(), 2u);
  for (const auto& chunk : *instance->GetChunks()) EXPECT_EQ(draws[chunk.get()], 1);
  // Lighting is worked out on the first draw only, until it is marked changed.
  EXPECT_EQ(instance->GetLightingCalculations(), 1u);
  scene.Frame();
  EXPECT_EQ(instance->GetLightingCalculations(), 1u);
  instance->SetUpdateLighting(true);
  scene.Frame();
  EXPECT_EQ(instance->GetLightingCalculations(), 2u);

  // A transparent instance is neither listed nor given mip levels; a node
  // culled off takes its subtree with it.
  (*instance->GetMaterials())[0]->SetWantedMipLevel(7);
  instance->SetOpacity(0);
  EXPECT_EQ((*instance->GetChunks())[0]->GetOpacity(), 0.0f);
  EXPECT_TRUE(scene.Frame().empty());
  EXPECT_TRUE(scene.view.GetRenderList().empty());
  EXPECT_EQ((*instance->GetMaterials())[0]->GetWantedMipLevel(), 7);
  instance->SetOpacity(1);
  scene.root->state |= Kiv::Particle::kStateCulledOff;
  EXPECT_TRUE(scene.Frame().empty());
  scene.root->state = 0;
  EXPECT_EQ(scene.Frame().size(), 2u);

  // The direct draw: one draw per chunk with faces, lit through the material.
  scene.display.ClearDraws();
  instance->DrawGeometry(scene.display, scene.camera, Kiv::Matrix4::Identity(), true);
  EXPECT_EQ(scene.display.Draws().size(), 2u);
}

TEST(MeshDrawing, ChunksFollowTheirBonesAndAreDrawnOnlyWhenTheBoneIsVisited) {
  Scene scene;
  auto* resource = scene.Load<RovanaIndexedMeshResource>("rig.im", AsText(MeshFixture::Write(RiggedQuads())));
  auto instance = std::static_pointer_cast<RovanaIndexedMeshInstance>(resource->CreateMeshInstance());
  ASSERT_EQ(instance->GetID(), 17u);
  ASSERT_EQ(instance->GetChunkNodes().size(), 2u);
  Kiv::Particle* arm = instance->FindByName(PString("arm"));
  ASSERT_NE(arm, nullptr);
  EXPECT_EQ(instance->GetChunkNodes()[1], arm);
  // Names beginning with p or P are reference points, with a or A attachment points.
  ASSERT_EQ(instance->GetReferencePoints().size(), 2u);
  EXPECT_EQ(instance->GetReferencePoints()[0]->GetName().View(), "p");
  EXPECT_EQ(instance->GetReferencePoints()[1]->GetName().View(), "Pdoor");
  EXPECT_EQ(instance->GetAttachmentPoints().size(), 1u);

  EXPECT_TRUE(scene.root->Add(instance));
  scene.display.ClearRequests();
  auto draws = scene.Frame();
  EXPECT_EQ(draws.size(), 2u);
  // The arm's chunk is drawn where the arm is (two units up).
  std::vector<std::vector<float>> places;
  for (const auto& request : scene.display.Requests())
    if (request.operation == "SetWorldTransform") places.push_back(request.values);
  ASSERT_EQ(places.size(), 2u);
  EXPECT_EQ(places[1], (std::vector<float>{0, 2, 0}));

  arm->state |= Kiv::Particle::kStateCulledOff;
  draws = scene.Frame();
  ASSERT_EQ(draws.size(), 1u);
  EXPECT_EQ(draws.begin()->first, (*instance->GetChunks())[0].get());

  // A clone follows its own bones.
  auto clone = std::static_pointer_cast<RovanaIndexedMeshInstance>(instance->CreateInstance());
  ASSERT_EQ(clone->GetChunkNodes().size(), 2u);
  EXPECT_NE(clone->GetChunkNodes()[1], arm);
  EXPECT_EQ(clone->GetChunkNodes()[1], clone->FindByName(PString("arm")));
  EXPECT_TRUE(scene.root->Add(clone));
  EXPECT_EQ(scene.Frame().size(), 2u);  // the clone's arm is visible
}

TEST(MeshDrawing, ChunksAddAndMergeOnlyWhenFreeAndAlike) {
  Scene scene;
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(1.0f));
  auto* resource = scene.Load<RovanaIndexedMeshResource>("m.im", AsText(MeshFixture::Write(mesh)));
  auto instance = std::static_pointer_cast<RovanaIndexedMeshInstance>(resource->CreateMeshInstance());
  auto clone = std::static_pointer_cast<RovanaIndexedMeshInstance>(instance->CreateInstance());
  const auto shared = instance->GetChunks();
  auto extra = std::shared_ptr<Kiv::GeometryChunk>((*shared)[0]->Clone());
  auto material = (*instance->GetMaterials())[0];

  extra->SetOwner(clone.get());
  EXPECT_FALSE(instance->AddChunk(extra, material));
  extra->SetOwner(nullptr);
  extra->SetFlags(extra->GetFlags() | RovanaIndexedMeshInstance::kChunkNotFree);
  EXPECT_FALSE(instance->AddChunk(extra, material));
  EXPECT_FALSE(instance->MergeChunk(*extra, *material, 0));
  extra->SetFlags(extra->GetFlags() & ~RovanaIndexedMeshInstance::kChunkNotFree);
  EXPECT_EQ(instance->GetChunkCount(), 1u);

  ASSERT_TRUE(instance->AddChunk(extra, material));
  EXPECT_EQ(instance->GetChunkCount(), 2u);
  EXPECT_EQ(clone->GetChunkCount(), 1u);  // the clone keeps the arrays it shared
  EXPECT_EQ(clone->GetChunks(), shared);

  // Merging needs materials that accept each other and an index in range.
  Kiv::Material other(PString("other"));
  EXPECT_FALSE(instance->MergeChunk(*extra, other, 0));
  EXPECT_FALSE(instance->MergeChunk(*extra, *material, 2));
  ASSERT_TRUE(instance->MergeChunk(*extra, *material, 0));
  EXPECT_EQ((*instance->GetChunks())[0]->GetNumVertices(), 8u);
  EXPECT_EQ((*shared)[0]->GetNumVertices(), 4u);  // the shared chunk is untouched
  EXPECT_EQ(instance->GetPolygonCount(), 6u);

  // Copies of chunks and materials: out of range changes nothing.
  const auto before = instance->GetChunks();
  instance->CloneChunk(5);
  instance->CloneMaterial(5);
  EXPECT_EQ(instance->GetChunks(), before);
  instance->CloneMaterial(1);
  EXPECT_NE((*instance->GetMaterials())[1], material);
}

TEST(MeshDrawing, ProgressiveInstancesOwnTheirChunksAndRefuseNewOnes) {
  Scene scene;
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(1.0f));
  auto* resource = scene.Load<RovanaProgressiveMeshResource>("m.pm", AsText(MeshFixture::Write(mesh)));
  auto instance = std::static_pointer_cast<RovanaProgressiveMeshInstance>(resource->CreateMeshInstance());
  ASSERT_NE(instance->GetProgressiveDefinition(), nullptr);
  const Kiv::GeometryChunk* defined = resource->GetDefinition()->GetChunk(0);
  EXPECT_NE((*instance->GetChunks())[0].get(), defined);
  auto clone = std::static_pointer_cast<RovanaProgressiveMeshInstance>(instance->CreateInstance());
  EXPECT_NE((*clone->GetChunks())[0], (*instance->GetChunks())[0]);
  EXPECT_EQ(clone->GetProgressiveDefinition(), instance->GetProgressiveDefinition());

  auto extra = std::shared_ptr<Kiv::GeometryChunk>(defined->Clone());
  const auto chunks = instance->GetChunks();
  EXPECT_FALSE(instance->AddChunk(extra, (*instance->GetMaterials())[0]));
  EXPECT_FALSE(instance->MergeChunk(*extra, *(*instance->GetMaterials())[0], 0));
  EXPECT_EQ(instance->GetChunks(), chunks);
  EXPECT_EQ(instance->GetChunkCount(), 1u);

  EXPECT_TRUE(scene.root->Add(instance));
  EXPECT_TRUE(scene.root->Add(clone));
  EXPECT_EQ(scene.Frame().size(), 2u);
}

TEST(MeshDrawing, SkinnedInstancesDeformTheirOwnChunksOncePerFrame) {
  Scene scene;
  auto* resource = scene.Load<RovanaIndexedMeshResource>("bar.im", AsText(MeshFixture::Write(SkinnedBar())));
  auto instance = std::static_pointer_cast<RovanaDynamicIndexedMeshInstance>(resource->CreateMeshInstance());
  ASSERT_NE(instance, nullptr);
  const Kiv::GeometryChunk& defined = *resource->GetDefinition()->GetChunk(0);
  const std::vector<float> rest = Positions(defined);
  const Kiv::GeometryChunk* own = (*instance->GetChunks())[0].get();
  EXPECT_NE(own, &defined);
  EXPECT_TRUE(scene.root->Add(instance));

  EXPECT_EQ(scene.Frame()[own], 1);
  ExpectNear(Positions(*own), rest);
  // The tip turned a quarter turn about z: its column swings up.
  Kiv::Particle* tip = instance->FindByName(PString("tip"));
  ASSERT_NE(tip, nullptr);
  const float s = std::sqrt(0.5f);
  tip->rotation = {0, 0, s, s};
  scene.Frame();
  ExpectNear(Positions(*own), {0, 0, 0, 0, 1, 0, 1, 0, 0, 0.5f, 0.5f, 0, 1, 1, 0, 0, 1, 0});
  // The definition's vertices never move.
  EXPECT_EQ(Positions(defined), rest);

  // Drawn twice in one frame, skinned once.
  const uint64_t updates = instance->GetUpdateCount();
  instance->Render(scene.view, 0, Kiv::Matrix4::Identity());
  instance->Render(scene.view, 0, Kiv::Matrix4::Identity());
  EXPECT_EQ(instance->GetUpdateCount(), updates);

  // A clone has its own chunks and bones: turning them back moves only it.
  auto clone = std::static_pointer_cast<RovanaDynamicIndexedMeshInstance>(instance->CreateInstance());
  const Kiv::GeometryChunk* cloned = (*clone->GetChunks())[0].get();
  EXPECT_NE(cloned, own);
  EXPECT_EQ(clone->GetBones()[1].node, clone->FindByName(PString("tip")));
  clone->FindByName(PString("tip"))->rotation = {};
  EXPECT_TRUE(scene.root->Add(clone));
  scene.Frame();
  ExpectNear(Positions(*cloned), rest);
  EXPECT_NEAR(Positions(*own)[12], 1.0f, 1e-5f);
  EXPECT_NEAR(Positions(*own)[13], 1.0f, 1e-5f);
}

TEST(MeshDrawing, SkinnedChunksMergeOnlyWhenEveryBoneIsFound) {
  Scene scene;
  auto* resource = scene.Load<RovanaIndexedMeshResource>("bar.im", AsText(MeshFixture::Write(SkinnedBar())));
  auto instance = std::static_pointer_cast<RovanaDynamicIndexedMeshInstance>(resource->CreateMeshInstance());
  // The source: the same bar with its bones named otherwise.
  MeshFixture::Mesh renamed = SkinnedBar();
  (*renamed.influences)[1].name = "claw";
  auto* other = scene.Load<RovanaIndexedMeshResource>("claw.im", AsText(MeshFixture::Write(renamed)));
  auto source = std::static_pointer_cast<RovanaDynamicIndexedMeshInstance>(other->CreateMeshInstance());
  auto donor = std::static_pointer_cast<RovanaDynamicIndexedMeshInstance>(resource->CreateMeshInstance());
  const Kiv::GeometryChunk& piece = *(*source->GetChunks())[0];
  const Kiv::Material& material = *(*instance->GetMaterials())[0];

  const auto chunks = instance->GetChunks();
  EXPECT_FALSE(instance->MergeSkinnedChunk(piece, material, 0, source.get(), 0));
  EXPECT_FALSE(instance->AddSkinnedChunk(piece, (*instance->GetMaterials())[0], source.get(), 0));
  EXPECT_FALSE(instance->MergeSkinnedChunk(piece, material, 0, nullptr, 0));
  EXPECT_EQ(instance->GetChunks(), chunks);
  EXPECT_EQ(instance->GetChunkCount(), 1u);
  EXPECT_EQ((*instance->GetChunks())[0]->GetNumVertices(), 6u);

  // From a skeleton with the same names the chunk merges, and its vertices
  // move with this instance's bones.
  const Kiv::GeometryChunk& same = *(*donor->GetChunks())[0];
  ASSERT_TRUE(instance->MergeSkinnedChunk(same, material, 0, donor.get(), 0));
  const Kiv::GeometryChunk& merged = *(*instance->GetChunks())[0];
  ASSERT_EQ(merged.GetNumVertices(), 12u);
  const float s = std::sqrt(0.5f);
  instance->FindByName(PString("tip"))->rotation = {0, 0, s, s};
  EXPECT_TRUE(scene.root->Add(instance));
  scene.Frame();
  const std::vector<float> moved = Positions(merged);
  // Vertex 4 and its copy (vertex 10) both follow the tip.
  EXPECT_NEAR(moved[12], 1, 1e-5f);
  EXPECT_NEAR(moved[13], 1, 1e-5f);
  EXPECT_NEAR(moved[30], 1, 1e-5f);
  EXPECT_NEAR(moved[31], 1, 1e-5f);

  ASSERT_TRUE(instance->AddSkinnedChunk(same, (*instance->GetMaterials())[0], donor.get(), 0));
  EXPECT_EQ(instance->GetChunkCount(), 2u);
  scene.Frame();
  EXPECT_NEAR(Positions(*(*instance->GetChunks())[1])[13], 1, 1e-5f);
}

}  // namespace

namespace {

// A level mesh: a bar of `segments` quads; with bones, "b.root" and
// "b.arm" skin it, and it carries a culled and a plain attachment point.
std::string LevelBar(int segments, bool bones) {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Bar(segments));
  if (bones) {
    std::vector<MeshFixture::Influence> influences(2);
    influences[0].name = "b.root";
    influences[1].name = "b.arm";
    influences[1].parent = "b.root";
    for (uint32_t v = 0; v < 2 * uint32_t(segments + 1); ++v)
      influences[v % 2].references.push_back({0, {{v, 1.0f, float(v / 2), float(v % 2), 0}}});
    mesh.influences = influences;
  }
  mesh.attachments = std::vector<MeshFixture::Attachment>{{"a.light:cull"}, {"a.door"}};
  return AsText(MeshFixture::Write(mesh));
}

struct LodScene : Scene {
  std::shared_ptr<RovanaIndexedMeshLODInstance> instance;
  LodScene(const std::string& settings, bool bones = false) {
    for (int segments : {8, 2, 1})
      folder.Write("bar" + std::to_string(segments) + ".im", LevelBar(segments, bones));
    folder.Write("shadow.im", LevelBar(2, bones));
    auto* resource = Load<RovanaIndexedMeshLODResource>(
        "car.lm.txt",
        "mesh 0 { name bar8.im }\nmesh 50 { name bar2.im }\nmesh 200 { name bar1.im }\n" + settings, true);
    instance = std::static_pointer_cast<RovanaIndexedMeshLODInstance>(resource->CreateMeshInstance());
    EXPECT_TRUE(root->Add(instance));
  }
  // Places the camera where the LOD value is `value` (with the file's
  // multiplier 1): that far beyond the enlarged bounding sphere.
  void CameraAtValue(float value, float offset = 0.0f) {
    const Kiv::OrientedBox& box = instance->GetBoundingVolume();
    const float radius = std::sqrt(box.extents[0] * box.extents[0] + box.extents[1] * box.extents[1] +
                                   box.extents[2] * box.extents[2]);
    for (int k = 0; k < 3; ++k) camera.position[k] = box.centre[k];
    camera.position[2] -= value - offset + radius + RovanaIndexedMeshLODInstance::kSphereMargin;
  }
  const Kiv::GeometryChunk* LevelChunk(uint32_t level) const {
    return instance->GetLevel(level).chunks[0].get();
  }
};

TEST(LodDrawing, TheLevelForTheDistanceIsDrawnFromTheRenderCutOffOn) {
  LodScene scene("renderCutOff 30\n");
  ASSERT_EQ(scene.instance->GetID(), 21u);
  scene.CameraAtValue(10);
  EXPECT_TRUE(scene.Frame().empty());  // nearer than the cut-off
  EXPECT_NEAR(scene.instance->GetLastLODValue(), 10, 1e-3f);
  scene.CameraAtValue(40);
  auto draws = scene.Frame();
  ASSERT_EQ(draws.size(), 1u);
  EXPECT_EQ(draws[scene.LevelChunk(0)], 1);
  scene.CameraAtValue(120);
  draws = scene.Frame();
  EXPECT_EQ(draws[scene.LevelChunk(1)], 1);
  EXPECT_EQ(scene.instance->GetCurrentLevel(), 1u);
  scene.CameraAtValue(500);
  EXPECT_EQ(scene.Frame()[scene.LevelChunk(2)], 1);
  // Locked, the level stays whatever the distance.
  scene.instance->LockLevel(true);
  scene.CameraAtValue(60);
  EXPECT_EQ(scene.Frame()[scene.LevelChunk(2)], 1);
  // The base keeps the collision level (the last distanced one) throughout.
  EXPECT_EQ(scene.instance->GetBaseLevel(), 2u);

  // Without a cut-off a visible instance is drawn unless the value is negative.
  LodScene plain("offset -20\n");
  plain.CameraAtValue(-10, -20);
  EXPECT_TRUE(plain.Frame().empty());
  plain.CameraAtValue(0, -20);
  EXPECT_EQ(plain.Frame().size(), 1u);
  plain.instance->SetOpacity(0);
  EXPECT_TRUE(plain.Frame().empty());
  EXPECT_EQ(plain.instance->GetCulledFrame(), 0u);
}

TEST(LodDrawing, CulledAttachmentsLightingAndOpacityPerLevel) {
  LodScene scene("attachmentCutOff 100\nmesh shadow { name shadow.im }\n");
  ASSERT_EQ(scene.instance->GetCullParticles().size(), 1u);
  Kiv::Particle* light = scene.instance->GetCullParticles()[0];
  EXPECT_EQ(light->GetName().View(), "a");
  scene.CameraAtValue(150);
  scene.Frame();
  EXPECT_TRUE(light->state & Kiv::Particle::kStateCulledOff);
  for (const auto& point : scene.instance->GetAttachmentPoints()) {
    if (point.get() != light) {
      EXPECT_EQ(point->state, 0);  // not marked ":Cull"
    }
  }
  scene.CameraAtValue(90);
  scene.Frame();
  EXPECT_FALSE(light->state & Kiv::Particle::kStateCulledOff);
  // A clone has ":Cull" points of its own.
  auto clone = std::static_pointer_cast<RovanaIndexedMeshLODInstance>(scene.instance->CreateInstance());
  ASSERT_EQ(clone->GetCullParticles().size(), 1u);
  EXPECT_NE(clone->GetCullParticles()[0], light);

  // Drawing a level brings its lighting up to date, and only its own.
  LodScene lit("");
  auto& instance = *lit.instance;
  ASSERT_EQ(instance.GetLevelCount(), 3u);
  EXPECT_EQ(instance.GetDirtyCount(), 3u);
  lit.CameraAtValue(0);
  lit.Frame();
  EXPECT_FALSE(instance.IsLevelLightingDirty(0));
  EXPECT_TRUE(instance.IsLevelLightingDirty(1));
  EXPECT_EQ(instance.GetDirtyCount(), 2u);
  EXPECT_EQ(instance.GetLightingCalculations(), 1u);
  lit.Frame();
  EXPECT_EQ(instance.GetLightingCalculations(), 1u);
  instance.UpdateAllLighting(false);
  EXPECT_EQ(instance.GetDirtyCount(), 0u);
  EXPECT_FALSE(instance.GetUpdateLighting());
  EXPECT_TRUE(instance.UpdateLevelLighting(1, true));  // forced
  instance.SetUpdateLighting(true);
  EXPECT_EQ(instance.GetDirtyCount(), 3u);

  // Opacity reaches every distanced level; a level used only by name keeps its own.
  scene.instance->SetOpacity(0.5f);
  for (uint32_t level = 0; level < 3; ++level) EXPECT_EQ(scene.LevelChunk(level)->GetOpacity(), 0.5f);
  ASSERT_EQ(scene.instance->GetLevelCount(), 4u);
  EXPECT_EQ(scene.LevelChunk(3)->GetOpacity(), 1.0f);
}

TEST(LodDrawing, SkinnedLevelsAnimateWithinTheCutOffBand) {
  LodScene scene("animationCutOff 100\noffset 10\nmesh shadow { name shadow.im; animated true }\n", true);
  auto instance = std::dynamic_pointer_cast<RovanaDynamicIndexedMeshLODInstance>(scene.instance);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance->GetAnimatedLevels(), std::vector<uint32_t>{3});
  Kiv::Particle* arm = instance->FindByName(PString("b.arm"));
  ASSERT_NE(arm, nullptr);
  const auto CulledOff = [&] { return (arm->state & Kiv::Particle::kStateCulledOff) != 0; };

  // Each level's chunks are the instance's own; drawing skins the current
  // level and the animated one, once per frame.
  scene.CameraAtValue(20, 10);
  const uint64_t before = instance->GetUpdateCount();
  EXPECT_EQ(scene.Frame()[scene.LevelChunk(0)], 1);
  EXPECT_EQ(instance->GetUpdateCount(), before + 2);
  instance->Render(scene.view, 0, Kiv::Matrix4::Identity());
  EXPECT_EQ(instance->GetUpdateCount(), before + 2);
  // Skinned in software: the bar's vertices are where the bones put them.
  const auto* resource = static_cast<RovanaIndexedMeshLODResource*>(scene.resources[0].get());
  const Kiv::GeometryChunk& defined = *resource->GetLODDefinition()->GetLevels()[0].chunks[0];
  EXPECT_NE(scene.LevelChunk(0), &defined);
  ExpectNear(Positions(*scene.LevelChunk(0)), Positions(defined));

  // Beyond the cut-off by more than the offset the bones are culled off;
  // inside the band nothing changes; below it they come back.
  scene.CameraAtValue(105, 10);
  scene.Frame();
  EXPECT_FALSE(CulledOff());
  scene.CameraAtValue(115, 10);
  scene.Frame();
  EXPECT_TRUE(CulledOff());
  EXPECT_TRUE(instance->GetAnimationState() & 2u);
  scene.CameraAtValue(95, 10);
  scene.Frame();
  EXPECT_TRUE(CulledOff());
  scene.CameraAtValue(85, 10);
  scene.Frame();
  EXPECT_FALSE(CulledOff());
  EXPECT_FALSE(instance->GetAnimationState() & 2u);
  // Neither due nor beyond the cut-off: no skinning.
  const uint64_t settled = instance->GetUpdateCount();
  scene.Frame();
  EXPECT_EQ(instance->GetUpdateCount(), settled);

  // A clone has its own bones and chunks.
  auto clone = std::static_pointer_cast<RovanaDynamicIndexedMeshLODInstance>(instance->CreateInstance());
  EXPECT_NE(clone->GetLevel(0).chunks[0], instance->GetLevel(0).chunks[0]);
  EXPECT_EQ(clone->GetBones()[1].node, clone->FindByName(PString("b.arm")));
}

}  // namespace
