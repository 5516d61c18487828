#pragma once
// Materials and the material manager, headless: a material records what it is
// given and creates CPU geometry chunks; nothing draws. Tests script the
// answers (lookup codes, texture answers, loaded state, chunk failures).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kiv/PString.h"
#include "kiv/render/Geometry.h"

namespace Kiv {

class ResourceDatabase;

// Four colours (r, g, b, a) and a power; every alpha starts at 1.
struct DisplayMaterial {
  float colours[4][4] = {{0, 0, 0, 1}, {0, 0, 0, 1}, {0, 0, 0, 1}, {0, 0, 0, 1}};
  float power = 0.0f;
};

struct MaterialTexture {
  uint32_t slot = 0;
  PString path;
  float value = 0.0f;
};

class Material {
public:
  // Flag bit: a texture answer of 2 is not a failure.
  static constexpr uint32_t kFlagTextureOptional = 1u << 3;
  // Between a material's name and its type in a decorated name ("body.m.onetex").
  static constexpr std::string_view DecoratedTypeToken = ".m.";

  explicit Material(PString type);
  virtual ~Material() = default;
  Material(const Material&) = delete;
  Material& operator=(const Material&) = delete;

  const PString& GetType() const { return m_type; }
  const PString& GetRequestName() const { return m_requestName; }
  void SetRequestName(PString name) { m_requestName = std::move(name); }
  const PString& GetCreationType() const { return m_creationType; }
  void SetCreationType(PString type) { m_creationType = std::move(type); }
  int GetResourcePriority() const { return m_priority; }
  void SetResourcePriority(int priority) { m_priority = priority; }
  const DisplayMaterial& GetDisplayMaterial() const { return m_display; }
  void SetDisplayMaterialProperties(const DisplayMaterial& display) { m_display = display; }
  bool GetFlag() const { return m_flag; }
  void SetFlag(bool flag) { m_flag = flag; }
  float GetFactor() const { return m_factor; }
  void SetFactor(float factor) { m_factor = factor; }
  uint32_t GetFlags() const { return m_flags; }
  void SetFlags(uint32_t flags) { m_flags = flags; }

  void SetProperty(PString name, PString value);
  uint32_t GetNumProperties() const { return uint32_t(m_properties.size()); }
  const std::pair<PString, PString>& GetProperty(uint32_t i) const { return m_properties.at(i); }

  // Sets the texture of a slot; 0 when it was set, another code when not.
  virtual int SetTexture(uint32_t slot, const ResourceDatabase* database, const PString& path, float value);
  const std::vector<MaterialTexture>& GetTextures() const { return m_textures; }
  // 0 when the material is ready to draw.
  virtual int IsLoaded() const { return m_loadedCode; }
  // Null when the chunk cannot be made.
  virtual std::unique_ptr<GeometryChunk> CreateGeometryChunk(uint32_t vertices, uint32_t triangles,
                                                             uint32_t indices, uint32_t faces,
                                                             uint32_t geometryType,
                                                             const StandardChunkHint& hint);
  // The vertex format this material gives a chunk made with the hint.
  virtual VertexFormat ChunkFormat(const StandardChunkHint& hint) const;
  virtual bool Equals(const Material& other) const;

  // Test seams.
  void ScriptTextureAnswer(int code) { m_textureAnswer = code; }
  void ScriptLoadedCode(int code) { m_loadedCode = code; }
  void ScriptChunkFailure(bool fail) { m_failChunks = fail; }
  void ScriptVertexColour(bool on) { m_vertexColour = on; }
  // Chunks made without index and face-normal arrays.
  void ScriptNoIndexArrays(bool on) { m_noIndexArrays = on; }
  void ScriptExtraElements(std::set<int> add, std::set<int> omit);

private:
  PString m_type, m_requestName, m_creationType;
  int m_priority = 0;
  DisplayMaterial m_display;
  bool m_flag = false;
  float m_factor = 1.0f;
  uint32_t m_flags = 0;
  std::vector<std::pair<PString, PString>> m_properties;
  std::vector<MaterialTexture> m_textures;
  int m_textureAnswer = 0;
  int m_loadedCode = 0;
  bool m_failChunks = false;
  bool m_vertexColour = false;
  bool m_noIndexArrays = false;
  std::set<int> m_addElements, m_omitElements;
};

// The material given when there is no manager.
class NullMaterial : public Material {
public:
  NullMaterial() : Material(PString("null")) {}
};

// A material key "owner*folder*name" with the name's type split off.
struct DecoratedName {
  std::string owner, folder, name, base, type;
};

class MaterialManager {
public:
  virtual ~MaterialManager() = default;
  // The material of a key: 0 found, 3 unknown, another code for any other failure.
  virtual int Find(std::string_view key, std::shared_ptr<Material>& out) = 0;
  // Splits "owner*folder*base.m.type"; false when the key lacks a part.
  static bool SplitDecoratedMaterialName(std::string_view key, DecoratedName& out);
  // The key of the plain material of a type: "m." and the type.
  static std::string FallbackName(const DecoratedName& name) { return "m." + name.type; }
};

// A manager whose answers tests choose. Unscripted keys whose name carries a
// type give a new material of that type ("m.<type>" keys too); others give 3.
class ScriptedMaterialManager : public MaterialManager {
public:
  int Find(std::string_view key, std::shared_ptr<Material>& out) override;
  void ScriptAnswer(std::string key, int code) { m_answers[std::move(key)] = code; }
  // Called on every material the manager makes.
  void OnCreate(std::function<void(Material&)> hook) { m_onCreate = std::move(hook); }
  const std::vector<std::string>& Requests() const { return m_requests; }

private:
  std::map<std::string, int, std::less<>> m_answers;
  std::function<void(Material&)> m_onCreate;
  std::vector<std::string> m_requests;
};

}  // namespace Kiv
