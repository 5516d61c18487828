#pragma once
// The code the interpreter runs. A function's verified byte code is copied,
// once, on its first call; the copy has the same length and layout, so that
// every code offset (jump targets, return offsets, lines, the run budget's
// byte count) means the same in both. In code whose depth and kinds the
// verifier proved, the first opcode of some frequent sequences becomes one
// run opcode that does the whole sequence and goes on after it; the
// sequence's other bytes are left as they were, so that a jump into the
// middle of it runs its own instructions. In code whose depth was not proven,
// every opcode becomes RUN_CHECKED, which checks the instruction (read from
// the function's own code) before running it. Run opcodes exist only in
// these copies, never in a library, and are made only from code the verifier
// accepted: a sequence does what its instructions do, with the checks they
// would make.

#include <cstdint>

#include "gamescript/runtime/Opcodes.h"

namespace GSRuntime {

struct GSFunction;

// Each run opcode with the instructions it stands for. In the names, L is a
// number local (LDL), K a constant (PUSHK), LO a reference local (LDLO).
// clang-format off
#define GS_RUN_OPCODES(X)                                                                        \
    X(CHECKED, 0)                                                                                \
    X(LL_LT_JZ, 5, OP_LDL, OP_LDL, OP_CMPI, OP_LT, OP_JZ)                                        \
    X(LL_LE_JZ, 5, OP_LDL, OP_LDL, OP_CMPI, OP_LE, OP_JZ)                                        \
    X(LL_GT_JZ, 5, OP_LDL, OP_LDL, OP_CMPI, OP_GT, OP_JZ)                                        \
    X(LL_GE_JZ, 5, OP_LDL, OP_LDL, OP_CMPI, OP_GE, OP_JZ)                                        \
    X(LL_EQ_JZ, 5, OP_LDL, OP_LDL, OP_CMPI, OP_EQ, OP_JZ)                                        \
    X(LL_NE_JZ, 5, OP_LDL, OP_LDL, OP_CMPI, OP_NE, OP_JZ)                                        \
    X(LK_LT_JZ, 5, OP_LDL, OP_PUSHK, OP_CMPI, OP_LT, OP_JZ)                                      \
    X(LK_LE_JZ, 5, OP_LDL, OP_PUSHK, OP_CMPI, OP_LE, OP_JZ)                                      \
    X(LK_GT_JZ, 5, OP_LDL, OP_PUSHK, OP_CMPI, OP_GT, OP_JZ)                                      \
    X(LK_GE_JZ, 5, OP_LDL, OP_PUSHK, OP_CMPI, OP_GE, OP_JZ)                                      \
    X(LK_EQ_JZ, 5, OP_LDL, OP_PUSHK, OP_CMPI, OP_EQ, OP_JZ)                                      \
    X(LK_NE_JZ, 5, OP_LDL, OP_PUSHK, OP_CMPI, OP_NE, OP_JZ)                                      \
    X(L_INCI_STL_JMP, 4, OP_LDL, OP_INCI, OP_STL, OP_JMP)                                        \
    X(L_DECI_STL_JMP, 4, OP_LDL, OP_DECI, OP_STL, OP_JMP)                                        \
    X(L_INCI_STL, 3, OP_LDL, OP_INCI, OP_STL)                                                    \
    X(L_DECI_STL, 3, OP_LDL, OP_DECI, OP_STL)                                                    \
    X(LL_ADDI_STL, 4, OP_LDL, OP_LDL, OP_ADDI, OP_STL)                                           \
    X(LL_SUBI_STL, 4, OP_LDL, OP_LDL, OP_SUBI, OP_STL)                                           \
    X(LO_LL_STA, 4, OP_LDLO, OP_LDL, OP_LDL, OP_STA)                                             \
    X(LO_L_LDA, 3, OP_LDLO, OP_LDL, OP_LDA)                                                      \
    X(LK_ADDI, 3, OP_LDL, OP_PUSHK, OP_ADDI)                                                     \
    X(LK_SUBI, 3, OP_LDL, OP_PUSHK, OP_SUBI)                                                     \
    X(K_STL, 2, OP_PUSHK, OP_STL)                                                                \
    X(LL, 2, OP_LDL, OP_LDL)
// clang-format on

enum RunOpcode : uint8_t {
  kRunOpcodeBefore = kOpcodeCount - 1,
#define GS_RUN_ENUM(name, count, ...) RUN_##name,
  GS_RUN_OPCODES(GS_RUN_ENUM)
#undef GS_RUN_ENUM
      kRunOpcodeEnd
};
static_assert(kRunOpcodeEnd <= 255, "run opcodes fit in a byte");

// The run code of `function`, made on the first call (from its library's
// memory, freed with the library). The function's code must not be empty.
const uint8_t* MakeRunCode(GSFunction& function);

}  // namespace GSRuntime
