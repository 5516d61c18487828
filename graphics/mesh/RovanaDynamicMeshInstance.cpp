#include "graphics/mesh/RovanaDynamicMeshInstance.h"

#include <map>

bool RovanaDynamicIndexedMeshInstance::MapSoftwareInfluences(
    const RovanaInfluenceMesh& source, uint32_t sourceChunk, uint32_t offset,
    std::vector<std::pair<uint32_t, std::vector<Kiv::VertexInfluence>>>& out) const {
  for (const InfluenceBone& bone : source.GetBones()) {
    if (bone.sets.empty()) continue;
    std::vector<Kiv::VertexInfluence> records;
    for (const Kiv::InfluenceChunkReference& list : bone.sets[0].chunkLists)
      if (list.chunk == sourceChunk)
        records.insert(records.end(), list.vertices.begin(), list.vertices.end());
    if (records.empty()) continue;
    const int here = FindBoneByName(bone.name);
    if (here < 0) return false;
    for (Kiv::VertexInfluence& record : records) record.vertex += offset;
    out.emplace_back(uint32_t(here), std::move(records));
  }
  return true;
}

bool RovanaDynamicIndexedMeshInstance::MapPalette(const Kiv::GeometryChunk& chunk,
                                                  const RovanaInfluenceMesh& source,
                                                  Kiv::GeometryChunk& target, uint32_t firstVertex) const {
  const uint32_t entries = chunk.GetNumInfluenceMatrices();
  if (target.GetFreeInfluenceMatrices() < entries) return false;
  std::map<uint8_t, uint8_t> slots;  // the chunk's index byte -> the target's
  for (uint32_t k = 0; k < entries; ++k) {
    const int bone = source.FindBoneByKey(chunk.GetInfluenceKey(int(k)));
    const int here = bone < 0 ? -1 : FindBoneByName(source.GetBones()[size_t(bone)].name);
    if (here < 0) return false;
    const int slot = target.AddInfluenceMatrix(GetBoneKey(uint32_t(here)));
    if (slot < 0) return false;
    slots[uint8_t(3 * k)] = uint8_t(3 * slot);
  }
  // The appended vertices name the chunk's palette entries: name the
  // target's instead. Bytes 254 and 255 mark unused influences.
  const Kiv::ElementArray blend = target.GetElement(Kiv::kElementBlendIndices);
  if (!blend) return true;
  for (uint32_t v = firstVertex; v < target.GetNumVertices(); ++v) {
    uint8_t* bytes = blend.data + size_t(v) * blend.stride;
    for (int b = 0; b < 4; ++b) {
      if (bytes[b] >= 254) continue;
      const auto found = slots.find(bytes[b]);
      if (found != slots.end()) bytes[b] = found->second;
    }
  }
  return true;
}

bool RovanaDynamicIndexedMeshInstance::AddSkinnedChunk(const Kiv::GeometryChunk& chunk,
                                                       std::shared_ptr<Kiv::Material> material,
                                                       const RovanaInfluenceMesh* source,
                                                       uint32_t sourceChunk) {
  if (!source || !IsFree(chunk) || !m_chunks) return false;
  // Skinned as the rest of the instance is: by the display with a palette,
  // or here from vertex records.
  const bool palette = chunk.GetNumInfluenceMatrices() > 0;
  if (palette != IsHardwareSet(0)) return false;
  std::shared_ptr<Kiv::GeometryChunk> added(chunk.Clone());
  added->DuplicateVertexArray(nullptr);
  std::vector<std::pair<uint32_t, std::vector<Kiv::VertexInfluence>>> records;
  if (palette) {
    // The chunk's palette is rebuilt for this skeleton in the same order.
    added->ResetMatrixArray();
    if (!MapPalette(chunk, *source, *added, 0)) return false;
  } else if (!MapSoftwareInfluences(*source, sourceChunk, 0, records)) {
    return false;
  }
  const uint32_t index = m_chunkCount;
  if (!RovanaIndexedMeshInstance::AddChunk(added, std::move(material))) return false;
  for (auto& [bone, vertices] : records) AddSoftwareInfluences(bone, 0, index, vertices);
  Kiv::GeometryChunk* const placed = (*m_chunks)[index].get();
  AssignHardwareMatrices({&placed, 1});
  return true;
}

bool RovanaDynamicIndexedMeshInstance::MergeSkinnedChunk(const Kiv::GeometryChunk& chunk,
                                                         const Kiv::Material& material, uint32_t i,
                                                         const RovanaInfluenceMesh* source,
                                                         uint32_t sourceChunk) {
  if (!source || !CanMergeInto(chunk, material, i)) return false;
  const Kiv::GeometryChunk& target = *(*m_chunks)[i];
  const bool palette = chunk.GetNumInfluenceMatrices() > 0;
  if (palette != (target.GetNumInfluenceMatrices() > 0)) return false;
  if ((chunk.GetFlags() & kChunkNotFree) != (target.GetFlags() & kChunkNotFree)) return false;

  // Everything is built on a copy of chunk i; a refusal drops the copy.
  std::unique_ptr<Kiv::GeometryChunk> merged = target.Clone();
  const uint32_t offset = merged->GetNumVertices();
  if (!merged->AppendChunk(chunk)) return false;
  std::vector<std::pair<uint32_t, std::vector<Kiv::VertexInfluence>>> records;
  if (palette ? !MapPalette(chunk, *source, *merged, offset)
              : !MapSoftwareInfluences(*source, sourceChunk, offset, records))
    return false;
  MakeChunksUnique();
  (*m_chunks)[i] = std::move(merged);
  for (auto& [bone, vertices] : records) AddSoftwareInfluences(bone, 0, i, vertices);
  Kiv::GeometryChunk* const placed = (*m_chunks)[i].get();
  AssignHardwareMatrices({&placed, 1});
  return true;
}
