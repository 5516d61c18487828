#pragma once
// Hands a mesh definition's triangles to its collision tree.
#include <algorithm>

#include "graphics/mesh/RVAxisBoxTree.h"
#include "graphics/mesh/RovanaIndexedMeshDefinition.h"

class CollisionGeometrySharingInterface : public RVAxisBoxTreeExternalGeometry {
public:
  explicit CollisionGeometrySharingInterface(const RovanaIndexedMeshDefinition& definition)
      : m_definition(definition) {}
  [[nodiscard]] bool GetTriangle(uint32_t id, float corners[9]) const override {
    return m_definition.GetTriangle(CollisionTriangleChunk(id), CollisionTriangleFirstIndex(id), corners);
  }

private:
  const RovanaIndexedMeshDefinition& m_definition;
};

// Adds every triangle of the definition's chunks to the tree and builds it.
[[nodiscard]] inline bool BuildCollisionTree(const RovanaIndexedMeshDefinition& definition,
                                             const CollisionGeometrySharingInterface& geometry,
                                             RVAxisBoxTree& tree) {
  tree.BeginBuild(geometry);
  uint64_t triangles = 0;
  for (uint32_t c = 0; c < definition.GetNumChunks(); ++c)
    triangles += definition.GetChunk(c)->GetNumIndices() / 3;
  tree.ReserveTriangles(uint32_t(std::min<uint64_t>(triangles, kCollisionMaxTriangles)));
  for (uint32_t c = 0; c < definition.GetNumChunks(); ++c) {
    const uint32_t indices = definition.GetChunk(c)->GetNumIndices();
    float corners[9];
    for (uint32_t i = 0; i + 3 <= indices; i += 3)
      // A degenerate triangle is left out of the tree.
      if (definition.GetTriangle(c, i, corners)) (void)tree.AddTriangle(c, i, corners);
  }
  return tree.Build();
}
