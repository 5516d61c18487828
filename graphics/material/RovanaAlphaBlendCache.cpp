#include "graphics/material/RovanaAlphaBlendCache.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "kiv/render/Material.h"

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
  float distance = ViewerDistance(transform);
  const uint32_t index = BucketIndex(distance);
  std::vector<uint16_t> own;
  const uint16_t* pooled = nullptr;
  uint32_t count = 0;
  const bool sorted =
      index < kNearBucketLimit && chunk && SortNearRange(*chunk, transform, own, pooled, count, distance);
  AlphaBlendItem* item = m_buckets[m_base + index]->Insert(distance);
  item->chunk = chunk;
  item->material = std::move(material);
  for (int i = 0; i < 16; ++i) item->transform[i] = transform[i];
  item->parameter = parameter;
  item->primitiveKind = chunk ? chunk->GetFlags() & 0x1Fu : 0;
  if (sorted) {
    item->sorted = true;
    item->sortedCount = count;
    item->ownIndices = std::move(own);
    item->sortedIndices = pooled ? pooled : item->ownIndices.data();
  }
  return index;
}

uint16_t* RovanaAlphaBlendCache::TakeIndices(size_t count) {
  if (m_poolBlocks.empty() || m_poolUsed + count > kIndexPoolBlock) {
    m_poolBlocks.push_back(std::make_unique<uint16_t[]>(kIndexPoolBlock));
    m_poolUsed = 0;
  }
  uint16_t* out = m_poolBlocks.back().get() + m_poolUsed;
  m_poolUsed += count;
  return out;
}

void RovanaAlphaBlendCache::ResetIndexPool() {
  // A nested scene's clear or render must not take the indices of the outer
  // scene's items still waiting to be drawn: only the outermost scene resets.
  if (m_base != 0) return;
  // The first block stays for the next frame.
  if (m_poolBlocks.size() > 1) m_poolBlocks.resize(1);
  m_poolUsed = 0;
}

bool RovanaAlphaBlendCache::SortNearRange(const GeometryChunk& chunk, const float transform[16],
                                          std::vector<uint16_t>& own, const uint16_t*& pooled,
                                          uint32_t& count, float& distance) {
  const uint32_t kind = chunk.GetFlags() & 0x1Fu;
  const uint16_t* indices = chunk.GetIndexArray();
  const ElementArray positions = chunk.GetElement(kElementPosition);
  const uint32_t indexCount = chunk.GetNumIndices();
  if (!indices || !positions || indexCount < 3) return false;
  if (kind != kPrimitiveTriangleList && kind != kPrimitiveTriangleStrip) return false;
  const uint32_t triangles = kind == kPrimitiveTriangleList ? indexCount / 3 : indexCount - 2;
  const uint32_t vertices = chunk.GetNumVertices();
  // The viewer in the chunk's own space.
  float viewer[3];
  for (int i = 0; i < 3; ++i) {
    viewer[i] = -(transform[i * 4 + 0] * transform[12] + transform[i * 4 + 1] * transform[13] +
                  transform[i * 4 + 2] * transform[14]);
  }
  auto corner = [&](uint32_t t, int c) -> uint16_t {
    return kind == kPrimitiveTriangleList ? indices[3 * t + uint32_t(c)] : indices[t + uint32_t(c)];
  };
  m_scratch.resize(triangles);
  m_order.resize(triangles);
  for (uint32_t t = 0; t < triangles; ++t) {
    float centre[3] = {0, 0, 0};
    for (int c = 0; c < 3; ++c) {
      const uint16_t v = corner(t, c);
      // An index past the vertices cannot be read: the chunk draws unsorted.
      if (v >= vertices) return false;
      float p[3];
      std::memcpy(p, positions.data + size_t(v) * positions.stride, sizeof p);
      for (int i = 0; i < 3; ++i) centre[i] += p[i] / 3.0f;
    }
    float squared = 0.0f;
    for (int i = 0; i < 3; ++i) squared += (centre[i] - viewer[i]) * (centre[i] - viewer[i]);
    m_scratch[t] = std::isfinite(squared) ? squared : std::numeric_limits<float>::max();
    m_order[t] = t;
  }
  // Farthest first; equal distances keep their order.
  std::stable_sort(m_order.begin(), m_order.end(),
                   [&](uint32_t a, uint32_t b) { return m_scratch[a] > m_scratch[b]; });
  count = triangles * 3;
  uint16_t* out;
  if (count <= kIndexPoolBlock) {
    out = TakeIndices(count);
    pooled = out;
  } else {
    own.resize(count);
    out = own.data();
    pooled = nullptr;
  }
  for (uint32_t k = 0; k < triangles; ++k) {
    const uint32_t t = m_order[k];
    // Every second triangle of a strip turns the other way round.
    const bool reverse = kind == kPrimitiveTriangleStrip && (t & 1u);
    for (int c = 0; c < 3; ++c) out[3 * k + uint32_t(c)] = corner(t, reverse ? 2 - c : c);
  }
  // The mean of the farthest and the nearest triangle, as a distance (not squared).
  distance = 0.5f * (std::sqrt(m_scratch[m_order.front()]) + std::sqrt(m_scratch[m_order.back()]));
  return true;
}

void RovanaAlphaBlendCache::Render(Display& display) {
  if (m_frozen) return;
  display.SetAlphaTestMode(false);
  display.SetAlphaBlendMode(true);
  display.SetDepthWriteMode(false);
  Render([&display](const AlphaBlendItem& item) {
    display.SetAlphaBlendFunction(4, 5);
    if (!item.material || !item.chunk) return;
    RenderArgs args;
    args.display = &display;
    args.chunk = const_cast<GeometryChunk*>(item.chunk);
    args.transform = item.transform;
    args.chunkParameter = item.parameter;
    if (item.sorted) {
      args.indices = item.sortedIndices;
      item.material->RenderPrimitives(args, 0, item.sortedCount / 3);
    } else {
      item.material->RenderChunk(args);
    }
  });
  display.SetAlphaBlendFunction(1, 0);
  display.SetAlphaBlendMode(false);
  display.SetAlphaTestMode(false);
  display.SetDepthWriteMode(true);
}

void RovanaAlphaBlendCache::Render(const std::function<void(const AlphaBlendItem&)>& draw) {
  if (m_frozen) return;
  for (uint32_t i = kBucketCount; i-- > 0;) {
    AlphaBlendBucket& bucket = *m_buckets[m_base + i];
    bucket.WalkFarToNear(draw);
    bucket.Clear();
  }
  ResetIndexPool();
}

void RovanaAlphaBlendCache::Clear() {
  for (uint32_t i = 0; i < kBucketCount; ++i) m_buckets[m_base + i]->Clear();
  ResetIndexPool();
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
