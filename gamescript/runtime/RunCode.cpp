#include "gamescript/runtime/RunCode.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory_resource>

#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/Verifier.h"

namespace GSRuntime {

namespace {

struct Fusion {
  uint8_t run;
  uint8_t count;
  uint8_t ops[5];
};

// Longer sequences first: the first that matches is taken.
constexpr Fusion kFusions[] = {
#define GS_RUN_FUSION(name, count, ...) {RUN_##name, count, {__VA_ARGS__}},
    GS_RUN_OPCODES(GS_RUN_FUSION)
#undef GS_RUN_FUSION
};
constexpr std::size_t kLongest = 5;

std::pmr::memory_resource* MemoryOf(const GSFunction& function) { return function.owner->Memory(); }

// A copy of the function's code, of checked code (every opcode RUN_CHECKED)
// or typed code (sequences fused; the calls of `observed`, when given,
// CALL_OBSERVED).
const uint8_t* Translate(const GSFunction& function, bool typed, const ObservedCalls* observed) {
  const std::span<const uint8_t> code = function.record->code;
  const std::size_t size = code.size();
  auto* run = static_cast<uint8_t*>(MemoryOf(function)->allocate(size, 1));
  std::memcpy(run, code.data(), size);
  if (observed)
    for (const ObservedCalls::Site& s : observed->sites) run[s.offset] = RUN_CALL_OBSERVED;
  // The opcodes of the instructions from the current one on, as far as
  // the longest sequence reaches; refilled as the walk moves.
  uint8_t ops[kLongest];
  std::size_t starts[kLongest + 1];
  std::size_t have = 0;
  starts[0] = 0;
  for (std::size_t pc = 0; pc < size;) {
    while (have < kLongest && starts[have] < size) {
      const std::size_t length = InstructionLength(code.data(), size, starts[have]);
      if (length == 0) break;  // verified code decodes whole; nothing past this is used
      ops[have] = code[starts[have]];
      starts[have + 1] = starts[have] + length;
      ++have;
    }
    if (have == 0) {
      // Verified code never gets here; anything else stops at the first byte that is no instruction.
      if (pc < size) run[pc] = kIllegalOpcode;
      break;
    }
    if (!typed) {
      run[pc] = RUN_CHECKED;
    } else if (ops[0] == OP_LDLO && ReadU16(code.data() + pc + 1) == 0) {
      run[pc] = RUN_SELF;
    } else if (run[pc] == ops[0]) {  // not an observed call
      for (const Fusion& f : kFusions) {
        if (f.count == 0 || f.count > have || std::memcmp(f.ops, ops, f.count) != 0) continue;
        if (f.run == RUN_LO_STR_SCAT_STLO &&
            ReadU16(code.data() + starts[0] + 1) != ReadU16(code.data() + starts[3] + 1))
          continue;
        run[pc] = f.run;
        break;
      }
    }
    // Every instruction start is tried: a jump into a sequence finds the
    // sequences that begin there.
    std::memmove(ops, ops + 1, have - 1);
    std::memmove(starts, starts + 1, have * sizeof starts[0]);
    --have;
    pc = starts[0];
  }
  return run;
}

// The calls of the function whose callee its library cannot name.
ObservedCalls* ListCalls(const GSFunction& function) {
  auto* memory = MemoryOf(function);
  auto* observed =
      new (memory->allocate(sizeof(ObservedCalls), alignof(ObservedCalls))) ObservedCalls(memory);
  const GSLibrary* library = function.owner->Library();
  const std::span<const uint8_t> code = function.record->code;
  InstructionView in;
  for (std::size_t pc = 0; pc < code.size() && DecodeInstruction(code.data(), code.size(), pc, in);
       pc += in.length)
    if ((in.op == OP_CALL || in.op == OP_CALLN) &&
        !library->SlotFunction(in.Slot(), uint32_t(1 - in.Distance())))
      observed->sites.push_back({uint32_t(pc), 0, nullptr});
  return observed;
}

ObservedCalls::Site* FindSite(const ObservedCalls& observed, uint32_t offset) {
  auto& sites = const_cast<std::pmr::vector<ObservedCalls::Site>&>(observed.sites);
  const auto at = std::lower_bound(sites.begin(), sites.end(), offset,
                                   [](const ObservedCalls::Site& s, uint32_t o) { return s.offset < o; });
  return at != sites.end() && at->offset == offset ? &*at : nullptr;
}

// What a call reaches for the second walk: what the load knew, and for the
// other calls what they reached.
struct ObservedContext {
  const GSFunction* function;
  const ObservedCalls* observed;
  static CallKnowledge Shape(void* context, const InstructionView& call, const LibraryFunction*& callee) {
    const auto* self = static_cast<const ObservedContext*>(context);
    if (call.op == OP_CALLP) {
      if (!self->function->inherited) return CallKnowledge::None;
      callee = self->function->inherited->record;
      return CallKnowledge::Known;
    }
    const GSLibrary* library = self->function->owner->Library();
    if (const GSFunction* known = library->SlotFunction(call.Slot(), uint32_t(1 - call.Distance()))) {
      callee = known->record;
      return CallKnowledge::Known;
    }
    const uint32_t offset = uint32_t(call.operands - 1 - self->function->record->code.data());
    const ObservedCalls::Site* site = call.op == OP_START ? nullptr : FindSite(*self->observed, offset);
    if (!site || !site->callee) return CallKnowledge::Unknown;
    callee = site->callee;
    return CallKnowledge::Known;
  }
};

}  // namespace

const uint8_t* MakeRunCode(GSFunction& function) {
  function.run = Translate(function, function.depthChecked, nullptr);
  return function.run;
}

const uint8_t* EntryRunCode(GSFunction& function) {
  const uint8_t* run = function.run ? function.run : MakeRunCode(function);
  if (function.depthChecked) return run;
  ObservedCalls* observed = function.observed ? function.observed : (function.observed = ListCalls(function));
  if (observed->state == ObservedCalls::Typed) return observed->typed;
  if (observed->state == ObservedCalls::Checked || observed->reached < observed->sites.size()) return run;
  // Every such call has been reached: one walk of the verifier with what they reached.
  observed->state = ObservedCalls::Checked;
  ObservedContext context{&function, observed};
  bool typed = false;
  constexpr std::size_t kAny = std::numeric_limits<std::size_t>::max();  // operands were checked at load
  if (!VerifyCode(*function.record, kAny, kAny, &ObservedContext::Shape, &context, typed).empty() || !typed)
    return run;
  observed->typed = Translate(function, true, observed);
  observed->state = ObservedCalls::Typed;
  return observed->typed;
}

void RecordCall(GSFunction& function, uint32_t offset, const GSFunction& callee) {
  ObservedCalls* observed = function.observed;
  ObservedCalls::Site* site = observed ? FindSite(*observed, offset) : nullptr;
  if (!site) return;
  if (!site->callee) {
    site->callee = callee.record;
    site->shape = callee.shape;
    ++observed->reached;
  } else if (site->shape != callee.shape) {
    observed->state = ObservedCalls::Checked;  // a call of two shapes stays checked
  }
}

uint32_t RecordedShape(const GSFunction& function, uint32_t offset) {
  const ObservedCalls::Site* site = function.observed ? FindSite(*function.observed, offset) : nullptr;
  return site && site->callee ? site->shape : GSLibrary::kMixedShapes;
}

void DropTypedRunCode(GSFunction& function) {
  if (function.observed) function.observed->state = ObservedCalls::Checked;
}

}  // namespace GSRuntime
