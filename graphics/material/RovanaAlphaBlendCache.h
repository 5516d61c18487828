#pragma once
// The sorted alpha-blend cache: chunks added during a frame drop into 200
// distance buckets and are drawn far to near. Nested scenes (Enter/Leave with
// their flag set) get their own 200 buckets above the outer scene's.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "graphics/material/AlphaBlendBucket.h"
#include "kiv/render/RenderKernel.h"

namespace Kiv {

class RovanaAlphaBlendCache : public AlphaBlendCache {
public:
  static constexpr uint32_t kBucketCount = 200;
  static constexpr uint32_t kNearBucketLimit = 70;
  static constexpr size_t kIndexPoolBlock = 10000;

  RovanaAlphaBlendCache();
  RovanaAlphaBlendCache(const RovanaAlphaBlendCache&) = delete;
  RovanaAlphaBlendCache& operator=(const RovanaAlphaBlendCache&) = delete;

  // The viewer distance of a transform's translation (elements 12..14),
  // computed with one Newton step of the bit-level inverse square root.
  static float ViewerDistance(const float transform[16]);
  // The bucket (0..199) of a distance over [0, maximum distance).
  uint32_t BucketIndex(float distance) const;

  // Adds a chunk at the distance of its transform; returns the bucket index.
  // A chunk of triangles in a bucket below the near limit has its triangles
  // sorted far to near first, and goes in at the mean distance of its
  // farthest and nearest triangle.
  uint32_t Add(const GeometryChunk* chunk, std::shared_ptr<Material> material, const float transform[16],
               uint32_t parameter);
  // Draws the current buckets from far to near, each bucket's items from the
  // greatest distance down, then clears them. Nothing happens while frozen.
  void Render(const std::function<void(const AlphaBlendItem&)>& draw);
  // Renders to a display: blending on, alpha test and depth writes off; each
  // item through its material with the parameter it was added with (sorted
  // triangles as a primitive range with their indices) and the blend
  // function set to (4, 5) before it; then the state given back.
  void Render(Display& display);
  // Index pool blocks in use (a frame's near chunks; reset after rendering).
  size_t IndexPoolBlocks() const { return m_poolBlocks.size(); }
  void Clear();
  [[nodiscard]] bool IsEmpty() const;
  void Enter(bool nested);
  void Leave(bool nested, const std::function<void(const AlphaBlendItem&)>& draw);

  void SetDetailDistance(float distance);
  float GetDetailDistance() const { return m_detailDistance; }
  int32_t GetDetailCount() const { return m_detailCount; }
  float GetMaximumDistance() const { return m_maximumDistance; }
  float GetFarDistance() const { return m_farDistance; }
  void SetFrozen(bool frozen) { m_frozen = frozen; }

  size_t BucketBase() const { return m_base; }
  size_t BucketArraySize() const { return m_buckets.size(); }
  const AlphaBlendBucket& Bucket(uint32_t index) const { return *m_buckets[m_base + index]; }

private:
  void AppendBuckets();
  // Sorts a chunk's triangles for the viewer of the transform; false when the
  // chunk has no triangles to sort (or an index outside its vertices).
  // The sorted indices go to the pool (`pooled`) or, when they outgrow a
  // pool block, to `own`.
  [[nodiscard]] bool SortNearRange(const GeometryChunk& chunk, const float transform[16],
                                   std::vector<uint16_t>& own, const uint16_t*& pooled, uint32_t& count,
                                   float& distance);
  uint16_t* TakeIndices(size_t count);
  void ResetIndexPool();

  float m_maximumDistance = 1000.0f;
  float m_detailFactor = 0.2f;
  float m_detailDistance = 250.0f;
  float m_farDistance;
  int32_t m_detailCount = 50;
  bool m_frozen = false;
  AlphaBlendItemPool m_pool;
  std::vector<std::unique_ptr<AlphaBlendBucket>> m_buckets;
  size_t m_base = 0;
  std::vector<std::unique_ptr<uint16_t[]>> m_poolBlocks;
  size_t m_poolUsed = 0;  // entries used in the last block
  std::vector<float> m_scratch;
  std::vector<uint32_t> m_order;
};

}  // namespace Kiv
