#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <tuple>
#include <random>
#include <vector>

#include "foundation/Geometry.h"
#include "graphics/mesh/CollisionGeometrySharingInterface.h"
#include "graphics/mesh/RVAxisBoxTree.h"
#include "kiv/render/Display.h"
#include "kiv/render/Material.h"
#include "kiv/render/OverlappedResource.h"
#include "kiv/render/Resource.h"
#include "kiv/render/StdMath.h"
#include "tests/graphics/mesh/MeshFixture.h"

namespace {

// A triangle soup spread over three chunks.
struct Soup : RVAxisBoxTreeExternalGeometry {
  std::vector<std::array<float, 9>> triangles;
  static uint32_t Chunk(size_t i) { return uint32_t(i % 3); }
  static uint32_t FirstIndex(size_t i) { return uint32_t(3 * (i / 3)); }
  bool GetTriangle(uint32_t id, float corners[9]) const override {
    const size_t i = 3 * (CollisionTriangleFirstIndex(id) / 3) + CollisionTriangleChunk(id);
    if (i >= triangles.size()) return false;
    std::copy(triangles[i].begin(), triangles[i].end(), corners);
    return true;
  }
  uint32_t Id(size_t i) const {
    uint32_t id = 0;
    // Set-up; the checks below show a failure.
    (void)MakeCollisionTriangleId(Chunk(i), FirstIndex(i), id);
    return id;
  }
  bool Build(RVAxisBoxTree& tree) const {
    tree.BeginBuild(*this);
    for (size_t i = 0; i < triangles.size(); ++i)
      // Set-up; the checks below show a failure.
      (void)tree.AddTriangle(Chunk(i), FirstIndex(i), triangles[i].data());
    return tree.Build();
  }
};

Soup RandomSoup(size_t count, std::mt19937& rng, bool flipWinding, float offset = 0.0f) {
  std::uniform_real_distribution<float> where(-50.0f, 50.0f), corner(-4.0f, 4.0f);
  Soup soup;
  while (soup.triangles.size() < count) {
    std::array<float, 9> t;
    float centre[3] = {where(rng) + offset, where(rng), where(rng)};
    for (int c = 0; c < 3; ++c)
      for (int k = 0; k < 3; ++k) t[3 * c + k] = centre[k] + corner(rng);
    if (flipWinding) std::swap_ranges(t.begin() + 3, t.begin() + 6, t.begin() + 6);
    if (IsTriangleNonDegenerate(t.data(), t.data() + 3, t.data() + 6)) soup.triangles.push_back(t);
  }
  return soup;
}

// Every added triangle is in exactly one leaf (when some were refused, none
// is in two), and every decoded node box contains the boxes of the triangles
// below it.
void CheckTree(const RVAxisBoxTree& tree, const Soup& soup, bool allAdded = true) {
  const auto& nodes = tree.GetNodes();
  std::vector<int> seen(soup.triangles.size(), 0);
  std::vector<std::pair<int32_t, int32_t>> work{{0, -1}};
  std::function<void(int32_t)> visit = [&](int32_t n) {
    const auto& node = nodes[size_t(n)];
    float c[3], e[3];
    tree.DecodeBox(node, c, e);
    std::function<void(int32_t)> contains = [&](int32_t m) {
      const auto& inner = nodes[size_t(m)];
      if (inner.first >= 0) {
        contains(inner.first);
        contains(inner.second);
        return;
      }
      for (int32_t i = 0; i < inner.second; ++i) {
        const uint32_t id = tree.GetLeafItems()[size_t(-1 - inner.first + i)];
        float corners[9];
        ASSERT_TRUE(soup.GetTriangle(id, corners));
        for (int v = 0; v < 3; ++v)
          for (int k = 0; k < 3; ++k) {
            ASSERT_LE(c[k] - e[k], corners[3 * v + k]);
            ASSERT_GE(c[k] + e[k], corners[3 * v + k]);
          }
      }
    };
    contains(n);
    if (node.first >= 0) {
      visit(node.first);
      visit(node.second);
    } else {
      for (int32_t i = 0; i < node.second; ++i) {
        const uint32_t id = tree.GetLeafItems()[size_t(-1 - node.first + i)];
        const size_t index = 3 * (CollisionTriangleFirstIndex(id) / 3) + CollisionTriangleChunk(id);
        ASSERT_LT(index, seen.size());
        ++seen[index];
      }
    }
  };
  visit(0);
  for (int s : seen) ASSERT_EQ(s, allAdded ? 1 : std::min(s, 1));
}

TEST(CollisionPrimitives, RayTriangleTest) {
  const float tri[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};  // normal +z
  const float down[3] = {0, 0, -1}, up[3] = {0, 0, 1}, along[3] = {1, 0, 0};
  const float above[3] = {0.25f, 0.25f, 2}, below[3] = {0.25f, 0.25f, -2};
  float nearest = FLT_MAX;
  // From the front, one-sided and two-sided.
  EXPECT_TRUE(RVAxisBoxTree::IntersectRayTriangle(tri, false, above, down, &nearest));
  EXPECT_FLOAT_EQ(nearest, 2.0f);
  // From behind only two-sided. The one-sided test takes det > 0 as front.
  nearest = FLT_MAX;
  EXPECT_FALSE(RVAxisBoxTree::IntersectRayTriangle(tri, false, below, up, &nearest));
  EXPECT_TRUE(RVAxisBoxTree::IntersectRayTriangle(tri, true, below, up, &nearest));
  // Parallel never hits.
  const float inPlane[3] = {-1, 0.25f, 0};
  EXPECT_FALSE(RVAxisBoxTree::IntersectRayTriangle(tri, false, inPlane, along, &nearest));
  EXPECT_FALSE(RVAxisBoxTree::IntersectRayTriangle(tri, true, inPlane, along, &nearest));
  // Behind the origin is a hit and lowers the nearest distance.
  nearest = 5.0f;
  EXPECT_TRUE(RVAxisBoxTree::IntersectRayTriangle(tri, true, above, up, &nearest));
  EXPECT_FLOAT_EQ(nearest, -2.0f);
}

TEST(CollisionPrimitives, PointInTriangleIgnoresWinding) {
  struct Case {
    float tri[9];
    float point[3];
    bool inside;
  } cases[] = {
      {{0, 0, 0, 1, 0, 0, 0, 1, 0}, {0.2f, 0.2f, 0}, true},
      {{0, 0, 0, 0, 1, 0, 1, 0, 0}, {0.2f, 0.2f, 0}, true},  // reversed winding
      {{0, 0, 0, 0, 1, 0, 1, 0, 0}, {0.8f, 0.8f, 0}, false},
      {{0, 0, 0, 1, 0, 0, 0, 1, 0}, {0.5f, 0.0f, 0}, true},  // on an edge
      {{0, 0, 0, 1, 0, 0, 0, 1, 0}, {0.0f, 0.0f, 0}, true},  // on a corner
      {{0, 0, 0, 0, 0, 1, 0, 1, 0}, {0, 0.2f, 0.2f}, true},  // x dropped, reversed
      {{0, 0, 0, 1, 0, 0, 0, 0, 1}, {0.2f, 0, 0.2f}, true},  // y dropped
      {{0, 0, 0, 1, 0, 0, 0, 0, 1}, {0.2f, 0, -0.2f}, false},
  };
  for (const Case& c : cases) {
    float e1[3], e2[3], n[3];
    for (int k = 0; k < 3; ++k) {
      e1[k] = c.tri[3 + k] - c.tri[k];
      e2[k] = c.tri[6 + k] - c.tri[k];
    }
    n[0] = e1[1] * e2[2] - e1[2] * e2[1];
    n[1] = e1[2] * e2[0] - e1[0] * e2[2];
    n[2] = e1[0] * e2[1] - e1[1] * e2[0];
    EXPECT_EQ(RVAxisBoxTree::IsPointInTriangle(n, c.tri, c.point), c.inside)
        << c.point[0] << "," << c.point[1] << "," << c.point[2];
  }
}

TEST(CollisionTree, LeafSizesAndSplits) {
  // Thin triangles along x; counts give one leaf, 32/33 and (evened) 64/66.
  for (auto [count, firstHalf, secondHalf] : {std::tuple{64, 64, 0}, {65, 32, 33}, {130, 64, 66}}) {
    Soup soup;
    for (int i = 0; i < count; ++i) {
      const float x = float(i);
      soup.triangles.push_back({x, 0, 0, x + 0.5f, 0, 0, x, 1, 0});
    }
    RVAxisBoxTree tree;
    ASSERT_TRUE(soup.Build(tree));
    const auto& nodes = tree.GetNodes();
    std::function<int(int32_t)> below = [&](int32_t n) {
      const auto& node = nodes[size_t(n)];
      return node.first < 0 ? node.second : below(node.first) + below(node.second);
    };
    if (secondHalf == 0) {
      ASSERT_EQ(nodes.size(), 1u);
      EXPECT_EQ(nodes[0].second, count);
    } else {
      ASSERT_GE(nodes.size(), 3u);
      EXPECT_EQ(nodes[0].first, 1);
      EXPECT_EQ(nodes[0].second, 2);
      EXPECT_EQ(below(1), firstHalf);
      EXPECT_EQ(below(2), secondHalf);
    }
    CheckTree(tree, soup);
  }
}

TEST(CollisionTree, RefusedTrianglesAndLargeChunks) {
  Soup soup;
  soup.triangles.push_back({0, 0, 0, 1, 0, 0, 0, 1, 0});
  RVAxisBoxTree tree;
  tree.BeginBuild(soup);
  EXPECT_FALSE(tree.AddTriangle(512, 0, soup.triangles[0].data()));
  const float flat[9] = {0, 0, 0, 1, 0, 0, 2, 0, 0};
  EXPECT_FALSE(tree.AddTriangle(0, 0, flat));
  EXPECT_FALSE(tree.AddTriangle(0, 1, soup.triangles[0].data()));  // not a triangle start
  EXPECT_EQ(tree.GetErrorCount(), 3u);
  EXPECT_FALSE(tree.Build());
  const float start[3] = {0.2f, 0.2f, 1}, end[3] = {0.2f, 0.2f, -1};
  RVSegmentHit hit;
  EXPECT_FALSE(tree.QuerySegment(start, end, hit));
  EXPECT_EQ(hit.triangle, kCollisionNoTriangle);

  // Positions far beyond 65536 indices keep their own chunk and position.
  uint32_t id = 0;
  ASSERT_TRUE(MakeCollisionTriangleId(511, 3 * 70000, id));
  EXPECT_EQ(CollisionTriangleChunk(id), 511u);
  EXPECT_EQ(CollisionTriangleFirstIndex(id), 3u * 70000u);
  ASSERT_TRUE(MakeCollisionTriangleId(1, 3 * 65536, id));
  uint32_t other = 0;
  ASSERT_TRUE(MakeCollisionTriangleId(2, 0, other));
  EXPECT_NE(id, other);
  EXPECT_FALSE(MakeCollisionTriangleId(0, 3u << 23, id));
}

TEST(CollisionTree, SegmentStartingOnTheTriangleHitsAtZero) {
  Soup soup;
  soup.triangles.push_back({0, 0, 0, 1, 0, 0, 0, 1, 0});
  RVAxisBoxTree tree;
  ASSERT_TRUE(soup.Build(tree));
  const float start[3] = {0.2f, 0.2f, 0}, end[3] = {0.2f, 0.2f, 3};
  RVSegmentHit hit;
  ASSERT_TRUE(tree.QuerySegment(start, end, hit));
  EXPECT_EQ(hit.fraction, 0.0f);
  EXPECT_NEAR(hit.normal[2], 1.0f, 1e-5f);
  const float outside[3] = {2, 2, 0}, outsideEnd[3] = {2, 2, 3};
  EXPECT_FALSE(tree.QuerySegment(outside, outsideEnd, hit));
}

// The nearest hit equals a scan of every triangle, on soups of both windings,
// near the origin and far from it (where node boxes quantise coarsely).
TEST(CollisionTree, NearestHitEqualsBruteForce) {
  std::mt19937 rng(26);
  for (auto [flip, offset] : {std::pair{false, 0.0f}, {true, 0.0f}, {false, 1.0e5f}}) {
    const Soup soup = RandomSoup(1500, rng, flip, offset);
    RVAxisBoxTree tree;
    ASSERT_TRUE(soup.Build(tree));
    ASSERT_EQ(tree.GetErrorCount(), 0u);
    CheckTree(tree, soup);
    std::uniform_real_distribution<float> where(-60.0f, 60.0f);
    int hits = 0;
    for (int q = 0; q < 10000; ++q) {
      float start[3] = {where(rng) + offset, where(rng), where(rng)};
      float end[3] = {where(rng) + offset, where(rng), where(rng)};
      float best = FLT_MAX;
      size_t bestIndex = 0;
      for (size_t i = 0; i < soup.triangles.size(); ++i) {
        float fraction, point[3], normal[3];
        if (RVAxisBoxTree::SegmentHitsTriangle(soup.triangles[i].data(), start, end, fraction, point,
                                               normal) &&
            fraction < best) {
          best = fraction;
          bestIndex = i;
        }
      }
      RVSegmentHit hit;
      const bool found = tree.QuerySegment(start, end, hit);
      ASSERT_EQ(found, best != FLT_MAX) << q;
      if (!found) continue;
      ++hits;
      ASSERT_EQ(hit.fraction, best) << q;
      float corners[9];
      ASSERT_TRUE(soup.GetTriangle(hit.triangle, corners));
      float fraction, point[3], normal[3];
      ASSERT_TRUE(RVAxisBoxTree::SegmentHitsTriangle(corners, start, end, fraction, point, normal));
      EXPECT_EQ(fraction, best);
      (void)bestIndex;
    }
    // The soups are dense enough that the comparison covers many hits.
    EXPECT_GT(hits, 1000);
  }
}

// Reversing every triangle changes no answer (the in-triangle test is winding-free).
TEST(CollisionTree, WindingDoesNotChangeHits) {
  std::mt19937 rng(7);
  Soup soup = RandomSoup(500, rng, false), flipped = soup;
  for (auto& t : flipped.triangles) std::swap_ranges(t.begin() + 3, t.begin() + 6, t.begin() + 6);
  RVAxisBoxTree a, b;
  ASSERT_TRUE(soup.Build(a));
  ASSERT_TRUE(flipped.Build(b));
  std::uniform_real_distribution<float> where(-60.0f, 60.0f);
  int hits = 0;
  for (int q = 0; q < 2000; ++q) {
    float start[3] = {where(rng), where(rng), where(rng)}, end[3] = {where(rng), where(rng), where(rng)};
    RVSegmentHit ha, hb;
    const bool fa = a.QuerySegment(start, end, ha), fb = b.QuerySegment(start, end, hb);
    ASSERT_EQ(fa, fb);
    if (fa) {
      ++hits;
      EXPECT_NEAR(ha.fraction, hb.fraction, 1e-5f);
    }
  }
  EXPECT_GT(hits, 100);
}

TEST(CollisionTree, BuildsFromAMeshDefinition) {
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Quad(2.0f));
  Kiv::Display display;
  Kiv::ScriptedMaterialManager manager;
  Kiv::Resource resource{Kiv::PString("<kuid:1:2>"), Kiv::PString("meshes/body.im")};
  MeshLoadOptions options;
  RovanaIndexedMeshDefinition definition(options);
  definition.SetFileData(MeshFixture::Write(mesh), "meshes/body.im");
  ASSERT_EQ(definition.Load(&display, &manager, &resource, "meshes/body.im", 0xFFFFFFFFu), 0);
  CollisionGeometrySharingInterface geometry(definition);
  RVAxisBoxTree tree;
  ASSERT_TRUE(BuildCollisionTree(definition, geometry, tree));
  const float* max = definition.GetBounds();
  const float* min = max + 3;
  float start[3], end[3];
  for (int k = 0; k < 3; ++k) start[k] = end[k] = 0.5f * (min[k] + max[k]);
  // Through the quad along its thinnest axis.
  int thin = 0;
  for (int k = 1; k < 3; ++k)
    if (max[k] - min[k] < max[thin] - min[thin]) thin = k;
  start[thin] += 1.0f;
  end[thin] -= 1.0f;
  RVSegmentHit hit;
  ASSERT_TRUE(tree.QuerySegment(start, end, hit));
  EXPECT_NEAR(hit.fraction, 0.5f, 1e-5f);
  EXPECT_EQ(CollisionTriangleChunk(hit.triangle), 0u);
  // An identifier outside the mesh gives no triangle.
  uint32_t id = 0;
  ASSERT_TRUE(MakeCollisionTriangleId(0, 3000, id));
  float corners[9];
  EXPECT_FALSE(geometry.GetTriangle(id, corners));
}

