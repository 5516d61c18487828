// Compiles arbitrary bytes as one GameScript source: parse, check, generate the
// byte code and write the library image. A source that passes the checks must
// either be refused by code generation with logged errors or give a library
// that the runtime's reader accepts (framing, counts, indexes, frame words,
// instruction boundaries and jump targets); never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/gs_fuzz_support.h"
#include "gamescript/compiler/CodeGen.h"
#include "gamescript/compiler/Library.h"
#include "gamescript/compiler/Semantic.h"
#include "gamescript/runtime/LibraryFile.h"

using namespace GSCompiler;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  GSFuzz::OneSource one;
  CompileLog& log = one.log;
  ParseContext& context = one.context;
  GSSymbolTable& table = one.table;
  GSDependentSymbol* file = one.file;
  file->index = 0;
  if (one.Parse(data, size) != 0) return 0;
  table.ClearScopes();
  table.ResetImportIndexes();
  if (!Check(context.declarations, context, false) || context.errorCount != 0) return 0;

  LibraryImage image;
  CodeGenerator generator(table, image, context);
  const std::size_t before = log.Count();
  if (!generator.Generate(context.declarations)) {
    if (log.Count() == before) __builtin_trap();  // a refusal always says why
    return 0;
  }
  Utils::ByteBuffer buffer;
  // Any result will do: the run looks for faults, not answers.
  (void)buffer.Init(1024);
  LibrarySource source;
  source.name = "fuzz.gs";
  source.files = {file};
  if (!WriteLibraryImage(buffer, table, image, source, &log)) {
    if (log.Count() == before) __builtin_trap();
    return 0;
  }
  const std::vector<uint8_t> bytes(buffer.Data(), buffer.Data() + buffer.Length());
  GSRuntime::LibraryFile library;
  if (!GSRuntime::ReadLibraryFile(bytes, library).empty()) __builtin_trap();
  return 0;
}
