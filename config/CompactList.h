#pragma once
// A short list in one pointer: null while empty, else a block holding the
// count, the room and the items. Every tag of a config carries such a list
// (its rules with their parameters), mostly empty: a std::vector would cost
// three pointers. So do a container's lists that few containers fill; for
// them it takes the vector operations they use, and reads as a span.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace OBLLib {

template <class T>
class CompactList {
public:
  using value_type = T;
  using size_type = size_t;
  using iterator = T*;
  using const_iterator = const T*;

  CompactList() noexcept = default;
  CompactList(const CompactList& other) {
    for (const T& item : other) push_back(item);
  }
  CompactList(CompactList&& other) noexcept : m_block(std::exchange(other.m_block, nullptr)) {}
  CompactList& operator=(const CompactList& other) {
    if (this != &other) {
      CompactList copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  CompactList& operator=(CompactList&& other) noexcept {
    if (this != &other) {
      clear();
      m_block = std::exchange(other.m_block, nullptr);
    }
    return *this;
  }
  ~CompactList() { clear(); }

  size_t size() const noexcept { return m_block ? m_block->count : 0; }
  [[nodiscard]] bool empty() const noexcept { return size() == 0; }
  T& operator[](size_t i) noexcept { return Items()[i]; }
  const T& operator[](size_t i) const noexcept { return Items()[i]; }
  T* begin() noexcept { return Items(); }
  T* end() noexcept { return Items() + size(); }
  const T* begin() const noexcept { return Items(); }
  const T* end() const noexcept { return Items() + size(); }

  void push_back(const T& item) {
    const uint32_t count = static_cast<uint32_t>(size());
    if (!m_block || count == m_block->room) {
      T copy(item);  // the item may lie in the block that Grow frees
      Grow(count ? count * 2 : 2);
      ::new (static_cast<void*>(Items() + count)) T(std::move(copy));
    } else {
      ::new (static_cast<void*>(Items() + count)) T(item);
    }
    ++m_block->count;
  }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    push_back(T(std::forward<Args>(args)...));
    return Items()[size() - 1];
  }
  // Room for n items in all.
  void reserve(size_t n) {
    if (n > UINT32_MAX) throw std::length_error("CompactList: too many items");
    if (n > (m_block ? m_block->room : 0)) Grow(static_cast<uint32_t>(n));
  }
  // Inserts [first, last), which must not lie in this list, before at.
  template <class It>
  void insert(const T* at, It first, It last) {
    const size_t offset = static_cast<size_t>(at - begin());
    const size_t count = size(), added = static_cast<size_t>(std::distance(first, last));
    if (!added) return;
    if (count + added > (m_block ? m_block->room : 0)) reserve(std::max(count + added, count * 2));
    T* items = Items();
    for (; first != last; ++first) {
      ::new (static_cast<void*>(items + m_block->count)) T(*first);
      ++m_block->count;
    }
    std::rotate(items + offset, items + count, items + count + added);
  }
  void erase(const T* at) { erase(static_cast<size_t>(at - begin())); }
  operator std::span<const T>() const noexcept { return {begin(), size()}; }
  friend bool operator==(const CompactList& a, const CompactList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  friend bool operator==(const CompactList& a, const std::vector<T>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

  // Removes item i; the later items move up one place.
  void erase(size_t i) {
    const size_t count = size();
    T* items = Items();
    for (size_t j = i + 1; j < count; ++j) items[j - 1] = std::move(items[j]);
    items[count - 1].~T();
    --m_block->count;
  }
  void clear() noexcept {
    if (!m_block) return;
    for (T& item : *this) item.~T();
    ::operator delete(m_block);
    m_block = nullptr;
  }

private:
  struct Block {
    uint32_t count;
    uint32_t room;
  };
  static constexpr size_t kItemsAt = (sizeof(Block) + alignof(T) - 1) / alignof(T) * alignof(T);

  T* Items() const noexcept {
    return m_block ? reinterpret_cast<T*>(reinterpret_cast<char*>(m_block) + kItemsAt) : nullptr;
  }
  void Grow(uint32_t room) {
    auto* grown = static_cast<Block*>(::operator new(kItemsAt + room * sizeof(T)));
    grown->count = 0;
    grown->room = room;
    T* to = reinterpret_cast<T*>(reinterpret_cast<char*>(grown) + kItemsAt);
    if (m_block) {
      T* from = Items();
      for (uint32_t i = 0; i < m_block->count; ++i) {
        ::new (static_cast<void*>(to + i)) T(std::move(from[i]));
        from[i].~T();
      }
      grown->count = m_block->count;
      ::operator delete(m_block);
    }
    m_block = grown;
  }

  Block* m_block = nullptr;
};

}  // namespace OBLLib
