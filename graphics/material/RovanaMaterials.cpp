#include "graphics/material/RovanaMaterials.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <typeinfo>

#include "kiv/render/Maths.h"
#include "kiv/render/Resource.h"

namespace Kiv {

namespace {

constexpr float kGlossThreshold = 1.0f / 255.0f;  // 0.003921569

float DiffuseSum(const Light& light) { return light.diffuse[0] + light.diffuse[1] + light.diffuse[2]; }

// The light of a kind with the largest diffuse sum; the first wins on ties.
const Light* ChooseLight(const std::vector<Light>* lights, int kind) {
  if (!lights) return nullptr;
  const Light* best = nullptr;
  for (const Light& light : *lights) {
    if (light.kind == kind && (!best || DiffuseSum(light) > DiffuseSum(*best))) best = &light;
  }
  return best;
}

void Product(const float a[4], const float b[4], float out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = a[i] * b[i];
}

float Clamp01(float v) { return v > 1.0f ? 1.0f : (v >= 0.0f ? v : 0.0f); }

// World to object space: the inverse of the chunk's transform.
Matrix4 WorldToObject(const RenderArgs& args) {
  Matrix4 m;
  if (args.transform) std::memcpy(m.m, args.transform, sizeof m.m);
  if (!m.Invert()) m = Matrix4::Identity();
  return m;
}

void TransformRow(const float v[4], const Matrix4& m, float out[4]) {
  for (int j = 0; j < 4; ++j)
    out[j] = v[0] * m.m[j] + v[1] * m.m[4 + j] + v[2] * m.m[8 + j] + v[3] * m.m[12 + j];
}

void ObjectDirection(const float direction[3], const Matrix4& toObject, float out[4]) {
  const float v[4] = {direction[0], direction[1], direction[2], 0.0f};
  TransformRow(v, toObject, out);
  const float length = std::sqrt(out[0] * out[0] + out[1] * out[1] + out[2] * out[2]);
  if (length > 0.0f && std::isfinite(length)) {
    for (int i = 0; i < 3; ++i) out[i] /= length;
  }
  out[3] = 0.0f;
}

void ObjectPoint(const float point[3], const Matrix4& toObject, float out[4]) {
  const float v[4] = {point[0], point[1], point[2], 1.0f};
  TransformRow(v, toObject, out);
  out[3] = 1.0f;
}

// The camera position in object space; zero without a camera.
void CameraInObject(const RenderArgs& args, const Matrix4& toObject, float out[4]) {
  out[0] = out[1] = out[2] = out[3] = 0.0f;
  if (args.camera) ObjectPoint(args.camera->position, toObject, out);
}

// The view's rotation (transposed or not), padded to 4 x 4; the identity
// without a camera.
Matrix4 ViewRotation(const Camera* camera, bool transposed) {
  Matrix4 m;
  if (!camera) return m;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c)
      m.m[r * 4 + c] = transposed ? camera->view[c * 4 + r] : camera->view[r * 4 + c];
  }
  return m;
}

// A texture given by reference to an extra slot.
int StoreTexture(Material& material, std::shared_ptr<Texture>& slot, uint32_t index,
                 std::shared_ptr<Texture> texture, float amount) {
  if (!texture) return kMaterialNoTexture;
  texture->SetResourcePriority(material.GetResourcePriority());
  material.SetTextureDefinition(index, texture->GetName(), amount);
  slot = std::move(texture);
  return kMaterialOk;
}

// A texture loaded by name into an extra slot.
int LoadTextureInto(Material& material, std::shared_ptr<Texture>& slot, uint32_t index,
                    const ResourceDatabase* database, const PString& path, float amount) {
  std::shared_ptr<Texture> texture;
  if (material.GetManager()) {
    texture = material.GetManager()->LoadTexture(database, path);
  } else if (!path.View().empty()) {
    texture = std::make_shared<Texture>(path, database && database->ResolveName(path.View()).has_value());
  }
  if (!texture) return kMaterialNoTexture;
  texture->SetResourcePriority(material.GetResourcePriority());
  slot = std::move(texture);
  material.SetAlphaHint(-1);
  material.SetTextureDefinition(index, path, amount);
  return kMaterialOk;
}

void BindOrDisable(Display& display, const std::shared_ptr<Texture>& texture, int stage) {
  if (texture) {
    texture->BindToStage(display, stage);
  } else {
    display.DisableStage(stage);
  }
}

// The bump family's chunk: PNTA, with the streaming the hint asks for.
std::unique_ptr<GeometryChunk> MakeBumpChunk(uint32_t vertices, uint32_t triangles, uint32_t indices,
                                             uint32_t faces, uint32_t geometryType,
                                             const StandardChunkHint& given) {
  StandardChunkHint hint = given;
  bool shared = false;
  if (hint.valid) {
    hint.options &= uint8_t(~1u);
    if (hint.options & 2u) {
      hint.options |= 4u;
      shared = true;
    }
  }
  auto chunk = std::make_unique<GeometryChunkPNTA>(vertices, triangles, indices, faces, geometryType,
                                                   Material::MakeGeometryChunkFlags(geometryType, hint));
  if (hint.vertexBufferMode == 1 || (hint.vertexBufferMode != 0 && shared))
    chunk->SetVertexDataDynamic(0, -2, 1);
  if (shared) chunk->SetVertexDataShared(0, 0, 0);
  if (hint.indexBufferMode == 1) chunk->SetIndexDataDynamic();
  return chunk;
}

