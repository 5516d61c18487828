#include "graphics/font/TTFont.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "foundation/Log.h"
#include "foundation/Text.h"
#include "kiv/OnDemandLibrary.h"

namespace {

#define FREETYPE_FUNCTIONS(X) \
  X(FT_Done_Face)             \
  X(FT_Done_FreeType)         \
  X(FT_Get_Char_Index)        \
  X(FT_GlyphSlot_Embolden)    \
  X(FT_GlyphSlot_Oblique)     \
  X(FT_Init_FreeType)         \
  X(FT_Load_Char)             \
  X(FT_New_Face)              \
  X(FT_Render_Glyph)          \
  X(FT_Request_Size)          \
  X(FT_Select_Charmap)        \
  X(FT_Select_Size)

#define FONTCONFIG_FUNCTIONS(X) \
  X(FcConfigSubstitute)         \
  X(FcDefaultSubstitute)        \
  X(FcFini)                     \
  X(FcFontMatch)                \
  X(FcInit)                     \
  X(FcPatternAddDouble)         \
  X(FcPatternAddInteger)        \
  X(FcPatternAddString)         \
  X(FcPatternCreate)            \
  X(FcPatternDestroy)           \
  X(FcPatternGetInteger)        \
  X(FcPatternGetString)

KIV_ON_DEMAND_FUNCTIONS(FreeTypeFunctions, FreeType, ROVANA_FREETYPE_LIBRARY, FREETYPE_FUNCTIONS)
KIV_ON_DEMAND_FUNCTIONS(FontconfigFunctions, Fontconfig, ROVANA_FONTCONFIG_LIBRARY, FONTCONFIG_FUNCTIONS)

struct CharsetName {
  const char* name;
  int value;
  const char* language;  // a hint for the face lookup; null for none
};
constexpr CharsetName kCharsets[] = {
    {"ansi", 0, nullptr},      {"baltic", 186, "lt"},    {"big5", 136, "zh-tw"}, {"default", 1, nullptr},
    {"easteurope", 238, "pl"}, {"gb2312", 134, "zh-cn"}, {"greek", 161, "el"},   {"hangul", 129, "ko"},
    {"arabic", 178, "ar"},     {"thai", 222, "th"},      {"mac", 77, nullptr},   {"oem", 255, nullptr},
    {"russian", 204, "ru"},    {"shiftjis", 128, "ja"},  {"symbol", 2, nullptr}, {"turkish", 162, "tr"},
    {"vietnamese", 163, "vi"}, {"johab", 130, "ko"},     {"hebrew", 177, "he"},
};

const char* LanguageOf(int charset) {
  for (const CharsetName& c : kCharsets)
    if (c.value == charset) return c.language;
  return nullptr;
}

std::mutex g_fontMutex;                           // fontconfig and the registry
std::map<std::string, std::string> g_registered;  // lower-case family -> file
std::atomic<TTFont*> g_fallback{nullptr};
std::atomic<uint64_t> g_rendered{0}, g_requests{0};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool IsWhiteSpace(uint32_t c) {
  return (c >= 9 && c <= 13) || c == 32 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The file and face index of the installed font nearest to the request.
bool FindFontFile(const std::string& family, bool bold, bool italic, int pixels, const char* language,
                  std::string& file, int& index) {
  std::lock_guard lock(g_fontMutex);
  if (auto it = g_registered.find(Lower(family)); it != g_registered.end()) {
    file = it->second;
    index = 0;
    return true;
  }
  std::string why;
  if (!Fontconfig(why)) {
    LogLine("TTFont::Init> installed fonts cannot be looked up: %s", why.c_str());
    return false;
  }
  if (!Fontconfig().FcInit()) return false;
  // fontconfig keeps tables for the whole process; hand them back at exit so
  // that leak checkers see none.
  static const bool released = [] { return std::atexit([] { Fontconfig().FcFini(); }) == 0; }();
  (void)released;
  FcPattern* pattern = Fontconfig().FcPatternCreate();
  if (!pattern) return false;
  Fontconfig().FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  Fontconfig().FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  Fontconfig().FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  Fontconfig().FcPatternAddDouble(pattern, FC_PIXEL_SIZE, pixels);
  if (language) Fontconfig().FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>(language));
  Fontconfig().FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  Fontconfig().FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = Fontconfig().FcFontMatch(nullptr, pattern, &result);
  Fontconfig().FcPatternDestroy(pattern);
  if (!match) return false;
  FcChar8* path = nullptr;
  int faceIndex = 0;
  const bool found = Fontconfig().FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch && path;
  if (found) {
    file = reinterpret_cast<const char*>(path);
    if (Fontconfig().FcPatternGetInteger(match, FC_INDEX, 0, &faceIndex) != FcResultMatch) faceIndex = 0;
    index = faceIndex;
  }
  Fontconfig().FcPatternDestroy(match);
  return found;
}

}  // namespace

