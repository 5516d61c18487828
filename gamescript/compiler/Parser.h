#pragma once
// Parser of one GameScript source file.

namespace GSCompiler {

class Scanner;
class ParseContext;

// Reads every token of `scanner` and builds the file's syntax tree in the node
// pool of `context`, storing the list of top-level declarations (includes, then
// classes) in the context. Returns 0 when the file was accepted, 1 after the
// first syntax error or when nesting is too deep (reported through the
// compiler's message function; the parse stops there, nothing is recovered).
int Parse(Scanner& scanner, ParseContext& context);

}  // namespace GSCompiler
