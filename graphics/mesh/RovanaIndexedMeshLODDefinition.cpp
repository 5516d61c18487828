#include "graphics/mesh/RovanaIndexedMeshLODDefinition.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "kiv/String.h"

using Kiv::ByteReader;
using Kiv::MeshChunk;
using Kiv::MeshTag;

namespace {

constexpr uint32_t kTagLodm = MeshTag("LODM");
constexpr uint32_t kTagMatt = MeshTag("MATT");
constexpr uint32_t kTagBont = MeshTag("BONT");
constexpr uint32_t kTagRbot = MeshTag("RBOT");
constexpr uint32_t kTagMesh = MeshTag("MESH");
constexpr uint32_t kTagLodb = MeshTag("LODB");
constexpr uint32_t kTagLchk = MeshTag("LCHK");

// The smallest records, to check counts against the bytes left.
constexpr uint64_t kMinMeshBytes = 12 + 16;
constexpr uint64_t kMinLevelChunkBytes = 12 + 8 + 12;
constexpr uint64_t kMinMaterialBytes = 12 + 4 + 4 + 4 + 4 + 48 + 4 + 4;
constexpr uint64_t kMinNamedBytes = 4 + 4 + 1;
constexpr uint64_t kMinBoneBytes = 4 + 4 + 12 + 36;
constexpr uint64_t kMinGroupBytes = 8;
constexpr uint64_t kInfluenceBytes = 20;
// More bones than any skeleton has; bounds the tree's depth and the work per bone.
constexpr uint32_t kMaxBones = 1024;

void WriteFloats(std::vector<uint8_t>& out, const float* values, int n) {
  for (int i = 0; i < n; ++i) Kiv::AppendLEFloat(out, values[i]);
}

// The rotation of a quaternion as a 3 x 3 matrix, rows as Quaternion::Set takes them.
void RotationRows(const Kiv::Quaternion& q, float rows[9]) {
  const float zero[3] = {0, 0, 0};
  const Kiv::Matrix4 m = Kiv::Matrix4::FromRotationTranslation(q, zero);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) rows[3 * r + c] = m.m[4 * r + c];
  }
}

// The primitive bits of a "GEOM" for a geometry type, and back.
uint32_t PrimitiveBits(uint32_t geometryType) {
  switch (geometryType) {
    case 5: return 0;
    case 3: return 1;
    case 4: return 2;
    case 1: return 8;
    case 2: return 16;
    default: return 4;
  }
}

// A distance entry's value: digits with at most one point.
bool IsDistanceText(std::string_view text) {
  bool digit = false;
  int points = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.') {
      ++points;
    } else {
      return false;
    }
  }
  return digit && points <= 1;
}

}  // namespace

RovanaIndexedMeshLODDefinition::RovanaIndexedMeshLODDefinition(const MeshLoadOptions& options)
    : RovanaIndexedMeshDefinition(options) {}

RovanaIndexedMeshLODDefinition::~RovanaIndexedMeshLODDefinition() = default;

void RovanaIndexedMeshLODDefinition::BeginLoad(Kiv::Display* display, Kiv::MaterialManager* manager,
                                               Kiv::Resource* resource, uint32_t vertexColour) {
  RovanaIndexedMeshDefinition::BeginLoad(display, manager, resource, vertexColour);
  m_boneLimit = kMatrixLimit;
}

int RovanaIndexedMeshLODDefinition::ReadLODFile(Kiv::Display* display, Kiv::MaterialManager* manager,
                                                Kiv::Resource* resource, std::string_view fileName,
                                                uint32_t vertexColour) {
  BeginLoad(display, manager, resource, vertexColour);
  SetPath(Kiv::PString(fileName));
  std::optional<std::string> path =
      m_database ? m_database->ResolveName(fileName) : std::optional<std::string>(fileName);
  if (!path || !m_file.Open(*path)) return Kiv::kMeshNoData;
  return ReadLOD(fileName);
}

int RovanaIndexedMeshLODDefinition::ReadLODData(Kiv::Display* display, Kiv::MaterialManager* manager,
                                                Kiv::Resource* resource, std::vector<uint8_t> bytes,
                                                std::string_view fileName, uint32_t vertexColour) {
  BeginLoad(display, manager, resource, vertexColour);
  SetFileData(std::move(bytes), fileName);
  return ReadLOD(fileName);
}

int RovanaIndexedMeshLODDefinition::ReadLOD(std::string_view fileName) {
  ByteReader reader = m_file.Reader();
  uint32_t form = 0;
  ByteReader body;
  if (!Kiv::ReadMeshContainer(reader, form, body) || form != kTagLodm) return Kiv::kMeshMalformed;
  int result = ReadLODInfoChunk(body);
  if (result != Kiv::kMeshOk) return result;
  result = ReadMaterialTable(body);
  if (result != Kiv::kMeshOk) return result;
  uint32_t tag = 0;
  if (!body.AtEnd() && Kiv::PeekTag(body, {kTagBont, kTagRbot}, &tag)) {
    MeshChunk chunk;
    if (!Kiv::ReadMeshChunk(body, chunk)) return Kiv::kMeshMalformed;
    result = tag == kTagBont ? ReadBoneTable(chunk) : ReadRootBoneTree(chunk);
    if (result != Kiv::kMeshOk) return result;
  }
  if (!body.AtEnd() && Kiv::PeekTag(body, {Kiv::kMeshTagAtch})) {
    MeshChunk chunk;
    if (!Kiv::ReadMeshChunk(body, chunk)) return Kiv::kMeshMalformed;
    result = ReadAttachmentChunk(chunk);
    if (result != Kiv::kMeshOk) return result;
  }
  if (m_storedLevelCount > body.Remaining() / kMinMeshBytes) return Kiv::kMeshMalformed;
  m_levels.clear();
  m_levels.reserve(m_storedLevelCount);
  for (uint32_t level = 0; level < m_storedLevelCount; ++level) {
    m_levels.emplace_back();
    result = ReadLevel(body, level);
    if (result != Kiv::kMeshOk) return result;
  }
  if (m_distances.empty()) return Kiv::kMeshMalformed;
  // A named level must be one of the file's levels.
  for (const LODNamedLevel& named : m_namedLevels) {
    if (named.level >= m_levels.size()) return Kiv::kMeshMalformed;
  }
  if (!body.AtEnd() || body.Failed()) return Kiv::kMeshMalformed;
  m_name = Kiv::File::Path(fileName).GetFileName();
  return FinishLODLoad();
}

