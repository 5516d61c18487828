#include "scriptlib/GSOAsset.h"

#include <cmath>
#include <map>
#include <tuple>

#include "foundation/Jobs.h"
#include "kiv/String.h"
#include "scriptlib/GSOImage.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/GSOSoup.h"
#include "scriptlib/GSOStringTable.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/RovanaScriptContext.h"
#include "scriptlib/ScriptNatives.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/OpenDatabase.h"

using namespace GSRuntime;
using namespace ScriptNatives;

namespace {

using Key = std::tuple<int32_t, int32_t, int32_t>;
Key KeyOf(const KUID& k) { return Key(k.user, k.content, k.version); }

struct AssetCache {
  std::map<const GSContext*, std::map<Key, GSOAsset*>> objects;
  std::map<Key, KUID> resolved;     // requested -> what the database answered, when they differ
  uint64_t resolvedGeneration = 0;  // the database changes `resolved` has seen
};

AssetCache& Cache() {
  static AssetCache cache;
  return cache;
}

GSOAsset* Cached(const GSContext* context, const KUID& kuid) {
  const auto c = Cache().objects.find(context);
  if (c == Cache().objects.end()) return nullptr;
  const auto found = c->second.find(KeyOf(kuid));
  return found == c->second.end() ? nullptr : found->second;
}

}  // namespace

GSOAsset::GSOAsset(GSContext* context, const KUID& kuid)
    : m_kuid(kuid), m_lastUse(ProcessClock::SecondsFloat()) {
  // A failed bind leaves no handle, which NewScriptObject tests.
  (void)BindScriptClass(ScriptClasses().asset, context);
}

GSOAsset::~GSOAsset() {
  if (m_stringTable) ReleaseHandle(m_stringTable->GetScriptHandle());
}

GSOAsset* GSOAsset::FindOrCreate(GSContext* context, const KUID& requested) {
  if (requested.IsNull()) return nullptr;
  AssetCache& cache = Cache();
  KUID kuid = requested;
  // An asset installed or removed since changes what a KUID resolves to.
  if (UMBTakeResolutionCacheFlush(cache.resolvedGeneration)) cache.resolved.clear();
  const auto remembered = cache.resolved.find(KeyOf(kuid));
  if (remembered != cache.resolved.end()) kuid = remembered->second;
  if (kuid.IsNull()) return nullptr;
  GSOAsset* object = Cached(context, kuid);
  if (!object && remembered == cache.resolved.end()) {
    const KUID answer = UMBResolveKUID(kuid);
    if (!(answer == kuid)) cache.resolved[KeyOf(kuid)] = answer;
    if (answer.IsNull()) return nullptr;
    kuid = answer;
    object = Cached(context, kuid);
  }
  if (object) {
    AddReference(object->GetScriptHandle());
    object->m_lastUse = ProcessClock::SecondsFloat();
    return object;
  }
  auto* owner = dynamic_cast<RovanaScriptContext*>(context);
  if (owner && !owner->AllowAsset(kuid)) return nullptr;
  object = new GSOAsset(context, kuid);
  if (!object->GetScriptHandle()) {
    delete object;
    return nullptr;
  }
  cache.objects[context][KeyOf(kuid)] = object;  // the cache keeps the first reference
  AddReference(object->GetScriptHandle());
  return object;
}

void ClearAssetCache(GSContext* context) {
  AssetCache& cache = Cache();
  const auto c = cache.objects.find(context);
  if (c == cache.objects.end()) return;
  const std::map<Key, GSOAsset*> objects = std::move(c->second);
  cache.objects.erase(c);
  for (const auto& [key, object] : objects) delete object;  // drops the cache's reference
}

size_t CountAssetObjects() {
  size_t n = 0;
  for (const auto& [context, objects] : Cache().objects) n += objects.size();
  return n;
}

bool SupportsBuildVersion(float assetBuild, float wanted) {
  return std::trunc(assetBuild * 100.0f) >= std::trunc(wanted * 100.0f);
}

const UMBAssetInfo& GSOAsset::Info() {
  if (!m_infoFetched) {
    m_info = UMBAssetInfo();
    // The info stays empty for an unknown asset, as the script expects.
    (void)GetAssetInfo(m_kuid, m_info, -1);
    m_infoFetched = true;
  }
  return m_info;
}

const SoupRef& GSOAsset::Config() {
  if (m_config.IsNull() || m_config.CountTags() == 0) m_config = UMBGetAssetConfig(m_kuid);
  return m_config;
}

