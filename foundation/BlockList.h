#pragma once
// A list of fixed-size blocks: a circular doubly linked list of blocks, each
// with next, previous, an entry count and room for N entries; the list is one
// pointer to its first block (null when empty). KUID lists use 128 entries per
// block, the online classes 13.
#include <cstddef>
#include <cstdint>

template <class T, size_t N>
class BlockList {
  static_assert(N > 0, "a block needs room for an entry");

public:
  struct Block {
    Block* next = nullptr;
    Block* prev = nullptr;
    uint32_t count = 0;
    T entries[N]{};
  };

  // A position: a block and an index in it; the end iterator has no block.
  class Iterator {
  public:
    Iterator() = default;
    Iterator(const BlockList* list, Block* block, size_t index)
        : m_list(list), m_block(block), m_index(index) {}

    [[nodiscard]] bool IsEnd() const { return m_block == nullptr; }
    T& operator*() const { return m_block->entries[m_index]; }
    T* operator->() const { return &m_block->entries[m_index]; }
    // The next entry; past the last entry of the last block the end iterator.
    void Next() { Advance(1); }
    Iterator& operator++() {
      Advance(1);
      return *this;
    }
    // Moves forward by n entries across blocks; the end iterator past the last.
    void Advance(size_t n) {
      while (m_block && n) {
        const size_t left = m_block->count - m_index;
        if (n < left) {
          m_index += n;
          return;
        }
        n -= left;
        MoveToNextBlock();
      }
    }
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.m_block == b.m_block && (a.m_block == nullptr || a.m_index == b.m_index);
    }
    Block* GetBlock() const { return m_block; }
    size_t GetIndex() const { return m_index; }

  private:
    void MoveToNextBlock() {
      m_block = (m_block->next == m_list->m_first) ? nullptr : m_block->next;
      m_index = 0;
    }
    friend class BlockList;
    const BlockList* m_list = nullptr;
    Block* m_block = nullptr;
    size_t m_index = 0;
  };

  BlockList() = default;
  ~BlockList() { FreeBlocks(); }
  // A copy holds the same entries in the same order.
  BlockList(const BlockList& other) { Append(other); }
  BlockList& operator=(const BlockList& other) {
    if (this != &other) {
      BlockList copy(other);
      Swap(copy);
    }
    return *this;
  }
  BlockList(BlockList&& other) noexcept : m_first(other.m_first) { other.m_first = nullptr; }
  BlockList& operator=(BlockList&& other) noexcept {
    if (this != &other) {
      FreeBlocks();
      m_first = other.m_first;
      other.m_first = nullptr;
    }
    return *this;
  }
  void Swap(BlockList& other) noexcept {
    Block* t = m_first;
    m_first = other.m_first;
    other.m_first = t;
  }

  [[nodiscard]] bool IsEmpty() const { return m_first == nullptr; }
  Block* FirstBlock() const { return m_first; }
  // Number of entries (walks the blocks).
  size_t Size() const {
    size_t n = 0;
    for (Block* b = m_first; b; b = (b->next == m_first) ? nullptr : b->next) n += b->count;
    return n;
  }

  Iterator begin() const { return Iterator(this, m_first, 0); }
  Iterator end() const { return Iterator(this, nullptr, 0); }

  // Appends to the last block; a full last block (or none) gets a new block
  // linked in at the end.
  void PushBack(const T& entry) {
    Block* last = m_first ? m_first->prev : nullptr;
    if (!last || last->count == N) last = LinkNewBlock();
    last->entries[last->count++] = entry;
  }

  // Appends every entry of other in order (other may be this list).
  void Append(const BlockList& other) {
    if (&other == this) {
      BlockList copy(other);
      Append(copy);
      return;
    }
    for (Iterator it = other.begin(); !it.IsEnd(); it.Next()) PushBack(*it);
  }

  // The first entry equal to value, else the end iterator.
  Iterator Find(const T& value) const {
    for (Iterator it = begin(); !it.IsEnd(); it.Next())
      if (*it == value) return it;
    return end();
  }

  // Removes the entry at it: the entries behind it in its block move down; a
  // block that becomes empty is unlinked and freed. Returns the position of
  // the entry that followed (the end iterator after the last). An end iterator
  // or one of another list changes nothing.
  Iterator Erase(Iterator it) {
    Block* b = it.m_block;
    if (!b || it.m_list != this || it.m_index >= b->count) return end();
    for (size_t i = it.m_index + 1; i < b->count; ++i) b->entries[i - 1] = b->entries[i];
    --b->count;
    b->entries[b->count] = T{};
    if (b->count == 0) {
      Block* next = (b->next == b) ? nullptr : b->next;
      const bool wasLast = (b == m_first->prev);
      Unlink(b);
      return (next && !wasLast) ? Iterator(this, next, 0) : end();
    }
    if (it.m_index < b->count) return it;
    it.MoveToNextBlock();
    return it;
  }

  // Frees every block without touching what the entries refer to.
  void FreeBlocks() {
    if (!m_first) return;
    m_first->prev->next = nullptr;  // break the circle
    Block* b = m_first;
    m_first = nullptr;
    while (b) {
      Block* next = b->next;
      delete b;
      b = next;
    }
  }

private:
  Block* LinkNewBlock() {
    Block* b = new Block;
    if (!m_first) {
      b->next = b->prev = b;
      m_first = b;
    } else {
      Block* last = m_first->prev;
      b->prev = last;
      b->next = m_first;
      last->next = b;
      m_first->prev = b;
    }
    return b;
  }

  void Unlink(Block* b) {
    if (b->next == b) {
      m_first = nullptr;
    } else {
      b->prev->next = b->next;
      b->next->prev = b->prev;
      if (m_first == b) m_first = b->next;
    }
    delete b;
  }

  Block* m_first = nullptr;
};
