#include "kiv/Log.h"

#include <cstdarg>

#include "kiv/Clock.h"
#include "kiv/String.h"

namespace Kiv {

Log::~Log() { CloseFile(); }

Log& Log::Instance() {
  // Never destroyed: static destructors may still log.
  static Log* log = new Log;
  return *log;
}

void Log::WriteFileLineLocked(std::string_view line) {
  LocalTime t = Clock::Now();
  std::fprintf(m_file, "%04d-%02d-%02d %02d:%02d:%02d ", t.year, t.month, t.day, t.hour, t.minute, t.second);
  std::fwrite(line.data(), 1, line.size(), m_file);
  std::fputc('\n', m_file);
  std::fflush(m_file);
}

void Log::FlushSuppressedLocked() {
  if (m_file && m_suppressed > 0) {
    char text[64];
    std::snprintf(text, sizeof text, "[%d lines suppressed]", m_suppressed);
    WriteFileLineLocked(text);
  }
  m_suppressed = 0;
}

void Log::Write(LogLevel level, std::string_view line) {
  std::vector<Listener> listeners;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (level < m_minLevel) return;
    if (m_console && m_consoleStream) {
      std::fwrite(line.data(), 1, line.size(), m_consoleStream);
      std::fputc('\n', m_consoleStream);
      std::fflush(m_consoleStream);
    }
    if (m_file) {
      if (m_haveLast && line == m_lastLine) {
        ++m_suppressed;
      } else {
        FlushSuppressedLocked();
        WriteFileLineLocked(line);
        m_lastLine.assign(line);
        m_haveLast = true;
      }
    }
    for (auto& l : m_listeners) listeners.push_back(l.second);
  }
  // Listeners run outside the lock so they may log themselves.
  for (auto& l : listeners) l(level, line);
}

void Log::Printf(LogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = FormatV(format, args);
  va_end(args);
  Write(level, line);
}

void Log::SetConsole(bool enabled, std::FILE* stream) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_console = enabled;
  m_consoleStream = stream;
}

bool Log::OpenFile(const std::string& path, bool append) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::FILE* f = std::fopen(path.c_str(), append ? "a" : "w");
  if (!f) return false;
  if (m_file) {
    FlushSuppressedLocked();
    std::fclose(m_file);
  }
  m_file = f;
  m_haveLast = false;
  m_suppressed = 0;
  return true;
}

void Log::CloseFile() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_file) return;
  FlushSuppressedLocked();
  std::fclose(m_file);
  m_file = nullptr;
  m_haveLast = false;
}

void Log::SetMinLevel(LogLevel level) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_minLevel = level;
}

int Log::AddListener(Listener listener) {
  std::lock_guard<std::mutex> guard(m_lock);
  int id = m_nextListenerId++;
  m_listeners.emplace_back(id, std::move(listener));
  return id;
}

void Log::RemoveListener(int id) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (auto it = m_listeners.begin(); it != m_listeners.end(); ++it)
    if (it->first == id) {
      m_listeners.erase(it);
      return;
    }
}

void Log::Flush() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!m_file) return;
  // A later line equal to the last one still folds into the same count,
  // so only the file buffer is pushed here.
  std::fflush(m_file);
}

}  // namespace Kiv
