#include "foundation/Text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

bool TermMatchesTag(std::string_view term, std::string_view tag) {
  if (term.size() != tag.size()) return false;
  for (size_t i = 0; i < term.size(); ++i)
    if (term[i] != '?' && term[i] != tag[i]) return false;
  return true;
}

bool TagPresent(std::string_view tagList, std::string_view term) {
  bool found = false;
  // A list item that stops the walk ends it; nothing else to do.
  (void)ForEachListItem(tagList, ";", [&](std::string_view tag) {
    if (TermMatchesTag(term, tag)) found = true;
    return !found;
  });
  return found;
}

// Code points of the bytes 0x80..0x9F in code page 1252; the five unassigned
// bytes keep their own value, as the system conversion does.
const uint16_t k1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t From1252(unsigned char b) { return (b >= 0x80 && b < 0xA0) ? k1252High[b - 0x80] : b; }

// The 1252 byte of a code point, or -1 when it has none.
int To1252(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int i = 0; i < 32; ++i)
    if (k1252High[i] == cp) return 0x80 + i;
  return -1;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsUtf8Page(int cp) { return cp == kCodePageUtf8 || cp == kCodePageLocal; }
bool KnownPage(int cp) { return IsUtf8Page(cp) || cp == kCodePage1252; }

}  // namespace

void PStringToLower(Kiv::PString& text) {
  if (!text.IsNull()) text = text.ToLower();
}

int SubstituteMacro(std::string& text, std::string_view name, std::string_view value) {
  int count = 0;
  std::string out;
  size_t pos = 0;
  const size_t need = name.size() + 3;
  while (true) {
    size_t at = text.find("$(", pos);
    if (at == std::string::npos) break;
    if (text.size() - at >= need && text[at + need - 1] == ')' &&
        EqualNoCase(std::string_view(text).substr(at + 2, name.size()), name)) {
      out.append(text, pos, at - pos);
      out.append(value);
      pos = at + need;
      ++count;
    } else {
      out.append(text, pos, at + 1 - pos);
      pos = at + 1;
    }
  }
  if (count) {
    out.append(text, pos, std::string::npos);
    text.swap(out);
  }
  return count;
}

int SubstituteMacro(Kiv::String& text, std::string_view name, std::string_view value) {
  return SubstituteMacro(text.Str(), name, value);
}

Kiv::String MakeString(const char* text) { return Kiv::String(text ? text : ""); }

uint32_t DecodeUtf8Char(const char* text, size_t available, size_t* used) {
  size_t dummy;
  if (!used) used = &dummy;
  if (!text || available == 0) {
    *used = 0;
    return 0;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char b0 = p[0];
  *used = 1;
  if (b0 < 0x80) return b0;
  size_t n;
  uint32_t cp, min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0xFFFD;
  }
  if (available < n) return 0xFFFD;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0xFFFD;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  *used = n;
  return cp;
}

int ConvertCodePageInPlace(char* buffer, size_t size, int fromCodePage, int toCodePage) {
  if (!buffer || size == 0) return -1;
  const size_t len = strnlen(buffer, size);
  auto fail = [&]() {
    for (size_t i = 0; i < len; ++i)
      if (static_cast<unsigned char>(buffer[i]) >= 128) buffer[i] = '?';
    return -1;
  };
  if (len == size) return fail();  // no terminator inside the buffer
  if (!KnownPage(fromCodePage) || !KnownPage(toCodePage)) return fail();

  // Decode to code points.
  std::vector<uint32_t> cps;
  cps.reserve(len);
  if (IsUtf8Page(fromCodePage)) {
    for (size_t i = 0; i < len;) {
      size_t used;
      uint32_t cp = DecodeUtf8Char(buffer + i, len - i, &used);
      if (cp == 0xFFFD && used == 1) return fail();  // malformed; a real U+FFFD uses 3 bytes
      cps.push_back(cp);
      i += used;
    }
  } else {
    for (size_t i = 0; i < len; ++i) cps.push_back(From1252(static_cast<unsigned char>(buffer[i])));
  }

  std::string out;
  out.reserve(len + len / 2);
  if (IsUtf8Page(toCodePage)) {
    for (uint32_t cp : cps) AppendUtf8(out, cp);
  } else {
    // A character the target has no byte for becomes "?", as the system's default character.
    for (uint32_t cp : cps) {
      int b = To1252(cp);
      out += b < 0 ? '?' : static_cast<char>(b);
    }
  }
  if (out.size() + 1 > size) return static_cast<int>(out.size() + 1);
  std::memcpy(buffer, out.data(), out.size());
  buffer[out.size()] = '\0';
  return 0;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool MatchTagExpression(std::string_view tagList, std::string_view expression) {
  if (TrimBlanks(expression).empty()) return true;
  bool any = false;
  // A list item that stops the walk ends it; nothing else to do.
  (void)ForEachListItem(expression, "|", [&](std::string_view alternative) {
    bool all = ForEachListItem(alternative, ";", [&](std::string_view term) {
      if (term.front() == '-') {
        std::string_view absent = TrimBlanks(term.substr(1));
        return absent.empty() || !TagPresent(tagList, absent);
      }
      return TagPresent(tagList, term);
    });
    if (all) any = true;
    return !any;
  });
  return any;
}

long long FormatArg::AsInt() const {
  switch (m_kind) {
    case Int: return m_int;
    case Float:
      if (!(m_float == m_float)) return 0;
      if (m_float >= 9.2e18) return INT64_MAX;
      if (m_float <= -9.2e18) return INT64_MIN;
      return static_cast<long long>(m_float);
    case Text: return std::strtoll(m_text.c_str(), nullptr, 10);
  }
  return 0;
}

double FormatArg::AsFloat() const {
  switch (m_kind) {
    case Int: return static_cast<double>(m_int);
    case Float: return m_float;
    case Text: return std::strtod(m_text.c_str(), nullptr);
  }
  return 0;
}

std::string FormatArg::AsText() const {
  switch (m_kind) {
    case Int: return std::to_string(m_int);
    case Float: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%g", m_float);
      return buf;
    }
    case Text: return m_text;
  }
  return {};
}

