// Command lines from outside: batch-file text and command-host request lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/CommandHost.h"
#include "cli/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<Cli::BatchCommand> commands;
  std::string error;
  if (Cli::ParseBatchText(text, "fuzz.txt", commands, error)) {
    for (const Cli::BatchCommand& c : commands)
      if (c.args.empty() || c.line < 1) __builtin_trap();
  } else if (error.empty() || !commands.empty()) {
    __builtin_trap();
  }

  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    Cli::HostRequest request;
    std::string answer;
    Cli::HostLine kind = Cli::ParseHostRequest(text.substr(start, end - start), request, answer);
    if (kind == Cli::HostLine::kMalformed && answer.empty()) __builtin_trap();
    start = end + 1;
  }
  return 0;
}
