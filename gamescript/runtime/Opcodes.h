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

// One line per opcode, in opcode order: X(mnemonic, operand form, depth
// change, inputs), then what it does to the top of the stack ("before ->
// after", the top at the right). The order is the numbering a library's code
// is written in: an opcode is only ever added at the end. Where an operand is
// named (k, n, t, d, h) it is the instruction's operand of the line's form.
// A reference taken from the stack is released unless it is left there or
// stored; "(+ref)" marks a new reference to what is pushed.
// clang-format off
#define GS_OPCODES(X)                                                                                   \
  /* Integers (32-bit, wrapping): a b are number cells, b on top */                                     \
  X(ADDI,    None,   -1, 2)  /* a b -> a+b */                                                           \
  X(SUBI,    None,   -1, 2)  /* a b -> a-b */                                                           \
  X(MULI,    None,   -1, 2)  /* a b -> a*b */                                                           \
  X(DIVI,    None,   -1, 2)  /* a b -> a/b; ER_DivideByZero when b is 0 */                              \
  X(MODI,    None,   -1, 2)  /* a b -> a%b; ER_DivideByZero when b is 0 */                              \
  X(NEGI,    None,    0, 1)  /* a -> -a */                                                              \
  X(INCI,    None,    0, 1)  /* a -> a+1 */                                                             \
  X(DECI,    None,    0, 1)  /* a -> a-1 */                                                             \
  X(ITOF,    None,    0, 1)  /* a -> float(a) */                                                        \
  X(CMPI,    None,   -1, 2)  /* a b -> c, the order of a and b */                                       \
  /* Small constants, a comparison's test for equal, and bits */                                        \
  X(PUSH0,   None,    1, 0)  /* -> 0 */                                                                 \
  X(PUSH1,   None,    1, 0)  /* -> 1 */                                                                 \
  X(EQ,      None,    0, 1)  /* c -> c==0 */                                                            \
  X(AND,     None,   -1, 2)  /* a b -> a&b */                                                           \
  X(OR,      None,   -1, 2)  /* a b -> a|b */                                                           \
  X(XOR,     None,   -1, 2)  /* a b -> a^b */                                                           \
  X(COMPL,   None,    0, 1)  /* a -> ~a */                                                              \
  X(SHL,     None,   -1, 2)  /* a b -> a<<(b&31) */                                                     \
  X(SHR,     None,   -1, 2)  /* a b -> a>>(b&31), unsigned */                                           \
  /* Floats: x y are cells holding a float's bits, y on top */                                          \
  X(ADDF,    None,   -1, 2)  /* x y -> x+y */                                                           \
  X(SUBF,    None,   -1, 2)  /* x y -> x-y */                                                           \
  X(MULF,    None,   -1, 2)  /* x y -> x*y */                                                           \
  X(DIVF,    None,   -1, 2)  /* x y -> x/y; ER_DivideByZero when y is +0 */                             \
  X(MODF,    None,   -1, 2)  /* x y -> fmod(x, y); ER_DivideByZero when y is +0 */                      \
  X(NEGF,    None,    0, 1)  /* x -> -x */                                                              \
  X(INCF,    None,    0, 1)  /* x -> x+1 */                                                             \
  X(DECF,    None,    0, 1)  /* x -> x-1 */                                                             \
  X(FTOI,    None,    0, 1)  /* x -> int(x), saturated; NaN gives 0 */                                  \
  X(CMPF,    None,   -1, 2)  /* x y -> c, the order of x and y */                                       \
  X(LNOT,    None,    0, 1)  /* x -> 1 when x's cell is 0, else 0 */                                    \
  /* Constants, locals (n: a frame cell) and the stack */                                               \
  X(PUSHK,   Const,   1, 0)  /* -> k */                                                                 \
  X(LDL,     Local,   1, 0)  /* -> local[n] */                                                          \
  X(LDLO,    Local,   1, 0)  /* -> local[n] (+ref) */                                                   \
  X(STL,     Local,  -1, 1)  /* a -> ; local[n] = a */                                                  \
  X(STLK,    Local,   0, 1)  /* a -> a; local[n] = a */                                                 \
  X(STLO,    Local,  -1, 1)  /* r -> ; local[n] = r, the old one released */                            \
  X(STLOK,   Local,   0, 1)  /* r -> r; local[n] = r (+ref), the old one released */                    \
  X(POP,     None,   -1, 1)  /* a -> */                                                                 \
  X(POPO,    None,   -1, 1)  /* r -> ; r released */                                                    \
  X(DUP,     None,    1, 1)  /* a -> a a */                                                             \
  X(DUPO,    None,    1, 1)  /* r -> r r (+ref) */                                                      \
  X(DUP2O,   None,    2, 2)  /* r i -> r i r i (+ref to r) */                                           \
  X(SWAP,    None,    0, 2)  /* a b -> b a */                                                           \
  /* Jumps (t: a code offset of the running function) */                                                \
  X(JMP,     Target,  0, 0)  /* goto t */                                                               \
  X(JZ,      Target, -1, 1)  /* a -> ; goto t when a == 0 */                                            \
  X(JNZ,     Target, -1, 1)  /* a -> ; goto t when a != 0 */                                            \
  X(JZK,     Target,  0, 1)  /* a -> a; goto t when a == 0 */                                           \
  X(JNZK,    Target,  0, 1)  /* a -> a; goto t when a != 0 */                                           \
  X(JLT,     Target, -1, 1)  /* c -> ; goto t when c < 0 */                                             \
  X(JLE,     Target, -1, 1)  /* c -> ; goto t when c <= 0 */                                            \
  X(JGT,     Target, -1, 1)  /* c -> ; goto t when c > 0 */                                             \
  X(JGE,     Target, -1, 1)  /* c -> ; goto t when c >= 0 */                                            \
  /* A comparison's result (c: -1, 0 or 1) as a bool */                                                 \
  X(LT,      None,    0, 1)  /* c -> c<0 */                                                             \
  X(LE,      None,    0, 1)  /* c -> c<=0 */                                                            \
  X(GT,      None,    0, 1)  /* c -> c>0 */                                                             \
  X(GE,      None,    0, 1)  /* c -> c>=0 */                                                            \
  /* Arrays (A B: array references; i an index; s e a range's start and end) */                         \
  X(NEWA,    None,    0, 1)  /* n -> A, a new number array of n elements */                             \
  X(NEWAO,   None,    0, 1)  /* n -> A, a new reference array of n elements */                          \
  X(ALEN,    None,    0, 1)  /* A -> A's size */                                                        \
  X(ACOPY,   None,    0, 1)  /* A -> a copy of A */                                                     \
  X(LDA,     None,   -1, 2)  /* A i -> A[i] */                                                          \
  X(STA,     None,   -3, 3)  /* A i a -> ; A[i] = a, A grown to i+1 if shorter */                       \
  X(STAK,    None,   -2, 3)  /* A i a -> a; as STA */                                                   \
  X(LDAO,    None,   -1, 2)  /* A i -> A[i] (+ref) */                                                   \
  X(STAO,    None,   -3, 3)  /* A i r -> ; A[i] = r */                                                  \
  X(STAOK,   None,   -2, 3)  /* A i r -> r; as STAO */                                                  \
  X(ASUB,    None,   -2, 3)  /* A e s -> a new array of A[s, e) */                                      \
  X(ASET,    None,   -4, 4)  /* A e s B -> ; A[s, e) replaced by B's elements */                        \
  X(ASETK,   None,   -3, 4)  /* A e s B -> B; as ASET */                                                \
  X(ASUBO,   None,   -2, 3)  /* A e s -> as ASUB, of a reference array */                               \
  X(ASETO,   None,   -4, 4)  /* A e s B -> ; as ASET, of a reference array */                           \
  X(ASETOK,  None,   -3, 4)  /* A e s B -> B; as ASETK, of a reference array */                         \
  /* Strings (S T: string references; null reads as "" where it may) */                                 \
  X(NEWS,    None,    1, 0)  /* -> "" */                                                                \
  X(LDSTR,   String,  1, 0)  /* -> a new string of library string n */                                  \
  X(ITOS,    None,    0, 1)  /* a -> "%d" of a */                                                       \
  X(BTOS,    None,    0, 1)  /* a -> "true" or "false" */                                               \
  X(FTOS,    None,    0, 1)  /* x -> "%f" of x */                                                       \
  X(SCOPY,   None,    0, 1)  /* S -> a copy of S; null stays null */                                    \
  X(SLEN,    None,    0, 1)  /* S -> S's length */                                                      \
  X(LDCH,    None,   -1, 2)  /* S i -> S[i] as a signed char */                                         \
  X(STCH,    None,   -3, 3)  /* S i a -> ; S[i] = a, S padded with spaces to i */                       \
  X(STCHK,   None,   -2, 3)  /* S i a -> a; as STCH */                                                  \
  X(SSUB,    None,   -2, 3)  /* S e s -> a new string of S[s, e), clamped to S */                       \
  X(SSET,    None,   -4, 4)  /* S e s T -> ; S[s, e) replaced by T */                                   \
  X(SSETK,   None,   -3, 4)  /* S e s T -> T; as SSET */                                                \
  X(SCMP,    None,   -1, 2)  /* S T -> c, the order of S and T */                                       \
  X(SCAT,    None,   -1, 2)  /* S T -> S+T */                                                           \
  /* Objects (r q: object references; n: the library's class import n) */                               \
  X(ISA,     Class,   0, 1)  /* r -> 1 when r is of class n */                                          \
  X(NEW,     Class,   1, 0)  /* -> r, a new instance of class n */                                      \
  X(LDCLS,   Class,   1, 0)  /* -> the static instance of class n (+ref) */                             \
  X(CAST,    Class,   0, 1)  /* r -> r viewed as class n, or null */                                    \
  X(CMPO,    None,   -1, 2)  /* r q -> 0 when r and q are the same instance, else 1 */                  \
  X(ISNULL,  None,    0, 1)  /* r -> 1 when r is null */                                                \
  X(NOTNULL, None,    0, 1)  /* r -> 1 when r is not null */                                            \
  /* Calls (d: the receiver's cell from the top, -arguments; k: its class's dispatch slot) */           \
  X(CALL,    Call,    0, 0)  /* r args -> [v]; r's method at slot k, v in r's cell */                   \
  X(CALLN,   Call,    0, 0)  /* r args -> [v]; as CALL, of a native method */                           \
  X(START,   Call,    0, 0)  /* r args -> ; r's thread method at slot k, on a new thread */             \
  /* Members (n: a cell of the instance, or of the running function's receiver "self") */               \
  X(LDM,     Member,  0, 1)  /* r -> r.member[n] */                                                     \
  X(LDMO,    Member,  0, 1)  /* r -> r.member[n] (+ref) */                                              \
  X(STM,     Member, -2, 2)  /* r a -> ; r.member[n] = a */                                             \
  X(STMK,    Member, -1, 2)  /* r a -> a; r.member[n] = a */                                            \
  X(STMO,    Member, -2, 2)  /* r q -> ; r.member[n] = q */                                             \
  X(STMOK,   Member, -1, 2)  /* r q -> q; r.member[n] = q */                                            \
  X(LDS,     Member,  1, 0)  /* -> self.member[n] */                                                    \
  X(LDSO,    Member,  1, 0)  /* -> self.member[n] (+ref) */                                             \
  X(STS,     Member, -1, 1)  /* a -> ; self.member[n] = a */                                            \
  X(STSO,    Member, -1, 1)  /* r -> ; self.member[n] = r */                                            \
  X(STSK,    Member,  0, 1)  /* a -> a; self.member[n] = a */                                           \
  X(STSOK,   Member,  0, 1)  /* r -> r; self.member[n] = r */                                           \
  /* Returns and control */                                                                             \
  X(RET,     None,    0, 0)  /* returns to the caller */                                                \
  X(RETV,    None,    0, 1)  /* a -> ; returns a */                                                     \
  X(RETVO,   None,    0, 1)  /* r -> ; returns r */                                                     \
  X(WAIT,    Wait,    0, 0)  /* blocks for one of h messages; resumes at its target */                  \
  X(SWITCH,  Switch, -1, 1)  /* a -> ; goto the target of key a, else the default */                    \
  X(CALLP,   Parent,  0, 0)  /* r args -> [v]; the parent class's version of this method */             \
  X(NE,      None,    0, 1)  /* c -> c!=0 */
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
