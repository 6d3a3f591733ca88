/*
 * Spot store: entries by id in the order they were named, media read by
 * the filler store's loader, the check the filler gets, eviction by air
 * time and need.
 */
#include "traffic/spots.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/mpegts.h"
#include "common/utils.h"
#include "conform/conform.h"
#include "splice/filler.h"
#include "splice/splice.h"

#define SPOT_MAX_MISMATCHES 4

struct spot_store {
    std::string dir;
    int64_t cache_bytes;
    int64_t held;
    std::vector<spot *> spots;
};

int spot_store_create(spot_store **out, const char *dir, int64_t cache_bytes)
{
    if (!out || !dir)
        return -EINVAL;
    spot_store *s = new (std::nothrow) spot_store();
    if (!s)
        return -ENOMEM;
    s->dir = dir;
    s->cache_bytes = cache_bytes;
    s->held = 0;
    *out = s;
    return 0;
}

/* Lets go of sp's media. */
static void spot_drop_media(spot_store *s, spot *sp)
{
    if (sp->media)
        filler_destroy(&sp->media);
    s->held -= sp->bytes;
    sp->bytes = 0;
}

int spot_store_destroy(spot_store **p)
{
    if (!p || !*p)
        return -EINVAL;
    for (spot *sp : (*p)->spots) {
        spot_drop_media(*p, sp);
        free(sp);
    }
    delete *p;
    *p = nullptr;
    return 0;
}

const char *spot_store_dir(const spot_store *s)
{
    return s->dir.c_str();
}

spot *spot_store_find(spot_store *s, const char *id)
{
    for (spot *sp : s->spots)
        if (strcmp(sp->id, id) == 0)
            return sp;
    return nullptr;
}

spot *spot_store_want(spot_store *s, const char *id)
{
    spot *sp = spot_store_find(s, id);
    if (sp)
        return sp;
    sp = (spot *)calloc(1, sizeof(*sp));
    if (!sp)
        return nullptr;
    utils_strlcpy(sp->id, id, sizeof(sp->id));
    sp->needed_at = INT64_MAX;
    try {
        s->spots.push_back(sp);
    } catch (...) {
        free(sp);
        return nullptr;
    }
    return sp;
}

spot *spot_store_at(spot_store *s, int i)
{
    return i >= 0 && (size_t)i < s->spots.size() ? s->spots[(size_t)i] : nullptr;
}

int64_t spot_store_bytes(const spot_store *s)
{
    return s->held;
}

int spot_read(const char *dir, const char *id, char *file, size_t size, filler_ctx **media)
{
    if (!dir || !id || !file || !media)
        return -EINVAL;
    *media = nullptr;
    file[0] = '\0';
    char name[EVENT_SPOT_FILE_SIZE], cache[CONFORM_PATH_SIZE], path[CONFORM_PATH_SIZE];
    if (conform_find_source(dir, id, name, sizeof(name)) < 0)
        return -ENOENT;
    utils_strlcpy(file, name, size);
    /* The conformed copy when there is one for the file as it is now; else a transport stream as it is. */
    conform_result res;
    conform_cache_dir(dir, cache, sizeof(cache));
    int ret = conform_cached(dir, name, cache, nullptr, &res, path, sizeof(path));
    if (ret == 0)
        return filler_load(path, media);
    if (ret == -EAGAIN && strcmp(strrchr(name, '.'), ".ts") == 0) {
        snprintf(path, sizeof(path), "%s/%s", dir, name);
        struct stat st;
        if (stat(path, &st) == 0 && st.st_size % TS_PACKET_SIZE != 0)
            return -EBADMSG;  // cut inside a TS packet: its last picture is not whole
        return filler_load(path, media);
    }
    return ret;
}

uint64_t spot_stamp(const char *dir, const char *id)
{
    char name[EVENT_SPOT_FILE_SIZE], cache[CONFORM_PATH_SIZE];
    if (!dir || !id || conform_find_source(dir, id, name, sizeof(name)) < 0)
        return 0;
    conform_cache_dir(dir, cache, sizeof(cache));
    uint64_t h = 0xcbf29ce484222325ULL;
    auto mix = [&h](const void *data, size_t n) {
        for (size_t i = 0; i < n; i++)
            h = (h ^ ((const unsigned char *)data)[i]) * 0x100000001b3ULL;
    };
    mix(name, strlen(name));
    for (const std::string &path : {std::string(dir) + "/" + name, std::string(cache) + "/" + name + ".txt"}) {
        struct stat st;
        int64_t key[3] = {0, 0, 0};
        if (stat(path.c_str(), &st) == 0)
            key[0] = st.st_size, key[1] = st.st_mtim.tv_sec, key[2] = st.st_mtim.tv_nsec;
        mix(key, sizeof(key));
    }
    return h ? h : 1;
}

