#pragma once
// An ordered list of pointers with constant-time membership and removal, so
// registering and unregistering thousands of tags stays linear overall.
//
// The pointers stand in one array, a removed one leaving a hole until holes
// outnumber the pointers; a flat table finds each pointer's first place. A
// node per entry (list cell, map node, vector of places) would cost three
// allocations and as many cache misses per registered tag in a large tree.
//
// Places count from the list's first entry ever (or since it was cleared or
// compacted): holes in front, which a tree deleted in the order it was filed
// leaves, are cut from the array without renumbering the entries after them.
// Closing holes between pointers renumbers, and so reads, every object still
// listed; done while a large tree is deleted, it read each of its tags once
// more, long after the cache had lost them.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "kiv/Memory.h"

namespace OBLLib {

// Where an object with room for it keeps its place in the list it was first
// filed in: that list then finds it without a look-up in its table. A type
// names its place through ListPlaceOf(const T*), which gives null for a type
// without one (found by argument-dependent look-up where the list is used).
// Lists are told apart by serial rather than address, so a place fits in
// eight bytes.
struct ListPlace {
  uint32_t list = 0;  // the list's serial, while the object is filed there
  uint32_t index = 0;
};
// A serial for a new list, never reused. Once they run out a list gets 0 and
// keeps every pointer in its table instead.
inline uint32_t NewListSerial() {
  static std::atomic<uint64_t> next{1};
  const uint64_t serial = next.fetch_add(1, std::memory_order_relaxed);
  return serial <= UINT32_MAX ? static_cast<uint32_t>(serial) : 0;
}
// Lists of plain values keep no places. A class must say (no fallback for
// it, so a list of it cannot behave differently where the saying is unseen).
template <class T>
requires(!std::is_class_v<T>) ListPlace* ListPlaceOf(const T*) { return nullptr; }

template <class T>
class PtrList {
public:
  PtrList() = default;
  // The objects' places name this list: a copy would share them.
  PtrList(const PtrList&) = delete;
  PtrList& operator=(const PtrList&) = delete;

  // Appends p (a pointer may appear more than once; null is not listed).
  void Append(T* p) {
    if (!p) return;
    MakeRoom();
    if (ListPlace* own = ListPlaceOf(p); own && m_serial && !own->list) {
      *own = {m_serial, NextPlace()};
      m_items.push_back(p);
      ++m_live;
      return;
    }
    Place& place = Insert(p);
    if (place.count++ == 0) place.first = NextPlace();
    m_items.push_back(p);
    ++m_live;
  }
  // Appends p unless it is present; true when appended.
  // One probe of the table, not a look-up and then an insertion: in a list
  // of a hundred thousand tags each probe is a cache miss.
  [[nodiscard]] bool AppendUnique(T* p) {
    if (!p) return false;
    if (ListPlaceOf(p)) {
      if (Contains(p)) return false;
      Append(p);
      return true;
    }
    MakeRoom();
    Place& place = Insert(p);
    if (place.count) return false;
    place.count = 1;
    place.first = NextPlace();
    m_items.push_back(p);
    ++m_live;
    return true;
  }
  // Contains and RemoveAll read p's place: p must be alive.
  [[nodiscard]] bool Contains(const T* p) const { return PlacedHere(p) || FindSlot(p) != kNone; }
  // Removes every occurrence of p; the others keep their order.
  void RemoveAll(const T* p) {
    if (PlacedHere(p)) {
      ListPlace* own = ListPlaceOf(p);
      m_items[own->index - m_base] = nullptr;
      own->list = 0;
      --m_live;
    }
    if (const size_t slot = FindSlot(p); slot != kNone) {
      const Place& place = m_places[slot];
      size_t left = place.count;
      for (size_t i = place.first - m_base; left && i < m_items.size(); ++i) {
        if (m_items[i] != p) continue;
        m_items[i] = nullptr;
        --left;
        --m_live;
      }
      EraseSlot(slot);
    }
    while (m_head < m_items.size() && !m_items[m_head]) ++m_head;
    if (m_items.size() > 64 && m_live * 2 < m_items.size()) ShedHoles();
  }
  void Clear() {
    m_items.clear();
    m_places.clear();
    m_live = m_used = m_head = 0;
    m_base = 0;
  }
  size_t Size() const { return m_live; }
  [[nodiscard]] bool Empty() const { return m_live == 0; }
  std::vector<T*> Items() const { return {begin(), end()}; }

  // Walks the pointers in order, past the holes.
  class Iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T*;
    using difference_type = std::ptrdiff_t;
    using pointer = T* const*;
    using reference = T* const&;
    Iterator(T* const* at, T* const* end) : m_at(at), m_end(end) { Skip(); }
    reference operator*() const { return *m_at; }
    Iterator& operator++() {
      ++m_at;
      Skip();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator& other) const { return m_at == other.m_at; }

  private:
    void Skip() {
      while (m_at != m_end && !*m_at) ++m_at;
    }
    T* const* m_at;
    T* const* m_end;
  };
  Iterator begin() const { return {m_items.data() + m_head, m_items.data() + m_items.size()}; }
  Iterator end() const { return {m_items.data() + m_items.size(), m_items.data() + m_items.size()}; }

private:
  struct Place {
    const T* key = nullptr;  // null: free slot
    uint32_t first = 0;      // place number of its first occurrence
    uint32_t count = 0;
  };

