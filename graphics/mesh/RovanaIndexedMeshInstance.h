#pragma once
// One placement of a loaded indexed mesh: it shares its definition's chunks
// and materials (and a clone shares them with it) until it makes them its
// own, carries a non-uniform scale with the bounding volume that follows
// it, answers ray queries against its triangles, and culls and draws its
// chunks through their materials.
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "graphics/mesh/VectorMath.h"
#include "kiv/Bitmap.h"
#include "kiv/render/Maths.h"
#include "kiv/render/Scene.h"

class RovanaIndexedMeshInstance : public Kiv::ParticleStructure, public Kiv::LightTarget {
public:
  static constexpr uint32_t kTypeId = 17;
  // Chunk flag bits: a triangle list (the only chunks that merge), a chunk
  // that may not be handed to another mesh, a chunk each instance copies.
  static constexpr uint32_t kChunkTriangleList = 1u << 2;
  static constexpr uint32_t kChunkNotFree = 1u << 6;
  static constexpr uint32_t kChunkPerInstance = 1u << 12;

  using ChunkArray = std::vector<std::shared_ptr<Kiv::GeometryChunk>>;
  using MaterialArray = std::vector<std::shared_ptr<Kiv::Material>>;

  explicit RovanaIndexedMeshInstance(const RovanaIndexedMeshDefinition* definition);
  ~RovanaIndexedMeshInstance() override;

  // Keeps the resource locked, takes the definition, places a copy of its
  // bone tree below this node (each chunk follows the bone of its name) and
  // adds its attachment points.
  void InitFromResource(Kiv::Resource& resource, const RovanaIndexedMeshDefinition& definition);
  // Takes the definition's chunks, materials, bounds and oriented box;
  // attachments named "p..." become reference points.
  void InitFromDefinition(const RovanaIndexedMeshDefinition& definition);
  // A clone sharing this one's arrays, with its scale, opacity, resource
  // and its own copy of the subtree.
  std::shared_ptr<Particle> CreateInstance() const override;
  uint32_t GetID() const override { return kTypeId; }

  // Unlocks the old resource and keeps the new one locked (null: none).
  void SetResource(Kiv::Resource* resource);
  Kiv::Resource* GetResource() const { return m_resource; }
  const RovanaIndexedMeshDefinition* GetDefinition() const { return m_definition; }

  // Replace the shared array by one of this instance's own (same elements).
  void MakeChunksUnique();
  void MakeMaterialsUnique();
  const std::shared_ptr<const ChunkArray> GetChunks() const { return m_chunks; }
  const std::shared_ptr<const MaterialArray> GetMaterials() const { return m_materials; }
  uint32_t GetChunkCount() const { return m_chunkCount; }
  // Replace chunk (material) i by a copy of its own; an index past the
  // chunks does nothing.
  virtual void CloneChunk(uint32_t i);
  void CloneMaterial(uint32_t i);
  // Appends a free chunk with its material; false (nothing changed) for a
  // chunk that is not free or an instance without arrays.
  [[nodiscard]] virtual bool AddChunk(std::shared_ptr<Kiv::GeometryChunk> chunk,
                                      std::shared_ptr<Kiv::Material> material);
  // Appends a free triangle-list chunk's geometry to chunk i when their
  // materials accept each other; false (nothing changed) otherwise.
  [[nodiscard]] virtual bool MergeChunk(const Kiv::GeometryChunk& chunk, const Kiv::Material& material,
                                        uint32_t i);

  void SetScale(float x, float y, float z);
  const std::array<float, 3>& GetScale() const { return m_scale; }
  [[nodiscard]] bool IsScaled() const { return m_scaled; }
  // The oriented box, its extents scaled when the instance is.
  const Kiv::OrientedBox& GetBoundingVolume() const { return m_volume; }
  float GetOpacity() const { return m_opacity; }
  // Sets the opacity of the node and of every chunk it draws.
  virtual void SetOpacity(float opacity);
  // Triangles of all chunks.
  uint32_t GetPolygonCount() const;
  // Grows the box by every vertex of every chunk, turned by the rotation
  // (3 x 3, rows) and then moved by the translation.
  void AccumulateBounds(RVBox& box, const float rotation[9], const float translation[3]) const;
  // Reads an image file named inside the resource's folder and writes it
  // into texture `texture` of material `material` at (x, y). False when
  // the name leaves the folder, the file is no readable image, or the write
  // fails.
  [[nodiscard]] bool LoadTextureImage(int x, int y, uint32_t material, uint32_t texture,
                                      std::string_view file);
  // Writes the bitmap into the texture in the display format matching its
  // pixels; false for a material or texture that does not exist or pixels
  // the display has no format for.
  [[nodiscard]] bool WriteTextureImage(int x, int y, uint32_t material, uint32_t texture,
                                       const Kiv::Bitmap& bitmap);

