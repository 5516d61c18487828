// Checks every file of the semantic corpus and compares the compile log with
// the file's "// EXPECT: " lines (none: the file must check cleanly); then the
// walk's limits and files checked for their declarations only.
#include <gtest/gtest.h>

#include "tests/gamescript/compiler/codegen_support.h"
#include "tests/gamescript/compiler/sema_support.h"

using namespace GSCompiler;

namespace {

TEST(SemaCorpus, EveryFileGivesItsExpectedMessages) {
  const auto files = ParserTest::CorpusFiles("sema");
  ASSERT_GE(files.size(), 10u);
  for (const auto& path : files) {
    const std::string source = ParserTest::ReadFile(path);
    const std::string name = path.filename().string();
    auto unit = SemaTest::CheckTexts(source, name.c_str());
    const auto expected = ParserTest::Expectations(source, "// EXPECT: ");
    EXPECT_EQ(unit->Lines(), expected) << name;
    EXPECT_EQ(unit->ok, expected.empty()) << name;
    EXPECT_EQ(unit->Main().context->errorCount, static_cast<int>(expected.size())) << name;
  }
}

std::string Function(const std::string& body) {
  return "class A\n{\n  void F(int i)\n  {\n" + body + "\n  }\n};\n";
}

TEST(SemaLimits, DeepNestingIsAnErrorNotACrash) {
  // A long left-leaning chain nests one operator inside the next; the
  // statements around it count towards the same limit.
  std::string chain = "    i = i";
  for (int n = 0; n < 100; ++n) chain += " + i";
  chain += ";";
  std::string ifs;
  for (int n = 0; n < 30; ++n) ifs += "if (i) ";
  auto deep = SemaTest::CheckTexts(Function(ifs + chain));
  EXPECT_FALSE(deep->ok);
  EXPECT_EQ(deep->Lines(), std::vector<std::string>{"t.gs(5) : Stack overflow; code nested too deep."});

  // Blocks nest deeper than the symbol table's levels before the walk's
  // stack is full: that is refused the same way.
  auto blocks = SemaTest::CheckTexts(Function(std::string(70, '{') + std::string(70, '}')));
  EXPECT_FALSE(blocks->ok);
  ASSERT_EQ(blocks->Lines().size(), 1u);
  EXPECT_NE(blocks->Lines()[0].find("Stack overflow; code nested too deep."), std::string::npos);
  EXPECT_EQ(blocks->table->Level(), 0);  // the aborted walk leaves no level open

  // Within the limits the same shapes check and fold.
  std::string sum = "    int big = 1";
  for (int n = 0; n < 100; ++n) sum += " + 1";
  sum += "; switch (i) { case " + std::string(40, '(') + "2" + std::string(40, ')') +
         ": break; default: break; }";
  auto fine = SemaTest::CheckTexts(Function(sum + std::string(50, '{') + std::string(50, '}')));
  EXPECT_TRUE(fine->ok) << (fine->Lines().empty() ? "" : fine->Lines()[0]);
  SyntaxNode* init = SemaTest::FindNode(
      fine->Tree(), [](SyntaxNode* n) { return n->kind == DeclDeclarator && n->category == CatDeclaration; });
  ASSERT_NE(init, nullptr);
  ASSERT_NE(init->child[1], nullptr);
  EXPECT_EQ(init->child[1]->kind, ExprConstant);
  EXPECT_EQ(init->child[1]->datum, 101u);
}

// A compile checks a class a member at a time as it is read: a member sits
// as deep under its class as in the walk of the whole class, so the same
// nesting passes or fails either way.
TEST(SemaLimits, MembersCheckedOneAtATimeMeetTheSameNestingLimit) {
  int passed = 0, failed = 0;
  for (int n = 110; n <= 130; ++n) {
    std::string ifs;
    for (int k = 0; k < n; ++k) ifs += "if (i) ";
    const std::string text = Function(ifs + "i = 1;");
    const bool whole = SemaTest::CheckTexts(text)->ok;
    const CodegenTest::Built memberwise = CodegenTest::Build(text);
    EXPECT_EQ(memberwise.errors == 0, whole) << n << " ifs: " << memberwise.Log();
    (whole ? passed : failed) += 1;
  }
  EXPECT_GT(passed, 0);  // the limit lies inside the range
  EXPECT_GT(failed, 0);
}

TEST(SemaIncludes, IncludedFilesAreCheckedForTheirDeclarationsOnly) {
  // The include's bodies and member initialisers hold errors that are not
  // reported; its classes, members and defines are entered for the main file.
  const std::string library =
      "class Lib\n{\n"
      "  public define float SCALE = 2;\n"
      "  public define int HALF = 3.75;\n"
      "  public define bool SET = 0.5;\n"
      "  public define string NAME = \"lib\";\n"
      "  public int count = undeclared;\n"
      "  public int Count() { return nothing + \"x\"; }\n"
      "  public void Unfinished(Missing m);\n"
      "};\n";
  auto unit = SemaTest::CheckTexts(
      "class Main\n{\n"
      "  void F(Lib lib)\n  {\n"
      "    float f = Lib.SCALE;\n"
      "    int i = lib.Count() + lib.count + lib.HALF;\n"
      "    switch (i) { case Lib.HALF: break; default: break; }\n"
      "    string s = Lib.NAME + lib.missing;\n"
      "  }\n};\n",
      "main.gs", {{"lib.gs", library}});
  EXPECT_TRUE(unit->files[0]->Lines().empty());
  EXPECT_EQ(unit->files[0]->context->errorCount, 0);
  EXPECT_EQ(unit->Lines(),
            std::vector<std::string>{"main.gs(8) : member missing does not exist in object Lib, line 8."});

  // A define of one number type given the other type's constant holds the
  // converted value, never the other type's bits.
  auto define = [&](const char* name) {
    GSSymbol* s = unit->table->Lookup(
        name, static_cast<GSClassSymbol*>(unit->table->Lookup("Lib", nullptr, true, false)), false, true);
    EXPECT_NE(s, nullptr) << name;
    return static_cast<GSVariableSymbol*>(s);
  };
  EXPECT_EQ(define("SCALE")->defineValue, 0x40000000u);  // 2.0f
  EXPECT_EQ(define("HALF")->defineValue, 3u);
  EXPECT_EQ(define("SET")->defineValue, 1u);
  EXPECT_EQ(define("NAME")->defineText, "lib");

  // Used in the main file, the float define is a float constant node.
  SyntaxNode* scale = SemaTest::FindNode(unit->Tree(), [](SyntaxNode* n) {
    return n->category == CatDeclaration && n->kind == DeclDeclarator && n->type == TypeFloat;
  });
  ASSERT_NE(scale, nullptr);
  ASSERT_NE(scale->child[1], nullptr);
  EXPECT_EQ(scale->child[1]->kind, ExprConstant);
  EXPECT_EQ(scale->child[1]->value, ConstFloat);
  EXPECT_EQ(scale->child[1]->datum, 0x40000000u);
}

TEST(SemaIncludes, CyclicClassesOfAnIncludeAreReportedWhereUsed) {
  // Classes of an include resolve their bases only when used; a cycle among
  // them is then reported (in the include's name) and nothing loops.
  auto unit = SemaTest::CheckTexts(
      "class Main\n{\n  void F(Loop a)\n  {\n    a.x = 1;\n    a.Go();\n    Loop b = new Other();\n  }\n};\n",
      "main.gs",
      {{"loop.gs",
        "class Loop isclass Other { public int x; public void Go(); };\nclass Other isclass Loop { };\n"}});
  EXPECT_FALSE(unit->ok);
  const auto lines = unit->Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "loop.gs(2) : Class Loop and Other causes cyclic derivation, line 2.");
}

