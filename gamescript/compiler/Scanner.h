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

    // Where errors go; without a sink they are only counted.
    void SetErrorSink(ErrorSink sink, void* user) { sink_ = sink; sinkUser_ = user; }

    // Next token code; 0 at end of input. A match longer than the buffer (a token
    // or a line comment) is reported to the sink as an error on the line where it
    // starts and comes back as SYMBOL_UNKNOWN; scanning goes on after it.
    int Next();

    // The current token's raw text (a view into the source text; stays valid while
    // the source text lives).
    std::string_view Text() const { return {token_, tokenLength_}; }
    std::size_t Length() const { return tokenLength_; }
    // The line number after the last match (starts at 1).
    int Line() const { return line_; }
    // Errors reported so far (over-long matches).
    int ErrorCount() const { return errors_; }

private:
    struct FailedLiteral {
        const char* start = nullptr;  // the opening quote of an attempt that failed
        const char* stop = nullptr;   // where it failed
    };
    const char* MatchLiteral(const char* quote, FailedLiteral& failed, bool allowEmpty);
    void SkipBlockComment();
    void CountLines(const char* from, const char* to);
    int Refuse(const char* start, const char* stop);

    FailedLiteral failedString_;
    FailedLiteral failedChar_;

    const char* text_;
    const char* end_;
    const char* pos_;
    std::size_t bufferSize_;
    const char* token_ = nullptr;
    std::size_t tokenLength_ = 0;
    int line_ = 1;
    bool inComment_ = false;
    int errors_ = 0;
    ErrorSink sink_ = nullptr;
    void* sinkUser_ = nullptr;
};

// The scanner of the file being parsed; null when no parse runs.
Scanner* CurrentScanner();
void SetCurrentScanner(Scanner* scanner);

}  // namespace GSCompiler
