// Binary soup reader: any input decodes or is refused, and a decoded soup
// encodes back to exactly the bytes it came from.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/Soup.h"
#include "foundation/Stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SoupRef soup;
  bool decoded = TDBBinaryFile::Decode(data, size, soup);
  TBuffer stream(data, size);
  SoupRef streamed;
  bool read = ReadSoupBinary(stream, streamed);
  if (decoded && !read) std::abort();
  if (!decoded) return 0;
  size_t skip = size >= 4 && std::memcmp(data, "\0\0\0\0", 4) == 0 ? 4 : 0;
  std::string bytes;
  if (!TDBBinaryFile::Encode(soup, bytes)) std::abort();
  if (bytes.size() != size - skip || std::memcmp(bytes.data(), data + skip, bytes.size()) != 0) std::abort();
  std::string text;
  // Any result will do: the run looks for faults, not answers.
  (void)WriteSoupText(soup, text);
  return 0;
}
