#include "gamescript/runtime/StringPool.h"

namespace Utils {

uint32_t StringHash(std::string_view text) {
  uint32_t h = 0;
  for (char c : text) h = h * 3 + uint32_t(int32_t(static_cast<signed char>(c)));
  return h;
}

std::string_view FileNamePart(std::string_view path) {
  std::size_t cut = path.find_last_of("\\/:");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string UnquoteLiteral(std::string_view text, bool escapes) {
  if (!text.empty() && (text.back() == '"' || text.back() == '\'')) text.remove_suffix(1);
  if (!text.empty() && text.front() == 'L') text.remove_prefix(1);
  if (text.empty() || (text.front() != '"' && text.front() != '\'')) return {};
  text.remove_prefix(1);

  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || !escapes) {
      out += c;
      continue;
    }
    if (++i == text.size()) break;  // a backslash at the very end ends the text
    switch (char e = text[i]) {
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'v': out += '\v'; break;
      case 'r': out += '\r'; break;
      case 'f': out += '\f'; break;
      case 'b': out += '\b'; break;
      case 'a': out += '\a'; break;
      case '0': out += '\0'; break;
      default: out += e; break;  // \\ \' \" and any other character: the character
    }
  }
  return out;
}

}  // namespace Utils
