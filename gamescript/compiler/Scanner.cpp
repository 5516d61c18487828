#include "gamescript/compiler/Scanner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace GSCompiler {

namespace {

struct Keyword {
  const char* text;
  unsigned char length;
  int token;
};

// In token order, so KeywordText can index it.
constexpr Keyword kKeywords[kKeywordCount] = {
    {"break", 5, KEYWORD_BREAK},     {"case", 4, KEYWORD_CASE},       {"continue", 8, KEYWORD_CONTINUE},
    {"default", 7, KEYWORD_DEFAULT}, {"else", 4, KEYWORD_ELSE},       {"for", 3, KEYWORD_FOR},
    {"goto", 4, KEYWORD_GOTO},       {"if", 2, KEYWORD_IF},           {"null", 4, KEYWORD_NULL},
    {"return", 6, KEYWORD_RETURN},   {"switch", 6, KEYWORD_SWITCH},   {"while", 5, KEYWORD_WHILE},
    {"and", 3, KEYWORD_AND},         {"or", 2, KEYWORD_OR},           {"true", 4, KEYWORD_TRUE},
    {"false", 5, KEYWORD_FALSE},     {"void", 4, KEYWORD_VOID},       {"bool", 4, KEYWORD_BOOL},
    {"int", 3, KEYWORD_INT},         {"float", 5, KEYWORD_FLOAT},     {"string", 6, KEYWORD_STRING},
    {"object", 6, KEYWORD_OBJECT},   {"class", 5, KEYWORD_CLASS},     {"include", 7, KEYWORD_INCLUDE},
    {"define", 6, KEYWORD_DEFINE},   {"static", 6, KEYWORD_STATIC},   {"public", 6, KEYWORD_PUBLIC},
    {"native", 6, KEYWORD_NATIVE},   {"final", 5, KEYWORD_FINAL},     {"thread", 6, KEYWORD_THREAD},
    {"game", 4, KEYWORD_GAME},       {"secured", 7, KEYWORD_SECURED}, {"size", 4, KEYWORD_SIZE},
    {"isclass", 7, KEYWORD_ISCLASS}, {"copy", 4, KEYWORD_COPY},       {"me", 2, KEYWORD_ME},
    {"new", 3, KEYWORD_NEW},         {"cast", 4, KEYWORD_CAST},       {"wait", 4, KEYWORD_WAIT},
    {"on", 2, KEYWORD_ON},
};

// Identifier bytes come first and blanks last, the line end after them: each
// hot loop tests one bound, and the blank run in Next adds the line count
// without a branch.
enum CharClass : unsigned char { C_LETTER, C_DIGIT, C_OTHER, C_BLANK, C_NEWLINE };

// A keyword candidate's slot in Tables::byHash: no two keywords share one
// (the table's constructor refuses to compile otherwise), so one comparison
// settles every word.
constexpr unsigned KeywordHash(const char* s, std::size_t n) {
  return (static_cast<unsigned char>(s[0]) + static_cast<unsigned char>(s[1]) +
          static_cast<unsigned char>(s[n - 1]) * 46u + static_cast<unsigned>(n) * 3u) &
         127u;
}

struct Tables {
  unsigned char cls[256];
  signed char byHash[128];  // index into kKeywords, or -1

