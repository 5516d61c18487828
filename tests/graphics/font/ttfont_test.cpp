#include <gtest/gtest.h>

#include <memory>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "graphics/font/FontCache.h"
#include "graphics/font/TTFont.h"
#include "kiv/Bitmap.h"
#include "kiv/TempFolder.h"

namespace fs = std::filesystem;

namespace {

struct TestGlyph {
  uint32_t code;
  int width, height, xOffset, yOffset, advance;  // every pixel of the box is ink
};

// Writes a bitmap font whose glyphs are solid boxes, so every width and ink
// pixel is known exactly.
std::string WriteBdf(const fs::path& path, int ascent, int descent, int maxWidth,
                     const std::vector<TestGlyph>& glyphs) {
  std::ostringstream out;
  out << "STARTFONT 2.1\nFONT -rovana-test-medium-r-normal--" << ascent + descent
      << "-100-75-75-c-80-iso10646-1\n"
      << "SIZE " << ascent + descent << " 75 75\nFONTBOUNDINGBOX " << maxWidth << ' ' << ascent + descent
      << " 0 " << -descent << "\nSTARTPROPERTIES 4\nFONT_ASCENT " << ascent << "\nFONT_DESCENT " << descent
      << "\nCHARSET_REGISTRY \"ISO10646\"\nCHARSET_ENCODING \"1\"\nENDPROPERTIES\nCHARS " << glyphs.size()
      << '\n';
  for (const TestGlyph& g : glyphs) {
    out << "STARTCHAR u" << g.code << "\nENCODING " << g.code << "\nSWIDTH 500 0\nDWIDTH " << g.advance
        << " 0\nBBX " << g.width << ' ' << g.height << ' ' << g.xOffset << ' ' << g.yOffset << "\nBITMAP\n";
    for (int row = 0; row < g.height; ++row) {
      for (int byte = 0; byte < (g.width + 7) / 8; ++byte) {
        const int bits = std::min(8, g.width - byte * 8);
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", (0xFF00 >> bits) & 0xFF);
        out << hex;
      }
      out << '\n';
    }
    out << "ENDCHAR\n";
  }
  out << "ENDFONT\n";
  std::ofstream(path) << out.str();
  return path.string();
}

int Ink(const Kiv::Bitmap& b, int x0 = 0, int y0 = 0, int x1 = INT_MAX, int y1 = INT_MAX) {
  int n = 0;
  for (int y = std::max(y0, 0); y < std::min(y1, b.Height()); ++y)
    for (int x = std::max(x0, 0); x < std::min(x1, b.Width()); ++x) n += (b.GetPixel(x, y) & 0xFF) > 128;
  return n;
}

Kiv::Bitmap Black(int w, int h) {
  Kiv::Bitmap b;
  EXPECT_TRUE(b.Create(w, h, Kiv::Bitmap::FormatRGBA32));
  b.Clear(0xFF000000u);
  return b;
}

constexpr uint32_t kWhite = 0xFFFFFFFFu;

class FontTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    s_temp = std::make_unique<Kiv::TempFolder>("rovana_fonts");
    s_dir = s_temp->Root();
    // Ascent 8, descent 2: text height 10, cells 6 x 11.
    std::vector<TestGlyph> glyphs = {
        {'a', 4, 5, 1, 0, 6}, {'b', 3, 8, 0, 0, 5}, {' ', 1, 1, 0, 0, 4},
        {'?', 5, 8, 0, 0, 6}, {'-', 4, 1, 0, 3, 5},
    };
    for (uint32_t c = 0x100; c < 0x100 + 400; ++c) glyphs.push_back({c, 2, 2, 0, 0, 3});
    TTFont::RegisterFontFile("RovanaTestSmall", WriteBdf(s_dir / "small.bdf", 8, 2, 8, glyphs));
    // A taller font with 'Z', for the fallback.
    TTFont::RegisterFontFile("RovanaTestTall", WriteBdf(s_dir / "tall.bdf", 40, 8, 12,
                                                        {{'Z', 7, 9, 1, 0, 9}, {'?', 3, 3, 0, 0, 4}}));
  }
  static void TearDownTestSuite() { s_temp.reset(); }
  static std::unique_ptr<Kiv::TempFolder> s_temp;
  static fs::path s_dir;
};
std::unique_ptr<Kiv::TempFolder> FontTest::s_temp;
fs::path FontTest::s_dir;

}  // namespace

