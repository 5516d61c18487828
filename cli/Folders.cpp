#include "cli/Folders.h"

#include <filesystem>
#include <system_error>

#include "kiv/File.h"

namespace fs = std::filesystem;

namespace Cli {

const char* const kUserDataFolders[] = {"local", "original", "backups", "editing", "cache", "trash", "settings"};
const size_t kUserDataFolderCount = sizeof kUserDataFolders / sizeof kUserDataFolders[0];

namespace {

std::string Absolute(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) return path;
  return p.lexically_normal().string();
}

// Without a trailing separator, so joins and messages read cleanly.
std::string Trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool HoldsSchema(const fs::path& folder) {
  return Kiv::File::IsDirectory((folder / "OBLData").string());
}

}  // namespace

std::string ProgramPath(const char* argv0) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && !self.empty()) return self.string();
  return Absolute(argv0 ? argv0 : "");
}

std::string FindInstallationRoot(const std::string& programPath, const char* rootVariable) {
  if (rootVariable && *rootVariable) return Trimmed(Absolute(rootVariable));
  if (programPath.empty()) return {};
  fs::path folder = fs::path(Absolute(programPath)).parent_path();
  while (!folder.empty()) {
    if (HoldsSchema(folder)) return Trimmed(folder.string());
    fs::path samples = folder / "samples" / "install";
    if (HoldsSchema(samples)) return Trimmed(samples.string());
    fs::path parent = folder.parent_path();
    if (parent == folder) break;
    folder = parent;
  }
  return {};
}

std::string FindUserDataFolder(const std::string& installationRoot, const char* userDataVariable) {
  if (userDataVariable && *userDataVariable) return Trimmed(Absolute(userDataVariable));
  if (installationRoot.empty()) return {};
  fs::path root(installationRoot);
  fs::path inside = root / "userdata";
  if (Kiv::File::IsDirectory(inside.string())) return inside.string();
  fs::path beside = root.parent_path() / "userdata";
  if (root.has_parent_path() && Kiv::File::IsDirectory(beside.string())) return beside.lexically_normal().string();
  return inside.string();
}

bool LayOutUserData(const std::string& userData, std::string& error) {
  if (userData.empty()) {
    error = "No user-data folder.";
    return false;
  }
  if (!Kiv::File::CreateDirectories(userData)) {
    error = "Unable to create the user-data folder '" + userData + "'.";
    return false;
  }
  for (size_t i = 0; i < kUserDataFolderCount; ++i) {
    std::string folder = userData + "/" + kUserDataFolders[i];
    if (!Kiv::File::CreateDirectories(folder)) {
      error = "Unable to create the folder '" + folder + "'.";
      return false;
    }
  }
  return true;
}

}  // namespace Cli
