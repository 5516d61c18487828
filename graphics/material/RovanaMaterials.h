#pragma once
// The program's own material classes. Each adds a texture slot (bump map 8,
// gloss or environment map 9, second texture 12) or display states to the
// engine's one-texture and reflective materials, and the bump family draws
// with the vertex and pixel programs of RovanaProgramTexts.h.
#include <array>
#include <memory>
#include <vector>

#include "kiv/render/Material.h"
#include "kiv/render/RenderKernel.h"

namespace Kiv {

// The chunk property that ages a gloss material into rust (0 new, 1 rusted).
const PString& RustAgeProperty();
// A chunk's "RustAge": 0 when absent or not a finite number.
float ChunkRustAge(const GeometryChunk& chunk);

using ProgramSet =
    std::array<std::shared_ptr<ProgramHandle>, 4>;  // parallel vtx, parallel pix, spot vtx, spot pix

class RovanaBumpMaterial : public OneTextureMaterial {
public:
  static constexpr uint32_t kBumpIndex = 8;
  // The gloss or environment texture of the two materials that have one.
  static constexpr uint32_t kSecondIndex = 9;
  static const PString& TypeWord();

  // The bump map starts as the shared default texture (may be null).
  RovanaBumpMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> blendCache,
                     std::shared_ptr<RenderingCache> maskCache, std::shared_ptr<RenderingCache> chunkCache,
                     ProgramSet programs, std::shared_ptr<Texture> defaultTexture);
  std::shared_ptr<Material> CreateInstance() const override;
  [[nodiscard]] bool Equals(const Material& other) const override;
  void Activate(bool on) override;
  std::unique_ptr<GeometryChunk> CreateGeometryChunk(uint32_t vertices, uint32_t triangles, uint32_t indices,
                                                     uint32_t faces, uint32_t geometryType,
                                                     const StandardChunkHint& hint) override;
  using OneTextureMaterial::SetTexture;
  int SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount) override;
  int SetTexture(uint32_t slot, const ResourceDatabase* database, const PString& path, float value) override;
  std::shared_ptr<Texture> GetTexture(uint32_t index) const override;
  int DuplicateTexture(uint32_t index) override;
  int IsLoaded() const override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  void RenderChunk(const RenderArgs& args) override;
  void RenderNumChunks(const std::vector<RenderArgs>& chunks) override;
  void RenderPrimitives(const RenderArgs& args, uint32_t first, uint32_t count) override;

  const ProgramSet& Programs() const { return m_programs; }
  // The amount given with the second texture.
  float GetAmount() const { return m_amount; }

protected:
  // With `hasSecond` the material also has the texture of index 9 (starting
  // as the default texture) and its amount.
  RovanaBumpMaterial(PString type, MaterialManager* manager, std::shared_ptr<RenderingCache> blendCache,
                     std::shared_ptr<RenderingCache> maskCache, std::shared_ptr<RenderingCache> chunkCache,
                     ProgramSet programs, std::shared_ptr<Texture> defaultTexture, bool hasSecond = false,
                     float amount = 0.0f);
  void CopyBumpState(const RovanaBumpMaterial& from);
  std::shared_ptr<Texture>* ExtraTexture(uint32_t index);
  // Draws one chunk (a range when count is non-zero): the parallel pass and,
  // with a spot light, the additive spot pass. `pixelSpecular` is the pixel
  // register of the specular colour; `spotBlend` the spot pass's source and
  // destination factors.
  void DrawPasses(const RenderArgs& args, const ProgramSet& programs, int pixelSpecular, uint32_t spotSource,
                  uint32_t spotDestination, uint32_t first, uint32_t count, bool parallel, bool spot);
  // Work each pass's constants also do (the environment matrix).
  virtual void PassConstants(const RenderArgs& args) { (void)args; }
  std::shared_ptr<Texture> m_bump;
  std::shared_ptr<Texture> m_second;
  bool m_hasSecond;
  float m_amount;
  ProgramSet m_programs;
};

class RovanaBumpGlossMaterial : public RovanaBumpMaterial {
public:
  static constexpr uint32_t kGlossIndex = kSecondIndex;
  static const PString& TypeWord();
  // The colour the rust pixel program blends toward, as its text declares.
  static constexpr float kRustColour[4] = {0.0f, 0.0f, 1.0f, 1.0f};

  RovanaBumpGlossMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> blendCache,
                          std::shared_ptr<RenderingCache> maskCache,
                          std::shared_ptr<RenderingCache> chunkCache, ProgramSet gloss, ProgramSet rust,
                          std::shared_ptr<Texture> defaultTexture);
  std::shared_ptr<Material> CreateInstance() const override;
  void Activate(bool on) override;
  std::unique_ptr<GeometryChunk> CreateGeometryChunk(uint32_t vertices, uint32_t triangles, uint32_t indices,
                                                     uint32_t faces, uint32_t geometryType,
                                                     const StandardChunkHint& hint) override;
  void CacheAlphaHint() override { SetAlphaHint(0); }
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  void RenderChunk(const RenderArgs& args) override;
  void RenderNumChunks(const std::vector<RenderArgs>& chunks) override;
  void RenderPrimitives(const RenderArgs& args, uint32_t first, uint32_t count) override;

  const ProgramSet& RustPrograms() const { return m_rust; }

private:
  void Draw(const RenderArgs& args, uint32_t first, uint32_t count);
  ProgramSet m_rust;
};

class RovanaBumpEnvMaterial : public RovanaBumpMaterial {
public:
  static constexpr uint32_t kEnvironmentIndex = kSecondIndex;
  static const PString& TypeWord();

  RovanaBumpEnvMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> blendCache,
                        std::shared_ptr<RenderingCache> maskCache, std::shared_ptr<RenderingCache> chunkCache,
                        ProgramSet programs, std::shared_ptr<Texture> defaultTexture);
  std::shared_ptr<Material> CreateInstance() const override;
  std::unique_ptr<GeometryChunk> CreateGeometryChunk(uint32_t vertices, uint32_t triangles, uint32_t indices,
                                                     uint32_t faces, uint32_t geometryType,
                                                     const StandardChunkHint& hint) override;
  void CacheAlphaHint() override { SetAlphaHint(0); }
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;
  // Each chunk through RenderChunk in turn.
  void RenderNumChunks(const std::vector<RenderArgs>& chunks) override { Material::RenderNumChunks(chunks); }

  const float* GetAxisMatrix() const { return m_axis; }

protected:
  void PassConstants(const RenderArgs& args) override;

private:
  float m_axis[16] = {1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1};
};

class RovanaMultiPFXMaterial : public OneTextureMaterial {
public:
  static constexpr uint32_t kSecondIndex = 12;
  static constexpr uint32_t kVertexTypeId = 99;
  static const PString& TypeWord();

  RovanaMultiPFXMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> chunkCache,
                         std::shared_ptr<RenderingCache> maskCache,
                         std::shared_ptr<RenderingCache> blendCache,
                         std::array<std::shared_ptr<CombinerState>, 2> states,
                         std::shared_ptr<Display> display);
  std::shared_ptr<Material> CreateInstance() const override;
  [[nodiscard]] bool Equals(const Material& other) const override;
  void SetResourcePriority(int priority) override;
  void Activate(bool on) override;
  std::unique_ptr<GeometryChunk> CreateGeometryChunk(uint32_t vertices, uint32_t triangles, uint32_t indices,
                                                     uint32_t faces, uint32_t geometryType,
                                                     const StandardChunkHint& hint) override;
  using OneTextureMaterial::SetTexture;
  int SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount) override;
  int SetTexture(uint32_t slot, const ResourceDatabase* database, const PString& path, float value) override;
  std::shared_ptr<Texture> GetTexture(uint32_t index) const override;
  int DuplicateTexture(uint32_t index) override;
  int IsLoaded() const override;
  void Bind(Display& display, int pass) override;
  void Unbind(Display& display, int pass) override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;

private:
  std::shared_ptr<Texture> m_second;
  std::array<std::shared_ptr<CombinerState>, 2> m_states;
  float m_matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  std::shared_ptr<Display> m_display;
  std::shared_ptr<VertexType> m_vertexType;
};

class RovanaNoFogMaterial : public OneTextureMaterial {
public:
  static const PString& TypeWord();
  RovanaNoFogMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> chunkCache,
                      std::shared_ptr<RenderingCache> maskCache, std::shared_ptr<RenderingCache> blendCache);
  std::shared_ptr<Material> CreateInstance() const override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;

private:
  int m_savedFog = 0;
  bool m_savedBlend = false;
  uint32_t m_savedSource = 1, m_savedDestination = 0;
};

class RovanaGroundBaseMaterial : public OneTextureMaterial {
public:
  static const PString& TypeWord();
  RovanaGroundBaseMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> chunkCache = {},
                           std::shared_ptr<RenderingCache> maskCache = {},
                           std::shared_ptr<RenderingCache> blendCache = {});
  std::shared_ptr<Material> CreateInstance() const override;
  [[nodiscard]] bool Equals(const Material& other) const override;
  void Bind(Display& display, int pass) override;
  void Unbind(Display& display, int pass) override;
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;

  bool depthWrite = true;
  bool alphaTest = false;

protected:
  RovanaGroundBaseMaterial(PString type, MaterialManager* manager, std::shared_ptr<RenderingCache> chunkCache,
                           std::shared_ptr<RenderingCache> maskCache,
                           std::shared_ptr<RenderingCache> blendCache);
  void CopyGroundState(const RovanaGroundBaseMaterial& from);

private:
  bool m_savedAlphaTest = true;
};

class RovanaOneTexNoAlphaMaterial : public RovanaGroundBaseMaterial {
public:
  static const PString& TypeWord();
  RovanaOneTexNoAlphaMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> chunkCache,
                              std::shared_ptr<RenderingCache> maskCache,
                              std::shared_ptr<RenderingCache> blendCache,
                              std::shared_ptr<CombinerState> state, std::shared_ptr<Display> display);
  std::shared_ptr<Material> CreateInstance() const override;
  std::unique_ptr<GeometryChunk> CreateGeometryChunk(uint32_t vertices, uint32_t triangles, uint32_t indices,
                                                     uint32_t faces, uint32_t geometryType,
                                                     const StandardChunkHint& hint) override;
  void CacheAlphaHint() override { SetAlphaHint(0); }
  void SetDisplayState(Display& display) override;
  void ClearDisplayState(Display& display) override;

private:
  std::shared_ptr<Display> m_display;
};

class RovanaGlossRustMaterial : public ReflectiveMaterial {
public:
  static const PString& TypeWord();
  RovanaGlossRustMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> chunkCache,
                          std::shared_ptr<RenderingCache> blendCache,
                          std::vector<std::shared_ptr<CombinerState>> states);
  std::shared_ptr<Material> CreateInstance() const override;
  std::unique_ptr<GeometryChunk> CreateGeometryChunk(uint32_t vertices, uint32_t triangles, uint32_t indices,
                                                     uint32_t faces, uint32_t geometryType,
                                                     const StandardChunkHint& hint) override;
  void ClearDisplayState(Display& display) override;
  void RenderChunk(const RenderArgs& args) override;
  void RenderPrimitives(const RenderArgs& args, uint32_t first, uint32_t count) override;
};

}  // namespace Kiv
