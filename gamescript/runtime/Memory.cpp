#include "gamescript/runtime/Memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "kiv/Bytes.h"

namespace Utils {

namespace {

uint8_t* AlignUp(uint8_t* p, std::size_t alignment) {
  auto v = reinterpret_cast<std::uintptr_t>(p);
  v = (v + alignment - 1) / alignment * alignment;
  return reinterpret_cast<uint8_t*>(v);
}

}  // namespace

// ---------------------------------------------------------------- ByteBuffer

ByteBuffer::~ByteBuffer() { Release(); }

void ByteBuffer::Release() {
  std::free(m_raw);
  m_raw = nullptr;
  m_data = nullptr;
}

bool ByteBuffer::Allocate(std::size_t size, uint8_t*& raw, uint8_t*& data) {
  raw = static_cast<uint8_t*>(std::malloc(size + 3));
  data = raw ? AlignUp(raw, 4) : nullptr;
  return raw != nullptr;
}

bool ByteBuffer::Init(std::size_t size) {
  Release();
  m_flags = 0;
  m_position = 0;
  m_length = 0;
  m_step = size;
  m_capacity = size;
  if (!Allocate(size, m_raw, m_data)) {
    m_flags = kNoStorage;
    m_capacity = 0;
    return false;
  }
  return true;
}

// Memory the pool cannot get is refused again at its first use, which fails the compile.
void ByteBuffer::Reset() { (void)Init(m_step); }

void ByteBuffer::Ensure(std::size_t n) {
  if (m_flags & kNoStorage) return;
  if (n >= m_capacity) {
    // Grow geometrically so large images are not copied over and over.
    std::size_t wanted = std::max(m_step + n, m_capacity * 2);
    uint8_t* raw = nullptr;
    uint8_t* data = nullptr;
    if (!Allocate(wanted, raw, data)) {
      m_flags |= kNoStorage;
      return;
    }
    if (m_length) std::memcpy(data, m_data, m_length);
    Release();
    m_raw = raw;
    m_data = data;
    m_capacity = wanted;
  }
  m_length = std::max(m_length, n);
}

void ByteBuffer::WriteU32(uint32_t v) {
  Ensure(m_position + 4);
  if (m_flags & kNoStorage) return;
  Kiv::StoreLE32(m_data + m_position, v);
  m_position += 4;
}

void ByteBuffer::ReadU32(uint32_t& out) {
  if (m_position + 4 > m_length || !m_data) {
    m_flags |= kReadOverrun;
    return;
  }
  out = Kiv::LoadLE32(m_data + m_position);
  m_position += 4;
}

// ---------------------------------------------------------------- FrameMemory

// Memory the pool cannot get is refused again at its first use, which fails the compile.
FrameMemory::FrameMemory() { (void)Init(kDefaultBlockSize); }

FrameMemory::~FrameMemory() { FreeAll(); }

bool FrameMemory::Init(std::size_t blockSize) {
  FreeAll();
  m_blockSize = blockSize;
  m_first = m_current = NewBlock();
  return m_first != nullptr;
}

namespace {
constexpr std::size_t kHugePage = std::size_t(2) << 20;
// From this slab size on, slabs are whole huge pages: one fault maps 2 MiB.
constexpr std::size_t kHugeFrom = std::size_t(1) << 20;
}  // namespace

bool FrameMemory::NewSlab(std::size_t blockBytes) {
  const std::size_t header = (sizeof(Slab) + alignof(Block) - 1) / alignof(Block) * alignof(Block);
  if (blockBytes > SIZE_MAX / 2 - header) return false;
  std::size_t size = std::max(m_nextSlabBytes, header + blockBytes);
  void* raw = nullptr;
  if (size >= kHugeFrom) {
    size = std::max(kHugePage, (size + kHugePage - 1) / kHugePage * kHugePage);
    raw = std::aligned_alloc(kHugePage, size);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (raw != nullptr) madvise(raw, size, MADV_HUGEPAGE);  // only a hint; failure changes nothing
#endif
  }
  if (raw == nullptr) {
    size = std::max(header + blockBytes, std::min(size, kHugeFrom));
    raw = std::malloc(size);
    if (raw == nullptr) return false;
  }
  Hold(size);
  Slab* slab = static_cast<Slab*>(raw);
  slab->next = m_slabs;
  m_slabs = slab;
  m_slabCursor = static_cast<uint8_t*>(raw) + header;
  m_slabEnd = static_cast<uint8_t*>(raw) + size;
  // The next slab doubles, up to one huge page.
  m_nextSlabBytes = std::min(std::max(size * 2, header + 2 * blockBytes), kHugePage);
  return true;
}

FrameMemory::Block* FrameMemory::NewBlock() {
  const std::size_t align = alignof(Block);
  if (m_blockSize > SIZE_MAX / 2) return nullptr;
  const std::size_t bytes = (sizeof(Block) + m_blockSize + align - 1) / align * align;
  if (static_cast<std::size_t>(m_slabEnd - m_slabCursor) < bytes && !NewSlab(bytes)) return nullptr;
  Block* b = reinterpret_cast<Block*>(m_slabCursor);
  m_slabCursor += bytes;
  b->data = reinterpret_cast<uint8_t*>(b + 1);
  b->used = 0;
  b->next = nullptr;
  b->ownBytes = 0;
  return b;
}

void* FrameMemory::Alloc(std::size_t size, std::size_t alignment) {
  if (alignment == 0) alignment = 1;
  if (!m_current || size > m_blockSize) return nullptr;
  std::size_t n = size + alignment - 1;
  if (n > m_blockSize) return nullptr;
  while (m_blockSize - m_current->used < n) {
    if (!m_current->next) {
      Block* b = NewBlock();
      if (!b) return nullptr;
      m_current->next = b;
    }
    m_current = m_current->next;
  }
  uint8_t* result = AlignUp(m_current->data + m_current->used, alignment);
  m_current->used += n;
  m_total += n;
  ++m_count;
  return result;
}

char* FrameMemory::StrDup(const char* text) {
  if (!text) return nullptr;
  return StrDup(text, std::strlen(text));
}

char* FrameMemory::StrDup(const char* text, std::size_t length) {
  if (!text) return nullptr;
  char* copy = static_cast<char*>(Alloc(length + 1, 1));
  if (!copy && m_current && length < SIZE_MAX - sizeof(Block) - 1) {
    // Too long for a block: give it a block of its own, linked behind the
    // current one so later small allocations still fill the current block.
    void* raw = std::malloc(sizeof(Block) + length + 1);
    if (!raw) return nullptr;
    Hold(sizeof(Block) + length + 1);
    Block* b = static_cast<Block*>(raw);
    b->data = reinterpret_cast<uint8_t*>(b + 1);
    b->used = m_blockSize;  // counts as full
    b->next = m_current->next;
    b->ownBytes = sizeof(Block) + length + 1;
    m_current->next = b;
    m_total += length + 1;
    ++m_count;
    copy = reinterpret_cast<char*>(b->data);
  }
  if (!copy) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

void FrameMemory::FreeAll() {
  for (Block* b = m_first; b != nullptr;) {
    Block* next = b->next;
    if (b->ownBytes != 0) std::free(b);
    b = next;
  }
  for (Slab* slab = m_slabs; slab != nullptr;) {
    Slab* next = slab->next;
    std::free(slab);
    slab = next;
  }
  m_slabs = nullptr;
  m_slabCursor = m_slabEnd = nullptr;
  m_nextSlabBytes = 0;
  m_first = m_current = nullptr;
  m_total = 0;
  m_count = 0;
  m_blockSize = 0;
  m_held = 0;
  m_peakHeld = 0;
}

void FrameMemory::Hold(std::size_t bytes) {
  m_held += bytes;
  m_peakHeld = std::max(m_peakHeld, m_held);
}

void FrameMemory::Rewind() {
  Block* kept = nullptr;
  bool pastCurrent = false;
  Block* rest = nullptr;  // the blocks no allocation reached since the last rewind
  for (Block* b = m_first; b != nullptr;) {
    Block* next = b->next;
    const bool current = b == m_current;
    if (b->ownBytes != 0) {
      m_held -= b->ownBytes;
      std::free(b);
    } else if (pastCurrent) {
      // Beyond the current block and the oversized texts linked behind it,
      // every block is still empty: a pool rewound often (one per member of
      // a class) does not walk its whole chain each time.
      rest = b;
      break;
    } else {
      b->used = 0;
      if (kept != nullptr) kept->next = b;
      kept = b;
    }
    pastCurrent = pastCurrent || current;
    b = next;
  }
  if (kept != nullptr) kept->next = rest;
  m_current = m_first;
  m_total = 0;
  m_count = 0;
}

// ---------------------------------------------------------------- BlockMemory

BlockMemory::~BlockMemory() { Clear(); }

bool BlockMemory::Init(std::size_t elementsPerBlock, std::size_t elementSize, std::size_t spareThreshold) {
  Clear();
  if (elementsPerBlock == 0) elementsPerBlock = 1;
  if (elementSize == 0) elementSize = 1;
  m_perBlock = (elementsPerBlock + 31) / 32 * 32;
  m_bitmapWords = m_perBlock / 32;
  m_elementSize = (elementSize + 3) / 4 * 4;
  m_alignment = 4;
  m_spare = spareThreshold;
  m_table = static_cast<Block**>(std::malloc(sizeof(Block*)));
  m_tableCapacity = m_table ? 1 : 0;
  return m_table != nullptr;
}

int BlockMemory::AddBlock() {
  if (!m_table || m_perBlock == 0) return -1;
  if (m_blockCount == m_tableCapacity) {
    auto** grown = static_cast<Block**>(std::realloc(m_table, sizeof(Block*) * (m_tableCapacity + 1)));
    if (!grown) return -1;
    m_table = grown;
    ++m_tableCapacity;
  }
  Block* b = static_cast<Block*>(std::malloc(sizeof(Block)));
  if (!b) return -1;
  b->raw = static_cast<uint8_t*>(std::malloc(m_perBlock * m_elementSize + m_alignment - 1));
  b->bitmap = static_cast<uint32_t*>(std::malloc(m_bitmapWords * sizeof(uint32_t)));
  if (!b->raw || !b->bitmap) {
    std::free(b->raw);
    std::free(b->bitmap);
    std::free(b);
    return -1;
  }
  b->start = AlignUp(b->raw, m_alignment);
  b->end = b->start + m_perBlock * m_elementSize;
  std::fill(b->bitmap, b->bitmap + m_bitmapWords, 0xFFFFFFFFu);
  b->used = 0;
  std::size_t at = 0;
  while (at < m_blockCount && m_table[at]->start < b->start) ++at;
  std::memmove(m_table + at + 1, m_table + at, (m_blockCount - at) * sizeof(Block*));
  m_table[at] = b;
  ++m_blockCount;
  return int(at);
}

void BlockMemory::ChooseCurrent() {
  m_current = nullptr;
  for (std::size_t i = m_blockCount; i-- > 0;) {
    Block* b = m_table[i];
    if (b->used == m_perBlock) continue;
    if (!m_current || b->used > m_current->used) m_current = b;
  }
}

void* BlockMemory::Alloc() {
  if (!m_current) {
    int index = AddBlock();
    if (index < 0) return nullptr;
    m_current = m_table[index];
  }
  Block* b = m_current;
  for (std::size_t w = m_bitmapWords; w-- > 0;) {
    uint32_t bits = b->bitmap[w];
    if (!bits) continue;
    // The lowest element of a word is its highest bit.
    int i = __builtin_clz(bits);
    b->bitmap[w] &= ~(0x80000000u >> i);
    ++b->used;
    ++m_inUse;
    if (b->used == m_perBlock) ChooseCurrent();
    return b->start + (w * 32 + std::size_t(i)) * m_elementSize;
  }
  return nullptr;  // unreachable: a current block is never full
}

bool BlockMemory::Free(void* address) {
  if (!m_table || m_blockCount == 0) return false;
  if (m_inUse % 16 == 0) ChooseCurrent();
  auto* p = static_cast<uint8_t*>(address);
  std::size_t lo = 0, hi = m_blockCount;
  while (hi - lo > 1) {
    std::size_t mid = (lo + hi) / 2;
    if (m_table[mid]->start <= p)
      lo = mid;
    else
      hi = mid;
  }
  Block* b = m_table[lo];
  if (p < b->start || p >= b->end) return false;
  std::size_t offset = std::size_t(p - b->start);
  // An address inside an element is not that element: refuse it.
  if (offset % m_elementSize != 0) return false;
  std::size_t index = offset / m_elementSize;
  uint32_t mask = 0x80000000u >> (index % 32);
  if (b->bitmap[index / 32] & mask) return false;
  b->bitmap[index / 32] |= mask;
  --b->used;
  --m_inUse;
  if (b->used == 0 && (m_blockCount - 1) * m_perBlock - m_inUse > m_spare) {
    FreeBlock(lo);
    ChooseCurrent();
  } else if (!m_current) {
    m_current = b;
  }
  return true;
}

void BlockMemory::FreeBlock(std::size_t index) {
  Block* b = m_table[index];
  if (m_current == b) m_current = nullptr;
  std::free(b->raw);
  std::free(b->bitmap);
  std::free(b);
  std::memmove(m_table + index, m_table + index + 1, (m_blockCount - index - 1) * sizeof(Block*));
  --m_blockCount;
}

void BlockMemory::Reset() {
  while (m_blockCount > 1) FreeBlock(m_blockCount - 1);
  if (m_blockCount == 1) {
    Block* b = m_table[0];
    std::fill(b->bitmap, b->bitmap + m_bitmapWords, 0xFFFFFFFFu);
    b->used = 0;
    m_current = b;
  }
  m_inUse = 0;
}

void BlockMemory::Clear() {
  while (m_blockCount > 0) FreeBlock(m_blockCount - 1);
  std::free(m_table);
  m_table = nullptr;
  m_tableCapacity = 0;
  m_current = nullptr;
  m_spare = m_perBlock = m_bitmapWords = m_elementSize = 0;
  m_alignment = 4;
  m_inUse = 0;
}

}  // namespace Utils
