#include "graphics/mesh/RVAxisBoxTree.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "foundation/Geometry.h"
#include "kiv/Memory.h"
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
  ~RVAxisBoxTreeBuilder() { Kiv::FreeTable(m_slots, m_slotCount * sizeof(uint32_t)); }
  RVAxisBoxTreeBuilder(const RVAxisBoxTreeBuilder&) = delete;
  RVAxisBoxTreeBuilder& operator=(const RVAxisBoxTreeBuilder&) = delete;

  // Room for that many more triangles. The weld's table is sized for twice
  // as many vertices: closed meshes have about half as many, loose triangles
  // up to three times as many but mostly less than twice, and growing the
  // table costs more than the pages a sparser table touches.
  void Reserve(size_t triangles) {
    m_triangles.reserve(m_triangles.size() + triangles);
    m_keys.reserve(m_keys.size() + 9 * triangles);
    const size_t vertices = std::min<size_t>(m_vertexCount + 2 * triangles, kCollisionMaxVertices);
    size_t size = m_slotCount ? m_slotCount : 1024;
    while (4 * vertices > 3 * size) size *= 2;
    if (size > m_slotCount) Rehash(size);
  }

  // The welded vertex's index; the vertex count grows when the position is new.
  uint32_t Weld(const float p[3]) {
    if (4 * size_t(m_vertexCount + 1) > 3 * m_slotCount) Rehash(std::max<size_t>(1024, 2 * m_slotCount));
    const size_t mask = m_slotCount - 1;
    uint32_t key[3];
    for (int k = 0; k < 3; ++k) key[k] = std::bit_cast<uint32_t>(p[k] + 0.0f);
    const uint32_t hash = Hash(key);
    const uint32_t tag = hash & kTagMask;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const uint32_t slot = m_slots[i];
      if (slot == 0) {
        m_slots[i] = tag | (m_vertexCount + 1);
        m_keys.insert(m_keys.end(), key, key + 3);
        m_rootBox.Grow(p);
        return m_vertexCount++;
      }
      // The stored hash bits settle most probes without reading the key.
      if ((slot & kTagMask) != tag) continue;
      const uint32_t* stored = &m_keys[3 * size_t((slot & ~kTagMask) - 1)];
      if (stored[0] == key[0] && stored[1] == key[1] && stored[2] == key[2]) return (slot & ~kTagMask) - 1;
    }
  }

  uint32_t m_maxLeafItems;
  uint32_t m_vertexCount = 0;
  Box m_rootBox;
  // The build's large lists come in huge pages where the system has them:
  // faulting in 4 KiB pages one at a time cost more than the weld itself.
  std::vector<Triangle, Kiv::TableAllocator<Triangle>> m_triangles;
  std::vector<RVBuildNode> m_nodes;
  std::vector<uint32_t> m_leafOrder;
  uint32_t m_maxDepth = 0;

private:
  // A slot holds the top 8 bits of the vertex's hash above its number + 1
  // (numbers stay below 2^24); 0 is empty. Four bytes a slot keep the table
  // small enough to stay in cache for meshes of some hundred thousand vertices.
  static constexpr uint32_t kTagMask = 0xFF000000u;
  static_assert(kCollisionMaxVertices + 3 < (1u << 24));

  static uint32_t Hash(const uint32_t key[3]) {
    uint64_t h = key[0] * 0x9E3779B97F4A7C15ull;
    h ^= (h >> 29) + key[1] * 0xBF58476D1CE4E5B9ull;
    h ^= (h >> 31) + key[2] * 0x94D049BB133111EBull;
    return uint32_t(h ^ (h >> 32));
  }
  // A new table of the given power-of-two size, filled from the keys in
  // vertex order.
  void Rehash(size_t size) {
    auto* slots = static_cast<uint32_t*>(Kiv::AllocateTable(size * sizeof(uint32_t)));
    if (!slots) throw std::bad_alloc();
    std::memset(slots, 0, size * sizeof(uint32_t));
    const size_t mask = size - 1;
    for (uint32_t v = 0; v < m_vertexCount; ++v) {
      const uint32_t hash = Hash(&m_keys[3 * size_t(v)]);
      size_t i = hash & mask;
      while (slots[i]) i = (i + 1) & mask;
      slots[i] = (hash & kTagMask) | (v + 1);
    }
    Kiv::FreeTable(m_slots, m_slotCount * sizeof(uint32_t));
    m_slots = slots;
    m_slotCount = size;
  }

  uint32_t* m_slots = nullptr;
  size_t m_slotCount = 0;
  std::vector<uint32_t, Kiv::TableAllocator<uint32_t>> m_keys;  // 3 position bit patterns per vertex
};

RVAxisBoxTree::RVAxisBoxTree() = default;
RVAxisBoxTree::~RVAxisBoxTree() = default;

void RVAxisBoxTree::BeginBuild(const RVAxisBoxTreeExternalGeometry& geometry, uint32_t maxLeafItems) {
  maxLeafItems = std::max<uint32_t>(4, maxLeafItems & ~1u);
  m_builder = std::make_unique<RVAxisBoxTreeBuilder>(maxLeafItems);
  m_geometry = &geometry;
  m_nodes.clear();
  m_leafItems.clear();
  m_packs.reset();
  m_errors = 0;
  m_maxDepth = 0;
  m_centreUnit = m_extentUnit = 0.0f;
}