// A fan of triangles around one corner in one leaf: a segment through the
// corner meets them all at the same fraction, and the answer is the one a
// scan of the leaf in its own order keeps (the last of the equal ones).
TEST(CollisionTree, EqualFractionsKeepTheLastTriangleOfTheLeaf) {
  Soup soup;
  for (int i = 0; i < 12; ++i) {
    const float a0 = float(i) * 0.5235988f, a1 = float(i + 1) * 0.5235988f;
    soup.triangles.push_back(
        {0, 0, 0, std::cos(a0), std::sin(a0), 0.01f * float(i), std::cos(a1), std::sin(a1), 0.0f});
  }
  RVAxisBoxTree tree;
  ASSERT_TRUE(soup.Build(tree));
  ASSERT_EQ(tree.GetNodes().size(), 1u);
  for (const std::array<float, 6>& s :
       {std::array<float, 6>{0, 0, 1, 0, 0, -1}, {0.3f, 0.1f, 2, -0.3f, -0.1f, -2}}) {
    float best = FLT_MAX;
    uint32_t expected = kCollisionNoTriangle;
    for (uint32_t id : tree.GetLeafItems()) {
      float corners[9], fraction, point[3], normal[3];
      ASSERT_TRUE(soup.GetTriangle(id, corners));
      if (RVAxisBoxTree::SegmentHitsTriangle(corners, s.data(), s.data() + 3, fraction, point, normal,
                                             best) &&
          fraction <= best) {
        best = fraction;
        expected = id;
      }
    }
    RVSegmentHit hit;
    ASSERT_TRUE(tree.QuerySegment(s.data(), s.data() + 3, hit));
    EXPECT_EQ(hit.fraction, best);
    EXPECT_EQ(hit.triangle, expected);
  }
}

