/*
 * Frame-accurate starts. A break armed for a point between two key frames
 * starts on the picture shown at the point: the programme's pictures shown
 * before it stay, the filler's first picture is shown at it. The work is
 * spread over the GOP that leads to the point, so that nothing waits
 * outside a break and little is done at the point itself:
 *
 * - While armed, a programme key frame shown more than a frame before the
 *   point, whose GOP may reach it (the point within the last GOP length
 *   read, plus a frame), begins decoding: each packet of its GOP is fed to
 *   the re-encoder's decoder as it passes through (reencode_begin without
 *   an encoder), which keeps only the last SPLICE_START_RING pictures
 *   decoded (reencode_hold). A later key frame before the point starts
 *   afresh. What is shown before the point goes out as it comes. Once
 *   armed, the run's encoder opens ahead on a thread of its own
 *   (reencode_prepare, at the rate of the last whole GOP read), and a
 *   run's encoder closes on one: neither falls on a packet of the relay.
 * - From the first packet shown at or after the point on, the packets are
 *   withheld (at most SPLICE_START_WITHHELD, a reordering delay's worth):
 *   once the start is decided they are dropped or re-encoded, or go out
 *   after all when it falls back.
 * - The first packet decoded at or after the point (every picture shown
 *   before the point is read then), or a key frame after the point,
 *   decides: splice_gop_plan (GOP_OUT) says which pictures shown before
 *   the point reference one after it; they are encoded from the ring as a
 *   closed run starting with an intra picture (reencode_rewind, finish), on
 *   the decoding times of the pictures they replace, and queued. The
 *   filler follows on the next decoding time, its first picture shown at
 *   the programme's first at or after the point. At the point only the few
 *   B-pictures are encoded; memory: the ring, the withheld packets and the
 *   GOP's picture list.
 * - Live at a constant rate (splice_desc.run_budget_us), the run is encoded
 *   on the re-encoder's thread (reencode_finish_async) while the packets go
 *   on: the break starts at once, the sound switches, and the video from the
 *   run on waits behind it (a->gated) while the muxer's PCRs and padding go
 *   on with the sound. Each packet read looks whether it has ended
 *   (splice_start_settle); past the budget its pictures are left out, the
 *   last one aired held in their place (late), and the video goes on.
 * - A key frame that is the point's picture (the first shown at or after
 *   it) starts the break on it, nothing re-encoded; one shown before the
 *   point is never the point.
 * - A break armed after pictures shown from its point on went out (a cue
 *   with less pre-roll than the video's lead over the clock), or too late
 *   in a long GOP to decode it up to the point, is decided for the first
 *   picture it can be (start_aim), not the next key frame: said as
 *   late_cue when pictures from the point on had gone out, as no_gop when
 *   the GOP could not be decoded up to the point in time.
 * - The audio held while armed waits for the decision (splice_replay_held
 *   up to a frame before the point) and switches at the start chosen.
 * - A point that cannot be conditioned (codec or profile refused, no GOP
 *   decoded toward it or still more than START_CATCH_UP_LAST packets from
 *   caught up, fields coded as pictures of their own, the time line
 *   broken, a run longer than the ring, an error) falls back to the first
 *   key frame at or after it (never before: that would take pictures shown
 *   before the point off the air); the withheld packets go out and
 *   break_start says why.
 */
#include "splice/splice_rules.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "codec/reencode.h"
#include "codec/splice_gop.h"
#include "splice/packets_queue.h"
#include "common/trace.h"

/* Ends the decoding toward the armed point; the withheld packets go to the queue in order (the programme plays on). */
void splice_start_release(const splice_env *env)
{
    splice_accurate *a = env->accurate;
    AVPacket *p = nullptr;

    if (!a)
        return;
    if (a->npics > 0 && a->enc)
        reencode_abort(a->enc);
    a->npics = 0;
    while (packets_queue_pop(a->withheld, &p) >= 0)
        splice_queue(env, p);
}

