// The run loop: one handler per opcode of the instruction table, threaded
// dispatch through a table of label addresses. Code of a function whose
// stack depth the verifier proved runs without checks; other code runs
// through a prologue that bounds every push and pop by the frame.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/GameObject.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/MachineState.h"
#include "gamescript/runtime/Native.h"
#include "gamescript/runtime/Objects.h"
#include "gamescript/runtime/RunCode.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "gamescript/runtime/Thread.h"
#include "gamescript/runtime/Verifier.h"

#if !defined(__GNUC__)
#error "the run loop needs computed goto (g++ or clang)"
#endif

namespace GSRuntime {

namespace {

const char* const kErrorNames[] = {
    "ER_Done",
    "ER_Blocked",
    "ER_IllegalInstruction",
    "ER_DivideByZero",
    "ER_NullArrayReference",
    "ER_ArrayOutOfBounds",
    "ER_ArrayRangeError",
    "ER_NullStringReference",
    "ER_StringOutOfBounds",
    "ER_NullReference",
    "ER_ClassCreateError",
    "ER_NativeCallError",
    "ER_StackOverflow",
    "ER_NoStackFrame",
    "ER_ThreadError",
    "ER_StackReturnError",
    "ER_Exception",
    "ER_LinkError",
    "ER_Timeout",
};

GSString* AsString(uint32_t handle) {
  GSObjectReference* o = GetObject(handle);
  return o && o->Type() == ObjectString ? static_cast<GSString*>(o) : nullptr;
}

GSArray* AsArray(uint32_t handle) {
  GSObjectReference* o = GetObject(handle);
  return o && o->Type() == ObjectArray ? static_cast<GSArray*>(o) : nullptr;
}

// The handle of `instance` viewed as `target` (its class or an ancestor); 0 when it is neither.
uint32_t ViewAs(GSScriptInstance* instance, const GSClass* target) {
  const GSClass* cls = instance ? instance->cls : nullptr;
  if (!cls || !target) return 0;
  if (cls == target) return instance->HandleOfBlock(0);
  for (const GSAncestor& a : cls->Ancestors())
    if (a.cls == target) return instance->HandleOfBlock(uint32_t(a.offset));
  return 0;
}

int32_t ToInt(float f) {
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0f) return INT32_MAX;
  if (f <= -2147483648.0f) return INT32_MIN;
  return int32_t(f);
}

uint32_t Bits(float f) { return std::bit_cast<uint32_t>(f); }
float Float(uint32_t u) { return std::bit_cast<float>(u); }

// A comparison's result: -1, 0 or 1. The order itself, for ints: a wrapping
// difference would invert it near the ends of the range.
uint32_t Order(int32_t a, int32_t b) { return uint32_t((a > b) - (a < b)); }
// For floats, the difference's sign; NaN compares as equal.
uint32_t Sign(float d) { return d > 0 ? 1u : d < 0 ? uint32_t(-1) : 0u; }

// Whether the receiver and arguments at `kinds` (the receiver first) are of
// the kinds `callee`'s frame takes them as: its reference cells are released
// when it ends.
bool ArgumentsFit(const uint8_t* kinds, const LibraryFunction& callee) {
  thread_local std::vector<uint8_t> reference(kStackCells, 0);
  const uint32_t n = callee.parameters;
  for (std::size_t i = 0; i < callee.referenceCells.size(); ++i)
    if (callee.referenceCells[i] < n) reference[callee.referenceCells[i]] = 1;
  bool fit = kinds[0] & kKindReference;
  for (uint32_t i = 1; i < n && fit; ++i) fit = kinds[i] & (reference[i] ? kKindReference : kKindNumber);
  for (std::size_t i = 0; i < callee.referenceCells.size(); ++i)
    if (callee.referenceCells[i] < n) reference[callee.referenceCells[i]] = 0;
  return fit;
}

// Runs a class initialiser for `handle` on the running thread, or on the
// shared thread when none runs.
bool RunInitialiser(GSFunction& initialiser, uint32_t handle) {
  return CallScriptFunction(initialiser, handle, nullptr, 0, nullptr) == ER_Done;
}

}  // namespace

void PayRunBudget(uint64_t bytes) {
  MachineState& state = Machine();
  if (state.runNesting > 0) state.runLeft -= int64_t(bytes / kBytesPerBudgetByte);
}

bool PayForOutput(uint64_t bytes) {
  MachineState& state = Machine();
  if (state.runNesting == 0) return true;
  if (state.runLeft < 0 || bytes > uint64_t(state.runLeft)) return false;
  state.runLeft -= int64_t(bytes);
  return true;
}

uint64_t RunBudgetBytesLeft() {
  const MachineState& state = Machine();
  if (state.runNesting == 0) return UINT64_MAX;
  return state.runLeft > 0 ? uint64_t(state.runLeft) * kBytesPerBudgetByte : 0;
}

const char* ErrorName(int32_t code) {
  return code >= 0 && code <= ER_Timeout ? kErrorNames[code] : "ER_Unknown";
}

GSThread* GSThread::Current() { return Machine().current; }

GSThread& SharedThread() {
  // Made once and kept to the end of the process, as the machine is.
  GSThread*& thread = Machine().sharedThread;
  if (!thread) thread = new GSThread(nullptr, GSThread::kSharedThread);
  return *thread;
}

void InstallInterpreter() { GSClass::SetInitialiserRunner(&RunInitialiser); }

void GSThread::Reset() {
  m_stack.Clear();
  m_queue.clear();
  DropHandlers();
  m_state = Ready;
  m_resume = 0;
  m_wait = 0.0f;
}

void GSThread::Exception(GSThread* thread, const char* text, bool keepRunning) {
  if (!thread) return;
  if (ScriptLogHook) {
    GSFrame* f = thread->m_stack.CurrentFrame();
    if (f)
      ScriptLogHook("%s (file %s)", text, f->function->owner->Library()->DisplayName().c_str());
    else
      ScriptLogHook("%s", text);
  }
  if (!keepRunning) thread->m_state = Stopped;
}

int32_t GSThread::Run(float elapsed) {
  if (m_state == Waiting) {
    if (m_wait == 0.0f) return ER_Blocked;
    m_wait -= elapsed;
    if (m_wait > 0.0f) return ER_Blocked;
    m_wait = 0.0f;
  }
  // The handlers of the wait that resumed the thread are done with.
  if (!m_handlers.empty()) DropHandlers();
  return Execute(0);
}

int32_t CallScriptFunction(GSFunction& function, uint32_t handle, const uint32_t* arguments,
                           uint32_t argumentCount, uint32_t* result) {
  GSThread* const current = Machine().current;
  return CallScriptFunctionOn(current ? *current : SharedThread(), function, handle, arguments, argumentCount,
                              result);
}

