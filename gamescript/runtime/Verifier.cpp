#include "gamescript/runtime/Verifier.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace GSRuntime {

namespace {

std::string At(const char* what, std::size_t pc) {
  return std::string(what) + " at code offset " + std::to_string(pc);
}

// Flags of a code offset.
constexpr uint8_t kStart = 1;   // an instruction starts here
constexpr uint8_t kTarget = 2;  // some instruction can branch here: its state is kept
constexpr uint8_t kQueued = 4;  // waiting to be walked (again)

// What the first walk does per opcode: check its operands (or its return
// kind), follow its branches. One lookup instead of a test per form.
constexpr uint8_t kOperands = 1, kBranches = 2;
constexpr auto kTraits = [] {
  struct Table {
    uint8_t op[kOpcodeCount];
  } t{};
  for (unsigned op = 0; op < kOpcodeCount; ++op) {
    const OperandForm form = kOpcodeTable[op].form;
    // A word operand needs no check; a target is checked where branches are followed.
    const bool checked =
        form != OperandForm::None && form != OperandForm::Const && form != OperandForm::Target;
    if (checked || op == OP_RET || op == OP_RETV || op == OP_RETVO) t.op[op] |= kOperands;
    if (form == OperandForm::Target || form == OperandForm::Switch || form == OperandForm::Wait)
      t.op[op] |= kBranches;
  }
  return t;
}();

// The instructions the first walk takes on its short path: the ones of a
// kind effect in the kind table and a fixed length whose operand is a word
// or a member cell (kPlain; kPush for PUSHK, whose zero word pushes the
// null handle's kind; kOdd when an output is an input passed through) or a string or class index (kIndexed), one jump
// target (kJump), the frame cell loads and stores (kLocal) and the returns
// (kReturn). The uses the inputs need and the constant outputs are packed
// into one word each (input and output 0 in the lowest byte), so that a mask
// test and a shift of the top cells' word do what the general step does
// cell by cell.
struct alignas(32) FastStep {
  enum Form : uint8_t { kPlain, kPush, kOdd, kIndexed, kLocal, kJump, kReturn, kGeneral };
  // Bit 8 * room + depth: the step leaves the depth between 0 and the room
  // when it starts at that depth (both below 8).
  uint64_t depths = 0;
  uint32_t need = 0, out = 0;
  // Bytes that must follow the instruction: 1 for one that control leaves
  // by falling through, 0 for JMP and the returns, more than any code has
  // for the instructions the short path leaves to the general one.
  uint32_t tail = 1u << 31;
  Form form = kGeneral;
  uint8_t length = 0;
  uint8_t inputs = 0, outputs = 0;
  int8_t delta = 0;            // outputs - inputs
  bool strings : 1 = false;    // kIndexed: a string index (else a class index)
  bool passes : 1 = false;     // some output is an input passed through
  bool zeroConst : 1 = false;  // PUSHK: a zero word pushes the null handle's kind
  // kLocal: which of the six it is.
  bool load : 1 = false, reference : 1 = false, pops : 1 = false, number : 1 = false;
};
static_assert(sizeof(FastStep) == 32);
constexpr auto kFastSteps = [] {
  struct Table {
    FastStep op[256];
  } t{};
  for (unsigned op = 0; op < kOpcodeCount; ++op) {
    const OperandForm form = kOpcodeTable[op].form;
    const KindEffect& e = kKindTable.op[op];
    FastStep& f = t.op[op];
    f.length = uint8_t(kOperandBytes.bytes[op] + 1);
    const bool returns = op == OP_RET || op == OP_RETV || op == OP_RETVO;
    if (form == OperandForm::Local) {
      f.form = FastStep::kLocal;
      f.load = op == OP_LDL || op == OP_LDLO;
      f.reference = op == OP_LDLO || op == OP_STLO || op == OP_STLOK;
      f.pops = op == OP_STL || op == OP_STLO;
      f.number = op == OP_STLK;  // STL checks for a number only outside the temporaries
      f.inputs = f.load ? 0 : 1;
      f.outputs = f.pops ? 0 : 1;
    } else if (e.special && !returns) {
      continue;
    } else if (returns) {
      f.form = FastStep::kReturn;
    } else if (form == OperandForm::None || form == OperandForm::Const || form == OperandForm::Member) {
      f.form = FastStep::kPlain;
    } else if (form == OperandForm::String || form == OperandForm::Class) {
      f.form = FastStep::kIndexed;
      f.strings = form == OperandForm::String;
    } else if (form == OperandForm::Target) {
      f.form = FastStep::kJump;
    } else {
      continue;
    }
    f.tail = returns || op == OP_JMP ? 0 : 1;
    if (f.form != FastStep::kLocal) {
      f.inputs = e.inputs;
      f.outputs = e.outputs;
    }
    for (unsigned room = 0; room < 8; ++room)
      for (unsigned depth = f.inputs; depth < 8; ++depth)
        if (depth - f.inputs + f.outputs <= room) f.depths |= uint64_t(1) << (8 * room + depth);
    f.delta = int8_t(f.outputs - f.inputs);
    if (f.form == FastStep::kLocal) continue;
    f.zeroConst = op == OP_PUSHK;
    for (unsigned i = 0; i < e.inputs; ++i) f.need |= uint32_t(e.need[i]) << 8 * i;
    for (unsigned i = 0; i < e.outputs; ++i) {
      f.passes = f.passes || e.out[i] >= KindEffect::kFromInput;
      f.out |= uint32_t(e.out[i]) << 8 * i;
    }
    if (f.form == FastStep::kPlain && (f.passes || f.zeroConst))
      f.form = f.passes ? FastStep::kOdd : FastStep::kPush;
  }
  return t;
}();
// The depths table again, by room: bit `depth` of row `room` at the opcode
// (one byte load where the word would wait for the room's shift).
constexpr auto kFastDepths = [] {
  struct Table {
    uint8_t row[8][256];
  } t{};
  for (unsigned room = 0; room < 8; ++room)
    for (unsigned op = 0; op < 256; ++op) t.row[room][op] = uint8_t(kFastSteps.op[op].depths >> 8 * room);
  return t;
}();
// Evaluation cells the short path keeps in a word: shifts stay below 64 bits.
constexpr int32_t kWindow = 7;
// The lengths again, by themselves: the next instruction's address waits on
// this lookup alone.
constexpr auto kFastLengths = [] {
  struct Table {
    uint8_t op[256];
  } t{};
  for (unsigned op = 0; op < 256; ++op) t.op[op] = kFastSteps.op[op].length;
  return t;
}();

// The state on the current path: the temporaries' kinds, then one kind per
// evaluation cell (the depth is its size less the temporaries). Paths are
// kept within the frame's room, plus what one instruction pushes; the slack
// past that lets the short path read and write a whole word at the top.
struct State {
  uint8_t kinds[kStackCells + 16] = {};
  uint32_t size = 0;
  uint8_t& back() { return kinds[size - 1]; }
  void push_back(uint8_t k) { kinds[size++] = k; }
  void pop_back() { --size; }
  void resize(std::size_t n) { size = uint32_t(n); }
  uint8_t* data() { return kinds; }
  uint8_t& operator[](std::size_t i) { return kinds[i]; }
};

// A branch target: the depth and kinds (in the pool) of every path into it so far.
struct Target {
  int32_t depth = -1;
  int32_t state = -1;
};

// Scratch reused across calls: most functions are small and many.
struct Scratch {
  State state;
  std::vector<uint8_t> flags;   // per code offset
  std::vector<uint32_t> seen;   // per instruction start the first walk passed: see Walk::Seen
  std::vector<Target> targets;  // per code offset, for kTarget offsets only
  std::vector<uint8_t> pool;
  std::vector<uint32_t> work;
  std::vector<uint32_t> forward;  // branch targets ahead, checked once all starts are known
  std::vector<uint8_t> mark;      // reference cells of the frame, or of a callee
};

// One walk serves many functions (a library's, or a thread's): its tables
// are set up once, and each function clears only what it uses of them.
class Walk {
public:
  Walk(Scratch& scratch, bool shortPath)
      : m_short(shortPath),
        m_state(scratch.state),
        m_flags(scratch.flags),
        m_seenStore(scratch.seen),
        m_targetStore(scratch.targets),
        m_pool(scratch.pool),
        m_work(scratch.work),
        m_forward(scratch.forward),
        m_mark(scratch.mark) {}