struct TTFont::Face {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  bool emboldenSynthetic = false, obliqueSynthetic = false;
  FT_Int32 loadTarget = FT_LOAD_TARGET_MONO;
  FT_Render_Mode renderMode = FT_RENDER_MODE_MONO;

  ~Face() {
    if (face) FreeType().FT_Done_Face(face);
    if (library) FreeType().FT_Done_FreeType(library);
  }
  // Loads and renders the glyph of a character into the face's slot.
  bool Render(uint32_t character) {
    if (FreeType().FT_Load_Char(face, character, FT_LOAD_DEFAULT | loadTarget) != 0) return false;
    FT_GlyphSlot slot = face->glyph;
    if (slot->format == FT_GLYPH_FORMAT_OUTLINE) {
      if (emboldenSynthetic) FreeType().FT_GlyphSlot_Embolden(slot);
      if (obliqueSynthetic) FreeType().FT_GlyphSlot_Oblique(slot);
    }
    if (slot->format != FT_GLYPH_FORMAT_BITMAP && FreeType().FT_Render_Glyph(slot, renderMode) != 0)
      return false;
    return slot->bitmap.pixel_mode == FT_PIXEL_MODE_MONO || slot->bitmap.pixel_mode == FT_PIXEL_MODE_GRAY;
  }
};

TTFont::TTFont() = default;

TTFont::~TTFont() {
  TTFont* self = this;
  g_fallback.compare_exchange_strong(self, nullptr);
}

void TTFont::Release() {
  m_face.reset();
  m_atlas.Destroy();
  m_widths.clear();
  m_glyphMap.clear();
  m_cells.clear();
  m_layout = {};
}

int TTFont::CharsetFromName(std::string_view name) {
  const std::string lower = Lower(name);
  for (const CharsetName& c : kCharsets)
    if (lower == c.name) return c.value;
  return DefaultCharset;
}

TTFont::AtlasLayout TTFont::LayoutFor(int cellWidth, int cellHeight) {
  if (cellWidth <= 0 || cellHeight <= 0) return {MaxSide, 0, 0};
  int side = MinSide;
  while ((side / cellWidth) * (side / cellHeight) < 64 && side <= MaxSide) side *= 2;
  side = std::min(side, MaxSide);
  return {side, side / cellWidth, side / cellHeight};
}

void TTFont::SetFallbackFont(TTFont* font) { g_fallback.store(font); }

TTFont* TTFont::FallbackFont() { return g_fallback.load(); }

void TTFont::RegisterFontFile(std::string_view family, std::string_view path) {
  std::lock_guard lock(g_fontMutex);
  g_registered[Lower(family)] = std::string(path);
}

uint64_t TTFont::GlyphsRendered() { return g_rendered.load(); }
uint64_t TTFont::GlyphRequests() { return g_requests.load(); }

