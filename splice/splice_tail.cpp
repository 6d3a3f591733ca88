/*
 * The filler's out point at a return at limit. The filler's pictures shown
 * before limit but decoded after one shown at or after it (the last
 * B-pictures of a group the return cuts) cannot go out as they are: they
 * reference a picture the programme replaces. They are decoded from the
 * filler's key frame before them and re-encoded as a closed run that starts
 * with an intra picture, on the decoding times of the pictures they
 * replace, so that the filler plays to its last picture before the
 * programme instead of holding the one before them.
 *
 * Decoding up to a GOP of the filler costs too much for one packet of the
 * relay (60-160 ms at 720p): once the break's end is known and the filler
 * item that shows at it is under way, the run is planned for the
 * programme's first picture at or after the end and encoded on a thread of
 * its own (splice_filler_tail_ahead). At the return the run made for the same
 * item, picture and point is taken; another one (the end moved, the
 * programme came back on a key frame before the end) is made there and then.
 */
#include "splice/splice_rules.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "codec/reencode.h"
#include "codec/splice_gop.h"
#include "splice/filler.h"
#include "common/trace.h"
#include "common/utils.h"

/* Packets of the filler decoded at most for an out point, from its key frame on: about two seconds. */
#define FILLER_OUT_DECODE_MAX 64
/* Packets after the filler's first picture shown at or after the return that are looked at: a reordering's worth. */
#define FILLER_OUT_REORDER 16
/* How long before a break's end its filler's out point is made ahead (90 kHz). */
#define FILLER_OUT_AHEAD (4 * 90000)

/* The out point's run: what it was planned for, its packets, and the thread that encodes it. */
struct filler_tail {
    std::thread worker;        // joinable: encoding the run planned
    std::mutex lock;           // done, for a return that waits for the worker
    std::condition_variable cv;
    bool done;                 // the worker's run has ended
    // what the run was planned for
    int64_t start_dts;         // the break's (its video record's start_dts)
    int item, x;               // the filler item, and its first packet shown at or after limit
    int64_t limit;
    bool planned;              // a run is planned (or none is needed: m 0) for the above
    // the run
    AVPacket *in[FILLER_OUT_DECODE_MAX];
    int n;                     // packets in in, from the filler's key frame (90 kHz, output times)
    int64_t from, to;          // the pictures shown in [from, to) are re-encoded
    int64_t low;               // decoding time of the filler's last packet before the run
    int64_t duration;          // of the filler's picture at x
    int64_t dts[FILLER_OUT_DECODE_MAX];
    int m;                     // pictures re-encoded; 0: none needed or none possible (why)
    const char *why;
    AVPacket *out[FILLER_OUT_DECODE_MAX];
    int ret;                   // reencode_run's
    reencode *enc;             // for the filler stream of parameters par (these, as they were then)
    const void *par;
    int codec_id, width, height, format, profile;
};

static void tail_unplan(filler_tail *t)
{
    if (t->worker.joinable())
        t->worker.join();
    for (int i = 0; i < t->n; i++)
        av_packet_free(&t->in[i]);
    for (int j = 0; j < t->m; j++)
        av_packet_free(&t->out[j]);  // those not queued
    t->n = t->m = 0;
    t->ret = -1;
    t->planned = false;
    t->why = nullptr;
}

void splice_tail_destroy(filler_tail **t)
{
    if (!*t)
        return;
    tail_unplan(*t);
    reencode_destroy(&(*t)->enc);
    delete *t;
    *t = nullptr;
}

/*
 * The re-encoder of t for the filler stream fst: the one made for it before
 * while its parameters are the same, else made afresh. False: none.
 */
static bool tail_encoder(filler_tail *t, const AVStream *fst)
{
    const AVCodecParameters *par = fst->codecpar;
    if (!t->enc || t->par != par || t->codec_id != par->codec_id || t->width != par->width ||
        t->height != par->height || t->format != par->format || t->profile != par->profile) {
        reencode_destroy(&t->enc);
        t->par = nullptr;
        AVRational fr = fst->avg_frame_rate.num > 0 && fst->avg_frame_rate.den > 0 ? fst->avg_frame_rate
                                                                                   : fst->r_frame_rate;
        if (reencode_create(&t->enc, fst->codecpar, fr, 0, 0) < 0)
            return false;
        t->par = par;
        t->codec_id = par->codec_id;
        t->width = par->width;
        t->height = par->height;
        t->format = par->format;
        t->profile = par->profile;
    }
    return true;
}

/*
 * Plans the out point of r's filler item item at limit into t (see above):
 * x, the packets to decode, the pictures and their decoding times. Returns
 * false when the filler at hand does not show limit's picture yet (nothing
 * planned); true with t->m 0 when no picture needs it, or with t->why
 * when it cannot be done.
 */
