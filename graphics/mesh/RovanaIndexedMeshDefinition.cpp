#include "graphics/mesh/RovanaIndexedMeshDefinition.h"

#include "graphics/mesh/CollisionGeometrySharingInterface.h"
#include "kiv/render/OverlappedResource.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "kiv/File.h"
#include "kiv/String.h"
#include "kiv/render/GeometryConfigData.h"

using Kiv::ByteReader;
using Kiv::MeshChunk;
using Kiv::MeshTag;

namespace {

constexpr uint32_t kTagIdxm = MeshTag("IDXM");
constexpr uint32_t kTagChnk = MeshTag("CHNK");
constexpr uint32_t kTagInfl = MeshTag("INFL");
constexpr uint32_t kTagSkel = MeshTag("SKEL");
constexpr uint32_t kTagBone = MeshTag("BONE");
constexpr uint32_t kTagPmin = MeshTag("PMIN");

// The smallest "CHNK": its header and unused word, an empty "MATL" and "GEOM".
constexpr uint64_t kMinChunkChunkBytes = 16 + 12 + 12;

// Copies `count` runs of `bytes` bytes from packed file data into a strided element.
void CopyStrided(const uint8_t* from, size_t fromStride, uint8_t* to, size_t toStride, size_t bytes,
                 size_t count) {
  for (size_t i = 0; i < count; ++i) std::memcpy(to + i * toStride, from + i * fromStride, bytes);
}

// Floats in the file are little-endian; on a big-endian host every word is swapped.
void FixFloatOrder(uint8_t* data, size_t stride, size_t floats, size_t count) {
  if constexpr (std::endian::native == std::endian::little) {
    (void)data, (void)stride, (void)floats, (void)count;
  } else {
    for (size_t i = 0; i < count; ++i) {
      for (size_t f = 0; f < floats; ++f) {
        uint8_t* p = data + i * stride + 4 * f;
        uint32_t word;
        std::memcpy(&word, p, 4);
        word = __builtin_bswap32(word);
        std::memcpy(p, &word, 4);
      }
    }
  }
}

}  // namespace

RovanaIndexedMeshDefinition::RovanaIndexedMeshDefinition(const MeshLoadOptions& options)
    : m_options(options) {
  m_orientation.Normalise();
}

RovanaIndexedMeshDefinition::~RovanaIndexedMeshDefinition() {
  // A request still in flight reads the chunks: it ends before anything goes.
  m_collisionRequest.reset();
}

int RovanaIndexedMeshDefinition::OpenMeshFile(const Kiv::ResourceDatabase* database, std::string_view name) {
  SetPath(Kiv::PString(name));
  std::optional<std::string> path = database ? database->ResolveName(name) : std::optional<std::string>(name);
  if (!path || !m_file.Open(*path)) return Kiv::kMeshNoData;
  return Kiv::kMeshOk;
}

void RovanaIndexedMeshDefinition::SetFileData(std::vector<uint8_t> bytes, std::string_view path) {
  SetPath(Kiv::PString(path));
  m_file = Kiv::MemoryFile(std::move(bytes));
}

int RovanaIndexedMeshDefinition::Load(Kiv::Display* display, Kiv::MaterialManager* manager,
                                      Kiv::Resource* resource, std::string_view meshName,
                                      uint32_t defaultColour) {
  (void)meshName;  // OpenMeshFile has read the file already
  if (!manager) return Kiv::kMeshNoManager;
  BeginLoad(display, manager, resource, defaultColour);
  if (m_file.IsEmpty()) return Kiv::kMeshNoData;

  ByteReader reader = m_file.Reader();
  uint32_t form = 0;
  ByteReader body;
  if (!Kiv::ReadMeshContainer(reader, form, body) || form != kTagIdxm) return Kiv::kMeshMalformed;
  const int result = ReadForm(body, false);
  if (result != Kiv::kMeshOk) return result;
  FinishLoad();
  m_file.Close();
  return Kiv::kMeshOk;
}

void RovanaIndexedMeshDefinition::BeginLoad(Kiv::Display* display, Kiv::MaterialManager* manager,
                                            Kiv::Resource* resource, uint32_t defaultColour) {
  m_display = display;
  m_manager = manager;
  m_resource = resource;
  m_database = resource ? resource->GetDatabase() : nullptr;
  m_defaultColour = defaultColour;
  m_displaySkinning = display && display->HasCapability(kSkinningCapability);
  if (m_displaySkinning) m_boneLimit = 24;
}

void RovanaIndexedMeshDefinition::FinishLoad() {
  BuildSkeletonFromInfluences();
  SetupHardwareSkinning();
  ComputeBoundingBox();
  ComputeTextureFigure();
  ComputeOrientedBox();
}

int RovanaIndexedMeshDefinition::LoadText(Kiv::Display* display, Kiv::MaterialManager* manager,
                                          Kiv::Resource* resource, std::string_view meshName,
                                          uint32_t defaultColour) {
  SetPath(Kiv::PString(meshName));
  const Kiv::ResourceDatabase* database = resource ? resource->GetDatabase() : nullptr;
  std::optional<std::string> path =
      database ? database->ResolveName(meshName) : std::optional<std::string>(meshName);
  if (!path) return Kiv::kMeshNoData;
  Kiv::ConfigData config;
  const int parsed = Kiv::ConfigParser::Parse(*path, config);
  if (parsed == Kiv::kMeshNoData || parsed == Kiv::kMeshMalformed || parsed == Kiv::kMeshBadVersion)
    return parsed;
  if (parsed != 0) return Kiv::kMeshTextParse;
  if (config.Root().children.empty()) return Kiv::kMeshMalformed;
  return LoadFromConfig(display, manager, resource, config, defaultColour);
}

