#pragma once
// A short list in one pointer: null while empty, else a block holding the
// count, the room and the items. Every tag of a config carries such a list
// (its rules with their parameters), mostly empty: a std::vector would cost
// three pointers.
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace OBLLib {

template <class T>
class CompactList {
public:
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
  bool empty() const noexcept { return size() == 0; }
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