// The segment query as a plain descent of the stored tree: decoded boxes,
// the separating-axis test, the near child first while its entry does not
// pass the best fraction, and each leaf's triangles fetched and scanned in
// leaf order, the last of equal fractions kept.
bool PlainQuery(const RVAxisBoxTree& tree, const RVAxisBoxTreeExternalGeometry& geometry,
                const float start[3], const float end[3], RVSegmentHit& hit) {
  hit = RVSegmentHit{};
  const auto& nodes = tree.GetNodes();
  if (nodes.empty()) return false;
  float mid[3], half[3], absHalf[3], dir[3], absDir[3];
  for (int k = 0; k < 3; ++k) {
    mid[k] = start[k] * 0.5f + end[k] * 0.5f;
    half[k] = end[k] * 0.5f - start[k] * 0.5f;
    absHalf[k] = std::fabs(half[k]);
    dir[k] = end[k] - start[k];
  }
  const float length = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
  const float inverse = length > 0.0f ? 1.0f / length : 0.0f;
  for (int k = 0; k < 3; ++k) {
    dir[k] *= inverse;
    absDir[k] = std::fabs(dir[k]);
  }
  const float offset = dir[0] * start[0] + dir[1] * start[1] + dir[2] * start[2];
  float best = FLT_MAX;
  auto overlaps = [&](const float c[3], const float e[3]) {
    float w[3];
    for (int k = 0; k < 3; ++k) {
      w[k] = mid[k] - c[k];
      if (std::fabs(w[k]) > e[k] + absHalf[k]) return false;
    }
    return !(std::fabs(half[1] * w[2] - w[1] * half[2]) > e[1] * absHalf[2] + e[2] * absHalf[1] ||
             std::fabs(half[2] * w[0] - w[2] * half[0]) > e[2] * absHalf[0] + e[0] * absHalf[2] ||
             std::fabs(half[0] * w[1] - w[0] * half[1]) > e[0] * absHalf[1] + e[1] * absHalf[0]);
  };
  auto entry = [&](const float c[3], const float e[3]) {
    return (((dir[0] * c[0] + dir[1] * c[1]) + dir[2] * c[2]) - offset -
            ((absDir[0] * e[0] + absDir[1] * e[1]) + absDir[2] * e[2])) *
           inverse;
  };
  std::function<void(int32_t)> visit = [&](int32_t n) {
    const auto& node = nodes[size_t(n)];
    float c[3], e[3];
    tree.DecodeBox(node, c, e);
    if (!overlaps(c, e)) return;
    if (node.first < 0) {
      for (int32_t i = 0; i < node.second; ++i) {
        const uint32_t id = tree.GetLeafItems()[size_t(-1 - node.first + i)];
        float corners[9], fraction, point[3], normal[3];
        if (!geometry.GetTriangle(id, corners)) continue;
        if (RVAxisBoxTree::SegmentHitsTriangle(corners, start, end, fraction, point, normal, best) &&
            fraction <= best) {
          best = fraction;
          std::copy(point, point + 3, hit.point);
          std::copy(normal, normal + 3, hit.normal);
          hit.fraction = fraction;
          hit.triangle = id;
        }
      }
      return;
    }
    float ca[3], ea[3], cb[3], eb[3];
    tree.DecodeBox(nodes[size_t(node.first)], ca, ea);
    tree.DecodeBox(nodes[size_t(node.second)], cb, eb);
    const float va = entry(ca, ea), vb = entry(cb, eb);
    const bool firstNear = va <= vb;
    if ((firstNear ? va : vb) <= best) visit(firstNear ? node.first : node.second);
    if ((firstNear ? vb : va) <= best) visit(firstNear ? node.second : node.first);
  };
  visit(0);
  if (best == FLT_MAX) return false;
  const float squared =
      hit.normal[0] * hit.normal[0] + hit.normal[1] * hit.normal[1] + hit.normal[2] * hit.normal[2];
  if (squared > 0.0f) {
    const float scale = Kiv::StdMath::InvSqrt(squared);
    for (float& v : hit.normal) v *= scale;
  }
  return true;
}