/* The armed break cannot start on its picture (why: an event_fallback); it starts on a key frame. */
static void start_give_up(const splice_env *env, int why)
{
    splice_start_release(env);
    env->accurate->start_why = why;
}

/* Whether the armed break is to start on its picture: frame-accurate, a point given, the codec not refused. */
bool splice_start_accurate(const splice_env *env, const rep_ctx *rep, const AVStream *ist)
{
    splice_accurate *a = env->accurate;

    if (!a || rep->state != SPLICING_STATE_ARMED || rep->scte_35_pts_time == REP_NOW || a->refused)
        return false;
    AVRational fr;
    if (splice_frame_ticks(ist, &fr) <= 0)
        return false;
    if (!a->enc) {  // made once per session, for starts and returns alike
        int ret = reencode_create(&a->enc, ist->codecpar, fr, 0, 0);
        a->refused = ret < 0;  // REENCODE_UNMATCHED, or no memory for it: key frames for the session
        return ret >= 0;
    }
    return true;
}

/* Why a break starting on key frame pkt is not on its point (EVENT_FALLBACK_NONE: it is the point's picture). */
int splice_start_key_why(const splice_env *env, const rep_ctx *rep, const AVStream *ist, const AVPacket *pkt)
{
    const splice_accurate *a = env->accurate;
    int64_t frame = splice_frame_ticks(ist, nullptr), point = rep->scte_35_pts_time;

    if (!a || point == REP_NOW || frame <= 0 || (pkt->pts >= point && pkt->pts - point < frame))
        return EVENT_FALLBACK_NONE;
    if (a->refused)
        return EVENT_FALLBACK_UNMATCHED;
    return a->start_why != EVENT_FALLBACK_NONE && a->point == point ? a->start_why : EVENT_FALLBACK_NO_GOP;
}

/*
 * Notes pkt in the GOP decoded toward the point, fed to the decoder when
 * decode. Returns EVENT_FALLBACK_NONE, or why the GOP cannot be used.
 */
static int start_feed(splice_accurate *a, const AVStream *ist, const AVPacket *pkt, int64_t point, bool decode)
{
    int64_t frame = splice_frame_ticks(ist, nullptr);

    if (pkt->pts == AV_NOPTS_VALUE || pkt->dts == AV_NOPTS_VALUE || a->npics >= SPLICE_GOP_MAX)
        return EVENT_FALLBACK_NO_GOP;
    if (a->npics > 0) {
        int64_t last = a->pics[a->npics - 1].dts;
        if (pkt->dts <= last || pkt->dts - last > ACCURATE_GAP_FRAMES * frame)
            return EVENT_FALLBACK_TIMELINE;
        if (pkt->dts - last < frame * 3 / 4)  // a field's packet: the pictures are not frames
            return EVENT_FALLBACK_FIELDS;
    }
    if (decode && reencode_feed(a->enc, pkt, point) < 0)
        return EVENT_FALLBACK_ERROR;
    bool key = pkt->flags & AV_PKT_FLAG_KEY;
    a->pics[a->npics++] = {pkt->pts, pkt->dts, (uint8_t)key, (uint8_t)(key ? GOP_PIC_I : GOP_PIC_P), GOP_REFS_UNKNOWN};
    return EVENT_FALLBACK_NONE;
}

/*
 * Feeds the GOP's packets read and not decoded yet (a->gop from
 * a->npics on), at most limit of them (-1: all); the last one read is noted
 * without being decoded when it decides. Returns EVENT_FALLBACK_NONE or why
 * the GOP cannot be used.
 */
static int start_catch_up(splice_accurate *a, const AVStream *ist, int64_t point, int limit, bool decides)
{
    int why = EVENT_FALLBACK_NONE;

    while (why == EVENT_FALLBACK_NONE && a->npics < a->gop->count && limit-- != 0) {
        bool last = a->npics == a->gop->count - 1;
        why = start_feed(a, ist, a->gop->items[a->npics], point, !(last && decides));
    }
    return why;
}

