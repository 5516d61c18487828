// The root of an asset's config tree, set up from its config soup.
#include <algorithm>
#include <cmath>

#include "config/AssetValidation.h"
#include "config/Container.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/LegacyUpgrade.h"
#include "config/Messages.h"
#include "foundation/Text.h"

namespace OBLLib {

namespace {

const Kiv::PString kObsoleteAsset("$obl_obsolete_asset");
const Kiv::PString kNoKindTag("$obl_container_nokindtag");
const Kiv::PString kNoKindSpecification("$obl_container_nokindspecification");
const Kiv::PString kAliasFound("$obl_container_alias");
const Kiv::PString kUnreadableBuild("$obl_container_unreadablebuild");
const Kiv::PString kUnknownKind("$obl_note_unknownkind");
const Kiv::PString kUnknownMappedKind("$obl_note_unknownmappedkind");

const Kiv::PString kRovanaBuild("rovana-build");
const Kiv::PString kKind("kind");
const Kiv::PString kHeight("height");
const Kiv::PString kBridge("bridge");
const Kiv::PString kDoubleTrack("double-track");
const Kiv::PString kTunnel("tunnel");
const Kiv::PString kTrack("track");
const Kiv::PString kChunkyMesh("chunky_mesh");
const Kiv::PString kUnitMesh("unit_mesh");
const Kiv::PString kChunkyTrack("chunky-track");
const Kiv::PString kMeshReducingTrack("mesh-reducing-track");
const Kiv::PString kObsoleteTrack("obsolete-track");
const Kiv::PString kScenery("scenery");
const Kiv::PString kTrackside("trackside");
const Kiv::PString kSceneryTrackside("scenery-trackside");
const Kiv::PString kAlias("alias");
const Kiv::PString kTopLevel("top-level");

// Build times 100 (plus the rounding allowance), truncated, without
// overflow: a huge build stays huge.
int64_t Hundredths(double value, double allowance = 0.0) {
  if (std::isnan(value)) return 0;
  return static_cast<int64_t>(std::clamp(value * 100.0 + allowance, -1e15, 1e15));
}

}  // namespace

float ReadConfigBuild(const SoupRef& config) {
  const float build = config.GetNamedTagAsFloat(kRovanaBuild, 1.3f);
  return std::isfinite(build) ? build : 1.3f;
}

SoupRef Container::FindKindDefinition(const Kiv::PString& kind) const {
  const Kiv::PString name = kind.ToLower();
  DataManager* dm = DataManager::Instance();
  SoupRef def = dm->Schema().GetNamedSoup(name);
  if (def.GetNamedTagAsInt(kTopLevel, 0) == 0) {
    // Checked by the asset check before the config is read; alone, the set-up reports a missing kind.
    (void)dm->LoadSchema();
    def = dm->Schema().GetNamedSoup(name);
    if (def.GetNamedTagAsInt(kTopLevel, 0) == 0) return SoupRef();
  }
  return def;
}

bool Container::SetupRoot(const SoupRef& soup) {
  DataManager* dm = DataManager::Instance();
  ErrorHandler* eh = ErrorHandler::Instance();
  SoupRef config = soup;

  // 1, 2: the build, and a warning for builds no longer supported.
  const float build = ReadConfigBuild(config) + 0.001f;
  dm->build = build;
  // A build given that is no finite number (past the float range, "inf",
  // a word) says nothing about the config: it is not taken for the default.
  if (config.HasNamedTag(kRovanaBuild) && !std::isfinite(config.GetNamedTagAsFloat(kRovanaBuild, NAN))) {
    if (eh) eh->Error(FormatMessage(kUnreadableBuild, {config.GetNamedTagString(kRovanaBuild)}));
    return false;
  }
  if (Hundredths(build, 0.1) < 270 && eh) {
    std::string text = FormatMessage(kObsoleteAsset).Str();
    SubstituteMacro(text, "LOWEST_ROVANABUILD", "2.7");
    eh->Warning(Kiv::PString(text));
  }

  // 3: configs of old builds are rewritten in memory.
  UpgradeContainerBuild(config);

  // 4, 5: the kind, mapped onto the schema's finer kinds.
  Kiv::PString kind = config.GetNamedTag(kKind);
  if (kind.IsEmpty()) {
    if (eh) eh->Error(FormatMessage(kNoKindTag));
    return false;
  }
  if (kind == kBridge) {
    float height = config.GetNamedTagAsFloat(kHeight, 0.0f);
    if (std::isnan(height)) height = 0.0f;
    if (height > 0.001f)
      kind = kTunnel;
    else if (height >= -0.001f)
      kind = kDoubleTrack;
  } else if (kind == kTrack && Hundredths(build) < 290) {
    kind = config.HasNamedTag(kChunkyMesh) ? kChunkyTrack
           : config.HasNamedTag(kUnitMesh) ? kMeshReducingTrack
                                           : kObsoleteTrack;
  } else if (kind == kScenery && config.HasNamedTag(kTrackside)) {
    kind = kSceneryTrackside;
  }

  // 6, 7: the kind's definition.
  const SoupRef def = FindKindDefinition(kind);
  if (!def) {
    // The finding names no kind; its note names the kind looked for.
    const Kiv::PString given = config.GetNamedTag(kKind);
    if (eh && eh->Error(FormatMessage(kNoKindSpecification)))
      eh->NoteLast(kind == given ? FormatMessage(kUnknownKind, {kind})
                                 : FormatMessage(kUnknownMappedKind, {kind, given}));
    return false;
  }

  // 8, 9.
  configSoup = config;
  schema = dm->Schema();
  parent = nullptr;
  index = 0;
  name = kind;
  type = kind;
  isRoot = true;
  LoadDefinition(def, true);
  BindContainerChecks(def, this);

  // 10: an alias borrows its mesh from another asset.
  if (config.HasNamedTag(kAlias)) {
    dm->borrowedMesh = true;
    if (eh) eh->Warning(FormatMessage(kAliasFound));
  }

  // 11.
  return ImportAndValidate(config, def, this);
}

}  // namespace OBLLib
