// Instances of an indexed mesh: shared arrays, scale, and ray queries.
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "graphics/mesh/RVAxisBoxTree.h"
#include "graphics/mesh/RovanaIndexedMeshInstance.h"
#include "graphics/mesh/RovanaIndexedMeshLODInstance.h"
#include "kiv/TempFolder.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

struct Loaded {
  Kiv::ScriptedMaterialManager manager;
  Kiv::Resource resource{Kiv::PString("<kuid:1:2>"), Kiv::PString("m/grid.im")};
  RovanaIndexedMeshDefinition definition;
  Loaded() {
    MeshFixture::Mesh mesh;
    mesh.chunks.push_back(MeshFixture::Grid(4, 0.0f));
    mesh.chunks.push_back(MeshFixture::Quad(1.0f, "glass.m.onetex"));
    // The quad stands 2 units in front of the grid.
    for (size_t k = 2; k < mesh.chunks[1].geometry.positions.size(); k += 3)
      mesh.chunks[1].geometry.positions[k] = 2;
    definition.SetFileData(MeshFixture::Write(mesh), "m/grid.im");
    EXPECT_EQ(definition.Load(nullptr, &manager, &resource, "m/grid.im", 0), 0);
  }
};

TEST(MeshInstance, ClonesShareArraysUntilMadeUnique) {
  Loaded loaded;
  RovanaIndexedMeshInstance instance(&loaded.definition);
  EXPECT_EQ(instance.GetChunkCount(), 2u);
  EXPECT_EQ(instance.GetPolygonCount(), loaded.definition.GetTotalFaces());
  auto clone = std::static_pointer_cast<RovanaIndexedMeshInstance>(instance.CreateInstance());
  EXPECT_EQ(clone->GetChunks(), instance.GetChunks());
  EXPECT_EQ(clone->GetMaterials(), instance.GetMaterials());
  clone->MakeChunksUnique();
  EXPECT_NE(clone->GetChunks(), instance.GetChunks());
  EXPECT_EQ(*clone->GetChunks(), *instance.GetChunks());  // the same chunks in a new array
  EXPECT_EQ(clone->GetMaterials(), instance.GetMaterials());
  clone->MakeMaterialsUnique();
  EXPECT_NE(clone->GetMaterials(), instance.GetMaterials());
}

TEST(MeshInstance, ScaleAndItsBoundingVolume) {
  Loaded loaded;
  RovanaIndexedMeshInstance instance(&loaded.definition);
  const Kiv::OrientedBox box = loaded.definition.GetOrientedBox();
  instance.SetScale(2, 1, 0.5f);
  EXPECT_TRUE(instance.IsScaled());
  EXPECT_FLOAT_EQ(instance.GetBoundingVolume().extents[0], box.extents[0] * 2);
  EXPECT_FLOAT_EQ(instance.GetBoundingVolume().extents[2], box.extents[2] * 0.5f);
  auto clone = std::static_pointer_cast<RovanaIndexedMeshInstance>(instance.CreateInstance());
  EXPECT_TRUE(clone->IsScaled());
  instance.SetScale(1, 1, 1);
  EXPECT_FALSE(instance.IsScaled());
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(instance.GetBoundingVolume().extents[k], box.extents[k]);
    EXPECT_EQ(instance.GetBoundingVolume().centre[k], box.centre[k]);
  }
}

// The nearest triangle at a distance of at least 0, every triangle tried.
bool BruteForce(const RovanaIndexedMeshDefinition& d, const float o[3], const float dir[3], float& best) {
  bool hit = false;
  for (uint32_t c = 0; c < d.GetNumChunks(); ++c)
    for (uint32_t i = 0; i + 2 < d.GetNumIndices(c); i += 3) {
      float corners[9], t = std::numeric_limits<float>::infinity();
      if (d.GetTriangle(c, i, corners) && RVAxisBoxTree::IntersectRayTriangle(corners, false, o, dir, &t) &&
          t >= 0 && t < best) {
        best = t;
        hit = true;
      }
    }
  return hit;
}

TEST(MeshInstance, RaysAgreeWithBruteForceAndIgnoreHitsBehind) {
  Loaded loaded;
  RovanaIndexedMeshInstance instance(&loaded.definition);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> spread(-1.0f, 5.0f);
  int hits = 0;
  for (int ray = 0; ray < 500; ++ray) {
    // Rays from in front of, between and behind the two layers, both ways.
    const float origin[3] = {spread(random), spread(random), spread(random) - 1.0f};
    const float dz = ray % 2 ? -1.0f : 1.0f;
    const float direction[3] = {0, 0, dz};
    float expected = 1000.0f, got = 1000.0f;
    uint32_t chunk = 99, triangle = 99;
    const bool want = BruteForce(loaded.definition, origin, direction, expected);
    ASSERT_EQ(instance.TestCollisionGeometry(origin, direction, got, chunk, triangle), want) << ray;
    if (!want) continue;
    ++hits;
    EXPECT_FLOAT_EQ(got, expected);
    EXPECT_GE(got, 0.0f);
    // The triangle recorded is the one at that distance.
    float corners[9], t = std::numeric_limits<float>::infinity();
    ASSERT_TRUE(loaded.definition.GetTriangle(chunk, 3 * triangle, corners));
    ASSERT_TRUE(RVAxisBoxTree::IntersectRayTriangle(corners, false, origin, direction, &t));
    EXPECT_FLOAT_EQ(t, expected);
  }
  EXPECT_GT(hits, 50);

  // Both layers behind the origin: no hit, the distance untouched.
  const float origin[3] = {0.5f, 0.5f, 5.0f}, away[3] = {0, 0, 1};
  float distance = 100.0f;
  uint32_t chunk = 0, triangle = 0;
  EXPECT_FALSE(instance.TestCollisionGeometry(origin, away, distance, chunk, triangle));
  EXPECT_EQ(distance, 100.0f);
  // Towards them the nearer (the quad at z = 2) is found; a limit below it finds nothing.
  const float toward[3] = {0, 0, -1};
  EXPECT_TRUE(instance.TestCollisionGeometry(origin, toward, distance, chunk, triangle));
  EXPECT_FLOAT_EQ(distance, 3.0f);
  EXPECT_EQ(chunk, 1u);
  distance = 2.5f;
  EXPECT_FALSE(instance.TestCollisionGeometry(origin, toward, distance, chunk, triangle));
  // Scaled by two in z the quad is at 4; a zero scale never hits.
  instance.SetScale(1, 1, 2);
  distance = 100.0f;
  EXPECT_TRUE(instance.TestCollisionGeometry(origin, toward, distance, chunk, triangle));
  EXPECT_FLOAT_EQ(distance, 0.5f);  // in the instance's own unscaled space
  instance.SetScale(1, 0, 1);
  distance = 100.0f;
  EXPECT_FALSE(instance.TestCollisionGeometry(origin, toward, distance, chunk, triangle));
}

}  // namespace

