#include "cli/Folders.h"

#include "kiv/File.h"

namespace Cli {

const char* const kUserDataFolders[] = {"local", "original", "backups", "editing",
                                        "cache", "trash",    "settings"};
const size_t kUserDataFolderCount = sizeof kUserDataFolders / sizeof kUserDataFolders[0];

namespace {

bool HoldsSchema(const std::string& folder) {
  return Kiv::File::IsDirectory(Kiv::File::Path(folder).Join("OBLData").Str());
}

// The folder above path ("/" for "/a"); path itself when it has none.
std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::string ProgramPath(const char* argv0) {
  std::string self = Kiv::RunningProgramPath();
  if (!self.empty()) return self;
  return Kiv::AbsolutePath(argv0 ? argv0 : "");
}

std::string FindInstallationRoot(const std::string& programPath, const char* rootVariable) {
  if (rootVariable && *rootVariable) return Kiv::AbsolutePath(rootVariable);
  if (programPath.empty()) return {};
  std::string folder = Parent(Kiv::AbsolutePath(programPath));
  while (!folder.empty()) {
    if (HoldsSchema(folder)) return folder;
    // The installation the build makes beside its programs, with the class
    // libraries under "scripts"; then the sample one it is made from.
    const std::string built = Kiv::File::Path(folder).Join("install").Str();
    if (HoldsSchema(built)) return built;
    const std::string samples = Kiv::File::Path(folder).Join("samples/install").Str();
    if (HoldsSchema(samples)) return samples;
    const std::string parent = Parent(folder);
    if (parent == folder) break;
    folder = parent;
  }
  return {};
}

std::string FindUserDataFolder(const std::string& installationRoot, const char* userDataVariable) {
  if (userDataVariable && *userDataVariable) return Kiv::AbsolutePath(userDataVariable);
  if (installationRoot.empty()) return {};
  const std::string inside = Kiv::File::Path(installationRoot).Join("userdata").Str();
  if (Kiv::File::IsDirectory(inside)) return inside;
  const std::string parent = Parent(installationRoot);
  if (parent != installationRoot) {
    const std::string beside = Kiv::AbsolutePath(Kiv::File::Path(parent).Join("userdata").Str());
    if (Kiv::File::IsDirectory(beside)) return beside;
  }
  return inside;
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
