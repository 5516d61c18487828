#pragma once
// Parser of one GameScript source file.

namespace GSCompiler {

class Scanner;
class ParseContext;
struct SyntaxNode;

// Takes a file's declarations while it is parsed, so that a large file never
// holds more than one class's tree: each list handed over lives until the
// call returns, then its memory (the whole node pool of the context) is
// reused. The include directives come first, then each class in turn.
class ParseSink {
public:
  virtual void Includes(SyntaxNode* includes) = 0;
  virtual void Class(SyntaxNode* declaration) = 0;
  // Asked once per class before its first member, with the class's node (its
  // name, bases and specifiers; the line is set at its end). True: each member
  // goes to Member as soon as it is read and its memory is reused after that
  // call, and Class then gets the class without members. A class of many
  // functions thus never holds more than one function's tree.
  [[nodiscard]] virtual bool TakesMembers(SyntaxNode* declaration) {
    (void)declaration;
    return false;
  }
  virtual void Member(SyntaxNode* member) { (void)member; }

protected:
  ~ParseSink() = default;
};

// Reads every token of `scanner` and builds the file's syntax tree in the node
// pool of `context`, storing the list of top-level declarations (includes, then
// classes) in the context. Returns 0 when the file was accepted, 1 after the
// first syntax error or when nesting is too deep (reported through the
// compiler's message function; the parse stops there, nothing is recovered).
// With a sink the declarations go to it instead and the context keeps none.
int Parse(Scanner& scanner, ParseContext& context, ParseSink* sink = nullptr);

// Runs `body` on a stack deep enough for the parser's nesting limit; at once
// when already on it, so a whole compile (its includes included) can run there.
void RunOnParseStack(void (*body)(void*), void* argument);

}  // namespace GSCompiler
