#include "gamescript/compiler/Source.h"

#include <optional>
#include <string>
#include <vector>

#include "foundation/Crc32.h"
#include "foundation/FileUtil.h"
#include "foundation/ScriptFileBuffer.h"
#include "gamescript/compiler/CompileLog.h"
#include "gamescript/compiler/IncludePaths.h"
#include "gamescript/compiler/Messages.h"
#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Parser.h"
#include "gamescript/compiler/Scanner.h"
#include "gamescript/runtime/StringPool.h"
#include "kiv/File.h"

namespace GSCompiler {

namespace {

ParseContext* g_currentContext = nullptr;

// A regular file at path (relative to base when one is given). Folders, pipes
// and devices do not count: reading one could block or never end.
bool SourceExists(const char* base, const std::string& path) {
  return Kiv::File::IsRegularFile(PathUnder(base, path));
}

// The scanner's reports; while declarations are handed on as they are parsed,
// their texts are kept too, as the reasons of a file that fails.
struct ScannerReports {
  ParseContext* context;
  std::vector<std::string>* kept;
};

void ScannerError(void* user, int line, const char* message) {
  const ScannerReports& reports = *static_cast<ScannerReports*>(user);
  ParseContext& context = *reports.context;
  const std::size_t before = context.log ? context.log->Count() : 0;
  ReportError(context, true, false, line, "%s", message);
  if (reports.kept && context.log && context.log->Count() > before)
    reports.kept->emplace_back(context.log->At(context.log->Count() - 1));
}

// Makes the context current for the parse and restores the outer file's
// context and scanner (an include is read while its includer is parsed) on
// every way out.
struct CurrentGuard {
  explicit CurrentGuard(ParseContext& context)
      : m_context(CurrentParseContext()), m_scanner(CurrentScanner()) {
    SetCurrentParseContext(&context);
  }
  ~CurrentGuard() {
    SetCurrentScanner(m_scanner);
    SetCurrentParseContext(m_context);
  }
  ParseContext* m_context;
  Scanner* m_scanner;
};

// Why a source was not read. One that is nowhere is named as written, with the
// folders searched; one found but unreadable, as spelled on disk with the
// folder it is in.
void ReportUnreadable(CompileLog* log, const char* fileName, const std::string& found, const char* base) {
  if (!log) return;
  if (!found.empty()) {
    Kiv::File::Path folder(PathUnder(base, found));
    folder.RemoveFileName();
    log->Addf("Could not read file %s : %s.", folder.Str().c_str(),
              std::string(Utils::FileNamePart(fileName)).c_str());
    return;
  }
  std::string searched;
  if (!Kiv::File::Path(fileName).IsAbsolute())
    for (const IncludePath& entry : IncludePaths()) {
      const char* key = entry.base.IsNull() || entry.base.IsEmpty() ? nullptr : entry.base.c_str();
      const std::string folder = PathUnder(key, entry.path.Str());
      searched += (searched.empty() ? "'" : ", '") + (folder.empty() ? "." : folder) + "'";
    }
  if (searched.empty())
    log->Addf("Could not read file %s : not found.", fileName);
  else
    log->Addf("Could not read file %s : not found in %s.", fileName, searched.c_str());
}

}  // namespace

ParseContext* CurrentParseContext() { return g_currentContext; }
void SetCurrentParseContext(ParseContext* context) { g_currentContext = context; }

std::string FindSource(const char* fileName, const char** baseFolder) {
  // Search the include folders in order; a ".gs" name may be stored enciphered.
  const Kiv::File::Path name(fileName ? fileName : "");
  const char* base = nullptr;
  std::string found;
  for (const IncludePath& entry : IncludePaths()) {
    base = entry.base.IsNull() || entry.base.IsEmpty() ? nullptr : entry.base.c_str();
    Kiv::File::Path joined = name.IsAbsolute() ? name : Kiv::File::Path(entry.path).Join(name.View());
    if (SourceExists(base, joined.Str())) {
      found = joined.Str();
      break;
    }
    if (joined.IsExt("gs")) {
      joined.SetExt("gse");
      if (SourceExists(base, joined.Str())) {
        found = joined.Str();
        break;
      }
    }
  }
  if (baseFolder) *baseFolder = base;
  return found;
}

namespace {

// Passes a file's declarations on; once a class is done, the source text
// before the scanner's token is given back, since nothing refers to it: the
// syntax tree keeps copies of the names and texts it needs.
class ReleasingSink final : public ParseSink {
public:
  ReleasingSink(ParseSink& sink, const Scanner& scanner, ScriptFileBuffer& buffer)
      : m_sink(sink), m_scanner(scanner), m_buffer(buffer) {}
  void Includes(SyntaxNode* includes) override { m_sink.Includes(includes); }
  bool TakesMembers(SyntaxNode* declaration) override { return m_sink.TakesMembers(declaration); }
  void Member(SyntaxNode* member) override { m_sink.Member(member); }
  void Class(SyntaxNode* declaration) override {
    m_sink.Class(declaration);
    m_buffer.ReleaseBefore(m_scanner.Text().data());
  }

private:
  ParseSink& m_sink;
  const Scanner& m_scanner;
  ScriptFileBuffer& m_buffer;
};

}  // namespace

int ReadAndParseSource(const char* fileName, ParseContext& context, ParseSink* sink) {
  CurrentGuard guard(context);
  if (!fileName) fileName = "";
  context.fileNameText = fileName;
  context.fileName = context.fileNameText.c_str();

  const char* base = nullptr;
  const std::string found = FindSource(fileName, &base);
  if (!found.empty()) {
    context.fileNameText = Kiv::SpelledOnDisk(PathUnder(base, found), fileName);
    context.fileName = context.fileNameText.c_str();
  }

  ScriptFileBuffer buffer;
  buffer.Reset();
  // An enciphered file that does not decode is as unreadable as a missing one,
  // and says so rather than failing without a reason.
  if (found.empty() || !buffer.Load(base, found.c_str()) || !buffer.Decode()) {
    ReportUnreadable(context.log, context.fileName, found, base);
    ++context.errorCount;
    return 1;
  }

  const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data);
  if (buffer.length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    if (context.log) context.log->Addf("'%s' appears to be UTF-8 encoded, please resave as ANSI.", fileName);
    ++context.errorCount;
    buffer.Clear();
    return 1;
  }