// Meshes and segments made to meet at equal fractions, on edges and corners
// and box faces: grids of whole-number corners (twice over, so identical
// triangles sit in different leaves), the faces of boxes, slivers, and a
// random soup; the segments join grid points, run along the grid's plane or
// have no length.
TEST(CollisionTree, QueriesEqualThePlainDescent) {
  std::mt19937 rng(2604);
  std::uniform_int_distribution<int> small(-8, 8), leafSize(2, 32);
  int compared = 0, hits = 0, ties = 0;
  for (int mesh = 0; mesh < 48; ++mesh) {
    Soup soup;
    const int kind = mesh % 4;
    const float scale = mesh % 8 < 4 ? 1.0f : 0.5f;
    const float offset = mesh % 16 < 8 ? 0.0f : 3.0e4f;
    auto add = [&](std::array<float, 9> t) {
      for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k) t[3 * c + k] = t[3 * c + k] * scale + (k == 0 ? offset : 0.0f);
      soup.triangles.push_back(t);
    };
    if (kind == 0 || kind == 1) {
      // A bumpy grid, twice; kind 1 splits its cells the other way.
      for (int copy = 0; copy < 2; ++copy)
        for (int x = -8; x < 8; ++x)
          for (int y = -8; y < 8; ++y) {
            const float h00 = float((x * 7 + y * 3) % 3), h10 = float(((x + 1) * 7 + y * 3) % 3);
            const float h01 = float((x * 7 + (y + 1) * 3) % 3), h11 = float(((x + 1) * 7 + (y + 1) * 3) % 3);
            const float X = float(x), Y = float(y);
            if (kind == 0) {
              add({X, Y, h00, X + 1, Y, h10, X + 1, Y + 1, h11});
              add({X, Y, h00, X + 1, Y + 1, h11, X, Y + 1, h01});
            } else {
              add({X, Y, h00, X + 1, Y, h10, X, Y + 1, h01});
              add({X + 1, Y, h10, X + 1, Y + 1, h11, X, Y + 1, h01});
            }
          }
    } else if (kind == 2) {
      // Faces of whole-number boxes, each face two triangles, and slivers.
      for (int b = 0; b < 60; ++b) {
        const float lo[3] = {float(small(rng)), float(small(rng)), float(small(rng))};
        const float hi[3] = {lo[0] + 1 + float(b % 3), lo[1] + 1, lo[2] + 2};
        for (int axis = 0; axis < 3; ++axis)
          for (int side = 0; side < 2; ++side) {
            const int i = (axis + 1) % 3, j = (axis + 2) % 3;
            float q[4][3];
            for (int v = 0; v < 4; ++v) {
              q[v][axis] = side ? hi[axis] : lo[axis];
              q[v][i] = (v == 1 || v == 2) ? hi[i] : lo[i];
              q[v][j] = v >= 2 ? hi[j] : lo[j];
            }
            add({q[0][0], q[0][1], q[0][2], q[1][0], q[1][1], q[1][2], q[2][0], q[2][1], q[2][2]});
            add({q[0][0], q[0][1], q[0][2], q[2][0], q[2][1], q[2][2], q[3][0], q[3][1], q[3][2]});
          }
        const float x = float(small(rng)), y = float(small(rng)), z = float(small(rng));
        add({x, y, z, x + 8, y + 1, z, x + 16, y + 2.05f, z});  // a sliver, nearly a line
      }
    } else {
      const Soup random = RandomSoup(400 + 100 * size_t(mesh % 5), rng, mesh % 2 == 1);
      for (const auto& t : random.triangles) add(t);
    }
    RVAxisBoxTree tree;
    // Some grids go in one leaf of a thousand triangles, whose positions pass 255.
    tree.BeginBuild(soup, mesh % 8 == 5 ? 1024u : uint32_t(2 * leafSize(rng)));
    for (size_t i = 0; i < soup.triangles.size(); ++i)
      // Set-up; the checks below show a failure.
      (void)tree.AddTriangle(Soup::Chunk(i), Soup::FirstIndex(i), soup.triangles[i].data());
    ASSERT_TRUE(tree.Build());
    // Whole-number corners give many equal box centres; the halves' boxes
    // must still hold their triangles.
    CheckTree(tree, soup, false);

    std::uniform_real_distribution<float> anywhere(-12.0f, 12.0f);
    for (int q = 0; q < 3000; ++q) {
      float start[3], end[3];
      const int shape = q % 5;
      for (int k = 0; k < 3; ++k) {
        if (shape == 4) {
          start[k] = anywhere(rng);
          end[k] = anywhere(rng);
        } else {
          // Grid points and half points.
          start[k] = float(small(rng)) * 0.5f;
          end[k] = float(small(rng)) * (shape == 1 ? 1.0f : 0.5f);
        }
      }
      if (shape == 2) end[2] = start[2];                                   // in a plane of the grid
      if (shape == 3 && q % 3 == 0) std::copy(start, start + 3, end);      // no length
      if (shape == 3 && q % 3 == 1) end[0] = start[0], end[1] = start[1];  // straight down or up
      for (int k = 0; k < 3; ++k) {
        start[k] = start[k] * scale + (k == 0 ? offset : 0.0f);
        end[k] = end[k] * scale + (k == 0 ? offset : 0.0f);
      }
      RVSegmentHit expected, got;
      const bool plain = PlainQuery(tree, soup, start, end, expected);
      const bool found = tree.QuerySegment(start, end, got);
      ++compared;
      ASSERT_EQ(found, plain) << mesh << " " << q;
      ASSERT_EQ(got.fraction, expected.fraction) << mesh << " " << q;
      ASSERT_EQ(got.triangle, expected.triangle) << mesh << " " << q;
      for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(got.point[k], expected.point[k]) << mesh << " " << q;
        ASSERT_EQ(got.normal[k], expected.normal[k]) << mesh << " " << q;
      }
      if (!found) continue;
      ++hits;
      // Count the queries where another triangle meets the segment at the same fraction.
      int equal = 0;
      for (const auto& t : soup.triangles) {
        float fraction, point[3], normal[3];
        if (RVAxisBoxTree::SegmentHitsTriangle(t.data(), start, end, fraction, point, normal) &&
            fraction == expected.fraction)
          ++equal;
      }
      ties += equal > 1;
    }
  }
  EXPECT_EQ(compared, 48 * 3000);
  // The cases above are only worth their time when they hit, and tie, often.
  EXPECT_GT(hits, 40000);
  EXPECT_GT(ties, 20000);
}

