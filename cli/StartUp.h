#pragma once
// Start-up and shut-down of the program, and the state that lives between.
#include <cstdio>
#include <string>

#include "cli/Options.h"

namespace Cli {

struct Session {
  // Given before start-up.
  std::string installationRoot;  // empty: unknown
  std::string userDataFolder;    // empty: unknown
  StartupOptions options;
  std::FILE* out = stdout;  // results, summaries, start-up failures
  std::FILE* in = stdin;    // requests of the command host
  // Shut-down stops the process job queue and the network layer, which cannot
  // be restarted. Only the end of the process may do that; code that runs the
  // program more than once in one process (tests) clears this.
  bool endsProcess = true;

  // Set by start-up.
  std::string startFolder;  // the user's current folder; relative arguments are under it
  std::string language;     // "language" of the "internet" settings record
  bool folderChanged = false;
  bool configSchemaStarted = false;
  bool logOpen = false;
  bool databaseOpen = false;
  bool pluginsRegistered = false;
};

// Runs the start-up in order: saves the current folder and changes to the
// installation root; starts the config schema library over "OBLData/"
// ("- OBLLib initialisation failed." when it cannot); applies the start-up
// options to the engine stand-in (its log sink; rendering is always the null
// renderer here); lays out and checks the folders (user data, interface
// texts, the log file "rovanautil.log" in the user data); opens the asset
// database; reads the language setting; registers the plug-in object.
// Failures print one "- " line to session.out. True when the asset database
// is open at the end.
bool StartUp(Session& session);

// Runs the shut-down in order for whatever start-up reached: stops the job
// queue, releases the plug-in object, closes the asset database, stops the
// config schema library, stops the network layer's name resolution, closes the
// log and changes back to the user's folder.
void ShutDown(Session& session);

// The installed printer of the script runtime's diagnostics hook: formats
// into a 16384-byte text (longer text is cut) and logs "ScriptLog> %s".
void ScriptLogPrinter(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Cli
