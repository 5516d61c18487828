// Indexed instances: copies of chunks and materials, reference points, bounds,
// texture images, and the ray test through the definition's collision tree.
#include <gtest/gtest.h>

#include <unistd.h>

#include <limits>
#include <random>

#include "graphics/mesh/RVAxisBoxTree.h"
#include "graphics/mesh/RovanaIndexedMeshInstance.h"
#include "kiv/TempFolder.h"
#include "kiv/render/OverlappedResource.h"
#include "kiv/render/RenderKernel.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

// A 4 x 4 grid at z = 0 and a unit quad at z = 2, in a content folder.
struct Placed {
  Kiv::TempFolder folder{"instance-edit"};
  Kiv::ScriptedMaterialManager manager;
  Kiv::ResourceDatabase database{folder.MakeDir("asset")};
  Kiv::Resource resource{Kiv::PString("<kuid:1:2>"), Kiv::PString("grid.im"), &database};
  RovanaIndexedMeshDefinition definition;
  explicit Placed(std::vector<MeshFixture::Attachment> attachments = {}) {
    MeshFixture::Mesh mesh;
    mesh.chunks.push_back(MeshFixture::Grid(4, 0.0f));
    mesh.chunks.push_back(MeshFixture::Quad(1.0f, "glass.m.onetex"));
    for (size_t k = 2; k < mesh.chunks[1].geometry.positions.size(); k += 3)
      mesh.chunks[1].geometry.positions[k] = 2;
    if (!attachments.empty()) mesh.attachments = std::move(attachments);
    definition.SetFileData(MeshFixture::Write(mesh), "grid.im");
    EXPECT_EQ(definition.Load(nullptr, &manager, &resource, "grid.im", 0), 0);
  }
};

TEST(MeshInstanceEdit, CopiedChunksAndMaterialsAreTheInstancesOwn) {
  Placed placed;
  RovanaIndexedMeshInstance instance(&placed.definition);
  auto clone = std::static_pointer_cast<RovanaIndexedMeshInstance>(instance.CreateInstance());
  ASSERT_EQ(clone->GetChunks(), instance.GetChunks());
  // Copying a chunk of a shared array leaves the other instance's chunk alone.
  clone->CloneChunk(1);
  ASSERT_NE((*clone->GetChunks())[1], (*instance.GetChunks())[1]);
  EXPECT_EQ((*clone->GetChunks())[0], (*instance.GetChunks())[0]);
  (*clone->GetChunks())[1]->SetOpacity(0.25f);
  EXPECT_EQ((*instance.GetChunks())[1]->GetOpacity(), 1.0f);
  EXPECT_EQ(placed.definition.GetChunks()[1]->GetOpacity(), 1.0f);
  EXPECT_EQ(clone->GetPolygonCount(), instance.GetPolygonCount());

  clone->CloneMaterial(0);
  ASSERT_NE((*clone->GetMaterials())[0], (*instance.GetMaterials())[0]);
  (*clone->GetMaterials())[0]->SetFactor(3.0f);
  EXPECT_NE((*instance.GetMaterials())[0]->GetFactor(), 3.0f);

  // Indices at or past the chunk count do nothing, not even unsharing.
  auto other = std::static_pointer_cast<RovanaIndexedMeshInstance>(instance.CreateInstance());
  other->CloneChunk(2);
  other->CloneMaterial(7);
  EXPECT_EQ(other->GetChunks(), instance.GetChunks());
  EXPECT_EQ(other->GetMaterials(), instance.GetMaterials());
}

