#pragma once
// The byte-code instruction set: one table of every opcode with its mnemonic,
// operand form and the stack-depth change the compiler counts for it. The
// emitter, the disassembler, the interpreter and the load-time verifier all
// read this table, so an opcode is described in exactly one place.

#include <cstddef>
#include <cstdint>

namespace GSRuntime {

// Operand forms. The form fixes the operand bytes and what they index.
enum class OperandForm : uint8_t {
  None,    // no operand
  Local,   // u16 frame cell
  Member,  // u16 member cell
  String,  // u16 string-table index of the current library
  Class,   // u16 class-table index of the current library
  Const,   // u32 word (int, or float bits)
  Target,  // u32 code offset within the current function
  Call,    // s16 receiver distance, u16 dispatch slot
  Parent,  // s16 receiver distance
  Wait,    // u16 h, h x (u16 major, u16 minor), h x u32 target
  Switch,  // u16 c, c x i32 key, c x u32 target, u32 default
};

struct OpcodeInfo {
  const char* mnemonic;
  OperandForm form;
  int8_t stack;    // depth change counted by the compiler ("varies" counts 0)
  uint8_t inputs;  // cells it reads from the top of the stack (calls: see Call)
};

// clang-format off
#define GS_OPCODES(X)                                                                                   \
    X(ADDI, None, -1, 2) X(SUBI, None, -1, 2) X(MULI, None, -1, 2) X(DIVI, None, -1, 2)                 \
    X(MODI, None, -1, 2) X(NEGI, None, 0, 1) X(INCI, None, 0, 1) X(DECI, None, 0, 1)                    \
    X(ITOF, None, 0, 1) X(CMPI, None, -1, 2) X(PUSH0, None, 1, 0) X(PUSH1, None, 1, 0)                  \
    X(EQ, None, 0, 1) X(AND, None, -1, 2) X(OR, None, -1, 2) X(XOR, None, -1, 2)                        \
    X(COMPL, None, 0, 1) X(SHL, None, -1, 2) X(SHR, None, -1, 2) X(ADDF, None, -1, 2)                   \
    X(SUBF, None, -1, 2) X(MULF, None, -1, 2) X(DIVF, None, -1, 2) X(MODF, None, -1, 2)                 \
    X(NEGF, None, 0, 1) X(INCF, None, 0, 1) X(DECF, None, 0, 1) X(FTOI, None, 0, 1)                     \
    X(CMPF, None, -1, 2) X(LNOT, None, 0, 1) X(PUSHK, Const, 1, 0) X(LDL, Local, 1, 0)                  \
    X(LDLO, Local, 1, 0) X(STL, Local, -1, 1) X(STLK, Local, 0, 1) X(STLO, Local, -1, 1)                \
    X(STLOK, Local, 0, 1) X(POP, None, -1, 1) X(POPO, None, -1, 1) X(DUP, None, 1, 1)                   \
    X(DUPO, None, 1, 1) X(DUP2O, None, 2, 2) X(SWAP, None, 0, 2) X(JMP, Target, 0, 0)                   \
    X(JZ, Target, -1, 1) X(JNZ, Target, -1, 1) X(JZK, Target, 0, 1) X(JNZK, Target, 0, 1)               \
    X(JLT, Target, -1, 1) X(JLE, Target, -1, 1) X(JGT, Target, -1, 1) X(JGE, Target, -1, 1)             \
    X(LT, None, 0, 1) X(LE, None, 0, 1) X(GT, None, 0, 1) X(GE, None, 0, 1)                             \
    X(NEWA, None, 0, 1) X(NEWAO, None, 0, 1) X(ALEN, None, 0, 1) X(ACOPY, None, 0, 1)                   \
    X(LDA, None, -1, 2) X(STA, None, -3, 3) X(STAK, None, -2, 3) X(LDAO, None, -1, 2)                   \
    X(STAO, None, -3, 3) X(STAOK, None, -2, 3) X(ASUB, None, -2, 3) X(ASET, None, -4, 4)                \
    X(ASETK, None, -3, 4) X(ASUBO, None, -2, 3) X(ASETO, None, -4, 4) X(ASETOK, None, -3, 4)            \
    X(NEWS, None, 1, 0) X(LDSTR, String, 1, 0) X(ITOS, None, 0, 1) X(BTOS, None, 0, 1)                  \
    X(FTOS, None, 0, 1) X(SCOPY, None, 0, 1) X(SLEN, None, 0, 1) X(LDCH, None, -1, 2)                   \
    X(STCH, None, -3, 3) X(STCHK, None, -2, 3) X(SSUB, None, -2, 3) X(SSET, None, -4, 4)                \
    X(SSETK, None, -3, 4) X(SCMP, None, -1, 2) X(SCAT, None, -1, 2) X(ISA, Class, 0, 1)                 \
    X(NEW, Class, 1, 0) X(LDCLS, Class, 1, 0) X(CAST, Class, 0, 1) X(CMPO, None, -1, 2)                 \
    X(ISNULL, None, 0, 1) X(NOTNULL, None, 0, 1) X(CALL, Call, 0, 0) X(CALLN, Call, 0, 0)               \
    X(START, Call, 0, 0) X(LDM, Member, 0, 1) X(LDMO, Member, 0, 1) X(STM, Member, -2, 2)               \
    X(STMK, Member, -1, 2) X(STMO, Member, -2, 2) X(STMOK, Member, -1, 2) X(LDS, Member, 1, 0)          \
    X(LDSO, Member, 1, 0) X(STS, Member, -1, 1) X(STSO, Member, -1, 1) X(STSK, Member, 0, 1)            \
    X(STSOK, Member, 0, 1) X(RET, None, 0, 0) X(RETV, None, 0, 1) X(RETVO, None, 0, 1)                  \
    X(WAIT, Wait, 0, 0) X(SWITCH, Switch, -1, 1) X(CALLP, Parent, 0, 0) X(NE, None, 0, 1)
// clang-format on

enum Opcode : uint8_t {
#define GS_OPCODE_ENUM(name, form, stack, inputs) OP_##name,
  GS_OPCODES(GS_OPCODE_ENUM)
#undef GS_OPCODE_ENUM
      kOpcodeCount
};

static_assert(kOpcodeCount == 116, "the instruction set has 116 opcodes");

// The table, indexed by opcode.
inline constexpr OpcodeInfo kOpcodeTable[kOpcodeCount] = {
#define GS_OPCODE_INFO(name, form, stack, inputs) {#name, OperandForm::form, stack, inputs},
    GS_OPCODES(GS_OPCODE_INFO)
#undef GS_OPCODE_INFO
};

// Operand bytes of each opcode byte: a count, kVariableOperands for WAIT and
// SWITCH, kIllegalOpcode for 116..255.
inline constexpr uint8_t kVariableOperands = 0xFE;
inline constexpr uint8_t kIllegalOpcode = 0xFF;
inline constexpr auto kOperandBytes = [] {
  struct Table {
    uint8_t bytes[256];
  } t{};
  for (unsigned op = 0; op < 256; ++op) {
    if (op >= kOpcodeCount) {
      t.bytes[op] = kIllegalOpcode;
      continue;
    }
    switch (kOpcodeTable[op].form) {
      case OperandForm::None: t.bytes[op] = 0; break;
      case OperandForm::Local:
      case OperandForm::Member:
      case OperandForm::String:
      case OperandForm::Class:
      case OperandForm::Parent: t.bytes[op] = 2; break;
      case OperandForm::Const:
      case OperandForm::Target:
      case OperandForm::Call: t.bytes[op] = 4; break;
      case OperandForm::Wait:
      case OperandForm::Switch: t.bytes[op] = kVariableOperands; break;
    }
  }
  return t;
}();

// The table entry of an opcode byte; null for 116..255 (illegal instructions).
inline const OpcodeInfo* FindOpcode(uint8_t op) { return op < kOpcodeCount ? &kOpcodeTable[op] : nullptr; }

// Byte offsets of the operands of the variable-length forms, counted from the
// first operand byte (the one after the opcode). The emitter writes, and the
// disassembler, the verifier and the interpreter read, through these.
struct WaitLayout {  // u16 h, h x (u16 major, u16 minor), h x u32 target
  static constexpr std::size_t Major(std::size_t i) { return 2 + 4 * i; }
  static constexpr std::size_t Minor(std::size_t i) { return 4 + 4 * i; }
  static constexpr std::size_t Target(std::size_t h, std::size_t i) { return 2 + 4 * h + 4 * i; }
  static constexpr std::size_t Size(std::size_t h) { return 2 + 8 * h; }
};
struct SwitchLayout {  // u16 c, c x i32 key, c x u32 target, u32 default
  static constexpr std::size_t Key(std::size_t i) { return 2 + 4 * i; }
  static constexpr std::size_t Target(std::size_t c, std::size_t i) { return 2 + 4 * c + 4 * i; }
  static constexpr std::size_t Default(std::size_t c) { return 2 + 8 * c; }
  static constexpr std::size_t Size(std::size_t c) { return 6 + 8 * c; }
};

// Little-endian operand readers (no bounds checks: callers check the length).
inline uint16_t ReadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t ReadU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// One decoded instruction: its table entry, length and operand bytes, with an
// accessor per operand of each form. Valid only as filled by
// DecodeInstruction, which has checked that every operand byte is present.
struct InstructionView {
  const OpcodeInfo* info = nullptr;
  uint8_t op = 0;
  std::size_t length = 0;             // bytes, opcode included
  const uint8_t* operands = nullptr;  // first byte after the opcode

