#include "config/ScriptCache.h"

#include <cstdio>
#include <memory>
#include <set>
#include <vector>

#include "config/AssetFiles.h"
#include "config/AssetSpec.h"
#include "config/AssetValidation.h"
#include "config/TagNames.h"
#include "foundation/Crc32.h"
#include "foundation/KUID.h"
#include "foundation/Log.h"
#include "foundation/ResultsLog.h"
#include "foundation/ScriptFileBuffer.h"
#include "foundation/Text.h"
#include "gamescript/compiler/Dependencies.h"
#include "gamescript/compiler/Driver.h"
#include "gamescript/runtime/Class.h"
#include "gamescript/runtime/Library.h"
#include "gamescript/runtime/LibraryFile.h"
#include "gamescript/runtime/Machine.h"
#include "kiv/File.h"
#include "kiv/String.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/ContentFolders.h"

namespace {

// The asset check's listing of the asset it compiles, while UMBCompileAsset runs.
thread_local OBLLib::AssetFiles* t_listedAsset = nullptr;

std::function<bool()>& Registrar() {
  static std::function<bool()> registrar;
  return registrar;
}
bool g_nativesRegistered = false;

std::string Printf(const char* format, const std::string& a, const std::string& b = {},
                   const std::string& c = {}) {
  // The formats are this file's own; outside text only fills the arguments.
  const int n = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str(), c.c_str());
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(out.data(), out.size() + 1, format, a.c_str(), b.c_str(), c.c_str());
  return out;
}

// The source path with one final "e" removed, so "x.gse" names "x.gs".
std::string WithoutFinalE(std::string path) {
  if (!path.empty() && (path.back() == 'e' || path.back() == 'E')) path.pop_back();
  return path;
}

struct KuidLess {
  bool operator()(const KUID& a, const KUID& b) const {
    return std::tuple(static_cast<uint32_t>(a.user), static_cast<uint32_t>(a.content),
                      static_cast<uint32_t>(a.version)) < std::tuple(static_cast<uint32_t>(b.user),
                                                                     static_cast<uint32_t>(b.content),
                                                                     static_cast<uint32_t>(b.version));
  }
};

// What the record beside a cache file holds: the library's size and CRC-32,
// so that a file damaged after it was written is told from a whole one.
std::string CacheRecordPath(const std::string& cachePath) {
  Kiv::File::Path path(cachePath);
  path.SetExt("sum");
  return path.Str();
}
std::string CacheRecordText(const std::vector<uint8_t>& image) {
  char text[48];
  std::snprintf(text, sizeof text, "%zu %08x\n", image.size(), Crc32(image.data(), image.size()));
  return text;
}

// Whether a cache file made by an earlier run still serves: whole, as its
// record says, and made from the texts that `source` and every source it
// includes have now. A missing or unreadable record means no.
bool CacheFileIsCurrent(const std::string& cachePath, const std::string& source) {
  std::string record;
  std::vector<uint8_t> image;
  return Kiv::File::ReadWholeFile(CacheRecordPath(cachePath), record, 64) &&
         Kiv::File::ReadWholeFile(cachePath, image, GSRuntime::kMaxLibraryBytes) &&
         record == CacheRecordText(image) && GSCompiler::LibraryMatchesSources(image, source.c_str());
}

// Writes the record of a cache file just compiled. One not written costs a
// compile on the next run, nothing more.
void WriteCacheRecord(const std::string& cachePath) {
  std::vector<uint8_t> image;
  if (Kiv::File::ReadWholeFile(cachePath, image, GSRuntime::kMaxLibraryBytes)) {
    // Not synced, as the library is not: one cut short by a crash only mismatches.
    const std::string record = CacheRecordText(image);
    (void)Kiv::File::ReplaceFileAtomic(CacheRecordPath(cachePath), record.data(), record.size(), false);
  }
}

// The identity of a registered cache file; false when the machine refuses it.
// It takes the place of another cache file of its id, and one just compiled
// of itself as loaded before: a source compiled against other includes (edited
// since, or another asset's) keeps its id.
bool RegisterCacheFile(const std::string& folder, const std::string& name, bool fresh, uint32_t& id1,
                       uint32_t& id2) {
  GSRuntime::GSMachine& machine = GSRuntime::GSMachine::Instance();
  uint64_t id = 0;
  if (!machine.AddLibrary(folder, name, &id)) return false;
  id1 = static_cast<uint32_t>(id >> 32);
  id2 = static_cast<uint32_t>(id);
  const size_t slash = folder.find_last_of('/');
  (void)machine.ReplaceLibrary(id1, id2, folder, name,
                               slash == std::string::npos ? "" : folder.substr(0, slash), fresh);
  return true;
}

