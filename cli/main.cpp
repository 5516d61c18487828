// RovanaUtil: the command-line content tool.
#include <string>
#include <vector>

#include "cli/App.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return Cli::Main(args, Cli::Environment::FromProcess(argc > 0 ? argv[0] : nullptr));
}
