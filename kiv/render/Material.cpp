#include "kiv/render/Material.h"

#include <typeinfo>

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
  auto chunk =
      std::make_unique<GeometryChunk>(ChunkFormat(hint), vertices, triangles, m_noIndexArrays ? 0 : indices,
                                      m_noIndexArrays ? 0 : faces, geometryType);
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