/*
 * Starts decoding the GOP held (a->gop, from its key frame) toward the
 * point: its first limit packets now (-1: all of them), the rest
 * START_CATCH_UP a packet read (a break armed in mid-GOP: a cue with
 * little lead, or one kept behind a break). A GOP that has not caught up
 * within START_CATCH_UP_LAST packets when its point comes starts on the
 * key frame: what one packet costs the relay stays bounded, but for the
 * rare GOP whose key frame due on the point did not come (decoded whole
 * on the packet that shows it).
 */
#define START_CATCH_UP 3
/* At most this many GOP packets are left to decode on the packet that decides; more: the key frame (no_gop). */
#define START_CATCH_UP_LAST 8

/* At most this many a packet read while catching up, however far behind: what one packet costs stays bounded. */
#define START_CATCH_UP_MAX 12

/*
 * GOP packets to decode on packet pkt while catching up toward point: at
 * least START_CATCH_UP, more when that would not catch up within half the
 * packets still to come before the point (a frame each; a long GOP armed
 * late in it), at most START_CATCH_UP_MAX.
 */
static int catch_up_rate(const splice_accurate *a, const AVPacket *pkt, int64_t point, int64_t frame)
{
    int64_t behind = a->gop->count - a->npics;
    int64_t left = frame > 0 && pkt->dts != AV_NOPTS_VALUE && point > pkt->dts ? (point - pkt->dts) / frame : 0;
    int64_t span = std::max<int64_t>(left / 2, 1);  // caught up half way to the point
    int64_t rate = (behind + span - 1) / span + 1;
    return (int)std::max<int64_t>(START_CATCH_UP, std::min<int64_t>(rate, START_CATCH_UP_MAX));
}

static void start_decode(const splice_env *env, const AVStream *ist, int64_t point, int limit)
{
    splice_accurate *a = env->accurate;

    splice_start_release(env);
    a->start_why = EVENT_FALLBACK_NONE;
    if (env->desc->run_budget_us > 0 && reencode_busy(a->enc)) {
        a->start_why = EVENT_FALLBACK_LATE;  // the run before, left out, still encodes: beginning would wait for it
        return;
    }
    if (a->gop->count == 0 || !(a->gop->items[0]->flags & AV_PKT_FLAG_KEY) || reencode_begin(a->enc, INT64_MAX, 0, 0) < 0) {
        a->start_why = a->gop->count == 0 ? EVENT_FALLBACK_NO_GOP : EVENT_FALLBACK_ERROR;
        return;
    }
    reencode_hold(a->enc, SPLICE_START_RING);
    /* The encoder opens ahead, on its own thread, rather than on the packet that decides. */
    int64_t rate = a->gop_rate;
    if (rate <= 0 && a->first_dts != AV_NOPTS_VALUE && a->gop->count > 0 &&
        a->gop->items[a->gop->count - 1]->dts > a->first_dts)
        rate = av_rescale(a->bytes * 8, 90000, a->gop->items[a->gop->count - 1]->dts - a->first_dts);
    reencode_prepare(a->enc, rate);
    int why = start_catch_up(a, ist, point, limit, false);
    if (why != EVENT_FALLBACK_NONE) {
        reencode_abort(a->enc);
        a->npics = 0;
        a->start_why = why;
    }
}

/*
 * Outside a break, the programme video's packets from its last key frame
 * on (a->gop, references): a break armed in mid-GOP decodes from them.
 */
