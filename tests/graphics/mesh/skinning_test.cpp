// Skinning: bones moved by their scene nodes, vertices moved by the bones.
#include <gtest/gtest.h>

#include <cmath>

#include "graphics/mesh/RovanaInfluenceMesh.h"

namespace {

using Kiv::PString;

Kiv::VertexInfluence Influence(uint32_t vertex, float weight, float x, float y) {
  Kiv::VertexInfluence v;
  v.vertex = vertex;
  v.values[0] = weight;
  v.values[1] = x;
  v.values[2] = y;
  return v;
}

// A bar of two unit segments along x: vertices 2i and 2i+1 at x = i, y = 0
// and 1. The root bone holds the first column, the tip bone (at x = 1) the
// last, the middle column is shared half and half.
std::vector<Kiv::InfluenceDefinition> TwoBoneBar() {
  std::vector<Kiv::InfluenceDefinition> bones(2);
  bones[0].name = PString("root");
  bones[0].references = {
      {0,
       {Influence(0, 1, 0, 0), Influence(1, 1, 0, 1), Influence(2, 0.5f, 1, 0), Influence(3, 0.5f, 1, 1)}}};
  bones[1].name = PString("tip");
  bones[1].parentName = PString("root");
  bones[1].position[0] = 1;
  bones[1].references = {
      {0,
       {Influence(2, 0.5f, 0, 0), Influence(3, 0.5f, 0, 1), Influence(4, 1, 1, 0), Influence(5, 1, 1, 1)}}};
  return bones;
}

struct Skeleton {
  std::shared_ptr<Kiv::Particle> root = std::make_shared<Kiv::Particle>(PString("root"));
  std::shared_ptr<Kiv::Particle> tip = std::make_shared<Kiv::Particle>(PString("tip"));
  Skeleton() {
    tip->position[0] = 1;
    EXPECT_TRUE(root->Add(tip));
  }
};

void ExpectPositions(const std::vector<float>& got, const std::vector<float>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-5f) << "coordinate " << i;
}

TEST(Skinning, ATwoBoneBarBendsWhereItsSecondBoneTurns) {
  Skeleton skeleton;
  RovanaInfluenceMesh mesh;
  const auto bones = TwoBoneBar();
  mesh.BuildFromDefinition(bones, false);
  ASSERT_NE(mesh.GetRootBone(), nullptr);
  EXPECT_EQ(mesh.GetRootBone()->name.View(), "root");
  mesh.BindToNodes(skeleton.root.get());
  EXPECT_EQ(mesh.GetBones()[1].node, skeleton.tip.get());

  std::vector<float> positions(18, 7.0f);
  const SkinnedChunk chunk{positions.data(), 6};
  mesh.Update({&chunk, 1}, 1, 0);
  ExpectPositions(positions, {0, 0, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0, 2, 0, 0, 2, 1, 0});

  // The tip turned a quarter turn about z: (x, y) in its space goes to
  // (1 - y, x) in the root's.
  const float s = std::sqrt(0.5f);
  skeleton.tip->rotation = {0, 0, s, s};
  mesh.Update({&chunk, 1}, 2, 0);
  ExpectPositions(positions, {0, 0, 0, 0, 1, 0, 1, 0, 0, 0.5f, 0.5f, 0, 1, 1, 0, 0, 1, 0});

  // Once per frame: the same frame again does nothing, frame 0 always works.
  const uint64_t updates = mesh.GetUpdateCount();
  skeleton.tip->rotation = {};
  mesh.Update({&chunk, 1}, 2, 0);
  EXPECT_EQ(mesh.GetUpdateCount(), updates);
  EXPECT_NEAR(positions[12], 1.0f, 1e-5f);
  mesh.Update({&chunk, 1}, 0, 0);
  mesh.Update({&chunk, 1}, 0, 0);
  EXPECT_EQ(mesh.GetUpdateCount(), updates + 2);
  EXPECT_NEAR(positions[12], 2.0f, 1e-5f);
  // A set the mesh does not have changes nothing.
  mesh.Update({&chunk, 1}, 3, 1);
  EXPECT_EQ(mesh.GetUpdateCount(), updates + 2);
}

