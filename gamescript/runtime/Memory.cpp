#include "gamescript/runtime/Memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace Utils {

namespace {

uint8_t* AlignUp(uint8_t* p, std::size_t alignment)
{
    auto v = reinterpret_cast<std::uintptr_t>(p);
    v = (v + alignment - 1) / alignment * alignment;
    return reinterpret_cast<uint8_t*>(v);
}

}  // namespace

// ---------------------------------------------------------------- ByteBuffer

ByteBuffer::~ByteBuffer() { Release(); }

void ByteBuffer::Release()
{
    std::free(raw_);
    raw_ = nullptr;
    data_ = nullptr;
}

bool ByteBuffer::Allocate(std::size_t size, uint8_t*& raw, uint8_t*& data)
{
    raw = static_cast<uint8_t*>(std::malloc(size + 3));
    data = raw ? AlignUp(raw, 4) : nullptr;
    return raw != nullptr;
}

bool ByteBuffer::Init(std::size_t size)
{
    Release();
    flags_ = 0;
    position_ = 0;
    length_ = 0;
    step_ = size;
    capacity_ = size;
    if (!Allocate(size, raw_, data_)) {
        flags_ = kNoStorage;
        capacity_ = 0;
        return false;
    }
    return true;
}

void ByteBuffer::Reset() { Init(step_); }

void ByteBuffer::Ensure(std::size_t n)
{
    if (flags_ & kNoStorage) return;
    if (n >= capacity_) {
        // Grow geometrically so large images are not copied over and over.
        std::size_t wanted = std::max(step_ + n, capacity_ * 2);
        uint8_t* raw = nullptr;
        uint8_t* data = nullptr;
        if (!Allocate(wanted, raw, data)) {
            flags_ |= kNoStorage;
            return;
        }
        if (length_) std::memcpy(data, data_, length_);
        Release();
        raw_ = raw;
        data_ = data;
        capacity_ = wanted;
    }
    length_ = std::max(length_, n);
}

void ByteBuffer::WriteU32(uint32_t v)
{
    Ensure(position_ + 4);
    if (flags_ & kNoStorage) return;
    uint8_t* p = data_ + position_;
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
    position_ += 4;
}

void ByteBuffer::ReadU32(uint32_t& out)
{
    if (position_ + 4 > length_ || !data_) {
        flags_ |= kReadOverrun;
        return;
    }
    const uint8_t* p = data_ + position_;
    out = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    position_ += 4;
}

// ---------------------------------------------------------------- FrameMemory

FrameMemory::FrameMemory() { Init(kDefaultBlockSize); }

FrameMemory::~FrameMemory() { FreeAll(); }

bool FrameMemory::Init(std::size_t blockSize)
{
    FreeAll();
    blockSize_ = blockSize;
    first_ = current_ = NewBlock();
    return first_ != nullptr;
}

namespace {
constexpr std::size_t kHugePage = std::size_t(2) << 20;
// From this slab size on, slabs are whole huge pages: one fault maps 2 MiB.
constexpr std::size_t kHugeFrom = std::size_t(1) << 20;
}  // namespace

bool FrameMemory::NewSlab(std::size_t blockBytes)
{
    const std::size_t header = (sizeof(Slab) + alignof(Block) - 1) / alignof(Block) * alignof(Block);
    if (blockBytes > SIZE_MAX / 2 - header)
        return false;
    std::size_t size = std::max(nextSlabBytes_, header + blockBytes);
    void* raw = nullptr;
    if (size >= kHugeFrom) {
        size = std::max(kHugePage, (size + kHugePage - 1) / kHugePage * kHugePage);
        raw = std::aligned_alloc(kHugePage, size);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (raw != nullptr)
            madvise(raw, size, MADV_HUGEPAGE);  // only a hint; failure changes nothing
#endif
    }
    if (raw == nullptr) {
        size = std::max(header + blockBytes, std::min(size, kHugeFrom));
        raw = std::malloc(size);
        if (raw == nullptr)
            return false;
    }
    Slab* slab = static_cast<Slab*>(raw);
    slab->next = slabs_;
    slabs_ = slab;
    slabCursor_ = static_cast<uint8_t*>(raw) + header;
    slabEnd_ = static_cast<uint8_t*>(raw) + size;
    // The next slab doubles, up to one huge page.
    nextSlabBytes_ = std::min(std::max(size * 2, header + 2 * blockBytes), kHugePage);
    return true;
}

