#pragma once
// Memory for config tags and containers: a tree of a hundred thousand tags
// would otherwise be a hundred thousand heap blocks, scattered, each with its
// header, and freed one by one. Blocks are cut in turn from 64 KiB slabs (one
// current slab per thread); a slab goes back to the heap when the last block
// cut from it is freed, whichever thread frees it. A tree built and deleted
// together thus lies in a few slabs and leaves nothing behind.
#include <cstddef>

namespace OBLLib::TagSlabs {

// A block of `size` bytes (at most a few hundred), aligned to 8 bytes.
void* Allocate(size_t size);
// Frees a block of Allocate.
void Free(void* block) noexcept;
// Slabs taken from the heap and not yet returned (the one kept back included).
size_t SlabCount();

}  // namespace OBLLib::TagSlabs
