#include "config/AssetFiles.h"

#include <algorithm>

#include "kiv/String.h"

namespace OBLLib {

namespace {

bool IsSep(char c) { return c == '/' || c == '\\'; }

// The components of a relative name; false for "..", which a lookup below the
// asset folder never follows.
bool Split(std::string_view name, std::vector<std::string_view>& parts) {
  size_t i = 0;
  while (i < name.size()) {
    while (i < name.size() && IsSep(name[i])) ++i;
    const size_t start = i;
    while (i < name.size() && !IsSep(name[i])) ++i;
    const std::string_view part = name.substr(start, i - start);
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    parts.push_back(part);
  }
  return true;
}

std::string Join(std::string_view folder, std::string_view name) {
  std::string out(folder);
  if (!out.empty()) out += '/';
  out += name;
  return out;
}

// The entries whose names equal name without regard to case, in byte order.
std::pair<const AssetFiles::Entry*, const AssetFiles::Entry*> Matches(
    const std::vector<AssetFiles::Entry>& list, std::string_view name) {
  const auto first = std::partition_point(
      list.begin(), list.end(), [&](const auto& e) { return Kiv::CompareNoCase(e.name, name) < 0; });
  auto last = first;
  while (last != list.end() && Kiv::CompareNoCase(last->name, name) == 0) ++last;
  return {list.data() + (first - list.begin()), list.data() + (last - list.begin())};
}

}  // namespace

AssetFiles::AssetFiles(std::string folder, std::vector<Entry> listing) : m_folder(std::move(folder)) {
  Kiv::File::SortListing(listing);
  m_lists.emplace(std::string(), std::move(listing));
}

std::string AssetFiles::PathOf(std::string_view relative) const {
  return relative.empty() ? m_folder : Join(m_folder, relative);
}

const std::vector<AssetFiles::Entry>* AssetFiles::List(std::string_view relative) {
  auto found = m_lists.find(std::string(relative));
  if (found == m_lists.end()) {
    std::optional<std::vector<Entry>> listing;
    std::vector<Entry> entries;
    if (Kiv::File::ListFolder(PathOf(relative), entries)) {
      Kiv::File::SortListing(entries);
      listing = std::move(entries);
    }
    found = m_lists.emplace(std::string(relative), std::move(listing)).first;
  }
  return found->second ? &*found->second : nullptr;
}

const AssetFiles::Entry* AssetFiles::EntryOf(std::string_view relative) {
  const size_t cut = relative.rfind('/');
  const std::string_view folder =
      cut == std::string_view::npos ? std::string_view() : relative.substr(0, cut);
  const std::string_view name = cut == std::string_view::npos ? relative : relative.substr(cut + 1);
  const std::vector<Entry>* list = List(folder);
  if (!list) return nullptr;
  auto [first, last] = Matches(*list, name);
  for (const Entry* e = first; e != last; ++e)
    if (e->name == name) return e;
  return nullptr;
}

bool AssetFiles::IsFolder(std::string_view relative) {
  if (relative.empty()) return true;
  const Entry* e = EntryOf(relative);
  if (!e) return false;
  if (e->kind == Kiv::File::EntryKind::kFolder) return true;
  Kiv::File::Status status;
  return e->kind == Kiv::File::EntryKind::kLink && Kiv::File::GetStatus(PathOf(relative), status) &&
         status.isDirectory;
}

bool AssetFiles::PassesThroughLink(std::string_view relative) {
  for (size_t cut = relative.find('/');; cut = relative.find('/', cut + 1)) {
    const Entry* e = EntryOf(relative.substr(0, cut));
    if (e && e->kind == Kiv::File::EntryKind::kLink) return true;
    if (cut == std::string_view::npos) return false;
  }
}

// As Kiv's case-insensitive walk: the exact spelling first; where several names
// differ only in case, each folder among them is tried in turn.
bool AssetFiles::Walk(const std::string& folder, const std::vector<std::string_view>& parts, size_t index,
                      std::string& out) {
  if (index == parts.size()) {
    out = folder;
    return true;
  }
  const std::vector<Entry>* list = List(folder);
  if (!list) return false;
  const std::string_view part = parts[index];
  auto [first, last] = Matches(*list, part);
  const Entry* exact = nullptr;
  for (const Entry* e = first; e != last; ++e)
    if (e->name == part) exact = e;
  if (index + 1 == parts.size()) {
    if (first == last) return false;
    out = Join(folder, (exact ? exact : first)->name);
    return true;
  }
  if (exact) {
    const std::string next = Join(folder, exact->name);
    if (IsFolder(next) && Walk(next, parts, index + 1, out)) return true;
  }
  for (const Entry* e = first; e != last; ++e) {
    if (e == exact) continue;
    const std::string next = Join(folder, e->name);
    if (IsFolder(next) && Walk(next, parts, index + 1, out)) return true;
  }
  return false;
}

std::optional<std::string> AssetFiles::Match(std::string_view relative) {
  std::vector<std::string_view> parts;
  if (!Split(relative, parts) || parts.empty()) return std::nullopt;
  std::string out;
  if (!Walk(std::string(), parts, 0, out)) return std::nullopt;
  return out;
}

std::optional<std::string> AssetFiles::Find(std::string_view relative) {
  // Most names asked for are a file's plain name in the asset folder: its listing
  // answers at once unless the entry is a link, whose real place is then checked
  // (and kept) below.
  if (!relative.empty() && relative != "." && relative != ".." &&
      std::none_of(relative.begin(), relative.end(), IsSep)) {
    const std::vector<Entry>* list = List("");
    if (!list) return std::nullopt;
    auto [first, last] = Matches(*list, relative);
    if (first == last) return std::nullopt;
    const Entry* chosen = first;
    for (const Entry* e = first; e != last; ++e)
      if (e->name == relative) chosen = e;
    if (chosen->kind != Kiv::File::EntryKind::kLink) return PathOf(chosen->name);
  }
  std::string key(relative);
  if (auto known = m_found.find(key); known != m_found.end()) return known->second;
  std::optional<std::string> found = Match(relative);
  if (found) {
    const bool throughLink = PassesThroughLink(*found);
    *found = PathOf(*found);
    // Only a name reached through a link can lead out of the asset folder.
    if (throughLink && !Kiv::IsInsideFolderResolved(m_folder, *found)) found.reset();
  }
  m_found.emplace(std::move(key), found);
  return found;
}

}  // namespace OBLLib