int RovanaIndexedMeshDefinition::LoadFromConfig(Kiv::Display* display, Kiv::MaterialManager* manager,
                                                Kiv::Resource* resource, const Kiv::ConfigData& config,
                                                uint32_t defaultColour) {
  if (!manager) return Kiv::kMeshNoManager;
  // Compared as a float: a huge or non-numeric version has no int value.
  if (const float v = config.GetVersion() * 100.0f; !(v >= 100.0f && v < 101.0f)) return Kiv::kMeshBadVersion;
  Kiv::GeometryConfigData source;
  if (!source.LoadConfigData(config) || source.GetMaxVertices() == 0) return Kiv::kMeshMalformed;
  BeginLoad(display, manager, resource, defaultColour);
  std::copy(std::begin(source.position), std::end(source.position), m_position);
  m_orientation = {source.orientation[0], source.orientation[1], source.orientation[2],
                   source.orientation[3]};
  m_influenceLimitSource = source.influenceLimit;
  m_boneLimitSource = source.boneLimit;
  const uint32_t count = uint32_t(source.chunks.size());
  m_infoChunkCount = count;
  m_chunks.reserve(count);
  m_materials.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    int result = CreateMaterial(source, i);
    if (result != Kiv::kMeshOk) return result;
    result = BuildGeometryFromSource(source, i);
    if (result != Kiv::kMeshOk) return result;
    m_fileChunkIndex.push_back(int32_t(i));
  }
  m_influences = source.influences;
  m_attachments.clear();
  for (const auto& attachment : source.attachments) {
    MeshAttachment out;
    out.name = Kiv::PString(attachment.name);
    std::copy(std::begin(attachment.position), std::end(attachment.position), out.position);
    std::copy(std::begin(attachment.rotation), std::end(attachment.rotation), out.rotation);
    m_attachments.push_back(std::move(out));
  }
  CountTotals();
  FinishLoad();
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshDefinition::CreateMaterial(const Kiv::GeometryConfigData& source, uint32_t index) {
  const Kiv::GeometryConfigData::MaterialSource& from = source.chunks[index].material;
  MeshMaterialRecord record;
  record.flag = from.flag;
  record.factor = from.factor;
  for (int c = 0; c < 4; ++c) std::copy(from.colours[c], from.colours[c] + 3, record.display.colours[c]);
  record.display.power = from.power * 128.0f;
  for (const auto& texture : from.textures) {
    record.textures.push_back({texture.slot, ResolveTextureName(texture.name), texture.value});
  }
  record.properties = from.properties;
  // The key names the material as a ".im" file's would: a name without a
  // type is one the manager does not know.
  Kiv::File::Path folder(m_resource ? m_resource->GetPath().View() : std::string_view());
  folder.RemoveFileName();
  record.key =
      std::string(m_resource ? m_resource->GetOwnerName().View() : "") + "*" + folder.Str() + "*" + from.name;
  record.name = from.name;
  return CreateMaterialFromRecord(index, record);
}

