#pragma once
// A script thread's stack: untagged 32-bit cells holding arguments, locals,
// temporaries and call frames. Natives read the arguments of the current call
// and push their result; the interpreter pushes and pops frames.
//
// A frame takes four cells of the stack, as the frame words of a function
// record lay it out; what a frame records (function, return offset, caller's
// frame, argument base) is kept beside the cells, since a function record is
// not a 32-bit word.

#include <cstdint>
#include <cstring>
#include <string_view>

#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/LibraryFile.h"

namespace GSRuntime {

class GSClass;
class GSContext;
class GSObjectReference;
struct GSFunction;

struct GSFrame {
  GSFunction* function = nullptr;
  uint32_t returnOffset = 0;
  uint32_t argumentBase = 0;      // cell of the receiver's handle; the arguments follow
  uint32_t header = 0;            // header cell 0; the stack pointer starts on header + 3
  uint32_t receiver = 0;          // the frame's own reference to its receiver while it runs
  const uint8_t* code = nullptr;  // the run code the frame runs, chosen when it is entered first
  // Set by the interpreter as it enters the frame: the receiver's instance
  // and the cells of its block, which the frame's reference keeps alive;
  // whether the code's depth and kinds are proven; and the interpreter's run
  // that set them.
  GSScriptInstance* self = nullptr;
  uint32_t* selfCells = nullptr;
  uint32_t selfWords = 0;
  bool typed = false;
  // Pushed by a call from typed code of a run of the interpreter, for
  // verified code whose frame holds no reference cells, and not entered
  // since by another way: its return needs no look-up, and goes back to a
  // typed frame of the same run, never out of that run.
  bool plainReturn = false;
  uint64_t run = 0;
};

class GSStack {
public:
  static constexpr uint32_t kMaxFrames = kStackCells / 4;

  // Pushes one cell; false when the stack is full. Not [[nodiscard]]: a native
  // pushing its one result need not look, as its call's frame was made with
  // room for it, and a result that is missing fails the return.
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
  // Pushes a handle that owns a reference, marked as one for code whose
  // kinds are checked as it runs (a message a handler receives).
  [[nodiscard]] bool PushReference(uint32_t handle);
  // A new string of the context, its handle pushed with its one reference.
  [[nodiscard]] bool PushString(GSContext* context, std::string_view text);
  // The object's script handle, viewed as class `cls` when one is given (the
  // block of that class in its instance), the cell owning a reference of its
  // own. Null pushes 0; so does a class the object is not of, so that no
  // handle is ever seen as a block it does not have.
  [[nodiscard]] bool PushObject(const GSObjectReference* object, const GSClass* cls = nullptr);
  // The same without a reference: the cell borrows one the caller keeps.
  [[nodiscard]] bool PushObjectNoReference(const GSObjectReference* object, const GSClass* cls = nullptr);
  // `handle` viewed as class `cls`, without a reference; 0 as above.
  [[nodiscard]] bool PushHandleAs(uint32_t handle, const GSClass* cls);
  // From the current frame outward, the context of the first frame whose
  // receiver has one; null when none does.
  GSContext* GetContext() const;
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
  // The same for the interpreter, whose stack pointer never leaves the stack.
  void SetStackPointerInRange(int32_t sp) { m_sp = sp; }
  uint32_t& Cell(uint32_t i) { return m_cells[i % kStackCells]; }
  uint32_t* Cells() { return m_cells; }
  // The kind of each cell (a CellKind), kept only for frames of code whose
  // kinds the verifier could not prove: the interpreter checks them as it runs.
  uint8_t* Kinds() { return m_kinds; }

