/*
 * Bounded string helpers and a few file and path helpers.
 */
#include "common/utils.h"
#include "common/log.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#define UTILS_PATH_SIZE 4096

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

/*
 * Creates path and every missing directory on the way with mode. path is
 * modified while working and restored. Returns 0 when path is (now) a
 * directory, -20 (ENOTDIR) when it exists as something else, else the
 * negative errno of the last mkdir.
 */
int utils_mkdir_p(char *path, unsigned mode)
{
    if (!path[0])
        return 0;
    for (char *p = path + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = '\0';
        mkdir(path, mode);
        *p = '/';
    }
    if (mkdir(path, mode) == 0)
        return 0;
    int ret = -errno;
    struct stat st;
    if (ret == -EEXIST)
        return stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
    return ret;
}

/*
 * Removes the directory path and everything below it, depth first, logging
 * every step at LOG_ERROR. Entries are classified with lstat, so a symbolic
 * link is removed as a link and never followed. A failing entry does not stop
 * the walk. Returns 0 when path itself was removed, else the negative errno
 * of its rmdir (or of opendir).
 */
int utils_rmdir_r(const char *path)
{
    DIR *dir = opendir(path);
    if (!dir) {
        int err = errno;
        log_printf(LOG_ERROR, "utils_rmdir_r: opendir(%s) failed, errno=%d (%s)", path, -err,
                   strerror(err));
        return -err;
    }
    struct dirent *e;
    char child[UTILS_PATH_SIZE];
    while ((e = readdir(dir))) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        struct stat st;
        int n = snprintf(child, sizeof(child), "%s/%s", path, e->d_name);
        if (n < 0 || (size_t)n >= sizeof(child)) {  // a cut path would name another file
            log_printf(LOG_ERROR, "utils_rmdir_r: stat(%s) failed, errno=%d", child, -ENAMETOOLONG);
            continue;
        }
        if (lstat(child, &st) != 0) {
            log_printf(LOG_ERROR, "utils_rmdir_r: stat(%s) failed, errno=%d", child, -errno);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            utils_rmdir_r(child);
        } else if (remove(child) == 0) {
            log_printf(LOG_ERROR, "utils_rmdir_r: remove(%s)", child);
        } else {
            int err = errno;
            log_printf(LOG_ERROR, "utils_rmdir_r: remove(%s) failed, errno=%d (%s)", child, -err,
                       strerror(err));
        }
    }
    closedir(dir);
    if (rmdir(path) == 0) {
        log_printf(LOG_ERROR, "utils_rmdir_r: rmdir(%s)", path);
        return 0;
    }
    int err = errno;
    log_printf(LOG_ERROR, "utils_rmdir_r: rmdir(%s) failed, errno=%d (%s)", path, -err,
               strerror(err));
    return -err;
}

/*
 * Reads the regular file path into a new buffer of size + 1 bytes ending in a
 * zero byte; on success the caller owns *out. Returns 0; -2 when path is not
 * a regular file; -34 (ERANGE) when it is too large for a 32-bit size; -12
 * without memory (*out null); -5 (EIO) on a short read; the negative errno
 * of stat or fopen otherwise. On failure *out and *out_size are unchanged
 * except as stated.
 */
int utils_load_file(const char *path, char **out, int32_t *out_size)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        int err = errno;
        log_printf(LOG_ERROR, "utils_load_file: stat(%s) failed, r=%d: %s", path, err,
                   strerror(err));
        return -err;
    }
    if (!S_ISREG(st.st_mode))
        return -ENOENT;
    if (st.st_size >= INT32_MAX)
        return -ERANGE;
    FILE *f = fopen(path, "rb");
    if (!f) {
        int err = errno;
        log_printf(LOG_ERROR, "utils_load_file: failed to open '%s'", path);
        return -err;
    }
    size_t size = (size_t)st.st_size;
    char *buf = (char *)malloc(size + 1);
    if (!buf) {
        fclose(f);
        *out = nullptr;
        return -ENOMEM;
    }
    size_t got = fread(buf, 1, size, f);
    fclose(f);
    if (got != size) {
        free(buf);
        return -EIO;
    }
    buf[size] = '\0';
    *out = buf;
    *out_size = (int32_t)size;
    return 0;
}

/*
 * Space of the file system holding path, in bytes: available to unprivileged
 * users and total. Returns 0 or the negative errno of statvfs.
 */
int utils_disk_space(const char *path, uint64_t *available, uint64_t *total)
{
    struct statvfs vfs;
    if (statvfs(path, &vfs) != 0)
        return -errno;
    // Both block counts are in units of the fragment size.
    *available = (uint64_t)vfs.f_bavail * vfs.f_frsize;
    *total = (uint64_t)vfs.f_blocks * vfs.f_frsize;
    return 0;
}

/* Replaces every occurrence of pat in s by rep (not longer than pat) until none is left. */
static void replace_all(char *s, const char *pat, const char *rep)
{
    size_t m = strlen(pat), r = strlen(rep);
    char *p;
    while ((p = strstr(s, pat))) {
        memcpy(p, rep, r);
        memmove(p + r, p + m, strlen(p + m) + 1);
    }
}

/*
 * Copies at most 4,094 characters of in into out (4,096 bytes; null: a new
 * buffer the caller frees), with a leading "/", and strips parent and current
 * steps, backslashes, quotes, "<", ">", "&" and doubled slashes. Returns the
 * buffer, or null without memory.
 */
char *utils_sanitize_path(const char *in, char *out)
{
    static const char *const table[][2] = {
        {"/../", "/"}, {"/./", "/"}, {"\\", ""}, {"\"", ""},
        {"<", ""},     {">", ""},    {"&", ""},  {"//", "/"},
    };
    char *buf = out ? out : (char *)malloc(UTILS_PATH_SIZE);
    if (!buf)
        return nullptr;
    size_t n = 0;
    if (in[0] != '/')
        buf[n++] = '/';
    utils_strlcpy(buf + n, in, UTILS_PATH_SIZE - 1);
    for (const auto &row : table)
        replace_all(buf, row[0], row[1]);
    return buf;
}

/*
 * Looks for file_name in each directory of the null-ended list, relative to
 * the directory of the running program, and writes the first existing path
 * into buf. When none exists, buf holds the bare file name. Returns buf.
 */
char *utils_find_near_exe(char *buf, int32_t size, const char *file_name, ...)
{
    if (!buf || size <= 0)
        return buf;
    char exe[UTILS_PATH_SIZE];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    exe[n > 0 ? n : 0] = '\0';
    char *slash = strrchr(exe, '/');
    if (slash)
        slash[1] = '\0';
    else
        exe[0] = '\0';

    va_list ap;
    va_start(ap, file_name);
    const char *dir;
    while ((dir = va_arg(ap, const char *))) {
        int len = snprintf(buf, (size_t)size, "%s%s/%s", exe, dir, file_name);
        if (len >= 0 && len < size && access(buf, F_OK) == 0) {
            va_end(ap);
            return buf;
        }
    }
    va_end(ap);
    utils_strlcpy(buf, file_name, (size_t)size);
    return buf;
}

/* Removes every tab, line feed and carriage return from s in place; returns s. */
char *utils_strip_controls(char *s)
{
    char *w = s;
    for (const char *r = s; *r; r++)
        if (*r != '\t' && *r != '\n' && *r != '\r')
            *w++ = *r;
    *w = '\0';
    return s;
}
