#include "cli/Options.h"

namespace Cli {

StartupOptions TakeStartupOptions(std::vector<std::string>& args) {
  StartupOptions options;
  std::vector<std::string> kept;
  kept.reserve(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i > 0) {
      if (a == "norender") {
        options.noRender = true;
        continue;
      }
      if (a == "-kivlog") {
        options.kivLog = true;
        continue;
      }
      if (a == "-noumbclient") {
        options.umbClient = false;
        continue;
      }
      if (a == "-nostartumbdaemon") {
        options.startUmbDaemon = false;
        continue;
      }
    }
    kept.push_back(a);
  }
  args = std::move(kept);
  return options;
}

}  // namespace Cli
