#pragma once
// The log sink. One lock guards it; each line goes to standard output (when
// on), to the log file (when open) and to every registered listener. The log
// file stamps each line with the local time and folds a run of one repeated
// line into "[%d lines suppressed]".
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Kiv {

enum class LogLevel { Debug = 0, Info = 1, Warning = 2, Error = 3 };

class Log {
public:
  using Listener = std::function<void(LogLevel level, std::string_view line)>;

  Log() = default;
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // The process-wide sink.
  static Log& Instance();

  // One line (without its line break). Lines below the minimum level are dropped.
  void Write(LogLevel level, std::string_view line);
  void Printf(LogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Standard output on or off; the stream may be swapped (tests capture it).
  void SetConsole(bool enabled, std::FILE* stream = stdout);
  // Opens the log file (appending, or truncating when append is false).
  [[nodiscard]] bool OpenFile(const std::string& path, bool append = true);
  // Writes any pending fold count and closes the file.
  void CloseFile();
  void SetMinLevel(LogLevel level);
  // Returns an id for RemoveListener.
  int AddListener(Listener listener);
  void RemoveListener(int id);
  // Writes any pending fold count to the file and flushes it.
  void Flush();

private:
  void FlushSuppressedLocked();
  void WriteFileLineLocked(std::string_view line);

  std::mutex m_lock;
  bool m_console = true;
  std::FILE* m_consoleStream = stdout;
  std::FILE* m_file = nullptr;
  LogLevel m_minLevel = LogLevel::Debug;
  std::string m_lastLine;
  bool m_haveLast = false;
  int m_suppressed = 0;
  std::vector<std::pair<int, Listener>> m_listeners;
  int m_nextListenerId = 1;
};

}  // namespace Kiv
