#pragma once
// Skinning: one bone record per influence of a mesh definition, each bone
// moved by the scene node of its name. Every update computes the bones'
// matrices once per chunk set and frame; a set the display skins itself only
// gets the matrices, a set skinned here has each listed vertex moved to the
// weighted sum of its bone-space positions transformed by the bones. A bone
// whose node is a scaled node (with its scale switched on) is scaled in its
// own space; its children do not inherit that scale.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kiv/PString.h"
#include "kiv/render/Geometry.h"
#include "kiv/render/Maths.h"
#include "kiv/render/Scene.h"

// One chunk set of a bone: whether the display skins it, and the vertices
// the bone moves in each chunk (weight, then the bone-space position).
struct InfluenceSet {
  bool hardware = false;
  std::vector<Kiv::InfluenceChunkReference> chunkLists;
};

struct InfluenceBone {
  Kiv::PString name, parentName;
  Kiv::Matrix4 world;        // current transform (with the hardware sets: world times the inverse bind)
  Kiv::Matrix4 inverseBind;  // inverse of the rest-pose transform
  Kiv::Particle* node = nullptr;
  std::vector<InfluenceSet> sets;
  Kiv::Quaternion restRotation;
  float restPosition[3] = {0, 0, 0};
  std::vector<InfluenceBone*> children;
};

// The positions of one chunk skinned in software: xyz of each vertex,
// `stride` bytes apart.
struct SkinnedChunk {
  float* positions = nullptr;
  uint32_t vertexCount = 0;
  uint32_t stride = 12;
  // The positions of a geometry chunk; none for a chunk without them.
  static SkinnedChunk Of(Kiv::GeometryChunk* chunk) {
    const Kiv::ElementArray positions =
        chunk ? chunk->GetElement(Kiv::kElementPosition) : Kiv::ElementArray{};
    if (!positions) return {};
    return {reinterpret_cast<float*>(positions.data), chunk->GetNumVertices(), positions.stride};
  }
  float* At(uint32_t vertex) const {
    return reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(positions) + size_t(vertex) * stride);
  }
};

// A bone as a geometry source gives it: names, rest frame (3 and 9 floats),
// the key its chunks' palettes know it by, and per chunk set its vertex
// lists (null: none).
struct InfluenceSource {
  Kiv::PString name, parentName;
  const float* position = nullptr;
  const float* rotation = nullptr;
  const void* key = nullptr;
  std::vector<const std::vector<Kiv::InfluenceChunkReference>*> sets;
};

class RovanaInfluenceMesh {
public:
  RovanaInfluenceMesh() = default;
  // A copy of the bones with their own sets and tree, bound to no node,
  // never updated.
  RovanaInfluenceMesh(const RovanaInfluenceMesh& other);
  RovanaInfluenceMesh& operator=(const RovanaInfluenceMesh&) = delete;
  // Becomes such a copy of other.
  void CopyFrom(const RovanaInfluenceMesh& other);
  virtual ~RovanaInfluenceMesh() = default;

  // One bone per influence record, with setCount chunk sets each; with
  // hardware skinning the sets hold no vertex lists.
  virtual void BuildFromDefinition(std::span<const Kiv::InfluenceDefinition> records, bool hardware,
                                   uint32_t setCount = 1);
  // One bone per source with one chunk set per entry of `hardware` (the
  // flag of that set); software sets copy the source's vertex lists.
  virtual void BuildFromSource(std::span<const InfluenceSource> sources, const std::vector<bool>& hardware);
  // Hands every palette entry of the chunks that names one of the bones
  // (by the record it was built from) that bone's matrix; the display reads
  // it in place.
  void AssignHardwareMatrices(std::span<Kiv::GeometryChunk* const> chunks) const;
  // The bone of a palette key (a record the bones were built from); -1 for none.
  int FindBoneByKey(const void* key) const;
  int FindBoneByName(const Kiv::PString& name) const;
  const void* GetBoneKey(uint32_t bone) const { return bone < m_keys.size() ? m_keys[bone] : nullptr; }
  // Adds vertex records to bone `bone`'s software set `set` for chunk `chunk`.
  void AddSoftwareInfluences(uint32_t bone, uint32_t set, uint32_t chunk,
                             std::span<const Kiv::VertexInfluence> vertices);
  // Whether the set is skinned by the display.
  [[nodiscard]] bool IsHardwareSet(uint32_t set) const {
    return m_root && set < m_root->sets.size() && m_root->sets[set].hardware;
  }
  // Finds each bone's node below root (the root itself for its own name) and
  // takes the rest pose from the nodes.
  virtual void BindToNodes(Kiv::Particle* root);
  // Zeroes the positions of a software set's chunks before they are summed.
  virtual void ClearSkinnedPositions(std::span<const SkinnedChunk> chunks, uint32_t set);
  // Moves the bones and skins the set; a set is updated once per non-zero
  // frame. A set out of range changes nothing.
  virtual void Update(std::span<const SkinnedChunk> chunks, uint32_t frame, uint32_t set);
  virtual const InfluenceBone* GetRootBone() const { return m_root; }

  const std::vector<InfluenceBone>& GetBones() const { return m_bones; }
  const std::vector<uint32_t>& GetFrameStamps() const { return m_frameStamps; }
  // Number of times a set's work was done (not skipped by its frame stamp).
  uint64_t GetUpdateCount() const { return m_updates; }

private:
  void BuildTree();
  Kiv::Matrix4 Local(const InfluenceBone& bone) const;
  void RestPose(InfluenceBone& bone, const Kiv::Matrix4& parent);
  void HardwarePass(InfluenceBone& bone, const Kiv::Matrix4& parent);
  // The bone's own world scaled by its node's scale, when it has one.
  static Kiv::Matrix4 NodeScaled(const InfluenceBone& bone, const Kiv::Matrix4& world);
  void SoftwarePass(InfluenceBone& bone, const Kiv::Matrix4& parent, std::span<const SkinnedChunk> chunks,
                    uint32_t set);

  std::vector<InfluenceBone> m_bones;
  std::vector<const void*> m_keys;  // per bone: the record it was built from
  InfluenceBone* m_root = nullptr;
  Kiv::Particle* m_rootNode = nullptr;
  std::vector<uint32_t> m_frameStamps;  // per set: the frame it was last updated in (0: never)
  uint64_t m_updates = 0;
};