bool TTFont::Init(std::string_view charsetName, std::string_view faceName, int height, uint32_t style) {
  Release();
  m_style = style;
  m_faceName = std::string(faceName.substr(0, 256));
  const char* name = m_faceName.c_str();
  // Past this no cell fits the glyph bitmap anyway; refusing it early keeps
  // the rasteriser from sizing a face for it.
  if (height < -4096 || height > 4096) {
    LogLine("TTFont::Init> '%s' height %d is out of range", name, height);
    return false;
  }
  // The font libraries are opened by the first font.
  if (std::string why; !FreeType(why)) {
    LogLine("TTFont::Init> '%s' the font library is not available: %s", name, why.c_str());
    return false;
  }
  const int charset = CharsetFromName(charsetName);
  const bool bold = style & StyleBold, italic = style & StyleItalic;
  const int pixels = height == 0 ? 12 : std::abs(height);

  auto face = std::make_unique<Face>();
  auto open = [&](const char* language) {
    std::string file;
    int index = 0;
    if (!FindFontFile(m_faceName, bold, italic, pixels, language, file, index)) return false;
    if (!face->library && FreeType().FT_Init_FreeType(&face->library) != 0) return false;
    if (face->face) {
      FreeType().FT_Done_Face(face->face);
      face->face = nullptr;
    }
    return FreeType().FT_New_Face(face->library, file.c_str(), index, &face->face) == 0;
  };
  if (!open(LanguageOf(charset))) {
    LogLine("TTFont::Init> '%s' CreateFontW failed", name);
    if (charset == DefaultCharset) return false;
    LogLine("TTFont::Init> '%s' retrying with DEFAULT_CHARSET", name);
    if (!open(nullptr)) {
      LogLine("TTFont::Init> '%s' failed retry", name);
      return false;
    }
  }
  FT_Face ft = face->face;
  if (FreeType().FT_Select_Charmap(ft, FT_ENCODING_UNICODE) != 0) {
    LogLine("TTFont::Init> '%s' DEFAULT_CHARSET", name);
    return false;
  }
  // Size: a positive height is the cell height (ascent + descent), a
  // negative one the em size. Bitmap fonts take their nearest strike.
  FT_Error sized = 0;
  if (FT_IS_SCALABLE(ft)) {
    FT_Size_RequestRec request{};
    request.type = height > 0 ? FT_SIZE_REQUEST_TYPE_REAL_DIM : FT_SIZE_REQUEST_TYPE_NOMINAL;
    request.height = FT_Long(pixels) * 64;
    sized = FreeType().FT_Request_Size(ft, &request);
  } else if (ft->num_fixed_sizes > 0) {
    int best = 0;
    for (int i = 1; i < ft->num_fixed_sizes; ++i)
      if (std::abs(ft->available_sizes[i].height - pixels) <
          std::abs(ft->available_sizes[best].height - pixels))
        best = i;
    sized = FreeType().FT_Select_Size(ft, best);
  } else {
    sized = 1;
  }
  const FT_Size_Metrics& metrics = ft->size->metrics;
  m_ascent = static_cast<int>((metrics.ascender + 63) >> 6);
  m_textHeight = m_ascent + static_cast<int>((-metrics.descender + 63) >> 6);
  if (sized != 0 || m_textHeight <= 0 || m_ascent < 0) {
    LogLine("TTFont::Init> '%s' GetTextMetricsW failed", name);
    return false;
  }
  if (style & StyleShadow) {
    m_textHeight += 1;
    m_extraPixel = 1;
  } else {
    m_extraPixel = 0;
  }
  face->emboldenSynthetic = bold && !(ft->style_flags & FT_STYLE_FLAG_BOLD);
  face->obliqueSynthetic = italic && !(ft->style_flags & FT_STYLE_FLAG_ITALIC);
  const bool smooth = style & StyleAntialiased;
  face->loadTarget = smooth ? FT_LOAD_TARGET_NORMAL : FT_LOAD_TARGET_MONO;
  face->renderMode = smooth ? FT_RENDER_MODE_NORMAL : FT_RENDER_MODE_MONO;
  m_face = std::move(face);

  m_defaultCharacter = '?';
  m_spaceWidth = 10;
  if (Covers(' ')) {
    const ABC space = Widths(' ');
    m_spaceWidth = space.a + space.b + space.c;
  }
  // The widest glyph: the face's largest advance, plus the synthetic
  // styles' growth; a glyph wider still is cut at its cell's edge.
  int widest = static_cast<int>((metrics.max_advance + 63) >> 6);
  if (m_face->emboldenSynthetic) widest += std::max(1, pixels / 24);
  if (italic) widest += 1 + pixels / 4;
  m_cellWidth = widest + m_extraPixel + 1 + ((style & (StyleUnderline | StyleStrikeOut)) ? 1 : 0);
  m_cellHeight = m_textHeight + 1;
  m_layout = LayoutFor(m_cellWidth, m_cellHeight);
  if (m_layout.columns * m_layout.rows == 0) {
    LogLine("TTFont::Init> '%s' cells of %d x %d pixels do not fit the glyph bitmap", name, m_cellWidth,
            m_cellHeight);
    Release();
    return false;
  }
  if (!m_atlas.Create(m_layout.side, m_layout.side, Kiv::Bitmap::FormatRGBA32)) {
    LogLine("TTFont::Init> '%s' CreateDIBSection failed", name);
    Release();
    return false;
  }
  m_inverseSide = 1.0f / static_cast<float>(m_layout.side);
  const int count = m_layout.columns * m_layout.rows;
  for (int i = 0; i < count; ++i)
    m_cells.push_back({0, (i % m_layout.columns) * m_cellWidth, (i / m_layout.columns) * m_cellHeight});
  return true;
}

