#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "kiv/Bitmap.h"

using Kiv::Bitmap;

namespace {

Bitmap Make(int w, int h, uint32_t argb = 0) {
  Bitmap b;
  EXPECT_TRUE(b.Create(w, h, Bitmap::FormatRGBA32));
  b.Clear(argb);
  return b;
}

int CountPixels(const Bitmap& b, uint32_t argb) {
  int n = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) n += b.GetPixel(x, y) == argb;
  return n;
}

constexpr uint32_t kRed = 0xFFFF0000u, kBlue = 0xFF0000FFu;

}  // namespace

TEST(BitmapDraw, ClearFillsEveryPixelOfEveryFormat) {
  for (auto format : {Bitmap::FormatRGBA32, Bitmap::FormatRGBX32, Bitmap::FormatRGB24}) {
    Bitmap b;
    ASSERT_TRUE(b.Create(37, 11, format));
    b.Clear(0x80123456u);
    const uint32_t want = format == Bitmap::FormatRGBA32 ? 0x80123456u : 0xFF123456u;
    EXPECT_EQ(CountPixels(b, want), 37 * 11) << format;
  }
}

TEST(BitmapDraw, PackColorClampsRoundsAndZeroesNaN) {
  EXPECT_EQ(Bitmap::PackColor(1, 0, 0, 1), 0xFFFF0000u);
  EXPECT_EQ(Bitmap::PackColor(-3, 7, 0.5f, 1), 0xFF00FF80u);
  EXPECT_EQ(Bitmap::PackColor(NAN, NAN, NAN, NAN), 0u);
  EXPECT_EQ(Bitmap::PackColor(0.2f, 0.0f, 0.0f, 0.0f), uint32_t(51) << 16);  // trunc(51.5)
}

TEST(BitmapDraw, ShapesDrawTheExpectedPixels) {
  Bitmap b = Make(8, 8);
  b.Box({1, 2, 4, 3}, kRed, Bitmap::ModeFill);
  EXPECT_EQ(CountPixels(b, kRed), 12);
  EXPECT_EQ(b.GetPixel(1, 2), kRed);
  EXPECT_EQ(b.GetPixel(4, 4), kRed);
  EXPECT_EQ(b.GetPixel(5, 4), 0u);

  b = Make(8, 8);
  b.Box({1, 1, 5, 4}, kRed, 0);  // outline: 5 + 5 + 2 + 2
  EXPECT_EQ(CountPixels(b, kRed), 14);
  EXPECT_EQ(b.GetPixel(2, 2), 0u);

  b = Make(8, 8);
  b.Box({5, 5, -3, -3}, kRed, Bitmap::ModeFill);  // reversed corners draw nothing
  EXPECT_EQ(CountPixels(b, 0), 64);

  b = Make(9, 9);
  b.Line(0, 0, 8, 4, kRed, 0);
  EXPECT_EQ(CountPixels(b, kRed), 9);
  EXPECT_EQ(b.GetPixel(0, 0), kRed);
  EXPECT_EQ(b.GetPixel(8, 4), kRed);

  b = Make(11, 11);
  b.Circle(5, 5, 3, kRed, Bitmap::ModeFill);
  b.Circle(5, 5, 3, kBlue, 0);
  EXPECT_EQ(b.GetPixel(5, 5), kRed);
  EXPECT_EQ(b.GetPixel(8, 5), kBlue);
  EXPECT_EQ(b.GetPixel(5, 2), kBlue);
  EXPECT_EQ(b.GetPixel(9, 5), 0u);
  // Symmetric about the centre.
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 11; ++x) EXPECT_EQ(b.GetPixel(x, y), b.GetPixel(10 - x, 10 - y));

  b = Make(10, 10);
  b.Triangle(0, 0, 9, 0, 0, 9, kRed, Bitmap::ModeFill);
  EXPECT_EQ(b.GetPixel(0, 9), kRed);
  EXPECT_EQ(b.GetPixel(9, 9), 0u);
  EXPECT_EQ(CountPixels(b, kRed), 55);
}

TEST(BitmapDraw, BlendModeMixesByAlpha) {
  Bitmap b = Make(2, 1, 0xFF000000u);
  b.Line(0, 0, 1, 0, 0x80FFFFFFu, Bitmap::ModeBlend);
  EXPECT_EQ(b.GetPixel(0, 0), 0xFF808080u);
  b.BlendPixel(1, 0, 0x00FFFFFFu);  // transparent: no change
  EXPECT_EQ(b.GetPixel(1, 0), 0xFF808080u);
}

