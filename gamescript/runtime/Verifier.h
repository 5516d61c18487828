#pragma once
// The load-time check of byte code. A ".gsl" file is outside data: before any
// function of it runs, its code is walked along every path against its frame
// and the library's tables, so that the interpreter can run it without bounds
// checks on operands, jumps or the evaluation stack, and so that no cell is
// used as a handle unless a reference was taken for it.
//
// Every cell holds a number or an object handle that owns one reference. The
// verifier follows the kind of every evaluation cell and of the temporaries
// (the one frame cells whose kind changes); parameters and locals keep the
// kind the function record's reference cells give them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "gamescript/runtime/LibraryFile.h"
#include "gamescript/runtime/Opcodes.h"

namespace GSRuntime {

// The kind of a cell as a set of the uses it allows: a number, a handle with
// its reference, or zero (both: the null handle). Paths merge by intersection;
// a cell that allows no use can only be left alone.
enum CellKind : uint8_t { kKindNoUse = 0, kKindNumber = 1, kKindReference = 2, kKindZero = 3 };

// The kind a function's result has; kKindNoUse when it returns nothing.
inline CellKind ResultKind(uint32_t returnType) {
  if (returnType == TypeVoid) return kKindNoUse;
  return IsReferenceType(returnType) ? kKindReference : kKindNumber;
}

// The cells an instruction reads and leaves, for every instruction but the
// ones the verifier and the interpreter treat on their own (frame cells,
// calls, returns, WAIT). `need` holds, bottom first, the uses each input must
// allow; `out` the kind of each result, or kFromInput + i for the kind of
// input i (a cell passed through).
struct KindEffect {
  static constexpr uint8_t kFromInput = 4;
  uint8_t inputs = 0, outputs = 0;
  uint8_t need[4] = {};
  uint8_t out[4] = {};
  bool special = false;
};

namespace VerifierDetail {
constexpr KindEffect Make(const char* in, const char* out) {
  KindEffect e;
  for (; in[e.inputs]; ++e.inputs)
    e.need[e.inputs] = uint8_t(in[e.inputs] == 'n'   ? kKindNumber
                               : in[e.inputs] == 'o' ? kKindReference
                                                     : kKindNoUse);
  for (; out[e.outputs]; ++e.outputs) {
    const char c = out[e.outputs];
    e.out[e.outputs] = c == 'n'   ? uint8_t(kKindNumber)
                       : c == 'o' ? uint8_t(kKindReference)
                       : c == 'z' ? uint8_t(kKindZero)
                                  : uint8_t(KindEffect::kFromInput + (c - '1'));
  }
  return e;
}
constexpr KindEffect KindsOf(unsigned op) {
  switch (op) {
    case OP_ADDI:
    case OP_SUBI:
    case OP_MULI:
    case OP_DIVI:
    case OP_MODI:
    case OP_CMPI:
    case OP_AND:
    case OP_OR:
    case OP_XOR:
    case OP_SHL:
    case OP_SHR:
    case OP_ADDF:
    case OP_SUBF:
    case OP_MULF:
    case OP_DIVF:
    case OP_MODF:
    case OP_CMPF: return Make("nn", "n");
    case OP_NEGI:
    case OP_INCI:
    case OP_DECI:
    case OP_ITOF:
    case OP_EQ:
    case OP_COMPL:
    case OP_NEGF:
    case OP_INCF:
    case OP_DECF:
    case OP_FTOI:
    case OP_LNOT:
    case OP_LT:
    case OP_LE:
    case OP_GT:
    case OP_GE:
    case OP_NE: return Make("n", "n");
    case OP_PUSH0: return Make("", "z");
    case OP_PUSH1:
    case OP_PUSHK:
    case OP_LDS: return Make("", "n");
    case OP_POP:
    case OP_JZ:
    case OP_JNZ:
    case OP_JLT:
    case OP_JLE:
    case OP_JGT:
    case OP_JGE:
    case OP_SWITCH:
    case OP_STS: return Make("n", "");
    case OP_POPO:
    case OP_STSO: return Make("o", "");
    case OP_DUP: return Make("n", "11");
    case OP_DUPO: return Make("o", "11");
    case OP_DUP2O: return Make("on", "1212");
    case OP_SWAP: return Make("**", "21");
    case OP_JMP: return Make("", "");
    case OP_JZK:
    case OP_JNZK:
    case OP_STSK: return Make("n", "1");
    case OP_STSOK: return Make("o", "1");
    case OP_NEWA:
    case OP_NEWAO:
    case OP_ITOS:
    case OP_BTOS:
    case OP_FTOS: return Make("n", "o");
    case OP_ALEN:
    case OP_SLEN:
    case OP_ISA:
    case OP_ISNULL:
    case OP_NOTNULL:
    case OP_LDM: return Make("o", "n");
    case OP_ACOPY:
    case OP_SCOPY:
    case OP_CAST:
    case OP_LDMO: return Make("o", "o");
    case OP_LDA:
    case OP_LDCH: return Make("on", "n");
    case OP_LDAO: return Make("on", "o");
    case OP_STA:
    case OP_STCH: return Make("onn", "");
    case OP_STAK:
    case OP_STCHK: return Make("onn", "3");
    case OP_STAO: return Make("ono", "");
    case OP_STAOK: return Make("ono", "3");
    case OP_ASUB:
    case OP_ASUBO:
    case OP_SSUB: return Make("onn", "o");
    case OP_ASET:
    case OP_ASETO:
    case OP_SSET: return Make("onno", "");
    case OP_ASETK:
    case OP_ASETOK:
    case OP_SSETK: return Make("onno", "4");
    case OP_NEWS:
    case OP_LDSTR:
    case OP_NEW:
    case OP_LDCLS:
    case OP_LDSO: return Make("", "o");
    case OP_SCMP:
    case OP_CMPO: return Make("oo", "n");
    case OP_SCAT: return Make("oo", "o");
    case OP_STM: return Make("on", "");
    case OP_STMK: return Make("on", "2");
    case OP_STMO: return Make("oo", "");
    case OP_STMOK: return Make("oo", "2");
    case OP_RETV: return Make("n", "");
    case OP_RETVO: return Make("o", "");
    default: {
      KindEffect e;  // frame cells, calls, RET, WAIT
      e.special = true;
      return e;
    }
  }
}
}  // namespace VerifierDetail

inline constexpr auto kKindTable = [] {
  struct Table {
    KindEffect op[kOpcodeCount];
  } t{};
  for (unsigned op = 0; op < kOpcodeCount; ++op) t.op[op] = VerifierDetail::KindsOf(op);
  return t;
}();

// The kind table agrees with the depth table of the instruction set.
static_assert([] {
  for (unsigned op = 0; op < kOpcodeCount; ++op) {
    const KindEffect& e = kKindTable.op[op];
    if (e.special || op == OP_RETV || op == OP_RETVO) continue;
    if (e.inputs != kOpcodeTable[op].inputs || e.outputs - e.inputs != kOpcodeTable[op].stack) return false;
  }
  return true;
}());

// Visits every code offset that control can pass to from `in` other than the
// next instruction: `visit(target, handler)`, with `handler` true for a
// message handler of WAIT (entered with the received message pushed on the
// stack as it stood before the WAIT). Returns whether control can also go on
// to the next instruction. The verifier's walks follow branches through this
// one place.
template <class Visit>
[[nodiscard]] inline bool ForEachBranch(const InstructionView& in, Visit&& visit) {
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

// What the verifier is told about the function a call instruction reaches.
enum class CallKnowledge {
  Unknown,  // cannot be known before the call runs
  None,     // no function can run: the call stops the thread
  Known,    // every function it can reach has the shape of `callee`
};
using CallShapeFunction = CallKnowledge (*)(void* context, const InstructionView& call,
                                            const LibraryFunction*& callee);

// Checks one function's code against its frame: every instruction whole and
// known, operands inside the frame and the library's tables, every jump and
// handler target on an instruction start inside the code, no reachable path
// running off the end, the evaluation depth never below zero nor above the
// frame's room, and every cell used as the kind it holds (frame cells as the
// record gives them; handles never read as numbers, copied without a
// reference, or released when no reference was taken; returns of the
// function's result kind; calls passing what the callee's reference cells
// expect). `callShape` tells what each call reaches (null: nothing is known).
// Returns empty when the code is sound; `typed` tells whether every call's
// callee was known, so that depth and kinds were proven on every path;
// otherwise the interpreter checks them as the code runs. Time and memory are
// linear in the size of the code.
std::string VerifyCode(const LibraryFunction& f, std::size_t stringCount, std::size_t classCount,
                       CallShapeFunction callShape, void* context, bool& typed);

// VerifyCode for many functions in a row (a library's), with the tables it
// walks with set up once.
class CodeVerifier {
public:
  CodeVerifier();
  ~CodeVerifier();
  CodeVerifier(const CodeVerifier&) = delete;
  CodeVerifier& operator=(const CodeVerifier&) = delete;
  // As VerifyCode; the answer stays valid until the next call.
  const std::string& Verify(const LibraryFunction& f, std::size_t stringCount, std::size_t classCount,
                            CallShapeFunction callShape, void* context, bool& typed);

private:
  struct Parts;
  std::unique_ptr<Parts> m_parts;
};

namespace VerifierDetail {
// The same check with every instruction taken by the general path, which the
// short path that VerifyCode takes for most instructions must agree with in
// every answer (for the tests that hold them to it).
std::string VerifyCodeGenerally(const LibraryFunction& f, std::size_t stringCount, std::size_t classCount,
                                CallShapeFunction callShape, void* context, bool& typed);
}  // namespace VerifierDetail

}  // namespace GSRuntime
