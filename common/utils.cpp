/*
 * Bounded string helpers.
 */
#include "common/utils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

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

void utils_rotate_file(const char *path, time_t now)
{
    struct tm tm;
    struct stat file;
    char stamp[32], name[4096 + 48];

    if (stat(path, &file) < 0 || !S_ISREG(file.st_mode))
        return;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof(stamp), "-%Y%m%d_%H%M%S", &tm);
    for (int k = 0; k < UTILS_ROTATE_SUFFIXES; k++) {
        if (k == 0)
            snprintf(name, sizeof(name), "%s%s", path, stamp);
        else
            snprintf(name, sizeof(name), "%s%s-%d", path, stamp, k);
        if (renameat2(AT_FDCWD, path, AT_FDCWD, name, RENAME_NOREPLACE) == 0)
            return;
        if (errno == EINVAL || errno == ENOSYS) {  // file system without no-replace renames
            struct stat st;
            if (lstat(name, &st) == 0)
                continue;
            rename(path, name);
            return;
        }
        if (errno != EEXIST)
            return;
    }
}

void utils_name_thread(const char *name)
{
    char shown[16];
    utils_strlcpy(shown, name, sizeof(shown));
    pthread_setname_np(pthread_self(), shown);
}
