#include "scriptlib/RovanaScriptContext.h"

#include <memory>

#include "foundation/Jobs.h"
#include "foundation/Log.h"
#include "gamescript/runtime/DateTime.h"
#include "gamescript/runtime/ScriptLogHook.h"
#include "kiv/Clock.h"
#include "kiv/String.h"
#include "scriptlib/GSOAsset.h"
#include "scriptlib/GSOKUID.h"
#include "scriptlib/GSOLibrary.h"
#include "scriptlib/GSOSoup.h"
#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"
#include "umbclient/AssetRequests.h"
#include "umbclient/AssetTypes.h"
#include "umbclient/Filter.h"

using namespace GSRuntime;
using namespace ScriptNatives;

RovanaScriptContext::~RovanaScriptContext() {
  m_world.Clear();
  ClearAssetCache(this);
  ReleaseContextKUIDObjects(this);
}

bool RovanaScriptContext::AllowAsset(const KUID&) { return true; }

SoupRef RovanaScriptContext::SystemCall(const Kiv::PString&, const SoupRef& argument) {
  GSOSoup::LogForScript(argument, "RovanaScriptBase.RovanaSystemCall");
  return SoupRef();
}

bool RovanaScriptContext::OpenURL(std::string_view) { return false; }
void RovanaScriptContext::SetSystemMenuIcon(GSOLibrary&, const KUID&, const Kiv::PString&,
                                            const Kiv::PString&, bool) {}
void RovanaScriptContext::BlinkSystemMenuIcon(GSOLibrary&, int32_t) {}
void RovanaScriptContext::ShowSystemMenuIconMenu(GSOLibrary&, GSObjectReference*) {}
void RovanaScriptContext::LibraryCreated(GSOLibrary&) {}

// ------------------------------------------------------------ libraries

GSOLibrary* RovanaScriptContext::GetScriptLibrary(const KUID& kuid) {
  if (kuid.IsNull()) return nullptr;
  SpecRegistry* registry = SpecRegistry::Instance();
  SpecRef spec =
      registry
          ? registry->FindOrCreate(
                kuid, [](GizmokitSpec& s) { return dynamic_cast<GSOLibrarySpec*>(&s) != nullptr; }, false)
          : SpecRef();
  auto* librarySpec = dynamic_cast<GSOLibrarySpec*>(spec.Get());
  if (!librarySpec) {
    LogLine("RovanaScriptContext::GetScriptLibrary> unable to find Library %s", FormatKUIDTag(kuid).c_str());
    return nullptr;
  }
  GSOLibrary* found = nullptr;
  m_world.ForEach([&](uint32_t, WorldListItem* item) {
    auto* library = dynamic_cast<GSOLibrary*>(item);
    if (!found && library && library->GetSpec().Get() == librarySpec) found = library;
  });
  if (found) return found;
  if (m_listLocks) {
    LogLine("RovanaScriptContext::GetScriptLibrary> attempted while list is locked");
    return nullptr;
  }
  std::unique_ptr<WorldListItem> made = librarySpec->CreateLibraryObject(*this);
  auto* library = static_cast<GSOLibrary*>(made.get());
  if (!library || m_world.Add(made) == WorldList::kNoIndex) {
    LogLine("RovanaScriptContext::GetScriptLibrary> unable to create instance of Library %s",
            FormatKUIDTag(kuid).c_str());
    return nullptr;
  }
  LibraryCreated(*library);
  library->Initialise();
  if (library->Failed()) {
    LogLine("RovanaScriptContext::GetScriptLibrary> script failure on Library %s",
            FormatKUIDTag(kuid).c_str());
    // Deleted with its plug-in: a later lookup starts afresh.
    m_world.Remove(library);
    return nullptr;
  }
  return library;
}

bool RovanaScriptContext::SaveWorld(TStream& stream) {
  ++m_listLocks;
  const bool saved = m_world.Save(stream, 0, 0);
  --m_listLocks;
  return saved;
}

