// A temporary folder tree for umbclient tests, removed when the test ends.
#pragma once

#include <cstdlib>
#include <map>
#include <string>

#include "foundation/Soup.h"
#include "kiv/File.h"

class TempTree {
public:
  TempTree() {
    char pattern[] = "/tmp/umbclient-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    m_root = made ? made : "";
  }
  ~TempTree() {
    if (!m_root.empty()) Kiv::File::Prune(m_root);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& Root() const { return m_root; }
  std::string Path(const std::string& relative) const { return m_root + "/" + relative; }

  void WriteFile(const std::string& relative, const std::string& bytes) const {
    std::string path = Path(relative);
    Kiv::File::Path folder(path);
    folder.RemoveFileName();
    Kiv::File::CreateDirectories(folder.Str());
    Kiv::File::ReplaceFileAtomic(path, bytes);
  }
  void WriteSoup(const std::string& relative, const SoupRef& soup) const {
    std::string text;
    WriteSoupText(soup, text);
    WriteFile(relative, text);
  }

  // Every file below the root with its bytes: a failing step must leave this unchanged.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> out;
    Walk(m_root, out);
    return out;
  }

private:
  static void Walk(const std::string& folder, std::map<std::string, std::string>& out) {
    Kiv::File::Find find(folder + "/*");
    while (find.Next()) {
      std::string path = folder + "/" + find.Name();
      if (find.IsDirectory()) {
        Walk(path, out);
      } else {
        std::string bytes;
        Kiv::File::ReadWholeFile(path, bytes);
        out[path] = bytes;
      }
    }
  }

  std::string m_root;
};
