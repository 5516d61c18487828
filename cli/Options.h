#pragma once
// Start-up options: words that may stand anywhere on the program's command
// line and are taken out of the arguments before the command word is read.
#include <string>
#include <vector>

namespace Cli {

struct StartupOptions {
  bool noRender = false;       // "norender": the engine runs with the null renderer
  bool kivLog = false;         // "-kivlog": the engine log is echoed to standard error
  bool umbClient = true;       // cleared by "-noumbclient"
  bool startUmbDaemon = true;  // cleared by "-nostartumbdaemon"
};

// Removes every start-up option from `args` (args[0], the program, is never
// an option) and returns what they set. Options match exactly; a word that
// merely resembles one ("-KIVLOG", "norender2") stays an argument.
StartupOptions TakeStartupOptions(std::vector<std::string>& args);

}  // namespace Cli
