#pragma once
// Finding, loading and parsing one GameScript source file.

namespace GSCompiler {

class ParseContext;

// Finds `fileName` through the include-path list (a ".gs" name falls back to its
// ".gse" file), loads it, refuses UTF-8 text, parses it into `context` and sets
// the context's two identity words. Returns 0 when the file was read and parsed,
// 1 otherwise (the context's error count is then at least 1).
int ReadAndParseSource(const char* fileName, ParseContext& context);

}  // namespace GSCompiler
