#pragma once
// Counting allocators. Every allocation carries a small header with its size,
// so the live byte and block counts are exact; tests compare them before and
// after a piece of work to find leaks.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace Kiv {

struct HeapCounters {
  std::atomic<int64_t> liveBytes{0};
  std::atomic<int64_t> liveBlocks{0};
  std::atomic<uint64_t> allocations{0};
};

// A named heap (for example "#GSMachine"). Safe to use from several threads.
class PackedHeap {
public:
  explicit PackedHeap(std::string_view name) : m_name(name) {}
  PackedHeap(const PackedHeap&) = delete;
  PackedHeap& operator=(const PackedHeap&) = delete;

  // A block of at least size bytes, aligned for any type; nullptr when the
  // system has no memory for it. Size 0 gives a valid unique block.
  void* Alloc(size_t size);
  // Frees a block of this heap; nullptr is ignored.
  void Free(void* block);
  // Size asked for when the block was allocated.
  static size_t BlockSize(const void* block);

  const std::string& Name() const { return m_name; }
  int64_t LiveBytes() const { return m_counters.liveBytes.load(); }
  int64_t LiveBlocks() const { return m_counters.liveBlocks.load(); }
  uint64_t AllocationCount() const { return m_counters.allocations.load(); }

private:
  std::string m_name;
  HeapCounters m_counters;
};

// The engine's heap shared between threads: the same counting heap.
using PackedHeapMP = PackedHeap;

// The engine's general allocator, with process-wide counters.
class Alloc {
public:
  static void* Allocate(size_t size);
  static void Free(void* block);

  // Constructs a T in counted memory; delete it with Delete (or with delete
  // when T derives from AllocObject).
  template <class T, class... Args>
  static T* New(Args&&... args) {
    void* p = Allocate(sizeof(T));
    if (!p) throw std::bad_alloc();
    try {
      return ::new (p) T(std::forward<Args>(args)...);
    } catch (...) {
      Free(p);
      throw;
    }
  }
  template <class T>
  static void Delete(T* object) {
    if (!object) return;
    void* start = object;
    if constexpr (std::is_polymorphic_v<T>) start = dynamic_cast<void*>(object);
    object->~T();
    Free(start);
  }

  static int64_t LiveBytes();
  static int64_t LiveBlocks();
  static uint64_t AllocationCount();
};

// Base for classes whose new and delete go through Alloc, so their objects
// show in its counters whichever way they are made and destroyed.
struct AllocObject {
  static void* operator new(size_t size) {
    void* p = Alloc::Allocate(size);
    if (!p) throw std::bad_alloc();
    return p;
  }
  static void operator delete(void* p) { Alloc::Free(p); }
};

// Sets the C heap up for a process whose work allocates much and then frees
// it all, round after round (compiles): the heap grows in 16 MiB steps and
// keeps that much free at its top, so a later round finds its pages mapped
// instead of faulting them in again (untouched pages cost no memory). With
// `oneHeap`, every thread takes the same heap: for work that moves between
// threads but runs on one at a time (a compile on its parser's thread, then
// its library write), where a thread's own heap would grow a page at a time
// and give its pages back after every round. Call before other threads start.
void PrepareHeapForRounds(bool oneHeap);

// Sets the C heap up for a process whose peak is what counts (a check of one
// large config): a block of 256 KiB or more that the free heap cannot hold is
// mapped on its own and given back when freed, whatever sizes came and went
// before, so a large temporary (a parser's stack) is not kept as free heap
// beside what outlives it.
void PrepareHeapForOnePeak();

// Memory for large hash tables, read at random places: a block of 2 MiB or
// more starts on a huge-page boundary and each whole 2 MiB of it is backed by
// a huge page where the system allows, so a look-up costs one cache miss
// rather than a cache miss and a page-table walk. The block is not rounded up.
// Smaller blocks come from the ordinary heap. Null when there is no memory.
void* AllocateTable(size_t bytes);
void FreeTable(void* block, size_t bytes);

