#include "graphics/font/FontCache.h"

#include <map>
#include <memory>
#include <mutex>

namespace {

std::mutex g_cacheMutex;
std::map<FontDescription, std::unique_ptr<TTFont>> g_cache;

// The name the character-set value came from: the font takes a name.
std::string CharsetName(uint32_t value) {
  static constexpr const char* kNames[] = {"ansi",    "baltic",     "big5",    "default",  "easteurope",
                                           "gb2312",  "greek",      "hangul",  "arabic",   "thai",
                                           "mac",     "oem",        "russian", "shiftjis", "symbol",
                                           "turkish", "vietnamese", "johab",   "hebrew"};
  for (const char* name : kNames)
    if (uint32_t(TTFont::CharsetFromName(name)) == value) return name;
  return "default";
}

}  // namespace

uint32_t FontDescription::Style() const {
  return (bold ? TTFont::StyleBold : 0u) | (underline ? TTFont::StyleUnderline : 0u) |
         (italic ? TTFont::StyleItalic : 0u) | (strikeOut ? TTFont::StyleStrikeOut : 0u) |
         (shadow ? TTFont::StyleShadow : 0u) | (antialiased ? TTFont::StyleAntialiased : 0u);
}

TTFont* GetCachedTTFont(const FontDescription& description) {
  std::lock_guard lock(g_cacheMutex);
  auto [it, added] = g_cache.try_emplace(description);
  if (added) {
    auto font = std::make_unique<TTFont>();
    if (font->Init(CharsetName(description.charset), description.face, description.size, description.Style()))
      it->second = std::move(font);
  }
  return it->second.get();
}

bool SetFallbackTTFont(const FontDescription& description) {
  TTFont* font = GetCachedTTFont(description);
  if (font) TTFont::SetFallbackFont(font);
  return font != nullptr;
}

void ClearTTFontCache() {
  std::lock_guard lock(g_cacheMutex);
  g_cache.clear();
}