// The compile reads the standard classes from the installation's `scripts`,
// while the machine links the class libraries the program registered: a
// source there whose text is not the one the machine's library of that name
// was made from leaves every script including it unlinkable. Names the first.
std::string StandardClassMismatch() {
  const std::string scripts = GetScriptsFolderPath();
  if (scripts.empty()) return {};
  for (Kiv::File::Find find(Kiv::File::Path(scripts).Join("*.gs").Str()); find.Next();) {
    const Kiv::File::Path source(find.FullPath());
    if (find.IsDirectory() || !source.IsExt("gs")) continue;
    Kiv::File::Path name(find.Name());
    GSRuntime::GSLibrary* held = GSRuntime::GSMachine::Instance().GetLibraryByName(name.SetExt("gsl").Str());
    ScriptFileBuffer buffer;
    if (!held || !buffer.Load(nullptr, source.Str().c_str()) || !buffer.Decode() ||
        ScriptSourceChecksum(buffer) == held->Id1())
      continue;
    return Printf(
        "The standard class '%s' is not the text that this program's class library '%s' was "
        "compiled from; scripts that include it do not link.",
        source.Str(), Kiv::File::Path(held->Folder()).Join(name.Str()).Str());
  }
  return {};
}

}  // namespace

std::string ScriptCacheFileName(uint32_t contentChecksum, uint32_t pathChecksum) {
  char name[32];
  std::snprintf(name, sizeof name, "%08x%08x.gsl", contentChecksum, pathChecksum);
  return name;
}

uint32_t ScriptPathChecksum(std::string_view sourcePath) {
  const std::string lower = Kiv::ToLowerAscii(WithoutFinalE(Kiv::File::Path(sourcePath).GetFileName()));
  return Crc32LowerString(lower.c_str());
}

void SetScriptNativesRegistrar(std::function<bool()> registrar) { Registrar() = std::move(registrar); }

std::string RovanaBaseSpec::PrimaryScriptPath() const {
  if (ScriptFile().IsEmpty()) return {};
  Kiv::File::Path script(Kiv::ToLowerAscii(ScriptFile().c_str()));
  script.SetExt("gs");
  return Kiv::File::Path(AssetFolder()).Join(script.Str()).Str();
}

bool RovanaBaseSpec::CacheScripts(const std::string& contentRoot, const std::string& assetFolder,
                                  const std::string& primary, ResultsLog& log) {
  // Once per process; a later call gives the first outcome again.
  if (ScriptFlags() & kScriptsCached) return m_cacheResult;
  SetScriptFlags(ScriptFlags() | kScriptsCached);
  m_cacheResult = CacheScriptsOnce(contentRoot, assetFolder, primary, log);
  return m_cacheResult;
}

