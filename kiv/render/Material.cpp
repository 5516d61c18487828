#include "kiv/render/Material.h"

#include <cstring>
#include <typeinfo>

#include "kiv/render/RenderKernel.h"
#include "kiv/render/Resource.h"

namespace Kiv {

Material::Material(PString type) : m_type(std::move(type)) {}

void Material::SetProperty(PString name, PString value) {
  for (auto& property : m_properties) {
    if (property.first == name) {
      property.second = std::move(value);
      return;
    }
  }
  m_properties.emplace_back(std::move(name), std::move(value));
}

int Material::SetTexture(uint32_t slot, const ResourceDatabase* database, const PString& path, float value) {
  (void)database;
  if (m_textureAnswer != 0) return m_textureAnswer;
  for (auto& texture : m_textures) {
    if (texture.slot == slot) {
      texture.path = path;
      texture.value = value;
      return 0;
    }
  }
  m_textures.push_back({slot, path, value});
  return 0;
}

void Material::ScriptExtraElements(std::set<int> add, std::set<int> omit) {
  m_addElements = std::move(add);
  m_omitElements = std::move(omit);
}

VertexFormat Material::ChunkFormat(const StandardChunkHint& hint) const {
  std::vector<std::pair<int, uint32_t>> elements = {{kElementPosition, 12}, {kElementNormal, 12}};
  if (m_vertexColour) elements.push_back({kElementColour, 4});
  for (uint32_t set = 0; set < std::min<uint32_t>(hint.textureSets, kMaxTextureSets); ++set) {
    elements.push_back({kElementTexture0 + int(set), 8});
  }
  if (hint.skinned && hint.skinningMode == 4) {
    if (!hint.floatWeights) {
      elements.push_back({kElementPackedWeights, 4});
    } else if (hint.weightsPerVertex >= 1 && hint.weightsPerVertex <= 4) {
      elements.push_back({kElementWeights1 + int(hint.weightsPerVertex) - 1, 4 * hint.weightsPerVertex});
    }
    elements.push_back({kElementBlendIndices, 4});
  }
  for (int e : m_addElements) elements.push_back({e, e == kElementColour ? 4u : 12u});
  VertexFormat format;
  format.typeId = 1;
  for (auto [element, bytes] : elements) {
    if (!m_omitElements.count(element)) format.Add(element, bytes);
  }
  return format;
}

std::unique_ptr<GeometryChunk> Material::CreateGeometryChunk(uint32_t vertices, uint32_t triangles,
                                                             uint32_t indices, uint32_t faces,
                                                             uint32_t geometryType,
                                                             const StandardChunkHint& hint) {
  if (m_failChunks) return nullptr;
  auto chunk = std::make_unique<GeometryChunk>(ChunkFormat(hint), vertices, triangles,
                                               m_noIndexArrays ? 0 : indices, m_noIndexArrays ? 0 : faces,
                                               geometryType, MakeGeometryChunkFlags(geometryType, hint));
  if (hint.skinned && hint.skinningMode == 4 && hint.boneLimit > 0) chunk->SetPaletteLimit(hint.boneLimit);
  return chunk;
}

bool Material::Equals(const Material& other) const {
  return typeid(*this) == typeid(other) && m_type == other.m_type;
}

bool MaterialManager::SplitDecoratedMaterialName(std::string_view key, DecoratedName& out) {
  const size_t first = key.find('*');
  if (first == std::string_view::npos) return false;
  const size_t second = key.find('*', first + 1);
  if (second == std::string_view::npos) return false;
  out.owner = std::string(key.substr(0, first));
  out.folder = std::string(key.substr(first + 1, second - first - 1));
  out.name = std::string(key.substr(second + 1));
  const size_t token = out.name.rfind(Material::DecoratedTypeToken);
  if (token == std::string::npos || token + Material::DecoratedTypeToken.size() >= out.name.size())
    return false;
  out.base = out.name.substr(0, token);
  out.type = out.name.substr(token + Material::DecoratedTypeToken.size());
  return true;
}

int ScriptedMaterialManager::Find(std::string_view key, std::shared_ptr<Material>& out) {
  m_requests.emplace_back(key);
  out.reset();
  if (auto it = m_answers.find(key); it != m_answers.end() && it->second != 0) return it->second;
  std::string type;
  DecoratedName name;
  if (key.starts_with("m.") && key.size() > 2) {
    type = std::string(key.substr(2));
  } else if (SplitDecoratedMaterialName(key, name)) {
    type = name.type;
  } else {
    return 3;
  }
  out = std::make_shared<Material>(PString(type));
  if (m_onCreate) m_onCreate(*out);
  return 0;
}

}  // namespace Kiv