int32_t CallScriptFunctionOn(GSThread& thread, GSFunction& function, uint32_t handle,
                             const uint32_t* arguments, uint32_t argumentCount, uint32_t* result) {
  GSStack& stack = thread.Stack();
  if (function.IsNative() || argumentCount + 1 != function.record->parameters ||
      function.record->code.empty())
    return ER_LinkError;
  const int32_t sp = stack.StackPointer();
  const uint32_t depth = stack.Depth();
  const int32_t state = thread.State();
  const uint32_t resume = thread.ResumeOffset();
  if (!stack.Push(handle)) return ER_StackOverflow;
  AddReference(handle);
  bool pushed = true;
  for (uint32_t i = 0; i < argumentCount && pushed; ++i) pushed = stack.Push(arguments[i]);
  if (!pushed || !stack.PushFrame(&function, 0)) {
    // The receiver's reference is ours; the arguments stay the caller's.
    ReleaseHandle(handle);
    stack.SetStackPointer(sp);
    return ER_StackOverflow;
  }
  thread.SetResumeOffset(0);
  const int32_t code = thread.Execute(depth);
  if (code == ER_Done && function.ReturnsValue() && result) *result = stack.Cell(uint32_t(sp + 1));
  stack.SetStackPointer(sp);
  thread.SetState(state);
  thread.SetResumeOffset(resume);
  return code;
}

bool GSClass::CallFunction(GSScriptInstance* instance, std::string_view key, const uint32_t* arguments,
                           uint32_t argumentCount, uint32_t* result) {
  if (!instance || !instance->cls || InstanceWords() == 0) return false;
  int32_t index = 0, offset = 0;
  GSClass* holder = FindFunction(key, index, offset);
  GSFunction* function = holder ? holder->FunctionAt(std::size_t(index)) : nullptr;
  if (!function) return false;
  // The receiver is the instance's block of the class that holds the function.
  const uint32_t* block = instance->cls->GetClassData(instance, holder);
  uint32_t handle = block ? instance->HandleOfBlock(uint32_t(block - instance->cells)) : 0;
  if (!handle) return false;
  // The instance's own override runs, as for a call from a script: a key names
  // the method where it is declared, and a derived class's version must answer.
  if (function->record->slot >= 0)
    if (const HandleView* v = HandleTable::Instance().Find(handle)) {
      const auto& dispatch = instance->cls->DispatchTable();
      const uint64_t slot = uint64_t(v->dispatchBase) + uint32_t(function->record->slot);
      GSFunction* own = slot < dispatch.size() ? dispatch[slot].function : nullptr;
      const uint32_t self = own ? instance->HandleOfBlock(uint32_t(dispatch[slot].offset)) : 0;
      if (self && MethodPart(own->key) == MethodPart(function->key)) {
        function = own;
        handle = self;
      }
    }
  if (!(function->record->flags & kFunctionThread))
    return CallScriptFunction(*function, handle, arguments, argumentCount, result) == ER_Done;

  if (function->IsNative() || argumentCount + 1 != function->record->parameters ||
      function->record->code.empty())
    return false;
  GSObjectReference* native = instance->native;
  GSGameObject* owner =
      native && native->Type() == ObjectGame ? dynamic_cast<GSGameObject*>(native) : nullptr;
  GSThread* thread = owner ? owner->StartThread() : nullptr;
  if (!thread) return false;
  GSStack& stack = thread->Stack();
  bool pushed = stack.Push(handle);
  for (uint32_t i = 0; i < argumentCount && pushed; ++i) pushed = stack.Push(arguments[i]);
  if (!pushed || !stack.PushFrame(function, 0)) {
    stack.SetStackPointer(-1);
    owner->StopThread(thread);
    return false;
  }
  AddReference(handle);
  return true;
}

