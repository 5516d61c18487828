// RovanaUtil: the command-line content tool.
#include <string>
#include <vector>

#include "cli/App.h"
#include "cli/Options.h"
#include "kiv/Memory.h"
#include "kiv/String.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  // Freed memory stays with the process for reuse. A compile works on one
  // thread at a time (its parser's deep-stack thread, then the library
  // write on this one): both take the one heap.
  std::vector<std::string> words = args;
  Cli::TakeStartupOptions(words);
  Kiv::PrepareHeapForRounds(words.size() > 1 && Kiv::ToLowerAscii(words[1]) == "compile");
  return Cli::Main(args, Cli::Environment::FromProcess(argc > 0 ? argv[0] : nullptr));
}