void splice_start_keep(const splice_env *env, const AVStream *ist, const AVPacket *pkt)
{
    splice_accurate *a = env->accurate;

    if (pkt->flags & AV_PKT_FLAG_KEY)
        splice_note_key(a, pkt->pts);
    /* A key frame starts afresh, but one that decides a start decoded toward its point (splice_start_step) */
    if ((pkt->flags & AV_PKT_FLAG_KEY) && a->npics == 0)
        splice_note_gop_rate(a, pkt);
    if (((pkt->flags & AV_PKT_FLAG_KEY) && a->npics == 0) ||
        (pkt->dts != AV_NOPTS_VALUE && !splice_accurate_follows(a, ist, pkt)) || a->gop->count >= a->gop->capacity)
        splice_free_queued(a->gop);
    if (pkt->pts == AV_NOPTS_VALUE || pkt->dts == AV_NOPTS_VALUE ||
        (a->gop->count == 0 && !(pkt->flags & AV_PKT_FLAG_KEY)))
        return;
    AVPacket *ref = av_packet_clone(pkt);
    if (!ref || packets_queue_push(a->gop, ref) < 0) {
        av_packet_free(&ref);
        splice_free_queued(a->gop);  // a gap: nothing to decode from up to the next key frame
        return;
    }
    splice_note_open_gop(a, pkt);
}

/*
 * Encodes the pictures the plan re-encodes before the point into run[0..m)
 * (the caller's), timed at dts on output stream s, the first marked as the
 * switch. Returns 0, or an FFmpeg code with nothing in run (the re-encoder
 * stopped either way).
 */
static int start_run(splice_accurate *a, const gop_plan *plan, const int64_t *dts, int64_t rate, int s,
                     AVPacket **run)
{
    AVPacket *p = nullptr;
    int m = 0;

    int ret = reencode_rewind(a->enc, plan->run_from, plan->run_to, rate);
    if (ret >= 0)
        ret = reencode_finish(a->enc, plan->run_to);
    while (reencode_take(a->enc, &p) >= 0) {
        if (ret >= 0 && m < plan->reencoded) {
            p->dts = dts[m];
            p->stream_index = s;
            run[m++] = p;
        } else {
            av_packet_free(&p);
            ret = ret < 0 ? ret : AVERROR_INVALIDDATA;
        }
    }
    if (ret >= 0 && m != plan->reencoded)
        ret = AVERROR_INVALIDDATA;  // a picture did not decode, or the ring let it go
    if (ret < 0) {
        reencode_abort(a->enc);
        while (m > 0)
            av_packet_free(&run[--m]);
        return ret;
    }
    splice_mark_switch(run[0], SPLICE_SWITCH_KEY);  // the video starts afresh on the run's intra picture
    return 0;
}

/* Reports that the start's run of count pictures, the first shown at pts, did not air: why (late, error). */
static void run_left_out(const splice_env *env, const rep_ctx *rep, int count, int64_t pts, int why, int result)
{
    event ev = event_make(EVENT_RUN_LEFT_OUT);
    ev.count = count;
    ev.pts = pts;
    ev.fallback = why;
    ev.result = result;
    ev.elapsed_us = av_gettime_relative() - env->accurate->run_since;
    env->accurate->runs_left_out++;
    if (rep)
        splice_emit(env, rep, &ev);
    else
        event_emit(&env->desc->events, &ev);
}

/* The video that waited behind the start's run goes to the queue, in order. */
static void run_ungate(const splice_env *env)
{
    splice_accurate *a = env->accurate;
    AVPacket *p = nullptr;

    a->run_stream = -1;
    while (packets_queue_pop(a->gated, &p) >= 0)
        splice_queue(env, p);
}

