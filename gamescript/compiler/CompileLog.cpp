#include "gamescript/compiler/CompileLog.h"

#include <cstdio>
#include <string>
#include <vector>

namespace GSCompiler {

void CompileLog::Add(const char* text) {
  if (!text) text = "";
  // A message is lost only when memory is, which the compile then reports.
  if (const char* copy = m_memory.StrDup(text)) (void)m_queue.Push(copy);
}

void CompileLog::Addf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(n > 0 ? std::size_t(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  // A message is lost only when memory is, which the compile then reports.
  if (const char* copy = m_memory.StrDup(text.data(), text.size())) (void)m_queue.Push(copy);
}

void CompileLog::Truncate(std::size_t count) {
  if (count >= m_queue.Count()) return;
  std::vector<const char*> kept;
  const char* text = nullptr;
  while (kept.size() < count && m_queue.Pop(text)) kept.push_back(text);
  while (m_queue.Pop(text)) {}
  // A message is lost only when memory is, which the compile then reports.
  for (const char* k : kept) (void)m_queue.Push(k);
}

}  // namespace GSCompiler