KUID GSOAsset::LookupKUIDTableEntry(std::string_view name) {
  const SoupRef table = Config().GetNamedSoup(Kiv::PString("kuid-table"));
  return table.GetNamedTagAsKUID(Kiv::PString(Kiv::ToLowerAscii(name)));
}

bool GSOAsset::KUIDTableArgument(GSStack& stack, const char* prefix, KUID& out) {
  std::string name;
  if (!GetNativeStringParameter(stack, 1, name, false)) return false;
  name = Kiv::ToLowerAscii(name);
  out = LookupKUIDTableEntry(name);
  if (!out.IsNull()) return true;
  std::string text(prefix);
  text.append("> unable to find '").append(name).append("' in kuid-table\nAvailable kuids are: ");
  const SoupRef table = Config().GetNamedSoup(Kiv::PString("kuid-table"));
  for (size_t i = 0; i < table.CountTags(); ++i)
    text.append(1, '"').append(table.GetIndexedTagName(i).View()).append("\" ");
  Raise(text.c_str());
  return false;
}

// ------------------------------------------------------------ natives

void GSOAsset::GetKUID(GSStack& stack) { PushObject(stack, GetKUIDObject(Context(), m_kuid), false); }

void GSOAsset::GetLocalisedName(GSStack& stack) {
  PushNativeStringResult(stack, Context(), Info().localisedName);
}

void GSOAsset::GetLocalisedDescription(GSStack& stack) {
  PushNativeStringResult(stack, Context(), UMBGetAssetDescription(m_kuid));
}

void GSOAsset::GetCreatorName(GSStack& stack) {
  PushNativeStringResult(stack, Context(), Info().creatorName);
}

void GSOAsset::LookupKUIDTable(GSStack& stack) {
  KUID kuid;
  if (!KUIDTableArgument(stack, "Asset.LookupKUIDTable", kuid)) return stack.Push(0), void();
  PushObject(stack, GetKUIDObject(Context(), kuid), false);
}

void GSOAsset::FindAsset(GSStack& stack) {
  KUID kuid;
  if (!KUIDTableArgument(stack, "Asset.FindKUID", kuid)) return stack.Push(0), void();
  PushObject(stack, FindOrCreate(Context(), kuid), false);
}

void GSOAsset::GetStringTable(GSStack& stack) {
  if (!m_stringTable) {
    if (!m_spec && SpecRegistry::Instance()) m_spec = SpecRegistry::Instance()->GetSpec(m_kuid);
    m_stringTable = NewScriptObject<GSOStringTable>(Context(), m_spec, Config());
  }
  PushObject(stack, m_stringTable, true);
}

void GSOAsset::GetConfigSoup(GSStack& stack) {
  PushObject(stack, GSOSoup::Create(Context(), Config(), true), false);
}

void GSOAsset::GetDependencyList(GSStack& stack) {
  // The asset's dependencies are not the script's to change: a locked copy.
  GSOKUIDList::List dependencies;
  for (const KUID& kuid : UMBGetAssetDependencies(m_kuid)) dependencies.PushBack(kuid);
  PayRunBudget(2 * uint64_t(sizeof(KUID)) * dependencies.Size());  // copied twice
  PushObject(stack, NewScriptObject<GSOKUIDList>(Context(), dependencies), false);
}

void GSOAsset::SupportsRovanaBuildVersion(GSStack& stack) {
  const float wanted = stack.FloatArgument(1);
  const UMBAssetInfo& info = Info();
  PushNativeBoolResult(stack, info.buildVersionKnown && SupportsBuildVersion(info.buildVersion, wanted));
}

bool IsNameInsideFolder(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.front() == '\\' || name.find(':') != std::string_view::npos)
    return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

void GSOAsset::LoadImage(GSStack& stack) {
  std::string name;
  if (!GetNativeStringParameter(stack, 1, name, false)) return stack.Push(0), void();
  name = Kiv::ToLowerAscii(name);
  // The asset's own files only: a name may not leave its folder.
  if (!IsNameInsideFolder(name)) return stack.Push(0), void();
  const uint32_t handle = UMBAcquireAssetHandle(m_kuid);
  if (!handle) return stack.Push(0), void();
  const std::string folder = UMBGetHandleFolder(handle);
  GSOImage* image = folder.empty() ? nullptr : GSOImage::LoadImage(Context(), folder, Kiv::PString(name));
  // The handle goes whether or not the database still knew it.
  (void)UMBReleaseAssetHandle(handle);
  PushObject(stack, image, false);
}