// What BumpGloss, BumpEnv and GlossRust add to their chunks.
void ShareUnlessInstanced(GeometryChunk& chunk) {
  if (!(chunk.GetFlags() & (1u << 12))) chunk.SetVertexDataShared(0, -3, 0);
}

void AddRustAge(GeometryChunk& chunk) {
  // A property not added has nothing to set.
  if (chunk.AddChunkProperty(RustAgeProperty())) (void)chunk.SetChunkProperty(RustAgeProperty(), 0.0f);
}

}  // namespace

const PString& RustAgeProperty() {
  static const PString name("RustAge");
  return name;
}

float ChunkRustAge(const GeometryChunk& chunk) {
  float age = 0.0f;
  if (!chunk.GetChunkProperty(RustAgeProperty(), age) || !std::isfinite(age)) return 0.0f;
  return age;
}

// ---- RovanaBumpMaterial ----

const PString& RovanaBumpMaterial::TypeWord() {
  static const PString type("tbumptex");
  return type;
}

RovanaBumpMaterial::RovanaBumpMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> blendCache,
                                       std::shared_ptr<RenderingCache> maskCache,
                                       std::shared_ptr<RenderingCache> chunkCache, ProgramSet programs,
                                       std::shared_ptr<Texture> defaultTexture)
    : RovanaBumpMaterial(TypeWord(), manager, std::move(blendCache), std::move(maskCache),
                         std::move(chunkCache), std::move(programs), std::move(defaultTexture)) {}

RovanaBumpMaterial::RovanaBumpMaterial(PString type, MaterialManager* manager,
                                       std::shared_ptr<RenderingCache> blendCache,
                                       std::shared_ptr<RenderingCache> maskCache,
                                       std::shared_ptr<RenderingCache> chunkCache, ProgramSet programs,
                                       std::shared_ptr<Texture> defaultTexture, bool hasSecond, float amount)
    : OneTextureMaterial(std::move(type), manager, std::move(chunkCache), std::move(maskCache),
                         std::move(blendCache)),
      m_bump(defaultTexture),
      m_second(hasSecond ? std::move(defaultTexture) : nullptr),
      m_hasSecond(hasSecond),
      m_amount(amount),
      m_programs(std::move(programs)) {}

std::shared_ptr<Material> RovanaBumpMaterial::CreateInstance() const {
  auto copy = std::make_shared<RovanaBumpMaterial>(GetManager(), GetBlendCache(), GetMaskCache(),
                                                   GetChunkCache(), m_programs, m_bump);
  copy->CopyBumpState(*this);
  return copy;
}

void RovanaBumpMaterial::CopyBumpState(const RovanaBumpMaterial& from) {
  InitInstance(from);
  m_bump = from.m_bump;
  m_second = from.m_second;
  m_amount = from.m_amount;
  m_programs = from.m_programs;
}

bool RovanaBumpMaterial::Equals(const Material& other) const {
  if (typeid(other) != typeid(*this)) return false;
  const auto& o = static_cast<const RovanaBumpMaterial&>(other);
  if (m_hasSecond && (m_second != o.m_second || m_amount != o.m_amount)) return false;
  return m_bump == o.m_bump && OneTextureMaterial::Equals(other);
}

void RovanaBumpMaterial::Activate(bool on) {
  if (m_bump) m_bump->Activate(on);
  OneTextureMaterial::Activate(on);
}

std::unique_ptr<GeometryChunk> RovanaBumpMaterial::CreateGeometryChunk(uint32_t vertices, uint32_t triangles,
                                                                       uint32_t indices, uint32_t faces,
                                                                       uint32_t geometryType,
                                                                       const StandardChunkHint& hint) {
  return MakeBumpChunk(vertices, triangles, indices, faces, geometryType, hint);
}

std::shared_ptr<Texture>* RovanaBumpMaterial::ExtraTexture(uint32_t index) {
  if (index == kBumpIndex) return &m_bump;
  if (index == kSecondIndex && m_hasSecond) return &m_second;
  return nullptr;
}

int RovanaBumpMaterial::SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount) {
  std::shared_ptr<Texture>* slot = ExtraTexture(index);
  if (!slot) return OneTextureMaterial::SetTexture(index, std::move(texture), amount);
  const int code = StoreTexture(*this, *slot, index, std::move(texture), amount);
  if (code == kMaterialOk && index == kSecondIndex) m_amount = amount;
  return code;
}

int RovanaBumpMaterial::SetTexture(uint32_t slot, const ResourceDatabase* database, const PString& path,
                                   float value) {
  if (std::shared_ptr<Texture>* extra = ExtraTexture(slot))
    return LoadTextureInto(*this, *extra, slot, database, path, value);
  return OneTextureMaterial::SetTexture(slot, database, path, value);
}

std::shared_ptr<Texture> RovanaBumpMaterial::GetTexture(uint32_t index) const {
  if (auto* slot = const_cast<RovanaBumpMaterial*>(this)->ExtraTexture(index)) return *slot;
  return OneTextureMaterial::GetTexture(index);
}

