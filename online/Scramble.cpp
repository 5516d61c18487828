#include "online/Scramble.h"

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
  packet.Rewind();
}

void UnscramblePacket(TMEPacket& packet, std::string_view key, uint32_t& state) {
  UnscrambleBytes(packet.GetBuffer().Data(), packet.GetBuffer().Size(), key, state);
  packet.Rewind();
}
