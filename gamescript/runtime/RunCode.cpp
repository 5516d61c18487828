#include "gamescript/runtime/RunCode.h"

#include <cstring>
#include <memory_resource>

#include "gamescript/runtime/Class.h"

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

}  // namespace

const uint8_t* MakeRunCode(GSFunction& function) {
  const std::span<const uint8_t> code = function.record->code;
  const std::size_t size = code.size();
  std::pmr::memory_resource* memory = function.owner->Functions().get_allocator().resource();
  auto* run = static_cast<uint8_t*>(memory->allocate(size, 1));
  std::memcpy(run, code.data(), size);
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
    if (!function.depthChecked) {
      run[pc] = RUN_CHECKED;
    } else {
      for (const Fusion& f : kFusions) {
        if (f.count == 0 || f.count > have || std::memcmp(f.ops, ops, f.count) != 0) continue;
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
  function.run = run;
  return run;
}

}  // namespace GSRuntime
