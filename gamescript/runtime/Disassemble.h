#pragma once
// Readable listing of a function's byte code, one instruction per line, used by
// tests and debugging tools.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace GSRuntime {

// Lists the code as "offset: MNEMONIC operands" lines ("%04x: " offsets, jump
// targets in the same form). When `strings` is given, string operands are
// followed by their text in quotes. An illegal or truncated instruction ends
// the listing with a "???" line.
std::string Disassemble(const uint8_t* code, std::size_t size,
                        const std::vector<std::string>* strings = nullptr);

}  // namespace GSRuntime
