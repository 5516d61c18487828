#pragma once
// Skinning: one bone record per influence of a mesh definition, each bone
// moved by the scene node of its name. Every update computes the bones'
// matrices once per chunk set and frame; a set the display skins itself only
// gets the matrices, a set skinned here has each listed vertex moved to the
// weighted sum of its bone-space positions transformed by the bones.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kiv/PString.h"
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

// The positions of one chunk skinned in software: xyz per vertex.
struct SkinnedChunk {
  float* positions = nullptr;
  uint32_t vertexCount = 0;
};

class RovanaInfluenceMesh {
public:
  RovanaInfluenceMesh() = default;
  // A copy of the bones with their own sets and tree, bound to no node,
  // never updated.
  RovanaInfluenceMesh(const RovanaInfluenceMesh& other);
  RovanaInfluenceMesh& operator=(const RovanaInfluenceMesh&) = delete;
  virtual ~RovanaInfluenceMesh() = default;

  // One bone per influence record, with setCount chunk sets each; with
  // hardware skinning the sets hold no vertex lists.
  virtual void BuildFromDefinition(std::span<const Kiv::InfluenceDefinition> records, bool hardware,
                                   uint32_t setCount = 1);
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
  void SoftwarePass(InfluenceBone& bone, const Kiv::Matrix4& parent, std::span<const SkinnedChunk> chunks,
                    uint32_t set);

  std::vector<InfluenceBone> m_bones;
  InfluenceBone* m_root = nullptr;
  Kiv::Particle* m_rootNode = nullptr;
  std::vector<uint32_t> m_frameStamps;  // per set: the frame it was last updated in (0: never)
  uint64_t m_updates = 0;
};