// Pages for a block that must start at a multiple of its own size (a slab
// whose blocks find it by masking their address): `bytes` is a power of two
// of at least a page. The pages are mapped apart from the heap, so asking for
// that alignment wastes nothing, and freeing gives them back at once. Null
// when there is no memory or `bytes` is not such a size.
void* AllocateAlignedPages(size_t bytes);
void FreeAlignedPages(void* block, size_t bytes);
// The bytes of such blocks held in the process: for a program that counts its
// memory, as they lie apart from the heap. Readable at any time, from any thread.
size_t AlignedPagesBytes();

// The same as an allocator for containers (std::vector<Slot, TableAllocator<Slot>>).
template <class T>
struct TableAllocator {
  using value_type = T;
  TableAllocator() = default;
  template <class U>
  TableAllocator(const TableAllocator<U>&) {}
  T* allocate(size_t n) {
    void* p = n > SIZE_MAX / sizeof(T) ? nullptr : AllocateTable(n * sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) { FreeTable(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const TableAllocator<U>&) const {
    return true;
  }
};

// Small blocks for a structure that makes and frees very many of them, such
// as the intern table's texts: the heap takes 32 bytes for a 15-byte block
// (its header, rounding and minimum), here a block takes its size rounded up
// to 16. Blocks of one size class are cut from 64 KiB pieces of that class
// (mapped pages, so a piece costs no heap header or alignment gap); a
// freed block goes on its piece's free list for the next of its class, and a
// piece whose blocks are all free goes back to the system unless it is the last
// of its class with room (a few such pieces are kept back for any class). So
// memory stays bounded by the peak of blocks held.
// Not locked: its owner calls it under one lock.
class SizeClassArena {
public:
  static constexpr size_t kStep = 16;           // blocks are 16-byte aligned
  static constexpr size_t kLargest = 256;       // larger blocks belong elsewhere
  static constexpr size_t kPieceBytes = 65536;  // a power of two: a block finds its piece by masking

  SizeClassArena() = default;
  SizeClassArena(const SizeClassArena&) = delete;
  SizeClassArena& operator=(const SizeClassArena&) = delete;
  // Returns every piece: blocks still held must not be used after.
  ~SizeClassArena();

  // A block of `size` bytes, 1 to kLargest; throws std::bad_alloc.
  void* Allocate(size_t size);
  // A block of Allocate of this arena.
  void Free(void* block) noexcept;
  // Pieces taken from the system and not yet returned (counted in
  // AlignedPagesBytes with the process's other such blocks).
  size_t PieceCount() const { return m_pieces; }

private:
  struct Piece;
  static constexpr size_t kClasses = kLargest / kStep;
  Piece* NewPiece(size_t sizeClass);
  void ReturnPiece(Piece* piece) noexcept;
  void List(Piece* piece) noexcept;
  void Unlist(Piece* piece) noexcept;
  Piece* m_withRoom[kClasses] = {};  // per class: its pieces with a free or uncut block
  Piece* m_all = nullptr;            // every piece, for the destructor
  Piece* m_spare = nullptr;          // empty pieces kept back, for any class
  size_t m_spares = 0;
  size_t m_pieces = 0;
};

// A growable byte buffer. Growth is refused (false) beyond MaxSize, so a
// length read from outside data cannot ask for unbounded memory.
class DynamicBuffer {
public:
  static constexpr size_t MaxSize = size_t(1) << 31;

  explicit DynamicBuffer(size_t initialSize = 0, size_t growBy = 512);

  uint8_t* Data() { return m_bytes.data(); }
  const uint8_t* Data() const { return m_bytes.data(); }
  size_t Size() const { return m_bytes.size(); }
  size_t Capacity() const { return m_bytes.capacity(); }
  // New bytes are zero.
  [[nodiscard]] bool Resize(size_t size);
  [[nodiscard]] bool Reserve(size_t size);
  [[nodiscard]] bool Append(const void* data, size_t size);
  // Writes at offset, growing the buffer when needed (a gap is zero-filled).
  [[nodiscard]] bool Write(size_t offset, const void* data, size_t size);
  // Copies up to size bytes from offset; the number copied.
  size_t Read(size_t offset, void* data, size_t size) const;
  void Clear() { m_bytes.clear(); }

private:
  [[nodiscard]] bool Grow(size_t needed);
  std::vector<uint8_t> m_bytes;
  size_t m_growBy;
};

}  // namespace Kiv
