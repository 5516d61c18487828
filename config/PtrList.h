#pragma once
// An ordered list of pointers with constant-time membership and removal, so
// registering and unregistering thousands of tags stays linear overall.
//
// The pointers stand in one array, a removed one leaving a hole until holes
// outnumber the pointers; a flat table finds each pointer's first place. A
// node per entry (list cell, map node, vector of places) would cost three
// allocations and as many cache misses per registered tag in a large tree.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "kiv/Memory.h"

namespace OBLLib {

template <class T>
class PtrList {
public:
  // Appends p (a pointer may appear more than once; null is not listed).
  void Append(T* p) {
    if (!p) return;
    if (m_items.size() >= UINT32_MAX) throw std::length_error("PtrList: too many entries");
    Place& place = Insert(p);
    if (place.count++ == 0) place.first = static_cast<uint32_t>(m_items.size());
    m_items.push_back(p);
    ++m_live;
  }
  // Appends p unless it is present; true when appended.
  bool AppendUnique(T* p) {
    if (Contains(p)) return false;
    Append(p);
    return true;
  }
  bool Contains(const T* p) const { return Find(p) != nullptr; }
  // Removes every occurrence of p; the others keep their order.
  void RemoveAll(const T* p) {
    const Place* place = Find(p);
    if (!place) return;
    size_t left = place->count;
    for (size_t i = place->first; left && i < m_items.size(); ++i) {
      if (m_items[i] != p) continue;
      m_items[i] = nullptr;
      --left;
      --m_live;
    }
    Erase(p);
    if (m_items.size() > 64 && m_live * 2 < m_items.size()) Compact();
  }
  void Clear() {
    m_items.clear();
    m_places.clear();
    m_live = m_used = 0;
  }
  size_t Size() const { return m_live; }
  bool Empty() const { return m_live == 0; }
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
  Iterator begin() const { return {m_items.data(), m_items.data() + m_items.size()}; }
  Iterator end() const { return {m_items.data() + m_items.size(), m_items.data() + m_items.size()}; }

private:
  struct Place {
    const T* key = nullptr;  // null: free slot
    uint32_t first = 0;      // index in m_items of its first occurrence
    uint32_t count = 0;
  };

  size_t Home(const T* p) const {
    const auto h = reinterpret_cast<uintptr_t>(p) * UINT64_C(0x9E3779B97F4A7C15);
    return static_cast<size_t>(h >> 32) & (m_places.size() - 1);
  }
  size_t Next(size_t i) const { return (i + 1) & (m_places.size() - 1); }

  const Place* Find(const T* p) const {
    if (m_places.empty() || !p) return nullptr;
    for (size_t i = Home(p);; i = Next(i)) {
      if (m_places[i].key == p) return &m_places[i];
      if (!m_places[i].key) return nullptr;
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

  // Removes p's place and moves later places of its run back, so every key
  // stays reachable from its home slot without gaps.
  void Erase(const T* p) {
    size_t i = Home(p);
    while (m_places[i].key != p) i = Next(i);
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

  // Closes the holes; every first place moves with its pointer.
  void Compact() {
    size_t out = 0;
    for (size_t i = 0; i < m_items.size(); ++i) {
      T* p = m_items[i];
      if (!p) continue;
      m_items[out] = p;
      Place& place = Insert(p);
      if (place.first == i) place.first = static_cast<uint32_t>(out);
      ++out;
    }
    m_items.resize(out);
  }

  std::vector<T*> m_items;  // in order; null: removed
  using Places = std::vector<Place, Kiv::TableAllocator<Place>>;
  Places m_places;
  size_t m_live = 0;  // non-null entries of m_items
  size_t m_used = 0;  // keys in m_places
};

}  // namespace OBLLib
