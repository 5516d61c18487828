#pragma once
// A compact bounding-box tree over a mesh's triangles for segment queries.
// The tree keeps only quantised node boxes and triangle identifiers, and the
// external geometry provider gives the corners. For its queries, Build also
// takes a copy of each leaf's triangles as they then are, grouped in space
// with the values of the triangle test worked out ahead: the answers are
// those of testing every triangle of each leaf the query reaches, in order.
#include <cstdint>
#include <memory>
#include <vector>

// Triangle identifiers: the chunk index in the top 9 bits, the triangle number
// (first-index position / 3) in the low 23 bits, so chunks of any size that
// the tree accepts keep distinct identifiers.
constexpr uint32_t kCollisionMaxChunks = 512;
constexpr uint32_t kCollisionTriangleBits = 23;
constexpr uint32_t kCollisionNoTriangle = 0xFFFFFFFFu;
constexpr uint32_t kCollisionMaxTriangles = 8300000;
constexpr uint32_t kCollisionMaxVertices = 16700000;

// False when the chunk or the position does not fit an identifier, or the
// position is not a multiple of 3.
[[nodiscard]] bool MakeCollisionTriangleId(uint32_t chunk, uint32_t firstIndex, uint32_t& id);
inline uint32_t CollisionTriangleChunk(uint32_t id) { return id >> kCollisionTriangleBits; }
inline uint32_t CollisionTriangleFirstIndex(uint32_t id) {
  return 3 * (id & ((1u << kCollisionTriangleBits) - 1));
}

class RVAxisBoxTreeExternalGeometry {
public:
  virtual ~RVAxisBoxTreeExternalGeometry() = default;
  // The three corner positions (9 floats); false when there is no such triangle.
  [[nodiscard]] virtual bool GetTriangle(uint32_t id, float corners[9]) const = 0;
};

struct RVSegmentHit {
  float point[3] = {0, 0, 0};
  float normal[3] = {0, 0, 0};
  float fraction = -1.0f;
  uint32_t triangle = kCollisionNoTriangle;
};

class RVAxisBoxTreeBuilder;

class RVAxisBoxTree {
public:
  struct Node {
    int32_t first = 0;   // inner: first child; leaf: -1 - first leaf item
    int32_t second = 0;  // inner: second child; leaf: item count
    int16_t centre[3] = {0, 0, 0};
    uint16_t halfExtent[3] = {0, 0, 0};
  };

  RVAxisBoxTree();
  ~RVAxisBoxTree();
  RVAxisBoxTree(const RVAxisBoxTree&) = delete;
  RVAxisBoxTree& operator=(const RVAxisBoxTree&) = delete;

  // maxLeafItems is forced even and at least 4.
  void BeginBuild(const RVAxisBoxTreeExternalGeometry& geometry, uint32_t maxLeafItems = 64);
  // Sizes the build's lists for that many more triangles, so that adding
  // them allocates little; optional.
  void ReserveTriangles(uint32_t count);
  // False (one more error) when the triangle is refused: chunk or position
  // out of range, a limit reached, or a degenerate triangle.
  [[nodiscard]] bool AddTriangle(uint32_t chunk, uint32_t firstIndex, const float corners[9]);
  // Builds from the added triangles and releases the builder; false when
  // there is nothing to build or a limit was exceeded (the tree is then empty).
  [[nodiscard]] bool Build();
  uint32_t GetErrorCount() const { return m_errors; }
  uint32_t GetMaxDepth() const { return m_maxDepth; }

  // Nearest hit of the segment start -> end.
  [[nodiscard]] bool QuerySegment(const float start[3], const float end[3], RVSegmentHit& result) const;

  const std::vector<Node>& GetNodes() const { return m_nodes; }
  const std::vector<uint32_t>& GetLeafItems() const { return m_leafItems; }
  // The node's box as the query decodes it.
  void DecodeBox(const Node& node, float centre[3], float halfExtent[3]) const;
  // The tree's bytes, with the query-side copy of the leaves.
  size_t MemoryBytes() const;

  // The Moller-Trumbore test; *nearest takes t when t is smaller. Hits behind
  // the origin (t < 0) count.
  [[nodiscard]] static bool IntersectRayTriangle(const float corners[9], bool twoSided, const float origin[3],
                                                 const float direction[3], float* nearest);
  // The projected edge test, independent of the triangle's winding; points on
  // an edge are inside.
  [[nodiscard]] static bool IsPointInTriangle(const float normal[3], const float corners[9],
                                              const float point[3]);
  // The per-triangle step of QuerySegment: the fraction along start -> end
  // where the segment meets the triangle, with the hit point and the
  // (unnormalised) normal. Meetings beyond limit are not looked at further.
  [[nodiscard]] static bool SegmentHitsTriangle(const float corners[9], const float start[3],
                                                const float end[3], float& fraction, float point[3],
                                                float normal[3], float limit = 3.4028235e38f);

private:
  void Compact(const std::vector<struct RVBuildNode>& buildNodes);
  // Makes the query-side copy of the leaves (see RVLeafPacks).
  void PackLeaves();

  const RVAxisBoxTreeExternalGeometry* m_geometry = nullptr;
  std::vector<Node> m_nodes;
  std::vector<uint32_t> m_leafItems;
  // Node centres are stored relative to the root box's centre.
  float m_origin[3] = {0, 0, 0};
  float m_centreUnit = 0.0f;
  float m_extentUnit = 0.0f;
  uint32_t m_errors = 0;
  uint32_t m_maxDepth = 0;
  std::unique_ptr<RVAxisBoxTreeBuilder> m_builder;
  // The nodes three levels to a record and the leaves' triangles grouped for the query;
  // made by Build from the geometry as it is then.
  std::unique_ptr<struct RVLeafPacks> m_packs;
};
