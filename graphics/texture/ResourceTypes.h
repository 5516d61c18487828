#pragma once
// Texture resource types: which resource class a file name gets, chosen by the
// name's suffix (the longest matching suffix wins).
#include <string>
#include <string_view>

namespace Kiv {
class TextureResource;
}

struct TextureResourceType {
  const char* suffix;       // without the leading dot, e.g. "convert-tex.txt"
  const char* typeUId;      // the type's own identity
  const char* categoryUId;  // the category shared by the program's resource types
  // A new resource (one reference) for name inside folder.
  Kiv::TextureResource* (*create)(const std::string& name, const std::string& folder);
};

// The category identity of the program's resource types.
inline constexpr const char* kResourceCategoryUId = "4C414E80-BBDA-11d4-9AD7-0001025364B8";

// The type whose suffix the name ends with (as ".suffix", ignoring case);
// null when none does.
const TextureResourceType* FindTextureResourceType(std::string_view name);