// Leaves whose triangles fill their runs of four, sixteen and sixty-four
// exactly or by one more, and leaves past 64 groups, answer as the plain
// descent does: one leaf holding the whole soup, and the same soup split into
// leaves of that size. The soups are dense, so a segment meets many runs.
TEST(CollisionTree, QueriesAtRunBoundariesEqualThePlainDescent) {
  std::mt19937 rng(2626);
  int hits = 0;
  for (const size_t count : {4u, 5u, 16u, 17u, 63u, 64u, 65u, 255u, 256u, 257u, 1029u}) {
    Soup soup;
    std::uniform_real_distribution<float> where(-6.0f, 6.0f), corner(-2.0f, 2.0f);
    while (soup.triangles.size() < count) {
      std::array<float, 9> t;
      const float centre[3] = {where(rng), where(rng), where(rng)};
      for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k) t[3 * c + k] = centre[k] + corner(rng);
      if (IsTriangleNonDegenerate(t.data(), t.data() + 3, t.data() + 6)) soup.triangles.push_back(t);
    }
    for (const uint32_t leafItems : {uint32_t(count + 1), 16u, 64u}) {
      RVAxisBoxTree tree;
      tree.BeginBuild(soup, leafItems);
      for (size_t i = 0; i < soup.triangles.size(); ++i)
        // Set-up; the checks below show a failure.
        (void)tree.AddTriangle(Soup::Chunk(i), Soup::FirstIndex(i), soup.triangles[i].data());
      ASSERT_TRUE(tree.Build());
      CheckTree(tree, soup);
      std::uniform_real_distribution<float> anywhere(-9.0f, 9.0f);
      for (int q = 0; q < 400; ++q) {
        const float start[3] = {anywhere(rng), anywhere(rng), anywhere(rng)};
        const float end[3] = {anywhere(rng), anywhere(rng), anywhere(rng)};
        RVSegmentHit expected, got;
        const bool plain = PlainQuery(tree, soup, start, end, expected);
        ASSERT_EQ(tree.QuerySegment(start, end, got), plain) << count << " " << leafItems << " " << q;
        ASSERT_EQ(got.fraction, expected.fraction) << count << " " << leafItems << " " << q;
        ASSERT_EQ(got.triangle, expected.triangle) << count << " " << leafItems << " " << q;
        for (int k = 0; k < 3; ++k) ASSERT_EQ(got.point[k], expected.point[k]);
        hits += plain;
      }
    }
  }
  EXPECT_GT(hits, 3000);
}

