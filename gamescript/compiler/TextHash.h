#pragma once
// The compiler's one hash of a text, for the symbol tables and the library's
// string table: both probe open tables by its low bits.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace GSCompiler {
namespace TextHashDetail {
inline uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint64_t Load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
}  // namespace TextHashDetail

// Whether n bytes at a and at b are the same. Names are short: compared a
// word or two at a time without a call, reading nothing outside the texts.
[[nodiscard]] inline bool SameText(const char* a, const char* b, std::size_t n) {
  using TextHashDetail::Load32;
  using TextHashDetail::Load64;
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8)
      if (Load64(a + i) != Load64(b + i)) return false;
    return Load64(a + n - 8) == Load64(b + n - 8);
  }
  if (n >= 4) return Load32(a) == Load32(b) && Load32(a + n - 4) == Load32(b + n - 4);
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// Eight bytes at a time, each word mixed by a multiply whose high half is
// folded down, then the whole mixed once more. The last word overlaps the
// one before it, and a short name is read as two overlapping halves or three
// bytes, so no name is read byte by byte; the length tells overlapping reads
// of different lengths apart.
inline std::size_t KeyHash(std::string_view key) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  const char* p = key.data();
  const std::size_t n = key.size();
  uint64_t h = 0xcbf29ce484222325ull ^ n;
  const auto mix = [&h](uint64_t word) {
    h = (h ^ word) * kMul;
    h ^= h >> 32;
  };
  if (n > 8) {
    std::size_t i = 0;
    for (; i + 8 < n; i += 8) mix(TextHashDetail::Load64(p + i));
    mix(TextHashDetail::Load64(p + n - 8));
  } else if (n >= 4) {
    mix(TextHashDetail::Load32(p) | (TextHashDetail::Load32(p + n - 4) << 32));
  } else if (n > 0) {
    const auto byte = [p](std::size_t i) { return uint64_t(static_cast<unsigned char>(p[i])); };
    mix((byte(0) << 16) | (byte(n >> 1) << 8) | byte(n - 1));
  }
  // The tables probe by the low bits, which the multiplies leave depending
  // on the low bytes only: names that differ in their last digits ("F17",
  // "F18") must not share them, or a class of many such functions probes
  // long runs.
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return static_cast<std::size_t>(h);
}

}  // namespace GSCompiler
