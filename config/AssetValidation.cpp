#include "config/AssetValidation.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "config/AssetFiles.h"
#include "config/AssetPaths.h"
#include "config/DataManager.h"
#include "config/ErrorHandler.h"
#include "config/Export.h"
#include "config/LegacyUpgrade.h"
#include "config/ScriptCache.h"
#include "config/Messages.h"
#include "config/TagNames.h"
#include "config/TextureChecks.h"
#include "foundation/InterfaceTextDB.h"
#include "foundation/Jobs.h"
#include "foundation/ResultsLog.h"
#include "foundation/Text.h"
#include "kiv/String.h"
#include "umbclient/ContentFolders.h"

namespace OBLLib {

namespace {

const Kiv::PString kFutureAsset("$obl_future_asset");
const Kiv::PString kObsoleteWater("$obl_obsolete_water");
const Kiv::PString kObsoletePigmora("$obl_obsolete_pigmora");
const Kiv::PString kUnreadableConfig("$obl_container_unreadableconfig");
const Kiv::PString kKuid("kuid");
const Kiv::PString kKind("kind");

// Why the config did not load, for the user.
std::string WhyUnreadable(const std::string& path) {
  std::string text;
  if (Kiv::File::FileSize(path) > static_cast<int64_t>(kMaxConfigFileBytes)) return "the file is too large";
  if (!Kiv::File::ReadWholeFile(path, text, kMaxConfigFileBytes)) return Kiv::File::LastError();
  if (!Kiv::File::Path(path).IsExt("txt")) return "the file is not a valid binary soup";
  SoupRef soup;
  std::string error;
  if (!ParseSoupText(text, soup, &error)) return error;
  return "unknown error";
}

// Every error and warning becomes a result, each followed by its note as an
// information line.
void AddFindings(ResultsLog& log, const KUID& kuid, const ErrorHandler::EntryList& entries) {
  for (const ErrorHandler::Entry& entry : entries) {
    if (entry.severity == ErrorHandler::kMessage) continue;
    AddAssetResult(log, entry.severity, kuid, InterfaceTextToLocal(entry.text.View()));
    if (!entry.note.IsEmpty())
      AddAssetResult(log, ResultsLog::kInformation, kuid, InterfaceTextToLocal(entry.note.View()));
  }
}

}  // namespace

std::string InterfaceTextToLocal(std::string_view text) {
  // Findings are mostly plain ASCII, which reads the same in either code page.
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return std::string(text);
  // The conversion reads a terminated text: each piece between NUL bytes is
  // converted on its own and the NULs are put back between them.
  std::string out;
  while (true) {
    const size_t nul = text.find('\0');
    const std::string_view piece = text.substr(0, nul);
    std::vector<char> buffer(piece.begin(), piece.end());
    buffer.push_back('\0');
    int result = ConvertCodePageInPlace(buffer.data(), buffer.size(), kCodePageUtf8, kCodePageLocal);
    if (result > 0) {
      buffer.assign(piece.begin(), piece.end());
      buffer.resize(static_cast<size_t>(result) + 1, '\0');
      ConvertCodePageInPlace(buffer.data(), buffer.size(), kCodePageUtf8, kCodePageLocal);
    }
    out += buffer.data();
    if (nul == std::string_view::npos) return out;
    out += '\0';
    text.remove_prefix(nul + 1);
  }
}

bool ValidateAssetConfig(const Kiv::PString& assetName, const Kiv::File::Path& configPath, ResultsLog& log,
                         Container* container, SoupRef* asRead) {
  DataManager* dm = DataManager::Instance();
  // Checked by the asset check before the config is read; alone, the set-up reports a missing kind.
  (void)dm->LoadSchema();
  Kiv::File::Path folder = configPath;
  folder.RemoveFileName();
  dm->SetCurrentAsset(assetName, folder);
  ErrorHandler* eh = ErrorHandler::Instance();
  if (eh) eh->Clear();

  SoupRef soup;
  const std::string base = dm->contentFolder;
  const std::string fullPath =
      base.empty() ? configPath.Str() : Kiv::File::Path(base).Join(configPath.View()).Str();
  // In a whole asset check the config was found in the folder's listing: it is read
  // as spelled there.
  const std::optional<std::string> listed =
      dm->assetFiles ? dm->assetFiles->Find(configPath.GetFileName()) : std::nullopt;
  const bool read = listed ? LoadSoupFileAsSpelled(soup, *listed, kMaxConfigFileBytes)
                           : Kiv::File::FileSize(fullPath) <= static_cast<int64_t>(kMaxConfigFileBytes) &&
                                 LoadSoupFile(soup, base, configPath.View(), {}, kMaxConfigFileBytes);
  if (!read) {
    // A config that does not read is reported as such, not as a config
    // without a kind.
    AddAssetResult(log, ResultsLog::kError, KUID::Null(),
                   FormatMessage(kUnreadableConfig, {configPath.Str(), WhyUnreadable(fullPath)}).View());
    return false;
  }
  const KUID kuid = soup.GetNamedTagAsKUID(kKuid);
  auto message = [](const Kiv::PString& key) {
    return InterfaceTextToLocal(InterfaceTextDB::Instance().GetString(key, true).View());
  };

  const double build = static_cast<double>(ReadConfigBuild(soup)) * 100.0 + 0.1;
  if (build >= 341.0) {
    AddAssetResult(log, ResultsLog::kError, kuid, message(kFutureAsset));
    return false;
  }
  const Kiv::PString kindText = soup.GetNamedTag(kKind);
  const std::string_view kind = kindText.View();
  if (Kiv::CompareNoCase(kind, "water") == 0) {
    AddAssetResult(log, ResultsLog::kWarning, kuid, message(kObsoleteWater));
    return true;
  }
  if (Kiv::CompareNoCase(kind, "pigmora-skin") == 0) {
    AddAssetResult(log, ResultsLog::kWarning, kuid, message(kObsoletePigmora));
    return true;
  }
  if (dm->checkOptions[0] && build < 290.0) return true;

  // The temporary container lives until its findings are copied: its
  // destruction takes findings out of the list.
  std::unique_ptr<Container> own;
  if (!container) {
    own = std::make_unique<Container>();
    container = own.get();
  }
  container->forCheck = true;
  // Checked by the asset check before the config is read; alone, the set-up reports a missing kind.
  (void)dm->LoadSchema();
  // A legacy config is rewritten in memory by the set-up: the compile gets a copy
  // of it as read rather than reading the file again.
  if (asRead && BuildIsUpgradedInMemory(ReadConfigBuild(soup) + 0.001f)) asRead->Copy(soup);
  const bool ok = container->SetupRoot(soup);
  if (asRead && !BuildIsUpgradedInMemory(dm->build)) *asRead = soup;
  if (eh) {
    AddFindings(log, kuid, eh->GetEntries());
  }
  return ok;
}

bool ValidateAssetFiles(Container& container, ResultsLog& log) {
  if (container.configSoup.CountTags() == 0) return true;
  ErrorHandler* eh = ErrorHandler::Instance();
  if (!eh) return true;
  eh->Clear();
  DataManager* dm = DataManager::Instance();
  const std::string& base = dm->contentFolder;
  const std::string folder =
      base.empty() ? dm->assetFolder.Str() : Kiv::File::Path(base).Join(dm->assetFolder.View()).Str();
  const bool textures =
      dm->assetFiles ? ValidateTextureFiles(*dm->assetFiles) : ValidateTextureFiles(folder, folder);
  const bool exported = CheckExport(container);
  const bool checked = exported && RunContainerRules(container);
  // A writer reports some errors without failing (an empty choice, a wrong
  // file extension); they still fail the asset rather than being dropped.
  bool errorReported = false;
  for (const ErrorHandler::Entry& entry : eh->GetEntries())
    errorReported |= entry.severity == ErrorHandler::kError;
  if (textures && exported && checked && !errorReported) return true;
  AddFindings(log, container.configSoup.GetNamedTagAsKUID(kKuid), eh->GetEntries());
  return false;
}

namespace {
RovanaPropertyRef AssetProperty(const KUID& kuid) {
  RovanaPropertyRef asset;
  asset.Set(new RovanaPropertyAssetID(Kiv::PString::Empty(), kuid));
  return asset;
}
}  // namespace

void AddAssetResult(ResultsLog& log, int severity, const KUID& kuid, std::string_view text,
                    const SoupRef& params) {
  log.AddResult(severity, AssetProperty(kuid).Get(), text, params);
}

void AddAssetResultLines(ResultsLog& log, int severity, const KUID& kuid,
                         const std::vector<std::string>& lines) {
  log.AddResultLines(severity, AssetProperty(kuid).Get(), lines);
}

bool CheckAssetFolder(ResultsLog& log, const std::string& assetPath) {
  std::string path = Kiv::AbsolutePath(assetPath);
  // An asset's config file named in place of its folder stands for the folder.
  const std::string named = Kiv::File::Path(path).GetFileName();
  if ((Kiv::CompareNoCase(named, "config.txt") == 0 || Kiv::CompareNoCase(named, "config.chump") == 0) &&
      Kiv::File::IsRegularFile(path))
    path = Kiv::AbsolutePath(Kiv::File::Path(path).RemoveFileName().View());
  // The folder as spelled is the common case, and its listing, which the check needs
  // anyway, tells that it is a folder; else it is matched without regard to case.
  std::vector<Kiv::File::ListedEntry> listing;
  std::optional<std::string> onDisk;
  const bool listed = Kiv::File::ListFolder(path, listing);
  if (listed)
    onDisk = path;
  else if (Kiv::File::IsDirectory(path))
    onDisk = Kiv::ResolvePath(path);
  if (!onDisk) {
    log.AddResult(ResultsLog::kError, nullptr, "Asset folder '" + assetPath + "' not found.");
    return false;
  }
  std::string key, relative;
  bool inContentFolder = SplitContentPath(path, key, relative);
  if (!inContentFolder || relative.empty()) {
    // Outside the content folders: the asset folder's own folder stands in.
    Kiv::File::Path parent(path);
    relative = parent.GetFileName();
    parent.RemoveFileName();
    key = parent.IsEmpty() ? std::string("/") : parent.Str();
  } else if (ContentFolderIsPacked(GetContentFolderPath(key))) {
    return true;  // a packed content folder is not checked
  }
  const bool shipped = inContentFolder && key != "editing" && key != "base";

  // The asset's folders are listed once for the whole check.
  AssetFiles files = listed ? AssetFiles(*onDisk, std::move(listing)) : AssetFiles(*onDisk);
  Kiv::File::Path config(relative);
  // One listing of the folder answers for both names (matched without
  // regard to case); "config.chump" comes first.
  const char* name = nullptr;
  if (const std::vector<AssetFiles::Entry>* entries = files.List("")) {
    for (const AssetFiles::Entry& entry : *entries) {
      if (!Kiv::MatchWildcard("config.*", entry.name) || files.IsFolder(entry.name)) continue;
      if (Kiv::CompareNoCase(entry.name, "config.chump") == 0) {
        name = "config.chump";
        break;
      }
      if (Kiv::CompareNoCase(entry.name, "config.txt") == 0) name = "config.txt";
    }
  }
  // A config linked from outside the asset folder is missing.
  if (name && !files.Find(name)) name = nullptr;
  if (!name) {
    SoupRef params = SoupRef::NewContainer();
    params.SetNamedTag(Kiv::PString("file_path"), assetPath);
    log.AddResult(ResultsLog::kError, nullptr, "$umb_unable_read_config_at", params);
    return false;
  }
  config.Join(name);
  if (!DataManager::Existing() || !ErrorHandler::Instance()) {
    log.AddResult(ResultsLog::kError, nullptr,
                  "The config schema library is not running; '" + assetPath + "' was not checked.");
    return false;
  }
  // Without a single definition every asset would fail: the check stops here
  // and says what is wrong. A schema file that did not read is told before
  // the findings it may cause, without counting against the asset.
  DataManager* dm = DataManager::Instance();
  if (!dm->LoadSchema()) {
    log.AddResult(ResultsLog::kError, nullptr,
                  "Unable to load the schema: " + dm->SchemaStatus().ToString() + ".");
    return false;
  }
  for (const std::string& note : dm->SchemaNotes()) log.AddResult(ResultsLog::kInformation, nullptr, note);

  CollectUnusedResources();
  Kiv::SingleLock guard(AssetCheckMutex());
  // Texture descriptions are read once in this check, by the mesh and the
  // file checks together.
  struct KeptDescriptions {
    KeptDescriptions() { KeepTextureDescriptions(true); }
    ~KeptDescriptions() { KeepTextureDescriptions(false); }
  } kept;
  struct ListedFiles {
    DataManager* dm;
    ListedFiles(DataManager* d, AssetFiles* files) : dm(d) { dm->assetFiles = files; }
    ~ListedFiles() { dm->assetFiles = nullptr; }
  };
  dm->checkOptions[0] = false;
  dm->checkOptions[1] = shipped;
  dm->configFileName = Kiv::PString(name);

  const int errorsBefore = log.ErrorCount();
  // The compile works from the config read here rather than reading it again.
  SoupRef asRead;
  {
    const ListedFiles listed(dm, &files);
    Container root;
    // Its findings are in the log, whose error count decides.
    if (ValidateAssetConfig(Kiv::PString(key), config, log, &root, &asRead))
      (void)ValidateAssetFiles(root, log);
    dm->ClearLiveObjects();
    dm->meshFailure = false;
  }
  // Warnings do not stop the compile; errors do.
  if (log.ErrorCount() != errorsBefore) return false;
  return UMBCompileAsset(log, path, asRead, &files);
}

}  // namespace OBLLib