  // The function's problem, empty when its code is sound; kept until the next call.
  const std::string& Run(const LibraryFunction& f, std::size_t strings, std::size_t classes,
                         CallShapeFunction callShape, void* context, bool& typed);

private:
  // A frame cell's kind as the record fixes it, or kDynamic for a temporary.
  static constexpr uint8_t kDynamic = 0xFF;
  uint8_t StaticKind(uint32_t cell) const {
    if (cell == 0 || (m_mark[cell] & 1)) return kKindReference;
    return cell >= m_fixedCells ? kDynamic : uint8_t(kKindNumber);
  }
  bool Fail(std::string what) {
    if (m_problem.empty()) m_problem = std::move(what);
    return false;
  }
  // (Out of line: the hot paths only pass their failures on.)
  [[gnu::noinline, gnu::cold]] bool FailAt(const char* what, std::size_t pc) { return Fail(At(what, pc)); }
  bool CheckOperands(const InstructionView& in, std::size_t pc);
  bool Flow();
  bool Short(std::size_t& pc, bool& falls) {
    return m_typed ? ShortPath<true>(pc, falls) : ShortPath<false>(pc, falls);
  }
  template <bool kTyped>
  bool ShortPath(std::size_t& pc, bool& falls);
  // What the short path does where it meets a branch target: the operand
  // checks of the instruction there, the join of the path that falls into
  // it, and the target's state taken. 1 when done, 0 when the general path
  // is to do it, -1 when the join failed.
  [[gnu::always_inline]] int EnterTarget(std::size_t pc, bool falls, int32_t room);
  // The length of the SWITCH at `pc` when all that the general path checks
  // of it passes (its operands, its step on the state, its targets), else 0.
  std::size_t SwitchLength(std::size_t pc, uint64_t window, int32_t depth) const;
  // The operand checks of the short path's instruction at `pc` (see CheckOperands).
  [[gnu::always_inline]] bool OperandsPass(std::size_t pc, const FastStep& fast) const;
  // The short path's commonest joins, done on the state it keeps in a word
  // when the frame has no temporaries (the state is then the evaluation
  // cells alone): EnterTarget at a target whose instruction needs no
  // operand check, and Merge of a forward jump into a target not yet seen.
  // False when the general ones are to do it.
  [[gnu::always_inline]] bool EnterInRegisters(std::size_t pc, const FastStep& fast, bool falls,
                                               uint64_t& window, int32_t& depth);
  [[gnu::always_inline]] bool JumpInRegisters(uint32_t target, std::size_t pc, uint64_t window,
                                              int32_t depth);
  inline bool Step(const InstructionView& in, std::size_t pc);
  bool Special(const InstructionView& in, std::size_t pc);
  bool Call(const InstructionView& in, std::size_t pc);
  bool Merge(uint64_t target, bool handler, std::size_t pc);
  // Merge, in the short path's loop.
  [[gnu::always_inline]] bool Join(uint64_t target, bool handler, std::size_t pc);
  bool Need(uint8_t kind, uint8_t use, std::size_t pc) {
    return (kind & use) == use ||
           FailAt(use == kKindNumber ? "handle used as a number" : "number used as a handle", pc);
  }
  bool Pay(std::size_t cost) {
    if (m_budget < cost) return Fail("code too costly to verify");
    m_budget -= cost;
    return true;
  }
  int32_t Depth() const { return int32_t(m_state.size - m_temporaries); }
  // What the first walk saw at each instruction start it passed: kUnreached
  // (skipped), kDeep (walked with evaluation cells), else the version of the
  // temporaries' kinds it was walked with, at depth 0. A branch back to such
  // an instruction with the same version brings the state that walk checked,
  // and walking again from there would find nothing new.
  static constexpr uint32_t kUnreached = 0, kDeep = 1;
  uint32_t Seen() const { return m_state.size == m_temporaries ? m_version : kDeep; }
  // Takes the kept state of a branch target as the current one.
  void Load(const Target& t) {
    const uint32_t size = m_temporaries + uint32_t(t.depth);
    if (size == 0) {
      m_state.size = 0;  // no temporaries, no evaluation cells: nothing changes
      return;
    }
    const uint8_t* kept = m_pool.data() + t.state;
    if (size <= 16) {
      // Two words, the bytes past the size left as they are (the state and
      // the pool have the slack for it).
      uint64_t now[2], was[2];
      std::memcpy(now, m_state.kinds, 16);
      std::memcpy(was, kept, 16);
      const uint64_t low = size >= 8 ? ~uint64_t(0) : (uint64_t(1) << 8 * size) - 1;
      const uint64_t high = size >= 16 ? ~uint64_t(0) : size > 8 ? (uint64_t(1) << 8 * (size - 8)) - 1 : 0;
      if (size == m_state.size && !((now[0] ^ was[0]) & low) && !((now[1] ^ was[1]) & high)) return;
      now[0] = (now[0] & ~low) | (was[0] & low);
      now[1] = (now[1] & ~high) | (was[1] & high);
      std::memcpy(m_state.kinds, now, 16);
    } else {
      if (size == m_state.size && std::memcmp(m_state.kinds, kept, size) == 0) return;
      std::memcpy(m_state.kinds, kept, size);
    }
    m_state.size = size;
    ++m_version;
  }

