#pragma once
// A short list in one pointer: null while empty, else a block holding the
// count, the room and the items. Every tag of a config carries such a list
// (its rules with their parameters), mostly empty: a std::vector would cost
// three pointers.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

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

// A list that most holders never fill, in one pointer: null until it is
// first given an item, then a std::vector of its own. It reads as a
// std::vector (an empty one while null), so code written for one takes it
// as it is. A config's child containers each carry several such lists that
// few of them fill: three pointers each would be three times the memory to
// write when the container is made and to read again when it goes.
template <class T>
class LazyVector {
public:
  using value_type = T;
  using size_type = size_t;
  using iterator = T*;
  using const_iterator = const T*;

  LazyVector() noexcept = default;
  LazyVector(const LazyVector& other)
      : m_items(other.m_items && !other.m_items->empty() ? std::make_unique<std::vector<T>>(*other.m_items)
                                                         : nullptr) {}
  LazyVector(LazyVector&&) noexcept = default;
  LazyVector& operator=(const LazyVector& other) {
    if (this != &other) *this = LazyVector(other);
    return *this;
  }
  LazyVector& operator=(LazyVector&&) noexcept = default;

  operator const std::vector<T>&() const noexcept { return View(); }
  const std::vector<T>& View() const noexcept { return m_items ? *m_items : kNone; }
  // The vector itself, made when there is none.
  std::vector<T>& Mutable() {
    if (!m_items) m_items = std::make_unique<std::vector<T>>();
    return *m_items;
  }

  size_t size() const noexcept { return m_items ? m_items->size() : 0; }
  bool empty() const noexcept { return size() == 0; }
  T& operator[](size_t i) noexcept { return (*m_items)[i]; }
  const T& operator[](size_t i) const noexcept { return (*m_items)[i]; }
  T* begin() noexcept { return m_items ? m_items->data() : nullptr; }
  T* end() noexcept { return begin() + size(); }
  const T* begin() const noexcept { return m_items ? m_items->data() : nullptr; }
  const T* end() const noexcept { return begin() + size(); }

  void push_back(const T& item) { Mutable().push_back(item); }
  void push_back(T&& item) { Mutable().push_back(std::move(item)); }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    return Mutable().emplace_back(std::forward<Args>(args)...);
  }
  // Room for n items; none asked for makes no vector.
  void reserve(size_t n) {
    if (n) Mutable().reserve(n);
  }
  template <class It>
  void insert(const T* at, It first, It last) {
    if (first == last) return;
    const size_t offset = static_cast<size_t>(at - begin());
    std::vector<T>& items = Mutable();
    items.insert(items.begin() + static_cast<std::ptrdiff_t>(offset), first, last);
  }
  void erase(const T* at) { m_items->erase(m_items->begin() + (at - begin())); }
  void clear() noexcept { m_items.reset(); }

  friend bool operator==(const LazyVector& a, const std::vector<T>& b) { return a.View() == b; }
  friend bool operator==(const LazyVector& a, const LazyVector& b) { return a.View() == b.View(); }

private:
  static inline const std::vector<T> kNone;
  std::unique_ptr<std::vector<T>> m_items;
};

}  // namespace OBLLib
