// Overload resolution, inserted argument conversions, and the symbols, cells,
// slots and links the checks leave in the tree for code generation.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/gamescript/compiler/sema_support.h"

using namespace GSCompiler;

namespace {

// The n-th call in the tree (depth first).
SyntaxNode* Call(SemaTest::Unit& unit, int n) {
  int seen = 0;
  return SemaTest::FindNode(unit.Tree(), [&](SyntaxNode* node) {
    return node->category == CatExpression && node->kind == ExprCall && seen++ == n;
  });
}

std::string Joined(SemaTest::Unit& unit) {
  std::string all;
  for (const std::string& line : unit.Lines()) all += line + "\n";
  return all;
}

TEST(SemaCalls, OverloadsPickTheFewestConversions) {
  auto unit = SemaTest::CheckTexts(
      "class Shape { };\nclass Square isclass Shape { };\n"
      "class A\n{\n"
      "  void f(int i) { }\n  void f(float x) { }\n"
      "  void g(float x) { }\n  void g(string s) { }\n"
      "  void h(Shape s) { }\n  void h(Square s) { }\n"
      "  void k(Square s) { }\n"
      "  void Run(Shape shape, Square square)\n  {\n"
      "    f(1);\n    f(1.5);\n    g(1);\n    h(square);\n    h(shape);\n    k(shape);\n    k(null);\n"
      "  }\n};\n");
  ASSERT_TRUE(unit->ok) << Joined(*unit);

  // f(1) needs no conversion with f(int); its argument stays as written.
  SyntaxNode* call = Call(*unit, 0);
  ASSERT_NE(call->symbol, nullptr);
  EXPECT_EQ(call->symbol->name, "::f(int)");
  EXPECT_EQ(call->child[1]->kind, ExprConstant);
  EXPECT_EQ(Call(*unit, 1)->symbol->name, "::f(float)");

  // g(1): both candidates convert, so the first in table order wins, without
  // an ambiguity, and the argument is wrapped in a cast to its parameter.
  call = Call(*unit, 2);
  const std::string picked = call->symbol->name;
  EXPECT_TRUE(picked == "::g(float)" || picked == "::g(string)") << picked;
  SyntaxNode* cast = call->child[1];
  ASSERT_EQ(cast->kind, ExprOperator);
  EXPECT_EQ(cast->value, OpCast);
  EXPECT_EQ(cast->type, picked == "::g(float)" ? TypeFloat : TypeString);
  ASSERT_NE(cast->child[1], nullptr);
  EXPECT_EQ(cast->child[1]->kind, DeclType);
  EXPECT_EQ(static_cast<uint32_t>(cast->child[1]->value), cast->type);
  EXPECT_EQ(cast->child[0]->kind, ExprConstant);
  EXPECT_EQ(cast->child[0]->next, nullptr);

  // Exact class beats a base class; a base argument reaches the derived
  // parameter through a cast to that class.
  EXPECT_EQ(Call(*unit, 3)->symbol->name, "::h(Square)");
  EXPECT_EQ(Call(*unit, 4)->symbol->name, "::h(Shape)");
  EXPECT_EQ(Call(*unit, 4)->child[1]->kind, ExprIdentifier);
  cast = Call(*unit, 5)->child[1];
  ASSERT_EQ(cast->value, OpCast);
  EXPECT_EQ(cast->type, TypeObject);
  ASSERT_NE(cast->className, nullptr);
  EXPECT_STREQ(cast->className, "Square");
  EXPECT_EQ(Call(*unit, 6)->child[1]->value, OpCast);  // null becomes an object
}

TEST(SemaCalls, QualifiedStaticAndInheritedCalls) {
  auto unit = SemaTest::CheckTexts(
      "static class Tools\n{\n  public int Twice(int i) { return i * 2; }\n};\n"
      "class Base\n{\n  public float Area() { return 1.0; }\n  public void Grow(int by) { }\n};\n"
      "class Room isclass Base\n{\n"
      "  public float Area() { return inherited() * 2; }\n"
      "  public void Grow(int by) { inherited(by + 1); }\n"
      "  int Use(Base other) { other.Grow(3); return Tools.Twice(2); }\n"
      "};\n");
  ASSERT_TRUE(unit->ok) << Joined(*unit);
  SyntaxNode* inheritedArea = Call(*unit, 0);
  ASSERT_NE(inheritedArea, nullptr);
  EXPECT_TRUE(inheritedArea->flags & FlagInheritedCall);
  EXPECT_EQ(inheritedArea->type, TypeFloat);
  EXPECT_EQ(inheritedArea->symbol->name, "::Area()");

  SyntaxNode* grow = Call(*unit, 2);
  ASSERT_NE(grow, nullptr);
  EXPECT_TRUE(grow->flags & FlagQualifiedCall);
  EXPECT_FALSE(grow->flags & SpecFinal);  // dispatched through the function table
  EXPECT_EQ(grow->symbol->name, "::Grow(int)");
  EXPECT_EQ(grow->position, 1);  // Base's second function

  SyntaxNode* twice = Call(*unit, 3);
  ASSERT_NE(twice, nullptr);
  EXPECT_TRUE(twice->flags & FlagQualifiedCall);
  EXPECT_TRUE(twice->flags & SpecFinal);  // a static class's function is bound directly
  SyntaxNode* receiver = twice->child[0]->child[0];
  EXPECT_TRUE(receiver->flags & SpecStatic);
  EXPECT_EQ(receiver->symbol, unit->table->Lookup("Tools", nullptr, true, false));
}

TEST(SemaTree, CellsSlotsAndJumpLinks) {
  auto unit = SemaTest::CheckTexts(
      "class Base\n{\n  public int a, b;\n  void F0() { }\n};\n"
      "class Derived isclass Base\n{\n"
      "  public int c;\n"
      "  void F1() { }\n"
      "  int Sum(int x, string y)\n  {\n"
      "    int local = x;\n"
      "    { int inner = local; }\n"
      "    switch (x) { case 1: break; case 2: local = c + a; default: break; }\n"
      "    while (x) { if (x) break; continue; }\n"
      "    return local;\n"
      "  }\n};\n");
  ASSERT_TRUE(unit->ok) << Joined(*unit);
  auto find = [&](auto pred) { return SemaTest::FindNode(unit->Tree(), pred); };
  auto named = [&](const char* name) {
    return find([&](SyntaxNode* n) {
      return n->category == CatExpression && n->kind == ExprIdentifier && std::strcmp(n->text, name) == 0;
    });
  };
  // Parameters take cells 1 and 2 after me; locals follow them.
  SyntaxNode* x = named("x");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->position, 1);
  EXPECT_TRUE(x->flags & FlagLValue);
  EXPECT_EQ(named("local")->position, 3);
  SyntaxNode* inner = find([](SyntaxNode* n) {
    return n->category == CatDeclaration && n->kind == DeclDeclarator &&
           std::strcmp(n->child[0]->text, "inner") == 0;
  });
  EXPECT_EQ(inner->position, 4);
  // Members: the base's part starts after the header cells, with its own
  // base cells, and the derived class's own members follow it.
  EXPECT_EQ(named("a")->position, 4);
  EXPECT_EQ(named("c")->position, 6);

