#pragma once
// JPEG decoding through libjpeg-turbo, which is hardened against corrupt
// input. Used by Bitmap; not part of the public engine interface.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kiv/Bitmap.h"

namespace Kiv {

struct JpegImage {
  int width = 0;
  int height = 0;
  int channels = 0;  // 1 (gray) or 3 (R, G, B)
  PixelBuffer pixels;
};

// Decodes data into out; false with a reason in error. Images with a side
// above maxSide or more than maxPixels pixels are refused before decoding.
[[nodiscard]] bool DecodeJpeg(const uint8_t* data, size_t size, int maxSide, int64_t maxPixels,
                              JpegImage& out, std::string& error);

}  // namespace Kiv
