// The parser takes its nodes and names from the parse context's pool in
// chunks; whatever the pool's block size and however long the names, the tree
// must come out the same, with no node or text overwriting another.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parser_support.h"

namespace {

using GSCompiler::SyntaxNode;

// A source with names and string texts of many lengths, some longer than a
// pool block, interleaved with plenty of nodes.
std::string MixedSource(std::vector<std::string>& names, std::vector<std::string>& texts) {
  std::string s = "class Mixed {\n";
  for (size_t len :
       {1, 2, 7, 8, 9, 100, 143, 144, 145, 500, 2030, 2039, 2040, 2041, 2047, 2048, 2049, 5000}) {
    std::string name(len, 'n');
    name[0] = static_cast<char>('a' + len % 26);
    name += std::to_string(len);
    std::string text(len, 't');
    text[len / 2] = static_cast<char>('A' + len % 26);
    names.push_back(name);
    texts.push_back(text);
    s += "  public string " + name + "(int a) { string s = \"" + text +
         "\"; return s + (string)(a * 2 + 1); }\n";
  }
  s += "};\n";
  return s;
}

// Function names and string constants in tree order.
void Collect(const SyntaxNode* n, std::vector<std::string>& functions, std::vector<std::string>& strings) {
  for (; n != nullptr; n = n->next) {
    if (n->category == GSCompiler::CatDeclaration && n->kind == GSCompiler::DeclFunction)
      functions.emplace_back(n->child[1]->text);
    if (n->category == GSCompiler::CatExpression && n->kind == GSCompiler::ExprConstant &&
        n->value == GSCompiler::ConstString)
      strings.emplace_back(n->text);
    for (const SyntaxNode* c : n->child) Collect(c, functions, strings);
  }
}

std::unique_ptr<ParserTest::Parsed> ParseWithBlock(const std::string& text, size_t blockSize) {
  auto p = std::make_unique<ParserTest::Parsed>();
  p->text = text;
  p->context->Reset(p->log.get(), nullptr);
  EXPECT_TRUE(p->context->stringPool.Init(blockSize));
  p->context->fileName = "t.gs";
  GSCompiler::Scanner scanner(p->text.data(), p->text.size());
  p->result = GSCompiler::Parse(scanner, *p->context);
  return p;
}

TEST(ParserPool, NamesAndTextsOfEveryLengthSurvive) {
  std::vector<std::string> names, texts;
  const std::string source = MixedSource(names, texts);
  const auto reference = ParserTest::ParseText(source);
  ASSERT_EQ(reference->result, 0);
  std::vector<std::string> functions, strings;
  Collect(reference->Tree(), functions, strings);
  EXPECT_EQ(functions, names);
  EXPECT_EQ(strings, texts);

  // Blocks that hold one node, a few nodes, and the usual many: same tree.
  const std::string dump = GSCompiler::DumpTree(reference->Tree());
  for (size_t block : {160, 200, 300, 2048, 65536}) {
    const auto p = ParseWithBlock(source, block);
    ASSERT_EQ(p->result, 0) << block;
    EXPECT_EQ(GSCompiler::DumpTree(p->Tree()), dump) << block;
  }
}

TEST(ParserPool, BlockTooSmallForANodeIsReportedNotCrashed) {
  for (size_t block : {0, 16, 120}) {
    const auto p = ParseWithBlock("class A { int x = 1; };", block);
    EXPECT_EQ(p->result, 1) << block;
    EXPECT_EQ(p->Lines(), std::vector<std::string>{"t.gs(1) : parser stack overflow, line 1"}) << block;
    EXPECT_EQ(p->Tree(), nullptr);
  }
}

// Takes each member on its own, as the compiler does: its tree, dumped while
// it lives, and the token the scanner stands at when a member or its class is
// handed over.
struct MemberSink final : GSCompiler::ParseSink {
  const GSCompiler::Scanner* scanner = nullptr;
  std::string members;
  std::vector<std::string> at;
  void Includes(SyntaxNode*) override {}
  void Class(SyntaxNode*) override { at.emplace_back(scanner->Text()); }
  bool TakesMembers(SyntaxNode*) override { return true; }
  void Member(SyntaxNode* member) override {
    members += GSCompiler::DumpTree(member);
    at.emplace_back(scanner->Text());
  }
};

// Members of a class handed over one at a time reuse the member pool: small
// and large members, long texts among them, in pools of blocks that hold a
// few nodes, some members or a usual member each, come out as in the tree of
// the whole class. The scanner is where the parser is at each hand-over.
TEST(ParserPool, MembersHandedOverOneAtATimeMatchTheWholeTree) {
  std::vector<std::string> names, texts;
  std::string source = MixedSource(names, texts);
  source.erase(source.size() - 3);  // reopen the class
  for (int i = 0; i < 40; ++i) {
    source += "  int v" + std::to_string(i) + ";\n  void g" + std::to_string(i) + "() {";
    for (int k = 0; k < (i % 7) * 60; ++k)
      source += " v" + std::to_string(i) + " = v0 + " + std::to_string(k) + ";";
    source += " }\n";
  }
  source += "};\n";
  const auto whole = ParserTest::ParseText(source);
  ASSERT_EQ(whole->result, 0);
  const std::string expected = GSCompiler::DumpTree(whole->Tree()->child[2]);
  std::vector<std::string> ends;
  for (const SyntaxNode* m = whole->Tree()->child[2]; m != nullptr; m = m->next)
    ends.emplace_back(m->kind == GSCompiler::DeclVariables ? ";" : "}");
  ends.emplace_back(";");

  for (size_t block : {300, 2048, 32768}) {
    ParserTest::Parsed p;
    p.context->Reset(p.log.get(), nullptr);
    EXPECT_TRUE(p.context->memberPool.Init(block));
    p.context->fileName = "t.gs";
    GSCompiler::Scanner scanner(source.data(), source.size());
    MemberSink sink;
    sink.scanner = &scanner;
    ASSERT_EQ(GSCompiler::Parse(scanner, *p.context, &sink), 0) << block;
    EXPECT_EQ(sink.members, expected) << block;
    EXPECT_EQ(sink.at, ends) << block;
  }
}

TEST(ParserPool, StringTextsWithAndWithoutEscapes) {
  const auto text = [](const std::string& literal) {
    std::vector<std::string> functions, strings;
    const auto p = ParserTest::ParseText("class A { void f() { g(" + literal + "); } };");
    EXPECT_EQ(p->result, 0) << literal;
    Collect(p->Tree(), functions, strings);
    return strings.empty() ? std::string("<none>") : strings[0];
  };
  EXPECT_EQ(text("\"\""), "");
  EXPECT_EQ(text("L\"\""), "");
  EXPECT_EQ(text("\"plain\""), "plain");
  EXPECT_EQ(text("L\"a\\tb\""), "a\tb");
  EXPECT_EQ(text("\"x\\\\y\""), "x\\y");
  EXPECT_EQ(text(std::string("\"raw\0nul\"", 9)), "raw");  // a NUL ends the text, escaped or not
  EXPECT_EQ(text("\"esc\\0nul\""), "esc");
}

}  // namespace
