#pragma once
// The program: start-up, one command or a batch file, shut-down.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace Cli {

struct Session;

// Where the program's own decisions read the outside world; tests fill it
// with their own values.
struct Environment {
  std::string programPath;                 // the running program
  const char* rootVariable = nullptr;      // ROVANA_ROOT
  const char* userDataVariable = nullptr;  // ROVANA_USERDATA
  std::FILE* out = stdout;
  std::FILE* in = stdin;
  bool endsProcess = true;  // see Session::endsProcess
  // The environment of this process.
  static Environment FromProcess(const char* argv0);
};

// The whole program for one command line. No argument prints the help text
// and returns -1; "help" prints it and returns 0. Otherwise start-up ("- Init
// failed" and -1 when it fails), the command (or, for "@file", every line of
// the batch file), shut-down; returns the exit code.
int Main(const std::vector<std::string>& args, const Environment& env);

// Runs one command with its own results log under the fault guard, then
// prints the results and the summary line. Returns the command's exit code.
int RunCommand(Session& session, std::vector<std::string>& args);

// Runs every command of a batch file (a relative path is under the user's
// start folder). The file is checked whole first; when it cannot be read or a
// line is malformed nothing runs, an error result is printed and -1 returned.
// Otherwise 0 when every command returned 0, else the last non-zero code.
int RunBatch(Session& session, const std::string& programArg, const std::string& path);

// Runs `command` so that a fault (an exception or a fatal signal) ends the
// process at once with exit code -100 after one "- " line on `out`.
int RunGuarded(std::FILE* out, const std::function<int()>& command);

}  // namespace Cli
