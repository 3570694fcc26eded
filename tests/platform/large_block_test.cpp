// Large blocks: mapped on their own from 2 MiB on, starting on a huge-page
// boundary, every byte usable; a container on them keeps its values as it
// grows past the boundary and back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/large_block.h"

namespace zel {
namespace {

TEST(LargeBlock, BlocksOfEverySizeHoldTheirBytes) {
    for (size_t bytes : {size_t(0), size_t(1), size_t(4095), size_t(2) << 20, (size_t(5) << 20) + 123}) {
        auto* p = static_cast<unsigned char*>(allocateBlock(bytes));
        ASSERT_NE(p, nullptr) << bytes;
        if (bytes >= (size_t(2) << 20)) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (size_t(2) << 20), 0u) << bytes;
        }
        if (bytes > 0) {
            std::memset(p, 0xA5, bytes);
            EXPECT_EQ(p[0], 0xA5);
            EXPECT_EQ(p[bytes - 1], 0xA5);
        }
        freeBlock(p, bytes);
    }
    freeBlock(nullptr, size_t(8) << 20);  // nothing to give back
}

TEST(LargeBlock, AVectorOnLargeBlocksKeepsItsValuesAsItGrowsAndShrinks) {
    std::vector<uint64_t, BlockAllocator<uint64_t>> v;
    for (uint64_t i = 0; i < 1'000'000; ++i) v.push_back(i * 2654435761u);  // 8 MB, through many growths
    for (uint64_t i = 0; i < v.size(); i += 9973) ASSERT_EQ(v[i], i * 2654435761u) << i;
    v.resize(1000);
    v.shrink_to_fit();
    EXPECT_EQ(v.back(), uint64_t{999} * 2654435761u);
    std::vector<uint64_t, BlockAllocator<uint64_t>> copy = v;
    EXPECT_EQ(copy, v);
}

}  // namespace
}  // namespace zel
