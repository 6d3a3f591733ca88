/*
 * Bounded string helpers, and the move of a rotated file aside. Stateless and
 * re-entrant. Sizes are destination buffer sizes, terminator included.
 */
#ifndef KESTROW_COMMON_UTILS_H
#define KESTROW_COMMON_UTILS_H

#include <cstddef>
#include <ctime>

size_t utils_strnlen(const char *s, size_t limit);
/* Copies at most size - 1 bytes and terminates; returns the count copied. Size 0 writes nothing. */
size_t utils_strlcpy(char *dst, const char *src, size_t size);
/*
 * Appends within size and terminates; returns the resulting length (never more
 * than size - 1). A dst without terminator within size is left alone and size
 * is returned.
 */
size_t utils_strlcat(char *dst, const char *src, size_t size);

/*
 * Renames the file at path to path-YYYYmmdd_HHMMSS (local time of now), or,
 * when that name is taken, to the same name with -1, -2, ... appended (at
 * most UTILS_ROTATE_SUFFIXES tries); an existing file is never replaced. A
 * missing file, one that cannot be renamed, and anything but a regular file
 * (a FIFO or a device a collector reads) stay as they are.
 */
#define UTILS_ROTATE_SUFFIXES 1000
void utils_rotate_file(const char *path, time_t now);

/*
 * Names the calling thread (the first 15 bytes of name), as top -H, gdb and
 * /proc show it: which of the process's threads is busy or blocked can then
 * be told on air. A name the system refuses is left unset.
 */
void utils_name_thread(const char *name);

#endif
