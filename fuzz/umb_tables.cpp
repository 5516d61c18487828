// The category table text form.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "umbclient/AssetTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<AssetTables::Row> rows;
  AssetTables::ParseRows(text, 3, rows);
  AssetTables::ParseRows(text, 2, rows);
  for (const auto& row : rows)
    if (row.key1.empty() || row.value.empty()) __builtin_trap();
  AddTagsToList(text.substr(0, size / 2), text.substr(size / 2));
  return 0;
}