void splice_start_settle(const splice_env *env, const rep_ctx *rep, bool wait)
{
    splice_accurate *a = env->accurate;

    if (!a || (a->run_stream < 0 && !a->run_dropped))
        return;
    bool ended = wait || reencode_finished(a->enc);
    if (!ended && a->run_stream >= 0 && av_gettime_relative() - a->run_since >= env->desc->run_budget_us) {
        /* The video may wait no longer: the pictures before the point are left out, the last one aired held. */
        run_left_out(env, rep, a->run_count, a->gated->count > 0 ? a->gated->items[0]->pts : AV_NOPTS_VALUE,
                     EVENT_FALLBACK_LATE, 0);
        a->run_dropped = 1;
        run_ungate(env);
        return;
    }
    if (!ended)
        return;
    AVPacket *run[SPLICE_START_RING] = {};
    int m = 0, ret = reencode_collect(a->enc, run, SPLICE_START_RING, &m);
    bool dropped = a->run_dropped;
    a->run_dropped = 0;
    if (!dropped && ret >= 0 && m != a->run_count)
        ret = AVERROR_INVALIDDATA;  // a picture did not decode, or the ring let it go
    if (dropped || ret < 0) {
        if (!dropped)
            run_left_out(env, rep, a->run_count, m > 0 ? run[0]->pts : AV_NOPTS_VALUE, EVENT_FALLBACK_ERROR, ret);
        while (m > 0)
            av_packet_free(&run[--m]);
        if (!dropped)
            run_ungate(env);
        return;
    }
    splice_mark_switch(run[0], SPLICE_SWITCH_KEY);  // the video starts afresh on the run's intra picture
    int s = a->run_stream;
    a->run_stream = -1;  // the run goes first, then what waited behind it
    for (int k = 0; k < m; k++) {
        run[k]->dts = a->run_dts[k];
        run[k]->stream_index = s;
        if (env->desc->verbose)
            log_packet(env->desc->trace, env->out, run[k], "reS");
        splice_queue(env, run[k]);
    }
    run_ungate(env);
}

/*
 * Decides the start on the GOP decoded toward the point, *ppkt its last
 * packet (decoded at or after the point, or a key frame after it; not fed
 * to the decoder): the withheld packets kept go out, then the pictures
 * shown before the point that reference one after it, re-encoded; the
 * break starts. Returns true when it started; false when it fell back
 * (the withheld packets went out; *ppkt passes as it is).
 */
