#pragma once
// The cells of a script thread's stack as natives see them: the arguments of
// the current call and the push of a result. Frames and the run loop build on
// this.

#include <cstdint>
#include <cstring>

#include "gamescript/runtime/LibraryFile.h"

namespace GSRuntime {

class GSStack {
public:
  // Pushes one cell; false when the stack is full.
  bool Push(uint32_t cell) {
    if (m_sp + 1 >= int32_t(kStackCells)) return false;
    m_cells[++m_sp] = cell;
    return true;
  }
  bool PushFloat(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return Push(bits);
  }
  // Argument cell i of the current call (0 is the receiver's handle); 0 past
  // the top of the stack.
  uint32_t Argument(uint32_t i) const {
    const uint64_t at = uint64_t(m_argumentBase) + i;
    return at <= uint64_t(int64_t(m_sp) < 0 ? 0 : m_sp) && at < kStackCells ? m_cells[at] : 0;
  }
  float FloatArgument(uint32_t i) const {
    float f;
    const uint32_t bits = Argument(i);
    std::memcpy(&f, &bits, 4);
    return f;
  }
  uint32_t Top() const { return m_sp >= 0 ? m_cells[m_sp] : 0; }
  int32_t StackPointer() const { return m_sp; }
  // Where the current call's arguments start; the caller checks the range.
  void SetArgumentBase(uint32_t cell) { m_argumentBase = cell < kStackCells ? cell : 0; }
  void SetStackPointer(int32_t sp) {
    m_sp = sp < -1 ? -1 : sp >= int32_t(kStackCells) ? int32_t(kStackCells) - 1 : sp;
  }
  uint32_t& Cell(uint32_t i) { return m_cells[i % kStackCells]; }

private:
  uint32_t m_cells[kStackCells] = {};
  int32_t m_sp = -1;  // top cell; -1 when empty
  uint32_t m_argumentBase = 0;
};

// The native-call helpers of the registry's natives.
inline float GetNativeFloatParameter(const GSStack& stack, uint32_t argument) {
  return stack.FloatArgument(argument);
}
inline bool PushNativeFloatResult(GSStack& stack, float f) { return stack.PushFloat(f); }

}  // namespace GSRuntime
