#pragma once
// Text of a system font rendered into 32-bit bitmaps: characters are measured,
// rendered once into the cells of a square glyph bitmap (the atlas) and
// blended from there into a target with a colour. The rasteriser sits behind
// this class; its headers stay in TTFont.cpp.
#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kiv/Bitmap.h"

class TTFont {
public:
  enum Style : uint32_t {
    StyleBold = 0x01,
    StyleUnderline = 0x02,
    StyleItalic = 0x04,
    StyleStrikeOut = 0x20,
    StyleShadow = 0x40,
    StyleAntialiased = 0x80
  };
  static constexpr int DefaultCharset = 1;
  static constexpr int MinSide = 64, MaxSide = 512;

  // Leading space, glyph width and trailing space of a character, in pixels.
  struct ABC {
    int a = 0, b = 0, c = 0;
  };
  // A glyph found by GetGlyph. font is the font whose atlas holds it (this
  // font or the fallback font); null for a glyph with nothing to draw.
  struct Glyph {
    const TTFont* font = nullptr;
    float u = 0, v = 0;             // atlas position, 0..1
    float width = 0, height = 0;    // atlas size, 0..1
    int a = 0, advance = 0, c = 0;  // pixels
  };
  struct AtlasLayout {
    int side = 0, columns = 0, rows = 0;
  };

  TTFont();
  ~TTFont();
  TTFont(const TTFont&) = delete;
  TTFont& operator=(const TTFont&) = delete;

  // Opens the face nearest to faceName (an unknown name gets the default
  // sans face). A positive height is the cell height in pixels, a negative
  // one the em size. False, with a log line, when no usable font results.
  [[nodiscard]] bool Init(std::string_view charsetName, std::string_view faceName, int height,
                          uint32_t style);
  // The glyph of a character, rendering it into a cell on first use (the
  // least recently used cell makes room when all are taken). False when
  // neither this font nor the fallback font can give one.
  [[nodiscard]] bool GetGlyph(uint32_t character, Glyph& glyph);
  // Blends the glyph into target (32-bit formats) with its top left at
  // (x, y), coloured by argb; clipped to the target. *visited (when given)
  // gains the target pixels the glyph covers.
  [[nodiscard]] bool DrawGlyph(Kiv::Bitmap& target, int x, int y, const Glyph& glyph, uint32_t argb,
                               uint64_t* visited = nullptr) const;
  // Draws a UTF-8 text with its top left at (x, y) in argb, glyph by glyph
  // (the script image's text drawing). False when the font is not made.
  // *visited (when given) gains the target pixels the glyphs cover.
  [[nodiscard]] bool DrawText(Kiv::Bitmap& target, int x, int y, std::string_view utf8, uint32_t argb,
                              uint64_t* visited = nullptr);
  // Width in pixels of a UTF-8 text: trailing white space and the trailing
  // space of the last glyph are not counted.
  int GetTextWidth(std::string_view utf8) const;

  int TextHeight() const { return m_textHeight; }
  int Ascent() const { return m_ascent; }
  int SpaceWidth() const { return m_spaceWidth; }
  int CellWidth() const { return m_cellWidth; }
  int CellHeight() const { return m_cellHeight; }
  int Side() const { return m_layout.side; }
  int CellCount() const { return static_cast<int>(m_cells.size()); }
  const Kiv::Bitmap& GlyphBitmap() const { return m_atlas; }

  // The atlas for cells of the given size: the side starts at 64 and doubles
  // while it holds fewer than 64 cells, up to 512. Columns or rows may be 0.
  static AtlasLayout LayoutFor(int cellWidth, int cellHeight);
  // The character set of a name (any case); unknown names give 1 (default).
  static int CharsetFromName(std::string_view name);

  // The process-wide font that serves characters other fonts lack. The
  // fallback font's destructor clears it.
  static void SetFallbackFont(TTFont* font);
  static TTFont* FallbackFont();
  // Makes a font file known under a family name, ahead of the system's
  // fonts (fonts shipped with the tool, and test fonts).
  static void RegisterFontFile(std::string_view family, std::string_view path);

  // Process-wide counters: glyphs rendered into cells, glyph requests.
  static uint64_t GlyphsRendered();
  static uint64_t GlyphRequests();

private:
  struct Face;
  struct Cell {
    uint32_t character = 0;  // 0: empty
    int x = 0, y = 0;
  };

  void Release();
  // Where the ABC widths of a character come from: this font, the fallback
  // font, or this font's default glyph.
  const TTFont* ServingFont(uint32_t& character) const;
  [[nodiscard]] bool Covers(uint32_t character) const;
  ABC Widths(uint32_t character) const;
  // Renders a character into a cell; false when the rasteriser fails.
  [[nodiscard]] bool RenderCell(const Cell& cell, uint32_t character);
  [[nodiscard]] bool CachedGlyph(uint32_t character, Cell*& cell);
  // The widths of an ASCII character this font itself serves, from a table
  // filled as characters are first met; null for any other character (it
  // goes the long way, through the face and the fallback font).
  const ABC* OwnAsciiWidths(uint32_t character) const;
  void FillGlyph(Glyph& glyph, const Cell& cell, const ABC& abc) const;

  std::unique_ptr<Face> m_face;
  std::string m_faceName;
  Kiv::Bitmap m_atlas;
  AtlasLayout m_layout;
  float m_inverseSide = 0;
  mutable std::unordered_map<uint32_t, ABC> m_widths;
  enum AsciiState : uint8_t { AsciiUnknown, AsciiOwn, AsciiOther };
  mutable std::array<AsciiState, 128> m_asciiState{};
  mutable std::array<ABC, 128> m_asciiWidths{};
  std::unordered_map<uint32_t, std::list<Cell>::iterator> m_glyphMap;
  std::list<Cell> m_cells;  // least recently used first
  uint32_t m_defaultCharacter = '?';
  int m_textHeight = 0, m_ascent = 0, m_cellWidth = 0, m_cellHeight = 0, m_spaceWidth = 0;
  uint32_t m_style = 0;
  int m_extraPixel = 0;
};
