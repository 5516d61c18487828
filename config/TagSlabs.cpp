#include "config/TagSlabs.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>

#include "kiv/Memory.h"

namespace OBLLib::TagSlabs {

namespace {

// A slab's size: its pages are mapped apart from the heap, and a power of two
// lets a block find its slab by masking its address.
constexpr size_t kSlabBytes = size_t(64) << 10;

constexpr size_t kAlign = 8;

// The header at the start of every slab.
struct Slab {
  // Blocks cut and not yet freed, plus one while the slab is a thread's current one.
  std::atomic<uint32_t> holds{1};
  uint32_t used = 0;  // bytes cut so far, the header included
  // The words beside its blocks (see Beside), by offset / kBesideUnit; made
  // on first use and kept while the slab is, through its reuse too.
  std::atomic<uint64_t*> beside{nullptr};
};
[[maybe_unused]] constexpr size_t kBesideWords = kSlabBytes / kBesideUnit;
constexpr size_t kHeader = (sizeof(Slab) + kAlign - 1) / kAlign * kAlign;

[[maybe_unused]] Slab* SlabOf(void* block) {
  return reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(block) & ~uintptr_t(kSlabBytes - 1));
}

// Empty slabs kept back for the next blocks: a process that builds and
// deletes trees in turn would otherwise give its slabs' pages back to the
// system and take them again each time, to be faulted in and cleared anew.
// Enough for a tree of about 100,000 tags; the slabs of a larger tree beyond
// these go back.
constexpr size_t kMaxSpare = 256;
struct Spares {
  std::mutex lock;  // taken once per 64 KiB slab, not per block
  size_t count = 0;
  Slab* slabs[kMaxSpare];
};
Spares& SpareSlabs() {
  static auto* spares = new Spares;  // slabs are freed at thread ends after statics go
  return *spares;
}
std::atomic<size_t> g_slabs{0};  // mapped and not given back
std::atomic<size_t> g_spare{0};  // of those, kept back empty

// A slab whose last hold went: kept back or given back.
[[gnu::noinline]] void Release(Slab* slab) noexcept {
  {
    Spares& spares = SpareSlabs();
    std::lock_guard<std::mutex> guard(spares.lock);
    if (spares.count < kMaxSpare) {
      spares.slabs[spares.count++] = slab;
      g_spare.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  delete[] slab->beside.load(std::memory_order_acquire);
  slab->~Slab();
  Kiv::FreeAlignedPages(slab, kSlabBytes);
  g_slabs.fetch_sub(1, std::memory_order_relaxed);
}

inline void Drop(Slab* slab) noexcept {
  if (slab->holds.fetch_sub(1, std::memory_order_acq_rel) == 1) Release(slab);
}

// The spare slab given back last (its pages the likeliest to be cached), or null.
[[maybe_unused]] Slab* TakeSpare() {
  Spares& spares = SpareSlabs();
  std::lock_guard<std::mutex> guard(spares.lock);
  if (!spares.count) return nullptr;
  g_spare.fetch_sub(1, std::memory_order_relaxed);
  return spares.slabs[--spares.count];
}

[[maybe_unused, gnu::noinline]] Slab* NewSlab() {
  if (Slab* spare = TakeSpare()) {
    spare->holds.store(1, std::memory_order_relaxed);
    spare->used = kHeader;
    return spare;  // with its words beside, if it had them
  }
  void* memory = Kiv::AllocateAlignedPages(kSlabBytes);
  if (!memory) throw std::bad_alloc();
  g_slabs.fetch_add(1, std::memory_order_relaxed);
  Slab* slab = ::new (memory) Slab;
  slab->used = kHeader;
  return slab;
}

// The thread's current slab; its hold goes when the thread ends. A tag made
// after that (by another thread-local object's destructor) takes a slab of
// its own. The pointer is not a member of the releasing object: stores into
// an object that is being destroyed may be dropped by the compiler.
[[maybe_unused]] thread_local Slab* t_slab = nullptr;
struct ReleaseAtThreadEnd {
  bool armed = false;
  ~ReleaseAtThreadEnd() {
    if (t_slab) Drop(t_slab);
    t_slab = nullptr;
  }
};
[[maybe_unused]] thread_local ReleaseAtThreadEnd t_release;

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define ROVANA_TAG_SLABS_PLAIN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ROVANA_TAG_SLABS_PLAIN 1
#endif
#endif

size_t SlabCount() {
  const size_t taken = g_slabs.load(std::memory_order_relaxed),
               spare = g_spare.load(std::memory_order_relaxed);
  return taken > spare ? taken - spare : 0;  // the two read at slightly different times
}
size_t SpareCount() { return g_spare.load(std::memory_order_relaxed); }

#ifdef ROVANA_TAG_SLABS_PLAIN
// Under the address sanitizer every tag is a heap block of its own, so a use
// after free is still caught; its word lies just before it.
void* Allocate(size_t size) {
  return static_cast<char*>(::operator new(size + sizeof(uint64_t))) + sizeof(uint64_t);
}
void Free(void* block) noexcept {
  if (block) ::operator delete(static_cast<char*>(block) - sizeof(uint64_t));
}
void* Beside(const void* block) {
  return const_cast<char*>(static_cast<const char*>(block)) - sizeof(uint64_t);
}
#else
void* Beside(const void* block) {
  Slab* slab = SlabOf(const_cast<void*>(block));
  uint64_t* words = slab->beside.load(std::memory_order_acquire);
  if (!words) {
    // Blocks of one slab may be used by several threads: the first array placed wins.
    auto* fresh = new uint64_t[kBesideWords];
    if (slab->beside.compare_exchange_strong(words, fresh, std::memory_order_acq_rel))
      words = fresh;
    else
      delete[] fresh;
  }
  const size_t offset =
      static_cast<size_t>(static_cast<const char*>(block) - reinterpret_cast<const char*>(slab));
  // Blocks of kBesideUnit bytes or more start at least that far apart, so no
  // two share a word.
  return words + offset / kBesideUnit;
}

void* Allocate(size_t size) {
  size = (size + kAlign - 1) / kAlign * kAlign;
  if (size > kSlabBytes / 8) throw std::bad_alloc();
  Slab*& current = t_slab;
  // A full slab whose blocks have all been freed again is cut anew.
  if (current && current->used + size > kSlabBytes && current->holds.load(std::memory_order_acquire) == 1)
    current->used = kHeader;
  if (!current || current->used + size > kSlabBytes) {
    Slab* fresh = NewSlab();
    if (current) Drop(current);
    current = fresh;
    t_release.armed = true;
  }
  void* block = reinterpret_cast<char*>(current) + current->used;
  current->used += static_cast<uint32_t>(size);
  current->holds.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void Free(void* block) noexcept {
  if (block) Drop(SlabOf(block));
}
#endif

}  // namespace OBLLib::TagSlabs
