#include "gamescript/compiler/Scanner.h"

#include <algorithm>
#include <bit>
#include <cstdint>
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

// Identifier bytes come first, then the rest: one bound tells them apart.
enum CharClass : unsigned char { C_LETTER, C_DIGIT, C_OTHER };

// A word of up to eight bytes as a number, the first byte lowest.
constexpr uint64_t PackWord(const char* s, std::size_t n) {
  uint64_t word = 0;
  for (std::size_t i = 0; i < n; ++i) word |= uint64_t(static_cast<unsigned char>(s[i])) << (8 * i);
  return word;
}

// A keyword candidate's slot in Tables::keywordWord: no two keywords share one
// (the table's constructor refuses to compile otherwise), so one comparison of
// the packed word settles every word.
constexpr unsigned KeywordSlot(uint64_t word) { return unsigned((word * 0x2a46559032a1efe7ull) >> 57); }

struct Tables {
  unsigned char cls[256];
  uint64_t keywordWord[128];  // the packed keyword of the slot, or 0
  short keywordToken[128];

  constexpr Tables() : cls(), keywordWord(), keywordToken() {
    for (int c = 0; c < 256; ++c) {
      const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
      cls[c] = letter ? C_LETTER : (c >= '0' && c <= '9') ? C_DIGIT : C_OTHER;
    }
    for (int k = 0; k < kKeywordCount; ++k) {
      const uint64_t word = PackWord(kKeywords[k].text, kKeywords[k].length);
      const unsigned slot = KeywordSlot(word);
      if (keywordWord[slot] != 0) throw "two keywords share a hash slot";
      keywordWord[slot] = word;
      keywordToken[slot] = short(kKeywords[k].token);
    }
  }
};

constexpr Tables kTables;

inline bool IsIdent(unsigned char c) { return kTables.cls[c] < C_OTHER; }
inline bool IsDigit(unsigned char c) { return kTables.cls[c] == C_DIGIT; }
inline bool IsHex(unsigned char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The keyword token of the word [s, s + n), else IDENTIFIER; `end` bounds the
// text, which may be read ahead up to eight bytes when it lasts that long.
inline int KeywordOrIdentifier(const char* s, std::size_t n, const char* end) {
  if (n - 2 > 6) return IDENTIFIER;  // keywords have two to eight letters
  uint64_t word;
  if (std::endian::native == std::endian::little && end - s >= 8) {
    std::memcpy(&word, s, 8);
    word &= ~uint64_t(0) >> (64 - 8 * n);
  } else {
    word = PackWord(s, n);
  }
  const unsigned slot = KeywordSlot(word);
  return kTables.keywordWord[slot] == word ? kTables.keywordToken[slot] : int(IDENTIFIER);
}

int CountNewlines(const char* from, const char* to) { return int(std::count(from, to, '\n')); }

Scanner* g_currentScanner = nullptr;

}  // namespace

const char* KeywordText(int token) {
  if (token < KEYWORD_BREAK || token > KEYWORD_ON) return nullptr;
  return kKeywords[token - KEYWORD_BREAK].text;
}

Scanner* CurrentScanner() { return g_currentScanner; }
void SetCurrentScanner(Scanner* scanner) { g_currentScanner = scanner; }

Scanner::Scanner(const char* text, std::size_t length, std::size_t bufferSize)
    : m_end(text + length),
      m_pos(text),
      m_bufferSize(bufferSize),
      m_current(m_tokens),
      m_next(m_tokens),
      m_filled(m_tokens) {
  m_tokens[0] = {text, 0, 1, TOKEN_END};
}