int RovanaIndexedMeshLODDefinition::ReadLODInfoChunk(ByteReader& form) {
  MeshChunk chunk;
  if (!Kiv::ReadMeshChunk(form, chunk) || chunk.tag != Kiv::kMeshTagInfo) return Kiv::kMeshMalformed;
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  ReadFloats(r, m_position, 3);
  m_orientation.x = r.F32();
  m_orientation.y = r.F32();
  m_orientation.z = r.F32();
  m_orientation.w = r.F32();
  m_storedLevelCount = r.U32();
  m_calcPoint = r.U32();
  m_offset = r.F32();
  m_multiplier = r.F32();
  m_animationCutOff = r.F32();
  m_renderCutOff = r.F32();
  m_attachmentCutOff = r.F32();
  const uint32_t named = r.U32();
  if (!r.Has(uint64_t(named) * kMinNamedBytes)) return Kiv::kMeshMalformed;
  m_namedLevels.reserve(m_namedLevels.size() + named);
  for (uint32_t i = 0; i < named && !r.Failed(); ++i) {
    LODNamedLevel record;
    record.level = r.U32();
    std::string name;
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, name);
    record.name = Kiv::PString(Kiv::ToLowerAscii(name));
    record.animated = r.U8() != 0;
    m_namedLevels.push_back(std::move(record));
  }
  return r.Failed() || !r.AtEnd() ? Kiv::kMeshMalformed : Kiv::kMeshOk;
}

int RovanaIndexedMeshLODDefinition::ReadMaterialTable(ByteReader& form) {
  MeshChunk chunk;
  if (!Kiv::ReadMeshChunk(form, chunk) || chunk.tag != kTagMatt) return Kiv::kMeshMalformed;
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  const uint32_t count = r.U32();
  if (!r.Has(uint64_t(count) * kMinMaterialBytes)) return Kiv::kMeshMalformed;
  m_materials.clear();
  m_materials.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    MeshChunk material;
    if (!Kiv::ReadMeshChunk(r, material) || material.tag != Kiv::kMeshTagMatl) return Kiv::kMeshMalformed;
    if (material.version != 103) return Kiv::kMeshBadVersion;
    const int result = ReadMaterialChunk(material, i);
    if (result != Kiv::kMeshOk) return result;
  }
  m_materialTable = std::move(m_materials);
  m_materials.clear();
  return r.Failed() || !r.AtEnd() ? Kiv::kMeshMalformed : Kiv::kMeshOk;
}

