#include "config/AssetPaths.h"

#include <vector>

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
    size_t cut = part.find_first_of("/\\");
    std::string_view item = part.substr(0, cut);
    part = cut == std::string_view::npos ? std::string_view() : part.substr(cut + 1);
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

std::optional<std::string> ResolveAssetPath(std::string_view contentFolder, std::string_view assetFolder,
                                            std::string_view value) {
  if (contentFolder.empty()) return std::nullopt;
  const std::optional<std::string> inside = JoinInsideContentFolder(assetFolder, value);
  const std::optional<std::string> asset = JoinInsideContentFolder(assetFolder, "");
  if (!inside || inside->empty() || !asset) return std::nullopt;
  // The value is matched below the asset folder's on-disk spelling (one lookup when it is
  // spelled as on disk): a missing file is then looked for in the asset's own folders,
  // never by listing the content folder, which holds every asset, and its parents.
  const bool inAsset = !asset->empty() && inside->size() > asset->size() &&
                       inside->compare(0, asset->size(), *asset) == 0 && (*inside)[asset->size()] == '/';
  const std::string assetPath = Kiv::File::Path{std::string(contentFolder)}.Join(*asset).Str();
  const std::optional<std::string> base =
      Kiv::ResolvePath(inAsset ? std::string_view(assetPath) : contentFolder);
  if (!base) return std::nullopt;
  std::optional<std::string> found =
      Kiv::ResolvePathBelow(*base, inAsset ? std::string_view(*inside).substr(asset->size() + 1) : *inside);
  if (found && !UsableThroughLinks(contentFolder, assetPath, *found)) return std::nullopt;
  return found;
}

bool UsableThroughLinks(std::string_view below, std::string_view assetFolder, std::string_view found) {
  return !Kiv::PassesThroughLink(below, found) || Kiv::IsInsideFolderResolved(assetFolder, found);
}

std::optional<std::string> ResolveCurrentAssetFile(std::string_view value) {
  const DataManager* dm = DataManager::Existing();
  if (!dm) return std::nullopt;
  return ResolveAssetPath(dm->contentFolder, dm->assetFolder.View(), value);
}

bool ContentFolderIsPacked(std::string_view contentFolder) {
  Kiv::File::Path packed{std::string(contentFolder)};
  while (packed.Length() > 1 && (packed.View().back() == '/' || packed.View().back() == '\\'))
    packed = Kiv::File::Path(packed.View().substr(0, packed.Length() - 1));
  const std::string name = packed.GetFileName() + ".ja";
  packed.RemoveFileName();
  if (name == ".ja") return false;
  // Only the folder beside it is searched for the name: a failing lookup of the whole
  // path would list every parent folder for other spellings.
  const std::optional<std::string> parent =
      Kiv::ResolvePath(packed.IsEmpty() ? std::string_view(".") : packed.View());
  return parent && Kiv::ResolvePathBelow(*parent, name).has_value();
}

bool CurrentContentFolderIsPacked() {
  const DataManager* dm = DataManager::Existing();
  return dm && !dm->contentFolder.empty() && ContentFolderIsPacked(dm->contentFolder);
}

}  // namespace OBLLib
