#include "scriptlib/GSOKUID.h"

#include <map>
#include <tuple>

#include "scriptlib/NativeBinding.h"
#include "scriptlib/ScriptNatives.h"
#include "umbclient/AssetRequests.h"

using namespace GSRuntime;
using namespace ScriptNatives;

namespace {

using RegistryKey = std::tuple<int32_t, int32_t, int32_t, const GSContext*>;

std::map<RegistryKey, GSOKUID*>& Registry() {
  static std::map<RegistryKey, GSOKUID*> registry;
  return registry;
}

RegistryKey KeyOf(const GSContext* context, const KUID& kuid) {
  return RegistryKey(kuid.user, kuid.content, kuid.version, context);
}

}  // namespace

// ------------------------------------------------------------ KUID

GSOKUID::GSOKUID(GSContext* context, const KUID& kuid) : m_kuid(kuid), m_owner(context) {
  // A failed bind leaves no handle, which NewScriptObject tests.
  (void)BindScriptClass(ScriptClasses().kuid, context);
}

GSOKUID::~GSOKUID() {
  if (m_registered) Registry().erase(KeyOf(m_owner, m_kuid));
}

GSOKUID* GetKUIDObject(GSContext* context, const KUID& kuid) {
  auto& registry = Registry();
  const auto found = registry.find(KeyOf(context, kuid));
  if (found != registry.end()) {
    AddReference(found->second->GetScriptHandle());
    return found->second;
  }
  auto* object = new GSOKUID(context, kuid);
  if (!object->GetScriptHandle()) {
    delete object;
    return nullptr;
  }
  registry.emplace(KeyOf(context, kuid), object);
  object->m_registered = true;
  return object;
}

void ReleaseContextKUIDObjects(GSContext* context) {
  auto& registry = Registry();
  for (auto it = registry.begin(); it != registry.end();) {
    if (std::get<3>(it->first) != context) {
      ++it;
      continue;
    }
    GSOKUID* object = it->second;
    it = registry.erase(it);
    object->m_registered = false;
    AddReference(object->GetScriptHandle());  // the instance is detached, not destroyed
    delete object;
  }
}

size_t CountKUIDObjects() { return Registry().size(); }

KUID GetBaseKUID(const KUID& kuid) {
  const int32_t top = kuid.user >> 25;
  if (top != 0 && top != -1) return KUID::Null();
  return KUID::FromUserContent(kuid.user, kuid.content);
}

void GSOKUID::GetLogString(GSStack& stack) {
  PushNativeStringResult(stack, Context(), FormatKUIDTag(m_kuid));
}

void GSOKUID::GetHTMLString(GSStack& stack) {
  PushNativeStringResult(stack, Context(), FormatKUIDTag(m_kuid));
}

void GSOKUID::GetBaseString(GSStack& stack) {
  PushNativeStringResult(stack, Context(), m_kuid.GetBaseString());
}

void GSOKUID::GetBaseKUID(GSStack& stack) {
  PushObject(stack, GetKUIDObject(Context(), ::GetBaseKUID(m_kuid)), false);
}

void GSOKUID::GetName(GSStack& stack) { PushNativeStringResult(stack, Context(), GetAssetName(m_kuid)); }

void GSOKUID::RegisterNatives(GSMachine& machine) {
  const char* const k = "KUID";
  AddNative(machine, k, "$string@KUID::GetLogString()", &GSOKUID::GetLogString);
  AddNative(machine, k, "$string@KUID::GetHTMLString()", &GSOKUID::GetHTMLString);
  AddNative(machine, k, "$string@KUID::GetBaseString()", &GSOKUID::GetBaseString);
  AddNative(machine, k, "$KUID@KUID::GetBaseKUID()", &GSOKUID::GetBaseKUID);
  AddNative(machine, k, "$string@KUID::GetName()", &GSOKUID::GetName);
}

// ------------------------------------------------------------ KUIDList

GSOKUIDList::GSOKUIDList(GSContext* context) : m_locked(false) {
  // A failed bind leaves no handle, which NewScriptObject tests.
  (void)BindScriptClass(ScriptClasses().kuidList, context);
}

GSOKUIDList::GSOKUIDList(GSContext* context, const List& list) : m_locked(true) {
  // A KUID already listed is not listed twice.
  for (auto it = list.begin(); !it.IsEnd(); it.Next()) (void)Add(*it);
  // A failed bind leaves no handle, which NewScriptObject tests.
  (void)BindScriptClass(ScriptClasses().kuidList, context);
}

