// The indexed instance's bounds, texture images and the collision-tree half
// of its ray test.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "graphics/mesh/RVAxisBoxTree.h"
#include "graphics/mesh/RovanaIndexedMeshInstance.h"
#include "kiv/Bitmap.h"
#include "kiv/File.h"
#include "kiv/render/RenderKernel.h"

void RovanaIndexedMeshInstance::AccumulateBounds(RVBox& box, const float rotation[9],
                                                 const float translation[3]) const {
  for (uint32_t c = 0; c < m_chunkCount && c < m_chunks->size(); ++c) {
    const Kiv::GeometryChunk* chunk = (*m_chunks)[c].get();
    if (!chunk) continue;
    const Kiv::ElementArray positions = chunk->GetElement(Kiv::kElementPosition);
    if (!positions) continue;
    for (uint32_t v = 0; v < chunk->GetNumVertices(); ++v) {
      float p[3], out[3];
      std::memcpy(p, positions.data + size_t(v) * positions.stride, sizeof p);
      // Row vectors: the point times the rotation, then the translation.
      for (int k = 0; k < 3; ++k)
        out[k] = p[0] * rotation[k] + p[1] * rotation[3 + k] + p[2] * rotation[6 + k] + translation[k];
      box.Grow(out);
    }
  }
}

bool RovanaIndexedMeshInstance::LoadTextureImage(int x, int y, uint32_t material, uint32_t texture,
                                                 std::string_view file) {
  const Kiv::ResourceDatabase* database = m_resource ? m_resource->GetDatabase() : nullptr;
  if (!database) return false;
  // Only files of the mesh's own folder, also when a link leads elsewhere.
  const std::optional<std::string> path = database->ResolveName(file);
  if (!path || !Kiv::IsInsideFolderResolved(database->Folder(), *path)) return false;
  Kiv::Bitmap bitmap;
  if (!bitmap.Load(Kiv::PString(*path))) return false;
  return WriteTextureImage(x, y, material, texture, bitmap);
}

bool RovanaIndexedMeshInstance::WriteTextureImage(int x, int y, uint32_t material, uint32_t texture,
                                                  const Kiv::Bitmap& bitmap) {
  if (material >= m_chunkCount || material >= m_materials->size() || !(*m_materials)[material]) return false;
  const std::shared_ptr<Kiv::Texture> target = (*m_materials)[material]->GetTexture(texture);
  if (!target) return false;
  // The display's formats for the bitmap's pixel layouts.
  int format;
  switch (bitmap.GetFormat()) {
    case Kiv::Bitmap::FormatRGB24: format = 5; break;
    case Kiv::Bitmap::FormatRGBA32: format = 1; break;
    case Kiv::Bitmap::FormatRGBX32: format = 3; break;
    case Kiv::Bitmap::FormatGray8: format = 8; break;
    default: return false;
  }
  return target->WriteImage(x, y, bitmap, format);
}

namespace {

// Whether the ray point + t * way meets the box for some t from 0 up to
// `distance`. The box is widened a little so that rays along its faces,
// where the outermost triangles lie, still pass.
bool RayMeetsBox(const Kiv::OrientedBox& box, const float point[3], const float way[3], float distance) {
  float low = 0.0f, high = distance;
  for (int a = 0; a < 3; ++a) {
    const float* axis = box.axes[a];
    float offset = 0.0f, along = 0.0f;
    for (int k = 0; k < 3; ++k) {
      offset += (point[k] - box.centre[k]) * axis[k];
      along += way[k] * axis[k];
    }
    const float extent = std::fabs(box.extents[a]) * 1.0001f + 1e-4f * (1.0f + std::fabs(offset));
    if (std::fabs(along) < 1e-12f) {
      if (std::fabs(offset) > extent) return false;
      continue;
    }
    float t1 = (-extent - offset) / along, t2 = (extent - offset) / along;
    if (t1 > t2) std::swap(t1, t2);
    low = std::max(low, t1);
    high = std::min(high, t2);
    if (low > high) return false;
  }
  return true;
}

}  // namespace

bool RovanaIndexedMeshInstance::DrawsDefinitionChunks() const {
  if (!m_definition) return false;
  const auto& own = m_definition->GetChunks();
  if (m_chunkCount != own.size() || m_chunks->size() < own.size()) return false;
  for (uint32_t c = 0; c < m_chunkCount; ++c)
    if (!own[c] || (*m_chunks)[c] != own[c]) return false;
  return true;
}

bool RovanaIndexedMeshInstance::RayMeetsBoundingBox(const float point[3], const float way[3],
                                                    float distance) const {
  // Added, merged or copied chunks may lie outside the definition's box.
  return !DrawsDefinitionChunks() || RayMeetsBox(m_box, point, way, distance);
}

int RovanaIndexedMeshInstance::TestCollisionTree(const float point[3], const float way[3], float& distance,
                                                 uint32_t& chunk, uint32_t& triangle) const {
  const RVAxisBoxTree* tree = m_definition ? m_definition->GetFinishedCollisionTree() : nullptr;
  if (!tree || !std::isfinite(distance) || !(distance > 0.0f) || !DrawsDefinitionChunks()) return -1;
  for (uint32_t c = 0; c < m_chunkCount; ++c)
    if (((*m_chunks)[c]->GetFlags() & 0x1Fu) != Kiv::kPrimitiveTriangleList) return -1;
  // The segment reaches as far as the caller looks, so hits the scan would
  // find are not cut off.
  const float end[3] = {point[0] + way[0] * distance, point[1] + way[1] * distance,
                        point[2] + way[2] * distance};
  RVSegmentHit hit;
  if (!tree->QuerySegment(point, end, hit)) return 0;
  const uint32_t c = CollisionTriangleChunk(hit.triangle);
  const uint32_t t = CollisionTriangleFirstIndex(hit.triangle) / 3;
  float corners[9];
  if (!GetTriangle(c, t, corners)) return -1;
  // The tree counts both faces; under a one-sided material the nearest
  // face may be a back one with a front one further on: the scan decides.
  const Kiv::Material* material = c < m_materials->size() ? (*m_materials)[c].get() : nullptr;
  const bool twoSided = material && material->GetFlag();
  float at = std::numeric_limits<float>::infinity();
  if (!RVAxisBoxTree::IntersectRayTriangle(corners, twoSided, point, way, &at)) return -1;
  if (!(at >= 0.0f) || !(at < distance)) return -1;
  distance = at;
  chunk = c;
  triangle = t;
  return 1;
}
