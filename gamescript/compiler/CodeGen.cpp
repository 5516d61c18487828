#include "gamescript/compiler/CodeGen.h"

#include <algorithm>
#include <cstring>

#include "gamescript/compiler/CompileLog.h"
#include "gamescript/compiler/Messages.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/runtime/LibraryFile.h"

namespace GSCompiler {

using namespace GSRuntime;

namespace {

bool Named(const char* className) { return className && *className && std::strcmp(className, "object") != 0; }

bool Ref(uint32_t type) { return IsReferenceType(type); }

// Where an assignment, a step or a copy stores its value.
enum class TargetKind { Local, Self, Member, Element, Char, Range, Bad };

struct Target {
  TargetKind kind = TargetKind::Bad;
  int32_t position = -1;
  uint32_t type = TypeNone;
  const char* className = nullptr;
  const SyntaxNode* node = nullptr;
};

Target Classify(const SyntaxNode* node) {
  Target t;
  t.node = node;
  t.type = node->type;
  t.className = node->className;
  t.position = node->position;
  if (node->category != CatExpression) return t;
  if (node->kind == ExprIdentifier) {
    const GSSymbol* s = node->symbol;
    if (s && s->kind == SymVariable) t.kind = s->level > 0 ? TargetKind::Local : TargetKind::Self;
  } else if (node->kind == ExprOperator) {
    switch (node->value) {
      case OpMember: t.kind = TargetKind::Member; break;
      case OpIndex:
        t.kind =
            node->child[0] && node->child[0]->type == TypeString ? TargetKind::Char : TargetKind::Element;
        break;
      case OpRange: t.kind = TargetKind::Range; break;
      default: break;
    }
  }
  return t;
}

// The store instruction of a target kind: plain or object, keeping the value or not.
uint8_t StoreOp(const Target& t, bool keep) {
  const bool ref = Ref(t.type);
  switch (t.kind) {
    case TargetKind::Local: return ref ? (keep ? OP_STLOK : OP_STLO) : (keep ? OP_STLK : OP_STL);
    case TargetKind::Self: return ref ? (keep ? OP_STSOK : OP_STSO) : (keep ? OP_STSK : OP_STS);
    case TargetKind::Member: return ref ? (keep ? OP_STMOK : OP_STMO) : (keep ? OP_STMK : OP_STM);
    case TargetKind::Element: return ref ? (keep ? OP_STAOK : OP_STAO) : (keep ? OP_STAK : OP_STA);
    case TargetKind::Char: return keep ? OP_STCHK : OP_STCH;
    case TargetKind::Range:
      if (t.type == TypeString) return keep ? OP_SSETK : OP_SSET;
      if (t.type == TypeStringArray || t.type == TypeObjectArray) return keep ? OP_ASETOK : OP_ASETO;
      return keep ? OP_ASETK : OP_ASET;
    case TargetKind::Bad: break;
  }
  return OP_POP;
}

bool HasOperand(TargetKind kind) {
  return kind == TargetKind::Local || kind == TargetKind::Self || kind == TargetKind::Member;
}

// The cases of a switch or the on statements of a wait: the semantic check
// linked each to the innermost switch or wait around it, in source order.
uint32_t CountDependents(const SyntaxNode* node) {
  uint32_t n = 0;
  for (const SyntaxNode* d = node->firstDependent; d; d = d->nextDependent) ++n;
  return n;
}

// A string value read from somewhere that may still be referenced: it is copied
// before a store so that every stored string is a fresh one.
bool NeedsCopy(const SyntaxNode* value) {
  if (value->type != TypeString || value->category != CatExpression) return false;
  if (value->kind == ExprIdentifier || value->kind == ExprCall) return true;
  return value->kind == ExprOperator &&
         (value->value == OpMember || value->value == OpIndex || value->value == OpCast);
}

}  // namespace

CodeGenerator::CodeGenerator(GSSymbolTable& symbols, LibraryImage& image, ParseContext& context)
    : m_symbols(symbols), m_image(image), m_context(context) {}

const char* CodeGenerator::FileName() const { return m_context.fileName ? m_context.fileName : ""; }

bool CodeGenerator::Internal(const char* text) {
  ReportPlain(m_context, "%s", text);
  return false;
}

bool CodeGenerator::Counted(uint32_t line, const char* format, const char* argument) {
  ReportError(m_context, true, false, int(line), format, argument, int(line));
  ++m_counted;
  return false;
}

CodeGenerator::JumpLabels CodeGenerator::LabelsOf(const SyntaxNode* node) {
  if ((m_labelCount + 1) * 2 > m_labels.size()) {
    // At most half full: rebuilt at twice the size.
    std::vector<LabelSlot> old(std::max<std::size_t>(16, m_labels.size() * 2));
    old.swap(m_labels);
    m_labelCount = 0;
    for (const LabelSlot& slot : old)
      if (slot.node) {
        LabelSlotOf(slot.node) = slot;
        ++m_labelCount;
      }
  }
  LabelSlot& slot = LabelSlotOf(node);
  if (!slot.node) {
    slot = {node, {m_function->NewLabel(), m_function->NewLabel()}};
    ++m_labelCount;
  }
  return slot.labels;
}

CodeGenerator::LabelSlot& CodeGenerator::LabelSlotOf(const SyntaxNode* node) {
  const std::size_t mask = m_labels.size() - 1;
  std::size_t at = std::size_t((reinterpret_cast<uintptr_t>(node) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
  while (m_labels[at].node && m_labels[at].node != node) at = (at + 1) & mask;
  return m_labels[at];
}

void CodeGenerator::ClearLabels() {
  if (m_labelCount == 0) return;  // a function without loops or switches left it empty
  // A table grown for one large function is not swept for every later one.
  if (m_labels.size() > 64)
    m_labels.clear();
  else
    std::fill(m_labels.begin(), m_labels.end(), LabelSlot{});
  m_labelCount = 0;
}

uint32_t CodeGenerator::StringIndex(const char* text) { return m_image.InternString(text ? text : ""); }

// ------------------------------------------------------------ temporaries

int CodeGenerator::Temporary() {
  for (int t = 0; t < 8; ++t) {
    if (m_tempsInUse[t]) continue;
    m_tempsInUse[t] = true;
    m_function->temporaries = std::max(m_function->temporaries, t + 1);
    return t;
  }
  return -1;
}

void CodeGenerator::FreeTemporary(int t) {
  if (t >= 0 && t < 8) m_tempsInUse[t] = false;
}

int32_t CodeGenerator::TemporaryCell(int t) const {
  const int32_t p = m_functionSymbol ? m_functionSymbol->parameterCells : 1;
  const int32_t locals = m_functionSymbol ? m_functionSymbol->localCount : 0;
  return p + locals + t;
}

// ------------------------------------------------------------ declarations

bool CodeGenerator::Generate(const SyntaxNode* declarations) {
  Begin();
  for (const SyntaxNode* node = declarations; node; node = node->next)
    if (!GenerateClass(node)) return false;
  return m_counted == 0;
}

void CodeGenerator::Begin() {
  m_counted = 0;
  m_image.classes.clear();
  m_image.code.Clear();
}

bool CodeGenerator::GenerateClass(const SyntaxNode* declaration) {
  if (declaration->category != CatDeclaration || declaration->kind != DeclClass) return true;
  return Class(declaration);
}

GSClassSymbol* CodeGenerator::ClassSymbol(const SyntaxNode* node) {
  m_line = node->line;
  GSSymbol* s = node->symbol;
  if (!s && node->child[0] && node->child[0]->text)
    s = m_symbols.Lookup(node->child[0]->text, nullptr, true, false);
  if (!s || s->kind != SymClass) {
    // The message is in the log; the result only chains.
    (void)Internal("Compiler error GEC");
    return nullptr;
  }
  return static_cast<GSClassSymbol*>(s);
}

const char* CodeGenerator::LimitError(const GSClassSymbol* k) {
  // Cells and slots are 16-bit fields of the records and instructions; a
  // class beyond them is the source's error, reported at the class.
  if (int64_t(k->variableBase) + k->ownVariables + 3 > 0x8000)
    return "Too many member variables in one class: cells do not fit in 16 bits.";
  if (int64_t(k->functionBase) + k->ownFunctions > 0x8000)
    return "Too many functions in one class: slots do not fit in 16 bits.";
  return nullptr;
}

bool CodeGenerator::FrameFits(const GSCFunction& fn, int32_t parameterCells, int32_t localCount,
                              const char* name, uint32_t line) {
  // A frame must fit a thread's whole stack, or the loader refuses the
  // library and with it every function of it.
  const int64_t cells = int64_t(parameterCells) + localCount + fn.temporaries + fn.maxDepth + 4;
  if (cells <= int64_t(GSRuntime::kStackCells)) return true;
  ReportError(m_context, true, false, int(line),
              "%s needs a frame of %lld cells, more than the %u of a stack, line %d.", name,
              static_cast<long long>(cells), unsigned(GSRuntime::kStackCells), int(line));
  ++m_counted;
  return false;
}

bool CodeGenerator::LimitExceeded(const SyntaxNode* node, const char* error) {
  const uint32_t line = node->child[0] ? node->child[0]->line : node->line;  // the class's name
  return Counted(line, "%s", error);
}

void CodeGenerator::OpenClass(GSClassSymbol* k) {
  m_image.classes.push_back(std::make_unique<GSCClass>(k));
  m_class = m_image.classes.back().get();
  m_initialiser.Restart(nullptr);
}

bool CodeGenerator::Member(const SyntaxNode* member) {
  // Member initialisers are written into the class's initialiser code.
  m_function = &m_initialiser;
  m_functionSymbol = nullptr;
  std::fill(std::begin(m_tempsInUse), std::end(m_tempsInUse), false);
  if (member->category != CatDeclaration) return true;
  if (member->kind == DeclFunction || member->kind == DeclPrototype) return Function(member);
  if (member->kind == DeclVariables) return Variables(member, true);
  return true;
}

bool CodeGenerator::CloseClass(const SyntaxNode* node, bool ok) {
  GSCFunction& initialiser = m_initialiser;
  if (ok && initialiser.Length() != 0) {
    m_function = &initialiser;
    m_function->Emit(OP_RET);
  }
  if (ok) {
    // Initialisers jump too ("and", "or"): their targets are patched like a
    // function's, or the jumps would lead back to offset 0.
    const int unresolved = initialiser.ResolveFixups(m_context.log);
    m_context.errorCount += unresolved;
    m_counted += unresolved;
    ok = unresolved == 0;
  }
  if (ok && !initialiser.OperandOverflow().empty())
    ok = Counted(node->line, "%s does not fit in 16 bits, line %d.", initialiser.OperandOverflow().c_str());
  if (ok) ok = FrameFits(initialiser, 1, 0, m_class->symbol->name.c_str(), node->line);
  m_class->initialiser = initialiser.Finish(m_image.code, 1, 0, false);
  m_class = nullptr;
  m_function = nullptr;
  return ok;
}

bool CodeGenerator::Class(const SyntaxNode* node) {
  m_streamed = false;
  GSClassSymbol* k = ClassSymbol(node);
  if (k == nullptr) return false;
  if (const char* error = LimitError(k)) return LimitExceeded(node, error);
  OpenClass(k);
  std::size_t records = 0;
  for (const SyntaxNode* member = node->child[2]; member; member = member->next)
    records +=
        member->category == CatDeclaration && (member->kind == DeclFunction || member->kind == DeclPrototype);
  m_class->functions.reserve(records);
  bool ok = true;
  for (const SyntaxNode* member = node->child[2]; member && ok; member = member->next) ok = Member(member);
  return CloseClass(node, ok);
}

// ------------------------------------------------------------ a member at a time

CodeGenerator::Mark CodeGenerator::MarkNow() const {
  return {m_context.log ? m_context.log->Count() : 0, m_context.errorCount, m_counted};
}

void CodeGenerator::DropSince(const Mark& mark) {
  if (m_context.log) m_context.log->Truncate(mark.messages);
  m_context.errorCount = mark.errors;
  m_counted = mark.counted;
}

bool CodeGenerator::BeginClass(const SyntaxNode* declaration) {
  m_streamed = true;
  m_classOk = false;
  m_prototypes.clear();
  GSClassSymbol* k = ClassSymbol(declaration);
  if (k == nullptr) return false;
  m_classMark = MarkNow();
  OpenClass(k);
  m_classOk = true;
  return true;
}

bool CodeGenerator::GenerateMember(const SyntaxNode* member) {
  if (!m_classOk) return false;
  m_classOk = Member(member);
  return m_classOk;
}

bool CodeGenerator::EndClass(const SyntaxNode* declaration) {
  m_streamed = false;
  if (m_class == nullptr) return false;
  // The whole class would have stopped first at its slot counts, known only
  // now, then at the first function left with only its prototype: what the
  // members reported after that point goes.
  if (const char* error = LimitError(m_class->symbol)) {
    DropSince(m_classMark);
    m_class = nullptr;
    return LimitExceeded(declaration, error);
  }
  for (const PendingPrototype& p : m_prototypes) {
    if (!(p.symbol->specifiers & SymPrototypeOnly)) continue;
    DropSince(p.mark);
    // The message is in the log; the result only chains.
    (void)NotImplemented(p.symbol);
    m_classOk = false;
    break;
  }
  m_prototypes.clear();
  return CloseClass(declaration, m_classOk);
}

bool CodeGenerator::NotImplemented(const GSFunctionSymbol* symbol) {
  ReportPlain(m_context, "Function %s not implemented", symbol->name.c_str());
  return false;
}

bool CodeGenerator::Function(const SyntaxNode* node) {
  m_line = node->line;
  GSSymbol* s = node->symbol;
  if (!s || s->kind != SymFunction) return Internal("Compiler error GEC");
  auto* symbol = static_cast<GSFunctionSymbol*>(s);
  const bool native = (symbol->specifiers & SpecNative) != 0;
  if (node->kind == DeclPrototype) {
    if (!native && m_streamed) {
      // Whether a body follows is known at the class's end.
      m_prototypes.push_back({symbol, MarkNow()});
      return true;
    }
    if (!native && (symbol->specifiers & SymPrototypeOnly)) return NotImplemented(symbol);
    if (!native) return true;  // the declaration with the body makes the record
  } else if (native) {
    ReportPlain(m_context, "Native function %s has been implemented", symbol->name.c_str());
    return false;
  }

  // The record keeps only its final bytes once the code is complete; the
  // buffers that build it serve every function in turn.
  GSCFunction* fn = &m_working;
  fn->Restart(symbol);
  const auto finish = [&] {
    m_class->functions.push_back(fn->Finish(m_image.code, symbol->parameterCells, symbol->localCount, true));
  };
  int32_t cell = 1;
  for (const SyntaxNode* p = node->child[2]; p; p = p->next, ++cell) {
    const SyntaxNode* type = p->child[0];
    const uint32_t code = type ? uint32_t(type->value) : TypeNone;
    if (Ref(code)) fn->referenceCells.push_back(cell);
  }
  if (node->kind != DeclFunction) {
    finish();
    return true;
  }

  m_function = fn;
  m_functionSymbol = symbol;
  ClearLabels();
  fn->lineSource = &m_line;
  bool ok = Statement(node->child[3]);
  fn->lineSource = nullptr;
  if (ok) {
    const int unresolved = fn->ResolveFixups(m_context.log);
    m_context.errorCount += unresolved;
    m_counted += unresolved;
    ok = unresolved == 0;
  }
  if (ok && !fn->OperandOverflow().empty()) {
    // Reported at the source line of the instruction.
    uint32_t line = node->line;
    for (const GSCFunction::LineDebugInfo& entry : fn->lines)
      if (entry.offset <= fn->OperandOverflowOffset()) line = entry.line;
    ok = Counted(line, "%s does not fit in 16 bits, line %d.", fn->OperandOverflow().c_str());
  }
  symbol->temporaryCount = fn->temporaries;
  if (ok)  // reported at the function's name
    ok = FrameFits(*fn, symbol->parameterCells, symbol->localCount,
                   (m_class->symbol->name + symbol->name).c_str(),
                   node->child[1] ? node->child[1]->line : node->line);
  finish();
  ClearLabels();
  m_functionSymbol = nullptr;
  m_function = nullptr;
  return ok;
}

bool CodeGenerator::Variables(const SyntaxNode* node, bool member) {
  for (const SyntaxNode* decl = node->child[1]; decl; decl = decl->next) {
    m_line = decl->line;
    const GSSymbol* s = decl->symbol;
    if (!s || s->kind != SymVariable) return Internal("Compiler error GEC");
    if (s->specifiers & SpecDefine) continue;  // a named constant has no cell
    const auto* v = static_cast<const GSVariableSymbol*>(s);
    const int32_t cell = decl->position;
    if (Ref(v->type)) (member ? m_class->referenceCells : m_function->referenceCells).push_back(cell);
    if (!decl->child[1]) continue;
    Target t;
    t.kind = member ? TargetKind::Self : TargetKind::Local;
    t.position = cell;
    t.type = v->type;
    t.className = v->className.c_str();
    t.node = decl;
    const SyntaxNode* value = decl->child[1];
    if (!Value(value) || !Convert(value->type, value->className, t.type, t.className)) return false;
    if (t.type == TypeString && NeedsCopy(value)) m_function->Emit(OP_SCOPY);
    m_function->EmitU16(StoreOp(t, false), t.position);
  }
  return true;
}

// ------------------------------------------------------------ statements

bool CodeGenerator::StatementList(const SyntaxNode* first) {
  for (const SyntaxNode* node = first; node; node = node->next)
    if (!Statement(node)) return false;
  return true;
}

bool CodeGenerator::Condition(const SyntaxNode* node) {
  if (!node) {
    m_function->Emit(OP_PUSH1);
    return true;
  }
  // All but the last expression of a clause are evaluated for their effects.
  for (; node->next; node = node->next)
    if (!Effect(node)) return false;
  if (!Value(node)) return false;
  if (Ref(node->type)) m_function->Emit(OP_NOTNULL);
  return true;
}

bool CodeGenerator::Statement(const SyntaxNode* node) {
  if (!node) return true;
  m_line = node->line;
  GSCFunction& f = *m_function;
  if (node->category == CatExpression) return Effect(node);
  if (node->category == CatDeclaration) {
    if (node->kind == DeclVariables) return Variables(node, false);
    return Internal("Compiler error GEC");
  }
  switch (node->kind) {
    case StmtReturn: {
      const SyntaxNode* value = node->child[0];
      if (!value) {
        f.Emit(OP_RET);
        return true;
      }
      if (!m_functionSymbol) return Internal("Compiler error GEC");
      const uint32_t type = m_functionSymbol->type;
      if (!Value(value) ||
          !Convert(value->type, value->className, type, m_functionSymbol->resultClass.c_str()))
        return false;
      m_line = node->line;
      f.Emit(Ref(type) ? OP_RETVO : OP_RETV);
      f.depth -= 1;  // the frame's return takes the value
      return true;
    }
    case StmtBreak:
    case StmtContinue: {
      if (!node->target) return Internal("Compiler error GEC");
      const JumpLabels labels = LabelsOf(node->target);
      const bool isBreak = node->kind == StmtBreak;
      f.EmitJump(OP_JMP, isBreak ? labels.breakLabel : labels.continueLabel, FileName(), node->line,
                 isBreak ? "Break" : "Continue");
      return true;
    }
    case StmtGoto: {
      const char* name = node->child[0] && node->child[0]->text ? node->child[0]->text : "";
      f.EmitJump(OP_JMP, f.LabelOf(name), FileName(), node->line, "no matching label");
      return true;
    }
    case StmtLabel: {
      const char* name = node->child[0] && node->child[0]->text ? node->child[0]->text : "";
      if (!f.DefineLabel(f.LabelOf(name), f.Length()))
        return Counted(node->line, "label %s already defined, line %d.", name);
      return true;
    }
    case StmtIf: {
      if (!Condition(node->child[0])) return false;
      const int elseLabel = f.NewLabel();
      f.EmitJump(OP_JZ, elseLabel, FileName(), node->line, "if");
      if (!StatementList(node->child[1])) return false;
      if (node->child[2]) {
        const int end = f.NewLabel();
        m_line = node->line;
        f.EmitJump(OP_JMP, end, FileName(), node->line, "if");
        // The label was made for this function just before.
        (void)f.DefineLabel(elseLabel, f.Length());
        if (!StatementList(node->child[2])) return false;
        // The label was made for this function just before.
        (void)f.DefineLabel(end, f.Length());
      } else {
        // The label was made for this function just before.
        (void)f.DefineLabel(elseLabel, f.Length());
      }
      return true;
    }
    case StmtWhile: {
      const JumpLabels labels = LabelsOf(node);
      const int breakLabel = labels.breakLabel;
      const int start = labels.continueLabel;
      // The label was made for this function just before.
      (void)f.DefineLabel(start, f.Length());
      if (!Condition(node->child[0])) return false;
      f.EmitJump(OP_JZ, breakLabel, FileName(), node->line, "while");
      if (!StatementList(node->child[1])) return false;
      m_line = node->line;
      f.EmitJump(OP_JMP, start, FileName(), node->line, "while");
      // The label was made for this function just before.
      (void)f.DefineLabel(breakLabel, f.Length());
      return true;
    }
    case StmtFor: {
      for (const SyntaxNode* e = node->child[0]; e; e = e->next)
        if (!Effect(e)) return false;
      const JumpLabels labels = LabelsOf(node);
      const int breakLabel = labels.breakLabel;
      const int continueLabel = labels.continueLabel;
      const int start = f.NewLabel();
      // The label was made for this function just before.
      (void)f.DefineLabel(start, f.Length());
      m_line = node->line;
      if (!Condition(node->child[1])) return false;
      f.EmitJump(OP_JZ, breakLabel, FileName(), node->line, "for");
      if (!StatementList(node->child[2])) return false;
      // The label was made for this function just before.
      (void)f.DefineLabel(continueLabel, f.Length());
      for (const SyntaxNode* e = node->child[3]; e; e = e->next)
        if (!Effect(e)) return false;
      m_line = node->line;
      f.EmitJump(OP_JMP, start, FileName(), node->line, "for");
      // The label was made for this function just before.
      (void)f.DefineLabel(breakLabel, f.Length());
      return true;
    }
    case StmtSwitch: return Switch(node);
    case StmtCase: {
      if (m_switches.empty()) return Internal("Compiler error GEC");
      const SyntaxNode* value = node->child[0];
      if (!value || value->kind != ExprConstant || value->category != CatExpression)
        return Internal("Compiler error GEC");
      m_switches.back()->cases.push_back({static_cast<int32_t>(value->datum), f.Length(), node->line});
      return true;
    }
    case StmtDefault:
      if (m_switches.empty()) return Internal("Compiler error GEC");
      m_switches.back()->hasDefault = true;
      m_switches.back()->defaultOffset = f.Length();
      return true;
    case StmtCompound: return StatementList(node->child[0]);
    case StmtWait: return Wait(node);
    case StmtOn: return On(node);
    default: break;
  }
  return Internal("Compiler error GEC");
}

bool CodeGenerator::Switch(const SyntaxNode* node) {
  GSCFunction& f = *m_function;
  if (!Value(node->child[0])) return false;
  m_line = node->line;
  const uint32_t count = CountDependents(node);
  if (count > 0xFFFF) return Counted(node->line, "%s, line %d.", "switch has too many cases");
  const std::size_t room = f.EmitSwitch(static_cast<uint16_t>(count));

  SwitchState state;
  state.cases.reserve(count);
  m_switches.push_back(&state);
  const int end = LabelsOf(node).breakLabel;
  const bool ok = Statement(node->child[1]);
  m_switches.pop_back();
  if (!ok) return false;
  // The label was made for this function just before.
  (void)f.DefineLabel(end, f.Length());
  if (state.cases.size() != count) return Internal("Compiler error GEC");

  std::stable_sort(state.cases.begin(), state.cases.end(),
                   [](const SwitchState::Case& a, const SwitchState::Case& b) { return a.value < b.value; });
  for (std::size_t i = 1; i < state.cases.size(); ++i)
    if (state.cases[i].value == state.cases[i - 1].value) {
      ReportError(m_context, true, false, int(state.cases[i].line), "case has duplicate value, line %d",
                  int(state.cases[i].line));
      ++m_counted;
      return false;
    }
  for (uint32_t i = 0; i < count; ++i) f.SetSwitchEntry(room, i, state.cases[i].value, state.cases[i].offset);
  f.SetSwitchDefault(room, state.hasDefault ? state.defaultOffset : f.Length());
  return true;
}

bool CodeGenerator::Wait(const SyntaxNode* node) {
  GSCFunction& f = *m_function;
  const JumpLabels labels = LabelsOf(node);
  const int end = labels.breakLabel;
  // The label was made for this function just before.
  (void)f.DefineLabel(labels.continueLabel, f.Length());  // continue waits again
  const uint32_t count = CountDependents(node);
  if (count > 0xFFFF) return Counted(node->line, "%s, line %d.", "wait has too many on statements");
  const std::size_t room = f.EmitWait(static_cast<uint16_t>(count));

  WaitState state;
  state.endLabel = end;
  m_waits.push_back(&state);
  const bool ok = Statement(node->child[0]);
  m_waits.pop_back();
  if (!ok) return false;
  // The label was made for this function just before.
  (void)f.DefineLabel(end, f.Length());
  if (state.ons.size() != count) return Internal("Compiler error GEC");
  for (uint32_t i = 0; i < count; ++i) {
    const SyntaxNode* on = state.ons[i];
    const uint32_t major = StringIndex(on->child[0] ? on->child[0]->text : "");
    const uint32_t minor = StringIndex(on->child[1] ? on->child[1]->text : "");
    if (major > 0xFFFF || minor > 0xFFFF)
      return Counted(on->line, "%s does not fit in 16 bits, line %d.", "string index");
    f.SetWaitEntry(room, i, static_cast<uint16_t>(major), static_cast<uint16_t>(minor), state.offsets[i]);
  }
  return true;
}

bool CodeGenerator::On(const SyntaxNode* node) {
  GSCFunction& f = *m_function;
  const SyntaxNode* major = node->child[0];
  const SyntaxNode* minor = node->child[1];
  if (!major || !minor || major->kind != ExprConstant || minor->kind != ExprConstant)
    return Internal("Compiler error GEC");
  if (!m_waits.empty()) {
    WaitState& wait = *m_waits.back();
    // Each handler ends where the next one begins.
    if (!wait.ons.empty()) f.EmitJump(OP_JMP, wait.endLabel, FileName(), node->line, "on");
    wait.ons.push_back(node);
    wait.offsets.push_back(f.Length());
  } else {
    // An on outside any wait waits by itself.
    const uint32_t a = StringIndex(major->text);
    const uint32_t b = StringIndex(minor->text);
    if (a > 0xFFFF || b > 0xFFFF)
      return Counted(node->line, "%s does not fit in 16 bits, line %d.", "string index");
    const std::size_t room = f.EmitWait(1);
    f.SetWaitEntry(room, 0, static_cast<uint16_t>(a), static_cast<uint16_t>(b), f.Length());
  }
  // The handler starts with the received message on the stack.
  f.depth += 1;
  f.maxDepth = std::max(f.maxDepth, f.depth);
  const SyntaxNode* variable = node->child[2];
  if (!variable) {
    f.Emit(OP_POPO);
    return true;
  }
  Target t = Classify(variable);
  if (t.kind == TargetKind::Bad || !Ref(t.type)) return Internal("Compiler error GEC");
  if (!ClassOperand(OP_CAST, Named(t.className) ? t.className : nullptr)) return false;
  if (t.kind == TargetKind::Local || t.kind == TargetKind::Self) {
    f.EmitU16(StoreOp(t, false), t.position);
    return true;
  }
  // The store needs its other operands below the value: park it in a temporary.
  const int temp = Temporary();
  if (temp < 0) return Counted(node->line, "%s, line %d.", "expression needs more than 8 temporaries");
  const int32_t cell = TemporaryCell(temp);
  // A plain store: the free temporary may still hold a number from an
  // increment, which a reference store would release as a handle.
  f.EmitU16(OP_STL, cell);
  if (t.kind == TargetKind::Member) {
    if (!Value(variable->child[0])) return false;
  } else if (t.kind == TargetKind::Element) {
    if (!Value(variable->child[0]) || !Value(variable->child[1])) return false;
  } else {
    return Internal("Compiler error GEC");
  }
  f.EmitU16(OP_LDLO, cell);
  if (t.kind == TargetKind::Member)
    f.EmitU16(StoreOp(t, false), t.position);
  else
    f.Emit(StoreOp(t, false));
  f.Emit(OP_PUSH0);
  f.EmitU16(OP_STLO, cell);  // drop the temporary's reference
  FreeTemporary(temp);
  return true;
}

// ------------------------------------------------------------ expressions

bool CodeGenerator::Value(const SyntaxNode* node) { return Expression(node, true); }
bool CodeGenerator::Effect(const SyntaxNode* node) { return Expression(node, false); }

bool CodeGenerator::ClassOperand(uint8_t op, const char* className) {
  if (!className || !*className) {
    // A cast to plain object keeps the value as it is.
    if (op == OP_CAST) return true;
    return Internal("Compiler error GEC");
  }
  GSSymbol* s = m_symbols.Lookup(className, nullptr, true, false);
  if (!s || s->kind != SymClass) return Internal("Compiler error GEC");
  m_function->EmitU16(op, s->importIndex);
  return true;
}

bool CodeGenerator::Convert(uint32_t from, const char* fromClass, uint32_t to, const char* toClass) {
  GSCFunction& f = *m_function;
  if (from == to) {
    // An object of another named class is viewed as the target class.
    if (to == TypeObject && Named(toClass) && Named(fromClass) && std::strcmp(fromClass, toClass) != 0)
      return ClassOperand(OP_CAST, toClass);
    return true;
  }
  if (from == TypeNull) return Ref(to) || to == TypeNull ? true : Internal("Compiler error GECTS");
  switch (to) {
    case TypeBool:
    case TypeInt:
      if (from == TypeBool || from == TypeInt) return true;
      if (from == TypeFloat) {
        f.Emit(OP_FTOI);
        return true;
      }
      break;
    case TypeFloat:
      if (from == TypeBool || from == TypeInt) {
        f.Emit(OP_ITOF);
        return true;
      }
      break;
    case TypeString:
      if (from == TypeInt)
        f.Emit(OP_ITOS);
      else if (from == TypeBool)
        f.Emit(OP_BTOS);
      else if (from == TypeFloat)
        f.Emit(OP_FTOS);
      else
        break;
      return true;
    case TypeNull: return Ref(from) ? true : Internal("Compiler error GECTS");
    default: break;
  }
  return Internal("Compiler error GECTS");
}

bool CodeGenerator::Expression(const SyntaxNode* node, bool used) {
  if (!node) return Internal("Compiler error GEC");
  m_line = node->line;
  GSCFunction& f = *m_function;
  if (node->category != CatExpression) return Internal("Compiler error GEC");
  switch (node->kind) {
    case ExprCall: return Call(node, used);
    case ExprOperator: return Operator(node, used);
    case ExprConstant:
      switch (node->value) {
        case ConstBool: f.Emit(node->datum ? OP_PUSH1 : OP_PUSH0); break;
        case ConstInt:
        case ConstFloat: f.EmitU32(OP_PUSHK, node->datum); break;
        case ConstString: f.EmitU16(OP_LDSTR, StringIndex(node->text)); break;
        default: return Internal("Compiler error GEC");
      }
      break;
    case ExprNull: f.Emit(OP_PUSH0); break;
    case ExprMe: f.EmitU16(OP_LDLO, 0); break;
    case ExprIdentifier: {
      const GSSymbol* s = node->symbol;
      if (s && s->kind == SymClass) {
        if (!ClassOperand(OP_LDCLS, s->name.c_str())) return false;
      } else if (s && s->kind == SymVariable) {
        const bool ref = Ref(node->type);
        if (s->level > 0)
          f.EmitU16(ref ? OP_LDLO : OP_LDL, node->position);
        else
          f.EmitU16(ref ? OP_LDSO : OP_LDS, node->position);
      } else {
        return Internal("Compiler error GEC");
      }
      break;
    }
    default: return Internal("Compiler error GEC");
  }
  if (!used) f.Emit(Ref(node->type) ? OP_POPO : OP_POP);
  return true;
}

bool CodeGenerator::Call(const SyntaxNode* node, bool used) {
  GSCFunction& f = *m_function;
  const GSSymbol* s = node->symbol;
  if (!s || s->kind != SymFunction) return Internal("Compiler error GEC");
  const auto* callee = static_cast<const GSFunctionSymbol*>(s);
  const bool inherited = (node->flags & FlagInheritedCall) != 0;
  if (node->flags & FlagQualifiedCall) {
    if (!node->child[0] || !Value(node->child[0]->child[0])) return false;
  } else {
    f.EmitU16(OP_LDLO, 0);
  }
  for (const SyntaxNode* arg = node->child[1]; arg; arg = arg->next)
    if (!Value(arg)) return false;
  m_line = node->line;
  const int32_t p = callee->parameterCells;
  const bool thread = (callee->specifiers & SpecThread) != 0;
  if (inherited)
    f.EmitS16(OP_CALLP, 1 - p);
  else
    f.EmitU16U16((callee->specifiers & SpecNative) ? OP_CALLN
                 : thread                          ? OP_START
                                                   : OP_CALL,
                 1 - p, node->position);
  // The receiver and the arguments are consumed; a result takes the receiver's cell.
  f.depth -= p;
  const bool result = callee->type != TypeVoid && !(thread && !inherited);
  if (result) {
    f.depth += 1;
    f.maxDepth = std::max(f.maxDepth, f.depth);
    if (!used) f.Emit(Ref(callee->type) ? OP_POPO : OP_POP);
  } else if (used) {
    return Internal("Compiler error GEC");
  }
  return true;
}

bool CodeGenerator::Comparison(const SyntaxNode* node) {
  GSCFunction& f = *m_function;
  const SyntaxNode* l = node->child[0];
  const SyntaxNode* r = node->child[1];
  const uint32_t lt = l->type, rt = r->type;
  if (lt == TypeString || rt == TypeString) {
    if (!Value(l) || (lt != TypeString && lt != TypeNull && !Convert(lt, nullptr, TypeString, nullptr)))
      return false;
    if (!Value(r) || (rt != TypeString && rt != TypeNull && !Convert(rt, nullptr, TypeString, nullptr)))
      return false;
    f.Emit(OP_SCMP);
  } else if (lt == TypeFloat || rt == TypeFloat) {
    if (!Value(l)) return false;
    if (lt != TypeFloat) f.Emit(OP_ITOF);
    if (!Value(r)) return false;
    if (rt != TypeFloat) f.Emit(OP_ITOF);
    f.Emit(OP_CMPF);
  } else {
    if (!Value(l) || !Value(r)) return false;
    f.Emit(lt == TypeObject || lt == TypeNull || (lt >= TypeVoidArray && lt <= TypeObjectArray) ? OP_CMPO
                                                                                                : OP_CMPI);
  }
  static const uint8_t kTest[] = {OP_LT, OP_GT, OP_LE, OP_GE, OP_EQ, OP_NE};
  f.Emit(kTest[node->value - OpLess]);
  return true;
}

bool CodeGenerator::Step(const SyntaxNode* node, bool used) {
  GSCFunction& f = *m_function;
  const SyntaxNode* operand = node->child[0];
  const Target t = Classify(operand);
  const bool isFloat = operand->type == TypeFloat;
  if (operand->type != TypeInt && !isFloat) return Internal("Compiler error GEOUM");
  switch (t.kind) {
    case TargetKind::Local: f.EmitU16(OP_LDL, t.position); break;
    case TargetKind::Self: f.EmitU16(OP_LDS, t.position); break;
    case TargetKind::Member:
      if (!Value(operand->child[0])) return false;
      f.Emit(OP_DUPO);
      f.EmitU16(OP_LDM, t.position);
      break;
    case TargetKind::Element:
    case TargetKind::Char:
      if (!Value(operand->child[0]) || !Value(operand->child[1])) return false;
      f.Emit(OP_DUP2O);
      f.Emit(t.kind == TargetKind::Char ? OP_LDCH : OP_LDA);
      break;
    default: return Internal("Compiler error GEC");
  }
  m_line = node->line;
  const bool prefix = node->value == OpPreInc || node->value == OpPreDec;
  const bool increment = node->value == OpPreInc || node->value == OpPostInc;
  int temp = -1;
  if (used) {
    temp = Temporary();
    if (temp < 0) return Counted(node->line, "%s, line %d.", "expression needs more than 8 temporaries");
  }
  if (used && !prefix) f.EmitU16(OP_STLK, TemporaryCell(temp));
  f.Emit(isFloat ? (increment ? OP_INCF : OP_DECF) : (increment ? OP_INCI : OP_DECI));
  if (used && prefix) f.EmitU16(OP_STLK, TemporaryCell(temp));
  if (HasOperand(t.kind))
    f.EmitU16(StoreOp(t, false), t.position);
  else
    f.Emit(StoreOp(t, false));
  if (used) {
    f.EmitU16(OP_LDL, TemporaryCell(temp));
    FreeTemporary(temp);
  }
  return true;
}

bool CodeGenerator::Assign(const SyntaxNode* target, const SyntaxNode* value, bool used, bool copy) {
  GSCFunction& f = *m_function;
  const Target t = Classify(target);
  switch (t.kind) {
    case TargetKind::Local:
    case TargetKind::Self: break;
    case TargetKind::Member:
      if (!Value(target->child[0])) return false;
      break;
    case TargetKind::Element:
    case TargetKind::Char:
      if (!Value(target->child[0]) || !Value(target->child[1])) return false;
      break;
    case TargetKind::Range:
      if (!Value(target->child[0])) return false;
      if (target->child[2] ? !Value(target->child[2]) : (f.EmitU32(OP_PUSHK, 0xFFFFFFFF), false))
        return false;
      if (target->child[1] ? !Value(target->child[1]) : (f.EmitU32(OP_PUSHK, 0xFFFFFFFF), false))
        return false;
      break;
    case TargetKind::Bad: return Internal("Compiler error GEC");
  }
  if (!Value(value)) return false;
  m_line = target->line;
  if (copy) {
    f.Emit(t.type == TypeString ? OP_SCOPY : OP_ACOPY);
  } else {
    // Ranges take a whole string or array of the target's type.
    if (!Convert(value->type, value->className, t.type, t.className)) return false;
    if (t.type == TypeString && NeedsCopy(value)) f.Emit(OP_SCOPY);
  }
  if (HasOperand(t.kind))
    f.EmitU16(StoreOp(t, used), t.position);
  else
    f.Emit(StoreOp(t, used));
  return true;
}

bool CodeGenerator::Operator(const SyntaxNode* node, bool used) {
  GSCFunction& f = *m_function;
  const SyntaxNode* a = node->child[0];
  const SyntaxNode* b = node->child[1];
  switch (node->value) {
    case OpAssign: return Assign(a, b, used, false);
    case OpCopy:
      if (used) return Internal("Compiler error GEC");
      return Assign(a, b, false, true);
    case OpPreInc:
    case OpPreDec:
    case OpPostInc:
    case OpPostDec: return Step(node, used);
    default: break;
  }
  if (!a) return Internal("Compiler error GEC");

  switch (node->value) {
    case OpMember:
      if (!Value(a)) return false;
      f.EmitU16(Ref(node->type) ? OP_LDMO : OP_LDM, node->position);
      break;
    case OpPlus:
      if (!Value(a)) return false;
      break;
    case OpNegate:
      if (!Value(a)) return false;
      if (a->type == TypeInt)
        f.Emit(OP_NEGI);
      else if (a->type == TypeFloat)
        f.Emit(OP_NEGF);
      else
        return Internal("Compiler error GEOUM");
      break;
    case OpNot:
      if (!Value(a)) return false;
      if (a->type == TypeBool || a->type == TypeInt)
        f.Emit(OP_EQ);
      else if (a->type == TypeFloat)
        f.Emit(OP_LNOT);
      else if (Ref(a->type))
        f.Emit(OP_ISNULL);
      else
        return Internal("Compiler error GEOUM");
      break;
    case OpComplement:
      if (!Value(a)) return false;
      f.Emit(OP_COMPL);
      break;
    case OpCast: {
      if (!Value(a)) return false;
      const uint32_t to = node->type;
      const char* toClass = node->className;
      if (!toClass && b && b->child[0]) toClass = b->child[0]->text;
      if (to == TypeObject && Named(toClass)) {
        // An explicit cast always asks for the view of the written class.
        if (!Named(a->className) || std::strcmp(a->className, toClass) != 0)
          if (!ClassOperand(OP_CAST, toClass)) return false;
        if (a->type != TypeObject && a->type != TypeNull) return Internal("Compiler error GECTS");
      } else if (!Convert(a->type, a->className, to, toClass)) {
        return false;
      }
      break;
    }
    case OpIndex:
      if (!Value(a) || !Value(b)) return false;
      f.Emit(a->type == TypeString ? OP_LDCH : Ref(node->type) ? OP_LDAO : OP_LDA);
      break;
    case OpRange: {
      if (!Value(a)) return false;
      const SyntaxNode* from = node->child[1];
      const SyntaxNode* to = node->child[2];
      if (to ? !Value(to) : (f.EmitU32(OP_PUSHK, 0xFFFFFFFF), false)) return false;
      if (from ? !Value(from) : (f.EmitU32(OP_PUSHK, 0xFFFFFFFF), false)) return false;
      m_line = node->line;
      f.Emit(a->type == TypeString                                        ? OP_SSUB
             : (a->type == TypeStringArray || a->type == TypeObjectArray) ? OP_ASUBO
                                                                          : OP_ASUB);
      break;
    }
    case OpMul:
    case OpDiv:
    case OpMod:
    case OpAdd:
    case OpSub: {
      static const uint8_t kInt[] = {OP_MULI, OP_DIVI, OP_MODI, OP_ADDI, OP_SUBI};
      static const uint8_t kFloat[] = {OP_MULF, OP_DIVF, OP_MODF, OP_ADDF, OP_SUBF};
      const int index = node->value - OpMul;
      if (node->type == TypeString) {
        if (node->value != OpAdd) return Internal("Compiler error GECTS");
        if (!Value(a) || (a->type != TypeString && !Convert(a->type, nullptr, TypeString, nullptr)))
          return false;
        if (!Value(b) || (b->type != TypeString && !Convert(b->type, nullptr, TypeString, nullptr)))
          return false;
        f.Emit(OP_SCAT);
      } else if (node->type == TypeFloat) {
        if (!Value(a)) return false;
        if (a->type != TypeFloat) f.Emit(OP_ITOF);
        if (!Value(b)) return false;
        if (b->type != TypeFloat) f.Emit(OP_ITOF);
        f.Emit(kFloat[index]);
      } else {
        if (!Value(a) || !Value(b)) return false;
        f.Emit(kInt[index]);
      }
      break;
    }
    case OpShl:
    case OpShr:
    case OpBitAnd:
    case OpBitXor:
    case OpBitOr: {
      if (!Value(a) || !Value(b)) return false;
      const uint8_t op = node->value == OpShl      ? OP_SHL
                         : node->value == OpShr    ? OP_SHR
                         : node->value == OpBitAnd ? OP_AND
                         : node->value == OpBitXor ? OP_XOR
                                                   : OP_OR;
      f.Emit(op);
      break;
    }
    case OpLess:
    case OpGreater:
    case OpLessEq:
    case OpGreaterEq:
    case OpEq:
    case OpNotEq:
      if (!b || !Comparison(node)) return false;
      break;
    case OpAnd:
    case OpOr: {
      if (!b || !Value(a)) return false;
      if (Ref(a->type)) f.Emit(OP_NOTNULL);
      const int end = f.NewLabel();
      f.EmitJump(node->value == OpAnd ? OP_JZK : OP_JNZK, end, FileName(), node->line, "and");
      f.Emit(OP_POP);
      if (!Value(b)) return false;
      if (Ref(b->type)) f.Emit(OP_NOTNULL);
      // The label was made for this function just before.
      (void)f.DefineLabel(end, f.Length());
      break;
    }
    case OpSize:
      if (!Value(a)) return false;
      f.Emit(a->type == TypeString ? OP_SLEN : OP_ALEN);
      break;
    case OpIsClass:
      if (!Value(a)) return false;
      if (!ClassOperand(OP_ISA, b ? b->text : nullptr)) return false;
      break;
    case OpNew: {
      const uint32_t type = uint32_t(a->value);
      if (type == TypeString) {
        f.Emit(OP_NEWS);
      } else if (type >= TypeBoolArray && type <= TypeObjectArray) {
        if (!Value(b)) return false;
        f.Emit(Ref(type - 6) ? OP_NEWAO : OP_NEWA);
      } else if (type == TypeObject) {
        const char* className = a->child[0] ? a->child[0]->text : node->className;
        if (!ClassOperand(OP_NEW, className)) return false;
      } else {
        return Internal("Compiler error GEC");
      }
      break;
    }
    default: return Internal("Compiler error GEC");
  }
  if (!used) f.Emit(Ref(node->type) ? OP_POPO : OP_POP);
  return true;
}

}  // namespace GSCompiler
