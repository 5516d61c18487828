#pragma once
// The load-time check of byte code. A ".gsl" file is outside data: before any
// function of it runs, its code is walked once along every path against its
// frame and the library's tables, so that the interpreter can run it without
// bounds checks on operands, jumps or the evaluation stack.

#include <cstddef>
#include <cstdint>
#include <string>

#include "gamescript/runtime/LibraryFile.h"
#include "gamescript/runtime/Opcodes.h"

namespace GSRuntime {

// Visits every code offset that control can pass to from `in` other than the
// next instruction: `visit(target, handler)`, with `handler` true for a
// message handler of WAIT (entered with the received message pushed on the
// stack as it stood before the WAIT). Returns whether control can also go on
// to the next instruction. The verifier's walks follow branches through this
// one place.
template <class Visit>
inline bool ForEachBranch(const InstructionView& in, Visit&& visit) {
  switch (in.op) {
    case OP_RET:
    case OP_RETV:
    case OP_RETVO: return false;
    case OP_JMP: visit(in.Word(), false); return false;
    case OP_SWITCH:
      for (uint16_t i = 0; i < in.Count(); ++i) visit(in.SwitchTarget(i), false);
      visit(in.SwitchDefault(), false);
      return false;
    case OP_WAIT:
      for (uint16_t i = 0; i < in.Count(); ++i) visit(in.WaitTarget(i), true);
      return false;
    default:
      if (in.info->form == OperandForm::Target) visit(in.Word(), false);
      return true;
  }
}

// Checks one function's code against its frame: every instruction whole and
// known, operands inside the frame and the library's tables, every jump and
// handler target on an instruction start inside the code, no path running off
// the end, and the evaluation depth never below zero nor above the frame's
// room. `callResult` gives the result cells (0 or 1) a call instruction leaves,
// or -1 when it cannot be known before the call runs. Returns empty when the
// code is sound; `depthChecked` tells whether every call's result was known.
using CallResultFunction = int (*)(void* context, const InstructionView& call);
std::string VerifyCode(const LibraryFunction& f, std::size_t stringCount, std::size_t classCount,
                       CallResultFunction callResult, void* context, bool& depthChecked);

}  // namespace GSRuntime
