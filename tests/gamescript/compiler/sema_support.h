#pragma once
// Shared helpers of the semantic-check tests: parse texts with the real
// parser and run the checks over them in one symbol table, as a unit does
// (included files for their declarations only).

#include <memory>
#include <string>
#include <vector>

#include "gamescript/compiler/Semantic.h"
#include "gamescript/compiler/SymbolTable.h"
#include "tests/gamescript/compiler/parser_support.h"

namespace SemaTest {

struct Unit {
  std::unique_ptr<GSCompiler::GSSymbolTable> table = std::make_unique<GSCompiler::GSSymbolTable>();
  std::vector<std::unique_ptr<ParserTest::Parsed>> files;
  bool ok = false;

  ParserTest::Parsed& Main() { return *files.back(); }
  GSCompiler::SyntaxNode* Tree() { return Main().Tree(); }
  std::vector<std::string> Lines() { return Main().Lines(); }
};

// Checks `includes` (declarations only) and then `source`, each under its
// own name; `ok` is the main file's check result. A file that does not parse
// fails the test.
inline std::unique_ptr<Unit> CheckTexts(
    const std::string& source, const char* name = "t.gs",
    const std::vector<std::pair<std::string, std::string>>& includes = {}) {
  auto unit = std::make_unique<Unit>();
  auto checkOne = [&](const std::string& text, const std::string& fileName, bool declarationsOnly) {
    auto parsed = ParserTest::ParseText(text, fileName.c_str());
    EXPECT_EQ(parsed->result, 0) << fileName << ": " << (parsed->Lines().empty() ? "" : parsed->Lines()[0]);
    GSCompiler::GSSymbolTable& table = *unit->table;
    parsed->context->symbols = &table;
    table.SetContext(parsed->context.get());
    GSCompiler::GSDependentSymbol* file = table.NewDependent(fileName);
    EXPECT_TRUE(table.Add(file, nullptr, false));
    table.currentFile = file;
    table.ResetImportIndexes();
    const bool ok =
        parsed->result == 0 && GSCompiler::Check(parsed->Tree(), *parsed->context, declarationsOnly);
    unit->files.push_back(std::move(parsed));
    return ok;
  };
  for (const auto& [fileName, text] : includes) checkOne(text, fileName, true);
  unit->ok = checkOne(source, name, false);
  return unit;
}

// Depth-first search of the tree (children, then the next sibling).
template <typename Pred>
GSCompiler::SyntaxNode* FindNode(GSCompiler::SyntaxNode* node, Pred&& pred) {
  for (; node != nullptr; node = node->next) {
    if (pred(node)) return node;
    for (GSCompiler::SyntaxNode* child : node->child)
      if (GSCompiler::SyntaxNode* found = FindNode(child, pred)) return found;
  }
  return nullptr;
}

}  // namespace SemaTest
