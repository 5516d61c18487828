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
#include "config/MeshProbe.h"
#include "config/ScriptCache.h"
#include "foundation/FileUtil.h"
#include "foundation/ResultsLog.h"
#include "kiv/File.h"
#include "umbclient/FolderAssetDatabase.h"
#include "umbclient/OpenDatabase.h"
#include "graphics/material/AlphaBlendCacheUnsorted.h"
#include "graphics/material/RovanaAlphaBlendCache.h"
#include "graphics/material/RovanaMaterialPlugins.h"
#include "graphics/mesh/MeshData.h"
#include "graphics/texture/TextureConvert.h"
#include "kiv/render/Plugin.h"
#include "online/OnlineNatives.h"
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
  InstallOnlineNatives();
  SetScriptNativesRegistrar(&RegisterScriptNatives);
  return true;
}

// The first use of the schema manager reads "personalDetails.txt". The tool
// has no view, so the scene is a root without a light.
void SetUpConfigSchemaScene(Kiv::RenderKernel* kernel) {
  OBLLib::DataManager* dm = OBLLib::DataManager::Instance();
  Kiv::RenderContext context;
  context.kernel = kernel;
  // Always true: the scene is laid out.
  (void)dm->SetUpScene(context);
  OBLLib::DataManager::SetSharedCacheFactory([] {
    return std::vector<std::shared_ptr<Kiv::RenderingCache>>{
        std::make_shared<Kiv::RovanaAlphaBlendCache>(), std::make_shared<Kiv::AlphaBlendCacheUnsorted>()};
  });
  OBLLib::DataManager::RegisterRovanaBumpVertexType();
  // Meshes of the asset under check load for real, for the mesh checks and
  // the legacy mesh tables alike.
  auto loader = std::make_shared<MeshDataLoader>();
  OBLLib::SetMeshLoader(loader);
  OBLLib::SetMeshProbe(loader);
}

void RegisterEnginePlugins() { KivGetPlugins(); }

void ReleaseEnginePlugins() { Kiv::PluginSystem::Instance().Clear(); }

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

// Releases the shared material resources, writes "personalDetails.txt" back
// and destroys the schema manager and the error handler, each only when it
// exists.
void StopConfigSchema() {
  // The loader's meshes hold materials of the render kernel's manager.
  OBLLib::SetMeshLoader(nullptr);
  OBLLib::SetMeshProbe(nullptr);
  OBLLib::DataManager::ReleaseSharedResources();
  if (OBLLib::DataManager::Existing()) OBLLib::DataManager::Destroy();
  OBLLib::ErrorHandler::Destroy();
}

namespace {

// The database answers for one folder of a KUID and the others go unseen: the
// check names them, whichever of the copies it is given.
void ReportSharedKUID(ResultsLog& log, const std::string& assetFolder) {
  AssetIndex::SharedKUID shared;
  bool found = false;
  // Without a database nothing is shared and nothing is warned of.
  (void)UMBWithDatabase([&](AssetDatabase& db) {
    if (auto* folders = dynamic_cast<FolderAssetDatabase*>(&db))
      found = folders->FindSharedKUID(Kiv::AbsolutePath(assetFolder), shared);
  });
  if (!found) return;
  for (const std::string& other : shared.others)
    log.AddResult(ResultsLog::kWarning, nullptr,
                  "The folders '" + shared.folder + "' and '" + other + "' have the same KUID " +
                      FormatKUIDTag(shared.kuid) + "; the asset database uses '" + shared.winner + "'.");
}

}  // namespace

// The asset check of the config code, then the other folders of the asset's KUID.
bool CheckAssetFolder(ResultsLog& log, const std::string& assetFolder) {
  const bool valid = OBLLib::CheckAssetFolder(log, assetFolder);
  ReportSharedKUID(log, assetFolder);
  return valid;
}

// ConvertTexturesInFolder of the texture code.
int ConvertTexturesInFolder(const std::string& setName, const std::string& folder, ResultsLog& log) {
  return static_cast<int>(::ConvertTexturesInFolder(setName, folder, log));
}

}  // namespace Cli
