#pragma once
// Asset specs: the in-memory description of one installed asset, keyed by its
// KUID (folder, name, kind, estimated build and, for script-bearing assets,
// its script file, class and library). Specs are made on demand from the
// asset's config, shared through counted handles (SpecRef) and kept in one
// process-wide registry while the asset database is open.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Identifiable.h"
#include "foundation/KUID.h"
#include "foundation/SafePointer.h"
#include "foundation/Soup.h"
#include "kiv/PString.h"
#include "kiv/RefCount.h"

class ContentFolder;
class ResultsLog;
class SpecRegistry;
namespace GSRuntime {
class GSClass;
class GSLibrary;
}  // namespace GSRuntime

// Counted by its handles; the registry keeps an unheld asset spec until a purge.
class GizmokitSpec : public IdentifiableType,
                     public SafePointerTarget<GizmokitSpec>,
                     private Kiv::RefCounted<GizmokitSpec, true, int> {
public:
  static constexpr uint8_t kNullKuid = 1;  // the KUID is the null KUID
  static constexpr uint8_t kValid = 2;     // set by preparation

  // folderKey names the content folder (Kiv::OpenNamedContentFolder); folder
  // is the folder that holds the asset's folder, name that folder's own name.
  GizmokitSpec(const KUID& kuid, std::string_view folderKey, std::string_view folder, std::string_view name);
  ~GizmokitSpec() override;

  virtual void OnLoad() { m_loaded = true; }
  [[nodiscard]] virtual bool Validate() { return true; }
  virtual void OnValid() {}

  const KUID& GetKUID() const { return m_kuid; }
  uint8_t Flags() const { return m_flags; }
  [[nodiscard]] bool IsValid() const { return (m_flags & kValid) != 0; }
  [[nodiscard]] bool IsLoaded() const { return m_loaded; }
  const std::string& Folder() const { return m_folder; }
  const std::string& Name() const { return m_name; }
  // The asset folder: Folder() joined with Name().
  std::string AssetFolder() const;
  const std::string& FileName() const { return m_fileName; }
  const Kiv::PString& Kind() const { return m_kind; }
  ContentFolder* GetContentFolder() const { return m_contentFolder; }
  // The content folder's path; empty when the asset spec has none.
  std::string ContentRoot() const;
  int Holders() const { return GetReferenceCount(); }
  static void DestroyCounted(GizmokitSpec*) {}
  // Process-clock milliseconds of the last handle release (0: never released).
  uint64_t LastReleaseTime() const { return m_lastRelease.load(std::memory_order_relaxed); }

  // FormatKUIDTag, a blank and the asset's name from the database in double quotes.
  virtual std::string GetDescription() const;

protected:
  std::string m_fileName;
  Kiv::PString m_kind;

private:
  friend class SpecRef;
  friend class SpecRegistry;
  friend class Kiv::RefCounted<GizmokitSpec, true, int>;
  // Runs OnLoad and Validate once; an invalid spec leaves the registry.
  void Prepare(SpecRegistry& registry);

  KUID m_kuid;
  uint8_t m_flags = 0;
  std::string m_folder;
  std::string m_name;
  ContentFolder* m_contentFolder = nullptr;
  bool m_contentFolderOk = false;
  std::atomic<uint64_t> m_lastRelease{0};
  bool m_prepared = false;
  bool m_loaded = false;
};

// The asset spec of ordinary assets.
class RovanaBaseSpec : public GizmokitSpec {
public:
  static constexpr uint8_t kScriptsCached = 4;  // script flags: the scripts were cached this process

  RovanaBaseSpec(const KUID& kuid, std::string_view folderKey, std::string_view folder, std::string_view name,
                 const SoupRef& config);

  virtual void OnScriptsCompiled() {}

  float Build() const { return m_build; }
  const Kiv::PString& ScriptFile() const { return m_scriptFile; }
  const Kiv::PString& ScriptClass() const { return m_scriptClass; }
  const Kiv::PString& LibraryFileName() const { return m_libraryFile; }
  uint8_t ScriptFlags() const { return m_scriptFlags; }
  void SetScriptFlags(uint8_t flags) { m_scriptFlags = flags; }
  // The identity of the primary script's library (both 0 until cached).
  uint32_t ContentChecksum() const { return m_contentCrc; }
  uint32_t PathChecksum() const { return m_pathCrc; }
  void SetLibraryChecksums(uint32_t content, uint32_t path) {
    m_contentCrc = content;
    m_pathCrc = path;
  }

