#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "graphics/mesh/RVMapKDTree.h"

namespace {

struct Point {
  float p[3];
};

std::vector<int> BruteForce(const std::vector<Point>& points, const float min[3], const float max[3]) {
  std::vector<int> values;
  for (size_t i = 0; i < points.size(); ++i) {
    const float* p = points[i].p;
    if (min[0] <= p[0] && p[0] <= max[0] && min[1] <= p[1] && p[1] <= max[1] && min[2] <= p[2] &&
        p[2] <= max[2])
      values.push_back(static_cast<int>(i));
  }
  return values;
}

// Half the points lie on an integer lattice, so integer query boxes have many
// points exactly on their faces; the other half are anywhere.
std::vector<Point> RandomPoints(size_t n, std::mt19937& rng) {
  std::uniform_int_distribution<int> lattice(0, 20);
  std::uniform_real_distribution<float> anywhere(0.0f, 20.0f);
  std::vector<Point> points(n);
  for (size_t i = 0; i < n; ++i)
    for (float& c : points[i].p) c = i % 2 ? static_cast<float>(lattice(rng)) : anywhere(rng);
  return points;
}

TEST(RVMapKDTree, BoxQueriesEqualBruteForce) {
  std::mt19937 rng(11);
  const auto points = RandomPoints(10000, rng);
  RVPointTree tree(kRebuildNever);
  for (size_t i = 0; i < points.size(); ++i) ASSERT_TRUE(tree.Insert(points[i].p, static_cast<int>(i)));
  tree.Build();
  // 500 more inserted after the build are found by the linear pass.
  auto more = RandomPoints(500, rng);
  auto all = points;
  for (size_t i = 0; i < more.size(); ++i) {
    // Set-up; the checks below show a failure.
    (void)tree.Insert(more[i].p, static_cast<int>(points.size() + i));
    all.push_back(more[i]);
  }
  EXPECT_EQ(tree.BuiltCount(), 10000u);

  std::uniform_int_distribution<int> corner(-1, 21), size(0, 8);
  for (int q = 0; q < 400; ++q) {
    float min[3], max[3];
    for (int a = 0; a < 3; ++a) {
      min[a] = static_cast<float>(corner(rng));
      max[a] = min[a] + static_cast<float>(size(rng));
    }
    std::vector<int> got;
    tree.Query(min, max, got);
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got, BruteForce(all, min, max)) << "query " << q;
  }

  // A removed node is no longer found, and is dropped at the next build.
  const float* p = all[1].p;
  const float box[3] = {p[0], p[1], p[2]};
  std::vector<int> before;
  tree.Query(box, box, before);
  ASSERT_TRUE(tree.Remove(p, 1));
  std::vector<int> after;
  tree.Query(box, box, after);
  EXPECT_EQ(after.size() + 1, before.size());
  tree.Build();
  EXPECT_EQ(tree.Size(), all.size() - 1);
}

TEST(RVMapKDTree, RebuildRules) {
  struct Case {
    int mode;
    size_t built, added;
    bool rebuilds;
  } cases[] = {
      {kRebuildNever, 0, 5000, false},
      {kRebuildEveryInsert, 100, 1, true},
      {kRebuildAutomatic, 0, 11, true},
      {kRebuildAutomatic, 0, 10, false},
      {kRebuildAutomatic, 100, 11, false},
      {kRebuildAutomatic, 100, 13, true},
      {kRebuildAutomatic, 100000, 1001, true},
      {5, 0, 5, false},
      {5, 0, 6, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << " built " << c.built << " added " << c.added);
    RVPointTree tree(kRebuildNever);
    float p[3] = {0, 0, 0};
    for (size_t i = 0; i < c.built; ++i) {
      p[0] = static_cast<float>(i);
      // Set-up; the checks below show a failure.
      (void)tree.Insert(p, 0);
    }
    tree.Build();
    // Set-up; the checks below show a failure.
    for (size_t i = 0; i < c.added; ++i) (void)tree.Insert(p, 1);
    tree.SetRebuildMode(c.mode);
    EXPECT_EQ(tree.ShouldRebuild(), c.rebuilds);
  }
  // Deferred: inserts never build; the next query does.
  RVPointTree tree(kRebuildAutomatic);
  tree.SetDeferredRebuild(true);
  float p[3] = {1, 2, 3};
  // Set-up; the checks below show a failure.
  for (int i = 0; i < 20; ++i) (void)tree.Insert(p, i);
  EXPECT_EQ(tree.BuiltCount(), 0u);
  std::vector<int> found;
  tree.Query(p, p, found);
  EXPECT_EQ(tree.BuiltCount(), 20u);
  EXPECT_EQ(found.size(), 20u);
}

TEST(RVMapKDTree, NonFinitePointsAreRefused) {
  RVPointTree tree;
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    const float p[3] = {0, bad, 0};
    EXPECT_FALSE(tree.Insert(p, 1));
  }
  EXPECT_EQ(tree.Size(), 0u);
}

}  // namespace
