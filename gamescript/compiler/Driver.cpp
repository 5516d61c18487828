#include "gamescript/compiler/Driver.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <list>
#include <memory>
#include <string>
#include <utility>

#include "gamescript/compiler/CodeGen.h"
#include "gamescript/compiler/Messages.h"
#include "gamescript/compiler/Parser.h"
#include "gamescript/compiler/Semantic.h"
#include "gamescript/compiler/Source.h"
#include "gamescript/runtime/StringPool.h"

namespace GSCompiler {

namespace {

constexpr double kCompilerVersion = 1.02;

// Files included through more files than this are refused.
constexpr int kMaxIncludeDepth = 256;

bool EndsWithGse(std::string_view name) {
  if (name.size() < 4) return false;
  std::string_view tail = name.substr(name.size() - 4);
  return tail[0] == '.' && (tail[1] | 0x20) == 'g' && (tail[2] | 0x20) == 's' && (tail[3] | 0x20) == 'e';
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

void PrintUsage(const char* argv0) {
  const std::string program(Utils::FileNamePart(argv0 ? argv0 : ""));
  std::printf("MELKO GameScript Compiler V%4.2f\n\n", kCompilerVersion);
  std::printf("%s returns number of compile errors\n", program.c_str());
  std::printf("%s <option> <option>..\nwhere <option> is one of the following\n\n", program.c_str());
  std::printf("<-d> print documentation, u might wanna pipe it to a text document =)\n");
  std::printf("<-s> silent\n");
  std::printf("<-bfilename> dump the build info (compile log) to file\n");
  std::printf("<-ppathname> output path\n");
  std::printf("<-ofilename> output library filename\n");
  std::printf("<filename> input source file\n");
  std::printf("<-ipathname> additional include path\n");
}

// Builds the library of a unit compiled without errors and stores it at `path`
// through a temporary file, so a failure leaves any old library whole. Returns
// the error count (0 or 1); messages only when there is a log. `processEnds`:
// nothing is compiled after this in the process. `stored` is not ok when the
// file could not be made or written: the specified message is then followed by
// a line that names the file and the system's reason. `dependencies`, when
// given, receives the ids the stored library lists.
int WriteLibraryFile(CompileUnit& unit, const char* sourceName, const std::string& path, CompileLog* log,
                     bool exactPath, bool processEnds, Kiv::Status& stored,
                     LibraryDependencies* dependencies = nullptr) {
  // The library's blocks go to its new file as they are made, after the
  // head's place, so a large one is never held whole in memory; the head
  // and the last block follow once the sizes are known. A library is made
  // again from its source at any time: it is replaced whole, without
  // waiting for the disk.
  Kiv::ReplacingFile file(path);
  Kiv::ScratchFile spill;
  LibraryBytes bytes;
  bytes.spill = &spill;
  bytes.file = file.Fd();
  bytes.fileName = path;
  bytes.lastUse = processEnds;
  const auto reason = [&] {
    if (log) log->Addf("%s\n", stored.message().c_str());
  };
  const auto unableToOpen = [&] {
    if (stored.ok()) stored = Kiv::Status::FromLastFileError();
    if (log) {
      if (exactPath)
        log->Addf("Unable to open output file: '%s'.\n", path.c_str());
      else
        log->Add("Unable to open output file.\n");
    }
    reason();
    return 1;
  };
  if (bytes.file < 0) return unableToOpen();
  if (!unit.WriteLibrary(bytes, log, sourceName)) {
    stored = bytes.written;
    if (log) {
      if (exactPath)
        log->Addf("Internal Compiler Error on '%s'.\n", sourceName);
      else
        log->Add("Internal Compiler Error.\n");
    }
    if (!stored.ok()) reason();
    return 1;
  }
  Kiv::ScratchFile out;  // the rest of the file, around the spilled blocks
  out.Place(bytes.file, 0, path);
  uint64_t at = 0;
  const auto put = [&](const void* data, std::size_t size) {
    if (size != 0 && !out.WriteAt(at, data, size)) return false;
    at += size;
    return true;
  };
  bool written = put(bytes.head.Data(), bytes.head.Position()) &&
                 put(bytes.strings.data(), bytes.strings.size()) && put(LibraryBytes::kPad, bytes.stringsPad);
  at += spill.Size();
  for (const auto& block : bytes.rest) written = written && put(block->Data(), block->Position());
  if (!written || !file.Commit(false)) return unableToOpen();
  if (dependencies) *dependencies = std::move(bytes.dependencies);
  return 0;
}

}  // namespace

// ------------------------------------------------------------ compile unit

int CompileUnit::Compile(const char* sourceName, CompileLog* log) {
  m_log = log;
  m_symbols.Reset();
  m_fileCount = 0;
  m_includeDepth = 0;

  // A ".gse" unit compiles under its ".gs" name; the reader falls back to the
  // enciphered file.
  std::string name = sourceName ? sourceName : "";
  if (EndsWithGse(name)) name.pop_back();

  m_image.Clear();
  m_files.clear();
  m_root.Reset(log, &m_symbols);
  m_symbols.SetContext(&m_root);

  CompileLog generationLog;
  ParseContext generation;
  generation.Reset(log ? &generationLog : nullptr, &m_symbols);
  CodeGenerator generator(m_symbols, m_image, generation);
  generator.Begin();
  m_generator = &generator;
  m_generatorContext = &generation;
  m_generationFailed = false;
  // The whole compile runs where the parser may nest deepest: each file's
  // declarations are checked while the file is still being parsed, and its
  // includes are compiled from there.
  // An exception (memory running out) must not end that thread's run: it
  // goes on to the caller as if the compile had run on its own thread.
  struct Job {
    CompileUnit* unit;
    const char* name;
    int errors;
    std::exception_ptr failure;
  } job{this, name.c_str(), 0, nullptr};
  RunOnParseStack(
      [](void* raw) {
        Job& j = *static_cast<Job*>(raw);
        try {
          j.errors = j.unit->CompileSource(j.name, j.unit->m_root, true);
        } catch (...) {
          j.failure = std::current_exception();
        }
      },
      &job);
  int errors = job.errors;
  m_generator = nullptr;
  m_generatorContext = nullptr;
  if (job.failure) {
    m_symbols.SetContext(nullptr);
    std::rethrow_exception(job.failure);
  }

  if (errors != 0 && m_log)
    m_log->Addf(".. while compiling '%s'", m_root.fileName ? m_root.fileName : name.c_str());
  if (errors == 0) {
    if (m_log)
      for (std::size_t i = 0; i < generationLog.Count(); ++i) m_log->Add(generationLog.At(i));
    if (m_generationFailed) {
      // Errors of the source were reported as such and counted; the line
      // that says code generation stopped follows them either way.
      errors = std::max(generator.CountedErrors(), 1);
      if (m_log) m_log->Add("\nInternal Code Generation Error...");
    }
  }
  m_symbols.SetContext(nullptr);
  return errors;
}

// One file as it is parsed: its includes are compiled when their directives
// have been read, then each class is checked (and generated, for the main
// file) and forgotten before the next is parsed.
class CompileUnit::FileStream final : public ParseSink {
public:
  FileStream(CompileUnit& unit, ParseContext& context, bool mainFile, std::string key)
      : m_unit(unit),
        m_context(context),
        m_mainFile(mainFile),
        m_depth(unit.m_includeDepth),
        m_key(std::move(key)) {}

