// Soup text reader: any input parses or fails cleanly, and whatever parses
// writes back to a text (and a binary form) that reads as the same tree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/Soup.h"

namespace {

bool Same(const ACSChunk* a, const ACSChunk* b) {
  if (a->CountChildren() != b->CountChildren()) return false;
  for (size_t i = 0; i < a->CountChildren(); ++i) {
    const TDBDataTag& x = a->GetTag(i);
    const TDBDataTag& y = b->GetTag(i);
    if (!(x.GetName() == y.GetName()) || x.GetDataType() != y.GetDataType() || x.GetSize() != y.GetSize() ||
        std::memcmp(x.GetData(), y.GetData(), x.GetSize()) != 0)
      return false;
    if (x.GetContainer() && !Same(x.GetContainer(), y.GetContainer())) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SoupRef soup;
  std::string error;
  if (!ParseSoupText(std::string_view(reinterpret_cast<const char*>(data), size), soup, &error)) {
    if (soup || error.empty()) std::abort();
    return 0;
  }
  std::string text;
  // The written form's size is counted without writing it, the same.
  if (!WriteSoupText(soup, text) || SoupTextSize(soup) != text.size()) std::abort();
  SoupRef again;
  if (!ParseSoupText(text, again, &error) || !Same(soup.Get(), again.Get())) std::abort();
  std::string binary;
  SoupRef decoded;
  if (!TDBBinaryFile::Encode(soup, binary) || TDBBinaryFile::EncodedSize(soup) != binary.size() ||
      !TDBBinaryFile::Decode(reinterpret_cast<const uint8_t*>(binary.data()), binary.size(), decoded) ||
      !Same(soup.Get(), decoded.Get()))
    std::abort();
  return 0;
}
