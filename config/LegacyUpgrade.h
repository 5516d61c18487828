#pragma once
// The in-memory upgrade of asset configs written for builds before 2.9: old
// tag names, value forms and layouts are rewritten into the current form
// before the root set-up imports the config. Nothing is reported and nothing
// is written to disk.
#include <string_view>

#include "foundation/Soup.h"
#include "kiv/PString.h"

namespace OBLLib {

// The build hook of the root set-up: below build 2.9 (the schema manager's
// build of the asset under check, times 100, truncated) the config is
// upgraded and its "rovana-build" set to 2.9.
void UpgradeContainerBuild(SoupRef& config);
// True when UpgradeContainerBuild rewrites a config of this build (the schema
// manager's build).
[[nodiscard]] bool BuildIsUpgradedInMemory(float build);
// Every upgrade step in order, whatever the build.
void UpgradeLegacyAsset(SoupRef& config);

// True when the schema allows the name at the top level of a config: an
// entry of the "subpossibilities" of a top-level definition or of a
// definition it inherits.
[[nodiscard]] bool IsKnownTopLevelTag(const Kiv::PString& name);
// Removes the run of unknown value tags that follows "description" (stray
// words of a description that a text editor split into tags).
void RemoveDescriptionOverflowTags(SoupRef& config);
// Removes "asset" and every unknown tag whose name begins with "asset-".
void RemoveUnknownAssetTags(SoupRef& config);

// ---- mesh tables and bogey lists of old layouts (file base F) ----
void BuildBogeyMeshTable(SoupRef& config, std::string_view F);
void BuildTraincarMeshTable(SoupRef& config, std::string_view F);
void BuildBogeyList(SoupRef& config);
void BuildJunctionMeshTable(SoupRef& config);
void BuildCrossingMeshTable(SoupRef& config);
void BuildTurntableMeshTable(SoupRef& config);
void BuildSceneryMeshTable(SoupRef& config, std::string_view F);
void BuildInteriorMeshTable(SoupRef& config);
// The number of consecutive attachment points "a.name0", "a.name1", ... of
// the mesh at a path inside the asset folder; 0 when it does not load.
int CountNameAttachments(std::string_view meshPath);

}  // namespace OBLLib
