// The category tables we ship in "<installation root>/tables/": the legacy category
// table ("legacy-categories.txt") and the asset-type table ("asset-types.txt"), and the
// ';'-list helper used to merge category lists. The file format is in
// docs/asset-database.md. Tables are read on first use and again after the installation
// root changes; a missing or unreadable table is empty (one log line).
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The new category list for (asset kind, old two-letter category code), or the empty text
// when the legacy table has no row for the pair. Both compare without regard to case.
std::string MapLegacyCategoryClass(std::string_view kind, std::string_view code);

// The ';'-separated category list of an asset type word (lower case) and subtype (may be
// empty), from the asset-type table; a row "type:subtype" wins over a row "type".
// Empty for an unknown type.
std::string LookupAssetTypeCategories(std::string_view type, std::string_view subtype);

// Appends to `base` each non-empty ';'-separated item of `extra`, prefixed with "#", that
// the list does not yet hold (as "item" or "#item"). Items are separated by ';'.
std::string AddTagsToList(std::string_view base, std::string_view extra);

// Reads a table text (tests and the loader): rows of whitespace-separated fields, '#'
// starts a comment line. Rows with fewer than `fields` fields are skipped; the last field
// takes the rest of the row. Returns the number of rows taken.
namespace AssetTables {
struct Row {
  std::string key1, key2, value;
};
size_t ParseRows(std::string_view text, size_t fields, std::vector<Row>& out);
// Drops the cached tables so the next lookup reads the files again.
void Reload();
}  // namespace AssetTables