// Room reserved ahead, too little or none gives the same tree: the weld's
// table grows past its first size with shared corners in it.
TEST(CollisionTree, ReservingRoomChangesNoTree) {
  std::mt19937 rng(11);
  Soup soup = RandomSoup(3000, rng, false);
  // A grid whose cells share their corners, so welding finds old vertices after growing.
  for (int x = 0; x < 40; ++x)
    for (int y = 0; y < 40; ++y) {
      const float X = float(x), Y = float(y);
      soup.triangles.push_back({X, Y, 0, X + 1, Y, 0, X + 1, Y + 1, 0});
      soup.triangles.push_back({X, Y, 0, X + 1, Y + 1, 0, X, Y + 1, 0});
    }
  auto build = [&](RVAxisBoxTree& tree, uint32_t reserve) {
    tree.BeginBuild(soup);
    if (reserve) tree.ReserveTriangles(reserve);
    for (size_t i = 0; i < soup.triangles.size(); ++i)
      // Set-up; the checks below show a failure.
      (void)tree.AddTriangle(Soup::Chunk(i), Soup::FirstIndex(i), soup.triangles[i].data());
    return tree.Build();
  };
  RVAxisBoxTree plain;
  ASSERT_TRUE(build(plain, 0));
  for (uint32_t reserve : {10u, 1000u, uint32_t(soup.triangles.size())}) {
    RVAxisBoxTree tree;
    ASSERT_TRUE(build(tree, reserve));
    ASSERT_EQ(tree.GetNodes().size(), plain.GetNodes().size());
    for (size_t n = 0; n < plain.GetNodes().size(); ++n)
      ASSERT_EQ(std::memcmp(&tree.GetNodes()[n], &plain.GetNodes()[n], sizeof(RVAxisBoxTree::Node)), 0) << n;
    EXPECT_EQ(tree.GetLeafItems(), plain.GetLeafItems());
  }
}

