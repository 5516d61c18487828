// Bitmap drawing and text against plain references on the same work, in one
// run: Clear and a filled Box of 4096 x 4096 against memset of the same bytes,
// a stretched copy and a script image's stretching Resize (new pixels and
// the copy) against stb_image_resize, and cached DrawText against copying the
// same glyph pixels with memcpy.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "graphics/font/TTFont.h"
#include "gamescript/runtime/Objects.h"
#include "kiv/Bitmap.h"
#include "scriptlib/GSOImage.h"
#include "scriptlib/ScriptNatives.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wtype-limits"
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb_image_resize.h>
#pragma GCC diagnostic pop

namespace {

using Clock = std::chrono::steady_clock;

template <class Fn>
double Seconds(Fn&& fn) {
  const auto t0 = Clock::now();
  fn();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Runs both sides alternately; returns the best times and the spread of the
// project's samples.
template <class A, class B>
void Compare(const char* name, int rounds, const char* unit, double scale, A&& project, B&& reference) {
  std::vector<double> ours, theirs;
  for (int i = 0; i < rounds; ++i) {
    ours.push_back(Seconds(project));
    theirs.push_back(Seconds(reference));
  }
  const double p = *std::min_element(ours.begin(), ours.end()) * scale;
  const double r = *std::min_element(theirs.begin(), theirs.end()) * scale;
  char note[96];
  std::snprintf(note, sizeof note, "(best of %d, spread %.0f%% / %.0f%%)", rounds,
                BenchReport::SpreadPercent(ours), BenchReport::SpreadPercent(theirs));
  BenchReport::Figure(name, p, r, unit, note);
}

volatile uint8_t g_sink;

}  // namespace

int main() {
  Kiv::Bitmap big;
  if (!big.Create(4096, 4096, Kiv::Bitmap::FormatRGBA32)) return 1;
  std::vector<uint8_t> raw(big.DataSize());

  // Clear and Box against memset.
  Compare(
      "clear_4096", 10, "ms", 1e3, [&] { big.Clear(0x80402010u); },
      [&] { std::memset(raw.data(), 0x40, raw.size()); });
  g_sink = big.Data()[12345] ^ raw[12345];
  Compare(
      "box_fill_4096", 10, "ms", 1e3,
      [&] {
        big.Box({0, 0, 4096, 4096}, 0xFF102030u, Kiv::Bitmap::ModeFill);
      },
      [&] { std::memset(raw.data(), 0x30, raw.size()); });

  // A stretched copy (1024 -> 1536 square, nearest sample) against
  // stb_image_resize (filtered) of the same image.
  Kiv::Bitmap source, stretched;
  // Set-up of the measured data, known to work.
  (void)source.Create(1024, 1024, Kiv::Bitmap::FormatRGBA32);
  for (size_t i = 0; i < source.DataSize(); ++i) source.Data()[i] = uint8_t(i * 2654435761u >> 24);
  // Set-up of the measured data, known to work.
  (void)stretched.Create(1536, 1536, Kiv::Bitmap::FormatRGBA32);
  std::vector<uint8_t> resized(stretched.DataSize());
  Compare(
      "stretch_1024_to_1536", 10, "ms", 1e3,
      [&] {
        stretched.Image(source, {0, 0, 1536, 1536}, {0, 0, 1024, 1024}, 0);
      },
      [&] { stbir_resize_uint8(source.Data(), 1024, 1024, 0, resized.data(), 1536, 1536, 0, 4); });

  // A script image's Resize with stretch, which also makes and clears the new
  // pixels, against stb_image_resize into a new buffer of the same size.
  if (!RegisterScriptNatives()) return 1;
  GSRuntime::GSContext context;
  GSOImage* image = GSOImage::Create(&context);
  if (!image) return 1;
  {
    std::vector<double> ours, theirs;
    for (int i = 0; i < 10; ++i) {
      image->SetFillColor(0x80402010u + uint32_t(i));
      image->Clear(1024, 1024);
      ours.push_back(BenchReport::Seconds([&] { image->Resize(1536, 1536, true); }));
      theirs.push_back(BenchReport::Seconds([&] {
        std::vector<uint8_t> out(size_t(1536) * 1536 * 4);
        stbir_resize_uint8(source.Data(), 1024, 1024, 0, out.data(), 1536, 1536, 0, 4);
        g_sink = out[777];
      }));
    }
    char note[96];
    std::snprintf(note, sizeof note, "(best of 10, spread %.0f%% / %.0f%%)", BenchReport::SpreadPercent(ours),
                  BenchReport::SpreadPercent(theirs));
    BenchReport::Figure("image_resize_stretch_1024_to_1536",
                        *std::min_element(ours.begin(), ours.end()) * 1e3,
                        *std::min_element(theirs.begin(), theirs.end()) * 1e3, "ms", note);
  }
  GSRuntime::ReleaseHandle(image->GetScriptHandle());

  // Cached DrawText against memcpy of the same glyph rectangles.
  TTFont font;
  if (!font.Init("default", "DejaVu Sans", 14, TTFont::StyleAntialiased)) return 1;
  std::string text;
  for (int i = 0; i < 40; ++i) text += "The quick brown fox jumps over the lazy dog 0123456789. ";
  Kiv::Bitmap target;
  // Set-up of the measured data, known to work.
  (void)target.Create(4096, 64, Kiv::Bitmap::FormatRGBA32);
  // Set-up of the measured data, known to work.
  (void)font.DrawText(target, 0, 8, text, 0xFFFFFFFFu);  // fills the cache
  struct Copy {
    int sx, sy, w, h, dx;
  };
  std::vector<Copy> copies;
  int pen = 0, glyphs = 0;
  for (char c : text) {
    TTFont::Glyph g;
    if (!font.GetGlyph(uint8_t(c), g)) continue;
    pen += g.a;
    if (g.font) {
      const int side = font.Side();
      copies.push_back({int(g.u * side), int(g.v * side), int(g.width * side), int(g.height * side), pen});
      ++glyphs;
    }
    pen += g.advance + g.c;
  }
  const uint8_t* atlas = font.GlyphBitmap().Data();
  const size_t side = size_t(font.Side());
  const double perGlyph = 1e9 / glyphs;
  Compare(
      "drawtext_glyph_cached", 20, "ns/glyph", perGlyph,
      // Set-up of the measured data, known to work.
      [&] { (void)font.DrawText(target, 0, 8, text, 0xFFFFE080u); },
      [&] {
        for (const Copy& c : copies) {
          if (c.dx + c.w > target.Width()) continue;
          for (int row = 0; row < c.h; ++row)
            std::memcpy(target.Data() + ((size_t(8 + row)) * size_t(target.Width()) + size_t(c.dx)) * 4,
                        atlas + ((size_t(c.sy + row)) * side + size_t(c.sx)) * 4, size_t(c.w) * 4);
        }
      });
  g_sink = target.Data()[100];
  return 0;
}