namespace Kiv {

std::shared_ptr<Material> Material::CreateInstance() const {
  auto copy = std::make_shared<Material>(m_type);
  copy->CopyBaseState(*this);
  return copy;
}

void Material::CopyBaseState(const Material& from) {
  m_requestName = from.m_requestName;
  m_creationType = from.m_creationType;
  m_priority = from.m_priority;
  m_display = from.m_display;
  m_flag = from.m_flag;
  m_factor = from.m_factor;
  m_flags = from.m_flags;
  m_properties = from.m_properties;
  m_textures = from.m_textures;
  m_alphaHint = from.m_alphaHint;
  m_opacity = from.m_opacity;
  m_blendSource = from.m_blendSource;
  m_blendDestination = from.m_blendDestination;
  m_combiner = from.m_combiner;
  m_manager = from.m_manager;
  m_plugin = from.m_plugin;
}

int Material::SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount) {
  (void)index, (void)texture, (void)amount;
  return kMaterialNoTexture;
}

std::shared_ptr<Texture> Material::GetTexture(uint32_t index) const {
  (void)index;
  return nullptr;
}

int Material::DuplicateTexture(uint32_t index) {
  (void)index;
  return kMaterialNoTexture;
}

void Material::SetTextureDefinition(uint32_t slot, const PString& name, float amount) {
  for (auto& texture : m_textures) {
    if (texture.slot == slot) {
      texture.path = name;
      texture.value = amount;
      return;
    }
  }
  m_textures.push_back({slot, name, amount});
}

void Material::SetLightingState(Display& display, const float* view, const ProgramHandle* vertexProgram,
                                const std::vector<Light>* lights, float opacity) const {
  (void)display;
  display.SetStageConstant(m_display.colours[DisplayMaterial::kDiffuse]);
  (void)view, (void)vertexProgram, (void)lights, (void)opacity;
}

void Material::RenderChunk(const RenderArgs& args) { RenderPrimitives(args, 0, 0); }

void Material::RenderNumChunks(const std::vector<RenderArgs>& chunks) {
  for (const RenderArgs& args : chunks) RenderChunk(args);
}

void Material::RenderPrimitives(const RenderArgs& args, uint32_t first, uint32_t count) {
  if (!args.display || !args.chunk) return;
  Display& display = *args.display;
  SetDisplayState(display);
  SetLightingState(display, args.camera ? args.camera->view : nullptr, nullptr, args.lights,
                   m_opacity * args.chunk->GetOpacity());
  if (args.transform) display.SetWorldTransform(args.transform);
  display.Draw(*args.chunk, first, count, args.indices);
  ClearDisplayState(display);
}

uint32_t Material::MakeGeometryChunkFlags(uint32_t geometryType, const StandardChunkHint& hint) {
  uint32_t flags = PrimitiveKindOfGeometryType(geometryType);
  if (hint.valid && (hint.options & 4u)) flags |= 1u << 12;
  return flags;
}

std::shared_ptr<VertexType> Material::GetVertexType(Display& display, uint32_t vertices, uint32_t triangles,
                                                    uint32_t indices, uint32_t faces, uint32_t geometryType,
                                                    const StandardChunkHint& hint) {
  auto chunk = CreateGeometryChunk(vertices, triangles, indices, faces, geometryType, hint);
  if (!chunk) return nullptr;
  const uint32_t id = chunk->AssignVertexType(display);
  if (auto known = display.FindVertexType(id)) return known;
  auto type = std::make_shared<VertexType>(id, 1, uint32_t(kElementCount));
  for (int e = 0; e < kElementCount; ++e) {
    // The headless display records these; they cannot be refused for a new type.
    if (chunk->GetFormat().Has(e)) (void)type->AddItem(uint32_t(e), 0, 0, 1);
  }
  display.RegisterVertexType(type);
  return type;
}

