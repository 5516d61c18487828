#pragma once
// The script classes "KUID" and "KUIDList".
//
// A KUID object is immutable, and within one script context there is at most
// one per identifier at a time: GetKUIDObject gives the same object again
// while it lives. A KUID list is ordered, holds each identifier once and may
// be locked (then "KUIDList.<native>> list is locked" refuses changes).
#include <unordered_map>

#include "foundation/BlockList.h"
#include "foundation/KUID.h"
#include "gamescript/runtime/Machine.h"
#include "gamescript/runtime/Objects.h"

class GSOKUID : public GSRuntime::GSObject {
public:
  ~GSOKUID() override;
  const KUID& Kuid() const { return m_kuid; }
  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  friend GSOKUID* GetKUIDObject(GSRuntime::GSContext* context, const KUID& kuid);
  friend void ReleaseContextKUIDObjects(GSRuntime::GSContext* context);
  GSOKUID(GSRuntime::GSContext* context, const KUID& kuid);

  void GetLogString(GSRuntime::GSStack& stack);
  void GetHTMLString(GSRuntime::GSStack& stack);
  void GetBaseString(GSRuntime::GSStack& stack);
  void GetBaseKUID(GSRuntime::GSStack& stack);
  void GetName(GSRuntime::GSStack& stack);

  KUID m_kuid;
  GSRuntime::GSContext* m_owner;  // the registry key, kept after the instance goes
  bool m_registered = false;
};

// The KUID object of (context, kuid), with one reference for the caller:
// the living one when there is one, else a new one. Null when none can be made.
GSOKUID* GetKUIDObject(GSRuntime::GSContext* context, const KUID& kuid);
// Deletes every KUID object of the context; scripts that still hold one keep
// an instance without a native object.
void ReleaseContextKUIDObjects(GSRuntime::GSContext* context);
// How many KUID objects live (all contexts).
size_t CountKUIDObjects();

// The base identifier of a KUID: version 0 for a user id >= 0, 127 for a
// negative one; the null KUID when the user id does not fit in 25 bits.
KUID GetBaseKUID(const KUID& kuid);

class GSOKUIDList : public GSRuntime::GSObject {
public:
  using List = BlockList<KUID, 128>;
  // Empty and unlocked.
  explicit GSOKUIDList(GSRuntime::GSContext* context);
  // A locked copy of `list`.
  GSOKUIDList(GSRuntime::GSContext* context, const List& list);
  ~GSOKUIDList() override;
  // A new object for a script, or null (the caller owns the one reference).
  static GSOKUIDList* Create(GSRuntime::GSContext* context);

  [[nodiscard]] bool Locked() const { return m_locked; }
  const List& Kuids() const { return m_list; }
  // Appends when absent; true when it was appended.
  [[nodiscard]] bool Add(const KUID& kuid);
  // Removes it keeping the order of the rest; true when it was there.
  [[nodiscard]] bool Remove(const KUID& kuid);
  [[nodiscard]] bool Has(const KUID& kuid) const { return m_index.count(kuid) != 0; }
  size_t Count() const { return m_index.size(); }
  // Becomes a copy of other (itself: unchanged).
  void CopyFrom(const GSOKUIDList& other);
  void Clear();

  static void RegisterNatives(GSRuntime::GSMachine& machine);

private:
  struct Hash {
    size_t operator()(const KUID& k) const {
      return std::hash<uint64_t>()(uint64_t(uint32_t(k.user)) << 32 ^ uint32_t(k.content) ^
                                   uint64_t(uint32_t(k.version)) << 25);
    }
  };
  [[nodiscard]] bool Unlocked(const char* text) const;
  // Counts `count` entries of an unlocked list against the script memory
  // limit in place of what was counted; false, with nothing changed, when
  // more would pass it, and the thread gets "<native>> the list would pass
  // the script memory limit".
  [[nodiscard]] bool CountEntries(size_t count, const char* native);

  void IsLocked(GSRuntime::GSStack& stack);
  void CountKUIDs(GSRuntime::GSStack& stack);
  void NativeClear(GSRuntime::GSStack& stack);
  void Copy(GSRuntime::GSStack& stack);
  void HasKUID(GSRuntime::GSStack& stack);
  void RemoveKUID(GSRuntime::GSStack& stack);
  void AddKUID(GSRuntime::GSStack& stack);
  void GetIndexedKUID(GSRuntime::GSStack& stack);

  List m_list;  // insertion order
  // The block of each entry: membership, so adding stays linear, and where
  // removing finds the entry without walking the list.
  std::unordered_map<KUID, List::Block*, Hash> m_index;
  // The last entry GetIndexedKUID reached and its index, so a walk up the
  // list goes on from there; null after a change that moves entries.
  List::Block* m_cursorBlock = nullptr;
  size_t m_cursorEntry = 0, m_cursorIndex = 0;
  bool m_locked;
  uint64_t m_counted = 0;  // bytes counted against the script memory limit
};
