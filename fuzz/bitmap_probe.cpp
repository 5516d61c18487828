// Probes an image from memory and loads it: both must agree on whether it
// loads and on its size, since the texture checks trust the probe where the
// rest of the engine loads.
#include <cstddef>
#include <cstdint>

#include "kiv/Bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Kiv::Bitmap bitmap;
  const bool loaded = bitmap.LoadFromMemory(data, size, "fuzz");
  Kiv::Bitmap::Size probed;
  std::string why;
  const bool known = Kiv::Bitmap::ProbeMemory(data, size, probed, &why, "fuzz");
  if (loaded != known) __builtin_trap();
  if (known && (probed.width != bitmap.Width() || probed.height != bitmap.Height())) __builtin_trap();
  if (!known && why.empty()) __builtin_trap();
  return 0;
}
