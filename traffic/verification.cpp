/*
 * Verification file: the schedule's lines with what aired at their byte
 * positions, written whole through a temporary file.
 */
#include "traffic/verification.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/utils.h"

#define VERIFICATION_WIDTH 77   // a record reaches at least to its status

/* Puts text (exactly its length) at bytes from.. (from 1) of line. */
static void put_at(std::string *line, int from, const char *text)
{
    line->replace((size_t)from - 1, strlen(text), text);
}

/* Record r as it goes back (r->text set). */
static std::string verified(const schedule_record *r)
{
    std::string line = r->text;
    if (r->type == SCHEDULE_LOI || r->type == SCHEDULE_NUL) {
        if (line.size() < VERIFICATION_WIDTH)
            line.resize(VERIFICATION_WIDTH, ' ');
        char field[16] = "000000";
        if (r->aired_ms != SCHEDULE_NONE) {
            time_t t = (time_t)(r->aired_ms / 1000);
            struct tm tm;
            localtime_r(&t, &tm);
            strftime(field, sizeof(field), "%H%M%S", &tm);
        }
        put_at(&line, 42, field);
        int64_t cs = r->aired_length > 0 ? r->aired_length : 0;
        snprintf(field, sizeof(field), "%02d%02d%02d%02d", (int)(cs / 360000 % 100), (int)(cs / 6000 % 60),
                 (int)(cs / 100 % 60), (int)(cs % 100));
        put_at(&line, 49, field);
        snprintf(field, sizeof(field), "%03d", r->aired_position % 1000);
        put_at(&line, 58, field);
        snprintf(field, sizeof(field), "%04d", r->status % 10000);
        put_at(&line, 74, field);
    }
    return line;
}

int verification_line(const schedule_record *r, char *buf, size_t size)
{
    if (!r || !buf || !r->text)
        return -EINVAL;
    std::string line = verified(r);
    if (line.size() >= size)
        return -ENOSPC;
    memcpy(buf, line.c_str(), line.size() + 1);
    return (int)line.size();
}

int verification_path(const char *schedule_path, const char *option, char *buf, size_t size)
{
    if (!schedule_path || !buf)
        return -EINVAL;
    const char *slash = strrchr(schedule_path, '/');
    std::string name = slash ? slash + 1 : schedule_path;
    size_t dot = name.rfind('.');
    bool lower = dot != std::string::npos && name.compare(dot, std::string::npos, ".sch") == 0;
    name = name.substr(0, dot) + (lower ? ".ver" : ".VER");

    struct stat st;
    std::string path;
    if (option && option[0])
        path = stat(option, &st) == 0 && S_ISDIR(st.st_mode) ? std::string(option) + "/" + name : option;
    else
        path = slash ? std::string(schedule_path, (size_t)(slash - schedule_path) + 1) + name : name;
    if (path.size() >= size)
        return -ENAMETOOLONG;
    utils_strlcpy(buf, path.c_str(), size);
    return 0;
}

char *verification_text(const schedule *s, size_t *size)
{
    if (!s || !size)
        return nullptr;
    try {
        std::string text;
        for (int i = 0; i < s->count; i++)
            text += verified(&s->records[i]) + (s->crlf ? "\r\n" : "\n");
        char *out = (char *)malloc(text.size() + 1);
        if (out) {
            memcpy(out, text.c_str(), text.size() + 1);
            *size = text.size();
        }
        return out;
    } catch (...) {
        return nullptr;
    }
}

int verification_save(const char *path, const char *text, size_t size)
{
    if (!path || !text)
        return -EINVAL;
    std::string tmp = std::string(path) + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -errno;
    int ret = 0;
    for (size_t at = 0; ret == 0 && at < size;) {
        ssize_t n = write(fd, text + at, size - at);
        if (n < 0 && errno != EINTR)
            ret = -errno;
        else if (n > 0)
            at += (size_t)n;
    }
    if (ret == 0 && fsync(fd) != 0)
        ret = -errno;
    if (close(fd) != 0 && ret == 0)
        ret = -errno;
    if (ret == 0 && rename(tmp.c_str(), path) != 0)
        ret = -errno;
    if (ret != 0)
        unlink(tmp.c_str());
    return ret;
}

int verification_write(const schedule *s, const char *path)
{
    size_t size = 0;
    char *text = s && path ? verification_text(s, &size) : nullptr;
    if (!s || !path)
        return -EINVAL;
    if (!text)
        return -ENOMEM;
    int ret = verification_save(path, text, size);
    free(text);
    return ret;
}
