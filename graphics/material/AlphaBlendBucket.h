#pragma once
// One distance bucket of the sorted alpha-blend cache: a top-down red-black
// tree of pooled items ordered by distance. Equal distances go right, so a
// walk from the greatest distance down meets the later of two equal items
// first.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace Kiv {

class GeometryChunk;
class Material;

struct AlphaBlendItem {
  float distance = 0.0f;
  const GeometryChunk* chunk = nullptr;
  std::shared_ptr<Material> material;
  float transform[16] = {};
  uint32_t parameter = 0;
  uint32_t primitiveKind = 0;  // the chunk's, from its flags
  // Near chunks: their triangles' indices sorted far to near, in the cache's
  // index pool or, for more than a pool block holds, in the item's own copy.
  bool sorted = false;
  const uint16_t* sortedIndices = nullptr;
  uint32_t sortedCount = 0;
  std::vector<uint16_t> ownIndices;
  AlphaBlendItem* left = nullptr;
  AlphaBlendItem* right = nullptr;
  bool red = false;
};

// Items are reused across frames; a bucket takes them from and returns them
// to the pool of its cache.
class AlphaBlendItemPool {
public:
  AlphaBlendItem* Take();
  void Give(AlphaBlendItem* item);
  size_t Allocated() const { return m_items.size(); }
  size_t Free() const { return m_free.size(); }

private:
  std::vector<std::unique_ptr<AlphaBlendItem>> m_items;
  std::vector<AlphaBlendItem*> m_free;
};

class AlphaBlendBucket {
public:
  explicit AlphaBlendBucket(AlphaBlendItemPool& pool);
  ~AlphaBlendBucket();
  AlphaBlendBucket(const AlphaBlendBucket&) = delete;
  AlphaBlendBucket& operator=(const AlphaBlendBucket&) = delete;

  // Takes a fresh item from the pool, links it at its distance and returns it
  // so the caller can fill in what to draw.
  AlphaBlendItem* Insert(float distance);
  // Gives every item back to the pool.
  void Clear();
  uint32_t Count() const { return m_count; }
  [[nodiscard]] bool Empty() const { return m_count == 0; }
  // Visits the items from the greatest distance to the smallest.
  void WalkFarToNear(const std::function<void(const AlphaBlendItem&)>& visit) const;

  // For checks of the tree shape.
  const AlphaBlendItem* Root() const { return m_header->right; }
  const AlphaBlendItem* Sentinel() const { return m_sentinel; }

private:
  [[nodiscard]] bool GoesLeft(const AlphaBlendItem* node, float distance) const;
  void Split(float distance);
  AlphaBlendItem* Rotate(float distance, AlphaBlendItem* parent);
  void GiveSubtree(AlphaBlendItem* node);

  AlphaBlendItemPool& m_pool;
  AlphaBlendItem* m_header = nullptr;
  AlphaBlendItem* m_sentinel = nullptr;
  uint32_t m_count = 0;
  // Walk state of an insert, shared with Split and Rotate.
  AlphaBlendItem* m_current = nullptr;
  AlphaBlendItem* m_parent = nullptr;
  AlphaBlendItem* m_grand = nullptr;
  AlphaBlendItem* m_great = nullptr;
};

}  // namespace Kiv