  // The error count of the file and its includes, once it has been parsed.
  int Result() const { return m_checking ? m_context.errorCount : m_errors; }

  void Includes(SyntaxNode* includes) override {
    CompileUnit& u = m_unit;
    GSSymbolTable& symbols = u.m_symbols;
    // Files are entered and looked up under their file-name part, so an
    // include written with a folder is still recognised as already compiled.
    GSDependentSymbol* file = symbols.NewDependent(m_key);
    if (!file) {
      Internal();
      return;
    }
    file->sourceCrc = m_context.sourceCrc;
    file->fileNameCrc = m_context.fileNameCrc;
    file->index = u.m_fileCount;
    if (!symbols.Add(file, nullptr, false)) {
      Internal();
      return;
    }
    ++u.m_fileCount;
    u.m_files.push_back(file);

    for (const SyntaxNode* decl = includes; decl; decl = decl->next) {
      if (decl->category != CatDeclaration || decl->kind != DeclInclude) continue;
      const SyntaxNode* nameNode = decl->child[0];
      const char* include = nameNode && nameNode->text ? nameNode->text : "";
      if (symbols.FindDependent(std::string(Utils::FileNamePart(Lower(include)))))
        continue;  // included before, or a cycle
      if (m_depth >= kMaxIncludeDepth) {
        // Each level holds a file's tree and a stack frame: a long chain of
        // files including each other must not exhaust either.
        ReportError(m_context, true, false, int(decl->line), "Includes nested too deep, line %d.",
                    int(decl->line));
        ++m_errors;
        break;
      }
      ParseContext sub;
      sub.Reset(m_context.log, m_context.symbols);
      symbols.SetContext(&sub);
      u.m_includeDepth = m_depth + 1;
      const int n = u.CompileSource(include, sub, false);
      u.m_includeDepth = m_depth;
      symbols.SetContext(&m_context);
      m_errors += n;
      if (n != 0 && u.m_log) u.m_log->Addf(".. while compiling '%s'", sub.fileName ? sub.fileName : include);
    }
    symbols.ClearScopes();
    if (m_errors != 0) return;

    GSDependentSymbol* self = symbols.FindDependent(m_key);
    if (!self) {
      m_errors = 1;
      return;
    }
    symbols.currentFile = self;
    m_context.errorCount = 0;
    // Import indexes count what this file itself refers to; an include
    // is checked for its declarations only.
    symbols.ResetImportIndexes();
    m_checking = true;
  }