bool RovanaBaseSpec::CacheScriptsOnce(const std::string& contentRoot, const std::string& assetFolder,
                                      const std::string& primary, ResultsLog& log) {
  bool success = true;
  bool primaryFound = primary.empty();
  bool primaryFailed = false;
  // Looked up (and made) at the first script, so an asset without scripts writes nothing.
  std::string cacheFolder;

  // The include-path list is the compiler's, shared by the process: it is
  // put back as it was on the way out.
  GSCompiler::IncludePathScope includePaths;
  AddIncludeLibraries();
  GSCompiler::AppendIncludePath({Kiv::File::Path(assetFolder), Kiv::PString(contentRoot)});
  if (const std::string scripts = GetScriptsFolderPath(); !scripts.empty())
    GSCompiler::PrependIncludePath({Kiv::File::Path(scripts), Kiv::PString()});

  // The files of the asset folder in Find's order. An asset check has listed the folder
  // already: its listing serves rather than a second walk.
  std::vector<std::string> files;
  if (t_listedAsset && t_listedAsset->Folder() == assetFolder) {
    if (const std::vector<OBLLib::AssetFiles::Entry>* entries = t_listedAsset->List(""))
      for (const OBLLib::AssetFiles::Entry& e : *entries)
        if (Kiv::MatchWildcard("*.*", e.name) && !t_listedAsset->IsFolder(e.name)) files.push_back(e.name);
  } else {
    for (Kiv::File::Find find(Kiv::File::Path(assetFolder).Join("*.*").Str()); find.Next();)
      if (!find.IsDirectory()) files.push_back(find.Name());
  }
  for (const std::string& name : files) {
    const Kiv::File::Path entry(name);
    if (!entry.IsExt("gs") && !entry.IsExt("gse")) continue;
    const std::string source = Kiv::File::Path(assetFolder).Join(name).Str();
    if (cacheFolder.empty()) cacheFolder = GetLibraryCachePath(GetKUID());
    if (cacheFolder.empty()) {
      OBLLib::AddAssetResult(
          log, ResultsLog::kError, GetKUID(),
          Printf("No script cache folder for asset '%s'; its scripts were not compiled.", GetDescription()));
      success = false;
      break;
    }

    ScriptFileBuffer buffer;
    if (!buffer.Load(nullptr, source.c_str()) || !buffer.Decode()) {
      OBLLib::AddAssetResult(log, ResultsLog::kError, GetKUID(),
                             Printf("Unable to read script source file '%s'", source));
      success = false;
      continue;
    }
    const uint32_t contentCrc = ScriptSourceChecksum(buffer);
    buffer.Clear();
    const uint32_t pathCrc = ScriptPathChecksum(source);
    const std::string cacheName = ScriptCacheFileName(contentCrc, pathCrc);
    const std::string cachePath = Kiv::File::Path(cacheFolder).Join(cacheName).Str();

    for (bool recompiled = false;;) {
      const bool exists = Kiv::File::IsRegularFile(cachePath);
      uint32_t id1 = 0, id2 = 0;
      // The file of an earlier run serves only while it is whole and its
      // includes are unchanged; the machine is not shown one that is not.
      const bool registered = exists && (recompiled || CacheFileIsCurrent(cachePath, source)) &&
                              RegisterCacheFile(cacheFolder, cacheName, recompiled, id1, id2);
      if (registered && id1 == contentCrc && id2 == pathCrc) {
        if (!primaryFound && Kiv::CompareNoCase(WithoutFinalE(source), primary) == 0) {
          primaryFound = true;
          SetLibraryChecksums(contentCrc, pathCrc);
        }
        break;
      }
      if (exists && recompiled) {
        // Also a file the machine refuses after its recompile ends here.
        OBLLib::AddAssetResult(
            log, ResultsLog::kError, GetKUID(),
            Printf("CRC Mismatch on '%s' after recompile. Do you have both .gs and .gse present?", source));
        success = false;
        break;
      }
      // Stale, damaged, planted or unreadable: compiled anew over it.
      // One that stays is replaced whole by the compile below.
      if (exists) (void)Kiv::File::Unlink(cachePath);
      (void)Kiv::File::Unlink(CacheRecordPath(cachePath));  // often none
      recompiled = true;
      GSCompiler::CompileLog compileLog;  // each compile's messages on their own
      Kiv::Status stored;
      if (GSCompiler::CompileToFile(source.c_str(), cachePath.c_str(), &compileLog, stored) == 0) {
        WriteCacheRecord(cachePath);
        continue;
      }

      const std::string description = GetDescription();
      if (!stored.ok()) {
        // The script compiled; its library could not be kept (a full disk, a
        // refused write): the user is told that, not that the script is wrong.
        LogLine("RovanaBaseSpec::CacheScripts> Unable to write the script cache of asset '%s': %s",
                description.c_str(), stored.message().c_str());
        OBLLib::AddAssetResult(
            log, ResultsLog::kError, GetKUID(),
            Printf("Unable to write the script cache of asset '%s': %s", description, stored.message()));
        success = false;
        if (Kiv::CompareNoCase(WithoutFinalE(source), primary) == 0) primaryFailed = true;
        break;
      }
      LogLine("RovanaBaseSpec::CacheScripts> Syntax error in script of asset '%s'", description.c_str());
      // The heading, a blank line, then the compiler's lines.
      std::vector<std::string> message = {
          Printf("RovanaBaseSpec::CacheScripts> Syntax error in script of asset '%s'", description), ""};
      for (size_t i = 0; i < compileLog.Count() && compileLog.At(i); ++i) {
        LogLine("RovanaBaseSpec::CacheScripts> ** GSC> %s", compileLog.At(i));
        std::string_view line = compileLog.At(i);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        message.emplace_back(line);
      }
      OBLLib::AddAssetResultLines(log, ResultsLog::kError, GetKUID(), message);
      // A script that does not compile fails the run; a primary that failed
      // is not reported as missing as well.
      success = false;
      if (Kiv::CompareNoCase(WithoutFinalE(source), primary) == 0) primaryFailed = true;
      break;
    }
  }

  if (success && !primaryFound && !primaryFailed) {
    SoupRef params = SoupRef::NewContainer();
    params.SetNamedTag(Kiv::PString("filename"), primary);
    OBLLib::AddAssetResult(log, ResultsLog::kError, GetKUID(),
                           "Unable to locate primary script source file '$(FILENAME)'", params);
    success = false;
  }
  return success;
}

