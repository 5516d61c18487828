// Query filters in their binary form (the body of query command 2): read, evaluate, write back.
#include <cstddef>
#include <cstdint>

#include "foundation/Stream.h"
#include "umbclient/Filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TBuffer in(data, size);
  auto element = UMBFilterElement::Read(in);
  if (!element) return 0;
  UMBAssetInfo info;
  info.localisedName = "Blue Engine";
  info.category = "TR;TV";
  info.categoryEra = "1950s";
  info.categoryRegion = "GB";
  info.stateFlags = 0x15555;
  (void)element->Matches(
      UMBFilterSubject{info, "steam, red"});  // any answer will do: the run looks for faults
  TBuffer out;
  element->Write(out);
  // Any result will do: the run looks for faults, not answers.
  (void)out.Rewind();
  auto again = UMBFilterElement::Read(out);
  if (!again) __builtin_trap();  // whatever was read must write back readable
  return 0;
}