int RovanaIndexedMeshDefinition::BuildGeometryFromSource(const Kiv::GeometryConfigData& source,
                                                         uint32_t index) {
  const Kiv::GeometryConfigData::Chunk& from = source.chunks[index];
  const uint32_t vertices = from.VertexCount();
  const uint32_t indices = uint32_t(from.indices.size());
  // The chunk as a "GEOM" of version 104 (texture sets, colours), read by
  // the one reader of geometry blocks.
  std::vector<uint8_t> block;
  Kiv::AppendLE32(block, 4);  // triangle lists
  Kiv::AppendLEFloat(block, 0.0f);
  Kiv::AppendLE32(block, vertices);
  Kiv::AppendLE32(block, indices / 3);
  Kiv::AppendLE32(block, indices);
  Kiv::AppendLE32(block, indices / 3);
  Kiv::AppendLE32(block, from.sets);
  Kiv::AppendLE32(block, from.weights);
  for (uint32_t v = 0; v < vertices; ++v) {
    for (int k = 0; k < 3; ++k) Kiv::AppendLEFloat(block, from.positions[3 * size_t(v) + size_t(k)]);
    for (uint32_t t = 0; t < 2 * from.sets; ++t)
      Kiv::AppendLEFloat(block, from.uvs[2 * from.sets * size_t(v) + t]);
  }
  for (uint16_t corner : from.indices) Kiv::AppendLE16(block, corner);
  for (float n : from.normals) Kiv::AppendLEFloat(block, n);
  for (uint32_t v = 0; v < vertices; ++v) Kiv::AppendLE32(block, m_defaultColour);
  for (uint32_t t = 0; t + 3 <= indices; t += 3) {
    // The face normal of the triangle, unit length (zero when it has no area).
    const float* p[3];
    for (int c = 0; c < 3; ++c) p[c] = &from.positions[3 * size_t(from.indices[t + uint32_t(c)])];
    const float e1[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
    const float e2[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
    float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                  e1[0] * e2[1] - e1[1] * e2[0]};
    const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (float& x : n) x = length > 0.0f && std::isfinite(length) ? x / length : 0.0f;
    for (float x : n) Kiv::AppendLEFloat(block, x);
  }
  Kiv::MeshChunk chunk;
  chunk.tag = Kiv::MeshTag("GEOM");
  chunk.version = 104;
  chunk.body = ByteReader(block.data(), block.size());
  const int result = ReadGeometryChunk(chunk, index);
  if (m_chunkNames.size() <= index) m_chunkNames.resize(index + 1);
  m_chunkNames[index] = Kiv::PString(from.name);
  return result;
}

int RovanaIndexedMeshDefinition::ReadForm(ByteReader& form, bool progressive) {
  int result = ReadInfoChunk(form);
  if (result != Kiv::kMeshOk) return result;
  // Each "CHNK" takes some bytes: a count beyond what is left is a lie.
  if (m_infoChunkCount > form.Remaining() / kMinChunkChunkBytes) return Kiv::kMeshMalformed;
  m_chunks.reserve(m_infoChunkCount);
  m_materials.reserve(m_infoChunkCount);
  uint32_t kept = 0;
  for (uint32_t file = 0; file < m_infoChunkCount; ++file) {
    result = ReadChunkChunk(form, kept);
    if (result != Kiv::kMeshOk) return result;
    Kiv::GeometryChunk* chunk = m_chunks[kept].get();
    if (chunk->GetNumVertices() != 0 && chunk->GetNumIndices() != 0 && chunk->GetNumFaces() != 0) {
      m_fileChunkIndex.push_back(int32_t(kept++));
      continue;
    }
    // An empty chunk is dropped with everything recorded for it, so the side
    // lists stay aligned with the chunks.
    m_fileChunkIndex.push_back(-1);
    std::shared_ptr<Kiv::Material> material = m_materials[kept];
    m_chunks.pop_back();
    m_materials.pop_back();
    if (m_chunkNames.size() > kept) m_chunkNames.pop_back();
    if (!m_pendingTextures.empty() && m_pendingTextures.back().material == material)
      m_pendingTextures.pop_back();
  }

  uint32_t tag = 0;
  if (!form.AtEnd() && Kiv::PeekTag(form, {kTagInfl, kTagSkel}, &tag)) {
    MeshChunk chunk;
    if (!Kiv::ReadMeshChunk(form, chunk)) return Kiv::kMeshMalformed;
    if (tag == kTagInfl) {
      if (ReadInfluenceChunk(chunk) != Kiv::kMeshOk) return Kiv::kMeshMalformed;
    } else {
      // The skeleton's body is its root bone.
      if (chunk.version != 100 || ReadBoneChunk(chunk.body, nullptr, 0) != Kiv::kMeshOk ||
          !chunk.body.AtEnd()) {
        return Kiv::kMeshMalformed;
      }
    }
  }
  if (!form.AtEnd() && Kiv::PeekTag(form, {Kiv::kMeshTagAtch})) {
    MeshChunk chunk;
    if (!Kiv::ReadMeshChunk(form, chunk) || ReadAttachmentChunk(chunk) != Kiv::kMeshOk)
      return Kiv::kMeshMalformed;
  }
  if (progressive && !form.AtEnd() && Kiv::PeekTag(form, {kTagPmin})) {
    MeshChunk chunk;
    if (!Kiv::ReadMeshChunk(form, chunk) || ReadProgressiveInfoChunk(chunk) != Kiv::kMeshOk) {
      return Kiv::kMeshMalformed;
    }
  }
  CountTotals();
  if (!form.AtEnd() || form.Failed()) return Kiv::kMeshMalformed;
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshDefinition::ReadInfoChunk(ByteReader& form) {
  MeshChunk chunk;
  if (!Kiv::ReadMeshChunk(form, chunk) || chunk.tag != Kiv::kMeshTagInfo) return Kiv::kMeshMalformed;
  if (chunk.version < 100 || chunk.version > 104) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  ReadFloats(r, m_position, 3);
  m_orientation.x = r.F32();
  m_orientation.y = r.F32();
  m_orientation.z = r.F32();
  m_orientation.w = r.F32();
  m_infoChunkCount = r.U32();
  if (chunk.version >= 102) {
    m_influenceLimitSource = r.U32();
    m_boneLimitSource = r.U32();
  }
  if (chunk.version == 104) r.Skip(24);  // two vectors nothing uses
  return r.Failed() || !r.AtEnd() ? Kiv::kMeshMalformed : Kiv::kMeshOk;
}

int RovanaIndexedMeshDefinition::ReadChunkChunk(ByteReader& form, uint32_t index) {
  MeshChunk chunk;
  if (!Kiv::ReadMeshChunk(form, chunk) || chunk.tag != kTagChnk) return Kiv::kMeshMalformed;
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& body = chunk.body;
  body.U32();  // not used
  MeshChunk material, geometry;
  if (!Kiv::ReadMeshChunk(body, material) || material.tag != Kiv::kMeshTagMatl) return Kiv::kMeshMalformed;
  int result = ReadMaterialChunk(material, index);
  if (result != Kiv::kMeshOk) return result;
  if (!Kiv::ReadMeshChunk(body, geometry) || geometry.tag != Kiv::kMeshTagGeom) return Kiv::kMeshMalformed;
  result = ReadGeometryChunk(geometry, index);
  if (result != Kiv::kMeshOk) return result;
  if (!body.AtEnd() && Kiv::PeekTag(body, {Kiv::kMeshTagNinf})) {
    MeshChunk neighbours;
    if (!Kiv::ReadMeshChunk(body, neighbours)) return Kiv::kMeshMalformed;
    result = ReadNeighbourChunk(neighbours, index);
    if (result != Kiv::kMeshOk) return result;
  }
  return body.AtEnd() && !body.Failed() ? Kiv::kMeshOk : Kiv::kMeshMalformed;
}

int RovanaIndexedMeshDefinition::ReadMaterialChunk(MeshChunk& chunk, uint32_t index) {
  if (chunk.version != 102 && chunk.version != 103) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  MeshMaterialRecord record;
  std::string name;
  // Reads past the end fail into the reader's sticky flag, tested after the record.
  (void)ReadPaddedString(r, name);
  const uint32_t properties = r.U32();
  // Each pair is at least two length words.
  if (!r.Has(uint64_t(properties) * 8)) return Kiv::kMeshMalformed;
  for (uint32_t p = 0; p < properties && !r.Failed(); ++p) {
    std::string key, value;
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, key);
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, value);
    record.properties.emplace_back(std::move(key), std::move(value));
  }
  record.flag = r.U32() != 0;
  record.factor = r.F32();
  for (auto& colour : record.display.colours) ReadFloats(r, colour, 3);
  record.display.power = r.F32();
  const uint32_t textures = r.U32();
  if (!r.Has(uint64_t(textures) * 12)) return Kiv::kMeshMalformed;
  for (uint32_t t = 0; t < textures && !r.Failed(); ++t) {
    Kiv::MaterialTexture texture;
    texture.slot = r.U32();
    std::string stored;
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, stored);
    texture.path = ResolveTextureName(stored);
    texture.value = r.F32();
    record.textures.push_back(std::move(texture));
  }
  if (r.Failed() || !r.AtEnd()) return Kiv::kMeshMalformed;

  for (float& c : record.display.colours[3]) c *= 0.5f;
  if (chunk.version == 102) {
    std::fill(std::begin(record.display.colours[2]), std::end(record.display.colours[2]), 0.0f);
    record.display.power = 10.0f;
  } else {
    record.display.power = std::max(record.display.power, 10.0f);
  }
  Kiv::File::Path folder(m_resource ? m_resource->GetPath().View() : std::string_view());
  folder.RemoveFileName();
  record.key =
      std::string(m_resource ? m_resource->GetOwnerName().View() : "") + "*" + folder.Str() + "*" + name;
  record.name = std::move(name);
  return CreateMaterialFromRecord(index, record);
}

Kiv::PString RovanaIndexedMeshDefinition::ResolveTextureName(std::string_view stored) const {
  const size_t cut = stored.find_last_of("/\\");
  const std::string_view file = cut == std::string_view::npos ? stored : stored.substr(cut + 1);
  Kiv::File::Path path(m_resource ? m_resource->GetPath().View() : std::string_view());
  path.RemoveFileName();
  if (path.IsEmpty()) {
    path = Kiv::File::Path(file);
  } else {
    path.Join(file);
  }
  return Kiv::PString(Kiv::ToLowerAscii(path.View()));
}

namespace {

// A null material standing for the material of a key, typed as the key says.
std::shared_ptr<Kiv::Material> NullMaterialFor(std::string_view key) {
  auto material = std::make_shared<Kiv::NullMaterial>();
  Kiv::DecoratedName parts;
  if (Kiv::MaterialManager::SplitDecoratedMaterialName(key, parts))
    material->SetCreationType(Kiv::PString(parts.type));
  return material;
}

}  // namespace