GSRuntime::GSLibrary* RovanaBaseSpec::EnsureLibrary() {
  if (ContentChecksum() == 0 && PathChecksum() == 0) {
    ResultsLog dropped;
    // Without a library the lookup below gives null, which the caller reports.
    (void)CacheScripts(ContentRoot(), AssetFolder(), PrimaryScriptPath(), dropped);
  }
  if (ContentChecksum() == 0 && PathChecksum() == 0) return nullptr;
  return GSRuntime::GSMachine::Instance().GetLibrary(ContentChecksum(), PathChecksum());
}

void RovanaBaseSpec::AddIncludeLibraries() {
  if (Build() * 100.0f < 290.0f) return;  // as a float: a huge build has no int value
  SpecRegistry* registry = SpecRegistry::Instance();
  if (!registry) return;
  std::set<KUID, KuidLess> work, done;
  std::vector<KUID> includes;
  GetIncludeKUIDs(includes);
  work.insert(includes.begin(), includes.end());
  while (!work.empty()) {
    const KUID next = *work.begin();
    work.erase(work.begin());
    if (!done.insert(next).second) continue;
    SpecRef spec = registry->GetSpec(next, true);
    RovanaBaseSpec* base = spec.AsBase();
    if (!base) continue;
    // An asset without script information has nothing to cache.
    (void)base->LoadScriptInfo();
    base->EnsureLibrary();
    GSCompiler::AppendIncludePath({Kiv::File::Path(base->AssetFolder()), Kiv::PString(base->ContentRoot())});
    includes.clear();
    base->GetIncludeKUIDs(includes);
    work.insert(includes.begin(), includes.end());
  }
}

GSRuntime::GSClass* RovanaBaseSpec::GetGSClass() {
  // An asset without script information has nothing to cache.
  (void)LoadScriptInfo();
  GSRuntime::GSLibrary* library = EnsureLibrary();
  if (!library) {
    LogLine("RovanaBaseSpec::GetGSClass> Could not load Rovana library %s for '%s'",
            LibraryFileName().c_str(), GetDescription().c_str());
    return nullptr;
  }
  GSRuntime::GSClass* cls = library->FindClass(ScriptClass().c_str());
  if (!cls)
    LogLine("RovanaBaseSpec::GetGSClass> Could not load Rovana class %s from library %s for %s",
            ScriptClass().c_str(), LibraryFileName().c_str(), GetDescription().c_str());
  return cls;
}

bool RovanaBaseSpec::CompileAndCheck(ResultsLog& log) {
  // An asset without script information has nothing to cache.
  (void)LoadScriptInfo();
  if (!CacheScripts(ContentRoot(), AssetFolder(), PrimaryScriptPath(), log)) return false;
  // An asset that names neither a script nor a class has no class to check.
  if (ScriptFile().IsEmpty() && ScriptClass().IsEmpty()) return true;
  if (ScriptClass().IsEmpty()) {
    OBLLib::AddAssetResult(
        log, ResultsLog::kError, GetKUID(),
        Printf("The config names the script '%s' but no class: its tag 'class' is missing.",
               ScriptFile().Str()));
    return false;
  }
  GSRuntime::GSClass* cls = GetGSClass();
  if (!cls) {
    OBLLib::AddAssetResult(log, ResultsLog::kError, GetKUID(),
                           Printf("Unable to link compiled script class '%s'.", ScriptClass().Str()));
    if (const std::string why = StandardClassMismatch(); !why.empty())
      OBLLib::AddAssetResult(log, ResultsLog::kInformation, GetKUID(), why);
    return false;
  }
  // Category codes are read without regard to case, as the config check
  // reads them against its list: "tr;tv" is the vehicle that "TR;TV" is.
  const std::string category = Kiv::ToUpperAscii(Category());
  const bool vehicle = MatchTagExpression(category, "TR;TV");
  const bool signal = MatchTagExpression(category, "?WA");
  const bool trackside = vehicle || signal || MatchTagExpression(category, "TO");
  const struct {
    bool wanted;
    const char* base;
    const char* message;
  } checks[] = {
      {vehicle, "Vehicle", "Script class does not match asset kind (vehicle)."},
      {trackside, "Trackside", "Script class does not match asset kind (trackside)."},
      {signal, "Signal", "Script class does not match asset kind (signal)."},
  };
  for (const auto& check : checks)
    if (check.wanted != cls->IsDerivedFrom(check.base)) {
      OBLLib::AddAssetResult(log, ResultsLog::kError, GetKUID(), check.message);
      return false;
    }
  return true;
}

