#pragma once
// A temporary folder tree for one test, removed at the end.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

// Copies the shipped schema, strings and tables of samples/install into
// `root`, over anything there, so a test's installation judges as the real one.
inline void CopySampleInstallation(const std::string& root) {
  const std::filesystem::path install = std::filesystem::path(ROVANA_SOURCE_DIR) / "samples/install";
  for (const char* part : {"OBLData", "strings", "tables"})
    std::filesystem::copy(
        install / part, root + "/" + part,
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
}
