#pragma once
// Interned, immutable, reference-counted string. Two PStrings with the same
// text share one handle, so equality is a pointer compare. Intern names and
// keys (command words, tag names), not every value: each distinct text lives
// in the table until its last holder lets go.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace Kiv {

class PString {
public:
  // The null string: no text at all (distinct from the shared empty string).
  PString() noexcept = default;
  PString(const char* text);                 // nullptr gives the null string
  PString(const char* text, size_t length);  // nullptr gives the null string
  PString(std::string_view text);
  PString(const std::string& text);
  PString(const PString& other) noexcept;
  PString(PString&& other) noexcept : m_entry(other.m_entry) { other.m_entry = nullptr; }
  PString& operator=(const PString& other) noexcept;
  PString& operator=(PString&& other) noexcept;
  ~PString();

  // The one shared empty string "".
  static const PString& Empty();

  // Never null: the null string reads as "".
  const char* c_str() const noexcept;
  std::string_view View() const noexcept;
  std::string Str() const { return std::string(View()); }
  size_t Length() const noexcept;
  // True for the null string and for "".
  [[nodiscard]] bool IsEmpty() const noexcept { return Length() == 0; }
  [[nodiscard]] bool IsNull() const noexcept { return m_entry == nullptr; }

  // Replaces this value by the formatted text. Callers pass constant formats.
  PString& Setf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // ASCII case changes, independent of the locale.
  PString ToLower() const;
  PString ToUpper() const;

  // Position of the first match at or after start; -1 when there is none.
  int Find(std::string_view needle, size_t start = 0) const noexcept;
  int Find(char c, size_t start = 0) const noexcept;
  // New strings; a position past the end is clamped to the end.
  PString Insert(size_t position, std::string_view text) const;
  PString Delete(size_t position, size_t count) const;

  // For readers that give one name to very many new holders: Uncounted
  // gives a copy that holds no reference yet, and AddReferences pays for
  // that many such copies with one update of the count. Every uncounted copy
  // must be paid for before anything may release it.
  PString Uncounted() const noexcept {
    PString copy;
    copy.m_entry = m_entry;
    return copy;
  }
  void AddReferences(size_t count) const noexcept;
  // True when this is the only counted holder of its text: no other string,
  // soup tag or name anywhere in the process holds the same text. A reader
  // may then take the text to occur once in what it reads (false for null).
  [[nodiscard]] bool HasOneHolder() const noexcept;

  // Keeps the text for the life of the process and stops counting its holders.
  // For constants: the names every config repeats are copied and dropped by many
  // threads at once, and a count would pass from core to core at every copy.
  void Pin() const;

  // Identity of the text; equal for equal texts while both are alive.
  const void* Handle() const noexcept { return m_entry; }
  size_t Hash() const noexcept { return std::hash<const void*>()(m_entry); }

  friend bool operator==(const PString& a, const PString& b) noexcept { return a.m_entry == b.m_entry; }

  // Number of distinct texts in the intern table (for leak checks in tests).
  static size_t InternedCount();

  struct Entry;

private:
  Entry* m_entry = nullptr;
};

}  // namespace Kiv

template <>
struct std::hash<Kiv::PString> {
  size_t operator()(const Kiv::PString& s) const noexcept { return s.Hash(); }
};
