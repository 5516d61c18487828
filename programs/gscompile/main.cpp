// gscompile: the compiler's command line alone, for the build, which compiles
// the GameScript class libraries of scripts/ with it.
//
//   gscompile <source.gs> [-p<output path>] [-i<include folder>]...
//
// Exit status: the number of errors (at most 255).

#include <algorithm>

#include "gamescript/compiler/Driver.h"
#include "kiv/Memory.h"

int main(int argc, char** argv) {
  Kiv::PrepareHeapForRounds(true);  // as "rovanautil compile" has it
  return std::min(GSCompiler::CompilerMain(argc, argv, true), 255);
}
