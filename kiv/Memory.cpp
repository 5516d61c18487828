#include "kiv/Memory.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace Kiv {

namespace {

// The header keeps the block aligned for any fundamental type.
constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t)
                                                                      : sizeof(size_t);

HeapCounters g_alloc;

void* CountedAlloc(HeapCounters& c, size_t size) {
  if (size > SIZE_MAX - kHeader) return nullptr;
  auto* raw = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (!raw) return nullptr;
  std::memcpy(raw, &size, sizeof size);
  c.liveBytes.fetch_add(static_cast<int64_t>(size));
  c.liveBlocks.fetch_add(1);
  c.allocations.fetch_add(1);
  return raw + kHeader;
}

void CountedFree(HeapCounters& c, void* block) {
  if (!block) return;
  auto* raw = static_cast<unsigned char*>(block) - kHeader;
  size_t size;
  std::memcpy(&size, raw, sizeof size);
  c.liveBytes.fetch_sub(static_cast<int64_t>(size));
  c.liveBlocks.fetch_sub(1);
  std::free(raw);
}

}  // namespace

void* PackedHeap::Alloc(size_t size) { return CountedAlloc(m_counters, size); }
void PackedHeap::Free(void* block) { CountedFree(m_counters, block); }

size_t PackedHeap::BlockSize(const void* block) {
  if (!block) return 0;
  size_t size;
  std::memcpy(&size, static_cast<const unsigned char*>(block) - kHeader, sizeof size);
  return size;
}

void* Alloc::Allocate(size_t size) { return CountedAlloc(g_alloc, size); }
void Alloc::Free(void* block) { CountedFree(g_alloc, block); }
int64_t Alloc::LiveBytes() { return g_alloc.liveBytes.load(); }
int64_t Alloc::LiveBlocks() { return g_alloc.liveBlocks.load(); }
uint64_t Alloc::AllocationCount() { return g_alloc.allocations.load(); }

DynamicBuffer::DynamicBuffer(size_t initialSize, size_t growBy) : m_growBy(growBy ? growBy : 1) {
  // Memory not had is refused again at the first write, which fails.
  (void)Resize(std::min(initialSize, MaxSize));
}

