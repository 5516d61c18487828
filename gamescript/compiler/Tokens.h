#pragma once
// Token codes of the GameScript scanner. Single-character tokens use the
// character's own code; the named tokens are numbered from 258; end of input is 0.

namespace GSCompiler {

enum TokenCode : int {
  TOKEN_END = 0,
  KEYWORD_BREAK = 258,
  KEYWORD_CASE,
  KEYWORD_CONTINUE,
  KEYWORD_DEFAULT,
  KEYWORD_ELSE,
  KEYWORD_FOR,
  KEYWORD_GOTO,
  KEYWORD_IF,
  KEYWORD_NULL,
  KEYWORD_RETURN,
  KEYWORD_SWITCH,
  KEYWORD_WHILE,
  KEYWORD_AND,
  KEYWORD_OR,
  KEYWORD_TRUE,
  KEYWORD_FALSE,
  KEYWORD_VOID,
  KEYWORD_BOOL,
  KEYWORD_INT,
  KEYWORD_FLOAT,
  KEYWORD_STRING,
  KEYWORD_OBJECT,
  KEYWORD_CLASS,
  KEYWORD_INCLUDE,
  KEYWORD_DEFINE,
  KEYWORD_STATIC,
  KEYWORD_PUBLIC,
  KEYWORD_NATIVE,
  KEYWORD_FINAL,
  KEYWORD_THREAD,
  KEYWORD_GAME,
  KEYWORD_SECURED,
  KEYWORD_SIZE,
  KEYWORD_ISCLASS,
  KEYWORD_COPY,
  KEYWORD_ME,
  KEYWORD_NEW,
  KEYWORD_CAST,
  KEYWORD_WAIT,
  KEYWORD_ON,          // 297
  IDENTIFIER,          // 298
  CONSTANT_HEX,        // 299
  CONSTANT_INT,        // 300
  CONSTANT_CHAR,       // 301
  CONSTANT_FLOAT,      // 302
  CONSTANT_STRING,     // 303
  SYMBOL_OP_DIM,       // 304: "[" whitespace "]"
  SYMBOL_RIGHT_SHIFT,  // 305
  SYMBOL_LEFT_SHIFT,   // 306
  SYMBOL_INC,          // 307
  SYMBOL_DEC,          // 308
  SYMBOL_LTE,          // 309
  SYMBOL_GTE,          // 310
  SYMBOL_EQ,           // 311
  SYMBOL_NEQ,          // 312
  SYMBOL_UNKNOWN,      // 313: any character the language does not know
};

static_assert(KEYWORD_ON == 297 && IDENTIFIER == 298 && SYMBOL_UNKNOWN == 313);

constexpr int kKeywordCount = 40;

// The keyword's spelling for a keyword code, else null.
const char* KeywordText(int token);

}  // namespace GSCompiler