// g++ would pack a frame's fields into vector registers before storing
// them, which costs a call more instructions than it saves.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("no-tree-slp-vectorize")
#endif
// The loop's speed depends on where it starts: on a cache line, it does not
// move with unrelated code linked before it.
__attribute__((aligned(64))) int32_t GSThread::Execute(const uint32_t depth) {
  // Handlers of the instruction set, then of the run opcodes; no other
  // byte is ever an opcode of run code.
  static const void* handlerOf[256];
  if (!handlerOf[0]) {
    const void* const handlers[kRunOpcodeEnd] = {
#define GS_LABEL(name, form, stack, inputs) &&L_##name,
        GS_OPCODES(GS_LABEL)
#undef GS_LABEL
#define GS_RUN_LABEL(name, count, ...) &&R_##name,
            GS_RUN_OPCODES(GS_RUN_LABEL)
#undef GS_RUN_LABEL
    };
    for (int op = 0; op < 256; ++op) handlerOf[op] = op < kRunOpcodeEnd ? handlers[op] : &&L_illegal;
  }

  // Taken once: the handlers below reach the state through this name.
  MachineState& machine = Machine();
  if (machine.runNesting++ == 0) machine.runLeft = kRunBudget;
  GSThread* const savedThread = machine.current;
  machine.current = this;
  m_state = Ready;

  HandleTable& handles = machine.handles;
  uint32_t* const cells = m_stack.Cells();
  uint8_t* const kinds = m_stack.Kinds();
  int32_t error = ER_Done;
  uint32_t* sp = cells + m_stack.StackPointer();
  // The running frame; what else it runs with (its receiver's cells,
  // whether its code is typed) is kept in it, so that a return finds the
  // caller's as it left them.
  GSFrame* cur = nullptr;
  GSFunction* fn = nullptr;
  const uint8_t* code = nullptr;
  const uint8_t* pc = nullptr;
  const uint8_t* mark = nullptr;
  uint32_t* fp = nullptr;
  uint8_t op = 0;
  // Frames this run entered carry its number; a frame entered by an earlier
  // run (one that blocked) is entered afresh when it is returned to.
  const uint64_t run = ++machine.runs;

#define NEXT goto* handlerOf[op = *pc++]
#define FAIL(code)  \
  do {              \
    error = (code); \
    goto fail;      \
  } while (0)
  // Transfers of control pay the bytes run since the last one.
#define PAY()                                                 \
  do {                                                        \
    if ((machine.runLeft -= pc - mark) < 0) FAIL(ER_Timeout); \
  } while (0)
#define JUMP(target)      \
  do {                    \
    pc = code + (target); \
    mark = pc;            \
    NEXT;                 \
  } while (0)
  // Enters `frame` (the current one); pc goes to `offset`. `view` is the
  // receiver handle's view when the caller has it, else null.
#define ENTER_FRAME(frame, offset, view)                                                   \
  do {                                                                                     \
    cur = (frame);                                                                         \
    fn = cur->function;                                                                    \
    if (!cur->code) cur->code = fn->run && fn->depthChecked ? fn->run : EntryRunCode(*fn); \
    code = cur->code;                                                                      \
    cur->typed = fn->depthChecked || code != fn->run;                                      \
    pc = code + (offset);                                                                  \
    mark = pc;                                                                             \
    fp = cells + cur->argumentBase;                                                        \
    const HandleView* v_ = (view);                                                         \
    if (!v_) v_ = handles.Find(fp[0]);                                                     \
    if (!v_ || !v_->instance) FAIL(ER_NullReference);                                      \
    GSScriptInstance* const self_ = v_->instance;                                          \
    const uint32_t block_ = v_->block;                                                     \
    cur->self = self_;                                                                     \
    cur->selfCells = self_->cells + block_;                                                \
    cur->selfWords = self_->words > block_ ? self_->words - block_ : 0;                    \
    cur->run = run;                                                                        \
    cur->plainReturn = false;                                                              \
  } while (0)
#define ENTER(offset) ENTER_FRAME(m_stack.CurrentFrame(), offset, nullptr)
  // Back in the caller's frame (`frame`, now the current one) at `offset`:
  // as it was left, when this run entered it.
#define RESUME(frame, offset)              \
  do {                                     \
    GSFrame* const back_ = (frame);        \
    if (back_->run != run) {               \
      ENTER_FRAME(back_, offset, nullptr); \
    } else {                               \
      cur = back_;                         \
      fn = cur->function;                  \
      code = cur->code;                    \
      pc = code + (offset);                \
      mark = pc;                           \
      fp = cells + cur->argumentBase;      \
    }                                      \
  } while (0)
#define SAVE() m_stack.SetStackPointerInRange(int32_t(sp - cells))
#define LOAD() (sp = cells + m_stack.StackPointer())
#define I(x) int32_t(x)
#define NEW_STRING(text, into)                                     \
  do {                                                             \
    GSString* s_ = GSString::Create(ContextOf(cur->self), (text)); \
    if (!s_) FAIL(ER_ArrayOutOfBounds);                            \
    (into) = s_->GetScriptHandle();                                \
  } while (0)
  // Handler shorthands; all but LOCAL end the handler. A handler's operands
  // start at pc: STEP goes past `bytes` of them to the next instruction,
  // BRANCH_AT pays and jumps to the u32 target at pc + `at`, and LOCAL(at) is
  // the frame cell named by the u16 at pc + `at`. PUSH pushes a cell.
#define STEP(bytes) \
  do {              \
    pc += (bytes);  \
    NEXT;           \
  } while (0)
#define BRANCH_AT(at)  \
  do {                 \
    pc += (at);        \
    PAY();             \
    JUMP(ReadU32(pc)); \
  } while (0)
#define LOCAL(at) fp[ReadU16(pc + (at))]
#define PUSH(value)  \
  do {               \
    sp[1] = (value); \
    ++sp;            \
    NEXT;            \
  } while (0)
  // The top cells as the instruction table names them: a b (b on top) as
  // cells, x y as floats; the result replaces them.
#define BINARY(result)                      \
  do {                                      \
    const uint32_t &a = sp[-1], &b = sp[0]; \
    sp[-1] = (result);                      \
    --sp;                                   \
    NEXT;                                   \
  } while (0)
#define BINARY_F(result)                             \
  do {                                               \
    const float x = Float(sp[-1]), y = Float(sp[0]); \
    sp[-1] = (result);                               \
    --sp;                                            \
    NEXT;                                            \
  } while (0)
#define UNARY(result)          \
  do {                         \
    const uint32_t& a = sp[0]; \
    sp[0] = (result);          \
    NEXT;                      \
  } while (0)
#define UNARY_F(result)           \
  do {                            \
    const float x = Float(sp[0]); \
    sp[0] = (result);             \
    NEXT;                         \
  } while (0)

  if (m_stack.Depth() <= depth) FAIL(ER_NoStackFrame);
  ENTER(m_resume);
  NEXT;

R_CHECKED : {
  // Bounds of code whose depth was not proven at load.
  op = fn->record->code[std::size_t(pc - 1 - code)];
  if (op >= kOpcodeCount) goto L_illegal;
  const OpcodeInfo& info = kOpcodeTable[op];
  int32_t inputs = info.inputs, grows = info.stack > 0 ? info.stack : 0;
  if (info.form == OperandForm::Call || info.form == OperandForm::Parent) {
    inputs = 1 - int16_t(ReadU16(pc));
    grows = 0;
  } else if (op == OP_RETV || op == OP_RETVO || op == OP_RET) {
    inputs = 0;  // the return checks its own distance
  }
  // Evaluation cells run from header cell 3 up to the frame's size.
  const GSFrame* frame = m_stack.CurrentFrame();
  const uint32_t* floor = cells + frame->header + 3;
  const uint32_t* limit = floor + (fn->record->frameSize - fn->record->stackAdvance);
  if (sp - floor < inputs) FAIL(ER_StackReturnError);
  if (sp + grows > limit) FAIL(ER_StackOverflow);
  // The kinds of the cells it reads and leaves; calls check theirs.
  uint8_t* const top = kinds + (sp - cells);
  const KindEffect& k = kKindTable.op[op];
  if (!k.special) {
    uint8_t in[4];
    uint8_t* const base = top + 1 - k.inputs;
    for (uint8_t i = 0; i < k.inputs; ++i) {
      in[i] = base[i];
      if ((in[i] & k.need[i]) != k.need[i]) FAIL(ER_IllegalInstruction);
    }
    for (uint8_t i = 0; i < k.outputs; ++i)
      base[i] = k.out[i] >= KindEffect::kFromInput ? in[k.out[i] - KindEffect::kFromInput] : k.out[i];
  } else if (info.form == OperandForm::Local) {
    const uint32_t index = ReadU16(pc);
    uint8_t& cell = kinds[(fp - cells) + index];
    const bool temporary = index >= fn->record->parameters + fn->record->locals;
    switch (op) {
      case OP_LDL:
      case OP_LDLO:
        if (!(cell & (op == OP_LDL ? kKindNumber : kKindReference))) FAIL(ER_IllegalInstruction);
        top[1] = cell;
        break;
      case OP_STLO:
      case OP_STLOK:
        if (!(cell & kKindReference) || !(*top & kKindReference)) FAIL(ER_IllegalInstruction);
        cell = *top;
        break;
      default:  // STL, STLK
        if ((op == OP_STLK || !temporary) && !(*top & kKindNumber)) FAIL(ER_IllegalInstruction);
        cell = *top;
        break;
    }
  }
  goto* handlerOf[op];
}

L_illegal:
  FAIL(ER_IllegalInstruction);

#include "gamescript/runtime/RunCodeHandlers.inc"

  // ---------------------------------------------------------------- numbers
L_ADDI:
  BINARY(a + b);
L_SUBI:
  BINARY(a - b);
L_MULI:
  BINARY(a * b);
L_DIVI:
  if (sp[0] == 0) FAIL(ER_DivideByZero);
  BINARY(I(b) == -1 ? 0u - a : uint32_t(I(a) / I(b)));  // INT_MIN / -1 wraps to INT_MIN
L_MODI:
  if (sp[0] == 0) FAIL(ER_DivideByZero);
  BINARY(I(b) == -1 ? 0u : uint32_t(I(a) % I(b)));
L_NEGI:
  UNARY(0u - a);
L_INCI:
  UNARY(a + 1);
L_DECI:
  UNARY(a - 1);
L_ITOF:
  UNARY(Bits(float(I(a))));
L_CMPI:
  BINARY(Order(I(a), I(b)));
L_PUSH0:
  PUSH(0);
L_PUSH1:
  PUSH(1);
L_EQ:
L_LNOT:
  UNARY(a == 0);
L_NE:
  UNARY(a != 0);
L_AND:
  BINARY(a & b);
L_OR:
  BINARY(a | b);
L_XOR:
  BINARY(a ^ b);
L_COMPL:
  UNARY(~a);
L_SHL:
  BINARY(a << (b & 31));
L_SHR:
  BINARY(a >> (b & 31));
L_ADDF:
  BINARY_F(Bits(x + y));
L_SUBF:
  BINARY_F(Bits(x - y));
L_MULF:
  BINARY_F(Bits(x * y));
L_DIVF:
  if (sp[0] == 0) FAIL(ER_DivideByZero);  // +0.0; -0.0 divides
  BINARY_F(Bits(x / y));
L_MODF:
  if (sp[0] == 0) FAIL(ER_DivideByZero);
  BINARY_F(Bits(float(std::fmod(double(x), double(y)))));
L_NEGF:
  UNARY(a ^ 0x80000000u);
L_INCF:
  UNARY_F(Bits(x + 1.0f));
L_DECF:
  UNARY_F(Bits(x - 1.0f));
L_FTOI:
  UNARY_F(uint32_t(ToInt(x)));
L_CMPF:
  BINARY_F(Sign(x - y));

  // ---------------------------------------------------------------- locals and the stack
L_PUSHK:
  *++sp = ReadU32(pc);
  STEP(4);
L_LDL:
  *++sp = LOCAL(0);
  STEP(2);
L_LDLO:
  *++sp = LOCAL(0);
  AddReference(*sp);
  STEP(2);
L_STL:
  LOCAL(0) = *sp--;
  STEP(2);
L_STLK:
  LOCAL(0) = *sp;
  STEP(2);
L_STLO : {
  uint32_t& cell = LOCAL(0);
  pc += 2;
  const uint32_t old = cell;
  cell = *sp--;
  ReleaseHandle(old);
  NEXT;
}
L_STLOK : {
  uint32_t& cell = LOCAL(0);
  pc += 2;
  const uint32_t old = cell;
  cell = *sp;
  AddReference(cell);
  ReleaseHandle(old);
  NEXT;
}
L_POP:
  --sp;
  NEXT;
L_POPO:
  ReleaseHandle(*sp--);
  NEXT;
L_DUP:
  PUSH(sp[0]);
L_DUPO:
  sp[1] = sp[0];
  ++sp;
  AddReference(*sp);
  NEXT;
L_DUP2O:
  sp[1] = sp[-1];
  sp[2] = sp[0];
  sp += 2;
  AddReference(sp[-1]);
  NEXT;
L_SWAP : {
  const uint32_t t = sp[0];
  sp[0] = sp[-1];
  sp[-1] = t;
  NEXT;
}

  // ---------------------------------------------------------------- jumps
L_JMP:
  BRANCH_AT(0);
#define CONDITIONAL(name, test, pops) \
  L_##name : {                        \
    const int32_t v = I(*sp);         \
    sp -= (pops);                     \
    if (test) BRANCH_AT(0);           \
    STEP(4);                          \
  }
  CONDITIONAL(JZ, v == 0, 1)
  CONDITIONAL(JNZ, v != 0, 1)
  CONDITIONAL(JZK, v == 0, 0)
  CONDITIONAL(JNZK, v != 0, 0)
  CONDITIONAL(JLT, v < 0, 1)
  CONDITIONAL(JLE, v <= 0, 1)
  CONDITIONAL(JGT, v > 0, 1)
  CONDITIONAL(JGE, v >= 0, 1)
