#include "graphics/mesh/RovanaInfluenceMesh.h"

#include <algorithm>

RovanaInfluenceMesh::RovanaInfluenceMesh(const RovanaInfluenceMesh& other) { CopyFrom(other); }

void RovanaInfluenceMesh::CopyFrom(const RovanaInfluenceMesh& other) {
  if (&other == this) return;
  m_bones = other.m_bones;
  m_keys = other.m_keys;
  m_rootNode = nullptr;
  for (InfluenceBone& bone : m_bones) {
    bone.node = nullptr;
    bone.children.clear();
  }
  m_frameStamps.assign(other.m_frameStamps.size(), 0);
  BuildTree();
}

void RovanaInfluenceMesh::BuildFromDefinition(std::span<const Kiv::InfluenceDefinition> records,
                                              bool hardware, uint32_t setCount) {
  std::vector<InfluenceSource> sources(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    sources[i].name = records[i].name;
    sources[i].parentName = records[i].parentName;
    sources[i].position = records[i].position;
    sources[i].rotation = records[i].rotation;
    sources[i].key = &records[i];
    sources[i].sets.assign(setCount, &records[i].references);
  }
  BuildFromSource(sources, std::vector<bool>(setCount, hardware));
}

void RovanaInfluenceMesh::BuildFromSource(std::span<const InfluenceSource> sources,
                                          const std::vector<bool>& hardware) {
  m_bones.assign(sources.size(), InfluenceBone{});
  m_keys.clear();
  m_root = nullptr;
  m_frameStamps.assign(hardware.size(), 0);
  for (size_t i = 0; i < sources.size(); ++i) {
    const InfluenceSource& source = sources[i];
    InfluenceBone& bone = m_bones[i];
    m_keys.push_back(source.key);
    bone.name = source.name;
    bone.parentName = source.parentName;
    if (source.position) std::copy_n(source.position, 3, bone.restPosition);
    if (source.rotation) bone.restRotation.Set(source.rotation);
    bone.sets.resize(hardware.size());
    for (size_t s = 0; s < hardware.size(); ++s) {
      bone.sets[s].hardware = hardware[s];
      if (!hardware[s] && s < source.sets.size() && source.sets[s]) bone.sets[s].chunkLists = *source.sets[s];
    }
  }
  BuildTree();
}

void RovanaInfluenceMesh::AssignHardwareMatrices(std::span<Kiv::GeometryChunk* const> chunks) const {
  for (Kiv::GeometryChunk* chunk : chunks) {
    if (!chunk) continue;
    for (uint32_t k = 0; k < chunk->GetNumInfluenceMatrices(); ++k) {
      const int bone = FindBoneByKey(chunk->GetInfluenceKey(int(k)));
      if (bone >= 0) chunk->AssignInfluenceMatrix(int(k), m_bones[size_t(bone)].world.m);
    }
  }
}

int RovanaInfluenceMesh::FindBoneByKey(const void* key) const {
  if (!key) return -1;
  for (size_t i = 0; i < m_keys.size(); ++i)
    if (m_keys[i] == key) return int(i);
  return -1;
}

int RovanaInfluenceMesh::FindBoneByName(const Kiv::PString& name) const {
  for (size_t i = 0; i < m_bones.size(); ++i)
    if (m_bones[i].name == name) return int(i);
  return -1;
}

void RovanaInfluenceMesh::AddSoftwareInfluences(uint32_t bone, uint32_t set, uint32_t chunk,
                                                std::span<const Kiv::VertexInfluence> vertices) {
  if (bone >= m_bones.size() || set >= m_bones[bone].sets.size() || vertices.empty()) return;
  InfluenceSet& target = m_bones[bone].sets[set];
  if (target.hardware) return;
  target.chunkLists.push_back({chunk, std::vector<Kiv::VertexInfluence>(vertices.begin(), vertices.end())});
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
    // A singular bind matrix stays as read; the mesh check reports the bone.
    (void)bone.inverseBind.Invert();
  }
  for (InfluenceBone* child : bone.children) RestPose(*child, bone.world);
}

void RovanaInfluenceMesh::ClearSkinnedPositions(std::span<const SkinnedChunk> chunks, uint32_t set) {
  if (!m_root || set >= m_root->sets.size() || m_root->sets[set].hardware) return;
  for (const SkinnedChunk& chunk : chunks)
    if (chunk.positions)
      for (uint32_t v = 0; v < chunk.vertexCount; ++v) std::fill_n(chunk.At(v), 3, 0.0f);
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

Kiv::Matrix4 RovanaInfluenceMesh::NodeScaled(const InfluenceBone& bone, const Kiv::Matrix4& world) {
  if (!bone.node || bone.node->GetID() != Kiv::ScaledParticle::kTypeId) return world;
  const auto& node = static_cast<const Kiv::ScaledParticle&>(*bone.node);
  if (node.scaleOff) return world;
  // Row vectors: scaling the three axis rows scales in the bone's own space.
  Kiv::Matrix4 scaled = world;
  for (int axis = 0; axis < 3; ++axis)
    for (int k = 0; k < 4; ++k) scaled.m[4 * axis + k] *= node.scale[axis];
  return scaled;
}

void RovanaInfluenceMesh::HardwarePass(InfluenceBone& bone, const Kiv::Matrix4& parent) {
  const Kiv::Matrix4 world = Kiv::Matrix4::Multiply(Local(bone), parent);
  for (InfluenceBone* child : bone.children) HardwarePass(*child, world);
  // What the display reads: from rest space to the bone's current place.
  bone.world = Kiv::Matrix4::Multiply(bone.inverseBind, NodeScaled(bone, world));
}

void RovanaInfluenceMesh::SoftwarePass(InfluenceBone& bone, const Kiv::Matrix4& parent,
                                       std::span<const SkinnedChunk> chunks, uint32_t set) {
  const Kiv::Matrix4 world = Kiv::Matrix4::Multiply(Local(bone), parent);
  for (InfluenceBone* child : bone.children) SoftwarePass(*child, world, chunks, set);
  bone.world = NodeScaled(bone, world);
  if (set >= bone.sets.size()) return;
  const float* m = bone.world.m;
  for (const Kiv::InfluenceChunkReference& list : bone.sets[set].chunkLists) {
    if (list.chunk >= chunks.size() || !chunks[list.chunk].positions) continue;
    const SkinnedChunk& chunk = chunks[list.chunk];
    for (const Kiv::VertexInfluence& influence : list.vertices) {
      if (influence.vertex >= chunk.vertexCount) continue;  // outside the chunk
      const float w = influence.values[0];
      const float x = influence.values[1], y = influence.values[2], z = influence.values[3];
      float* out = chunk.At(influence.vertex);
      out[0] += w * (x * m[0] + y * m[4] + z * m[8] + m[12]);
      out[1] += w * (x * m[1] + y * m[5] + z * m[9] + m[13]);
      out[2] += w * (x * m[2] + y * m[6] + z * m[10] + m[14]);
    }
  }
}