bool DynamicBuffer::Grow(size_t needed) {
  if (needed > MaxSize) return false;
  if (needed <= m_bytes.capacity()) return true;
  // Grow by at least the step and at least half again, so appends stay linear.
  size_t target =
      std::max({needed, m_bytes.capacity() + m_growBy, m_bytes.capacity() + m_bytes.capacity() / 2});
  target = std::min(target, MaxSize);
  try {
    m_bytes.reserve(target);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool DynamicBuffer::Resize(size_t size) {
  if (!Grow(size)) return false;
  m_bytes.resize(size, 0);
  return true;
}

bool DynamicBuffer::Reserve(size_t size) { return Grow(size); }

bool DynamicBuffer::Append(const void* data, size_t size) { return Write(m_bytes.size(), data, size); }

bool DynamicBuffer::Write(size_t offset, const void* data, size_t size) {
  if (offset > MaxSize || size > MaxSize - offset) return false;
  size_t end = offset + size;
  if (end > m_bytes.size() && !Resize(end)) return false;
  if (size) std::memcpy(m_bytes.data() + offset, data, size);
  return true;
}

size_t DynamicBuffer::Read(size_t offset, void* data, size_t size) const {
  if (offset >= m_bytes.size()) return 0;
  size_t n = std::min(size, m_bytes.size() - offset);
  std::memcpy(data, m_bytes.data() + offset, n);
  return n;
}

constexpr size_t kHugePage = size_t(2) << 20;

// Through operator new, like every other block, so a program that counts its
// heap there sees the tables too.
void* AllocateTable(size_t bytes) {
  if (bytes < kHugePage) return ::operator new(bytes ? bytes : 1, std::nothrow);
  // Each whole 2 MiB of the block may be a huge page; the rest, less than one,
  // stays in small pages rather than the block being rounded up (a table just
  // past 2 MiB would take twice its size). Only advice: without huge pages the
  // block works the same.
  void* block = ::operator new(bytes, std::align_val_t(kHugePage), std::nothrow);
  if (block) madvise(block, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
  return block;
}

void FreeTable(void* block, size_t bytes) {
  if (!block) return;
  if (bytes < kHugePage)
    ::operator delete(block);
  else
    ::operator delete(block, std::align_val_t(kHugePage));
}

namespace {
std::atomic<size_t> g_alignedPagesBytes{0};
// Where the next block would lie just below the last one: the system joins
// neighbouring mappings into one, so a tree's slabs need not each be a
// mapping of its own (their number is limited). Only a hint: any thread may
// move it, and a place already taken is never used.
std::atomic<uintptr_t> g_nextBelow{0};

void* MapBelowLast(size_t bytes) {
#ifdef MAP_FIXED_NOREPLACE
  const uintptr_t at = g_nextBelow.load(std::memory_order_relaxed);
  if (at == 0 || at % bytes != 0) return nullptr;
  void* mapped = mmap(reinterpret_cast<void*>(at), bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  if (mapped == reinterpret_cast<void*>(at)) return mapped;
  munmap(mapped, bytes);  // a system that takes the flag for a hint put it elsewhere
#else
  (void)bytes;
#endif
  return nullptr;
}
}  // namespace

size_t AlignedPagesBytes() { return g_alignedPagesBytes.load(std::memory_order_relaxed); }

void* AllocateAlignedPages(size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (bytes < page || (bytes & (bytes - 1)) || bytes > (SIZE_MAX >> 2)) return nullptr;
  uintptr_t block = reinterpret_cast<uintptr_t>(MapBelowLast(bytes));
  if (!block) {
    // Twice the size holds an aligned block wherever the system puts it; the
    // pages on either side go back at once. (The heap's aligned blocks would
    // leave a free gap of up to the size before each one, a page of it touched.)
    void* mapped = mmap(nullptr, 2 * bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    block = (start + bytes - 1) & ~uintptr_t(bytes - 1);
    if (block > start) munmap(mapped, block - start);
    const uintptr_t end = start + 2 * bytes;
    if (end > block + bytes) munmap(reinterpret_cast<void*>(block + bytes), end - block - bytes);
  }
  g_nextBelow.store(block > bytes ? block - bytes : 0, std::memory_order_relaxed);
  g_alignedPagesBytes.fetch_add(bytes, std::memory_order_relaxed);
  return reinterpret_cast<void*>(block);
}

void FreeAlignedPages(void* block, size_t bytes) {
  if (!block) return;
  munmap(block, bytes);
  g_alignedPagesBytes.fetch_sub(bytes, std::memory_order_relaxed);
}

// At the start of every piece. Under the address sanitizer the blocks not
// given out are poisoned, so a use after free is caught until the block is
// given out again.
struct SizeClassArena::Piece {
  Piece* prev = nullptr;  // in its class's list of pieces with room
  Piece* next = nullptr;
  Piece* allPrev = nullptr;  // in the list of every piece
  Piece* allNext = nullptr;
  void* free = nullptr;  // freed blocks, each holding the next in its first word
  uint32_t cut = 0;      // bytes cut so far, this header included
  uint32_t live = 0;     // blocks given out and not freed
  uint32_t size = 0;     // of its blocks
  bool listed = false;   // in its class's list
};

namespace {
constexpr size_t kPieceHeader = 64;  // keeps the blocks after it 16-byte aligned
constexpr size_t kSpares = 4;        // empty pieces kept back
}  // namespace

SizeClassArena::Piece* SizeClassArena::NewPiece(size_t sizeClass) {
  static_assert(sizeof(Piece) <= kPieceHeader && kPieceHeader % kStep == 0);
  Piece* piece = m_spare;
  if (piece) {
    m_spare = piece->next;
    --m_spares;
    piece->next = nullptr;
  } else {
    void* memory = AllocateAlignedPages(kPieceBytes);
    if (!memory) throw std::bad_alloc();
    piece = ::new (memory) Piece;
    piece->allNext = m_all;
    if (m_all) m_all->allPrev = piece;
    m_all = piece;
    ++m_pieces;
    ASAN_POISON_MEMORY_REGION(reinterpret_cast<char*>(piece) + kPieceHeader, kPieceBytes - kPieceHeader);
  }
  piece->size = static_cast<uint32_t>((sizeClass + 1) * kStep);
  piece->cut = kPieceHeader;
  return piece;
}

void SizeClassArena::ReturnPiece(Piece* piece) noexcept {
  (piece->allPrev ? piece->allPrev->allNext : m_all) = piece->allNext;
  if (piece->allNext) piece->allNext->allPrev = piece->allPrev;
  --m_pieces;
  ASAN_UNPOISON_MEMORY_REGION(piece, kPieceBytes);  // the address may be mapped again
  piece->~Piece();
  FreeAlignedPages(piece, kPieceBytes);
}

void SizeClassArena::List(Piece* piece) noexcept {
  Piece*& head = m_withRoom[piece->size / kStep - 1];
  piece->prev = nullptr;
  piece->next = head;
  if (head) head->prev = piece;
  head = piece;
  piece->listed = true;
}

void SizeClassArena::Unlist(Piece* piece) noexcept {
  (piece->prev ? piece->prev->next : m_withRoom[piece->size / kStep - 1]) = piece->next;
  if (piece->next) piece->next->prev = piece->prev;
  piece->prev = piece->next = nullptr;
  piece->listed = false;
}

SizeClassArena::~SizeClassArena() {
  while (m_all) ReturnPiece(m_all);
}

void* SizeClassArena::Allocate(size_t size) {
  if (size > kLargest) throw std::bad_alloc();
  const size_t sizeClass = size ? (size - 1) / kStep : 0;
  Piece* piece = m_withRoom[sizeClass];
  if (!piece) {
    piece = NewPiece(sizeClass);
    List(piece);
  }
  void* block;
  if (piece->free) {
    block = piece->free;
    ASAN_UNPOISON_MEMORY_REGION(block, piece->size);
    piece->free = *static_cast<void**>(block);
  } else {
    block = reinterpret_cast<char*>(piece) + piece->cut;
    piece->cut += piece->size;
    ASAN_UNPOISON_MEMORY_REGION(block, piece->size);
  }
  ++piece->live;
  if (!piece->free && piece->cut + piece->size > kPieceBytes) Unlist(piece);
  return block;
}

void SizeClassArena::Free(void* block) noexcept {
  if (!block) return;
  auto* piece = reinterpret_cast<Piece*>(reinterpret_cast<uintptr_t>(block) & ~uintptr_t(kPieceBytes - 1));
  *static_cast<void**>(block) = piece->free;
  piece->free = block;
  ASAN_POISON_MEMORY_REGION(block, piece->size);
  --piece->live;
  if (!piece->listed) List(piece);
  if (piece->live) return;
  // All free: the piece goes back unless it is its class's only one with
  // room (a process that takes and frees one block in turn would otherwise
  // take a piece from the heap and return it each time). Kept, it is cut
  // anew from its start.
  piece->free = nullptr;
  piece->cut = kPieceHeader;
  ASAN_POISON_MEMORY_REGION(reinterpret_cast<char*>(piece) + kPieceHeader, kPieceBytes - kPieceHeader);
  if (!piece->prev && !piece->next) return;
  Unlist(piece);
  // A few empty pieces are kept for the next class that needs one: a tree
  // of names made and freed round after round would otherwise take its
  // pieces from the system and fault their pages in again each time.
  if (m_spares < kSpares) {
    piece->next = m_spare;
    m_spare = piece;
    ++m_spares;
    return;
  }
  ReturnPiece(piece);
}

void PrepareHeapForRounds(bool oneHeap) {
  mallopt(M_TOP_PAD, 16 << 20);
  if (oneHeap) mallopt(M_ARENA_MAX, 1);
}

void PrepareHeapForOnePeak() {
  // A threshold set here stays: by default it rises to the largest block
  // freed so far, and later blocks of that size would stay in the heap.
  mallopt(M_MMAP_THRESHOLD, 256 << 10);
}

}  // namespace Kiv