void Scanner::Refuse(const char* start, const char* stop, int& line, Token& token) {
  ++m_errors;
  if (m_sink) {
    char message[96];
    std::snprintf(message, sizeof message, "Token longer than %zu bytes, line %d.", m_bufferSize, line);
    m_sink(m_sinkUser, line, message);
  }
  line += CountNewlines(start, stop);
  token = {start, std::size_t(stop - start), line, SYMBOL_UNKNOWN};
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

// Past the "*/" that closes a comment whose text starts at `from`; a comment
// the input ends in ends the input normally.
const char* Scanner::SkipBlockComment(const char* from, int& line) const {
  const char* p = from;
  while (p < m_end) {
    const void* star = std::memchr(p, '*', std::size_t(m_end - p));
    if (!star) break;
    const char* s = static_cast<const char*>(star);
    if (s + 1 < m_end && s[1] == '/') {
      line += CountNewlines(from, s + 2);
      return s + 2;
    }
    p = s + 1;
  }
  line += CountNewlines(from, m_end);
  return m_end;
}

int Scanner::Fill() {
  Token* out = m_tokens;
  Token* const last = m_tokens + kBatch;
  const char* const end = m_end;
  const std::size_t limit = m_bufferSize;
  const char* p = m_pos;
  int line = m_line;
  for (;;) {
  scan:
    if (p >= end) {
      *out++ = {end, 0, line, TOKEN_END};
      break;
    }
    const char* const s = p;
    const unsigned char c = static_cast<unsigned char>(*s);
    const char* e = s + 1;  // end of the match
    int token;
    bool spansLines = false;  // a literal or "[ ]" may hold line ends
    switch (c) {
      case ' ':
      case '\t':
      case '\r':
      case '\v':
      case '\f': p = e; goto scan;
      case '\n':
        ++line;
        p = e;
        // The indentation after a line end, eight blanks at a time.
        while (end - p >= 8) {
          uint64_t word;
          std::memcpy(&word, p, 8);
          word ^= 0x2020202020202020ull;
          if (word != 0) {
            p += (std::endian::native == std::endian::little ? std::countr_zero(word)
                                                             : std::countl_zero(word)) >>
                 3;
            break;
          }
          p += 8;
        }
        goto scan;
      case '/':
        if (e < end && *e == '*') {
          p = SkipBlockComment(e + 1, line);
          goto scan;
        }
        if (e < end && *e == '/') {
          const void* nl = std::memchr(e, '\n', std::size_t(end - e));
          const char* stop = nl ? static_cast<const char*>(nl) : end;
          if (std::size_t(stop - s) > limit) {
            e = stop;
            goto refuse;
          }
          p = stop;  // the newline is left for the blank rule
          goto scan;
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
        if (e + 1 < end && (*e == 'x' || *e == 'X') && IsHex(static_cast<unsigned char>(e[1]))) {
          e += 2;
          while (e < end && IsHex(static_cast<unsigned char>(*e))) ++e;
          token = CONSTANT_HEX;
          break;
        }
        [[fallthrough]];
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        while (e < end && IsDigit(static_cast<unsigned char>(*e))) ++e;
        token = CONSTANT_INT;
        if (e < end && *e == '.') {
          ++e;
          while (e < end && IsDigit(static_cast<unsigned char>(*e))) ++e;
          token = CONSTANT_FLOAT;
        }
        break;
      case '.':
        if (e < end && IsDigit(static_cast<unsigned char>(*e))) {
          while (e < end && IsDigit(static_cast<unsigned char>(*e))) ++e;
          token = CONSTANT_FLOAT;
        } else {
          token = '.';
        }
        break;
      case '[': {
        const char* q = e;
        while (q < end && (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\v' || *q == '\f')) ++q;
        if (q < end && *q == ']') {
          e = q + 1;
          token = SYMBOL_OP_DIM;
          spansLines = true;
        } else {
          token = '[';
        }
        break;
      }
      case '>':
        token = '>';
        if (e < end && *e == '>') {
          ++e;
          token = SYMBOL_RIGHT_SHIFT;
        } else if (e < end && *e == '=') {
          ++e;
          token = SYMBOL_GTE;
        }
        break;
      case '<':
        token = '<';
        if (e < end && *e == '<') {
          ++e;
          token = SYMBOL_LEFT_SHIFT;
        } else if (e < end && *e == '=') {
          ++e;
          token = SYMBOL_LTE;
        }
        break;
      case '+':
        token = '+';
        if (e < end && *e == '+') {
          ++e;
          token = SYMBOL_INC;
        }
        break;
      case '-':
        token = '-';
        if (e < end && *e == '-') {
          ++e;
          token = SYMBOL_DEC;
        }
        break;
      case '=':
        token = '=';
        if (e < end && *e == '=') {
          ++e;
          token = SYMBOL_EQ;
        }
        break;
      case '!':
        token = '!';
        if (e < end && *e == '=') {
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
      case 'L':
        if (e < end && (*e == '"' || *e == '\'')) {
          const char* stop =
              *e == '"' ? MatchLiteral(e, m_failedString, true) : MatchLiteral(e, m_failedChar, false);
          if (stop) {
            token = *e == '"' ? CONSTANT_STRING : CONSTANT_CHAR;
            spansLines = true;
            e = stop;
            break;
          }
        }
        [[fallthrough]];
      default:
        if (kTables.cls[c] != C_LETTER) {
          token = SYMBOL_UNKNOWN;
          break;
        }
        while (e < end && IsIdent(static_cast<unsigned char>(*e))) ++e;
        token = KeywordOrIdentifier(s, std::size_t(e - s), end);
        break;
    }
    if (std::size_t(e - s) > limit) goto refuse;
    if (spansLines) line += CountNewlines(s, e);
    *out++ = {s, std::size_t(e - s), line, token};
    p = e;
    if (out == last) break;
    // Most tokens are followed by one blank: pass it without a dispatch.
    if (p < end && *p == ' ') ++p;
    continue;
  refuse:
    // Reported when the parser reaches it, as if nothing were read ahead.
    if (out != m_tokens) {
      p = s;
      break;
    }
    Refuse(s, e, line, *out++);
    p = e;
    break;
  }
  m_pos = p;
  m_line = line;
  m_current = m_tokens;
  m_next = m_tokens + 1;
  m_filled = out;
  return m_tokens[0].code;
}

}  // namespace GSCompiler
