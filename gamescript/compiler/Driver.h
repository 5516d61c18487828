#pragma once
// The GameScript compiler's driver: the "compile" command line, the compile
// entries used by the tool, the include-path list and the compile log.

#include <cstdarg>
#include <cstddef>
#include <list>
#include <vector>

#include "gamescript/compiler/Library.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/SymbolTable.h"
#include "gamescript/runtime/Memory.h"
#include "gamescript/runtime/Queue.h"
#include "kiv/File.h"
#include "kiv/PString.h"
#include "kiv/Status.h"

namespace GSCompiler {

// One folder searched for sources. `base` is a base-folder key handed to the
// file functions together with the path; empty for folders from the command line.
struct IncludePath {
  Kiv::File::Path path;
  Kiv::PString base;
};

// The process-wide include-path list, searched in order by the source reader.
// One compile at a time: the list is shared by every compile entry.
void AppendIncludePath(const IncludePath& entry);
void PrependIncludePath(const IncludePath& entry);
void ClearIncludePaths();
const std::list<IncludePath>& IncludePaths();

// The messages of one compile run, in arrival order. Texts are copied into the
// log's own memory; the whole log is freed with it.
class CodeGenerator;

class CompileLog {
public:
  CompileLog() = default;
  CompileLog(const CompileLog&) = delete;
  CompileLog& operator=(const CompileLog&) = delete;

  void Add(const char* text);
  // Adds a formatted text; outside text only ever fills the arguments.
  void Addf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  std::size_t Count() const { return m_queue.Count(); }
  // Drops every message from the `count`-th on.
  void Truncate(std::size_t count);
  const char* At(std::size_t i) const { return m_queue.At(i); }

private:
  Utils::FrameMemory m_memory;
  Utils::Queue<const char*> m_queue;
};

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

// The "compile" command: reads the switches, compiles one source and prints the
// log. Returns the error count, 1 after printing the usage, 0 after "-d".
// `processEnds`: as for CompileFile.
int CompilerMain(int argc, char** argv, bool processEnds = false);

// Compiles `source` with its own folder, then `includes`, as the include-path
// list, for a library next to `outputPath` (or the source when null) named after
// the source. Returns the error count. With `processEnds` (the process ends
// after this compile) the compile's symbols are not taken apart one by one:
// the end of the process frees them at once. They stay reachable.
[[nodiscard]] int CompileFile(const char* source, const char* outputPath,
                              const std::vector<IncludePath>& includes, CompileLog* log,
                              bool processEnds = false);

// Compiles `source` with the include-path list the caller has filled, for a
// library at exactly `outputFile` (nothing is written when null). Returns the
// error count; 0 at once when `source` is null.
[[nodiscard]] int CompileToFile(const char* source, const char* outputFile, CompileLog* log);
// The same, and `stored` says whether the library reached its file: not ok (an
// I/O error naming the file and the system's reason) when the source compiled
// but its library could not be written, so a caller can tell a full disk from
// a script with errors.
[[nodiscard]] int CompileToFile(const char* source, const char* outputFile, CompileLog* log,
                                Kiv::Status& stored);

// The language document that "-d" prints.
const char* LanguageDocument();

}  // namespace GSCompiler