static bool start_decide(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVStream *ist,
                         AVPacket **ppkt)
{
    splice_accurate *a = env->accurate;
    AVPacket *pkt = *ppkt;
    int n = a->npics, s = pkt->stream_index;
    int64_t frame = splice_frame_ticks(ist, nullptr), point = a->aim;
    uint8_t act[SPLICE_GOP_MAX];
    int64_t dts[SPLICE_GOP_MAX];
    AVPacket *run[SPLICE_START_RING] = {};
    gop_plan plan;

    int ret = splice_gop_plan(a->pics, n, GOP_OUT, point, 0, act, dts, &plan);  // a key frame before it is not it
    int first_withheld = n - 1 - a->withheld->count;
    int why = ret == AVERROR(EAGAIN) ? EVENT_FALLBACK_NO_GOP : ret < 0 ? EVENT_FALLBACK_ERROR : EVENT_FALLBACK_NONE;
    for (int i = 0; why == EVENT_FALLBACK_NONE && i < first_withheld; i++)
        if (act[i] != GOP_KEEP)
            why = EVENT_FALLBACK_NO_GOP;  // out already (the cue came late): a picture aired was to be replaced
    if (why == EVENT_FALLBACK_NONE && plan.reencoded > SPLICE_START_RING)
        why = EVENT_FALLBACK_NO_GOP;
    int64_t rate = pkt->dts > a->first_dts ? av_rescale(a->bytes * 8, 90000, pkt->dts - a->first_dts) : 0;
    bool handed = why == EVENT_FALLBACK_NONE && plan.reencoded > 0 && env->desc->run_budget_us > 0;
    if (handed) {  // encoded on the re-encoder's thread while the packets go on (splice_start_settle)
        splice_start_settle(env, rep, true);  // a run before this one (a break that short) ends first
        a->run_since = av_gettime_relative();
        ret = reencode_finish_async(a->enc, plan.run_from, plan.run_to, rate);
        why = ret == AVERROR(ERANGE) ? EVENT_FALLBACK_NO_GOP : ret < 0 ? EVENT_FALLBACK_ERROR : why;
        if (ret < 0)
            reencode_abort(a->enc);
    } else if (why == EVENT_FALLBACK_NONE && plan.reencoded > 0) {
        ret = start_run(a, &plan, dts, rate, s, run);
        why = ret == AVERROR(ERANGE) ? EVENT_FALLBACK_NO_GOP : ret < 0 ? EVENT_FALLBACK_ERROR : why;
    } else if (why == EVENT_FALLBACK_NONE) {
        reencode_abort(a->enc);
    }
    if (why != EVENT_FALLBACK_NONE) {
        start_give_up(env, why);
        return false;
    }

    /* The withheld packets kept go out in order, then the run; the rest are replaced. */
    AVPacket *p = nullptr;
    int64_t last_kept = AV_NOPTS_VALUE, before = AV_NOPTS_VALUE, at = AV_NOPTS_VALUE;
    for (int i = 0; i < n; i++) {
        if (act[i] == GOP_KEEP)
            last_kept = a->pics[i].dts;
        if (a->pics[i].pts < plan.point && (before == AV_NOPTS_VALUE || a->pics[i].pts > before))
            before = a->pics[i].pts;
        if (a->pics[i].pts >= plan.point && (at == AV_NOPTS_VALUE || a->pics[i].pts < at))
            at = a->pics[i].pts;
        if (i < first_withheld || i == n - 1 || packets_queue_pop(a->withheld, &p) < 0)
            continue;
        if (act[i] == GOP_KEEP)
            splice_queue(env, p);
        else
            av_packet_free(&p);
    }
    if (act[n - 1] == GOP_KEEP) {  // the point moved onto a key frame decoded before this packet
        splice_queue(env, pkt);
        *ppkt = nullptr;
    }
    if (handed) {  // the video from here on waits behind the run
        a->run_stream = s;
        a->run_count = plan.reencoded;
        std::copy(dts, dts + plan.reencoded, a->run_dts);
    }
    for (int k = 0; k < plan.reencoded && !handed; k++) {
        if (env->desc->verbose)
            log_packet(env->desc->trace, env->out, run[k], "reS");
        splice_queue(env, run[k]);
    }
    a->npics = 0;

    /* The filler's first picture: the programme's first shown at or after the point, decoded in the next slot. */
    int64_t start = before != AV_NOPTS_VALUE ? before + frame : plan.point;
    if (at != AV_NOPTS_VALUE && at < start)
        start = at;
    int64_t slot = AV_NOPTS_VALUE;
    for (int i = 0, k = 0; i < n && slot == AV_NOPTS_VALUE; i++)
        if (act[i] != GOP_KEEP && (last_kept == AV_NOPTS_VALUE || a->pics[i].dts > last_kept) && k++ == plan.reencoded)
            slot = a->pics[i].dts;
    if (slot == AV_NOPTS_VALUE)
        slot = (plan.reencoded > 0 ? dts[plan.reencoded - 1] : last_kept) + frame;
    /* Started after the point: the cue came after pictures from it on had gone out, or too late to decode to it. */
    splice_start_break_at(env, rep, r, fi, s, start, slot, plan.reencoded,
                          a->aim > rep->scte_35_pts_time ? a->aim_why : EVENT_FALLBACK_NONE);
    splice_start_settle(env, rep, false);  // a budget shorter than handing the run over: late already
    return true;
}

/*
 * Where the start armed on packet pkt (the first read since) is decided:
 * point, unless pictures shown from it on went out before the cue was read
 * (a cue with less pre-roll than the video's lead over the clock). They
 * stay sent: the start is decided for the first picture after the last of
 * them (the GOP held tells which went out: all of it but pkt), the pictures
 * before it kept or re-encoded as at any point, so that no programme
 * picture is shown twice or lost and the break starts as near the point as
 * the output allows, not on the next key frame. *why: EVENT_FALLBACK_LATE_CUE
 * when pictures had gone out, EVENT_FALLBACK_NO_GOP when the decoding
 * cannot reach the point in time, else EVENT_FALLBACK_NONE.
 */