int RovanaIndexedMeshDefinition::CreateMaterialFromRecord(uint32_t index, MeshMaterialRecord& record) {
  std::shared_ptr<Kiv::Material> material;
  if (m_manager) {
    const int code = m_manager->Find(record.key, material);
    if (code != 0 || !material) {
      if (m_resource) m_resource->AddFailedMaterial(record.key);
      if (!m_resource || !m_resource->AllowsSubstitutes()) {
        return code == 3 ? Kiv::kMeshMaterialMissing : Kiv::kMeshMaterialFailed;
      }
      Kiv::DecoratedName parts;
      if (!Kiv::MaterialManager::SplitDecoratedMaterialName(record.key, parts) ||
          m_manager->Find(Kiv::MaterialManager::FallbackName(parts), material) != 0 || !material) {
        if (!m_resource->AllowsNullSubstitutes()) return Kiv::kMeshMaterialFailed;
        material = NullMaterialFor(record.key);
      }
      material->SetRequestName(Kiv::PString(record.key));
    }
    material->SetResourcePriority(m_resource ? m_resource->GetPriority() : 0);
  } else {
    material = NullMaterialFor(record.key);
  }
  material->SetDisplayMaterialProperties(record.display);
  material->SetFlag(record.flag);
  material->SetFactor(record.factor);
  for (auto& [name, value] : record.properties)
    material->SetProperty(Kiv::PString(name), Kiv::PString(value));
  if (index < m_materials.size()) {
    m_materials[index] = material;
  } else {
    m_materials.resize(index + 1);
    m_materials[index] = material;
  }
  m_materialSources[material.get()] = {record.name, record.textures};
  m_pendingTextures.push_back({material, std::move(record.textures)});
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshDefinition::ReadGeometryChunk(MeshChunk& chunk, uint32_t index, bool lodLayout) {
  const uint32_t version = chunk.version;
  if (version < 101 || version > 201) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  const uint32_t primitive = r.U32() & 0x1F;
  const uint32_t streamFlags = version == 201 ? r.U32() : 0;
  const float creationValue = r.F32();
  const uint32_t vertices = r.U32();
  const uint32_t triangles = r.U32();
  const uint32_t indices = r.U32();
  const uint32_t faces = r.U32();
  const uint32_t sets = !lodLayout && version >= 103 && version < 200 ? r.U32() : 1;
  const uint32_t weights = version >= 102 ? r.U32() : 0;
  std::string name;
  // Reads past the end fail into the reader's sticky flag, tested after the record.
  if (version >= (lodLayout ? 103u : 200u)) (void)ReadPaddedString(r, name);
  if (r.Failed()) return Kiv::kMeshMalformed;

  uint32_t geometryType = 0;
  switch (primitive) {
    case 0: geometryType = 5; break;
    case 1: geometryType = 3; break;
    case 2: geometryType = 4; break;
    case 4: geometryType = 0; break;
    case 8: geometryType = 1; break;
    case 16: geometryType = 2; break;
    default: return Kiv::kMeshMalformed;
  }
  // Everything the counts promise must be inside this chunk before anything
  // is made for them (64-bit: V x (12 + 8 S) cannot wrap).
  if (sets > 255) return Kiv::kMeshMalformed;
  const bool colours = !lodLayout && version >= 104 && version < 200;
  const bool extraVectors = version == 201 && (streamFlags & 1);
  const uint64_t v = vertices;
  const uint64_t need = v * (12 + 8 * uint64_t(sets)) + uint64_t(indices) * 2 + v * 12 +
                        (colours ? v * 4 : 0) + uint64_t(faces) * 12 + (extraVectors ? v * 12 : 0);
  if (need > r.Remaining()) return Kiv::kMeshMalformed;

  Kiv::StandardChunkHint hint(2, 0);
  hint.softwareLighting = m_options.softwareLighting.On();
  hint.vertexBufferMode = m_options.dynamicVertex.isSet ? uint32_t(m_options.dynamicVertex.value) : 2;
  hint.indexBufferMode = m_options.dynamicIndex.isSet ? uint32_t(m_options.dynamicIndex.value) : 2;
  hint.textureSets = sets;
  hint.creationValue = creationValue;
  hint.database = m_database;
  if (version >= 102) {
    if (m_influenceLimitSource >= 1 && m_influenceLimitSource <= m_influenceLimit &&
        m_boneLimitSource <= m_boneLimit && m_displaySkinning && !m_options.softwareAnimation.On()) {
      m_hardwareSkinning = true;
    }
    if (weights > 0) {
      hint.skinned = true;
      hint.weightsPerVertex = weights;
      if (m_hardwareSkinning) {
        hint.skinningMode = 4;
        hint.boneLimit = m_boneLimit;
        hint.floatWeights = m_options.hardwareAnimationFloatPrecision.On();
      } else {
        hint.softwareSkinning = true;
      }
    }
  }
  if (m_chunkNames.size() <= index) m_chunkNames.resize(index + 1);
  m_chunkNames[index] = Kiv::PString(name);

  Kiv::Material* material = GetMaterial(index);
  std::unique_ptr<Kiv::GeometryChunk> made =
      material ? material->CreateGeometryChunk(vertices, triangles, indices, faces, geometryType, hint)
               : nullptr;
  if (!made) return Kiv::kMeshMalformed;
  if (m_chunks.size() <= index) m_chunks.resize(index + 1);
  m_chunks[index] = std::move(made);
  Kiv::GeometryChunk& geometry = *m_chunks[index];

  if (vertices > 0) {
    if (m_hardwareSkinning && weights > 0) {
      if (hint.floatWeights) {
        if (weights <= 4) {
          Kiv::ElementArray w = geometry.GetElement(Kiv::kElementWeights1 + int(weights) - 1);
          Kiv::ElementArray b = geometry.GetElement(Kiv::kElementBlendIndices);
          if (!w || !b) return Kiv::kMeshMissingElement;
          for (uint32_t i = 0; i < vertices; ++i) {
            float defaults[4] = {1.0f, 0.0f, 0.0f, 0.0f};
            std::memcpy(w.data + size_t(i) * w.stride, defaults, 4 * weights);
            std::memset(b.data + size_t(i) * b.stride, 0, 4);
          }
        }
      } else {
        Kiv::ElementArray w = geometry.GetElement(Kiv::kElementPackedWeights);
        Kiv::ElementArray b = geometry.GetElement(Kiv::kElementBlendIndices);
        if (!w || !b) return Kiv::kMeshMissingElement;
        for (uint32_t i = 0; i < vertices; ++i) {
          uint32_t packed = 0xFF000000u;
          std::memcpy(w.data + size_t(i) * w.stride, &packed, 4);
          std::memset(b.data + size_t(i) * b.stride, 0, 4);
        }
      }
    }
    Kiv::ElementArray positions = geometry.GetElement(Kiv::kElementPosition);
    if (!positions) return Kiv::kMeshMissingElement;
    const size_t fileStride = 12 + 8 * size_t(sets);
    const auto block = r.Bytes(v * fileStride);
    CopyStrided(block.data(), fileStride, positions.data, positions.stride, 12, vertices);
    FixFloatOrder(positions.data, positions.stride, 3, vertices);
    for (uint32_t set = 0; set < sets && set < uint32_t(Kiv::kMaxTextureSets); ++set) {
      Kiv::ElementArray uv = geometry.GetElement(Kiv::kElementTexture0 + int(set));
      if (!uv) continue;
      CopyStrided(block.data() + 12 + 8 * set, fileStride, uv.data, uv.stride, 8, vertices);
      FixFloatOrder(uv.data, uv.stride, 2, vertices);
    }
    Kiv::ElementArray colour = geometry.GetElement(Kiv::kElementColour);
    for (uint32_t i = 0; colour && i < vertices; ++i) {
      std::memcpy(colour.data + size_t(i) * colour.stride, &m_defaultColour, 4);
    }
  }
  if (indices > 0) {
    uint16_t* out = geometry.GetIndexArray();
    if (!out) return Kiv::kMeshMissingElement;
    const auto block = r.Bytes(uint64_t(indices) * 2);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(out, block.data(), block.size());
    } else {
      for (uint32_t i = 0; i < indices; ++i) out[i] = Kiv::LoadLE16(block.data() + 2 * i);
    }
    uint16_t highest = 0;
    for (uint32_t i = 0; i < indices; ++i) highest = std::max(highest, out[i]);
    if (highest >= vertices) return Kiv::kMeshMalformed;
  }
  if (vertices > 0) {
    const auto block = r.Bytes(v * 12);
    Kiv::ElementArray normals = geometry.GetElement(Kiv::kElementNormal);
    if (normals) {
      CopyStrided(block.data(), 12, normals.data, normals.stride, 12, vertices);
      FixFloatOrder(normals.data, normals.stride, 3, vertices);
    }
  }
  if (colours && vertices > 0) {
    const auto block = r.Bytes(v * 4);
    Kiv::ElementArray colour = geometry.GetElement(Kiv::kElementColour);
    if (colour) {
      std::vector<uint32_t> values(vertices);
      for (uint32_t i = 0; i < vertices; ++i) values[i] = Kiv::LoadLE32(block.data() + 4 * size_t(i));
      if (m_display) m_display->ConvertColorArray(values.data(), values.size());
      CopyStrided(reinterpret_cast<const uint8_t*>(values.data()), 4, colour.data, colour.stride, 4,
                  vertices);
    }
  }
  if (faces > 0) {
    float* out = geometry.GetFaceNormalArray();
    if (!out) return Kiv::kMeshMissingElement;
    const auto block = r.Bytes(uint64_t(faces) * 12);
    std::memcpy(out, block.data(), block.size());
    FixFloatOrder(reinterpret_cast<uint8_t*>(out), 12, 3, faces);
  }
  if (extraVectors && vertices > 0) {
    const auto block = r.Bytes(v * 12);
    Kiv::ElementArray extra = geometry.GetElement(Kiv::kElementExtraVector);
    if (extra) {
      CopyStrided(block.data(), 12, extra.data, extra.stride, 12, vertices);
      FixFloatOrder(extra.data, extra.stride, 3, vertices);
    }
  }
  // Bytes after the last block belong to the chunk and are passed over.
  return r.Failed() ? Kiv::kMeshMalformed : Kiv::kMeshOk;
}

