// Each body below is the seam of one step whose subsystem is not in this
// program yet. The comment above each says what the body does today and what
// replaces it.
#include "cli/Subsystems.h"

#include <vector>

#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "foundation/FileUtil.h"
#include "foundation/ResultsLog.h"
#include "kiv/File.h"
#include "graphics/texture/TextureConvert.h"

namespace Cli {

// The schema folder must exist; then the error handler and the schema
// manager are made (the schema files themselves are read on first use).
bool StartConfigSchema(const std::string& oblDataFolder) {
  if (!Kiv::File::IsDirectory(oblDataFolder)) return false;
  if (!OBLLib::ErrorHandler::Create()) return false;
  if (!OBLLib::DataManager::Create(oblDataFolder.c_str())) {
    OBLLib::ErrorHandler::Destroy();
    return false;
  }
  return true;
}

// The first use of the schema manager reads "personalDetails.txt". There is
// no render context to hand over yet: the engine stand-in draws nothing and
// the shared material resources come with the material code.
void SetUpConfigSchemaScene() { OBLLib::DataManager::Instance(); }

// Today: the engine stand-in asks for no plug-ins. Later: registers the
// material plug-ins and mesh resource types of the mesh code.
void RegisterEnginePlugins() {}

// Later: releases the plug-in object registered above.
void ReleaseEnginePlugins() {}

// Today: there are no asset specs. Later: SpecRegistry::SpecRegistry() and
// the registry's destruction (which reports "Leaked specs:").
void CreateSpecRegistry() {}
void DestroySpecRegistry() {}

// Later: SpecRegistry::Shutdown().
void ShutdownSpecRegistry() {}

// Writes "personalDetails.txt" back and destroys the schema manager and the
// error handler, each only when it exists. (The shared material resources,
// released first, come with the material code.)
void StopConfigSchema() {
  if (OBLLib::DataManager::Existing()) OBLLib::DataManager::Destroy();
  OBLLib::ErrorHandler::Destroy();
}

namespace {

bool HasConfig(const std::string& folder) {
  return Kiv::FileExists(folder + "/config.txt") == 0 || Kiv::FileExists(folder + "/config.chump") == 0;
}

}  // namespace

// Today: the asset's folder and config are looked for, and then the check is
// refused, because config validation is not in this program: the request
// fails with an error result instead of passing unchecked assets. Later:
// CheckAssetFolder(log, folder) of the asset-check code.
bool CheckAssetFolder(ResultsLog& log, const std::string& assetFolder) {
  if (!Kiv::File::IsDirectory(assetFolder)) {
    log.AddResult(ResultsLog::kError, nullptr, "Asset folder '" + assetFolder + "' not found.");
    return false;
  }
  if (!HasConfig(assetFolder)) {
    log.AddResult(ResultsLog::kError, nullptr, "No config.txt or config.chump in '" + assetFolder + "'.");
    return false;
  }
  log.AddResult(ResultsLog::kError, nullptr,
                "Asset validation is not available in this build; '" + assetFolder + "' was not checked.");
  return false;
}

// ConvertTexturesInFolder of the texture code.
int ConvertTexturesInFolder(const std::string& setName, const std::string& folder, ResultsLog& log) {
  return static_cast<int>(::ConvertTexturesInFolder(setName, folder, log));
}

}  // namespace Cli