std::shared_ptr<Texture> MaterialManager::LoadTexture(const ResourceDatabase* database, const PString& name) {
  if (name.View().empty()) return nullptr;
  const bool there = database != nullptr && database->ResolveName(name.View()).has_value();
  return std::make_shared<Texture>(name, there);
}

const PString& OneTextureMaterial::UNDECORATED_TYPE() {
  static const PString type("onetex");
  return type;
}

OneTextureMaterial::OneTextureMaterial(PString type, MaterialManager* manager,
                                       std::shared_ptr<RenderingCache> chunkCache,
                                       std::shared_ptr<RenderingCache> maskCache,
                                       std::shared_ptr<RenderingCache> blendCache)
    : Material(std::move(type)),
      m_chunkCache(std::move(chunkCache)),
      m_maskCache(std::move(maskCache)),
      m_blendCache(std::move(blendCache)) {
  SetManager(manager);
}

std::shared_ptr<Material> OneTextureMaterial::CreateInstance() const {
  auto copy = std::make_shared<OneTextureMaterial>(GetType(), GetManager());
  copy->InitInstance(*this);
  return copy;
}

void OneTextureMaterial::InitInstance(const OneTextureMaterial& from) {
  CopyBaseState(from);
  m_texture = from.m_texture;
  m_chunkCache = from.m_chunkCache;
  m_maskCache = from.m_maskCache;
  m_blendCache = from.m_blendCache;
}

bool OneTextureMaterial::Equals(const Material& other) const {
  if (!Material::Equals(other)) return false;
  const auto& o = static_cast<const OneTextureMaterial&>(other);
  return m_texture == o.m_texture && GetFlags() == o.GetFlags() && GetCombinerState() == o.GetCombinerState();
}

std::shared_ptr<Texture> OneTextureMaterial::LoadTexture(const ResourceDatabase* database,
                                                         const PString& name) const {
  if (GetManager()) return GetManager()->LoadTexture(database, name);
  if (name.View().empty()) return nullptr;
  return std::make_shared<Texture>(name, database && database->ResolveName(name.View()).has_value());
}

int OneTextureMaterial::SetTexture(uint32_t slot, const ResourceDatabase* database, const PString& path,
                                   float value) {
  const int code = Material::SetTexture(slot, database, path, value);
  if (code != kMaterialOk || slot != 0) return code;
  m_texture = LoadTexture(database, path);
  if (m_texture) m_texture->SetResourcePriority(GetResourcePriority());
  SetAlphaHint(-1);
  return m_texture ? kMaterialOk : kMaterialNoTexture;
}

int OneTextureMaterial::SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount) {
  if (index != 0) return Material::SetTexture(index, std::move(texture), amount);
  if (!texture) return kMaterialNoTexture;
  texture->SetResourcePriority(GetResourcePriority());
  SetTextureDefinition(index, texture->GetName(), amount);
  m_texture = std::move(texture);
  return kMaterialOk;
}

std::shared_ptr<Texture> OneTextureMaterial::GetTexture(uint32_t index) const {
  return index == 0 ? m_texture : Material::GetTexture(index);
}

int OneTextureMaterial::DuplicateTexture(uint32_t index) {
  if (index != 0) return Material::DuplicateTexture(index);
  if (!m_texture) return kMaterialNoTexture;
  m_texture = m_texture->Duplicate();
  return kMaterialOk;
}

void OneTextureMaterial::Activate(bool on) {
  if (m_texture) m_texture->Activate(on);
}

int OneTextureMaterial::IsLoaded() const {
  if (m_texture && !m_texture->IsLoaded()) return kMaterialNotLoaded;
  return Material::IsLoaded();
}