#undef CONDITIONAL
L_LT:
  UNARY(I(a) < 0);
L_LE:
  UNARY(I(a) <= 0);
L_GT:
  UNARY(I(a) > 0);
L_GE:
  UNARY(I(a) >= 0);

  // ---------------------------------------------------------------- arrays
L_NEWA:
L_NEWAO : {
  GSArray* a = GSArray::Create(ContextOf(cur->self), op == OP_NEWAO);
  if (!a) FAIL(ER_ArrayOutOfBounds);
  const int32_t n = I(sp[0]);
  sp[0] = a->GetScriptHandle();
  if (n > 0 && !a->SetSize(n)) FAIL(ER_ArrayOutOfBounds);
  NEXT;
}
L_ALEN : {
  const uint32_t h = sp[0];
  GSArray* a = AsArray(h);
  if (!a) FAIL(ER_NullArrayReference);
  sp[0] = uint32_t(a->Size());
  ReleaseHandle(h);
  NEXT;
}
L_ACOPY : {
  const uint32_t h = sp[0];
  GSArray* a = AsArray(h);
  if (!a) FAIL(ER_NullArrayReference);
  GSArray* copy = GSArray::Create(ContextOf(cur->self), a->ObjectElements());
  if (!copy) FAIL(ER_ArrayOutOfBounds);
  sp[0] = copy->GetScriptHandle();
  const bool ok = copy->AssignRange(a, 0, int32_t(a->Size()));
  ReleaseHandle(h);
  if (!ok) FAIL(ER_ArrayOutOfBounds);
  NEXT;
}
L_LDA:
L_LDAO : {
  const uint32_t h = sp[-1];
  const int32_t i = I(sp[0]);
  --sp;
  GSArray* a = AsArray(h);
  if (!a) FAIL(ER_NullArrayReference);
  if (i < 0 || size_t(i) >= a->Size()) FAIL(ER_ArrayOutOfBounds);
  sp[0] = a->At(size_t(i));
  if (op == OP_LDAO) AddReference(sp[0]);
  ReleaseHandle(h);
  NEXT;
}
L_STA:
L_STAK:
L_STAO:
L_STAOK : {
  const uint32_t h = sp[-2], v = sp[0];
  const int32_t i = I(sp[-1]);
  const bool keep = op == OP_STAK || op == OP_STAOK;
  sp -= keep ? 2 : 3;
  if (keep) sp[0] = v;
  GSArray* a = AsArray(h);
  if (!a) FAIL(ER_NullArrayReference);
  if (i < 0) FAIL(ER_ArrayOutOfBounds);
  // A number stored among references would be released as one, and the reverse.
  if (a->ObjectElements() != (op == OP_STAO || op == OP_STAOK)) FAIL(ER_IllegalInstruction);
  if (op == OP_STA || op == OP_STAK) {
    if (size_t(i) >= a->Size() && !a->SetSize(int64_t(i) + 1)) FAIL(ER_ArrayOutOfBounds);
    a->Data()[i] = v;
  } else {
    if (size_t(i) >= GSArray::kMaxSize || !a->SetObjectElement(size_t(i), v)) FAIL(ER_ArrayOutOfBounds);
    if (!keep) ReleaseHandle(v);
  }
  ReleaseHandle(h);
  NEXT;
}
L_ASUB:
L_ASUBO : {
  const uint32_t h = sp[-2];
  const int32_t e = I(sp[-1]), s = I(sp[0]);
  sp -= 2;
  GSArray* a = AsArray(h);
  if (!a) FAIL(ER_NullArrayReference);
  GSArray* out = GSArray::Create(ContextOf(cur->self), a->ObjectElements());
  if (!out) FAIL(ER_ArrayOutOfBounds);
  sp[0] = out->GetScriptHandle();
  const bool ok = out->AssignRange(a, s, e);
  ReleaseHandle(h);
  if (!ok) FAIL(ER_ArrayOutOfBounds);
  NEXT;
}
L_ASET:
L_ASETK:
L_ASETO:
L_ASETOK : {
  const uint32_t h = sp[-3], r = sp[0];
  const int32_t e = I(sp[-2]), s = I(sp[-1]);
  const bool keep = op == OP_ASETK || op == OP_ASETOK;
  sp -= keep ? 3 : 4;
  if (keep) sp[0] = r;
  GSArray* a = AsArray(h);
  if (!a) FAIL(ER_NullArrayReference);
  GSArray* source = AsArray(r);
  if (r && !source) FAIL(ER_ArrayOutOfBounds);
  const bool ok = a->Splice(s, e, source);
  ReleaseHandle(h);
  if (!keep) ReleaseHandle(r);
  if (!ok) FAIL(ER_ArrayOutOfBounds);
  NEXT;
}

  // ---------------------------------------------------------------- strings
