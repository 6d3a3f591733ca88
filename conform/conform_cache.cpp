/*
 * The cache of conformed files: where a source is, its content's hash, the
 * record kept beside each conformed copy.
 */
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conform/conform.h"
#include "common/utils.h"

namespace {

/* What the record of a conformed copy says. */
struct record {
    int64_t size = -1, mtime = -1;  // the source's, when it was hashed
    uint64_t hash = 0;              // FNV-1a of the source's bytes
    uint64_t target = 0;            // hash of the target it was conformed to
    conform_result res = {};
};

uint64_t fnv(uint64_t h, const void *data, size_t n)
{
    const unsigned char *p = (const unsigned char *)data;
    for (size_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 0x100000001b3ULL;
    return h;
}

const uint64_t FNV_BASIS = 0xcbf29ce484222325ULL;

/*
 * The hash of what the target asks for (the loudness to a tenth of a LU,
 * the length to the millisecond), and of the way copies are made: copies
 * made before they lasted their length to the picture are made again.
 */
uint64_t target_hash(const conform_target *t)
{
    char text[1024];
    conform_target_text(t, text, sizeof(text));
    uint64_t h = fnv(FNV_BASIS, text, strlen(text));
    h = fnv(h, "exact-length", 12);
    int ids[2 + 2 * CONFORM_MAX_AUDIO] = {t->video.pid, t->video.profile};
    for (int i = 0; i < t->audio_count; i++) {
        ids[2 + 2 * i] = t->audio[i].pid;
        ids[3 + 2 * i] = (int)t->audio[i].bit_rate;
    }
    return fnv(h, ids, sizeof(ids));
}

/* The hash of the file's bytes. 0 or -errno. */
int file_hash(const char *path, uint64_t *out)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return -errno;
    uint64_t h = FNV_BASIS;
    /* Eight lanes so that the loop is not one long chain of multiplications. */
    uint64_t lanes[8] = {};
    static thread_local unsigned char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        size_t i = 0;
        for (; i + 64 <= n; i += 64)
            for (int k = 0; k < 8; k++) {
                uint64_t w;
                memcpy(&w, buf + i + 8 * k, 8);
                lanes[k] = (lanes[k] ^ w) * 0x100000001b3ULL;
            }
        h = fnv(h, buf + i, n - i);
    }
    int ret = ferror(f) ? -EIO : 0;
    fclose(f);
    *out = fnv(h, lanes, sizeof(lanes));
    return ret;
}

std::string record_path(const char *cache, const char *name)
{
    return std::string(cache) + "/" + name + ".txt";
}

std::string copy_path(const char *cache, const char *name)
{
    return std::string(cache) + "/" + name + ".ts";
}

int status_of(const char *name)
{
    for (int s = CONFORM_CONFORMED; s < CONFORM_STATUS_COUNT; s++)
        if (strcmp(conform_status_name(s), name) == 0)
            return s;
    return CONFORM_NONE;
}

/* Reads the record at path. 0; -errno; -EINVAL when it is not one. */
int record_read(const std::string &path, record *r)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return -errno;
    char line[512];
    while (fgets(line, sizeof(line), f)) {
        line[strcspn(line, "\n")] = '\0';
        char *value = strchr(line, ' ');
        if (!value)
            continue;
        *value++ = '\0';
        if (strcmp(line, "size") == 0)
            r->size = strtoll(value, nullptr, 10);
        else if (strcmp(line, "mtime") == 0)
            r->mtime = strtoll(value, nullptr, 10);
        else if (strcmp(line, "hash") == 0)
            r->hash = strtoull(value, nullptr, 16);
        else if (strcmp(line, "target") == 0)
            r->target = strtoull(value, nullptr, 16);
        else if (strcmp(line, "status") == 0)
            r->res.status = status_of(value);
        else if (strcmp(line, "before") == 0)
            r->res.before = strtod(value, nullptr);
        else if (strcmp(line, "after") == 0)
            r->res.after = strtod(value, nullptr);
        else if (strcmp(line, "peak") == 0)
            r->res.peak = strtod(value, nullptr);
        else if (strcmp(line, "seconds") == 0)
            r->res.seconds = strtod(value, nullptr);
        else if (strcmp(line, "source_seconds") == 0)
            r->res.source_seconds = strtod(value, nullptr);
        else if (strcmp(line, "pictures") == 0)
            r->res.pictures = strtoll(value, nullptr, 10);
        else if (strcmp(line, "why") == 0)
            utils_strlcpy(r->res.why, value, sizeof(r->res.why));
    }
    fclose(f);
    return r->res.status != CONFORM_NONE && r->size >= 0 ? 0 : -EINVAL;
}

