// Parses arbitrary bytes as a GameScript source, then enters the classes it
// declares into a symbol table and resolves their bases, and runs the semantic
// checks over it, once for its declarations only and once whole. Any input
// must end in a tree or exactly one reported parse error, and in checks whose
// result agrees with the errors they logged, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/gs_fuzz_support.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Parser.h"
#include "gamescript/compiler/Scanner.h"
#include "gamescript/compiler/Semantic.h"
#include "gamescript/compiler/SymbolTable.h"
#include "gamescript/compiler/SyntaxTree.h"

using namespace GSCompiler;

namespace {

// Parses the input again into a fresh context and table and checks it.
void CheckSource(const uint8_t* data, size_t size, bool declarationsOnly) {
  GSFuzz::OneSource one;
  const CompileLog& log = one.log;
  ParseContext& context = one.context;
  const GSSymbolTable& table = one.table;
  if (one.Parse(data, size) != 0) return;
  const bool ok = Check(context.declarations, context, declarationsOnly);
  // Every error is one logged line; the result tells whether there was one.
  if (ok != (context.errorCount == 0) || log.Count() != static_cast<size_t>(context.errorCount))
    __builtin_trap();
  if (table.Level() != 0 || table.currentFunction != nullptr) __builtin_trap();
  (void)DumpTree(context.declarations);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CompileLog log;
  ParseContext context;
  GSSymbolTable table;
  context.Reset(&log, &table);
  context.fileName = context.stringPool.StrDup("fuzz.gs");
  Scanner scanner(reinterpret_cast<const char*>(data), size);
  const int result = Parse(scanner, context);
  if (result != 0) {
    // One message, one error, no tree.
    if (log.Count() != 1 || context.errorCount != 1 || context.declarations != nullptr) __builtin_trap();
    return 0;
  }
  if (context.declarations == nullptr || log.Count() != 0) __builtin_trap();
  (void)DumpTree(context.declarations);

  table.SetContext(&context);
  std::vector<GSClassSymbol*> classes;
  for (const SyntaxNode* decl = context.declarations; decl; decl = decl->next) {
    if (decl->kind != DeclClass) continue;
    GSClassSymbol* cls = table.NewClass(decl->child[0]->text);
    cls->specifiers = decl->flags;
    for (const SyntaxNode* base = decl->child[1]; base; base = base->next)
      cls->extends.push_back({base->text, static_cast<int>(base->line)});
    if (!table.Add(cls, nullptr, false)) continue;
    classes.push_back(cls);
    for (const SyntaxNode* m = decl->child[2]; m; m = m->next) {
      GSSymbol* member = m->kind == DeclVariables
                             ? static_cast<GSSymbol*>(table.NewVariable(m->child[1]->child[0]->text))
                             : static_cast<GSSymbol*>(table.NewFunction(m->child[1]->text));
      // Any result will do: the run looks for faults, not answers.
      (void)table.Add(member, cls, true);
    }
  }
  for (GSClassSymbol* cls : classes) {
    // Any result will do: the run looks for faults, not answers.
    (void)table.ResolveExtends(cls);
    cls->members.ForEach([&](GSSymbol* m) { (void)table.MemberPosition(cls, m); });
  }
  (void)table.Dump();

  CheckSource(data, size, true);
  CheckSource(data, size, false);
  return 0;
}
