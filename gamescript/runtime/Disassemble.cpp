#include "gamescript/runtime/Disassemble.h"

#include <cstdarg>
#include <cstdio>

#include "gamescript/runtime/Opcodes.h"

namespace GSRuntime {

namespace {

void Appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void Appendf(std::string& out, const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out.append(buffer, std::size_t(n) < sizeof buffer ? std::size_t(n) : sizeof buffer - 1);
}

void AppendString(std::string& out, uint16_t index, const std::vector<std::string>* strings) {
  Appendf(out, "%u", index);
  if (strings && index < strings->size()) {
    out += " \"";
    out += (*strings)[index];
    out += '"';
  }
}

}  // namespace

std::string Disassemble(const uint8_t* code, std::size_t size, const std::vector<std::string>* strings) {
  std::string out;
  std::size_t pc = 0;
  while (pc < size) {
    const std::size_t length = InstructionLength(code, size, pc);
    Appendf(out, "%04zx: ", pc);
    if (length == 0) {
      Appendf(out, "??? %02x\n", code[pc]);
      break;
    }
    const OpcodeInfo& info = *FindOpcode(code[pc]);
    out += info.mnemonic;
    const uint8_t* p = code + pc + 1;
    switch (info.form) {
      case OperandForm::None: break;
      case OperandForm::Local:
      case OperandForm::Member:
      case OperandForm::Class: Appendf(out, " %u", ReadU16(p)); break;
      case OperandForm::String:
        out += ' ';
        AppendString(out, ReadU16(p), strings);
        break;
      case OperandForm::Const: Appendf(out, " %d", int32_t(ReadU32(p))); break;
      case OperandForm::Target: Appendf(out, " %04x", ReadU32(p)); break;
      case OperandForm::Call: Appendf(out, " %d %u", int16_t(ReadU16(p)), ReadU16(p + 2)); break;
      case OperandForm::Parent: Appendf(out, " %d", int16_t(ReadU16(p))); break;
      case OperandForm::Wait: {
        const uint16_t h = ReadU16(p);
        for (uint16_t i = 0; i < h; ++i) {
          out += i ? ", " : " ";
          AppendString(out, ReadU16(p + 2 + 4 * i), strings);
          out += '/';
          AppendString(out, ReadU16(p + 4 + 4 * i), strings);
          Appendf(out, " -> %04x", ReadU32(p + 2 + 4 * h + 4 * i));
        }
        break;
      }
      case OperandForm::Switch: {
        const uint16_t c = ReadU16(p);
        for (uint16_t i = 0; i < c; ++i)
          Appendf(out, "%s%d -> %04x", i ? ", " : " ", int32_t(ReadU32(p + 2 + 4 * i)),
                  ReadU32(p + 2 + 4 * c + 4 * i));
        Appendf(out, "%sdefault -> %04x", c ? ", " : " ", ReadU32(p + 2 + 8 * c));
        break;
      }
    }
    out += '\n';
    pc += length;
  }
  return out;
}

}  // namespace GSRuntime
