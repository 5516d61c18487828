#pragma once
// The messages of one compile run.

#include <cstdarg>
#include <cstddef>

#include "gamescript/runtime/Memory.h"
#include "gamescript/runtime/Queue.h"

namespace GSCompiler {

// The messages of one compile run, in arrival order. Texts are copied into the
// log's own memory; the whole log is freed with it.
class CompileLog {
public:
  CompileLog() = default;
  CompileLog(const CompileLog&) = delete;
  CompileLog& operator=(const CompileLog&) = delete;

  void Add(const char* text);
  // Adds a formatted text; outside text only ever fills the arguments.
  void Addf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  std::size_t Count() const { return m_queue.Count(); }
  // Drops every message from the `count`-th on.
  void Truncate(std::size_t count);
  const char* At(std::size_t i) const { return m_queue.At(i); }

private:
  Utils::FrameMemory m_memory;
  Utils::Queue<const char*> m_queue;
};

}  // namespace GSCompiler
