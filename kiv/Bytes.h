#pragma once
// Little-endian loads and stores, and one bounds-checked reader over a byte
// span. Every parser of outside data reads through ByteReader: a read past the
// end gives zero, sets a sticky failure flag and never touches memory outside
// the span, so a parser may read a whole record and test Failed() once.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace Kiv {

inline uint16_t LoadLE16(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint32_t LoadLE32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}
inline uint64_t LoadLE64(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return uint64_t(LoadLE32(b)) | (uint64_t(LoadLE32(b + 4)) << 32);
}
// Big-endian, for the formats of others that store it so (PNG, JPEG).
inline uint16_t LoadBE16(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
inline uint32_t LoadBE32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}
inline float LoadLEFloat(const void* p) {
  const uint32_t bits = LoadLE32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}
inline double LoadLEDouble(const void* p) {
  const uint64_t bits = LoadLE64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline void StoreLE16(void* p, uint16_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = uint8_t(v);
  b[1] = uint8_t(v >> 8);
}
inline void StoreLE32(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 4; ++i) b[i] = uint8_t(v >> (8 * i));
}
inline void StoreLE64(void* p, uint64_t v) {
  auto* b = static_cast<uint8_t*>(p);
  StoreLE32(b, uint32_t(v));
  StoreLE32(b + 4, uint32_t(v >> 32));
}
inline void StoreLEFloat(void* p, float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  StoreLE32(p, bits);
}

// Appends little-endian values to a byte container (std::vector<uint8_t>,
// std::string, ...).
template <class Out>
void AppendLE16(Out& out, uint16_t v) {
  using Byte = typename Out::value_type;
  out.push_back(Byte(v & 0xFF));
  out.push_back(Byte(v >> 8));
}
template <class Out>
void AppendLE32(Out& out, uint32_t v) {
  using Byte = typename Out::value_type;
  for (int i = 0; i < 4; ++i) out.push_back(Byte((v >> (8 * i)) & 0xFF));
}
template <class Out>
void AppendLE64(Out& out, uint64_t v) {
  AppendLE32(out, uint32_t(v));
  AppendLE32(out, uint32_t(v >> 32));
}
template <class Out>
void AppendLEFloat(Out& out, float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  AppendLE32(out, bits);
}

class ByteReader {
public:
  ByteReader() = default;
  ByteReader(const void* data, size_t size) : m_data(static_cast<const uint8_t*>(data)), m_size(size) {}
  explicit ByteReader(std::span<const uint8_t> bytes) : ByteReader(bytes.data(), bytes.size()) {}

  size_t Size() const { return m_size; }
  size_t Pos() const { return m_pos; }
  size_t Remaining() const { return m_size - m_pos; }
  [[nodiscard]] bool AtEnd() const { return m_pos == m_size; }
  [[nodiscard]] bool Failed() const { return m_failed; }
  // Marks the data malformed (a check above the byte level failed).
  void Fail() { m_failed = true; }
  // True when n more bytes can be read; a 64-bit n never wraps.
  [[nodiscard]] bool Has(uint64_t n) const { return !m_failed && n <= Remaining(); }

  uint8_t U8() { return Take(1) ? m_data[m_pos - 1] : 0; }
  uint16_t U16() { return Take(2) ? LoadLE16(m_data + m_pos - 2) : 0; }
  uint32_t U32() { return Take(4) ? LoadLE32(m_data + m_pos - 4) : 0; }
  uint64_t U64() { return Take(8) ? LoadLE64(m_data + m_pos - 8) : 0; }
  uint16_t U16BE() { return Take(2) ? LoadBE16(m_data + m_pos - 2) : 0; }
  uint32_t U32BE() { return Take(4) ? LoadBE32(m_data + m_pos - 4) : 0; }
  // The next byte without moving; 0 (without failing) at the end.
  uint8_t Peek() const { return !m_failed && m_pos < m_size ? m_data[m_pos] : 0; }
  int8_t I8() { return static_cast<int8_t>(U8()); }
  int16_t I16() { return static_cast<int16_t>(U16()); }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  int64_t I64() { return static_cast<int64_t>(U64()); }
  float F32() { return Take(4) ? LoadLEFloat(m_data + m_pos - 4) : 0.0f; }
  double F64() { return Take(8) ? LoadLEDouble(m_data + m_pos - 8) : 0.0; }

  // The next n bytes, or an empty span (and failure) when fewer are left.
  std::span<const uint8_t> Bytes(uint64_t n) {
    if (!Take(n)) return {};
    return {m_data + m_pos - size_t(n), size_t(n)};
  }
  std::string_view Chars(uint64_t n) {
    auto b = Bytes(n);
    return {reinterpret_cast<const char*>(b.data()), b.size()};
  }
  // Copies n bytes into out; on failure out is zero-filled.
  [[nodiscard]] bool Read(void* out, size_t n) {
    if (!Take(n)) {
      std::memset(out, 0, n);
      return false;
    }
    std::memcpy(out, m_data + m_pos - n, n);
    return true;
  }
  // Skip and Seek fail into the sticky flag as every read does: a parser may
  // drop their results and test Failed() once.
  bool Skip(uint64_t n) { return Take(n); }
  // Moves to an absolute offset within the span; past the end fails.
  bool Seek(uint64_t pos) {
    if (m_failed || pos > m_size) {
      m_failed = true;
      return false;
    }
    m_pos = size_t(pos);
    return true;
  }
  // A reader over the next n bytes; this reader moves past them.
  ByteReader Sub(uint64_t n) {
    auto b = Bytes(n);
    ByteReader sub(b.data(), b.size());
    sub.m_failed = m_failed;
    return sub;
  }
  const uint8_t* Data() const { return m_data; }
  const uint8_t* Cursor() const { return m_data + m_pos; }

private:
  [[nodiscard]] bool Take(uint64_t n) {
    if (!Has(n)) {
      m_failed = true;
      return false;
    }
    m_pos += size_t(n);
    return true;
  }

  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
  size_t m_pos = 0;
  bool m_failed = false;
};

}  // namespace Kiv
