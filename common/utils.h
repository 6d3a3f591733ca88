/*
 * Bounded string helpers and a few file and path helpers. Stateless and
 * re-entrant. Sizes are destination buffer sizes, terminator included;
 * failures are negative errno values.
 */
#ifndef KESTROW_COMMON_UTILS_H
#define KESTROW_COMMON_UTILS_H

#include <cstddef>
#include <cstdint>

size_t utils_strnlen(const char *s, size_t limit);
/* Copies at most size - 1 bytes and terminates; returns the count copied. Size 0 writes nothing. */
size_t utils_strlcpy(char *dst, const char *src, size_t size);
/*
 * Appends within size and terminates; returns the resulting length (never more
 * than size - 1). A dst without terminator within size is left alone and size
 * is returned.
 */
size_t utils_strlcat(char *dst, const char *src, size_t size);

int utils_mkdir_p(char *path, unsigned mode);
int utils_rmdir_r(const char *path);
int utils_load_file(const char *path, char **out, int32_t *out_size);
int utils_disk_space(const char *path, uint64_t *available, uint64_t *total);
char *utils_sanitize_path(const char *in, char *out);
char *utils_find_near_exe(char *buf, int32_t size, const char *file_name, ...);
char *utils_strip_controls(char *s);

#endif
