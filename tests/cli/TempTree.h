#pragma once
// A temporary folder tree for one test, removed at the end.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TempTree {
public:
  TempTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rovana-cli-XXXXXX").string();
    if (mkdtemp(pattern.data())) m_root = pattern;
  }
  ~TempTree() {
    std::error_code ec;
    if (!m_root.empty()) std::filesystem::remove_all(m_root, ec);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& Root() const { return m_root; }
  std::string Path(const std::string& relative) const { return m_root + "/" + relative; }
  std::string MakeDir(const std::string& relative) const {
    std::filesystem::create_directories(Path(relative));
    return Path(relative);
  }
  std::string Write(const std::string& relative, const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(Path(relative)).parent_path());
    std::ofstream(Path(relative), std::ios::binary) << text;
    return Path(relative);
  }

private:
  std::string m_root;
};

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