namespace {

struct LodLoaded {
  Kiv::TempFolder folder{"lod-instance"};
  Kiv::ScriptedMaterialManager manager;
  Kiv::ResourceDatabase database{folder.Root()};
  Kiv::Resource resource{Kiv::PString("<kuid:1:2>"), Kiv::PString("car.lm.txt"), &database};
  RovanaIndexedMeshLODDefinition definition;
  explicit LodLoaded(const std::string& text) {
    for (int segments : {8, 2, 1}) {
      MeshFixture::Mesh mesh;
      mesh.chunks.push_back(MeshFixture::Bar(segments));
      const auto bytes = MeshFixture::Write(mesh);
      folder.Write("bar" + std::to_string(segments) + ".im", std::string(bytes.begin(), bytes.end()));
    }
    folder.Write("car.lm.txt", text);
    EXPECT_EQ(definition.LoadLODText(nullptr, &manager, &resource, "car.lm.txt", 0xFFFFFFFFu), 0);
  }
};

TEST(LodInstance, LevelsCollisionLevelAndTheObjectLodRule) {
  LodLoaded distanced("mesh 0 { name bar8.im }\nmesh 50 { name bar2.im }\nmesh 200 { name bar1.im }\n");
  RovanaIndexedMeshLODInstance instance(&distanced.definition);
  ASSERT_EQ(instance.GetLevelCount(), 3u);
  EXPECT_EQ(instance.GetBaseLevel(), 2u);  // the last distanced level collides
  EXPECT_EQ(instance.GetPolygonCount(), 2u);
  EXPECT_EQ(instance.GetCurrentLevel(), 0u);
  instance.SelectLevel(0);
  EXPECT_EQ(instance.GetPolygonCount(), 16u);
  const auto chunks = instance.GetChunks();
  instance.SelectLevel(3);  // out of range: nothing changes
  EXPECT_EQ(instance.GetBaseLevel(), 0u);
  EXPECT_EQ(instance.GetChunks(), chunks);
  EXPECT_EQ(instance.GetPolygonCount(), 16u);

  EXPECT_EQ(instance.FindLODIndex(-1), 0u);
  EXPECT_EQ(instance.FindLODIndex(49.9f), 0u);
  EXPECT_EQ(instance.FindLODIndex(50), 1u);
  EXPECT_EQ(instance.FindLODIndex(1e9f), 2u);
  EXPECT_FLOAT_EQ(instance.FindLOD(105, 5), 100);
  EXPECT_FLOAT_EQ(instance.FindLOD(1, 5), 0);  // inside the sphere
  instance.ChooseLevel(60);
  EXPECT_EQ(instance.GetCurrentLevel(), 1u);
  instance.LockLevel(true);
  instance.ChooseLevel(500);
  EXPECT_EQ(instance.GetCurrentLevel(), 1u);

  instance.SetTint(1, 0.5f, 1);
  EXPECT_TRUE(instance.IsTinted());
  instance.SetTint(1, 1, 1);
  EXPECT_FALSE(instance.IsTinted());

  LodLoaded named("mesh 0 { name bar8.im }\nmesh 50 { name bar2.im }\nmesh collision { name bar1.im }\n");
  RovanaIndexedMeshLODInstance withCollision(&named.definition);
  EXPECT_EQ(withCollision.GetBaseLevel(), 2u);
  EXPECT_EQ(withCollision.GetPolygonCount(), 2u);
  EXPECT_EQ(withCollision.FindLODIndex(1e9f), 1u);  // the named level is not distanced

  // Rays meet the collision level's triangles (a bar one unit long), not the
  // definition's last distanced level (two units long).
  const float origin[3] = {1.5f, 0.5f, 5.0f}, down[3] = {0, 0, -1};
  float distance = 100.0f;
  uint32_t chunk = 0, triangle = 0;
  EXPECT_FALSE(withCollision.TestCollisionGeometry(origin, down, distance, chunk, triangle));
  withCollision.SelectLevel(1);
  EXPECT_TRUE(withCollision.TestCollisionGeometry(origin, down, distance, chunk, triangle));
  EXPECT_FLOAT_EQ(distance, 5.0f);
}

}  // namespace