void RovanaScriptContext::LoadWorld(TStream& stream) {
  ++m_listLocks;
  m_world.Load(stream, false, 0);
  --m_listLocks;
}

float NormalizedTimeOfDay(int hour, int minute, int second) {
  const float s = float(minute * 60 + hour * 3600 + second);
  float t = s / 86400.0f;
  t = t + 0.5f;
  if (t > 1.0f) t = t - 1.0f;
  return t;
}

// ------------------------------------------------------------ clock

void RovanaScriptContext::GetSeconds(GSStack& stack) { stack.PushFloat(ProcessClock::SecondsFloat()); }

void RovanaScriptContext::GetNormalizedSystemTime(GSStack& stack) {
  const Kiv::LocalTime now = Kiv::Clock::Now();
  stack.PushFloat(NormalizedTimeOfDay(now.hour, now.minute, now.second));
}

void RovanaScriptContext::GetSystemYear(GSStack& stack) { stack.Push(uint32_t(Kiv::Clock::Now().year)); }
void RovanaScriptContext::GetSystemMonth(GSStack& stack) { stack.Push(uint32_t(Kiv::Clock::Now().month)); }
void RovanaScriptContext::GetSystemDate(GSStack& stack) { stack.Push(uint32_t(Kiv::Clock::Now().day)); }
void RovanaScriptContext::GetSystemHour(GSStack& stack) { stack.Push(uint32_t(Kiv::Clock::Now().hour)); }
void RovanaScriptContext::GetSystemMinute(GSStack& stack) { stack.Push(uint32_t(Kiv::Clock::Now().minute)); }
void RovanaScriptContext::GetSystemSecond(GSStack& stack) { stack.Push(uint32_t(Kiv::Clock::Now().second)); }

// ------------------------------------------------------------ assets

void RovanaScriptContext::FindAsset(GSStack& stack) {
  GSOKUID* kuid = nullptr;
  if (!GetNativeParameter(stack, 1, kuid, false)) return stack.Push(0), void();
  PushObject(stack, GSOAsset::FindOrCreate(this, kuid->Kuid()), false);
}

namespace {

std::unique_ptr<UMBFilterElement> Flag(UMBAssetState state) {
  return std::make_unique<UMBFilterElementBool>(uint8_t(state));
}

void AddLocalFlags(UMBFilterElementGroup& group) {
  group.Add(Flag(kStateLocal));
  group.Add(Flag(kStateLocallyAvailable));
  group.Add(Flag(kStateLocallyEnabled));
}

// Reading one asset row of the database and testing it against a query takes
// about as long as copying this many bytes.
constexpr uint64_t kAssetRowBytes = 16384;

// Runs the query, paying for every asset row it reads, listed or not.
std::vector<KUID> PaidQuery(const UMBFilterElementGroup& group) {
  uint64_t rows = 0;
  std::vector<KUID> found = UMBRunQuery(group, &rows);
  PayRunBudget(rows * kAssetRowBytes);
  return found;
}

// A new object array of the context filled with one object per KUID (those
// for which none can be made are skipped); its handle, or 0.
template <class Make>
uint32_t MakeObjectArray(GSContext* context, const std::vector<KUID>& kuids, Make make) {
  GSArray* array = GSArray::Create(context, true);
  if (!array) return 0;
  // Each object listed costs what copying this many bytes does.
  PayRunBudget(kuids.size() * kBytesPerBudgetByte);
  std::size_t next = 0;
  for (const KUID& kuid : kuids) {
    const GSObjectReference* object = make(kuid);
    if (!object) continue;
    const uint32_t handle = object->GetScriptHandle();
    if (array->SetObjectElement(next, handle)) ++next;
    ReleaseHandle(handle);  // the array holds its own reference now
  }
  return array->GetScriptHandle();
}

}  // namespace

