// The command line of rovanautil as the shell gives it (arguments separated
// by NUL bytes): the start-up options are taken out wherever they stand and
// only they, and the "compile" command's switches read as the compiler reads
// them. Nothing is run: the arguments name files.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "fuzz/fuzz_input.h"
#include "gamescript/compiler/Driver.h"
#include "kiv/String.h"

namespace {

bool IsOption(const std::string& a) {
  return a == "norender" || a == "-kivlog" || a == "-noumbclient" || a == "-nostartumbdaemon";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = FuzzArguments(data, size, "rovanautil");
  const std::vector<std::string> given = args;
  const Cli::StartupOptions options = Cli::TakeStartupOptions(args);
  // What stays is what was given without the options, in order.
  std::vector<std::string> kept;
  for (size_t i = 0; i < given.size(); ++i)
    if (i == 0 || !IsOption(given[i])) kept.push_back(given[i]);
  if (args != kept) std::abort();
  const auto has = [&](const char* word) {
    return std::find(given.begin() + 1, given.end(), word) != given.end();
  };
  if (options.noRender != has("norender") || options.kivLog != has("-kivlog") ||
      options.umbClient == has("-noumbclient") || options.startUmbDaemon == has("-nostartumbdaemon"))
    std::abort();

  if (args.size() < 2 || Kiv::ToLowerAscii(args[1]) != "compile") return 0;
  // The compile command hands on the words after its own.
  const GSCompiler::CompilerArguments compile = GSCompiler::ParseCompilerArguments(args, 2);
  size_t includes = 0;
  const char* source = nullptr;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i][0] != '-') {
      source = args[i].c_str();
    } else if (args[i][1] == 'd') {
      break;
    } else if (args[i][1] == 'i') {
      ++includes;
    }
  }
  if (compile.source != source || compile.includes.size() != includes) std::abort();
  if (compile.source && compile.source[0] == '-') std::abort();
  return 0;
}
