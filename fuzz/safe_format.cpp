// Message formatting with hostile format texts and parameters. The input is
// parameters first, then the format text: a count byte, then per parameter a
// kind byte and its value (eight bytes of an integer or a double, or a length
// byte and that many bytes of text). Whatever the text asks for, the result
// stays bounded, text without "%" comes back unchanged, and a text parameter
// is never read as a format.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Text.h"

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  uint8_t Byte() { return pos < size ? data[pos++] : 0; }
  std::string_view Bytes(size_t n) {
    n = std::min(n, size - pos);
    std::string_view v(reinterpret_cast<const char*>(data + pos), n);
    pos += n;
    return v;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  std::vector<std::string> texts;  // keeps the text parameters alive
  texts.reserve(8);
  std::vector<FormatArg> args;
  size_t longestText = 0;
  const int count = in.Byte() % 9;
  for (int i = 0; i < count; ++i) {
    const uint8_t kind = in.Byte() % 3;
    if (kind == 2) {
      texts.emplace_back(in.Bytes(in.Byte()));
      longestText = std::max(longestText, texts.back().size());
      args.emplace_back(std::string_view(texts.back()));
      continue;
    }
    uint8_t raw[8] = {};
    const std::string_view bytes = in.Bytes(sizeof raw);
    std::memcpy(raw, bytes.data(), bytes.size());
    if (kind == 0) {
      long long v;
      std::memcpy(&v, raw, sizeof v);
      args.emplace_back(v);
    } else {
      double v;
      std::memcpy(&v, raw, sizeof v);
      args.emplace_back(v);
    }
  }
  const std::string_view format = in.Bytes(size - in.pos);

  const std::string out = SafeFormat(format, args);
  // No conversion yields more than its 255 width or 255 precision allow: far
  // below 1024 bytes for a number, a text at most padded to 255.
  const size_t percents = static_cast<size_t>(std::count(format.begin(), format.end(), '%'));
  if (out.size() > format.size() + percents * (1024 + longestText)) std::abort();
  if (percents == 0 && out != format) std::abort();
  for (const std::string& t : texts)
    if (SafeFormat("%s", {std::string_view(t)}) != t) std::abort();
  return 0;
}
