#include "kiv/TempFolder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "kiv/File.h"

namespace Kiv {

TempFolder::TempFolder(std::string_view prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string stem = base && *base ? base : "/tmp";
  stem += '/';
  stem += prefix;
  stem += '-';
  // Lower-case names: the script libraries keep the paths of their sources
  // lower-cased, so a test that compares them must not depend on the draw.
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    const std::string path = stem + suffix;
    if (::mkdir(path.c_str(), 0700) == 0) {
      m_root = path;
      return;
    }
    if (errno != EEXIST) return;
  }
}

TempFolder::~TempFolder() {
  // What cannot be removed stays in the system's temporary folder; nothing to tell.
  if (!m_root.empty()) (void)File::Prune(m_root);
}

std::string TempFolder::Path(std::string_view relative) const {
  std::string path = m_root;
  path += '/';
  path += relative;
  return path;
}

std::string TempFolder::MakeDir(std::string_view relative) const {
  std::string path = Path(relative);
  // A folder not made fails the next step, which names it.
  (void)File::CreateDirectories(path);
  return path;
}

std::string TempFolder::Write(std::string_view relative, std::string_view bytes) const {
  std::string path = Path(relative);
  File::Path folder(path);
  folder.RemoveFileName();
  // A folder not made fails the next step, which names it.
  (void)File::CreateDirectories(folder.Str());
  File file;  // no sync: scratch files need not survive a crash
  if (file.Open(path, File::Mode::Write)) file.Write(bytes.data(), bytes.size());
  return path;
}

}  // namespace Kiv
