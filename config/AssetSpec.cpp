#include "config/AssetSpec.h"

#include <algorithm>
#include <tuple>

#include "config/TagNames.h"
#include "foundation/Log.h"
#include "kiv/Clock.h"
#include "kiv/File.h"
#include "kiv/String.h"
#include "kiv/Thread.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/OpenDatabase.h"

namespace {

// The one registry lock; recursive, as factories and specs call back into the registry.
Kiv::Mutex& RegistryLock() {
  static Kiv::Mutex lock;
  return lock;
}

SpecRegistry* g_registry = nullptr;

bool IsRovanaBaseSpec(GizmokitSpec& spec) { return dynamic_cast<RovanaBaseSpec*>(&spec) != nullptr; }

}  // namespace

// ---- specs ----

GizmokitSpec::GizmokitSpec(const KUID& kuid, std::string_view folderKey, std::string_view folder,
                           std::string_view name)
    : m_kuid(kuid), m_folder(folder), m_name(name) {
  if (kuid == KUID::Null()) m_flags |= kNullKuid;
  m_contentFolder = OpenNamedContentFolder(folderKey, m_contentFolderOk);
}

GizmokitSpec::~GizmokitSpec() { FolderCache::Release(m_contentFolder); }

std::string GizmokitSpec::AssetFolder() const {
  if (m_folder.empty()) return m_name;
  return Kiv::File::Path(m_folder).Join(m_name).Str();
}

std::string GizmokitSpec::ContentRoot() const {
  return m_contentFolder ? m_contentFolder->Path() : std::string();
}

std::string GizmokitSpec::GetDescription() const {
  return FormatKUIDTag(m_kuid) + " \"" + GetAssetName(m_kuid) + "\"";
}

void GizmokitSpec::Prepare(SpecRegistry& registry) {
  if (!m_prepared) {
    m_prepared = true;
    OnLoad();
    Kiv::SingleLock lock(RegistryLock());
    if (!(m_flags & kNullKuid) && Validate())
      m_flags |= kValid;
    else
      m_flags &= static_cast<uint8_t>(~kValid);
  }
  if (!(m_flags & kValid)) {
    // Handed to nobody: it leaves the table and the list, and is freed here
    // unless a holder still has it (the next purge takes it then).
    Kiv::SingleLock lock(RegistryLock());
    registry.Remove(this);
  } else {
    OnValid();
  }
}

float EstimateBuild(const SoupRef& config) {
  const float b = config.GetNamedTagAsFloat(OBLLib::tn::rovana_build, 0.0f);
  if (b >= 1.0f && b < 100.0f) return b + 0.005f;
  if (config.HasNamedTag(OBLLib::tn::mesh_table) || config.HasNamedTag(OBLLib::tn::class_) ||
      config.HasNamedTag(OBLLib::sc::scriptclass))
    return 2.0f;
  return 1.3f;
}

RovanaBaseSpec::RovanaBaseSpec(const KUID& kuid, std::string_view folderKey, std::string_view folder,
                               std::string_view name, const SoupRef& config)
    : GizmokitSpec(kuid, folderKey, folder, name) {
  if (config && config.CountTags() > 0) {
    m_kind = config.GetNamedTag(OBLLib::tn::kind);
    m_build = EstimateBuild(config);
  }
  if (m_build * 100.0f < 250.0f) {  // as a float: a huge build has no int value
    std::string file = config ? config.GetNamedTag(OBLLib::tn::asset_filename).c_str() : "";
    // Without "asset-filename" the asset folder's own name stands in.
    if (file.empty()) file = std::string(name);
    m_fileName = Kiv::ToLowerAscii(file);
  } else {
    m_fileName = "default";
  }
}

void RovanaBaseSpec::GetIncludeKUIDs(std::vector<KUID>& out) const {
  const SoupRef config = UMBGetAssetConfig(GetKUID());
  const SoupRef table = config.GetNamedSoup(OBLLib::sc::script_include_table);
  for (size_t i = 0; i < table.CountTags(); ++i)
    out.push_back(table.GetNamedTagAsKUID(table.GetIndexedTagName(i)));
}