  context.sourceCrc = ScriptSourceChecksum(buffer);
  const std::string lowerName(Utils::FileNamePart(fileName));
  context.fileNameCrc = Crc32LowerString(lowerName.c_str());

  CompileLog* const log = context.log;
  const std::size_t mark = log ? log->Count() : 0;
  std::vector<std::string> reasons;  // the scanner's reports, with a sink
  int parseResult;
  int scannerErrors;
  {
    Scanner scanner(buffer.data ? buffer.data : "", buffer.length);
    ScannerReports reports{&context, sink ? &reasons : nullptr};
    scanner.SetErrorSink(&ScannerError, &reports);
    SetCurrentScanner(&scanner);
    std::optional<ReleasingSink> releasing;
    if (sink) releasing.emplace(*sink, scanner, buffer);
    parseResult = Parse(scanner, context, sink ? &*releasing : nullptr);
    scannerErrors = scanner.ErrorCount();
  }
  // A file cut short while it was parsed was not read whole: as unreadable
  // as a missing one, whatever its parse said.
  if (buffer.Shrank()) {
    if (log) {
      log->Truncate(mark);
      ReportUnreadable(log, context.fileName, found, base);
    }
    context.errorCount = 1;
    context.sourceCrc = 0;
    context.fileNameCrc = 0;
    buffer.Clear();
    return 1;
  }
  // An over-long token fails the file even when the parser got past it.
  const bool failed = parseResult != 0 || scannerErrors > 0;
  if (failed) {
    if (sink && log) {
      // A parse error is the last message of a failed parse.
      if (parseResult != 0 && log->Count() > mark) reasons.emplace_back(log->At(log->Count() - 1));
      log->Truncate(mark);
      for (const std::string& reason : reasons) log->Add(reason.c_str());
    }
    if (sink) context.errorCount = scannerErrors + parseResult;
    if (context.errorCount == 0) context.errorCount = 1;
    context.sourceCrc = 0;
    context.fileNameCrc = 0;
  }
  buffer.Clear();
  return failed ? 1 : 0;
}

}  // namespace GSCompiler
