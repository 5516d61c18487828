#include "foundation/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kiv/Log.h"
#include "kiv/String.h"

void LogLine(const char* format, ...) {
  if (!format) return;
  va_list args;
  va_start(args, format);
  std::string line = Kiv::FormatV(format, args);
  va_end(args);
  Kiv::Log::Instance().Write(Kiv::LogLevel::Warning, line);
}

void ReportFatalError(const char* format, ...) {
  std::string message;
  if (format) {
    va_list args;
    va_start(args, format);
    message = Kiv::FormatV(format, args);
    va_end(args);
  }
  Kiv::Log::Instance().Write(Kiv::LogLevel::Error, message);
  Kiv::Log::Instance().Flush();
  std::fprintf(stderr, "Error: %s\n", message.c_str());
  std::fflush(nullptr);
  // _Exit: other threads may still run, so static destructors must not.
  std::_Exit(1);
}
