#include "config/AssetPaths.h"

#include <algorithm>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "config/AssetFiles.h"
#include "config/DataManager.h"
#include "kiv/File.h"

namespace OBLLib {

namespace {

// Appends the components of part to the stack; false when the part is
// absolute, names a drive ("c:") or climbs above the stack's start.
bool PushComponents(std::string_view part, std::vector<std::string_view>& stack) {
  if (!part.empty() && (part[0] == '/' || part[0] == '\\')) return false;
  if (part.size() >= 2 && part[1] == ':') return false;
  while (!part.empty()) {
    size_t cut = 0;
    while (cut < part.size() && part[cut] != '/' && part[cut] != '\\') ++cut;
    std::string_view item = part.substr(0, cut);
    part = cut == part.size() ? std::string_view() : part.substr(cut + 1);
    if (item.empty() || item == ".") continue;
    if (item == "..") {
      if (stack.empty()) return false;
      stack.pop_back();
      continue;
    }
    if (item.find(':') != std::string_view::npos) return false;  // a drive or stream name
    stack.push_back(item);
  }
  return true;
}

// One component as PushComponents keeps it unchanged: not empty, "." or "..",
// without separators or a drive or stream name.
bool IsPlainComponent(std::string_view item) {
  if (item.empty() || item == "." || item == "..") return false;
  for (const char c : item)
    if (c == '/' || c == '\\' || c == ':') return false;
  return true;
}

// A relative folder that PushComponents takes as it is: plain components
// between single "/".
bool IsPlainRelativeFolder(std::string_view folder) {
  if (folder.empty()) return false;
  for (size_t i = 0; i <= folder.size();) {
    const size_t end = std::min(folder.find('/', i), folder.size());
    if (!IsPlainComponent(folder.substr(i, end - i))) return false;
    i = end + 1;
  }
  return true;
}

}  // namespace

std::optional<std::string> JoinInsideContentFolder(std::string_view assetFolder, std::string_view value) {
  std::vector<std::string_view> stack;
  if (!PushComponents(assetFolder, stack) || !PushComponents(value, stack)) return std::nullopt;
  std::string out;
  for (std::string_view item : stack) {
    if (!out.empty()) out += '/';
    out += item;
  }
  return out;
}

namespace {

// The value joined below the asset folder (relative to the content folder) and
// the asset folder itself; false when a part is refused.
struct Joined {
  std::string inside, asset;
  // The part of inside below the asset folder, when it lies there.
  std::optional<std::string_view> BelowAsset() const {
    if (asset.empty() || inside.size() <= asset.size() || inside.compare(0, asset.size(), asset) != 0 ||
        inside[asset.size()] != '/')
      return std::nullopt;
    return std::string_view(inside).substr(asset.size() + 1);
  }
};
bool JoinWithAsset(std::string_view assetFolder, std::string_view value, Joined& out) {
  // One walk of the components serves both: the asset folder's, then the value's.
  std::vector<std::string_view> stack;
  if (!PushComponents(assetFolder, stack)) return false;
  auto joinStack = [&stack](std::string& to) {
    to.clear();
    for (std::string_view item : stack) {
      if (!to.empty()) to += '/';
      to += item;
    }
  };
  joinStack(out.asset);
  if (!PushComponents(value, stack) || stack.empty()) return false;
  joinStack(out.inside);
  return true;
}

}  // namespace

std::optional<std::string> ResolveAssetPath(std::string_view contentFolder, std::string_view assetFolder,
                                            std::string_view value) {
  Joined joined;
  if (contentFolder.empty() || !JoinWithAsset(assetFolder, value, joined)) return std::nullopt;
  // The value is matched below the asset folder's on-disk spelling (one lookup when it is
  // spelled as on disk): a missing file is then looked for in the asset's own folders,
  // never by listing the content folder, which holds every asset, and its parents.
  const std::optional<std::string_view> below = joined.BelowAsset();
  const std::string assetPath = Kiv::File::Path{std::string(contentFolder)}.Join(joined.asset).Str();
  const std::optional<std::string> base =
      Kiv::ResolvePath(below ? std::string_view(assetPath) : contentFolder);
  if (!base) return std::nullopt;
  std::optional<std::string> found = Kiv::ResolvePathBelow(*base, below ? *below : joined.inside);
  if (found && !UsableThroughLinks(contentFolder, assetPath, *found)) return std::nullopt;
  return found;
}

bool UsableThroughLinks(std::string_view below, std::string_view assetFolder, std::string_view found) {
  return !Kiv::PassesThroughLink(below, found) || Kiv::IsInsideFolderResolved(assetFolder, found);
}

std::optional<std::string> ResolveCurrentAssetFile(std::string_view value) {
  const DataManager* dm = DataManager::Existing();
  if (!dm) return std::nullopt;
  if (dm->assetFiles && !dm->contentFolder.empty()) {
    // A name inside the asset is answered from the check's listings. Most are a
    // file's plain name in the asset folder itself: that is the name below it.
    if (IsPlainComponent(value) && IsPlainRelativeFolder(dm->assetFolder.View()))
      return dm->assetFiles->Find(value);
    Joined joined;
    if (!JoinWithAsset(dm->assetFolder.View(), value, joined)) return std::nullopt;
    if (const std::optional<std::string_view> below = joined.BelowAsset())
      return dm->assetFiles->Find(*below);
  }
  return ResolveAssetPath(dm->contentFolder, dm->assetFolder.View(), value);
}

std::optional<std::optional<std::string>> ListedContentFile(std::string_view contentFolder,
                                                            std::string_view name) {
  const DataManager* dm = DataManager::Existing();
  if (!dm || !dm->assetFiles || dm->contentFolder.empty() || dm->contentFolder != contentFolder)
    return std::nullopt;
  Joined joined;
  joined.inside = name;
  const std::optional<std::string> asset = JoinInsideContentFolder(dm->assetFolder.View(), "");
  if (!asset) return std::nullopt;
  joined.asset = *asset;
  const std::optional<std::string_view> below = joined.BelowAsset();
  if (!below) return std::nullopt;
  AssetFiles& files = *dm->assetFiles;
  const std::optional<std::string> onDisk = files.Match(*below);
  if (!onDisk) {
    // Not in the asset's folder, spelled as the name spells it: missing. A
    // folder beside it spelled in another case is another asset's and lends
    // it no files.
    const std::string& folder = files.Folder();
    const bool sameSpelling = folder.size() > asset->size() && folder.ends_with(*asset) &&
                              folder[folder.size() - asset->size() - 1] == '/';
    return sameSpelling ? std::optional<std::optional<std::string>>(std::optional<std::string>())
                        : std::nullopt;
  }
  if (files.PassesThroughLink(*onDisk)) return std::nullopt;
  if (files.IsFolder(*onDisk)) return std::optional<std::string>();
  return std::optional<std::string>(files.PathOf(*onDisk));
}

bool ContentFolderIsPacked(std::string_view contentFolder) {
  // Where to look, worked out once for the content folder a batch's checks share.
  struct Where {
    std::string folder, name, beside, key;
  };
  thread_local Where where;
  if (where.key.empty() || where.folder != contentFolder) {
    Kiv::File::Path packed{std::string(contentFolder)};
    while (packed.Length() > 1 && (packed.View().back() == '/' || packed.View().back() == '\\'))
      packed = Kiv::File::Path(packed.View().substr(0, packed.Length() - 1));
    where.name = packed.GetFileName() + ".ja";
    packed.RemoveFileName();
    where.beside = packed.IsEmpty() ? std::string(".") : packed.Str();
    where.key = where.beside + '\n' + where.name;
    where.folder = contentFolder;
  }
  const std::string& name = where.name;
  if (name == ".ja") return false;
  const std::string& beside = where.beside;
  // Every asset of a batch asks: the answer is kept while the folder beside the
  // content folder keeps its time. Only an answer found on a later clock tick than
  // that time is kept, since a change within the same tick would not move it.
  struct Known {
    int64_t modifiedNs, changedNs;
    bool packed;
  };
  static std::mutex lock;
  static std::unordered_map<std::string, Known> known;
  const std::string& key = where.key;
  Kiv::File::Status status;
  const bool stated = Kiv::File::GetStatus(beside, status);
  if (stated) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = known.find(key);
    if (found != known.end() && found->second.modifiedNs == status.modifiedNs &&
        found->second.changedNs == status.changedNs)
      return found->second.packed;
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  // Only the folder beside it is searched for the name: a failing lookup of the whole
  // path would list every parent folder for other spellings.
  const std::optional<std::string> parent = Kiv::ResolvePath(beside);
  const bool isPacked = parent && Kiv::ResolvePathBelow(*parent, name).has_value();
  const int64_t nowNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  if (stated && status.modifiedNs < nowNs && status.changedNs < nowNs) {
    std::lock_guard<std::mutex> guard(lock);
    if (known.size() >= 1024) known.clear();  // a bound on memory
    known[key] = Known{status.modifiedNs, status.changedNs, isPacked};
  }
  return isPacked;
}

bool CurrentContentFolderIsPacked() {
  const DataManager* dm = DataManager::Existing();
  return dm && !dm->contentFolder.empty() && ContentFolderIsPacked(dm->contentFolder);
}

}  // namespace OBLLib
