#include "kiv/String.h"

#include <cstdarg>
#include <cstdio>

namespace Kiv {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
  }
  return out;
}

static char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
static char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string ToLowerAscii(std::string_view text) {
  std::string s(text);
  for (char& c : s) c = LowerChar(c);
  return s;
}

std::string ToUpperAscii(std::string_view text) {
  std::string s(text);
  for (char& c : s) c = UpperChar(c);
  return s;
}

int CompareNoCase(std::string_view a, std::string_view b) noexcept {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;  // most bytes of names that are compared match as they are
    unsigned char x = static_cast<unsigned char>(LowerChar(a[i]));
    unsigned char y = static_cast<unsigned char>(LowerChar(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

String& String::Setf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  m_text = FormatV(format, args);
  va_end(args);
  return *this;
}

String& String::Appendf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  m_text += FormatV(format, args);
  va_end(args);
  return *this;
}

String& String::ToLower() {
  for (char& c : m_text) c = LowerChar(c);
  return *this;
}

String& String::ToUpper() {
  for (char& c : m_text) c = UpperChar(c);
  return *this;
}

int String::Find(std::string_view needle, size_t start) const noexcept {
  if (start > m_text.size()) return -1;
  size_t p = m_text.find(needle, start);
  return p == std::string::npos ? -1 : static_cast<int>(p);
}

std::vector<String> String::Token(std::string_view delimiters) const {
  std::vector<String> out;
  if (delimiters.empty()) {
    if (!m_text.empty()) out.emplace_back(m_text);
    return out;
  }
  size_t i = 0;
  while (i < m_text.size()) {
    size_t b = m_text.find_first_not_of(delimiters, i);
    if (b == std::string::npos) break;
    size_t e = m_text.find_first_of(delimiters, b);
    if (e == std::string::npos) e = m_text.size();
    out.emplace_back(std::string_view(m_text).substr(b, e - b));
    i = e;
  }
  return out;
}

int String::Compare(std::string_view other, bool ignoreCase) const noexcept {
  if (ignoreCase) return CompareNoCase(m_text, other);
  int c = std::string_view(m_text).compare(other);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace Kiv
