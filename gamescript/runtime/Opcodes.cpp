#include "gamescript/runtime/Opcodes.h"

namespace GSRuntime {

const OpcodeInfo kOpcodeTable[kOpcodeCount] = {
#define GS_OPCODE_INFO(name, form, stack, inputs) {#name, OperandForm::form, stack, inputs},
    GS_OPCODES(GS_OPCODE_INFO)
#undef GS_OPCODE_INFO
};

std::size_t InstructionLength(const uint8_t* code, std::size_t size, std::size_t offset) {
  if (offset >= size) return 0;
  const OpcodeInfo* info = FindOpcode(code[offset]);
  if (!info) return 0;
  const std::size_t left = size - offset - 1;  // bytes after the opcode
  const uint8_t* p = code + offset + 1;
  std::size_t n = 0;
  switch (info->form) {
    case OperandForm::None: n = 0; break;
    case OperandForm::Local:
    case OperandForm::Member:
    case OperandForm::String:
    case OperandForm::Class:
    case OperandForm::Parent: n = 2; break;
    case OperandForm::Const:
    case OperandForm::Target:
    case OperandForm::Call: n = 4; break;
    case OperandForm::Wait:
      if (left < 2) return 0;
      n = WaitLayout::Size(ReadU16(p));
      break;
    case OperandForm::Switch:
      if (left < 2) return 0;
      n = SwitchLayout::Size(ReadU16(p));
      break;
  }
  return n <= left ? n + 1 : 0;
}

}  // namespace GSRuntime
