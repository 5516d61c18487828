// Each body below is the seam of one step whose subsystem is not in this
// program yet. The comment above each says what the body does today and what
// replaces it.
#include "cli/Subsystems.h"

#include <memory>
#include <vector>

#include "config/AssetSpec.h"
#include "config/AssetValidation.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/ScriptCache.h"
#include "foundation/FileUtil.h"
#include "foundation/ResultsLog.h"
#include "kiv/File.h"
#include "graphics/texture/TextureConvert.h"
#include "scriptlib/ScriptNatives.h"

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
  // The asset check's compile step registers the native script classes
  // before its first compile.
  SetScriptNativesRegistrar(&RegisterScriptNatives);
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

// The asset-spec registry lives while the database is open; its
// destruction reports the specs still held under "Leaked specs:".
namespace {
std::unique_ptr<SpecRegistry>& Registry() {
  static std::unique_ptr<SpecRegistry> registry;
  return registry;
}
}  // namespace
void CreateSpecRegistry() { Registry() = std::make_unique<SpecRegistry>(); }
void DestroySpecRegistry() { Registry().reset(); }

void ShutdownSpecRegistry() {
  if (SpecRegistry* registry = SpecRegistry::Instance()) registry->Shutdown();
}

// Writes "personalDetails.txt" back and destroys the schema manager and the
// error handler, each only when it exists. (The shared material resources,
// released first, come with the material code.)
void StopConfigSchema() {
  if (OBLLib::DataManager::Existing()) OBLLib::DataManager::Destroy();
  OBLLib::ErrorHandler::Destroy();
}

// The asset check of the config code. It stops after the config validation
// until the asset file checks and the script compile join it there.
bool CheckAssetFolder(ResultsLog& log, const std::string& assetFolder) {
  return OBLLib::CheckAssetFolder(log, assetFolder);
}

// ConvertTexturesInFolder of the texture code.
int ConvertTexturesInFolder(const std::string& setName, const std::string& folder, ResultsLog& log) {
  return static_cast<int>(::ConvertTexturesInFolder(setName, folder, log));
}

}  // namespace Cli
