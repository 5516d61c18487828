#include "cli/Results.h"

#include <algorithm>

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
  for (const ResultsLog::Entry& entry : log.Entries()) {
    // The entry's own line breaks start lines of their own, indented below the
    // first so that none reads as a result or the summary.
    const std::string_view text = entry.text;
    size_t from = 0;
    for (size_t i = 0; i <= entry.lineBreaks.size(); ++i) {
      const size_t end =
          i < entry.lineBreaks.size() ? std::min(entry.lineBreaks[i], text.size()) : text.size();
      const std::string line = VisibleText(text.substr(from, end - from), false);
      from = std::min(end + 1, text.size());
      if (i == 0)
        std::fprintf(out, "%s%s\n", ResultPrefix(entry.severity), line.c_str());
      else if (line.empty())
        std::fputc('\n', out);
      else
        std::fprintf(out, "  %s\n", line.c_str());
    }
  }
  std::fprintf(out, "%s\n", SummaryLine(log.ErrorCount(), log.WarningCount()).c_str());
  std::fflush(out);
}

}  // namespace Cli