GSOKUIDList* GSOKUIDList::Create(GSContext* context) { return NewScriptObject<GSOKUIDList>(context); }

bool GSOKUIDList::Add(const KUID& kuid) {
  if (!m_index.insert(kuid).second) return false;
  m_list.PushBack(kuid);
  return true;
}

bool GSOKUIDList::Remove(const KUID& kuid) {
  if (!m_index.erase(kuid)) return false;
  m_list.Erase(m_list.Find(kuid));
  return true;
}

void GSOKUIDList::CopyFrom(const GSOKUIDList& other) {
  if (&other == this) return;  // emptying first would lose the entries
  Clear();
  // A KUID already listed is not listed twice.
  for (auto it = other.m_list.begin(); !it.IsEnd(); it.Next()) (void)Add(*it);
}

void GSOKUIDList::Clear() {
  m_list.FreeBlocks();
  m_index.clear();
}

bool GSOKUIDList::Unlocked(const char* text) const {
  if (m_locked) Raise(text);
  return !m_locked;
}

void GSOKUIDList::IsLocked(GSStack& stack) { PushNativeBoolResult(stack, m_locked); }

void GSOKUIDList::CountKUIDs(GSStack& stack) { PushNativeResult(stack, uint32_t(Count())); }

void GSOKUIDList::NativeClear(GSStack&) {
  if (Unlocked("KUIDList.Clear> list is locked")) Clear();
}

void GSOKUIDList::Copy(GSStack& stack) {
  if (!Unlocked("KUIDList.Copy> list is locked")) return;
  GSOKUIDList* source = nullptr;
  if (GetNativeParameter(stack, 1, source, false)) CopyFrom(*source);
}

void GSOKUIDList::HasKUID(GSStack& stack) {
  GSOKUID* kuid = nullptr;
  if (!GetNativeParameter(stack, 1, kuid, false)) return PushNativeResult(stack, 0);
  PushNativeBoolResult(stack, Has(kuid->Kuid()));
}

void GSOKUIDList::RemoveKUID(GSStack& stack) {
  if (!Unlocked("KUIDList.Copy> list is locked")) return;
  GSOKUID* kuid = nullptr;
  // A KUID not listed has nothing to remove.
  if (GetNativeParameter(stack, 1, kuid, false)) (void)Remove(kuid->Kuid());
}

void GSOKUIDList::AddKUID(GSStack& stack) {
  if (!Unlocked("KUIDList.Copy> list is locked")) return;
  GSOKUID* kuid = nullptr;
  // A KUID already listed is not listed twice.
  if (GetNativeParameter(stack, 1, kuid, false)) (void)Add(kuid->Kuid());
}

void GSOKUIDList::GetIndexedKUID(GSStack& stack) {
  const uint32_t index = stack.Argument(1);  // unsigned: a negative index is out of range
  if (index >= Count()) {
    Raise("KUIDList.GetIndexedKUID> index out of range");
    return PushNativeResult(stack, 0);
  }
  List::Iterator it = m_list.begin();
  it.Advance(index);
  PushObject(stack, GetKUIDObject(Context(), *it), false);
}

void GSOKUIDList::RegisterNatives(GSMachine& machine) {
  const char* const k = "KUIDList";
  AddNative(machine, k, "$bool@KUIDList::IsLocked()", &GSOKUIDList::IsLocked);
  AddNative(machine, k, "$int@KUIDList::CountKUIDs()", &GSOKUIDList::CountKUIDs);
  AddNative(machine, k, "$void@KUIDList::Clear()", &GSOKUIDList::NativeClear);
  AddNative(machine, k, "$void@KUIDList::Copy(KUIDList)", &GSOKUIDList::Copy);
  AddNative(machine, k, "$bool@KUIDList::HasKUID(KUID)", &GSOKUIDList::HasKUID);
  AddNative(machine, k, "$void@KUIDList::RemoveKUID(KUID)", &GSOKUIDList::RemoveKUID);
  AddNative(machine, k, "$void@KUIDList::AddKUID(KUID)", &GSOKUIDList::AddKUID);
  AddNative(machine, k, "$KUID@KUIDList::GetIndexedKUID(int)", &GSOKUIDList::GetIndexedKUID);
}
