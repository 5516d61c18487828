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
  args[1].clear();  // as the compile command hands it on
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  const GSCompiler::CompilerArguments compile =
      GSCompiler::ParseCompilerArguments(int(argv.size()), argv.data());
  size_t includes = 0;
  const char* source = nullptr;
  for (size_t i = 1; i < argv.size(); ++i) {
    if (argv[i][0] != '-') {
      source = argv[i];
    } else if (argv[i][1] == 'd') {
      break;
    } else if (argv[i][1] == 'i') {
      ++includes;
    }
  }
  if (compile.source != source || compile.includes.size() != includes) std::abort();
  if (compile.source && compile.source[0] == '-') std::abort();
  return 0;
}