  // Local, Member, String, Class: the u16 index.
  uint16_t Index() const { return ReadU16(operands); }
  // Call, Parent: the signed receiver distance. Call: the u16 dispatch slot.
  int16_t Distance() const { return int16_t(ReadU16(operands)); }
  uint16_t Slot() const { return ReadU16(operands + 2); }
  // Const, Target: the u32 word.
  uint32_t Word() const { return ReadU32(operands); }
  // Wait, Switch: the entry count.
  uint16_t Count() const { return ReadU16(operands); }
  uint16_t WaitMajor(std::size_t i) const { return ReadU16(operands + WaitLayout::Major(i)); }
  uint16_t WaitMinor(std::size_t i) const { return ReadU16(operands + WaitLayout::Minor(i)); }
  uint32_t WaitTarget(std::size_t i) const { return ReadU32(operands + WaitLayout::Target(Count(), i)); }
  int32_t SwitchKey(std::size_t i) const { return int32_t(ReadU32(operands + SwitchLayout::Key(i))); }
  uint32_t SwitchTarget(std::size_t i) const { return ReadU32(operands + SwitchLayout::Target(Count(), i)); }
  uint32_t SwitchDefault() const { return ReadU32(operands + SwitchLayout::Default(Count())); }
};

// Length in bytes (opcode included) of the instruction at `offset` of `code`;
// 0 when the byte is not an opcode or the instruction does not fit in `size`.
inline std::size_t InstructionLength(const uint8_t* code, std::size_t size, std::size_t offset) {
  if (offset >= size) return 0;
  const uint8_t op = code[offset];
  const std::size_t left = size - offset - 1;  // bytes after the opcode
  std::size_t n = kOperandBytes.bytes[op];
  if (n >= kVariableOperands) {
    if (n == kIllegalOpcode || left < 2) return 0;
    const uint16_t count = ReadU16(code + offset + 1);
    n = op == OP_WAIT ? WaitLayout::Size(count) : SwitchLayout::Size(count);
  }
  return n <= left ? n + 1 : 0;
}

// Fills `out` with the instruction at `offset`; false (out untouched) when the
// byte is not an opcode or the instruction does not fit in `size`.
[[nodiscard]] inline bool DecodeInstruction(const uint8_t* code, std::size_t size, std::size_t offset,
                                            InstructionView& out) {
  const std::size_t length = InstructionLength(code, size, offset);
  if (length == 0) return false;
  out.info = FindOpcode(code[offset]);
  out.op = code[offset];
  out.length = length;
  out.operands = code + offset + 1;
  return true;
}

}  // namespace GSRuntime
