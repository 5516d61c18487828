#include "cli/CommandLine.h"

#include <cstdio>
#include <memory>

#include "kiv/String.h"

namespace Cli {

bool SplitCommandLine(std::string_view line, std::vector<std::string>& args, std::string& error) {
  args.clear();
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string current;
  bool inToken = false;  // an argument has started (even an empty quoted one)
  bool quoted = false;
  for (char c : line) {
    if (c == '\0') {
      args.clear();
      error = "NUL byte in command line";
      return false;
    }
    if (c == '"') {
      quoted = !quoted;
      inToken = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inToken) args.push_back(std::move(current));
      current.clear();
      inToken = false;
    } else {
      current.push_back(c);
      inToken = true;
    }
  }
  if (quoted) {
    args.clear();
    error = "unterminated quote";
    return false;
  }
  if (inToken) args.push_back(std::move(current));
  return true;
}

bool ParseBatchText(std::string_view text, const std::string& path, std::vector<BatchCommand>& commands,
                    std::string& error) {
  commands.clear();
  std::vector<BatchCommand> parsed;
  // Several editors save text with a UTF-8 byte-order mark; it is not part
  // of the first command.
  size_t start = text.size() - Kiv::SkipByteOrderMark(text).size();
  int lineNumber = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    ++lineNumber;
    BatchCommand command;
    command.line = lineNumber;
    std::string why;
    if (!SplitCommandLine(text.substr(start, end - start), command.args, why)) {
      error = "Batch file '" + path + "' line " + std::to_string(lineNumber) + ": " + why + ".";
      return false;
    }
    if (!command.args.empty()) parsed.push_back(std::move(command));
    start = end + 1;
  }
  commands = std::move(parsed);
  return true;
}

bool ReadBatchFile(const std::string& path, std::vector<BatchCommand>& commands, std::string& error) {
  commands.clear();
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    error = "Unable to open batch file '" + path + "'.";
    return false;
  }
  std::string text;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (text.size() + n > kMaxBatchFileBytes) {
      error = "Batch file '" + path + "' is too large.";
      return false;
    }
    text.append(buffer, n);
  }
  if (std::ferror(file.get())) {
    // A directory opens but does not read.
    error = "Unable to read batch file '" + path + "'.";
    return false;
  }

  return ParseBatchText(text, path, commands, error);
}

}  // namespace Cli
