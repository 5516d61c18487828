#include <gtest/gtest.h>

#include <fstream>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "gamescript/compiler/Scanner.h"
#include "tests/gamescript/compiler/parser_support.h"

using namespace GSCompiler;

namespace {

struct Tok {
  int code;
  std::string text;
  int line;  // line number after the match
  bool operator==(const Tok&) const = default;
};

std::string Name(int code) {
  static const char* named[] = {"IDENTIFIER",        "CONSTANT_HEX",    "CONSTANT_INT",  "CONSTANT_CHAR",
                                "CONSTANT_FLOAT",    "CONSTANT_STRING", "SYMBOL_OP_DIM", "SYMBOL_RIGHT_SHIFT",
                                "SYMBOL_LEFT_SHIFT", "SYMBOL_INC",      "SYMBOL_DEC",    "SYMBOL_LTE",
                                "SYMBOL_GTE",        "SYMBOL_EQ",       "SYMBOL_NEQ",    "SYMBOL_UNKNOWN"};
  if (code == 0) return "END";
  if (const char* kw = KeywordText(code)) return kw;
  if (code >= IDENTIFIER && code <= SYMBOL_UNKNOWN) return named[code - IDENTIFIER];
  return std::string(1, char(code));
}

struct Errors {
  std::vector<std::pair<int, std::string>> seen;
  static void Sink(void* user, int line, const char* message) {
    static_cast<Errors*>(user)->seen.emplace_back(line, message);
  }
};

std::vector<Tok> Scan(std::string_view text, Errors* errors = nullptr,
                      std::size_t buffer = Scanner::kBufferSize) {
  Scanner s(text.data(), text.size(), buffer);
  if (errors) s.SetErrorSink(&Errors::Sink, errors);
  std::vector<Tok> out;
  for (int guard = 0; guard < 100000; ++guard) {
    int t = s.Next();
    if (t == 0) break;
    out.push_back({t, std::string(s.Text()), s.Line()});
  }
  return out;
}

void Append(std::string& list, const std::string& word) {
  if (!list.empty()) list += ' ';
  list += word;
}

std::string Names(std::string_view text) {
  std::string out;
  for (const Tok& t : Scan(text)) Append(out, Name(t.code));
  return out;
}

}  // namespace

TEST(LexerTokens, NumberedFrom258InOrder) {
  const char* words[] = {"break",  "case",    "continue", "default", "else",   "for",    "goto",  "if",
                         "null",   "return",  "switch",   "while",   "and",    "or",     "true",  "false",
                         "void",   "bool",    "int",      "float",   "string", "object", "class", "include",
                         "define", "static",  "public",   "native",  "final",  "thread", "game",  "secured",
                         "size",   "isclass", "copy",     "me",      "new",    "cast",   "wait",  "on"};
  for (int i = 0; i < kKeywordCount; ++i) {
    auto toks = Scan(words[i]);
    ASSERT_EQ(toks.size(), 1u) << words[i];
    EXPECT_EQ(toks[0].code, 258 + i) << words[i];
    EXPECT_STREQ(KeywordText(258 + i), words[i]);
    // Matching is byte by byte: a word one letter off any keyword is a name.
    const std::string word = words[i];
    for (size_t at = 0; at < word.size(); ++at)
      for (char with : {'x', 'z', '_', '9'}) {
        if (at == 0 && with == '9') continue;  // that would start a number
        std::string changed = word;
        changed[at] = changed[at] == with ? 'q' : with;
        EXPECT_EQ(Names(changed), "IDENTIFIER") << changed;
      }
    EXPECT_EQ(Names(word.substr(0, word.size() - 1) + "_"), "IDENTIFIER") << word;
    // Case counts, and a keyword inside a longer name does not split it.
    std::string upper = word;
    upper[0] = char(upper[0] - 'a' + 'A');
    EXPECT_EQ(Names(upper), "IDENTIFIER") << upper;
    EXPECT_EQ(Names(word + word), "IDENTIFIER") << word;
  }
  EXPECT_EQ(KeywordText(IDENTIFIER), nullptr);
}

// Each line of corpus/lexer/names.txt: a text, a tab, and its token names.
TEST(LexerTokens, TokenNamesOfTheScannerTable) {
  int cases = 0;
  for (const std::string& line : ParserTest::TableLines("lexer/names.txt")) {
    const size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const std::string text = ParserTest::Unescape(line.substr(0, tab));
    EXPECT_EQ(Names(text), line.substr(tab + 1)) << line;
    ++cases;
  }
  EXPECT_GE(cases, 30);
}

