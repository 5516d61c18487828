// RovanaUtil: the command-line content tool.
#include <malloc.h>

#include <string>
#include <vector>

#include "cli/App.h"

int main(int argc, char** argv) {
  // The compiler makes many small objects on a thread of its own, whose heap
  // otherwise grows by a few pages at a time, a system call each: grow it in
  // larger steps (untouched pages cost no memory).
  mallopt(M_TOP_PAD, 16 << 20);
  std::vector<std::string> args(argv, argv + argc);
  return Cli::Main(args, Cli::Environment::FromProcess(argc > 0 ? argv[0] : nullptr));
}