TEST(MeshInstanceEdit, AttachmentsNamedWithPBecomeReferencePoints) {
  const float turn[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
  std::vector<MeshFixture::Attachment> attachments(4);
  const char* names[] = {"p.light", "P.hand", "a.lamp", "x.point"};
  for (int i = 0; i < 4; ++i) {
    attachments[i].name = names[i];
    std::copy_n(turn, 9, attachments[i].rotation);
    attachments[i].position[0] = float(i);
  }
  Placed placed(attachments);
  RovanaIndexedMeshInstance instance(&placed.definition);
  const auto& points = instance.GetReferencePoints();
  ASSERT_EQ(points.size(), 2u);
  const auto* light = dynamic_cast<const Kiv::AttachmentPoint*>(points[0].get());
  const auto* hand = dynamic_cast<const Kiv::AttachmentPoint*>(points[1].get());
  ASSERT_TRUE(light && hand);
  EXPECT_EQ(light->GetName().View(), "p");
  EXPECT_EQ(light->GetSubName().View(), "light");
  EXPECT_EQ(hand->GetName().View(), "P");
  EXPECT_EQ(hand->position[0], 1.0f);
  EXPECT_NEAR(std::fabs(hand->rotation.z), std::sqrt(0.5f), 1e-6);
}

TEST(MeshInstanceEdit, BoundsOfTurnedAndMovedVertices) {
  Placed placed;
  RovanaIndexedMeshInstance instance(&placed.definition);
  // A quarter turn about z (x goes to y, y to -x), then a move by (10, 0, -1).
  const float turn[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1}, move[3] = {10, 0, -1};
  RVBox box;
  box.min[0] = box.min[1] = box.min[2] = std::numeric_limits<float>::max();
  box.max[0] = box.max[1] = box.max[2] = -std::numeric_limits<float>::max();
  instance.AccumulateBounds(box, turn, move);
  // The grid spans x, y in 0..4 at z = 0 and the quad reaches z = 2.
  EXPECT_FLOAT_EQ(box.min[0], 6.0f);
  EXPECT_FLOAT_EQ(box.max[0], 10.0f);
  EXPECT_FLOAT_EQ(box.min[1], 0.0f);
  EXPECT_FLOAT_EQ(box.max[1], 4.0f);
  EXPECT_FLOAT_EQ(box.min[2], -1.0f);
  EXPECT_FLOAT_EQ(box.max[2], 1.0f);
  // A second mesh's vertices grow the same box.
  const float still[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, far[3] = {0, 0, 20};
  instance.AccumulateBounds(box, still, far);
  EXPECT_FLOAT_EQ(box.max[2], 22.0f);
  EXPECT_FLOAT_EQ(box.min[0], 0.0f);
}

TEST(MeshInstanceEdit, TextureImagesComeOnlyFromTheMeshFolder) {
  Placed placed;
  // A resource of the folder that locks (its file read elsewhere).
  struct Kept : Kiv::Resource {
    using Resource::Resource;
    int Load(std::string_view) override { return 0; }
  } kept{Kiv::PString("<kuid:1:2>"), Kiv::PString("grid.im"), &placed.database};
  RovanaIndexedMeshInstance instance(&placed.definition);
  // Without its resource an instance has no folder to read from.
  RovanaIndexedMeshInstance loose(&placed.definition);
  instance.SetResource(&kept);
  ASSERT_EQ(instance.GetResource(), &kept);
  // A third chunk drawn with a one-texture material of the instance's own.
  auto material =
      std::make_shared<Kiv::OneTextureMaterial>(Kiv::OneTextureMaterial::UNDECORATED_TYPE(), nullptr);
  auto texture = std::make_shared<Kiv::Texture>(Kiv::PString("skin"));
  ASSERT_EQ(material->SetTexture(0, texture, 1.0f), 0);
  ASSERT_TRUE(instance.AddChunk(
      std::shared_ptr<Kiv::GeometryChunk>(placed.definition.GetChunks()[1]->Clone()), material));

  Kiv::Bitmap image;
  ASSERT_TRUE(image.Create(3, 2, Kiv::Bitmap::FormatRGBA32));
  image.Clear(0x80FF0000u);
  ASSERT_TRUE(image.Save(placed.folder.Path("asset/decal.png")));
  placed.folder.Write("asset/notes.png", "not an image");
  const std::string secret = placed.folder.Path("secret.png");
  ASSERT_TRUE(image.Save(secret));
  ASSERT_EQ(::symlink(secret.c_str(), placed.folder.Path("asset/link.png").c_str()), 0);

  EXPECT_TRUE(instance.LoadTextureImage(4, 5, 2, 0, "decal.png"));
  ASSERT_EQ(texture->GetImageWrites().size(), 1u);
  const Kiv::Texture::ImageWrite write = texture->GetImageWrites()[0];
  EXPECT_EQ(write.x, 4);
  EXPECT_EQ(write.y, 5);
  EXPECT_EQ(write.width, 3);
  EXPECT_EQ(write.height, 2);
  EXPECT_EQ(write.format, 1);  // four bytes with alpha

  for (const std::string& name :
       {std::string("../secret.png"), secret, std::string("sub/../../secret.png"), std::string("link.png"),
        std::string("missing.png"), std::string("notes.png"), std::string("")})
    EXPECT_FALSE(instance.LoadTextureImage(0, 0, 2, 0, name)) << name;
  EXPECT_FALSE(loose.LoadTextureImage(0, 0, 2, 0, "decal.png"));
  EXPECT_FALSE(instance.LoadTextureImage(0, 0, 2, 1, "decal.png"));  // no second texture
  EXPECT_FALSE(instance.LoadTextureImage(0, 0, 3, 0, "decal.png"));  // no fourth material
  EXPECT_FALSE(instance.LoadTextureImage(0, 0, 0, 0, "decal.png"));  // a material without textures
  EXPECT_EQ(texture->GetImageWrites().size(), 1u);

  // Each pixel layout goes in its display format; compressed blocks have none.
  const std::pair<Kiv::Bitmap::Format, int> formats[] = {
      {Kiv::Bitmap::FormatRGB24, 5}, {Kiv::Bitmap::FormatRGBX32, 3}, {Kiv::Bitmap::FormatGray8, 8}};
  for (const auto& [format, display] : formats) {
    Kiv::Bitmap pixels;
    ASSERT_TRUE(pixels.Create(2, 2, format));
    EXPECT_TRUE(instance.WriteTextureImage(0, 0, 2, 0, pixels));
    EXPECT_EQ(texture->GetImageWrites().back().format, display);
  }
  Kiv::Bitmap block;
  ASSERT_TRUE(block.Create(4, 4, Kiv::Bitmap::FormatBlock, 16));
  EXPECT_FALSE(instance.WriteTextureImage(0, 0, 2, 0, block));
  EXPECT_FALSE(instance.WriteTextureImage(0, 0, 2, 0, Kiv::Bitmap()));
  EXPECT_EQ(texture->GetImageWrites().size(), 4u);
}

// The nearest hit from 0 up to below `best`, every triangle of the instance tried.
bool Scan(const RovanaIndexedMeshInstance& instance, const float o[3], const float dir[3], float& best) {
  bool hit = false;
  for (uint32_t c = 0; c < instance.GetChunkCount(); ++c) {
    const bool twoSided = (*instance.GetMaterials())[c]->GetFlag();
    for (uint32_t t = 0; t < (*instance.GetChunks())[c]->GetNumIndices() / 3; ++t) {
      float corners[9], at = std::numeric_limits<float>::infinity();
      if (instance.GetTriangle(c, t, corners) &&
          RVAxisBoxTree::IntersectRayTriangle(corners, twoSided, o, dir, &at) && at >= 0 && at < best) {
        best = at;
        hit = true;
      }
    }
  }
  return hit;
}

TEST(MeshInstanceEdit, RaysThroughTheCollisionTreeAgreeWithTheScan) {
  Placed placed;
  Kiv::OverlappedResourceSystem loader;
  ASSERT_NE(placed.definition.GetCollisionTree(), nullptr);
  RovanaIndexedMeshInstance instance(&placed.definition);
  auto twoSided = std::static_pointer_cast<RovanaIndexedMeshInstance>(instance.CreateInstance());
  twoSided->CloneMaterial(0);
  (*twoSided->GetMaterials())[0]->SetFlag(true);
  std::mt19937 random(11);
  std::uniform_real_distribution<float> spread(-1.0f, 5.0f), lean(-0.3f, 0.3f);
  int hits = 0, backHits = 0;
  for (int ray = 0; ray < 600; ++ray) {
    const float origin[3] = {spread(random), spread(random), spread(random) - 1.0f};
    const float direction[3] = {lean(random), lean(random), ray % 2 ? -1.0f : 1.0f};
    for (const RovanaIndexedMeshInstance* tested : {&instance, twoSided.get()}) {
      float expected = 1000.0f, got = 1000.0f;
      uint32_t chunk = 99, triangle = 99;
      const bool want = Scan(*tested, origin, direction, expected);
      ASSERT_EQ(tested->TestCollisionGeometry(origin, direction, got, chunk, triangle), want) << ray;
      if (!want) continue;
      ++hits;
      backHits += tested == twoSided.get() && direction[2] > 0;
      EXPECT_FLOAT_EQ(got, expected);
      float corners[9], at = 1000.0f;
      ASSERT_TRUE(tested->GetTriangle(chunk, triangle, corners));
      ASSERT_TRUE(RVAxisBoxTree::IntersectRayTriangle(corners, true, origin, direction, &at));
      EXPECT_FLOAT_EQ(at, expected);
    }
  }
  EXPECT_GT(hits, 100);
  EXPECT_GT(backHits, 10);

  // A limit short of the quad finds nothing; an added chunk is found although
  // neither the definition's tree nor its box holds it.
  const float origin[3] = {0.5f, 0.5f, 5.0f}, down[3] = {0, 0, -1};
  float distance = 2.5f;
  uint32_t chunk = 0, triangle = 0;
  EXPECT_FALSE(instance.TestCollisionGeometry(origin, down, distance, chunk, triangle));
  MeshFixture::Mesh front;
  front.chunks.push_back(MeshFixture::Quad(1.0f));
  // It lies at z = 4 beside the grid, outside the definition's box.
  auto& corners = front.chunks[0].geometry.positions;
  for (size_t k = 0; k < corners.size(); k += 3) {
    corners[k] += 10;
    corners[k + 2] = 4;
  }
  RovanaIndexedMeshDefinition extra;
  extra.SetFileData(MeshFixture::Write(front), "front.im");
  ASSERT_EQ(extra.Load(nullptr, &placed.manager, &placed.resource, "front.im", 0), 0);
  std::shared_ptr<Kiv::GeometryChunk> added(extra.GetChunks()[0]->Clone());
  ASSERT_TRUE(instance.AddChunk(added, extra.GetMaterials()[0]));
  distance = 100.0f;
  const float beside[3] = {10.5f, 0.5f, 5.0f};
  EXPECT_TRUE(instance.TestCollisionGeometry(beside, down, distance, chunk, triangle));
  EXPECT_FLOAT_EQ(distance, 1.0f);
  EXPECT_EQ(chunk, 2u);
}

}  // namespace