int RovanaIndexedMeshDefinition::ReadNeighbourChunk(MeshChunk& chunk, uint32_t index) {
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  Kiv::GeometryChunk* geometry = GetChunk(index);
  const uint32_t faces = geometry ? geometry->GetNumFaces() : 0;
  ByteReader& r = chunk.body;
  if (!r.Has(uint64_t(faces) * 12)) return Kiv::kMeshMalformed;
  if (faces > 0) {
    std::vector<Kiv::FaceNeighbors> records(faces);
    for (auto& record : records) {
      for (uint32_t& n : record.neighbour) n = r.U32();
    }
    geometry->SetFaceNeighborArray(std::move(records));
  }
  return r.AtEnd() && !r.Failed() ? Kiv::kMeshOk : Kiv::kMeshMalformed;
}

int RovanaIndexedMeshDefinition::ReadInfluenceChunk(MeshChunk& chunk) {
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  uint32_t count = r.U32();
  if (count >= 1024) count = 0;
  // An influence is at least two names, a frame and a reference count.
  if (!r.Has(uint64_t(count) * (8 + 12 + 36 + 4))) return Kiv::kMeshMalformed;
  std::vector<Kiv::InfluenceDefinition> influences(count);
  for (auto& influence : influences) {
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, influence.name);
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, influence.parentName);
    ReadFloats(r, influence.position, 3);
    ReadFloats(r, influence.rotation, 9);
    const uint32_t references = r.U32();
    if (!r.Has(uint64_t(references) * 8)) return Kiv::kMeshMalformed;
    for (uint32_t ref = 0; ref < references && !r.Failed(); ++ref) {
      const uint32_t fileChunk = r.U32();
      const uint32_t vertexCount = r.U32();
      if (!r.Has(uint64_t(vertexCount) * 20)) return Kiv::kMeshMalformed;
      if (vertexCount == 0) continue;
      Kiv::InfluenceChunkReference reference;
      // References follow the file's chunk numbers; chunks dropped on reading
      // (or never read) leave no chunk to name.
      reference.chunk = fileChunk < m_fileChunkIndex.size() && m_fileChunkIndex[fileChunk] >= 0
                            ? uint32_t(m_fileChunkIndex[fileChunk])
                            : UINT32_MAX;
      reference.vertices.resize(vertexCount);
      for (auto& vertex : reference.vertices) {
        vertex.vertex = r.U32();
        ReadFloats(r, vertex.values, 4);
      }
      influence.references.push_back(std::move(reference));
    }
    if (r.Failed()) return Kiv::kMeshMalformed;
  }
  if (r.Failed() || !r.AtEnd()) return Kiv::kMeshMalformed;
  m_influences = std::move(influences);
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshDefinition::ReadBoneChunk(ByteReader& parentBody, Kiv::Particle* parent, int depth) {
  MeshChunk chunk;
  if (depth >= kMaxBoneDepth || !Kiv::ReadMeshChunk(parentBody, chunk) || chunk.tag != kTagBone) {
    return Kiv::kMeshMalformed;
  }
  const uint32_t version = chunk.version;
  if (version != 1 && version != 20 && version != 50 && version != 100 && version != 102) {
    return Kiv::kMeshBadVersion;
  }
  ByteReader& r = chunk.body;
  Kiv::PString name;
  // Reads past the end fail into the reader's sticky flag, tested after the record.
  (void)ReadPaddedString(r, name);
  auto bone = std::make_shared<Kiv::ParticleBone>(name);
  ReadFloats(r, bone->position, 3);
  bone->rotation.x = r.F32();
  bone->rotation.y = r.F32();
  bone->rotation.z = r.F32();
  bone->rotation.w = r.F32();
  const uint32_t children = r.U32();
  if (r.Failed() || !r.Has(uint64_t(children) * 12)) return Kiv::kMeshMalformed;
  Kiv::Particle* self = bone.get();
  if (parent) {
    // A node made just before has no parent, so it is not refused.
    (void)parent->Add(bone);
  } else {
    m_rootBone = bone;
  }
  for (uint32_t c = 0; c < children; ++c) {
    const int result = ReadBoneChunk(r, self, depth + 1);
    if (result != Kiv::kMeshOk) return result;
  }
  return r.AtEnd() ? Kiv::kMeshOk : Kiv::kMeshMalformed;
}

