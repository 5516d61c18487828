#pragma once
// Finding, loading and parsing one GameScript source file.

#include <string>

namespace GSCompiler {

class ParseContext;
class ParseSink;

// The path of a source as the reader finds it: an absolute name as it is,
// else joined to each folder of the include-path list in order, a ".gs" name
// also as its ".gse" file. `base` (when given) receives the base-folder key of
// the folder it was found in, null for none. Empty when it is nowhere.
std::string FindSource(const char* fileName, const char** base = nullptr);

// Finds `fileName` through the include-path list (a ".gs" name falls back to its
// ".gse" file), loads it, refuses UTF-8 text, parses it into `context` and sets
// the context's two identity words. Returns 0 when the file was read and parsed,
// 1 otherwise (the context's error count is then at least 1).
// With a sink the declarations go to it as they are parsed (see ParseSink),
// and the identity words are set before the first one. When the file then
// turns out not to parse, the messages logged since it was opened (by the
// sink's work) are taken back: only the reasons it did not parse remain, as
// if nothing had been done with its declarations.
int ReadAndParseSource(const char* fileName, ParseContext& context, ParseSink* sink = nullptr);

}  // namespace GSCompiler
