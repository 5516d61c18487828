#include "online/Scramble.h"

#include <algorithm>

#include "kiv/Memory.h"
#include "online/TMEPacket.h"

namespace {
// The mask byte for the current state.
inline uint8_t Mask(const uint8_t* key, uint32_t length, uint32_t state) {
  uint8_t k = RotateByte(key[(state / 13) % length], int((state / 7) & 7));
  return uint8_t((state & 0xFF) + k);
}
}  // namespace

uint8_t TMEScrambleByte(uint8_t plain, std::string_view key, uint32_t& state) {
  uint8_t wire = Mask(reinterpret_cast<const uint8_t*>(key.data()), uint32_t(key.size()), state) ^ plain;
  state += wire;
  return wire;
}

uint8_t TMEUnscrambleByte(uint8_t wire, std::string_view key, uint32_t& state) {
  uint8_t plain = Mask(reinterpret_cast<const uint8_t*>(key.data()), uint32_t(key.size()), state) ^ wire;
  state += wire;
  return plain;
}

void ScrambleBytes(uint8_t* data, size_t n, std::string_view key, uint32_t& state) {
  const auto* k = reinterpret_cast<const uint8_t*>(key.data());
  const uint32_t length = uint32_t(key.size());
  uint32_t s = state;
  for (size_t i = 0; i < n; ++i) {
    uint8_t wire = Mask(k, length, s) ^ data[i];
    data[i] = wire;
    s += wire;
  }
  state = s;
}

void UnscrambleBytes(uint8_t* data, size_t n, std::string_view key, uint32_t& state) {
  const auto* k = reinterpret_cast<const uint8_t*>(key.data());
  const uint32_t length = uint32_t(key.size());
  uint32_t s = state;
  for (size_t i = 0; i < n; ++i) {
    uint8_t wire = data[i];
    data[i] = Mask(k, length, s) ^ wire;
    s += wire;
  }
  state = s;
}

void ScramblePacket(TMEPacket& packet, std::string_view key, uint32_t& state) {
  ScrambleBytes(packet.GetBuffer().Data(), packet.GetBuffer().Size(), key, state);
  // An in-memory buffer always goes back to its start.
  (void)packet.Rewind();
}

void UnscramblePacket(TMEPacket& packet, std::string_view key, uint32_t& state) {
  UnscrambleBytes(packet.GetBuffer().Data(), packet.GetBuffer().Size(), key, state);
  // An in-memory buffer always goes back to its start.
  (void)packet.Rewind();
}

namespace {
// The mask table runs this far past one period, so the running index needs
// reducing only once per block of bytes instead of once per byte.
constexpr uint32_t kBlock = 8;
constexpr uint32_t kSlack = kBlock * 255;
}  // namespace

void TMEScrambleKey::Set(std::string_view key) {
  m_mask = {};
  m_rotated = {};
  m_length = 0;
  m_period = 0;
  if (key.empty() || key.size() > UINT32_MAX / 13) return;
  m_length = uint32_t(key.size());
  m_rotated.resize(size_t(8) * m_length);
  for (uint32_t r = 0; r < 8; ++r)
    for (uint32_t i = 0; i < m_length; ++i)
      m_rotated[size_t(r) * m_length + i] = RotateByte(uint8_t(key[i]), int(r));
  const uint64_t a = 13 * uint64_t(m_length), b = 1792;  // 1792 = 7 * 256: the rotation and the low byte
  uint64_t g = a, h = b;
  while (h) {
    uint64_t t = g % h;
    g = h;
    h = t;
  }
  const uint64_t period = a / g * b;  // at least 13 * 1792, far above kSlack
  if (period > kMaxTable) return;
  m_period = uint32_t(period);
  m_mask.resize(m_period + kSlack);
  for (uint32_t s = 0; s < m_period; ++s) m_mask[s] = MaskAt(s);
  for (uint32_t s = 0; s < kSlack; ++s) m_mask[m_period + s] = m_mask[s];
}

// One byte through the mask; returns the byte as it is on the wire (the
// scrambled one), which is what moves the state in both directions.
template <bool kScramble>
static inline uint8_t Pass(uint8_t mask, uint8_t& byte) {
  if constexpr (kScramble) {
    byte = mask ^ byte;
    return byte;
  } else {
    const uint8_t wire = byte;
    byte = mask ^ wire;
    return wire;
  }
}

// Both directions walk the same way: the index s is the state modulo the period,
// kept below period + kSlack and reduced at block ends.
template <bool kScramble>
static void Run(const uint8_t* mask, uint32_t period, uint8_t* data, size_t n, uint32_t& state) {
  uint32_t s = state % period;
  size_t i = 0;
  while (i < n) {
    const size_t end = std::min(n, i + kBlock);
    if (state > UINT32_MAX - kSlack) {
      // Near the 32-bit wrap, which the period does not divide: byte by byte.
      for (; i < end; ++i) {
        const uint8_t wire = Pass<kScramble>(mask[s], data[i]);
        state += wire;
        s = state % period;
      }
      continue;
    }
    uint32_t added = 0;
    for (; i < end; ++i) {
      const uint8_t wire = Pass<kScramble>(mask[s], data[i]);
      s += wire;
      added += wire;
    }
    state += added;
    if (s >= period) s -= period;
  }
}

// A key whose period is past the table's bound: each mask from the key.
template <bool kScramble>
static void RunDirect(const TMEScrambleKey& key, uint8_t* data, size_t n, uint32_t& state) {
  uint32_t s = state;
  for (size_t i = 0; i < n; ++i) s += Pass<kScramble>(key.MaskAt(s), data[i]);
  state = s;
}

void TMEScrambleKey::Scramble(uint8_t* data, size_t n, uint32_t& state) const {
  if (m_period == 0)
    RunDirect<true>(*this, data, n, state);
  else
    Run<true>(m_mask.data(), m_period, data, n, state);
}

void TMEScrambleKey::Unscramble(uint8_t* data, size_t n, uint32_t& state) const {
  if (m_period == 0)
    RunDirect<false>(*this, data, n, state);
  else
    Run<false>(m_mask.data(), m_period, data, n, state);
}
