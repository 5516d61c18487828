#pragma once
// The engine's fast square-root maths: a 512-entry table of reciprocal
// square-root mantissas, indexed by the low exponent bit and the top eight
// mantissa bits of a float, refined by Newton steps.
#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>

namespace Kiv::StdMath {

namespace detail {
constexpr double ConstSqrt(double x) {
  double r = x > 1.0 ? x : 1.0;
  for (int i = 0; i < 32; ++i) r = 0.5 * (r + x / r);
  return r;
}
// Entry i: the 23 mantissa bits of 1/sqrt(s) for the middle of the bucket of s.
// Bit 8 of i is the exponent's low bit: odd exponents give 2/sqrt(1+m), even
// ones sqrt(2/(1+m)), both in [1, 2).
constexpr std::array<uint32_t, 512> MakeSqrtLUT() {
  std::array<uint32_t, 512> table{};
  for (int i = 0; i < 512; ++i) {
    const double m = 1.0 + ((i & 0xFF) + 0.5) / 256.0;
    const double r = (i >> 8) ? 2.0 / ConstSqrt(m) : ConstSqrt(2.0 / m);
    uint64_t bits = static_cast<uint64_t>((r - 1.0) * 8388608.0 + 0.5);
    table[i] = static_cast<uint32_t>(bits > 0x7FFFFF ? 0x7FFFFF : bits);
  }
  return table;
}
}  // namespace detail

inline constexpr std::array<uint32_t, 512> s_sqrtLUT = detail::MakeSqrtLUT();

// The table's first estimate of 1/sqrt(s) for a positive normal s.
inline float InvSqrtEstimate(float s) {
  const uint32_t bits = std::bit_cast<uint32_t>(s);
  const uint32_t exponent = (bits >> 23) & 0xFF;
  return std::bit_cast<float>(((380 - exponent) >> 1) << 23 | s_sqrtLUT[(bits >> 15) & 0x1FF]);
}

// 1/sqrt(s): the table estimate and two Newton steps. Zero, subnormal,
// negative, infinite and NaN inputs take the exact path.
inline float InvSqrt(float s) {
  if (!(s >= FLT_MIN && s <= FLT_MAX)) return 1.0f / std::sqrt(s);
  float r = InvSqrtEstimate(s);
  r = r * (1.5f - 0.5f * s * r * r);
  r = r * (1.5f - 0.5f * s * r * r);
  return r;
}

// sqrt(s) as s * InvSqrt(s); exact for the inputs InvSqrt takes exactly.
inline float Sqrt(float s) {
  if (!(s >= FLT_MIN && s <= FLT_MAX)) return std::sqrt(s);
  return s * InvSqrt(s);
}

}  // namespace Kiv::StdMath
