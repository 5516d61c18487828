#pragma once
// Where the installation and the user's data are on this system.
//
// Installation root: the environment variable ROVANA_ROOT when set; else the
// nearest folder, from the program's own folder upwards, that holds
// "OBLData/"; at each level "samples/install/" below it is tried as well, so
// the program runs straight from a build tree of the source checkout.
// User data: the environment variable ROVANA_USERDATA when set; else the
// folder "userdata" inside the installation root, or beside it when only
// that one exists; else "<root>/userdata", which start-up then creates.
#include <string>

namespace Cli {

// Absolute path of the running program ("/proc/self/exe"); `argv0` made
// absolute when that cannot be read.
std::string ProgramPath(const char* argv0);

// The installation root for a program at `programPath`, with the value of
// ROVANA_ROOT (null or empty when unset). Empty when none is found.
std::string FindInstallationRoot(const std::string& programPath, const char* rootVariable);

// The user-data folder for an installation root, with the value of
// ROVANA_USERDATA (null or empty when unset). Empty when the root is empty
// and no variable is set.
std::string FindUserDataFolder(const std::string& installationRoot, const char* userDataVariable);

// The folders below the user data that the asset database and the content
// folders expect.
extern const char* const kUserDataFolders[];
extern const size_t kUserDataFolderCount;

// Creates the user-data folder and each missing folder of kUserDataFolders.
// False, with `error` naming the folder, when one cannot be made.
[[nodiscard]] bool LayOutUserData(const std::string& userData, std::string& error);

}  // namespace Cli