std::string SafeFormat(std::string_view text, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(text.size() + 32);
  size_t next = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {  // the plain run up to the next conversion, whole
      const size_t end = std::min(text.find('%', i), text.size());
      out.append(text.substr(i, end - i));
      i = end;
      continue;
    }
    const size_t start = i++;
    if (i < text.size() && text[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Optional "N$" parameter number.
    size_t argIndex = next;
    bool explicitIndex = false;
    {
      size_t j = i, n = 0;
      while (j < text.size() && j - i < 3 && text[j] >= '0' && text[j] <= '9') n = n * 10 + (text[j++] - '0');
      if (j > i && j < text.size() && text[j] == '$' && n >= 1) {
        argIndex = n - 1;
        explicitIndex = true;
        i = j + 1;
      }
    }
    // Our own printf conversion, built only from characters we accept.
    std::string spec = "%";
    while (i < text.size() && std::strchr("-+ #0", text[i]) && spec.size() < 8) spec += text[i++];
    int width = 0, precision = -1;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      width = std::min(width * 10 + (text[i++] - '0'), 1000);
    if (i < text.size() && text[i] == '.') {
      ++i;
      precision = 0;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        precision = std::min(precision * 10 + (text[i++] - '0'), 1000);
    }
    while (i < text.size() && std::strchr("hlLqjzt", text[i])) ++i;  // length modifiers carry no meaning here
    if (i >= text.size() || !std::strchr("sdiuxXocfFeEgGaA", text[i]) || width > 255 || precision > 255) {
      // Not a conversion we fill: keep the text as it stands.
      out.append(text.substr(start, (i < text.size() ? i + 1 : i) - start));
      if (i < text.size()) ++i;
      continue;
    }
    const char conv = text[i++];
    if (!explicitIndex) ++next;
    if (argIndex >= args.size()) continue;  // a missing parameter prints nothing
    const FormatArg& arg = args[argIndex];
    if (width) spec += std::to_string(width);
    if (precision >= 0) {
      spec += '.';
      spec += std::to_string(precision);
    }
    char buf[600];
    int n = 0;
    switch (conv) {
      case 's': {
        std::string s = arg.AsText();
        if (precision >= 0 && s.size() > static_cast<size_t>(precision)) s.resize(precision);
        bool left = spec.find('-') != std::string::npos;
        size_t pad = s.size() < static_cast<size_t>(width) ? width - s.size() : 0;
        if (!left) out.append(pad, ' ');
        out += s;
        if (left) out.append(pad, ' ');
        continue;
      }
      case 'c': {
        spec += 'c';
        n = std::snprintf(buf, sizeof buf, spec.c_str(),
                          static_cast<int>(static_cast<unsigned char>(arg.AsInt())));
        break;
      }
      case 'd':
      case 'i':
        spec += "lld";
        n = std::snprintf(buf, sizeof buf, spec.c_str(), arg.AsInt());
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        spec += "ll";
        spec += conv;
        n = std::snprintf(buf, sizeof buf, spec.c_str(), static_cast<unsigned long long>(arg.AsInt()));
        break;
      default:
        spec += conv;
        n = std::snprintf(buf, sizeof buf, spec.c_str(), arg.AsFloat());
        break;
    }
    if (n > 0) out.append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
  }
  return out;
}
