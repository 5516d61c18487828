#pragma once
// Command lines that do not come from the shell: the lines of a batch file
// and the requests of the command host. Both use one quoting rule, so a
// line that works in one place works in the other.
#include <string>
#include <string_view>
#include <vector>

namespace Cli {

// Splits one line into arguments. Blanks (space, tab) separate arguments;
// a double quote starts or ends a quoted stretch in which blanks are kept,
// so "C:/My Assets/x.gs" is one argument and "" is one empty argument. There
// are no escapes. A trailing carriage return is ignored. False, with `error`
// set, for an unterminated quote or a NUL byte; `args` is then empty.
[[nodiscard]] bool SplitCommandLine(std::string_view line, std::vector<std::string>& args,
                                    std::string& error);

// One command of a batch file: its 1-based line number and its arguments
// (the command word first).
struct BatchCommand {
  int line = 0;
  std::vector<std::string> args;
};

// Largest batch file read, so a wrong file name (a disc image, a device)
// cannot exhaust memory.
constexpr size_t kMaxBatchFileBytes = 16u << 20;

// Splits the text of a batch file (named `path` in messages) into commands,
// as ReadBatchFile does.
[[nodiscard]] bool ParseBatchText(std::string_view text, const std::string& path,
                                  std::vector<BatchCommand>& commands, std::string& error);

// Reads a batch file: every non-blank line is one command line (a leading
// UTF-8 byte-order mark is skipped). The whole
// file is checked before anything runs: false, with `error` naming the file
// and line, when it cannot be read, is too large or has a malformed line.
[[nodiscard]] bool ReadBatchFile(const std::string& path, std::vector<BatchCommand>& commands,
                                 std::string& error);

}  // namespace Cli
