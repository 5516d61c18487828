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
#include "kiv/render/Display.h"
#include "kiv/render/Geometry.h"

namespace Kiv {

class ResourceDatabase;
class MaterialManager;
class MaterialPlugin;
class RenderingCache;
class Texture;
struct VertexType;

// What the renderer hands a material to draw one chunk.
struct RenderArgs {
  Display* display = nullptr;
  const Camera* camera = nullptr;
  GeometryChunk* chunk = nullptr;
  const float* transform = nullptr;  // the chunk's world transform, 16 floats; identity when null
  const std::vector<Light>* lights = nullptr;
  int parameter = -1;
  // The value a chunk was queued with (an alpha-blend cache's `Add`), handed
  // back with its draw; 0 when it was not queued.
  uint32_t chunkParameter = 0;
  // Indices to draw in place of the chunk's own (a sorted copy); the count is
  // the count of the primitive range.
  const uint16_t* indices = nullptr;
};

// Result codes of the texture and load operations.
enum MaterialResult : int { kMaterialOk = 0, kMaterialNoTexture = 3, kMaterialNotLoaded = 4 };

// Four colours (r, g, b, a): ambient, diffuse, specular, emissive; and a
// power. Every alpha starts at 1.
struct DisplayMaterial {
  enum { kAmbient = 0, kDiffuse = 1, kSpecular = 2, kEmissive = 3 };
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
  virtual PString GetTypeName() const { return m_type; }
  // A new material of the same type with this one's state.
  virtual std::shared_ptr<Material> CreateInstance() const;
  const PString& GetRequestName() const { return m_requestName; }
  void SetRequestName(PString name) { m_requestName = std::move(name); }
  const PString& GetCreationType() const { return m_creationType; }
  void SetCreationType(PString type) { m_creationType = std::move(type); }
  int GetResourcePriority() const { return m_priority; }
  virtual void SetResourcePriority(int priority) { m_priority = priority; }
  const DisplayMaterial& GetDisplayMaterial() const { return m_display; }
  DisplayMaterial& DisplayMaterialRef() { return m_display; }
  void SetDisplayMaterialProperties(const DisplayMaterial& display) { m_display = display; }
  [[nodiscard]] bool GetFlag() const { return m_flag; }
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
  // The texture operations by index: a texture given by reference (3 for
  // none), the texture of an index, and a duplicate replacing it (3 when
  // there is none). The plain material has no textures.
  virtual int SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount);
  virtual std::shared_ptr<Texture> GetTexture(uint32_t index) const;
  virtual int DuplicateTexture(uint32_t index);
  // Records the definition of a texture slot (name and amount).
  void SetTextureDefinition(uint32_t slot, const PString& name, float amount);
  const std::vector<MaterialTexture>& GetTextures() const { return m_textures; }
  // Lets the textures load (on) or be dropped (off).
  virtual void Activate(bool on) { (void)on; }
  // The mip level culling last asked the textures for (0: full detail).
  void SetWantedMipLevel(int level) { m_wantedMipLevel = level; }
  int GetWantedMipLevel() const { return m_wantedMipLevel; }
  // The cached alpha hint: -1 unknown, 0 opaque, 1 blended (opacity below 1).
  virtual void CacheAlphaHint() { m_alphaHint = m_opacity < 1.0f ? 1 : 0; }
  int GetAlphaHint() const { return m_alphaHint; }
  void SetAlphaHint(int hint) { m_alphaHint = hint; }
  float GetOpacity() const { return m_opacity; }
  void SetOpacity(float opacity) { m_opacity = opacity; }
  // The blend factors the material draws with.
  uint32_t GetBlendSource() const { return m_blendSource; }
  uint32_t GetBlendDestination() const { return m_blendDestination; }
  void SetBlendFactors(uint32_t source, uint32_t destination) {
    m_blendSource = source;
    m_blendDestination = destination;
  }
  // The combiner state the base binds with its texture (may be null).
  const std::shared_ptr<CombinerState>& GetCombinerState() const { return m_combiner; }
  void SetCombinerState(std::shared_ptr<CombinerState> state) { m_combiner = std::move(state); }
  MaterialManager* GetManager() const { return m_manager; }
  void SetManager(MaterialManager* manager) { m_manager = manager; }
  // The plug-in that made the material (null for none).
  void Assign(MaterialPlugin* plugin) { m_plugin = plugin; }
  MaterialPlugin* GetPlugin() const { return m_plugin; }

