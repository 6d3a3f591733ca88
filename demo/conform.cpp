/*
 * The demo's conforming before its run: every spot the schedule in force
 * names, to its length, and the filler when it is not a transport stream
 * (or is to be normalized), into the channel's format and loudness, with
 * progress on the console. The spot store then loads the conformed copies.
 */

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "conform/conform.h"
#include "common/asrun.h"
#include "common/utils.h"
#include "demo/demo.h"
#include "relay/relay.h"
#include "traffic/schedule.h"
#include "traffic/spots.h"
#include "traffic/traffic.h"

/* One file's progress on one console line, written when its percentage grows. */
struct demo_progress {
    const char *name;
    int shown;  // the percentage last written, -1 before the first
};

static void demo_conform_progress(void *opaque, double done)
{
    demo_progress *p = (demo_progress *)opaque;
    int percent = (int)(done * 100);
    if (percent <= p->shown)
        return;
    p->shown = percent;
    printf("\rconforming %s: %3d%%", p->name, percent);
    fflush(stdout);
}

/* Conforms <dir>/<name> into the cache beside it; prints its outcome. The copy's path into path on success. */
static int demo_conform_one(const char *dir, const char *name, const conform_target *t, char *path, size_t size)
{
    char cache[CONFORM_PATH_SIZE];
    conform_result res;
    demo_progress progress = {name, -1};
    conform_options opt = {demo_conform_progress, &progress, nullptr};
    conform_cache_dir(dir, cache, sizeof(cache));
    int ret = conform_run(dir, name, cache, t, &res, &opt);
    if (ret >= 0) {
        printf("\rconformed %s: %s%s, %.2f s (%" PRId64 " pictures; %.2f s delivered), loudness %.1f -> %.1f LUFS%s%s\n",
               name, conform_status_name(res.status), ret == 1 ? " before" : "", res.seconds, res.pictures,
               res.source_seconds, res.before, res.after, res.why[0] ? "; " : "", res.why);
        if (snprintf(path, size, "%s/%s.ts", cache, name) >= (int)size)
            return -ENAMETOOLONG;
    } else {
        fprintf(stderr, "\rcannot conform %s: %s\n", name, ret == CONFORM_ERR_FAILED ? res.why : strerror(-ret));
    }
    return ret;
}

int demo_conform(demo_ctx *demo, const relay_input *in, const char *filler, char *filler_out, size_t size)
{
    utils_strlcpy(filler_out, filler, size);
    AVFormatContext *programme = relay_spliced_streams(in);
    conform_target t;
    int ret = programme ? conform_target_from(programme, in->fmt, demo->loudness, &t) : -EINVAL;
    avformat_free_context(programme);
    if (ret < 0)
        return 0;  // no video to conform to: the files are used as they are, and checked as before
    char text[512];
    conform_target_text(&t, text, sizeof(text));
    printf("conforming to %s\n", text);
    const char *dot = strrchr(filler, '.'), *slash = strrchr(filler, '/');
    if (!dot || strcmp(dot, ".ts") != 0 || demo->filler_normalize) {
        std::string dir = slash ? std::string(filler, (size_t)(slash - filler)) : ".";
        char path[CONFORM_PATH_SIZE];
        if (demo_conform_one(dir.c_str(), slash ? slash + 1 : filler, &t, path, sizeof(path)) >= 0)
            utils_strlcpy(filler_out, path, size);
    } else {
        conform_result res;
        if (conform_measure(filler, &res, nullptr) == 0)
            printf("filler %s: loudness %.1f LUFS, true peak %.1f dBTP (spots at %.1f LUFS)\n", filler, res.before,
                   std::isfinite(res.peak) ? res.peak : -99.0, t.lufs);
        else
            fprintf(stderr, "filler %s: loudness cannot be measured: %s\n", filler, res.why);
    }
    if (!demo->traffic_ctx)
        return 0;
    /* The schedule file: the option, or the day's file in the folder it names. */
    int64_t now_ms = demo->clock_ms != ASRUN_NONE ? demo->clock_ms : (int64_t)time(nullptr) * 1000;
    char path[SCHEDULE_PATH_SIZE];
    schedule *s = nullptr;
    if (schedule_day_file(demo->schedule, now_ms, demo->channel_id, demo->headend_id, path, sizeof(path)) < 0 ||
        schedule_load(path, now_ms, &s, nullptr, nullptr) < 0)
        return 0;
    spot_file *files = nullptr;
    int n = spot_files(s, demo->spots, &files);
    for (int i = 0; i < n; i++) {
        char path[CONFORM_PATH_SIZE];
        t.length = files[i].seconds;
        demo_conform_one(demo->spots, files[i].file, &t, path, sizeof(path));
    }
    free(files);
    schedule_destroy(&s);
    return 0;
}