TEST(SemaDeclarations, LocalsWithSpecifiersAreRefused) {
  // The grammar gives locals no specifiers; a tree that has them anyway is
  // still refused.
  auto parsed = ParserTest::ParseText(Function("    int x;"));
  ASSERT_EQ(parsed->result, 0);
  SyntaxNode* local = SemaTest::FindNode(parsed->Tree(), [](SyntaxNode* n) {
    return n->category == CatDeclaration && n->kind == DeclVariables;
  });
  ASSERT_NE(local, nullptr);
  local->flags |= SpecPublic;
  GSSymbolTable table;
  parsed->context->symbols = &table;
  table.SetContext(parsed->context.get());
  EXPECT_FALSE(Check(parsed->Tree(), *parsed->context, false));
  EXPECT_EQ(parsed->Lines(),
            std::vector<std::string>{"t.gs(5) : variable declaration has illegal specifiers, line 5."});
}

TEST(SemaDeclarations, MeOutsideAClassIsRefused) {
  // The grammar keeps every declaration inside a class; a variable declared
  // outside one (a tree made by hand) goes to the global table, and `me` in
  // its initialiser has no class to name.
  auto parsed = ParserTest::ParseText("class A\n{\n  A self = me;\n};\n");
  ASSERT_EQ(parsed->result, 0);
  SyntaxNode* variables = SemaTest::FindNode(parsed->Tree(), [](SyntaxNode* n) {
    return n->category == CatDeclaration && n->kind == DeclVariables;
  });
  ASSERT_NE(variables, nullptr);
  variables->next = nullptr;
  variables->flags &= ~FlagClassMember;
  const auto declared = SemaTest::CheckTexts("class A { };", "a.gs");
  GSSymbolTable& table = *declared->table;
  parsed->context->symbols = &table;
  table.SetContext(parsed->context.get());
  EXPECT_FALSE(Check(variables, *parsed->context, false));
  EXPECT_EQ(parsed->Lines(), std::vector<std::string>{"t.gs(3) : me keyword invalid in static, line 3."});
}

}  // namespace