  // Adds the KUIDs of the config's "script-include-table", one per child in
  // index order (a child that is no KUID gives the null KUID).
  void GetIncludeKUIDs(std::vector<KUID>& out) const;
  // Reads the script file and class; the library file name is the script's
  // file name with the extension "gsl". While a config is set by
  // SetScriptInfoConfig it answers; otherwise the database, and for an asset
  // it does not know, the folder's config. False when none of them answers.
  [[nodiscard]] bool LoadScriptInfo();
  // The config of the asset folder being checked, already read (null: none).
  // While it is set, it alone describes the asset: its script, its category
  // and the name in messages, whatever the database holds for the KUID (which
  // may be another folder's, or nothing for a folder not yet installed).
  void SetScriptInfoConfig(const SoupRef& config) { m_scriptInfoConfig = config; }
  // With the config set, its KUID and "username"; otherwise the database's.
  std::string GetDescription() const override;

  // Compiles what is stale of the asset's scripts into the cache and
  // registers every library with the script machine, once per process (a
  // second call returns true at once). contentRoot may be empty; primary,
  // when given, is the script whose library must result. False on failure,
  // with a result in log for each problem.
  [[nodiscard]] bool CacheScripts(const std::string& contentRoot, const std::string& assetFolder,
                                  const std::string& primary, ResultsLog& log);
  // The primary script's library, compiled first when needed; null when none.
  GSRuntime::GSLibrary* EnsureLibrary();
  // Puts the folders of the included assets (followed transitively, each
  // once) on the compiler's include-path list, compiling their libraries
  // first. Only for builds of 2.9 and later.
  void AddIncludeLibraries();
  // The script class of the asset; null (with a log line) when its library
  // or class cannot be had.
  GSRuntime::GSClass* GetGSClass();
  // Caches the scripts, links the class and checks that it fits the asset's
  // category (vehicle, trackside, signal). False with a result on failure.
  [[nodiscard]] bool CompileAndCheck(ResultsLog& log);
  // The primary script: the asset folder joined with the lower-cased script
  // file, extension ".gs".
  std::string PrimaryScriptPath() const;

  // Whether the asset is locally modified: asked of the database the first
  // time, then kept for the life of the asset spec.
  [[nodiscard]] bool IsLocallyModified();

private:
  // The category text the script class must fit ("category-class").
  std::string Category() const;
  [[nodiscard]] bool CacheScriptsOnce(const std::string& contentRoot, const std::string& assetFolder,
                                      const std::string& primary, ResultsLog& log);

  bool m_cacheResult = false;
  SoupRef m_scriptInfoConfig;
  Kiv::PString m_scriptFile;
  Kiv::PString m_scriptClass;
  Kiv::PString m_libraryFile;
  uint8_t m_scriptFlags = 0;
  float m_build = 1.3f;
  uint32_t m_contentCrc = 0;
  uint32_t m_pathCrc = 0;
  // Bit 0: the locally-modified answer is known; bit 1: the answer.
  std::atomic<uint8_t> m_modifiedFlags{0};
};

// Whether the asset of a KUID is locally modified, as its asset spec keeps it;
// without a registry or a spec, the database's answer (true for an asset it
// does not know).
[[nodiscard]] bool IsSpecLocallyModified(const KUID& kuid);

// The build a config declares or implies: "rovana-build" b with 1 <= b < 100
// gives b + 0.005; otherwise 2.0 for configs with a "mesh-table", "class" or
// "scriptclass" tag, else 1.3.
float EstimateBuild(const SoupRef& config);

// A counted handle to a spec: each live handle is one holder.
class SpecRef {
public:
  SpecRef() = default;
  explicit SpecRef(GizmokitSpec* spec);
  SpecRef(const SpecRef& other) : SpecRef(other.m_spec) {}
  SpecRef(SpecRef&& other) noexcept : m_spec(other.m_spec) { other.m_spec = nullptr; }
  SpecRef& operator=(SpecRef other) noexcept {
    std::swap(m_spec, other.m_spec);
    return *this;
  }
  ~SpecRef() { Reset(); }

  GizmokitSpec* Get() const { return m_spec; }
  GizmokitSpec* operator->() const { return m_spec; }
  explicit operator bool() const { return m_spec != nullptr; }
  // The asset spec as a RovanaBaseSpec; null when it is none.
  RovanaBaseSpec* AsBase() const { return dynamic_cast<RovanaBaseSpec*>(m_spec); }
  // Drops the holder and stamps the asset spec's release time.
  void Reset();

private:
  GizmokitSpec* m_spec = nullptr;
};

