#pragma once
// A small seedable random generator (PCG32): the same seed gives the same
// sequence on every platform, so tests can fix it.
#include <cstdint>

namespace Kiv {

class Rand {
public:
  // Seeded from the clock's Unix time (injectable).
  Rand();
  explicit Rand(uint64_t seed) { Seed(seed); }
  void Seed(uint64_t seed);
  uint32_t Next();
  // 0 .. n-1, without modulo bias; 0 when n <= 0.
  int NextInt(int n);
  // [0, 1).
  float NextFloat();

private:
  uint64_t m_state = 0;
  uint64_t m_inc = 1;
};

}  // namespace Kiv
