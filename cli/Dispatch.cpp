#include "cli/Dispatch.h"

#include <unistd.h>

#include <cstdio>

#include "cli/CommandHost.h"
#include "cli/StartUp.h"
#include "cli/Subsystems.h"
#include "foundation/KUID.h"
#include "foundation/ResultsLog.h"
#include "gamescript/compiler/Driver.h"
#include "graphics/texture/TextureConvert.h"
#include "kiv/File.h"
#include "kiv/PString.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/ContentFolders.h"

namespace Cli {

namespace {

int HelpCommand(Session& session, std::vector<std::string>&, ResultsLog&) {
  PrintHelp(session.out);
  return 0;
}

// Each word interned once, in the order of Commands().
const std::vector<Kiv::PString>& InternedWords() {
  static const std::vector<Kiv::PString> words = [] {
    std::vector<Kiv::PString> out;
    for (const Command& command : Commands()) out.emplace_back(command.word);
    return out;
  }();
  return words;
}

// A command of one target refuses more, so a second target is never dropped
// in silence. True, with an error result, when args holds more than the
// command word and `taken` arguments.
bool RefuseExtraArguments(const std::vector<std::string>& args, size_t taken, const char* what,
                          ResultsLog& log) {
  if (args.size() <= 2 + taken) return false;
  log.AddResult(ResultsLog::kError, nullptr,
                "Too many parameters: '" + args[1] + "' takes " + what + ", not '" + args[2 + taken] + "'.");
  return true;
}

int CommandHostCommand(Session& session, std::vector<std::string>& args, ResultsLog& log) {
  if (RefuseExtraArguments(args, 0, "none (its requests come on standard input)", log)) return -1;
  return RunCommandHost(session);
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands{
      {"help", "  help                 print this text\n", false, &HelpCommand},
      {"compile",
       "  compile <source.gs> [-s] [-d] [-b<log file>] [-p<output path>] [-o<ignored>] [-i<include "
       "path>]\n"
       "                       compile a GameScript source into a .gsl library named after it\n"
       "                       (-s silent, -d print the documentation, -b append the compile log to a file,\n"
       "                       -p output folder: an existing folder, else the path without its last name,\n"
       "                       so end a folder with \"/\"; -o is accepted and ignored;\n"
       "                       -i extra include folder; a second source replaces the first,\n"
       "                       and other switches are ignored)\n",
       false, &CompileCommand},
      {"validate",
       "  validate <kuid> | <asset folder>\n"
       "                       check an asset's config against the schema (KUID as 523:1001 or 523:1001:2)\n",
       false, &ValidateCommand},
      {"umbcommandhost", "", true, &CommandHostCommand},
      {"compresstexture", "", true, &CompressTextureCommand},
  };
  return commands;
}

void PrintHelp(std::FILE* out) {
  std::fputs(
      "RovanaUtil - content tool for the Rovana asset collection\n"
      "\n"
      "Usage: rovanautil <command> [arguments]\n"
      "       rovanautil @<batch file>   (every line one command line, arguments in double quotes)\n"
      "\n"
      "Commands:\n",
      out);
  for (const Command& command : Commands())
    if (!command.hidden) std::fputs(command.usage, out);
  std::fputs(
      "\n"
      "Start-up options, anywhere on the line: norender -kivlog -noumbclient -nostartumbdaemon\n"
      "Folders: ROVANA_ROOT (installation), ROVANA_USERDATA (user data)\n"
      "Exit code: 0 success, -1 failure, -100 fault during a command\n",
      out);
  std::fflush(out);
}

int CompileCommand(Session& session, std::vector<std::string>& args, ResultsLog& log) {
  const std::string working = Kiv::CurrentFolder();
  // Relative paths of the command are the user's: from another folder they would
  // name other files.
  if (!session.startFolder.empty() && !Kiv::SetCurrentFolder(session.startFolder)) {
    log.AddResult(ResultsLog::kError, nullptr,
                  "Unable to enter the folder '" + session.startFolder + "': " + Kiv::File::LastError());
    return -1;
  }
  struct ChangeBack {
    std::string folder;
    ~ChangeBack() {
      // The command is done; what runs next sets its own folder, as this one did.
      if (!folder.empty()) (void)Kiv::SetCurrentFolder(folder);
    }
  } changeBack{working};

  if (args.size() < 3 || args[2].empty()) {
    log.AddResult(ResultsLog::kError, nullptr, "Invalid file path.");
    return -1;
  }
  // The compiler reads the words after the command's own.
  GSCompiler::CompilerArguments arguments = GSCompiler::ParseCompilerArguments(args, 2);
  // The standard classes come from the installation, after the folders the
  // user named, as the asset compile finds them.
  if (const std::string scripts = GetScriptsFolderPath(); !scripts.empty())
    arguments.includes.push_back({Kiv::File::Path(scripts), Kiv::PString()});
  std::string logProblem;
  const int errors = GSCompiler::CompilerMain(arguments, args[0].c_str(), session.onlyCommand, &logProblem);
  if (errors <= 0) return 0;
  // The compiler printed its own messages; the results say the command failed,
  // so the summary line agrees with the exit code. A build log not kept is an
  // error of its own: the compile itself may have succeeded.
  if (!logProblem.empty()) log.AddResult(ResultsLog::kError, nullptr, logProblem);
  if (errors > (logProblem.empty() ? 0 : 1))
    log.AddResult(ResultsLog::kError, nullptr,
                  "Compile failed (compiler result " + std::to_string(errors) + ").");
  return -1;
}

// "compresstexture <folder>": converts every texture description below the
// folder (taken from the user's own folder when relative).
int CompressTextureCommand(Session& session, std::vector<std::string>& args, ResultsLog& log) {
  if (args.size() < 3 || args[2].empty()) {
    log.AddResult(ResultsLog::kError, nullptr, "Missing folder parameter.");
    return -1;
  }
  if (RefuseExtraArguments(args, 1, "one folder", log)) return -1;
  Kiv::File::Path folder(args[2]);
  if (!folder.IsAbsolute() && !session.startFolder.empty())
    folder = Kiv::File::Path(session.startFolder).Join(args[2]);
  if (Kiv::File::Exists(folder.View()) && !Kiv::File::IsDirectory(folder.View())) {
    log.AddResult(ResultsLog::kError, nullptr,
                  "compresstexture takes a folder, and '" + folder.Str() + "' is a file.");
    return -1;
  }
  // A long conversion shows how far it is on a terminal; standard output, and
  // standard error that is not a terminal, get nothing extra.
  const bool progress = isatty(STDERR_FILENO) == 1;
  if (progress)
    SetTextureConversionProgress([](size_t done, size_t total) {
      std::fprintf(stderr, "\rcompresstexture: %zu of %zu textures done", done, total);
      if (done == total) std::fputc('\n', stderr);
      std::fflush(stderr);
    });
  const uint32_t result = ConvertTexturesInFolderCommand(std::string(), folder.Str(), log);
  if (progress) SetTextureConversionProgress(nullptr);
  return result == kTextureConvertDone ? 0 : -1;
}

int ValidateCommand(Session& session, std::vector<std::string>& args, ResultsLog& log) {
  if (args.size() < 3 || args[2].empty()) {
    log.AddResult(ResultsLog::kError, nullptr, "Missing asset parameter (a KUID or an asset folder).");
    return -1;
  }
  if (RefuseExtraArguments(args, 1, "one asset (a KUID or an asset folder)", log)) return -1;
  const std::string& target = args[2];
  std::string folder;
  KUID kuid;
  if (ParseKUIDArgument(target, kuid) || TryParseKUID(target, true, kuid)) {
    folder = UMBGetAssetFolder(kuid);
    if (folder.empty()) {
      log.AddResult(ResultsLog::kError, nullptr, "Unknown asset " + FormatKUIDTag(kuid) + ".");
      return -1;
    }
  } else {
    Kiv::File::Path path(target);
    if (!path.IsAbsolute() && !session.startFolder.empty())
      path = Kiv::File::Path(session.startFolder).Join(target);
    folder = path.Str();
  }
  const bool valid = CheckAssetFolder(log, folder);
  return valid && log.ErrorCount() == 0 ? 0 : -1;
}

int Dispatch(Session& session, std::vector<std::string>& args, ResultsLog& log) {
  if (args.size() < 2) {
    log.AddResult(ResultsLog::kError, nullptr, "Missing command. Run \"rovanautil help\" for the commands.");
    return -1;
  }
  const Kiv::PString word = Kiv::PString(args[1]).ToLower();
  const std::vector<Command>& commands = Commands();
  const std::vector<Kiv::PString>& words = InternedWords();
  for (size_t i = 0; i < commands.size(); ++i)
    if (word == words[i]) return commands[i].handler(session, args, log);
  log.AddResult(ResultsLog::kError, nullptr,
                "Unknown command '" + args[1] + "'. Run \"rovanautil help\" for the commands.");
  return -1;
}

}  // namespace Cli
