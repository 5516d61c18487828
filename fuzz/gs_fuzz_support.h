#pragma once
// Shared by the GameScript fuzz targets: a compile of one source named
// "fuzz.gs", entered into the symbol table as the current file.
#include <cstddef>
#include <cstdint>

#include "gamescript/compiler/Driver.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Parser.h"
#include "gamescript/compiler/Scanner.h"
#include "gamescript/compiler/SymbolTable.h"

namespace GSFuzz {

struct OneSource {
  GSCompiler::CompileLog log;
  GSCompiler::ParseContext context;
  GSCompiler::GSSymbolTable table;
  GSCompiler::GSDependentSymbol* file = nullptr;

  OneSource() {
    context.Reset(&log, &table);
    context.fileName = context.stringPool.StrDup("fuzz.gs");
    table.SetContext(&context);
    file = table.NewDependent("fuzz.gs");
    // Any result will do: the run looks for faults, not answers.
    (void)table.Add(file, nullptr, false);
    table.currentFile = file;
  }
  OneSource(const OneSource&) = delete;
  OneSource& operator=(const OneSource&) = delete;

  // Parses the bytes into the context: 0 when they gave a tree.
  int Parse(const uint8_t* data, size_t size) {
    GSCompiler::Scanner scanner(reinterpret_cast<const char*>(data), size);
    return GSCompiler::Parse(scanner, context);
  }
};

}  // namespace GSFuzz
