#pragma once
// The engine's resources: the content folder that resolves names and makes
// one resource per name through the resource type registered for the name's
// suffix, and the resource that loads itself when first locked (its file,
// then what it depends on, then its completion) and says what it needs.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/PString.h"

namespace Kiv {

class Resource;

// A content folder. Names resolve only inside it.
class ResourceDatabase {
public:
  explicit ResourceDatabase(std::string folder, PString ownerName = {});
  ~ResourceDatabase();
  ResourceDatabase(const ResourceDatabase&) = delete;
  ResourceDatabase& operator=(const ResourceDatabase&) = delete;

  const std::string& Folder() const { return m_folder; }
  // Who the folder's resources belong to (an asset's KUID text).
  const PString& GetOwnerName() const { return m_ownerName; }
  // The on-disk path of a name relative to the folder; empty when the name
  // would leave the folder or names no existing file.
  std::optional<std::string> ResolveName(std::string_view name) const;
  // From now on each name is looked up on disk once, for a database that
  // serves one check of a folder whose files do not change meanwhile.
  void RememberLookups() { m_remember = true; }
  // A look-up that may answer for the disk: given a name relative to the
  // folder (normalised, "/" separated), it gives the answer ResolveName would
  // give (a path, or none for a missing file or a folder) when it knows it,
  // and nothing when the disk must be asked.
  using KnownPath = std::optional<std::optional<std::string>>;
  void SetLookup(std::function<KnownPath(std::string_view relative)> lookup) { m_lookup = std::move(lookup); }
  // The resource of a name (any case, either slash), made once through the
  // resource type registered for the name's suffix and kept with the
  // folder. Null when no type has the suffix, the type makes no resources,
  // or the file is missing.
  Resource* GetResource(std::string_view name);

private:
  std::optional<std::string> ResolveOnDisk(std::string_view relative) const;

  std::string m_folder;
  PString m_ownerName;
  std::mutex m_mutex;
  std::map<std::string, std::unique_ptr<Resource>, std::less<>> m_resources;
  bool m_remember = false;
  std::function<KnownPath(std::string_view)> m_lookup;
  mutable std::optional<std::string> m_folderOnDisk;  // the folder's own spelling, once found
  mutable std::mutex m_foundMutex;
  mutable std::map<std::string, std::optional<std::string>, std::less<>> m_found;  // name -> path on disk
};

// What IsAllLoaded answers.
enum ResourceState : int {
  kResourceReady = 0,    // everything it needs is loaded
  kResourceFailed = 1,   // something it needs cannot load
  kResourceWaiting = 5,  // something it needs is still loading
};

class Resource {
public:
  Resource(PString ownerName, PString path, const ResourceDatabase* database = nullptr)
      : m_ownerName(std::move(ownerName)), m_path(std::move(path)), m_database(database) {}
  virtual ~Resource() = default;
  Resource(const Resource&) = delete;
  Resource& operator=(const Resource&) = delete;

  // A name as resources are known by: lower case with forward slashes.
  static std::string ConvertResourceName(std::string_view name);

  const PString& GetOwnerName() const { return m_ownerName; }
  // The resource's name inside its folder ("meshes/body.im").
  const PString& GetPath() const { return m_path; }
  const ResourceDatabase* GetDatabase() const { return m_database; }
  int GetPriority() const { return m_priority; }
  void SetPriority(int priority) { m_priority = priority; }
  [[nodiscard]] bool AllowsSubstitutes() const { return m_allowsSubstitutes; }
  void SetAllowsSubstitutes(bool allow) { m_allowsSubstitutes = allow; }
  // With substitutes allowed: a material that even its type's plain material
  // cannot stand in for is replaced by a null material, so the load goes on
  // (a check that reports every failed material wants the whole mesh).
  [[nodiscard]] bool AllowsNullSubstitutes() const { return m_allowsNullSubstitutes; }
  void SetAllowsNullSubstitutes(bool allow) { m_allowsNullSubstitutes = allow; }
  void AddFailedMaterial(std::string key) { m_failedMaterials.push_back(std::move(key)); }
  const std::vector<std::string>& GetFailedMaterials() const { return m_failedMaterials; }
  void ClearFailedMaterials() { m_failedMaterials.clear(); }
  // A resource of a text form (a name ending in ".txt") loads through LoadTxt.
  [[nodiscard]] bool IsTextForm() const { return m_textForm; }
  void SetTextForm(bool text) { m_textForm = text; }

  // The first lock loads: Load (or LoadTxt), then LoadAll, then
  // LoadComplete(0). 0 when the resource is loaded, 1 when it failed (a
  // failed resource stays failed and holds no lock).
  int Lock();
  void Unlock();
  int GetLockCount() const { return m_locks; }
  // -1 before the first lock, else what it gave.
  int GetStatus() const { return m_status; }

  // Reads the resource's file: 0, or 1 when it cannot. A plain resource has
  // nothing to read it with.
  virtual int Load(std::string_view fileName);
  virtual int LoadTxt(std::string_view fileName);
  // Asks what the resource depends on to load; false when something fails.
  [[nodiscard]] virtual bool LoadAll() { return true; }
  virtual int IsAllLoaded() { return kResourceReady; }
  // Finishes a load for a frame (0: none); returns the argument.
  virtual int LoadComplete(int frame) { return frame; }

private:
  PString m_ownerName, m_path;
  const ResourceDatabase* m_database;
  int m_priority = 0;
  bool m_allowsSubstitutes = false;
  bool m_allowsNullSubstitutes = false;
  bool m_textForm = false;
  std::vector<std::string> m_failedMaterials;
  int m_locks = 0;
  int m_status = -1;
};

}  // namespace Kiv