  // Pass binding: the base does nothing.
  virtual void Bind(Display& display, int pass) { (void)display, (void)pass; }
  virtual void Unbind(Display& display, int pass) { (void)display, (void)pass; }
  // Display states a draw sets, and gives back after it.
  virtual void SetDisplayState(Display& display) { (void)display; }
  virtual void ClearDisplayState(Display& display) { (void)display; }
  // Drawing: one chunk, several chunks (each with its own arguments), and a
  // range of a chunk's primitives given by indices.
  virtual void RenderChunk(const RenderArgs& args);
  virtual void RenderNumChunks(const std::vector<RenderArgs>& chunks);
  virtual void RenderPrimitives(const RenderArgs& args, uint32_t first, uint32_t count);
  // The lighting state of a draw: the view transform (null without a
  // camera), the chunk's vertex program, the lights and the opacity.
  void SetLightingState(Display& display, const float* view, const ProgramHandle* vertexProgram,
                        const std::vector<Light>* lights, float opacity) const;
  // The chunk flags of a new chunk: the primitive kind of the geometry type in the low five bits,
  // bit 12 when the hint asks for instanced data (option bit 2).
  static uint32_t MakeGeometryChunkFlags(uint32_t geometryType, const StandardChunkHint& hint);
  // The vertex type of chunks made with the hint; null when none can be made.
  std::shared_ptr<VertexType> GetVertexType(Display& display, uint32_t vertices, uint32_t triangles,
                                            uint32_t indices, uint32_t faces, uint32_t geometryType,
                                            const StandardChunkHint& hint);
  // 0 when the material is ready to draw.
  virtual int IsLoaded() const { return m_loadedCode; }
  // Null when the chunk cannot be made.
  virtual std::unique_ptr<GeometryChunk> CreateGeometryChunk(uint32_t vertices, uint32_t triangles,
                                                             uint32_t indices, uint32_t faces,
                                                             uint32_t geometryType,
                                                             const StandardChunkHint& hint);
  // The vertex format this material gives a chunk made with the hint.
  virtual VertexFormat ChunkFormat(const StandardChunkHint& hint) const;
  // True only for a material of the identical class and type.
  [[nodiscard]] virtual bool Equals(const Material& other) const;

  // Test seams.
  void ScriptTextureAnswer(int code) { m_textureAnswer = code; }
  void ScriptLoadedCode(int code) { m_loadedCode = code; }
  void ScriptChunkFailure(bool fail) { m_failChunks = fail; }
  void ScriptVertexColour(bool on) { m_vertexColour = on; }
  // Chunks made without index and face-normal arrays.
  void ScriptNoIndexArrays(bool on) { m_noIndexArrays = on; }
  void ScriptExtraElements(std::set<int> add, std::set<int> omit);

protected:
  // Copies the state every material has (not the type).
  void CopyBaseState(const Material& from);

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
  int m_alphaHint = -1;
  int m_wantedMipLevel = 0;
  float m_opacity = 1.0f;
  uint32_t m_blendSource = 4, m_blendDestination = 5;
  std::shared_ptr<CombinerState> m_combiner;
  MaterialManager* m_manager = nullptr;
  MaterialPlugin* m_plugin = nullptr;
};

// The engine's material with one main texture (index 0) and the caches it
// draws through.
class OneTextureMaterial : public Material {
public:
  // The type word of the plain one-texture material.
  static const PString& UNDECORATED_TYPE();

