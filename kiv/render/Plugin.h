#pragma once
// The engine's plug-in system: plug-in objects register themselves when they
// are constructed and live until the system drops them. Material plug-ins
// make materials of one type word; resource types say which class a file
// suffix gets. The material manager of the engine resolves a material
// request through the material plug-ins, following a plug-in's fallback type
// when the display cannot draw its material.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "kiv/PString.h"
#include "kiv/render/Material.h"
#include "kiv/render/Resource.h"

namespace Kiv {

class Display;
class RenderKernel;
class RenderingCache;
class RenderingCacheManager;

// A 128-bit identity parsed from its "8-4-4-4-12" hexadecimal text (either case).
class UId {
public:
  UId() = default;
  // A text that does not parse gives the null identity.
  explicit UId(std::string_view text);
  [[nodiscard]] bool IsNull() const;
  // The canonical text: upper-case digits.
  std::string ToString() const;
  bool operator==(const UId&) const = default;

private:
  std::array<uint8_t, 16> m_bytes{};
};

class PluginType {
public:
  // Registers the new object with the plug-in system, which owns it from then on.
  PluginType();
  virtual ~PluginType() = default;
  PluginType(const PluginType&) = delete;
  PluginType& operator=(const PluginType&) = delete;
};

class PluginSystem {
public:
  static PluginSystem& Instance();
  ~PluginSystem();
  // Takes ownership; called by PluginType's constructor.
  void Register(PluginType* plugin);
  // The registered objects, oldest first.
  std::vector<PluginType*> Registrations() const;
  // Destroys every registered object, newest first.
  void Clear();
  // The first material plug-in of a type word; null when none.
  class MaterialPlugin* FindMaterialPlugin(const PString& type) const;
  // The resource type whose suffix the name ends with (as ".suffix",
  // ignoring case; the longest suffix wins); null when none.
  class ResourceTypeBase* FindResourceType(std::string_view name) const;

private:
  mutable std::recursive_mutex m_mutex;
  std::vector<std::unique_ptr<PluginType>> m_plugins;
};

class MaterialPlugin : public PluginType {
public:
  MaterialPlugin(PString type, UId uid) : m_type(std::move(type)), m_uid(uid) {}
  const PString& GetTypeWord() const { return m_type; }
  const UId& GetUId() const { return m_uid; }
  // True when the display can draw the material; otherwise the type word of
  // the material to use instead goes to `fallback`.
  [[nodiscard]] virtual bool IsSupported(const Display* display, PString& fallback) const;
  // A new material owned by the caller; null when what it needs cannot be had.
  virtual std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) = 0;

private:
  PString m_type;
  UId m_uid;
};

// Finds the cache of the identifier in the manager, or makes one of class C
// and adds it; a slot that already holds a cache is kept.
template <class C>
void AcquireCache(RenderingCacheManager& manager, uint32_t id, std::shared_ptr<RenderingCache>& slot);

// The plug-in of the engine's plain one-texture materials: it shares the
// kernel's three material caches.
class OneTextureMaterialPlugin : public MaterialPlugin {
public:
  using MaterialPlugin::MaterialPlugin;
  // Supported on any display.
  [[nodiscard]] bool IsSupported(const Display* display, PString& fallback) const override;
  std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) override;
  // Acquires the caches; false without a kernel.
  [[nodiscard]] bool CreatePluginResources(RenderKernel* kernel);
  // The plug-in's own resources after the caches; true when they stand.
  [[nodiscard]] virtual bool PrepareResources(RenderKernel* kernel) { return CreatePluginResources(kernel); }

protected:
  std::shared_ptr<RenderingCache> m_chunkCache, m_maskCache, m_blendCache;
};

// The engine's reflective material types ("gloss", "reflect").
class ReflectiveMaterialPlugin : public OneTextureMaterialPlugin {
public:
  using OneTextureMaterialPlugin::OneTextureMaterialPlugin;
  std::shared_ptr<Material> CreateMaterial(MaterialManager* manager, RenderKernel* kernel) override;
};

// Registers the engine's own material types, each once: "onetex", "notex",
// "tbumpcoltex", "tbumpglosscol", "tgroundonetex", "tgroundonetexvs" (one
// texture) and "gloss", "reflect" (reflective).
void RegisterEngineMaterialTypes();

// Which class a file suffix gets; one object per suffix.
class ResourceTypeBase : public PluginType {
public:
  ResourceTypeBase(PString suffix, UId type, UId category)
      : m_suffix(std::move(suffix)), m_type(type), m_category(category) {}
  const PString& GetSuffix() const { return m_suffix; }
  const UId& GetTypeUId() const { return m_type; }
  const UId& GetCategoryUId() const { return m_category; }
  // The byte size and class of the objects it makes.
  virtual size_t GetObjectSize() const = 0;
  virtual const std::type_info& GetObjectType() const = 0;
  // A new resource of the type for a name of a content folder; null for a
  // type whose objects are not engine resources.
  virtual std::unique_ptr<Resource> CreateResource(PString owner, PString path,
                                                   const ResourceDatabase* database) const = 0;

private:
  PString m_suffix;
  UId m_type, m_category;
};

template <class T>
class ResourceType : public ResourceTypeBase {
public:
  using ResourceTypeBase::ResourceTypeBase;
  template <class... Args>
  std::unique_ptr<T> Create(Args&&... args) const {
    return std::make_unique<T>(std::forward<Args>(args)...);
  }
  size_t GetObjectSize() const override { return sizeof(T); }
  const std::type_info& GetObjectType() const override { return typeid(T); }
  std::unique_ptr<Resource> CreateResource(PString owner, PString path,
                                           const ResourceDatabase* database) const override {
    if constexpr (std::is_base_of_v<Resource, T> &&
                  std::is_constructible_v<T, PString, PString, const ResourceDatabase*>) {
      return std::make_unique<T>(std::move(owner), std::move(path), database);
    } else {
      (void)owner, (void)path, (void)database;
      return nullptr;
    }
  }
};

// The engine's material manager: a key names its type after "m." (a
// decorated "owner*folder*base.m.type" or a plain "m.type"); the type's
// plug-in makes the material, or its fallback's when the display cannot
// draw it (at most eight steps, so a cycle of fallbacks ends).
class PluginMaterialManager : public MaterialManager {
public:
  explicit PluginMaterialManager(RenderKernel* kernel) : m_kernel(kernel) {}
  // 0 made; 3 no plug-in for the type (or no type in the key); 4 the plug-in
  // could not make it.
  int Find(std::string_view key, std::shared_ptr<Material>& out) override;
  // The type word of a key; empty when it has none.
  static std::string TypeOfKey(std::string_view key);

private:
  RenderKernel* m_kernel;
};

}  // namespace Kiv