bool TTFont::Covers(uint32_t character) const {
  return m_face && character <= 0xFFFF && FreeType().FT_Get_Char_Index(m_face->face, character) != 0;
}

TTFont::ABC TTFont::Widths(uint32_t character) const {
  if (auto it = m_widths.find(character); it != m_widths.end()) return it->second;
  ABC abc;
  if (m_face && m_face->Render(character)) {
    const FT_GlyphSlot slot = m_face->face->glyph;
    abc.a = slot->bitmap_left;
    abc.b = static_cast<int>(slot->bitmap.width);
    abc.c = static_cast<int>((slot->advance.x + 32) >> 6) - abc.a - abc.b;
    if (m_style & (StyleUnderline | StyleStrikeOut)) {
      abc.b += abc.a + abc.c;
      abc.a = abc.c = 0;
    }
    if (m_style & StyleItalic) {
      abc.b += 1;
      abc.c -= 1;
    }
  }
  m_widths.emplace(character, abc);
  return abc;
}

const TTFont* TTFont::ServingFont(uint32_t& character) const {
  if (character == 0x2013) character = '-';
  if (character > 0xFFFF) {
    character = m_defaultCharacter;
    return this;
  }
  if (Covers(character)) return this;
  if (const TTFont* fallback = FallbackFont(); fallback && fallback != this && fallback->Covers(character))
    return fallback;
  character = m_defaultCharacter;
  return this;
}

bool TTFont::RenderCell(const Cell& cell, uint32_t character) {
  // Clear the cell, then draw white on black as the conversion expects.
  for (int y = 0; y < m_cellHeight; ++y)
    std::memset(m_atlas.Data() + (size_t(cell.y + y) * size_t(m_layout.side) + size_t(cell.x)) * 4, 0,
                size_t(m_cellWidth) * 4);
  const ABC abc = Widths(character);  // before the render: it may render too
  if (!m_face->Render(character)) return false;
  const FT_GlyphSlot slot = m_face->face->glyph;
  const FT_Bitmap& bitmap = slot->bitmap;
  std::vector<uint8_t> coverage(size_t(m_cellWidth) * size_t(m_cellHeight), 0);
  const int originX = -abc.a + slot->bitmap_left, originY = m_ascent - slot->bitmap_top;
  for (unsigned row = 0; row < bitmap.rows; ++row) {
    const int y = originY + int(row);
    if (y < 0 || y >= m_cellHeight) continue;
    const uint8_t* line = bitmap.buffer + ptrdiff_t(row) * bitmap.pitch;
    for (unsigned col = 0; col < bitmap.width; ++col) {
      const int x = originX + int(col);
      if (x < 0 || x >= m_cellWidth) continue;
      const uint8_t v = bitmap.pixel_mode == FT_PIXEL_MODE_MONO
                            ? ((line[col >> 3] >> (7 - (col & 7))) & 1 ? 255 : 0)
                            : line[col];
      coverage[size_t(y) * size_t(m_cellWidth) + size_t(x)] = v;
    }
  }
  const int inkWidth = std::min(abc.b, m_cellWidth);
  auto rule = [&](int y) {
    if (y < 0 || y >= m_cellHeight) return;
    for (int x = 0; x < inkWidth; ++x) coverage[size_t(y) * size_t(m_cellWidth) + size_t(x)] = 255;
  };
  if (m_style & StyleUnderline) rule(std::min(m_ascent + 1, m_textHeight - 1));
  if (m_style & StyleStrikeOut) rule(m_ascent - m_ascent / 3);
  // Coverage to pixels: ink keeps its grey and is opaque; with a shadow an
  // empty pixel below-right of ink is black with the ink's coverage as alpha.
  const bool shadow = m_style & StyleShadow, smooth = m_style & StyleAntialiased;
  for (int y = 0; y < m_cellHeight; ++y)
    for (int x = 0; x < m_cellWidth; ++x) {
      const uint8_t v = coverage[size_t(y) * size_t(m_cellWidth) + size_t(x)];
      uint32_t pixel = 0;
      if (v != 0) {
        pixel = 0xFF000000u | uint32_t(v) << 16 | uint32_t(v) << 8 | v;
      } else if (shadow) {
        if (x > 0 && y > 0)
          pixel = uint32_t(coverage[size_t(y - 1) * size_t(m_cellWidth) + size_t(x - 1)]) << 24;
      } else if (!smooth) {
        pixel = 0x00FFFFFFu;
      }
      std::memcpy(m_atlas.Data() + (size_t(cell.y + y) * size_t(m_layout.side) + size_t(cell.x + x)) * 4,
                  &pixel, 4);
    }
  return true;
}