/* Writes the record through a temporary file. 0 or -errno. */
int record_write(const std::string &path, const char *source, const record *r)
{
    std::string tmp = path + ".part";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return -errno;
    fprintf(f, "source %s\nsize %" PRId64 "\nmtime %" PRId64 "\nhash %016" PRIx64 "\ntarget %016" PRIx64
               "\nstatus %s\nbefore %.2f\nafter %.2f\npeak %.2f\nseconds %.3f\nsource_seconds %.3f\npictures %" PRId64
               "\nwhy %s\n",
            source, r->size, r->mtime, r->hash, r->target, conform_status_name(r->res.status), r->res.before,
            r->res.after, std::isfinite(r->res.peak) ? r->res.peak : -99.0, r->res.seconds, r->res.source_seconds,
            r->res.pictures, r->res.why);
    int ret = ferror(f) ? -EIO : 0;
    if (fclose(f) != 0 && ret == 0)
        ret = -errno;
    if (ret == 0 && rename(tmp.c_str(), path.c_str()) != 0)
        ret = -errno;
    if (ret < 0)
        unlink(tmp.c_str());
    return ret;
}

/* The source's size and time, and its hash unless r already has it for that size and time. */
int source_key(const std::string &path, const record *known, record *out)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -ENOENT;
    out->size = st.st_size;
    out->mtime = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
    if (known && known->size == out->size && known->mtime == out->mtime) {
        out->hash = known->hash;
        return 0;
    }
    return file_hash(path.c_str(), &out->hash);
}

} // namespace

void conform_cache_dir(const char *dir, char *buf, size_t size)
{
    snprintf(buf, size, "%s/.conformed", dir);
}

int conform_find_source(const char *dir, const char *id, char *name, size_t size)
{
    if (!dir || !id || !name)
        return -EINVAL;
    name[0] = '\0';
    const char *bare = id;
    while (bare[0] == '0' && bare[1])
        bare++;
    DIR *d = opendir(dir);
    if (!d)
        return -ENOENT;
    std::string found;
    for (const char *want : {id, bare}) {
        size_t n = strlen(want);
        rewinddir(d);
        while (struct dirent *e = readdir(d)) {
            const char *ext = e->d_name + n;
            if (strncmp(e->d_name, want, n) != 0 || ext[0] != '.' || !ext[1] || strchr(ext + 1, '.') ||
                strcmp(ext, ".part") == 0)
                continue;
            struct stat st;
            std::string path = std::string(dir) + "/" + e->d_name;
            if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            /* A transport stream first, then the first name in order: the same file every time. */
            bool ts = strcmp(ext, ".ts") == 0;
            if (found.empty() || ts || (strcmp(found.c_str() + n, ".ts") != 0 && strcmp(e->d_name, found.c_str()) < 0))
                found = e->d_name;
            if (ts)
                break;
        }
        if (!found.empty())
            break;
    }
    closedir(d);
    if (found.empty())
        return -ENOENT;
    utils_strlcpy(name, found.c_str(), size);
    return 0;
}

int conform_cached(const char *dir, const char *name, const char *cache, const conform_target *t,
                   conform_result *res, char *ts_path, size_t size)
{
    if (!dir || !name || !cache || !res)
        return -EINVAL;
    record r, now;
    std::string src = std::string(dir) + "/" + name;
    struct stat st;
    if (record_read(record_path(cache, name), &r) != 0)  // nothing to compare with: the source is not hashed
        return stat(src.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? -EAGAIN : -ENOENT;
    int ret = source_key(src, &r, &now);
    if (ret < 0)
        return ret == -ENOENT ? -ENOENT : ret;
    if (now.hash != r.hash || now.size != r.size || (t && r.target != target_hash(t)))
        return -EAGAIN;
    *res = r.res;
    if (ts_path)
        snprintf(ts_path, size, "%s", copy_path(cache, name).c_str());
    return r.res.status == CONFORM_FAILED ? CONFORM_ERR_FAILED : 0;
}

int conform_run(const char *dir, const char *name, const char *cache, const conform_target *t,
                conform_result *res, const conform_options *opt)
{
    if (!dir || !name || !cache || !t || !res)
        return -EINVAL;
    int ret = conform_cached(dir, name, cache, t, res, nullptr, 0);
    if (ret == 0 || ret == CONFORM_ERR_FAILED)
        return ret == 0 ? 1 : ret;
    if (ret != -EAGAIN)
        return ret;
    if (mkdir(cache, 0777) != 0 && errno != EEXIST)
        return -errno;
    record r;
    std::string src = std::string(dir) + "/" + name;
    if ((ret = source_key(src, nullptr, &r)) < 0)
        return ret;
    r.target = target_hash(t);
    ret = conform_file(src.c_str(), copy_path(cache, name).c_str(), t, &r.res, opt);
    if (ret == -EINTR)
        return ret;
    /* The key is the content as it was read: a file replaced meanwhile is done again at the next look. */
    int wret = record_write(record_path(cache, name), name, &r);
    *res = r.res;
    if (ret < 0)
        return CONFORM_ERR_FAILED;
    return wret < 0 ? wret : 0;
}
