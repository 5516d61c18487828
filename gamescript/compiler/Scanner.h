#pragma once
// Hand-written GameScript scanner: longest match, rule order on ties, two start
// conditions (normal, block comment), line counting on every matched newline.

#include <cstddef>
#include <string_view>

#include "gamescript/compiler/Tokens.h"

namespace GSCompiler {

class Scanner {
public:
  // The scanner's input buffer: no single match may be longer than this.
  static constexpr std::size_t kBufferSize = 16384;

  // Receives a scanner error (the line it happened on, the message text).
  using ErrorSink = void (*)(void* user, int line, const char* message);

  // Scans text[0, length). The text need not be NUL-terminated and must outlive
  // the scanner; NUL and other unknown bytes give SYMBOL_UNKNOWN.
  Scanner(const char* text, std::size_t length, std::size_t bufferSize = kBufferSize);
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Where errors go; without a sink they are only counted.
  void SetErrorSink(ErrorSink sink, void* user) {
    m_sink = sink;
    m_sinkUser = user;
  }

  // Next token code; 0 at end of input. A match longer than the buffer (a token
  // or a line comment) is reported to the sink as an error on the line where it
  // starts and comes back as SYMBOL_UNKNOWN; scanning goes on after it.
  int Next() {
    if (m_next == m_filled) return Fill();
    m_current = m_next++;
    return m_current->code;
  }

  // The current token's raw text (a view into the source text; stays valid while
  // the source text lives).
  std::string_view Text() const { return {m_current->text, m_current->length}; }
  std::size_t Length() const { return m_current->length; }
  // The line number after the last match (starts at 1).
  int Line() const { return m_current->line; }
  // Errors reported so far (over-long matches).
  int ErrorCount() const { return m_errors; }

  // Tokens are scanned in batches, so the per-character loops keep their state
  // in registers instead of in the scanner between calls.
  struct Token {
    const char* text;
    std::size_t length;
    int line;  // after the match
    int code;
  };

  // The batch itself, for a reader that steps through it on its own instead
  // of calling Next: the token last handed out and the batch's end. When the
  // reader has stepped to the end, NextBatch scans the next batch and hands
  // out its first token. Before anyone else reads Text, Line or Length, or
  // calls Next, the reader says which token it is at with SetCurrent.
  const Token* Current() const { return m_current; }
  const Token* BatchEnd() const { return m_filled; }
  const Token* NextBatch() {
    Fill();
    return m_current;
  }
  void SetCurrent(const Token* token) {
    m_current = m_tokens + (token - m_tokens);
    m_next = m_current + 1;
  }

private:
  static constexpr int kBatch = 32;

  struct FailedLiteral {
    const char* start = nullptr;  // the opening quote of an attempt that failed
    const char* stop = nullptr;   // where it failed
  };
  int Fill();
  const char* MatchLiteral(const char* quote, FailedLiteral& failed, bool allowEmpty);
  const char* SkipBlockComment(const char* from, int& line) const;
  void Refuse(const char* start, const char* stop, int& line, Token& token);

  FailedLiteral m_failedString;
  FailedLiteral m_failedChar;

  const char* m_end;
  const char* m_pos;  // where the next batch starts
  std::size_t m_bufferSize;
  int m_line = 1;  // at m_pos
  int m_errors = 0;
  ErrorSink m_sink = nullptr;
  void* m_sinkUser = nullptr;
  Token* m_current;  // the token last handed out
  Token* m_next;     // the batch's next token
  Token* m_filled;   // the batch's end
  Token m_tokens[kBatch];
};

// The scanner of the file being parsed; null when no parse runs.
Scanner* CurrentScanner();
void SetCurrentScanner(Scanner* scanner);

}  // namespace GSCompiler
