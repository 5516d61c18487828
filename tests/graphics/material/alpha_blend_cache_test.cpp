#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "graphics/material/AlphaBlendCacheUnsorted.h"
#include "graphics/material/RovanaAlphaBlendCache.h"
#include "kiv/render/Material.h"

namespace Kiv {
namespace {

// Black height of the subtree, or -1 when a red-black rule or the order is broken.
int CheckSubtree(const AlphaBlendItem* node, const AlphaBlendItem* sentinel, float low, float high) {
  if (node == sentinel) return 1;
  if (node->distance < low || node->distance > high) return -1;
  if (node->red && (node->left->red || node->right->red)) return -1;
  const int left = CheckSubtree(node->left, sentinel, low, node->distance);
  const int right = CheckSubtree(node->right, sentinel, node->distance, high);
  if (left < 0 || right < 0 || left != right) return -1;
  return left + (node->red ? 0 : 1);
}

std::vector<int> WalkIds(const AlphaBlendBucket& bucket) {
  std::vector<int> ids;
  bucket.WalkFarToNear([&](const AlphaBlendItem& item) { ids.push_back(static_cast<int>(item.parameter)); });
  return ids;
}

TEST(AlphaBlendBucket, StaysRedBlackAndWalksLikeAMultimapAfterRandomInserts) {
  AlphaBlendItemPool pool;
  AlphaBlendBucket bucket(pool);
  std::multimap<float, int> reference;
  std::mt19937 random(7);
  // Few distinct distances, so equal keys are common, plus a sorted run.
  std::uniform_int_distribution<int> coarse(0, 999);
  for (int i = 0; i < 100000; ++i) {
    const float distance = i % 10 == 0 ? static_cast<float>(i) : static_cast<float>(coarse(random)) * 0.5f;
    bucket.Insert(distance)->parameter = static_cast<uint32_t>(i);
    reference.emplace(distance, i);
  }
  ASSERT_EQ(bucket.Count(), 100000u);
  EXPECT_FALSE(bucket.Root()->red);
  EXPECT_GT(CheckSubtree(bucket.Root(), bucket.Sentinel(), -1.0f, std::numeric_limits<float>::infinity()), 0);

  // A multimap keeps equal keys in insertion order, so walking it backwards
  // gives the greatest distance first and the later of equal items first.
  std::vector<int> expected;
  for (auto it = reference.rbegin(); it != reference.rend(); ++it) expected.push_back(it->second);
  EXPECT_EQ(WalkIds(bucket), expected);

  bucket.Clear();
  EXPECT_EQ(bucket.Count(), 0u);
  EXPECT_TRUE(WalkIds(bucket).empty());
  // Every item is back in the pool except the header and the sentinel.
  EXPECT_EQ(pool.Free() + 2, pool.Allocated());
  bucket.Insert(3.0f);
  EXPECT_EQ(pool.Free() + 3, pool.Allocated());
}

TEST(AlphaBlendBucket, OddDistancesKeepTheTreeSound) {
  AlphaBlendItemPool pool;
  AlphaBlendBucket bucket(pool);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float values[] = {-5.0f, nan, 0.0f, std::numeric_limits<float>::infinity(), -0.0f, nan, 2.0f};
  for (uint32_t i = 0; i < 7; ++i) bucket.Insert(values[i])->parameter = i;
  EXPECT_EQ(WalkIds(bucket).size(), 7u);
  EXPECT_FALSE(bucket.Root()->red);
}

float Translation(float transform[16], float x, float y, float z) {
  for (int i = 0; i < 16; ++i) transform[i] = i % 5 == 0 ? 1.0f : 0.0f;
  transform[12] = x;
  transform[13] = y;
  transform[14] = z;
  return RovanaAlphaBlendCache::ViewerDistance(transform);
}

TEST(RovanaAlphaBlendCache, ChoosesBucketsByViewerDistance) {
  RovanaAlphaBlendCache cache;
  float transform[16];
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float x, y, z;
    uint32_t bucket;
  } cases[] = {// One Newton step falls just short of the true length: 5 lands in 0, 500 in 99.
               {0, 0, 0, 0},     {999.9f, 0, 0, 199}, {5000, 0, 0, 199},  {0, 3, 4, 0},
               {0, 0, -4.9f, 0}, {0, 0, 5.1f, 1},     {300, 400, 0, 99},  {inf, 0, 0, 0},
               {nan, 1, 1, 0},   {-1e30f, 0, 0, 0},   {0, 0, 694.9f, 138}};
  for (const Case& c : cases) {
    const float distance = Translation(transform, c.x, c.y, c.z);
    if (std::isfinite(distance) && distance > 0.0f) {
      EXPECT_NEAR(distance, std::sqrt(c.x * c.x + c.y * c.y + c.z * c.z), distance * 2e-3f);
    }
    EXPECT_EQ(cache.Add(nullptr, nullptr, transform, 0), c.bucket) << c.x << " " << c.y << " " << c.z;
  }
  EXPECT_EQ(Translation(transform, 0, 0, 0), 0.0f);
}

TEST(RovanaAlphaBlendCache, DetailDistanceSetsTheDetailCount) {
  RovanaAlphaBlendCache cache;
  EXPECT_EQ(cache.GetDetailDistance(), 250.0f);
  EXPECT_EQ(cache.GetDetailCount(), 50);
  EXPECT_EQ(cache.GetMaximumDistance(), 1000.0f);
  EXPECT_FLOAT_EQ(cache.GetFarDistance(), 350.00003f);
  const struct {
    float distance;
    int32_t count;
  } cases[] = {{100.0f, 20},
               {4.9f, 0},
               {5.0f, 1},
               {-30.0f, 0},
               {std::numeric_limits<float>::quiet_NaN(), 0},
               {1e30f, std::numeric_limits<int32_t>::max()}};
  for (const auto& c : cases) {
    cache.SetDetailDistance(c.distance);
    EXPECT_EQ(cache.GetDetailCount(), c.count) << c.distance;
  }
}

TEST(RovanaAlphaBlendCache, DrawsFarToNearAndLaterFirstOnTies) {
  RovanaAlphaBlendCache cache;
  float transform[16];
  const float distances[] = {10, 900, 10, 500, 10.5f, 900};
  for (uint32_t i = 0; i < 6; ++i) {
    Translation(transform, distances[i], 0, 0);
    cache.Add(nullptr, nullptr, transform, i);
  }
  EXPECT_FALSE(cache.IsEmpty());
  std::vector<uint32_t> order;
  const auto draw = [&](const AlphaBlendItem& item) { order.push_back(item.parameter); };
  cache.SetFrozen(true);
  cache.Render(draw);
  EXPECT_TRUE(order.empty());
  EXPECT_FALSE(cache.IsEmpty());
  cache.SetFrozen(false);
  cache.Render(draw);
  EXPECT_EQ(order, (std::vector<uint32_t>{5, 1, 3, 4, 2, 0}));
  EXPECT_TRUE(cache.IsEmpty());
}

TEST(RovanaAlphaBlendCache, NestedScenesUseTheirOwnBuckets) {
  RovanaAlphaBlendCache cache;
  float transform[16];
  Translation(transform, 20, 0, 0);
  const uint32_t outer = cache.Add(nullptr, nullptr, transform, 1);
  EXPECT_EQ(cache.BucketArraySize(), 200u);

  cache.Enter(false);
  EXPECT_EQ(cache.BucketBase(), 0u);
  cache.Enter(true);
  EXPECT_EQ(cache.BucketBase(), 200u);
  EXPECT_EQ(cache.BucketArraySize(), 400u);
  EXPECT_TRUE(cache.IsEmpty());
  cache.Add(nullptr, nullptr, transform, 2);

  std::vector<uint32_t> order;
  const auto draw = [&](const AlphaBlendItem& item) { order.push_back(item.parameter); };
  cache.Leave(true, draw);
  EXPECT_EQ(order, (std::vector<uint32_t>{2}));
  EXPECT_EQ(cache.BucketBase(), 0u);
  EXPECT_EQ(cache.BucketArraySize(), 400u);
  EXPECT_EQ(cache.Bucket(outer).Count(), 1u);

  // Re-entering reuses the appended buckets; an unmatched Leave stays at 0.
  cache.Enter(true);
  EXPECT_EQ(cache.BucketArraySize(), 400u);
  cache.Leave(true, draw);
  cache.Leave(true, draw);
  EXPECT_EQ(cache.BucketBase(), 0u);
  EXPECT_EQ(order, (std::vector<uint32_t>{2, 1}));
}

}  // namespace
}  // namespace Kiv

