#include "scriptlib/GSOKUID.h"

#include <algorithm>
#include <map>
#include <string>
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

GSOKUIDList::~GSOKUIDList() { ScriptMemory::Give(m_counted); }

GSOKUIDList* GSOKUIDList::Create(GSContext* context) { return NewScriptObject<GSOKUIDList>(context); }

namespace {

// What one entry holds: the KUID in the ordered list and in a node of the
// index with its block.
constexpr uint64_t kKUIDEntryBytes = 2 * sizeof(KUID) + 4 * sizeof(void*);
// Stepping to the next block costs what copying this many bytes does.
constexpr uint64_t kBlockStepBytes = 64;

}  // namespace

bool GSOKUIDList::CountEntries(size_t count, const char* native) {
  const uint64_t bytes = m_locked ? 0 : count * kKUIDEntryBytes;
  if (bytes > m_counted && !ScriptMemory::Take(bytes - m_counted)) {
    Raise((std::string(native) + "> the list would pass the script memory limit").c_str());
    return false;
  }
  if (bytes < m_counted) ScriptMemory::Give(m_counted - bytes);
  m_counted = bytes;
  return true;
}

bool GSOKUIDList::Add(const KUID& kuid) {
  const auto [entry, added] = m_index.try_emplace(kuid, nullptr);
  if (!added) return false;
  m_list.PushBack(kuid);
  entry->second = m_list.FirstBlock()->prev;  // appending moves no entry before it
  return true;
}

bool GSOKUIDList::Remove(const KUID& kuid) {
  const auto entry = m_index.find(kuid);
  if (entry == m_index.end()) return false;
  List::Block* block = entry->second;
  m_index.erase(entry);
  size_t at = 0;
  while (!(block->entries[at] == kuid)) ++at;
  m_list.Erase(List::Iterator(&m_list, block, at));
  m_cursorBlock = nullptr;
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
  m_cursorBlock = nullptr;
}

bool GSOKUIDList::Unlocked(const char* text) const {
  if (m_locked) Raise(text);
  return !m_locked;
}

void GSOKUIDList::IsLocked(GSStack& stack) { PushNativeBoolResult(stack, m_locked); }

void GSOKUIDList::CountKUIDs(GSStack& stack) { PushNativeResult(stack, uint32_t(Count())); }

void GSOKUIDList::NativeClear(GSStack&) {
  if (!Unlocked("KUIDList.Clear> list is locked")) return;
  PayRunBudget(Count() * kKUIDEntryBytes);  // every entry is let go
  Clear();
  (void)CountEntries(0, "KUIDList.Clear");  // fewer entries always fit
}

void GSOKUIDList::Copy(GSStack& stack) {
  if (!Unlocked("KUIDList.Copy> list is locked")) return;
  GSOKUIDList* source = nullptr;
  if (!GetNativeParameter(stack, 1, source, false)) return;
  PayRunBudget(source->Count() * kKUIDEntryBytes);
  if (!CountEntries(std::max(Count(), source->Count()), "KUIDList.Copy")) return;
  CopyFrom(*source);
  (void)CountEntries(Count(), "KUIDList.Copy");  // no more than was counted before the copy
}

void GSOKUIDList::HasKUID(GSStack& stack) {
  GSOKUID* kuid = nullptr;
  if (!GetNativeParameter(stack, 1, kuid, false)) return PushNativeResult(stack, 0);
  PushNativeBoolResult(stack, Has(kuid->Kuid()));
}

void GSOKUIDList::RemoveKUID(GSStack& stack) {
  if (!Unlocked("KUIDList.Copy> list is locked")) return;
  GSOKUID* kuid = nullptr;
  if (!GetNativeParameter(stack, 1, kuid, false)) return;
  // A KUID not listed has nothing to remove.
  (void)Remove(kuid->Kuid());
  (void)CountEntries(Count(), "KUIDList.RemoveKUID");  // fewer entries always fit
}

void GSOKUIDList::AddKUID(GSStack& stack) {
  if (!Unlocked("KUIDList.Copy> list is locked")) return;
  GSOKUID* kuid = nullptr;
  if (!GetNativeParameter(stack, 1, kuid, false)) return;
  if (!Has(kuid->Kuid()) && !CountEntries(Count() + 1, "KUIDList.AddKUID")) return;
  (void)Add(kuid->Kuid());  // a KUID already listed is not listed twice
}

void GSOKUIDList::GetIndexedKUID(GSStack& stack) {
  const uint32_t index = stack.Argument(1);  // unsigned: a negative index is out of range
  if (index >= Count()) {
    Raise("KUIDList.GetIndexedKUID> index out of range");
    return PushNativeResult(stack, 0);
  }
  List::Block* block = m_list.FirstBlock();
  size_t entry = 0, at = 0;
  if (m_cursorBlock && index >= m_cursorIndex) {
    block = m_cursorBlock;
    entry = m_cursorEntry;
    at = m_cursorIndex;
  }
  uint64_t steps = 0;
  for (; at + (block->count - entry) <= index; ++steps) {
    at += block->count - entry;
    block = block->next;
    entry = 0;
  }
  PayRunBudget(steps * kBlockStepBytes);
  entry += index - at;
  m_cursorBlock = block;
  m_cursorEntry = entry;
  m_cursorIndex = index;
  PushObject(stack, GetKUIDObject(Context(), block->entries[entry]), false);
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
