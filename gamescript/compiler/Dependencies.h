#pragma once
// Whether a compiled library still stands for its sources: a library lists
// the ids (text checksum, lower-cased file name checksum) of every source its
// compile read, its own first; it is current while a compile made now would
// list the same ids.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "gamescript/compiler/Driver.h"

namespace GSCompiler {

// The names a source text includes, lower-cased, as the include directives
// at its top give them.
std::vector<std::string> IncludeNames(std::string_view text);

// The ids a compile of `sourceName` would list if it ran now with the
// include-path list as it stands: its own, then each include's, each file
// once. Read from the sources' texts and include directives; nothing is
// compiled. False when a source cannot be found or read, or includes nest
// deeper than a compile takes.
[[nodiscard]] bool CurrentDependencies(const char* sourceName, LibraryDependencies& out);

// Whether `image`, a whole library file, reads as well formed and lists
// exactly the ids that CurrentDependencies gives for `sourceName`.
[[nodiscard]] bool LibraryMatchesSources(std::span<const uint8_t> image, const char* sourceName);

}  // namespace GSCompiler
