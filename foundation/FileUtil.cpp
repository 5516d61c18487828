#include "foundation/FileUtil.h"

#include "kiv/File.h"
#include "kiv/String.h"

std::string PathUnder(const char* base, std::string_view name) {
  Kiv::File::Path path(name);
  if (!base || !*base || path.IsAbsolute()) return std::string(name);
  Kiv::File::Path joined(base);
  joined.Join(name);
  return joined.Str();
}

bool FileExistsUnder(const char* base, std::string_view name) {
  const bool haveBase = base && *base;
  if (!haveBase && !Kiv::File::Path(name).IsAbsolute()) return true;
  return Kiv::FileExists(PathUnder(base, name)) == 0;
}

bool RenameFileUnder(const char* base, std::string_view from, std::string_view to) {
  const auto source = Kiv::ResolvePath(PathUnder(base, from));
  if (!source) return false;
  const auto target = Kiv::ResolvePathForCreate(PathUnder(base, to));
  if (!target) return false;
  // Never replace another file: a rename that would lose one fails instead.
  if (*target != *source && Kiv::FileExists(*target) == 0) return false;
  return Kiv::File::Rename(*source, *target);
}

bool IsTextureTxtFile(std::string_view name) {
  constexpr std::string_view suffix = ".texture.txt";
  return name.size() >= suffix.size() &&
         Kiv::CompareNoCase(name.substr(name.size() - suffix.size()), suffix) == 0;
}
