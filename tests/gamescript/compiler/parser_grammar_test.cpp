// The syntax trees the parser builds, one group of productions per test.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tests/gamescript/compiler/parser_support.h"

using namespace GSCompiler;
using ParserTest::ParseText;

namespace {

// The statements of f's body in `class T { void f() { ... } };`.
SyntaxNode* BodyOf(const ParserTest::Parsed& p) {
  SyntaxNode* cls = p.Tree();
  if (cls == nullptr || cls->child[2] == nullptr || cls->child[2]->child[3] == nullptr) return nullptr;
  return cls->child[2]->child[3]->child[0];
}

std::string Body(const std::string& statements) {
  auto p = ParseText("class T { void f() { " + statements + " } };");
  if (p->result != 0) return "error: " + (p->Lines().empty() ? std::string() : p->Lines().front());
  return DumpTree(BodyOf(*p));
}

// One expression statement, without the discarded mark of its top node.
std::string Expr(const std::string& expression) {
  auto p = ParseText("class T { void f() { " + expression + "; } };");
  if (p->result != 0) return "error: " + (p->Lines().empty() ? std::string() : p->Lines().front());
  SyntaxNode* e = BodyOf(*p);
  for (SyntaxNode* n = e; n != nullptr; n = n->next) n->flags &= ~FlagDiscarded;
  std::string dump = DumpTree(e);
  if (!dump.empty() && dump.back() == '\n') dump.pop_back();
  return dump;
}

// Each line of corpus/parser/trees.txt: a kind (E expression, B body, F whole
// file), a tab, the text, a tab, and the tree dump or the only message.
TEST(ParserGrammar, TreesOfTheTreeCorpus) {
  int cases = 0;
  for (const std::string& line : ParserTest::TableLines("parser/trees.txt")) {
    const size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
    ASSERT_TRUE(tab1 == 1 && tab2 != std::string::npos) << line;
    const std::string text = ParserTest::Unescape(line.substr(2, tab2 - 2)),
                      want = ParserTest::Unescape(line.substr(tab2 + 1));
    ++cases;
    if (line[0] == 'E') {
      EXPECT_EQ(Expr(text), want) << text;
    } else if (line[0] == 'B') {
      EXPECT_EQ(Body(text), want) << text;
    } else {
      auto p = ParseText(text, "x.gs");
      EXPECT_EQ(p->result, 1) << text;
      EXPECT_EQ(p->Lines(), std::vector<std::string>{want}) << text;
      EXPECT_EQ(p->context->errorCount, 1) << text;
      EXPECT_EQ(p->Tree(), nullptr) << text;
    }
  }
  EXPECT_GE(cases, 100);
}

TEST(ParserGrammar, ClassesMembersAndIncludes) {
  auto p = ParseText(
      "include \"Lib/GS.GS\"\ninclude \"b.gs\"\n"
      "game static class A isclass B, C { public define int N = 3; final native void f(void); "
      "thread int g(int a, Foo[] b) { } secured string s, t; };\n"
      "class D { void h(void[] v); };");
  ASSERT_EQ(p->result, 0) << (p->Lines().empty() ? "" : p->Lines().front());
  EXPECT_EQ(DumpTree(p->Tree()),
            "(include name Lib/GS.GS)\n"
            "(include name b.gs)\n"
            "(class #44 name A [name B name C] [(vars #4000081 type 2 (declarator name N int 3)) "
            "(prototype #a type 0 name f) (function #10 type 2 name g [(param type 2 name a) "
            "(param (type 11 name Foo) name b)] block #8000000) (vars #4000100 type 4 "
            "[(declarator name s) (declarator name t)])])\n"
            "(class name D _ (prototype type 0 name h (param type 6 name v)))\n");
}

TEST(ParserGrammar, NodeLines) {
  auto p = ParseText("class T {\nvoid f() {\nreturn\na\n+\nb\n;\n}\n};\n");
  ASSERT_EQ(p->result, 0);
  SyntaxNode* ret = BodyOf(*p);
  ASSERT_NE(ret, nullptr);
  SyntaxNode* sum = ret->child[0];
  EXPECT_EQ(sum->child[0]->line, 4u);  // an identifier carries its own line
  EXPECT_EQ(sum->child[1]->line, 6u);
  EXPECT_EQ(sum->line, 7u);  // made once the token after it was read
  EXPECT_EQ(ret->line, 7u);  // made at its closing ";"
  EXPECT_EQ(p->Tree()->line, 9u);
}

TEST(ParserGrammar, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  const std::string parens(200000, '(');
  const std::string blocks(200000, '{');
  const std::string minus(200000, '-');
  std::string assigns;
  for (int i = 0; i < 100000; ++i) assigns += "a=";
  const std::string ifs = [] {
    std::string s;
    for (int i = 0; i < 100000; ++i) s += "if(a)";
    return s;
  }();
  for (const std::string& inner : {parens, blocks, minus, assigns, ifs}) {
    auto p = ParseText("class T { void f() { " + inner + "x; } };");
    EXPECT_EQ(p->result, 1);
    ASSERT_EQ(p->Lines().size(), 1u);
    EXPECT_EQ(p->Lines()[0], "t.gs(1) : parser stack overflow, line 1");
  }
  // Parentheses nest as deep as a 10,000-state parse stack allows.
  for (size_t depth : {300, 2000, 9900}) {
    auto p = ParseText("class T { void f() { " + std::string(depth, '(') + "x" + std::string(depth, ')') +
                       "; } };");
    EXPECT_EQ(p->result, 0) << depth;
  }
}

// An expression taller than the semantic walk accepts is refused as it is
// built, with the walk's message: a huge one-line sum costs no huge tree.
TEST(ParserGrammar, ExpressionsTallerThanTheChecksAcceptAreRefusedWhileParsing) {
  const auto sum = [](int terms) {
    std::string s = "x";
    for (int i = 1; i < terms; ++i) s += "+x";
    return "class T { int v = " + s + "; };";
  };
  EXPECT_EQ(ParseText(sum(125))->result, 0);  // class, list, declarator and 125 levels: the walk's 128
  auto p = ParseText(sum(126));
  EXPECT_EQ(p->result, 1);
  EXPECT_EQ(p->Lines(), std::vector<std::string>{"t.gs(1) : Stack overflow; code nested too deep."});

  auto huge = ParseText(sum(1000000));
  EXPECT_EQ(huge->result, 1);
  EXPECT_LT(huge->context->stringPool.TotalBytes(), std::size_t(1) << 20);
}

TEST(ParserGrammar, LongFlatInputsParseIteratively) {
  std::string call = "f(x";
  for (int i = 0; i < 100000; ++i) call += ",x";
  auto p = ParseText("class T { void f() { " + call + "); } };");
  EXPECT_EQ(p->result, 0);
  std::string members;
  for (int i = 0; i < 20000; ++i) members += "int v" + std::to_string(i) + ";\n";
  auto q = ParseText("class T {\n" + members + "};");
  EXPECT_EQ(q->result, 0);
}

}  // namespace