  // A class is checked and generated a member at a time, each member's tree
  // going before the next is read; one whose header is refused is checked
  // whole once read, as its messages name the line of its end.
  bool TakesMembers(SyntaxNode* declaration) override {
    if (!m_checking || m_aborted) return true;  // only parsed: nothing keeps the members
    CompileUnit& u = m_unit;
    if (!m_classCheck.Begin(declaration, !m_mainFile)) return false;
    m_memberwise = true;
    m_aborted = m_classCheck.Aborted();
    m_generating = false;
    if (Generates()) {
      m_generating = u.m_generator->BeginClass(declaration);
      if (!m_generating) u.m_generationFailed = true;
    }
    return true;
  }

  void Member(SyntaxNode* member) override {
    if (!m_memberwise || m_aborted) return;
    m_classCheck.Member(member);
    m_aborted = m_classCheck.Aborted();
    // A class with an error is not generated; the compile fails anyway.
    if (m_context.errorCount != 0) m_generating = false;
    // Errors are counted in the log as they are found.
    if (m_generating) (void)m_unit.m_generator->GenerateMember(member);
    // The member's locals and parameters are known only to its tree.
    m_unit.m_symbols.ReleaseRetired();
  }

  void Class(SyntaxNode* declaration) override {
    CompileUnit& u = m_unit;
    if (m_memberwise) {
      m_memberwise = false;
      m_classCheck.End(declaration);
      if (m_generating && m_context.errorCount == 0 && !u.m_generator->EndClass(declaration))
        u.m_generationFailed = true;
      m_generating = false;
    } else {
      if (!m_checking || m_aborted) return;  // the rest of the file is only parsed
      // Errors are counted in the log as they are found.
      (void)Check(declaration, m_context, !m_mainFile, &m_aborted);
      if (Generates() && !u.m_generator->GenerateClass(declaration)) u.m_generationFailed = true;
    }
    // The class's locals and parameters are known only to its tree, which
    // goes now, and its member table shrinks to its members.
    u.m_symbols.ReleaseRetired();
    if (declaration->symbol && declaration->symbol->kind == SymClass)
      static_cast<GSClassSymbol*>(declaration->symbol)->members.Compact();
  }

private:
  void Internal() {
    if (m_unit.m_log) m_unit.m_log->Add("Internal Compiler Error.");
    m_errors = 1;
  }
  // Whether the class just checked is generated: the main file's, while
  // nothing has failed.
  bool Generates() {
    CompileUnit& u = m_unit;
    if (u.m_generator == nullptr || u.m_generationFailed) return false;
    if (m_mainFile && m_context.errorCount == 0) {
      u.m_generatorContext->fileName = m_context.fileName;
      return true;
    }
    return false;
  }

