// Large blocks of memory on huge pages where the kernel offers them. Loading
// a catalogue of 100,000 products touches tens of megabytes at once, and each
// 4 KiB page touched for the first time is a fault of its own; a block of
// 2 MiB or more is mapped on its own and advised for transparent huge pages,
// so it faults in 2 MiB steps. Smaller blocks come from the ordinary heap.
#pragma once

#include <cstddef>

namespace zel {

// Throws std::bad_alloc when there is no memory. `bytes` may be 0.
void* allocateBlock(size_t bytes);
// `bytes` as it was allocated.
void freeBlock(void* block, size_t bytes) noexcept;

// For containers whose storage grows large (the rows of a loaded table).
template <class T>
struct BlockAllocator {
    using value_type = T;
    BlockAllocator() = default;
    template <class U>
    BlockAllocator(const BlockAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return static_cast<T*>(allocateBlock(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept { freeBlock(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const BlockAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace zel