static int64_t start_aim(const splice_accurate *a, const AVPacket *pkt, int64_t point, int64_t frame, int *why)
{
    const packets_queue *g = a->gop;
    int64_t shown = AV_NOPTS_VALUE;

    *why = EVENT_FALLBACK_NONE;
    if (point == REP_NOW || frame <= 0 || g->count == 0 || !(g->items[0]->flags & AV_PKT_FLAG_KEY))
        return point;
    int out = g->items[g->count - 1]->dts == pkt->dts ? g->count - 1 : g->count;
    for (int i = 0; i < out; i++)
        if (g->items[i]->pts != AV_NOPTS_VALUE && (shown == AV_NOPTS_VALUE || g->items[i]->pts > shown))
            shown = g->items[i]->pts;
    int64_t aim = shown != AV_NOPTS_VALUE && shown >= point ? shown + frame : point;
    if (aim > point)
        *why = EVENT_FALLBACK_LATE_CUE;
    /*
     * The packet that arms decodes START_CATCH_UP + START_CATCH_UP_MAX of the
     * GOP at most, each one after it START_CATCH_UP_MAX (one more read), and
     * the one that decides may have START_CATCH_UP_LAST left: a point
     * nearer than that (a long GOP armed late in it) is decided as far on
     * as it takes, rather than on the next key frame. Not when a key frame
     * before the point begins its GOP.
     */
    if (pkt->dts == AV_NOPTS_VALUE || (a->gop_len > 0 && g->items[0]->pts + a->gop_len <= point))
        return aim;
    int64_t behind = g->count - START_CATCH_UP - START_CATCH_UP_MAX - START_CATCH_UP_LAST;
    int64_t reads = behind > 0 ? (behind + START_CATCH_UP_MAX - 2) / (START_CATCH_UP_MAX - 1) : 0;
    int64_t reach = pkt->dts + (reads + 1) * frame;
    if (reach <= aim)
        return aim;
    *why = EVENT_FALLBACK_NO_GOP;
    return reach;
}

/*
 * The armed break's start, frame-accurate, for video packet *ppkt: decoded
 * toward the point, withheld, or deciding (see above). Returns true when
 * the packet decided (the break started or was skipped); *ppkt is null
 * when the packet was taken.
 */
