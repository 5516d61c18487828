#pragma once
// The engine's ordinary mutable strings: a thin layer over std::string with
// printf-style formatting, ASCII case changes and token splitting.
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Kiv {

class String {
public:
  String() = default;
  String(const char* text) : m_text(text ? text : "") {}
  String(std::string_view text) : m_text(text) {}
  String(std::string text) : m_text(std::move(text)) {}

  const char* c_str() const noexcept { return m_text.c_str(); }
  std::string_view View() const noexcept { return m_text; }
  const std::string& Str() const noexcept { return m_text; }
  std::string& Str() noexcept { return m_text; }
  size_t Length() const noexcept { return m_text.size(); }
  [[nodiscard]] bool IsEmpty() const noexcept { return m_text.empty(); }
  void Clear() { m_text.clear(); }

  // Replaces the text by the formatted one. Callers pass constant formats.
  String& Setf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Appends formatted text.
  String& Appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  String& operator+=(std::string_view text) {
    m_text.append(text);
    return *this;
  }

  // ASCII case changes in place, independent of the locale.
  String& ToLower();
  String& ToUpper();

  // Position of the first match at or after start; -1 when there is none.
  int Find(std::string_view needle, size_t start = 0) const noexcept;
  // Splits at any of the delimiter characters; runs of delimiters give no
  // empty tokens. An empty delimiter set gives the whole text as one token.
  std::vector<String> Token(std::string_view delimiters) const;
  // <0, 0, >0 as the texts order; with ignoreCase the ASCII letters fold.
  int Compare(std::string_view other, bool ignoreCase = false) const noexcept;

  friend bool operator==(const String& a, const String& b) noexcept { return a.m_text == b.m_text; }
  friend bool operator==(const String& a, std::string_view b) noexcept { return a.m_text == b; }
  friend bool operator==(const String& a, const char* b) noexcept { return a.m_text == (b ? b : ""); }

private:
  std::string m_text;
};

// Narrow text in the local code page; on this platform the same as String.
class AnsiString : public String {
public:
  using String::String;
  AnsiString(const String& s) : String(s) {}
};

// Helpers shared by the string classes.
std::string FormatV(const char* format, va_list args);
std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);
// <0, 0, >0 comparing with ASCII letters folded.
int CompareNoCase(std::string_view a, std::string_view b) noexcept;
// The text without the UTF-8 byte-order mark that some editors put first.
inline std::string_view SkipByteOrderMark(std::string_view text) noexcept {
  return text.starts_with("\xEF\xBB\xBF") ? text.substr(3) : text;
}

}  // namespace Kiv
