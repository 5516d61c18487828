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
  std::optional<std::string> inside = JoinInsideContentFolder(assetFolder, value);
  if (!inside || inside->empty()) return std::nullopt;
  Kiv::File::Path path{std::string(contentFolder)};
  path.Join(*inside);
  std::optional<std::string> found = Kiv::ResolvePath(path.View());
  if (found &&
      !UsableThroughLinks(contentFolder, Kiv::File::Path{std::string(contentFolder)}.Join(assetFolder).View(),
                          *found))
    return std::nullopt;
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

bool CurrentContentFolderIsPacked() {
  const DataManager* dm = DataManager::Existing();
  if (!dm || dm->contentFolder.empty()) return false;
  Kiv::File::Path packed{dm->contentFolder};
  while (packed.Length() > 1 && (packed.View().back() == '/' || packed.View().back() == '\\'))
    packed = Kiv::File::Path(packed.View().substr(0, packed.Length() - 1));
  packed.SetExt("ja");
  return Kiv::FileExists(packed.View()) == 0;
}

}  // namespace OBLLib
