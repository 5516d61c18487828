#include "graphics/material/RovanaMaterialPlugins.h"

#include <cstring>
#include <new>

#include "graphics/material/RovanaProgramTexts.h"
#include "graphics/mesh/RovanaGeometryResource.h"
#include "graphics/texture/CompressAsciiResource.h"
#include "foundation/Log.h"

namespace Kiv {

namespace {

constexpr TexArg kUnused{0, 3, 3};

constexpr TextureArgs Args(uint32_t stage, uint32_t second, uint32_t mode, uint32_t function, TexArg a,
                           TexArg b, TexArg c = kUnused, TexArg d = kUnused) {
  return TextureArgs{stage, second, mode, function, {a, b, c, d}};
}

}  // namespace

const CombinerArgs kGlossRustReflective[2] = {
    {Args(0, 2, 0, 1, {0, 0, 0}, {0, 0, 2}), Args(0, 1, 1, 0, {0, 1, 0}, kUnused)},
    {Args(1, 1, 0, 7, {0, 0, 2}, {0, 0, 0}, {0, 0, 3}), Args(1, 1, 1, 0, {0, 1, 1}, kUnused)},
};
const CombinerArgs kGlossRustRust[2] = {
    {Args(0, 2, 0, 1, {0, 0, 0}, {0, 0, 2}), Args(0, 1, 1, 1, {1, 1, 2}, {0, 1, 3})},
    {Args(1, 1, 0, 7, {0, 0, 3}, {0, 0, 0}, {0, 1, 0}), Args(1, 1, 1, 0, {0, 1, 1}, kUnused)},
};
const CombinerArgs kMultiPFX[2] = {
    {Args(0, 2, 0, 1, {0, 0, 2}, {0, 0, 0}), Args(0, 1, 1, 1, {0, 1, 2}, {0, 1, 0})},
    {Args(1, 1, 0, 0, {0, 0, 0}, kUnused), Args(1, 1, 1, 1, {0, 1, 0}, {0, 1, 2})},
};

const std::array<RovanaMaterialType, 8>& RovanaMaterialTypes() {
  static const std::array<RovanaMaterialType, 8> types = {{
      {"tbumptex", "E34011F3-C721-48ba-B3C0-19621E408CBD", "m.tbumptex"},
      {"tbumpgloss", "F7478888-C721-48AB-B3C0-19621E66554E", "m.tbumpgloss"},
      {"tbumpenv", "0ECEE41C-76E7-47fd-ADBB-0E938E809C03", "m.tbumpenv"},
      {"tmpfx", "643AFE90-426A-46EE-C19F-FFA0A471ABD7", "m.tmpfx"},
      {"tonetexnoalpha", "4BB6C98F-6FDF-4cb9-9CE2-7E40B2A78626", "m.tonetexnoalpha"},
      {"tglossrust", "AFCA4E1B-811A-56EE-89E4-CAB13F9B6712", "m.tglossrust"},
      {"nofogtex", "AB84944B-00A6-4a18-8BAF-4664E98075AA", "m.nofogtex"},
      {"groundbase", "C271BEBB-D17E-4ebe-9582-D531F1E23727", "m.groundbase"},
  }};
  return types;
}

UId RovanaMaterialUId(const char* typeWord) {
  for (const RovanaMaterialType& type : RovanaMaterialTypes()) {
    if (std::strcmp(type.typeWord, typeWord) == 0) return UId(type.uid);
  }
  return UId();
}

const std::vector<RovanaResourceTypeEntry>& RovanaResourceTypes() {
  static const std::vector<RovanaResourceTypeEntry> types = {
      {"im", "B9E68EA1-56A3-4a6d-9D5D-C5C020F944E6"},
      {"pm", "2E8739F0-412F-48c2-9F71-912B659C58B6"},
      {"lm.txt", "8FCC40D7-8BDD-4d14-B528-65692F5DF710"},
      {"lm", "8FCC40D7-8BDD-4d14-B528-65692F5DF710"},
      {"convert-tex.txt", "A6805E60-4C54-1278-1111-00010251467D"},
  };
  return types;
}

// ---- the bump family ----

RovanaBumpPluginBase::RovanaBumpPluginBase(const char* typeWord, const char* fallback,
                                           std::vector<const char*> pixelTexts, std::vector<Lookup> lookups)
    : MaterialPlugin(PString(typeWord), RovanaMaterialUId(typeWord)),
      m_programs(lookups.size() * 2),
      m_fallback(fallback),
      m_pixelTexts(std::move(pixelTexts)),
      m_lookups(std::move(lookups)) {}

RovanaBumpPluginBase::~RovanaBumpPluginBase() {
  m_blend.reset();
  m_chunk.reset();
  m_mask.reset();
  ReleasePrograms();
}

bool RovanaBumpPluginBase::IsSupported(const Display* display, PString& fallback) const {
  if (display && display->HasCapability(21) && display->HasCapability(17)) return true;
  fallback = m_fallback;
  return false;
}

bool RovanaBumpPluginBase::AcquireCaches(RenderKernel* kernel) {
  if (!kernel) return false;
  RenderingCacheManager& caches = kernel->GetCacheManager();
  AcquireCache<AlphaBlendCache>(caches, AlphaBlendCache::AlphaBlendCacheID, m_blend);
  AcquireCache<AlphaMaskCache>(caches, AlphaMaskCache::AlphaMaskCacheID, m_mask);
  AcquireCache<MaterialChunkCache>(caches, MaterialChunkCache::MaterialChunkCacheID, m_chunk);
  return true;
}

void RovanaBumpPluginBase::ReleasePrograms() {
  for (auto& handle : m_programs) handle.reset();
}

bool RovanaBumpPluginBase::AcquirePrograms(RenderKernel* kernel) {
  if (m_programs[0] && m_programs[1] && m_programs[2] && m_programs[3]) return true;
  Display* display = kernel ? kernel->GetDisplay() : nullptr;
  VertexProgramManager* vertex = display ? display->GetVertexProgramManager() : nullptr;
  TextureCombinerManager* pixel = display ? display->GetTextureCombinerManager() : nullptr;
  bool ok = vertex && pixel && vertex->RegisterBuiltInPrograms(kBumpVertexSetName, BumpVertexProgramText());
  for (size_t i = 0; ok && i < m_pixelTexts.size(); ++i) {
    ok = pixel->RegisterBuiltInPrograms(m_pixelTexts[i], BumpPixelProgramText(m_pixelTexts[i]));
  }
  for (size_t i = 0; ok && i < m_lookups.size(); ++i) {
    ok = vertex->Lookup(kBumpVertexSetName, m_lookups[i].vertex, RovanaMultiPFXMaterial::kVertexTypeId,
                        m_programs[2 * i]) == 0 &&
         pixel->Lookup(m_lookups[i].pixel, m_programs[2 * i + 1]) == 0;
  }
  if (!ok) {
    LogLine("%s> unable to set up the programs", GetTypeWord().c_str());
    ReleasePrograms();
  }
  return ok;
}

ProgramSet RovanaBumpPluginBase::Set(size_t first) const {
  return {m_programs[first], m_programs[first + 1], m_programs[first + 2], m_programs[first + 3]};
}

RovanaBumpMaterialPlugin::RovanaBumpMaterialPlugin()
    : RovanaBumpPluginBase("tbumptex", "onetex", {"RovanaBumpMat_ParallelLight"},
                           {{"RovanaBump_ParallelLight", "RovanaBumpMat_ParallelLight"},
                            {"RovanaBump_SpotLight", "RovanaBumpMat_ParallelLight"}}) {}

std::shared_ptr<Material> RovanaBumpMaterialPlugin::CreateMaterial(MaterialManager* manager,
                                                                   RenderKernel* kernel) {
  if (!AcquireCaches(kernel) || !AcquirePrograms(kernel)) return nullptr;
  auto material = std::make_shared<RovanaBumpMaterial>(manager, m_blend, m_mask, m_chunk, Set(0),
                                                       kernel->GetSharedTextures().GetTexture(0));
  material->Assign(this);
  return material;
}

RovanaBumpGlossMaterialPlugin::RovanaBumpGlossMaterialPlugin()
    : RovanaBumpPluginBase("tbumpgloss", "tglossrust",
                           {"RovanaBumpGlossMat_ParallelLight", "RovanaBumpGlossMat_SpotLight",
                            "RovanaBumpRustMat_ParallelLight"},
                           {{"RovanaBumpGloss_ParallelLight", "RovanaBumpGlossMat_ParallelLight"},
                            {"RovanaBumpGloss_SpotLight", "RovanaBumpGlossMat_SpotLight"},
                            {"RovanaBump_ParallelLight", "RovanaBumpRustMat_ParallelLight"},
                            {"RovanaBump_SpotLight", "RovanaBumpRustMat_ParallelLight"}}) {}

std::shared_ptr<Material> RovanaBumpGlossMaterialPlugin::CreateMaterial(MaterialManager* manager,
                                                                        RenderKernel* kernel) {
  if (!AcquireCaches(kernel) || !AcquirePrograms(kernel)) return nullptr;
  auto material = std::make_shared<RovanaBumpGlossMaterial>(manager, m_blend, m_mask, m_chunk, Set(0), Set(4),
                                                            kernel->GetSharedTextures().GetTexture(0));
  material->Assign(this);
  return material;
}

RovanaBumpEnvMaterialPlugin::RovanaBumpEnvMaterialPlugin()
    : RovanaBumpPluginBase("tbumpenv", "tonetexnoalpha",
                           {"RovanaBumpEnvMat_ParallelLight", "RovanaBumpEnvMat_SpotLight"},
                           {{"RovanaBumpEnv_ParallelLight", "RovanaBumpEnvMat_ParallelLight"},
                            {"RovanaBumpEnv_SpotLight", "RovanaBumpEnvMat_SpotLight"}}) {}

std::shared_ptr<Material> RovanaBumpEnvMaterialPlugin::CreateMaterial(MaterialManager* manager,
                                                                      RenderKernel* kernel) {
  if (!AcquireCaches(kernel) || !AcquirePrograms(kernel)) return nullptr;
  auto material = std::make_shared<RovanaBumpEnvMaterial>(manager, m_blend, m_mask, m_chunk, Set(0),
                                                          kernel->GetSharedTextures().GetTexture(0));
  material->Assign(this);
  return material;
}

// ---- MultiPFX ----

RovanaMultiPFXMaterialPlugin::RovanaMultiPFXMaterialPlugin()
    : MaterialPlugin(PString("tmpfx"), RovanaMaterialUId("tmpfx")) {}

RovanaMultiPFXMaterialPlugin::~RovanaMultiPFXMaterialPlugin() {
  m_chunk.reset();
  m_mask.reset();
  m_blend.reset();
  if (m_display) {
    for (auto& state : m_states) m_display->ReleaseCombinerState(state);
  }
}

bool RovanaMultiPFXMaterialPlugin::IsSupported(const Display* display, PString& fallback) const {
  if (display && display->GetTextureStageCount() >= 2) return true;
  fallback = OneTextureMaterial::UNDECORATED_TYPE();
  return false;
}

std::shared_ptr<Material> RovanaMultiPFXMaterialPlugin::CreateMaterial(MaterialManager* manager,
                                                                       RenderKernel* kernel) {
  if (!kernel || !kernel->GetDisplay()) return nullptr;
  RenderingCacheManager& caches = kernel->GetCacheManager();
  AcquireCache<MaterialChunkCache>(caches, MaterialChunkCache::MaterialChunkCacheID, m_chunk);
  AcquireCache<AlphaMaskCache>(caches, AlphaMaskCache::AlphaMaskCacheID, m_mask);
  AcquireCache<AlphaBlendCache>(caches, AlphaBlendCache::AlphaBlendCacheID, m_blend);
  if (m_display != kernel->GetDisplayShared()) {
    if (m_display) {
      for (auto& state : m_states) m_display->ReleaseCombinerState(state);
    }
    m_display = kernel->GetDisplayShared();
  }
  if (!m_states[0] || !m_states[1]) {
    m_states[0] = m_display->CreateCombinerState(0, kMultiPFX[0].colour, kMultiPFX[0].alpha);
    if (m_states[0]) m_states[1] = m_display->CreateCombinerState(1, kMultiPFX[1].colour, kMultiPFX[1].alpha);
    if (!m_states[1]) {
      m_display->ReleaseCombinerState(m_states[0]);
      return nullptr;
    }
  }
  auto material =
      std::make_shared<RovanaMultiPFXMaterial>(manager, m_chunk, m_mask, m_blend, m_states, m_display);
  material->Assign(this);
  return material;
}

// ---- GlossRust ----

RovanaGlossRustMaterialPlugin::RovanaGlossRustMaterialPlugin()
    : OneTextureMaterialPlugin(PString("tglossrust"), RovanaMaterialUId("tglossrust")) {}

RovanaGlossRustMaterialPlugin::~RovanaGlossRustMaterialPlugin() {
  m_chunkCache.reset();
  m_maskCache.reset();
  m_blendCache.reset();
  ReleaseStates();
}

void RovanaGlossRustMaterialPlugin::ReleaseStates() {
  if (m_display) {
    for (auto& state : m_states) m_display->ReleaseCombinerState(state);
  }
  m_count = 0;
}

bool RovanaGlossRustMaterialPlugin::IsSupported(const Display* display, PString& fallback) const {
  if (display && display->HasCapability(1)) return true;
  fallback = OneTextureMaterial::UNDECORATED_TYPE();
  return false;
}

bool RovanaGlossRustMaterialPlugin::PrepareResources(RenderKernel* kernel) {
  // A kernel without its resources draws nothing; the plug-in stays usable for recording.
  (void)CreatePluginResources(kernel);
  if (!kernel || !kernel->GetDisplay()) return false;
  if (m_count != 0) return true;
  m_display = kernel->GetDisplayShared();
  const CombinerArgs* passes[4] = {&kGlossRustReflective[0], &kGlossRustReflective[1], &kGlossRustRust[0],
                                   &kGlossRustRust[1]};
  for (int i = 0; i < 4; ++i) {
    m_states[i] = m_display->CreateCombinerState(uint32_t(i % 2), passes[i]->colour, passes[i]->alpha);
    if (!m_states[i]) {
      ReleaseStates();
      return false;
    }
    ++m_count;
  }
  return true;
}

std::shared_ptr<Material> RovanaGlossRustMaterialPlugin::CreateMaterial(MaterialManager* manager,
                                                                        RenderKernel* kernel) {
  if (!PrepareResources(kernel)) return nullptr;
  auto material = std::make_shared<RovanaGlossRustMaterial>(
      manager, m_chunkCache, m_blendCache,
      std::vector<std::shared_ptr<CombinerState>>(m_states.begin(), m_states.begin() + m_count));
  material->Assign(this);
  return material;
}

// ---- OneTexNoAlpha ----

RovanaOneTexNoAlphaMaterialPlugin::RovanaOneTexNoAlphaMaterialPlugin()
    : OneTextureMaterialPlugin(PString("tonetexnoalpha"), RovanaMaterialUId("tonetexnoalpha")) {}

RovanaOneTexNoAlphaMaterialPlugin::~RovanaOneTexNoAlphaMaterialPlugin() {
  m_chunkCache.reset();
  m_maskCache.reset();
  m_blendCache.reset();
  if (m_display) m_display->ReleaseCombinerState(m_state);
}

bool RovanaOneTexNoAlphaMaterialPlugin::PrepareResources(RenderKernel* kernel) {
  // A kernel without its resources draws nothing; the plug-in stays usable for recording.
  (void)CreatePluginResources(kernel);
  if (!kernel) return false;
  // The same arguments as the reflective pass's first stage.
  static const TextureArgs colour = kGlossRustReflective[0].colour;
  static const TextureArgs alpha = kGlossRustReflective[0].alpha;
  if (m_display != kernel->GetDisplayShared()) {
    if (m_display) m_display->ReleaseCombinerState(m_state);
    m_display = kernel->GetDisplayShared();
  }
  if (!m_state && m_display) m_state = m_display->CreateCombinerState(0, colour, alpha);
  return true;
}

std::shared_ptr<Material> RovanaOneTexNoAlphaMaterialPlugin::CreateMaterial(MaterialManager* manager,
                                                                            RenderKernel* kernel) {
  // A kernel without its resources draws nothing; the plug-in stays usable for recording.
  (void)PrepareResources(kernel);
  auto material = std::make_shared<RovanaOneTexNoAlphaMaterial>(manager, m_chunkCache, m_maskCache,
                                                                m_blendCache, m_state, m_display);
  material->Assign(this);
  return material;
}

// ---- NoFog ----

RovanaNoFogMaterialPlugin::RovanaNoFogMaterialPlugin()
    : OneTextureMaterialPlugin(PString("nofogtex"), RovanaMaterialUId("nofogtex")) {}

std::shared_ptr<Material> RovanaNoFogMaterialPlugin::CreateMaterial(MaterialManager* manager,
                                                                    RenderKernel* kernel) {
  // A kernel without its resources draws nothing; the plug-in stays usable for recording.
  (void)CreatePluginResources(kernel);
  auto material = std::make_shared<RovanaNoFogMaterial>(manager, m_chunkCache, m_maskCache, m_blendCache);
  material->Assign(this);
  return material;
}

}  // namespace Kiv