L_NEWS:
  NEW_STRING(std::string_view(), *++sp);
  NEXT;
L_LDSTR : {
  const uint16_t n = ReadU16(pc);
  pc += 2;
  NEW_STRING(fn->owner->Library()->String(n), *++sp);
  NEXT;
}
L_ITOS : {
  char text[16];
  std::snprintf(text, sizeof text, "%d", I(sp[0]));
  NEW_STRING(text, sp[0]);
  NEXT;
}
L_BTOS:
  NEW_STRING(sp[0] ? "true" : "false", sp[0]);
  NEXT;
L_FTOS : {
  char text[64];
  std::snprintf(text, sizeof text, "%f", double(Float(sp[0])));
  NEW_STRING(text, sp[0]);
  NEXT;
}
L_SCOPY : {
  const uint32_t h = sp[0];
  if (GSString* s = AsString(h)) {
    NEW_STRING(s->Text(), sp[0]);
    ReleaseHandle(h);
  }
  NEXT;
}
L_SLEN : {
  const uint32_t h = sp[0];
  GSString* s = AsString(h);
  if (!s) FAIL(ER_NullStringReference);
  sp[0] = uint32_t(s->Text().size());
  ReleaseHandle(h);
  NEXT;
}
L_LDCH : {
  const uint32_t h = sp[-1];
  const int32_t i = I(sp[0]);
  --sp;
  GSString* s = AsString(h);
  if (!s) FAIL(ER_NullStringReference);
  if (i < 0 || size_t(i) >= s->Text().size()) FAIL(ER_StringOutOfBounds);
  sp[0] = uint32_t(int32_t(static_cast<signed char>(s->Text()[size_t(i)])));
  ReleaseHandle(h);
  NEXT;
}
L_STCH:
L_STCHK : {
  const uint32_t h = sp[-2], c = sp[0];
  const int32_t i = I(sp[-1]);
  const bool keep = op == OP_STCHK;
  sp -= keep ? 2 : 3;
  if (keep) sp[0] = c;
  GSString* s = AsString(h);
  if (!s) FAIL(ER_NullStringReference);
  if (i < 0 || size_t(i) >= GSString::kMaxLength) FAIL(ER_StringOutOfBounds);
  std::string& text = s->Text();
  if (size_t(i) >= text.size() && !s->Reserve(size_t(i) + 1)) FAIL(ER_ArrayOutOfBounds);
  if (size_t(i) >= text.size()) {
    PayRunBudget(size_t(i) + 1 - text.size());
    text.reserve(size_t(i) + 1);  // one allocation of the counted size, not a doubling for the last character
    text.resize(size_t(i), ' ');
    text.push_back(char(c));
  } else {
    text[size_t(i)] = char(c);
  }
  ReleaseHandle(h);
  NEXT;
}
L_SSUB : {
  const uint32_t h = sp[-2];
  const int32_t e = I(sp[-1]), b = I(sp[0]);
  sp -= 2;
  GSString* s = AsString(h);
  if (!s) FAIL(ER_NullStringReference);
  // Clamped as GSString::Substring clamps; no string object lives across the dispatch.
  const std::string_view text = s->Text();
  const size_t from = b < 0 ? 0 : size_t(b);
  const size_t to = e < 0 || size_t(e) > text.size() ? text.size() : size_t(e);
  if (from > to) FAIL(ER_ArrayOutOfBounds);
  NEW_STRING(text.substr(from, to - from), sp[0]);
  ReleaseHandle(h);
  NEXT;
}
L_SSET:
L_SSETK : {
  const uint32_t h = sp[-3], t = sp[0];
  const int32_t e = I(sp[-2]), b = I(sp[-1]);
  const bool keep = op == OP_SSETK;
  sp -= keep ? 3 : 4;
  if (keep) sp[0] = t;
  GSString* s = AsString(h);
  if (!s) FAIL(ER_NullStringReference);
  GSString* insert = AsString(t);
  if (insert && s->Text().size() + insert->Text().size() > GSString::kMaxLength) FAIL(ER_ArrayOutOfBounds);
  const bool ok = s->Replace(b, e, insert);
  ReleaseHandle(h);
  if (!keep) ReleaseHandle(t);
  if (!ok) FAIL(ER_ArrayOutOfBounds);
  NEXT;
}
L_SCMP : {
  const uint32_t ha = sp[-1], hb = sp[0];
  --sp;
  GSString* a = AsString(ha);
  GSString* b = AsString(hb);
  int32_t r;
  if (a && b) {
    PayRunBudget(std::min(a->Text().size(), b->Text().size()));
    const int c = a->Text().compare(b->Text());
    r = (c > 0) - (c < 0);
  } else if (a) {
    r = a->Text().empty() ? 0 : 1;
  } else if (b) {
    r = b->Text().empty() ? 0 : -1;
  } else {
    r = 0;
  }
  sp[0] = uint32_t(r);
  ReleaseHandle(ha);
  ReleaseHandle(hb);
  NEXT;
}
L_SCAT : {
  const uint32_t ha = sp[-1], hb = sp[0];
  --sp;
  GSString* a = AsString(ha);
  GSString* b = AsString(hb);
  if (a && b) {
    if (a->Text().size() + b->Text().size() > GSString::kMaxLength) FAIL(ER_ArrayOutOfBounds);
    // s = s + t: when the sum goes back into the local that holds s, and
    // that local and this operand are its only holders, no one else sees s
    // and its text grows in place, literal t or not. Typed code keeps STLO in
    // its run code, and there the local is proven to hold a reference;
    // checked code (a function with calls its library cannot name) has every
    // opcode rewritten, so the next one is read from the record and the
    // local's tracked kind stands for the proof.
    const std::size_t next = std::size_t(pc - code);
    const std::span<const uint8_t> record = fn->record->code;
    const uint8_t nextOp = cur->typed ? *pc : next < record.size() ? record[next] : uint8_t(kOpcodeCount);
    if ((nextOp == OP_STLO || nextOp == OP_STLOK) && next + 3 <= record.size() && LOCAL(1) == ha &&
        (cur->typed || kinds[std::size_t(fp - cells) + ReadU16(pc + 1)] == kKindReference) &&
        a->GSString::Instance()->refCount == 2 && a->GSString::Context() == ContextOf(cur->self)) {
      if (!a->Reserve(a->Text().size() + b->Text().size())) FAIL(ER_ArrayOutOfBounds);
      a->Text().append(b->Text());
      PayRunBudget(b->Text().size());
      sp[0] = ha;  // its reference moves to the result
      ReleaseHandle(hb);
      NEXT;
    }
    NEW_STRING(a->Text() + b->Text(), sp[0]);
    ReleaseHandle(ha);
    ReleaseHandle(hb);
  } else if (a) {
    sp[0] = ha;  // its reference moves to the result
    ReleaseHandle(hb);
  } else if (b) {
    sp[0] = hb;
    ReleaseHandle(ha);
  } else {
    NEW_STRING(std::string_view(), sp[0]);
    ReleaseHandle(ha);
    ReleaseHandle(hb);
  }
  NEXT;
}

  // ---------------------------------------------------------------- objects
