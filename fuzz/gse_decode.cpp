// Decodes arbitrary bytes as an enciphered script; a text that decodes must
// survive an encode/decode round trip unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/ScriptFileBuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScriptFileBuffer buffer;
  buffer.Assign(data, size, true);
  if (!buffer.Decode()) {
    if (buffer.data != nullptr || buffer.length != 0) std::abort();
    return 0;
  }
  const std::string text(buffer.PlainText());
  if (buffer.prefixLength != ScriptFileBuffer::kScriptPrefix.size() || buffer.data[buffer.length] != '\0')
    std::abort();
  const auto again = ScriptFileBuffer::Encode(text);
  ScriptFileBuffer second;
  second.Assign(again.data(), again.size(), true);
  if (!second.Decode() || second.PlainText() != text) std::abort();
  if (ScriptSourceChecksum(second) != ScriptSourceChecksum(buffer)) std::abort();
  return 0;
}