int RovanaIndexedMeshLODDefinition::ReadBoneTable(MeshChunk& chunk) {
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  const uint32_t count = r.U32();
  if (count > kMaxBones || !r.Has(uint64_t(count) * kMinBoneBytes)) return Kiv::kMeshMalformed;
  std::vector<LODBone> bones(count);
  for (LODBone& bone : bones) {
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, bone.name);
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, bone.parentName);
    ReadFloats(r, bone.position, 3);
    ReadFloats(r, bone.rotation, 9);
  }
  if (r.Failed() || !r.AtEnd()) return Kiv::kMeshMalformed;
  m_bones = std::move(bones);
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshLODDefinition::ReadRootBoneTree(MeshChunk& chunk) {
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  const uint32_t count = r.U32();
  if (count > kMaxBones || !r.Has(uint64_t(count) * kMinBoneBytes)) return Kiv::kMeshMalformed;
  std::shared_ptr<Kiv::ParticleBone> root;
  // Bones by name (the first of equal names) with their depth below the root.
  std::unordered_map<Kiv::PString, std::pair<Kiv::Particle*, int>> byName;
  for (uint32_t i = 0; i < count; ++i) {
    Kiv::PString name, parent;
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, name);
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, parent);
    auto bone = std::make_shared<Kiv::ParticleBone>(name);
    ReadFloats(r, bone->position, 3);
    float rotation[9];
    ReadFloats(r, rotation, 9);
    if (r.Failed()) return Kiv::kMeshMalformed;
    bone->rotation.Set(rotation);
    Kiv::Particle* under = nullptr;
    int depth = 0;
    if (parent.IsEmpty() && !root) {
      root = bone;
    } else if (!root) {
      return Kiv::kMeshMalformed;  // a child before its root
    } else {
      auto found = parent.IsEmpty() ? byName.end() : byName.find(parent);
      if (found != byName.end() && found->second.second + 1 < kMaxBoneDepth) {
        under = found->second.first;
        depth = found->second.second + 1;
      } else {
        under = root.get();
        depth = 1;
      }
    }
    byName.emplace(name, std::make_pair(bone.get(), depth));
    // A node made just before has no parent, so it is not refused.
    if (under) (void)under->Add(bone);
  }
  if (!r.AtEnd()) return Kiv::kMeshMalformed;
  m_rootBone = root;
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshLODDefinition::ReadLevel(ByteReader& form, uint32_t index) {
  MeshChunk chunk;
  if (!Kiv::ReadMeshChunk(form, chunk) || chunk.tag != kTagMesh) return Kiv::kMeshMalformed;
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  const uint32_t chunkCount = r.U32();
  const uint32_t maxInfluences = r.U32();
  const uint32_t maxBones = r.U32();
  const float distance = r.F32();
  if (r.Failed()) return Kiv::kMeshMalformed;
  LODLevel& level = m_levels[index];
  m_influenceLimitSource = maxInfluences;
  m_boneLimitSource = maxBones;
  level.hardwareAnimated = maxInfluences >= 1 && maxInfluences <= m_influenceLimit &&
                           maxBones <= kMatrixLimit && m_displaySkinning && !m_options.softwareAnimation.On();
  m_hardwareSkinning = level.hardwareAnimated;

  if (distance == -1.0f) {
    bool named = false;
    for (const LODNamedLevel& record : m_namedLevels) named = named || record.level == index;
    if (!named) return Kiv::kMeshMalformed;
  } else {
    // Distanced levels come first, in order (equal distances allowed).
    if (!std::isfinite(distance) || (!m_distances.empty() && distance < m_distances.back()) ||
        m_distances.size() != index) {
      return Kiv::kMeshMalformed;
    }
    m_distances.push_back(distance);
  }
  if (chunkCount > r.Remaining() / kMinLevelChunkBytes) return Kiv::kMeshMalformed;

  bool haveBones = false;
  if (!r.AtEnd() && Kiv::PeekTag(r, {kTagLodb})) {
    MeshChunk bones;
    if (!Kiv::ReadMeshChunk(r, bones)) return Kiv::kMeshMalformed;
    const int result = ReadLevelBones(bones, index, chunkCount);
    if (result != Kiv::kMeshOk) return result;
    haveBones = true;
  }
  // Without its influences every later level's would land on the wrong level.
  if (!m_bones.empty() && !haveBones) return Kiv::kMeshMalformed;

  m_chunks.clear();
  m_materials.clear();
  m_chunkNames.clear();
  m_chunks.reserve(chunkCount);
  std::vector<int32_t> kept(chunkCount, -1);
  uint32_t next = 0;
  for (uint32_t j = 0; j < chunkCount; ++j) {
    const int result = ReadLevelChunk(r, next);
    if (result != Kiv::kMeshOk) return result;
    const Kiv::GeometryChunk* made = m_chunks[next].get();
    if (made->GetNumVertices() != 0 && made->GetNumFaces() != 0 && made->GetNumIndices() != 0) {
      kept[j] = int32_t(next++);
      continue;
    }
    m_chunks.pop_back();
    m_materials.pop_back();
    if (m_chunkNames.size() > next) m_chunkNames.resize(next);
  }
  if (!r.AtEnd() || r.Failed()) return Kiv::kMeshMalformed;
  // The level's influences follow its chunks when empty ones were dropped.
  for (LODBone& bone : m_bones) {
    if (bone.levels.size() <= index) continue;
    LODInfluenceSet& set = bone.levels[index];
    std::erase_if(set, [&](Kiv::InfluenceChunkReference& group) {
      if (kept[group.chunk] < 0) return true;
      group.chunk = uint32_t(kept[group.chunk]);
      return false;
    });
  }
  m_chunkNames.resize(m_chunks.size());
  level.chunks = std::move(m_chunks);
  level.materials = std::move(m_materials);
  level.chunkNames = std::move(m_chunkNames);
  m_chunks.clear();
  m_materials.clear();
  m_chunkNames.clear();
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshLODDefinition::ReadLevelBones(MeshChunk& chunk, uint32_t level, uint32_t chunkCount) {
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  for (LODBone& bone : m_bones) {
    const uint32_t groups = r.U32();
    if (!r.Has(uint64_t(groups) * kMinGroupBytes)) return Kiv::kMeshMalformed;
    LODInfluenceSet set;
    for (uint32_t g = 0; g < groups; ++g) {
      Kiv::InfluenceChunkReference group;
      group.chunk = r.U32();
      const uint32_t count = r.U32();
      if (group.chunk >= chunkCount || !r.Has(uint64_t(count) * kInfluenceBytes)) return Kiv::kMeshMalformed;
      if (count == 0) continue;
      group.vertices.resize(count);
      for (Kiv::VertexInfluence& influence : group.vertices) {
        influence.vertex = r.U32();
        ReadFloats(r, influence.values, 4);
      }
      set.push_back(std::move(group));
    }
    bone.levels.resize(level);
    bone.levels.push_back(std::move(set));
  }
  return r.Failed() || !r.AtEnd() ? Kiv::kMeshMalformed : Kiv::kMeshOk;
}

int RovanaIndexedMeshLODDefinition::ReadLevelChunk(ByteReader& body, uint32_t index) {
  MeshChunk chunk;
  if (!Kiv::ReadMeshChunk(body, chunk) || chunk.tag != kTagLchk) return Kiv::kMeshMalformed;
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  r.U32();  // the writer's running index; the reader keeps its own
  const uint32_t material = r.U32();
  if (r.Failed() || material >= m_materialTable.size()) return Kiv::kMeshMalformed;
  if (m_materials.size() <= index) m_materials.resize(index + 1);
  m_materials[index] = m_materialTable[material];
  MeshChunk geometry;
  if (!Kiv::ReadMeshChunk(r, geometry) || geometry.tag != Kiv::kMeshTagGeom) return Kiv::kMeshMalformed;
  int result = ReadGeometryChunk(geometry, index, true);
  if (result != Kiv::kMeshOk) return result;
  if (!r.AtEnd() && Kiv::PeekTag(r, {Kiv::kMeshTagNinf})) {
    MeshChunk neighbours;
    if (!Kiv::ReadMeshChunk(r, neighbours)) return Kiv::kMeshMalformed;
    result = ReadNeighbourChunk(neighbours, index);
    if (result != Kiv::kMeshOk) return result;
  }
  return r.AtEnd() && !r.Failed() ? Kiv::kMeshOk : Kiv::kMeshMalformed;
}

int RovanaIndexedMeshLODDefinition::FinishLODLoad() {
  for (LODLevel& level : m_levels) {
    level.vertexTotal = level.faceTotal = 0;
    for (auto& chunk : level.chunks) {
      level.vertexTotal += chunk->GetNumVertices();
      level.faceTotal += chunk->GetNumFaces();
    }
  }
  if (!m_bones.empty()) {
    if (auto root = BuildBoneTree(m_bones)) m_rootBone = std::move(root);
  }
  BuildInfluences();
  TakeLastDistancedLevel();
  ComputeBoundingBox();
  ComputeTextureFigure();
  ComputeOrientedBox();
  ExtractCullAttachments();
  m_file.Close();
  return Kiv::kMeshOk;
}

void RovanaIndexedMeshLODDefinition::BuildInfluences() {
  for (size_t l = 0; l < m_levels.size(); ++l) {
    LODLevel& level = m_levels[l];
    std::vector<std::vector<uint8_t>> used(level.chunks.size());
    for (const LODBone& bone : m_bones) {
      if (bone.levels.size() <= l) continue;
      for (const Kiv::InfluenceChunkReference& group : bone.levels[l]) {
        if (group.chunk >= level.chunks.size()) continue;
        ApplyHardwareInfluence(*level.chunks[group.chunk], &bone, group, used[group.chunk]);
      }
    }
  }
}

void RovanaIndexedMeshLODDefinition::TakeLastDistancedLevel() {
  if (m_distances.empty() || m_distances.size() > m_levels.size()) return;
  const LODLevel& level = m_levels[m_distances.size() - 1];
  m_chunks = level.chunks;
  m_materials = level.materials;
  m_chunkNames = level.chunkNames;
  m_hardwareSkinning = level.hardwareAnimated;
  m_infoChunkCount = level.ChunkCount();
  m_totalVertices = level.vertexTotal;
  m_totalFaces = level.faceTotal;
}

void RovanaIndexedMeshLODDefinition::ExtractCullAttachments() {
  m_cullList.clear();
  for (MeshAttachment& attachment : m_attachments) {
    const std::string lower = Kiv::ToLowerAscii(attachment.name.View());
    const size_t at = lower.find(":cull");
    if (at == std::string::npos) continue;
    std::string name = attachment.name.Str();
    name.erase(at, kCullSuffix.size());
    attachment.name = Kiv::PString(name);
    m_cullList.push_back(attachment.name);
  }
}

int RovanaIndexedMeshLODDefinition::GetLevelIndexByName(std::string_view name) const {
  const std::string lower = Kiv::ToLowerAscii(name);
  for (const LODNamedLevel& named : m_namedLevels) {
    if (named.name.View() == lower) return int(named.level);
  }
  return -1;
}

// Text form.

int RovanaIndexedMeshLODDefinition::LoadLODText(Kiv::Display* display, Kiv::MaterialManager* manager,
                                                Kiv::Resource* resource, std::string_view fileName,
                                                uint32_t vertexColour) {
  BeginLoad(display, manager, resource, vertexColour);
  std::optional<std::string> path =
      m_database ? m_database->ResolveName(fileName) : std::optional<std::string>(fileName);
  Kiv::ConfigData config;
  if (!path || Kiv::ConfigParser::Parse(*path, config) != Kiv::ConfigParser::kOk) return Kiv::kMeshNoData;
  return LoadLODConfig(display, manager, resource, config, fileName, vertexColour);
}

int RovanaIndexedMeshLODDefinition::LoadLODConfig(Kiv::Display* display, Kiv::MaterialManager* manager,
                                                  Kiv::Resource* resource, const Kiv::ConfigData& config,
                                                  std::string_view fileName, uint32_t vertexColour) {
  BeginLoad(display, manager, resource, vertexColour);
  SetPath(Kiv::PString(fileName));
  Kiv::File::Path folder(fileName);
  folder.RemoveFileName();
  m_textFolder = folder.Str();
  // Compared as a float: a huge or non-numeric version has no int value.
  if (const float v = config.GetVersion() * 100.0f; !(v >= 100.0f && v < 101.0f)) return Kiv::kMeshBadVersion;
  const Kiv::ConfigEntry& root = config.Root();
  const std::vector<const Kiv::ConfigEntry*> meshes = root.FindAll("mesh");
  if (meshes.empty()) return Kiv::kMeshMalformed;
  m_levels.reserve(meshes.size());
  m_namedLevels.reserve(meshes.size());
  // The mesh file of each level, as a resource name.
  std::vector<std::string> levelFiles;

  size_t k = 0;
  for (; k < meshes.size() && IsDistanceText(meshes[k]->value); ++k) {
    const Kiv::ConfigEntry* name = meshes[k]->Find("name");
    float distance = 0.0f;
    if (!name || !Kiv::ParseConfigFloat(meshes[k]->value, distance)) return Kiv::kMeshMalformed;
    if (k > 0 && !(distance > m_distances.back())) return Kiv::kMeshMalformed;
    const int result = LoadLevelMesh(name->value, k == 0);
    if (result != Kiv::kMeshOk) return result;
    m_distances.push_back(distance);
    levelFiles.push_back(Kiv::Resource::ConvertResourceName(name->value));
  }
  if (m_distances.empty()) return Kiv::kMeshMalformed;
  for (; k < meshes.size(); ++k) {
    const std::string levelName = Kiv::ToLowerAscii(meshes[k]->value);
    if (levelName.empty() || GetLevelIndexByName(levelName) >= 0 || IsDistanceText(meshes[k]->value)) {
      return Kiv::kMeshMalformed;
    }
    const Kiv::ConfigEntry* name = meshes[k]->Find("name");
    if (!name) return Kiv::kMeshMalformed;
    const bool animated = meshes[k]->GetBool("animated", false);
    const std::string file = Kiv::Resource::ConvertResourceName(name->value);
    size_t level = 0;
    while (level < levelFiles.size() && levelFiles[level] != file) ++level;
    if (level == levelFiles.size()) {
      const int result = LoadLevelMesh(name->value, false);
      if (result != Kiv::kMeshOk) return result;
      levelFiles.push_back(file);
    }
    m_namedLevels.push_back({Kiv::PString(levelName), uint32_t(level), animated});
  }

  m_name = Kiv::File::Path(fileName).GetFileName();
  m_storedLevelCount = 0;
  m_offset = root.GetFloat("offset", 0.0f);
  m_multiplier = root.GetFloat("multiplier", 1.0f);
  m_animationCutOff = root.GetFloat("animationCutOff", 0.0f);
  m_renderCutOff = root.GetFloat("renderCutOff", 0.0f);
  m_attachmentCutOff = root.GetFloat("attachmentCutOff", 0.0f);
  const std::string calcPoint = Kiv::ToLowerAscii(root.GetString("calcPoint", "center"));
  m_calcPoint = calcPoint == "near" ? 1 : calcPoint == "far" ? 2 : 0;
  TakeLastDistancedLevel();
  ExtractCullAttachments();
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshLODDefinition::LoadLevelMesh(const std::string& meshName, bool firstLevel) {
  const std::string resourceName = Kiv::Resource::ConvertResourceName(meshName);
  // Level meshes live beside the text, never outside its folder.
  if (resourceName.empty() || !Kiv::IsNameInsideFolder(resourceName)) return Kiv::kMeshMalformed;
  Kiv::File::Path path(m_textFolder);
  if (path.IsEmpty()) {
    path = Kiv::File::Path(resourceName);
  } else {
    path.Join(resourceName);
  }
  path.Normalise();
  // A file named again shares the level mesh read the first time.
  for (OwnedMesh& owned : m_owned) {
    if (owned.name == path.Str()) return AddLevelFrom(*owned.mesh, firstLevel);
  }
  auto mesh = std::make_unique<RovanaIndexedMeshDefinition>(m_options);
  int result = Kiv::kMeshOk;
  if (path.IsExt("imtxt")) {
    result = mesh->LoadText(m_display, m_manager, m_resource, path.View(), m_defaultColour);
  } else {
    result = mesh->OpenMeshFile(m_database, path.View());
    if (result == Kiv::kMeshOk)
      result = mesh->Load(m_display, m_manager, m_resource, path.View(), m_defaultColour);
  }
  if (result != Kiv::kMeshOk) return result;
  result = AddLevelFrom(*mesh, firstLevel);
  if (result != Kiv::kMeshOk) return result;
  m_owned.push_back({path.Str(), std::move(mesh)});
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshLODDefinition::AddLevelFrom(RovanaIndexedMeshDefinition& mesh, bool firstLevel) {
  const std::vector<Kiv::InfluenceDefinition>& influences = mesh.GetInfluences();
  if (firstLevel) {
    std::memcpy(m_position, mesh.GetPosition(), sizeof m_position);
    m_orientation = mesh.GetOrientation();
    std::memcpy(m_bounds, mesh.GetBounds(), sizeof m_bounds);
    m_orientedBox = mesh.GetOrientedBox();
    m_attachments = mesh.GetAttachments();
    m_bones.clear();
    for (const Kiv::InfluenceDefinition& influence : influences) {
      LODBone bone;
      bone.name = influence.name;
      bone.parentName = influence.parentName;
      std::memcpy(bone.position, influence.position, sizeof bone.position);
      std::memcpy(bone.rotation, influence.rotation, sizeof bone.rotation);
      m_bones.push_back(std::move(bone));
    }
    m_rootBone.reset();
    if (mesh.GetRootBone()) {
      m_rootBone = std::static_pointer_cast<Kiv::ParticleBone>(mesh.GetRootBone()->CreateInstance());
    }
  } else {
    if (mesh.GetAttachments().size() != m_attachments.size() || influences.size() != m_bones.size()) {
      return Kiv::kMeshMalformed;
    }
    const float* bounds = mesh.GetBounds();
    auto span = [](const float* b) {
      const float d[3] = {b[0] - b[3], b[1] - b[4], b[2] - b[5]};
      return d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    };
    if (span(bounds) > span(m_bounds)) std::memcpy(m_bounds, bounds, sizeof m_bounds);
  }
  // Each bone of the table takes the influences of the level mesh's bone of its name.
  std::vector<const Kiv::InfluenceDefinition*> matches;
  for (const LODBone& bone : m_bones) {
    const Kiv::InfluenceDefinition* match = nullptr;
    for (const Kiv::InfluenceDefinition& influence : influences) {
      if (influence.name == bone.name) {
        match = &influence;
        break;
      }
    }
    if (!match) return Kiv::kMeshMalformed;
    matches.push_back(match);
  }
  const size_t index = m_levels.size();
  for (size_t b = 0; b < m_bones.size(); ++b) {
    m_bones[b].levels.resize(index);
    m_bones[b].levels.push_back(matches[b]->references);
  }
  LODLevel level;
  level.vertexTotal = mesh.GetTotalVertices();
  level.faceTotal = mesh.GetTotalFaces();
  level.hardwareAnimated = mesh.UsesHardwareSkinning();
  level.chunks = mesh.GetChunks();
  level.materials = mesh.GetMaterials();
  for (uint32_t c = 0; c < mesh.GetNumChunks(); ++c) level.chunkNames.push_back(mesh.GetChunkName(c));
  for (const auto& material : level.materials) {
    if (const MeshMaterialSource* source = mesh.GetMaterialSource(material.get())) {
      m_materialSources[material.get()] = *source;
    }
  }
  m_levels.push_back(std::move(level));
  return Kiv::kMeshOk;
}

// Completion.

int RovanaIndexedMeshLODDefinition::CompleteLoad() {
  for (OwnedMesh& owned : m_owned) {
    owned.mesh->FinishMaterials();
    const auto& failed = owned.mesh->GetFailedTextures();
    m_failedTextures.insert(m_failedTextures.end(), failed.begin(), failed.end());
  }
  m_owned.clear();
  // Equal materials of the file's levels become one, the earliest.
  for (uint32_t l = 1; l < m_storedLevelCount && l < m_levels.size(); ++l) {
    for (auto& material : m_levels[l].materials) {
      bool replaced = false;
      for (uint32_t earlier = 0; earlier < l && !replaced; ++earlier) {
        for (const auto& candidate : m_levels[earlier].materials) {
          if (candidate != material && candidate->GetType() == material->GetType() &&
              material->Equals(*candidate)) {
            material = candidate;
            replaced = true;
            break;
          }
        }
      }
    }
  }
  TakeLastDistancedLevel();
  return FinishMaterials();
}

uint64_t RovanaIndexedMeshLODDefinition::CalculateDataSize() const {
  uint64_t size = 4 * (75 * uint64_t(m_bones.size()) + 13 * uint64_t(m_attachments.size()) +
                       uint64_t(m_distances.capacity())) +
                  12 * uint64_t(m_namedLevels.size()) + 40 * uint64_t(m_levels.size());
  for (const LODLevel& level : m_levels) {
    for (const auto& chunk : level.chunks) {
      size +=
          uint64_t(chunk->GetNumVertices()) * chunk->GetVertexSize() + 2 * uint64_t(chunk->GetNumIndices());
    }
  }
  if (!m_bones.empty()) {
    const LODBone& first = m_bones.front();
    size += 68 + 4 * uint64_t(first.levels.capacity());
    for (const LODInfluenceSet& set : first.levels) {
      size += 8 + 12 * uint64_t(set.size());
      for (const auto& group : set) size += 20 * uint64_t(group.vertices.size());
    }
  }
  return size;
}

// Writing.

void RovanaIndexedMeshLODDefinition::ComputeChunkCounts(uint32_t level, uint32_t chunk,
                                                        uint32_t& maxInfluences, uint32_t& maxBones) const {
  maxInfluences = maxBones = 0;
  if (m_bones.empty() || level >= m_levels.size() || chunk >= m_levels[level].ChunkCount()) return;
  const uint32_t vertices = m_levels[level].chunks[chunk]->GetNumVertices();
  std::vector<uint32_t> counts(vertices, 0);
  for (const LODBone& bone : m_bones) {
    if (bone.levels.size() <= level) continue;
    for (const auto& group : bone.levels[level]) {
      if (group.chunk != chunk) continue;
      ++maxBones;
      for (const auto& influence : group.vertices) {
        if (influence.vertex < vertices) maxInfluences = std::max(maxInfluences, ++counts[influence.vertex]);
      }
    }
  }
}

void RovanaIndexedMeshLODDefinition::ComputeLevelCounts(uint32_t level, uint32_t& maxInfluences,
                                                        uint32_t& maxBones) const {
  maxInfluences = maxBones = 0;
  if (level >= m_levels.size()) return;
  for (uint32_t c = 0; c < m_levels[level].ChunkCount(); ++c) {
    uint32_t influences = 0, bones = 0;
    ComputeChunkCounts(level, c, influences, bones);
    maxInfluences = std::max(maxInfluences, influences);
    maxBones = std::max(maxBones, bones);
  }
}

int RovanaIndexedMeshLODDefinition::WriteLODFile(Kiv::File& file) const {
  std::vector<uint8_t> bytes;
  const int result = WriteLODFile(bytes);
  if (result != Kiv::kMeshOk) return result;
  return file.Write(bytes.data(), bytes.size()) == int64_t(bytes.size()) ? Kiv::kMeshOk : Kiv::kMeshNoData;
}

int RovanaIndexedMeshLODDefinition::WriteLODFile(std::vector<uint8_t>& out) const {
  if (m_levels.empty()) return 1;
  out.insert(out.end(), {'K', 'V', 'X', 'B'});
  const size_t container = MarkSizePos(out);
  out.insert(out.end(), {'L', 'O', 'D', 'M'});

  size_t mark = BeginChunk(out, "INFO", 100);
  WriteFloats(out, m_position, 3);
  const float orientation[4] = {m_orientation.x, m_orientation.y, m_orientation.z, m_orientation.w};
  WriteFloats(out, orientation, 4);
  Kiv::AppendLE32(out, uint32_t(m_levels.size()));
  Kiv::AppendLE32(out, m_calcPoint);
  const float settings[5] = {m_offset, m_multiplier, m_animationCutOff, m_renderCutOff, m_attachmentCutOff};
  WriteFloats(out, settings, 5);
  Kiv::AppendLE32(out, uint32_t(m_namedLevels.size()));
  for (const LODNamedLevel& named : m_namedLevels) {
    Kiv::AppendLE32(out, named.level);
    WritePaddedString(out, named.name.View());
    out.push_back(named.animated ? 1 : 0);
  }
  EndChunk(out, mark);

  // The materials of all levels, each once, in the order they are met.
  std::vector<std::shared_ptr<Kiv::Material>> table;
  for (const LODLevel& level : m_levels) {
    for (const auto& material : level.materials) {
      if (std::find(table.begin(), table.end(), material) == table.end()) table.push_back(material);
    }
  }
  mark = BeginChunk(out, "MATT", 100);
  Kiv::AppendLE32(out, uint32_t(table.size()));
  for (const auto& material : table) WriteMaterial(out, *material);
  EndChunk(out, mark);

  if (!m_bones.empty()) {
    mark = BeginChunk(out, "BONT", 100);
    Kiv::AppendLE32(out, uint32_t(m_bones.size()));
    for (const LODBone& bone : m_bones) {
      WritePaddedString(out, bone.name.View());
      WritePaddedString(out, bone.parentName.View());
      WriteFloats(out, bone.position, 3);
      WriteFloats(out, bone.rotation, 9);
    }
    EndChunk(out, mark);
  } else if (m_rootBone) {
    mark = BeginChunk(out, "RBOT", 100);
    const size_t countAt = out.size();
    Kiv::AppendLE32(out, 0);
    uint32_t count = 0;
    m_rootBone->EnumerateParticles([&](Kiv::Particle& node) {
      if (!dynamic_cast<Kiv::ParticleBone*>(&node)) return;
      WritePaddedString(out, node.GetName().View());
      const Kiv::Particle* parent = &node == m_rootBone.get() ? nullptr : node.GetParent();
      WritePaddedString(out, parent ? parent->GetName().View() : std::string_view());
      WriteFloats(out, node.position, 3);
      float rows[9];
      RotationRows(node.rotation, rows);
      WriteFloats(out, rows, 9);
      ++count;
    });
    Kiv::StoreLE32(out.data() + countAt, count);
    EndChunk(out, mark);
  }

  if (!m_attachments.empty()) {
    mark = BeginChunk(out, "ATCH", 100);
    Kiv::AppendLE32(out, uint32_t(m_attachments.size()));
    for (const MeshAttachment& attachment : m_attachments) {
      const bool culled =
          std::find(m_cullList.begin(), m_cullList.end(), attachment.name) != m_cullList.end();
      WritePaddedString(out, attachment.name.Str() + (culled ? std::string(kCullSuffix) : std::string()));
      WriteFloats(out, attachment.rotation, 9);
      WriteFloats(out, attachment.position, 3);
    }
    EndChunk(out, mark);
  }

  for (uint32_t l = 0; l < m_levels.size(); ++l) WriteLevel(out, l, table);
  WriteSizeAtMark(out, container);
  return Kiv::kMeshOk;
}

void RovanaIndexedMeshLODDefinition::WriteMaterial(std::vector<uint8_t>& out,
                                                   const Kiv::Material& material) const {
  const MeshMaterialSource* source = GetMaterialSource(&material);
  const size_t mark = BeginChunk(out, "MATL", 103);
  WritePaddedString(out, source ? std::string_view(source->name) : material.GetRequestName().View());
  Kiv::AppendLE32(out, material.GetNumProperties());
  for (uint32_t p = 0; p < material.GetNumProperties(); ++p) {
    WritePaddedString(out, material.GetProperty(p).first.View());
    WritePaddedString(out, material.GetProperty(p).second.View());
  }
  Kiv::AppendLE32(out, material.GetFlag() ? 1 : 0);
  Kiv::AppendLEFloat(out, material.GetFactor());
  const Kiv::DisplayMaterial& display = material.GetDisplayMaterial();
  for (int c = 0; c < 4; ++c) {
    for (int k = 0; k < 3; ++k)
      Kiv::AppendLEFloat(out, c == 3 ? 2.0f * display.colours[c][k] : display.colours[c][k]);
  }
  Kiv::AppendLEFloat(out, display.power);
  const std::vector<Kiv::MaterialTexture>& textures = source ? source->textures : material.GetTextures();
  Kiv::AppendLE32(out, uint32_t(textures.size()));
  for (const Kiv::MaterialTexture& texture : textures) {
    Kiv::AppendLE32(out, texture.slot);
    WritePaddedString(out, texture.path.View());
    Kiv::AppendLEFloat(out, texture.value);
  }
  EndChunk(out, mark);
}

void RovanaIndexedMeshLODDefinition::WriteLevel(
    std::vector<uint8_t>& out, uint32_t index,
    const std::vector<std::shared_ptr<Kiv::Material>>& table) const {
  const LODLevel& level = m_levels[index];
  uint32_t maxInfluences = 0, maxBones = 0;
  ComputeLevelCounts(index, maxInfluences, maxBones);
  const size_t mark = BeginChunk(out, "MESH", 100);
  Kiv::AppendLE32(out, level.ChunkCount());
  Kiv::AppendLE32(out, maxInfluences);
  Kiv::AppendLE32(out, maxBones);
  Kiv::AppendLEFloat(out, index < m_distances.size() ? m_distances[index] : -1.0f);
  if (!m_bones.empty()) {
    const size_t bones = BeginChunk(out, "LODB", 100);
    for (const LODBone& bone : m_bones) {
      static const LODInfluenceSet kNone;
      const LODInfluenceSet& set = index < bone.levels.size() ? bone.levels[index] : kNone;
      Kiv::AppendLE32(out, uint32_t(set.size()));
      for (const auto& group : set) {
        Kiv::AppendLE32(out, group.chunk);
        Kiv::AppendLE32(out, uint32_t(group.vertices.size()));
        for (const auto& influence : group.vertices) {
          Kiv::AppendLE32(out, influence.vertex);
          WriteFloats(out, influence.values, 4);
        }
      }
    }
    EndChunk(out, bones);
  }
  for (uint32_t j = 0; j < level.ChunkCount(); ++j) {
    const Kiv::GeometryChunk& chunk = *level.chunks[j];
    const size_t lchk = BeginChunk(out, "LCHK", 100);
    Kiv::AppendLE32(out, j);
    Kiv::AppendLE32(out, uint32_t(std::find(table.begin(), table.end(), level.materials[j]) - table.begin()));

    uint32_t chunkInfluences = 0, chunkBones = 0;
    ComputeChunkCounts(index, j, chunkInfluences, chunkBones);
    const uint32_t bits = PrimitiveBits(chunk.GetGeometryType());
    const uint32_t vertices = chunk.GetNumVertices();
    const uint32_t indices = chunk.GetNumIndices();
    const uint32_t faces = (bits & 3) ? 0 : chunk.GetNumFaces();
    const bool extra = chunk.GetFormat().Has(Kiv::kElementExtraVector);
    const size_t geom = BeginChunk(out, "GEOM", 201);
    Kiv::AppendLE32(out, bits);
    Kiv::AppendLE32(out, extra ? 1 : 0);
    Kiv::AppendLEFloat(out, 0.0f);
    Kiv::AppendLE32(out, vertices);
    Kiv::AppendLE32(out, chunk.GetNumTriangles());
    Kiv::AppendLE32(out, indices);
    Kiv::AppendLE32(out, faces);
    Kiv::AppendLE32(out, chunkInfluences);
    WritePaddedString(out, j < level.chunkNames.size() ? level.chunkNames[j].View() : std::string_view());
    auto element = [&](int which, uint32_t v, int floats, float* values) {
      const Kiv::ElementArray array = chunk.GetElement(which);
      if (array) {
        std::memcpy(values, array.data + size_t(v) * array.stride, 4 * size_t(floats));
      } else {
        std::fill(values, values + floats, 0.0f);
      }
    };
    for (uint32_t v = 0; v < vertices; ++v) {
      float values[5];
      element(Kiv::kElementPosition, v, 3, values);
      element(Kiv::kElementTexture0, v, 2, values + 3);
      WriteFloats(out, values, 5);
    }
    const uint16_t* indexArray = chunk.GetIndexArray();
    for (uint32_t i = 0; i < indices; ++i) Kiv::AppendLE16(out, indexArray ? indexArray[i] : 0);
    for (uint32_t v = 0; v < vertices; ++v) {
      float normal[3];
      element(Kiv::kElementNormal, v, 3, normal);
      WriteFloats(out, normal, 3);
    }
    const float* faceNormals = chunk.GetFaceNormalArray();
    for (uint32_t f = 0; f < faces; ++f) {
      const float zero[3] = {0, 0, 0};
      WriteFloats(out, faceNormals ? faceNormals + 3 * size_t(f) : zero, 3);
    }
    for (uint32_t v = 0; extra && v < vertices; ++v) {
      float vector[3];
      element(Kiv::kElementExtraVector, v, 3, vector);
      WriteFloats(out, vector, 3);
    }
    EndChunk(out, geom);

    const auto& neighbours = chunk.GetFaceNeighbors();
    if (faces > 0 && !neighbours.empty()) {
      const size_t ninf = BeginChunk(out, "NINF", 100);
      for (uint32_t f = 0; f < faces; ++f) {
        for (int n = 0; n < 3; ++n)
          Kiv::AppendLE32(out, f < neighbours.size() ? neighbours[f].neighbour[n] : ~0u);
      }
      EndChunk(out, ninf);
    }
    EndChunk(out, lchk);
  }
  EndChunk(out, mark);
}
