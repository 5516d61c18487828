#pragma once
// The process-wide schema manager of the config-schema library: the merged
// schema of "OBLData/", the data-file lists, the user's personal details, the
// asset under check and the registries of live config tags and containers.
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config/PtrList.h"
#include "foundation/Soup.h"
#include "kiv/File.h"
#include "kiv/PString.h"
#include "kiv/Status.h"
#include "kiv/render/Material.h"
#include "kiv/render/RenderKernel.h"

class ContentFolder;

namespace OBLLib {

class AssetFiles;
class Container;
class Tag;
struct LODMeshRecord;

// An object loaded for a config container during a check (a mesh); owned by
// the live-object map and deleted through this base.
class LiveObject {
public:
  virtual ~LiveObject() = default;
  // True when the object lists this path among its file records.
  [[nodiscard]] virtual bool ListsFile(const Kiv::PString& path) const = 0;
  // True when the object has an attachment point of that name (a mesh).
  [[nodiscard]] virtual bool ListsAttachment(const Kiv::PString& name) const {
    (void)name;
    return false;
  }
};

struct PersonalDetails {
  Kiv::PString author;        // "author"
  Kiv::PString license;       // "license"
  Kiv::PString organisation;  // "organisation"
  Kiv::PString email;         // "email"
  Kiv::PString website;       // "website"
  bool isInputBoxOn = false;  // "isinputboxon"

  bool operator==(const PersonalDetails&) const = default;
};

// One data file of the schema folder: its lines as key/value pairs, in order.
// A line without a blank has a null value.
struct DataFileList {
  std::vector<std::pair<Kiv::PString, Kiv::PString>> lines;
  std::unordered_set<std::string> lowerKeys;  // the keys folded to lower case
  // True when some line's key equals the text, ignoring case.
  [[nodiscard]] bool HasKey(std::string_view text) const;
};

class DataManager {
public:
  // Makes the singleton for the data folder (text with its trailing "/"); true.
  [[nodiscard]] static bool Create(const char* rootFolder);
  // The singleton; ends the process when there is none. The first call runs
  // EnsureInitialised.
  static DataManager* Instance();
  // The singleton or null, without side effects (for destructors at shut-down).
  static DataManager* Existing();
  // Saves the personal details, unloads everything and deletes the singleton.
  static void Destroy();

  // ---- the check scene and the shared material resources ----
  // Builds the scene meshes are loaded into for checks: a root in the
  // kernel's scene graph and, with a view, a parallel light; publishes the
  // kernel for mesh loading. True.
  [[nodiscard]] virtual bool SetUpScene(const Kiv::RenderContext& context);
  [[nodiscard]] bool HasScene() const { return m_sceneRoot != nullptr; }
  Kiv::RenderKernel* SceneKernel() const { return m_kernel; }
  Kiv::Particle* SceneRoot() const { return m_sceneRoot.get(); }
  Kiv::ParallelLight* SceneLight() const { return m_light.get(); }
  // Makes the program's own alpha-blend caches (the sorted and the unsorted
  // one, in that order); the schema library cannot make them itself.
  using CacheFactory = std::function<std::vector<std::shared_ptr<Kiv::RenderingCache>>()>;
  static void SetSharedCacheFactory(CacheFactory factory);
  // Once, with a scene kernel: makes the alpha-blend caches, loads one probe
  // material of each of the product's material types (logging each that does
  // not load), gives the shared texture to the "gloss" and "reflect"
  // materials and keeps the vertex types of the plain materials.
  static void RegisterRovanaBumpVertexType();
  // Undoes the registration; nothing when there was none.
  static void ReleaseSharedResources();
  [[nodiscard]] static bool SharedResourcesRegistered();
  // The probe material of a type (null when it did not load) and the kept vertex types.
  static std::shared_ptr<Kiv::Material> SharedMaterial(std::string_view type);
  static size_t SharedVertexTypeCount();

  explicit DataManager(const char* rootFolder);
  virtual ~DataManager();
  DataManager(const DataManager&) = delete;
  DataManager& operator=(const DataManager&) = delete;

  // True when the data folder exists; then the personal details are loaded.
  [[nodiscard]] bool EnsureInitialised();
  // Loads the three schema files and the data-file table, once; later calls
  // give the first call's result.
  [[nodiscard]] bool LoadSchema();
  // Why that load failed (none of the schema files gave a definition, naming
  // them, or the data folder could not be listed); ok while it stands.
  const Kiv::Status& SchemaStatus() const { return m_schemaStatus; }
  // One line for each schema file that exists but did not read, whose
  // definitions are therefore missing; a missing file is no fault.
  const std::vector<std::string>& SchemaNotes() const { return m_schemaNotes; }
  // Reads "personalDetails.txt"; a missing file changes nothing. False when
  // the file exists but does not read.
  [[nodiscard]] bool LoadPersonalDetails();
  // Writes "personalDetails.txt" (replacing it atomically).
  [[nodiscard]] bool SavePersonalDetails();

  // Makes an asset the asset under check; returns its content folder (may be
  // null). The name is the content-folder key of the asset ("local",
  // "editing", ...) or, for an asset outside every content folder, the
  // absolute path of the folder that holds it; folder is the asset folder
  // relative to that content folder. Clears the per-asset flags (borrowed
  // mesh, mesh failure).
  ContentFolder* SetCurrentAsset(const Kiv::PString& assetName, const Kiv::File::Path& folder);
  // Counts the assets made the asset under check: caches of what an asset's
  // files hold are kept for one check, since files may change between checks.
  uint64_t CheckSerial() const { return m_checkSerial; }
  // A path inside the content folder (as a loaded mesh keeps it) as the
  // asset's config names it: relative to the asset folder, however deep that
  // lies. A path outside the asset folder is returned as it is.
  std::string PathInAsset(std::string_view contentPath) const;
  // The name of the asset under check (null when none).
  Kiv::PString GetCurrentAssetPath() const { return m_assetName; }