int RovanaBumpMaterial::DuplicateTexture(uint32_t index) {
  std::shared_ptr<Texture>* slot = ExtraTexture(index);
  if (!slot) return OneTextureMaterial::DuplicateTexture(index);
  if (!*slot) return kMaterialNoTexture;
  *slot = (*slot)->Duplicate();
  return kMaterialOk;
}

int RovanaBumpMaterial::IsLoaded() const {
  if (m_hasSecond && (!m_second || !m_second->IsLoaded())) return kMaterialNotLoaded;
  if (!m_bump || !m_bump->IsLoaded()) return kMaterialNotLoaded;
  return OneTextureMaterial::IsLoaded();
}

void RovanaBumpMaterial::SetDisplayState(Display& display) {
  BindOrDisable(display, m_bump, 1);
  OneTextureMaterial::SetDisplayState(display);
}

void RovanaBumpMaterial::ClearDisplayState(Display& display) {
  display.ResetStage(1);
  OneTextureMaterial::ClearDisplayState(display);
}

void RovanaBumpMaterial::DrawPasses(const RenderArgs& args, const ProgramSet& programs, int pixelSpecular,
                                    uint32_t spotSource, uint32_t spotDestination, uint32_t first,
                                    uint32_t count, bool parallel, bool spot) {
  Display& display = *args.display;
  const DisplayMaterial& material = GetDisplayMaterial();
  const float* matAmbient = material.colours[DisplayMaterial::kAmbient];
  const float* matDiffuse = material.colours[DisplayMaterial::kDiffuse];
  const float* matSpecular = material.colours[DisplayMaterial::kSpecular];
  const float* matEmissive = material.colours[DisplayMaterial::kEmissive];
  const Matrix4 toObject = WorldToObject(args);
  float camera[4];
  CameraInObject(args, toObject, camera);
  auto drawWith = [&](const std::shared_ptr<ProgramHandle>& vertex,
                      const std::shared_ptr<ProgramHandle>& pixel) {
    if (vertex) display.BindVertexProgram(*vertex);
    if (pixel) display.BindPixelProgram(*pixel);
    display.Draw(*args.chunk, first, count, args.indices);
    display.UnbindPrograms();
  };

  if (parallel) {
    float ambientSum[4];
    std::memcpy(ambientSum, display.GetGlobalAmbient(), sizeof ambientSum);
    if (args.lights) {
      for (const Light& light : *args.lights) {
        if (light.kind == 0 || light.kind == 3) {
          for (int i = 0; i < 3; ++i) ambientSum[i] += light.ambient[i];
        }
      }
    }
    float lightAmb[4];
    for (int i = 0; i < 3; ++i) lightAmb[i] = Clamp01(matAmbient[i] * ambientSum[i] + matEmissive[i]);
    lightAmb[3] = 1.0f;
    float direction[4] = {0, 0, 0, 0}, eye[4] = {0, 0, 0, 0};
    float lightDiff[4] = {0, 0, 0, 1}, specular[4] = {0, 0, 0, 1};
    if (const Light* light = ChooseLight(args.lights, 3)) {
      ObjectDirection(light->direction, toObject, direction);
      std::memcpy(eye, camera, sizeof eye);
      Product(light->diffuse, matDiffuse, lightDiff);
      lightDiff[3] = matDiffuse[3];
      Product(light->specular, matSpecular, specular);
      specular[3] = 0.75f;
    }
    display.SetVertexLocal(7, direction);
    display.SetVertexLocal(13, eye);
    display.SetPixelRegister(0, lightDiff);
    display.SetPixelRegister(1, lightAmb);
    display.SetPixelRegister(pixelSpecular, specular);
    PassConstants(args);
    drawWith(programs[0], programs[1]);
  }

  const Light* light = spot ? ChooseLight(args.lights, 2) : nullptr;
  if (!light) return;
  const bool savedBlend = display.GetAlphaBlendMode();
  uint32_t savedSource, savedDestination;
  display.GetAlphaBlendFunction(savedSource, savedDestination);
  const int savedFog = display.GetFogMode();
  display.SetAlphaBlendMode(true);
  display.SetAlphaBlendFunction(spotSource, spotDestination);
  display.SetFogMode(0);
  float direction[4], position[4];
  ObjectDirection(light->direction, toObject, direction);
  ObjectPoint(light->position, toObject, position);
  const float cone[4] = {light->cosAngle, light->radius > 0.0f ? 1.0f / light->radius : 0.0f, 0.0f, 0.0f};
  float lightDiff[4], specular[4];
  Product(light->diffuse, matDiffuse, lightDiff);
  lightDiff[3] = matDiffuse[3];
  Product(light->specular, matSpecular, specular);
  specular[3] = 0.75f;
  const float black[4] = {0, 0, 0, 1};
  display.SetVertexLocal(7, direction);
  display.SetVertexLocal(13, camera);
  display.SetVertexLocal(5, position);
  display.SetVertexLocal(6, cone);
  display.SetPixelRegister(0, lightDiff);
  display.SetPixelRegister(1, black);
  display.SetPixelRegister(pixelSpecular, specular);
  PassConstants(args);
  drawWith(programs[2], programs[3]);
  display.SetFogMode(savedFog);
  display.SetAlphaBlendFunction(savedSource, savedDestination);
  display.SetAlphaBlendMode(savedBlend);
}