void RVAxisBoxTree::ReserveTriangles(uint32_t count) {
  if (m_builder) m_builder->Reserve(std::min(count, kCollisionMaxTriangles));
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
  if (bestAxis != order[2]) {
    std::nth_element(begin, begin + cut, end, [bestAxis](const Triangle& l, const Triangle& r) {
      return Centre(l, bestAxis) < Centre(r, bestAxis);
    });
    // Triangles with equal centres may fall on the other side this time, so
    // the halves' boxes are those of the halves as they now are.
    bestHalves[0] = bestHalves[1] = Box{};
    for (Triangle* t = begin; t != end; ++t) bestHalves[t - begin >= ptrdiff_t(cut)].Grow(t->box);
  }
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
  m_packs.reset();
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
  PackLeaves();
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
  // One unit for both, which the query's slab test relies on.
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

// The query's copy of the tree. Inner nodes are read three levels at a time
// (see Wide), their boxes as stored, decoded as DecodeBox does. Each
// leaf's triangles are grouped by four in space, each group with a box a
// little larger than its triangles, and for each triangle the plane and the
// projected corners and edges that the triangle test computes, computed the
// same way. A group whose box the segment misses holds no triangle the test
// would accept, so skipping it changes no answer; within a group the four
// triangles are tested at once, with the same operations in the same order as
// SegmentHitsTriangle, so every fraction is the one it gives. Of equal
// fractions the query keeps the triangle that comes last in the leaf's own
// order, as a scan of the leaf in that order does.
namespace {

typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));

F4 Splat(float v) { return F4{v, v, v, v}; }
// a < b ? a : b and a > b ? a : b per lane (b where either is not a number),
// as single instructions where there are some.
F4 Min4(F4 a, F4 b) {
#if defined(__SSE__)
  return _mm_min_ps(a, b);
#else
  return a < b ? a : b;
#endif
}
F4 Max4(F4 a, F4 b) {
#if defined(__SSE__)
  return _mm_max_ps(a, b);
#else
  return a > b ? a : b;
#endif
}

}  // namespace

struct RVLeafPacks {
  // Three levels of the tree in one record: an inner node's two children
  // (lanes 0 and 1) and their children (lanes 2 and 3 under the first, 4 and
  // 5 under the second), with the boxes as the nodes store them. The query
  // tests all six at once and takes the same decisions, in the same order, as
  // a descent one node at a time. Lane l's values sit at element 2l (l < 4)
  // or 2(l - 4) + 1, so that the even and odd elements of a row are the two
  // halves of the lanes.
  struct alignas(64) Wide {
    int16_t centre[3][8];
    uint16_t half[3][8];
    // Lanes 0 and 1: -1 - the leaf, or 0 for an inner node (whose children
    // are lanes 2 to 5); lanes 2 to 5: -1 - the leaf, or the node's Wide.
    int32_t ref[6];
  };
  // Four triangles in three cache lines. The plane fills the first, which is
  // all most tests read.
  struct alignas(64) Quad {
    F4 n[3], p;
    F4 cornerI[3], cornerJ[3];  // the corners along the two kept axes
    // The axis code (0: x and y kept, 1: x and z, 2: y and z) plus 4 times
    // the triangle's position in the leaf; -1 for an unused lane.
    I4 code;
    uint32_t id[4];
  };
  // Four groups' boxes, minimum and maximum per axis.
  struct Boxes {
    F4 bound[2][3];  // minimum and maximum per axis
  };
  // A leaf: its quads, four to a group, and its boxes: first records of
  // four groups' boxes (one for leaves of up to 64 triangles), then each
  // group's record of quad boxes, side by side so that one fetch brings the
  // next.
  struct Leaf {
    uint32_t firstQuad, quadCount;
    int32_t node;
    uint32_t firstBoxes;
    uint32_t Groups() const { return (quadCount + 3) / 4; }
    uint32_t GroupRecords() const { return (Groups() + 3) / 4; }
  };
  std::vector<Wide> wides;  // the first is the root's, unless the root is a leaf
  // Whether every node's decoded box holds its triangles, as the query's
  // skipping of nodes beyond the best hit needs.
  bool boxesHold = false;
  std::vector<Leaf> leaves;
  std::vector<int32_t> parent;  // per node; the root's is -1
  std::vector<Quad> quads;
  std::vector<Boxes> boxes;
  float sceneMagnitude = 0.0f;
};

size_t RVAxisBoxTree::MemoryBytes() const {
  size_t bytes = m_nodes.capacity() * sizeof(Node) + m_leafItems.capacity() * sizeof(uint32_t);
  if (m_packs) {
    bytes += m_packs->wides.capacity() * sizeof(RVLeafPacks::Wide) +
             m_packs->parent.capacity() * sizeof(int32_t) +
             m_packs->leaves.capacity() * sizeof(RVLeafPacks::Leaf) +
             m_packs->quads.capacity() * sizeof(RVLeafPacks::Quad) +
             m_packs->boxes.capacity() * sizeof(RVLeafPacks::Boxes);
  }
  return bytes;
}

