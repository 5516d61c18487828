// The syntax trees the parser builds, one group of productions per test.
#include <gtest/gtest.h>

#include "tests/gamescript/compiler/parser_support.h"

using namespace GSCompiler;
using ParserTest::ParseText;

namespace {

// The statements of f's body in `class T { void f() { ... } };`.
SyntaxNode* BodyOf(const ParserTest::Parsed& p)
{
    SyntaxNode* cls = p.Tree();
    if (cls == nullptr || cls->child[2] == nullptr || cls->child[2]->child[3] == nullptr)
        return nullptr;
    return cls->child[2]->child[3]->child[0];
}

std::string Body(const std::string& statements)
{
    auto p = ParseText("class T { void f() { " + statements + " } };");
    if (p->result != 0)
        return "error: " + (p->Lines().empty() ? std::string() : p->Lines().front());
    return DumpTree(BodyOf(*p));
}

// One expression statement, without the discarded mark of its top node.
std::string Expr(const std::string& expression)
{
    auto p = ParseText("class T { void f() { " + expression + "; } };");
    if (p->result != 0)
        return "error: " + (p->Lines().empty() ? std::string() : p->Lines().front());
    SyntaxNode* e = BodyOf(*p);
    for (SyntaxNode* n = e; n != nullptr; n = n->next)
        n->flags &= ~FlagDiscarded;
    std::string dump = DumpTree(e);
    if (!dump.empty() && dump.back() == '\n')
        dump.pop_back();
    return dump;
}

TEST(ParserGrammar, BinaryPrecedenceAndAssociativity)
{
    EXPECT_EQ(Expr("a or b and c | d ^ e & f == g < h << i + j * k"),
              "(op29or id a (op28and id b (op27| id c (op26^ id d (op25& id e (op23== id f (op19< id g "
              "(op17<< id h (op15+ id i (op12* id j id k))))))))))");
    EXPECT_EQ(Expr("a * b + c"), "(op15+ (op12* id a id b) id c)");
    EXPECT_EQ(Expr("a - b - c"), "(op16- (op16- id a id b) id c)");
    EXPECT_EQ(Expr("a / b % c"), "(op14% (op13/ id a id b) id c)");
    EXPECT_EQ(Expr("a != b == c"), "(op23== (op24!= id a id b) id c)");
    EXPECT_EQ(Expr("a <= b >= c > d"), "(op20> (op22>= (op21<= id a id b) id c) id d)");
    EXPECT_EQ(Expr("a >> b"), "(op18>> id a id b)");
    EXPECT_EQ(Expr("(a + b) * c"), "(op12* (op15+ id a id b) id c)");
}

TEST(ParserGrammar, AssignmentNeedsAUnaryTarget)
{
    EXPECT_EQ(Expr("a = b = c"), "(op30= id a (op30= id b id c))");
    EXPECT_EQ(Expr("a[i].m = -b"), "(op30= (op2. (op10[] id a id i) name m) (op4- id b))");
    EXPECT_EQ(Expr("(a) = 1"), "(op30= id a int 1)");
    EXPECT_EQ(Expr("-a = 1"), "(op30= (op4- id a) int 1)");
    EXPECT_EQ(Expr("a + b = c"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Expr("(int)a = c"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Expr("a = b or c"), "(op30= id a (op29or id b id c))");
}

TEST(ParserGrammar, UnaryPrefixAndPostfixCodes)
{
    EXPECT_EQ(Expr("a--"), "(op0-- id a)");
    EXPECT_EQ(Expr("a++"), "(op1++ id a)");
    EXPECT_EQ(Expr("--a"), "(op7-- id a)");
    EXPECT_EQ(Expr("++a"), "(op8++ id a)");
    EXPECT_EQ(Expr("+a"), "(op3+ id a)");
    EXPECT_EQ(Expr("-a"), "(op4- id a)");
    EXPECT_EQ(Expr("!a"), "(op5! id a)");
    EXPECT_EQ(Expr("~a"), "(op6~ id a)");
    EXPECT_EQ(Expr("- -a++"), "(op4- (op4- (op1++ id a)))");
    EXPECT_EQ(Expr("++--a"), "(op8++ (op7-- id a))");
    EXPECT_EQ(Expr("-(int)a"), "(op4- (op11() id a type 2))");
    // A prefix ++ takes a unary expression, never a cast.
    EXPECT_EQ(Expr("++(int)a"), "error: t.gs(1) : parse error, line 1");
}

TEST(ParserGrammar, CastsTakePrimitiveTypesInParenthesesAndAnyTypeInCast)
{
    EXPECT_EQ(Expr("(int)x"), "(op11() id x type 2)");
    EXPECT_EQ(Expr("(float[])x"), "(op11() id x type 9)");
    EXPECT_EQ(Expr("(string)(bool)x"), "(op11() (op11() id x type 1) type 4)");
    EXPECT_EQ(Expr("cast<Foo>x"), "(op11() id x (type 5 name Foo))");
    EXPECT_EQ(Expr("cast<Foo[]>x.y"), "(op11() (op2. id x name y) (type 11 name Foo))");
    EXPECT_EQ(Expr("cast<object>me"), "(op11() me type 5)");
    EXPECT_EQ(Expr("a * (int)b"), "(op12* id a (op11() id b type 2))");
    // A parenthesised class name before an operand is not a cast.
    EXPECT_EQ(Expr("(Foo)x"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Expr("cast(Foo)x"), "error: t.gs(1) : parse error, line 1");
}

TEST(ParserGrammar, PostfixForms)
{
    EXPECT_EQ(Expr("a[i]"), "(op10[] id a id i)");
    EXPECT_EQ(Expr("a[,j]"), "(op9[,] id a _ id j)");
    EXPECT_EQ(Expr("a[i,]"), "(op9[,] id a id i)");
    EXPECT_EQ(Expr("a[i,j]"), "(op9[,] id a id i id j)");
    EXPECT_EQ(Expr("f()"), "(call id f)");
    EXPECT_EQ(Expr("f(a, b = c)"), "(call id f [id a (op30= id b id c)])");
    EXPECT_EQ(Expr("o.m(1)"), "(call (op2. id o name m) int 1)");
    EXPECT_EQ(Expr("o.m.n"), "(op2. (op2. id o name m) name n)");
    EXPECT_EQ(Expr("a.size()"), "(op31size id a)");
    EXPECT_EQ(Expr("o.isclass(Foo)"), "(op32isclass id o name Foo)");
    EXPECT_EQ(Expr("a.copy(b)"), "(op33copy id a id b)");
    EXPECT_EQ(Expr("f(x)[2]++"), "(op1++ (op10[] (call id f id x) int 2))");
    EXPECT_EQ(Expr("a[]"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Expr("a.size"), "error: t.gs(1) : parse error, line 1");
}

TEST(ParserGrammar, PrimaryAndNew)
{
    EXPECT_EQ(Expr("me"), "me");
    EXPECT_EQ(Expr("null"), "null");
    EXPECT_EQ(Expr("new Foo()"), "(op34new (type 5 name Foo))");
    EXPECT_EQ(Expr("new Foo(1, x)"), "(op34new (type 5 name Foo) _ [int 1 id x])");
    EXPECT_EQ(Expr("new Foo[n]"), "(op34new (type 11 name Foo) id n)");
    EXPECT_EQ(Expr("new int[5]"), "(op34new type 8 int 5)");
    EXPECT_EQ(Expr("new string()"), "(op34new type 4)");
    EXPECT_EQ(Expr("new Foo"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Expr("new 5()"), "error: t.gs(1) : parse error, line 1");
    // A parenthesised comma list has no node of its own; its first is discarded.
    EXPECT_EQ(Body("x = (a, b);"), "(op30= #10000000 id x [id a #10000000 id b])\n");
}

TEST(ParserGrammar, Constants)
{
    EXPECT_EQ(Expr("0x1F"), "int 31");
    EXPECT_EQ(Expr("0XFFFFFFFF"), "int -1");
    EXPECT_EQ(Expr("007"), "int 7");
    EXPECT_EQ(Expr("4294967295"), "int -1");
    EXPECT_EQ(Expr("2147483648"), "int -2147483648");
    EXPECT_EQ(Expr("4294967296"), "error: t.gs(1) : integer constant too large, line 1");
    EXPECT_EQ(Expr("0x100000000"), "error: t.gs(1) : integer constant too large, line 1");
    EXPECT_EQ(Expr("1.5"), "float 1.5");
    EXPECT_EQ(Expr(".25"), "float 0.25");
    EXPECT_EQ(Expr("3."), "float 3");
    EXPECT_EQ(Expr("1" + std::string(60, '0') + ".0"), "float inf");
    EXPECT_EQ(Expr("true"), "bool 1");
    EXPECT_EQ(Expr("false"), "bool 0");
    EXPECT_EQ(Expr("'ab'"), "int 97");
    EXPECT_EQ(Expr("'\\n'"), "int 10");
    EXPECT_EQ(Expr("'\\xff'"), "int 120");
    EXPECT_EQ(Expr("''"), "error: t.gs(1) : parse error, line 1");  // not a constant
    EXPECT_EQ(Expr("\"a\\qb\""), "str \"aqb\"");
    EXPECT_EQ(Expr("\"tab\\there\""), "str \"tab\there\"");
    EXPECT_EQ(Expr("\"cut\\0here\""), "str \"cut\"");
    EXPECT_EQ(Expr("L\"wide\""), "str \"wide\"");
}

TEST(ParserGrammar, SelectionAndIteration)
{
    // The else belongs to the nearest if.
    EXPECT_EQ(Body("if (a) if (b) x; else y;"), "(if id a (if id b id x #10000000 id y #10000000))\n");
    EXPECT_EQ(Body("if (a) ; else { }"), "(if id a _ block)\n");
    EXPECT_EQ(Body("while (a < b) a++;"), "(while (op19< id a id b) (op1++ #10000000 id a))\n");
    EXPECT_EQ(Body("for (i = 0, j = 1; i < n, j; i++, j++) ;"),
              "(for [(op30= #10000000 id i int 0) (op30= #10000000 id j int 1)] "
              "[(op19< #10000000 id i id n) id j] _ [(op1++ #10000000 id i) (op1++ #10000000 id j)])\n");
    EXPECT_EQ(Body("for (;;) break;"), "(for _ _ break)\n");
    EXPECT_EQ(Body("switch (a) { case 1: x; case 2: default: y; }"),
              "(switch id a (block [(case int 1) id x #10000000 (case int 2) default id y #10000000]))\n");
    EXPECT_EQ(Body("wait() { on \"A\", \"B\", m: x; on \"C\", \"\": break; }"),
              "(wait (block [(on str \"A\" str \"B\" id m) id x #10000000 (on str \"C\" str \"\") break]))\n");
    EXPECT_EQ(Body("switch (a) x;"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Body("wait(a) { }"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Body("on a, \"B\": x;"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Body("if a x;"), "error: t.gs(1) : parse error, line 1");
}

TEST(ParserGrammar, JumpsLabelsAndLocalDeclarations)
{
    EXPECT_EQ(Body("L: x; goto L;"), "(label name L)\nid x #10000000\n(goto name L)\n");
    EXPECT_EQ(Body("return; return a, b; continue; break;"),
              "return\n(return [id a #10000000 id b])\ncontinue\nbreak\n");
    EXPECT_EQ(Body("int a = 1, b;"), "(vars type 2 [(declarator name a int 1) (declarator name b)])\n");
    EXPECT_EQ(Body("Foo f; Foo[] g = null;"),
              "(vars (type 5 name Foo) (declarator name f))\n"
              "(vars (type 11 name Foo) (declarator name g null))\n");
    EXPECT_EQ(Body("string[] s;"), "(vars type 10 (declarator name s))\n");
    EXPECT_EQ(Body("a, b;"), "id a #10000000\nid b #10000000\n");
    EXPECT_EQ(Body("{ ; { } }"), "(block block)\n");
    EXPECT_EQ(Body("int a = b = 1;"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Body("static int a;"), "error: t.gs(1) : parse error, line 1");
    EXPECT_EQ(Body("goto 5;"), "error: t.gs(1) : parse error, line 1");
}

TEST(ParserGrammar, ClassesMembersAndIncludes)
{
    auto p = ParseText(
        "include \"Lib/GS.GS\"\ninclude \"b.gs\"\n"
        "game static class A isclass B, C { public define int N = 3; final native void f(void); "
        "thread int g(int a, Foo[] b) { } secured string s, t; };\n"
        "class D { void h(void[] v); };");
    ASSERT_EQ(p->result, 0) << (p->Lines().empty() ? "" : p->Lines().front());
    EXPECT_EQ(DumpTree(p->Tree()),
              "(include name lib/gs.gs)\n"
              "(include name b.gs)\n"
              "(class #44 name A [name B name C] [(vars #4000081 type 2 (declarator name N int 3)) "
              "(prototype #a type 0 name f) (function #10 type 2 name g [(param type 2 name a) "
              "(param (type 11 name Foo) name b)] block #8000000) (vars #4000100 type 4 "
              "[(declarator name s) (declarator name t)])])\n"
              "(class name D _ (prototype type 0 name h (param type 6 name v)))\n");
}

TEST(ParserGrammar, NodeLines)
{
    auto p = ParseText("class T {\nvoid f() {\nreturn\na\n+\nb\n;\n}\n};\n");
    ASSERT_EQ(p->result, 0);
    SyntaxNode* ret = BodyOf(*p);
    ASSERT_NE(ret, nullptr);
    SyntaxNode* sum = ret->child[0];
    EXPECT_EQ(sum->child[0]->line, 4u);  // an identifier carries its own line
    EXPECT_EQ(sum->child[1]->line, 6u);
    EXPECT_EQ(sum->line, 7u);            // made once the token after it was read
    EXPECT_EQ(ret->line, 7u);            // made at its closing ";"
    EXPECT_EQ(p->Tree()->line, 9u);
}

TEST(ParserGrammar, FileLevelErrors)
{
    struct Case {
        const char* source;
        const char* message;
    } cases[] = {
        {"", "x.gs(1) : parse error, line 1"},
        {"include \"a.gs\"\n", "x.gs(2) : parse error, line 2"},                 // no class
        {"class A { }\n", "x.gs(2) : parse error, line 2"},                      // no final ";"
        {"class A { void f() { };\n};", "x.gs(1) : parse error, line 1"},      // ";" after a body
        {"class A { };\ninclude \"a.gs\"", "x.gs(2) : parse error, line 2"},    // includes first
        {"class A {\n\n int x @ ;\n};", "x.gs(3) : parse error, line 3"},        // unknown character
        {"class A { int f() { /* open", "x.gs(1) : parse error, line 1"},
        {"class A { int f(void, int a) { } };", "x.gs(1) : parse error, line 1"},
        {"class A isclass { };", "x.gs(1) : parse error, line 1"},
        {"class A { int; };", "x.gs(1) : parse error, line 1"},
        {"Class A { };", "x.gs(1) : parse error, line 1"},
    };
    for (const Case& c : cases) {
        auto p = ParseText(c.source, "x.gs");
        EXPECT_EQ(p->result, 1) << c.source;
        EXPECT_EQ(p->Lines(), std::vector<std::string>{c.message}) << c.source;
        EXPECT_EQ(p->context->errorCount, 1) << c.source;
        EXPECT_EQ(p->Tree(), nullptr) << c.source;
    }
}

TEST(ParserGrammar, DeepNestingIsRefusedWithoutExhaustingTheStack)
{
    const std::string parens(200000, '(');
    const std::string blocks(200000, '{');
    const std::string minus(200000, '-');
    std::string assigns;
    for (int i = 0; i < 100000; ++i)
        assigns += "a=";
    const std::string ifs = [] {
        std::string s;
        for (int i = 0; i < 100000; ++i)
            s += "if(a)";
        return s;
    }();
    for (const std::string& inner : {parens, blocks, minus, assigns, ifs}) {
        auto p = ParseText("class T { void f() { " + inner + "x; } };");
        EXPECT_EQ(p->result, 1);
        ASSERT_EQ(p->Lines().size(), 1u);
        EXPECT_EQ(p->Lines()[0], "t.gs(1) : parser stack overflow, line 1");
    }
    // Nesting of an ordinary depth parses.
    auto p = ParseText("class T { void f() { " + std::string(300, '(') + "x" + std::string(300, ')') + "; } };");
    EXPECT_EQ(p->result, 0);
}

TEST(ParserGrammar, LongFlatInputsParseIteratively)
{
    std::string sum = "x";
    for (int i = 0; i < 100000; ++i)
        sum += "+x";
    auto p = ParseText("class T { void f() { " + sum + "; } };");
    EXPECT_EQ(p->result, 0);
    std::string members;
    for (int i = 0; i < 20000; ++i)
        members += "int v" + std::to_string(i) + ";\n";
    auto q = ParseText("class T {\n" + members + "};");
    EXPECT_EQ(q->result, 0);
}

}  // namespace