L_ISA : {
  const GSClass* target = fn->owner->Library()->ClassImports()[ReadU16(pc)].cls;
  pc += 2;
  const uint32_t h = sp[0];
  GSScriptInstance* i = handles.Get(h);
  if (!i) FAIL(ER_NullReference);
  sp[0] = i->cls && target && (i->cls == target || ViewAs(i, target) != 0);
  ReleaseHandle(h);
  NEXT;
}
L_NEW : {
  GSClass* cls = fn->owner->Library()->ClassImports()[ReadU16(pc)].cls;
  pc += 2;
  if (!cls) FAIL(ER_ClassCreateError);
  SAVE();
  GSContext* context = ContextOf(cur->self);
  const bool game = cls->IsDerivedFrom("GameObject");
  GSObject* object = game ? new GSGameObject() : new GSObject();
  if (!object->BindScriptClass(cls, context)) {
    delete object;
    m_state = Ready;  // the failed nested run stopped only itself
    FAIL(ER_ClassCreateError);
  }
  m_state = Ready;
  *++sp = object->GetScriptHandle();
  if (game) {
    auto* g = static_cast<GSGameObject*>(object);
    g->SetOwnedByScripts();
    // Not routed, it still works as an object; the log says why it hears nothing.
    if (GSRouter* router = context ? context->Router() : nullptr)
      (void)router->AddNewNode(g, "GSThread::New");
  }
  NEXT;
}
L_LDCLS : {
  GSClass* cls = fn->owner->Library()->ClassImports()[ReadU16(pc)].cls;
  pc += 2;
  SAVE();
  GSContext* context = ContextOf(cur->self);
  GSObject* object = context && cls ? context->GetStaticInstance(cls) : nullptr;
  m_state = Ready;
  *++sp = object ? object->GSObject::GetScriptHandle() : 0;
  AddReference(*sp);
  NEXT;
}
L_CAST : {
  const GSClass* target = fn->owner->Library()->ClassImports()[ReadU16(pc)].cls;
  pc += 2;
  if (!target) FAIL(ER_LinkError);
  const uint32_t h = sp[0];
  if (GSScriptInstance* i = handles.Get(h)) {
    // The operand's reference moves to the view; a failed cast drops it.
    sp[0] = ViewAs(i, target);
    if (!sp[0]) ReleaseHandle(h);
  }
  NEXT;
}
L_CMPO : {
  const uint32_t ha = sp[-1], hb = sp[0];
  --sp;
  sp[0] = handles.Get(ha) != handles.Get(hb);
  ReleaseHandle(ha);
  ReleaseHandle(hb);
  NEXT;
}
L_ISNULL:
L_NOTNULL : {
  const uint32_t h = sp[0];
  const bool null = handles.Get(h) == nullptr;
  sp[0] = op == OP_ISNULL ? null : !null;
  ReleaseHandle(h);
  NEXT;
}

// ---------------------------------------------------------------- members
#define MEMBER_OF(handle, out, m)                 \
  const HandleView* v_ = handles.Find(handle);    \
  if (!v_) FAIL(ER_NullReference);                \
  GSScriptInstance* out = v_->instance;           \
  const uint64_t at_ = uint64_t(v_->block) + (m); \
  if (at_ >= out->words) FAIL(ER_NullReference);
L_LDM:
L_LDMO : {
  const uint16_t m = ReadU16(pc);
  pc += 2;
  const uint32_t h = sp[0];
  MEMBER_OF(h, i, m)
  sp[0] = i->cells[at_];
  if (op == OP_LDMO) AddReference(sp[0]);
  ReleaseHandle(h);
  NEXT;
}
L_STM:
L_STMK:
L_STMO:
L_STMOK : {
  const uint16_t m = ReadU16(pc);
  pc += 2;
  const uint32_t h = sp[-1], v = sp[0];
  const bool keep = op == OP_STMK || op == OP_STMOK;
  sp -= keep ? 1 : 2;
  if (keep) sp[0] = v;
  MEMBER_OF(h, i, m)
  // A member that holds a reference takes only references, and the reverse.
  if (!i->cls || i->cls->IsReferenceCell(at_) != (op == OP_STMO || op == OP_STMOK))
    FAIL(ER_IllegalInstruction);
  if (op == OP_STM || op == OP_STMK) {
    i->cells[at_] = v;
  } else {
    StoreMember(i, uint32_t(at_), v);
    if (!keep) ReleaseHandle(v);
  }
  ReleaseHandle(h);
  NEXT;
}
#undef MEMBER_OF
#define SELF_MEMBER(m)            \
  const uint16_t m = ReadU16(pc); \
  pc += 2;                        \
  if (m >= cur->selfWords) FAIL(ER_NullReference);
#define SELF_KIND(m, reference)                                                                        \
  if (!cur->self->cls ||                                                                               \
      cur->self->cls->IsReferenceCell(uint64_t(cur->selfCells - cur->self->cells) + m) != (reference)) \
    FAIL(ER_IllegalInstruction);
L_LDS : {
  SELF_MEMBER(m)
  *++sp = cur->selfCells[m];
  NEXT;
}
L_LDSO : {
  SELF_MEMBER(m)
  *++sp = cur->selfCells[m];
  AddReference(*sp);
  NEXT;
}
L_STS : {
  SELF_MEMBER(m)
  SELF_KIND(m, false)
  cur->selfCells[m] = *sp--;
  NEXT;
}
L_STSK : {
  SELF_MEMBER(m)
  SELF_KIND(m, false)
  cur->selfCells[m] = *sp;
  NEXT;
}
L_STSO : {
  SELF_MEMBER(m)
  SELF_KIND(m, true)
  const uint32_t v = *sp--;
  StoreMember(cur->self, uint32_t(cur->selfCells - cur->self->cells) + m, v);
  ReleaseHandle(v);
  NEXT;
}
L_STSOK : {
  SELF_MEMBER(m)
  SELF_KIND(m, true)
  StoreMember(cur->self, uint32_t(cur->selfCells - cur->self->cells) + m, *sp);
  NEXT;
}
#undef SELF_MEMBER
#undef SELF_KIND

  // ---------------------------------------------------------------- calls