bool TTFont::CachedGlyph(uint32_t character, Cell*& cell) {
  if (auto it = m_glyphMap.find(character); it != m_glyphMap.end()) {
    m_cells.splice(m_cells.end(), m_cells, it->second);
    cell = &*it->second;
    return true;
  }
  // The least recently used cell makes room.
  auto slot = m_cells.begin();
  if (slot->character != 0) m_glyphMap.erase(slot->character);
  slot->character = 0;
  if (!RenderCell(*slot, character)) return false;
  ++g_rendered;
  slot->character = character;
  m_glyphMap.emplace(character, slot);
  m_cells.splice(m_cells.end(), m_cells, slot);
  cell = &*slot;
  return true;
}

bool TTFont::GetGlyph(uint32_t character, Glyph& glyph) {
  ++g_requests;
  glyph = Glyph{};
  if (!m_face || m_cells.empty()) return false;
  if (character < 32 && character != '\t') return true;
  uint32_t drawn = character;
  if (IsWhiteSpace(character) && character < 0x10000) {
    if (!(m_style & (StyleUnderline | StyleStrikeOut))) {
      glyph.advance = m_spaceWidth;
      return true;
    }
    drawn = ' ';
  }
  if (drawn == 0x2019) drawn = '\'';
  // A character already in a cell of this font is served by this font.
  if (auto it = m_glyphMap.find(drawn); it != m_glyphMap.end()) {
    m_cells.splice(m_cells.end(), m_cells, it->second);
    FillGlyph(glyph, *it->second, m_widths.find(drawn)->second);
    return true;
  }
  TTFont* serving = const_cast<TTFont*>(ServingFont(drawn));
  const ABC abc = serving->Widths(drawn);
  if (abc.a + abc.b + abc.c == 0) return true;
  Cell* cell = nullptr;
  if (!serving->CachedGlyph(drawn, cell)) {  // a failed render draws nothing
    glyph.a = abc.a;
    glyph.advance = abc.b + serving->m_extraPixel;
    glyph.c = abc.c;
    return true;
  }
  serving->FillGlyph(glyph, *cell, abc);
  return true;
}

void TTFont::FillGlyph(Glyph& glyph, const Cell& cell, const ABC& abc) const {
  glyph.a = abc.a;
  glyph.advance = abc.b + m_extraPixel;
  glyph.c = abc.c;
  glyph.font = this;
  glyph.u = float(cell.x) * m_inverseSide;
  glyph.v = float(cell.y) * m_inverseSide;
  glyph.width = float(std::min(glyph.advance, m_cellWidth)) * m_inverseSide;
  glyph.height = float(m_textHeight) * m_inverseSide;
}

bool TTFont::DrawGlyph(Kiv::Bitmap& target, int x, int y, const Glyph& glyph, uint32_t argb,
                       uint64_t* visited) const {
  const TTFont* source = glyph.font ? glyph.font : this;
  const Kiv::Bitmap& atlas = source->m_atlas;
  if (atlas.IsEmpty() || target.BytesPerPixel() != 4) return false;
  const int side = source->m_layout.side;
  const int sx = int(glyph.u * float(side)), sy = int(glyph.v * float(side));
  int w = int(glyph.width * float(side)), h = int(glyph.height * float(side));
  // Clip to the atlas and to the target.
  w = std::min(w, side - sx);
  h = std::min(h, side - sy);
  const int64_t x0 = std::max<int64_t>(0, -int64_t(x)), y0 = std::max<int64_t>(0, -int64_t(y));
  const int64_t x1 = std::min<int64_t>(w, int64_t(target.Width()) - x);
  const int64_t y1 = std::min<int64_t>(h, int64_t(target.Height()) - y);
  if (visited && x1 > x0 && y1 > y0) *visited += uint64_t(x1 - x0) * uint64_t(y1 - y0);
  const uint32_t cA = argb >> 24;
  const uint32_t channel[3] = {argb & 0xFF, (argb >> 8) & 0xFF, (argb >> 16) & 0xFF};
  for (int64_t row = y0; row < y1; ++row) {
    const uint8_t* s = atlas.Data() + (size_t(sy + row) * size_t(side) + size_t(sx + x0)) * 4;
    uint8_t* d = target.Data() + (size_t(y + row) * size_t(target.Width()) + size_t(x + x0)) * 4;
    for (int64_t col = x0; col < x1; ++col, s += 4, d += 4) {
      // The glyph's grey scales the colour and its alpha the colour's; the
      // result blends as a drawn point does, so that ink on an opaque pixel
      // is exactly the colour and an empty glyph pixel leaves the target.
      const uint32_t a = (uint32_t(s[3]) * cA + 127) / 255;
      if (a == 0) continue;
      uint32_t over = a << 24;
      for (int i = 0; i < 3; ++i) over |= ((uint32_t(s[i]) * channel[i] + 127) / 255) << (8 * i);
      uint32_t under;
      std::memcpy(&under, d, 4);
      const uint32_t blended = Kiv::Bitmap::Blend(under, over);
      std::memcpy(d, &blended, 4);
    }
  }
  return true;
}

