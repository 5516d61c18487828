#include "gamescript/runtime/Verifier.h"

#include <vector>

namespace GSRuntime {

namespace {

// The stack effect of one instruction at depth d: the cells it reads and the
// depth after it. Calls read their receiver and arguments and leave what the
// callee returns.
struct Effect {
  int32_t inputs;
  int32_t after;
};

inline Effect EffectOf(const InstructionView& in, int32_t d, CallResultFunction callResult, void* context,
                       bool& depthChecked) {
  if (in.info->form != OperandForm::Call && in.info->form != OperandForm::Parent)
    return {in.info->inputs, d + in.info->stack};
  const int32_t inputs = 1 - in.Distance();
  const int r = in.op == OP_START ? 0 : callResult ? callResult(context, in) : -1;
  if (r < 0) depthChecked = false;
  return {inputs, d - inputs + (r > 0 ? 1 : 0)};
}

}  // namespace

std::string VerifyCode(const LibraryFunction& f, std::size_t stringCount, std::size_t classCount,
                       CallResultFunction callResult, void* context, bool& depthChecked) {
  depthChecked = true;
  const uint8_t* code = f.code.data();
  const std::size_t size = f.code.size();
  if (size == 0) return "";
  const uint32_t cells = f.parameters + f.locals + f.temporaries;
  const int32_t room = int32_t(f.frameSize) - int32_t(f.stackAdvance);  // evaluation cells
  auto at = [](const char* what, std::size_t pc) {
    return std::string(what) + " at code offset " + std::to_string(pc);
  };

  // Scratch reused across calls: most functions are small and many.
  constexpr int32_t kUnseen = -1;
  thread_local std::vector<uint8_t> start;
  thread_local std::vector<int32_t> depth;
  thread_local std::vector<uint32_t> forward;  // jump targets ahead of their jump
  thread_local std::vector<uint32_t> work;     // code first reached by a backward jump
  start.assign(size, 0);
  depth.assign(size, kUnseen);
  forward.clear();
  work.clear();

  std::string problem;
  bool firstWalk = true;
  // The depth `d` reaches `target` with, from the instruction at `pc`. In the
  // first walk a target ahead is walked when the walk gets there and checked
  // to be an instruction start at its end; any other target is decoded
  // already, and walked afterwards when it had no depth yet.
  auto reach = [&](uint64_t target, int32_t d, std::size_t pc) {
    const bool ahead = firstWalk && target > pc;
    if (target >= size) {
      problem = at("jump target outside the code", pc);
    } else if (!ahead && !start[target]) {
      problem = at("jump target not on an instruction", pc);
    } else if (depth[target] == kUnseen) {
      depth[target] = d;
      (ahead ? forward : work).push_back(uint32_t(target));
    } else if (depth[target] != d && depthChecked) {
      problem = at("stack depth differs between paths", target);
    }
  };
  // The depth checks of the instruction at `pc` entered at depth `d`, and its
  // branches; returns the depth after it, or -1 with `problem` set.
  bool falls = false;
  auto step = [&](const InstructionView& in, int32_t d, std::size_t pc) -> int32_t {
    const Effect e = EffectOf(in, d, callResult, context, depthChecked);
    if (depthChecked && d < e.inputs) {
      problem = at("stack underflow", pc);
      return -1;
    }
    if (depthChecked && (e.after > room || d > room)) {
      problem = at("stack deeper than the frame", pc);
      return -1;
    }
    // A handler starts with the received message on the stack.
    if (in.op == OP_WAIT && depthChecked && d + 1 > room) {
      problem = at("stack deeper than the frame", pc);
      return -1;
    }
    falls = ForEachBranch(in, [&](uint64_t target, bool handler) {
      if (problem.empty()) reach(target, handler ? d + 1 : e.after, pc);
    });
    if (!problem.empty()) return -1;
    if (falls && pc + in.length >= size) {
      problem = at("code runs off its end", pc);
      return -1;
    }
    return e.after;
  };

  // One pass in address order: decode, check operands, and carry the depth
  // along the fall-through and into forward jumps. The depth of each
  // reachable instruction must be the same on every path into it.
  bool fallsThrough = true;  // instruction 0 is entered at depth 0
  int32_t d = 0;
  InstructionView in;
  for (std::size_t pc = 0; pc < size; pc += in.length) {
    if (!DecodeInstruction(code, size, pc, in)) return at("illegal or truncated instruction", pc);
    start[pc] = 1;
    switch (in.info->form) {
      case OperandForm::Local:
        if (in.Index() >= cells) return at("local cell outside the frame", pc);
        break;
      case OperandForm::String:
        if (in.Index() >= stringCount) return at("string operand", pc);
        break;
      case OperandForm::Class:
        if (in.Index() >= classCount) return at("class operand", pc);
        break;
      case OperandForm::Wait:
        for (uint16_t i = 0; i < in.Count(); ++i)
          if (in.WaitMajor(i) >= stringCount || in.WaitMinor(i) >= stringCount) return at("wait message", pc);
        break;
      case OperandForm::Switch:
        for (uint16_t i = 1; i < in.Count(); ++i)
          if (in.SwitchKey(i) <= in.SwitchKey(i - 1)) return at("switch keys not ascending", pc);
        break;
      case OperandForm::Call:
      case OperandForm::Parent:
        if (in.Distance() > 0) return at("call receiver above the stack top", pc);
        break;
      default: break;
    }

    // The depth on entry: from the fall-through, from earlier jumps, or none
    // yet (then only a backward jump can still reach it).
    if (fallsThrough) {
      if (depth[pc] != kUnseen && depth[pc] != d && depthChecked)
        return at("stack depth differs between paths", pc);
      depth[pc] = d;
    } else if (depth[pc] != kUnseen) {
      d = depth[pc];
    } else {
      continue;  // fallsThrough stays false
    }
    d = step(in, d, pc);
    if (d < 0) return problem;
    fallsThrough = falls;
  }
  for (uint32_t t : forward)
    if (!start[t]) return at("jump target not on an instruction", t);
  firstWalk = false;

  // Code first reached by a backward jump: walked from there until it meets
  // code of known depth.
  while (!work.empty()) {
    std::size_t pc = work.back();
    work.pop_back();
    for (;;) {
      DecodeInstruction(code, size, pc, in);
      const int32_t after = step(in, depth[pc], pc);
      if (after < 0) return problem;
      if (!falls) break;
      const std::size_t next = pc + in.length;
      if (depth[next] != kUnseen) {
        if (depth[next] != after && depthChecked) return at("stack depth differs between paths", next);
        break;
      }
      depth[next] = after;
      pc = next;
    }
  }
  return "";
}

}  // namespace GSRuntime
