#include "graphics/font/FontCache.h"

#include <list>
#include <map>
#include <mutex>

namespace {

// What an opened face holds (the rasteriser's library, face and size records).
constexpr uint64_t kFaceBytes = 1ull << 20;
// What a remembered failure holds.
constexpr uint64_t kFailureBytes = 256;

struct Entry {
  FontDescription description;
  std::shared_ptr<TTFont> font;  // null: the description failed
  uint64_t bytes = 0;
};

std::mutex g_cacheMutex;
std::list<Entry> g_order;  // least recently used first
std::map<FontDescription, std::list<Entry>::iterator> g_index;
uint64_t g_bytes = 0;

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

// Lets the least recently used entries go until the cache is within its
// bounds; the newest entry and the fallback font stay.
void Trim() {
  auto it = g_order.begin();
  while ((g_bytes > kFontCacheBytes || g_index.size() > kFontCacheEntries) && it != g_order.end() &&
         std::next(it) != g_order.end()) {
    if (it->font && it->font.get() == TTFont::FallbackFont()) {
      ++it;
      continue;
    }
    g_bytes -= it->bytes;
    g_index.erase(it->description);
    it = g_order.erase(it);
  }
}

}  // namespace

uint32_t FontDescription::Style() const {
  return (bold ? TTFont::StyleBold : 0u) | (underline ? TTFont::StyleUnderline : 0u) |
         (italic ? TTFont::StyleItalic : 0u) | (strikeOut ? TTFont::StyleStrikeOut : 0u) |
         (shadow ? TTFont::StyleShadow : 0u) | (antialiased ? TTFont::StyleAntialiased : 0u);
}

uint64_t FontBytes(const TTFont& font) {
  return uint64_t(font.Side()) * uint64_t(font.Side()) * 4 + kFaceBytes;
}

std::shared_ptr<TTFont> GetCachedTTFont(const FontDescription& description, bool* made) {
  std::lock_guard lock(g_cacheMutex);
  if (made) *made = false;
  if (auto found = g_index.find(description); found != g_index.end()) {
    g_order.splice(g_order.end(), g_order, found->second);
    return found->second->font;
  }
  auto font = std::make_shared<TTFont>();
  Entry entry{description, nullptr, kFailureBytes};
  if (made) *made = true;
  if (font->Init(CharsetName(description.charset), description.face, description.size, description.Style())) {
    entry.bytes = FontBytes(*font);
    entry.font = std::move(font);
  }
  g_bytes += entry.bytes;
  g_order.push_back(std::move(entry));
  g_index.emplace(description, std::prev(g_order.end()));
  Trim();
  return g_order.back().font;
}

bool SetFallbackTTFont(const FontDescription& description) {
  const std::shared_ptr<TTFont> font = GetCachedTTFont(description);
  if (font) TTFont::SetFallbackFont(font.get());
  return font != nullptr;
}

void ClearTTFontCache() {
  std::lock_guard lock(g_cacheMutex);
  g_index.clear();
  g_order.clear();
  g_bytes = 0;
}
