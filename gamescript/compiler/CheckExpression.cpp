// Typing of expressions: operators, conversions, identifiers, member access,
// arrays and strings, `new`, casts, assignment and call resolution.

#include <cstring>

#include "gamescript/compiler/CheckTypes.h"
#include "gamescript/compiler/Fold.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/SemanticWalker.h"

namespace GSCompiler {

namespace {

constexpr uint32_t kSpecifierMask = 0x1FF;
constexpr int kMaxCandidates = 1024;

uint32_t ConstantType(int32_t kind) {
  switch (kind) {
    case ConstBool: return TypeBool;
    case ConstInt: return TypeInt;
    case ConstFloat: return TypeFloat;
    case ConstString: return TypeString;
    default: return TypeNone;
  }
}

int32_t ConstantKind(uint32_t type) {
  switch (type) {
    case TypeBool: return ConstBool;
    case TypeInt: return ConstInt;
    case TypeFloat: return ConstFloat;
    case TypeString: return ConstString;
    default: return -1;
  }
}

// Whether a node has any child (names and constants, most nodes, have none).
inline bool HoldsAny(const SyntaxNode* n) {
  return n->child[0] != nullptr || n->child[1] != nullptr || n->child[2] != nullptr || n->child[3] != nullptr;
}

bool IsConstant(const SyntaxNode* n) {
  return n != nullptr && n->category == CatExpression && n->kind == ExprConstant;
}

bool IsStringOrArray(uint32_t t) { return t == TypeString || (t >= TypeBoolArray && t <= TypeObjectArray); }

const char* NameText(const SyntaxNode* n) { return n != nullptr && n->text != nullptr ? n->text : ""; }

const char* SymbolText(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

std::string ValueText(const SyntaxNode* n) { return TypeText(n->type, NamedClass(n->type, n->className)); }

// Parameter types of a function from its symbol name "::name(t1,t2)".
std::vector<ParameterType> ParametersOf(const GSFunctionSymbol* f) {
  std::vector<ParameterType> types;
  const size_t open = f->name.find('(');
  const size_t close = f->name.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close <= open + 1) return types;
  const std::string list = f->name.substr(open + 1, close - open - 1);
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    types.push_back(ParseParameterType(
        list.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return types;
}

}  // namespace

// ---------------------------------------------------------------------------
// Helpers

GSClassSymbol* SemanticWalker::FindClass(std::string_view name) {
  if (name.empty()) return nullptr;
  GSSymbol* s = m_symbols.Lookup(name, nullptr, true, false);
  return s != nullptr && s->kind == SymClass ? static_cast<GSClassSymbol*>(s) : nullptr;
}

bool SemanticWalker::Derives(GSClassSymbol* derived, GSClassSymbol* base) {
  if (derived == base) return true;
  // A failed resolve reports its own error and marks the class.
  (void)m_symbols.ResolveExtends(derived);
  for (const AncestorEntry& e : derived->ancestors)
    if (e.base == base) return true;
  return false;
}

bool SemanticWalker::ClassesRelated(std::string_view target, std::string_view source, bool either) {
  if (target == source) return true;
  GSClassSymbol* t = FindClass(target);
  GSClassSymbol* s = FindClass(source);
  if (t == nullptr || s == nullptr) return false;
  return Derives(s, t) || (either && Derives(t, s));
}

void SemanticWalker::MakeConstant(SyntaxNode* node, int32_t kind, uint32_t bits, const char* text) {
  node->kind = ExprConstant;
  node->value = kind;
  node->datum = bits;
  node->text = text;
  for (SyntaxNode*& c : node->child) c = nullptr;
  node->flags &= FlagDiscarded;
  node->type = ConstantType(kind);
  node->className = nullptr;
  node->symbol = nullptr;
  node->position = -1;
}

SyntaxNode* SemanticWalker::CallOf(const SyntaxNode* node) {
  SyntaxNode* parent = node->enclosing;
  if (parent != nullptr && parent->category == CatExpression && parent->kind == ExprCall &&
      parent->child[0] == node)
    return parent;
  return nullptr;
}

SyntaxNode* SemanticWalker::NewTypeNode(uint32_t type, const std::string& className, uint32_t line) {
  SyntaxNode* typeNode = NewNode(m_context.stringPool, CatDeclaration, DeclType, line);
  if (typeNode == nullptr) return nullptr;
  typeNode->value = static_cast<int32_t>(type);
  typeNode->type = type;
  if (!className.empty()) {
    SyntaxNode* name = NewNode(m_context.stringPool, CatDeclaration, DeclName, line);
    if (name == nullptr) return nullptr;
    name->text = Pool(className);
    typeNode->child[0] = name;
    typeNode->className = name->text;
  }
  return typeNode;
}

// ---------------------------------------------------------------------------
// Dispatch

bool SemanticWalker::WalkExpression(SyntaxNode* node, int depth) {
  bool ok = true;
  if (HoldsAny(node)) {
    const unsigned mask = node->kind == ExprOperator ? OperatorChildren(node->value) : 0xF;
    // An operand alone (no list) is walked here, a name or a constant
    // without a call of its own: what WalkList would do for it.
    ok = WalkChildren(node, mask, depth, [this](SyntaxNode* child, int d) {
      if (child->category != CatExpression || child->next != nullptr) return WalkList(child, d);
      if (HoldsAny(child)) return WalkExpression(child, d);
      return m_declarationsOnly || CheckExpression(child);
    });
    if (m_abort) return false;
  }
  if (m_declarationsOnly) return ok;
  return CheckExpression(node) && ok;
}

bool SemanticWalker::CheckExpression(SyntaxNode* node) {
  switch (node->kind) {
    case ExprOperator: return CheckOperator(node);
    case ExprConstant: node->type = ConstantType(node->value); return true;
    case ExprIdentifier: return CheckIdentifier(node);
    case ExprCall: return CheckCall(node);
    case ExprMe: return CheckMe(node);
    case ExprNull: node->type = TypeNull; return true;
    default: Error(node->line, "Internal compiler error."); return false;
  }
}

bool SemanticWalker::CheckOperator(SyntaxNode* node) {
  switch (node->value) {
    case OpMember: return CheckMember(node);
    case OpIndex: return CheckIndex(node);
    case OpRange: return CheckRange(node);
    case OpCast: return CheckCast(node);
    case OpAssign: return CheckAssignment(node);
    case OpSize: return CheckSize(node);
    case OpIsClass: return CheckIsClass(node);
    case OpCopy: return CheckCopy(node);
    case OpNew: return CheckNew(node);
    default:
      if (node->value >= 0 && node->value <= OpOr) return CheckTableOperator(node);
      Error(node->line, "Internal compiler error.");
      return false;
  }
}

// ---------------------------------------------------------------------------
// Names

bool SemanticWalker::CheckIdentifier(SyntaxNode* node) {
  const uint32_t line = node->line;
  const char* name = NameText(node);
  GSSymbol* symbol = m_symbols.Lookup(name, m_class, true, false);
  if (symbol == nullptr) {
    if (CallOf(node) != nullptr) return true;  // a function name: the call resolves it
    Error(line, "variable %s not declared, line %d.", name, line);
    return false;
  }
  node->type = symbol->type;
  node->flags |= symbol->specifiers & kSpecifierMask;
  node->symbol = symbol;
  if (symbol->kind == SymClass) {
    auto* cls = static_cast<GSClassSymbol*>(symbol);
    const SyntaxNode* parent = node->enclosing;
    const bool leftOfDot = parent != nullptr && parent->category == CatExpression &&
                           parent->kind == ExprOperator && parent->value == OpMember &&
                           parent->child[0] == node;
    node->flags |= SpecStatic;
    node->type = TypeObject;
    node->className = cls->name.c_str();
    if (!(cls->specifiers & SpecStatic) && !leftOfDot) {
      Error(line, "class %s is not static, line %d.", name, line);
      return false;
    }
    return true;
  }
  if (symbol->kind == SymVariable) {
    auto* variable = static_cast<GSVariableSymbol*>(symbol);
    if ((variable->specifiers & SpecDefine) && variable->defineSet && ConstantKind(variable->type) >= 0) {
      MakeConstant(node, ConstantKind(variable->type), variable->defineValue,
                   variable->type == TypeString ? variable->defineText.c_str() : nullptr);
      return true;
    }
    node->flags |= FlagLValue;
    node->className = SymbolText(variable->className);
    node->position = m_class != nullptr ? m_symbols.MemberPosition(m_class, variable) : -1;
  }
  return true;
}

bool SemanticWalker::CheckMe(SyntaxNode* node) {
  if (m_class == nullptr) {
    Error(node->line, "me keyword invalid in static, line %d.", node->line);
    return false;
  }
  node->type = TypeObject;
  node->className = m_class->name.c_str();
  node->symbol = m_class;
  return true;
}

bool SemanticWalker::CheckMember(SyntaxNode* node) {
  const uint32_t line = node->line;
  SyntaxNode* left = node->child[0];
  const char* name = NameText(node->child[1]);
  node->type = TypeNone;
  if (left == nullptr || left->type == TypeNone) return false;  // the operand's own error was reported
  if (left->type <= TypeFloat) {
    Error(line, ". operator cannot be used on a non-reference type, line %d.", line);
    return false;
  }
  const std::string_view className =
      left->type == TypeObject ? NamedClass(left->type, left->className) : std::string_view();
  if (className.empty()) {
    Error(line, "unknown object class for '.' operator, line %d.", line);
    return false;
  }
  GSClassSymbol* cls = FindClass(className);
  if (cls == nullptr) {
    Error(line, "Internal compiler error");
    return false;
  }
  // A failed resolve reports its own error and marks the class.
  (void)m_symbols.ResolveExtends(cls);
  const bool throughStatic = (left->flags & SpecStatic) && left->symbol == cls;
  const bool staticRefused = throughStatic && !(cls->specifiers & SpecStatic);
  if (SyntaxNode* call = CallOf(node)) {
    // A function of that class: the call resolves it among the overloads.
    if (staticRefused) {
      Error(line, "%s is not a static class or variable within this class, line %d.", cls->name.c_str(),
            line);
      return false;
    }
    call->flags |= FlagQualifiedCall;
    node->type = TypeObject;
    node->className = cls->name.c_str();
    node->symbol = cls;
    return true;
  }
  GSSymbol* member = m_symbols.Lookup(name, cls, false, true);
  if (member == nullptr || member->kind != SymVariable) {
    if (staticRefused)
      Error(line, "%s is not a static class or variable within this class, line %d.", cls->name.c_str(),
            line);
    else
      Error(line, "member %s does not exist in object %s, line %d.", name, cls->name.c_str(), line);
    return false;
  }
  auto* variable = static_cast<GSVariableSymbol*>(member);
  bool ok = true;
  if (!(variable->specifiers & SpecPublic) && variable->ownerClass != m_class) {
    Error(line, "member %s not public in object %s, line %d.", name, cls->name.c_str(), line);
    ok = false;
  }
  if ((variable->specifiers & SpecDefine) && variable->defineSet && ConstantKind(variable->type) >= 0) {
    MakeConstant(node, ConstantKind(variable->type), variable->defineValue,
                 variable->type == TypeString ? variable->defineText.c_str() : nullptr);
    return ok;
  }
  if (staticRefused) {
    Error(line, "%s is not a static class or variable within this class, line %d.", cls->name.c_str(), line);
    return false;
  }
  node->type = variable->type;
  node->className = SymbolText(variable->className);
  node->position = m_symbols.MemberPosition(cls, variable);
  node->symbol = variable;
  node->flags |= FlagLValue | (variable->specifiers & kSpecifierMask);
  return ok;
}

// ---------------------------------------------------------------------------
// Table-driven operators

bool SemanticWalker::CheckTableOperator(SyntaxNode* node) {
  const uint32_t line = node->line;
  const int32_t op = node->value;
  const bool unary = op <= OpPreInc;
  SyntaxNode* a = node->child[0];
  SyntaxNode* b = unary ? nullptr : node->child[1];
  node->type = TypeNone;
  if (a == nullptr || a->type == TypeNone || (!unary && (b == nullptr || b->type == TypeNone)))
    return false;  // an operand's own error was reported
  const uint32_t result = unary ? UnaryResultType(op, a->type) : BinaryResultType(op, a->type, b->type);
  if (result == TypeNone) {
    if (unary)
      Error(line, "illegal types for unary operand %s, line %d", OperatorName(op), line);
    else
      Error(line, "illegal types for operand %s, line %d", OperatorName(op), line);
    return false;
  }
  if ((op == OpPreInc || op == OpPreDec || op == OpPostInc || op == OpPostDec) && !(a->flags & FlagLValue)) {
    Error(line, "expression not an l-value for %s operator, line %d", OperatorName(op), line);
    return false;
  }
  node->type = result;
  const bool foldable = (op >= OpPlus && op <= OpComplement) || (op >= OpMul && op <= OpOr);
  if (foldable && IsConstant(a) && (unary || IsConstant(b))) {
    FoldValue folded;
    const bool done = unary ? FoldUnary(op, {a->value, a->datum}, folded)
                            : FoldBinary(op, {a->value, a->datum}, {b->value, b->datum}, folded);
    if (done) MakeConstant(node, folded.kind, folded.bits, nullptr);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Arrays and strings

bool SemanticWalker::CheckIndex(SyntaxNode* node) {
  const uint32_t line = node->line;
  const SyntaxNode* a = node->child[0];
  const SyntaxNode* i = node->child[1];
  node->type = TypeNone;
  if (a == nullptr || i == nullptr || a->type == TypeNone || i->type == TypeNone) return false;
  bool ok = true;
  if (!IsStringOrArray(a->type)) {
    Error(line, "%s not an array type for [] operator, line %d", TypeName(a->type), line);
    ok = false;
  }
  if (i->type != TypeInt) {
    Error(line, "index not integral for [] operator, line %d", line);
    ok = false;
  }
  if (!ok) return false;
  if (a->type == TypeString) {
    node->type = TypeInt;
  } else {
    node->type = a->type - TypeVoidArray;
    node->className = a->className;
  }
  node->flags |= FlagLValue;
  return true;
}

bool SemanticWalker::CheckRange(SyntaxNode* node) {
  const uint32_t line = node->line;
  const SyntaxNode* a = node->child[0];
  const SyntaxNode* from = node->child[1];
  const SyntaxNode* to = node->child[2];
  node->type = TypeNone;
  if (a == nullptr || a->type == TypeNone || (from && from->type == TypeNone) || (to && to->type == TypeNone))
    return false;
  bool ok = true;
  if (!IsStringOrArray(a->type)) {
    Error(line, "%s not an array type for [,] operator, line %d", TypeName(a->type), line);
    ok = false;
  }
  if (from != nullptr && from->type != TypeInt) {
    Error(line, "left index not integral for [,] operator, line %d", line);
    ok = false;
  }
  if (to != nullptr && to->type != TypeInt) {
    Error(line, "right index not integral for [,] operator, line %d", line);
    ok = false;
  }
  if (!ok) return false;
  node->type = a->type;
  node->className = a->className;
  node->flags |= FlagLValue;
  return true;
}

bool SemanticWalker::CheckSize(SyntaxNode* node) {
  const SyntaxNode* a = node->child[0];
  node->type = TypeNone;
  if (a == nullptr || a->type == TypeNone) return false;
  if (!IsStringOrArray(a->type)) {
    Error(node->line, ".size operator requires an array type, line %d.", node->line);
    return false;
  }
  node->type = TypeInt;
  return true;
}

bool SemanticWalker::CheckIsClass(SyntaxNode* node) {
  const uint32_t line = node->line;
  const SyntaxNode* object = node->child[0];
  node->type = TypeNone;
  if (object == nullptr || object->type == TypeNone) return false;
  if (object->type != TypeObject) {
    Error(line, ".isclass operator requires an object type, line %d.", line);
    return false;
  }
  const char* name = NameText(node->child[1]);
  GSClassSymbol* cls = FindClass(name);
  if (cls == nullptr) {
    Error(line, "class %s not declared for .isclass operator, line %d.", name, line);
    return false;
  }
  node->type = TypeBool;
  node->symbol = cls;
  return true;
}

bool SemanticWalker::CheckCopy(SyntaxNode* node) {
  const uint32_t line = node->line;
  const SyntaxNode* a = node->child[0];
  const SyntaxNode* b = node->child[1];
  node->type = TypeNone;
  if (a == nullptr || b == nullptr || a->type == TypeNone || b->type == TypeNone) return false;
  if (!IsStringOrArray(a->type)) {
    Error(line, ".copy operator requires an array type, line %d.", line);
    return false;
  }
  if (!IsStringOrArray(b->type)) {
    Error(line, ".copy expression must be an array type, line %d.", line);
    return false;
  }
  const std::string_view target = NamedClass(a->type, a->className);
  const std::string_view source = NamedClass(b->type, b->className);
  if (a->type != b->type || (!target.empty() && !source.empty() && !ClassesRelated(target, source, false))) {
    Error(line, "left and right types incompatible for .copy operator, line %d.", line);
    return false;
  }
  node->type = TypeVoid;
  return true;
}

// ---------------------------------------------------------------------------
// Conversions

bool SemanticWalker::CheckCast(SyntaxNode* node) {
  const uint32_t line = node->line;
  const SyntaxNode* value = node->child[0];
  const SyntaxNode* typeNode = node->child[1];
  node->type = TypeNone;
  if (value == nullptr || typeNode == nullptr || value->type == TypeNone) return false;
  const uint32_t target = typeNode->value < 0 ? TypeNone : static_cast<uint32_t>(typeNode->value);
  const char* written = typeNode->child[0] != nullptr ? typeNode->child[0]->text : nullptr;
  const std::string_view targetClass = NamedClass(target, written);
  const std::string_view sourceClass = NamedClass(value->type, value->className);
  if (!CanConvert(target, value->type)) {
    Error(line, "cannot cast from %s to %s, line %d.", ValueText(value).c_str(),
          TypeText(target, targetClass).c_str(), line);
    return false;
  }
  if (!targetClass.empty() && !sourceClass.empty()) {
    if (FindClass(targetClass) == nullptr) return false;  // the type node reported the unknown class
    if (!ClassesRelated(targetClass, sourceClass, true)) {
      Error(line, "cannot cast from %s to %s, line %d.", sourceClass.data(), targetClass.data(), line);
      return false;
    }
  }
  node->type = target;
  node->className = targetClass.empty() ? nullptr : written;
  node->symbol = targetClass.empty() ? nullptr : FindClass(targetClass);
  return true;
}

bool SemanticWalker::CheckAssignment(SyntaxNode* node) {
  const uint32_t line = node->line;
  const SyntaxNode* target = node->child[0];
  const SyntaxNode* source = node->child[1];
  node->type = TypeNone;
  if (target == nullptr || source == nullptr || target->type == TypeNone || source->type == TypeNone)
    return false;
  bool ok = true;
  if (!CanConvert(target->type, source->type)) {
    Error(line, "cannot cast from %s to %s, line %d.", ValueText(source).c_str(), ValueText(target).c_str(),
          line);
    ok = false;
  } else {
    const std::string_view targetClass = NamedClass(target->type, target->className);
    const std::string_view sourceClass = NamedClass(source->type, source->className);
    if (!targetClass.empty() && !sourceClass.empty()) {
      if (FindClass(sourceClass) == nullptr) {
        Error(line, "class %s not defined, line %d.", sourceClass.data(), line);
        ok = false;
      } else if (!ClassesRelated(targetClass, sourceClass, false)) {
        Error(line, "cannot cast from object<%s> to object<%s>, line %d.", sourceClass.data(),
              targetClass.data(), line);
        ok = false;
      }
    }
  }
  if (!(target->flags & FlagLValue)) {
    Error(line, "illegal l-value for assignment, line %d.", line);
    return false;
  }
  node->type = target->type;
  node->className = target->className;
  return ok;
}

bool SemanticWalker::CheckNew(SyntaxNode* node) {
  const uint32_t line = node->line;
  const SyntaxNode* typeNode = node->child[0];
  const SyntaxNode* count = node->child[1];
  node->type = TypeNone;
  const uint32_t type =
      typeNode == nullptr || typeNode->value < 0 ? TypeNone : static_cast<uint32_t>(typeNode->value);
  if (type != TypeString && type != TypeObject && !(type >= TypeBoolArray && type <= TypeObjectArray)) {
    Error(line, "cannot new type %s, line %d.", TypeName(type), line);
    return false;
  }
  const char* name = typeNode->child[0] != nullptr ? typeNode->child[0]->text : nullptr;
  const std::string_view className = NamedClass(type, name);
  if ((type == TypeObject || type == TypeObjectArray) && className.empty()) {
    Error(line, "cannot new unnamed object, line %d.", line);
    return false;
  }
  if (IsArrayType(type)) {
    if (count == nullptr || count->type == TypeNone) return false;
    if (count->type != TypeInt) {
      Error(line, "non-integral expression for new[], line %d.", line);
      return false;
    }
  }
  if (node->child[2] != nullptr) {
    Error(line, "constructors not yet supported, line %d.", line);
    return false;
  }
  GSClassSymbol* cls = nullptr;
  if (!className.empty()) {
    // An array of an unknown class is refused too: its elements could
    // never be created.
    cls = FindClass(className);
    if (cls == nullptr) {
      Error(line, "cannot find class %s in this translation unit, line %d.", className.data(), line);
      return false;
    }
    if (type == TypeObject && (cls->specifiers & (SpecStatic | SpecGame))) {
      Error(line, "cannot new static or game class, line %d.", line);
      return false;
    }
  }
  node->type = type;
  node->className = cls != nullptr ? cls->name.c_str() : nullptr;
  node->symbol = cls;
  return true;
}

// ---------------------------------------------------------------------------
// Calls

bool SemanticWalker::CheckInheritedCall(SyntaxNode* node, bool qualified) {
  const uint32_t line = node->line;
  if (qualified) {
    Error(line, "'inherited' can only be used on current function, line %d.", line);
    return false;
  }
  if (m_function == nullptr) {
    Error(line, "internal compiler error while parsing 'inherited', line %d.", line);
    return false;
  }
  if (m_function->specifiers & (SpecNative | SpecThread)) {
    Error(line, "'inherited' can not be used on native or thread function, line %d.", line);
    return false;
  }
  node->symbol = m_function;
  node->position = m_symbols.MemberPosition(m_class, m_function);
  node->flags |= FlagInheritedCall | (m_function->specifiers & kSpecifierMask);
  node->type = m_function->type;
  node->className = SymbolText(m_function->resultClass);
  // The parent's version takes the same parameters as the current function.
  return ConvertArguments(node, m_function);
}

bool SemanticWalker::CheckCall(SyntaxNode* node) {
  const uint32_t line = node->line;
  SyntaxNode* callee = node->child[0];
  const bool qualified = (node->flags & FlagQualifiedCall) != 0;
  node->type = TypeNone;
  const char* name = nullptr;
  if (callee != nullptr && callee->category == CatExpression && callee->kind == ExprIdentifier &&
      !qualified) {
    name = NameText(callee);
  } else if (callee != nullptr && callee->category == CatExpression && callee->kind == ExprOperator &&
             callee->value == OpMember) {
    if (!qualified) return false;  // the member access reported its error
    name = NameText(callee->child[1]);
  }
  if (name == nullptr) {
    Error(line, "Internal compiler error.");
    return false;
  }
  GSClassSymbol* cls = qualified ? static_cast<GSClassSymbol*>(callee->symbol) : m_class;
  if (cls == nullptr || cls->kind != SymClass) {
    Error(line, "Internal compiler error.");
    return false;
  }
  // A failed resolve reports its own error and marks the class.
  (void)m_symbols.ResolveExtends(cls);

  int argumentCount = 0;
  for (const SyntaxNode* a = node->child[1]; a != nullptr; a = a->next) {
    if (a->type == TypeNone) return false;  // the argument's own error was reported
    ++argumentCount;
  }
  if (std::strcmp(name, "inherited") == 0) return CheckInheritedCall(node, qualified);

  // Nearly every call has a candidate or two: they fit on the stack, and only
  // a name overloaded many times over takes the full list from the heap.
  constexpr int kFewCandidates = 16;
  GSFunctionSymbol* few[kFewCandidates];
  std::vector<GSFunctionSymbol*> many;
  GSFunctionSymbol** candidates = few;
  int found = m_symbols.FindFunctions(cls, name, argumentCount, few, kFewCandidates, true);
  if (found == kFewCandidates) {
    many.resize(kMaxCandidates);
    candidates = many.data();
    found = m_symbols.FindFunctions(cls, name, argumentCount, candidates, kMaxCandidates, true);
  }
  if (found == 0) {
    if (qualified)
      Error(line, "function %s not declared in class %s or derivative, line %d.", name, cls->name.c_str(),
            line);
    else
      Error(line, "function %s not declared, line %d.", name, line);
    return false;
  }

  GSFunctionSymbol* winner = nullptr;
  int fewest = 0;
  int exact = 0;
  for (int c = 0; c < found; ++c) {
    const std::vector<ParameterType> parameters = ParametersOf(candidates[c]);
    if (static_cast<int>(parameters.size()) != argumentCount) continue;
    int conversions = 0;
    bool fits = true;
    const SyntaxNode* a = node->child[1];
    for (const ParameterType& p : parameters) {
      const std::string_view source = NamedClass(a->type, a->className);
      if (!CanConvert(p.type, a->type) ||
          (!p.className.empty() && !source.empty() && !ClassesRelated(p.className, source, true))) {
        fits = false;
        break;
      }
      if (p.type != a->type || (!p.className.empty() && !source.empty() && p.className != source))
        ++conversions;
      a = a->next;
    }
    if (!fits) continue;
    if (conversions == 0) ++exact;
    if (winner == nullptr || conversions < fewest) {
      winner = candidates[c];
      fewest = conversions;
    }
  }
  bool ok = true;
  if (exact > 1) {
    Error(line, "function call %s is ambiguous, line %d.", name, line);
    ok = false;
  }
  if (winner == nullptr) winner = candidates[0];  // every candidate failed: reported below
  m_symbols.MarkReferenced(winner);
  node->symbol = winner;
  node->position = m_symbols.MemberPosition(cls, winner);
  node->flags |= winner->specifiers & kSpecifierMask;
  if (cls->specifiers & (SpecStatic | SpecFinal))
    node->flags |= SpecFinal;  // bound directly, not through the function table
  node->type = winner->type;
  node->className = SymbolText(winner->resultClass);
  if (qualified && !(winner->specifiers & SpecPublic) && winner->ownerClass != m_class) {
    Error(line, "function %s not public in object %s, line %d.", name, cls->name.c_str(), line);
    ok = false;
  }
  return ConvertArguments(node, winner) && ok;
}

bool SemanticWalker::ConvertArguments(SyntaxNode* call, GSFunctionSymbol* function) {
  const uint32_t line = call->line;
  const std::vector<ParameterType> parameters = ParametersOf(function);
  SyntaxNode** link = &call->child[1];
  size_t index = 0;
  for (; *link != nullptr; link = &(*link)->next, ++index) {
    SyntaxNode* argument = *link;
    if (index >= parameters.size()) {
      Error(line, "Error in expression, line %d.", line);
      return false;
    }
    const ParameterType& p = parameters[index];
    const std::string_view source = NamedClass(argument->type, argument->className);
    if (!CanConvert(p.type, argument->type) ||
        (!p.className.empty() && !source.empty() && !ClassesRelated(p.className, source, true))) {
      Error(line, "Error in expression, line %d.", line);
      return false;
    }
    if (p.type == argument->type && (p.className.empty() || source.empty() || p.className == source))
      continue;
    SyntaxNode* cast = NewNode(m_context.stringPool, CatExpression, ExprOperator, argument->line);
    SyntaxNode* typeNode = NewTypeNode(p.type, p.className, argument->line);
    if (cast == nullptr || typeNode == nullptr) {
      Error(line, "Internal compiler error.");
      return false;
    }
    cast->value = OpCast;
    cast->child[0] = argument;
    cast->child[1] = typeNode;
    cast->type = p.type;
    cast->className = typeNode->className;
    cast->symbol = p.className.empty() ? nullptr : FindClass(p.className);
    cast->enclosing = argument->enclosing;
    cast->next = argument->next;
    argument->next = nullptr;
    argument->enclosing = cast;
    typeNode->enclosing = argument;
    *link = cast;
  }
  if (index != parameters.size()) {
    Error(line, "Error in expression, line %d.", line);
    return false;
  }
  return true;
}

}  // namespace GSCompiler