/* Packet bytes media holds. */
static int64_t media_bytes(const filler_ctx *media)
{
    int64_t bytes = 0;
    for (int i = 0; i < FILLER_MAX_STREAMS; i++)
        for (int k = 0; k < media->streams[i].count; k++)
            bytes += media->streams[i].packets[k]->size + (int64_t)sizeof(AVPacket);
    return bytes;
}

/* The programme's first video stream, or null. */
static const AVStream *programme_video(const AVFormatContext *programme)
{
    for (unsigned i = 0; i < programme->nb_streams; i++)
        if (programme->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            return programme->streams[i];
    return nullptr;
}

/*
 * The pictures of fs from the first one on without a gap: their ticks into
 * *length, one picture's into *frame. False when some picture lies beyond a
 * gap (pictures cut off the end of the file, those depending on them left).
 */
static bool spot_pictures(const filler_stream *fs, int64_t *length, int64_t *frame)
{
    std::vector<int64_t> pts;
    for (int k = 0; k < fs->count; k++)
        if (fs->packets[k]->pts != AV_NOPTS_VALUE)
            pts.push_back(fs->packets[k]->pts);
    if (pts.size() < 1)
        return false;
    std::sort(pts.begin(), pts.end());
    int64_t step = fs->packets[0]->duration;
    if (step <= 0)
        step = pts.size() > 1 ? (pts.back() - pts.front()) / (int64_t)(pts.size() - 1) : 3600;
    int64_t end = pts[0];
    for (int64_t t : pts) {
        if (t > end + step / 2) {
            *length = end - pts[0];
            *frame = step;
            return false;
        }
        end = t + step;
    }
    *length = end - pts[0];
    *frame = step;
    return true;
}

bool spot_short(const spot *sp, int seconds, char *why, size_t size)
{
    int64_t sold = (int64_t)seconds * 90000;
    if ((sp->state != SPOT_READY && sp->state != SPOT_READ) || sp->length >= sold - SPOT_LENGTH_TOLERANCE)
        return false;
    snprintf(why, size, "too short by %.2f s: %.2f s of pictures, %d s scheduled", (sold - sp->length) / 90000.0,
             sp->length / 90000.0, seconds);
    return true;
}

/* The length of sp's media before a programme is known: its first video stream's pictures. */
static void spot_measure(spot *sp)
{
    const AVFormatContext *f = sp->media->format;
    sp->length = sp->frame = 0;
    for (unsigned i = 0; i < f->nb_streams && i < FILLER_MAX_STREAMS; i++) {
        if (f->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        int64_t shown;
        sp->length = splice_video_length(sp->media, f->streams[i]->id);
        spot_pictures(&sp->media->streams[i], &shown, &sp->frame);
        return;
    }
}

/* Checks sp's media against programme: READY, or SPOT_UNUSABLE with why. */
static int spot_check(spot *sp, const AVFormatContext *programme)
{
    filler_mismatch found[SPOT_MAX_MISMATCHES];
    int n = filler_check(sp->media, programme, found, SPOT_MAX_MISMATCHES);
    const AVStream *video = programme_video(programme);
    int was = sp->state;
    sp->state = SPOT_UNUSABLE;
    if (n > 0) {
        filler_mismatch_text_as(&found[0], "spot", sp->why, sizeof(sp->why));
    } else if (!video || (sp->length = splice_video_length(sp->media, video->id)) <= 0) {
        snprintf(sp->why, sizeof(sp->why), "no video");
    } else {
        int k = filler_match(sp->media, programme, video->id);
        const filler_stream *fs = k >= 0 ? &sp->media->streams[k] : nullptr;
        int64_t shown = 0;
        if (!fs || fs->count == 0 || !(fs->packets[0]->flags & AV_PKT_FLAG_KEY))
            snprintf(sp->why, sizeof(sp->why), "its first picture is no key frame");
        else if (!spot_pictures(fs, &shown, &sp->frame))
            snprintf(sp->why, sizeof(sp->why), "cut short: pictures missing after %.2f s", shown / 90000.0);
        else if (llabs(shown - sp->length) > sp->frame / 2)
            snprintf(sp->why, sizeof(sp->why), "its pictures show %.2f s, its last one ends at %.2f s",
                     shown / 90000.0, sp->length / 90000.0);
        else
            sp->state = SPOT_READY;
    }
    if (sp->state != was && !(was == SPOT_READ && sp->state == SPOT_READY))  // said ready when read: not again
        sp->reported = 0;
    if (sp->state == SPOT_READY)
        sp->why[0] = '\0';
    return sp->state;
}

/*
 * Evicts spots until bytes more fit: the one aired longest ago first, then
 * never-aired ones needed after needed_at, latest first. False when that
 * cannot make room.
 */
static bool spot_make_room(spot_store *s, int64_t bytes, int64_t needed_at)
{
    while (s->held + bytes > s->cache_bytes) {
        spot *victim = nullptr;
        for (spot *sp : s->spots) {
            if (!sp->media || sp->pins > 0 || (!sp->aired && sp->needed_at <= needed_at))
                continue;
            if (!victim || (sp->aired && (!victim->aired || sp->aired < victim->aired)) ||
                (!sp->aired && !victim->aired && sp->needed_at > victim->needed_at))
                victim = sp;
        }
        if (!victim)
            return false;
        spot_drop_media(s, victim);
        victim->state = SPOT_WANTED;
    }
    return true;
}

int spot_store_put(spot_store *s, spot *sp, int ret, const char *file, filler_ctx *media,
                   const AVFormatContext *programme)
{
    utils_strlcpy(sp->file, file ? file : "", sizeof(sp->file));
    sp->reported = 0;
    if (ret == -EAGAIN) {
        /* Asked for again when its break comes nearer: the conforming may be done by then. */
        sp->state = SPOT_WANTED;
        snprintf(sp->why, sizeof(sp->why), "not conformed yet");
        return sp->state;
    }
    if (ret < 0) {
        sp->state = ret == -ENOENT ? SPOT_MISSING : SPOT_UNUSABLE;
        conform_result res;
        char cache[CONFORM_PATH_SIZE];
        conform_cache_dir(s->dir.c_str(), cache, sizeof(cache));
        if (ret == CONFORM_ERR_FAILED && conform_cached(s->dir.c_str(), sp->file, cache, nullptr, &res, nullptr, 0) ==
                                             CONFORM_ERR_FAILED)
        {
            utils_strlcpy(sp->why, "cannot be conformed: ", sizeof(sp->why));
            utils_strlcat(sp->why, res.why, sizeof(sp->why));
        }
        else
            snprintf(sp->why, sizeof(sp->why), "%s", ret == -ENOENT    ? "no file"
                                                      : ret == -EBADMSG ? "cut short: the file ends inside a TS packet"
                                                                        : "unreadable");
        return sp->state;
    }
    int64_t bytes = media_bytes(media);
    if (!spot_make_room(s, bytes, sp->needed_at)) {
        /* Asked for again when its break comes nearer and room is made. */
        filler_destroy(&media);
        sp->state = SPOT_WANTED;
        snprintf(sp->why, sizeof(sp->why), "no room in the spot cache");
        return sp->state;
    }
    spot_drop_media(s, sp);
    sp->media = media;
    sp->bytes = bytes;
    s->held += bytes;
    sp->state = SPOT_READ;
    spot_measure(sp);
    return programme ? spot_check(sp, programme) : sp->state;
}

bool spot_store_unread(spot_store *s, spot *sp)
{
    if (sp->pins > 0)
        return false;
    spot_drop_media(s, sp);
    sp->state = SPOT_WANTED;
    sp->why[0] = '\0';
    sp->reported = 0;
    return true;
}

int spot_store_check(spot_store *s, const AVFormatContext *programme)
{
    int unusable = 0;
    for (spot *sp : s->spots)
        if (sp->media && programme)
            unusable += spot_check(sp, programme) == SPOT_UNUSABLE;
    return unusable;
}

int spot_store_prune(spot_store *s, bool (*named)(void *opaque, const char *id), void *opaque)
{
    int dropped = 0;
    for (size_t i = 0; i < s->spots.size();) {
        spot *sp = s->spots[i];
        if (sp->pins > 0 || named(opaque, sp->id)) {
            i++;
            continue;
        }
        spot_drop_media(s, sp);
        free(sp);
        s->spots.erase(s->spots.begin() + (long)i);
        dropped++;
    }
    return dropped;
}

int spot_files(const schedule *s, const char *dir, spot_file **out)
{
    if (!s || !dir || !out)
        return -EINVAL;
    *out = nullptr;
    std::vector<spot_file> found;
    try {
        for (int i = 0; i < s->count; i++) {
            const schedule_record *r = &s->records[i];
            spot_file f = {};
            if (r->type != SCHEDULE_LOI || conform_find_source(dir, r->spot_id, f.file, sizeof(f.file)) < 0)
                continue;
            auto same = std::find_if(found.begin(), found.end(),
                                     [&f](const spot_file &o) { return strcmp(o.file, f.file) == 0; });
            if (same != found.end()) {
                same->seconds = std::max(same->seconds, r->length);
                continue;
            }
            utils_strlcpy(f.id, r->spot_id, sizeof(f.id));
            f.seconds = r->length;
            found.push_back(f);
        }
    } catch (...) {
        return -ENOMEM;
    }
    if (found.empty())
        return 0;
    *out = (spot_file *)malloc(found.size() * sizeof(spot_file));
    if (!*out)
        return -ENOMEM;
    memcpy(*out, found.data(), found.size() * sizeof(spot_file));
    return (int)found.size();
}
