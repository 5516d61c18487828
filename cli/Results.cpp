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

std::string VisibleText(std::string_view text, bool escapeBackslash) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' && escapeBackslash) {
      out += "\\\\";
    } else if (c == '\0') {
      out += "\\0";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out.push_back(c);
    }
  }
  return out;
}

void PrintResults(std::FILE* out, const ResultsLog& log) {
  for (const ResultsLog::Entry& entry : log.Entries())
    std::fprintf(out, "%s%s\n", ResultPrefix(entry.severity), VisibleText(entry.text, false).c_str());
  std::fprintf(out, "%s\n", SummaryLine(log.ErrorCount(), log.WarningCount()).c_str());
  std::fflush(out);
}

}  // namespace Cli