TEST(TTFontLayout, AtlasSidesAndCellCounts) {
  struct Row {
    int cellWidth, cellHeight, side, columns, rows;
  };
  for (const Row& r : {Row{10, 13, 128, 12, 9}, Row{70, 80, 512, 7, 6}, Row{8, 8, 64, 8, 8},
                       Row{9, 11, 128, 14, 11}, Row{513, 20, 512, 0, 25}, Row{20, 600, 512, 25, 0}}) {
    const TTFont::AtlasLayout layout = TTFont::LayoutFor(r.cellWidth, r.cellHeight);
    EXPECT_EQ(layout.side, r.side) << r.cellWidth << "x" << r.cellHeight;
    EXPECT_EQ(layout.columns, r.columns) << r.cellWidth << "x" << r.cellHeight;
    EXPECT_EQ(layout.rows, r.rows) << r.cellWidth << "x" << r.cellHeight;
  }
  EXPECT_EQ(TTFont::CharsetFromName("SHIFTJIS"), 128);
  EXPECT_EQ(TTFont::CharsetFromName("hebrew"), 177);
  EXPECT_EQ(TTFont::CharsetFromName("klingon"), TTFont::DefaultCharset);
  EXPECT_EQ(TTFont::CharsetFromName(""), TTFont::DefaultCharset);
}

TEST_F(FontTest, TextWidthsAreExact) {
  TTFont font;
  ASSERT_TRUE(font.Init("klingon", "RovanaTestSmall", 10, 0));  // unknown set: the default
  EXPECT_EQ(font.TextHeight(), 10);
  EXPECT_EQ(font.CellWidth(), 6);  // the widest glyph, 5, and one
  EXPECT_EQ(font.CellHeight(), 11);
  EXPECT_EQ(font.Side(), 128);
  EXPECT_EQ(font.CellCount(), 21 * 11);
  EXPECT_EQ(font.SpaceWidth(), 4);
  struct Case {
    const char* text;
    int width;
  };
  for (const Case& c : {Case{"a", 5}, Case{"a b ", 6 + 4 + 3}, Case{"\tb", 4 + 3},
                        Case{"a\x01\x1f"
                             "b",
                             6 + 3},
                        Case{"\xff", 5},              // malformed: the default glyph, "?"
                        Case{"\xf0\x9f\x98\x80", 5},  // above U+FFFF: the default glyph
                        Case{"\xe2\x80\x93", 4},      // en dash drawn as "-"
                        Case{"", 0}, Case{"   ", 0}}) {
    EXPECT_EQ(font.GetTextWidth(c.text), c.width) << c.text;
  }
}

TEST_F(FontTest, DrawTextPutsEveryInkPixelInPlace) {
  TTFont font;
  ASSERT_TRUE(font.Init("default", "RovanaTestSmall", 10, 0));
  Kiv::Bitmap target = Black(32, 16);
  ASSERT_TRUE(font.DrawText(target, 3, 2, "ab", kWhite));
  // 'a': 4 x 5 at x 3+1, baseline row 2+8; 'b': 3 x 8 at x 3+6.
  EXPECT_EQ(Ink(target, 4, 5, 8, 10), 20);
  EXPECT_EQ(Ink(target, 9, 2, 12, 10), 24);
  EXPECT_EQ(Ink(target), 44);
  EXPECT_EQ(target.GetPixel(0, 0), 0xFF000000u);
}

// More distinct characters than cells still draw: old cells are reused.
TEST_F(FontTest, MoreCharactersThanCellsStillDraw) {
  TTFont font;
  ASSERT_TRUE(font.Init("default", "RovanaTestSmall", 10, 0));
  ASSERT_LT(font.CellCount(), 400);
  for (int round = 0; round < 2; ++round)
    for (uint32_t c = 0x100; c < 0x100 + 400; ++c) {
      Kiv::Bitmap target = Black(8, 12);
      TTFont::Glyph glyph;
      ASSERT_TRUE(font.GetGlyph(c, glyph)) << c;
      ASSERT_TRUE(font.DrawGlyph(target, 0, 0, glyph, kWhite));
      EXPECT_EQ(Ink(target), 4) << c;
      EXPECT_EQ(Ink(target, 0, 6, 2, 8), 4) << c;
    }
}

