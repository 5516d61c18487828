#include "kiv/render/Resource.h"

#include "kiv/File.h"
#include "kiv/String.h"

namespace Kiv {

std::string Resource::ConvertResourceName(std::string_view name) {
  std::string converted = ToLowerAscii(name);
  for (char& c : converted) {
    if (c == '\\') c = '/';
  }
  return converted;
}

std::optional<std::string> ResourceDatabase::ResolveName(std::string_view name) const {
  if (!IsNameInsideFolder(name)) return std::nullopt;
  File::Path relative(name);
  relative.Normalise();
  File::Path full(m_folder);
  full.Join(relative.View());
  auto resolved = ResolvePath(full.View());
  if (!resolved || File::IsDirectory(*resolved)) return std::nullopt;
  return resolved;
}

}  // namespace Kiv
