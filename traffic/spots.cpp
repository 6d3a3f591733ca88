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
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/utils.h"
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
    const char *bare = id;
    while (bare[0] == '0' && bare[1])
        bare++;
    for (const char *name : {id, bare}) {
        std::string path = std::string(dir) + "/" + name + ".ts";
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        snprintf(file, size, "%s.ts", name);
        return filler_load(path.c_str(), media);
    }
    return -ENOENT;
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
        if (fs && fs->count > 0 && fs->packets[0]->flags & AV_PKT_FLAG_KEY)
            sp->state = SPOT_READY;
        else
            snprintf(sp->why, sizeof(sp->why), "its first picture is no key frame");
    }
    if (sp->state != was)
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
    if (ret < 0) {
        sp->state = ret == -ENOENT ? SPOT_MISSING : SPOT_UNUSABLE;
        snprintf(sp->why, sizeof(sp->why), "%s", ret == -ENOENT ? "no file" : "unreadable");
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
    return programme ? spot_check(sp, programme) : sp->state;
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