void GSOAsset::IsLocallyModified(GSStack& stack) {
  PushNativeBoolResult(stack, IsAssetLocallyModified(m_kuid));
}

void GSOAsset::GetInfoURL(GSStack& stack) {
  PushNativeStringResult(stack, Context(), Config().GetNamedTag(Kiv::PString("info-url")).View());
}

void GSOAsset::GetIsFavorite(GSStack& stack) {
  const uint8_t rating = Info().rating;
  PushNativeBoolResult(stack, rating == 4 || rating == 5);
}

void GSOAsset::SetIsFavorite(GSStack& stack) {
  // The native has no result to give; the database logs a refusal.
  (void)UMBSetAssetFavorite(m_kuid, GetNativeBoolParameter(stack, 1));
  m_infoFetched = false;
}

void GSOAsset::GetParent(GSStack& stack) { PushObject(stack, FindOrCreate(Context(), Info().parent), false); }

void GSOAsset::GetCategoryEra(GSStack& stack) {
  PushNativeStringResult(stack, Context(), Info().categoryEra);
}

void GSOAsset::GetCategoryRegion(GSStack& stack) {
  PushNativeStringResult(stack, Context(), Info().categoryRegion);
}

void GSOAsset::GetSessionRuleData(GSStack& stack) {
  std::string name;
  if (!GetNativeStringParameter(stack, 1, name, false)) return stack.Push(0), void();
  const SoupRef rules = Config().GetNamedSoup(Kiv::PString("rule-data"));
  const SoupRef data = rules.GetNamedSoup(Kiv::PString(Kiv::ToLowerAscii(name)));
  PushObject(stack, data ? GSOSoup::Create(Context(), data, true) : nullptr, false);
}

void GSOAsset::IsBuiltIn(GSStack& stack) { PushNativeBoolResult(stack, IsAssetBuiltIn(m_kuid)); }

void GSOAsset::IsOnTheVendaro(GSStack& stack) {
  PushNativeBoolResult(stack, (Info().FirstStateByte() >> 6) & 1);
}

void GSOAsset::RegisterNatives(GSMachine& machine) {
  const auto add = [&machine](const char* key, void (GSOAsset::*function)(GSStack&)) {
    AddNative(machine, "Asset", key, function);
  };
  add("$KUID@Asset::GetKUID()", &GSOAsset::GetKUID);
  add("$string@Asset::GetLocalisedName()", &GSOAsset::GetLocalisedName);
  add("$string@Asset::GetLocalisedDescription()", &GSOAsset::GetLocalisedDescription);
  add("$string@Asset::GetCreatorName()", &GSOAsset::GetCreatorName);
  add("$KUID@Asset::LookupKUIDTable(string)", &GSOAsset::LookupKUIDTable);
  add("$Asset@Asset::FindAsset(string)", &GSOAsset::FindAsset);
  add("$StringTable@Asset::GetStringTable()", &GSOAsset::GetStringTable);
  add("$Soup@Asset::GetConfigSoup()", &GSOAsset::GetConfigSoup);
  add("$KUIDList@Asset::GetDependencyList()", &GSOAsset::GetDependencyList);
  add("$bool@Asset::SupportsRovanaBuildVersion(float)", &GSOAsset::SupportsRovanaBuildVersion);
  add("$Image@Asset::LoadImage(string)", &GSOAsset::LoadImage);
  add("$bool@Asset::IsLocallyModified()", &GSOAsset::IsLocallyModified);
  add("$string@Asset::GetInfoURL()", &GSOAsset::GetInfoURL);
  add("$bool@Asset::GetIsFavorite()", &GSOAsset::GetIsFavorite);
  add("$void@Asset::SetIsFavorite(bool)", &GSOAsset::SetIsFavorite);
  add("$Asset@Asset::GetParent()", &GSOAsset::GetParent);
  add("$string@Asset::GetCategoryEra()", &GSOAsset::GetCategoryEra);
  add("$string@Asset::GetCategoryRegion()", &GSOAsset::GetCategoryRegion);
  add("$Soup@Asset::GetSessionRuleData(string)", &GSOAsset::GetSessionRuleData);
  add("$bool@Asset::IsBuiltIn()", &GSOAsset::IsBuiltIn);
  add("$bool@Asset::IsOnTheVendaro()", &GSOAsset::IsOnTheVendaro);
}