static bool tail_plan(const splice_env *env, const rep_ctx *rep, const rep_stream *r, int s, int item, int from,
                      int64_t limit, filler_tail *t)
{
    const filler_ctx *media;
    int fi;
    int64_t offset, dts, pts;
    const filler_stream *fs = splice_video_item(env, rep, s, item, &media, &fi, &offset);
    int x = -1, last = -1, reach = -1;

    if (!fs || fs->count < 1)
        return false;
    bool shows = false;  // whether the item shows limit's picture: the end of its decoding order shows its last ones
    for (int i = std::max(from, fs->count - FILLER_OUT_REORDER); i < fs->count && !shows; i++) {
        splice_filler_video_times(r, media, fi, offset, fs->packets[i], AV_NOPTS_VALUE, &dts, &pts);
        shows = pts >= limit;
    }
    for (int i = from; shows && i < fs->count && x < 0; i++) {
        splice_filler_video_times(r, media, fi, offset, fs->packets[i], AV_NOPTS_VALUE, &dts, &pts);
        if (pts >= limit)
            x = i;
    }
    if (x < 0)
        return false;  // the item ends before limit
    tail_unplan(t);
    t->start_dts = r->start_dts;
    t->item = item;
    t->x = x;
    t->limit = limit;
    t->planned = true;
    t->duration = fs->packets[x]->duration;
    t->ret = -1;
    for (int i = x; i < fs->count && i <= x + FILLER_OUT_REORDER; i++) {
        const AVPacket *p = fs->packets[i];
        if (p->pts == AV_NOPTS_VALUE || p->dts == AV_NOPTS_VALUE)
            return true;
        splice_filler_video_times(r, media, fi, offset, p, AV_NOPTS_VALUE, &dts, &pts);
        if (i > x && pts < limit)
            last = i;
        if (reach < 0 && dts >= limit)
            reach = i;  // every picture shown before limit is read by then
    }
    if (last < 0 || x == 0)
        return true;  // nothing shown before limit follows the picture held
    int k = x - 1;  // the key frame the decoding starts on
    while (k > 0 && x - k < FILLER_OUT_DECODE_MAX && !(fs->packets[k]->flags & AV_PKT_FLAG_KEY))
        k--;
    int n = std::max(last, reach) - k + 1;
    gop_pic pics[FILLER_OUT_DECODE_MAX];
    uint8_t act[FILLER_OUT_DECODE_MAX];
    gop_plan plan = {};
    if (!(fs->packets[k]->flags & AV_PKT_FLAG_KEY) || n > FILLER_OUT_DECODE_MAX) {
        t->why = "no key frame close enough before it";
        return true;
    }
    for (int i = 0; i < n; i++) {
        const AVPacket *p = fs->packets[k + i];
        if (p->pts == AV_NOPTS_VALUE || p->dts == AV_NOPTS_VALUE) {
            t->why = "untimed packets";
            return true;
        }
        splice_filler_video_times(r, media, fi, offset, p, AV_NOPTS_VALUE, &dts, &pts);
        bool key = (p->flags & AV_PKT_FLAG_KEY) != 0;
        pics[i] = {pts, dts, (uint8_t)key, (uint8_t)(key ? GOP_PIC_I : GOP_PIC_P), GOP_REFS_UNKNOWN};
    }
    if (splice_gop_plan(pics, n, GOP_OUT, limit, 0, act, t->dts, &plan) < 0 || plan.reencoded < 1) {
        t->why = "no plan";
        return true;
    }
    for (int i = 0; i < x - k; i++) {
        if (act[i] != GOP_KEEP) {
            t->why = "a picture queued would change";
            return true;
        }
    }
    if (!tail_encoder(t, media->format->streams[fi])) {
        t->why = "codec not matched";
        return true;
    }
    for (int i = 0; i < plan.decode_to; i++) {
        if (!(t->in[t->n] = av_packet_clone(fs->packets[k + i]))) {
            t->why = "no memory";
            return true;
        }
        t->in[t->n]->pts = pics[i].pts;
        t->in[t->n]->dts = pics[i].dts;
        t->in[t->n++]->stream_index = s;
    }
    t->from = plan.run_from;
    t->to = plan.run_to;
    t->low = pics[x - k - 1].dts;
    t->m = plan.reencoded;
    return true;
}

/* Encodes the run t planned (on the caller's thread, or on t's own): what is thrown is the run's error. */
static void tail_encode(filler_tail *t)
{
    try {
        t->ret = reencode_run(t->enc, t->in, t->n, t->from, t->to, t->dts, t->m, t->out);
    } catch (...) {
        t->ret = AVERROR(ENOMEM);
    }
}

