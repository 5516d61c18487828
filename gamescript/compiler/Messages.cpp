#include "gamescript/compiler/Messages.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "gamescript/compiler/CompileLog.h"
#include "gamescript/compiler/ParseContext.h"

namespace GSCompiler {

namespace {

// Messages are cut to 255 characters; arguments (names from the source) only
// ever fill the fixed formats of the compiler.
constexpr size_t kMessageSize = 256;

void Report(ParseContext& context, const char* fileName, bool isError, bool isWarning, int line,
            const char* format, va_list args) {
  if (isError) ++context.errorCount;
  if (isWarning) ++context.warningCount;
  if (context.log == nullptr) return;
  char message[kMessageSize];
  std::vsnprintf(message, sizeof message, format, args);
  std::string text = fileName ? fileName : "";
  text += '(';
  text += std::to_string(line);
  text += ") : ";
  text += message;
  context.log->Add(text.c_str());
}

}  // namespace

void ReportError(ParseContext& context, bool isError, bool isWarning, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Report(context, context.fileName, isError, isWarning, line, format, args);
  va_end(args);
}

void ReportErrorInFile(ParseContext& context, const char* fileName, bool isError, bool isWarning, int line,
                       const char* format, ...) {
  va_list args;
  va_start(args, format);
  Report(context, fileName, isError, isWarning, line, format, args);
  va_end(args);
}

void ReportPlain(ParseContext& context, const char* format, ...) {
  if (context.log == nullptr) return;
  char message[kMessageSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  context.log->Add(message);
}

}  // namespace GSCompiler