extern "C" void KivGetPlugins() {
  using namespace Kiv;
  // Each object registers itself as it is made; the engine owns it from then on.
  (void)new (std::nothrow) RovanaBumpGlossMaterialPlugin();
  (void)new (std::nothrow) RovanaBumpMaterialPlugin();
  (void)new (std::nothrow) RovanaBumpEnvMaterialPlugin();
  (void)new (std::nothrow) RovanaOneTexNoAlphaMaterialPlugin();
  (void)new (std::nothrow) RovanaGlossRustMaterialPlugin();
  (void)new (std::nothrow) RovanaMultiPFXMaterialPlugin();
  (void)new (std::nothrow) RovanaNoFogMaterialPlugin();
  // The suffix is interned for the registration only.
  const UId category(kRovanaResourceCategoryUId);
  const auto& types = RovanaResourceTypes();
  auto uid = [&](size_t i) { return UId(types[i].uid); };
  (void)new (std::nothrow)
      ResourceType<RovanaIndexedMeshResource>(PString(types[0].suffix), uid(0), category);
  (void)new (std::nothrow)
      ResourceType<RovanaProgressiveMeshResource>(PString(types[1].suffix), uid(1), category);
  (void)new (std::nothrow)
      ResourceType<RovanaIndexedMeshLODResource>(PString(types[2].suffix), uid(2), category);
  (void)new (std::nothrow)
      ResourceType<RovanaIndexedMeshLODResource>(PString(types[3].suffix), uid(3), category);
  (void)new (std::nothrow) ResourceType<CompressAsciiResource>(PString(types[4].suffix), uid(4), category);
}