// Positions anywhere draw only what is inside (the sanitizer build checks
// that nothing is written outside).
TEST_F(FontTest, GlyphsAreClippedToTheTarget) {
  TTFont font;
  ASSERT_TRUE(font.Init("default", "RovanaTestSmall", 10, 0));
  Kiv::Bitmap target = Black(6, 6);
  for (int x : {INT_MIN, -100, -3, 0, 2, 5, 100, INT_MAX - 1})
    // Set-up; the checks below show a failure.
    for (int y : {INT_MIN, -7, -2, 3, 5, INT_MAX}) (void)font.DrawText(target, x, y, "abab?", kWhite);
  target = Black(6, 6);
  // Set-up; the checks below show a failure.
  (void)font.DrawText(target, -3, -5, "a", kWhite);  // 'a' covers x -2..1, y -2..2
  EXPECT_EQ(Ink(target), 2 * 3);
}

TEST_F(FontTest, FallbackGlyphsComeFromTheFallbackAtlas) {
  TTFont small, tall;
  ASSERT_TRUE(small.Init("default", "RovanaTestSmall", 10, 0));
  ASSERT_TRUE(tall.Init("default", "RovanaTestTall", 48, 0));
  ASSERT_NE(small.Side(), tall.Side());
  Kiv::Bitmap target = Black(40, 50);
  // Set-up; the checks below show a failure.
  (void)small.DrawText(target, 0, 0, "Z", kWhite);  // no fallback yet: "?"
  EXPECT_EQ(Ink(target), 5 * 8);
  EXPECT_EQ(small.GetTextWidth("Z"), 5);

  TTFont::SetFallbackFont(&tall);
  target = Black(40, 50);
  // Set-up; the checks below show a failure.
  (void)small.DrawText(target, 0, 0, "Z", kWhite);
  EXPECT_EQ(Ink(target), 7 * 9);
  EXPECT_EQ(Ink(target, 1, 40 - 9, 8, 40), 7 * 9);
  EXPECT_EQ(small.GetTextWidth("Z"), 8);
  {
    TTFont gone;
    ASSERT_TRUE(gone.Init("default", "RovanaTestTall", 48, 0));
    TTFont::SetFallbackFont(&gone);
  }
  EXPECT_EQ(TTFont::FallbackFont(), nullptr);
}

TEST_F(FontTest, OversizedFontsFailInit) {
  TTFont font;
  EXPECT_FALSE(font.Init("default", "DejaVu Sans", 600, 0));  // a cell over 512 pixels
  EXPECT_FALSE(font.Init("default", "DejaVu Sans", 100000, 0));
  TTFont::Glyph glyph;
  EXPECT_FALSE(font.GetGlyph('a', glyph));
  EXPECT_EQ(font.GetTextWidth("abc"), 0);
  ASSERT_TRUE(font.Init("default", "DejaVu Sans", 12, 0));  // a failed Init leaves it reusable
  EXPECT_GT(font.GetTextWidth("abc"), 10);
}

TEST_F(FontTest, CacheSharesFontsAndRemembersFailures) {
  FontDescription d;
  d.face = "RovanaTestSmall";
  d.size = 10;
  TTFont* font = GetCachedTTFont(d).get();
  ASSERT_NE(font, nullptr);
  EXPECT_EQ(GetCachedTTFont(d).get(), font);
  d.bold = 1;
  EXPECT_NE(GetCachedTTFont(d).get(), font);
  d.size = 5000;
  EXPECT_EQ(GetCachedTTFont(d), nullptr);
  d.size = 48;
  d.bold = 0;
  d.face = "RovanaTestTall";
  ASSERT_TRUE(SetFallbackTTFont(d));
  EXPECT_EQ(font->GetTextWidth("Z"), 8);
  ClearTTFontCache();
  EXPECT_EQ(TTFont::FallbackFont(), nullptr);
}