  const bool m_short;  // the first walk takes the short path where it can
  const LibraryFunction* m_f = nullptr;
  const uint8_t* m_code = nullptr;
  std::size_t m_size = 0;
  std::size_t m_strings = 0, m_classes = 0;
  CallShapeFunction m_callShape = nullptr;
  void* m_context = nullptr;
  std::string m_problem;
  uint32_t m_cells = 0, m_fixedCells = 0, m_temporaries = 0;
  int32_t m_room = 0;
  bool m_typed = true;
  std::size_t m_passed = 0;     // the first walk has passed every offset up to this
  std::size_t m_joined = 0;     // the short path joined the path into this target
  uint8_t m_returnOp = OP_RET;  // the return of the function's result kind
  uint8_t* m_flag = nullptr;    // m_flags of this function
  // The short path's: the evaluation cells in the state, its room (the
  // frame's, at most the cells it keeps in a word) and its row of kFastDepths.
  uint8_t* m_evaluation = nullptr;
  int32_t m_shortRoom = 0;
  const uint8_t* m_depthRow = nullptr;
  std::size_t m_budget = 0;

  State& m_state;
  std::vector<uint8_t>& m_flags;
  std::vector<uint32_t>& m_seenStore;
  std::vector<Target>& m_targetStore;
  Target* m_targets = nullptr;  // m_targetStore of this function
  std::size_t m_poolUsed = 0;   // bytes of m_pool that hold kept states
  std::vector<uint8_t>& m_pool;
  std::vector<uint32_t>& m_work;
  std::vector<uint32_t>& m_forward;
  std::vector<uint8_t>& m_mark;
  uint32_t* m_seen = nullptr;  // m_seenStore of this function
  uint32_t m_version = 2;      // counted up at every change of the temporaries' kinds
};

bool Walk::CheckOperands(const InstructionView& in, std::size_t pc) {
  switch (in.info->form) {
    case OperandForm::Local: {
      const uint32_t cell = in.Index();
      if (cell >= m_cells) return FailAt("local cell outside the frame", pc);
      const uint8_t kind = StaticKind(cell);
      if (kind == kDynamic) break;
      const bool reference = in.op == OP_LDLO || in.op == OP_STLO || in.op == OP_STLOK;
      if (reference != (kind == kKindReference)) return FailAt("frame cell used as the wrong kind", pc);
      // The receiver's cell holds the frame's reference to it.
      if (cell == 0 && in.op != OP_LDLO) return FailAt("store into the receiver's cell", pc);
      break;
    }
    case OperandForm::String:
      if (in.Index() >= m_strings) return FailAt("string operand", pc);
      break;
    case OperandForm::Class:
      if (in.Index() >= m_classes) return FailAt("class operand", pc);
      break;
    case OperandForm::Wait:
      for (uint16_t i = 0; i < in.Count(); ++i)
        if (in.WaitMajor(i) >= m_strings || in.WaitMinor(i) >= m_strings) return FailAt("wait message", pc);
      break;
    case OperandForm::Switch:
      for (uint16_t i = 1; i < in.Count(); ++i)
        if (in.SwitchKey(i) <= in.SwitchKey(i - 1)) return FailAt("switch keys not ascending", pc);
      break;
    case OperandForm::Call:
    case OperandForm::Parent:
      if (in.Distance() > 0) return FailAt("call receiver above the stack top", pc);
      break;
    default: break;
  }
  if (in.op != OP_RET && in.op != OP_RETV && in.op != OP_RETVO) return true;
  const uint8_t result = ResultKind(m_f->returnType);
  if ((in.op == OP_RET && result != kKindNoUse) || (in.op == OP_RETV && result != kKindNumber) ||
      (in.op == OP_RETVO && result != kKindReference))
    return FailAt("return of another kind than the function's result", pc);
  return true;
}

// Joins the current state (with the received message pushed for a handler)
// into a branch target's, and queues the target to be walked again when it
// has been walked and that changed its state.
bool Walk::Merge(uint64_t target, bool handler, std::size_t pc) { return Join(target, handler, pc); }

inline bool Walk::Join(uint64_t target, bool handler, std::size_t pc) {
  const int32_t depth = Depth() + (handler ? 1 : 0);
  if (m_typed && depth > m_room) return FailAt("stack deeper than the frame", pc);
  Target& t = m_targets[target];
  const bool first = !(m_flag[target] & kTarget);
  if (first) {
    m_flag[target] |= kTarget;
    t.depth = m_typed ? depth : 0;
    t.state = -1;
    if (m_typed) {
      const uint32_t size = m_state.size;
      if (!Pay(size + 1)) return false;
      // The pool keeps two words of slack past the last state, for the join
      // below and for Load.
      if (m_poolUsed + size + 1 + 16 > m_pool.size()) m_pool.resize(2 * (m_poolUsed + size + 1 + 16));
      t.state = int32_t(m_poolUsed);
      uint8_t* const kept = m_pool.data() + m_poolUsed;
      if (size <= 16)
        std::memcpy(kept, m_state.kinds, 16);  // (the bytes past the state fall in the slack)
      else
        std::memcpy(kept, m_state.kinds, size);
      m_poolUsed += size;
      if (handler) m_pool[m_poolUsed++] = kKindReference;
    }
  } else {
    if (!m_typed) return true;  // reached already; its state no longer matters
    if (t.depth != depth) return FailAt("stack depth differs between paths", target);
    if (t.state < 0) return true;
    if (!Pay(m_state.size + 1)) return false;
    // A word at a time; past the state's end the kept bytes stay as they are
    // (the state and the pool have a word of slack there).
    uint8_t* const kept = m_pool.data() + t.state;
    uint64_t changed = 0;
    for (uint32_t i = 0; i < m_state.size; i += 8) {
      uint64_t was, now;
      std::memcpy(&was, kept + i, 8);
      std::memcpy(&now, m_state.kinds + i, 8);
      if (m_state.size - i < 8) now |= ~uint64_t(0) << 8 * (m_state.size - i);
      changed |= was & ~now;
      was &= now;
      std::memcpy(kept + i, &was, 8);
    }
    if (!changed) return true;
  }
  // Code ahead of the first walk is walked when it gets there.
  if (target > m_passed || (m_flag[target] & kQueued)) return true;
  // Code the first walk walked needs no second walk for a path that brings
  // no state (unproven kinds) or the state it was walked with.
  if (first && m_seen[target] != kUnreached &&
      (!m_typed || (!handler && m_seen[target] != kDeep && m_seen[target] == Seen())))
    return true;
  m_flag[target] |= kQueued;
  m_work.push_back(uint32_t(target));
  return true;
}

bool Walk::Call(const InstructionView& in, std::size_t pc) {
  const int32_t parameters = 1 - in.Distance();
  if (Depth() < parameters) return FailAt("stack underflow", pc);
  const LibraryFunction* callee = nullptr;
  const CallKnowledge known = m_callShape ? m_callShape(m_context, in, callee) : CallKnowledge::Unknown;
  if (known == CallKnowledge::Unknown) {
    m_typed = false;
    return true;
  }
  uint8_t* cells = m_state.data() + m_state.size - std::size_t(parameters);
  if (!Need(cells[0], kKindReference, pc)) return false;
  if (known == CallKnowledge::Known && callee->parameters != uint32_t(parameters))
    return FailAt("call of another shape than its callee", pc);
  bool result = false;
  uint8_t resultKind = kKindNoUse;
  if (known == CallKnowledge::Known) {
    // The callee's frame releases the cells its record lists.
    const WordView refs = callee->referenceCells;
    if (!Pay(std::size_t(parameters) + 2 * refs.size())) return false;
    for (std::size_t i = 0; i < refs.size(); ++i)
      if (refs[i] < uint32_t(parameters)) m_mark[refs[i]] |= 2;
    bool ok = true;
    for (int32_t i = 1; i < parameters && ok; ++i)
      ok = Need(cells[i], m_mark[i] & 2 ? kKindReference : kKindNumber, pc);
    for (std::size_t i = 0; i < refs.size(); ++i)
      if (refs[i] < uint32_t(parameters)) m_mark[refs[i]] &= uint8_t(~2);
    if (!ok) return false;
    resultKind = ResultKind(callee->returnType);
    result = in.op != OP_START && resultKind != kKindNoUse;
  }
  m_state.resize(m_state.size - std::size_t(parameters));
  if (result) {
    if (Depth() + 1 > m_room) return FailAt("stack deeper than the frame", pc);
    m_state.push_back(resultKind);
  }
  return true;
}

// The checks and the state change of one instruction on a typed path.
bool Walk::Step(const InstructionView& in, std::size_t pc) {
  // Paths enter every instruction with a depth inside the frame's room.
  const KindEffect& e = kKindTable.op[in.op];
  if (__builtin_expect(!e.special, 1)) {
    const int32_t d = Depth();
    if (d < e.inputs) return FailAt("stack underflow", pc);
    if (d - e.inputs + e.outputs > m_room) return FailAt("stack deeper than the frame", pc);
    uint8_t* const base = m_state.kinds + m_state.size - e.inputs;
    uint8_t inputs[4];
    for (uint8_t i = 0; i < e.inputs; ++i) {
      inputs[i] = base[i];
      if ((inputs[i] & e.need[i]) != e.need[i] && !Need(inputs[i], e.need[i], pc)) return false;
    }
    for (uint8_t i = 0; i < e.outputs; ++i)
      base[i] = e.out[i] >= KindEffect::kFromInput ? inputs[e.out[i] - KindEffect::kFromInput] : e.out[i];
    m_state.size = m_state.size - e.inputs + e.outputs;
    if (in.op == OP_PUSHK && in.Word() == 0) m_state.back() = kKindZero;
    return true;
  }
  return Special(in, pc);
}

bool Walk::Special(const InstructionView& in, std::size_t pc) {
  const int32_t d = Depth();
  switch (in.info->form) {
    case OperandForm::Call:
    case OperandForm::Parent: return Call(in, pc);
    case OperandForm::Local: {
      const uint32_t cell = in.Index();
      const uint8_t fixed = StaticKind(cell);
      uint8_t* temporary = fixed == kDynamic ? &m_state[cell - m_fixedCells] : nullptr;
      const uint8_t kind = temporary ? *temporary : fixed;
      if (in.op == OP_LDL || in.op == OP_LDLO) {
        if (!Need(kind, in.op == OP_LDL ? kKindNumber : kKindReference, pc)) return false;
        if (d + 1 > m_room) return FailAt("stack deeper than the frame", pc);
        m_state.push_back(kind);
        return true;
      }
      if (d < 1) return FailAt("stack underflow", pc);
      const uint8_t value = m_state.back();
      const bool reference = in.op == OP_STLO || in.op == OP_STLOK;
      // A kept copy must not share the value's reference; a reference
      // store releases what the cell held.
      if (reference && !(Need(kind, kKindReference, pc) && Need(value, kKindReference, pc))) return false;
      if (!reference && (in.op == OP_STLK || !temporary) && !Need(value, kKindNumber, pc)) return false;
      if (temporary && *temporary != value) {
        *temporary = value;
        ++m_version;
      }
      if (in.op == OP_STL || in.op == OP_STLO) m_state.pop_back();
      return true;
    }
    default: break;
  }
  if (in.op == OP_WAIT) return true;  // its handlers get the state through Merge
  return true;                        // RET
}

// The first walk's short path: from `pc` on, while control falls through
// (or a jump or return leads to a branch target) into instructions of
// kFastSteps that leave room for what follows them, it does what the general
// path does for them, with the state in registers: the kinds of up to
// kWindow evaluation cells, one byte each, bottom first, as they lie in the
// state. It leaves `pc` at the first instruction it leaves to the general
// path: one of another form, one with anything wrong (the general path,
// doing it again, says what), code no path reaches yet, or the end of the
// code, with `falls` telling whether control falls into it. False when
// joining a branch target failed.
// The short path's helpers on the kinds of the top evaluation cells, kept
// in a word (see Walk::ShortPath).
// The word of the `depth` cells from `cells` on (in the slack past the
// frame's room at worst).
[[gnu::always_inline]] inline uint64_t TopCells(const uint8_t* cells, int32_t depth) {
  if (depth == 0) return 0;  // (a read would only wait for the stores that set up the frame)
  uint64_t window;
  std::memcpy(&window, cells, 8);
  return window & ((uint64_t(1) << 8 * depth) - 1);
}
// Writes the word back, for the general path or a join.
[[gnu::always_inline]] inline void StoreCells(uint8_t* cells, uint64_t window) {
  std::memcpy(cells, &window, 8);
}
// The kinds a step of the kind table reads and leaves, once its depth is
// known to fit; false when an input does not allow its use. `at` is the
// instruction.
[[gnu::always_inline]] inline bool KindStep(const FastStep& fast, uint64_t& window, int32_t& depth,
                                            const uint8_t* at) {
  const uint32_t below = 8 * uint32_t(depth - fast.inputs);  // bits under the inputs
  const uint64_t inputs = window >> below;
  if ((inputs & fast.need) != fast.need) return false;
  uint64_t out = fast.out;
  if (fast.passes) {
    out = 0;
    for (uint8_t i = 0; i < fast.outputs; ++i) {
      const uint8_t k = uint8_t(fast.out >> 8 * i);
      out |= uint64_t(k >= KindEffect::kFromInput ? uint8_t(inputs >> 8 * (k - KindEffect::kFromInput)) : k)
             << 8 * i;
    }
  } else if (fast.zeroConst && ReadU32(at + 1) == 0) {
    out = kKindZero;
  }
  window ^= (inputs ^ out) << below;  // the inputs are the top cells: nothing lies above them
  depth += fast.outputs - fast.inputs;
  return true;
}

inline bool Walk::EnterInRegisters(std::size_t pc, const FastStep& fast, bool falls, uint64_t& window,
                                   int32_t& depth) {
  if (m_temporaries != 0 || !m_typed || !OperandsPass(pc, fast)) return false;
  const Target& t = m_targets[pc];
  if (t.state < 0 || t.depth > m_shortRoom) return false;
  uint64_t kept;
  std::memcpy(&kept, m_pool.data() + t.state, 8);
  const uint64_t cells = (uint64_t(1) << 8 * t.depth) - 1;  // (a depth below 8)
  uint64_t taken = kept & cells;
  if (falls) {
    // Merge: the kept kinds lose the uses the path's do not allow, and the
    // path takes them (Load).
    if (t.depth != depth || m_budget < uint32_t(depth) + 1) return false;
    m_budget -= uint32_t(depth) + 1;
    taken &= window;
    kept = (kept & ~cells) | taken;
    std::memcpy(m_pool.data() + t.state, &kept, 8);
  }
  // (The target lies ahead of every passed offset: nothing is queued.)
  m_joined = pc;
  if (t.depth != 0 && (t.depth != depth || taken != window)) ++m_version;
  window = taken;
  depth = t.depth;
  return true;
}

inline bool Walk::JumpInRegisters(uint32_t target, std::size_t pc, uint64_t window, int32_t depth) {
  const uint32_t size = uint32_t(depth);  // no temporaries
  if (m_temporaries != 0 || !m_typed || target <= pc || m_budget < size + 1) return false;
  Target& t = m_targets[target];
  if (m_flag[target] & kTarget) {
    // Joined into the kept kinds (see Merge).
    if (t.depth != depth || t.state < 0) return false;
    m_budget -= size + 1;
    uint64_t kept;
    std::memcpy(&kept, m_pool.data() + t.state, 8);
    kept &= window | ~((uint64_t(1) << 8 * size) - 1);
    std::memcpy(m_pool.data() + t.state, &kept, 8);
    return true;  // (ahead of every passed offset: nothing is queued)
  }
  if (m_poolUsed + size + 1 + 16 > m_pool.size()) return false;
  m_flag[target] |= kTarget;
  t.depth = depth;
  m_budget -= size + 1;
  t.state = int32_t(m_poolUsed);
  std::memcpy(m_pool.data() + m_poolUsed, &window, 8);  // (the bytes past the state fall in the slack)
  m_poolUsed += size;
  return true;  // (ahead of every passed offset: nothing is queued)
}

template <bool kTyped>
bool Walk::ShortPath(std::size_t& at, bool& falls) {
  if (kTyped && m_room < 0) return true;
  // What the loop keeps in registers is read again from the walk after
  // every call out of it, so that none of it lives across a call: the
  // calls are few, and the registers a call keeps are too few for all.
  const uint8_t* code;
  std::size_t size;
  uint8_t* flag;
  uint32_t* seen;
  uint8_t* cells;         // evaluation cells
  const uint8_t* depths;  // kFastDepths of this room
  uint32_t version;       // m_version
  int32_t depth = Depth();
  auto reload = [&] {
    code = m_code;
    size = m_size;
    flag = m_flag;
    seen = m_seen;
    cells = m_evaluation;
    depths = m_depthRow;
    version = m_version;
  };
  reload();
  const int32_t room = m_shortRoom;
  // The kinds of the evaluation cells, bottom first; zero above the depth.
  uint64_t window = 0;
  if (kTyped && falls) {
    if (depth > room) return true;
    window = TopCells(cells, depth);
  }
  std::size_t pc = at;
  for (;;) {
    const uint8_t op = code[pc];
    const std::size_t next = pc + kFastLengths.op[op];
    const FastStep& fast = kFastSteps.op[op];
    if (__builtin_expect(next + fast.tail > size, 0)) {  // (always for the general path's instructions)
      if (!(kTyped && op == OP_SWITCH) || (flag[pc] & kTarget)) break;
      const std::size_t length = SwitchLength(pc, window, depth);
      if (length == 0) break;
      // As a jump, to every case's target and the default's.
      flag[pc] |= kStart;
      seen[pc] = depth == 0 ? version : kDeep;
      m_passed = pc;
      --depth;
      window &= (uint64_t(1) << 8 * depth) - 1;
      StoreCells(cells, window);
      m_state.size = m_temporaries + uint32_t(depth);
      const uint32_t count = ReadU16(code + pc + 1);
      for (uint32_t i = 0; i <= count; ++i) {
        const uint32_t target =
            ReadU32(code + pc + 1 + SwitchLayout::Target(count, i));  // (the default last)
        if (target > pc) m_forward.push_back(target);
        if (!JumpInRegisters(target, pc, window, depth) && !Join(target, false, pc)) return false;
      }
      reload();
      falls = false;
      pc += length;
      if (pc == size || !(flag[pc] & kTarget)) break;
      continue;
    }
    if (__builtin_expect(flag[pc] & kTarget, 0)) {
      if (kTyped && EnterInRegisters(pc, fast, falls, window, depth)) {
        version = m_version;
        falls = true;
        goto entered;
      }
      if (kTyped && falls) {
        StoreCells(cells, window);
        m_state.size = m_temporaries + uint32_t(depth);
      }
      const int joined = EnterTarget(pc, falls, room);
      if (joined < 0) return false;
      reload();
      if (joined == 0) break;
      falls = true;
      if (kTyped) {
        depth = Depth();
        window = TopCells(cells, depth);
      }
    }
  entered:
    if (kTyped && __builtin_expect(!((depths[op] >> depth) & 1), 0)) break;
    const uint32_t entered = depth == 0 ? version : kDeep;
    if (__builtin_expect(fast.form < FastStep::kJump, 1)) {
      // Marked before its step: should the step stop the path, the general
      // path marks it again alike.
      flag[pc] |= kStart;
      seen[pc] = entered;
    }
    if (__builtin_expect(fast.form == FastStep::kPlain, 1)) {
      if (kTyped) {
        const uint32_t below = 8 * uint32_t(depth - fast.inputs);  // bits under the inputs
        const uint64_t inputs = window >> below;
        if ((inputs & fast.need) != fast.need) break;
        window ^= (inputs ^ fast.out) << below;  // the inputs are the top cells: nothing lies above them
        depth += fast.delta;
      }
    } else if (fast.form == FastStep::kPush) {
      if (kTyped) {
        window |= uint64_t(ReadU32(code + pc + 1) == 0 ? kKindZero : kKindNumber) << 8 * depth;
        ++depth;
      }
    } else if (fast.form == FastStep::kOdd) {
      if (kTyped && !KindStep(fast, window, depth, code + pc)) break;
    } else if (fast.form == FastStep::kLocal) {
      // The operand checks (see CheckOperands), then the step (see Special).
      const uint32_t cell = ReadU16(code + pc + 1);
      if (cell >= m_cells) break;
      const uint8_t fixed = StaticKind(cell);
      uint8_t* const temporary = fixed == kDynamic ? m_state.kinds + (cell - m_fixedCells) : nullptr;
      if (!temporary && (fast.reference != (fixed == kKindReference) || (cell == 0 && !fast.load))) break;
      if (kTyped) {
        const uint8_t kind = temporary ? *temporary : fixed;
        if (fast.load) {
          const uint8_t use = fast.reference ? kKindReference : kKindNumber;
          if ((kind & use) != use) break;
          window |= uint64_t(kind) << 8 * depth;
          ++depth;
        } else {
          const uint8_t value = uint8_t(window >> 8 * (depth - 1));
          if (fast.reference ? !(kind & value & kKindReference)
                             : (fast.number || !temporary) && !(value & kKindNumber))
            break;
          if (temporary && *temporary != value) {
            *temporary = value;
            version = ++m_version;
          }
          if (fast.pops) {
            --depth;
            window &= (uint64_t(1) << 8 * depth) - 1;
          }
        }
      }
    } else if (fast.form == FastStep::kIndexed) {
      if (ReadU16(code + pc + 1) >= (fast.strings ? m_strings : m_classes)) break;
      if (kTyped && !KindStep(fast, window, depth, code + pc)) break;
    } else {
      // A jump or a return: control goes on at the next instruction only
      // by a conditional jump, or when a branch targets it.
      const uint32_t target = fast.form == FastStep::kJump ? ReadU32(code + pc + 1) : 0;
      if (fast.form == FastStep::kJump) {
        if (target >= size || (target <= pc && !(flag[target] & kStart))) break;
      } else if (op != m_returnOp) {
        break;
      }
      if (kTyped && !KindStep(fast, window, depth, code + pc)) break;
      flag[pc] |= kStart;
      seen[pc] = entered;
      m_passed = pc;
      if (kTyped) {
        StoreCells(cells, window);
        m_state.size = m_temporaries + uint32_t(depth);
      }
      if (fast.form == FastStep::kJump) {
        if (target > pc) m_forward.push_back(target);
        if (!(kTyped && JumpInRegisters(target, pc, window, depth)) && !Join(target, false, pc)) return false;
        reload();
      }
      pc = next;
      if (op == OP_JMP || fast.form == FastStep::kReturn) {  // (tail 0)
        falls = false;
        if (pc == size || !(flag[pc] & kTarget)) break;
      }
      continue;
    }
    pc = next;
  }
  // Every offset before the one it stopped at is passed (Merge asks no more).
  if (pc != at) m_passed = pc - 1;
  if (kTyped && falls) {
    StoreCells(cells, window);
    m_state.size = m_temporaries + uint32_t(depth);
  }
  at = pc;
  return true;
}

std::size_t Walk::SwitchLength(std::size_t pc, uint64_t window, int32_t depth) const {
  if (m_size - pc < 3 || depth < 1 || !((window >> 8 * (depth - 1)) & kKindNumber)) return 0;
  const uint8_t* const operands = m_code + pc + 1;
  const uint32_t count = ReadU16(operands);
  const std::size_t length = 1 + SwitchLayout::Size(count);
  if (length > m_size - pc) return 0;
  for (uint32_t i = 1; i < count; ++i)
    if (int32_t(ReadU32(operands + SwitchLayout::Key(i))) <=
        int32_t(ReadU32(operands + SwitchLayout::Key(i - 1))))
      return 0;
  for (uint32_t i = 0; i <= count; ++i) {
    const uint32_t target = ReadU32(operands + SwitchLayout::Target(count, i));
    if (target >= m_size || (target < pc && !(m_flag[target] & kStart))) return 0;
  }
  return length;
}

inline bool Walk::OperandsPass(std::size_t pc, const FastStep& fast) const {
  if (fast.form == FastStep::kLocal) {
    const uint32_t cell = ReadU16(m_code + pc + 1);
    if (cell >= m_cells) return false;
    const uint8_t fixed = StaticKind(cell);
    return fixed == kDynamic || (fast.reference == (fixed == kKindReference) && (cell != 0 || fast.load));
  }
  if (fast.form == FastStep::kIndexed)
    return ReadU16(m_code + pc + 1) < (fast.strings ? m_strings : m_classes);
  return fast.form != FastStep::kReturn || m_code[pc] == m_returnOp;
}

inline int Walk::EnterTarget(std::size_t pc, bool falls, int32_t room) {
  // The operand checks come before the join, as on the general path.
  if (!OperandsPass(pc, kFastSteps.op[m_code[pc]])) return 0;
  if (m_typed && m_targets[pc].depth > room) return 0;
  if (falls && !Join(pc, false, pc)) return -1;
  m_joined = pc;  // the general path, should it take the instruction, joins no more
  if (m_typed) Load(m_targets[pc]);
  return 1;
}

// One walk in address order decodes every instruction and checks its
// operands, carrying the state along the fall-through and into forward
// branches, whose targets it reaches with every path into them joined. Code
// that a backward branch reaches with a state it was not walked with is
// walked again from there, until it meets a branch target, whose kept state
// it joins.
bool Walk::Flow() {
  State& state = m_state;
  state.size = m_temporaries;
  // A new frame's cells are zero (there are at most 8 temporaries in a sound record).
  if (m_temporaries <= 8) {
    const uint64_t zero = 0x0303030303030303;
    static_assert(kKindZero == 3);
    std::memcpy(state.kinds, &zero, 8);
  } else {
    std::memset(state.kinds, kKindZero, m_temporaries);
  }
  m_work.clear();
  m_forward.clear();
  InstructionView in;
  bool falls = true;  // instruction 0 is entered with the frame's state
  std::size_t length = 0;
  m_joined = m_size;
  for (std::size_t pc = 0; pc < m_size; pc += length) {
    if (m_short && (falls || (m_flag[pc] & kTarget))) {
      if (!Short(pc, falls)) return false;
      if (pc == m_size) break;
    }
    if (!DecodeInstruction(m_code, m_size, pc, in)) return FailAt("illegal or truncated instruction", pc);
    length = in.length;
    m_flag[pc] |= kStart;
    const uint8_t traits = kTraits.op[in.op];
    const bool branches = traits & kBranches;
    if ((traits & kOperands) && !CheckOperands(in, pc)) return false;
    if (m_flag[pc] & kTarget) {
      // (The short path may have joined it already, then stopped at it.)
      if (falls && m_joined != pc && !Merge(pc, false, pc)) return false;
      if (m_typed) Load(m_targets[pc]);
    } else if (!falls) {
      m_seen[pc] = kUnreached;
      // Not reached yet: only its branch targets are checked.
      if (branches)
        // The branch targets were checked in the first pass.
        (void)ForEachBranch(in, [&](uint64_t target, bool) {
          if (target >= m_size) FailAt("jump target outside the code", pc);
          m_forward.push_back(uint32_t(target));
        });
      if (!m_problem.empty()) return false;
      continue;
    }
    m_passed = pc;
    m_seen[pc] = Seen();
    if (m_typed && !Step(in, pc)) return false;
    falls = !branches || ForEachBranch(in, [&](uint64_t target, bool handler) {
      if (!m_problem.empty()) return;
      if (target >= m_size) {
        FailAt("jump target outside the code", pc);
      } else if (target > pc) {
        m_forward.push_back(uint32_t(target));
        Merge(target, handler, pc);
      } else if (!(m_flag[target] & kStart)) {
        FailAt("jump target not on an instruction", pc);
      } else {
        Merge(target, handler, pc);
      }
    });
    if (!m_problem.empty()) return false;
    if (in.op == OP_RET || in.op == OP_RETV || in.op == OP_RETVO) falls = false;
    if (falls && pc + in.length >= m_size) return FailAt("code runs off its end", pc);
  }
  for (uint32_t t : m_forward)
    if (!(m_flag[t] & kStart)) return FailAt("jump target not on an instruction", t);

  m_passed = m_size;
  while (!m_work.empty()) {
    std::size_t pc = m_work.back();
    m_work.pop_back();
    m_flag[pc] &= uint8_t(~kQueued);
    if (m_typed) Load(m_targets[pc]);
    for (;;) {
      if (!Pay(1)) return false;
      // The branch targets were checked in the first pass.
      (void)DecodeInstruction(m_code, m_size, pc, in);
      if (m_typed && !Step(in, pc)) return false;
      const bool next = ForEachBranch(in, [&](uint64_t target, bool handler) {
        if (m_problem.empty()) Merge(target, handler, pc);
      });
      if (!m_problem.empty()) return false;
      if (!next) break;
      const std::size_t following = pc + in.length;
      if (following >= m_size) return FailAt("code runs off its end", pc);
      // A state is kept where branches join: this path stops there unless
      // it changes that state.
      if (m_flag[following] & kTarget) {
        if (!Merge(following, false, pc)) return false;
        break;
      }
      pc = following;
    }
  }
  return true;
}

const std::string& Walk::Run(const LibraryFunction& f, std::size_t strings, std::size_t classes,
                             CallShapeFunction callShape, void* context, bool& typed) {
  typed = true;
  m_problem.clear();
  m_f = &f;
  m_code = f.code.data();
  m_size = f.code.size();
  if (m_size == 0) return m_problem;
  m_strings = strings;
  m_classes = classes;
  m_callShape = callShape;
  m_context = context;
  m_typed = true;
  m_passed = 0;
  m_joined = 0;
  m_version = 2;
  m_cells = f.parameters + f.locals + f.temporaries;
  m_fixedCells = f.parameters + f.locals;
  m_temporaries = f.temporaries;
  m_room = int32_t(f.frameSize) - int32_t(f.stackAdvance);  // evaluation cells
  m_evaluation = m_state.kinds + m_temporaries;
  m_shortRoom = std::min(m_room, kWindow);
  m_depthRow = kFastDepths.row[std::max(m_shortRoom, 0)];
  const uint8_t result = ResultKind(m_f->returnType);
  m_returnOp = result == kKindNoUse ? OP_RET : result == kKindNumber ? OP_RETV : OP_RETVO;
  // Work beyond a small multiple of the size is refused: no sound library
  // comes near it, and a crafted one cannot make the check slower than that.
  m_budget = 64 * m_size + 4096;
  if (m_flags.size() < m_size) m_flags.resize(m_size);
  m_flag = m_flags.data();
  std::memset(m_flag, 0, m_size);
  if (m_seenStore.size() < m_size) m_seenStore.resize(m_size);
  m_seen = m_seenStore.data();
  if (m_targetStore.size() < m_size) m_targetStore.resize(m_size);
  m_targets = m_targetStore.data();
  m_poolUsed = 0;
  if (m_mark.size() < 2 * kStackCells + 16) m_mark.assign(2 * kStackCells + 16, 0);

  // The frame's reference cells: each at most once, never the receiver's
  // (which the frame releases by itself).
  const WordView refs = f.referenceCells;
  std::size_t marked = 0;
  for (; marked < refs.size(); ++marked) {
    const uint32_t cell = refs[marked];
    if (cell == 0 || cell >= m_cells || (m_mark[cell] & 1)) break;
    m_mark[cell] |= 1;
  }
  const bool refsOk = marked == refs.size();
  if (!refsOk) Fail("reference cell listed twice or of the receiver");
  if (refsOk) Flow();
  for (std::size_t i = 0; i < marked; ++i) m_mark[refs[i]] &= uint8_t(~1);
  typed = m_typed;
  return m_problem;
}

}  // namespace

struct CodeVerifier::Parts {
  Scratch scratch;
  Walk walk{scratch, true};
};

CodeVerifier::CodeVerifier() : m_parts(std::make_unique<Parts>()) {}
CodeVerifier::~CodeVerifier() = default;

const std::string& CodeVerifier::Verify(const LibraryFunction& f, std::size_t stringCount,
                                        std::size_t classCount, CallShapeFunction callShape, void* context,
                                        bool& typed) {
  return m_parts->walk.Run(f, stringCount, classCount, callShape, context, typed);
}

std::string VerifyCode(const LibraryFunction& f, std::size_t stringCount, std::size_t classCount,
                       CallShapeFunction callShape, void* context, bool& typed) {
  thread_local CodeVerifier verifier;
  return verifier.Verify(f, stringCount, classCount, callShape, context, typed);
}

std::string VerifierDetail::VerifyCodeGenerally(const LibraryFunction& f, std::size_t stringCount,
                                                std::size_t classCount, CallShapeFunction callShape,
                                                void* context, bool& typed) {
  Scratch scratch;
  return Walk(scratch, false).Run(f, stringCount, classCount, callShape, context, typed);
}

}  // namespace GSRuntime