  CompileUnit& m_unit;
  ParseContext& m_context;
  const bool m_mainFile;
  const int m_depth;
  const std::string m_key;
  int m_errors = 0;
  bool m_checking = false;  // includes compiled without errors: classes are checked
  bool m_aborted = false;   // a check stopped the walk: no further class is checked
  ClassCheck m_classCheck{m_context};
  bool m_memberwise = false;  // the class being read is checked a member at a time
  bool m_generating = false;  // and generated so
};

int CompileUnit::CompileSource(const char* fileName, ParseContext& context, bool mainFile) {
  // Files are known by their lower-cased name; they are found, and named in
  // messages, as the file system spells them.
  const std::string name(fileName ? fileName : "");
  FileStream stream(*this, context, mainFile, std::string(Utils::FileNamePart(Lower(name))));
  if (int result = ReadAndParseSource(name.c_str(), context, &stream)) return result;
  return stream.Result();
}

// ------------------------------------------------------------ entries

int CompileFile(const char* source, const char* outputPath, const std::vector<IncludePath>& includes,
                CompileLog* log, bool processEnds, LibraryDependencies* dependencies) {
  if (!source) source = "";
  // Search order: the source's own folder, then the given folders in order.
  const std::list<IncludePath> paths = SourceIncludePaths(source, includes);
  ClearIncludePaths();
  for (const IncludePath& entry : paths) AppendIncludePath(entry);
  const Kiv::File::Path& sourceFolder = paths.front().path;

  const std::string unitName(Utils::FileNamePart(source));
  auto owned = std::make_unique<CompileUnit>();
  CompileUnit& unit = *owned;
  int errors = unit.Compile(unitName.c_str(), log);

  // Output folder: the output path when given, else the source's folder. An
  // output path that names an existing folder is that folder, with or without
  // a trailing separator.
  Kiv::File::Path folder;
  if (outputPath && *outputPath) {
    folder = Kiv::File::Path(outputPath);
    if (!Kiv::File::IsDirectory(outputPath)) folder.RemoveFileName();
  } else {
    folder = sourceFolder;
  }
  Kiv::File::Path library = folder;
  library.Join(unitName);
  library.SetExt("");
  library.AddToLast(".gsl");

  Kiv::Status stored;  // its reason is in the log already
  if (errors == 0)
    errors = WriteLibraryFile(unit, source, library.Str(), log, false, processEnds, stored, dependencies);
  if (processEnds) {
    static CompileUnit* kept = nullptr;  // freed with the process's pages
    delete kept;
    kept = owned.release();
  }
  return errors;
}

int CompileToFile(const char* source, const char* outputFile, CompileLog* log) {
  Kiv::Status stored;  // its reason is in the log already
  return CompileToFile(source, outputFile, log, stored);
}

int CompileToFile(const char* source, const char* outputFile, CompileLog* log, Kiv::Status& stored,
                  LibraryDependencies* dependencies) {
  stored = Kiv::Status::OK();
  if (!source) return 0;
  CompileUnit unit;
  int errors = unit.Compile(source, log);
  if (errors == 0 && outputFile)
    errors = WriteLibraryFile(unit, source, outputFile, log, true, false, stored, dependencies);
  return errors;
}

bool CompileUnit::WriteLibrary(Utils::ByteBuffer& buffer, CompileLog* log, const char* sourceName) {
  LibraryBytes bytes;
  return WriteLibrary(bytes, log, sourceName) && JoinLibrary(bytes, buffer, log);
}

bool CompileUnit::WriteLibrary(LibraryBytes& bytes, CompileLog* log, const char* sourceName) {
  LibrarySource source;
  source.name = sourceName;
  source.sourceCrc = m_root.sourceCrc;
  source.fileNameCrc = m_root.fileNameCrc;
  source.files = m_files;
  // The syntax tree has been turned into code; its memory goes before the
  // image is built, which lowers the peak of a large compile.
  m_root.declarations = nullptr;
  m_root.fileName = nullptr;
  m_root.stringPool.FreeAll();
  return WriteLibraryImage(bytes, m_symbols, m_image, source, log);
}

namespace {

// Takes one argument of a compile line into `a`; false when the reading ends there.
bool ReadCompilerArgument(CompilerArguments& a, const char* arg) {
  if (!arg) return true;
  if (arg[0] != '-') {
    a.source = arg;  // a later source replaces an earlier one
    return true;
  }
  switch (arg[1]) {
    case 's': a.silent = true; break;
    case 'b': a.buildLog = arg + 2; break;
    case 'p': a.outputPath = arg + 2; break;
    case 'i': a.includes.push_back(IncludePath{Kiv::File::Path(arg + 2), Kiv::PString()}); break;
    case 'd': a.document = true; return false;
    default: break;  // "-c", "-t", "-l", "-o", any other and "-" alone are ignored
  }
  return true;
}

}  // namespace

CompilerArguments ParseCompilerArguments(int argc, const char* const* argv) {
  CompilerArguments a;
  for (int i = 1; i < argc && ReadCompilerArgument(a, argv[i]); ++i) {}
  return a;
}

CompilerArguments ParseCompilerArguments(const std::vector<std::string>& args, std::size_t first) {
  CompilerArguments a;
  for (std::size_t i = first; i < args.size() && ReadCompilerArgument(a, args[i].c_str()); ++i) {}
  return a;
}

int CompilerMain(int argc, char** argv, bool processEnds) {
  return CompilerMain(ParseCompilerArguments(argc, argv), argc > 0 ? argv[0] : nullptr, processEnds);
}

int CompilerMain(const CompilerArguments& arguments, const char* program, bool processEnds,
                 std::string* logProblem) {
  if (arguments.document) {
    std::printf("%s\n", LanguageDocument());
    return 0;
  }
  bool silent = arguments.silent;
  const char* const buildLog = arguments.buildLog;
  const char* const outputPath = arguments.outputPath;
  const char* const source = arguments.source;
  const std::vector<IncludePath>& includes = arguments.includes;
  CompileLog log;

  int result;
  if (source && *source) {
    result = CompileFile(source, outputPath, includes, &log, processEnds);
  } else {
    PrintUsage(program);
    result = 1;
  }

  // A log that cannot be kept is one more error: the user asked for it.
  if (logProblem) logProblem->clear();
  auto lost = [&](const char* what, int error) {
    char text[4096];
    std::snprintf(text, sizeof text, "Unable to %s build log file: '%s' (%s).", what, buildLog,
                  std::strerror(error));
    if (logProblem)
      *logProblem = text;
    else
      std::printf("%s\n", text);
    ++result;
  };
  std::FILE* file = buildLog ? std::fopen(buildLog, "a+") : nullptr;
  if (buildLog && !file) {
    // The messages meant for the file go to standard output instead of
    // nowhere, after the reason.
    lost("open", errno);
    silent = false;
  }
  int writeError = 0;  // errno of the first failed write
  for (std::size_t i = 0; i < log.Count(); ++i) {
    if (file && std::fprintf(file, "%s\n", log.At(i)) < 0 && !writeError) writeError = errno ? errno : EIO;
    if (!silent) std::printf("%s\n", log.At(i));
  }
  // Buffered text meets a full disk only when it is flushed.
  if (file && std::fclose(file) != 0 && !writeError) writeError = errno ? errno : EIO;
  if (writeError) {
    lost("write", writeError);
    if (silent)
      for (std::size_t i = 0; i < log.Count(); ++i) std::printf("%s\n", log.At(i));
  }
  std::fflush(stdout);
  return result;
}

}  // namespace GSCompiler

namespace GSCompiler {

const char* LanguageDocument() {
  return R"DOC(GameScript language and compiler
================================

1. Overview
-----------
GameScript is a small, statically typed, class based language. Each source
file (".gs", or ".gse" when enciphered) compiles into a library file
(".gsl") of its own; a file it includes is read for its declarations only
and is a library of its own, found when the including library is loaded.
Libraries are loaded on demand by the script machine, which runs their
functions in cooperative script threads that exchange messages between game
objects.

2. Compiler
-----------
    compile <source> [-s] [-b<file>] [-p<path>] [-i<path>]...

  <source>    the source file; the library is named after it (".gsl").
  -s          silent: the compile log is not printed.
  -b<file>    append the compile log to <file>.
  -p<path>    folder for the library (default: the source's folder).
  -i<path>    one more include folder; repeatable, searched in order.
  -d          print this document and do nothing else.

The exit code is 0 when the library was written and -1 (255 in the shell)
on any error; without a source the command says "Invalid file path.".
Include files are searched in the source's own folder, then in the "-i"
folders in the order given; a missing "name.gs" is also looked for as
"name.gse". Every file is read once per compile, however often it is
included, so include cycles are harmless. Messages have the form "file(line) : message".

Sources are plain 8-bit (ANSI) text. A file that starts with the UTF-8
byte-order mark is refused: save it as ANSI.

3. Lexical structure
--------------------
Comments:     // to the end of the line, and /* ... */ (not nested; an
              unclosed comment ends the file).
Identifiers:  a letter or "_", then letters, digits or "_". Case matters.
Keywords:     break case continue default else for goto if null return
              switch while and or true false void bool int float string
              object class include define static public native final thread
              game secured size isclass copy me new cast wait on
Integers:     123 (decimal, leading zeros allowed), 0x1F (hexadecimal).
Floats:       1.5  1.  .5   (no exponent form).
Characters:   'a'  '\n'   (value of the first character).
Strings:      "text"  with escapes \n \t \v \r \f \b \a \0 \\ \' \" ;
              a backslash before any other character gives that character.
              Strings may span lines.
A single token may be at most 16384 bytes long.

4. Types
--------
  void  bool  int  float  string  object  <ClassName>
  and arrays of each: int[]  string[]  MyClass[]  ...
bool, int and float are values; strings, objects and arrays are references
(null when empty). A 32-bit int, a 32-bit float.

5. Program structure
--------------------
    include "other.gs"             // includes first
    class Base { ... };            // then at least one class
    game class Train isclass Base, Other {
        public int count = 3;      // member variable with a constant value
        define float SPEED = 1.5;  // named constant
        public void Init(int n);   // prototype, body given later or natively
        thread void Run(void) { ... }
    };

Specifiers:  public native static final thread game secured define
A class may extend several classes ("isclass A, B"); a class cannot extend
a static or a final class, nor itself through its ancestors.

6. Statements
-------------
    { ... }                       block with its own local variables
    int a = 1, b;                 local declarations
    expression;
    if (c) s1; else s2;           else binds to the nearest if
    while (c) s;
    for (init; cond; step) s;
    switch (x) { case 1: ... break; default: ... }
    break;  continue;  return;  return x;
    label:  goto label;
    wait() { on "Major", "Minor" : { ... } on "Major", "Minor", source : ... }
There is no conditional operator, no compound assignment (+= and the like)
and no && or ||: use "and" and "or".

7. Expressions
--------------
By falling precedence:
    postfix   a[i]  a[i,j]  a[i,]  a[,j]  f(x)  a.b  a++  a--
              a.size()  a.isclass(Class)  a.copy(b)
    prefix    ++a  --a  +a  -a  !a  ~a  (int)x  cast<Class>x
    multiply  *  /  %
    add       +  -
    shift     <<  >>
    compare   <  >  <=  >=
    equal     ==  !=
    bits      &  ^  |
    logic     and  or
    assign    =   (right to left)
Primary:  names, me, null, constants, new Class(), new int[n], ( expr ).

8. Library file
---------------
A ".gsl" file is a header (size, magic 0xF762575D, version 1.02, the two
identity words: the CRC-32 of the source text and of its lower-cased file
name, and the source name) followed by chunks: the dependencies (the
libraries of the included files), the string table, the imported classes
and functions, and the classes with their functions and byte code.

9. Byte code and runtime
------------------------
Functions compile to a stack byte code of 32-bit cells. A script thread has
a stack of 1024 cells; each call pushes a frame. Threads are cooperative:
they run until they wait for a message, sleep or end. Messages carry a major
and a minor text, a source and a destination, and are sent at once, posted
for later, or delayed; handlers and "wait ... on" statements receive them.
Native functions of the host program are linked by their signature keys,
such as "$string@KUID::GetName()".
)DOC";
}

}  // namespace GSCompiler
