#pragma once
// The asset path resolver that every file check of the config library uses.
// Paths in configs were written for a case-insensitive file system with "\\"
// separators: each component is matched without regard to case and both
// separators are accepted. A value is relative to the asset folder, and the
// asset folder to its content folder; a value that is absolute, names a drive
// or climbs with ".." out of the content folder is refused (never looked up).
#include <optional>
#include <string>
#include <string_view>

namespace OBLLib {

// The asset folder and the value joined and normalised ("/" separators, "."
// and ".." resolved), relative to the content folder. Empty (nullopt) when a
// part is absolute or names a drive, or ".." climbs above the content folder.
std::optional<std::string> JoinInsideContentFolder(std::string_view assetFolder, std::string_view value);

// The on-disk path of contentFolder/assetFolder/value when that file or
// folder exists; nullopt when it does not or the value is refused. A path
// that passes through a symbolic link counts only when its real place lies
// inside the asset folder.
std::optional<std::string> ResolveAssetPath(std::string_view contentFolder, std::string_view assetFolder,
                                            std::string_view value);

// A file reached through a symbolic link counts only when its real place lies
// inside the asset's folder; otherwise it is missing, as a name that climbs out
// is. found is an on-disk path below the folder `below` (the content folder or
// the asset folder itself), assetFolder the asset folder's path.
[[nodiscard]] bool UsableThroughLinks(std::string_view below, std::string_view assetFolder,
                                      std::string_view found);

// The same for the asset under check (the schema manager's content folder and
// asset folder).
std::optional<std::string> ResolveCurrentAssetFile(std::string_view value);
[[nodiscard]] inline bool CurrentAssetFileExists(std::string_view value) {
  return ResolveCurrentAssetFile(value).has_value();
}

// What the listings of the asset under check say of a name relative to the
// content folder (normalised, "/" separated): its on-disk path when it is a
// file, none when it is a folder or missing, as a look-up on disk would
// answer, except that a missing name is not looked for in a folder beside
// the asset's that differs only in case. Nothing when they cannot tell: no
// check is running, its content folder is another, or the name lies outside
// the asset or passes through a link.
std::optional<std::optional<std::string>> ListedContentFile(std::string_view contentFolder,
                                                            std::string_view name);

// True when the content folder of the asset under check is packed: a file
// named like the content folder with the extension "ja" exists beside it.
// Checks that look for files inside the asset then pass unseen.
[[nodiscard]] bool CurrentContentFolderIsPacked();
[[nodiscard]] bool ContentFolderIsPacked(std::string_view contentFolder);

}  // namespace OBLLib
