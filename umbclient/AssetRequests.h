// Typed requests to the open database (OpenDatabase.h), one function per request number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "umbclient/AssetDatabase.h"

// ---- typed requests ----
SoupRef UMBGetAssetConfig(const KUID& kuid);  // 20; null soup on failure
[[nodiscard]] bool GetAssetInfo(const KUID& kuid, UMBAssetInfo& info, int32_t mask);  // 21
UMBAssetInfo GetAssetInfo(const KUID& kuid, int32_t mask);                            // 21
std::string UMBGetAssetFolder(const KUID& kuid);                                      // 23
KUID UMBResolveKUID(const KUID& kuid);                                                // 26
KUID UMBGetUpdatedKUID(const KUID& kuid);                                             // 27
std::string UMBGetAssetDescription(const KUID& kuid);                                 // 28
uint32_t UMBAcquireAssetHandle(const KUID& kuid);                                     // 30; 0 = none
std::string UMBGetHandleFolder(uint32_t handle);                                      // 32
[[nodiscard]] bool UMBReleaseAssetHandle(uint32_t handle);                            // 31
std::vector<KUID> UMBGetAssetDependencies(const KUID& kuid);                          // 42
[[nodiscard]] bool UMBSetAssetFavorite(const KUID& kuid, bool favorite);              // post 50
[[nodiscard]] bool UMBQueryTextureOption();                                           // 181
std::string UMBGetOnlineAccount();                                                    // 240: the profile name
[[nodiscard]] bool UMBOnlineLoginFailed();                                            // post 241
std::string UMBGetOnlineSessionKey();                                                 // 242

// The asset's name (mask 1); empty when unknown.
std::string GetAssetName(const KUID& kuid);
// The built-in flag (mask 8); false when unknown.
[[nodiscard]] bool IsAssetBuiltIn(const KUID& kuid);
// The locally-modified flag (mask 8); true when unknown.
[[nodiscard]] bool IsAssetLocallyModified(const KUID& kuid);
// From the asset's config: the script path ("script", else "scriptlibrary"; "gs" added when
// it has no extension) and the class ("class", else "scriptclass", else "classlibrary"). False when the config
// cannot be had.
[[nodiscard]] bool GetAssetScriptInfo(const KUID& kuid, std::string& scriptPath, std::string& className);
// The same, read from a config already loaded. False for a null config.
[[nodiscard]] bool GetScriptInfoFromConfig(const SoupRef& config, std::string& scriptPath,
                                           std::string& className);