int RovanaIndexedMeshDefinition::ReadAttachmentChunk(MeshChunk& chunk) {
  if (chunk.version != 100) return Kiv::kMeshBadVersion;
  ByteReader& r = chunk.body;
  const uint32_t count = r.U32();
  if (!r.Has(uint64_t(count) * (4 + 36 + 12))) return Kiv::kMeshMalformed;
  std::vector<MeshAttachment> attachments(count);
  for (auto& attachment : attachments) {
    // Reads past the end fail into the reader's sticky flag, tested after the record.
    (void)ReadPaddedString(r, attachment.name);
    ReadFloats(r, attachment.rotation, 9);
    ReadFloats(r, attachment.position, 3);
  }
  if (r.Failed() || !r.AtEnd()) return Kiv::kMeshMalformed;
  m_attachments = std::move(attachments);
  return Kiv::kMeshOk;
}

int RovanaIndexedMeshDefinition::ReadProgressiveInfoChunk(MeshChunk& chunk) {
  (void)chunk;
  return Kiv::kMeshMalformed;  // an indexed mesh has no "PMIN"
}

void RovanaIndexedMeshDefinition::CountTotals() {
  m_totalVertices = m_totalFaces = 0;
  for (auto& chunk : m_chunks) {
    m_totalVertices += chunk->GetNumVertices();
    m_totalFaces += chunk->GetNumFaces();
  }
}

void RovanaIndexedMeshDefinition::BuildSkeletonFromInfluences() {
  if (auto root = BuildBoneTree(m_influences)) m_rootBone = std::move(root);
}

void RovanaIndexedMeshDefinition::SetupHardwareSkinning() {
  if (m_influences.empty()) return;
  // Influences already written per vertex, per chunk.
  std::vector<std::vector<uint8_t>> used(m_chunks.size());
  for (auto& influence : m_influences) {
    for (auto& reference : influence.references) {
      if (reference.chunk >= m_chunks.size()) continue;
      ApplyHardwareInfluence(*m_chunks[reference.chunk], &influence, reference, used[reference.chunk]);
    }
  }
}

void RovanaIndexedMeshDefinition::ApplyHardwareInfluence(Kiv::GeometryChunk& chunk, const void* bone,
                                                         const Kiv::InfluenceChunkReference& reference,
                                                         std::vector<uint8_t>& counts) {
  if (reference.vertices.empty()) return;
  if ((chunk.GetFlags() & 0x40) || chunk.GetNumVertices() < reference.vertices.size()) return;
  Kiv::ElementArray blend = chunk.GetElement(Kiv::kElementBlendIndices);
  Kiv::ElementArray weights;
  int weightCount = 0;
  for (int e = Kiv::kElementWeights1; e <= Kiv::kElementPackedWeights && !weights; ++e) {
    weights = chunk.GetElement(e);
    weightCount = e == Kiv::kElementPackedWeights ? 4 : e - Kiv::kElementWeights1 + 1;
  }
  const bool packed = weights && chunk.GetFormat().Has(Kiv::kElementPackedWeights);
  if (!blend || !weights) return;
  // A full palette leaves the rest of this chunk's influences to software.
  const int k = chunk.AddInfluenceMatrix(bone);
  if (k < 0) return;
  if (counts.empty()) counts.assign(chunk.GetNumVertices(), 0);
  for (const auto& vertex : reference.vertices) {
    if (vertex.vertex >= chunk.GetNumVertices()) continue;
    uint8_t& slot = counts[vertex.vertex];
    if (slot >= 4) continue;
    uint8_t* bytes = blend.data + size_t(vertex.vertex) * blend.stride;
    if (slot == 0) std::memset(bytes, 0, 4);
    bytes[slot] = uint8_t(3 * k);
    if (slot + 1 < 4) bytes[slot + 1] = 254;  // the next free byte
    const float w = std::isfinite(vertex.values[0]) ? std::clamp(vertex.values[0], 0.0f, 1.0f) : 0.0f;
    uint8_t* weightBytes = weights.data + size_t(vertex.vertex) * weights.stride;
    if (packed) {
      uint32_t word;
      std::memcpy(&word, weightBytes, 4);
      if (slot == 0) word = 0;
      word |= uint32_t(std::lround(w * 255.0f)) << (8 * (3 - slot));
      std::memcpy(weightBytes, &word, 4);
    } else {
      if (slot == 0) std::memset(weightBytes, 0, 4 * size_t(weightCount));
      if (slot < weightCount) std::memcpy(weightBytes + 4 * slot, &w, 4);
    }
    ++slot;
  }
}

void RovanaIndexedMeshDefinition::ComputeBoundingBox() {
  float lo[3] = {FLT_MAX, FLT_MAX, FLT_MAX};
  float hi[3] = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
  bool any = false;
  for (auto& chunk : m_chunks) {
    const Kiv::ElementArray positions = chunk->GetElement(Kiv::kElementPosition);
    for (uint32_t i = 0; positions && i < chunk->GetNumVertices(); ++i) {
      float p[3];
      std::memcpy(p, positions.data + size_t(i) * positions.stride, sizeof p);
      for (int a = 0; a < 3; ++a) {
        lo[a] = std::min(lo[a], p[a]);
        hi[a] = std::max(hi[a], p[a]);
      }
      any = true;
    }
  }
  for (int a = 0; a < 3; ++a) {
    m_bounds[a] = any ? hi[a] : 0.0f;
    m_bounds[3 + a] = any ? lo[a] : 0.0f;
  }
}

