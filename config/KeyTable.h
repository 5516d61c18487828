#pragma once
// A map from a non-zero 64-bit key to a value in one flat table (open
// addressing, linear probing, taking out without leaving marks). A node per
// key would cost an allocation each and two cache misses per look-up once a
// large tree's findings outgrow the cache.
// Keys are mixed before use: serial ids a power of two apart (every
// sixteenth tag reported) would otherwise crowd a few slots of the table.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "kiv/Memory.h"

namespace OBLLib {

template <class Value>
class KeyTable {
public:
  void Clear() {
    m_slots = Slots();
    m_used = 0;
  }
  size_t Size() const { return m_used; }

  Value* Find(uint64_t key) {
    if (m_slots.empty() || !key) return nullptr;
    for (size_t i = Home(key);; i = Next(i)) {
      if (m_slots[i].key == key) return &m_slots[i].value;
      if (!m_slots[i].key) return nullptr;
    }
  }
  const Value* Find(uint64_t key) const { return const_cast<KeyTable*>(this)->Find(key); }
  // Starts reading the slot where a look-up of the key begins.
  void Prefetch(uint64_t key) const {
    if (!m_slots.empty()) __builtin_prefetch(&m_slots[Home(key)]);
  }

  // The value of the key (not 0), a new default one when the key is new.
  Value& Insert(uint64_t key) {
    if ((m_used + 1) * 4 > m_slots.size() * 3) Grow(m_slots.empty() ? 16 : m_slots.size() * 2);
    size_t i = Home(key);
    while (m_slots[i].key && m_slots[i].key != key) i = Next(i);
    if (!m_slots[i].key) {
      m_slots[i].key = key;
      ++m_used;
    }
    return m_slots[i].value;
  }

  // Takes the key out; later slots of its run move back so every key stays
  // reachable from its home slot without gaps.
  void Erase(uint64_t key) {
    if (m_slots.empty() || !key) return;
    size_t i = Home(key);
    while (m_slots[i].key != key) {
      if (!m_slots[i].key) return;
      i = Next(i);
    }
    for (size_t j = Next(i); m_slots[j].key; j = Next(j)) {
      const size_t home = Home(m_slots[j].key);
      const bool homeBetween = i <= j ? (home > i && home <= j) : (home > i || home <= j);
      if (!homeBetween) {
        m_slots[i] = std::move(m_slots[j]);
        i = j;
      }
    }
    m_slots[i] = Slot();
    --m_used;
  }

private:
  struct Slot {
    uint64_t key = 0;  // 0: free
    Value value{};
  };

  size_t Home(uint64_t key) const {
    return static_cast<size_t>((key * UINT64_C(0x9E3779B97F4A7C15)) >> 32) & (m_slots.size() - 1);
  }
  size_t Next(size_t i) const { return (i + 1) & (m_slots.size() - 1); }

  void Grow(size_t slots) {
    Slots old(slots);
    old.swap(m_slots);
    for (Slot& slot : old) {
      if (!slot.key) continue;
      size_t i = Home(slot.key);
      while (m_slots[i].key) i = Next(i);
      m_slots[i] = std::move(slot);
    }
  }

  using Slots = std::vector<Slot, Kiv::TableAllocator<Slot>>;
  Slots m_slots;
  size_t m_used = 0;
};

}  // namespace OBLLib
