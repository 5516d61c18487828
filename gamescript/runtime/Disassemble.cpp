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
  InstructionView in;
  while (pc < size) {
    Appendf(out, "%04zx: ", pc);
    if (!DecodeInstruction(code, size, pc, in)) {
      Appendf(out, "??? %02x\n", code[pc]);
      break;
    }
    out += in.info->mnemonic;
    switch (in.info->form) {
      case OperandForm::None: break;
      case OperandForm::Local:
      case OperandForm::Member:
      case OperandForm::Class: Appendf(out, " %u", in.Index()); break;
      case OperandForm::String:
        out += ' ';
        AppendString(out, in.Index(), strings);
        break;
      case OperandForm::Const: Appendf(out, " %d", int32_t(in.Word())); break;
      case OperandForm::Target: Appendf(out, " %04x", in.Word()); break;
      case OperandForm::Call: Appendf(out, " %d %u", in.Distance(), in.Slot()); break;
      case OperandForm::Parent: Appendf(out, " %d", in.Distance()); break;
      case OperandForm::Wait:
        for (uint16_t i = 0; i < in.Count(); ++i) {
          out += i ? ", " : " ";
          AppendString(out, in.WaitMajor(i), strings);
          out += '/';
          AppendString(out, in.WaitMinor(i), strings);
          Appendf(out, " -> %04x", in.WaitTarget(i));
        }
        break;
      case OperandForm::Switch:
        for (uint16_t i = 0; i < in.Count(); ++i)
          Appendf(out, "%s%d -> %04x", i ? ", " : " ", in.SwitchKey(i), in.SwitchTarget(i));
        Appendf(out, "%sdefault -> %04x", in.Count() ? ", " : " ", in.SwitchDefault());
        break;
    }
    out += '\n';
    pc += in.length;
  }
  return out;
}

}  // namespace GSRuntime
