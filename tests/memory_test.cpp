// The allocator plug-ins share with the server, called in process through the exported
// functions: what a block holds when it is handed out. A process that lasts (-k, -r) hands
// memory out again that held an earlier session's bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "websrv_plugin.h"

namespace {

// The first byte of `block` that is not `value`, or `size` when all are.
size_t first_other(const void *block, size_t size, unsigned char value)
{
    const auto *bytes = static_cast<const unsigned char *>(block);
    size_t at = 0;
    while (at < size && bytes[at] == value)
        ++at;
    return at;
}

TEST(SharedAllocator, AFreshBlockIsZeroWhereAFreedOneHeldBytes)
{
    for (const size_t size : {1u, 24u, 100u, 4096u, 70000u}) {
        void *earlier = websrv_malloc(size);
        ASSERT_NE(earlier, nullptr);
        memset(earlier, 0xa5, size);
        websrv_free(earlier);
        void *fresh = websrv_malloc(size);
        ASSERT_NE(fresh, nullptr);
        EXPECT_EQ(first_other(fresh, size, 0), size) << size << " bytes";
        websrv_free(fresh);
    }
}

TEST(SharedAllocator, AGrowingBlockKeepsItsBytesAndGetsZeros)
{
    const struct {
        const char *what;
        size_t from, shrink_to, grow_to;
    } cases[] = {
        {"grown a little", 16, 16, 40},
        {"grown into freed memory", 16, 16, 4096},
        {"shrunk, then grown back", 64, 8, 64},
        {"shrunk to nothing, then grown", 64, 0, 64},
    };
    for (const auto &c : cases) {
        // Memory that held someone's bytes, free again for the growth to take.
        void *freed = websrv_malloc(c.grow_to);
        ASSERT_NE(freed, nullptr);
        memset(freed, 0xa5, c.grow_to);
        auto *block = static_cast<unsigned char *>(websrv_malloc(c.from));
        websrv_free(freed);
        ASSERT_NE(block, nullptr);
        memset(block, 'k', c.from);
        block = static_cast<unsigned char *>(websrv_realloc(block, c.shrink_to));
        ASSERT_TRUE(block != nullptr || c.shrink_to == 0) << c.what;
        block = static_cast<unsigned char *>(websrv_realloc(block, c.grow_to));
        ASSERT_NE(block, nullptr) << c.what;
        EXPECT_EQ(first_other(block, c.shrink_to, 'k'), c.shrink_to) << c.what;
        EXPECT_EQ(first_other(block + c.shrink_to, c.grow_to - c.shrink_to, 0), c.grow_to - c.shrink_to) << c.what;
        websrv_free(block);
    }
}

TEST(SharedAllocator, ASizeNoBlockCanHaveIsRefused)
{
    EXPECT_EQ(websrv_malloc(SIZE_MAX), nullptr);
    EXPECT_EQ(websrv_malloc(SIZE_MAX - 8), nullptr);
    auto *block = static_cast<char *>(websrv_malloc(8));
    ASSERT_NE(block, nullptr);
    memcpy(block, "kept it", 8);
    EXPECT_EQ(websrv_realloc(block, SIZE_MAX), nullptr);
    EXPECT_STREQ(block, "kept it");  // a refused reallocation leaves the block as it was
    websrv_free(block);
}

}  // namespace
