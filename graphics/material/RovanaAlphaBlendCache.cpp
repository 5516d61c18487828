#include "graphics/material/RovanaAlphaBlendCache.h"

#include <bit>
#include <cmath>
#include <limits>

namespace Kiv {

RovanaAlphaBlendCache::RovanaAlphaBlendCache() : m_farDistance(std::bit_cast<float>(0x43AF0001u)) {
  AppendBuckets();
}

void RovanaAlphaBlendCache::AppendBuckets() {
  for (uint32_t i = 0; i < kBucketCount; ++i) m_buckets.push_back(std::make_unique<AlphaBlendBucket>(m_pool));
}

float RovanaAlphaBlendCache::ViewerDistance(const float transform[16]) {
  const float x = transform[12], y = transform[13], z = transform[14];
  const float s = x * x + y * y + z * z;
  float r = std::bit_cast<float>(0x5F3759DFu - (std::bit_cast<uint32_t>(s) >> 1));
  r = r * (1.5f - r * r * (0.5f * s));
  return s * r;
}

uint32_t RovanaAlphaBlendCache::BucketIndex(float distance) const {
  const float scaled = distance * static_cast<float>(kBucketCount) / m_maximumDistance;
  // Clamp before converting: an infinite or NaN distance (a broken transform)
  // must not reach the float-to-integer conversion.
  if (!(scaled >= 1.0f)) return 0;
  if (scaled >= static_cast<float>(kBucketCount - 1)) return kBucketCount - 1;
  return static_cast<uint32_t>(scaled);
}

uint32_t RovanaAlphaBlendCache::Add(const GeometryChunk* chunk, std::shared_ptr<Material> material,
                                    const float transform[16], uint32_t parameter) {
  const float distance = ViewerDistance(transform);
  const uint32_t index = BucketIndex(distance);
  AlphaBlendItem* item = m_buckets[m_base + index]->Insert(distance);
  item->chunk = chunk;
  item->material = std::move(material);
  for (int i = 0; i < 16; ++i) item->transform[i] = transform[i];
  item->parameter = parameter;
  return index;
}

void RovanaAlphaBlendCache::Render(const std::function<void(const AlphaBlendItem&)>& draw) {
  if (m_frozen) return;
  for (uint32_t i = kBucketCount; i-- > 0;) {
    AlphaBlendBucket& bucket = *m_buckets[m_base + i];
    bucket.WalkFarToNear(draw);
    bucket.Clear();
  }
}

void RovanaAlphaBlendCache::Clear() {
  for (uint32_t i = 0; i < kBucketCount; ++i) m_buckets[m_base + i]->Clear();
}

bool RovanaAlphaBlendCache::IsEmpty() const {
  for (uint32_t i = 0; i < kBucketCount; ++i)
    if (!m_buckets[m_base + i]->Empty()) return false;
  return true;
}

void RovanaAlphaBlendCache::Enter(bool nested) {
  if (!nested) return;
  m_base += kBucketCount;
  if (m_base + kBucketCount > m_buckets.size()) AppendBuckets();
  Clear();
}

void RovanaAlphaBlendCache::Leave(bool nested, const std::function<void(const AlphaBlendItem&)>& draw) {
  if (!nested) return;
  Render(draw);
  // An unmatched Leave keeps the outermost scene rather than moving before it.
  if (m_base >= kBucketCount) m_base -= kBucketCount;
}

void RovanaAlphaBlendCache::SetDetailDistance(float distance) {
  m_detailDistance = distance;
  const float count = distance * m_detailFactor;
  if (!(count > 0.0f))
    m_detailCount = 0;
  else if (count >= static_cast<float>(std::numeric_limits<int32_t>::max()))
    m_detailCount = std::numeric_limits<int32_t>::max();
  else
    m_detailCount = static_cast<int32_t>(count);
}

}  // namespace Kiv