namespace {

struct PackTriangle {
  uint32_t id;
  uint32_t position;
  float corners[9];
  float centre[3];
  Box box;
};

float HalfArea(const Box& b) {
  const float x = b.max[0] - b.min[0], y = b.max[1] - b.min[1], z = b.max[2] - b.min[2];
  return x * y + y * z + z * x;
}

// Orders the triangles so that runs of four (quads), of sixteen (groups) and
// of sixty-four (records) lie close together: each range splits in two where
// the halves' box areas, weighted by their quads, are least, at a multiple of
// the largest run the range holds more than one of, so every run but the last
// is full. The sorts order small keys; ties keep the leaf's order.
struct OrderScratch {
  struct Key {
    float centre;
    uint32_t position, index;
    bool operator<(const Key& o) const {
      return centre < o.centre || (centre == o.centre && position < o.position);
    }
  };
  std::vector<Key> keys[3];
  std::vector<Box> suffix;
  std::vector<PackTriangle> moved;
};

void SpatialOrder(PackTriangle* begin, PackTriangle* end, OrderScratch& scratch) {
  const ptrdiff_t count = end - begin;
  if (count <= 4) return;
  const ptrdiff_t unit = count > 64 ? 64 : count > 16 ? 16 : 4;
  int bestAxis = -1;
  ptrdiff_t bestCut = 0;
  float bestCost = 0.0f;
  std::vector<Box>& suffix = scratch.suffix;
  suffix.resize(size_t(count) + 1);
  for (int axis = 0; axis < 3; ++axis) {
    std::vector<OrderScratch::Key>& keys = scratch.keys[axis];
    keys.resize(size_t(count));
    for (ptrdiff_t i = 0; i < count; ++i)
      keys[size_t(i)] = {begin[i].centre[axis], begin[i].position, uint32_t(i)};
    std::sort(keys.begin(), keys.end());
    suffix[size_t(count)] = Box{};
    for (ptrdiff_t i = count; i-- > 0;) {
      suffix[size_t(i)] = suffix[size_t(i) + 1];
      suffix[size_t(i)].Grow(begin[keys[size_t(i)].index].box);
    }
    Box prefix;
    for (ptrdiff_t i = 0; i + 1 < count; ++i) {
      prefix.Grow(begin[keys[size_t(i)].index].box);
      const ptrdiff_t cut = i + 1;
      if (cut % unit != 0) continue;
      const float cost = HalfArea(prefix) * float((cut + 3) / 4) +
                         HalfArea(suffix[size_t(cut)]) * float((count - cut + 3) / 4);
      if (bestAxis < 0 || cost < bestCost) {
        bestAxis = axis;
        bestCut = cut;
        bestCost = cost;
      }
    }
  }
  scratch.moved.assign(begin, end);
  for (ptrdiff_t i = 0; i < count; ++i) begin[i] = scratch.moved[scratch.keys[bestAxis][size_t(i)].index];
  SpatialOrder(begin, begin + bestCut, scratch);
  SpatialOrder(begin + bestCut, end, scratch);
}

int Element(int lane) { return lane < 4 ? 2 * lane : 2 * (lane - 4) + 1; }

// The Wide of inner node n and, below it, those of its grandchildren; returns its index.
int32_t AddWide(RVLeafPacks& packs, const std::vector<RVAxisBoxTree::Node>& nodes,
                const std::vector<int32_t>& leafOf, int32_t n) {
  const size_t at = packs.wides.size();
  packs.wides.emplace_back();
  const RVAxisBoxTree::Node& node = nodes[size_t(n)];
  int32_t lanes[6] = {node.first, node.second, -1, -1, -1, -1};
  for (int c = 0; c < 2; ++c) {
    const RVAxisBoxTree::Node& child = nodes[size_t(lanes[c])];
    if (child.first >= 0) {
      lanes[2 + 2 * c] = child.first;
      lanes[3 + 2 * c] = child.second;
    }
  }
  RVLeafPacks::Wide wide{};
  for (int lane = 0; lane < 6; ++lane) {
    if (lanes[lane] < 0) continue;
    const RVAxisBoxTree::Node& child = nodes[size_t(lanes[lane])];
    for (int k = 0; k < 3; ++k) {
      wide.centre[k][Element(lane)] = child.centre[k];
      wide.half[k][Element(lane)] = child.halfExtent[k];
    }
    if (child.first < 0)
      wide.ref[lane] = -1 - leafOf[size_t(lanes[lane])];
    else
      wide.ref[lane] = lane < 2 ? 0 : AddWide(packs, nodes, leafOf, lanes[lane]);
  }
  packs.wides[at] = wide;
  return int32_t(at);
}

}  // namespace

