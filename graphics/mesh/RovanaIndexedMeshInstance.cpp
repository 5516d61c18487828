#include "graphics/mesh/RovanaIndexedMeshInstance.h"

#include <cmath>
#include <limits>

#include "graphics/mesh/RVAxisBoxTree.h"

RovanaIndexedMeshInstance::RovanaIndexedMeshInstance(const RovanaIndexedMeshDefinition* definition)
    : m_definition(definition),
      m_chunks(std::make_shared<ChunkArray>()),
      m_materials(std::make_shared<MaterialArray>()) {
  if (definition) InitFromDefinition(*definition);
}

void RovanaIndexedMeshInstance::InitFromDefinition(const RovanaIndexedMeshDefinition& definition) {
  m_definition = &definition;
  m_chunks = std::make_shared<ChunkArray>(definition.GetChunks());
  m_materials = std::make_shared<MaterialArray>(definition.GetMaterials());
  m_chunkCount = uint32_t(m_chunks->size());
  m_textureFigure = definition.GetTextureFigure();
  // The definition keeps the maximum corner first.
  for (int k = 0; k < 3; ++k) {
    m_boundsHigh[k] = definition.GetBounds()[k];
    m_boundsLow[k] = definition.GetBounds()[3 + k];
  }
  m_box = definition.GetOrientedBox();
  UpdateBoundingVolume();
}

std::shared_ptr<Kiv::Particle> RovanaIndexedMeshInstance::CreateInstance() const {
  auto copy = std::make_shared<RovanaIndexedMeshInstance>(nullptr);
  copy->SetName(GetName());
  CopyFrameTo(*copy);
  copy->m_definition = m_definition;
  copy->m_chunks = m_chunks;
  copy->m_materials = m_materials;
  copy->m_chunkCount = m_chunkCount;
  copy->m_opacity = m_opacity;
  copy->m_scale = m_scale;
  copy->m_scaled = m_scaled;
  std::copy_n(m_boundsLow, 3, copy->m_boundsLow);
  std::copy_n(m_boundsHigh, 3, copy->m_boundsHigh);
  copy->m_box = m_box;
  copy->m_volume = m_volume;
  copy->m_textureFigure = m_textureFigure;
  return copy;
}

void RovanaIndexedMeshInstance::MakeChunksUnique() { m_chunks = std::make_shared<ChunkArray>(*m_chunks); }

void RovanaIndexedMeshInstance::MakeMaterialsUnique() {
  m_materials = std::make_shared<MaterialArray>(*m_materials);
}

void RovanaIndexedMeshInstance::SetScale(float x, float y, float z) {
  m_scale = {x, y, z};
  m_scaled = x != 1.0f || y != 1.0f || z != 1.0f;
  UpdateBoundingVolume();
}

void RovanaIndexedMeshInstance::UpdateBoundingVolume() {
  m_volume = m_box;
  if (!m_scaled) return;
  for (int k = 0; k < 3; ++k) m_volume.extents[k] *= m_scale[k];
}

uint32_t RovanaIndexedMeshInstance::GetPolygonCount() const {
  uint32_t count = 0;
  for (uint32_t i = 0; i < m_chunkCount && i < m_chunks->size(); ++i)
    if (const Kiv::GeometryChunk* chunk = (*m_chunks)[i].get()) count += chunk->GetNumFaces();
  return count;
}

bool RovanaIndexedMeshInstance::TestCollisionGeometry(const float origin[3], const float direction[3],
                                                      float& distance, uint32_t& chunk,
                                                      uint32_t& triangle) const {
  if (!m_definition) return false;
  float point[3] = {origin[0], origin[1], origin[2]};
  float way[3] = {direction[0], direction[1], direction[2]};
  if (m_scaled) {
    for (int k = 0; k < 3; ++k) {
      if (m_scale[k] == 0.0f) return false;
      point[k] /= m_scale[k];
      way[k] /= m_scale[k];
    }
    const float length = std::sqrt(way[0] * way[0] + way[1] * way[1] + way[2] * way[2]);
    if (!(length > 0.0f)) return false;
    for (float& w : way) w /= length;
  }
  // Only the nearest hit in front of the origin counts, and it alone names
  // the triangle.
  float best = distance;
  bool hit = false;
  for (uint32_t c = 0; c < m_chunkCount; ++c) {
    const uint32_t triangles = m_definition->GetNumIndices(c) / 3;
    // The material's flag says whether both faces count.
    const Kiv::Material* material = c < m_materials->size() ? (*m_materials)[c].get() : nullptr;
    const bool twoSided = material && material->GetFlag();
    for (uint32_t t = 0; t < triangles; ++t) {
      float corners[9];
      if (!m_definition->GetTriangle(c, 3 * t, corners)) continue;
      float at = std::numeric_limits<float>::infinity();
      if (!RVAxisBoxTree::IntersectRayTriangle(corners, twoSided, point, way, &at)) continue;
      if (at >= 0.0f && at < best) {
        best = at;
        chunk = c;
        triangle = t;
        hit = true;
      }
    }
  }
  if (hit) distance = best;
  return hit;
}