void RovanaBumpMaterial::RenderChunk(const RenderArgs& args) { RenderPrimitives(args, 0, 0); }

void RovanaBumpMaterial::RenderPrimitives(const RenderArgs& args, uint32_t first, uint32_t count) {
  if (!args.chunk || !args.display) return;
  SetDisplayState(*args.display);
  DrawPasses(args, m_programs, 2, 4, 1, first, count, true, true);
  ClearDisplayState(*args.display);
}

void RovanaBumpMaterial::RenderNumChunks(const std::vector<RenderArgs>& chunks) {
  Display* display = nullptr;
  for (const RenderArgs& args : chunks) {
    if (args.display && args.chunk) display = args.display;
  }
  if (!display) return;
  SetDisplayState(*display);
  for (const RenderArgs& args : chunks) {
    if (args.chunk && args.display) DrawPasses(args, m_programs, 2, 4, 1, 0, 0, true, false);
  }
  for (const RenderArgs& args : chunks) {
    if (args.chunk && args.display) DrawPasses(args, m_programs, 2, 4, 1, 0, 0, false, true);
  }
  ClearDisplayState(*display);
}

// ---- RovanaBumpGlossMaterial ----

const PString& RovanaBumpGlossMaterial::TypeWord() {
  static const PString type("tbumpgloss");
  return type;
}

RovanaBumpGlossMaterial::RovanaBumpGlossMaterial(MaterialManager* manager,
                                                 std::shared_ptr<RenderingCache> blendCache,
                                                 std::shared_ptr<RenderingCache> maskCache,
                                                 std::shared_ptr<RenderingCache> chunkCache, ProgramSet gloss,
                                                 ProgramSet rust, std::shared_ptr<Texture> defaultTexture)
    : RovanaBumpMaterial(TypeWord(), manager, std::move(blendCache), std::move(maskCache),
                         std::move(chunkCache), std::move(gloss), std::move(defaultTexture), true, 1.0f),
      m_rust(std::move(rust)) {}

std::shared_ptr<Material> RovanaBumpGlossMaterial::CreateInstance() const {
  auto copy = std::make_shared<RovanaBumpGlossMaterial>(GetManager(), GetBlendCache(), GetMaskCache(),
                                                        GetChunkCache(), m_programs, m_rust, m_bump);
  copy->CopyBumpState(*this);
  return copy;
}

void RovanaBumpGlossMaterial::Activate(bool on) {
  if (m_second) m_second->Activate(on);
  RovanaBumpMaterial::Activate(on);
}

std::unique_ptr<GeometryChunk> RovanaBumpGlossMaterial::CreateGeometryChunk(uint32_t vertices,
                                                                            uint32_t triangles,
                                                                            uint32_t indices, uint32_t faces,
                                                                            uint32_t geometryType,
                                                                            const StandardChunkHint& hint) {
  auto chunk = MakeBumpChunk(vertices, triangles, indices, faces, geometryType, hint);
  ShareUnlessInstanced(*chunk);
  AddRustAge(*chunk);
  return chunk;
}

void RovanaBumpGlossMaterial::SetDisplayState(Display& display) {
  BindOrDisable(display, m_second, 3);
  RovanaBumpMaterial::SetDisplayState(display);
}

void RovanaBumpGlossMaterial::ClearDisplayState(Display& display) {
  display.ResetStage(3);
  RovanaBumpMaterial::ClearDisplayState(display);
}

void RovanaBumpGlossMaterial::Draw(const RenderArgs& args, uint32_t first, uint32_t count) {
  if (!args.chunk || !args.display) return;
  Display& display = *args.display;
  float* ambient = DisplayMaterialRef().colours[DisplayMaterial::kAmbient];
  float savedAmbient[4];
  std::memcpy(savedAmbient, ambient, sizeof savedAmbient);
  std::fill_n(ambient, 4, 1.0f);
  const float g = (1.0f - 2.0f * ChunkRustAge(*args.chunk)) * m_amount;
  SetDisplayState(display);
  if (g > kGlossThreshold) {
    const float lerp[4] = {g, g, g, g};
    display.SetPixelRegister(2, lerp);
    DrawPasses(args, m_programs, 3, 1, 1, first, count, true, true);
  } else {
    // Rusted through (or without gloss): the rust programs draw the surface,
    // so the object does not vanish.
    display.SetPixelRegister(2, kRustColour);
    DrawPasses(args, m_rust, 3, 1, 1, first, count, true, true);
  }
  ClearDisplayState(display);
  std::memcpy(ambient, savedAmbient, sizeof savedAmbient);
}

void RovanaBumpGlossMaterial::RenderChunk(const RenderArgs& args) { Draw(args, 0, 0); }

void RovanaBumpGlossMaterial::RenderNumChunks(const std::vector<RenderArgs>& chunks) {
  for (const RenderArgs& args : chunks) RenderChunk(args);
}

// The sorted blend cache draws near chunks by primitive ranges: they draw
// with the same passes, not not at all.
void RovanaBumpGlossMaterial::RenderPrimitives(const RenderArgs& args, uint32_t first, uint32_t count) {
  Draw(args, first, count);
}

// ---- RovanaBumpEnvMaterial ----

