#include "kiv/render/Resource.h"

#include "kiv/File.h"

namespace Kiv {

std::optional<std::string> ResourceDatabase::ResolveName(std::string_view name) const {
  File::Path relative(name);
  relative.Normalise();
  if (relative.IsEmpty() || relative.IsAbsolute() || relative.View().starts_with("..")) return std::nullopt;
  File::Path full(m_folder);
  full.Join(relative.View());
  auto resolved = ResolvePath(full.View());
  if (!resolved || File::IsDirectory(*resolved)) return std::nullopt;
  return resolved;
}

}  // namespace Kiv
