#include "umbclient/ContentFolders.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

#include "foundation/KUID.h"
#include "kiv/File.h"
#include "kiv/String.h"
#include "umbclient/Internal.h"

namespace {

constexpr std::array<const char*, 6> kUserDataKeys = {"local",   "original", "backups",
                                                      "editing", "cache",    "settings"};

struct Roots {
  std::mutex lock;
  std::string installation;
  std::string userData;
  std::string contentRoot;
  std::string scripts;  // without an installation
  // Worked out when a root is set, for SplitContentPath, which every asset check asks:
  // the folder of each user-data key, and whether a root is a plain absolute path.
  std::array<std::string, kUserDataKeys.size()> userDataKeyFolders;
  bool userDataPlain = false;
  bool installationPlain = false;
};

Roots& TheRoots() {
  static Roots r;
  return r;
}

bool IsUserDataKey(std::string_view key) {
  return std::find(kUserDataKeys.begin(), kUserDataKeys.end(), key) != kUserDataKeys.end();
}

// "/" separators, "." and ".." folded, no trailing separator.
std::string Normalised(std::string_view path) {
  if (Kiv::IsPlainAbsolutePath(path)) return std::string(path);  // already so
  Kiv::File::Path p(path);
  p.Normalise();
  std::string s = p.Str();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// True when `path` climbs above its start with ".." (after folding).
bool Escapes(std::string_view path) {
  int depth = 0;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = i;
    while (j < path.size() && path[j] != '/' && path[j] != '\\') ++j;
    std::string_view part = path.substr(i, j - i);
    if (part == "..") {
      if (--depth < 0) return true;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    i = j + 1;
  }
  return false;
}

// The part of `path` below `folder` (both normalised); false when it is not below it.
// bothPlain: both are plain absolute paths (Kiv::IsPlainAbsolutePath), as the caller knows.
bool RelativeTo(const std::string& path, const std::string& folder, std::string& relative, bool bothPlain) {
  if (folder.empty()) return false;
  if (bothPlain) {
    // Components match without regard to case; "/" has no other case, so the
    // components line up exactly when the whole prefix does.
    if (path.size() < folder.size() ||
        Kiv::CompareNoCase(std::string_view(path).substr(0, folder.size()), folder) != 0 ||
        (path.size() > folder.size() && path[folder.size()] != '/'))
      return false;
    relative = path.size() > folder.size() ? path.substr(folder.size() + 1) : std::string();
    return true;
  }
  Kiv::File::Path p(path);
  if (!p.MakeRelativeTo(Kiv::File::Path(folder))) return false;
  relative = p.Str();
  while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
  return true;
}

std::string Join(std::string base, std::string_view part) {
  if (base.empty()) return base;
  if (base.back() != '/') base += '/';
  base.append(part);
  return base;
}

}  // namespace

void SetInstallationRoot(const std::string& path) {
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> g(roots.lock);
  roots.installation = path.empty() ? path : Normalised(path);
  roots.installationPlain = Kiv::IsPlainAbsolutePath(roots.installation);
}

std::string GetInstallationRoot() {
  std::lock_guard<std::mutex> g(TheRoots().lock);
  return TheRoots().installation;
}

void SetUserDataFolder(const std::string& path) {
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> g(roots.lock);
  roots.userData = path.empty() ? path : Normalised(path);
  roots.userDataPlain = Kiv::IsPlainAbsolutePath(roots.userData);
  for (size_t k = 0; k < kUserDataKeys.size(); ++k)
    roots.userDataKeyFolders[k] = Join(roots.userData, kUserDataKeys[k]);
}

std::string GetUserDataFolder() {
  std::lock_guard<std::mutex> g(TheRoots().lock);
  return TheRoots().userData;
}

void SetContentRootPath(const std::string& path) {
  std::lock_guard<std::mutex> g(TheRoots().lock);
  TheRoots().contentRoot = path;
}

std::string GetContentRootPath() {
  std::lock_guard<std::mutex> g(TheRoots().lock);
  return TheRoots().contentRoot;
}

std::string GetContentFolderPath(std::string_view key) {
  // A key is one folder name: separators or ".." would leave the root.
  if (key.empty() || key == "." || key == ".." || key.find_first_of("/\\") != std::string_view::npos)
    return std::string();
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> g(roots.lock);
  // A user-data key's folder was joined when the user data's folder was set.
  for (size_t k = 0; k < kUserDataKeys.size(); ++k)
    if (key == kUserDataKeys[k]) return roots.userDataKeyFolders[k];
  return Join(roots.installation, key);
}

bool SplitContentPath(const std::string& path, std::string& key, std::string& relative) {
  key.clear();
  relative.clear();
  // Every asset check asks with a plain absolute path, which climbs nowhere and is
  // normalised already.
  const bool plain = Kiv::IsPlainAbsolutePath(path);
  if (!plain && (path.empty() || Escapes(path))) return false;
  std::string normalised;
  if (!plain) normalised = Normalised(path);
  const std::string& normal = plain ? path : normalised;
  const bool normalPlain = plain || Kiv::IsPlainAbsolutePath(normal);
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> g(roots.lock);
  // The folder of a user-data key is the user data's folder and the key, a plain name.
  const bool userPlain = normalPlain && roots.userDataPlain;
  std::string rest;
  if (userPlain) {
    // One comparison of the user data's folder, then the key's component: the same
    // answer as trying each key's folder in turn, as the keys differ.
    const std::string& user = roots.userData;
    const std::string_view p(normal);
    if (p.size() > user.size() + 1 && p[user.size()] == '/' &&
        Kiv::CompareNoCase(p.substr(0, user.size()), user) == 0) {
      const std::string_view below = p.substr(user.size() + 1);
      const std::string_view first = below.substr(0, below.find('/'));
      for (const char* k : kUserDataKeys) {
        if (Kiv::CompareNoCase(first, k) != 0) continue;
        key = k;
        if (first.size() < below.size()) relative = below.substr(first.size() + 1);
        return true;
      }
    }
  }
  for (size_t k = 0; !userPlain && k < kUserDataKeys.size(); ++k) {
    if (RelativeTo(normal, roots.userDataKeyFolders[k], rest, userPlain)) {
      key = kUserDataKeys[k];
      relative = rest;
      return true;
    }
  }
  if (!RelativeTo(normal, roots.installation, rest, normalPlain && roots.installationPlain) || rest.empty())
    return false;
  size_t cut = rest.find('/');
  std::string first = rest.substr(0, cut);
  // The user-data keys never name folders below the installation root.
  if (IsUserDataKey(first)) return false;
  key = first;
  relative = cut == std::string::npos ? std::string() : rest.substr(cut + 1);
  return true;
}

bool SplitContentPath(std::string& path) {
  std::string key, relative;
  if (!SplitContentPath(path, key, relative)) return false;
  path = relative;
  return true;
}

std::string GetPluginsFolderPath() {
  std::string root = GetInstallationRoot();
  return root.empty() ? root : Join(root, "bin/plugins");
}

void SetScriptsFolder(const std::string& path) {
  std::lock_guard<std::mutex> g(TheRoots().lock);
  TheRoots().scripts = path.empty() ? path : Kiv::AbsolutePath(path);
}

std::string GetScriptsFolderPath() {
  std::lock_guard<std::mutex> g(TheRoots().lock);
  const Roots& roots = TheRoots();
  return roots.installation.empty() ? roots.scripts : Join(roots.installation, "scripts");
}

std::string GetLibraryCachePath(const KUID& kuid) {
  std::string cache = GetContentFolderPath("cache");
  if (cache.empty()) return cache;
  std::string folder = Join(cache, "libraries/" + std::to_string(kuid.user) + "_" +
                                       std::to_string(kuid.content) + "_" + std::to_string(kuid.version));
  if (!Kiv::File::IsDirectory(folder) && !Kiv::File::CreateDirectories(folder)) {
    UmbLog("GetLibraryCachePath> unable to create '" + folder + "'");
    return std::string();
  }
  return folder;
}

// ---- content folders and their cache ----

ContentFolder::ContentFolder(std::string setName, std::string path)
    : m_setName(std::move(setName)), m_path(std::move(path)) {}

std::string ContentFolder::FilePath(std::string_view relative) const { return Join(m_path, relative); }

namespace {

struct Cache {
  std::mutex lock;
  std::vector<ContentFolder*> entries;
  // The cache owns its folders: whatever is still cached at exit goes with it.
  ~Cache() {
    for (ContentFolder* f : entries) delete f;
  }
};

Cache& TheCache() {
  static Cache c;
  return c;
}

// Must hold the cache lock.
size_t PurgeLocked(Cache& c) {
  size_t before = c.entries.size();
  auto keep = std::stable_partition(c.entries.begin(), c.entries.end(),
                                    [](ContentFolder* f) { return f->RefCount() > 0; });
  for (auto it = keep; it != c.entries.end(); ++it) delete *it;
  c.entries.erase(keep, c.entries.end());
  return before - c.entries.size();
}

}  // namespace

void FolderCache::AddRef(ContentFolder* folder) {
  if (!folder) return;
  Cache& c = TheCache();
  std::lock_guard<std::mutex> g(c.lock);
  // Only folders the cache owns are counted; anything else would be a stale handle.
  if (std::find(c.entries.begin(), c.entries.end(), folder) == c.entries.end()) {
    UmbLog("FolderCache::AddRef> unknown folder");
    return;
  }
  folder->AddRef();
}

void FolderCache::Release(ContentFolder* folder) {
  if (!folder) return;
  Cache& c = TheCache();
  std::lock_guard<std::mutex> g(c.lock);
  if (std::find(c.entries.begin(), c.entries.end(), folder) == c.entries.end() || folder->RefCount() <= 0) {
    UmbLog("FolderCache::Release> folder not held");
    return;
  }
  folder->Release();
}

size_t FolderCache::Size() {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> g(c.lock);
  return c.entries.size();
}

size_t FolderCache::Purge() {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> g(c.lock);
  return PurgeLocked(c);
}

ContentFolder* OpenContentFolder(const std::string& path) { return OpenContentFolder(std::string(), path); }

ContentFolder* OpenContentFolder(const std::string& setName, const std::string& path) {
  if (path.empty()) return nullptr;
  std::string normal = Normalised(path);
  Cache& c = TheCache();
  std::lock_guard<std::mutex> g(c.lock);
  for (ContentFolder* f : c.entries) {
    if (f->SetName() == setName && f->Path() == normal) {
      f->AddRef();
      return f;
    }
  }
  if (c.entries.size() >= FolderCache::kCapacity) PurgeLocked(c);
  if (c.entries.size() >= FolderCache::kCapacity) {
    UmbLog("OpenContentFolder> folder cache full, unable to open '" + normal + "'");
    return nullptr;
  }
  auto* f = new ContentFolder(setName, normal);
  f->AddRef();
  c.entries.push_back(f);
  return f;
}

ContentFolder* OpenNamedContentFolder(std::string_view key, bool& ok) {
  ok = true;
  if (key.empty()) return nullptr;
  std::string path = GetContentFolderPath(key);
  ContentFolder* f = path.empty() ? nullptr : OpenContentFolder(std::string(key), path);
  ok = f != nullptr;
  return f;
}
