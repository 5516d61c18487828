#pragma once
// Memory for config tags and containers: a tree of a hundred thousand tags
// would otherwise be a hundred thousand heap blocks, scattered, each with its
// header, and freed one by one. Blocks are cut in turn from 64 KiB slabs (one
// current slab per thread); a slab goes back to the system when the last block
// cut from it is freed, whichever thread frees it, or is kept back empty for
// the next blocks (a bounded number of slabs). A tree built and deleted
// together thus lies in a few slabs and leaves nothing behind but those.
#include <cstddef>

namespace OBLLib::TagSlabs {

// A block of `size` bytes (at most a few hundred), aligned to 8 bytes.
void* Allocate(size_t size);
// Frees a block of Allocate.
void Free(void* block) noexcept;
// Slabs in use: mapped and holding blocks or a thread's current one.
size_t SlabCount();
// Empty slabs kept back for reuse (at most a few MiB).
size_t SpareCount();

// Blocks of at least this many bytes may have a word beside them.
constexpr size_t kBesideUnit = 48;
// An 8-byte word of the block's own, outside it, for a field few blocks set:
// a slab makes its array of such words when the first is asked for, so a
// slab of blocks that never ask pays nothing. The block must be of at least
// kBesideUnit bytes. The word is neither cleared for a new block nor kept
// when the block is freed: its owner writes it before reading it.
void* Beside(const void* block);

}  // namespace OBLLib::TagSlabs
