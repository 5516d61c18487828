// Keyword recognition compares names byte by byte; a word that differs from a
// keyword in any one position must stay a name, and blank runs of any shape
// must not change what is scanned or the line count.
#include <gtest/gtest.h>

#include <string>

#include "gamescript/compiler/Scanner.h"
#include "gamescript/compiler/Tokens.h"

namespace {

using namespace GSCompiler;

int Only(const std::string& text)
{
    Scanner scanner(text.data(), text.size());
    const int token = scanner.Next();
    EXPECT_EQ(scanner.Next(), TOKEN_END) << text;
    return token;
}

TEST(LexerKeywords, EveryOneLetterChangeIsAName)
{
    for (int token = KEYWORD_BREAK; token <= KEYWORD_ON; ++token) {
        const std::string word = KeywordText(token);
        EXPECT_EQ(Only(word), token) << word;
        for (size_t at = 0; at < word.size(); ++at) {
            for (char with : {'x', 'z', '_', '9'}) {
                if (at == 0 && with == '9')
                    continue;  // that would start a number
                std::string changed = word;
                changed[at] = changed[at] == with ? 'q' : with;
                EXPECT_EQ(Only(changed), IDENTIFIER) << changed;
            }
        }
        EXPECT_EQ(Only(word.substr(0, word.size() - 1) + "_"), IDENTIFIER) << word;
    }
}

TEST(LexerKeywords, BlankRunsAroundTokens)
{
    const std::string text = "  \t \tif\t\t(x)   \n\t  \t\n   while \t";
    Scanner scanner(text.data(), text.size());
    EXPECT_EQ(scanner.Next(), KEYWORD_IF);
    EXPECT_EQ(scanner.Text(), "if");
    EXPECT_EQ(scanner.Next(), '(');
    EXPECT_EQ(scanner.Next(), IDENTIFIER);
    EXPECT_EQ(scanner.Next(), ')');
    EXPECT_EQ(scanner.Line(), 1);
    EXPECT_EQ(scanner.Next(), KEYWORD_WHILE);
    EXPECT_EQ(scanner.Line(), 3);
    EXPECT_EQ(scanner.Next(), TOKEN_END);
    EXPECT_EQ(scanner.Text(), "");
    EXPECT_EQ(Only(" \t \t "), TOKEN_END);
}

}  // namespace
