#pragma once
// The keyed running-state byte transform applied to sequenced packets once the
// service has issued a login key. It hides the content from casual view only:
// it is not encryption and carries no integrity check.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class TMEPacket;

// Rotates b right by n & 7 bits for n >= 0, left by (-n) & 7 bits for n < 0.
inline uint8_t RotateByte(uint8_t b, int n) {
  unsigned r = n >= 0 ? unsigned(n) & 7 : (8 - (unsigned(-n) & 7)) & 7;
  return uint8_t((b >> r) | (b << ((8 - r) & 7)));
}

// One byte each way with key K (not empty) and state S, which both sides advance
// by the wire byte.
uint8_t TMEScrambleByte(uint8_t plain, std::string_view key, uint32_t& state);
uint8_t TMEUnscrambleByte(uint8_t wire, std::string_view key, uint32_t& state);

// In place over n bytes.
void ScrambleBytes(uint8_t* data, size_t n, std::string_view key, uint32_t& state);
void UnscrambleBytes(uint8_t* data, size_t n, std::string_view key, uint32_t& state);

// The transform for one key. The mask depends only on S modulo lcm(13 L, 1792):
// for the usual short keys it is looked up in a table of that period, and
// unscrambling takes its states from the wire bytes alone, off the critical
// path. A period past the table's bound (a long key) is computed byte by byte
// from the key in its eight rotations, so memory stays at most a few MB
// whatever the key's length.
class TMEScrambleKey {
public:
  // Largest period kept as a table, in bytes.
  static constexpr uint32_t kMaxTable = 1u << 20;

  void Set(std::string_view key);
  [[nodiscard]] bool IsSet() const { return m_length != 0; }
  void Scramble(uint8_t* data, size_t n, uint32_t& state) const;
  void Unscramble(uint8_t* data, size_t n, uint32_t& state) const;
  // The mask byte for a state (the key is set).
  [[nodiscard]] uint8_t MaskAt(uint32_t state) const {
    return uint8_t((state & 0xFF) +
                   m_rotated[((state / 7) & 7) * size_t(m_length) + (state / 13) % m_length]);
  }

private:
  std::vector<uint8_t> m_mask;     // by state modulo the period; empty past the bound
  std::vector<uint8_t> m_rotated;  // the key rotated right by 0..7, one run of L bytes each
  uint32_t m_length = 0;
  uint32_t m_period = 0;
};

// Over the packet's whole content, which is then rewound (length unchanged).
void ScramblePacket(TMEPacket& packet, std::string_view key, uint32_t& state);
void UnscramblePacket(TMEPacket& packet, std::string_view key, uint32_t& state);
