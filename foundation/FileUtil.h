#pragma once
// Small file helpers that work relative to an optional base folder.
#include <string>
#include <string_view>

// The path of name under base (name alone when base is null or empty, or when
// name is absolute).
std::string PathUnder(const char* base, std::string_view name);

// The engine's file-exists test of name relative to base when one is given,
// else of an absolute name; a relative name without a base counts as existing.
// Names are resolved without regard to case, with "\\" or "/" separators.
[[nodiscard]] bool FileExistsUnder(const char* base, std::string_view name);

// Renames a file, both names relative to base when one is given; the target
// folder must exist. False when the rename fails or another file already has
// the target name (nothing is replaced; the source stays as it was).
[[nodiscard]] bool RenameFileUnder(const char* base, std::string_view from, std::string_view to);

// True when the name ends, compared without regard to case, in ".texture.txt".
[[nodiscard]] bool IsTextureTxtFile(std::string_view name);
