// Tokenises arbitrary bytes with the GameScript scanner, with the normal buffer
// and with a tiny one, and checks that every token lies inside the input, never
// exceeds the buffer, and that line numbers only grow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "gamescript/compiler/Scanner.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void Tokenise(const char* text, size_t size, size_t buffer) {
  GSCompiler::Scanner scanner(text, size, buffer);
  int errors = 0;
  scanner.SetErrorSink([](void* user, int, const char*) { ++*static_cast<int*>(user); }, &errors);
  int line = 1;
  size_t tokens = 0;
  for (;;) {
    const int token = scanner.Next();
    Check(scanner.Line() >= line);
    line = scanner.Line();
    if (token == 0) break;
    Check(++tokens <= size);  // every token consumes at least one byte
    const std::string_view t = scanner.Text();
    Check(t.data() >= text && t.data() + t.size() <= text + size && !t.empty());
    Check(token == GSCompiler::SYMBOL_UNKNOWN || t.size() <= buffer);
    Check((token > 0 && token < 256) ||
          (token >= GSCompiler::KEYWORD_BREAK && token <= GSCompiler::SYMBOL_UNKNOWN));
  }
  Check(errors == scanner.ErrorCount());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  Tokenise(text, size, GSCompiler::Scanner::kBufferSize);
  Tokenise(text, size, 16);
  return 0;
}