TEST(CollisionTree, TheDefinitionBuildsItsTreeOnceThroughTheLoader) {
  Kiv::Display display;
  Kiv::ScriptedMaterialManager manager;
  Kiv::Resource resource(Kiv::PString("<kuid:1:2>"), Kiv::PString("meshes/body.im"));
  MeshFixture::Mesh mesh;
  mesh.chunks.push_back(MeshFixture::Grid(8, 0.0f));
  mesh.chunks.push_back(MeshFixture::Grid(4, 20.0f));
  RovanaIndexedMeshDefinition definition;
  definition.SetFileData(MeshFixture::Write(mesh), "meshes/body.im");
  ASSERT_EQ(definition.Load(&display, &manager, &resource, "meshes/body.im", 0xFFFFFFFFu), 0);
  // Without a loader the tree is never built.
  ASSERT_EQ(Kiv::OverlappedResourceSystem::Instance(), nullptr);
  EXPECT_EQ(definition.GetCollisionTree(), nullptr);
  {
    Kiv::OverlappedResourceSystem loader;
    const RVAxisBoxTree* tree = definition.GetCollisionTree();
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(definition.GetCollisionTree(), tree);  // kept, not built again
    const float start[3] = {21.5f, 2.5f, 1.0f}, end[3] = {21.5f, 2.5f, -1.0f};
    RVSegmentHit hit;
    ASSERT_TRUE(tree->QuerySegment(start, end, hit));
    EXPECT_EQ(CollisionTriangleChunk(hit.triangle), 1u);
    EXPECT_NEAR(hit.fraction, 0.5f, 1e-6f);
  }
  // A request left in flight ends with its definition.
  Kiv::OverlappedResourceSystem loader;
  auto other = std::make_unique<RovanaIndexedMeshDefinition>();
  other->SetFileData(MeshFixture::Write(mesh), "meshes/body.im");
  ASSERT_EQ(other->Load(&display, &manager, &resource, "meshes/body.im", 0xFFFFFFFFu), 0);
  other->RequestCollisionTree();
  other.reset();
  // A mesh without triangles has no tree, and asks only once.
  RovanaIndexedMeshDefinition empty;
  EXPECT_EQ(empty.GetCollisionTree(), nullptr);
  EXPECT_EQ(empty.GetCollisionTree(), nullptr);
}

}  // namespace
