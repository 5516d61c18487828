#pragma once
// A progressive mesh (".pm"): an indexed mesh with a "PMIN" chunk of
// refinement records. The records are read and checked, and nothing of them
// is kept: the mesh is used at full detail.
#include "graphics/mesh/RovanaIndexedMeshDefinition.h"

class RovanaProgressiveMeshDefinition : public RovanaIndexedMeshDefinition {
public:
  using RovanaIndexedMeshDefinition::RovanaIndexedMeshDefinition;

  // Opens the file itself (through the resource's folder when it has one).
  // Hardware skinning is never chosen and no texture figure is computed.
  int Load(Kiv::Display* display, Kiv::MaterialManager* manager, Kiv::Resource* resource,
           std::string_view meshName, uint32_t defaultColour) override;

protected:
  int ReadProgressiveInfoChunk(Kiv::MeshChunk& chunk) override;
};