void RVAxisBoxTree::PackLeaves() {
  auto packs = std::make_unique<RVLeafPacks>();
  std::vector<int32_t> leafOf(m_nodes.size(), -1);
  std::vector<Box> held(m_nodes.size());
  float magnitude = 0.0f;
  std::vector<PackTriangle> triangles;
  OrderScratch scratch;
  for (size_t n = 0; n < m_nodes.size(); ++n) {
    const Node& node = m_nodes[n];
    if (node.first >= 0) continue;
    const uint32_t firstItem = uint32_t(-1 - node.first);
    triangles.clear();
    for (uint32_t i = 0; i < uint32_t(node.second); ++i) {
      PackTriangle t;
      t.id = m_leafItems[firstItem + i];
      t.position = i;
      // A triangle the geometry no longer gives is one the test passes over.
      if (!m_geometry->GetTriangle(t.id, t.corners)) continue;
      for (int k = 0; k < 3; ++k) {
        t.centre[k] = (t.corners[k] + t.corners[3 + k] + t.corners[6 + k]) / 3.0f;
        for (int c = 0; c < 3; ++c) magnitude = std::max(magnitude, std::fabs(t.corners[3 * c + k]));
      }
      for (int c = 0; c < 3; ++c) t.box.Grow(t.corners + 3 * c);
      held[n].Grow(t.box);
      triangles.push_back(t);
    }
    SpatialOrder(triangles.data(), triangles.data() + triangles.size(), scratch);
    RVLeafPacks::Leaf leaf{};
    leaf.quadCount = uint32_t((triangles.size() + 3) / 4);
    leaf.firstQuad = uint32_t(packs->quads.size());
    leaf.firstBoxes = uint32_t(packs->boxes.size());
    RVLeafPacks::Boxes empty;
    for (int k = 0; k < 3; ++k) {
      empty.bound[0][k] = Splat(FLT_MAX);
      empty.bound[1][k] = Splat(-FLT_MAX);
    }
    packs->boxes.resize(packs->boxes.size() + leaf.GroupRecords() + leaf.Groups(), empty);
    for (size_t q = 0; q < leaf.quadCount; ++q) {
      RVLeafPacks::Quad quad{};
      float lo[3] = {FLT_MAX, FLT_MAX, FLT_MAX}, hi[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
      for (int lane = 0; lane < 4; ++lane) {
        quad.code[lane] = -1;
        const size_t index = 4 * q + size_t(lane);
        if (index >= triangles.size()) continue;
        const PackTriangle& t = triangles[index];
        const float* v = t.corners;
        float e1[3], e2[3], normal[3];
        Sub(v + 3, v, e1);
        Sub(v + 6, v, e2);
        Cross(e1, e2, normal);
        for (int k = 0; k < 3; ++k) quad.n[k][lane] = normal[k];
        quad.p[lane] = Dot(normal, v);
        const float ax = std::fabs(normal[0]), ay = std::fabs(normal[1]), az = std::fabs(normal[2]);
        const int axis = (az >= ax && az >= ay) ? 0 : (ay >= ax) ? 1 : 2;
        const int i = axis == 2 ? 1 : 0, j = axis == 0 ? 1 : 2;
        quad.code[lane] = axis | int32_t(t.position) << 2;
        for (int c = 0; c < 3; ++c) {
          quad.cornerI[c][lane] = v[3 * c + i];
          quad.cornerJ[c][lane] = v[3 * c + j];
        }
        quad.id[lane] = t.id;
        for (int c = 0; c < 3; ++c) {
          for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], v[3 * c + k]);
            hi[k] = std::max(hi[k], v[3 * c + k]);
          }
        }
      }
      packs->quads.push_back(quad);
      const size_t g = q / 4;
      RVLeafPacks::Boxes& group = packs->boxes[leaf.firstBoxes + leaf.GroupRecords() + g];
      RVLeafPacks::Boxes& records = packs->boxes[leaf.firstBoxes + g / 4];
      for (int k = 0; k < 3; ++k) {
        group.bound[0][k][q % 4] = lo[k];
        group.bound[1][k][q % 4] = hi[k];
        records.bound[0][k][g % 4] = std::min(records.bound[0][k][g % 4], lo[k]);
        records.bound[1][k][g % 4] = std::max(records.bound[1][k][g % 4], hi[k]);
      }
    }
    leaf.node = int32_t(n);
    leafOf[n] = int32_t(packs->leaves.size());
    packs->leaves.push_back(leaf);
  }
  packs->sceneMagnitude = magnitude;
  if (m_nodes[0].first >= 0) AddWide(*packs, m_nodes, leafOf, 0);
  // Children come after their parent.
  packs->boxesHold = std::isfinite(magnitude);
  packs->parent.assign(m_nodes.size(), -1);
  for (size_t n = m_nodes.size(); n-- > 0;) {
    if (m_nodes[n].first >= 0) {
      packs->parent[size_t(m_nodes[n].first)] = packs->parent[size_t(m_nodes[n].second)] = int32_t(n);
      held[n].Grow(held[size_t(m_nodes[n].first)]);
      held[n].Grow(held[size_t(m_nodes[n].second)]);
    }
    float c[3], e[3];
    DecodeBox(m_nodes[n], c, e);
    for (int k = 0; k < 3; ++k)
      if (!(c[k] - e[k] <= held[n].min[k] && c[k] + e[k] >= held[n].max[k])) packs->boxesHold = false;
  }
  m_packs = std::move(packs);
}

