#include "graphics/mesh/RovanaInfluenceMesh.h"

#include <algorithm>

RovanaInfluenceMesh::RovanaInfluenceMesh(const RovanaInfluenceMesh& other) : m_bones(other.m_bones) {
  for (InfluenceBone& bone : m_bones) {
    bone.node = nullptr;
    bone.children.clear();
  }
  m_frameStamps.assign(other.m_frameStamps.size(), 0);
  BuildTree();
}

void RovanaInfluenceMesh::BuildFromDefinition(std::span<const Kiv::InfluenceDefinition> records,
                                              bool hardware, uint32_t setCount) {
  m_bones.assign(records.size(), InfluenceBone{});
  m_root = nullptr;
  m_frameStamps.assign(setCount, 0);
  for (size_t i = 0; i < records.size(); ++i) {
    const Kiv::InfluenceDefinition& record = records[i];
    InfluenceBone& bone = m_bones[i];
    bone.name = record.name;
    bone.parentName = record.parentName;
    std::copy_n(record.position, 3, bone.restPosition);
    bone.restRotation.Set(record.rotation);
    bone.sets.resize(setCount);
    for (InfluenceSet& set : bone.sets) {
      set.hardware = hardware;
      if (!hardware) set.chunkLists = record.references;
    }
  }
  BuildTree();
}

void RovanaInfluenceMesh::BuildTree() {
  m_root = nullptr;
  for (InfluenceBone& bone : m_bones) bone.children.clear();
  for (InfluenceBone& bone : m_bones) {
    if (bone.parentName.IsEmpty()) {
      if (!m_root) m_root = &bone;
      continue;
    }
    // A parent name that matches no bone leaves the bone outside the tree.
    for (InfluenceBone& parent : m_bones) {
      if (&parent != &bone && parent.name == bone.parentName) {
        parent.children.push_back(&bone);
        break;
      }
    }
  }
}

Kiv::Matrix4 RovanaInfluenceMesh::Local(const InfluenceBone& bone) const {
  return bone.node ? bone.node->LocalTransform()
                   : Kiv::Matrix4::FromRotationTranslation(bone.restRotation, bone.restPosition);
}

void RovanaInfluenceMesh::BindToNodes(Kiv::Particle* root) {
  m_rootNode = root;
  for (InfluenceBone& bone : m_bones)
    bone.node = !root ? nullptr : bone.name == root->GetName() ? root : root->FindByName(bone.name);
  if (m_root) RestPose(*m_root, Kiv::Matrix4::Identity());
}

void RovanaInfluenceMesh::RestPose(InfluenceBone& bone, const Kiv::Matrix4& parent) {
  // Row vectors: the bone's own transform first, then its parent's.
  bone.world = Kiv::Matrix4::Multiply(Local(bone), parent);
  if (bone.node) {
    bone.inverseBind = bone.world;
    bone.inverseBind.Invert();
  }
  for (InfluenceBone* child : bone.children) RestPose(*child, bone.world);
}

void RovanaInfluenceMesh::ClearSkinnedPositions(std::span<const SkinnedChunk> chunks, uint32_t set) {
  if (!m_root || set >= m_root->sets.size() || m_root->sets[set].hardware) return;
  for (const SkinnedChunk& chunk : chunks)
    if (chunk.positions) std::fill_n(chunk.positions, size_t(chunk.vertexCount) * 3, 0.0f);
}

void RovanaInfluenceMesh::Update(std::span<const SkinnedChunk> chunks, uint32_t frame, uint32_t set) {
  if (!m_root || set >= m_frameStamps.size()) return;
  if (frame != 0 && m_frameStamps[set] == frame) return;
  m_frameStamps[set] = frame;
  ++m_updates;
  ClearSkinnedPositions(chunks, set);
  if (set < m_root->sets.size() && m_root->sets[set].hardware)
    HardwarePass(*m_root, Kiv::Matrix4::Identity());
  else
    SoftwarePass(*m_root, Kiv::Matrix4::Identity(), chunks, set);
}

void RovanaInfluenceMesh::HardwarePass(InfluenceBone& bone, const Kiv::Matrix4& parent) {
  const Kiv::Matrix4 world = Kiv::Matrix4::Multiply(Local(bone), parent);
  for (InfluenceBone* child : bone.children) HardwarePass(*child, world);
  // What the display reads: from rest space to the bone's current place.
  bone.world = Kiv::Matrix4::Multiply(bone.inverseBind, world);
}

void RovanaInfluenceMesh::SoftwarePass(InfluenceBone& bone, const Kiv::Matrix4& parent,
                                       std::span<const SkinnedChunk> chunks, uint32_t set) {
  bone.world = Kiv::Matrix4::Multiply(Local(bone), parent);
  for (InfluenceBone* child : bone.children) SoftwarePass(*child, bone.world, chunks, set);
  if (set >= bone.sets.size()) return;
  const float* m = bone.world.m;
  for (const Kiv::InfluenceChunkReference& list : bone.sets[set].chunkLists) {
    if (list.chunk >= chunks.size() || !chunks[list.chunk].positions) continue;
    const SkinnedChunk& chunk = chunks[list.chunk];
    for (const Kiv::VertexInfluence& influence : list.vertices) {
      if (influence.vertex >= chunk.vertexCount) continue;  // outside the chunk
      const float w = influence.values[0];
      const float x = influence.values[1], y = influence.values[2], z = influence.values[3];
      float* out = chunk.positions + size_t(influence.vertex) * 3;
      out[0] += w * (x * m[0] + y * m[4] + z * m[8] + m[12]);
      out[1] += w * (x * m[1] + y * m[5] + z * m[9] + m[13]);
      out[2] += w * (x * m[2] + y * m[6] + z * m[10] + m[14]);
    }
  }
}
