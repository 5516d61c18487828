// RovanaUtil: the command-line content tool.
#include <malloc.h>

#include <string>
#include <vector>

#include "cli/App.h"
#include "cli/Options.h"
#include "kiv/String.h"

int main(int argc, char** argv) {
  // Freed memory stays with the process for reuse: grow the heap in larger
  // steps, a system call each (untouched pages cost no memory).
  mallopt(M_TOP_PAD, 16 << 20);
  std::vector<std::string> args(argv, argv + argc);
  // A compile works on one thread at a time: its parser's deep-stack thread,
  // then the library write on this one. Both take the one heap: a thread's
  // own heap grows a page at a time (a system call each, whatever the step
  // above), and what the compile frees there would never serve the write.
  std::vector<std::string> words = args;
  Cli::TakeStartupOptions(words);
  if (words.size() > 1 && Kiv::ToLowerAscii(words[1]) == "compile") mallopt(M_ARENA_MAX, 1);
  return Cli::Main(args, Cli::Environment::FromProcess(argc > 0 ? argv[0] : nullptr));
}
