#pragma once
// One placement of a loaded indexed mesh: it shares its definition's chunks
// and materials (and a clone shares them with it) until it makes them its
// own, carries a non-uniform scale with the bounding volume that follows
// it, and answers ray queries against its triangles. Drawing is the
// engine's; what the program and its checks reach is here.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "kiv/render/Maths.h"
#include "kiv/render/Scene.h"

class RovanaIndexedMeshInstance : public Kiv::Particle {
public:
  using ChunkArray = std::vector<std::shared_ptr<Kiv::GeometryChunk>>;
  using MaterialArray = std::vector<std::shared_ptr<Kiv::Material>>;

  explicit RovanaIndexedMeshInstance(const RovanaIndexedMeshDefinition* definition);

  // Takes the definition's chunks, materials, bounds and oriented box.
  void InitFromDefinition(const RovanaIndexedMeshDefinition& definition);
  // A clone sharing this one's arrays, with its scale and opacity.
  std::shared_ptr<Particle> CreateInstance() const override;

  // Replace the shared array by one of this instance's own (same elements).
  void MakeChunksUnique();
  void MakeMaterialsUnique();
  const std::shared_ptr<const ChunkArray> GetChunks() const { return m_chunks; }
  const std::shared_ptr<const MaterialArray> GetMaterials() const { return m_materials; }
  uint32_t GetChunkCount() const { return m_chunkCount; }

  void SetScale(float x, float y, float z);
  const std::array<float, 3>& GetScale() const { return m_scale; }
  bool IsScaled() const { return m_scaled; }
  // The oriented box, its extents scaled when the instance is.
  const Kiv::OrientedBox& GetBoundingVolume() const { return m_volume; }
  float GetOpacity() const { return m_opacity; }
  void SetOpacity(float opacity) { m_opacity = opacity; }
  // Triangles of all chunks.
  uint32_t GetPolygonCount() const;

  // The nearest triangle the ray (origin, direction) meets at a distance
  // from 0 up to below `distance`: true with distance, chunk and triangle
  // set. A zero scale component never hits; a scaled instance is tested in
  // its own unscaled space.
  bool TestCollisionGeometry(const float origin[3], const float direction[3], float& distance,
                             uint32_t& chunk, uint32_t& triangle) const;

protected:
  void UpdateBoundingVolume();

  const RovanaIndexedMeshDefinition* m_definition;
  uint32_t m_chunkCount = 0;
  std::shared_ptr<ChunkArray> m_chunks;
  std::shared_ptr<MaterialArray> m_materials;
  float m_opacity = 1.0f;
  std::array<float, 3> m_scale{1.0f, 1.0f, 1.0f};
  bool m_scaled = false;
  float m_boundsLow[3] = {0, 0, 0}, m_boundsHigh[3] = {0, 0, 0};
  Kiv::OrientedBox m_box;     // the definition's
  Kiv::OrientedBox m_volume;  // the box as scaled
  float m_textureFigure = 0.0f;
};
