// Compiles arbitrary bytes as a source file twice: as the compiler does, each
// class checked and generated while the file is still being parsed, and as a
// whole tree parsed first, then checked, then generated. Both must report the
// same messages and the same error count, and give the same library bytes;
// never a crash or a hang.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_scratch.h"
#include "gamescript/compiler/CodeGen.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/compiler/Library.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Semantic.h"
#include "gamescript/compiler/Source.h"
#include "gamescript/compiler/SyntaxTree.h"

using namespace GSCompiler;

namespace {

struct Outcome {
  int errors = 0;
  std::vector<std::string> log;
  std::vector<uint8_t> library;
};

std::vector<std::string> Lines(const CompileLog& log) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < log.Count(); ++i) lines.emplace_back(log.At(i));
  return lines;
}

Outcome Streamed() {
  Outcome out;
  CompileLog log;
  CompileUnit unit;
  out.errors = unit.Compile("fuzz.gs", &log);
  if (out.errors == 0) {
    Utils::ByteBuffer buffer;
    // Any result will do: the run looks for faults, not answers.
    (void)buffer.Init(1024);
    if (unit.WriteLibrary(buffer, &log, "fuzz.gs"))
      out.library.assign(buffer.Data(), buffer.Data() + buffer.Length());
  }
  out.log = Lines(log);
  return out;
}

// The same unit as a whole tree; false when the source has includes (not
// compared: the other path would look for their files).
bool WholeTree(Outcome& out) {
  CompileLog log;
  GSSymbolTable table;
  ParseContext context;
  context.Reset(&log, &table);
  table.SetContext(&context);
  int errors = ReadAndParseSource("fuzz.gs", context);
  if (errors == 0) {
    for (const SyntaxNode* d = context.declarations; d; d = d->next)
      if (d->category == CatDeclaration && d->kind == DeclInclude) return false;
    GSDependentSymbol* file = table.NewDependent("fuzz.gs");
    file->sourceCrc = context.sourceCrc;
    file->fileNameCrc = context.fileNameCrc;
    file->index = 0;
    // Any result will do: the run looks for faults, not answers.
    (void)table.Add(file, nullptr, false);
    table.ClearScopes();
    table.currentFile = file;
    context.errorCount = 0;
    table.ResetImportIndexes();
    // Any result will do: the run looks for faults, not answers.
    (void)Check(context.declarations, context, false);
    errors = context.errorCount;
    if (errors == 0) {
      LibraryImage image;
      CodeGenerator generator(table, image, context);
      if (!generator.Generate(context.declarations)) {
        errors = std::max(generator.CountedErrors(), 1);
        log.Add("\nInternal Code Generation Error...");
      } else {
        Utils::ByteBuffer buffer;
        // Any result will do: the run looks for faults, not answers.
        (void)buffer.Init(1024);
        LibrarySource source;
        source.name = "fuzz.gs";
        source.sourceCrc = context.sourceCrc;
        source.fileNameCrc = context.fileNameCrc;
        source.files = {file};
        context.declarations = nullptr;
        if (WriteLibraryImage(buffer, table, image, source, &log))
          out.library.assign(buffer.Data(), buffer.Data() + buffer.Length());
      }
      out.errors = errors;
      out.log = Lines(log);
      table.SetContext(nullptr);
      return true;
    }
  }
  log.Addf(".. while compiling '%s'", "fuzz.gs");
  out.errors = errors;
  out.log = Lines(log);
  table.SetContext(nullptr);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& folder = FuzzScratchFolder("gs-compile-stream");
  std::ofstream(folder + "/fuzz.gs", std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  ClearIncludePaths();
  AppendIncludePath({Kiv::File::Path(folder), {}});
  Outcome whole;
  if (WholeTree(whole)) {
    const Outcome streamed = Streamed();
    if (streamed.errors != whole.errors || streamed.log != whole.log || streamed.library != whole.library)
      __builtin_trap();
  }
  ClearIncludePaths();
  return 0;
}