FrameMemory::Block* FrameMemory::NewBlock()
{
    const std::size_t align = alignof(Block);
    if (blockSize_ > SIZE_MAX / 2)
        return nullptr;
    const std::size_t bytes = (sizeof(Block) + blockSize_ + align - 1) / align * align;
    if (static_cast<std::size_t>(slabEnd_ - slabCursor_) < bytes && !NewSlab(bytes))
        return nullptr;
    Block* b = reinterpret_cast<Block*>(slabCursor_);
    slabCursor_ += bytes;
    b->data = reinterpret_cast<uint8_t*>(b + 1);
    b->used = 0;
    b->next = nullptr;
    b->ownAllocation = false;
    return b;
}

void* FrameMemory::Alloc(std::size_t size, std::size_t alignment)
{
    if (alignment == 0) alignment = 1;
    if (!current_ || size > blockSize_) return nullptr;
    std::size_t n = size + alignment - 1;
    if (n > blockSize_) return nullptr;
    while (blockSize_ - current_->used < n) {
        if (!current_->next) {
            Block* b = NewBlock();
            if (!b) return nullptr;
            current_->next = b;
        }
        current_ = current_->next;
    }
    uint8_t* result = AlignUp(current_->data + current_->used, alignment);
    current_->used += n;
    total_ += n;
    ++count_;
    return result;
}

char* FrameMemory::StrDup(const char* text)
{
    if (!text) return nullptr;
    return StrDup(text, std::strlen(text));
}