  // Frames. PushFrame places a frame for `function` over the receiver and
  // arguments already pushed and returns it; null (nothing written, the
  // overflow lines reported) when its frame size and `extra` cells do not fit.
  // The frame takes a reference to its receiver of its own, so that no
  // release inside it can end the running instance.
  GSFrame* PushFrame(GSFunction* function, uint32_t returnOffset, uint32_t extra = 0) {
    const int64_t below = int64_t(m_sp) + function->record->argumentBase;
    return PushFrame(function, returnOffset, extra,
                     below >= 0 ? HandleTable::Instance().Get(m_cells[below]) : nullptr);
  }
  // The same for a caller that has looked up the receiver's instance (the
  // instance of the handle in the receiver's cell, or null).
  inline GSFrame* PushFrame(GSFunction* function, uint32_t returnOffset, uint32_t extra,
                            GSScriptInstance* receiver);
  // The interpreter's call of a function whose code the verifier proved,
  // over its receiver (the instance of the handle in cell `argumentBase`,
  // not null) and arguments, which the caller has checked lie within its
  // own frame and end at cell `top`, the stack pointer it has in hand. Such
  // code never reads the four header cells, so only its locals and
  // temporaries start as zero. The caller enters the frame (its code,
  // receiver cells and run). `typedCaller`: the calling frame runs typed code.
  inline GSFrame* PushVerifiedFrame(GSFunction* function, uint32_t returnOffset, uint32_t argumentBase,
                                    int32_t top, GSScriptInstance* receiver, bool typedCaller);
  // Ends the current frame `f`, one of plainReturn, which returns `value`
  // (if any) to the cell of its receiver, and whose receiver lives on after
  // the frame's and the cell's references are given back. The caller has
  // checked all that.
  void PopVerifiedFrame(const GSFrame& f, bool returnsValue, uint32_t value) {
    --m_depth;
    m_cells[f.argumentBase] = returnsValue ? value : 0;
    m_sp = int32_t(f.argumentBase) - (returnsValue ? 0 : 1);
    f.self->refCount -= 2;
  }
  // Ends the current frame without a result; false (nothing changed) unless
  // the stack pointer stands on its header cell 3. `self`, when given, is the
  // instance of the frame's receiver, which the caller has in hand (the
  // frame's reference keeps it).
  [[nodiscard]] inline bool PopFrame(GSScriptInstance* self = nullptr);
  // Ends the current frame leaving the top cell where the receiver was; with
  // `noValueAllowed` an empty evaluation stack gives 0. `self` as above.
  [[nodiscard]] inline bool ReturnValue(bool noValueAllowed, GSScriptInstance* self = nullptr);
  // Ends every frame above `depth` (all by default) and empties the stack down
  // to where the lowest of them began.
  void Clear(uint32_t depth = 0);
  // "function %s, line %d" for each frame above `depth`, innermost first.
  void DumpFrames(uint32_t depth = 0) const;
  uint32_t Depth() const { return m_depth; }
  GSFrame* CurrentFrame() { return m_depth ? &m_frames[m_depth - 1] : nullptr; }
  GSFrame& FrameAt(uint32_t i) { return m_frames[i]; }

private:
  // A few cells, two at a time (a call to memset would cost more).
  static void ZeroCells(uint32_t* cells, uint32_t count) {
    const uint64_t zero = 0;
    uint32_t i = 0;
    for (; i + 2 <= count; i += 2) {
      std::memcpy(cells + i, &zero, sizeof zero);
      __asm__("" : : "r"(i));
    }
    if (i < count) cells[i] = 0;
  }
  inline void ReleaseFrameCells(const GSFrame& frame, GSScriptInstance* self = nullptr);
  void ReportOverflow() const;
  void MarkFrameKinds(const GSFrame& frame);
  void ReportReturnDepth(int32_t diff) const;
  uint32_t m_cells[kStackCells] = {};
  uint8_t m_kinds[kStackCells] = {};
  int32_t m_sp = -1;  // top cell; -1 when empty
  uint32_t m_argumentBase = 0;
  uint32_t m_depth = 0;
  GSFrame m_frames[kMaxFrames];
};

// Calls and returns are inline: the interpreter makes one per script call.
[[gnu::always_inline]] inline GSFrame* GSStack::PushFrame(GSFunction* function, uint32_t returnOffset,
                                                          uint32_t extra, GSScriptInstance* receiver) {
  const LibraryFunction& r = *function->record;
  const int64_t used = int64_t(m_sp) + 1;
  const int64_t below = int64_t(m_sp) + r.argumentBase;  // the receiver's cell
  if (m_depth >= kMaxFrames || int64_t(r.frameSize) + extra > int64_t(kStackCells) - used || below < 0) {
    ReportOverflow();
    return nullptr;
  }
  // The frame's cells up to its stack pointer start as zero: reference
  // locals hold null until stored. Evaluation cells are written before they
  // are read.
  ZeroCells(m_cells + (m_sp + 1), r.stackAdvance);  // m_sp + 1 >= 0
  GSFrame& f = m_frames[m_depth++];
  f.function = function;
  f.returnOffset = returnOffset;
  f.argumentBase = uint32_t(below);
  f.header = uint32_t(m_sp + int32_t(r.frameHeader));
  f.receiver = m_cells[below];
  f.code = nullptr;
  f.run = 0;
  f.plainReturn = false;
  if (receiver) ++receiver->refCount;
  m_sp += int32_t(r.stackAdvance);
  if (!function->depthChecked) MarkFrameKinds(f);
  return &f;
}

[[gnu::always_inline]] inline GSFrame* GSStack::PushVerifiedFrame(GSFunction* function, uint32_t returnOffset,
                                                                  uint32_t argumentBase, int32_t top,
                                                                  GSScriptInstance* receiver,
                                                                  bool typedCaller) {
  const LibraryFunction& r = *function->record;
  // top + 1 cells are in use; argumentBase <= top.
  if (m_depth >= kMaxFrames || r.frameSize > kStackCells - 1 - uint32_t(top)) {
    m_sp = top;
    ReportOverflow();
    return nullptr;
  }
  if (r.stackAdvance > 4) ZeroCells(m_cells + (top + 1), r.stackAdvance - 4);
  GSFrame& f = m_frames[m_depth++];
  f.function = function;
  f.returnOffset = returnOffset;
  f.argumentBase = argumentBase;
  f.header = uint32_t(top + int32_t(r.frameHeader));
  f.receiver = m_cells[argumentBase];
  f.plainReturn = typedCaller && r.referenceCells.empty();
  ++receiver->refCount;
  m_sp = top + int32_t(r.stackAdvance);
  return &f;
}

[[gnu::always_inline]] inline void GSStack::ReleaseFrameCells(const GSFrame& frame, GSScriptInstance* self) {
  const LibraryFunction& r = *frame.function->record;
  for (std::size_t i = 0; i < r.referenceCells.size(); ++i) {
    uint32_t& cell = m_cells[frame.argumentBase + r.referenceCells[i]];
    const uint32_t h = cell;
    cell = 0;
    ReleaseHandle(h);
  }
  const uint32_t receiver = m_cells[frame.argumentBase];
  m_cells[frame.argumentBase] = 0;
  // The receiver's cell and the frame hold the same handle, unless code
  // whose kinds were checked as it ran stored into that cell.
  if (receiver == frame.receiver) {
    GSScriptInstance* i = self ? self : HandleTable::Instance().Get(receiver);
    if (i && i->refCount > 2) {
      i->refCount -= 2;
      return;
    }
  }
  ReleaseHandle(receiver);
  ReleaseHandle(frame.receiver);
}

[[gnu::always_inline]] inline bool GSStack::PopFrame(GSScriptInstance* self) {
  if (m_depth == 0) return false;
  const GSFrame& f = m_frames[m_depth - 1];
  if (m_sp != int32_t(f.header + 3)) return false;
  ReleaseFrameCells(f, self);
  m_sp = int32_t(f.argumentBase) - 1;
  --m_depth;
  return true;
}

[[gnu::always_inline]] inline bool GSStack::ReturnValue(bool noValueAllowed, GSScriptInstance* self) {
  if (m_depth == 0) return false;
  const GSFrame& f = m_frames[m_depth - 1];
  const int32_t diff = m_sp - int32_t(f.header);
  if (diff != 4 && !(diff == 3 && noValueAllowed)) {
    ReportReturnDepth(diff);
    return false;
  }
  const uint32_t value = diff == 4 ? m_cells[m_sp] : 0;
  ReleaseFrameCells(f, self);
  m_sp = int32_t(f.argumentBase);
  m_cells[m_sp] = value;
  --m_depth;
  return true;
}

// The native-call helpers of the registry's natives.
inline float GetNativeFloatParameter(const GSStack& stack, uint32_t argument) {
  return stack.FloatArgument(argument);
}
[[nodiscard]] inline bool PushNativeFloatResult(GSStack& stack, float f) { return stack.PushFloat(f); }

}  // namespace GSRuntime
