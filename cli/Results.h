#pragma once
// How a command's results reach the user.
#include <cstdio>
#include <string>
#include <string_view>

class ResultsLog;

namespace Cli {

// The two-character prefix of a result line by severity: "; " information,
// "! " warning, "- " error, "+ " success.
const char* ResultPrefix(int severity);

// The summary line, without line break: "OK (", the error count, " Errors,",
// the warning count and " Warnings)".
std::string SummaryLine(int errors, int warnings);

// A result text as it may reach a terminal: bytes a terminal would act on
// are shown, NUL as "\0", line feed and carriage return as "\n" and "\r",
// other control bytes as "\xHH"; a tab stays. With escapeBackslash a
// backslash is doubled, so the text reads back without doubt.
std::string VisibleText(std::string_view text, bool escapeBackslash);

// Prints every entry of the log, in order, behind its prefix (its text
// made visible), then the summary line.
void PrintResults(std::FILE* out, const ResultsLog& log);

}  // namespace Cli
