#pragma once
// Semantic analysis of one parsed GameScript source: enters its declarations
// into the unit's symbol table, checks its statements and expressions, types
// every expression node, folds constant operations, links jumps to the
// statements they belong to and reports every error through the compiler's
// message function.

#include <memory>

namespace GSCompiler {

class ParseContext;
class SemanticWalker;
struct SyntaxNode;

// Walks `tree` (the file's declaration list) with the symbol table of
// `context`. With `declarationsOnly` (a file included for its declarations)
// classes, functions and members are entered but bodies are not checked.
// True when no check failed; every error is counted in `context`. `aborted`,
// when given, tells whether an error stopped the walk: a file checked a class
// at a time checks no further class after that.
[[nodiscard]] bool Check(SyntaxNode* tree, ParseContext& context, bool declarationsOnly,
                         bool* aborted = nullptr);

// The same check a class at a time as the parser hands its members over, with
// the same messages in the same order. Begin is false, having checked
// nothing, when the class must be checked whole (Check, once it is read).
class ClassCheck {
public:
  explicit ClassCheck(ParseContext& context);
  ~ClassCheck();
  ClassCheck(const ClassCheck&) = delete;
  ClassCheck& operator=(const ClassCheck&) = delete;

  [[nodiscard]] bool Begin(SyntaxNode* declaration, bool declarationsOnly);
  void Member(SyntaxNode* member);
  void End(SyntaxNode* declaration);
  // Whether an error stopped the walk (as `aborted` of Check).
  [[nodiscard]] bool Aborted() const;

private:
  ParseContext& m_context;
  std::unique_ptr<SemanticWalker> m_walker;
  bool m_open = false;  // a class is being checked
};

}  // namespace GSCompiler
