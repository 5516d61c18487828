#pragma once
// A chained block allocator: allocations are cut from fixed-size blocks in
// order and never given back one by one; Rewind reuses the blocks from the
// first, Clear frees them all.
#include <cstddef>
#include <cstdint>

class RVMemoryChain {
public:
  explicit RVMemoryChain(size_t blockSize);
  virtual ~RVMemoryChain();
  RVMemoryChain(const RVMemoryChain&) = delete;
  RVMemoryChain& operator=(const RVMemoryChain&) = delete;

  // n bytes aligned for any type. A request larger than the block size gets a
  // block of its own size. Null only when memory runs out.
  void* Allocate(size_t n);
  // Starts again at the first block; earlier allocations become invalid.
  void Rewind();
  // Frees every block.
  void Clear();

  size_t BlockSize() const { return m_blockSize; }
  size_t BlockCount() const;

private:
  struct Block;
  Block* NewBlock(size_t size);

  size_t m_blockSize;
  Block* m_first = nullptr;
  Block* m_current = nullptr;
};