  OneTextureMaterial(PString type, MaterialManager* manager, std::shared_ptr<RenderingCache> chunkCache = {},
                     std::shared_ptr<RenderingCache> maskCache = {},
                     std::shared_ptr<RenderingCache> blendCache = {});
  std::shared_ptr<Material> CreateInstance() const override;
  // Copies the base state, the main texture and the caches.
  void InitInstance(const OneTextureMaterial& from);
  [[nodiscard]] bool Equals(const Material& other) const override;

  int SetTexture(uint32_t slot, const ResourceDatabase* database, const PString& path, float value) override;
  int SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount) override;
  std::shared_ptr<Texture> GetTexture(uint32_t index) const override;
  int DuplicateTexture(uint32_t index) override;
  void Activate(bool on) override;
  // 4 when the main texture is set and not loaded; otherwise the material's code.
  int IsLoaded() const override;
  void SetResourcePriority(int priority) override;
  // Main texture to stage 0 (or stage 0 disabled), the combiner state on it.
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;

  const std::shared_ptr<RenderingCache>& GetChunkCache() const { return m_chunkCache; }
  const std::shared_ptr<RenderingCache>& GetMaskCache() const { return m_maskCache; }
  const std::shared_ptr<RenderingCache>& GetBlendCache() const { return m_blendCache; }

protected:
  // Loads a texture by name through the manager (a texture that is not there
  // loads as "not loaded"); null without a name.
  std::shared_ptr<Texture> LoadTexture(const ResourceDatabase* database, const PString& name) const;

private:
  std::shared_ptr<Texture> m_texture;
  std::shared_ptr<RenderingCache> m_chunkCache, m_maskCache, m_blendCache;
};

// The engine's reflective material: a reflection texture (index 9), a
// reflectivity and the combiner states of its passes.
class ReflectiveMaterial : public OneTextureMaterial {
public:
  static constexpr uint32_t kReflectionIndex = 9;

  ReflectiveMaterial(PString type, MaterialManager* manager, std::shared_ptr<RenderingCache> chunkCache = {},
                     std::shared_ptr<RenderingCache> blendCache = {},
                     std::vector<std::shared_ptr<CombinerState>> states = {});
  std::shared_ptr<Material> CreateInstance() const override;
  void InitInstance(const ReflectiveMaterial& from);
  [[nodiscard]] bool Equals(const Material& other) const override;
  int SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount) override;
  std::shared_ptr<Texture> GetTexture(uint32_t index) const override;
  int IsLoaded() const override;
  void SetResourcePriority(int priority) override;

  float GetReflectivity() const { return m_reflectivity; }
  void SetReflectivity(float value) { m_reflectivity = value; }
  const std::vector<std::shared_ptr<CombinerState>>& GetCombinerStates() const { return m_states; }
  // Texture generation for the reflection on stage 1: set when the flag bit
  // of the reflection texture's type is set (bit 1 for a cube map, else bit 0).
  void ChangeTexGen(Display& display, const GeometryChunk& chunk, bool noVertexProgram) const;
  // Sphere-map texture coordinates for the chunk, computed on the CPU.
  void SetSphericalTexureCoordinates(Display& display, GeometryChunk& chunk) const;

private:
  std::shared_ptr<Texture> m_reflection;
  float m_reflectivity = 1.0f;
  std::vector<std::shared_ptr<CombinerState>> m_states;
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
  // A texture by name in a content folder; it reports not loaded when the
  // folder lacks the file. Null for an empty name.
  virtual std::shared_ptr<Texture> LoadTexture(const ResourceDatabase* database, const PString& name);
  // Splits "owner*folder*base.m.type"; false when the key lacks a part.
  [[nodiscard]] static bool SplitDecoratedMaterialName(std::string_view key, DecoratedName& out);
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
