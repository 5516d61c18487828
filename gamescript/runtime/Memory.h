#pragma once
// Small allocators and the byte buffer shared by the script compiler and runtime.

#include <cstddef>
#include <cstdint>

namespace Utils {

// Growable little-endian byte buffer used to build and read library images.
// Flags are sticky: callers test them once after a run of writes or reads.
class ByteBuffer {
public:
  static constexpr uint32_t kNoStorage = 1;    // storage missing: writes are skipped
  static constexpr uint32_t kReadOverrun = 2;  // a read went past the used length

  ByteBuffer() = default;
  ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // Frees old storage, clears flags, position and length; step and capacity := size.
  [[nodiscard]] bool Init(std::size_t size);
  // New storage of the step size; flags, position and length cleared.
  void Reset();
  // Makes room for n used bytes (the used length becomes at least n).
  void Ensure(std::size_t n);
  void WriteU32(uint32_t v);
  // Reads at the position; past the used length sets kReadOverrun and leaves out unchanged.
  void ReadU32(uint32_t& out);

  uint32_t Flags() const { return m_flags; }
  std::size_t Position() const { return m_position; }
  void SetPosition(std::size_t p) { m_position = p; }
  std::size_t Length() const { return m_length; }
  std::size_t Capacity() const { return m_capacity; }
  const uint8_t* Data() const { return m_data; }
  uint8_t* Data() { return m_data; }

private:
  void Release();
  [[nodiscard]] bool Allocate(std::size_t size, uint8_t*& raw, uint8_t*& data);

  uint32_t m_flags = kNoStorage;
  std::size_t m_step = 0;
  std::size_t m_position = 0;
  std::size_t m_length = 0;
  std::size_t m_capacity = 0;
  uint8_t* m_data = nullptr;  // 4-byte aligned start inside m_raw
  uint8_t* m_raw = nullptr;
};

// Bump allocator: memory lives until FreeAll or destruction; no single frees.
class FrameMemory {
public:
  static constexpr std::size_t kDefaultBlockSize = 2048;

  FrameMemory();  // block size 2048, one block allocated
  virtual ~FrameMemory();
  FrameMemory(const FrameMemory&) = delete;
  FrameMemory& operator=(const FrameMemory&) = delete;

  // Frees everything, then sets the block size and makes the first block.
  [[nodiscard]] bool Init(std::size_t blockSize);
  // Null when there is no block or size + alignment - 1 exceeds the block size.
  void* Alloc(std::size_t size, std::size_t alignment);
  // NUL-terminated copy; null for null. A text longer than a block gets a block
  // of its own, so a copy is never refused for its length.
  char* StrDup(const char* text);
  char* StrDup(const char* text, std::size_t length);
  // Frees every block; all fields, the block size included, become 0.
  void FreeAll();
  // Takes back everything allocated but keeps the blocks for the next
  // allocations (an oversized text's own block is freed): a pool refilled
  // again and again touches no fresh memory. Every earlier pointer dies.
  void Rewind();

  std::size_t BlockSize() const { return m_blockSize; }
  std::size_t TotalBytes() const { return m_total; }
  std::size_t AllocCount() const { return m_count; }
  // Bytes the pool holds from the system now, and the most it has held
  // since it was made or last freed.
  std::size_t HeldBytes() const { return m_held; }
  std::size_t PeakHeldBytes() const { return m_peakHeld; }

private:
  struct Block {
    uint8_t* data;
    std::size_t used;
    Block* next;
    std::size_t ownBytes;  // an oversized text's block, allocated alone: its size; else 0
  };
  // Blocks are carved from larger slabs that grow geometrically, so a big
  // pool costs few allocations and few page faults while a small one stays
  // one block. The block size callers see is unchanged.
  struct Slab {
    Slab* next;
  };
  Block* NewBlock();
  [[nodiscard]] bool NewSlab(std::size_t blockBytes);
  void Hold(std::size_t bytes);

  Slab* m_slabs = nullptr;
  uint8_t* m_slabCursor = nullptr;
  uint8_t* m_slabEnd = nullptr;
  std::size_t m_nextSlabBytes = 0;
  Block* m_first = nullptr;
  Block* m_current = nullptr;
  std::size_t m_total = 0;
  std::size_t m_count = 0;
  std::size_t m_blockSize = 0;
  std::size_t m_held = 0;
  std::size_t m_peakHeld = 0;
};

// Fixed-size element allocator with one free bit per element.
class BlockMemory {
public:
  BlockMemory() = default;
  virtual ~BlockMemory();
  BlockMemory(const BlockMemory&) = delete;
  BlockMemory& operator=(const BlockMemory&) = delete;

  // Elements per block are rounded up to a multiple of 32, the size to a multiple of 4.
  [[nodiscard]] bool Init(std::size_t elementsPerBlock, std::size_t elementSize, std::size_t spareThreshold);
  // Null when no block can be allocated.
  void* Alloc();
  // False for an address that is not an element of a block, or an element already free.
  [[nodiscard]] bool Free(void* address);
  // Every block but the first freed; the first made all free.
  void Reset();
  // Everything freed, fields 0.
  void Clear();

  std::size_t InUse() const { return m_inUse; }
  std::size_t BlockCount() const { return m_blockCount; }
  std::size_t ElementSize() const { return m_elementSize; }
  std::size_t ElementsPerBlock() const { return m_perBlock; }

private:
  struct Block {
    uint8_t* raw;
    uint8_t* start;
    uint8_t* end;
    uint32_t* bitmap;  // bit set = free; element i of a word is bit 31 - i
    std::size_t used;
  };
  int AddBlock();
  void ChooseCurrent();
  void FreeBlock(std::size_t index);

  Block** m_table = nullptr;
  std::size_t m_blockCount = 0;
  std::size_t m_tableCapacity = 0;
  Block* m_current = nullptr;
  std::size_t m_spare = 0;
  std::size_t m_perBlock = 0;
  std::size_t m_bitmapWords = 0;
  std::size_t m_elementSize = 0;
  std::size_t m_alignment = 4;
  std::size_t m_inUse = 0;
};

}  // namespace Utils
