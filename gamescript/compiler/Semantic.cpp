#include "gamescript/compiler/Semantic.h"

#include <cstdio>

#include "gamescript/compiler/CheckTypes.h"
#include "gamescript/compiler/Fold.h"
#include "gamescript/compiler/Messages.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/SemanticWalker.h"

namespace GSCompiler {

namespace {

constexpr uint32_t kSpecifierMask = 0x1FF;

uint32_t Bit(uint32_t kind) { return 1u << kind; }

// The last expression of a comma list: the one whose value is used.
SyntaxNode* LastOf(SyntaxNode* list) {
  while (list != nullptr && list->next != nullptr) list = list->next;
  return list;
}

const char* NameText(const SyntaxNode* nameNode) {
  return nameNode != nullptr && nameNode->text != nullptr ? nameNode->text : "";
}

// The class name written in a type node, empty for unnamed types.
std::string_view TypeClassName(const SyntaxNode* typeNode) {
  if (typeNode == nullptr || typeNode->child[0] == nullptr) return {};
  return NameText(typeNode->child[0]);
}

uint32_t TypeCode(const SyntaxNode* typeNode) {
  if (typeNode == nullptr || typeNode->value < 0) return TypeNone;
  return static_cast<uint32_t>(typeNode->value);
}

// Chains collected head first are put back into source order.
SyntaxNode* ReverseDependents(SyntaxNode* head) {
  SyntaxNode* reversed = nullptr;
  while (head != nullptr) {
    SyntaxNode* next = head->nextDependent;
    head->nextDependent = reversed;
    reversed = head;
    head = next;
  }
  return reversed;
}

// The children the walk enters (bit i: child i) of a node that is not an
// expression (SemanticWalker::OperatorChildren serves those).
inline unsigned ChildMask(const SyntaxNode* node) {
  if (node->category != CatDeclaration) return 0xF;
  switch (node->kind) {
    case DeclClass: return 1u << 2;       // the members; names are entered by the pre-check
    case DeclFunction: return 1u << 3;    // the body; types and parameters are checked before
    case DeclDeclarator: return 1u << 1;  // the initial value
    default: return 0;
  }
}

}  // namespace

ClassCheck::ClassCheck(ParseContext& context) : m_context(context) {}
ClassCheck::~ClassCheck() = default;

bool ClassCheck::Begin(SyntaxNode* declaration, bool declarationsOnly) {
  if (m_context.symbols == nullptr) return false;
  // One walker serves the file's classes in turn: each class sets what it
  // uses, and no class is checked after one that aborted.
  if (!m_walker) m_walker = std::make_unique<SemanticWalker>(m_context, *m_context.symbols);
  m_open = m_walker->BeginClass(declaration, declarationsOnly);
  return m_open;
}

void ClassCheck::Member(SyntaxNode* member) {
  if (m_open) m_walker->CheckClassMember(member);
}

void ClassCheck::End(SyntaxNode* declaration) {
  if (m_open) m_walker->EndClass(declaration);
  m_open = false;
}

bool ClassCheck::Aborted() const { return m_open && m_walker->Aborted(); }

bool Check(SyntaxNode* tree, ParseContext& context, bool declarationsOnly, bool* aborted) {
  if (aborted != nullptr) *aborted = false;
  if (context.symbols == nullptr) return false;
  GSSymbolTable& symbols = *context.symbols;
  const int errorsBefore = context.errorCount;
  SemanticWalker walker(context, symbols);
  bool ok = walker.Walk(tree, declarationsOnly);
  if (aborted != nullptr) *aborted = walker.Aborted();
  // An aborted walk leaves block levels open; the next file starts clean.
  symbols.ClearScopes();
  symbols.currentFunction = nullptr;
  return ok && context.errorCount == errorsBefore;
}

void SemanticWalker::Error(uint32_t line, const char* format, ...) {
  char message[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  ReportError(m_context, true, false, static_cast<int>(line), "%s", message);
}

const char* SemanticWalker::Pool(const std::string& text) {
  if (text.empty()) return nullptr;
  return m_context.stringPool.StrDup(text.c_str(), text.size());
}

// ---------------------------------------------------------------------------
// The walk

bool SemanticWalker::Walk(SyntaxNode* first, bool declarationsOnly, int above) {
  if (first == nullptr) return true;
  const bool savedMode = m_declarationsOnly;
  m_declarationsOnly = declarationsOnly;
  const bool ok = WalkList(first, above + 1);
  m_declarationsOnly = savedMode;
  return ok && !m_abort;
}

// Recursive: the depth is bounded by the nesting limit, and the members of a
// list follow each other in one frame, so a long list does not deepen it.
bool SemanticWalker::WalkList(SyntaxNode* node, int depth) {
  bool ok = true;
  for (;;) {
    if (node->category == CatExpression) {
      // The most common nodes by far; they have no pre-check.
      if (!WalkExpression(node, depth)) ok = false;
    } else {
      m_skip = false;
      if (!PreCheck(node)) ok = false;
      if (m_abort) return false;
      // A statement's condition or value alone skips the list's frame.
      if (!m_skip && !WalkChildren(node, ChildMask(node), depth, [this](SyntaxNode* child, int d) {
            return child->category == CatExpression && child->next == nullptr ? WalkExpression(child, d)
                                                                              : WalkList(child, d);
          }))
        ok = false;
      if (m_abort) return false;
      if (!PostCheck(node)) ok = false;
    }
    if (m_abort) return false;
    SyntaxNode* next = node->next;
    if (next == nullptr) return ok;
    next->enclosing = node;
    node = next;
  }
}

bool SemanticWalker::BeginClass(SyntaxNode* node, bool declarationsOnly) {
  if (ClassHeaderError(node) != HeaderError::None) return false;
  m_declarationsOnly = declarationsOnly;
  m_skip = false;
  // Errors are counted in the log as they are found.
  (void)PreCheck(node);  // enters the class; its other errors name their own lines
  return true;
}

void SemanticWalker::CheckClassMember(SyntaxNode* member) {
  if (m_abort) return;
  // Errors are counted in the log as they are found.
  (void)Walk(member, m_declarationsOnly, 1);  // under its class, as in the walk of the whole class
}

void SemanticWalker::EndClass(SyntaxNode* node) {
  // Errors are counted in the log as they are found.
  if (!m_abort) (void)PostCheck(node);
  // An aborted walk leaves block levels open; the next class starts clean.
  m_symbols.ClearScopes();
  m_symbols.currentFunction = nullptr;
}

bool SemanticWalker::PreCheck(SyntaxNode* node) {
  switch (node->category) {
    case CatDeclaration:
      switch (node->kind) {
        case DeclClass: return CheckClass(node);
        case DeclFunction:
        case DeclPrototype: return CheckFunction(node);
        case DeclVariables: return CheckVariables(node);
        default: return true;
      }
    case CatStatement:
      switch (node->kind) {
        case StmtCompound:
          if (!(node->flags & FlagFunctionBody) && !m_symbols.OpenBlock()) {
            // Symbols of deeper levels would land in the wrong scope.
            Error(node->line, "Stack overflow; code nested too deep.");
            m_abort = true;
            return false;
          }
          return true;
        case StmtFor:
        case StmtWhile:
        case StmtSwitch:
        case StmtWait: m_owners.push_back(node); return true;
        default: return true;
      }
    case CatExpression: return true;
    default: Error(node->line, "Internal compiler error."); return false;
  }
}

bool SemanticWalker::PostCheck(SyntaxNode* node) {
  switch (node->category) {
    case CatDeclaration:
      switch (node->kind) {
        case DeclFunction:
        case DeclPrototype:
          m_function = nullptr;
          m_symbols.currentFunction = nullptr;
          return true;
        case DeclClass: m_class = nullptr; return true;
        case DeclType: return m_declarationsOnly || CheckObjectType(node, node->line);
        case DeclDeclarator: return CheckDeclarator(node);
        default: return true;
      }
    case CatStatement: return CheckStatement(node);
    case CatExpression:
      if (m_declarationsOnly) return true;
      return CheckExpression(node);
    default: Error(node->line, "Internal compiler error."); return false;
  }
}

// ---------------------------------------------------------------------------
// Declarations

bool SemanticWalker::CheckObjectType(const SyntaxNode* typeNode, uint32_t line) {
  const uint32_t type = TypeCode(typeNode);
  if (type != TypeObject && type != TypeObjectArray) return true;
  const std::string_view name = TypeClassName(typeNode);
  if (name.empty()) return true;
  if (FindClass(name) != nullptr) return true;
  Error(line, "object<%s> not declared, line %d.", name.data(), line);
  return false;
}

SemanticWalker::HeaderError SemanticWalker::ClassHeaderError(const SyntaxNode* node) {
  if (node->flags & (SpecPublic | SpecNative | SpecThread | SpecDefine)) return HeaderError::Specifiers;
  if (m_symbols.Lookup(NameText(node->child[0]), nullptr, true, false) != nullptr)
    return HeaderError::Declared;
  return HeaderError::None;
}

bool SemanticWalker::CheckClass(SyntaxNode* node) {
  const uint32_t line = node->line;
  const std::string name = NameText(node->child[0]);
  switch (ClassHeaderError(node)) {
    case HeaderError::None: break;
    case HeaderError::Specifiers:
      Error(line, "Class has illegal declaration specifiers, line %d.", line);
      m_abort = true;
      return false;
    case HeaderError::Declared:
      Error(line, "Class %s has already been declared, line %d.", name.c_str(), line);
      m_abort = true;
      return false;
  }
  GSClassSymbol* cls = m_symbols.NewClass(name);
  if (cls == nullptr || !m_symbols.Add(cls, nullptr, false)) {
    Error(line, "Internal compiler error.");
    m_abort = true;
    return false;
  }
  cls->specifiers = node->flags & kSpecifierMask;
  for (const SyntaxNode* base = node->child[1]; base != nullptr; base = base->next)
    cls->extends.push_back({NameText(base), static_cast<int>(base->line)});
  node->symbol = cls;
  m_class = cls;
  m_function = nullptr;
  if (!m_declarationsOnly && !m_symbols.ResolveExtends(cls)) return false;
  return true;
}

bool SemanticWalker::CheckFunction(SyntaxNode* node) {
  const uint32_t line = node->line;
  const bool hasBody = node->kind == DeclFunction;
  if (m_class == nullptr) {
    Error(line, "Internal compiler error.");
    m_skip = true;
    return false;
  }
  // Bodies of a file compiled for its declarations are not walked.
  if (m_declarationsOnly) m_skip = true;
  bool ok = true;
  const uint32_t specifiers = node->flags & kSpecifierMask;
  if ((specifiers & (SpecStatic | SpecGame | SpecDefine | SpecSecured)) ||
      ((specifiers & SpecNative) && (specifiers & SpecThread))) {
    Error(line, "Function has illegal declaration specifiers, line %d.", line);
    ok = false;
  }
  const SyntaxNode* resultType = node->child[0];
  if (!m_declarationsOnly) {
    if (!CheckObjectType(resultType, line)) ok = false;
    for (const SyntaxNode* p = node->child[2]; p != nullptr; p = p->next)
      if (!CheckObjectType(p->child[0], line)) ok = false;
  }

  // "::name(t1,t2)", built where the last function's was.
  const char* plainName = NameText(node->child[1]);
  std::string& symbolName = m_symbolName;
  symbolName.assign("::").append(plainName).push_back('(');
  for (const SyntaxNode* p = node->child[2]; p != nullptr; p = p->next) {
    if (p != node->child[2]) symbolName.push_back(',');
    AppendTypeText(symbolName, TypeCode(p->child[0]), TypeClassName(p->child[0]));
  }
  symbolName.push_back(')');

  // An override of a final function of an ancestor; searched without
  // marking anything referenced.
  const std::size_t hash = SymbolHash::LookupHash(symbolName);
  GSSymbol* existing = m_class->members.FindName(symbolName, hash, 0);
  if (existing == nullptr) {
    for (const AncestorEntry& e : m_class->ancestors) {
      GSSymbol* inherited = e.base->members.FindName(symbolName, hash, 0);
      if (inherited != nullptr) {
        if (inherited->kind == SymFunction && (inherited->specifiers & SpecFinal)) {
          Error(line, "Cannot override final function, line %d.", line);
          ok = false;
        }
        break;
      }
    }
  }

  const uint32_t resultCode = TypeCode(resultType);
  GSFunctionSymbol* function = m_symbols.NewFunction(symbolName);
  if (function != nullptr && m_symbols.Add(function, m_class, true)) {
    function->type = resultCode;
  } else {
    if (existing == nullptr || existing->kind != SymFunction || !(existing->specifiers & SymPrototypeOnly)) {
      Error(line, "Function %s already declared, line %d.", plainName, line);
      m_skip = true;
      return false;
    }
    function = static_cast<GSFunctionSymbol*>(existing);
    function->specifiers &= ~SymPrototypeOnly;
    function->parameterCells = 1;
    if (function->type != resultCode) {
      Error(line, "Function differs only by return type, line %d.", line);
      ok = false;
    }
    if ((function->specifiers & kSpecifierMask) != specifiers) {
      Error(line, "Function specifiers differ from prototype, line %d.", line);
      ok = false;
    }
  }
  function->specifiers = (function->specifiers & ~kSpecifierMask) | specifiers;
  if (!hasBody) function->specifiers |= SymPrototypeOnly;
  if (specifiers & SpecThread) {
    m_class->specifiers |= SpecGame;
    if (resultCode != TypeVoid) {
      Error(line, "thread function must return void, line %d.", line);
      ok = false;
    }
  }
  function->resultClass = (resultCode == TypeObject || resultCode == TypeObjectArray)
                              ? TypeClassName(resultType)
                              : std::string_view();
  node->symbol = function;
  node->type = resultCode;
  node->className = function->resultClass.empty() ? nullptr : function->resultClass.c_str();

  if (hasBody && !m_declarationsOnly) {
    m_function = function;
    m_symbols.currentFunction = function;
    if (!m_symbols.OpenBlock()) {
      Error(line, "Stack overflow; code nested too deep.");
      m_abort = true;
      return false;
    }
    for (SyntaxNode* p = node->child[2]; p != nullptr; p = p->next) {
      const char* name = NameText(p->child[1]);
      GSVariableSymbol* parameter = m_symbols.NewVariable(name);
      parameter->type = TypeCode(p->child[0]);
      parameter->className = TypeClassName(p->child[0]);
      parameter->index = function->parameterCells;
      if (!m_symbols.Add(parameter, m_class, false)) {
        Error(p->line, "Variable %s already declared in this scope, line %d.", name, p->line);
        ok = false;
      }
      p->symbol = parameter;
      p->position = function->parameterCells++;
    }
  } else {
    for (SyntaxNode* p = node->child[2]; p != nullptr; p = p->next) p->position = function->parameterCells++;
    m_symbols.currentFunction = nullptr;
  }
  return ok;
}

bool SemanticWalker::CheckVariables(SyntaxNode* node) {
  const uint32_t line = node->line;
  bool ok = true;
  const uint32_t specifiers = node->flags & kSpecifierMask;
  if (node->flags & FlagClassMember) {
    if (specifiers & (SpecNative | SpecStatic | SpecFinal | SpecThread | SpecGame | SpecSecured)) {
      Error(line, "member declaration has invalid specifiers, line %d.", line);
      ok = false;
    }
  } else if (specifiers & ~SpecConstructor) {
    Error(line, "variable declaration has illegal specifiers, line %d.", line);
    ok = false;
  }
  const SyntaxNode* typeNode = node->child[0];
  if (!m_declarationsOnly && !CheckObjectType(typeNode, line)) ok = false;
  const uint32_t type = TypeCode(typeNode);
  const std::string_view className =
      (type == TypeObject || type == TypeObjectArray) ? TypeClassName(typeNode) : std::string_view();

  for (SyntaxNode* d = node->child[1]; d != nullptr; d = d->next) {
    const char* name = NameText(d->child[0]);
    GSVariableSymbol* variable = m_symbols.NewVariable(name);
    variable->type = type;
    variable->className = className;
    variable->specifiers = specifiers;
    if (m_function != nullptr) variable->index = m_function->parameterCells + m_function->localCount++;
    d->symbol = variable;
    d->type = type;
    d->className = variable->className.empty() ? nullptr : variable->className.c_str();
    if (!m_symbols.Add(variable, m_class, true)) {
      Error(d->line, "Variable %s already declared in this scope, line %d.", name, d->line);
      d->position = -1;
      ok = false;
      continue;
    }
    if (variable->level > 0)
      d->position = variable->index;
    else if (variable->ownerClass != nullptr)
      d->position = variable->ownerClass->variableBase + variable->index;
    else
      d->position = -1;
  }
  // The initial values; a define's value is needed even from a file
  // compiled for its declarations only.
  const bool declarationsOnly = m_declarationsOnly && !(specifiers & SpecDefine);
  const bool walked = Walk(node->child[1], declarationsOnly);
  m_skip = true;  // the declarators were walked here
  return walked && ok;
}

bool SemanticWalker::CheckDeclarator(SyntaxNode* node) {
  auto* variable = static_cast<GSVariableSymbol*>(node->symbol);
  SyntaxNode* value = node->child[1];
  const bool define = variable != nullptr && (variable->specifiers & SpecDefine);
  if (m_declarationsOnly || variable == nullptr) return true;
  bool ok = true;
  if (value != nullptr && value->type != TypeNone) {
    if (!CanConvert(variable->type, value->type)) {
      Error(node->line, "cannot cast from %s to %s, line %d.",
            TypeText(value->type, NamedClass(value->type, value->className)).c_str(),
            TypeText(variable->type, variable->className.str()).c_str(), node->line);
      ok = false;
    } else {
      const std::string_view target = NamedClass(variable->type, variable->className.c_str());
      const std::string_view source = NamedClass(value->type, value->className);
      if (!target.empty() && !source.empty()) {
        if (FindClass(source) == nullptr) {
          Error(node->line, "class %s not defined, line %d.", source.data(), node->line);
          ok = false;
        } else if (!ClassesRelated(target, source, false)) {
          Error(node->line, "cannot cast from object<%s> to object<%s>, line %d.", source.data(),
                target.data(), node->line);
          ok = false;
        }
      }
    }
  }
  if (!define) return ok;
  if (value == nullptr || value->category != CatExpression || value->kind != ExprConstant) {
    Error(node->line, "define variable must have a const assignment, line %d.", node->line);
    return false;
  }
  if (variable->type == TypeString) {
    // Only a string constant gives a string define its text.
    variable->defineText = value->value == ConstString && value->text != nullptr ? value->text : "";
    variable->defineValue = 0;
  } else if (value->value != ConstString) {
    // A number define holds its own type's value, converted as an
    // assignment would convert it, never the other type's bits.
    const FoldValue converted = ConvertConstant({value->value, value->datum}, variable->type);
    variable->defineValue = converted.bits;
  } else {
    return ok;  // refused above: a string cannot initialise a number
  }
  variable->defineSet = ok;
  return ok;
}

// ---------------------------------------------------------------------------
// Statements

SyntaxNode* SemanticWalker::Owner(uint32_t mask) const {
  for (auto it = m_owners.rbegin(); it != m_owners.rend(); ++it)
    if (mask & Bit((*it)->kind)) return *it;
  return nullptr;
}

bool SemanticWalker::CheckStatement(SyntaxNode* node) {
  const uint32_t line = node->line;
  switch (node->kind) {
    case StmtFor:
    case StmtWhile:
    case StmtSwitch:
    case StmtWait:
      if (!m_owners.empty() && m_owners.back() == node) m_owners.pop_back();
      break;
    default: break;
  }
  if (m_declarationsOnly) return node->kind == StmtCompound ? CloseBlock(node) : true;

  auto badCondition = [](const SyntaxNode* condition) {
    return condition == nullptr || condition->type == TypeVoid || condition->type == TypeVoidArray ||
           condition->type == TypeNone;
  };
  switch (node->kind) {
    case StmtIf:
      if (badCondition(LastOf(node->child[0]))) {
        Error(line, "invalid if expression, line %d.", line);
        return false;
      }
      return true;
    case StmtWhile:
      if (badCondition(LastOf(node->child[0]))) {
        Error(line, "invalid while expression, line %d.", line);
        return false;
      }
      return true;
    case StmtFor:
      if (node->child[1] != nullptr && badCondition(LastOf(node->child[1]))) {
        Error(line, "invalid for expression, line %d.", line);
        return false;
      }
      return true;
    case StmtSwitch: return CheckSwitch(node);
    case StmtCase: {
      bool ok = true;
      SyntaxNode* owner = Owner(Bit(StmtSwitch));
      if (owner == nullptr) {
        Error(line, "illegal case, line %d.", line);
        ok = false;
      } else {
        node->target = owner;
        node->nextDependent = owner->firstDependent;
        owner->firstDependent = node;
      }
      const SyntaxNode* value = node->child[0];
      if (value == nullptr || value->kind != ExprConstant || value->value != ConstInt) {
        Error(line, "case expression not constant or integral, line %d.", line);
        ok = false;
      }
      return ok;
    }
    case StmtDefault: {
      SyntaxNode* owner = Owner(Bit(StmtSwitch));
      if (owner == nullptr) {
        Error(line, "illegal default, line %d.", line);
        return false;
      }
      if (owner->flags & FlagHasDefault) {
        Error(line, "switch already has default, line %d.", line);
        return false;
      }
      owner->flags |= FlagHasDefault;
      node->target = owner;
      return true;
    }
    case StmtBreak:
      node->target = Owner(Bit(StmtFor) | Bit(StmtWhile) | Bit(StmtSwitch) | Bit(StmtWait));
      if (node->target == nullptr) {
        Error(line, "illegal break, line %d.", line);
        return false;
      }
      return true;
    case StmtContinue:
      node->target = Owner(Bit(StmtFor) | Bit(StmtWhile) | Bit(StmtWait));
      if (node->target == nullptr) {
        Error(line, "illegal continue, line %d.", line);
        return false;
      }
      return true;
    case StmtReturn: return CheckReturn(node);
    case StmtCompound: return CloseBlock(node);
    case StmtWait:
      node->firstDependent = ReverseDependents(node->firstDependent);
      if (node->firstDependent == nullptr) {
        Error(line, "wait statement must have at least 1 on statement, line %d.", line);
        return false;
      }
      return true;
    case StmtOn: return CheckOn(node);
    default: return true;
  }
}

bool SemanticWalker::CheckSwitch(SyntaxNode* node) {
  const uint32_t line = node->line;
  bool ok = true;
  node->firstDependent = ReverseDependents(node->firstDependent);
  if (node->firstDependent == nullptr) {
    Error(line, "switch statement without case, line %d.", line);
    ok = false;
  } else if (!(node->flags & FlagHasDefault)) {
    Error(line, "switch statement without default, line %d.", line);
    ok = false;
  }
  const SyntaxNode* value = LastOf(node->child[0]);
  if (value == nullptr || value->type != TypeInt) {
    Error(line, "switch expression not integral, line %d.", line);
    ok = false;
  }
  return ok;
}

bool SemanticWalker::CheckReturn(SyntaxNode* node) {
  const uint32_t line = node->line;
  if (m_function == nullptr) {
    Error(line, "Internal compiler error.");
    return false;
  }
  const uint32_t expected = m_function->type;
  const SyntaxNode* value = LastOf(node->child[0]);
  if (value == nullptr) {
    if (expected != TypeVoid) {
      Error(line, "return type mismatch, expecting %s, line %d.",
            TypeText(expected, m_function->resultClass.str()).c_str(), line);
      return false;
    }
    return true;
  }
  if (value->type == TypeNone) return false;  // the value's own error was reported
  if (!CanConvert(expected, value->type)) {
    Error(line, "return type mismatch, expecting %s, line %d.",
          TypeText(expected, m_function->resultClass.str()).c_str(), line);
    return false;
  }
  const std::string_view target = NamedClass(expected, m_function->resultClass.c_str());
  const std::string_view source = NamedClass(value->type, value->className);
  if (!target.empty() && !source.empty() && !ClassesRelated(target, source, false)) {
    Error(line, "cannot cast from object<%s> to object<%s>, line %d.", source.data(), target.data(), line);
    return false;
  }
  return true;
}

bool SemanticWalker::CloseBlock(SyntaxNode* node) {
  m_symbols.CloseBlock();
  if (!(node->flags & FlagFunctionBody) || m_declarationsOnly || m_function == nullptr) return true;
  SyntaxNode* last = LastOf(node->child[0]);
  if (last != nullptr && last->category == CatStatement && last->kind == StmtReturn) return true;
  if (m_function->type != TypeVoid) {
    const std::string expected = TypeText(m_function->type, m_function->resultClass.str());
    Error(node->line, "expecting return type of %s, line %d.", expected.c_str(), node->line);
    return false;
  }
  SyntaxNode* ret = NewNode(m_context.stringPool, CatStatement, StmtReturn, node->line);
  if (ret == nullptr) {
    Error(node->line, "Internal compiler error.");
    return false;
  }
  ret->enclosing = last != nullptr ? last : node;
  if (last != nullptr)
    last->next = ret;
  else
    node->child[0] = ret;
  return true;
}

bool SemanticWalker::CheckOn(SyntaxNode* node) {
  const uint32_t line = node->line;
  bool ok = true;
  if (SyntaxNode* owner = Owner(Bit(StmtWait))) {
    node->target = owner;
    node->nextDependent = owner->firstDependent;
    owner->firstDependent = node;
  }
  auto isString = [](const SyntaxNode* n) {
    return n != nullptr && n->category == CatExpression && n->kind == ExprConstant && n->value == ConstString;
  };
  if (!isString(node->child[0]) || !isString(node->child[1])) {
    Error(line, "on statement requires string constant for major and minor message types, line %d", line);
    ok = false;
  }
  const SyntaxNode* variable = node->child[2];
  if (variable != nullptr && (!(variable->flags & FlagLValue) || variable->type != TypeObject)) {
    Error(line, "on statement requires object type for third parameter, line %d", line);
    ok = false;
  }
  return ok;
}

}  // namespace GSCompiler