const TTFont::ABC* TTFont::OwnAsciiWidths(uint32_t character) const {
  if (character >= m_asciiState.size()) return nullptr;
  AsciiState& state = m_asciiState[character];
  if (state == AsciiUnknown) {
    uint32_t served = character;
    if (character >= 32 && !IsWhiteSpace(character) && ServingFont(served) == this && served == character) {
      m_asciiWidths[character] = Widths(character);
      state = AsciiOwn;
    } else {
      state = AsciiOther;
    }
  }
  return state == AsciiOwn ? &m_asciiWidths[character] : nullptr;
}

namespace {

// The next character of a UTF-8 text; an ASCII byte without the decoder.
uint32_t NextChar(std::string_view utf8, size_t& pos) {
  const unsigned char byte = static_cast<unsigned char>(utf8[pos]);
  if (byte < 0x80) {
    ++pos;
    return byte;
  }
  size_t used = 0;
  const uint32_t c = DecodeUtf8Char(utf8.data() + pos, utf8.size() - pos, &used);
  pos += std::max<size_t>(used, 1);
  return c;
}

}  // namespace

int TTFont::GetTextWidth(std::string_view utf8) const {
  if (!m_face) return 0;
  int64_t width = 0, pendingSpace = 0, lastC = 0;
  size_t pos = 0;
  while (pos < utf8.size()) {
    const uint32_t c = NextChar(utf8, pos);
    if (const ABC* own = OwnAsciiWidths(c)) {
      width += pendingSpace + own->a + own->b + own->c;
      pendingSpace = 0;
      lastC = own->c;
      continue;
    }
    if (c < 32 && c != '\t') continue;
    if (IsWhiteSpace(c)) {
      pendingSpace += m_spaceWidth;
      continue;
    }
    uint32_t drawn = c == 0x2019 ? '\'' : c;
    const TTFont* serving = ServingFont(drawn);
    const ABC abc = serving->Widths(drawn);
    width += pendingSpace + abc.a + abc.b + abc.c;
    pendingSpace = 0;
    lastC = abc.c;
  }
  return static_cast<int>(std::clamp<int64_t>(width - lastC, INT_MIN, INT_MAX));
}

bool TTFont::DrawText(Kiv::Bitmap& target, int x, int y, std::string_view utf8, uint32_t argb,
                      uint64_t* visited) {
  if (!m_face || m_cells.empty()) return false;
  // A glyph of this font that would land wholly outside the target only
  // moves the pen: its cell is neither looked up nor rendered.
  const bool rowsShown = int64_t(y) < target.Height() && int64_t(y) + m_textHeight > 0;
  int64_t pen = x;
  size_t pos = 0;
  while (pos < utf8.size() && pen <= INT32_MAX) {
    const uint32_t c = NextChar(utf8, pos);
    if (const ABC* own = OwnAsciiWidths(c)) {
      const int64_t left = pen + own->a;
      if (own->a + own->b + own->c == 0) continue;
      if (!rowsShown || left >= target.Width() || left + m_cellWidth <= 0) {
        pen = left + own->b + m_extraPixel + own->c;
        continue;
      }
    }
    Glyph glyph;
    if (!GetGlyph(c, glyph)) continue;
    pen += glyph.a;
    // A glyph outside the target draws nothing.
    if (glyph.font && pen >= INT32_MIN && pen <= INT32_MAX)
      (void)DrawGlyph(target, int(pen), y, glyph, argb, visited);
    pen += glyph.advance + glyph.c;
  }
  return true;
}
