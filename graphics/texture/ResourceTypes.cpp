#include "graphics/texture/ResourceTypes.h"

#include "kiv/File.h"
#include "graphics/texture/CompressAsciiResource.h"

namespace {

Kiv::TextureResource* CreateCompressAscii(const std::string& name, const std::string& folder) {
  return new CompressAsciiResource(name, folder);
}

const TextureResourceType kTypes[] = {
    {"convert-tex.txt", "A6805E60-4C54-1278-1111-00010251467D", kResourceCategoryUId, &CreateCompressAscii},
};

}  // namespace

const TextureResourceType* FindTextureResourceType(std::string_view name) {
  const Kiv::File::Path path(name);
  const TextureResourceType* best = nullptr;
  size_t bestLength = 0;
  for (const TextureResourceType& type : kTypes) {
    const size_t length = std::string_view(type.suffix).size();
    if (length > bestLength && path.IsExt(type.suffix)) {
      best = &type;
      bestLength = length;
    }
  }
  return best;
}