  // ---- registries ----
  void RegisterTagBySource(const Kiv::PString& key, Tag* tag);
  void RegisterObjectByKey(const Kiv::PString& key, Container* container);
  // Files the tag in the first tag list unless it is there already.
  void RegisterTag(Tag* tag);
  void RegisterUniqueTag(Tag* tag);
  // True when a container filed under key is named path, or a live object
  // lists path among its files; under the key "attachment", also when a mesh
  // loaded for the asset under check has an attachment point of that name.
  [[nodiscard]] bool IsPathRegistered(const Kiv::PString& path, const Kiv::PString& key) const;
  // Removes the tag from the key-registry lists and tag lists it was filed in.
  void UnregisterTag(const Tag* tag);
  // Drops what is filed for a container that goes away: its live object and
  // its object-registry entries.
  void ForgetContainer(const Container* container);
  // Empties one key-registry list.
  void ClearKeyList(const Kiv::PString& key);

  const PtrList<Tag>* TagsBySource(const Kiv::PString& key) const;
  const PtrList<Container>* ObjectsByKey(const Kiv::PString& key) const;
  const PtrList<Tag>& FirstTagList() const { return m_firstTags; }
  const PtrList<Tag>& SecondTagList() const { return m_secondTags; }

  // ---- live objects ----
  // Files an object for the container, deleting one filed before.
  void SetLiveObject(const Container* container, std::unique_ptr<LiveObject> object);
  LiveObject* GetLiveObject(const Container* container) const;
  size_t LiveObjectCount() const { return m_liveObjects.size(); }
  // Deletes every live object; the current mesh becomes null with them.
  void ClearLiveObjects();
  LiveObject* CurrentMesh() const { return m_currentMesh; }
  void SetCurrentMesh(LiveObject* mesh) { m_currentMesh = mesh; }

  // ---- schema and data files ----
  const SoupRef& Schema() const { return m_schema; }
  // The data file of that name (compared ignoring case), or null.
  const DataFileList* GetDataFile(const Kiv::PString& fileName) const;
  size_t DataFileCount() const { return m_dataFiles.size(); }

  // The mesh check of file-path tags: given the path (asset folder + value in
  // lower case) and the owner, a record to keep on the owner, or null. Unset,
  // file paths are not checked here.
  using LODMeshCheck =
      std::function<std::shared_ptr<LODMeshRecord>(const std::string& path, Container& owner)>;
  void SetLODMeshCheck(LODMeshCheck check) { m_lodMeshCheck = std::move(check); }
  const LODMeshCheck& GetLODMeshCheck() const { return m_lodMeshCheck; }
  // Loads a mesh or animation file of the asset through the installed mesh
  // loader (MeshProbe.h) by its extension: "im", "lm", an ".lm.txt" and "pm"
  // meshes, "kin" animations. A mesh that loads becomes the current mesh,
  // filed under the container; an LOD mesh of a kind that is not exempt gets
  // the performance warnings. Returns the mesh, or null.
  LiveObject* CheckLODMesh(const std::string& path, Container* container);

  const Kiv::PString& RootFolder() const { return m_rootFolder; }
  PersonalDetails& Personal() { return m_personal; }

  // ---- state of the asset under check ----
  bool meshFailure = false;
  bool borrowedMesh = false;
  bool checkOptions[2] = {false, false};
  Kiv::File::Path assetFolder;
  std::string contentFolder;  // on-disk folder the asset folder is relative to ("" when unknown)
  Kiv::PString configFileName;
  float build = 3.4f;
  // The listings of the asset folder while a whole asset check runs (null
  // otherwise): its file look-ups are answered from them.
  AssetFiles* assetFiles = nullptr;

private:
  [[nodiscard]] bool LoadDataFiles();
  void UnloadSchema();
  void ReleaseAssetFolder();

  bool m_schemaLoaded = false;
  bool m_schemaResult = false;
  Kiv::Status m_schemaStatus;
  std::vector<std::string> m_schemaNotes;
  bool m_initialised = false;
  bool m_personalUnreadable = false;  // the file exists but did not read: never overwrite it
  bool m_personalOnDisk = false;      // the file read well and holds m_personalOnDiskValues
  bool m_personalRead = false;        // LoadPersonalDetails has run
  PersonalDetails m_personalOnDiskValues;
  Kiv::PString m_rootFolder;
  SoupRef m_schema;
  std::unordered_map<uint64_t, std::unique_ptr<LiveObject>> m_liveObjects;  // by container id
  LiveObject* m_currentMesh = nullptr;
  PersonalDetails m_personal;
  std::unordered_map<Kiv::PString, PtrList<Container>> m_objectRegistry;
  std::unordered_map<Kiv::PString, PtrList<Tag>> m_keyRegistry;
  PtrList<Tag> m_firstTags;
  PtrList<Tag> m_secondTags;
  std::unordered_map<std::string, DataFileList> m_dataFiles;  // by lower-case file name
  ContentFolder* m_assetFolderHandle = nullptr;
  uint64_t m_checkSerial = 0;
  Kiv::PString m_assetName;
  LODMeshCheck m_lodMeshCheck;
  Kiv::RenderKernel* m_kernel = nullptr;
  Kiv::View* m_view = nullptr;
  std::shared_ptr<Kiv::Particle> m_sceneRoot;
  std::shared_ptr<Kiv::ParallelLight> m_light;
};

}  // namespace OBLLib
