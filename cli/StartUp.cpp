#include "cli/StartUp.h"

#include <cstdarg>

#include "cli/Folders.h"
#include "cli/Subsystems.h"
#include "foundation/InterfaceTextDB.h"
#include "foundation/Jobs.h"
#include "foundation/Log.h"
#include "foundation/Soup.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "kiv/File.h"
#include "kiv/Log.h"
#include "online/OnlineAccessClientEndpoint.h"
#include "umbclient/OpenDatabase.h"
#include "umbclient/AsyncConnect.h"
#include "umbclient/ContentFolders.h"

namespace Cli {

namespace {

void Fail(Session& session, const std::string& line, const std::string& note = "") {
  std::fprintf(session.out, "- %s\n", line.c_str());
  if (!note.empty()) std::fprintf(session.out, "; %s\n", note.c_str());
  std::fflush(session.out);
}

}  // namespace

void ScriptLogPrinter(const char* format, ...) {
  char text[16384];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  LogLine("ScriptLog> %s", text);
}

std::string EngineOptions(const StartupOptions& options) {
  std::string text = "-Hidden";
  if (options.noRender) text += " -NullRender";
  if (options.kivLog) text += " -KivLog";
  return text;
}

bool StartUp(Session& session) {
  // The user's folder, for arguments given relative to it; then the
  // installation root, so the schema folder and the product's relative
  // paths resolve as they do in an installation.
  session.startFolder = Kiv::CurrentFolder();
  if (session.startFolder.empty()) {
    Fail(session, "Unable to read the current folder.");
    return false;
  }
  if (session.installationRoot.empty()) {
    Fail(session, "Unable to find the installation folder (a folder holding \"OBLData/\"; set ROVANA_ROOT).");
    return false;
  }
  if (!Kiv::SetCurrentFolder(session.installationRoot)) {
    Fail(session, "Unable to change to the installation folder '" + session.installationRoot + "'.");
    return false;
  }
  session.folderChanged = true;

  if (!StartConfigSchema("OBLData/")) {
    // The line says nothing of why; its note names the folder it looked for.
    const std::string folder = Kiv::File::Path(session.installationRoot).Join("OBLData").Str() + "/";
    Fail(session, "OBLLib initialisation failed.",
         Kiv::File::IsDirectory(folder) ? "" : "There is no schema folder '" + folder + "'.");
    return false;
  }
  session.configSchemaStarted = true;

  // The engine: its log sink echoes to standard error with "-kivlog"
  // (standard output carries the results and the command host's answers).
  Kiv::Log::Instance().SetConsole(session.options.kivLog, stderr);
  // A compile draws nothing: it starts without the render kernel and the
  // engine's plug-ins, whose code it would otherwise map and run.
  if (!session.compileOnly) {
    const std::string engineOptions = EngineOptions(session.options);
    session.kernel = Kiv::RenderKernel::Create(engineOptions);
    if (!session.kernel) {
      LogLine("StartUp> the renderer did not load with '%s'; retrying with -NullRender",
              engineOptions.c_str());
      session.kernel = Kiv::RenderKernel::Create(engineOptions + " -NullRender");
    }
    if (!session.kernel) {
      Fail(session, "Unable to start the engine's render kernel.");
      return false;
    }
    // The engine loads the program's plug-ins with the kernel; the check scene
    // and the probe materials need them.
    RegisterEnginePlugins();
    session.pluginsRegistered = true;
  }

  if (session.userDataFolder.empty()) {
    Fail(session, "Unable to find the user-data folder (set ROVANA_USERDATA).");
    return false;
  }
  std::string error;
  if (!LayOutUserData(session.userDataFolder, error)) {
    Fail(session, error);
    return false;
  }
  SetInstallationRoot(session.installationRoot);
  SetUserDataFolder(session.userDataFolder);
  InterfaceTextDB::SetFolder(session.installationRoot + "/strings");
  session.logOpen = Kiv::Log::Instance().OpenFile(session.userDataFolder + "/rovanautil.log");
  if (!session.logOpen) Fail(session, "Unable to open the log file in '" + session.userDataFolder + "'.");
  // A compile needs neither the scene nor the database, whose opening (an
  // index refreshed from the asset folders) would cost more than a small
  // compile.
  if (session.compileOnly) return true;
  // The check scene and the probe materials, once the log file can take what
  // they report.
  SetUpConfigSchemaScene(session.kernel.get());

  // The database is embedded: "-noumbclient" and "-nostartumbdaemon" choose
  // between a daemon client and starting the daemon, and there is no daemon.
  UMBSetDatabaseHooks(&CreateSpecRegistry, &DestroySpecRegistry);
  session.databaseOpen = UMBOpenDatabase();
  if (!session.databaseOpen)
    Fail(session, "Unable to open the asset database in '" + session.userDataFolder + "'.");

  if (session.databaseOpen) {
    SoupRef internet = UMBGetSettingsRecord("internet");
    session.language = internet.GetNamedTag(Kiv::PString("language")).Str();
    LogLine("StartUp> language '%s'", session.language.c_str());
  }

  return UMBIsDatabaseOpen();
}

void ShutDown(Session& session) {
  if (session.endsProcess) JobQueue::Process().Stop();
  if (session.pluginsRegistered) ReleaseEnginePlugins();
  session.pluginsRegistered = false;
  // The online endpoint says goodbye (a close datagram, a web login closed) while the
  // database it talks through is still open, not from a static destructor after it.
  OnlineAccessClientEndpoint::Shutdown();
  if (session.databaseOpen || UMBIsDatabaseOpen()) UMBCloseDatabase();
  session.databaseOpen = false;
  if (session.configSchemaStarted) StopConfigSchema();
  session.configSchemaStarted = false;
  session.kernel.reset();
  // The network layer: name resolutions still queued for online sockets end here.
  if (session.endsProcess) StopAsyncConnects();
  GSRuntime::ScriptLogHook = nullptr;
  if (session.logOpen) Kiv::Log::Instance().CloseFile();
  session.logOpen = false;
  Kiv::Log::Instance().SetConsole(false, stderr);
  // On the way out: nothing after this reads a relative path, and the process's own
  // folder is not the user's shell's.
  if (session.folderChanged) (void)Kiv::SetCurrentFolder(session.startFolder);
  session.folderChanged = false;
}

}  // namespace Cli