bool RovanaBaseSpec::LoadScriptInfo() {
  std::string script, cls;
  if (m_scriptInfoConfig) {
    if (!GetScriptInfoFromConfig(m_scriptInfoConfig, script, cls)) return false;
  } else if (!GetAssetScriptInfo(GetKUID(), script, cls)) {
    // An asset the database does not know yet (a folder checked before it is
    // installed) is described by its own config.
    SoupRef config;
    if (!LoadAssetConfig(AssetFolder(), config) || !GetScriptInfoFromConfig(config, script, cls))
      return false;
  }
  m_scriptFile = Kiv::PString(script);
  m_scriptClass = Kiv::PString(cls);
  Kiv::File::Path library(Kiv::File::Path(script).GetFileName());
  m_libraryFile = Kiv::PString(library.SetExt("gsl").Str());
  return true;
}

std::string RovanaBaseSpec::GetDescription() const {
  if (!m_scriptInfoConfig) return GizmokitSpec::GetDescription();
  return FormatKUIDTag(GetKUID()) + " \"" + m_scriptInfoConfig.GetNamedTagString(OBLLib::tn::username) + "\"";
}

std::string RovanaBaseSpec::Category() const {
  if (m_scriptInfoConfig) return m_scriptInfoConfig.GetNamedTagString(OBLLib::tn::category_class);
  return GetAssetInfo(GetKUID(), kInfoCategory).category;
}

// ---- handles ----

SpecRef::SpecRef(GizmokitSpec* spec) : m_spec(spec) {
  if (m_spec) m_spec->AddRef();
}

void SpecRef::Reset() {
  if (!m_spec) return;
  m_spec->m_lastRelease.store(Kiv::Clock::Milliseconds(), std::memory_order_relaxed);
  m_spec->Release();
  m_spec = nullptr;
}

// ---- factories ----

GKSpecFactory::GKSpecFactory(std::string_view name) : m_name(name) {}

GKSpecFactory::~GKSpecFactory() {
  Kiv::SingleLock lock(RegistryLock());
  if (g_registry) g_registry->RemoveFactory(this);
}

std::unique_ptr<GizmokitSpec> UMBScript_RovanaBaseSpecFactory::Create(const KUID& kuid,
                                                                      std::string_view folderKey,
                                                                      std::string_view folder,
                                                                      std::string_view name,
                                                                      const SoupRef& config) {
  return std::make_unique<RovanaBaseSpec>(kuid, folderKey, folder, name, config);
}

// ---- the registry ----

bool RovanaBaseSpec::IsLocallyModified() {
  constexpr uint8_t kKnown = 1, kModified = 2;
  uint8_t flags = m_modifiedFlags.load(std::memory_order_relaxed);
  if (!(flags & kKnown)) {
    flags = uint8_t(kKnown | (IsAssetLocallyModified(GetKUID()) ? kModified : 0));
    m_modifiedFlags.store(flags, std::memory_order_relaxed);
  }
  return (flags & kModified) != 0;
}

bool IsSpecLocallyModified(const KUID& kuid) {
  SpecRegistry* registry = SpecRegistry::Instance();
  const SpecRef spec = registry ? registry->GetSpec(kuid) : SpecRef();
  RovanaBaseSpec* base = spec.AsBase();
  return base ? base->IsLocallyModified() : IsAssetLocallyModified(kuid);
}

namespace {
std::vector<GKSpecFactory*>& StandardFactories() {
  static std::vector<GKSpecFactory*> factories;
  return factories;
}
}  // namespace

SpecRegistry::SpecRegistry() : m_table(kBuckets) {
  Kiv::SingleLock lock(RegistryLock());
  m_factories = StandardFactories();
  g_registry = this;
}

void SpecRegistry::AddStandardFactory(GKSpecFactory* factory) {
  Kiv::SingleLock lock(RegistryLock());
  std::vector<GKSpecFactory*>& factories = StandardFactories();
  if (std::find(factories.begin(), factories.end(), factory) == factories.end()) factories.push_back(factory);
  if (g_registry) g_registry->AddFactory(factory);
}

SpecRegistry::~SpecRegistry() {
  Kiv::SingleLock lock(RegistryLock());
  Shutdown();
  // Specs still held leak, as the shutdown report said; their holders keep
  // pointers into them.
  m_specs.clear();
  m_retired.clear();
  for (auto& bucket : m_table) bucket.clear();
  if (g_registry == this) g_registry = nullptr;
}

