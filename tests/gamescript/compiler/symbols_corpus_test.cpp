// Enters the classes and members of each symbols-corpus file into a symbol
// table, resolves every class's bases in declaration order and compares the
// messages ("// EXPECT: ") and class layouts ("// LAYOUT: ") the file carries.
#include <gtest/gtest.h>

#include "gamescript/compiler/SymbolTable.h"
#include "tests/gamescript/compiler/parser_support.h"

using namespace GSCompiler;

namespace {

std::string TypeOf(const SyntaxNode* type) {
  const char* cls = type->child[0] ? type->child[0]->text : "";
  return TypeText(static_cast<uint32_t>(type->value), cls);
}

// Declarations only: what the hierarchy checks need of a file.
std::vector<GSClassSymbol*> Enter(GSSymbolTable& table, const SyntaxNode* program) {
  std::vector<GSClassSymbol*> classes;
  for (const SyntaxNode* decl = program; decl; decl = decl->next) {
    if (decl->kind != DeclClass) continue;
    GSClassSymbol* cls = table.NewClass(decl->child[0]->text);
    cls->specifiers = decl->flags;
    for (const SyntaxNode* base = decl->child[1]; base; base = base->next)
      cls->extends.push_back({base->text, static_cast<int>(base->line)});
    if (!table.Add(cls, nullptr, false)) continue;
    classes.push_back(cls);
    for (const SyntaxNode* m = decl->child[2]; m; m = m->next) {
      if (m->kind == DeclVariables) {
        for (const SyntaxNode* d = m->child[1]; d; d = d->next) {
          GSVariableSymbol* v = table.NewVariable(d->child[0]->text);
          v->type = static_cast<uint32_t>(m->child[0]->value);
          EXPECT_TRUE(table.Add(v, cls, true));
        }
      } else {
        std::vector<std::string> types;
        for (const SyntaxNode* p = m->child[2]; p; p = p->next) types.push_back(TypeOf(p->child[0]));
        GSFunctionSymbol* f = table.NewFunction(FunctionSymbolName(m->child[1]->text, types));
        f->parameterCells = 1 + static_cast<int32_t>(types.size());
        f->type = static_cast<uint32_t>(m->child[0]->value);
        EXPECT_TRUE(table.Add(f, cls, true));
      }
    }
  }
  return classes;
}

std::string Layout(const GSClassSymbol* cls) {
  std::string text =
      cls->name + " " + std::to_string(cls->variableBase) + " " + std::to_string(cls->functionBase);
  for (const AncestorEntry& e : cls->ancestors)
    text +=
        " " + e.base->name + ":" + std::to_string(e.vo) + ":" + std::to_string(e.fo) + (e.direct ? "" : "*");
  return text;
}

TEST(SymbolsCorpus, HierarchyMessagesAndLayouts) {
  const auto files = ParserTest::CorpusFiles("symbols");
  ASSERT_GE(files.size(), 4u);
  for (const auto& path : files) {
    const std::string source = ParserTest::ReadFile(path);
    const std::string name = path.filename().string();
    auto parsed = ParserTest::ParseText(source, name.c_str());
    ASSERT_EQ(parsed->result, 0) << name << ": " << (parsed->Lines().empty() ? "" : parsed->Lines()[0]);

    GSSymbolTable table;
    parsed->context->symbols = &table;
    table.SetContext(parsed->context.get());
    GSDependentSymbol* file = table.NewDependent(name);
    EXPECT_TRUE(table.Add(file, nullptr, false));
    table.currentFile = file;
    std::vector<std::string> layouts;
    for (GSClassSymbol* cls : Enter(table, parsed->Tree()))
      if (table.ResolveExtends(cls)) layouts.push_back(Layout(cls));

    EXPECT_EQ(parsed->Lines(), ParserTest::Expectations(source, "// EXPECT: ")) << name;
    for (const std::string& want : ParserTest::Expectations(source, "// LAYOUT: "))
      EXPECT_NE(std::find(layouts.begin(), layouts.end(), want), layouts.end())
          << name << ": no class with layout " << want;
  }
}

}  // namespace
