#pragma once
// Semantic analysis of one parsed GameScript source: enters its declarations
// into the unit's symbol table, checks its statements and expressions, types
// every expression node, folds constant operations, links jumps to the
// statements they belong to and reports every error through the compiler's
// message function.

namespace GSCompiler {

class ParseContext;
struct SyntaxNode;

// Walks `tree` (the file's declaration list) with the symbol table of
// `context`. With `declarationsOnly` (a file included for its declarations)
// classes, functions and members are entered but bodies are not checked.
// True when no check failed; every error is counted in `context`. `aborted`,
// when given, tells whether an error stopped the walk: a file checked a class
// at a time checks no further class after that.
bool Check(SyntaxNode* tree, ParseContext& context, bool declarationsOnly, bool* aborted = nullptr);

}  // namespace GSCompiler
