// Each body below is the seam of one step whose subsystem is not in this
// program yet. The comment above each says what the body does today and what
// replaces it.
#include "cli/Subsystems.h"

#include <vector>

#include "foundation/FileUtil.h"
#include "foundation/ResultsLog.h"
#include "kiv/File.h"
#include "mesh/TextureConvert.h"

namespace Cli {

// Today: the schema folder must exist; nothing is created. Later:
// OBLLib::ErrorHandler::Create(), then OBLLib::DataManager::Create(folder),
// returning false (after destroying the error handler) when either fails.
bool StartConfigSchema(const std::string& oblDataFolder) {
  return Kiv::File::IsDirectory(oblDataFolder);
}

// Today: there is no schema manager and no render context to hand over.
// Later: DataManager::Instance()->SetUpScene(render context), then
// DataManager::RegisterRovanaBumpVertexType().
void SetUpConfigSchemaScene() {}

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

// Today: nothing was created by StartConfigSchema. Later:
// DataManager::ReleaseSharedResources(), DataManager::Destroy(),
// ErrorHandler::Destroy(), each only for what exists.
void StopConfigSchema() {}

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
