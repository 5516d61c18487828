#pragma once
// The compiler's message function: counts errors and warnings in the parse
// context and adds "file(line) : message" lines to its compile log.

namespace GSCompiler {

class ParseContext;

// Formats the message (cut to 255 characters), counts an error and/or a
// warning in `context`, and, when the context has a compile log, adds
// "<file name>(<line>) : <message>" with the context's file name.
void ReportError(ParseContext& context, bool isError, bool isWarning, int line, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// As ReportError with an explicit file name (a null name prints as empty).
void ReportErrorInFile(ParseContext& context, const char* fileName, bool isError, bool isWarning, int line,
                       const char* format, ...) __attribute__((format(printf, 6, 7)));

// Adds the formatted text alone to the context's compile log (nothing counted).
void ReportPlain(ParseContext& context, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace GSCompiler