R_CALL_OBSERVED:
L_CALL:
L_CALLN : {
  const uint32_t site = uint32_t(pc - 1 - code);
  const int16_t d = int16_t(ReadU16(pc));
  const uint16_t k = ReadU16(pc + 2);
  pc += 4;
  uint32_t* receiver = sp + d;
  const HandleView* v = handles.Find(*receiver);
  if (!v || !v->instance->cls) FAIL(ER_NullReference);
  GSScriptInstance* instance = v->instance;
  const auto& dispatch = instance->cls->DispatchTable();
  const uint64_t slot = uint64_t(v->dispatchBase) + k;
  // The table's bytes, not its size: a size divides by the entry's.
  const char* const first = reinterpret_cast<const char*>(dispatch.data());
  const char* const end = reinterpret_cast<const char*>(std::to_address(dispatch.end()));
  if (slot * sizeof(GSDispatchEntry) >= uint64_t(end - first)) FAIL(ER_LinkError);
  const GSDispatchEntry& entry = dispatch.data()[slot];
  GSFunction* callee = entry.function;
  // A callee of another shape than the call was checked against would
  // unbalance the stack or release what it was not given.
  if (!callee) FAIL(ER_LinkError);
  // The slot and receiver's distance of the call: a shape gives the number
  // of parameter cells, so a callee of the shape agreed for both takes the
  // cells the call passes.
  const uint32_t call = uint32_t(k) | uint32_t(uint16_t(d)) << 16;
  if (call != fn->agreedCall || callee->shape != fn->agreedShape || op == RUN_CALL_OBSERVED || !cur->typed)
      [[unlikely]] {
    if (callee->record->parameters != uint32_t(1 - d)) FAIL(ER_LinkError);
    if (!cur->typed) {
      if (!ArgumentsFit(kinds + (receiver - cells), *callee->record)) FAIL(ER_LinkError);
      if (fn->observed) RecordCall(*fn, site, *callee);
    } else if (op == RUN_CALL_OBSERVED) {
      if (callee->shape != RecordedShape(*fn, site)) {
        DropTypedRunCode(*fn);
        FAIL(ER_LinkError);
      }
    } else {
      if (fn->owner->Library()->CallShape(k, uint32_t(1 - d)) != callee->shape) FAIL(ER_LinkError);
      fn->agreedCall = call;
      fn->agreedShape = callee->shape;
    }
    if (!callee->IsNative() && callee->record->code.empty()) FAIL(ER_LinkError);
  }
  // Most calls land in the block they were made through; others take the
  // instance's view of the callee's block.
  const uint32_t block = uint32_t(entry.offset);
  const bool ownView = block == v->block;
  const uint32_t self = ownView                            ? *receiver
                        : entry.view < instance->viewCount ? instance->views[entry.view]
                                                           : 0;
  if (!self) FAIL(ER_NullReference);
  *receiver = self;
  if (callee->IsNative()) {
    // A numeric native of the record's shape reads the argument cells and
    // nothing else: no frame is needed for it. The receiver's cell takes the
    // result and gives back its reference, as the frame's end would.
    GSNativeFunction* const native = callee->native;
    if (native && native->NumericFunction() && instance->native &&
        callee->shape == GSLibrary::PlainShape(native->NumericCells(), kKindNumber)) {
      const uint32_t held = *receiver;
      *receiver = native->NumericFunction()(receiver + 1);
      sp = receiver;
      if (!cur->typed) kinds[sp - cells] = kKindNumber;
      if (instance->refCount > 1)
        --instance->refCount;
      else
        ReleaseHandle(held);
      NEXT;
    }
    const bool value = callee->ReturnsValue();
    SAVE();
    if (!m_stack.PushFrame(callee, 0, value ? 1 : 0, instance)) FAIL(ER_StackOverflow);
    m_stack.SetArgumentBase(uint32_t(receiver - cells));
    GSObjectReference* object = instance->native;
    bool called = false;
    if (GSNativeFunction* native = object ? callee->native : nullptr) {
      if (GSNativeFunction::Plain plain = native->PlainFunction()) {
        plain(object->Context(), m_stack);
        called = true;
      } else {
        called = native->Call(object, m_stack);
      }
    }
    LOAD();
    if (!called) FAIL(ER_NativeCallError);
    // The frame's reference has kept the receiver's instance.
    if (!(value ? m_stack.ReturnValue(true, instance) : m_stack.PopFrame(instance)))
      FAIL(ER_StackReturnError);
    LOAD();
    if (value && !cur->typed) kinds[sp - cells] = ResultKind(callee->record->returnType);
    if (m_state == Ready) NEXT;
    if (m_state == Waiting) {
      // A nested run (a constructor, a function a native calls) has no
      // place to resume from: it cannot wait.
      if (depth > 0) {
        m_wait = 0.0f;
        FAIL(ER_ThreadError);
      }
      m_resume = uint32_t(pc - code);
      error = ER_Blocked;
      goto leave;
    }
    if (m_state == Stopped) FAIL(ER_Exception);
    NEXT;
  }
  PAY();
  if (callee->depthChecked && callee->run) [[likely]] {
    // Entered as ENTER_FRAME would, with what is in hand: typed code (which
    // has code: the callee is no native), and the receiver's cell (the
    // frame's argument base) seen as `block`.
    GSFrame* const frame = m_stack.PushVerifiedFrame(callee, uint32_t(pc - code), uint32_t(receiver - cells),
                                                     int32_t(sp - cells), instance, cur->typed);
    if (!frame) FAIL(ER_StackOverflow);
    sp += callee->record->stackAdvance;
    cur = frame;
    fn = callee;
    code = callee->run;
    pc = code;
    mark = pc;
    fp = receiver;
    frame->code = code;
    frame->typed = true;
    frame->self = instance;
    frame->selfCells = instance->cells + block;
    frame->selfWords = instance->words > block ? instance->words - block : 0;
    frame->run = run;
    NEXT;
  }
  SAVE();
  if (callee->record->code.empty()) FAIL(ER_LinkError);
  GSFrame* const frame = m_stack.PushFrame(callee, uint32_t(pc - code), 0, instance);
  if (!frame) FAIL(ER_StackOverflow);
  LOAD();
  ENTER_FRAME(frame, 0, ownView ? v : nullptr);
  NEXT;
}
L_CALLP : {
  const int16_t d = int16_t(ReadU16(pc));
  pc += 2;
  uint32_t* receiver = sp + d;
  const HandleView* v = handles.Find(*receiver);
  GSFunction* callee = fn->inherited;
  if (!v || !callee) FAIL(ER_NullReference);
  if (callee->IsNative() || callee->record->parameters != uint32_t(1 - d) || callee->record->code.empty())
    FAIL(ER_LinkError);
  if (!cur->typed && !ArgumentsFit(kinds + (receiver - cells), *callee->record)) FAIL(ER_LinkError);
  const uint32_t self = v->instance->HandleOfBlock(v->block + uint32_t(fn->inheritedOffset));
  if (!self) FAIL(ER_NullReference);
  *receiver = self;
  SAVE();
  GSFrame* const frame = m_stack.PushFrame(callee, uint32_t(pc - code));
  if (!frame) FAIL(ER_StackOverflow);
  PAY();
  LOAD();
  ENTER_FRAME(frame, 0, nullptr);
  NEXT;
}
L_START : {
  // Thread functions run on new threads of game objects registered with a
  // router; the receiver and arguments move to the new thread's stack.
  const int16_t d = int16_t(ReadU16(pc));
  const uint16_t k = ReadU16(pc + 2);
  pc += 4;
  uint32_t* receiver = sp + d;
  const HandleView* v = handles.Find(*receiver);
  if (!v || !v->instance->cls) FAIL(ER_NullReference);
  GSScriptInstance* instance = v->instance;
  GSObjectReference* native = instance->native;
  GSGameObject* owner =
      native && native->Type() == ObjectGame ? dynamic_cast<GSGameObject*>(native) : nullptr;
  if (!owner || !owner->Router()) FAIL(ER_ThreadError);
  const auto& dispatch = instance->cls->DispatchTable();
  const uint64_t slot = uint64_t(v->dispatchBase) + k;
  if (slot >= dispatch.size()) FAIL(ER_LinkError);
  GSFunction* callee = dispatch[slot].function;
  if (!callee || callee->IsNative() || callee->record->parameters != uint32_t(1 - d) ||
      callee->record->code.empty())
    FAIL(ER_LinkError);
  // The new frame releases what its record lists: the shape the code was checked against.
  if (cur->typed ? fn->owner->Library()->CallShape(k, uint32_t(1 - d)) != callee->shape
                 : !ArgumentsFit(kinds + (receiver - cells), *callee->record))
    FAIL(ER_LinkError);
  const uint32_t self = instance->HandleOfBlock(uint32_t(dispatch[slot].offset));
  if (!self) FAIL(ER_NullReference);
  GSThread* thread = owner->StartThread();
  if (!thread) FAIL(ER_ThreadError);
  GSStack& target = thread->Stack();
  bool moved = target.Push(self);
  for (int32_t i = 1; moved && i <= -d; ++i) moved = target.Push(receiver[i]);
  if (!moved || !target.PushFrame(callee, 0)) {
    target.SetStackPointer(-1);
    owner->StopThread(thread);
    FAIL(ER_StackOverflow);
  }
  sp = receiver - 1;
  NEXT;
}
L_WAIT : {
  // Only threads of game objects wait for messages.
  GSGameObject* owner = OwnerGameObject();
  if (!owner || (m_flags & kSharedThread) || depth > 0) FAIL(ER_ThreadError);
  GSRouter* router = owner->Router();
  if (!router) FAIL(ER_ThreadError);
  const int32_t h = int16_t(ReadU16(pc));
  if (h < 0) FAIL(ER_ThreadError);
  DropHandlers();
  for (int32_t i = 0; i < h; ++i) {
    const uint16_t major =
        router->GetMessageId(fn->owner->Library()->String(ReadU16(pc + WaitLayout::Major(size_t(i)))));
    const uint16_t minor =
        router->GetMessageId(fn->owner->Library()->String(ReadU16(pc + WaitLayout::Minor(size_t(i)))));
    // Id 0: the router's ids are used up.
    if (major == 0 || minor == 0) {
      DropHandlers();
      FAIL(ER_ThreadError);
    }
    m_handlers.push_back(Block{major, minor, ReadU32(pc + WaitLayout::Target(size_t(h), size_t(i)))});
    // A refused subscription (no such major) leaves the handler unreached, as the script asked.
    (void)router->Subscribe(owner, major);
  }
  pc += WaitLayout::Size(size_t(h));
  m_state = Waiting;
  m_wait = 0.0f;
  SAVE();
  // What the queue could not run stays queued for the next step.
  (void)ProcessQueue();
  LOAD();  // a queued message that resumed the thread is on its stack
  error = ER_Blocked;
  goto leave;
}
L_SWITCH : {
  const uint16_t c = ReadU16(pc);
  const int32_t key = I(*sp--);
  uint32_t target = ReadU32(pc + SwitchLayout::Default(c));
  int32_t low = 0, high = int32_t(c) - 1;
  while (low <= high) {
    const int32_t mid = (low + high) / 2;
    const int32_t k = I(ReadU32(pc + SwitchLayout::Key(size_t(mid))));
    if (k == key) {
      target = ReadU32(pc + SwitchLayout::Target(c, size_t(mid)));
      break;
    }
    if (key < k)
      high = mid - 1;
    else
      low = mid + 1;
  }
  PAY();
  JUMP(target);
}

  // ---------------------------------------------------------------- returns
