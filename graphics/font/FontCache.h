#pragma once
// The process-wide font cache: one TTFont per description, made on first
// use and kept until ClearTTFontCache.
#include <cstdint>
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

// The cached font of a description, created and initialised on first use;
// null when it cannot be made (a failed description is not retried).
TTFont* GetCachedTTFont(const FontDescription& description);
// Makes the cached font of a description the process-wide fallback font.
[[nodiscard]] bool SetFallbackTTFont(const FontDescription& description);
// Drops every cached font (the fallback font with them).
void ClearTTFontCache();
