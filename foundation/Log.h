#pragma once
// The program's log lines and its fatal-error exit.

// Writes one line to the program's log (the engine log sink, level 2). The
// format must be a constant of the program; outside text goes in as a "%s"
// argument.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Logs the message, writes it to standard error (in place of the message box
// titled "Error") and ends the process with exit code 1. Does not return.
[[noreturn]] void ReportFatalError(const char* format, ...) __attribute__((format(printf, 1, 2)));
