#pragma once
// Start-up and shut-down of the program, and the state that lives between.
#include <cstdio>
#include <memory>
#include <string>

#include "cli/Options.h"
#include "kiv/render/RenderKernel.h"

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
  // The process runs this one command and ends: what the command made may
  // be left for the end of the process to free.
  bool onlyCommand = false;
  // The command is "compile", which reads and writes script files only: the
  // start-up leaves out the check scene and the asset database.
  bool compileOnly = false;

  // Set by start-up.
  std::string startFolder;  // the user's current folder; relative arguments are under it
  std::string language;     // "language" of the "internet" settings record
  bool folderChanged = false;
  bool configSchemaStarted = false;
  bool logOpen = false;
  bool databaseOpen = false;
  bool pluginsRegistered = false;
  std::unique_ptr<Kiv::RenderKernel> kernel;  // the engine's render kernel
};

// The engine option string of the start-up options: the hidden renderer, or
// the null renderer with "norender".
std::string EngineOptions(const StartupOptions& options);

// Runs the start-up in order: saves the current folder and changes to the
// installation root; starts the config schema library over "OBLData/"
// ("- OBLLib initialisation failed." when it cannot); applies the start-up
// options to the engine (its log sink) and creates the render kernel from the
// engine option string, retrying once with "-NullRender" when the renderer
// does not load; registers the program's plug-ins with the engine; lays out
// and checks the folders (user data, interface texts, the log file
// "rovanautil.log" in the user data); builds the schema library's check scene
// and registers the shared material resources (after the log file opens, so
// what they report reaches it); opens the asset database; reads the language
// setting. With session.compileOnly there is no render kernel and no
// plug-in, and it stops once the log file is open.
// Failures print one "- " line to session.out. True when the asset database
// is open at the end (for compileOnly: when the log file step was reached).
[[nodiscard]] bool StartUp(Session& session);

// Runs the shut-down in order for whatever start-up reached: stops the job
// queue, releases the plug-ins, closes the asset database, stops the config
// schema library, stops the network layer's name resolution, deletes the
// render kernel, closes the log and changes back to the user's folder.
void ShutDown(Session& session);

// The installed printer of the script runtime's diagnostics hook: formats
// into a 16384-byte text (longer text is cut) and logs "ScriptLog> %s".
void ScriptLogPrinter(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Cli
