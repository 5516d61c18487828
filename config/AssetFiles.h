#pragma once
// The files of the asset under check, each of its folders listed at most once
// per check: the config look-up, the file checks and the texture walk all ask
// here instead of making system calls for every name. Names match as
// Kiv::ResolvePath matches them (the exact spelling first, else without
// regard to case in byte order), and a file reached through a symbolic link
// counts only when its real place lies inside the asset folder. A check
// writes nothing into its asset, so the listings hold for its whole length.
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kiv/File.h"

namespace OBLLib {

class AssetFiles {
public:
  using Entry = Kiv::File::ListedEntry;

  // folder: the asset folder's on-disk path.
  explicit AssetFiles(std::string folder) : m_folder(std::move(folder)) {}
  // With the asset folder's own listing, as Kiv::File::ListFolder gave it.
  AssetFiles(std::string folder, std::vector<Entry> listing);
  AssetFiles(const AssetFiles&) = delete;
  AssetFiles& operator=(const AssetFiles&) = delete;

  const std::string& Folder() const { return m_folder; }
  // The asset folder joined with an on-disk relative name.
  std::string PathOf(std::string_view relative) const;

  // The entries of a folder of the asset, given by its on-disk relative name
  // ("" for the asset folder), ordered as Kiv::File::Find orders them; null
  // when it does not list.
  const std::vector<Entry>* List(std::string_view relative);
  // The on-disk relative name of a relative name ("/" or "\\" separated, no
  // "..") when it exists, through links or not; nullopt when it does not.
  std::optional<std::string> Match(std::string_view relative);
  // The full on-disk path of a relative name when it exists and, when reached
  // through a link, really lies inside the asset folder; nullopt otherwise.
  std::optional<std::string> Find(std::string_view relative);
  // True when the on-disk relative name is a folder (a link to a folder too).
  [[nodiscard]] bool IsFolder(std::string_view relative);
  // True when a component of the on-disk relative name is a symbolic link.
  [[nodiscard]] bool PassesThroughLink(std::string_view relative);

private:
  const Entry* EntryOf(std::string_view relative);
  [[nodiscard]] bool Walk(const std::string& folder, const std::vector<std::string_view>& parts, size_t index,
                          std::string& out);

  std::string m_folder;
  // Listings by on-disk relative folder name; an empty optional: it did not list.
  std::unordered_map<std::string, std::optional<std::vector<Entry>>> m_lists;
  // Find's answers by the name asked (the config, then each file a rule names, is
  // asked for more than once in a check).
  std::unordered_map<std::string, std::optional<std::string>> m_found;
};

}  // namespace OBLLib
