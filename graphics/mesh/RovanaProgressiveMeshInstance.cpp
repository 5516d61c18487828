#include "graphics/mesh/RovanaProgressiveMeshInstance.h"

RovanaProgressiveMeshInstance::RovanaProgressiveMeshInstance(
    const RovanaProgressiveMeshDefinition* definition)
    : RovanaIndexedMeshInstance(definition) {
  if (definition) MakeChunksPrivate();
}

void RovanaProgressiveMeshInstance::MakeChunksPrivate() {
  MakeChunksUnique();
  for (uint32_t i = 0; i < m_chunkCount; ++i) CloneChunk(i);
}

void RovanaProgressiveMeshInstance::CopyInstanceTo(RovanaIndexedMeshInstance& copy) const {
  RovanaIndexedMeshInstance::CopyInstanceTo(copy);
  copy.MakeChunksUnique();
  for (uint32_t i = 0; i < copy.GetChunkCount(); ++i) copy.CloneChunk(i);
}

std::shared_ptr<Kiv::Particle> RovanaProgressiveMeshInstance::CreateInstance() const {
  auto copy = std::make_shared<RovanaProgressiveMeshInstance>(nullptr);
  CopyInstanceTo(*copy);
  return copy;
}

bool RovanaProgressiveMeshInstance::AddChunk(std::shared_ptr<Kiv::GeometryChunk> chunk,
                                             std::shared_ptr<Kiv::Material> material) {
  (void)chunk, (void)material;
  return false;
}

bool RovanaProgressiveMeshInstance::MergeChunk(const Kiv::GeometryChunk& chunk, const Kiv::Material& material,
                                               uint32_t i) {
  (void)chunk, (void)material, (void)i;
  return false;
}
