#pragma once
// State of one source file while it is read, parsed and checked.

#include <cstddef>
#include <cstdint>
#include <string>

#include "gamescript/runtime/Memory.h"

namespace GSCompiler {

class CompileLog;
class GSSymbolTable;
struct SyntaxNode;

class ParseContext {
public:
  GSSymbolTable* symbols = nullptr;    // shared by every file of a unit
  SyntaxNode* declarations = nullptr;  // top level: include directives, then classes
  int errorCount = 0;
  int warningCount = 0;
  CompileLog* log = nullptr;       // null: messages are dropped
  const char* fileName = nullptr;  // pooled; the name this file's messages carry
  uint32_t sourceCrc = 0;          // identity word 1: CRC-32 of the source text
  uint32_t fileNameCrc = 0;        // identity word 2: CRC-32 of the lower-cased name part
  Utils::FrameMemory stringPool;   // the syntax tree with its names and literal texts
  Utils::FrameMemory memberPool;   // the tree of a class member handed over on its own
  std::string fileNameText;        // storage of the file name, which outlives the tree

  ParseContext() = default;
  ParseContext(const ParseContext&) = delete;
  ParseContext& operator=(const ParseContext&) = delete;

  // A member's tree is made and dropped once per member: blocks that hold a
  // usual function whole spare a block change per few nodes and leave the
  // rewind one block to reset.
  static constexpr std::size_t kMemberBlockSize = 32768;

  // Clears the counts, the file name and the tree, re-initialises the string
  // pool (2048-byte blocks) and the member pool, and sets the log and the
  // symbol table.
  void Reset(CompileLog* newLog, GSSymbolTable* table) {
    errorCount = 0;
    warningCount = 0;
    fileName = nullptr;
    fileNameText.clear();
    declarations = nullptr;
    sourceCrc = 0;
    fileNameCrc = 0;
    // Memory the pool cannot get is refused again at its first use, which fails the compile.
    (void)stringPool.Init(Utils::FrameMemory::kDefaultBlockSize);
    // Memory the pool cannot get is refused again at its first use, which fails the compile.
    (void)memberPool.Init(kMemberBlockSize);
    log = newLog;
    symbols = table;
  }
};

// The context of the file being read; null outside ReadAndParseSource.
ParseContext* CurrentParseContext();
void SetCurrentParseContext(ParseContext* context);

}  // namespace GSCompiler