TEST(Skinning, UnboundBonesOrphansAndVerticesOutsideTheChunk) {
  auto bones = TwoBoneBar();
  bones[1].references[0].vertices.push_back(Influence(6, 1, 5, 5));  // past the chunk's end
  bones[1].rotation[0] = 0;                                          // rest rotation: a quarter turn about z
  bones[1].rotation[1] = 1;
  bones[1].rotation[3] = -1;
  bones[1].rotation[4] = 0;
  RovanaInfluenceMesh mesh;
  mesh.BuildFromDefinition(bones, false);
  // No nodes: the rest values place the bones.
  std::vector<float> positions(18);
  const SkinnedChunk chunk{positions.data(), 6};
  mesh.Update({&chunk, 1}, 1, 0);
  ExpectPositions(positions, {0, 0, 0, 0, 1, 0, 1, 0, 0, 0.5f, 0.5f, 0, 1, 1, 0, 0, 1, 0});

  // A bone whose parent is missing is outside the tree and moves nothing.
  bones = TwoBoneBar();
  bones[1].parentName = PString("nobody");
  RovanaInfluenceMesh orphan;
  orphan.BuildFromDefinition(bones, false);
  EXPECT_TRUE(orphan.GetRootBone()->children.empty());
  orphan.Update({&chunk, 1}, 1, 0);
  ExpectPositions(positions, {0, 0, 0, 0, 1, 0, 0.5f, 0, 0, 0.5f, 0.5f, 0, 0, 0, 0, 0, 0, 0});

  // A copy has its own tree and stamps and is bound to nothing.
  Skeleton skeleton;
  mesh.BindToNodes(skeleton.root.get());
  RovanaInfluenceMesh copy(mesh);
  ASSERT_NE(copy.GetRootBone(), nullptr);
  EXPECT_NE(copy.GetRootBone(), mesh.GetRootBone());
  EXPECT_EQ(copy.GetRootBone()->children.size(), 1u);
  EXPECT_EQ(copy.GetBones()[1].node, nullptr);
  EXPECT_EQ(copy.GetFrameStamps(), std::vector<uint32_t>{0});
}

TEST(Skinning, HardwareSetsGetMatricesAndLeaveVerticesAlone) {
  Skeleton skeleton;
  RovanaInfluenceMesh mesh;
  const auto bones = TwoBoneBar();
  mesh.BuildFromDefinition(bones, true);
  EXPECT_TRUE(mesh.GetBones()[0].sets[0].chunkLists.empty());
  mesh.BindToNodes(skeleton.root.get());
  std::vector<float> positions(18, 7.0f);
  const SkinnedChunk chunk{positions.data(), 6};
  mesh.Update({&chunk, 1}, 1, 0);
  EXPECT_EQ(positions, std::vector<float>(18, 7.0f));
  // In the rest pose every bone's matrix is the identity.
  const Kiv::Matrix4 identity;
  for (const InfluenceBone& bone : mesh.GetBones())
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(bone.world.m[i], identity.m[i], 1e-5f);
  // Turned: a point at the tip's end in rest space follows the tip.
  const float s = std::sqrt(0.5f);
  skeleton.tip->rotation = {0, 0, s, s};
  mesh.Update({&chunk, 1}, 2, 0);
  float moved[3];
  const float end[3] = {2, 0, 0};
  mesh.GetBones()[1].world.TransformPoint(end, moved);
  EXPECT_NEAR(moved[0], 1, 1e-5f);
  EXPECT_NEAR(moved[1], 1, 1e-5f);
}

}  // namespace

namespace {

TEST(Skinning, AScaledNodeScalesItsOwnBoneOnly) {
  // The root is a scaled node: twice as long in x, three times in y.
  auto root = std::make_shared<Kiv::ScaledParticle>(PString("root"));
  root->scale[0] = 2;
  root->scale[1] = 3;
  auto tip = std::make_shared<Kiv::Particle>(PString("tip"));
  tip->position[0] = 1;
  EXPECT_TRUE(root->Add(tip));
  RovanaInfluenceMesh mesh;
  const auto bones = TwoBoneBar();
  mesh.BuildFromDefinition(bones, false);
  mesh.BindToNodes(root.get());
  std::vector<float> positions(18);
  const SkinnedChunk chunk{positions.data(), 6};
  mesh.Update({&chunk, 1}, 1, 0);
  // The root's own column is scaled, the tip's is not (it sits where the
  // unscaled root puts it); the shared column is half of each.
  ExpectPositions(positions, {0, 0, 0, 0, 3, 0, 1.5f, 0, 0, 1.5f, 2, 0, 2, 0, 0, 2, 1, 0});

  // Switched off, the scale is not applied.
  root->scaleOff = true;
  mesh.Update({&chunk, 1}, 2, 0);
  ExpectPositions(positions, {0, 0, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0, 2, 0, 0, 2, 1, 0});

  // The display's matrices carry it too: a point of the root's in rest
  // space lands scaled.
  root->scaleOff = false;
  RovanaInfluenceMesh hardware;
  hardware.BuildFromDefinition(bones, true);
  hardware.BindToNodes(root.get());
  hardware.Update({}, 1, 0);
  float out[3];
  const float corner[3] = {1, 1, 0};
  hardware.GetBones()[0].world.TransformPoint(corner, out);
  EXPECT_NEAR(out[0], 2, 1e-5f);
  EXPECT_NEAR(out[1], 3, 1e-5f);
  hardware.GetBones()[1].world.TransformPoint(corner, out);
  EXPECT_NEAR(out[0], 1, 1e-5f);
  EXPECT_NEAR(out[1], 1, 1e-5f);

  // A copy of a scaled node keeps its scale.
  auto copy = std::static_pointer_cast<Kiv::ScaledParticle>(root->CreateInstance());
  EXPECT_EQ(copy->GetID(), Kiv::ScaledParticle::kTypeId);
  EXPECT_EQ(copy->scale[1], 3.0f);
  EXPECT_EQ(copy->GetChildren().size(), 1u);
}

}  // namespace