SpecRegistry* SpecRegistry::Instance() { return g_registry; }

size_t SpecRegistry::BucketOf(const KUID& kuid) {
  const uint32_t h = (static_cast<uint32_t>(kuid.content) << 5) ^ static_cast<uint32_t>(kuid.version) ^
                     static_cast<uint32_t>(kuid.user);
  return h % kBuckets;
}

bool SpecRegistry::KuidLess::operator()(const KUID& a, const KUID& b) const {
  const auto key = [](const KUID& k) {
    return std::tuple(static_cast<uint32_t>(k.user), static_cast<uint32_t>(k.content),
                      static_cast<uint32_t>(k.version));
  };
  return key(a) < key(b);
}

void SpecRegistry::Insert(GizmokitSpec* spec) {
  m_specs.push_back(spec);
  m_table[BucketOf(spec->GetKUID())].push_back(spec);
}

void SpecRegistry::Remove(GizmokitSpec* spec) {
  auto& bucket = m_table[BucketOf(spec->GetKUID())];
  bucket.erase(std::remove(bucket.begin(), bucket.end(), spec), bucket.end());
  const auto it = std::find(m_specs.begin(), m_specs.end(), spec);
  if (it == m_specs.end()) return;
  m_specs.erase(it);
  if (spec->Holders() == 0) {
    spec->ClearSafePointers();
    delete spec;
  } else {
    // A holder still has it: it is freed by the first purge after its last holder lets go.
    m_retired.push_back(spec);
  }
}

GizmokitSpec* SpecRegistry::Lookup(const KUID& kuid) const {
  for (GizmokitSpec* spec : m_table[BucketOf(kuid)])
    if (spec->GetKUID() == kuid) return spec;
  return nullptr;
}

SpecRef SpecRegistry::FindSpec(const KUID& kuid) {
  Kiv::SingleLock lock(RegistryLock());
  return SpecRef(Lookup(kuid));
}

SpecRef SpecRegistry::GetSpec(const KUID& kuid, bool skipPreparation) {
  return FindOrCreate(kuid, IsRovanaBaseSpec, skipPreparation);
}

SpecRef SpecRegistry::FindOrCreate(const KUID& kuid, const SpecFilter& filter, bool skipPreparation) {
  if (kuid == KUID::Null()) return {};
  Kiv::SingleLock lock(RegistryLock());
  if (UMBTakeResolutionCacheFlush(m_resolvedGeneration)) m_resolved.clear();

  KUID resolved;
  if (const auto hit = m_resolved.find(kuid); hit != m_resolved.end()) {
    if (hit->second == KUID::Null()) return {};
    resolved = hit->second;
  } else {
    resolved = UMBResolveKUID(kuid);
  }

  if (SpecRef found = FindSpec(resolved)) {
    if (filter && !filter(*found.Get())) {
      m_resolved[kuid] = resolved;
      return {};
    }
    found->Prepare(*this);
    if (found->IsValid() && !(found->Flags() & GizmokitSpec::kNullKuid)) return found;
    m_resolved[kuid] = KUID::Null();
    return {};
  }

  const std::string folder = resolved == KUID::Null() ? std::string() : UMBGetAssetFolder(resolved);
  if (folder.empty()) {
    m_resolved[kuid] = KUID::Null();
    return {};
  }
  SpecRef made = CreateSpecFromFolder(resolved, folder, filter, skipPreparation);
  m_resolved[kuid] = resolved;
  return made;
}

