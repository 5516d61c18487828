#pragma once
// Writing a checked config tree back into a soup. Each tag goes through the
// writer of its type code, which also runs the tag's rules and reports empty
// or ill-formed values, so the export is the last check of a config.
#include <string_view>
#include <vector>

#include "config/Container.h"
#include "foundation/Soup.h"

namespace OBLLib {

// Writes the container's tags and, recursively, its children (each into a
// child soup under its saving name) into soup, made a container when null.
// True when every tag and child passed. Every tag is written and checked even
// after an earlier one failed.
[[nodiscard]] bool ExportToSoup(Container& container, SoupRef& soup);

// The same checks and findings as ExportToSoup, without building the soup: for
// a check that would throw the soup away.
[[nodiscard]] bool CheckExport(Container& container);

// Writes one tag into soup through the writer of its type code. False when
// the tag failed a check. Codes without a writer write nothing and give true.
[[nodiscard]] bool WriteTag(Tag& tag, SoupRef& soup);

// Numbers of a vector or float list value: every blank or comma ends one
// number, and an empty piece reads as 0 ("1, 2" gives 1, 0, 2; "" gives 0).
std::vector<float> SplitFloats(std::string_view text);

}  // namespace OBLLib