namespace Kiv {
namespace {

// A chunk of triangles along the x axis: triangle t lies at x = t.
std::unique_ptr<GeometryChunk> Row(uint32_t triangles, uint32_t geometryType) {
  const bool strip = geometryType == 1;
  const uint32_t vertices = strip ? triangles + 2 : triangles * 3;
  const uint32_t indices = vertices;
  auto chunk =
      std::make_unique<GeometryChunk>(PackedVertexPNT::Format(), vertices, triangles, indices, triangles,
                                      geometryType, PrimitiveKindOfGeometryType(geometryType));
  ElementArray positions = chunk->GetElement(kElementPosition);
  for (uint32_t v = 0; v < vertices; ++v) {
    const float p[3] = {strip ? float(v) - 1.0f : float(v / 3), float(v % 2), 0.0f};
    std::memcpy(positions.data + size_t(v) * positions.stride, p, sizeof p);
  }
  uint16_t* index = chunk->GetIndexArray();
  for (uint32_t i = 0; i < indices; ++i) index[i] = uint16_t(i);
  return chunk;
}

TEST(RovanaAlphaBlendCache, NearChunksDrawTheirTrianglesFarToNear) {
  RovanaAlphaBlendCache cache;
  auto list = Row(4, 0);
  float transform[16];
  // The viewer stands at x = -10 in the chunk's space (the chunk 10 units ahead).
  Translation(transform, 10, 0, 0);
  EXPECT_LT(cache.Add(list.get(), nullptr, transform, 1), RovanaAlphaBlendCache::kNearBucketLimit);
  std::vector<uint16_t> drawn;
  float itemDistance = 0.0f;
  cache.Render([&](const AlphaBlendItem& item) {
    ASSERT_TRUE(item.sorted);
    drawn.assign(item.sortedIndices, item.sortedIndices + item.sortedCount);
    itemDistance = item.distance;
  });
  EXPECT_EQ(drawn, (std::vector<uint16_t>{9, 10, 11, 6, 7, 8, 3, 4, 5, 0, 1, 2}));
  EXPECT_NEAR(itemDistance, 0.5f * (std::hypot(13.0f, 2.0f / 3) + std::hypot(10.0f, 1.0f / 3)), 1e-3f);

  // A strip: every second triangle turns round to keep its winding.
  auto strip = Row(3, 1);
  cache.Add(strip.get(), nullptr, transform, 2);
  cache.Render([&](const AlphaBlendItem& item) {
    drawn.assign(item.sortedIndices, item.sortedIndices + item.sortedCount);
  });
  EXPECT_EQ(drawn, (std::vector<uint16_t>{2, 3, 4, 3, 2, 1, 0, 1, 2}));

  // Far chunks, fans and chunks with an index past their vertices stay unsorted.
  Translation(transform, 500, 0, 0);
  cache.Add(list.get(), nullptr, transform, 3);
  Translation(transform, 10, 0, 0);
  auto fan = Row(2, 2);
  cache.Add(fan.get(), nullptr, transform, 4);
  auto broken = Row(2, 0);
  broken->GetIndexArray()[4] = 999;
  cache.Add(broken.get(), nullptr, transform, 5);
  size_t unsorted = 0;
  cache.Render([&](const AlphaBlendItem& item) { unsorted += item.sorted ? 0 : 1; });
  EXPECT_EQ(unsorted, 3u);
}

TEST(RovanaAlphaBlendCache, TheIndexPoolChainsBlocksAndBigChunksKeepTheirOwnCopy) {
  RovanaAlphaBlendCache cache;
  float transform[16];
  Translation(transform, 5, 0, 0);
  auto small = Row(3000, 0);  // 9000 indices: one pool block each
  auto big = Row(4000, 0);    // 12000 indices: more than a block holds
  cache.Add(small.get(), nullptr, transform, 1);
  cache.Add(small.get(), nullptr, transform, 2);
  EXPECT_EQ(cache.IndexPoolBlocks(), 2u);
  cache.Add(big.get(), nullptr, transform, 3);
  EXPECT_EQ(cache.IndexPoolBlocks(), 2u);
  size_t own = 0, total = 0;
  cache.Render([&](const AlphaBlendItem& item) {
    own += item.ownIndices.empty() ? 0 : 1;
    total += item.sortedCount;
    // Nearest triangle last: triangle 0 at x = 0.
    EXPECT_EQ(item.sortedIndices[item.sortedCount - 3], 0);
  });
  EXPECT_EQ(own, 1u);
  EXPECT_EQ(total, 9000u * 2 + 12000u);
  EXPECT_EQ(cache.IndexPoolBlocks(), 1u);
}

TEST(RovanaAlphaBlendCache, ANestedSceneLeavesTheOuterScenesSortedIndicesAlone) {
  RovanaAlphaBlendCache cache;
  float transform[16];
  Translation(transform, 10, 0, 0);
  auto outer = Row(4, 0);
  auto inner = Row(4, 0);
  inner->GetIndexArray()[0] = 1;  // a different order to tell them apart
  cache.Add(outer.get(), nullptr, transform, 1);
  std::vector<uint16_t> before;
  cache.Enter(true);
  cache.Add(inner.get(), nullptr, transform, 2);
  cache.Leave(true, [](const AlphaBlendItem&) {});
  // A later near chunk of the outer scene takes fresh pool entries.
  cache.Add(inner.get(), nullptr, transform, 3);
  cache.Render([&](const AlphaBlendItem& item) {
    if (item.parameter == 1) before.assign(item.sortedIndices, item.sortedIndices + item.sortedCount);
  });
  EXPECT_EQ(before, (std::vector<uint16_t>{9, 10, 11, 6, 7, 8, 3, 4, 5, 0, 1, 2}));
}

TEST(RovanaAlphaBlendCache, RendersThroughMaterialsWithTheBlendStateGivenBack) {
  RovanaAlphaBlendCache cache;
  Display display;
  auto material = std::make_shared<OneTextureMaterial>(PString("onetex"), nullptr);
  auto near = Row(2, 0);
  auto far = Row(2, 0);
  float transform[16];
  Translation(transform, 800, 0, 0);
  cache.Add(far.get(), material, transform, 1);
  Translation(transform, 5, 0, 0);
  cache.Add(near.get(), material, transform, 2);
  const DisplayRenderState before = display.State();
  cache.Render(display);
  ASSERT_EQ(display.Draws().size(), 2u);
  EXPECT_EQ(display.Draws()[0].chunk, far.get());
  EXPECT_EQ(display.Draws()[0].indices, nullptr);
  EXPECT_EQ(display.Draws()[1].chunk, near.get());
  EXPECT_NE(display.Draws()[1].indices, nullptr);
  EXPECT_EQ(display.Draws()[1].count, 2u);
  EXPECT_EQ(display.Draws()[1].state.blendSource, 4u);
  EXPECT_EQ(display.Draws()[1].state.blendDestination, 5u);
  EXPECT_TRUE(display.Draws()[1].state.alphaBlend);
  EXPECT_FALSE(display.Draws()[1].state.depthWrite);
  EXPECT_TRUE(display.State() == before);
  EXPECT_TRUE(cache.IsEmpty());
}

// Keeps each chunk a draw was handed, with its parameter.
struct RecordingMaterial : Material {
  RecordingMaterial() : Material(PString("onetex")) {}
  void RenderPrimitives(const RenderArgs& args, uint32_t, uint32_t) override {
    drawn.push_back({args.chunk, args.chunkParameter});
  }
  std::vector<std::pair<const GeometryChunk*, uint32_t>> drawn;
};

TEST(AlphaBlendCaches, EachChunkIsDrawnWithTheParameterItWasAddedWith) {
  Display display;
  auto material = std::make_shared<RecordingMaterial>();
  auto near = Row(2, 0), far = Row(2, 0);
  float transform[16];
  RovanaAlphaBlendCache sorted;
  Translation(transform, 800, 0, 0);
  sorted.Add(far.get(), material, transform, 7);
  Translation(transform, 5, 0, 0);  // near: drawn through its sorted triangles
  sorted.Add(near.get(), material, transform, 9);
  sorted.Render(display);
  AlphaBlendCacheUnsorted unsorted;
  unsorted.Add(far.get(), material, nullptr, 3);
  unsorted.Render(display);
  EXPECT_EQ(material->drawn, (decltype(material->drawn){{far.get(), 7u}, {near.get(), 9u}, {far.get(), 3u}}));
}

}  // namespace
}  // namespace Kiv