// Makes specs for the kind it is named after.
class GKSpecFactory {
public:
  explicit GKSpecFactory(std::string_view name);
  // Leaves the registry's factory list (and its default) when still in it.
  virtual ~GKSpecFactory();
  GKSpecFactory(const GKSpecFactory&) = delete;
  GKSpecFactory& operator=(const GKSpecFactory&) = delete;

  virtual std::unique_ptr<GizmokitSpec> Create(const KUID& kuid, std::string_view folderKey,
                                               std::string_view folder, std::string_view name,
                                               const SoupRef& config) = 0;
  const Kiv::PString& Name() const { return m_name; }

private:
  Kiv::PString m_name;
};

class UMBScript_RovanaBaseSpecFactory final : public GKSpecFactory {
public:
  UMBScript_RovanaBaseSpecFactory() : GKSpecFactory("--UMBScript_RovanaBaseSpecFactory--") {}
  std::unique_ptr<GizmokitSpec> Create(const KUID& kuid, std::string_view folderKey, std::string_view folder,
                                       std::string_view name, const SoupRef& config) override;
};

using SpecFilter = std::function<bool(GizmokitSpec&)>;

// The process-wide registry; it exists while the asset database is open.
// Every operation takes the one registry lock (recursive).
class SpecRegistry {
public:
  static constexpr size_t kBuckets = 4093;

  SpecRegistry();
  // Shuts down, then frees the table; the process pointer becomes null.
  ~SpecRegistry();
  SpecRegistry(const SpecRegistry&) = delete;
  SpecRegistry& operator=(const SpecRegistry&) = delete;

  // The registry, or null while no database is open.
  static SpecRegistry* Instance();

  // The RovanaBaseSpec of a KUID, found or created; null when the KUID is
  // null or names no asset.
  SpecRef GetSpec(const KUID& kuid, bool skipPreparation = false);
  // Resolves the KUID through the database (cached until the database says
  // its contents changed), then finds or creates the asset spec. Null on failure.
  SpecRef FindOrCreate(const KUID& kuid, const SpecFilter& filter, bool skipPreparation);
  // A registered spec, or null.
  SpecRef FindSpec(const KUID& kuid);
  // Loads the folder's config and makes a spec through the factory named by
  // its "kind" (ignoring case), else the default factory, else a plain
  // RovanaBaseSpec. Null when the config does not load or has no tags, the
  // filter rejects the asset spec, or preparation finds it invalid. A config given
  // (not null) is the folder's, already read: it is used as it is.
  SpecRef CreateSpecFromFolder(const KUID& kuid, const std::string& folder, const SpecFilter& filter,
                               bool skipPreparation, const SoupRef& config = SoupRef());

  // Deletes every spec without holders, clearing its safe pointers. True
  // when anything was deleted.
  [[nodiscard]] bool Purge();
  // Deletes the auxiliary objects, purges until nothing goes, logs the specs
  // still held under "Leaked specs:" and empties the factory list.
  void Shutdown();

  void AddFactory(GKSpecFactory* factory);
  // A factory every registry starts with from now on (kinds of libraries above
  // this one); the registry open now gets it too. It must outlive them all.
  static void AddStandardFactory(GKSpecFactory* factory);
  void RemoveFactory(GKSpecFactory* factory);
  void SetDefaultFactory(GKSpecFactory* factory);
  // Owned objects deleted at shutdown.
  void AddAuxiliary(std::unique_ptr<IdentifiableType> object);

  size_t SpecCount() const { return m_specs.size(); }
  static size_t BucketOf(const KUID& kuid);

private:
  friend class GizmokitSpec;
  void Insert(GizmokitSpec* spec);
  void Remove(GizmokitSpec* spec);
  GizmokitSpec* Lookup(const KUID& kuid) const;

  std::vector<GizmokitSpec*> m_specs;    // owned, in creation order
  std::vector<GizmokitSpec*> m_retired;  // left the registry while still held
  std::vector<std::vector<GizmokitSpec*>> m_table;
  std::vector<std::unique_ptr<IdentifiableType>> m_auxiliary;
  std::vector<GKSpecFactory*> m_factories;
  GKSpecFactory* m_default = nullptr;
  struct KuidLess {
    bool operator()(const KUID& a, const KUID& b) const;
  };
  std::map<KUID, KUID, KuidLess> m_resolved;  // requested -> resolved (null: no spec)
  uint64_t m_resolvedGeneration = 0;          // the database changes m_resolved has seen
};

// Loads the asset folder's "config.chump", else its "config.txt", through the
// content folder of its key. False when neither loads.
[[nodiscard]] bool LoadAssetConfig(const std::string& folder, SoupRef& out);
