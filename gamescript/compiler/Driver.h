#pragma once
// The GameScript compiler's driver: the "compile" command line and the
// compile entries used by the tool.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gamescript/compiler/CompileLog.h"
#include "gamescript/compiler/IncludePaths.h"
#include "gamescript/compiler/Library.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/SymbolTable.h"
#include "kiv/Status.h"

namespace GSCompiler {

class CodeGenerator;

// The state of one compilation: the main file's parse context, the unit's
// symbol table and the count of source files entered so far.
class CompileUnit {
public:
  CompileUnit() = default;
  CompileUnit(const CompileUnit&) = delete;
  CompileUnit& operator=(const CompileUnit&) = delete;

  // Compiles the unit whose main source is `sourceName` (a ".gse" name is
  // compiled under its ".gs" name). Returns the error count.
  int Compile(const char* sourceName, CompileLog* log);
  // Reads, parses and enters one file, then its includes depth first (each
  // file once), then checks each class as soon as it is parsed (and generates
  // it, for the main file). Returns the error count of the file and its includes.
  int CompileSource(const char* fileName, ParseContext& context, bool mainFile);

  // Writes the library image of a unit compiled without errors into `buffer`,
  // releasing the main file's syntax tree first. False (with a message in the
  // log) when it cannot be built.
  [[nodiscard]] bool WriteLibrary(Utils::ByteBuffer& buffer, CompileLog* log, const char* sourceName);
  // The same in the two parts of the file, as stored without joining them.
  [[nodiscard]] bool WriteLibrary(LibraryBytes& bytes, CompileLog* log, const char* sourceName);
  // The index of the text in the library's string table, interning it once.
  uint32_t InternString(std::string_view text) { return m_image.InternString(text); }

  GSSymbolTable& Symbols() { return m_symbols; }
  ParseContext& RootContext() { return m_root; }
  int FileCount() const { return m_fileCount; }
  LibraryImage& Image() { return m_image; }

private:
  class FileStream;

  CompileLog* m_log = nullptr;
  // The main file's classes are generated as soon as they are checked;
  // whatever generation reports is held back until the file has passed every
  // check, for a file that fails a check reports nothing else.
  CodeGenerator* m_generator = nullptr;
  ParseContext* m_generatorContext = nullptr;
  bool m_generationFailed = false;
  GSSymbolTable m_symbols;
  ParseContext m_root;
  int m_fileCount = 0;
  int m_includeDepth = 0;  // files between the main file and the one being compiled
  LibraryImage m_image;
  std::vector<GSDependentSymbol*> m_files;  // by file index
};

// The switches and source of a "compile" command line; the texts point into
// the arguments.
struct CompilerArguments {
  bool silent = false;                // -s
  bool document = false;              // -d
  const char* buildLog = nullptr;     // -b<file>
  const char* outputPath = nullptr;   // -p<path>
  const char* source = nullptr;       // the last argument without "-"
  std::vector<IncludePath> includes;  // -i<path>, in order
};

// Reads argv[1..argc-1] (null entries skipped) as CompilerMain does: a later
// source replaces an earlier one; "-d" ends the reading; other switches are
// ignored.
CompilerArguments ParseCompilerArguments(int argc, const char* const* argv);
// The same of args[first..], as a command line already split into words
// hands them on.
CompilerArguments ParseCompilerArguments(const std::vector<std::string>& args, std::size_t first);

// The "compile" command: reads the switches, compiles one source and prints the
// log. Returns the error count, 1 after printing the usage, 0 after "-d"; a
// build log that cannot be opened or written counts one more, its reason
// printed and its messages printed in its place.
// `processEnds`: as for CompileFile.
int CompilerMain(int argc, char** argv, bool processEnds = false);
// The same of a line already read; `program` names the program in the usage.
// With `logProblem` the reason a build log was not kept goes there instead
// of to standard output (empty when it was kept).
int CompilerMain(const CompilerArguments& arguments, const char* program, bool processEnds = false,
                 std::string* logProblem = nullptr);

// The ids a library is known by in the order its file lists them: its own
// first, then those of the libraries of the files it includes.
using LibraryDependencies = std::vector<std::pair<uint32_t, uint32_t>>;

// Compiles `source` with its own folder, then `includes`, as the include-path
// list, for a library next to `outputPath` (or the source when null) named after
// the source. Returns the error count. With `processEnds` (the process ends
// after this compile) the compile's symbols are not taken apart one by one:
// the end of the process frees them at once. They stay reachable.
// The list is left filled. When the library was written and `dependencies`
// is given, it receives the ids the library lists.
[[nodiscard]] int CompileFile(const char* source, const char* outputPath,
                              const std::vector<IncludePath>& includes, CompileLog* log,
                              bool processEnds = false, LibraryDependencies* dependencies = nullptr);

// Compiles `source` with the include-path list the caller has filled, for a
// library at exactly `outputFile` (nothing is written when null). Returns the
// error count; 0 at once when `source` is null.
[[nodiscard]] int CompileToFile(const char* source, const char* outputFile, CompileLog* log);
// The same, and `stored` says whether the library reached its file: not ok (an
// I/O error naming the file and the system's reason) when the source compiled
// but its library could not be written, so a caller can tell a full disk from
// a script with errors. `dependencies`: as for CompileFile.
[[nodiscard]] int CompileToFile(const char* source, const char* outputFile, CompileLog* log,
                                Kiv::Status& stored, LibraryDependencies* dependencies = nullptr);

// The language document that "-d" prints.
const char* LanguageDocument();

}  // namespace GSCompiler
