#pragma once
// What gsrun reads from outside before it runs anything: its command line,
// the include directives of a source, and whether an included source's
// library beside it is current. Apart from main() so that they can be
// driven on their own.
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gamescript/compiler/IncludePaths.h"

namespace Gsrun {

struct Arguments {
  std::vector<GSCompiler::IncludePath> includes;  // -i<folder>, in order
  std::vector<const char*> rest;                  // source, class, then function or count
  bool game = false;                              // --game, as the first argument only
  bool help = false;                              // --help: the usage, nothing run
  std::string userData, installation;             // -u, -r, made absolute from the current folder
  std::string service;                            // -o<host>:<port>, and its parts
  std::string host;
  int port = 0;
  uint64_t memoryLimit = 0;   // -m<MiB>, in bytes; the default as given
  int count = 1;              // game objects, with --game
  std::string unknownOption;  // set when the line was refused for an option gsrun does not take
};

// Reads argv[1..argc-1] into `out` (whose memoryLimit holds the default).
// False when the line is not one of gsrun's forms: the usage is then due.
// "--help" alone gives true with `help` set.
[[nodiscard]] bool ParseArguments(int argc, char** argv, Arguments& out);

// The names a source includes, lower-cased as the compiler takes them: the
// include directives stand at the top of a file.
std::vector<std::string> IncludesOf(const std::string& path);

// Whether `library` exists, is not older than `source`, has one of the
// `expected` ids in its header and lists the ids of every source a compile of
// `compiledAs` (the name `source` is found by) would read now: one made from
// another text of an include, direct or indirect, is not current.
[[nodiscard]] bool LibraryIsCurrent(const std::string& library, const std::string& source,
                                    const std::string& compiledAs,
                                    const std::set<std::pair<uint32_t, uint32_t>>& expected);
// Whether `library` was last changed no earlier than `source`; a missing
// file counts as never changed.
[[nodiscard]] bool LibraryIsNotOlder(const std::string& library, const std::string& source);

}  // namespace Gsrun
