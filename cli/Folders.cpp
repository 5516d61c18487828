#include "cli/Folders.h"

#include <filesystem>
#include <system_error>

#include "kiv/File.h"

namespace fs = std::filesystem;

namespace Cli {

const char* const kUserDataFolders[] = {"local", "original", "backups", "editing",
                                        "cache", "trash",    "settings"};
const size_t kUserDataFolderCount = sizeof kUserDataFolders / sizeof kUserDataFolders[0];

namespace {

bool HoldsSchema(const fs::path& folder) { return Kiv::File::IsDirectory((folder / "OBLData").string()); }

}  // namespace

std::string ProgramPath(const char* argv0) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && !self.empty()) return self.string();
  return Kiv::AbsolutePath(argv0 ? argv0 : "");
}

std::string FindInstallationRoot(const std::string& programPath, const char* rootVariable) {
  if (rootVariable && *rootVariable) return Kiv::AbsolutePath(rootVariable);
  if (programPath.empty()) return {};
  fs::path folder = fs::path(Kiv::AbsolutePath(programPath)).parent_path();
  while (!folder.empty()) {
    if (HoldsSchema(folder)) return folder.string();
    fs::path samples = folder / "samples" / "install";
    if (HoldsSchema(samples)) return samples.string();
    fs::path parent = folder.parent_path();
    if (parent == folder) break;
    folder = parent;
  }
  return {};
}

std::string FindUserDataFolder(const std::string& installationRoot, const char* userDataVariable) {
  if (userDataVariable && *userDataVariable) return Kiv::AbsolutePath(userDataVariable);
  if (installationRoot.empty()) return {};
  fs::path root(installationRoot);
  fs::path inside = root / "userdata";
  if (Kiv::File::IsDirectory(inside.string())) return inside.string();
  fs::path beside = root.parent_path() / "userdata";
  if (root.has_parent_path() && Kiv::File::IsDirectory(beside.string()))
    return beside.lexically_normal().string();
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
