/*
 * Bounded string helpers.
 */
#include "common/utils.h"

#include <cstring>

/* Number of characters of s before its terminator, at most limit; reads nothing past s + limit. */
size_t utils_strnlen(const char *s, size_t limit)
{
    size_t n = 0;
    while (n < limit && s[n])
        n++;
    return n;
}

/*
 * Copies at most size - 1 characters of src into dst and terminates it.
 * Returns the number copied (not the length of src). Size 0 writes nothing.
 */
size_t utils_strlcpy(char *dst, const char *src, size_t size)
{
    if (size == 0)
        return 0;
    size_t n = utils_strnlen(src, size - 1);
    for (size_t i = 0; i < n; i++)
        dst[i] = src[i];
    dst[n] = '\0';
    return n;
}

/*
 * Appends src to the terminated text in dst within size bytes and
 * terminates. Returns the resulting length, never more than size - 1. When
 * dst holds no terminator within size, nothing is written and size is
 * returned.
 */
size_t utils_strlcat(char *dst, const char *src, size_t size)
{
    size_t n = utils_strnlen(dst, size);
    if (n >= size)
        return size;
    size_t room = size - n - 1;
    size_t add = utils_strnlen(src, room);
    for (size_t i = 0; i < add; i++)
        dst[n + i] = src[i];
    dst[n + add] = '\0';
    return n + add;
}
