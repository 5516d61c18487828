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

  RovanaAlphaBlendCache();
  RovanaAlphaBlendCache(const RovanaAlphaBlendCache&) = delete;
  RovanaAlphaBlendCache& operator=(const RovanaAlphaBlendCache&) = delete;

  // The viewer distance of a transform's translation (elements 12..14),
  // computed with one Newton step of the bit-level inverse square root.
  static float ViewerDistance(const float transform[16]);
  // The bucket (0..199) of a distance over [0, maximum distance).
  uint32_t BucketIndex(float distance) const;

  // Adds a chunk at the distance of its transform; returns the bucket index.
  uint32_t Add(const GeometryChunk* chunk, std::shared_ptr<Material> material, const float transform[16],
               uint32_t parameter);
  // Draws the current buckets from far to near, each bucket's items from the
  // greatest distance down, then clears them. Nothing happens while frozen.
  void Render(const std::function<void(const AlphaBlendItem&)>& draw);
  void Clear();
  bool IsEmpty() const;
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

  float m_maximumDistance = 1000.0f;
  float m_detailFactor = 0.2f;
  float m_detailDistance = 250.0f;
  float m_farDistance;
  int32_t m_detailCount = 50;
  bool m_frozen = false;
  AlphaBlendItemPool m_pool;
  std::vector<std::unique_ptr<AlphaBlendBucket>> m_buckets;
  size_t m_base = 0;
};

}  // namespace Kiv
