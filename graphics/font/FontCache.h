#pragma once
// The process-wide font cache: one TTFont per description, made on first
// use. The cache is bounded: past kFontCacheBytes or kFontCacheEntries the
// least recently used fonts go (never the fallback font), so no caller can
// make it hold more however many descriptions it asks for.
#include <cstdint>
#include <memory>
#include <string>

#include "graphics/font/TTFont.h"

struct FontDescription {
  uint8_t bold = 0, underline = 0, italic = 0, strikeOut = 0, shadow = 0, antialiased = 0;
  uint32_t charset = TTFont::DefaultCharset;
  std::string face;
  int size = 12;

  uint32_t Style() const;
  auto operator<=>(const FontDescription&) const = default;
};

// What the cached fonts may hold together (their estimated bytes, FontBytes),
// and how many descriptions, failed ones included, are remembered.
constexpr uint64_t kFontCacheBytes = 24ull << 20;
constexpr std::size_t kFontCacheEntries = 256;
// A made font's estimated bytes: its glyph bitmap and its opened face.
uint64_t FontBytes(const TTFont& font);

// The cached font of a description, created and initialised on first use;
// null when it cannot be made (a failed description is not retried while it
// is remembered). The font lives while the caller holds it, even once the
// cache lets it go. `made`, when given, tells whether this call tried to make
// it: a try that fails has found, opened and sized the face all the same.
std::shared_ptr<TTFont> GetCachedTTFont(const FontDescription& description, bool* made = nullptr);
// Makes the cached font of a description the process-wide fallback font.
[[nodiscard]] bool SetFallbackTTFont(const FontDescription& description);
// Drops every cached font (the fallback font with them).
void ClearTTFontCache();