L_RET:
L_RETV:
L_RETVO : {
  // A frame of plainReturn whose receiver outlives the references the frame
  // and the receiver's cell hold (as it does while any other holds it) ends
  // without a look-up. The return's distance is checked still. No frame
  // entered afresh keeps plainReturn: the frame was pushed in this run, by
  // its caller as it ran, which is as this run left it.
  if (cur->plainReturn && fp[0] == cur->receiver && cur->self->refCount > 2 &&
      sp == cells + cur->header + (op == OP_RET ? 3 : 4)) [[likely]] {
    const uint32_t back = cur->returnOffset;
    m_stack.PopVerifiedFrame(*cur, op != OP_RET, *sp);
    sp = op == OP_RET ? fp - 1 : fp;
    PAY();
    --cur;
    fn = cur->function;
    code = cur->code;
    pc = code + back;
    mark = pc;
    fp = cells + cur->argumentBase;
    NEXT;
  }
  SAVE();
  const uint32_t back = cur->returnOffset;
  if (!(op == OP_RET ? m_stack.PopFrame(cur->self) : m_stack.ReturnValue(false, cur->self)))
    FAIL(ER_StackReturnError);
  LOAD();
  // The result's kind matters to a caller whose kinds are checked as it runs.
  const uint8_t resultKind = op == OP_RET ? 0 : op == OP_RETVO ? kKindReference : kKindNumber;
  if (m_stack.Depth() == depth) {
    if (resultKind) kinds[sp - cells] = resultKind;
    machine.runLeft -= pc - mark;
    mark = pc;
    if (depth == 0) m_state = Stopped;
    error = ER_Done;
    fn = nullptr;
    goto leave;
  }
  PAY();
  RESUME(cur - 1, back);
  if (resultKind && !cur->typed) kinds[sp - cells] = resultKind;
  NEXT;
}

fail:
  if (code && pc) machine.runLeft -= pc - mark;
  SAVE();
  if (ScriptLogHook) {
    const GSFrame* f = m_stack.Depth() > depth ? m_stack.CurrentFrame() : nullptr;
    const int32_t line = f && fn && code ? fn->LineOf(uint32_t(pc - code - 1)) : -1;
    ScriptLogHook("Thread Exception: %s, line %d, file %s", ErrorName(error), line,
                  fn ? fn->owner->Library()->DisplayName().c_str() : "");
    ScriptLogHook("Stack Dump...");
    m_stack.DumpFrames(depth);
  }
  ++machine.failedRuns;
  m_state = Stopped;
  m_stack.Clear(depth);
  --machine.runNesting;
  machine.current = savedThread;
  return error;

leave:
  if (code && pc && fn) machine.runLeft -= pc - mark;
  SAVE();
  --machine.runNesting;
  machine.current = savedThread;
  return error;

#undef NEXT
#undef FAIL
#undef PAY
#undef JUMP
#undef ENTER
#undef ENTER_FRAME
#undef RESUME
#undef SAVE
#undef LOAD
#undef I
#undef NEW_STRING
#undef STEP
#undef BRANCH_AT
#undef LOCAL
#undef PUSH
#undef BINARY
#undef BINARY_F
#undef UNARY
#undef UNARY_F
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

}  // namespace GSRuntime
