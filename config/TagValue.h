#pragma once
// The value of a typed config tag, as text. Values are mostly unique (KUIDs,
// file names, numbers), so they are plain bytes kept by the tag rather than
// interned: a config of a million tags would otherwise fill the intern table
// with a million texts that are never compared by identity. Up to 23 bytes
// are held inline; a longer value has a block of its own.
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "kiv/PString.h"

namespace OBLLib {

class TagValue {
public:
  TagValue() noexcept { m_bytes[kMark] = 0; }
  explicit TagValue(std::string_view text) { Init(text); }
  explicit TagValue(const Kiv::PString& text) { Init(text.View()); }
  explicit TagValue(const std::string& text) { Init(text); }
  TagValue(const TagValue& other) { Init(other.View()); }
  TagValue(TagValue&& other) noexcept {
    __builtin_memcpy(m_bytes, other.m_bytes, sizeof m_bytes);
    other.m_bytes[kMark] = 0;
  }
  TagValue& operator=(const TagValue& other) { return Assign(other.View()); }
  TagValue& operator=(TagValue&& other) noexcept {
    if (this != &other) {
      Free();
      __builtin_memcpy(m_bytes, other.m_bytes, sizeof m_bytes);
      other.m_bytes[kMark] = 0;
    }
    return *this;
  }
  TagValue& operator=(std::string_view text) { return Assign(text); }
  TagValue& operator=(const Kiv::PString& text) { return Assign(text.View()); }
  TagValue& operator=(const std::string& text) { return Assign(text); }
  TagValue& operator=(const char* text) { return Assign(text ? std::string_view(text) : std::string_view()); }
  ~TagValue() { Free(); }

  std::string_view View() const noexcept {
    return OnHeap() ? std::string_view(HeapData(), HeapSize())
                    : std::string_view(reinterpret_cast<const char*>(m_bytes), m_bytes[kMark]);
  }
  std::string Str() const { return std::string(View()); }
  size_t Length() const noexcept { return OnHeap() ? HeapSize() : m_bytes[kMark]; }
  [[nodiscard]] bool IsEmpty() const noexcept { return Length() == 0; }
  // The text interned, for the places that keep or compare it by identity.
  Kiv::PString Interned() const { return Kiv::PString(View()); }

  friend bool operator==(const TagValue& a, const TagValue& b) noexcept { return a.View() == b.View(); }
  friend bool operator==(const TagValue& a, const Kiv::PString& b) noexcept { return a.View() == b.View(); }
  friend bool operator==(const TagValue& a, std::string_view b) noexcept { return a.View() == b; }
  friend bool operator==(const TagValue& a, const char* b) noexcept {
    return a.View() == std::string_view(b);
  }
  friend bool operator==(const TagValue& a, const std::string& b) noexcept { return a.View() == b; }

private:
  // Bytes 0-22 hold an inline value and byte 23 its length; a longer value
  // has its block's address in bytes 0-7, its length in bytes 8-15 and
  // kOnHeap in byte 23.
  static constexpr size_t kInline = 23, kMark = 23;
  static constexpr uint8_t kOnHeap = 0xFF;

  [[nodiscard]] bool OnHeap() const noexcept { return m_bytes[kMark] == kOnHeap; }
  const char* HeapData() const noexcept {
    const char* data;
    __builtin_memcpy(&data, m_bytes, sizeof data);
    return data;
  }
  size_t HeapSize() const noexcept {
    size_t size;
    __builtin_memcpy(&size, m_bytes + sizeof(char*), sizeof size);
    return size;
  }
  void Init(std::string_view text);
  TagValue& Assign(std::string_view text);
  // Inline: every tag's value is freed and most values are moved at least
  // once, nearly all of them short ones with nothing to let go.
  void Free() noexcept {
    if (OnHeap()) delete[] HeapData();
    m_bytes[kMark] = 0;
  }

  alignas(8) uint8_t m_bytes[24];
};

std::ostream& operator<<(std::ostream& out, const TagValue& value);

}  // namespace OBLLib
