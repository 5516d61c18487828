#pragma once
// An index from interned names to a number, in one flat table (open
// addressing, keyed by the name's handle). A config of 100,000 tags indexes
// its names twice; a node per name would cost an allocation each and a
// cache miss on every look-up once the tree outgrows the cache.
//
// The index holds no reference to its names: filling, clearing or dropping
// it then touches only its own table, not every name's shared entry in
// hash order. Whoever fills it keeps the names alive while it is in use (the
// tags or the soup it indexes) and checks what a look-up finds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kiv/Memory.h"
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
  // Room for n names without growing: filling a large index then writes each
  // slot once instead of moving every name at each doubling. The table takes
  // just that room, not the next power of two (which for a million names
  // would be 2^21 slots, 25 MB, rather than 15 MB).
  void Reserve(size_t n) {
    const size_t slots = std::max<size_t>(16, (n * 5 + kMaxLoadOf5 - 1) / kMaxLoadOf5);
    if (slots > m_slots.size()) Grow(slots);
  }

  // Calls f(value) on the value of every name.
  template <class F>
  void ForEachValue(F f) {
    for (Slot& slot : m_slots)
      if (!slot.Empty()) f(slot.value);
  }

  // Starts reading the slot where a look-up of the name begins, so that a
  // look-up soon after need not wait for it in a table larger than the cache.
  void Prefetch(const Kiv::PString& name) const {
    if (!m_slots.empty()) __builtin_prefetch(&m_slots[Home(Key(name))]);
  }

  // The value of the name, or null.
  const Value* Find(const Kiv::PString& name) const {
    if (m_slots.empty() || name.IsNull()) return nullptr;
    const uint64_t handle = Key(name);
    if (const Slot* last = Last(handle)) return &last->value;
    for (size_t i = Home(handle);; i = Next(i)) {
      const Slot& slot = m_slots[i];
      if (slot.Empty()) return nullptr;
      if (slot.Name() == handle) {
        m_last = i;
        return &slot.value;
      }
    }
  }

  // The value of the name, added as `value` when the name is new. The null
  // name is never indexed: its value is a scratch one.
  Value& Insert(const Kiv::PString& name, Value value) {
    if (name.IsNull()) {
      m_scratch = value;
      return m_scratch;
    }
    if ((m_used + 1) * 5 > m_slots.size() * kMaxLoadOf5) Grow(m_slots.empty() ? 16 : m_slots.size() * 2);
    const uint64_t handle = Key(name);
    if (Last(handle)) return m_slots[m_last].value;
    for (size_t i = Home(handle);; i = Next(i)) {
      Slot& slot = m_slots[i];
      if (slot.Name() == handle) {
        m_last = i;
        return slot.value;
      }
      if (slot.Empty()) {
        slot.SetName(handle);
        slot.value = value;
        ++m_used;
        m_last = i;
        return slot.value;
      }
    }
  }

private:
  // At most four fifths full: the probes of a look-up run on in one or two
  // cache lines, and a table for n names stays near 1.5 n slots rather than
  // 2.6 n (a config of 100,000 tags: 1.5 MB, not 3 MB).
  static constexpr size_t kMaxLoadOf5 = 4;

  // The handle in two halves, so a slot with a 4-byte value takes 12 bytes
  // rather than 16.
  struct Slot {
    uint32_t low = 0, high = 0;  // the name's handle; 0: free
    Value value{};
    [[nodiscard]] bool Empty() const { return (low | high) == 0; }
    uint64_t Name() const { return uint64_t{high} << 32 | low; }
    void SetName(uint64_t handle) {
      low = static_cast<uint32_t>(handle);
      high = static_cast<uint32_t>(handle >> 32);
    }
  };

  static uint64_t Key(const Kiv::PString& name) { return reinterpret_cast<uintptr_t>(name.Handle()); }
  // The slot a look-up last ended at, when it holds the name: a tag is
  // mostly asked about twice in a row (is there one of the name, where is
  // its value), and the second look-up then needs no probe. The slot is
  // checked, so growth or clearing in between only costs the probe.
  const Slot* Last(uint64_t handle) const {
    return m_last < m_slots.size() && m_slots[m_last].Name() == handle ? &m_slots[m_last] : nullptr;
  }
  // The mixed handle's top half scaled to the table's size, which need not
  // be a power of two.
  size_t Home(uint64_t handle) const {
    const uint64_t h = (handle * UINT64_C(0x9E3779B97F4A7C15)) >> 32;
    return static_cast<size_t>((h * m_slots.size()) >> 32);
  }
  size_t Next(size_t i) const { return i + 1 == m_slots.size() ? 0 : i + 1; }

  void Grow(size_t slots) {
    Slots old(slots);
    old.swap(m_slots);
    for (const Slot& slot : old) {
      if (slot.Empty()) continue;
      size_t i = Home(slot.Name());
      while (!m_slots[i].Empty()) i = Next(i);
      m_slots[i] = slot;
    }
  }

  using Slots = std::vector<Slot, Kiv::TableAllocator<Slot>>;
  Slots m_slots;
  size_t m_used = 0;
  mutable size_t m_last = SIZE_MAX;
  Value m_scratch{};
};

}  // namespace OBLLib
