// The opcode numbering and the table's values are what a library's code is
// written in: a compiled library names each instruction by its number, and
// the verifier and the interpreter read operand lengths and stack effects from
// the table. Any change to a number, form, depth change or input count
// here is a change of the library format.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gamescript/runtime/Opcodes.h"

using namespace GSRuntime;

namespace {

using F = OperandForm;

struct Expected {
  const char* mnemonic;
  OperandForm form;
  int stack;
  int inputs;
};

// By opcode number, 0 first.
// clang-format off
constexpr Expected kNumbering[] = {
    /*   0 */ {"ADDI", F::None, -1, 2}, {"SUBI", F::None, -1, 2}, {"MULI", F::None, -1, 2},
    /*   3 */ {"DIVI", F::None, -1, 2}, {"MODI", F::None, -1, 2}, {"NEGI", F::None, 0, 1},
    /*   6 */ {"INCI", F::None, 0, 1}, {"DECI", F::None, 0, 1}, {"ITOF", F::None, 0, 1},
    /*   9 */ {"CMPI", F::None, -1, 2}, {"PUSH0", F::None, 1, 0}, {"PUSH1", F::None, 1, 0},
    /*  12 */ {"EQ", F::None, 0, 1}, {"AND", F::None, -1, 2}, {"OR", F::None, -1, 2},
    /*  15 */ {"XOR", F::None, -1, 2}, {"COMPL", F::None, 0, 1}, {"SHL", F::None, -1, 2},
    /*  18 */ {"SHR", F::None, -1, 2}, {"ADDF", F::None, -1, 2}, {"SUBF", F::None, -1, 2},
    /*  21 */ {"MULF", F::None, -1, 2}, {"DIVF", F::None, -1, 2}, {"MODF", F::None, -1, 2},
    /*  24 */ {"NEGF", F::None, 0, 1}, {"INCF", F::None, 0, 1}, {"DECF", F::None, 0, 1},
    /*  27 */ {"FTOI", F::None, 0, 1}, {"CMPF", F::None, -1, 2}, {"LNOT", F::None, 0, 1},
    /*  30 */ {"PUSHK", F::Const, 1, 0}, {"LDL", F::Local, 1, 0}, {"LDLO", F::Local, 1, 0},
    /*  33 */ {"STL", F::Local, -1, 1}, {"STLK", F::Local, 0, 1}, {"STLO", F::Local, -1, 1},
    /*  36 */ {"STLOK", F::Local, 0, 1}, {"POP", F::None, -1, 1}, {"POPO", F::None, -1, 1},
    /*  39 */ {"DUP", F::None, 1, 1}, {"DUPO", F::None, 1, 1}, {"DUP2O", F::None, 2, 2},
    /*  42 */ {"SWAP", F::None, 0, 2}, {"JMP", F::Target, 0, 0}, {"JZ", F::Target, -1, 1},
    /*  45 */ {"JNZ", F::Target, -1, 1}, {"JZK", F::Target, 0, 1}, {"JNZK", F::Target, 0, 1},
    /*  48 */ {"JLT", F::Target, -1, 1}, {"JLE", F::Target, -1, 1}, {"JGT", F::Target, -1, 1},
    /*  51 */ {"JGE", F::Target, -1, 1}, {"LT", F::None, 0, 1}, {"LE", F::None, 0, 1},
    /*  54 */ {"GT", F::None, 0, 1}, {"GE", F::None, 0, 1}, {"NEWA", F::None, 0, 1},
    /*  57 */ {"NEWAO", F::None, 0, 1}, {"ALEN", F::None, 0, 1}, {"ACOPY", F::None, 0, 1},
    /*  60 */ {"LDA", F::None, -1, 2}, {"STA", F::None, -3, 3}, {"STAK", F::None, -2, 3},
    /*  63 */ {"LDAO", F::None, -1, 2}, {"STAO", F::None, -3, 3}, {"STAOK", F::None, -2, 3},
    /*  66 */ {"ASUB", F::None, -2, 3}, {"ASET", F::None, -4, 4}, {"ASETK", F::None, -3, 4},
    /*  69 */ {"ASUBO", F::None, -2, 3}, {"ASETO", F::None, -4, 4}, {"ASETOK", F::None, -3, 4},
    /*  72 */ {"NEWS", F::None, 1, 0}, {"LDSTR", F::String, 1, 0}, {"ITOS", F::None, 0, 1},
    /*  75 */ {"BTOS", F::None, 0, 1}, {"FTOS", F::None, 0, 1}, {"SCOPY", F::None, 0, 1},
    /*  78 */ {"SLEN", F::None, 0, 1}, {"LDCH", F::None, -1, 2}, {"STCH", F::None, -3, 3},
    /*  81 */ {"STCHK", F::None, -2, 3}, {"SSUB", F::None, -2, 3}, {"SSET", F::None, -4, 4},
    /*  84 */ {"SSETK", F::None, -3, 4}, {"SCMP", F::None, -1, 2}, {"SCAT", F::None, -1, 2},
    /*  87 */ {"ISA", F::Class, 0, 1}, {"NEW", F::Class, 1, 0}, {"LDCLS", F::Class, 1, 0},
    /*  90 */ {"CAST", F::Class, 0, 1}, {"CMPO", F::None, -1, 2}, {"ISNULL", F::None, 0, 1},
    /*  93 */ {"NOTNULL", F::None, 0, 1}, {"CALL", F::Call, 0, 0}, {"CALLN", F::Call, 0, 0},
    /*  96 */ {"START", F::Call, 0, 0}, {"LDM", F::Member, 0, 1}, {"LDMO", F::Member, 0, 1},
    /*  99 */ {"STM", F::Member, -2, 2}, {"STMK", F::Member, -1, 2}, {"STMO", F::Member, -2, 2},
    /* 102 */ {"STMOK", F::Member, -1, 2}, {"LDS", F::Member, 1, 0}, {"LDSO", F::Member, 1, 0},
    /* 105 */ {"STS", F::Member, -1, 1}, {"STSO", F::Member, -1, 1}, {"STSK", F::Member, 0, 1},
    /* 108 */ {"STSOK", F::Member, 0, 1}, {"RET", F::None, 0, 0}, {"RETV", F::None, 0, 1},
    /* 111 */ {"RETVO", F::None, 0, 1}, {"WAIT", F::Wait, 0, 0}, {"SWITCH", F::Switch, -1, 1},
    /* 114 */ {"CALLP", F::Parent, 0, 0}, {"NE", F::None, 0, 1},
};
// clang-format on

TEST(OpcodeTable, NumbersAndValuesAreThoseLibrariesAreWrittenIn) {
  ASSERT_EQ(std::size(kNumbering), std::size_t(kOpcodeCount));
  for (std::size_t op = 0; op < std::size(kNumbering); ++op) {
    const Expected& e = kNumbering[op];
    const OpcodeInfo& got = kOpcodeTable[op];
    SCOPED_TRACE("opcode " + std::to_string(op) + " " + e.mnemonic);
    EXPECT_STREQ(got.mnemonic, e.mnemonic);
    EXPECT_EQ(got.form, e.form);
    EXPECT_EQ(got.stack, e.stack);
    EXPECT_EQ(got.inputs, e.inputs);
  }
}

TEST(OpcodeTable, OperandLengthsByFormAndNoOpcodeBeyondTheTable) {
  // Fixed forms: operand bytes after the opcode byte.
  const struct {
    OperandForm form;
    uint8_t bytes;
  } kLengths[] = {{F::None, 0},   {F::Local, 2}, {F::Member, 2}, {F::String, 2}, {F::Class, 2},
                  {F::Parent, 2}, {F::Const, 4}, {F::Target, 4}, {F::Call, 4}};
  for (unsigned op = 0; op < 256; ++op) {
    SCOPED_TRACE("opcode " + std::to_string(op));
    if (op >= kOpcodeCount) {
      EXPECT_EQ(kOperandBytes.bytes[op], kIllegalOpcode);
      EXPECT_EQ(FindOpcode(uint8_t(op)), nullptr);
      continue;
    }
    const OperandForm form = kOpcodeTable[op].form;
    if (form == F::Wait || form == F::Switch) {
      EXPECT_EQ(kOperandBytes.bytes[op], kVariableOperands);
      continue;
    }
    bool listed = false;
    for (const auto& l : kLengths)
      if (l.form == form) {
        EXPECT_EQ(kOperandBytes.bytes[op], l.bytes);
        listed = true;
      }
    EXPECT_TRUE(listed);
  }
  // The variable forms: a count, then its entries.
  uint8_t wait[1 + 2 + 8 * 2] = {OP_WAIT, 2, 0};
  EXPECT_EQ(InstructionLength(wait, sizeof wait, 0), sizeof wait);
  EXPECT_EQ(InstructionLength(wait, sizeof wait - 1, 0), 0u);
  uint8_t cases[1 + 6 + 8 * 3] = {OP_SWITCH, 3, 0};
  EXPECT_EQ(InstructionLength(cases, sizeof cases, 0), sizeof cases);
  EXPECT_EQ(InstructionLength(cases, sizeof cases - 1, 0), 0u);
}

}  // namespace
