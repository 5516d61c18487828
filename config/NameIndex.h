#pragma once
// An index from interned names to a number, in one flat table (open
// addressing, keyed by the name's handle). A config of 100,000 tags indexes
// its names twice; a node per name would cost an allocation each and a
// cache miss on every look-up once the tree outgrows the cache.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kiv/PString.h"

namespace OBLLib {

template <class Value>
class NameIndex {
public:
  void Clear() {
    if (m_used) m_slots.assign(m_slots.size(), Slot());
    m_used = 0;
  }
  size_t Size() const { return m_used; }

  // The value of the name, or null.
  const Value* Find(const Kiv::PString& name) const {
    if (m_slots.empty() || name.IsNull()) return nullptr;
    for (size_t i = Home(name);; i = (i + 1) & (m_slots.size() - 1)) {
      const Slot& slot = m_slots[i];
      if (slot.name.IsNull()) return nullptr;
      if (slot.name == name) return &slot.value;
    }
  }

  // The value of the name, added as `value` when the name is new.
  Value& Insert(const Kiv::PString& name, Value value) {
    if ((m_used + 1) * 2 > m_slots.size()) Grow();
    for (size_t i = Home(name);; i = (i + 1) & (m_slots.size() - 1)) {
      Slot& slot = m_slots[i];
      if (slot.name == name) return slot.value;
      if (slot.name.IsNull()) {
        slot.name = name;
        slot.value = value;
        ++m_used;
        return slot.value;
      }
    }
  }

private:
  struct Slot {
    Kiv::PString name;  // null: free
    Value value{};
  };

  size_t Home(const Kiv::PString& name) const {
    const auto h = reinterpret_cast<uintptr_t>(name.Handle()) * UINT64_C(0x9E3779B97F4A7C15);
    return static_cast<size_t>(h >> 32) & (m_slots.size() - 1);
  }

  void Grow() {
    std::vector<Slot> old(m_slots.empty() ? 16 : m_slots.size() * 2);
    old.swap(m_slots);
    for (Slot& slot : old) {
      if (slot.name.IsNull()) continue;
      size_t i = Home(slot.name);
      while (!m_slots[i].name.IsNull()) i = (i + 1) & (m_slots.size() - 1);
      m_slots[i] = std::move(slot);
    }
  }

  std::vector<Slot> m_slots;
  size_t m_used = 0;
};

}  // namespace OBLLib
