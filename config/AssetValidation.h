#pragma once
// The check of one asset: its config against the schema (this part), then
// its files and scripts (added by the asset-file and script code).
#include <string>

#include "config/Container.h"
#include "kiv/File.h"
#include "kiv/PString.h"

class ResultsLog;

namespace OBLLib {

// The config's "rovana-build" (1.3 when missing or not a finite number).
float ReadConfigBuild(const SoupRef& config);

// Checks an asset's config: loads it (configPath lies in the asset folder,
// relative to the content folder that assetName names, see
// DataManager::SetCurrentAsset), refuses configs of a newer build, warns
// about obsolete kinds and otherwise sets the config up in the container
// (a temporary one when null): legacy upgrade, kind mapping, import and
// container checks. Every error and warning found becomes a result with the
// config's KUID. True when the set-up succeeded (or was skipped). When
// asRead is given it receives the config as it was read, if the set-up left it
// so (a legacy build is rewritten in memory: then it stays null).
[[nodiscard]] bool ValidateAssetConfig(const Kiv::PString& assetName, const Kiv::File::Path& configPath,
                                       ResultsLog& log, Container* container, SoupRef* asRead = nullptr);

// The file half of the check of an asset whose config set up in the
// container: its texture files, then the export of the container (which runs
// every tag's rules once more) and the root's container checks. On failure
// every error and warning found becomes a result with the config's KUID.
// True when the asset passed or its config holds no tags.
[[nodiscard]] bool ValidateAssetFiles(Container& container, ResultsLog& log);

// A UTF-8 interface text in the local code page. A finding may carry NUL
// bytes from a config (a tag name); they are kept, not taken as its end.
std::string InterfaceTextToLocal(std::string_view text);

// Adds a result about an asset: its property names the asset by its KUID.
void AddAssetResult(ResultsLog& log, int severity, const KUID& kuid, std::string_view text,
                    const SoupRef& params = SoupRef());
// The same for a result of several lines (ResultsLog::AddResultLines).
void AddAssetResultLines(ResultsLog& log, int severity, const KUID& kuid,
                         const std::vector<std::string>& lines);

// The asset check of one asset folder, under the asset-check mutex: picks
// "config.chump" or "config.txt" and validates the config. A folder outside
// every content folder is checked as an editable asset, relative to the
// folder that holds it. True when no error was found. The asset's files are
// only read, never changed.
[[nodiscard]] bool CheckAssetFolder(ResultsLog& log, const std::string& assetPath);

}  // namespace OBLLib
