#include "graphics/mesh/RVAxisBoxTree.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "foundation/Geometry.h"
#include "kiv/render/StdMath.h"

bool MakeCollisionTriangleId(uint32_t chunk, uint32_t firstIndex, uint32_t& id) {
  if (chunk >= kCollisionMaxChunks || firstIndex % 3 != 0) return false;
  const uint32_t number = firstIndex / 3;
  if (number >= (1u << kCollisionTriangleBits)) return false;
  id = chunk << kCollisionTriangleBits | number;
  return true;
}

struct RVBuildNode {
  int32_t first = 0, second = 0;
  float min[3], max[3];
};

namespace {

struct Box {
  float min[3] = {FLT_MAX, FLT_MAX, FLT_MAX};
  float max[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
  void Grow(const float* p) {
    for (int k = 0; k < 3; ++k) {
      min[k] = std::min(min[k], p[k]);
      max[k] = std::max(max[k], p[k]);
    }
  }
  void Grow(const Box& b) {
    Grow(b.min);
    Grow(b.max);
  }
};

void Sub(const float a[3], const float b[3], float out[3]) {
  for (int k = 0; k < 3; ++k) out[k] = a[k] - b[k];
}
void Cross(const float a[3], const float b[3], float out[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}
float Dot(const float a[3], const float b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Centre and half extent without overflow for boxes spanning the float range.
void CentreAndHalf(const float min[3], const float max[3], float c[3], float h[3]) {
  for (int k = 0; k < 3; ++k) {
    c[k] = min[k] * 0.5f + max[k] * 0.5f;
    h[k] = max[k] * 0.5f - min[k] * 0.5f;
  }
}

}  // namespace

// Build-time state: the vertex weld (exact positions; -0 and +0 are one), the
// triangles with their boxes, and the build nodes.
class RVAxisBoxTreeBuilder {
public:
  struct Triangle {
    uint32_t id;
    Box box;
  };

  explicit RVAxisBoxTreeBuilder(uint32_t maxLeafItems) : m_maxLeafItems(maxLeafItems) {}

  // The welded vertex's index; the vertex count grows when the position is new.
  uint32_t Weld(const float p[3]) {
    if (4 * (m_vertexCount + 1) > 3 * m_slots.size()) Grow();
    const size_t mask = m_slots.size() - 1;
    uint32_t key[3];
    for (int k = 0; k < 3; ++k) key[k] = std::bit_cast<uint32_t>(p[k] + 0.0f);
    for (size_t i = Hash(key) & mask;; i = (i + 1) & mask) {
      const uint32_t slot = m_slots[i];
      if (slot == 0) {
        m_slots[i] = m_vertexCount + 1;
        m_keys.insert(m_keys.end(), key, key + 3);
        m_rootBox.Grow(p);
        return m_vertexCount++;
      }
      if (std::memcmp(&m_keys[3 * size_t(slot - 1)], key, 12) == 0) return slot - 1;
    }
  }

  uint32_t m_maxLeafItems;
  uint32_t m_vertexCount = 0;
  Box m_rootBox;
  std::vector<Triangle> m_triangles;
  std::vector<RVBuildNode> m_nodes;
  std::vector<uint32_t> m_leafOrder;
  uint32_t m_maxDepth = 0;

private:
  static size_t Hash(const uint32_t key[3]) {
    uint64_t h = key[0] * 0x9E3779B97F4A7C15ull;
    h ^= (h >> 29) + key[1] * 0xBF58476D1CE4E5B9ull;
    h ^= (h >> 31) + key[2] * 0x94D049BB133111EBull;
    return size_t(h ^ (h >> 32));
  }
  void Grow() {
    std::vector<uint32_t> slots(std::max<size_t>(1024, m_slots.size() * 2), 0);
    const size_t mask = slots.size() - 1;
    for (uint32_t v = 0; v < m_vertexCount; ++v) {
      size_t i = Hash(&m_keys[3 * size_t(v)]) & mask;
      while (slots[i]) i = (i + 1) & mask;
      slots[i] = v + 1;
    }
    m_slots.swap(slots);
  }

  std::vector<uint32_t> m_slots;  // vertex + 1, 0 empty
  std::vector<uint32_t> m_keys;   // 3 position bit patterns per vertex
};

RVAxisBoxTree::RVAxisBoxTree() = default;
RVAxisBoxTree::~RVAxisBoxTree() = default;

void RVAxisBoxTree::BeginBuild(const RVAxisBoxTreeExternalGeometry& geometry, uint32_t maxLeafItems) {
  maxLeafItems = std::max<uint32_t>(4, maxLeafItems & ~1u);
  m_builder = std::make_unique<RVAxisBoxTreeBuilder>(maxLeafItems);
  m_geometry = &geometry;
  m_nodes.clear();
  m_leafItems.clear();
  m_errors = 0;
  m_maxDepth = 0;
  m_centreUnit = m_extentUnit = 0.0f;
}

bool RVAxisBoxTree::AddTriangle(uint32_t chunk, uint32_t firstIndex, const float corners[9]) {
  uint32_t id = 0;
  if (!m_builder || !MakeCollisionTriangleId(chunk, firstIndex, id) ||
      m_builder->m_triangles.size() >= kCollisionMaxTriangles ||
      m_builder->m_vertexCount >= kCollisionMaxVertices ||
      !IsTriangleNonDegenerate(corners, corners + 3, corners + 6)) {
    ++m_errors;
    return false;
  }
  for (int c = 0; c < 3; ++c)
    if (m_builder->Weld(corners + 3 * c) >= kCollisionMaxVertices - 1) {
      ++m_errors;
      return false;
    }
  RVAxisBoxTreeBuilder::Triangle t{id, {}};
  for (int c = 0; c < 3; ++c) t.box.Grow(corners + 3 * c);
  m_builder->m_triangles.push_back(t);
  return true;
}

namespace {

using Triangle = RVAxisBoxTreeBuilder::Triangle;

// Axes by the node box's extent, largest first.
void AxisOrder(const float e[3], int order[3]) {
  const float x = std::fabs(e[0]), y = std::fabs(e[1]), z = std::fabs(e[2]);
  auto set = [&](int a, int b, int c) {
    order[0] = a;
    order[1] = b;
    order[2] = c;
  };
  if (y <= x) {
    if (x < z)
      set(2, 0, 1);
    else if (z < y)
      set(0, 1, 2);
    else
      set(0, 2, 1);
  } else {
    if (y < z)
      set(2, 1, 0);
    else if (x < z)
      set(1, 2, 0);
    else
      set(1, 0, 2);
  }
}

float Centre(const Triangle& t, int axis) { return t.box.min[axis] * 0.5f + t.box.max[axis] * 0.5f; }

void BuildNode(RVAxisBoxTreeBuilder& b, size_t node, Triangle* begin, Triangle* end, uint32_t depth) {
  b.m_maxDepth = std::max(b.m_maxDepth, depth);
  const size_t count = size_t(end - begin);
  if (count <= b.m_maxLeafItems) {
    b.m_nodes[node].first = -1 - int32_t(b.m_leafOrder.size());
    b.m_nodes[node].second = int32_t(count);
    for (Triangle* t = begin; t != end; ++t) b.m_leafOrder.push_back(t->id);
    return;
  }
  size_t cut = count / 2;
  if (cut % 2 == 1 && (count - cut) % 2 == 1) cut = cut < count - cut ? cut + 1 : cut - 1;

  float extent[3];
  for (int k = 0; k < 3; ++k) extent[k] = b.m_nodes[node].max[k] - b.m_nodes[node].min[k];
  int order[3];
  AxisOrder(extent, order);
  int bestAxis = -1;
  float bestScore = 0.0f;
  Box bestHalves[2];
  for (int a : order) {
    // The halves as sets are those of a full sort by box centre.
    std::nth_element(begin, begin + cut, end,
                     [a](const Triangle& l, const Triangle& r) { return Centre(l, a) < Centre(r, a); });
    Box halves[2];
    for (Triangle* t = begin; t != end; ++t) halves[t - begin >= ptrdiff_t(cut)].Grow(t->box);
    const float score = extent[a] > 0.0f ? (halves[0].max[a] - halves[1].min[a]) / extent[a] : 0.0f;
    if (bestAxis < 0 || score < bestScore) {
      bestAxis = a;
      bestScore = score;
      bestHalves[0] = halves[0];
      bestHalves[1] = halves[1];
    }
  }
  if (bestAxis != order[2])
    std::nth_element(begin, begin + cut, end, [bestAxis](const Triangle& l, const Triangle& r) {
      return Centre(l, bestAxis) < Centre(r, bestAxis);
    });
  const size_t child = b.m_nodes.size();
  b.m_nodes[node].first = int32_t(child);
  b.m_nodes[node].second = int32_t(child + 1);
  for (int h = 0; h < 2; ++h) {
    RVBuildNode n;
    std::memcpy(n.min, bestHalves[h].min, sizeof n.min);
    std::memcpy(n.max, bestHalves[h].max, sizeof n.max);
    b.m_nodes.push_back(n);
  }
  BuildNode(b, child, begin, begin + cut, depth + 1);
  BuildNode(b, child + 1, begin + cut, end, depth + 1);
}

}  // namespace

bool RVAxisBoxTree::Build() {
  std::unique_ptr<RVAxisBoxTreeBuilder> builder = std::move(m_builder);
  m_nodes.clear();
  m_leafItems.clear();
  if (!builder || builder->m_triangles.empty() || builder->m_triangles.size() >= kCollisionMaxTriangles ||
      builder->m_vertexCount >= kCollisionMaxVertices)
    return false;
  RVAxisBoxTreeBuilder& b = *builder;
  RVBuildNode root;
  std::memcpy(root.min, b.m_rootBox.min, sizeof root.min);
  std::memcpy(root.max, b.m_rootBox.max, sizeof root.max);
  b.m_nodes.reserve(2 * (b.m_triangles.size() / (b.m_maxLeafItems / 2) + 1));
  b.m_nodes.push_back(root);
  b.m_leafOrder.reserve(b.m_triangles.size());
  BuildNode(b, 0, b.m_triangles.data(), b.m_triangles.data() + b.m_triangles.size(), 0);
  m_maxDepth = b.m_maxDepth;
  Compact(b.m_nodes);
  m_leafItems = std::move(b.m_leafOrder);
  return true;
}

void RVAxisBoxTree::Compact(const std::vector<RVBuildNode>& buildNodes) {
  float half[3];
  CentreAndHalf(buildNodes[0].min, buildNodes[0].max, m_origin, half);
  // Centres relative to the root's centre lie within the root's half extent,
  // so both scales come from the root's largest half extent and quantised
  // boxes stay within a unit or two of the true ones wherever the mesh lies.
  float h = std::max({half[0], half[1], half[2]});
  const float scale = h > 0.0f ? 32767.0f / h : 0.0f;
  m_centreUnit = m_extentUnit = scale > 0.0f ? 1.0f / scale : 0.0f;
  m_nodes.resize(buildNodes.size());
  for (size_t i = 0; i < buildNodes.size(); ++i) {
    const RVBuildNode& in = buildNodes[i];
    Node& out = m_nodes[i];
    out.first = in.first;
    out.second = in.second;
    float c[3], e[3];
    CentreAndHalf(in.min, in.max, c, e);
    for (int k = 0; k < 3; ++k) {
      const float q = std::clamp((c[k] - m_origin[k]) * scale, -32767.0f, 32767.0f);
      out.centre[k] = int16_t(q);
      const float decoded = m_origin[k] + out.centre[k] * m_centreUnit;
      // The extent that covers the box from the decoded centre, then a few
      // single steps against rounding; the search is bounded.
      const float need = std::max(decoded - in.min[k], in.max[k] - decoded);
      float units = std::ceil(std::max(0.0f, need) * scale);
      uint32_t ext = units >= 65535.0f ? 65535u : uint32_t(units);
      for (int step = 0; step < 8 && ext < 65535u; ++step) {
        const float de = ext * m_extentUnit;
        if (decoded - de <= in.min[k] && decoded + de >= in.max[k]) break;
        ++ext;
      }
      out.halfExtent[k] = uint16_t(ext);
    }
  }
}

void RVAxisBoxTree::DecodeBox(const Node& node, float centre[3], float halfExtent[3]) const {
  for (int k = 0; k < 3; ++k) {
    centre[k] = m_origin[k] + node.centre[k] * m_centreUnit;
    halfExtent[k] = node.halfExtent[k] * m_extentUnit;
  }
}

bool RVAxisBoxTree::IntersectRayTriangle(const float corners[9], bool twoSided, const float origin[3],
                                         const float direction[3], float* nearest) {
  constexpr float kEpsilon = 1e-6f;
  float e1[3], e2[3], p[3], s[3], q[3];
  Sub(corners + 3, corners, e1);
  Sub(corners + 6, corners, e2);
  Cross(direction, e2, p);
  const float det = Dot(e1, p);
  Sub(origin, corners, s);
  float t;
  if (!twoSided) {
    if (det < kEpsilon) return false;
    const float u = Dot(s, p);
    if (u < 0.0f || u > det) return false;
    Cross(s, e1, q);
    const float v = Dot(direction, q);
    if (v < 0.0f || u + v > det) return false;
    t = Dot(e2, q) / det;
  } else {
    if (det > -kEpsilon && det < kEpsilon) return false;
    const float inv = 1.0f / det;
    const float u = Dot(s, p) * inv;
    if (u < 0.0f || u > 1.0f) return false;
    Cross(s, e1, q);
    const float v = Dot(direction, q) * inv;
    if (v < 0.0f || u + v > 1.0f) return false;
    t = Dot(e2, q) * inv;
  }
  if (nearest && t < *nearest) *nearest = t;
  return true;
}

bool RVAxisBoxTree::IsPointInTriangle(const float normal[3], const float corners[9], const float point[3]) {
  const float ax = std::fabs(normal[0]), ay = std::fabs(normal[1]), az = std::fabs(normal[2]);
  int i = 0, j = 1;  // z dropped
  if (az >= ax && az >= ay) {
    i = 0;
    j = 1;
  } else if (ay >= ax) {
    i = 0;
    j = 2;
  } else {
    i = 1;
    j = 2;
  }
  // Inside when the point is on the same side of all three edges, whichever
  // way the triangle winds in the projection.
  bool anyNegative = false, anyPositive = false;
  const float* prev = corners + 6;
  for (int c = 0; c < 3; ++c) {
    const float* cur = corners + 3 * c;
    const float side = (cur[i] - prev[i]) * (point[j] - prev[j]) - (cur[j] - prev[j]) * (point[i] - prev[i]);
    if (side < 0.0f)
      anyNegative = true;
    else if (side > 0.0f)
      anyPositive = true;
    else if (!(side == 0.0f))
      return false;  // NaN
    prev = cur;
  }
  return !(anyNegative && anyPositive);
}

bool RVAxisBoxTree::SegmentHitsTriangle(const float corners[9], const float start[3], const float end[3],
                                        float& fraction, float point[3], float normal[3], float limit) {
  float e1[3], e2[3];
  Sub(corners + 3, corners, e1);
  Sub(corners + 6, corners, e2);
  Cross(e1, e2, normal);
  const float a = Dot(normal, start), b = Dot(normal, end), p = Dot(normal, corners);
  if ((a > p && b > p) || (a < p && b < p) || !(a == a && b == b && p == p)) return false;
  fraction = a == b ? 0.0f : (a - p) / (a - b);
  if (fraction > limit) return false;
  for (int k = 0; k < 3; ++k) point[k] = start[k] + (end[k] - start[k]) * fraction;
  return IsPointInTriangle(normal, corners, point);
}

bool RVAxisBoxTree::QuerySegment(const float start[3], const float end[3], RVSegmentHit& result) const {
  result.fraction = -1.0f;
  result.triangle = kCollisionNoTriangle;
  if (m_nodes.empty() || !m_geometry) return false;
  float mid[3], halfVec[3], absHalf[3], dir[3], absDir[3];
  for (int k = 0; k < 3; ++k) {
    mid[k] = start[k] * 0.5f + end[k] * 0.5f;
    halfVec[k] = end[k] * 0.5f - start[k] * 0.5f;
    absHalf[k] = std::fabs(halfVec[k]);
    dir[k] = end[k] - start[k];
  }
  const float length = std::sqrt(Dot(dir, dir));
  const float invLength = length > 0.0f ? 1.0f / length : 0.0f;
  for (int k = 0; k < 3; ++k) {
    dir[k] *= invLength;
    absDir[k] = std::fabs(dir[k]);
  }
  const float startOffset = Dot(dir, start);

  auto overlaps = [&](const float c[3], const float e[3]) {
    float w[3];
    for (int k = 0; k < 3; ++k) {
      w[k] = mid[k] - c[k];
      if (std::fabs(w[k]) > e[k] + absHalf[k]) return false;
    }
    if (std::fabs(halfVec[1] * w[2] - w[1] * halfVec[2]) > e[1] * absHalf[2] + e[2] * absHalf[1])
      return false;
    if (std::fabs(halfVec[2] * w[0] - w[2] * halfVec[0]) > e[2] * absHalf[0] + e[0] * absHalf[2])
      return false;
    if (std::fabs(halfVec[0] * w[1] - w[0] * halfVec[1]) > e[0] * absHalf[1] + e[1] * absHalf[0])
      return false;
    return true;
  };
  auto entry = [&](const float c[3], const float e[3]) {
    return (Dot(dir, c) - startOffset - Dot(absDir, e)) * invLength;
  };

  float best = FLT_MAX;
  // Explicit stack of (node, entry value); the nearer child is pushed last.
  struct Item {
    int32_t node;
    float entry;
  };
  Item stack[128];
  int top = 0;
  stack[top++] = {0, -FLT_MAX};
  while (top > 0) {
    const Item item = stack[--top];
    if (item.entry > best) continue;
    const Node& node = m_nodes[size_t(item.node)];
    float c[3], e[3];
    DecodeBox(node, c, e);
    if (!overlaps(c, e)) continue;
    if (node.first >= 0) {
      float c0[3], e0[3], c1[3], e1[3];
      DecodeBox(m_nodes[size_t(node.first)], c0, e0);
      DecodeBox(m_nodes[size_t(node.second)], c1, e1);
      const float v0 = entry(c0, e0), v1 = entry(c1, e1);
      const Item near = v0 <= v1 ? Item{node.first, v0} : Item{node.second, v1};
      const Item far = v0 <= v1 ? Item{node.second, v1} : Item{node.first, v0};
      if (top + 2 > 128) continue;  // deeper than any balanced tree of the limits
      if (far.entry <= best) stack[top++] = far;
      if (near.entry <= best) stack[top++] = near;
      continue;
    }
    const uint32_t firstItem = uint32_t(-1 - node.first);
    for (uint32_t i = 0; i < uint32_t(node.second); ++i) {
      const uint32_t id = m_leafItems[firstItem + i];
      float corners[9], fraction, point[3], normal[3];
      if (!m_geometry->GetTriangle(id, corners)) continue;
      if (!SegmentHitsTriangle(corners, start, end, fraction, point, normal, best)) continue;
      if (fraction <= best) {
        best = fraction;
        std::memcpy(result.point, point, sizeof point);
        std::memcpy(result.normal, normal, sizeof normal);
        result.fraction = fraction;
        result.triangle = id;
      }
    }
  }
  if (best == FLT_MAX) return false;
  const float squared = Dot(result.normal, result.normal);
  if (squared > 0.0f) {
    const float inv = Kiv::StdMath::InvSqrt(squared);
    for (float& n : result.normal) n *= inv;
  }
  return true;
}
