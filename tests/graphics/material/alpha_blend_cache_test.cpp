#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "graphics/material/RovanaAlphaBlendCache.h"

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