bool UMBCompileAsset(ResultsLog& log, const std::string& folder, const SoupRef& given,
                     OBLLib::AssetFiles* listed) {
  struct Listed {
    OBLLib::AssetFiles* before = t_listedAsset;
    explicit Listed(OBLLib::AssetFiles* files) { t_listedAsset = files; }
    ~Listed() { t_listedAsset = before; }
  } listing(listed);
  KUID kuid;  // null until the config gives it
  if (!g_nativesRegistered) {
    g_nativesRegistered = !Registrar() || Registrar()();
    if (!g_nativesRegistered) {
      OBLLib::AddAssetResult(log, ResultsLog::kError, kuid,
                             "UMBCompileAsset unable to initialise script system");
      return false;
    }
  }
  SoupRef config = given;
  if (!config && !LoadAssetConfig(folder, config)) {
    OBLLib::AddAssetResult(log, ResultsLog::kError, kuid, "UMBCompileAsset unable to load asset config");
    return false;
  }
  kuid = config.GetNamedTagAsKUID(OBLLib::sc::kuid);
  if (kuid == KUID::Null()) {
    OBLLib::AddAssetResult(log, ResultsLog::kError, kuid, "UMBCompileAsset unable to determine asset KUID");
    return false;
  }
  SpecRegistry* registry = SpecRegistry::Instance();
  SpecRef spec;
  // Without a database there is no registry: the asset spec is made for this compile alone.
  bool ownSpec = registry == nullptr;
  if (registry) {
    spec = registry->FindSpec(kuid);
    if (spec && !spec.AsBase()) {
      OBLLib::AddAssetResult(log, ResultsLog::kError, kuid, "Asset of wrong spec type for compilation");
      return false;
    }
    if (spec && ((spec.AsBase()->ScriptFlags() & RovanaBaseSpec::kScriptsCached) ||
                 Kiv::AbsolutePath(spec->AssetFolder()) != Kiv::AbsolutePath(folder))) {
      // A spec of another folder of the KUID (an installed copy beside an
      // edited one), or one whose scripts an earlier check cached already (a
      // spec caches once), says nothing of this folder's scripts as they are
      // now: this folder gets a spec of its own for this compile.
      spec.Reset();
      ownSpec = true;
    } else if (!spec) {
      UMBScript_RovanaBaseSpecFactory factory;
      registry->SetDefaultFactory(&factory);
      spec = registry->CreateSpecFromFolder(
          kuid, folder, [](GizmokitSpec& s) { return dynamic_cast<RovanaBaseSpec*>(&s) != nullptr; }, false,
          config);
      registry->SetDefaultFactory(nullptr);
    }
  }
  std::unique_ptr<RovanaBaseSpec> alone;
  RovanaBaseSpec* base = spec.AsBase();
  if (ownSpec) {
    Kiv::File::Path parent(folder);
    const std::string name = parent.GetFileName();
    parent.RemoveFileName();
    std::string key, relative;
    // A path outside the content folders gives empty outputs, which stand.
    (void)SplitContentPath(folder, key, relative);
    alone = std::make_unique<RovanaBaseSpec>(kuid, key, parent.Str(), name, config);
    base = alone.get();
  }
  if (!base) {
    OBLLib::AddAssetResult(log, ResultsLog::kError, kuid, "Failed to load asset for compilation");
    return false;
  }
  // The script details come from the config in hand for this compile only: a
  // spec kept in the registry reads its folder again later.
  base->SetScriptInfoConfig(config);
  const bool compiled = base->CompileAndCheck(log);
  base->SetScriptInfoConfig(SoupRef());
  if (!compiled) {
    OBLLib::AddAssetResult(log, ResultsLog::kError, kuid, "Failed to compile asset");
    return false;
  }
  return true;
}
