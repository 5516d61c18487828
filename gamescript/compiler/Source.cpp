#include "gamescript/compiler/Source.h"

#include <string>

#include "foundation/Crc32.h"
#include "foundation/FileUtil.h"
#include "foundation/ScriptFileBuffer.h"
#include "gamescript/compiler/Driver.h"
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

void ScannerError(void* user, int line, const char* message) {
  ReportError(*static_cast<ParseContext*>(user), true, false, line, "%s", message);
}

// Makes the context and scanner current for the parse and clears them on every
// way out.
struct CurrentGuard {
  explicit CurrentGuard(ParseContext& context) { SetCurrentParseContext(&context); }
  ~CurrentGuard() {
    SetCurrentScanner(nullptr);
    SetCurrentParseContext(nullptr);
  }
};

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

int ReadAndParseSource(const char* fileName, ParseContext& context) {
  CurrentGuard guard(context);
  if (!fileName) fileName = "";
  context.fileName = context.stringPool.StrDup(fileName);

  const char* base = nullptr;
  const std::string found = FindSource(fileName, &base);

  ScriptFileBuffer buffer;
  buffer.Reset();
  // An enciphered file that does not decode is as unreadable as a missing one,
  // and says so rather than failing without a reason.
  if (found.empty() || !buffer.Load(base, found.c_str()) || !buffer.Decode()) {
    if (context.log) context.log->Addf("Could not read file %s : %s.", base ? base : "(null)", fileName);
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

  int parseResult;
  int scannerErrors;
  {
    Scanner scanner(buffer.data ? buffer.data : "", buffer.length);
    scanner.SetErrorSink(&ScannerError, &context);
    SetCurrentScanner(&scanner);
    parseResult = Parse(scanner, context);
    scannerErrors = scanner.ErrorCount();
    SetCurrentScanner(nullptr);
  }
  // An over-long token fails the file even when the parser got past it.
  const bool failed = parseResult != 0 || scannerErrors > 0;
  if (failed) {
    if (context.errorCount == 0) context.errorCount = 1;
  } else {
    context.sourceCrc = ScriptSourceChecksum(buffer);
    const std::string lowerName(Utils::FileNamePart(fileName));
    context.fileNameCrc = Crc32LowerString(lowerName.c_str());
  }
  buffer.Clear();
  return failed ? 1 : 0;
}

}  // namespace GSCompiler