void RovanaIndexedMeshDefinition::ComputeTextureFigure() {
  double weighted = 0.0, total = 0.0;
  float largest = 0.0f;
  for (auto& chunk : m_chunks) {
    const Kiv::ElementArray positions = chunk->GetElement(Kiv::kElementPosition);
    const Kiv::ElementArray uvs = chunk->GetElement(Kiv::kElementTexture0);
    const uint16_t* indices = chunk->GetIndexArray();
    if (!positions || !uvs || !indices || chunk->GetNumIndices() < 3) continue;
    for (uint32_t t = 0; t + 2 < chunk->GetNumIndices(); t += 3) {
      float p[3][3], uv[3][2];
      for (int c = 0; c < 3; ++c) {
        std::memcpy(p[c], positions.data + size_t(indices[t + c]) * positions.stride, sizeof p[c]);
        std::memcpy(uv[c], uvs.data + size_t(indices[t + c]) * uvs.stride, sizeof uv[c]);
      }
      auto length3 = [](const float a[3], const float b[3]) {
        return std::sqrt((b[0] - a[0]) * (b[0] - a[0]) + (b[1] - a[1]) * (b[1] - a[1]) +
                         (b[2] - a[2]) * (b[2] - a[2]));
      };
      auto length2 = [](const float a[2], const float b[2]) {
        return std::sqrt((b[0] - a[0]) * (b[0] - a[0]) + (b[1] - a[1]) * (b[1] - a[1]));
      };
      const float e1 = length3(p[0], p[1]), e2 = length3(p[0], p[2]);
      const float t1 = length2(uv[0], uv[1]), t2 = length2(uv[0], uv[2]);
      if (!(t1 * t2 > 1e-5f)) continue;
      const float r1 = e1 / t1, r2 = e2 / t2;
      const float area = 0.5f * e1 * e2;
      weighted += double(area) * (r1 + r2);
      total += 2.0 * area;
      largest = std::max({largest, r1, r2});
    }
  }
  const double average = total > 0.0 ? weighted / total : 0.0;
  m_textureFigure = float(std::min<double>(largest, 8.0 * average));
}

void RovanaIndexedMeshDefinition::ComputeOrientedBox() {
  m_orientedBox.Zero();
  if (m_chunks.empty()) return;
  std::vector<float> corners;
  for (auto& chunk : m_chunks) {
    const Kiv::ElementArray positions = chunk->GetElement(Kiv::kElementPosition);
    Kiv::OrientedBox box;
    box.Fit(positions.data, positions.stride, positions ? chunk->GetNumVertices() : 0);
    float c[8][3];
    box.CalcCorners(c);
    for (auto& corner : c) corners.insert(corners.end(), corner, corner + 3);
  }
  m_orientedBox.Fit(corners);
}

int RovanaIndexedMeshDefinition::FinishMaterials() {
  for (auto& pending : m_pendingTextures) {
    for (auto& texture : pending.textures) {
      const int answer = pending.material->SetTexture(texture.slot, m_database, texture.path, texture.value);
      if (answer != 0 &&
          !(answer == 2 && (pending.material->GetFlags() & Kiv::Material::kFlagTextureOptional))) {
        m_failedTextures.push_back(texture.path.Str());
      }
    }
  }
  m_pendingTextures.clear();
  for (auto& material : m_materials) {
    if (material && material->IsLoaded() != 0) return Kiv::kMeshMaterialNotLoaded;
  }
  return Kiv::kMeshOk;
}

uint64_t RovanaIndexedMeshDefinition::EstimateMemorySize() const {
  uint64_t size = 252 + 52 * uint64_t(m_attachments.size()) + 300 * uint64_t(m_influences.size());
  for (auto& chunk : m_chunks) {
    size += uint64_t(chunk->GetNumVertices()) * chunk->GetVertexSize() + uint64_t(chunk->GetNumIndices()) * 2;
  }
  return size;
}

const MeshMaterialSource* RovanaIndexedMeshDefinition::GetMaterialSource(
    const Kiv::Material* material) const {
  auto found = m_materialSources.find(material);
  return found == m_materialSources.end() ? nullptr : &found->second;
}

const Kiv::PString& RovanaIndexedMeshDefinition::GetChunkName(uint32_t i) const {
  return i < m_chunkNames.size() ? m_chunkNames[i] : Kiv::PString::Empty();
}

uint32_t RovanaIndexedMeshDefinition::GetNumVertices(uint32_t i) const {
  return GetChunk(i) ? GetChunk(i)->GetNumVertices() : 0;
}
uint32_t RovanaIndexedMeshDefinition::GetNumIndices(uint32_t i) const {
  return GetChunk(i) ? GetChunk(i)->GetNumIndices() : 0;
}
uint32_t RovanaIndexedMeshDefinition::GetNumFaces(uint32_t i) const {
  return GetChunk(i) ? GetChunk(i)->GetNumFaces() : 0;
}

uint32_t RovanaIndexedMeshDefinition::GetNumTextureSets(uint32_t i) const {
  const Kiv::GeometryChunk* chunk = GetChunk(i);
  uint32_t sets = 0;
  while (chunk && sets < uint32_t(Kiv::kMaxTextureSets) &&
         chunk->GetFormat().Has(Kiv::kElementTexture0 + int(sets))) {
    ++sets;
  }
  return sets;
}

uint32_t RovanaIndexedMeshDefinition::GetMaxInfluencesPerVertex(uint32_t i) const {
  const uint32_t vertices = GetNumVertices(i);
  std::vector<uint32_t> counts(vertices, 0);
  uint32_t largest = 0;
  for (auto& influence : m_influences) {
    for (auto& reference : influence.references) {
      if (reference.chunk != i) continue;
      for (auto& vertex : reference.vertices) {
        if (vertex.vertex < vertices) largest = std::max(largest, ++counts[vertex.vertex]);
      }
    }
  }
  return largest;
}

namespace {
template <class T>
std::vector<T> CopyElement(const Kiv::GeometryChunk* chunk, int element, size_t perVertex) {
  if (!chunk) return {};
  const Kiv::ElementArray array = chunk->GetElement(element);
  if (!array) return {};
  std::vector<T> out(size_t(chunk->GetNumVertices()) * perVertex);
  CopyStrided(array.data, array.stride, reinterpret_cast<uint8_t*>(out.data()), perVertex * sizeof(T),
              perVertex * sizeof(T), chunk->GetNumVertices());
  return out;
}
}  // namespace