// A line of DejaVu Sans against the stored image. ROVANA_UPDATE_FONT_IMAGE=1
// rewrites the stored image.
TEST(FontSmoke, DejaVuLineMatchesTheStoredImage) {
  TTFont font;
  ASSERT_TRUE(font.Init("default", "DejaVu Sans", 18, TTFont::StyleAntialiased));
  Kiv::Bitmap image;
  ASSERT_TRUE(image.Create(300, 28, Kiv::Bitmap::FormatRGBA32));
  image.Clear(0xFF203040u);
  ASSERT_TRUE(font.DrawText(image, 4, 4, "Rovana 0123 \xc3\x84\xc3\x96\xc3\xbc \xe2\x80\x93 it\xe2\x80\x99s",
                            0xFFFFE080u));
  const std::string stored = std::string(ROVANA_SOURCE_DIR) + "/tests/graphics/font/data/dejavu_line.png";
  if (std::getenv("ROVANA_UPDATE_FONT_IMAGE")) {
    ASSERT_TRUE(image.Save(stored));
  }
  Kiv::Bitmap want;
  ASSERT_TRUE(want.Load(Kiv::PString(stored.c_str())));
  ASSERT_EQ(want.Width(), image.Width());
  ASSERT_EQ(want.Height(), image.Height());
  // Rasteriser versions differ in hinting: allow a few pixels to move.
  int far = 0;
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x) {
      const uint32_t a = image.GetPixel(x, y), b = want.GetPixel(x, y);
      for (int shift = 0; shift < 32; shift += 8) {
        const int d = int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF);
        if (d > 96 || d < -96) {
          ++far;
          break;
        }
      }
    }
  EXPECT_LT(far, image.Width() * image.Height() / 50);
  int ink = 0;
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x) ink += ((image.GetPixel(x, y) >> 16) & 0xFF) > 0x90;
  EXPECT_GT(ink, 200);
}

TEST_F(FontTest, StylesChangeWidthsAndCells) {
  struct Case {
    uint32_t style;
    int widthOfA, widthOfAb, textHeight, cellWidth;
  };
  // 'a' is A 1, B 4, C 1; 'b' is A 0, B 3, C 2.
  for (const Case& c :
       {Case{0, 5, 9, 10, 6}, Case{TTFont::StyleUnderline, 6, 11, 10, 7},
        Case{TTFont::StyleItalic, 6, 10, 10, 6 + 1 + 2}, Case{TTFont::StyleShadow, 5, 9, 11, 7}}) {
    TTFont font;
    ASSERT_TRUE(font.Init("default", "RovanaTestSmall", 10, c.style));
    EXPECT_EQ(font.GetTextWidth("a"), c.widthOfA) << c.style;
    EXPECT_EQ(font.GetTextWidth("ab"), c.widthOfAb) << c.style;
    EXPECT_EQ(font.TextHeight(), c.textHeight) << c.style;
    EXPECT_EQ(font.CellWidth(), c.cellWidth) << c.style;
  }
}

// The blend of the glyph bitmap's extremes: full ink in opaque white is
// opaque white; the transparent rest keeps the colour.
TEST_F(FontTest, BlendOfInkAndShadow) {
  TTFont plain, shadowed;
  ASSERT_TRUE(plain.Init("default", "RovanaTestSmall", 10, 0));
  ASSERT_TRUE(shadowed.Init("default", "RovanaTestSmall", 10, TTFont::StyleShadow));
  Kiv::Bitmap target = Black(16, 16);
  // Set-up; the checks below show a failure.
  (void)plain.DrawText(target, 0, 0, "a", kWhite);
  EXPECT_EQ(target.GetPixel(1, 3), 0xFFFFFFFFu);  // ink
  EXPECT_EQ(target.GetPixel(0, 3) & 0xFFFFFF, 0u);

  EXPECT_TRUE(target.Create(16, 16, Kiv::Bitmap::FormatRGBA32));
  target.Clear(0xFF808080u);
  // Set-up; the checks below show a failure.
  (void)shadowed.DrawText(target, 0, 0, "a", kWhite);
  EXPECT_EQ(target.GetPixel(1, 3) & 0xFF, 0xFFu);  // ink
  // Below-right of the last ink pixel (4, 7): the shadow darkens it.
  EXPECT_LT(target.GetPixel(5, 8) & 0xFF, 0x10u);
  EXPECT_EQ(target.GetPixel(0, 8) & 0xFF, 0x80u);  // no ink above-left: unchanged
}
