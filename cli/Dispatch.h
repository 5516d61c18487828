#pragma once
// The command dispatcher and its workers.
#include <cstdio>
#include <string>
#include <vector>

class ResultsLog;

namespace Cli {

struct Session;

// One command of the dispatcher. `word` is lower-case; `usage` is the
// command's text in the help (one or more whole lines), printed only for
// public commands.
struct Command {
  const char* word;
  const char* usage;
  bool hidden;
  int (*handler)(Session& session, std::vector<std::string>& args, ResultsLog& log);
};

// Every command, in the order the dispatcher compares the words.
const std::vector<Command>& Commands();

// The help text: the usage lines of the public commands of Commands().
void PrintHelp(std::FILE* out);

// Runs one command line: args[0] is the program, args[1] the command word
// (compared lower-cased, as an interned string, in the order of Commands()),
// the rest
// its arguments. Workers may change `args` (the compiler gets the command
// word blanked). Errors are added to `log` at severity 3. Returns the exit
// code: 0 success, -1 failure.
int Dispatch(Session& session, std::vector<std::string>& args, ResultsLog& log);

// "compile": changes to the user's start folder, refuses an empty first
// argument with "Invalid file path.", blanks the command word and runs the
// script compiler with the whole argument vector, then changes back. -1, with
// an error result, when the compiler reports errors (or printed its usage),
// else 0.
int CompileCommand(Session& session, std::vector<std::string>& args, ResultsLog& log);

// "validate <kuid> | <asset folder>": checks the asset (a KUID through the
// asset database, a folder taken from the user's own folder when relative)
// and adds every finding to the log. 0 when no error was found, else -1.
int ValidateCommand(Session& session, std::vector<std::string>& args, ResultsLog& log);

// "compresstexture <folder>" (hidden): converts every "*.texture.txt" below
// the folder into a ".texture" beside it. 0 when every file converted (or
// there was none), else -1.
int CompressTextureCommand(Session& session, std::vector<std::string>& args, ResultsLog& log);

}  // namespace Cli