// Coordinates and radii far outside finish at once and touch only what is
// inside (ASan checks the writes).
TEST(BitmapDraw, HugeCoordinatesAreClippedBeforeTheLoop) {
  Bitmap b = Make(16, 16);
  b.Line(INT_MIN, INT_MIN, INT_MAX, INT_MAX, kRed, 0);
  EXPECT_EQ(CountPixels(b, kRed), 16);
  b = Make(16, 16);
  b.Line(INT_MIN, 3, INT_MAX, 3, kRed, 0);
  EXPECT_EQ(CountPixels(b, kRed), 16);
  b.Line(-1000000000, -5, 1000000000, -5, kRed, 0);
  b.Circle(INT_MAX, INT_MAX, INT_MAX, kRed, Bitmap::ModeFill);
  b.Circle(8, 8, INT_MAX, kBlue, 0);  // the ring passes far outside
  b.Box({INT_MIN, INT_MIN, INT_MAX, INT_MAX}, kRed, 0);
  b.Triangle(INT_MIN, INT_MIN, INT_MAX, INT_MIN, 0, INT_MAX, kRed, 0);
  EXPECT_EQ(CountPixels(b, kBlue), 0);
  b.Box({INT_MAX, INT_MAX, INT_MAX, INT_MAX}, kBlue, Bitmap::ModeFill);
  b.Box({INT_MIN, INT_MIN, INT_MAX, INT_MAX}, kBlue, Bitmap::ModeFill);
  EXPECT_EQ(CountPixels(b, kBlue), 0);
  b.Circle(8, 8, INT_MAX, kBlue, Bitmap::ModeFill);
  EXPECT_EQ(CountPixels(b, kBlue), 256);
  b.Triangle(INT_MIN, INT_MIN, INT_MAX, INT_MIN, 0, INT_MAX, kRed, Bitmap::ModeFill);
  EXPECT_EQ(CountPixels(b, kRed), 256);
  Bitmap src = Make(4, 4, kRed);
  b.Image(src, INT_MAX, INT_MIN, {0, 0, 4, 4}, 0);
  b.Image(src, {INT_MIN, INT_MIN, INT_MAX, INT_MAX}, {INT_MIN, 0, INT_MAX, 4}, 0);
}

TEST(BitmapDraw, ResizeCopyKeepsTheOldBlockTopLeft) {
  Bitmap old = Make(4, 4);
  for (int i = 0; i < 16; ++i) old.SetPixel(i % 4, i / 4, 0xFF000000u | uint32_t(i + 1));
  Bitmap grown = Make(8, 8);
  grown.Image(old, {0, 0, 8, 8}, {0, 0, 8, 8}, 0);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      EXPECT_EQ(grown.GetPixel(x, y), x < 4 && y < 4 ? 0xFF000000u | uint32_t(y * 4 + x + 1) : 0u);

  Bitmap stretched = Make(8, 8);
  stretched.Image(old, {0, 0, 8, 8}, {0, 0, 4, 4}, 0);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(stretched.GetPixel(x, y), old.GetPixel(x / 2, y / 2));
  Bitmap shrunk = Make(2, 2);
  shrunk.Image(old, {0, 0, 2, 2}, {0, 0, 4, 4}, 0);
  EXPECT_EQ(shrunk.GetPixel(1, 1), old.GetPixel(3, 3));
}

TEST(BitmapDraw, ImageCopiesClipAndBlendAndMayOverlapThemselves) {
  Bitmap b = Make(6, 1);
  for (int x = 0; x < 6; ++x) b.SetPixel(x, 0, 0xFF000000u | uint32_t(x));
  b.Image(b, 2, 0, {0, 0, 4, 1}, 0);  // overlapping self-copy reads the old pixels
  const uint32_t want[6] = {0, 1, 0, 1, 2, 3};
  for (int x = 0; x < 6; ++x) EXPECT_EQ(b.GetPixel(x, 0), 0xFF000000u | want[x]);
  // Blended, as scripts copy: down and right, and along one row.
  Bitmap c = Make(3, 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) c.SetPixel(x, y, 0xFF000000u | uint32_t(y * 3 + x));
  c.Image(c, 1, 1, {0, 0, 2, 2}, Bitmap::ModeSourceAlpha);
  const uint32_t moved[9] = {0, 1, 2, 3, 0, 1, 6, 3, 4};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(c.GetPixel(i % 3, i / 3), 0xFF000000u | moved[i]) << i;
  b.Image(b, 1, 0, {0, 0, 5, 1}, Bitmap::ModeSourceAlpha);
  const uint32_t row[6] = {0, 0, 1, 0, 1, 2};
  for (int x = 0; x < 6; ++x) EXPECT_EQ(b.GetPixel(x, 0), 0xFF000000u | row[x]);

  Bitmap dst = Make(3, 3, 0xFF000000u);
  Bitmap src = Make(2, 2, 0x80FFFFFFu);
  dst.Image(src, -1, 2, {0, 0, 2, 2}, Bitmap::ModeSourceAlpha);
  EXPECT_EQ(dst.GetPixel(0, 2), 0xFF808080u);
  EXPECT_EQ(CountPixels(dst, 0xFF808080u), 1);
}