  constexpr Tables() : cls(), byHash() {
    for (int c = 0; c < 256; ++c) {
      bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
      const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
      cls[c] = letter                   ? C_LETTER
               : (c >= '0' && c <= '9') ? C_DIGIT
               : blank                  ? C_BLANK
               : c == '\n'              ? C_NEWLINE
                                        : C_OTHER;
    }
    for (auto& v : byHash) v = -1;
    for (int k = 0; k < kKeywordCount; ++k) {
      signed char& slot = byHash[KeywordHash(kKeywords[k].text, kKeywords[k].length)];
      if (slot >= 0) throw "two keywords share a hash slot";
      slot = static_cast<signed char>(k);
    }
  }
};

constexpr Tables kTables;

inline bool IsIdent(unsigned char c) { return kTables.cls[c] < C_OTHER; }
inline bool IsDigit(unsigned char c) { return kTables.cls[c] == C_DIGIT; }
inline bool IsHex(unsigned char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int KeywordOrIdentifier(const char* s, std::size_t n) {
  if (n < 2 || n > 8) return IDENTIFIER;
  const int k = kTables.byHash[KeywordHash(s, n)];
  if (k < 0) return IDENTIFIER;
  const Keyword& kw = kKeywords[k];
  if (kw.length != n) return IDENTIFIER;
  // At most eight bytes: a plain loop beats a library call here.
  for (std::size_t i = 0; i < n; ++i)
    if (kw.text[i] != s[i]) return IDENTIFIER;
  return kw.token;
}

Scanner* g_currentScanner = nullptr;

}  // namespace

const char* KeywordText(int token) {
  if (token < KEYWORD_BREAK || token > KEYWORD_ON) return nullptr;
  return kKeywords[token - KEYWORD_BREAK].text;
}

Scanner* CurrentScanner() { return g_currentScanner; }
void SetCurrentScanner(Scanner* scanner) { g_currentScanner = scanner; }

Scanner::Scanner(const char* text, std::size_t length, std::size_t bufferSize)
    : m_end(text + length), m_pos(text), m_bufferSize(bufferSize), m_token(text) {}

void Scanner::CountLines(const char* from, const char* to) { m_line += int(std::count(from, to, '\n')); }

int Scanner::Refuse(const char* start, const char* stop) {
  ++m_errors;
  if (m_sink) {
    char message[96];
    std::snprintf(message, sizeof message, "Token longer than %zu bytes, line %d.", m_bufferSize, m_line);
    m_sink(m_sinkUser, m_line, message);
  }
  m_token = start;
  m_tokenLength = std::size_t(stop - start);
  CountLines(start, stop);
  m_pos = stop;
  return SYMBOL_UNKNOWN;
}

// The end of the quoted literal whose opening quote is at `quote`, or null when
// none matches. An attempt that starts inside an earlier failed attempt of the
// same quote reaches the same failure (the earlier one passed over this quote as
// an escaped character, so both continue in the same state), so it fails at once
// and scanning stays linear.
const char* Scanner::MatchLiteral(const char* quote, FailedLiteral& failed, bool allowEmpty) {
  if (quote > failed.start && quote < failed.stop) return nullptr;
  const char q = *quote;
  const char* p = quote + 1;
  bool empty = true;
  while (p < m_end) {
    char c = *p;
    if (c == q) {
      if (empty && !allowEmpty) return nullptr;
      return p + 1;
    }
    if (c == '\\') {
      if (p + 1 >= m_end || p[1] == '\n') break;
      p += 2;
    } else {
      ++p;
    }
    empty = false;
  }
  failed.start = quote;
  failed.stop = p;
  return nullptr;
}

void Scanner::SkipBlockComment() {
  const char* p = m_pos;
  while (p < m_end) {
    const void* star = std::memchr(p, '*', std::size_t(m_end - p));
    if (!star) {
      p = m_end;
      break;
    }
    const char* s = static_cast<const char*>(star);
    if (s + 1 < m_end && s[1] == '/') {
      CountLines(m_pos, s + 2);
      m_pos = s + 2;
      m_inComment = false;
      return;
    }
    p = s + 1;
  }
  // The input ends inside the comment: that ends the input normally.
  CountLines(m_pos, m_end);
  m_pos = m_end;
  m_inComment = false;
}

int Scanner::Next() {
  for (;;) {
    if (m_inComment) SkipBlockComment();
    const char* const end = m_end;
    const char* s = m_pos;
    // Blanks and line ends between tokens without a dispatch per byte.
    int line = m_line;
    for (unsigned char k; s < end && (k = kTables.cls[static_cast<unsigned char>(*s)]) >= C_BLANK; ++s)
      line += k - C_BLANK;
    m_line = line;
    m_pos = s;
    if (s >= m_end) {
      m_token = m_end;
      m_tokenLength = 0;
      return TOKEN_END;
    }
    const unsigned char c = static_cast<unsigned char>(*s);
    const char* e = s + 1;  // end of the match
    int token;
    bool spansLines = false;  // a literal or "[ ]" may hold line ends
    switch (c) {
      case '/':
        if (e < m_end && *e == '*') {
          m_pos = e + 1;
          m_inComment = true;
          continue;
        }
        if (e < m_end && *e == '/') {
          const void* nl = std::memchr(e, '\n', std::size_t(m_end - e));
          const char* stop = nl ? static_cast<const char*>(nl) : m_end;
          if (std::size_t(stop - s) > m_bufferSize) return Refuse(s, stop);
          m_pos = stop;  // the newline is left for the whitespace rule
          continue;
        }
        token = '/';
        break;
      case '"':
        if (const char* stop = MatchLiteral(s, m_failedString, true)) {
          e = stop;
          token = CONSTANT_STRING;
          spansLines = true;
        } else {
          token = SYMBOL_UNKNOWN;
        }
        break;
      case '\'':
        if (const char* stop = MatchLiteral(s, m_failedChar, false)) {
          e = stop;
          token = CONSTANT_CHAR;
          spansLines = true;
        } else {
          token = SYMBOL_UNKNOWN;
        }
        break;
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        if (c == '0' && e + 1 < m_end && (*e == 'x' || *e == 'X') &&
            IsHex(static_cast<unsigned char>(e[1]))) {
          e += 2;
          while (e < m_end && IsHex(static_cast<unsigned char>(*e))) ++e;
          token = CONSTANT_HEX;
          break;
        }
        while (e < m_end && IsDigit(static_cast<unsigned char>(*e))) ++e;
        token = CONSTANT_INT;
        if (e < m_end && *e == '.') {
          ++e;
          while (e < m_end && IsDigit(static_cast<unsigned char>(*e))) ++e;
          token = CONSTANT_FLOAT;
        }
        break;
      case '.':
        if (e < m_end && IsDigit(static_cast<unsigned char>(*e))) {
          while (e < m_end && IsDigit(static_cast<unsigned char>(*e))) ++e;
          token = CONSTANT_FLOAT;
        } else {
          token = '.';
        }
        break;
      case '[': {
        const char* p = e;
        while (p < m_end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f')) ++p;
        if (p < m_end && *p == ']') {
          e = p + 1;
          token = SYMBOL_OP_DIM;
          spansLines = true;
        } else {
          token = '[';
        }
        break;
      }
      case '>':
        token = '>';
        if (e < m_end && *e == '>') {
          ++e;
          token = SYMBOL_RIGHT_SHIFT;
        } else if (e < m_end && *e == '=') {
          ++e;
          token = SYMBOL_GTE;
        }
        break;
      case '<':
        token = '<';
        if (e < m_end && *e == '<') {
          ++e;
          token = SYMBOL_LEFT_SHIFT;
        } else if (e < m_end && *e == '=') {
          ++e;
          token = SYMBOL_LTE;
        }
        break;
      case '+':
        token = '+';
        if (e < m_end && *e == '+') {
          ++e;
          token = SYMBOL_INC;
        }
        break;
      case '-':
        token = '-';
        if (e < m_end && *e == '-') {
          ++e;
          token = SYMBOL_DEC;
        }
        break;
      case '=':
        token = '=';
        if (e < m_end && *e == '=') {
          ++e;
          token = SYMBOL_EQ;
        }
        break;
      case '!':
        token = '!';
        if (e < m_end && *e == '=') {
          ++e;
          token = SYMBOL_NEQ;
        }
        break;
      case ';':
      case ':':
      case '{':
      case '}':
      case ',':
      case '(':
      case ')':
      case ']':
      case '&':
      case '~':
      case '*':
      case '%':
      case '^':
      case '|': token = c; break;
      default:
        if (kTables.cls[c] == C_LETTER) {
          if (c == 'L' && e < m_end && (*e == '"' || *e == '\'')) {
            const char* stop =
                *e == '"' ? MatchLiteral(e, m_failedString, true) : MatchLiteral(e, m_failedChar, false);
            if (stop) {
              token = *e == '"' ? CONSTANT_STRING : CONSTANT_CHAR;
              spansLines = true;
              e = stop;
              break;
            }
          }
          while (e < end && IsIdent(static_cast<unsigned char>(*e))) ++e;
          token = KeywordOrIdentifier(s, std::size_t(e - s));
        } else {
          token = SYMBOL_UNKNOWN;
        }
        break;
    }
    if (std::size_t(e - s) > m_bufferSize) return Refuse(s, e);
    m_token = s;
    m_tokenLength = std::size_t(e - s);
    if (spansLines) CountLines(s, e);
    m_pos = e;
    return token;
  }
}

}  // namespace GSCompiler