bool RVAxisBoxTree::QuerySegment(const float start[3], const float end[3], RVSegmentHit& result) const {
  result.fraction = -1.0f;
  result.triangle = kCollisionNoTriangle;
  if (m_nodes.empty() || !m_geometry || !m_packs) return false;
  const RVLeafPacks& packs = *m_packs;
  float mid[3], halfVec[3], absHalf[3], dir[3], absDir[3], delta[3];
  float segmentMagnitude = 0.0f;
  for (int k = 0; k < 3; ++k) {
    mid[k] = start[k] * 0.5f + end[k] * 0.5f;
    halfVec[k] = end[k] * 0.5f - start[k] * 0.5f;
    absHalf[k] = std::fabs(halfVec[k]);
    dir[k] = end[k] - start[k];
    delta[k] = end[k] - start[k];
    segmentMagnitude = std::max({segmentMagnitude, std::fabs(start[k]), std::fabs(end[k])});
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

  // Group boxes grow by more than the rounding of a computed hit point can
  // move it off its triangle.
  const float pad = 1e-5f * (packs.sceneMagnitude + segmentMagnitude) + FLT_MIN;
  F4 inverse[3];
  for (int k = 0; k < 3; ++k) inverse[k] = Splat(delta[k] != 0.0f ? 1.0f / delta[k] : 0.0f);
  const F4 s4[3] = {Splat(start[0]), Splat(start[1]), Splat(start[2])};
  const F4 e4[3] = {Splat(end[0]), Splat(end[1]), Splat(end[2])};
  const F4 d4[3] = {Splat(delta[0]), Splat(delta[1]), Splat(delta[2])};
  // Per axis, the side of a box the segment enters by (0: the minimum) and
  // the start moved by the pad either way: a box's side moved out by the pad
  // against the start is the side against the moved start, rounded well
  // within the pad. Relative to the root's centre for the stored boxes.
  int inSide[3];
  F4 startIn[3], startOut[3], startInRel[3], startOutRel[3];
  bool flat = false;
  for (int k = 0; k < 3; ++k) {
    flat = flat || delta[k] == 0.0f;
    inSide[k] = delta[k] < 0.0f ? 1 : 0;
    const float in = inSide[k] ? start[k] - pad : start[k] + pad,
                out = inSide[k] ? start[k] + pad : start[k] - pad;
    startIn[k] = Splat(in);
    startOut[k] = Splat(out);
    startInRel[k] = Splat(in - m_origin[k]);
    startOutRel[k] = Splat(out - m_origin[k]);
  }

  float best = FLT_MAX;
  // The lanes of four boxes, grown by the pad, that the segment meets before
  // the best fraction, and the fraction where it enters each; the boxes' sides
  // come from side(s, k), relative to origin.
  auto slabOf = [&](auto&& side, const F4 in[3], const F4 out[3], F4& entry) {
    F4 near4 = Splat(0.0f), far4 = Splat(std::min(best, 1.0f));
    I4 meets = I4{-1, -1, -1, -1};
    for (int k = 0; k < 3; ++k) {
      if (flat && delta[k] == 0.0f) {
        meets &= (side(0, k) <= in[k]) & (out[k] <= side(1, k));
        continue;
      }
      near4 = Max4((side(inSide[k], k) - in[k]) * inverse[k], near4);
      far4 = Min4((side(1 - inSide[k], k) - out[k]) * inverse[k], far4);
    }
    entry = near4;
    return meets & (near4 <= far4);
  };
  auto meetsBoxes = [&](const RVLeafPacks::Boxes& boxes) {
    F4 entry;
    return slabOf([&](int side, int k) { return boxes.bound[side][k]; }, startIn, startOut, entry);
  };
  // Every triangle of the leaf that the segment meets no later than the best
  // fraction, passed to take with its fraction and the lanes' hit points.
  auto scanLeaf = [&](const RVLeafPacks::Leaf& leaf, auto&& take) {
    // First the quads the segment meets, up to the best fraction, in up to 64
    // at a time; all of them are fetched before any is tested, so that their
    // misses overlap.
    for (uint32_t first = 0; first < leaf.quadCount; first += 64) {
      uint64_t met = 0;
      I4 records{};
      for (uint32_t g = first; g < leaf.quadCount && g < first + 64; g += 4) {
        if (g % 16 == 0) records = meetsBoxes(packs.boxes[leaf.firstBoxes + g / 16]);
        if (!records[g / 4 % 4]) continue;
        const I4 meets = meetsBoxes(packs.boxes[leaf.firstBoxes + leaf.GroupRecords() + g / 4]);
        for (uint32_t q = g; q < leaf.quadCount && q < g + 4; ++q) {
          if (!meets[q - g]) continue;
          met |= uint64_t(1) << (q - first);
          const char* at = reinterpret_cast<const char*>(&packs.quads[leaf.firstQuad + q]);
          for (int line = 0; line < 3; ++line) __builtin_prefetch(at + 64 * line);
        }
      }
      for (; met != 0; met &= met - 1) {
        const uint32_t q = first + uint32_t(std::countr_zero(met));
        const RVLeafPacks::Quad& quad = packs.quads[leaf.firstQuad + q];
        // The plane: both ends strictly on one side, or not a number, is no crossing.
        const F4 a = (quad.n[0] * s4[0] + quad.n[1] * s4[1]) + quad.n[2] * s4[2];
        const F4 b = (quad.n[0] * e4[0] + quad.n[1] * e4[1]) + quad.n[2] * e4[2];
        const F4& p = quad.p;
        I4 crosses =
            ~(((a > p) & (b > p)) | ((a < p) & (b < p))) & (a == a) & (b == b) & (p == p) & (quad.code >= 0);
        if (!(crosses[0] | crosses[1] | crosses[2] | crosses[3])) continue;
        const F4 same = a == b ? Splat(1.0f) : (a - b);
        F4 fraction = (a - p) / same;
        fraction = a == b ? Splat(0.0f) : fraction;
        crosses &= fraction <= Splat(best);
        if (!(crosses[0] | crosses[1] | crosses[2] | crosses[3])) continue;
        F4 point[3];
        for (int k = 0; k < 3; ++k) point[k] = s4[k] + d4[k] * fraction;
        const I4 axis = quad.code & 3;
        const F4 pi = axis == 2 ? point[1] : point[0];
        const F4 pj = axis == 0 ? point[1] : point[2];
        I4 negative = I4{0, 0, 0, 0}, positive = I4{0, 0, 0, 0}, number = I4{-1, -1, -1, -1};
        for (int c = 0; c < 3; ++c) {
          const int before = (c + 2) % 3;
          const F4 edgeI = quad.cornerI[c] - quad.cornerI[before],
                   edgeJ = quad.cornerJ[c] - quad.cornerJ[before];
          const F4 side = edgeI * (pj - quad.cornerJ[before]) - edgeJ * (pi - quad.cornerI[before]);
          negative |= side < Splat(0.0f);
          positive |= side > Splat(0.0f);
          number &= side == side;
        }
        const I4 inside = crosses & number & ~(negative & positive);
        for (int lane = 0; lane < 4; ++lane)
          if (inside[lane]) take(fraction[lane], quad, lane, point);
      }
    }
  };
  uint32_t bestVisit = 0, visit = 0;
  int bestPosition = -1;
  // The stack holds what a descent one node at a time would hold, in the
  // same order: a leaf, a node with its Wide, or a child of a Wide's node
  // carrying the tests of its own children, already made.
  enum Kind : int32_t { kLeaf, kWide, kMiddle };
  // reach: where the segment enters the node's box grown as the group boxes
  // are; a node it enters after the best fraction holds no triangle the
  // test would accept, so skipping it changes no answer.
  struct Item {
    int32_t ref;
    float entry;
    float reach;
    Kind kind;
    uint32_t meets;  // kMiddle: bit c when the segment meets child c
    int32_t childRef[2];
    float childEntry[2], childReach[2];
  };
  Item stack[128];
  int top = 0;
  // Whether the segment meets each box (the separating-axis test) and where
  // it enters it, as the scalar forms give them.
  F4 mid4[3], halfVec4[3], absHalf4[3], dir4[3], absDir4[3];
  for (int k = 0; k < 3; ++k) {
    mid4[k] = Splat(mid[k]);
    halfVec4[k] = Splat(halfVec[k]);
    absHalf4[k] = Splat(absHalf[k]);
    dir4[k] = Splat(dir[k]);
    absDir4[k] = Splat(absDir[k]);
  }
  const F4 startOffset4 = Splat(startOffset), invLength4 = Splat(invLength);
  const F4 origin4[3] = {Splat(m_origin[0]), Splat(m_origin[1]), Splat(m_origin[2])};
  const F4 centreUnit4 = Splat(m_centreUnit), extentUnit4 = Splat(m_extentUnit);
  auto abs4 = [](F4 v) { return F4(I4(v) & I4{0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}); };
  auto test = [&](const F4 c[3], const F4 e[3], I4& meets, F4& entries) {
    F4 w[3];
    I4 apart = I4{0, 0, 0, 0};
    for (int k = 0; k < 3; ++k) {
      w[k] = mid4[k] - c[k];
      apart |= abs4(w[k]) > e[k] + absHalf4[k];
    }
    apart |= abs4(halfVec4[1] * w[2] - w[1] * halfVec4[2]) > e[1] * absHalf4[2] + e[2] * absHalf4[1];
    apart |= abs4(halfVec4[2] * w[0] - w[2] * halfVec4[0]) > e[2] * absHalf4[0] + e[0] * absHalf4[2];
    apart |= abs4(halfVec4[0] * w[1] - w[0] * halfVec4[1]) > e[0] * absHalf4[1] + e[1] * absHalf4[0];
    meets = ~apart;
    entries = ((((dir4[0] * c[0] + dir4[1] * c[1]) + dir4[2] * c[2]) - startOffset4) -
               ((absDir4[0] * e[0] + absDir4[1] * e[1]) + absDir4[2] * e[2])) *
              invLength4;
  };
  // The six lanes of a Wide: boxes decoded as DecodeBox does, then tested.
  // A Wide's boxes, decoded as DecodeBox does: lanes 0-3 in the first half, 4 and 5 in the second.
  auto decodeWide = [&](const RVLeafPacks::Wide& wide, F4 c[2][3], F4 e[2][3]) {
    for (int k = 0; k < 3; ++k) {
      I4 words, halves;
      std::memcpy(&words, wide.centre[k], sizeof words);
      std::memcpy(&halves, wide.half[k], sizeof halves);
      const I4 low = (words << 16) >> 16, high = words >> 16;
      c[0][k] = origin4[k] + __builtin_convertvector(low, F4) * centreUnit4;
      c[1][k] = origin4[k] + __builtin_convertvector(high, F4) * centreUnit4;
      e[0][k] = __builtin_convertvector(halves & 0xFFFF, F4) * extentUnit4;
      e[1][k] = __builtin_convertvector((halves >> 16) & 0xFFFF, F4) * extentUnit4;
    }
  };
  // The slab test of half h of a Wide's boxes: the sides in whole steps
  // (centre and extent share the unit), relative to the root's centre.
  const F4 unit4 = Splat(m_centreUnit);
  auto reachWide = [&](const RVLeafPacks::Wide& wide, int h, F4& reach) {
    I4 centre[3], half[3];
    for (int k = 0; k < 3; ++k) {
      I4 words, halves;
      std::memcpy(&words, wide.centre[k], sizeof words);
      std::memcpy(&halves, wide.half[k], sizeof halves);
      centre[k] = h == 0 ? (words << 16) >> 16 : words >> 16;
      half[k] = h == 0 ? halves & 0xFFFF : (halves >> 16) & 0xFFFF;
    }
    return slabOf(
        [&](int side, int k) {
          return __builtin_convertvector(side ? centre[k] + half[k] : centre[k] - half[k], F4) * unit4;
        },
        startInRel, startOutRel, reach);
  };
  auto testWide = [&](const RVLeafPacks::Wide& wide, I4 meets[2], F4 entries[2], F4 reach[2]) {
    F4 c[2][3], e[2][3];
    decodeWide(wide, c, e);
    for (int h = 0; h < 2; ++h) {
      test(c[h], e[h], meets[h], entries[h]);
      if (packs.boxesHold)
        meets[h] &= reachWide(wide, h, reach[h]);
      else
        reach[h] = Splat(-FLT_MAX);
    }
  };
  // A leaf's first boxes: its records' and the first group's.
  auto prefetchLeaf = [&](int32_t leaf) {
    const char* at = reinterpret_cast<const char*>(&packs.boxes[packs.leaves[size_t(leaf)].firstBoxes]);
    for (int line = 0; line < 3; ++line) __builtin_prefetch(at + 64 * line);
  };
  auto prefetchWide = [&](int32_t wide) {
    __builtin_prefetch(&packs.wides[size_t(wide)]);
    __builtin_prefetch(reinterpret_cast<const char*>(&packs.wides[size_t(wide)]) + 64);
  };
  auto prefetch = [&](const Item& item) {
    if (item.kind == kWide) {
      prefetchWide(item.ref);
    } else if (item.kind == kLeaf) {
      prefetchLeaf(item.ref);
    }
  };
  // A node's step: its near child first, each only when the segment meets it
  // and it starts no later than the best fraction.
  auto descend = [&](const Item children[2], const bool meets[2]) {
    const bool firstNear = children[0].entry <= children[1].entry;
    const Item& near = children[firstNear ? 0 : 1];
    const Item& far = children[firstNear ? 1 : 0];
    if (top + 2 > 128) return;  // deeper than any balanced tree of the limits
    if (meets[firstNear ? 1 : 0] && far.entry <= best && far.reach <= best) stack[top++] = far;
    if (meets[firstNear ? 0 : 1] && near.entry <= best && near.reach <= best) {
      stack[top++] = near;
      prefetch(near);
    }
  };
  auto finish = [&]() {
    const float squared = Dot(result.normal, result.normal);
    if (squared > 0.0f) {
      const float inv = Kiv::StdMath::InvSqrt(squared);
      for (float& n : result.normal) n *= inv;
    }
    return true;
  };
  // First the nearest hits, in whatever order finds them soonest. When the
  // descent one node at a time is sure to reach each of them, its answer is
  // known without running it: the last of them in its order. It is not sure
  // when rounding puts a node's entry value past the nearest fraction; it then
  // runs in full below.
  if (packs.boxesHold) {
    struct Hit {
      int32_t leaf;
      int position;
      uint32_t id;
      float point[3], normal[3];
    };
    constexpr int kMostHits = 16, kDeepest = 64;
    Hit hits[kMostHits];
    int hitCount = 0;
    bool complete = true;
    struct Near {
      int32_t ref;  // a Wide, or -1 - a leaf
      float reach;
    };
    Near stackNear[256];
    int count = 0;
    stackNear[count++] = Near{m_nodes[0].first < 0 ? -1 : 0, 0.0f};
    while (count > 0 && complete) {
      const Near item = stackNear[--count];
      if (item.reach > best) continue;
      if (item.ref < 0) {
        const int32_t leaf = -1 - item.ref;
        scanLeaf(packs.leaves[size_t(leaf)],
                 [&](float f, const RVLeafPacks::Quad& quad, int lane, const F4 point[3]) {
                   if (f > best) return;  // a lane beside a nearer one
                   if (f < best) {
                     best = f;
                     hitCount = 0;
                   }
                   if (hitCount == kMostHits) {
                     complete = false;
                     return;
                   }
                   Hit& hit = hits[hitCount++];
                   hit.leaf = leaf;
                   hit.position = quad.code[lane] >> 2;
                   hit.id = quad.id[lane];
                   for (int k = 0; k < 3; ++k) {
                     hit.point[k] = point[k][lane];
                     hit.normal[k] = quad.n[k][lane];
                   }
                 });
        continue;
      }
      const RVLeafPacks::Wide& wide = packs.wides[size_t(item.ref)];
      F4 reach[2];
      const I4 meets[2] = {reachWide(wide, 0, reach[0]), reachWide(wide, 1, reach[1])};
      // The leaves and Wides below, nearest last.
      Near found[4];
      int n = 0;
      auto offer = [&](int half, int lane, int32_t ref) {
        if (!meets[half][lane] || reach[half][lane] > best) return;
        int at = n++;
        for (; at > 0 && found[at - 1].reach < reach[half][lane]; --at) found[at] = found[at - 1];
        found[at] = Near{ref, reach[half][lane]};
      };
      for (int child = 0; child < 2; ++child) {
        if (wide.ref[child] < 0) {
          offer(0, child, wide.ref[child]);
          continue;
        }
        const int lane = child == 0 ? 2 : 0;
        offer(child, lane, wide.ref[2 + 2 * child]);
        offer(child, lane + 1, wide.ref[3 + 2 * child]);
      }
      if (count + n > 256) {
        complete = false;
        break;
      }
      // All are fetched now: testing the nearer ones hides the farther ones' misses.
      for (int i = 0; i < n; ++i) {
        stackNear[count++] = found[i];
        if (found[i].ref < 0)
          prefetchLeaf(-1 - found[i].ref);
        else
          prefetchWide(found[i].ref);
      }
    }
    // The descent misses no triangle that the search above skipped.
    if (complete && hitCount == 0) return false;
    auto entryOf = [&](int32_t node) {
      float c[3], e[3];
      DecodeBox(m_nodes[size_t(node)], c, e);
      return ((((dir[0] * c[0] + dir[1] * c[1]) + dir[2] * c[2]) - startOffset) -
              ((absDir[0] * e[0] + absDir[1] * e[1]) + absDir[2] * e[2])) *
             invLength;
    };
    int32_t path[kDeepest], chosenPath[kDeepest];
    int chosen = -1, chosenLength = 0;
    for (int i = 0; i < hitCount && complete; ++i) {
      // The nodes from the hit's leaf up to the root.
      int length = 0;
      for (int32_t node = packs.leaves[size_t(hits[i].leaf)].node; node >= 0 && complete;
           node = packs.parent[size_t(node)]) {
        if (length == kDeepest)
          complete = false;
        else
          path[length++] = node;
      }
      if (!complete) break;
      // A node the segment does not meet is never entered: that hit is not the descent's.
      bool reached = true;
      for (int j = 0; j < length && reached; ++j) {
        float c[3], e[3];
        DecodeBox(m_nodes[size_t(path[j])], c, e);
        reached = overlaps(c, e);
      }
      if (!reached) continue;
      // The root is entered whatever its entry value.
      for (int j = 0; j + 1 < length; ++j)
        if (!(entryOf(path[j]) <= best)) complete = false;
      if (!complete) break;
      if (chosen >= 0) {
        const Hit& other = hits[chosen];
        bool later = hits[i].position > other.position;
        if (hits[i].leaf != other.leaf) {
          // Below the lowest common node, the far child's side comes later.
          int a = length - 1, b = chosenLength - 1;
          while (a > 0 && b > 0 && path[a - 1] == chosenPath[b - 1]) {
            --a;
            --b;
          }
          const Node& common = m_nodes[size_t(path[a])];
          const int32_t nearChild =
              entryOf(common.first) <= entryOf(common.second) ? common.first : common.second;
          later = path[a - 1] != nearChild;
        }
        if (!later) continue;
      }
      chosen = i;
      chosenLength = length;
      std::copy(path, path + length, chosenPath);
    }
    if (complete && chosen >= 0) {
      const Hit& hit = hits[chosen];
      std::copy(hit.point, hit.point + 3, result.point);
      std::copy(hit.normal, hit.normal + 3, result.normal);
      result.fraction = best;
      result.triangle = hit.id;
      return finish();
    }
    best = FLT_MAX;
  }
  float rootCentre[3], rootHalf[3];
  DecodeBox(m_nodes[0], rootCentre, rootHalf);
  if (!overlaps(rootCentre, rootHalf)) return false;
  stack[top++] = Item{0, -FLT_MAX, 0.0f, m_nodes[0].first < 0 ? kLeaf : kWide, 0, {}, {}, {}};
  while (top > 0) {
    const Item item = stack[--top];
    if (item.entry > best || item.reach > best) continue;
    if (item.kind == kWide) {
      const RVLeafPacks::Wide& wide = packs.wides[size_t(item.ref)];
      I4 meets[2];
      F4 entries[2], reach[2];
      testWide(wide, meets, entries, reach);
      Item children[2];
      bool met[2];
      for (int c = 0; c < 2; ++c) {
        met[c] = meets[0][c] != 0;
        if (wide.ref[c] < 0) {
          children[c] = Item{-1 - wide.ref[c], entries[0][c], reach[0][c], kLeaf, 0, {}, {}, {}};
          continue;
        }
        // Lanes 2 + 2c and 3 + 2c: the low half's 2 and 3, or the high half's 0 and 1.
        const I4& m = meets[c];
        const F4& v = entries[c];
        const int lane = c == 0 ? 2 : 0;
        children[c] = Item{0,
                           entries[0][c],
                           reach[0][c],
                           kMiddle,
                           uint32_t(m[lane] != 0) | uint32_t(m[lane + 1] != 0) << 1,
                           {wide.ref[2 + 2 * c], wide.ref[3 + 2 * c]},
                           {v[lane], v[lane + 1]},
                           {reach[c][lane], reach[c][lane + 1]}};
      }
      descend(children, met);
      continue;
    }
    if (item.kind == kMiddle) {
      Item children[2];
      bool met[2];
      for (int c = 0; c < 2; ++c) {
        met[c] = (item.meets >> c & 1) != 0;
        const int32_t ref = item.childRef[c];
        children[c] = Item{ref < 0 ? -1 - ref : ref,
                           item.childEntry[c],
                           item.childReach[c],
                           ref < 0 ? kLeaf : kWide,
                           0,
                           {},
                           {},
                           {}};
      }
      descend(children, met);
      continue;
    }
    ++visit;
    scanLeaf(packs.leaves[size_t(item.ref)],
             [&](float f, const RVLeafPacks::Quad& quad, int lane, const F4 point[3]) {
               const int position = quad.code[lane] >> 2;
               if (f < best || (f == best && (visit > bestVisit || position > bestPosition))) {
                 best = f;
                 bestVisit = visit;
                 bestPosition = position;
                 for (int k = 0; k < 3; ++k) {
                   result.point[k] = point[k][lane];
                   result.normal[k] = quad.n[k][lane];
                 }
                 result.fraction = f;
                 result.triangle = quad.id[lane];
               }
             });
  }
  if (best == FLT_MAX) return false;
  return finish();
}
