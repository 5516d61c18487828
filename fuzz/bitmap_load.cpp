// Loads an image from memory. Any input must give a bitmap or a clear
// failure, never a crash, a hang or an allocation beyond the size limits.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kiv/Bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Kiv::Bitmap bitmap;
  if (!bitmap.LoadFromMemory(data, size, "fuzz")) {
    if (!bitmap.IsEmpty() || bitmap.LastError().empty()) __builtin_trap();
    return 0;
  }
  if (bitmap.Width() <= 0 || bitmap.Height() <= 0 ||
      bitmap.DataSize() != bitmap.Pitch() * static_cast<size_t>(bitmap.Height()))
    __builtin_trap();
  // Touch the corners and write the pixels back out when the image is small.
  (void)bitmap.GetPixel(0, 0);
  (void)bitmap.GetPixel(bitmap.Width() - 1, bitmap.Height() - 1);
  if (bitmap.Width() * bitmap.Height() <= 4096) {
    std::vector<uint8_t> out;
    if (!bitmap.SaveToMemory(Kiv::Bitmap::FileType::PNG, out)) __builtin_trap();
  }
  return 0;
}
