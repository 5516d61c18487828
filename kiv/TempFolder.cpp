#include "kiv/TempFolder.h"

#include <cstdlib>

#include "kiv/File.h"

namespace Kiv {

TempFolder::TempFolder(std::string_view prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = base && *base ? base : "/tmp";
  pattern += '/';
  pattern += prefix;
  pattern += "-XXXXXX";
  if (::mkdtemp(pattern.data())) m_root = pattern;
}

TempFolder::~TempFolder() {
  if (!m_root.empty()) File::Prune(m_root);
}

std::string TempFolder::Path(std::string_view relative) const {
  std::string path = m_root;
  path += '/';
  path += relative;
  return path;
}

std::string TempFolder::MakeDir(std::string_view relative) const {
  std::string path = Path(relative);
  File::CreateDirectories(path);
  return path;
}

std::string TempFolder::Write(std::string_view relative, std::string_view bytes) const {
  std::string path = Path(relative);
  File::Path folder(path);
  folder.RemoveFileName();
  File::CreateDirectories(folder.Str());
  File file;  // no sync: scratch files need not survive a crash
  if (file.Open(path, File::Mode::Write)) file.Write(bytes.data(), bytes.size());
  return path;
}

}  // namespace Kiv