const PString& RovanaBumpEnvMaterial::TypeWord() {
  static const PString type("tbumpenv");
  return type;
}

RovanaBumpEnvMaterial::RovanaBumpEnvMaterial(MaterialManager* manager,
                                             std::shared_ptr<RenderingCache> blendCache,
                                             std::shared_ptr<RenderingCache> maskCache,
                                             std::shared_ptr<RenderingCache> chunkCache, ProgramSet programs,
                                             std::shared_ptr<Texture> defaultTexture)
    : RovanaBumpMaterial(TypeWord(), manager, std::move(blendCache), std::move(maskCache),
                         std::move(chunkCache), std::move(programs), std::move(defaultTexture), true, 0.0f) {}

std::shared_ptr<Material> RovanaBumpEnvMaterial::CreateInstance() const {
  auto copy = std::make_shared<RovanaBumpEnvMaterial>(GetManager(), GetBlendCache(), GetMaskCache(),
                                                      GetChunkCache(), m_programs, m_bump);
  copy->CopyBumpState(*this);
  std::memcpy(copy->m_axis, m_axis, sizeof m_axis);
  return copy;
}

std::unique_ptr<GeometryChunk> RovanaBumpEnvMaterial::CreateGeometryChunk(uint32_t vertices,
                                                                          uint32_t triangles,
                                                                          uint32_t indices, uint32_t faces,
                                                                          uint32_t geometryType,
                                                                          const StandardChunkHint& hint) {
  auto chunk = MakeBumpChunk(vertices, triangles, indices, faces, geometryType, hint);
  ShareUnlessInstanced(*chunk);
  return chunk;
}

void RovanaBumpEnvMaterial::SetDisplayState(Display& display) {
  RovanaBumpMaterial::SetDisplayState(display);
  // Stage 3 holds the cube reflection the environment pixel programs read.
  display.SetUpStage(3);
}

void RovanaBumpEnvMaterial::ClearDisplayState(Display& display) {
  // The stage and the matrix the passes used are given back too.
  display.ResetTextureMatrix(1);
  display.ResetStage(3);
  RovanaBumpMaterial::ClearDisplayState(display);
}

void RovanaBumpEnvMaterial::PassConstants(const RenderArgs& args) {
  if (!m_second) return;
  Matrix4 axis;
  std::memcpy(axis.m, m_axis, sizeof axis.m);
  const Matrix4 m = Matrix4::Multiply(ViewRotation(args.camera, true), axis);
  args.display->SetTextureMatrix(1, m.m);
}

// ---- RovanaMultiPFXMaterial ----

const PString& RovanaMultiPFXMaterial::TypeWord() {
  static const PString type("tmpfx");
  return type;
}

RovanaMultiPFXMaterial::RovanaMultiPFXMaterial(MaterialManager* manager,
                                               std::shared_ptr<RenderingCache> chunkCache,
                                               std::shared_ptr<RenderingCache> maskCache,
                                               std::shared_ptr<RenderingCache> blendCache,
                                               std::array<std::shared_ptr<CombinerState>, 2> states,
                                               std::shared_ptr<Display> display)
    : OneTextureMaterial(TypeWord(), manager, std::move(chunkCache), std::move(maskCache),
                         std::move(blendCache)),
      m_states(std::move(states)),
      m_display(std::move(display)) {}

std::shared_ptr<Material> RovanaMultiPFXMaterial::CreateInstance() const {
  auto copy = std::make_shared<RovanaMultiPFXMaterial>(GetManager(), GetChunkCache(), GetMaskCache(),
                                                       GetBlendCache(), m_states, m_display);
  copy->InitInstance(*this);
  copy->m_second = m_second;
  std::memcpy(copy->m_matrix, m_matrix, sizeof m_matrix);
  copy->m_vertexType = m_vertexType;
  return copy;
}

bool RovanaMultiPFXMaterial::Equals(const Material& other) const {
  if (typeid(other) != typeid(*this)) return false;
  const auto& o = static_cast<const RovanaMultiPFXMaterial&>(other);
  return m_second == o.m_second && OneTextureMaterial::Equals(other);
}

void RovanaMultiPFXMaterial::SetResourcePriority(int priority) {
  OneTextureMaterial::SetResourcePriority(priority);
  if (m_second) m_second->SetResourcePriority(priority);
}

void RovanaMultiPFXMaterial::Activate(bool on) {
  OneTextureMaterial::Activate(on);
  if (m_second) m_second->Activate(on);
}

std::unique_ptr<GeometryChunk> RovanaMultiPFXMaterial::CreateGeometryChunk(uint32_t vertices,
                                                                           uint32_t triangles,
                                                                           uint32_t indices, uint32_t faces,
                                                                           uint32_t geometryType,
                                                                           const StandardChunkHint& hint) {
  auto chunk = std::make_unique<GeometryChunkNmlPCT>(vertices, triangles, indices, faces, geometryType,
                                                     MakeGeometryChunkFlags(geometryType, hint));
  if (hint.vertexBufferMode == 1) chunk->SetVertexDataDynamic(0, -2, 1);
  chunk->SetVertexDataShared(0, 0, 0);
  if (hint.indexBufferMode == 1) chunk->SetIndexDataDynamic();
  if (!m_vertexType) {
    // Position, colour and texture set 0; texture set 1 reads set 0.
    m_vertexType = std::make_shared<VertexType>(kVertexTypeId, 1, 4);
    // The headless display records these; they cannot be refused for a new type.
    for (uint32_t item : {1u, 2u, 15u}) (void)m_vertexType->AddItem(item, 0, 0, 1);
    // The headless display records these; they cannot be refused for a new type.
    (void)m_vertexType->AddAlias(16, 15);
    if (m_display) m_display->RegisterVertexType(m_vertexType);
  }
  chunk->SetVertexType(kVertexTypeId);
  return chunk;
}

