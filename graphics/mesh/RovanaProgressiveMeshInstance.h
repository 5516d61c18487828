#pragma once
// One placement of a progressive mesh: an indexed instance whose chunks are
// always its own (copies made at creation and for every clone), and to
// which no chunk can be added or merged.
#include <memory>

#include "graphics/mesh/RovanaIndexedMeshInstance.h"
#include "graphics/mesh/RovanaProgressiveMeshDefinition.h"

class RovanaProgressiveMeshInstance : public RovanaIndexedMeshInstance {
public:
  static constexpr uint32_t kTypeId = 19;

  explicit RovanaProgressiveMeshInstance(const RovanaProgressiveMeshDefinition* definition);

  std::shared_ptr<Particle> CreateInstance() const override;
  uint32_t GetID() const override { return kTypeId; }
  const RovanaProgressiveMeshDefinition* GetProgressiveDefinition() const {
    return dynamic_cast<const RovanaProgressiveMeshDefinition*>(m_definition);
  }

  // A progressive mesh's chunks are fixed: always false, nothing changed.
  [[nodiscard]] bool AddChunk(std::shared_ptr<Kiv::GeometryChunk> chunk,
                              std::shared_ptr<Kiv::Material> material) override;
  [[nodiscard]] bool MergeChunk(const Kiv::GeometryChunk& chunk, const Kiv::Material& material,
                                uint32_t i) override;

protected:
  void CopyInstanceTo(RovanaIndexedMeshInstance& copy) const override;
  void MakeChunksPrivate() override;
};
