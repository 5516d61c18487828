// The material types and alpha-blend caches registered once before meshes are
// loaded for checks, and their release at shut-down.
#include <array>
#include <mutex>

#include "config/DataManager.h"
#include "foundation/Log.h"
#include "kiv/render/Material.h"

namespace OBLLib {

namespace {

constexpr std::array<const char*, 14> kMaterialTypes = {
    "tbumptex",        "tbumpcoltex",    "tbumpglosscol", "tbumpenv",   "tgroundonetex",
    "tgroundonetexvs", "tonetexnoalpha", "tbumpgloss",    "tglossrust", "notex",
    "onetex",          "nofogtex",       "gloss",         "reflect"};

struct SharedResources {
  std::mutex mutex;
  bool registered = false;
  DataManager::CacheFactory cacheFactory;
  Kiv::RenderKernel* kernel = nullptr;
  std::vector<std::shared_ptr<Kiv::RenderingCache>> caches;  // sorted, unsorted, plain
  std::array<std::shared_ptr<Kiv::Material>, kMaterialTypes.size()> materials;
  std::vector<std::shared_ptr<Kiv::VertexType>> vertexTypes;  // at most four
};

SharedResources& Shared() {
  static SharedResources shared;
  return shared;
}

int TypeIndex(std::string_view type) {
  for (size_t i = 0; i < kMaterialTypes.size(); ++i) {
    if (type == kMaterialTypes[i]) return int(i);
  }
  return -1;
}

}  // namespace

void DataManager::SetSharedCacheFactory(CacheFactory factory) {
  std::lock_guard lock(Shared().mutex);
  Shared().cacheFactory = std::move(factory);
}

void DataManager::RegisterRovanaBumpVertexType() {
  SharedResources& shared = Shared();
  std::lock_guard lock(shared.mutex);
  if (shared.registered) return;
  DataManager* dm = Existing();
  Kiv::RenderKernel* kernel = dm ? dm->SceneKernel() : nullptr;
  if (!kernel) {
    LogLine("DataManager::RegisterRovanaBumpVertexType> no render kernel");
    return;
  }
  shared.kernel = kernel;

  // 1. The caches: the program's sorted and unsorted ones, then the engine's plain one.
  if (shared.cacheFactory) {
    for (auto& cache : shared.cacheFactory()) {
      if (!cache) continue;
      kernel->GetCacheManager().AddCache(cache);
      shared.caches.push_back(std::move(cache));
    }
  }
  auto plain = std::make_shared<Kiv::UnsortedAlphaBlendCache>(1);
  kernel->GetCacheManager().AddCache(plain);
  shared.caches.push_back(std::move(plain));

  // 2.
  shared.vertexTypes.clear();
  shared.registered = true;

  // 3. One probe material per type.
  for (size_t i = 0; i < kMaterialTypes.size(); ++i) {
    const std::string name = std::string("RovanaDummyLoad.m.") + kMaterialTypes[i];
    if (kernel->GetMaterialManager().Find(name, shared.materials[i]) != 0 || !shared.materials[i]) {
      shared.materials[i].reset();
      LogLine("DataManager::RegisterRovanaBumpVertexType> Unable to load 'm.%s'", kMaterialTypes[i]);
    }
  }

  // 4. The shared texture to the reflective materials.
  std::shared_ptr<Kiv::Texture> texture = kernel->GetSharedTextures().GetTexture(0);
  if (!texture) {
    LogLine("DataManager::RegisterRovanaBumpVertexType> SharedTextureCollection failed");
  } else {
    for (const char* type : {"gloss", "reflect"}) {
      if (auto& material = shared.materials[size_t(TypeIndex(type))]) material->SetTexture(9, texture, 1.0f);
    }
  }

  // 5. The vertex types of the plain materials, for a shared-data hint.
  Kiv::StandardChunkHint hint;
  hint.valid = true;
  hint.options = 2;
  hint.vertexBufferMode = 4;
  hint.indexBufferMode = 24;
  hint.textureSets = 1;
  if (Kiv::Display* display = kernel->GetDisplay()) {
    for (const char* type : {"notex", "onetex", "gloss", "reflect"}) {
      auto& material = shared.materials[size_t(TypeIndex(type))];
      if (!material) continue;
      if (auto vertexType = material->GetVertexType(*display, 3, 1, 3, 0, 0, hint))
        shared.vertexTypes.push_back(std::move(vertexType));
    }
  }
  // 6. The texture reference goes with `texture`.
}

void DataManager::ReleaseSharedResources() {
  SharedResources& shared = Shared();
  std::lock_guard lock(shared.mutex);
  if (!shared.registered) return;
  shared.registered = false;
  shared.vertexTypes.clear();
  for (auto& material : shared.materials) material.reset();
  // The kernel goes after the schema manager; its caches are dropped while it stands.
  for (auto& cache : shared.caches) {
    // A cache already gone has nothing to remove.
    if (shared.kernel) (void)shared.kernel->GetCacheManager().RemoveCache(cache.get());
    cache.reset();
  }
  shared.caches.clear();
  shared.kernel = nullptr;
}

bool DataManager::SharedResourcesRegistered() {
  std::lock_guard lock(Shared().mutex);
  return Shared().registered;
}

std::shared_ptr<Kiv::Material> DataManager::SharedMaterial(std::string_view type) {
  std::lock_guard lock(Shared().mutex);
  const int index = TypeIndex(type);
  return index < 0 ? nullptr : Shared().materials[size_t(index)];
}

size_t DataManager::SharedVertexTypeCount() {
  std::lock_guard lock(Shared().mutex);
  return Shared().vertexTypes.size();
}

}  // namespace OBLLib