char* FrameMemory::StrDup(const char* text, std::size_t length)
{
    if (!text) return nullptr;
    char* copy = static_cast<char*>(Alloc(length + 1, 1));
    if (!copy && current_ && length < SIZE_MAX - sizeof(Block) - 1) {
        // Too long for a block: give it a block of its own, linked behind the
        // current one so later small allocations still fill the current block.
        void* raw = std::malloc(sizeof(Block) + length + 1);
        if (!raw) return nullptr;
        Block* b = static_cast<Block*>(raw);
        b->data = reinterpret_cast<uint8_t*>(b + 1);
        b->used = blockSize_;  // counts as full
        b->next = current_->next;
        b->ownAllocation = true;
        current_->next = b;
        total_ += length + 1;
        ++count_;
        copy = reinterpret_cast<char*>(b->data);
    }
    if (!copy) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

void FrameMemory::FreeAll()
{
    for (Block* b = first_; b != nullptr;) {
        Block* next = b->next;
        if (b->ownAllocation)
            std::free(b);
        b = next;
    }
    for (Slab* slab = slabs_; slab != nullptr;) {
        Slab* next = slab->next;
        std::free(slab);
        slab = next;
    }
    slabs_ = nullptr;
    slabCursor_ = slabEnd_ = nullptr;
    nextSlabBytes_ = 0;
    first_ = current_ = nullptr;
    total_ = 0;
    count_ = 0;
    blockSize_ = 0;
}

// ---------------------------------------------------------------- BlockMemory

BlockMemory::~BlockMemory() { Clear(); }

bool BlockMemory::Init(std::size_t elementsPerBlock, std::size_t elementSize, std::size_t spareThreshold)
{
    Clear();
    if (elementsPerBlock == 0) elementsPerBlock = 1;
    if (elementSize == 0) elementSize = 1;
    perBlock_ = (elementsPerBlock + 31) / 32 * 32;
    bitmapWords_ = perBlock_ / 32;
    elementSize_ = (elementSize + 3) / 4 * 4;
    alignment_ = 4;
    spare_ = spareThreshold;
    table_ = static_cast<Block**>(std::malloc(sizeof(Block*)));
    tableCapacity_ = table_ ? 1 : 0;
    return table_ != nullptr;
}

int BlockMemory::AddBlock()
{
    if (!table_ || perBlock_ == 0) return -1;
    if (blockCount_ == tableCapacity_) {
        auto** grown = static_cast<Block**>(std::realloc(table_, sizeof(Block*) * (tableCapacity_ + 1)));
        if (!grown) return -1;
        table_ = grown;
        ++tableCapacity_;
    }
    Block* b = static_cast<Block*>(std::malloc(sizeof(Block)));
    if (!b) return -1;
    b->raw = static_cast<uint8_t*>(std::malloc(perBlock_ * elementSize_ + alignment_ - 1));
    b->bitmap = static_cast<uint32_t*>(std::malloc(bitmapWords_ * sizeof(uint32_t)));
    if (!b->raw || !b->bitmap) {
        std::free(b->raw);
        std::free(b->bitmap);
        std::free(b);
        return -1;
    }
    b->start = AlignUp(b->raw, alignment_);
    b->end = b->start + perBlock_ * elementSize_;
    std::fill(b->bitmap, b->bitmap + bitmapWords_, 0xFFFFFFFFu);
    b->used = 0;
    std::size_t at = 0;
    while (at < blockCount_ && table_[at]->start < b->start) ++at;
    std::memmove(table_ + at + 1, table_ + at, (blockCount_ - at) * sizeof(Block*));
    table_[at] = b;
    ++blockCount_;
    return int(at);
}

void BlockMemory::ChooseCurrent()
{
    current_ = nullptr;
    for (std::size_t i = blockCount_; i-- > 0;) {
        Block* b = table_[i];
        if (b->used == perBlock_) continue;
        if (!current_ || b->used > current_->used) current_ = b;
    }
}

void* BlockMemory::Alloc()
{
    if (!current_) {
        int index = AddBlock();
        if (index < 0) return nullptr;
        current_ = table_[index];
    }
    Block* b = current_;
    for (std::size_t w = bitmapWords_; w-- > 0;) {
        uint32_t bits = b->bitmap[w];
        if (!bits) continue;
        // The lowest element of a word is its highest bit.
        int i = __builtin_clz(bits);
        b->bitmap[w] &= ~(0x80000000u >> i);
        ++b->used;
        ++inUse_;
        if (b->used == perBlock_) ChooseCurrent();
        return b->start + (w * 32 + std::size_t(i)) * elementSize_;
    }
    return nullptr;  // unreachable: a current block is never full
}

bool BlockMemory::Free(void* address)
{
    if (!table_ || blockCount_ == 0) return false;
    if (inUse_ % 16 == 0) ChooseCurrent();
    auto* p = static_cast<uint8_t*>(address);
    std::size_t lo = 0, hi = blockCount_;
    while (hi - lo > 1) {
        std::size_t mid = (lo + hi) / 2;
        if (table_[mid]->start <= p) lo = mid; else hi = mid;
    }
    Block* b = table_[lo];
    if (p < b->start || p >= b->end) return false;
    std::size_t offset = std::size_t(p - b->start);
    // An address inside an element is not that element: refuse it.
    if (offset % elementSize_ != 0) return false;
    std::size_t index = offset / elementSize_;
    uint32_t mask = 0x80000000u >> (index % 32);
    if (b->bitmap[index / 32] & mask) return false;
    b->bitmap[index / 32] |= mask;
    --b->used;
    --inUse_;
    if (b->used == 0 && (blockCount_ - 1) * perBlock_ - inUse_ > spare_) {
        FreeBlock(lo);
        ChooseCurrent();
    } else if (!current_) {
        current_ = b;
    }
    return true;
}

void BlockMemory::FreeBlock(std::size_t index)
{
    Block* b = table_[index];
    if (current_ == b) current_ = nullptr;
    std::free(b->raw);
    std::free(b->bitmap);
    std::free(b);
    std::memmove(table_ + index, table_ + index + 1, (blockCount_ - index - 1) * sizeof(Block*));
    --blockCount_;
}

void BlockMemory::Reset()
{
    while (blockCount_ > 1) FreeBlock(blockCount_ - 1);
    if (blockCount_ == 1) {
        Block* b = table_[0];
        std::fill(b->bitmap, b->bitmap + bitmapWords_, 0xFFFFFFFFu);
        b->used = 0;
        current_ = b;
    }
    inUse_ = 0;
}

void BlockMemory::Clear()
{
    while (blockCount_ > 0) FreeBlock(blockCount_ - 1);
    std::free(table_);
    table_ = nullptr;
    tableCapacity_ = 0;
    current_ = nullptr;
    spare_ = perBlock_ = bitmapWords_ = elementSize_ = 0;
    alignment_ = 4;
    inUse_ = 0;
}

}  // namespace Utils
