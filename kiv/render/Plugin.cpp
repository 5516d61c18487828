#include "kiv/render/Plugin.h"

#include <cstdio>

#include "kiv/String.h"
#include "kiv/render/RenderKernel.h"

namespace Kiv {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

UId::UId(std::string_view text) {
  // Groups of 8, 4, 4, 4 and 12 digits.
  static constexpr size_t kGroups[] = {8, 4, 4, 4, 12};
  std::array<uint8_t, 16> bytes{};
  size_t at = 0, byte = 0;
  for (size_t g = 0; g < 5; ++g) {
    if (g > 0) {
      if (at >= text.size() || text[at] != '-') return;
      ++at;
    }
    for (size_t d = 0; d < kGroups[g]; d += 2) {
      if (at + 2 > text.size()) return;
      const int hi = HexDigit(text[at]), lo = HexDigit(text[at + 1]);
      if (hi < 0 || lo < 0) return;
      bytes[byte++] = uint8_t(hi * 16 + lo);
      at += 2;
    }
  }
  if (at != text.size()) return;
  m_bytes = bytes;
}

bool UId::IsNull() const { return m_bytes == std::array<uint8_t, 16>{}; }

std::string UId::ToString() const {
  std::string out;
  char digits[3];
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    std::snprintf(digits, sizeof digits, "%02X", m_bytes[i]);
    out += digits;
  }
  return out;
}

PluginType::PluginType() { PluginSystem::Instance().Register(this); }

PluginSystem& PluginSystem::Instance() {
  static PluginSystem system;
  return system;
}

PluginSystem::~PluginSystem() { Clear(); }

void PluginSystem::Register(PluginType* plugin) {
  std::lock_guard lock(m_mutex);
  m_plugins.emplace_back(plugin);
}

std::vector<PluginType*> PluginSystem::Registrations() const {
  std::lock_guard lock(m_mutex);
  std::vector<PluginType*> out;
  for (const auto& plugin : m_plugins) out.push_back(plugin.get());
  return out;
}

void PluginSystem::Clear() {
  std::lock_guard lock(m_mutex);
  while (!m_plugins.empty()) m_plugins.pop_back();
}

MaterialPlugin* PluginSystem::FindMaterialPlugin(const PString& type) const {
  std::lock_guard lock(m_mutex);
  for (const auto& plugin : m_plugins) {
    auto* material = dynamic_cast<MaterialPlugin*>(plugin.get());
    if (material && material->GetTypeWord() == type) return material;
  }
  return nullptr;
}

ResourceTypeBase* PluginSystem::FindResourceType(std::string_view name) const {
  const std::string lower = ToLowerAscii(name);
  std::lock_guard lock(m_mutex);
  ResourceTypeBase* best = nullptr;
  for (const auto& plugin : m_plugins) {
    auto* type = dynamic_cast<ResourceTypeBase*>(plugin.get());
    if (!type) continue;
    const std::string suffix = ToLowerAscii(type->GetSuffix().View());
    if (lower.size() > suffix.size() && lower.ends_with(suffix) &&
        lower[lower.size() - suffix.size() - 1] == '.' &&
        (!best || type->GetSuffix().View().size() > best->GetSuffix().View().size())) {
      best = type;
    }
  }
  return best;
}

bool MaterialPlugin::IsSupported(const Display* display, PString& fallback) const {
  (void)display, (void)fallback;
  return true;
}

template <class C>
void AcquireCache(RenderingCacheManager& manager, uint32_t id, std::shared_ptr<RenderingCache>& slot) {
  if (slot) return;
  slot = manager.FindCache(id);
  if (slot) return;
  slot = std::make_shared<C>();
  manager.AddCache(slot);
}

template void AcquireCache<AlphaBlendCache>(RenderingCacheManager&, uint32_t,
                                            std::shared_ptr<RenderingCache>&);
template void AcquireCache<AlphaMaskCache>(RenderingCacheManager&, uint32_t,
                                           std::shared_ptr<RenderingCache>&);
template void AcquireCache<MaterialChunkCache>(RenderingCacheManager&, uint32_t,
                                               std::shared_ptr<RenderingCache>&);

bool OneTextureMaterialPlugin::IsSupported(const Display* display, PString& fallback) const {
  (void)display, (void)fallback;
  return true;
}

bool OneTextureMaterialPlugin::CreatePluginResources(RenderKernel* kernel) {
  if (!kernel) return false;
  RenderingCacheManager& caches = kernel->GetCacheManager();
  AcquireCache<MaterialChunkCache>(caches, MaterialChunkCache::MaterialChunkCacheID, m_chunkCache);
  AcquireCache<AlphaMaskCache>(caches, AlphaMaskCache::AlphaMaskCacheID, m_maskCache);
  AcquireCache<AlphaBlendCache>(caches, AlphaBlendCache::AlphaBlendCacheID, m_blendCache);
  return true;
}

std::shared_ptr<Material> OneTextureMaterialPlugin::CreateMaterial(MaterialManager* manager,
                                                                   RenderKernel* kernel) {
  if (!PrepareResources(kernel)) return nullptr;
  auto material =
      std::make_shared<OneTextureMaterial>(GetTypeWord(), manager, m_chunkCache, m_maskCache, m_blendCache);
  material->Assign(this);
  return material;
}

std::shared_ptr<Material> ReflectiveMaterialPlugin::CreateMaterial(MaterialManager* manager,
                                                                   RenderKernel* kernel) {
  if (!PrepareResources(kernel)) return nullptr;
  auto material = std::make_shared<ReflectiveMaterial>(GetTypeWord(), manager, m_chunkCache, m_blendCache);
  material->Assign(this);
  return material;
}

void RegisterEngineMaterialTypes() {
  PluginSystem& system = PluginSystem::Instance();
  for (const char* type :
       {"onetex", "notex", "tbumpcoltex", "tbumpglosscol", "tgroundonetex", "tgroundonetexvs"}) {
    if (!system.FindMaterialPlugin(PString(type))) new OneTextureMaterialPlugin(PString(type), UId());
  }
  for (const char* type : {"gloss", "reflect"}) {
    if (!system.FindMaterialPlugin(PString(type))) new ReflectiveMaterialPlugin(PString(type), UId());
  }
}

std::string PluginMaterialManager::TypeOfKey(std::string_view key) {
  DecoratedName name;
  if (SplitDecoratedMaterialName(key, name)) return name.type;
  if (key.starts_with("m.")) return std::string(key.substr(2));
  const size_t token = key.rfind(Material::DecoratedTypeToken);
  if (token == std::string_view::npos) return {};
  return std::string(key.substr(token + Material::DecoratedTypeToken.size()));
}

int PluginMaterialManager::Find(std::string_view key, std::shared_ptr<Material>& out) {
  out.reset();
  std::string typeText = TypeOfKey(key);
  if (typeText.empty()) return 3;
  PString type(ToLowerAscii(typeText));
  const Display* display = m_kernel ? m_kernel->GetDisplay() : nullptr;
  for (int step = 0; step < 8; ++step) {
    MaterialPlugin* plugin = PluginSystem::Instance().FindMaterialPlugin(type);
    if (!plugin) return 3;
    PString fallback;
    if (plugin->IsSupported(display, fallback)) {
      out = plugin->CreateMaterial(this, m_kernel);
      if (!out) return 4;
      out->SetRequestName(PString(key));
      return 0;
    }
    if (fallback.View().empty()) return 3;
    type = fallback;
  }
  return 3;
}

}  // namespace Kiv