TEST(LexerTokens, TextsAndLinesOfTokens) {
  auto toks = Scan("x=1.5;//c");
  ASSERT_EQ(toks.size(), 4u);
  EXPECT_EQ(toks[0], (Tok{IDENTIFIER, "x", 1}));
  EXPECT_EQ(toks[1], (Tok{'=', "=", 1}));
  EXPECT_EQ(toks[2], (Tok{CONSTANT_FLOAT, "1.5", 1}));
  EXPECT_EQ(toks[3], (Tok{';', ";", 1}));
  toks = Scan("12abc 0x0g \"a\\\"b\" L'q'");
  ASSERT_EQ(toks.size(), 6u);
  EXPECT_EQ(toks[0].text, "12");
  EXPECT_EQ(toks[1].text, "abc");
  EXPECT_EQ(toks[2].text, "0x0");
  EXPECT_EQ(toks[3].text, "g");
  EXPECT_EQ(toks[4].text, "\"a\\\"b\"");
  EXPECT_EQ(toks[5].text, "L'q'");
  // Blank runs of any shape change neither the tokens nor the line count.
  toks = Scan("  \t \tif\t\t(x)   \n\t  \t\n   while \t");
  ASSERT_EQ(toks.size(), 5u);
  EXPECT_EQ(toks[3].line, 1);
  EXPECT_EQ(toks[4].line, 3);
  EXPECT_TRUE(Scan(" \t \t ").empty());
  // Carriage returns, vertical tabs and form feeds are blanks too; only line
  // feeds count lines.
  toks = Scan("a\v\f\rb\r\n\f\n\r c");
  ASSERT_EQ(toks.size(), 3u);
  EXPECT_EQ(toks[1], (Tok{IDENTIFIER, "b", 1}));
  EXPECT_EQ(toks[2], (Tok{IDENTIFIER, "c", 3}));
}

TEST(LexerTokens, UnknownCharactersAndManyFailedLiterals) {
  std::string odd = "?@#$\\";
  odd += '\0';
  odd += "\x01\x80\xff";
  auto toks = Scan(odd);
  ASSERT_EQ(toks.size(), odd.size());
  for (const Tok& t : toks) EXPECT_EQ(t.code, SYMBOL_UNKNOWN);
  EXPECT_EQ(toks[5].text, std::string(1, '\0'));
  // Many escaped quotes before an unterminated end: every one is an unknown
  // character, and the run completes.
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "\"a\\";
  EXPECT_EQ(Scan(text).size(), 60000u);
}

TEST(LexerLines, EveryMatchedNewlineCounts) {
  auto toks = Scan("a\n\"x\ny\" b /* \n\n */ c // z\n'\n' d [\n] e\r\nf");
  ASSERT_EQ(toks.size(), 9u);
  EXPECT_EQ(toks[0].line, 1);  // a
  EXPECT_EQ(toks[1].line, 3);  // the string ends on line 3
  EXPECT_EQ(toks[2].line, 3);  // b
  EXPECT_EQ(toks[3].line, 5);  // c, after two newlines in the comment
  EXPECT_EQ(toks[4].line, 7);  // the character constant holds a raw newline
  EXPECT_EQ(toks[5].line, 7);  // d
  EXPECT_EQ(toks[6].line, 8);  // the dimension token spans a newline
  EXPECT_EQ(toks[7].line, 8);  // e
  EXPECT_EQ(toks[8].line, 9);  // f after CR LF
}

TEST(LexerLimits, OverlongMatchIsAnErrorAndScanningGoesOn) {
  Errors errors;
  std::string ok(Scanner::kBufferSize, 'a');
  ok.front() = ok.back() = '"';
  auto toks = Scan(ok, &errors);
  ASSERT_EQ(toks.size(), 1u);
  EXPECT_EQ(toks[0].code, CONSTANT_STRING);
  EXPECT_TRUE(errors.seen.empty());

  std::string big = "x\n\"" + std::string(100 * 1024, 'a') + "\" y";
  toks = Scan(big, &errors);
  ASSERT_EQ(toks.size(), 3u);
  EXPECT_EQ(toks[1].code, SYMBOL_UNKNOWN);
  EXPECT_EQ(toks[1].text.size(), 100u * 1024 + 2);
  EXPECT_EQ(toks[2].code, IDENTIFIER);
  ASSERT_EQ(errors.seen.size(), 1u);
  EXPECT_EQ(errors.seen[0].first, 2);
  EXPECT_EQ(errors.seen[0].second, "Token longer than 16384 bytes, line 2.");
}