  SyntaxNode* sw = find([](SyntaxNode* n) { return n->category == CatStatement && n->kind == StmtSwitch; });
  ASSERT_NE(sw, nullptr);
  EXPECT_TRUE(sw->flags & FlagHasDefault);
  ASSERT_NE(sw->firstDependent, nullptr);
  EXPECT_EQ(sw->firstDependent->child[0]->datum, 1u);  // cases in source order
  ASSERT_NE(sw->firstDependent->nextDependent, nullptr);
  EXPECT_EQ(sw->firstDependent->nextDependent->child[0]->datum, 2u);
  EXPECT_EQ(sw->firstDependent->nextDependent->nextDependent, nullptr);
  SyntaxNode* firstBreak =
      find([](SyntaxNode* n) { return n->category == CatStatement && n->kind == StmtBreak; });
  EXPECT_EQ(firstBreak->target, sw);

  SyntaxNode* loop = find([](SyntaxNode* n) { return n->category == CatStatement && n->kind == StmtWhile; });
  SyntaxNode* cont =
      find([](SyntaxNode* n) { return n->category == CatStatement && n->kind == StmtContinue; });
  EXPECT_EQ(cont->target, loop);

  auto* sum = static_cast<GSFunctionSymbol*>(find([](SyntaxNode* n) {
                                               return n->category == CatDeclaration &&
                                                      n->kind == DeclFunction && n->symbol &&
                                                      n->symbol->name == "::Sum(int,string)";
                                             })->symbol);
  EXPECT_EQ(sum->parameterCells, 3);
  EXPECT_EQ(sum->localCount, 2);
  EXPECT_EQ(sum->Signature(), "$int@Derived::Sum(int,string)");
}

TEST(SemaTree, VoidBodiesGetTheirReturn) {
  auto unit = SemaTest::CheckTexts("class A\n{\n  void F(int i)\n  {\n    i = 1;\n  }\n  void G() { }\n};\n");
  ASSERT_TRUE(unit->ok) << Joined(*unit);
  int returns = 0;
  SemaTest::FindNode(unit->Tree(), [&](SyntaxNode* n) {
    if (n->category == CatStatement && n->kind == StmtReturn && n->child[0] == nullptr) ++returns;
    return false;
  });
  EXPECT_EQ(returns, 2);
}

}  // namespace