/* Starts the run t planned on a thread of its own; false when none could be started. */
static bool tail_start(filler_tail *t)
{
    t->done = false;
    try {
        t->worker = std::thread([t] {
            utils_name_thread("tail-encode");
            tail_encode(t);
            std::lock_guard<std::mutex> lk(t->lock);
            t->done = true;
            t->cv.notify_all();
        });
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

/* Waits at most us for t's worker to end; true when it has (or there is none). */
static bool tail_ready(filler_tail *t, int64_t us)
{
    if (!t->worker.joinable())
        return true;
    std::unique_lock<std::mutex> lk(t->lock);
    return t->cv.wait_for(lk, std::chrono::microseconds(us), [t] { return t->done; });
}

/* Whether t's worker still encodes (a return may not wait for it; planning afresh would). */
static bool tail_busy(filler_tail *t)
{
    return !tail_ready(t, 0);
}

/*
 * While the break runs: once its end is known (end), the run of the
 * filler's out point at the programme's first picture at or after it
 * (video packet pkt's pts on the frame grid) is planned and encoded on a
 * thread of its own, as soon as the filler item that shows there is under
 * way; again when the end or the item changes.
 */
void splice_filler_tail_ahead(const splice_env *env, const rep_ctx *rep, const rep_stream *r, int s,
                              const AVStream *ist, const AVPacket *pkt, int64_t end)
{
    splice_accurate *a = env->accurate;
    int64_t frame = splice_frame_ticks(ist, nullptr);

    if (!a || a->from != AV_NOPTS_VALUE || frame <= 0 || end == INT64_MAX || end == REP_NOW || pkt->pts == AV_NOPTS_VALUE || pkt->pts > end ||
        end - pkt->pts > FILLER_OUT_AHEAD || r->queued_item != r->item)
        return;
    int64_t limit = pkt->pts + (end - pkt->pts + frame - 1) / frame * frame;
    filler_tail *t = a->tail;
    if (t && t->planned && t->start_dts == r->start_dts && t->item == r->item && llabs(t->limit - limit) < frame / 2)
        return;  // planned (a programme off its frame grid by a tick is made at the return)
    if (!t && !(t = a->tail = new (std::nothrow) filler_tail()))
        return;
    if (tail_busy(t))
        return;  // a run a return gave up still encodes: planning afresh would wait for it
    if (!tail_plan(env, rep, r, s, r->item, r->queued_filler, limit, t) || t->why || t->m == 0)
        return;
    if (!tail_start(t))
        tail_unplan(t);  // made at the return, if it still comes there
}

/*
 * Queues the filler's out point at a return at limit (see above), its
 * decoding times kept after the filler's last packet queued and before
 * bound (spread evenly between the two when they do not fit). Called once
 * the filler shown before limit is released. Returns the pictures queued;
 * 0 when none needed it or it could not be done (the picture before them
 * then shows until the return, said in the trace).
 */
int splice_filler_out_point(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t limit,
                            int64_t bound)
{
    splice_accurate *a = env->accurate;
    filler_tail *t = a ? a->tail : nullptr;

    if (!a || r->queued_filler <= 0)
        return 0;
    if (!t && !(t = a->tail = new (std::nothrow) filler_tail()))
        return 0;
    bool ahead = t->planned && t->start_dts == r->start_dts && t->item == r->queued_item &&
                 t->x == r->queued_filler && t->limit == limit;
    /* Live, the output waits for the out point a bounded time at most, and never for one made on this packet. */
    int64_t wait = std::min<int64_t>(env->desc->run_budget_us, ACCURATE_KEY_WAIT_US);
    if (wait > 0 && (ahead ? !tail_ready(t, wait) : tail_busy(t))) {
        if (env->desc->verbose)
            log_detail(env->desc->trace, "Filler video %d: out point at %" PRId64 " not made (late): the picture before it holds",
                       s, limit);
        t->planned = false;  // its worker ends on its own; what it made is dropped at the next plan
        return 0;
    }
    if (!ahead) {
        if (!tail_plan(env, rep, r, s, r->queued_item, r->queued_filler, limit, t) || t->x != r->queued_filler) {
            tail_unplan(t);
            return 0;  // what is held is held for the programme's pace, not for a reference
        }
        if (!t->why && t->m > 0 && wait > 0)
            t->why = "not planned ahead";  // decoding and encoding it on this packet would hold the output
        else if (!t->why && t->m > 0)
            tail_encode(t);
    }
    if (t->worker.joinable())
        t->worker.join();
    int m = t->m;
    const char *why = t->why ? t->why : m > 0 && t->ret < 0 ? "not re-encoded" : nullptr;
    if (!why && m > 0 && (t->dts[0] <= t->low || t->dts[m - 1] >= bound)) {
        if (bound == INT64_MAX || bound - t->low <= m)
            why = "no decoding time";
        for (int j = 0; !why && j < m; j++)
            t->dts[j] = t->low + (bound - t->low) * (j + 1) / (m + 1);
    }
    if (why || m == 0) {
        if (why && env->desc->verbose)
            log_detail(env->desc->trace, "Filler video %d: out point at %" PRId64 " not made (%s): the picture before it holds",
                       s, limit, why);
        tail_unplan(t);
        return 0;
    }
    for (int j = 0; j < m; j++) {
        AVPacket *p = t->out[j];
        t->out[j] = nullptr;
        p->dts = t->dts[j];
        if (j == 0)
            splice_mark_switch(p, SPLICE_SWITCH_KEY);  // the video starts afresh on the run's intra picture
        if (env->desc->verbose)
            log_packet(env->desc->trace, env->out, p, "reF");
        splice_queue(env, p);
    }
    r->queued_dts = t->dts[m - 1] + t->duration;
    a->tails += m;
    t->m = 0;
    tail_unplan(t);
    return m;
}
