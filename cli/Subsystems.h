#pragma once
// The start-up, shut-down and command-host steps that belong to subsystems
// this program does not contain yet (the config schema library, asset specs,
// mesh and material resources, texture conversion). The front end calls each
// step only through this file, in its fixed place of the order; when a
// subsystem arrives its calls go into the body here and nothing else in the
// front end changes. Until then every body does what can honestly be done
// without it and reports what it cannot do: none pretends to have succeeded.
#include <string>

class ResultsLog;
namespace Kiv {
class RenderKernel;
}

namespace Cli {

// Start-up, right after the folders change: creates the config error handler
// (OBLLib::ErrorHandler::Create) and the schema manager over the schema folder
// (OBLLib::DataManager::Create with "OBLData/"). False when the schema library
// cannot start; the caller prints "- OBLLib initialisation failed.".
[[nodiscard]] bool StartConfigSchema(const std::string& oblDataFolder);

// Start-up, once the engine stands: hands the schema manager the engine's
// render context (DataManager::Instance, SetUpScene) and registers the shared
// material resources (DataManager::RegisterRovanaBumpVertexType) with the
// program's alpha-blend caches.
void SetUpConfigSchemaScene(Kiv::RenderKernel* kernel);

// Start-up, when the render kernel stands: the engine takes the program's
// plug-ins (KivGetPlugins: material plug-ins and resource types).
void RegisterEnginePlugins();

// Shut-down: the engine drops every plug-in.
void ReleaseEnginePlugins();

// Called when the asset database opens and before it closes: the asset spec
// registry lives in between (SpecRegistry::SpecRegistry / its destruction).
void CreateSpecRegistry();
void DestroySpecRegistry();

// The command host calls this before it answers any request: drops every
// spec so the next request sees the assets as they are now
// (SpecRegistry::Shutdown).
void ShutdownSpecRegistry();

// Shut-down: releases the shared material resources, then destroys the schema
// manager and the error handler (DataManager::ReleaseSharedResources,
// DataManager::Destroy, ErrorHandler::Destroy). Safe when start-up stopped
// before StartConfigSchema or after it failed.
void StopConfigSchema();

// The asset check of the command host's validate request (CheckAssetFolder):
// checks the asset in `assetFolder`, adding its findings to `log`, and warns
// of every other indexed folder with the asset's KUID, naming both. True when
// the asset is valid (the warning does not change it).
[[nodiscard]] bool CheckAssetFolder(ResultsLog& log, const std::string& assetFolder);

// Texture conversion of every texture description below `folder`
// (ConvertTexturesInFolder). `setName` may be empty. Result: 2 every file
// converted (or none found), 0 a file failed or the folder cannot be searched,
// 1 a conversion reported an error.
int ConvertTexturesInFolder(const std::string& setName, const std::string& folder, ResultsLog& log);

}  // namespace Cli
