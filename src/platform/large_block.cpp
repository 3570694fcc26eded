#include "platform/large_block.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace zel {
namespace {

constexpr size_t kHuge = size_t(2) << 20;
constexpr size_t kPage = 4096;

// Whole pages: the block's last part, short of a huge page, stays on small
// pages instead of holding a huge one it would fill in part.
size_t mappedLength(size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

}  // namespace

void* allocateBlock(size_t bytes) {
    if (bytes < kHuge) return ::operator new(bytes);
    size_t length = mappedLength(bytes);
    // Mapped with room to start on a 2 MiB boundary, the slack given back.
    void* mapped = ::mmap(nullptr, length + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    auto start = reinterpret_cast<uintptr_t>(mapped);
    uintptr_t aligned = (start + kHuge - 1) / kHuge * kHuge;
    if (aligned > start) ::munmap(mapped, aligned - start);
    uintptr_t end = start + length + kHuge;
    if (end > aligned + length) ::munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    void* block = reinterpret_cast<void*>(aligned);
    ::madvise(block, length, MADV_HUGEPAGE);  // a hint: without it the block still works
    return block;
}

void freeBlock(void* block, size_t bytes) noexcept {
    if (!block) return;
    if (bytes < kHuge) ::operator delete(block);
    else ::munmap(block, mappedLength(bytes));
}

}  // namespace zel
