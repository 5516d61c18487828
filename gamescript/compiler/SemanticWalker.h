#pragma once
// The semantic walk's state and checks, shared by the declaration and
// statement checks and the expression checks.

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gamescript/compiler/SymbolTable.h"
#include "gamescript/compiler/SyntaxTree.h"

namespace GSCompiler {

class ParseContext;

class SemanticWalker {
public:
  static constexpr int kStackSize = kMaxTreeDepth;

  SemanticWalker(ParseContext& context, GSSymbolTable& symbols) : m_context(context), m_symbols(symbols) {}

  // Walks a node list; false when a check failed or the walk was aborted.
  // `above` counts the nodes the walk is under, for the nesting limit.
  [[nodiscard]] bool Walk(SyntaxNode* first, bool declarationsOnly, int above = 0);
  [[nodiscard]] bool Aborted() const { return m_abort; }

  // A class a member at a time, checked as the walk of the whole class would
  // check it. BeginClass is false, having checked nothing, for a class whose
  // header is refused: those messages name the line of the class's end, so
  // such a class is walked whole once read.
  [[nodiscard]] bool BeginClass(SyntaxNode* node, bool declarationsOnly);
  void CheckClassMember(SyntaxNode* member);
  void EndClass(SyntaxNode* node);

private:
  // The walk of a node list from a node at `depth` (nodes above it, plus one):
  // each node's pre-check, the children it enters, then its post-check.
  [[nodiscard]] bool WalkList(SyntaxNode* node, int depth);
  // Enters the children of `node` whose bits are set in `mask`, each through
  // `walkChild(child, depth + 1)`; stops at the nesting limit or an abort.
  template <class WalkChild>
  [[nodiscard]] bool WalkChildren(SyntaxNode* node, unsigned mask, int depth, WalkChild walkChild) {
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
      SyntaxNode* child = node->child[i];
      if (child == nullptr || !(mask & (1u << i))) continue;
      child->enclosing = node;
      if (depth >= kStackSize) {
        Error(child->line, "Stack overflow; code nested too deep.");
        m_abort = true;
        return false;
      }
      if (!walkChild(child, depth + 1)) ok = false;
      if (m_abort) return false;
    }
    return ok;
  }
  // An expression node, its children and its check (CheckExpression.cpp).
  [[nodiscard]] bool WalkExpression(SyntaxNode* node, int depth);
  // The children an operator node's walk enters (bit i: child i).
  static unsigned OperatorChildren(int32_t op) {
    switch (op) {
      case OpMember:
      case OpIsClass: return 1u << 0;            // child 1 is a name
      case OpNew: return (1u << 1) | (1u << 2);  // child 0 is the type
      default: return 0xF;
    }
  }

  // Reports one error at `line`.
  void Error(uint32_t line, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // --- declarations and statements (Semantic.cpp)
  // Pre-check; sets m_skip when the node's children are not to be walked.
  [[nodiscard]] bool PreCheck(SyntaxNode* node);
  [[nodiscard]] bool PostCheck(SyntaxNode* node);
  [[nodiscard]] bool CheckClass(SyntaxNode* node);
  // What refuses a class declaration's header, if anything.
  enum class HeaderError { None, Specifiers, Declared };
  HeaderError ClassHeaderError(const SyntaxNode* node);
  [[nodiscard]] bool CheckFunction(SyntaxNode* node);
  [[nodiscard]] bool CheckVariables(SyntaxNode* node);
  [[nodiscard]] bool CheckDeclarator(SyntaxNode* node);
  [[nodiscard]] bool CheckStatement(SyntaxNode* node);
  [[nodiscard]] bool CheckSwitch(SyntaxNode* node);
  [[nodiscard]] bool CheckReturn(SyntaxNode* node);
  [[nodiscard]] bool CloseBlock(SyntaxNode* node);
  [[nodiscard]] bool CheckOn(SyntaxNode* node);
  // True when the class named by an object type node is declared (any
  // other type is fine); reports "object<%s> not declared" otherwise.
  [[nodiscard]] bool CheckObjectType(const SyntaxNode* typeNode, uint32_t line);
  // The innermost enclosing statement of one of the kinds in `mask`
  // (bits 1 << statement kind), or null.
  SyntaxNode* Owner(uint32_t mask) const;

  // --- expressions (CheckExpression.cpp)
  [[nodiscard]] bool CheckExpression(SyntaxNode* node);
  [[nodiscard]] bool CheckIdentifier(SyntaxNode* node);
  [[nodiscard]] bool CheckMe(SyntaxNode* node);
  [[nodiscard]] bool CheckOperator(SyntaxNode* node);
  [[nodiscard]] bool CheckTableOperator(SyntaxNode* node);
  [[nodiscard]] bool CheckMember(SyntaxNode* node);
  [[nodiscard]] bool CheckIndex(SyntaxNode* node);
  [[nodiscard]] bool CheckRange(SyntaxNode* node);
  [[nodiscard]] bool CheckSize(SyntaxNode* node);
  [[nodiscard]] bool CheckIsClass(SyntaxNode* node);
  [[nodiscard]] bool CheckCopy(SyntaxNode* node);
  [[nodiscard]] bool CheckCast(SyntaxNode* node);
  [[nodiscard]] bool CheckAssignment(SyntaxNode* node);
  [[nodiscard]] bool CheckNew(SyntaxNode* node);
  [[nodiscard]] bool CheckCall(SyntaxNode* node);
  [[nodiscard]] bool CheckInheritedCall(SyntaxNode* node, bool qualified);
  // Checks each argument against `function`'s parameters: failures give
  // "Error in expression"; converted arguments are wrapped in cast nodes.
  [[nodiscard]] bool ConvertArguments(SyntaxNode* call, GSFunctionSymbol* function);

public:
  // --- shared helpers
  // The class symbol of that name, or null (marks it referenced).
  GSClassSymbol* FindClass(std::string_view name);
  // True when `derived` is `base` or has it among its ancestors.
  [[nodiscard]] bool Derives(GSClassSymbol* derived, GSClassSymbol* base);
  // Relation of two named classes for a conversion: `either` accepts a
  // class derived from the other in either direction (casts, arguments),
  // else the source must be the target or derive from it.
  [[nodiscard]] bool ClassesRelated(std::string_view target, std::string_view source, bool either);
  // Turns an expression node into a constant node of the given kind.
  static void MakeConstant(SyntaxNode* node, int32_t kind, uint32_t bits, const char* text);
  // A copy of `text` in the file's pool (null for an empty text).
  const char* Pool(const std::string& text);

private:
  // Whether `node` is the called expression of a call.
  static SyntaxNode* CallOf(const SyntaxNode* node);
  SyntaxNode* NewTypeNode(uint32_t type, const std::string& className, uint32_t line);

  ParseContext& m_context;
  GSSymbolTable& m_symbols;
  bool m_declarationsOnly = false;
  bool m_abort = false;
  bool m_skip = false;
  GSClassSymbol* m_class = nullptr;
  GSFunctionSymbol* m_function = nullptr;
  std::vector<SyntaxNode*> m_owners;  // open for, while, switch and wait statements
  std::string m_symbolName;           // the function symbol name being built (its room kept)
};

}  // namespace GSCompiler
