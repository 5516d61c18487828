#include "cli/Results.h"

#include "foundation/ResultsLog.h"

namespace Cli {

const char* ResultPrefix(int severity) {
  switch (severity) {
    case ResultsLog::kInformation: return "; ";
    case ResultsLog::kWarning: return "! ";
    case ResultsLog::kSuccess: return "+ ";
    default: return "- ";  // the log records any other severity as an error
  }
}

std::string SummaryLine(int errors, int warnings) {
  return "OK (" + std::to_string(errors) + " Errors," + std::to_string(warnings) + " Warnings)";
}

void PrintResults(std::FILE* out, const ResultsLog& log) {
  for (const ResultsLog::Entry& entry : log.Entries())
    std::fprintf(out, "%s%s\n", ResultPrefix(entry.severity), entry.text.c_str());
  std::fprintf(out, "%s\n", SummaryLine(log.ErrorCount(), log.WarningCount()).c_str());
  std::fflush(out);
}

}  // namespace Cli