TEST(LexerLimits, OverlongLineCommentAndIdentifier) {
  Errors errors;
  std::string text = "a // " + std::string(20000, 'c') + "\nb " + std::string(40, 'i');
  auto toks = Scan(text, &errors, 32);
  ASSERT_EQ(toks.size(), 4u);
  EXPECT_EQ(toks[1].code, SYMBOL_UNKNOWN);
  EXPECT_EQ(toks[2].code, IDENTIFIER);
  EXPECT_EQ(toks[2].line, 2);
  EXPECT_EQ(toks[3].code, SYMBOL_UNKNOWN);
  ASSERT_EQ(errors.seen.size(), 2u);
  EXPECT_EQ(errors.seen[0].second, "Token longer than 32 bytes, line 1.");
  EXPECT_EQ(errors.seen[1].second, "Token longer than 32 bytes, line 2.");

  // Without a sink the error is still counted.
  std::string lit(42, 'q');
  lit.front() = lit.back() = '\'';
  Scanner s(lit.data(), lit.size(), 32);
  EXPECT_EQ(s.Next(), SYMBOL_UNKNOWN);
  EXPECT_EQ(s.ErrorCount(), 1);
  EXPECT_EQ(s.Next(), 0);
}

// Each corpus file starts with a comment line "// tokens: NAME NAME ..." and,
// optionally, "// last line: N" for the line number after the last token.
TEST(LexerCorpus, FilesScanAsTheirHeadersSay) {
  int files = 0;
  for (const auto& path : ParserTest::CorpusFiles("lexer")) {
    ++files;
    const std::string text = ParserTest::ReadFile(path);
    std::istringstream lines(text);
    std::string line, expected;
    int lastLine = -1;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("// tokens:", 0) == 0)
        Append(expected, line.substr(11));
      else if (line.rfind("// last line:", 0) == 0)
        lastLine = std::stoi(line.substr(13));
    }
    auto toks = Scan(text);
    std::string got;
    for (const Tok& t : toks) Append(got, Name(t.code));
    EXPECT_EQ(got, expected) << path;
    if (lastLine > 0 && !toks.empty()) {
      EXPECT_EQ(toks.back().line, lastLine) << path;
    }
  }
  EXPECT_GE(files, 3);
}

// The scanner reads ahead: an over-long token must still be reported when it
// is handed out, not when it is first seen, and on its own line.
TEST(LexerLimits, OverlongTokenIsReportedWhenReached) {
  for (int before : {0, 3, 31, 32, 33, 63, 64, 65, 127, 128, 129, 300}) {
    std::string text;
    for (int i = 0; i < before; ++i) text += (i % 7 == 6) ? "x\n" : "x ";
    const int line = 1 + before / 7;
    text += std::string(40, 'q') + "\ny z";
    Errors errors;
    Scanner s(text.data(), text.size(), 32);
    s.SetErrorSink(&Errors::Sink, &errors);
    for (int i = 0; i < before; ++i) {
      ASSERT_EQ(s.Next(), IDENTIFIER) << before;
      ASSERT_TRUE(errors.seen.empty()) << before << " token " << i;
    }
    EXPECT_EQ(s.Next(), SYMBOL_UNKNOWN);
    EXPECT_EQ(s.Text().size(), 40u);
    ASSERT_EQ(errors.seen.size(), 1u) << before;
    EXPECT_EQ(errors.seen[0].first, line) << before;
    EXPECT_EQ(s.Next(), IDENTIFIER);
    EXPECT_EQ(s.Line(), line + 1);
    EXPECT_EQ(s.Next(), IDENTIFIER);
    EXPECT_EQ(s.Next(), 0);
    EXPECT_EQ(s.Next(), 0);
    EXPECT_EQ(s.ErrorCount(), 1);
  }
}

// Many tokens under indentation of every width, keywords with and without
// text after them: texts and lines stay right past the scanner's read-ahead.
TEST(LexerLines, TextsAndLinesOverManyIndentedLines) {
  std::string text;
  std::vector<Tok> expected;
  int line = 1;
  for (int i = 0; i < 600; ++i) {
    text += std::string(std::size_t(i % 21), i % 5 == 0 ? '\t' : ' ');
    const std::string number = std::to_string(i);
    const std::string name = "n" + number;
    text += "while ";
    text += name;
    text += " = ";
    text += number;
    text += "; //c\n";
    expected.push_back({KEYWORD_WHILE, "while", line});
    expected.push_back({IDENTIFIER, name, line});
    expected.push_back({'=', "=", line});
    expected.push_back({CONSTANT_INT, number, line});
    expected.push_back({';', ";", line});
    ++line;
    if (i % 50 == 0) {
      text += "\n\n";
      line += 2;
    }
  }
  text += "        return";  // a keyword in the last bytes of the text
  expected.push_back({KEYWORD_RETURN, "return", line});
  EXPECT_EQ(Scan(text), expected);
}
