#pragma once
// The standard CRC-32 (reflected polynomial 0xEDB88320, initial value and final
// result inverted), the checksum that names compiled script libraries and
// checks enciphered script files.
#include <cstddef>
#include <cstdint>

// CRC-32 of length bytes. Crc32(nullptr, 0) is 0.
uint32_t Crc32(const void* data, size_t length);

// Continues a CRC-32: Crc32Update(Crc32(a), b) == Crc32(a followed by b).
uint32_t Crc32Update(uint32_t crc, const void* data, size_t length);

// CRC-32 of a NUL-terminated text with every ASCII letter lower-cased first;
// the terminating NUL is not included. A null text gives 0.
uint32_t Crc32LowerString(const char* text);
