#pragma once
// Skinned placements of indexed and progressive meshes: the instance with a
// skeleton (its influence part) that deforms its chunks before they are
// drawn, at most once per frame. A skinned instance's chunks are always its
// own, so one instance's pose never moves another's vertices or the
// definition's.
#include <memory>
#include <span>
#include <vector>

#include "graphics/mesh/RovanaIndexedMeshInstance.h"
#include "graphics/mesh/RovanaInfluenceMesh.h"
#include "graphics/mesh/RovanaProgressiveMeshInstance.h"

// What both skinned classes add to their base (indexed or progressive).
template <class Derived, class Base, uint32_t TypeId>
class RovanaDynamicMeshInstance : public Base, public RovanaInfluenceMesh {
public:
  using Base::Base;
  uint32_t GetID() const override { return TypeId; }

  std::shared_ptr<Kiv::Particle> CreateInstance() const override {
    auto copy = std::make_shared<Derived>(nullptr);
    this->CopyInstanceTo(*copy);
    copy->CopyFrom(*this);
    // The copy's bones are those of its own subtree.
    const InfluenceBone* root = GetRootBone();
    copy->BindToNodes(root ? copy->FindByName(root->name) : nullptr);
    copy->OwnSkinnedChunks();
    return copy;
  }
  void Render(Kiv::ViewPoint& viewPoint, int pass, const Kiv::Matrix4& transform) override {
    Skin(viewPoint.GetFrame());
    Base::Render(viewPoint, pass, transform);
  }
  void DrawGeometry(Kiv::Display& display, const Kiv::Camera& camera, const Kiv::Matrix4& transform,
                    bool lit) override {
    Skin(0);  // outside a frame: always brought up to date
    Base::DrawGeometry(display, camera, transform, lit);
  }
  // Deforms the chunks for a frame (once per non-zero frame).
  void Skin(uint32_t frame) {
    std::vector<SkinnedChunk> chunks;
    if (!IsHardwareSet(0)) {
      chunks.reserve(this->m_chunkCount);
      for (uint32_t i = 0; i < this->m_chunkCount; ++i)
        chunks.push_back(SkinnedChunk::Of((*this->m_chunks)[i].get()));
    }
    Update(chunks, frame, 0);
  }

protected:
  void AttachBones(const RovanaIndexedMeshDefinition& definition) override {
    BuildFromDefinition(definition.GetInfluences(), definition.UsesHardwareSkinning());
    if (const auto& root = definition.GetRootBone()) {
      std::shared_ptr<Kiv::Particle> bones = root->CreateInstance();
      BindToNodes(bones.get());
      this->m_boneRoot = bones.get();
      // A node made just before has no parent, so it is not refused.
      (void)this->Add(std::move(bones));
    }
    OwnSkinnedChunks();
  }
  // Copies every chunk that may be copied (software-skinned ones with their
  // own vertices) and points hardware palettes at this instance's bones.
  void OwnSkinnedChunks() {
    this->MakeChunksUnique();
    const bool software = !IsHardwareSet(0);
    for (uint32_t i = 0; i < this->m_chunkCount; ++i) {
      Kiv::GeometryChunk* chunk = (*this->m_chunks)[i].get();
      if (!chunk || (chunk->GetFlags() & RovanaIndexedMeshInstance::kChunkNotFree)) continue;
      this->CloneChunk(i);
      if (software) (*this->m_chunks)[i]->DuplicateVertexArray(nullptr);
    }
    AssignHardwareMatrices(ChunkPointers());
  }
  std::vector<Kiv::GeometryChunk*> ChunkPointers() const {
    std::vector<Kiv::GeometryChunk*> out;
    for (uint32_t i = 0; i < this->m_chunkCount; ++i) out.push_back((*this->m_chunks)[i].get());
    return out;
  }
};

class RovanaDynamicIndexedMeshInstance final
    : public RovanaDynamicMeshInstance<RovanaDynamicIndexedMeshInstance, RovanaIndexedMeshInstance, 18> {
public:
  using RovanaDynamicMeshInstance::RovanaDynamicMeshInstance;

  // Appends a skinned chunk whose influences name bones of `source` (its
  // chunk number there is sourceChunk): the bones are found here by name.
  // False, and nothing changed, when a bone is missing or the chunk does not
  // fit the rules of AddChunk.
  [[nodiscard]] bool AddSkinnedChunk(const Kiv::GeometryChunk& chunk, std::shared_ptr<Kiv::Material> material,
                                     const RovanaInfluenceMesh* source, uint32_t sourceChunk);
  // Merges a skinned chunk into chunk i: both triangle lists under materials
  // that accept each other, both skinned alike (palette or vertex records),
  // the palette of chunk i with room for the chunk's entries, and every bone
  // found here by name. False, and nothing changed, otherwise.
  [[nodiscard]] bool MergeSkinnedChunk(const Kiv::GeometryChunk& chunk, const Kiv::Material& material,
                                       uint32_t i, const RovanaInfluenceMesh* source, uint32_t sourceChunk);

private:
  // The vertex records of the source's chunk with their bones found here:
  // per bone of this skeleton, the records (vertices moved by `offset`).
  [[nodiscard]] bool MapSoftwareInfluences(
      const RovanaInfluenceMesh& source, uint32_t sourceChunk, uint32_t offset,
      std::vector<std::pair<uint32_t, std::vector<Kiv::VertexInfluence>>>& out) const;
  // Gives `target` a palette entry for each of `chunk`'s, for the bone of
  // the same name here, and rewrites the blend indices of target's vertices
  // from `firstVertex` on. False when a bone is missing or the palette is full.
  [[nodiscard]] bool MapPalette(const Kiv::GeometryChunk& chunk, const RovanaInfluenceMesh& source,
                                Kiv::GeometryChunk& target, uint32_t firstVertex) const;
};

class RovanaDynamicProgressiveMeshInstance final
    : public RovanaDynamicMeshInstance<RovanaDynamicProgressiveMeshInstance, RovanaProgressiveMeshInstance,
                                       20> {
public:
  using RovanaDynamicMeshInstance::RovanaDynamicMeshInstance;
};