int RovanaMultiPFXMaterial::SetTexture(uint32_t index, std::shared_ptr<Texture> texture, float amount) {
  if (index != kSecondIndex) return OneTextureMaterial::SetTexture(index, std::move(texture), amount);
  return StoreTexture(*this, m_second, index, std::move(texture), amount);
}

int RovanaMultiPFXMaterial::SetTexture(uint32_t slot, const ResourceDatabase* database, const PString& path,
                                       float value) {
  if (slot != kSecondIndex) return OneTextureMaterial::SetTexture(slot, database, path, value);
  return LoadTextureInto(*this, m_second, slot, database, path, value);
}

std::shared_ptr<Texture> RovanaMultiPFXMaterial::GetTexture(uint32_t index) const {
  return index == kSecondIndex ? m_second : OneTextureMaterial::GetTexture(index);
}

int RovanaMultiPFXMaterial::DuplicateTexture(uint32_t index) {
  if (index != kSecondIndex) return OneTextureMaterial::DuplicateTexture(index);
  if (!m_second) return kMaterialNoTexture;
  m_second = m_second->Duplicate();
  return kMaterialOk;
}

int RovanaMultiPFXMaterial::IsLoaded() const {
  if (!m_second || !m_second->IsLoaded()) return kMaterialNotLoaded;
  return OneTextureMaterial::IsLoaded();
}

void RovanaMultiPFXMaterial::Bind(Display& display, int pass) {
  if (pass == 0) SetDisplayState(display);
}

void RovanaMultiPFXMaterial::Unbind(Display& display, int pass) {
  if (pass == 0) ClearDisplayState(display);
}

void RovanaMultiPFXMaterial::SetDisplayState(Display& display) {
  OneTextureMaterial::SetDisplayState(display);
  if (m_states[0] && m_states[1]) {
    display.SetCombinerState(0, *m_states[0]);
    display.SetCombinerState(1, *m_states[1]);
  }
  BindOrDisable(display, m_second, 1);
  display.SetTextureMatrix(1, m_matrix);
}

void RovanaMultiPFXMaterial::ClearDisplayState(Display& display) {
  OneTextureMaterial::ClearDisplayState(display);
  display.ResetStage(0);
  display.ResetStage(1);
  display.ResetTextureMatrix(1);
}

// ---- RovanaNoFogMaterial ----

const PString& RovanaNoFogMaterial::TypeWord() {
  static const PString type("nofogtex");
  return type;
}

RovanaNoFogMaterial::RovanaNoFogMaterial(MaterialManager* manager, std::shared_ptr<RenderingCache> chunkCache,
                                         std::shared_ptr<RenderingCache> maskCache,
                                         std::shared_ptr<RenderingCache> blendCache)
    : OneTextureMaterial(TypeWord(), manager, std::move(chunkCache), std::move(maskCache),
                         std::move(blendCache)) {}

std::shared_ptr<Material> RovanaNoFogMaterial::CreateInstance() const {
  auto copy =
      std::make_shared<RovanaNoFogMaterial>(GetManager(), GetChunkCache(), GetMaskCache(), GetBlendCache());
  copy->InitInstance(*this);
  return copy;
}

void RovanaNoFogMaterial::SetDisplayState(Display& display) {
  m_savedFog = display.GetFogMode();
  display.SetFogMode(0);
  display.SetCullMode((GetFlags() & 1u) ? 0 : 1);
  BindOrDisable(display, GetTexture(0), 0);
  if (!(GetFlags() & 2u)) {
    m_savedBlend = display.GetAlphaBlendMode();
    display.GetAlphaBlendFunction(m_savedSource, m_savedDestination);
    display.SetAlphaBlendFunction(GetBlendSource(), GetBlendDestination());
    display.SetAlphaBlendMode(true);
  }
  if (GetCombinerState()) display.SetCombinerState(0, *GetCombinerState());
}

void RovanaNoFogMaterial::ClearDisplayState(Display& display) {
  display.SetFogMode(m_savedFog);
  display.SetCullMode(1);
  if (!(GetFlags() & 2u)) {
    display.SetAlphaBlendMode(m_savedBlend);
    display.SetAlphaBlendFunction(m_savedSource, m_savedDestination);
  }
  // The texture bound to stage 0 is given back whether or not a combiner
  // state was set with it.
  display.ResetStage(0);
}

// ---- RovanaGroundBaseMaterial and RovanaOneTexNoAlphaMaterial ----

const PString& RovanaGroundBaseMaterial::TypeWord() {
  static const PString type("groundbase");
  return type;
}