void RovanaScriptContext::PushAssetList(GSStack& stack, const std::string& type,
                                        const std::string& categories, bool excludeFaulty) {
  std::vector<KUID> found;
  if (!categories.empty()) {
    UMBFilterElementGroup group(1, 0);
    AddLocalFlags(group);
    group.Add(Flag(kStateListingPrivilege));
    UMBFilterElementGroup::AddGroup(group, Flag(kStateObsolete));
    if (excludeFaulty) UMBFilterElementGroup::AddGroup(group, Flag(kStateFaulty));
    group.Add(std::make_unique<UMBFilterElementString>(UMBFilterElementString::kCategoryList, categories));
    found = PaidQuery(group);
  }
  if (found.empty()) LogLine("World.GetAssetList> warning: found zero assets of type '%s'", type.c_str());
  stack.Push(MakeObjectArray(this, found, [this](const KUID& k) { return GSOAsset::FindOrCreate(this, k); }));
}

void RovanaScriptContext::GetAssetList(GSStack& stack) {
  std::string type;
  if (!GetNativeStringParameter(stack, 1, type, false)) return stack.Push(0), void();
  type = Kiv::ToLowerAscii(type);
  PushAssetList(stack, type, LookupAssetTypeCategories(type, ""), true);
}

void RovanaScriptContext::GetAssetListExtra(GSStack& stack) {
  std::string type, extra;
  if (!GetNativeStringParameter(stack, 1, type, false) || !GetNativeStringParameter(stack, 2, extra, false))
    return stack.Push(0), void();
  type = Kiv::ToLowerAscii(type);
  std::string categories = LookupAssetTypeCategories(type, "");
  // An unknown type stays unknown: the extra categories alone would list
  // assets of every type.
  if (!categories.empty()) categories = AddTagsToList(categories, Kiv::ToUpperAscii(extra));
  PushAssetList(stack, type, categories, false);
}

void RovanaScriptContext::SearchAssets(GSStack& stack) {
  std::string text;
  if (!GetNativeStringParameter(stack, 1, text, false)) return stack.Push(0), void();
  const bool localOnly = GetNativeBoolParameter(stack, 2);
  UMBFilterElementGroup group(1, 0);
  if (localOnly) AddLocalFlags(group);
  group.Add(Flag(kStateListingPrivilege));
  UMBFilterElementGroup::AddGroup(group, Flag(kStateObsolete));
  group.Add(std::make_unique<UMBFilterElementString>(UMBFilterElementString::kCategoryList,
                                                     Kiv::ToUpperAscii(text)));
  stack.Push(
      MakeObjectArray(this, PaidQuery(group), [this](const KUID& k) { return GetKUIDObject(this, k); }));
}

void RovanaScriptContext::FindUpdatedAssets(GSStack& stack) {
  UMBFilterElementGroup group(1, 0);
  group.Add(Flag(kStateLocal));
  UMBFilterElementGroup::AddGroup(group, Flag(kStateObsolete));
  UMBFilterElementGroup::AddGroup(group, Flag(kStateUpToDate));
  stack.Push(MakeObjectArray(this, PaidQuery(group), [this](const KUID& k) {
    return GSOAsset::FindOrCreate(this, UMBGetUpdatedKUID(k));
  }));
}

// ------------------------------------------------------------ hooks, log, version

void RovanaScriptContext::RovanaSystemCall(GSStack& stack) {
  Kiv::PString name;
  GSOSoup* argument = nullptr;
  if (!GetNativePStringParameter(stack, 1, name, false) || !GetNativeParameter(stack, 2, argument, false))
    return stack.Push(0), void();
  const SoupRef result = SystemCall(name, argument->Soup());
  PushObject(stack, GSOSoup::Create(this, result, false), false);
}

void RovanaScriptContext::NativeOpenURL(GSStack& stack) {
  std::string url;
  if (!GetNativeStringParameter(stack, 1, url, false)) return stack.Push(0), void();
  PushNativeBoolResult(stack, OpenURL(url));
}

