/*
 * Bounded strings, file and path helpers, and the application context. The
 * logger is never started here, so the helpers' log lines arrive on standard
 * error, where the tests capture them.
 */
#include "common/utils.h"
#include "test_support.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>

namespace {

/* A destination holding init, every byte after its terminator a guard '#'. */
struct Guarded {
    char buf[32];
    explicit Guarded(const char *init)
    {
        memset(buf, '#', sizeof(buf));
        memcpy(buf, init, strlen(init) + 1);
    }
};

TEST(BoundedStrings, Strnlen)
{
    EXPECT_EQ(3u, utils_strnlen("0123456789", 3));
    EXPECT_EQ(10u, utils_strnlen("0123456789", 20));
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(4u, utils_strnlen(unterminated, 4));
}

TEST(BoundedStrings, StrlcpyCutsAndTerminates)
{
    struct {
        const char *src;
        size_t size;
        const char *result;
        size_t ret;
    } cases[] = {
        {"abc", 1, "", 0},
        {"0123456789", 5, "0123", 4},
        {"abc", 4, "abc", 3},
        {"abc", 10, "abc", 3},
    };
    for (auto &c : cases) {
        char buf[16];
        memset(buf, '#', sizeof(buf));
        EXPECT_EQ(c.ret, utils_strlcpy(buf, c.src, c.size)) << c.src << " size " << c.size;
        EXPECT_STREQ(c.result, buf);
        EXPECT_EQ('#', buf[c.ret + 1]) << "wrote past the terminator";
    }
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(0u, utils_strlcpy(buf, "abc", 0));
    EXPECT_EQ(0, memcmp(buf, "####", 4));
}

TEST(BoundedStrings, StrlcatAppendsWithinSize)
{
    struct {
        const char *dst, *src;
        size_t size;
        const char *result;
        size_t ret;
    } cases[] = {
        {"ab", "cd", 5, "abcd", 4},
        {"abcd", "x", 5, "abcd", 4},
        {"ab", "cdef", 5, "abcd", 4},
        {"", "xyz", 2, "x", 1},
        {"ab", "", 5, "ab", 2},
    };
    for (auto &c : cases) {
        Guarded g(c.dst);
        EXPECT_EQ(c.ret, utils_strlcat(g.buf, c.src, c.size)) << c.dst << "+" << c.src;
        EXPECT_STREQ(c.result, g.buf);
        for (size_t i = c.size; i < sizeof(g.buf); i++)
            ASSERT_EQ('#', g.buf[i]) << "wrote past size at " << i;
    }
}

TEST(BoundedStrings, StrlcatWithoutRoomWritesNothing)
{
    char buf[8];
    memset(buf, '#', sizeof(buf));
    EXPECT_EQ(0u, utils_strlcat(buf, "abc", 0));
    memcpy(buf, "abcde", 5);    // no terminator within size 5
    EXPECT_EQ(5u, utils_strlcat(buf, "xyz", 5));
    EXPECT_EQ(0, memcmp(buf, "abcde###", 8));
}

} // namespace