RovanaGroundBaseMaterial::RovanaGroundBaseMaterial(MaterialManager* manager,
                                                   std::shared_ptr<RenderingCache> chunkCache,
                                                   std::shared_ptr<RenderingCache> maskCache,
                                                   std::shared_ptr<RenderingCache> blendCache)
    : RovanaGroundBaseMaterial(TypeWord(), manager, std::move(chunkCache), std::move(maskCache),
                               std::move(blendCache)) {}

RovanaGroundBaseMaterial::RovanaGroundBaseMaterial(PString type, MaterialManager* manager,
                                                   std::shared_ptr<RenderingCache> chunkCache,
                                                   std::shared_ptr<RenderingCache> maskCache,
                                                   std::shared_ptr<RenderingCache> blendCache)
    : OneTextureMaterial(std::move(type), manager, std::move(chunkCache), std::move(maskCache),
                         std::move(blendCache)) {}

void RovanaGroundBaseMaterial::CopyGroundState(const RovanaGroundBaseMaterial& from) {
  InitInstance(from);
  depthWrite = from.depthWrite;
  alphaTest = from.alphaTest;
}

std::shared_ptr<Material> RovanaGroundBaseMaterial::CreateInstance() const {
  auto copy = std::make_shared<RovanaGroundBaseMaterial>(GetManager(), GetChunkCache(), GetMaskCache(),
                                                         GetBlendCache());
  copy->CopyGroundState(*this);
  return copy;
}

bool RovanaGroundBaseMaterial::Equals(const Material& other) const {
  if (typeid(other) != typeid(*this)) return false;
  const auto& o = static_cast<const RovanaGroundBaseMaterial&>(other);
  return depthWrite == o.depthWrite && alphaTest == o.alphaTest && OneTextureMaterial::Equals(other);
}

void RovanaGroundBaseMaterial::Bind(Display& display, int pass) {
  if (pass == 0) SetDisplayState(display);
}

void RovanaGroundBaseMaterial::Unbind(Display& display, int pass) {
  if (pass == 0) ClearDisplayState(display);
}

void RovanaGroundBaseMaterial::SetDisplayState(Display& display) {
  OneTextureMaterial::SetDisplayState(display);
  m_savedAlphaTest = display.GetAlphaTestMode();
  display.SetAlphaTestMode(alphaTest);
  display.SetDepthWriteMode(depthWrite);
}

void RovanaGroundBaseMaterial::ClearDisplayState(Display& display) {
  OneTextureMaterial::ClearDisplayState(display);
  display.SetAlphaTestMode(m_savedAlphaTest);
  display.SetDepthWriteMode(true);
}

const PString& RovanaOneTexNoAlphaMaterial::TypeWord() {
  static const PString type("tonetexnoalpha");
  return type;
}

RovanaOneTexNoAlphaMaterial::RovanaOneTexNoAlphaMaterial(MaterialManager* manager,
                                                         std::shared_ptr<RenderingCache> chunkCache,
                                                         std::shared_ptr<RenderingCache> maskCache,
                                                         std::shared_ptr<RenderingCache> blendCache,
                                                         std::shared_ptr<CombinerState> state,
                                                         std::shared_ptr<Display> display)
    : RovanaGroundBaseMaterial(TypeWord(), manager, std::move(chunkCache), std::move(maskCache),
                               std::move(blendCache)),
      m_display(std::move(display)) {
  SetCombinerState(std::move(state));
}

std::shared_ptr<Material> RovanaOneTexNoAlphaMaterial::CreateInstance() const {
  auto copy = std::make_shared<RovanaOneTexNoAlphaMaterial>(GetManager(), GetChunkCache(), GetMaskCache(),
                                                            GetBlendCache(), GetCombinerState(), m_display);
  copy->CopyGroundState(*this);
  return copy;
}

std::unique_ptr<GeometryChunk> RovanaOneTexNoAlphaMaterial::CreateGeometryChunk(
    uint32_t vertices, uint32_t triangles, uint32_t indices, uint32_t faces, uint32_t geometryType,
    const StandardChunkHint& given) {
  StandardChunkHint hint = given;
  const bool withNormals = hint.options & 1u;
  const bool shared = hint.options & 2u;
  if (shared && !(hint.options & 4u) && m_display && m_display->IsHardware()) hint.options |= 4u;
  const uint32_t flags = MakeGeometryChunkFlags(geometryType, hint);
  std::unique_ptr<GeometryChunk> chunk;
  if (withNormals) {
    chunk = std::make_unique<GeometryChunkNmlPCT>(vertices, triangles, indices, faces, geometryType, flags);
  } else {
    chunk = std::make_unique<GeometryChunkPNT>(vertices, triangles, indices, faces, geometryType, flags);
  }
  if (hint.vertexBufferMode == 1 || (hint.vertexBufferMode == 2 && shared))
    chunk->SetVertexDataDynamic(0, -2, 1);
  if (shared || withNormals) chunk->SetVertexDataShared(0, 0, 0);
  if (hint.indexBufferMode == 1) chunk->SetIndexDataDynamic();
  return chunk;
}

void RovanaOneTexNoAlphaMaterial::SetDisplayState(Display& display) {
  RovanaGroundBaseMaterial::SetDisplayState(display);
  display.SetColorMaterialMode(5);
}

