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

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

#include "gamescript/runtime/LibraryFile.h"
#include "gamescript/runtime/Opcodes.h"

namespace GSRuntime {

struct GSFunction;

// Each run opcode with the instructions it stands for. In the names, L is a
// number local (LDL), K a constant (PUSHK), LO a reference local (LDLO).
// STR is a library string (LDSTR); LO_STR_SCAT_STLO is made only where both
// reference locals are the same one. CALL_OBSERVED and SELF stand for one
// instruction: a call (below) and LDLO of the receiver's cell.
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
    X(L_RETV, 2, OP_LDL, OP_RETV)                                                                \
    X(L_ITOF, 2, OP_LDL, OP_ITOF)                                                                \
    X(ADDF_STL, 2, OP_ADDF, OP_STL)                                                              \
    X(ADDI_RETV, 2, OP_ADDI, OP_RETV)                                                            \
    X(LL, 2, OP_LDL, OP_LDL)                                                                     \
    X(LO_STR_SCAT_STLO, 4, OP_LDLO, OP_LDSTR, OP_SCAT, OP_STLO)                                  \
    X(CALL_OBSERVED, 0)                                                                          \
    X(SELF, 0)
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

// A function whose depth the load could not prove has calls whose callee
// could not be known there (the classes the library names differ at that
// call slot). As the function runs with its checks, each such call records
// the shape of the callee it reached. Once every one has been reached with
// one shape, the verifier walks the code again with those shapes; when that
// proves the depth and kinds, new frames of the function run typed run code
// in which those calls are CALL_OBSERVED: a call that checks that its callee
// has the recorded shape. A compiled library's call always reaches one shape
// (that of the slot in the receiver's declared class, which every override
// keeps); a callee of another shape stops the thread with ER_LinkError, and
// the function's new frames run with their checks again.
struct ObservedCalls {
  struct Site {
    uint32_t offset = 0;  // of the call instruction
    uint32_t shape = 0;
    const LibraryFunction* callee = nullptr;  // null until the call is reached
  };
  enum State : uint8_t { Observing, Typed, Checked };
  explicit ObservedCalls(std::pmr::memory_resource* memory) : sites(memory) {}
  std::pmr::vector<Site> sites;  // by offset
  std::size_t reached = 0;
  State state = Observing;
  const uint8_t* typed = nullptr;
};

// The run code a new frame of `function` runs: its typed run code when it
// has or can now be given one, else its run code.
const uint8_t* EntryRunCode(GSFunction& function);
// The callee a call at `offset` of checked code reached.
void RecordCall(GSFunction& function, uint32_t offset, const GSFunction& callee);
// The shape recorded for the call at `offset`; 0xFFFFFFFF when none.
uint32_t RecordedShape(const GSFunction& function, uint32_t offset);
// A CALL_OBSERVED call reached another shape: new frames run checked code.
void DropTypedRunCode(GSFunction& function);

}  // namespace GSRuntime
