#pragma once
// A temporary folder tree for one test, removed at the end.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kiv/TempFolder.h"

using TempTree = Kiv::TempFolder;

// Output captured in memory through a FILE*.
class CapturedOutput {
public:
  CapturedOutput() { m_file = open_memstream(&m_buffer, &m_size); }
  ~CapturedOutput() {
    if (m_file) std::fclose(m_file);
    std::free(m_buffer);
  }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  std::FILE* File() const { return m_file; }
  std::string Text() {
    std::fflush(m_file);
    return std::string(m_buffer ? m_buffer : "", m_size);
  }

private:
  std::FILE* m_file = nullptr;
  char* m_buffer = nullptr;
  size_t m_size = 0;
};