void RovanaOneTexNoAlphaMaterial::ClearDisplayState(Display& display) {
  RovanaGroundBaseMaterial::ClearDisplayState(display);
  display.SetColorMaterialMode(0);
}

// ---- RovanaGlossRustMaterial ----

const PString& RovanaGlossRustMaterial::TypeWord() {
  static const PString type("tglossrust");
  return type;
}

RovanaGlossRustMaterial::RovanaGlossRustMaterial(MaterialManager* manager,
                                                 std::shared_ptr<RenderingCache> chunkCache,
                                                 std::shared_ptr<RenderingCache> blendCache,
                                                 std::vector<std::shared_ptr<CombinerState>> states)
    : ReflectiveMaterial(TypeWord(), manager, std::move(chunkCache), std::move(blendCache),
                         std::move(states)) {}

std::shared_ptr<Material> RovanaGlossRustMaterial::CreateInstance() const {
  auto copy = std::make_shared<RovanaGlossRustMaterial>(GetManager(), GetChunkCache(), GetBlendCache(),
                                                        GetCombinerStates());
  copy->InitInstance(*this);
  return copy;
}

std::unique_ptr<GeometryChunk> RovanaGlossRustMaterial::CreateGeometryChunk(uint32_t vertices,
                                                                            uint32_t triangles,
                                                                            uint32_t indices, uint32_t faces,
                                                                            uint32_t geometryType,
                                                                            const StandardChunkHint& hint) {
  auto chunk =
      ReflectiveMaterial::CreateGeometryChunk(vertices, triangles, indices, faces, geometryType, hint);
  if (!chunk) return chunk;
  ShareUnlessInstanced(*chunk);
  AddRustAge(*chunk);
  return chunk;
}

void RovanaGlossRustMaterial::ClearDisplayState(Display& display) {
  ReflectiveMaterial::ClearDisplayState(display);
  display.ResetStage(1);
  display.ResetStage(0);
}

void RovanaGlossRustMaterial::RenderChunk(const RenderArgs& args) { RenderPrimitives(args, 0, 0); }

void RovanaGlossRustMaterial::RenderPrimitives(const RenderArgs& args, uint32_t first, uint32_t count) {
  const std::shared_ptr<Texture> reflection = GetTexture(kReflectionIndex);
  if (!args.chunk || !args.display || !reflection) return;
  Display& display = *args.display;
  DisplayMaterial& colours = DisplayMaterialRef();
  float* ambient = colours.colours[DisplayMaterial::kAmbient];
  float* specular = colours.colours[DisplayMaterial::kSpecular];
  float savedAmbient[4], savedSpecular[4];
  std::memcpy(savedAmbient, ambient, sizeof savedAmbient);
  std::memcpy(savedSpecular, specular, sizeof savedSpecular);
  std::fill_n(ambient, 4, 1.0f);
  const float rust = ChunkRustAge(*args.chunk);
  if (rust > 0.5f) {
    for (int i = 0; i < 4; ++i) specular[i] *= 1.0f - (rust - 0.5f);
  }

  const auto& states = GetCombinerStates();
  ReflectiveMaterial::SetDisplayState(display);
  if (!states.empty()) reflection->BindToStage(display, 1);
  SetLightingState(display, args.camera ? args.camera->view : nullptr, nullptr, args.lights,
                   GetOpacity() * args.chunk->GetOpacity());

  const float f = GetReflectivity() * (1.0f - 2.0f * rust);
  if (!(f > kGlossThreshold)) {
    // The rust pass: one lit pass, no reflection.
    if (states.size() == 4 && states[2] && states[3]) {
      display.SetCombinerState(0, *states[2]);
      display.SetCombinerState(1, *states[3]);
    }
    float lit[4];
    const float* global = display.GetGlobalAmbient();
    for (int i = 0; i < 3; ++i) {
      float sum = global[i];
      if (args.lights) {
        for (const Light& light : *args.lights) sum += light.ambient[i];
      }
      lit[i] = Clamp01(sum) * colours.colours[DisplayMaterial::kDiffuse][i];
    }
    lit[3] = std::max(0.0f, 2.0f * rust - 1.0f);
    display.SetStageConstant(lit);
    display.Draw(*args.chunk, first, count, args.indices);
  } else {
    ChangeTexGen(display, *args.chunk, true);
    if (states.size() > 1 && states[0] && states[1]) {
      display.SetCombinerState(0, *states[0]);
      display.SetCombinerState(1, *states[1]);
    }
    const float constant[4] = {f, f, f, f};
    display.SetStageConstant(constant);
    const bool cube = reflection->GetType() == 1;
    if ((GetFlags() & 1u) || cube) {
      if (args.camera && (GetFlags() & 2u) && reflection->IsLoaded() && cube) {
        display.SetTextureMatrix(1, ViewRotation(args.camera, false).m);
      }
    } else {
      SetSphericalTexureCoordinates(display, *args.chunk);
    }
    display.Draw(*args.chunk, first, count, args.indices);
    if (GetFlags() & (cube ? 2u : 1u)) display.SetTextureCoordGen(1, 0, 2);
    display.ResetTextureMatrix(1);
  }
  ClearDisplayState(display);
  std::memcpy(ambient, savedAmbient, sizeof savedAmbient);
  std::memcpy(specular, savedSpecular, sizeof savedSpecular);
}

}  // namespace Kiv