void OneTextureMaterial::SetResourcePriority(int priority) {
  Material::SetResourcePriority(priority);
  if (m_texture) m_texture->SetResourcePriority(priority);
}

void OneTextureMaterial::SetDisplayState(Display& display) {
  if (m_texture) {
    m_texture->BindToStage(display, 0);
  } else {
    display.DisableStage(0);
  }
  if (GetCombinerState()) display.SetCombinerState(0, *GetCombinerState());
}

void OneTextureMaterial::ClearDisplayState(Display& display) { display.ResetStage(0); }

ReflectiveMaterial::ReflectiveMaterial(PString type, MaterialManager* manager,
                                       std::shared_ptr<RenderingCache> chunkCache,
                                       std::shared_ptr<RenderingCache> blendCache,
                                       std::vector<std::shared_ptr<CombinerState>> states)
    : OneTextureMaterial(std::move(type), manager, std::move(chunkCache), {}, std::move(blendCache)),
      m_states(std::move(states)) {}

std::shared_ptr<Material> ReflectiveMaterial::CreateInstance() const {
  auto copy = std::make_shared<ReflectiveMaterial>(GetType(), GetManager());
  copy->InitInstance(*this);
  return copy;
}

void ReflectiveMaterial::InitInstance(const ReflectiveMaterial& from) {
  OneTextureMaterial::InitInstance(from);
  m_reflection = from.m_reflection;
  m_reflectivity = from.m_reflectivity;
  m_states = from.m_states;
}

bool ReflectiveMaterial::Equals(const Material& other) const {
  if (!OneTextureMaterial::Equals(other)) return false;
  const auto& o = static_cast<const ReflectiveMaterial&>(other);
  return m_reflection == o.m_reflection && m_reflectivity == o.m_reflectivity;
}

int ReflectiveMaterial::SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount) {
  if (index != kReflectionIndex) return OneTextureMaterial::SetTexture(index, std::move(texture), amount);
  if (!texture) return kMaterialNoTexture;
  texture->SetResourcePriority(GetResourcePriority());
  SetTextureDefinition(index, texture->GetName(), amount);
  m_reflection = std::move(texture);
  m_reflectivity = amount;
  return kMaterialOk;
}

std::shared_ptr<Texture> ReflectiveMaterial::GetTexture(uint32_t index) const {
  return index == kReflectionIndex ? m_reflection : OneTextureMaterial::GetTexture(index);
}

int ReflectiveMaterial::IsLoaded() const {
  if (m_reflection && !m_reflection->IsLoaded()) return kMaterialNotLoaded;
  return OneTextureMaterial::IsLoaded();
}

void ReflectiveMaterial::SetResourcePriority(int priority) {
  OneTextureMaterial::SetResourcePriority(priority);
  if (m_reflection) m_reflection->SetResourcePriority(priority);
}

void ReflectiveMaterial::ChangeTexGen(Display& display, const GeometryChunk& chunk,
                                      bool noVertexProgram) const {
  (void)chunk;
  if (!m_reflection || !noVertexProgram) return;
  const bool cube = m_reflection->GetType() == 1;
  if (GetFlags() & (cube ? 2u : 1u)) display.SetTextureCoordGen(1, 0, cube ? 3 : 4);
}

void ReflectiveMaterial::SetSphericalTexureCoordinates(Display& display, GeometryChunk& chunk) const {
  (void)display;
  // The second texture set takes the sphere-map coordinates of the normals.
  const ElementArray normals = chunk.GetElement(kElementNormal);
  const ElementArray uv = chunk.GetElement(kElementTexture0 + 1);
  if (!normals || !uv) return;
  for (uint32_t v = 0; v < chunk.GetNumVertices(); ++v) {
    float n[3], out[2];
    std::memcpy(n, normals.data + size_t(v) * normals.stride, sizeof n);
    out[0] = n[0] * 0.5f + 0.5f;
    out[1] = n[1] * -0.5f + 0.5f;
    std::memcpy(uv.data + size_t(v) * uv.stride, out, sizeof out);
  }
}

}  // namespace Kiv