SpecRef SpecRegistry::CreateSpecFromFolder(const KUID& kuid, const std::string& folder,
                                           const SpecFilter& filter, bool skipPreparation,
                                           const SoupRef& given) {
  SoupRef config = given;
  if ((!config && !LoadAssetConfig(folder, config)) || config.CountTags() == 0) return {};
  Kiv::File::Path path(folder);
  const std::string name = path.GetFileName();
  path.RemoveFileName();
  std::string key, relative;
  // A path outside the content folders gives empty outputs, which stand.
  (void)SplitContentPath(folder, key, relative);

  Kiv::SingleLock lock(RegistryLock());
  const std::string kind = Kiv::ToLowerAscii(config.GetNamedTag(OBLLib::tn::kind).c_str());
  GKSpecFactory* factory = m_default;
  for (GKSpecFactory* f : m_factories)
    if (Kiv::ToLowerAscii(f->Name().c_str()) == kind) {
      factory = f;
      break;
    }
  std::unique_ptr<GizmokitSpec> created =
      factory ? factory->Create(kuid, key, path.Str(), name, config)
              : std::make_unique<RovanaBaseSpec>(kuid, key, path.Str(), name, config);
  if (!created) return {};
  GizmokitSpec* spec = created.release();
  Insert(spec);
  SpecRef ref(spec);
  if (filter && !filter(*spec)) return {};
  if (!skipPreparation) {
    spec->Prepare(*this);
    if (!spec->IsValid() || (spec->Flags() & GizmokitSpec::kNullKuid)) return {};
  }
  return ref;
}

bool SpecRegistry::Purge() {
  Kiv::SingleLock lock(RegistryLock());
  bool deleted = false;
  for (size_t i = 0; i < m_specs.size();) {
    GizmokitSpec* spec = m_specs[i];
    if (spec->Holders() != 0) {
      ++i;
      continue;
    }
    Remove(spec);  // frees it: it has no holders
    deleted = true;
  }
  for (size_t i = 0; i < m_retired.size();) {
    GizmokitSpec* spec = m_retired[i];
    if (spec->Holders() != 0) {
      ++i;
      continue;
    }
    m_retired.erase(m_retired.begin() + static_cast<long>(i));
    spec->ClearSafePointers();
    delete spec;
    deleted = true;
  }
  return deleted;
}

void SpecRegistry::Shutdown() {
  Kiv::SingleLock lock(RegistryLock());
  m_auxiliary.clear();
  while (Purge()) {}
  if (!m_specs.empty() || !m_retired.empty()) {
    LogLine("Leaked specs:");
    for (GizmokitSpec* spec : m_specs)
      LogLine("  (%4d) - %s", spec->Holders(), spec->GetDescription().c_str());
    for (GizmokitSpec* spec : m_retired)
      LogLine("  (%4d) - %s", spec->Holders(), spec->GetDescription().c_str());
  }
  m_factories.clear();
  m_default = nullptr;
}

void SpecRegistry::AddFactory(GKSpecFactory* factory) {
  Kiv::SingleLock lock(RegistryLock());
  if (factory && std::find(m_factories.begin(), m_factories.end(), factory) == m_factories.end())
    m_factories.push_back(factory);
}

void SpecRegistry::RemoveFactory(GKSpecFactory* factory) {
  Kiv::SingleLock lock(RegistryLock());
  m_factories.erase(std::remove(m_factories.begin(), m_factories.end(), factory), m_factories.end());
  if (m_default == factory) m_default = nullptr;
}

void SpecRegistry::SetDefaultFactory(GKSpecFactory* factory) {
  Kiv::SingleLock lock(RegistryLock());
  m_default = factory;
}

void SpecRegistry::AddAuxiliary(std::unique_ptr<IdentifiableType> object) {
  Kiv::SingleLock lock(RegistryLock());
  if (object) m_auxiliary.push_back(std::move(object));
}

bool LoadAssetConfig(const std::string& folder, SoupRef& out) {
  out.Clear();
  // One listing finds either name in any case: a lookup of a missing name would search
  // every parent folder for other spellings, among them one of every asset.
  std::string names[2];  // "config.chump", "config.txt" as spelled on disk
  for (Kiv::File::Find find(Kiv::File::Path(folder).Join("config.*").View()); find.Next();) {
    if (find.IsDirectory()) continue;
    for (int i = 0; i < 2; ++i)
      if (Kiv::CompareNoCase(find.Name(), i == 0 ? "config.chump" : "config.txt") == 0 &&
          (names[i].empty() || find.Name() == (i == 0 ? "config.chump" : "config.txt")))
        names[i] = find.Name();
  }
  for (const std::string& name : names)
    if (!name.empty() && LoadSoupFile(out, folder, name, {}, kMaxConfigFileBytes)) return true;
  return false;
}
