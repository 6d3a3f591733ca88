/*
 * Bounded string helpers. Stateless and re-entrant. Sizes are destination
 * buffer sizes, terminator included.
 */
#ifndef KESTROW_COMMON_UTILS_H
#define KESTROW_COMMON_UTILS_H

#include <cstddef>

size_t utils_strnlen(const char *s, size_t limit);
/* Copies at most size - 1 bytes and terminates; returns the count copied. Size 0 writes nothing. */
size_t utils_strlcpy(char *dst, const char *src, size_t size);
/*
 * Appends within size and terminates; returns the resulting length (never more
 * than size - 1). A dst without terminator within size is left alone and size
 * is returned.
 */
size_t utils_strlcat(char *dst, const char *src, size_t size);

#endif
