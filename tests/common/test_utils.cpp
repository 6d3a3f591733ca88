/*
 * The bounded string helpers the logger and the option parser build paths
 * and lines with: every result terminated, nothing written at or past size.
 */
#include "common/utils.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(BoundedStrings, CopyAndAppendCutWithinSize)
{
    struct {
        const char *dst, *src;  // dst nullptr: a copy; else an append to dst
        size_t size;
        const char *result;
        size_t ret;
    } cases[] = {
        {nullptr, "abc", 1, "", 0},
        {nullptr, "0123456789", 5, "0123", 4},
        {nullptr, "abc", 4, "abc", 3},
        {nullptr, "abc", 10, "abc", 3},
        {"ab", "cd", 5, "abcd", 4},
        {"abcd", "x", 5, "abcd", 4},
        {"ab", "cdef", 5, "abcd", 4},
        {"", "xyz", 2, "x", 1},
        {"ab", "", 5, "ab", 2},
    };
    for (auto &c : cases) {
        char buf[32];
        memset(buf, '#', sizeof(buf));
        if (c.dst)
            memcpy(buf, c.dst, strlen(c.dst) + 1);
        size_t ret = c.dst ? utils_strlcat(buf, c.src, c.size) : utils_strlcpy(buf, c.src, c.size);
        EXPECT_EQ(c.ret, ret) << (c.dst ? c.dst : "copy") << " + " << c.src << " in " << c.size;
        EXPECT_STREQ(c.result, buf);
        for (size_t i = c.size; i < sizeof(buf); i++)
            ASSERT_EQ('#', buf[i]) << "wrote past size at " << i;
    }
}

TEST(BoundedStrings, NoRoomWritesNothing)
{
    char buf[8];
    memset(buf, '#', sizeof(buf));
    EXPECT_EQ(0u, utils_strlcpy(buf, "abc", 0));
    EXPECT_EQ(0u, utils_strlcat(buf, "abc", 0));
    memcpy(buf, "abcde", 5);  // no terminator within size 5
    EXPECT_EQ(5u, utils_strlcat(buf, "xyz", 5));
    EXPECT_EQ(0, memcmp(buf, "abcde###", 8));
}

} // namespace