  // Culling: the engine's visit, then (when visible and not transparent)
  // the materials' mip level, the render list and the stored matrix.
  void Cull(Kiv::ViewPoint& viewPoint) override;
  // Draws every chunk with faces through its material; chunks that follow a
  // bone are drawn with the bone's transform, and only when the bone was
  // visited this frame.
  void Render(Kiv::ViewPoint& viewPoint, int pass, const Kiv::Matrix4& transform) override;
  // The engine's direct geometry draw: every chunk with faces, with the
  // transform and, when lit, the material's lighting state.
  virtual void DrawGeometry(Kiv::Display& display, const Kiv::Camera& camera, const Kiv::Matrix4& transform,
                            bool lit);
  // Recalculates the lighting when it is marked changed or forced; true
  // when it did.
  [[nodiscard]] bool UpdateLighting(const std::vector<Kiv::Light>* lights, bool force);
  // The matrix culling stored for geometry queries.
  const Kiv::Matrix4& GetStoredMatrix() const { return m_stored; }
  // Per chunk, the bone node it follows (null: none); empty without bones.
  const std::vector<Kiv::Particle*>& GetChunkNodes() const { return m_chunkNodes; }
  // The copy of the definition's bone tree below this node; null without one.
  Kiv::Particle* GetBoneRoot() const { return m_boneRoot; }

  // The corners of triangle t of chunk c by the chunk's primitive kind
  // (list, strip or fan); false outside the chunk or for another kind.
  [[nodiscard]] bool GetTriangle(uint32_t chunk, uint32_t triangle, float corners[9]) const;
  // The nearest triangle the ray (origin, direction) meets at a distance
  // from 0 up to below `distance`: true with distance, chunk and triangle
  // set. A zero scale component never hits; a scaled instance is tested in
  // its own unscaled space.
  [[nodiscard]] bool TestCollisionGeometry(const float origin[3], const float direction[3], float& distance,
                                           uint32_t& chunk, uint32_t& triangle) const;

protected:
  // Whether the instance draws exactly its definition's chunks, which the
  // definition's box and collision tree describe.
  [[nodiscard]] bool DrawsDefinitionChunks() const;
  // Whether the ray meets the definition's oriented box within the distance
  // (always, for an instance with chunks of its own).
  [[nodiscard]] bool RayMeetsBoundingBox(const float point[3], const float way[3], float distance) const;
  // The ray test against the definition's finished collision tree while the
  // instance draws the definition's own chunks, all triangle lists: 1 a hit (distance,
  // chunk and triangle set), 0 no hit, -1 when the tree cannot answer.
  int TestCollisionTree(const float point[3], const float way[3], float& distance, uint32_t& chunk,
                        uint32_t& triangle) const;
  void UpdateBoundingVolume();
  // What a clone takes from this instance (arrays shared, subtree copied).
  virtual void CopyInstanceTo(RovanaIndexedMeshInstance& copy) const;
  // Steps of the initialisation from a resource that kinds of instances
  // change: chunks taken private before the bones are attached, and the
  // bones (a copy of the definition's tree that chunks follow by name).
  virtual void MakeChunksPrivate() {}
  virtual void AttachBones(const RovanaIndexedMeshDefinition& definition);
  // Per-instance chunks: the array made unique once, each such chunk cloned.
  void ClonePerInstanceChunks();
  // Finds each chunk's bone below the bone root by the chunk's name.
  void FindChunkNodes();
  // Draws the chunks with the given light list.
  void RenderChunks(Kiv::ViewPoint& viewPoint, int pass, const Kiv::Matrix4& transform, uint32_t chunkCount,
                    const ChunkArray& chunks, const MaterialArray& materials,
                    const std::vector<Kiv::Particle*>& chunkNodes);
  void DrawChunks(Kiv::Display& display, const Kiv::Camera& camera, const Kiv::Matrix4& transform, bool lit,
                  uint32_t chunkCount, const ChunkArray& chunks, const MaterialArray& materials) const;
  // Whether chunk i exists and a chunk drawn with `material` may merge into
  // it: both triangle lists (the one kind of stand-in chunk that merges)
  // under materials that accept each other.
  [[nodiscard]] bool CanMergeInto(const Kiv::GeometryChunk& chunk, const Kiv::Material& material,
                                  uint32_t i) const;
  // Whether a chunk is free to be added to this mesh.
  [[nodiscard]] static bool IsFree(const Kiv::GeometryChunk& chunk) {
    return !(chunk.GetFlags() & kChunkNotFree) && !chunk.GetOwner();
  }

  const RovanaIndexedMeshDefinition* m_definition;
  Kiv::Resource* m_resource = nullptr;
  uint32_t m_chunkCount = 0;
  std::shared_ptr<ChunkArray> m_chunks;
  std::shared_ptr<MaterialArray> m_materials;
  float m_opacity = 1.0f;
  std::vector<Kiv::Particle*> m_chunkNodes;
  Kiv::Particle* m_boneRoot = nullptr;
  std::array<float, 3> m_scale{1.0f, 1.0f, 1.0f};
  bool m_scaled = false;
  float m_boundsLow[3] = {0, 0, 0}, m_boundsHigh[3] = {0, 0, 0};
  Kiv::OrientedBox m_box;     // the definition's
  Kiv::OrientedBox m_volume;  // the box as scaled
  float m_textureFigure = 0.0f;
  Kiv::Matrix4 m_stored;
};
