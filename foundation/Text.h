#pragma once
// Text helpers: case, macros, code pages, UTF-8, tag expressions and the safe
// message formatter.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/PString.h"
#include "kiv/String.h"

// Replaces a PString by its (ASCII) lower-case copy.
void PStringToLower(Kiv::PString& text);

// Replaces every "$(name)" in text (name compared without regard to ASCII
// case) by value. Inserted values are not searched again. Returns the number
// of replacements.
int SubstituteMacro(std::string& text, std::string_view name, std::string_view value);
int SubstituteMacro(Kiv::String& text, std::string_view name, std::string_view value);

// A Kiv::String of a NUL-terminated text (a null text gives the empty string).
Kiv::String MakeString(const char* text);

// Code pages ConvertCodePageInPlace knows. Code page 0 (the local one) is
// UTF-8 on this platform.
inline constexpr int kCodePageLocal = 0;
inline constexpr int kCodePage1252 = 1252;
inline constexpr int kCodePageUtf8 = 65001;

// Converts the NUL-terminated text in buffer (size bytes of room) from one code
// page to another. 0 when done; the required size (with the NUL) when the
// buffer is too small, the text unchanged; -1 on failure (an unknown code page
// or text that is not valid in the source code page): then every byte of 128
// and above has become "?".
int ConvertCodePageInPlace(char* buffer, size_t size, int fromCodePage, int toCodePage);

// Decodes one UTF-8 character from text (at most available bytes). Returns the
// code point and stores the bytes used in *used: 0 only at the end (available
// 0); a malformed, overlong, surrogate or truncated sequence gives U+FFFD and
// uses 1 byte. Never reads past text + available.
uint32_t DecodeUtf8Char(const char* text, size_t available, size_t* used);

// s without its leading and trailing spaces and tabs.
std::string_view TrimBlanks(std::string_view s);

// Calls fn for every blank-trimmed, non-empty item of list between any of the
// separators, until fn returns false. False when fn stopped it.
template <class Fn>
[[nodiscard]] bool ForEachListItem(std::string_view list, std::string_view separators, Fn fn) {
  while (true) {
    size_t at = list.find_first_of(separators);
    std::string_view item = TrimBlanks(list.substr(0, at));
    if (!item.empty() && !fn(item)) return false;
    if (at == std::string_view::npos) return true;
    list.remove_prefix(at + 1);
  }
}

// True when the expression is empty or one of its "|"-separated alternatives
// has every ";"-separated term present in the ";"-separated tag list; a term
// with a leading "-" must be absent. Terms and tags are compared exactly, except
// that "?" in a term matches any one character (as in the category test "?WA");
// blanks around terms and tags and empty terms are ignored.
[[nodiscard]] bool MatchTagExpression(std::string_view tagList, std::string_view expression);

// One parameter of a message for SafeFormat.
class FormatArg {
public:
  FormatArg(int v) : m_kind(Int), m_int(v) {}
  FormatArg(long v) : m_kind(Int), m_int(v) {}
  FormatArg(long long v) : m_kind(Int), m_int(v) {}
  FormatArg(unsigned v) : m_kind(Int), m_int(v) {}
  FormatArg(unsigned long v) : m_kind(Int), m_int(static_cast<long long>(v)) {}
  FormatArg(unsigned long long v) : m_kind(Int), m_int(static_cast<long long>(v)) {}
  FormatArg(double v) : m_kind(Float), m_float(v) {}
  FormatArg(const char* v) : m_kind(Text), m_text(v ? v : "") {}
  FormatArg(std::string_view v) : m_kind(Text), m_text(v) {}
  FormatArg(const std::string& v) : m_kind(Text), m_text(v) {}
  FormatArg(const Kiv::PString& v) : m_kind(Text), m_text(v.View()) {}
  FormatArg(const Kiv::String& v) : m_kind(Text), m_text(v.View()) {}

  enum Kind { Int, Float, Text };
  Kind kind() const { return m_kind; }
  long long AsInt() const;
  double AsFloat() const;
  std::string AsText() const;

private:
  Kind m_kind;
  long long m_int = 0;
  double m_float = 0;
  std::string m_text;
};

// Fills a message text with parameters, never using the text as a printf
// format: each conversion ("%s", "%d", "%i", "%u", "%x", "%X", "%o", "%c",
// "%f", "%e", "%g" and their upper-case forms, with flags, width up to 255
// and precision up to 255; "%N$..." picks parameter N) takes the next
// parameter (or parameter N) converted to the conversion's type; "%%" is a
// percent sign. A conversion without a parameter becomes empty, and anything
// else after "%" (including "%n" and "%p") is copied as it stands.
std::string SafeFormat(std::string_view text, const std::vector<FormatArg>& args);
inline std::string SafeFormat(std::string_view text, std::initializer_list<FormatArg> args) {
  return SafeFormat(text, std::vector<FormatArg>(args));
}
