#pragma once
// The handles that script value cells hold: an index into the machine's
// table of live views, with a generation in its top bits, so that a freed
// view is reused only with the next generation and a stale handle never
// reaches a later object. Each instance has one view per class block (its
// own class first, then each ancestor).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace GSRuntime {

class GSScriptInstance;

struct HandleView {
  GSScriptInstance* instance = nullptr;
  uint32_t block = 0;         // word offset of the class block within the instance
  uint32_t dispatchBase = 0;  // first function-table position of that block's class
};

class HandleTable {
public:
  static constexpr uint32_t kIndexBits = 24;
  static constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;

  // The machine's table (MachineState.h); inline and without a guard:
  // every handle a script touches goes through it.
  static HandleTable& Instance();

  // A new handle for the view; 0 when the table is full.
  uint32_t Add(const HandleView& view);
  // Frees the handle's slot for reuse under the next generation.
  void Remove(uint32_t handle);
  // The view of a live handle; null for 0, stale or unknown handles.
  const HandleView* Find(uint32_t handle) const {
    const uint32_t index = handle & kIndexMask;
    if (index >= m_count) return nullptr;
    const Slot& s = m_slots[index];
    return s.handle == handle ? &s.view : nullptr;
  }
  // The instance behind a live handle, or null.
  GSScriptInstance* Get(uint32_t handle) const {
    const HandleView* v = Find(handle);
    return v ? v->instance : nullptr;
  }
  std::size_t LiveCount() const { return m_live; }

private:
  struct Slot {
    HandleView view;
    // The live handle of the slot, which is never one with index 0 while
    // the slot is free or retired: one comparison finds a live handle.
    uint32_t handle = 0;
    uint32_t generation = 0;
    uint32_t nextFree = 0;
  };
  // Held by slot 0, the null handle's: its index is not 0, so that no handle
  // is ever found there.
  static constexpr uint32_t kNullSlotHandle = 1;
  std::vector<Slot> m_slots;  // slot 0 is made with the first handle
  uint32_t m_count = 0;       // m_slots' size
  uint32_t m_free = 0;
  std::size_t m_live = 0;
};

}  // namespace GSRuntime
