// Drawing with script-chosen numbers and text: every primitive, copy and text
// draw must stay inside the bitmap and finish at once, whatever the values.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "graphics/font/TTFont.h"
#include "kiv/Bitmap.h"

namespace {

struct Reader {
  const uint8_t* data;
  size_t size;
  int Int() {
    int32_t v = 0;
    const size_t n = size < 4 ? size : 4;
    std::memcpy(&v, data, n);
    data += n;
    size -= n;
    return v;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TTFont* font = [] {
    static TTFont f;
    return f.Init("default", "DejaVu Sans", 12, TTFont::StyleAntialiased | TTFont::StyleShadow) ? &f
                                                                                                : nullptr;
  }();
  Kiv::Bitmap bitmap, other;
  // Any result will do: the run looks for faults, not answers.
  (void)bitmap.Create(32, 24, Kiv::Bitmap::FormatRGBA32);
  // Any result will do: the run looks for faults, not answers.
  (void)other.Create(7, 9, Kiv::Bitmap::FormatRGBX32);
  Reader r{data, size};
  for (int step = 0; step < 8 && r.size >= 4; ++step) {
    const int op = r.Int() & 0xFF;
    const int a = r.Int(), b = r.Int(), c = r.Int(), d = r.Int(), e = r.Int(), f = r.Int();
    const uint32_t colour = uint32_t(r.Int());
    const int mode = op >> 4;
    switch (op & 7) {
      case 0: bitmap.Line(a, b, c, d, colour, mode); break;
      case 1: bitmap.Box({a, b, c, d}, colour, mode); break;
      case 2: bitmap.Circle(a, b, c, colour, mode); break;
      case 3: bitmap.Triangle(a, b, c, d, e, f, colour, mode); break;
      case 4: bitmap.Image(op & 8 ? bitmap : other, a, b, {c, d, e, f}, mode); break;
      case 5: bitmap.Image(op & 8 ? bitmap : other, {a, b, c, d}, {e, f, c, d}, mode); break;
      case 6: other.Image(bitmap, {a, b, c, d}, {e, f, d, c}, mode); break;
      default: bitmap.BlendPixel(a, b, colour); break;
    }
  }
  if (font) {
    const std::string_view text(reinterpret_cast<const char*>(r.data), r.size);
    (void)font->GetTextWidth(text);
    Reader pos{data, size};
    // Any result will do: the run looks for faults, not answers.
    (void)font->DrawText(bitmap, pos.Int() % 64, pos.Int() % 64, text, 0xFFFFFFFFu);
  }
  return 0;
}