std::vector<float> RovanaIndexedMeshDefinition::CopyPositions(uint32_t i) const {
  return CopyElement<float>(GetChunk(i), Kiv::kElementPosition, 3);
}
std::vector<float> RovanaIndexedMeshDefinition::CopyTextureSet(uint32_t i, uint32_t set) const {
  if (set >= uint32_t(Kiv::kMaxTextureSets)) return {};
  return CopyElement<float>(GetChunk(i), Kiv::kElementTexture0 + int(set), 2);
}
std::vector<float> RovanaIndexedMeshDefinition::CopyNormals(uint32_t i) const {
  return CopyElement<float>(GetChunk(i), Kiv::kElementNormal, 3);
}
std::vector<uint32_t> RovanaIndexedMeshDefinition::CopyColours(uint32_t i) const {
  return CopyElement<uint32_t>(GetChunk(i), Kiv::kElementColour, 1);
}
std::vector<uint16_t> RovanaIndexedMeshDefinition::CopyIndices(uint32_t i) const {
  const Kiv::GeometryChunk* chunk = GetChunk(i);
  if (!chunk || !chunk->GetIndexArray()) return {};
  return {chunk->GetIndexArray(), chunk->GetIndexArray() + chunk->GetNumIndices()};
}
std::vector<float> RovanaIndexedMeshDefinition::CopyFaceNormals(uint32_t i) const {
  const Kiv::GeometryChunk* chunk = GetChunk(i);
  if (!chunk || !chunk->GetFaceNormalArray()) return {};
  return {chunk->GetFaceNormalArray(), chunk->GetFaceNormalArray() + size_t(chunk->GetNumFaces()) * 3};
}

Kiv::Quaternion RovanaIndexedMeshDefinition::GetInfluenceRotation(uint32_t i) const {
  Kiv::Quaternion q;
  if (i < m_influences.size()) q.Set(m_influences[i].rotation);
  return q;
}

Kiv::Quaternion RovanaIndexedMeshDefinition::GetAttachmentRotation(uint32_t i) const {
  Kiv::Quaternion q;
  if (i < m_attachments.size()) q.Set(m_attachments[i].rotation);
  return q;
}

void RovanaIndexedMeshDefinition::AddAttachmentPoints(Kiv::ParticleStructure& particle) const {
  for (uint32_t i = 0; i < m_attachments.size(); ++i) {
    const MeshAttachment& a = m_attachments[i];
    const std::string_view name = a.name.View();
    if (name.empty() || (name[0] != 'a' && name[0] != 'A')) continue;
    Kiv::PString first, second;
    Kiv::AttachmentPoint::GetSubNames(name, first, second);
    auto point = std::make_shared<Kiv::AttachmentPoint>(first, second);
    float position[3] = {a.position[0], a.position[1], a.position[2]};
    Kiv::Quaternion rotation = GetAttachmentRotation(i);
    if (!m_rootBone) {
      std::copy(position, position + 3, point->position);
      point->rotation = rotation;
      // A point already attached keeps its place.
      (void)particle.AddAttachmentPoint(point);
    } else if (particle.AddAttachmentPoint(point)) {
      // A singular transform leaves the point where it is.
      (void)particle.GlobalToLocal(position, rotation);
      std::copy(position, position + 3, point->position);
      point->rotation = rotation;
    } else {
      std::copy(position, position + 3, point->position);
      point->rotation = rotation;
      // A node made just before has no parent, so it is not refused.
      (void)particle.Add(point);
    }
  }
}

const Kiv::InfluenceDefinition* RovanaIndexedMeshDefinition::FindInfluenceByName(uint32_t i) const {
  if (i < m_chunkNames.size() && !m_chunkNames[i].IsEmpty()) {
    for (const auto& influence : m_influences) {
      if (influence.name == m_chunkNames[i]) return &influence;
    }
  }
  return i < m_influences.size() ? &m_influences[i] : nullptr;
}

bool RovanaIndexedMeshDefinition::GetTriangle(uint32_t chunk, uint32_t firstIndex, float corners[9]) const {
  const Kiv::GeometryChunk* geometry = GetChunk(chunk);
  if (!geometry || uint64_t(firstIndex) + 3 > geometry->GetNumIndices()) return false;
  const Kiv::ElementArray positions = geometry->GetElement(Kiv::kElementPosition);
  const uint16_t* indices = geometry->GetIndexArray();
  if (!positions || !indices) return false;
  for (int c = 0; c < 3; ++c) {
    const uint16_t vertex = indices[firstIndex + c];
    if (vertex >= geometry->GetNumVertices()) return false;
    std::memcpy(corners + 3 * c, positions.data + size_t(vertex) * positions.stride, 12);
  }
  return true;
}

std::unique_ptr<RVAxisBoxTree> RovanaIndexedMeshDefinition::BuildCollisionTree() {
  if (!m_collisionGeometry) m_collisionGeometry = std::make_unique<CollisionGeometrySharingInterface>(*this);
  auto tree = std::make_unique<RVAxisBoxTree>();
  if (!::BuildCollisionTree(*this, *m_collisionGeometry, *tree)) return nullptr;
  return tree;
}

void RovanaIndexedMeshDefinition::RequestCollisionTree() {
  if (m_collisionTree || m_collisionRequest || m_collisionTreeFailed) return;
  Kiv::OverlappedResourceSystem* loader = Kiv::OverlappedResourceSystem::Instance();
  if (!loader) return;
  // The adaptor is made here, on the caller's thread, not by the worker.
  if (!m_collisionGeometry) m_collisionGeometry = std::make_unique<CollisionGeometrySharingInterface>(*this);
  m_collisionRequest = std::make_unique<Kiv::Overlapped>();
  Kiv::OverlappedResourceSystem::Request(
      *m_collisionRequest, loader,
      [this] {
        m_builtCollisionTree = BuildCollisionTree();
        return true;
      },
      [this] {
        m_collisionTree = std::move(m_builtCollisionTree);
        m_collisionTreeFailed = !m_collisionTree;
        return true;
      },
      GetPath().Str());
}

const RVAxisBoxTree* RovanaIndexedMeshDefinition::GetCollisionTree() {
  if (m_collisionTree) return m_collisionTree.get();
  RequestCollisionTree();
  if (m_collisionRequest && m_collisionRequest->Collect()) m_collisionRequest.reset();
  return m_collisionTree.get();
}
