#pragma once
// How a command's results reach the user.
#include <cstdio>
#include <string>

class ResultsLog;

namespace Cli {

// The two-character prefix of a result line by severity: "; " information,
// "! " warning, "- " error, "+ " success.
const char* ResultPrefix(int severity);

// The summary line, without line break: "OK (", the error count, " Errors,",
// the warning count and " Warnings)".
std::string SummaryLine(int errors, int warnings);

// Prints every entry of the log, in order, behind its prefix, then the
// summary line.
void PrintResults(std::FILE* out, const ResultsLog& log);

}  // namespace Cli
