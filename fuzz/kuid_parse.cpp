// KUID text parsing: whatever parses formats back to a text that parses,
// strictly, to the same KUID.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/KUID.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (bool strict : {true, false}) {
    KUID k;
    if (!TryParseKUID(text, strict, k)) {
      if (!k.IsNull()) std::abort();
      continue;
    }
    if (!k.FitsPacked()) std::abort();
    KUID back;
    if (!TryParseKUID(FormatKUIDTag(k), true, back) || !(back == k)) std::abort();
    if (!TryParseKUID(k.GetBaseString(), true, back)) std::abort();
  }
  KUID arg;
  if (ParseKUIDArgument(text, arg) && !arg.FitsPacked()) std::abort();
  return 0;
}