  size_t Home(const T* p) const {
    const auto h = reinterpret_cast<uintptr_t>(p) * UINT64_C(0x9E3779B97F4A7C15);
    return static_cast<size_t>(h >> 32) & (m_places.size() - 1);
  }
  size_t Next(size_t i) const { return (i + 1) & (m_places.size() - 1); }

  static constexpr size_t kNone = SIZE_MAX;
  // True when p keeps its place in this list. A place left behind by a list
  // that was cleared counts only where p stands at it again.
  [[nodiscard]] bool PlacedHere(const T* p) const {
    const ListPlace* own = p ? ListPlaceOf(p) : nullptr;
    return own && m_serial && own->list == m_serial && own->index >= m_base &&
           own->index - m_base < m_items.size() && m_items[own->index - m_base] == p;
  }

  // The place number of the next entry appended.
  uint32_t NextPlace() const { return static_cast<uint32_t>(m_base + m_items.size()); }
  // Room for one more place number: numbers that would run out start again
  // from the first entry (every object still listed is renumbered).
  void MakeRoom() {
    if (m_base && m_base + m_items.size() >= UINT32_MAX) Compact();
    if (m_items.size() >= UINT32_MAX) throw std::length_error("PtrList: too many entries");
  }

  // The slot of p's place, or kNone.
  size_t FindSlot(const T* p) const {
    if (m_places.empty() || !p) return kNone;
    for (size_t i = Home(p);; i = Next(i)) {
      if (m_places[i].key == p) return i;
      if (!m_places[i].key) return kNone;
    }
  }

  // The place of p (not null), a new empty one when p is not listed.
  Place& Insert(const T* p) {
    if ((m_used + 1) * 2 > m_places.size()) Rehash(m_places.empty() ? 16 : m_places.size() * 2);
    size_t i = Home(p);
    while (m_places[i].key && m_places[i].key != p) i = Next(i);
    if (!m_places[i].key) {
      m_places[i].key = p;
      ++m_used;
    }
    return m_places[i];
  }

  // Empties slot i and moves later places of its run back, so every key
  // stays reachable from its home slot without gaps.
  void EraseSlot(size_t i) {
    for (size_t j = Next(i); m_places[j].key; j = Next(j)) {
      const size_t home = Home(m_places[j].key);
      const bool homeBetween = i <= j ? (home > i && home <= j) : (home > i || home <= j);
      if (!homeBetween) {
        m_places[i] = m_places[j];
        i = j;
      }
    }
    m_places[i] = Place();
    --m_used;
  }

  void Rehash(size_t slots) {
    Places old(slots);
    old.swap(m_places);
    for (const Place& place : old) {
      if (!place.key) continue;
      size_t i = Home(place.key);
      while (m_places[i].key) i = Next(i);
      m_places[i] = place;
    }
  }

  // More holes than pointers. When the front half holds few pointers (a list
  // emptied from the front while a few early entries stay), those few move up
  // to the middle and the front is cut off: only they are renumbered. Else
  // every hole is closed.
  void ShedHoles() {
    const size_t cut = std::max(m_items.size() / 2, m_head);
    size_t kept = 0;
    for (size_t i = m_head; i < cut; ++i) kept += m_items[i] != nullptr;
    if (kept * 4 > cut) return Compact();
    size_t out = cut;
    for (size_t i = cut; i-- > m_head;) {  // from the back, so the order stays
      T* p = m_items[i];
      if (!p) continue;
      if (--out == i) continue;
      m_items[out] = p;
      m_items[i] = nullptr;
      Renumber(p, m_base + i, m_base + out);
    }
    m_items.erase(m_items.begin(), m_items.begin() + static_cast<std::ptrdiff_t>(out));
    m_base += out;
    m_head = 0;
  }

  // The entry of p at place number from moved to place number to.
  void Renumber(const T* p, size_t from, size_t to) {
    if (ListPlace* own = ListPlaceOf(p); own && m_serial && own->list == m_serial && own->index == from)
      own->index = static_cast<uint32_t>(to);
    if (const size_t slot = FindSlot(p); slot != kNone && m_places[slot].first == from)
      m_places[slot].first = static_cast<uint32_t>(to);
  }

  // Closes the holes and numbers the places from 0 again; every first place
  // moves with its pointer.
  void Compact() {
    size_t out = 0;
    for (size_t i = m_head; i < m_items.size(); ++i) {
      T* p = m_items[i];
      if (!p) continue;
      m_items[out] = p;
      Renumber(p, m_base + i, out);
      ++out;
    }
    m_items.resize(out);
    m_base = m_head = 0;
  }

  std::vector<T*> m_items;  // in order; null: removed
  size_t m_base = 0;        // the place number of m_items[0]
  size_t m_head = 0;        // m_items before it are all holes
  using Places = std::vector<Place, Kiv::TableAllocator<Place>>;
  Places m_places;
  size_t m_live = 0;                          // non-null entries of m_items
  size_t m_used = 0;                          // keys in m_places
  const uint32_t m_serial = NewListSerial();  // what the objects' places name
};

}  // namespace OBLLib