void RovanaScriptContext::Log(GSStack& stack) {
  // Null or another object logs an empty line. The text is not copied before it is paid for.
  const GSObjectReference* object = GetObject(stack.Argument(1));
  const std::string_view line = object && object->Type() == ObjectString
                                    ? std::string_view(static_cast<const GSString*>(object)->Text())
                                    : std::string_view();
  if (!PayForOutput(line.size())) return Raise("World.Log> the text would pass the run budget");
  if (ScriptLogHook) ScriptLogHook("%.*s", int(line.size()), line.data());
}

void RovanaScriptContext::GetRovanaVersion(GSStack& stack) { stack.PushFloat(kVersion); }
void RovanaScriptContext::GetRovanaBuild(GSStack& stack) { stack.Push(uint32_t(kBuild)); }

void RovanaScriptContext::CloneKUID(GSStack& stack) {
  GSOKUID* kuid = nullptr;
  if (!GetNativeParameter(stack, 1, kuid, false)) return stack.Push(0), void();
  PushObject(stack, GetKUIDObject(this, kuid->Kuid()), false);
}

void RovanaScriptContext::GetLibrary(GSStack& stack) {
  GSOKUID* kuid = nullptr;
  if (!GetNativeParameter(stack, 1, kuid, false)) return stack.Push(0), void();
  if (GSOLibrary* library = GetScriptLibrary(kuid->Kuid()))
    // A string not made pushes nothing; the return then fails the call.
    (void)stack.PushObject(library, ScriptClasses().library);
  else
    stack.Push(0);
}

void RovanaScriptContext::RegisterNatives(GSMachine& machine) {
  using Self = RovanaScriptContext;
  const auto add = [&machine](const char* key, void (Self::*function)(GSStack&)) {
    machine.RegisterNative(
        std::make_unique<GSCPPContextNativeFunction<Self>>("RovanaScriptBase", key, function));
  };
  add("$float@RovanaScriptBase::GetSeconds()", &Self::GetSeconds);
  add("$float@RovanaScriptBase::GetNormalizedSystemTime()", &Self::GetNormalizedSystemTime);
  add("$int@RovanaScriptBase::GetSystemYear()", &Self::GetSystemYear);
  add("$int@RovanaScriptBase::GetSystemMonth()", &Self::GetSystemMonth);
  add("$int@RovanaScriptBase::GetSystemDate()", &Self::GetSystemDate);
  add("$int@RovanaScriptBase::GetSystemHour()", &Self::GetSystemHour);
  add("$int@RovanaScriptBase::GetSystemMinute()", &Self::GetSystemMinute);
  add("$int@RovanaScriptBase::GetSystemSecond()", &Self::GetSystemSecond);
  add("$Library@RovanaScriptBase::GetLibrary(KUID)", &Self::GetLibrary);
  add("$Asset@RovanaScriptBase::FindAsset(KUID)", &Self::FindAsset);
  add("$Asset[]@RovanaScriptBase::GetAssetList(string)", &Self::GetAssetList);
  add("$Asset[]@RovanaScriptBase::GetAssetList(string,string)", &Self::GetAssetListExtra);
  add("$KUID[]@RovanaScriptBase::SearchAssets(string,bool)", &Self::SearchAssets);
  add("$Asset[]@RovanaScriptBase::FindUpdatedAssets()", &Self::FindUpdatedAssets);
  add("$Soup@RovanaScriptBase::RovanaSystemCall(string,Soup)", &Self::RovanaSystemCall);
  add("$bool@RovanaScriptBase::OpenURL(string)", &Self::NativeOpenURL);
  add("$void@RovanaScriptBase::Log(string)", &Self::Log);
  add("$float@RovanaScriptBase::GetRovanaVersion()", &Self::GetRovanaVersion);
  add("$int@RovanaScriptBase::GetRovanaBuild()", &Self::GetRovanaBuild);
  add("$KUID@RovanaScriptBase::CloneKUID(KUID)", &Self::CloneKUID);
}