bool splice_start_step(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVStream *ist,
                       AVPacket **ppkt)
{
    splice_accurate *a = env->accurate;
    AVPacket *pkt = *ppkt;
    int64_t point = rep->scte_35_pts_time, frame = splice_frame_ticks(ist, nullptr);
    bool key = pkt->flags & AV_PKT_FLAG_KEY;

    if (a->point != point) {  // another event armed: afresh
        splice_start_release(env);
        a->point = point;
        a->aim_why = EVENT_FALLBACK_NONE;
        a->aim = rep->late > 0 ? point : start_aim(a, pkt, point, frame, &a->aim_why);  // a late join: its key frame
        if (a->aim >= splice_break_end(rep, nullptr)) {
            a->aim = point;  // nothing of the break left to air there: on the key frame
            a->aim_why = EVENT_FALLBACK_NONE;
        }
        a->start_why = EVENT_FALLBACK_NONE;
        a->first_dts = AV_NOPTS_VALUE;
        a->bytes = 0;
    }
    if (key && pkt->pts != AV_NOPTS_VALUE && pkt->pts >= a->point && pkt->pts < a->aim)
        a->aim = pkt->pts;  // a key frame before the picture aimed at (its GOP's length not known yet): on it
    point = a->aim;
    if (pkt->dts != AV_NOPTS_VALUE) {
        if (a->first_dts == AV_NOPTS_VALUE)
            a->first_dts = pkt->dts;
        a->bytes += pkt->size;
    }
    if (a->gop_rate > 0 && !splice_key_due_at(a, a->key_pts, point, frame))
        reencode_prepare(a->enc, a->gop_rate);  // the start's encoder opens ahead, on its own thread, once armed
    if (key && pkt->pts < point) {  // a GOP before the point: decoded when it may reach it
        splice_start_release(env);
        splice_note_gop_rate(a, pkt);
        splice_free_queued(a->gop);
        splice_start_keep(env, ist, pkt);
        if ((a->gop_len <= 0 || point - pkt->pts <= a->gop_len + frame) && !splice_key_due_at(a, pkt->pts, point, frame))
            start_decode(env, ist, point, START_CATCH_UP);
        return false;  // shown before the point: never the point
    }
    /*
     * Armed in mid-GOP; or the key frame due on the point did not come (a
     * picture shown from its time on, or decoded from its decoding time on,
     * that is no key frame): that GOP is decoded at once.
     */
    const AVPacket *k = a->gop->count > 0 ? a->gop->items[0] : nullptr;
    bool due = k && splice_key_due_at(a, k->pts, point, frame);
    bool awaited = due && pkt->dts != AV_NOPTS_VALUE && pkt->dts < k->dts + a->gop_len &&
                   (pkt->pts == AV_NOPTS_VALUE || 2 * (k->pts + a->gop_len - pkt->pts) > frame);
    if (a->npics == 0 && !key && a->start_why == EVENT_FALLBACK_NONE && k && (k->flags & AV_PKT_FLAG_KEY) &&
        k->pts < point && (a->gop_len <= 0 || point - k->pts <= a->gop_len + frame) && !awaited)
        start_decode(env, ist, point, due ? -1 : START_CATCH_UP);
    if (a->npics == 0) {  // nothing decoded toward the point: on the key frame, as without frame accuracy
        log_packet(env->desc->trace, env->out, pkt, key ? "key" : "non");
        if (!key || pkt->pts < point)
            return false;
        return splice_start_break_at(env, rep, r, fi, pkt->stream_index, pkt->pts, pkt->dts, 0,
                                     splice_start_key_why(env, rep, ist, pkt));
    }
    /*
     * Every picture shown before the point is read: from the first packet
     * decoded at or after the point on (a picture's dts is at most its pts),
     * or a key frame after it when GOPs are closed (open ones: its leading
     * pictures, shown before it, are still to come).
     */
    bool decides = (key && !a->open_gop) || pkt->dts >= point;
    int why = decides && a->gop->count - a->npics > START_CATCH_UP_LAST + 1
                  ? EVENT_FALLBACK_NO_GOP  // still too far behind: decoding the rest would hold this packet up
                  : start_catch_up(a, ist, point, decides ? -1 : catch_up_rate(a, pkt, point, frame), decides);
    if (why == EVENT_FALLBACK_NONE && (a->gop->count == 0 || a->gop->items[a->gop->count - 1]->dts != pkt->dts))
        why = EVENT_FALLBACK_NO_GOP;  // pkt was not held (a gap, no memory): the GOP does not reach the point
    if (why != EVENT_FALLBACK_NONE) {
        start_give_up(env, why);
        if (key && pkt->pts >= point)
            return splice_start_break_at(env, rep, r, fi, pkt->stream_index, pkt->pts, pkt->dts, 0,
                                         splice_start_key_why(env, rep, ist, pkt));
        return false;
    }
    if (decides) {
        if (start_decide(env, rep, r, fi, ist, ppkt))
            return true;
        if (key && pkt->pts >= point)
            return splice_start_break_at(env, rep, r, fi, pkt->stream_index, pkt->pts, pkt->dts, 0,
                                         splice_start_key_why(env, rep, ist, pkt));
        return false;
    }
    if (pkt->pts >= point || a->withheld->count > 0) {
        if (packets_queue_push(a->withheld, pkt) < 0) {
            start_give_up(env, EVENT_FALLBACK_NO_GOP);  // pkt follows what was withheld
            return false;
        }
        *ppkt = nullptr;
    }
    return false;
}
