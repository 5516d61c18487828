// RovanaUtil: the command-line content tool.
#include <string>
#include <vector>

#include "cli/App.h"
#include "cli/Options.h"
#include "kiv/Memory.h"
#include "kiv/String.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  // A compile keeps freed memory for its next round, and works on one
  // thread at a time (its parser's deep-stack thread, then the library
  // write on this one): both take the one heap. Other commands give large
  // freed blocks back: a check's peak is the sum of what lives at once.
  std::vector<std::string> words = args;
  Cli::TakeStartupOptions(words);
  if (words.size() > 1 && Kiv::ToLowerAscii(words[1]) == "compile")
    Kiv::PrepareHeapForRounds(true);
  else
    Kiv::PrepareHeapForOnePeak();
  return Cli::Main(args, Cli::Environment::FromProcess(argc > 0 ? argv[0] : nullptr));
}
