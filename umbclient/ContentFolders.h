// Content folders: where the installation and the user's data live, which content
// folder a path belongs to, and a small counted cache of opened content folders.
//
// Paths are plain texts with "/" separators. Functions that take a path also accept
// "\\" separators. All functions are safe to call from several threads.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "kiv/RefCount.h"

struct KUID;

// ---- process-wide roots (set at start-up) ----

// The installation root (holds "OBLData", "bin", "base", the tables). Empty when not set.
void SetInstallationRoot(const std::string& path);
std::string GetInstallationRoot();

// The user-data folder (holds "local", "original", "backups", "editing", "cache",
// "settings", ...). Empty when not set.
void SetUserDataFolder(const std::string& path);
std::string GetUserDataFolder();

// The tool's content root: a process-wide path prefix for content-set names. Empty when
// not set.
void SetContentRootPath(const std::string& path);
std::string GetContentRootPath();

// ---- folder keys and paths ----

// The folder of a content-folder key: "local", "original", "backups", "editing", "cache"
// and "settings" lie under the user-data folder, any other key under the installation
// root. Empty when the key is empty or the root it needs is not set.
std::string GetContentFolderPath(std::string_view key);

// Works out which content folder `path` lies in: `key` gets the folder key and `relative`
// the path inside that folder ("/" separators, no leading "/"). The user-data keys are
// tried first, then the first component below the installation root. False when the path
// lies in no content folder (or climbs out of one with ".."); the outputs are then empty.
[[nodiscard]] bool SplitContentPath(const std::string& path, std::string& key, std::string& relative);

// In/out form: replaces `path` by its path relative to its content folder. False (path
// unchanged) when it lies in none.
[[nodiscard]] bool SplitContentPath(std::string& path);

// The installation root's "bin/plugins" folder; empty when the root is unknown.
std::string GetPluginsFolderPath();

// The script sources that asset scripts include before anything else: "scripts"
// in the installation root; without a root, the folder last given to
// SetScriptsFolder (a program that runs scripts without an installation names
// the one it found). Never taken from the current folder; empty when unknown.
void SetScriptsFolder(const std::string& path);
std::string GetScriptsFolderPath();

// The folder of compiled script libraries of an asset: <user data>/cache/libraries/<u>_<c>_<v>,
// created when missing. Empty when the user-data folder is not set or the folder cannot be
// created.
std::string GetLibraryCachePath(const KUID& kuid);

// ---- opened content folders ----

// One opened content folder: a content-set name (may be empty) and its folder path.
// Counted: the folder cache holds the entries; callers hold references taken by
// OpenContentFolder / FolderCache::AddRef and give them back with FolderCache::Release,
// which count under the cache's lock. An entry nobody holds stays cached until a purge.
class ContentFolder : private Kiv::RefCounted<ContentFolder, true, int> {
public:
  ContentFolder(std::string setName, std::string path);
  virtual ~ContentFolder() = default;
  ContentFolder(const ContentFolder&) = delete;
  ContentFolder& operator=(const ContentFolder&) = delete;

  const std::string& SetName() const { return m_setName; }
  const std::string& Path() const { return m_path; }
  // A file inside the folder: Path() joined with `relative`.
  std::string FilePath(std::string_view relative) const;

  int RefCount() const { return GetReferenceCount(); }
  static void DestroyCounted(ContentFolder*) {}

private:
  friend class FolderCache;
  friend class Kiv::RefCounted<ContentFolder, true, int>;
  friend ContentFolder* OpenContentFolder(const std::string& setName, const std::string& path);
  std::string m_setName;
  std::string m_path;
};

class FolderCache {
public:
  static constexpr size_t kCapacity = 256;

  // Adds / drops one reference. A null folder is ignored. A folder whose count drops to
  // zero stays cached until a purge.
  static void AddRef(ContentFolder* folder);
  static void Release(ContentFolder* folder);

  // Number of cached entries (referenced or not).
  static size_t Size();
  // Deletes every unreferenced entry; returns how many were removed.
  static size_t Purge();
};

// Looks up the folder for (setName, path) in the folder cache or creates it; a hit adds a
// reference. A full cache is first purged of unreferenced entries; when it is still full,
// or the path is empty, the result is null. The caller releases with FolderCache::Release.
ContentFolder* OpenContentFolder(const std::string& path);
ContentFolder* OpenContentFolder(const std::string& setName, const std::string& path);

// Opens the content folder of a folder key through the cache. No key: null with ok = true.
// A key whose folder is unknown or cannot be cached: null with ok = false.
ContentFolder* OpenNamedContentFolder(std::string_view key, bool& ok);
