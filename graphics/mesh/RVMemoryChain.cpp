#include "graphics/mesh/RVMemoryChain.h"

#include <algorithm>
#include <cstdlib>
#include <new>

struct RVMemoryChain::Block {
  Block* next;
  Block* previous;
  uint8_t* cursor;
  uint8_t* dataEnd;
  alignas(std::max_align_t) uint8_t data[1];
};

namespace {
constexpr size_t kAlign = alignof(std::max_align_t);
size_t RoundUp(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }
}  // namespace

RVMemoryChain::RVMemoryChain(size_t blockSize) : m_blockSize(std::max<size_t>(RoundUp(blockSize), kAlign)) {}

RVMemoryChain::~RVMemoryChain() { Clear(); }

RVMemoryChain::Block* RVMemoryChain::NewBlock(size_t size) {
  void* raw = std::malloc(offsetof(Block, data) + size);
  if (!raw) return nullptr;
  Block* block = static_cast<Block*>(raw);
  block->next = nullptr;
  block->previous = nullptr;
  block->cursor = block->data;
  block->dataEnd = block->data + size;
  return block;
}

void* RVMemoryChain::Allocate(size_t n) {
  if (n > SIZE_MAX - kAlign) return nullptr;
  n = RoundUp(std::max<size_t>(n, 1));
  for (;;) {
    if (m_current && static_cast<size_t>(m_current->dataEnd - m_current->cursor) >= n) {
      void* p = m_current->cursor;
      m_current->cursor += n;
      return p;
    }
    if (m_current && m_current->next) {
      m_current = m_current->next;
      m_current->cursor = m_current->data;
      continue;
    }
    Block* block = NewBlock(std::max(n, m_blockSize));
    if (!block) return nullptr;
    block->previous = m_current;
    if (m_current)
      m_current->next = block;
    else
      m_first = block;
    m_current = block;
  }
}

void RVMemoryChain::Rewind() {
  m_current = m_first;
  if (m_current) m_current->cursor = m_current->data;
}

void RVMemoryChain::Clear() {
  for (Block* b = m_first; b;) {
    Block* next = b->next;
    std::free(b);
    b = next;
  }
  m_first = m_current = nullptr;
}

size_t RVMemoryChain::BlockCount() const {
  size_t n = 0;
  for (Block* b = m_first; b; b = b->next) ++n;
  return n;
}
