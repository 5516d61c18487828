#include "kiv/Random.h"

#include "kiv/Clock.h"

namespace Kiv {

Rand::Rand() { Seed(static_cast<uint64_t>(Clock::UnixTime())); }

void Rand::Seed(uint64_t seed) {
  m_state = 0;
  m_inc = (seed << 1u) | 1u;
  Next();
  m_state += seed;
  Next();
}

uint32_t Rand::Next() {
  uint64_t old = m_state;
  m_state = old * 6364136223846793005ULL + m_inc;
  uint32_t xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
  uint32_t rot = static_cast<uint32_t>(old >> 59u);
  return (xorshifted >> rot) | (xorshifted << ((32u - rot) & 31u));
}

int Rand::NextInt(int n) {
  if (n <= 0) return 0;
  uint32_t bound = static_cast<uint32_t>(n);
  uint32_t threshold = (0u - bound) % bound;
  for (;;) {
    uint32_t r = Next();
    if (r >= threshold) return static_cast<int>(r % bound);
  }
}

float Rand::NextFloat() { return static_cast<float>(Next() >> 8) * (1.0f / 16777216.0f); }

}  // namespace Kiv
