#include "umbclient/AssetTypes.h"

#include <mutex>

#include "kiv/File.h"
#include "umbclient/ContentFolders.h"
#include "umbclient/Internal.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

struct Tables {
  std::mutex lock;
  bool loaded = false;
  std::string root;  // installation root the tables were read from
  std::vector<AssetTables::Row> legacy;
  std::vector<AssetTables::Row> types;
};

Tables& TheTables() {
  static Tables t;
  return t;
}

void LoadTable(const std::string& root, const char* name, size_t fields, std::vector<AssetTables::Row>& out) {
  out.clear();
  std::string text;
  if (root.empty()) {
    // gsrun without -r, for one: say what is missing rather than name an empty path.
    UmbLog(std::string("AssetTables::Load> no installation was given, so there is no table '") + name + "'");
    return;
  }
  const std::string path = root + "/tables/" + name;
  if (!Kiv::File::ReadWholeFile(path, text, 1u << 22)) {
    UmbLog("AssetTables::Load> unable to read table '" + path + "'");
    return;
  }
  AssetTables::ParseRows(text, fields, out);
}

// Locks the tables, reading them first when needed.
std::unique_lock<std::mutex> LockedTables(Tables*& out) {
  Tables& t = TheTables();
  std::unique_lock<std::mutex> guard(t.lock);
  std::string root = GetInstallationRoot();
  if (!t.loaded || t.root != root) {
    t.root = root;
    LoadTable(root, "legacy-categories.txt", 3, t.legacy);
    LoadTable(root, "asset-types.txt", 2, t.types);
    t.loaded = true;
  }
  out = &t;
  return guard;
}

}  // namespace

namespace AssetTables {

size_t ParseRows(std::string_view text, size_t fields, std::vector<Row>& out) {
  size_t taken = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    std::string_view parts[3];
    size_t n = 0;
    while (n + 1 < fields && !line.empty()) {
      size_t cut = 0;
      while (cut < line.size() && !IsBlank(line[cut])) ++cut;
      parts[n++] = line.substr(0, cut);
      line = Trim(line.substr(cut));
    }
    if (n + 1 != fields || line.empty()) continue;
    parts[n] = line;
    Row row;
    row.key1 = std::string(parts[0]);
    if (fields == 3) row.key2 = std::string(parts[1]);
    row.value = std::string(parts[fields - 1]);
    out.push_back(std::move(row));
    ++taken;
  }
  return taken;
}

void Reload() {
  Tables& t = TheTables();
  std::lock_guard<std::mutex> guard(t.lock);
  t.loaded = false;
}

}  // namespace AssetTables

std::string MapLegacyCategoryClass(std::string_view kind, std::string_view code) {
  Tables* t = nullptr;
  auto guard = LockedTables(t);
  for (const auto& row : t->legacy)
    if ((row.key1 == "*" || SameText(row.key1, kind)) && SameText(row.key2, code)) return row.value;
  return std::string();
}

std::string LookupAssetTypeCategories(std::string_view type, std::string_view subtype) {
  Tables* t = nullptr;
  auto guard = LockedTables(t);
  const AssetTables::Row* plain = nullptr;
  for (const auto& row : t->types) {
    std::string_view key = row.key1;
    size_t colon = key.find(':');
    if (colon == std::string_view::npos) {
      if (!plain && SameText(key, type)) plain = &row;
    } else if (!subtype.empty() && SameText(key.substr(0, colon), type) &&
               SameText(key.substr(colon + 1), subtype)) {
      return row.value;
    }
  }
  return plain ? plain->value : std::string();
}

std::string AddTagsToList(std::string_view base, std::string_view extra) {
  std::string result(base);
  auto holds = [&result](std::string_view item) {
    std::string_view rest = result;
    while (true) {
      size_t cut = rest.find(';');
      std::string_view entry = rest.substr(0, cut);
      if (entry == item || (entry.size() == item.size() + 1 && entry[0] == '#' && entry.substr(1) == item))
        return true;
      if (cut == std::string_view::npos) return false;
      rest.remove_prefix(cut + 1);
    }
  };
  while (true) {
    size_t cut = extra.find(';');
    std::string_view item = extra.substr(0, cut);
    if (!item.empty() && !holds(item)) {
      if (!result.empty()) result += ';';
      result += '#';
      result.append(item);
    }
    if (cut == std::string_view::npos) break;
    extra.remove_prefix(cut + 1);
  }
  return result;
}
