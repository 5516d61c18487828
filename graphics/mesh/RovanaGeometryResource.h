#pragma once
// Mesh files as resources of a content folder: "im" indexed meshes, "pm"
// progressive meshes, and "lm" and "lm.txt" meshes with levels of detail.
// Each resource owns the one definition it loads, says whether the
// materials' textures it needs are loaded, and finishes the definition when
// loading completes. Every load failure is 1 to the engine; the reader's own
// code is kept for messages.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "graphics/mesh/RovanaIndexedMeshDefinition.h"
#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"
#include "kiv/render/Resource.h"

class RovanaGeometryBaseResource : public Kiv::Resource {
public:
  // The colour given to vertices of chunks with a colour element.
  static constexpr uint32_t kVertexColour = 0xFFFFFFFF;

  RovanaGeometryBaseResource(Kiv::PString owner, Kiv::PString path, const Kiv::ResourceDatabase* database);
  ~RovanaGeometryBaseResource() override;

  // The display loads are made for and its material manager; without a
  // display the resource never loads, without a manager a load fails.
  void SetDisplay(Kiv::Display* display, Kiv::MaterialManager* manager);
  Kiv::Display* GetDisplay() const { return m_display; }
  void SetMeshOptions(const MeshLoadOptions& options) { m_options = options; }

  // 0 when the file was read into a new definition, else 1 (and no definition).
  int Load(std::string_view fileName) override;
  // True unless a texture that a loaded material waits for fails to load.
  [[nodiscard]] bool LoadAll() override;
  // 0 when every material is loaded; 1 when one cannot load; 5 while one waits.
  int IsAllLoaded() override;
  // Finishes the definition (its textures; chunks prepared for a frame other than 0).
  int LoadComplete(int frame) override;
  RovanaIndexedMeshDefinition* GetDefinition() const { return m_definition.get(); }
  // The code of the last read: 0, or the reader's result.
  int GetLastReadResult() const { return m_lastRead; }
  // Why the last Lock failed, for the log: the read's reason, no display, or
  // a texture of a material that did not load.
  std::string FailureReason() const;
  // An estimate of the bytes of the definition (0 without one).
  virtual uint64_t CalculateDataSize() const;
  // A new scene instance of the loaded mesh (skinned when the mesh has bones
  // with their tree); null without a display or a definition.
  virtual std::shared_ptr<Kiv::Particle> CreateMeshInstance();
  // Forgets the names of the materials that failed.
  void ClearNames() { ClearFailedMaterials(); }

protected:
  virtual std::unique_ptr<RovanaIndexedMeshDefinition> CreateDefinition() const;
  virtual int ReadDefinition(RovanaIndexedMeshDefinition& definition, std::string_view fileName);
  // The materials to walk, in order.
  virtual std::vector<Kiv::Material*> WalkMaterials() const;
  // The chunks to prepare for a frame.
  virtual std::vector<Kiv::GeometryChunk*> WalkChunks() const;

  Kiv::Display* m_display = nullptr;
  Kiv::MaterialManager* m_manager = nullptr;
  MeshLoadOptions m_options;
  std::unique_ptr<RovanaIndexedMeshDefinition> m_definition;
  int m_lastRead = 0;
};

class RovanaIndexedMeshResource : public RovanaGeometryBaseResource {
public:
  using RovanaGeometryBaseResource::RovanaGeometryBaseResource;
};

class RovanaProgressiveMeshResource : public RovanaGeometryBaseResource {
public:
  using RovanaGeometryBaseResource::RovanaGeometryBaseResource;

  std::shared_ptr<Kiv::Particle> CreateMeshInstance() override;

protected:
  std::unique_ptr<RovanaIndexedMeshDefinition> CreateDefinition() const override;
  int ReadDefinition(RovanaIndexedMeshDefinition& definition, std::string_view fileName) override;
};

class RovanaIndexedMeshLODResource : public RovanaGeometryBaseResource {
public:
  using RovanaGeometryBaseResource::RovanaGeometryBaseResource;

  // Reads an ".lm.txt": 0 or 1. The definition stays even when the text fails.
  int LoadTxt(std::string_view fileName) override;
  int LoadComplete(int frame) override;
  uint64_t CalculateDataSize() const override;
  // A LOD instance; for a mesh with bones a skinned one, or null when the
  // bones have no tree.
  std::shared_ptr<Kiv::Particle> CreateMeshInstance() override;
  RovanaIndexedMeshLODDefinition* GetLODDefinition() const {
    return static_cast<RovanaIndexedMeshLODDefinition*>(m_definition.get());
  }

protected:
  std::unique_ptr<RovanaIndexedMeshDefinition> CreateDefinition() const override;
  int ReadDefinition(RovanaIndexedMeshDefinition& definition, std::string_view fileName) override;
  std::vector<Kiv::Material*> WalkMaterials() const override;
  std::vector<Kiv::GeometryChunk*> WalkChunks() const override;
};