// A float constant's bits are those of the text converted to double and then
// to float, whichever way the parser takes to get there: short texts, long
// ones, halfway cases of float rounding and values beyond float's range.
TEST(ParserGrammar, FloatConstantsRoundAsTheFullConversion) {
  const char* texts[] = {"0.0",
                         "1.5",
                         ".5",
                         "7.",
                         "0.1",
                         "0.3",
                         "3.14159",
                         "16777217.0",
                         "16777219.0",
                         "0.000000000000000000001",
                         "999999999999999.9",
                         "123456789012345.6",
                         "1234567890123456789.5",
                         "0.30000000000000004",
                         "0.1000000000000000055511151231257827",
                         "340282346638528859811704183484516925440.0",
                         "340282356779733661637539395458142568448.0",
                         "1000000000000000000000000000000000000000000.0",
                         "0.00000000000000000000000000000000000000000000140129846432481707",
                         "00000000000000000000000000.5",
                         "61777.041015625",
                         "3870.0469970703125",
                         "1527.98577880859375"};
  for (const char* text : texts) {
    auto p = ParseText(std::string("class T { void f() { ") + text + "; } };");
    ASSERT_EQ(p->result, 0) << text;
    const SyntaxNode* constant = BodyOf(*p);
    ASSERT_TRUE(constant != nullptr && constant->kind == ExprConstant && constant->value == ConstFloat)
        << text;
    const double d = std::strtod(text, nullptr);
    const float f = std::fabs(d) > double(FLT_MAX) ? HUGE_VALF : float(d);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    EXPECT_EQ(constant->datum, bits) << text;
  }
}
