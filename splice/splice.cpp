/*
 * Splice rules: break start and end on video key frames, or frame-accurate on
 * the pictures at the points (the programme's pictures around them
 * re-encoded), audio laid end to end from the splice point, video re-timed
 * from the filler. What the cues decide is in splice_cue.cpp.
 */
#include "splice/splice.h"
#include "splice/splice_internal.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <system_error>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "codec/reencode.h"
#include "codec/splice_gop.h"
#include "splice/filler.h"
#include "splice/packets_queue.h"
#include "common/trace.h"
#include "scte35/scte35.h"
#include "common/utils.h"

/* Reports ev for the break rep describes. */
static void emit(const splice_env *env, const rep_ctx *rep, event *ev)
{
    ev->splice_event_id = rep->splice_event_id;
    ev->splice_time = rep->splice_point;
    ev->duration = rep->scte_35_duration == AV_NOPTS_VALUE ? 0 : rep->scte_35_duration;
    if (rep->source == REP_SOURCE_SEGMENTATION)
        ev->flags |= EVENT_CUE_SEGMENTATION_FLAG;
    event_emit(&env->desc->events, ev);
}

void splice_emit(const splice_env *env, const rep_ctx *rep, event *ev)
{
    emit(env, rep, ev);
}

/* Queues pkt for writing; a packet the queue refuses is freed, never leaked, and reported. */
static void queue_packet(const splice_env *env, AVPacket *pkt)
{
    pkt->pos = -1;
    int ret = packets_queue_push(env->queue, pkt);
    if (ret < 0) {
        av_packet_free(&pkt);
        event ev = event_make(EVENT_QUEUE_REFUSED);
        ev.result = ret;
        event_emit(&env->desc->events, &ev);
    }
}

void splice_mark_switch(AVPacket *pkt, int mark)
{
    pkt->opaque = (void *)(intptr_t)mark;
}

int splice_switch_of(const AVPacket *pkt)
{
    intptr_t mark = (intptr_t)pkt->opaque;
    return mark == SPLICE_SWITCH_KEY || mark == SPLICE_SWITCH_MID_GOP ? (int)mark : SPLICE_SWITCH_NONE;
}

static int64_t packet_end(const AVPacket *pkt)
{
    return pkt->pts + pkt->duration;
}

/*
 * An audio packet that ends after from waits in the held queue until the
 * video shows where the break starts (while armed) or ends (near the end
 * of a running break). Returns true when the packet was taken.
 */
static bool hold_audio(const splice_env *env, rep_ctx *rep, int64_t from, AVPacket **ppkt)
{
    if (!env->held || packet_end(*ppkt) <= from)
        return false;
    if (packets_queue_push(env->held, *ppkt) < 0) {
        /* Full: the key frame is not coming soon; everything held goes on, in order. */
        splice_replay_held(env, rep, INT64_MAX, false);
        if (packets_queue_push(env->held, *ppkt) < 0)
            return false;
    }
    *ppkt = nullptr;
    return true;
}

/* See splice_internal.h. */
int splice_filler_stream(const filler_ctx *filler, const AVFormatContext *programme, int id)
{
    int k = filler_match(filler, programme, id);
    if (k < 0 || !programme)
        return k;
    /* A stream of another codec cannot stand in (filler_check says so): as if there were none. */
    for (unsigned i = 0; i < programme->nb_streams; i++)
        if (programme->streams[i]->id == id &&
            !filler_same_codec(programme->streams[i]->codecpar->codec_id, filler->format->streams[k]->codecpar->codec_id))
            return -1;
    return k;
}

/* Whether any output stream is still being replaced. */
static bool any_stream_replaced(const splice_env *env, const rep_ctx *rep)
{
    unsigned n = env->out ? env->out->nb_streams : REP_MAX_STREAMS;

    if (n > REP_MAX_STREAMS)
        n = REP_MAX_STREAMS;
    for (unsigned i = 0; i < n; i++)
        if (rep->streams[i].sent_dts != AV_NOPTS_VALUE)
            return true;
    return false;
}

int64_t splice_video_pts_shift(const filler_ctx *filler, int fi, int64_t programme_delay)
{
    if (!filler || fi < 0 || fi >= FILLER_MAX_STREAMS || fi >= (int)filler->format->nb_streams)
        return 0;
    const filler_stream *fs = &filler->streams[fi];
    if (fs->count <= 0)
        return 0;

    int64_t first_dts = fs->packets[0]->dts;
    int64_t start = filler->format->streams[fi]->start_time;
    if (start == AV_NOPTS_VALUE)
        start = fs->packets[0]->pts;
    if (first_dts == AV_NOPTS_VALUE || start == AV_NOPTS_VALUE || programme_delay < 0)
        return 0;

    /* The smallest pts - dts of the filler: 0 when it has B-frames. */
    int64_t min_gap = INT64_MAX;
    for (int i = 0; i < fs->count; i++) {
        const AVPacket *p = fs->packets[i];
        if (p->pts != AV_NOPTS_VALUE && p->dts != AV_NOPTS_VALUE && p->pts - p->dts < min_gap)
            min_gap = p->pts - p->dts;
    }
    if (min_gap == INT64_MAX || min_gap < 0)
        min_gap = 0;

    /* Re-timed, a packet keeps pts - dts = gap - filler delay + programme delay + shift. */
    int64_t shift = (start - first_dts) - programme_delay - min_gap;
    return shift > 0 ? shift : 0;
}

/*
 * Output dts and pts of video packet p of media (fi: its stream), an item
 * of the break of r that begins offset ticks after the start key frame;
 * prev_end: where the packet before it ends.
 */
static void filler_video_times(const rep_stream *r, const filler_ctx *media, int fi, int64_t offset,
                               const AVPacket *p, int64_t prev_end, int64_t *dts, int64_t *pts)
{
    const filler_stream *fs = &media->streams[fi];
    int64_t first_dts = fs->packets[0]->dts;
    int64_t start_time = media->format->streams[fi]->start_time;

    if (start_time == AV_NOPTS_VALUE)
        start_time = fs->packets[0]->pts;
    /* A filler packet without timestamps continues where the last one ended. */
    *dts = p->dts == AV_NOPTS_VALUE || first_dts == AV_NOPTS_VALUE ? prev_end
                                                                   : p->dts - first_dts + r->start_dts + offset;
    *pts = p->pts == AV_NOPTS_VALUE || start_time == AV_NOPTS_VALUE
               ? *dts + r->pts_shift : p->pts - start_time + r->start_pts + offset + r->pts_shift;
}

/* The video of item k of the break on output stream s (see splice_item_stream). */
static const filler_stream *video_item(const splice_env *env, const rep_ctx *rep, int s, int k,
                                       const filler_ctx **media, int *fi, int64_t *offset)
{
    return splice_item_stream(env, &rep->content, k, env->out->streams[s]->id, media, fi, offset);
}

/*
 * Queues the held filler video of r (output stream s), oldest first, while
 * its pictures are shown before limit. The first picture shown at or after
 * limit stays held, and with it every one after it in decoding order, since
 * those may reference it. whole: the item under way is released beyond the
 * pictures taken so far (a return: the programme's time no longer paces
 * the filler).
 */
static void release_filler(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t limit, bool whole)
{
    while (r->queued_item < r->item ||
           (r->queued_item == r->item && (r->queued_filler < r->next_filler || (whole && r->next_filler > 0)))) {
        const filler_ctx *media;
        int fi;
        int64_t offset, dts, pts;
        const filler_stream *fs = video_item(env, rep, s, r->queued_item, &media, &fi, &offset);
        if (!fs || r->queued_filler >= fs->count) {
            if (r->queued_item >= r->item)
                break;
            r->queued_item++;
            r->queued_filler = 0;
            continue;
        }
        const AVPacket *p = fs->packets[r->queued_filler];
        filler_video_times(r, media, fi, offset, p, r->queued_dts, &dts, &pts);
        if (pts >= limit)
            break;
        AVPacket *f = av_packet_clone(p);
        if (!f)
            return;  // out of memory: the rest stays held
        r->queued_filler++;
        r->queued_dts = dts + p->duration;
        f->stream_index = s;
        f->dts = dts;
        f->pts = pts;
        if (r->queued_filler == 1)
            splice_mark_switch(f, SPLICE_SWITCH_KEY);  // an item's first picture: the video switches here
        if (env->desc->verbose)
            log_packet(env->desc->trace, env->out, f, "reV");
        queue_packet(env, f);
    }
    if (r->queued_item == r->item && r->queued_filler > r->next_filler)
        r->next_filler = r->queued_filler;
}

static void release_filler_video(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t limit)
{
    release_filler(env, rep, r, s, limit, false);
}

/* The video record of the break under way (the one whose key frame started it), or null. */
static rep_stream *video_record(rep_ctx *rep)
{
    for (int i = 0; i < REP_MAX_STREAMS; i++)
        if (rep->streams[i].start_pts != AV_NOPTS_VALUE)
            return &rep->streams[i];
    return nullptr;
}

static int64_t break_end_point(const rep_ctx *rep, int *reason);
static void accurate_clear(splice_accurate *a);
struct filler_tail;
static void tail_destroy(filler_tail **t);
static int start_key_why(const splice_env *env, const rep_ctx *rep, const AVStream *ist, const AVPacket *pkt);
static void start_release(const splice_env *env);

int64_t splice_break_cut(const splice_env *env, rep_ctx *rep, int reason)
{
    if (rep->state != SPLICING_STATE_STARTED)
        return AV_NOPTS_VALUE;
    int64_t end = break_end_point(rep, nullptr);
    event ev = event_make(EVENT_BREAK_ENDED);
    ev.reason = reason;
    rep_stream *v = video_record(rep);
    int64_t reached = AV_NOPTS_VALUE;
    splice_accurate *a = env->accurate;
    if (v && v->sent_dts != AV_NOPTS_VALUE) {
        ev.aired = v->sent_dts - v->start_dts;
        reached = v->start_pts + ev.aired;
        /* Nothing follows the filler video held back: it goes out, up to a frame-accurate return that aired. */
        int s = (int)(v - rep->streams);
        if (env->out && (unsigned)s < env->out->nb_streams)
            release_filler_video(env, rep, v, s, a && a->from != AV_NOPTS_VALUE ? a->from : INT64_MAX);
    }
    if (a) {  // the run under way ends with the break
        ev.reencoded = a->from != AV_NOPTS_VALUE ? a->aired : -1;
        accurate_clear(a);
    }
    splice_spots_ended(env, rep, reached, SPLICE_SPOTS_SESSION_END);
    emit(env, rep, &ev);
    return end;
}

int64_t splice_start_in_outage(const splice_env *env, rep_ctx *rep, int64_t now)
{
    if (rep->state != SPLICING_STATE_ARMED || rep->splice_point == REP_NOW || now < rep->splice_point - SPLICE_KEY_LEAD)
        return AV_NOPTS_VALUE;
    start_release(env);  // what a frame-accurate start withheld before the input was lost goes first
    rep->last = splice_current_cue(rep);
    rep->scte_35_pts_time = rep->splice_point;
    int64_t end = break_end_point(rep, nullptr);
    int id = -1;
    for (unsigned s = 0; env->out && s < env->out->nb_streams && id < 0; s++)
        if (env->out->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            id = env->out->streams[s]->id;
    int planned = splice_content_start(env, rep, rep->splice_point, id, end);
    if (planned == SPLICE_PLAN_LEAVE) {
        event ev = event_make(EVENT_BREAK_SKIPPED);
        ev.reason = EVENT_SKIP_SCHEDULE;
        ev.pts = rep->splice_point;
        emit(env, rep, &ev);
        splice_next_or_idle(env, rep, now);
        return AV_NOPTS_VALUE;
    }
    event ev = event_make(EVENT_BREAK_STARTED);
    ev.pts = rep->splice_point;
    ev.delta_ticks = 0;
    emit(env, rep, &ev);
    splice_spots_ended(env, rep, rep->splice_point, SPLICE_SPOTS_SESSION_END);
    ev = event_make(EVENT_BREAK_ENDED);
    ev.reason = EVENT_END_INPUT_LOST;
    ev.pts = rep->splice_point;
    ev.aired = 0;
    emit(env, rep, &ev);
    splice_next_or_idle(env, rep, now);
    return end;
}

void splice_session_end(const splice_env *env, rep_ctx *rep)
{
    splice_break_cut(env, rep, EVENT_END_SESSION_END);
    /* Events still to come will not air in this session. */
    if (rep->state == SPLICING_STATE_ARMED) {
        rep_cue armed = splice_current_cue(rep);
        splice_expire(env, rep, &armed, EVENT_EXPIRE_SESSION_END, AV_NOPTS_VALUE);
    }
    for (int i = 0; i < rep->pending_count; i++)
        splice_expire(env, rep, &rep->pending[i], EVENT_EXPIRE_SESSION_END, AV_NOPTS_VALUE);
    rep_ctx_reset(rep);
}

/*
 * Where the running break ends, and why: start key frame + duration, or its
 * announced end, splice point + duration, when it started after its splice
 * point (a late join, a key frame that came late): the network's programme
 * is back then; a return cue's point, or the first pending event's point,
 * whichever comes first.
 */
static int64_t break_end_point(const rep_ctx *rep, int *reason)
{
    bool after = rep->splice_point != REP_NOW && rep->splice_point != AV_NOPTS_VALUE &&
                 (rep->late > 0 || rep->scte_35_pts_time > rep->splice_point);
    int64_t from = after ? rep->splice_point : rep->scte_35_pts_time;
    int64_t end = rep->open ? INT64_MAX : from + rep->scte_35_duration;
    int why = EVENT_END_DURATION;

    if (rep->open && rep->limit != AV_NOPTS_VALUE) {
        end = rep->limit;
        why = EVENT_END_MAX_BREAK;
    }
    if (rep->return_point != AV_NOPTS_VALUE && rep->return_point < end) {
        end = rep->return_point;
        why = EVENT_END_RETURN_CUE;
    }
    if (rep->pending_count > 0 && rep->pending[0].point < end) {
        end = rep->pending[0].point;
        why = EVENT_END_NEXT_EVENT;
    }
    if (reason)
        *reason = why;
    return end;
}

/*
 * Audio already queued for writing at or after the key frame that started
 * a break: the break can no longer replace it (traced when verbose).
 */
static void trace_late_audio(const splice_env *env, int64_t start)
{
    const packets_queue *q = env->queue;

    for (int i = 0; env->desc->verbose && env->out && i < q->count; i++) {
        const AVPacket *p = q->items[i];
        if (p->pts != AV_NOPTS_VALUE && p->pts >= start && (unsigned)p->stream_index < env->out->nb_streams &&
            env->out->streams[p->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            log_packet(env->desc->trace, env->out, p, "ouq");
    }
}

/*
 * Start of the break on output stream s: the filler's first picture is
 * shown at pts (with the pts shift the filler needs) and decoded at dts.
 * reencoded, fallback: the frame accuracy of the start (-1: not tried; see
 * event.reencoded). A programme video that the filler cannot stand in for
 * skips the break. Returns true (the break started or was skipped).
 */
static bool start_break_at(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, int s, int64_t pts,
                           int64_t dts, int reencoded, int fallback)
{
    rep->last = splice_current_cue(rep);
    int64_t delta = rep->scte_35_pts_time == REP_NOW ? 0 : pts - rep->scte_35_pts_time;
    rep->scte_35_pts_time = pts;
    rep->limit = rep->open && env->desc->max_break > 0 ? pts + env->desc->max_break : AV_NOPTS_VALUE;
    int id = env->out->streams[s]->id;
    int planned = splice_content_start(env, rep, pts, id, break_end_point(rep, nullptr));
    if (planned == SPLICE_PLAN_LEAVE || fi < 0) {
        event ev = event_make(EVENT_BREAK_SKIPPED);
        ev.reason = planned == SPLICE_PLAN_LEAVE ? EVENT_SKIP_SCHEDULE : EVENT_SKIP_NO_FILLER_VIDEO;
        ev.stream = s;
        ev.pts = pts;
        if (planned != SPLICE_PLAN_LEAVE)
            splice_spots_ended(env, rep, AV_NOPTS_VALUE, SPLICE_SPOTS_SKIPPED);
        emit(env, rep, &ev);
        splice_next_or_idle(env, rep, pts);
        return true;
    }

    r->start_dts = r->sent_dts = r->queued_dts = dts;
    r->start_pts = pts;
    r->next_filler = r->queued_filler = 0;
    r->item = r->queued_item = 0;
    r->pts_shift = splice_content_pts_shift(env, &rep->content, id, pts - dts);
    rep->state = SPLICING_STATE_STARTED;
    if (fallback != EVENT_FALLBACK_NONE && env->accurate)
        env->accurate->fallbacks++;

    event ev = event_make(EVENT_BREAK_STARTED);
    ev.stream = s;
    ev.pts = pts;
    ev.delta_ticks = delta;
    ev.pts_shift = r->pts_shift;
    ev.reencoded = reencoded;
    ev.fallback = fallback;
    emit(env, rep, &ev);
    trace_late_audio(env, pts);
    return true;
}

/*
 * Start of the break on the first video key frame in the window before the
 * splice point (immediate: the first key frame), see start_break_at.
 * Returns true when the key frame decided (started or skipped).
 */
static bool start_break(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVPacket *pkt,
                        int reencoded, int fallback)
{
    int key = pkt->flags & AV_PKT_FLAG_KEY;

    log_packet(env->desc->trace, env->out, pkt, key ? "key" : "non");
    if (!key)
        return false;
    return start_break_at(env, rep, r, fi, pkt->stream_index, pkt->pts, pkt->dts, reencoded, fallback);
}

/*
 * The first pending event starts on the key frame that ended the break: the
 * video plays the new event's filler from its start; each audio stream being
 * replaced switches to it at the key frame's pts, the others start afresh.
 */
static void chain_break(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVStream *ist,
                        const AVPacket *pkt)
{
    rep_cue next = splice_pending_pop(rep);

    rep->previous = rep->content;  // audio finishes it up to the switch point
    for (int i = 0; i < REP_MAX_STREAMS; i++) {
        rep_stream *a = &rep->streams[i];
        if (a == r)
            continue;
        if (a->sent_dts != AV_NOPTS_VALUE)
            a->switch_at = pkt->pts;
        else
            a->start_dts = AV_NOPTS_VALUE;
    }
    rep->state = SPLICING_STATE_ARMED;
    rep->source = next.source;
    rep->splice_event_id = next.id;
    rep->splice_point = rep->scte_35_pts_time = next.point;
    rep->scte_35_duration = next.duration;
    rep->open = next.open;
    rep->late = next.late;
    rep->return_point = rep->end_pts = AV_NOPTS_VALUE;

    event ev = event_make(EVENT_ARMED);
    ev.reason = EVENT_ARM_KEPT;
    ev.pts = pkt->pts;
    ev.delta_ticks = next.point == REP_NOW ? 0 : next.point - pkt->pts;
    ev.flags = next.duration > 0 ? EVENT_CUE_DURATION_FLAG : 0;
    splice_emit_cue(env, &next, &ev);
    start_break(env, rep, r, fi, pkt, env->accurate ? 0 : -1, start_key_why(env, rep, ist, pkt));
}

int splice_accurate_create(splice_accurate **out)
{
    splice_accurate *a = (splice_accurate *)calloc(1, sizeof(*a));

    if (!a || packets_queue_create(&a->gop, SPLICE_GOP_MAX) < 0 || packets_queue_create(&a->run, SPLICE_GOP_MAX) < 0 ||
        packets_queue_create(&a->withheld, SPLICE_START_WITHHELD) < 0 ||
        !(a->pics = (gop_pic *)calloc(SPLICE_GOP_MAX, sizeof(gop_pic)))) {
        if (a) {
            packets_queue_destroy(&a->gop);
            packets_queue_destroy(&a->run);
            packets_queue_destroy(&a->withheld);
        }
        free(a);
        return AVERROR(ENOMEM);
    }
    a->from = a->point = a->key_pts = a->first_dts = AV_NOPTS_VALUE;
    *out = a;
    return 0;
}

static void free_queued(packets_queue *q)
{
    AVPacket *p = nullptr;

    while (packets_queue_pop(q, &p) >= 0)
        av_packet_free(&p);
}

/* Drops the GOP held and the run under way (a fresh start for the next one). */
/*
 * A key frame ends the GOP held: its rate (bit/s) is noted, the rate of
 * the encoder opened ahead for the next run (reencode_prepare).
 */
static void note_gop_rate(splice_accurate *a, const AVPacket *key)
{
    const packets_queue *g = a->gop;

    if (!(key->flags & AV_PKT_FLAG_KEY) || g->count < 2 || !(g->items[0]->flags & AV_PKT_FLAG_KEY) ||
        key->dts == AV_NOPTS_VALUE || key->dts <= g->items[0]->dts)
        return;
    int64_t bytes = 0;
    for (int i = 0; i < g->count; i++)
        bytes += g->items[i]->size;
    a->gop_rate = av_rescale(bytes * 8, 90000, key->dts - g->items[0]->dts);
}

static void accurate_clear(splice_accurate *a)
{
    if (a->running || a->decoding)
        reencode_abort(a->enc);
    a->running = a->decoding = a->failed = a->aired = 0;
    a->why = EVENT_FALLBACK_NONE;
    a->from = AV_NOPTS_VALUE;
    free_queued(a->gop);
    free_queued(a->run);
}

/*
 * Gives up the run of the GOP held (why: an event_fallback): the encoder
 * stops, the GOP and what is encoded but not aired are dropped. What aired
 * stays (from, aired): the programme is back there.
 */
static void accurate_give_up(splice_accurate *a, int why)
{
    if (a->running || a->decoding)
        reencode_abort(a->enc);
    a->running = a->decoding = 0;
    a->failed = 1;
    a->why = why;
    free_queued(a->gop);
    free_queued(a->run);
}

void splice_accurate_abandon(const splice_env *env, int why)
{
    if (env->accurate)
        accurate_give_up(env->accurate, why);
}

void splice_accurate_destroy(splice_accurate **a)
{
    if (!a || !*a)
        return;
    accurate_clear(*a);
    free_queued((*a)->withheld);
    packets_queue_destroy(&(*a)->gop);
    packets_queue_destroy(&(*a)->run);
    packets_queue_destroy(&(*a)->withheld);
    free((*a)->pics);
    reencode_destroy(&(*a)->enc);
    tail_destroy(&(*a)->tail);
    free(*a);
    *a = nullptr;
}

/* The programme video's frame duration (90 kHz), 0 when unknown. */
static int64_t frame_ticks(const AVStream *ist, AVRational *rate)
{
    AVRational fr = ist->avg_frame_rate.num > 0 && ist->avg_frame_rate.den > 0 ? ist->avg_frame_rate
                                                                                 : ist->r_frame_rate;
    if (rate)
        *rate = fr;
    return fr.num > 0 && fr.den > 0 ? av_rescale(90000, fr.den, fr.num) : 0;
}

/* Notes a programme key frame shown at pts, and the length of the GOP it ends. */
static void note_key(splice_accurate *a, int64_t pts)
{
    if (pts == AV_NOPTS_VALUE)
        return;
    if (a->key_pts != AV_NOPTS_VALUE && pts > a->key_pts) {
        int64_t len = pts - a->key_pts;
        a->gop_steady = len == a->gop_len;
        a->gop_len = len;
    }
    a->key_pts = pts;
}

/*
 * Whether a key frame is due on the picture at point, the GOPs going on
 * from the one shown at key_pts as long as the last two were: a break that
 * starts or ends there re-encodes nothing, so neither is the GOP before it
 * decoded ahead nor the start's encoder opened ahead. Should that key frame
 * not come, a start decodes the GOP held once its time has passed (in time,
 * or it starts on the next key frame: no_gop) and a return decodes it
 * whole at the return.
 */
static bool key_due_at(const splice_accurate *a, int64_t key_pts, int64_t point, int64_t frame)
{
    if (!a->gop_steady || a->gop_len <= 0 || key_pts == AV_NOPTS_VALUE || point < key_pts)
        return false;
    int64_t d = (point - key_pts) % a->gop_len;
    return 2 * std::min(d, a->gop_len - d) < frame;
}

/* Moves what the run has encoded so far to a->run; false when it is full. */
static bool accurate_take(splice_accurate *a)
{
    AVPacket *p = nullptr;

    while (reencode_take(a->enc, &p) >= 0) {
        if (packets_queue_push(a->run, p) < 0 || a->run->count > a->run->capacity) {
            av_packet_free(&p);
            return false;
        }
    }
    return true;
}

/* The re-encoder, made at the first run (a codec it cannot match is refused for the session); false: none. */
static bool accurate_encoder(splice_accurate *a, AVRational fr, const AVStream *ist)
{
    if (a->enc)
        return true;
    int ret = reencode_create(&a->enc, ist->codecpar, fr, 0, 0);
    if (ret < 0) {
        a->refused = ret == REENCODE_UNMATCHED;
        a->failed = !a->refused;
        return false;
    }
    return true;
}

/* The programme's rate over the GOP held (bit/s); its largest reordering lead into a->lead. */
static int64_t accurate_rate(splice_accurate *a)
{
    const packets_queue *g = a->gop;
    int64_t bytes = 0, lead = 0;
    for (int i = 0; i < g->count; i++) {
        bytes += g->items[i]->size;
        lead = std::max(lead, g->items[i]->pts - g->items[i]->dts);
    }
    const AVPacket *last = g->items[g->count - 1];
    int64_t span = last->dts + last->duration - g->items[0]->dts;
    a->lead = lead;
    return av_rescale(bytes * 8, 90000, span > 0 ? span : 90000);
}

/*
 * The key frame just held (the GOP's first packet) may be the last before
 * the break's end (it comes within the GOP length last read, plus a frame,
 * or that length is not known): its GOP is decoded as it comes, without an
 * encoder, so that the return has only its own pictures left to encode
 * rather than the whole GOP to decode on one packet. A later key frame
 * before the end starts afresh (accurate_clear). A failure leaves the
 * decoding to the return (accurate_begin).
 */
static void accurate_decode_ahead(splice_accurate *a, const AVStream *ist, int64_t end)
{
    const AVPacket *key = a->gop->items[0];
    AVRational fr;
    int64_t frame = frame_ticks(ist, &fr);

    if (frame <= 0 || key->pts >= end - frame || (a->gop_len > 0 && key->pts + a->gop_len + frame <= end) ||
        key_due_at(a, key->pts, end, frame) || !accurate_encoder(a, fr, ist) || reencode_begin(a->enc, INT64_MAX, 0, 0) < 0)
        return;
    reencode_hold(a->enc, SPLICE_START_RING);
    a->decoding = reencode_feed(a->enc, key, INT64_MAX) >= 0;
    if (!a->decoding)
        reencode_abort(a->enc);
}

/*
 * The first picture shown at or after end is read and the GOP before it is
 * decoded (accurate_decode_ahead): the run opens its encoder there and
 * encodes from end on. False when it could not (the run is abandoned).
 */
static bool accurate_rewind(splice_accurate *a, const AVPacket *pkt, int64_t end)
{
    a->decoding = 0;
    reencode_unprepare(a->enc);  // a start's encoder opened ahead has the start's rate, not this GOP's
    if (reencode_feed(a->enc, pkt, INT64_MAX) < 0 || reencode_rewind(a->enc, end, INT64_MAX, accurate_rate(a)) < 0 ||
        !accurate_take(a)) {
        reencode_abort(a->enc);
        return false;
    }
    a->running = 1;
    return true;
}

/*
 * Starts the run of the return at end on the GOP held (its key frame shown
 * at or before end): the re-encoder (made at the first run; a codec it
 * cannot match is refused for the session), then every packet held fed.
 * A programme with open GOPs is not re-encoded: the key frame the run would
 * join comes with leading pictures that reference the pictures replaced.
 */
static void accurate_begin(splice_accurate *a, const AVStream *ist, int64_t end)
{
    const packets_queue *g = a->gop;
    AVRational fr;

    if (frame_ticks(ist, &fr) <= 0 || !(g->items[0]->flags & AV_PKT_FLAG_KEY) || g->items[0]->pts > end)
        return;
    if (a->open_gop) {  // the key frame the run joins has leading pictures: they reference what the run replaces
        a->failed = 1;
        a->why = EVENT_FALLBACK_OPEN_GOP;
        return;
    }
    if (!accurate_encoder(a, fr, ist))
        return;
    int64_t rate = accurate_rate(a);
    a->running = reencode_begin(a->enc, end, a->lead, rate) >= 0;
    a->failed = !a->running;
    for (int i = 0; a->running && i < g->count; i++) {
        if (reencode_feed(a->enc, g->items[i], INT64_MAX) < 0 || !accurate_take(a)) {
            accurate_clear(a);
            a->failed = 1;
        }
    }
}

/* Packets of the filler decoded at most for an out point, from its key frame on: about two seconds. */
#define FILLER_OUT_DECODE_MAX 64
/* Packets after the filler's first picture shown at or after the return that are looked at: a reordering's worth. */
#define FILLER_OUT_REORDER 16
/* How long before a break's end its filler's out point is made ahead (90 kHz). */
#define FILLER_OUT_AHEAD (4 * 90000)

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
 * its own (filler_tail_ahead). At the return the run made for the same
 * item, picture and point is taken; another one (the end moved, the
 * programme came back on a key frame before the end) is made there and then.
 */
struct filler_tail {
    std::thread worker;        // joinable: encoding the run planned
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

static void tail_destroy(filler_tail **t)
{
    if (!*t)
        return;
    tail_unplan(*t);
    reencode_destroy(&(*t)->enc);
    delete *t;
    *t = nullptr;
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
    const filler_stream *fs = video_item(env, rep, s, item, &media, &fi, &offset);
    int x = -1, last = -1, reach = -1;

    if (!fs || fs->count < 1)
        return false;
    bool shows = false;  // whether the item shows limit's picture: the end of its decoding order shows its last ones
    for (int i = std::max(from, fs->count - FILLER_OUT_REORDER); i < fs->count && !shows; i++) {
        filler_video_times(r, media, fi, offset, fs->packets[i], AV_NOPTS_VALUE, &dts, &pts);
        shows = pts >= limit;
    }
    for (int i = from; shows && i < fs->count && x < 0; i++) {
        filler_video_times(r, media, fi, offset, fs->packets[i], AV_NOPTS_VALUE, &dts, &pts);
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
        filler_video_times(r, media, fi, offset, p, AV_NOPTS_VALUE, &dts, &pts);
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
        filler_video_times(r, media, fi, offset, p, AV_NOPTS_VALUE, &dts, &pts);
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
    const AVStream *fst = media->format->streams[fi];
    const AVCodecParameters *par = fst->codecpar;
    if (!t->enc || t->par != par || t->codec_id != par->codec_id || t->width != par->width ||
        t->height != par->height || t->format != par->format || t->profile != par->profile) {
        reencode_destroy(&t->enc);
        t->par = nullptr;
        AVRational fr = fst->avg_frame_rate.num > 0 && fst->avg_frame_rate.den > 0 ? fst->avg_frame_rate
                                                                                   : fst->r_frame_rate;
        if (reencode_create(&t->enc, fst->codecpar, fr, 0, 0) < 0) {
            t->why = "codec not matched";
            return true;
        }
        t->par = par;
        t->codec_id = par->codec_id;
        t->width = par->width;
        t->height = par->height;
        t->format = par->format;
        t->profile = par->profile;
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

/* Encodes the run t planned (on the caller's thread, or on t's own). */
static void tail_encode(filler_tail *t)
{
    t->ret = reencode_run(t->enc, t->in, t->n, t->from, t->to, t->dts, t->m, t->out);
}

/*
 * While the break runs: once its end is known (end), the run of the
 * filler's out point at the programme's first picture at or after it
 * (video packet pkt's pts on the frame grid) is planned and encoded on a
 * thread of its own, as soon as the filler item that shows there is under
 * way; again when the end or the item changes.
 */
static void filler_tail_ahead(const splice_env *env, const rep_ctx *rep, const rep_stream *r, int s,
                              const AVStream *ist, const AVPacket *pkt, int64_t end)
{
    splice_accurate *a = env->accurate;
    int64_t frame = frame_ticks(ist, nullptr);

    if (!a || a->from != AV_NOPTS_VALUE || frame <= 0 || end == INT64_MAX || end == REP_NOW || pkt->pts == AV_NOPTS_VALUE || pkt->pts > end ||
        end - pkt->pts > FILLER_OUT_AHEAD || r->queued_item != r->item)
        return;
    int64_t limit = pkt->pts + (end - pkt->pts + frame - 1) / frame * frame;
    filler_tail *t = a->tail;
    if (t && t->planned && t->start_dts == r->start_dts && t->item == r->item && llabs(t->limit - limit) < frame / 2)
        return;  // planned (a programme off its frame grid by a tick is made at the return)
    if (!t && !(t = a->tail = new (std::nothrow) filler_tail()))
        return;
    if (!tail_plan(env, rep, r, s, r->item, r->queued_filler, limit, t) || t->why || t->m == 0)
        return;
    try {
        t->worker = std::thread([t] {
            utils_name_thread("tail-encode");
            tail_encode(t);
        });
    } catch (const std::system_error &) {
        tail_unplan(t);  // made at the return, if it still comes there
    }
}

/*
 * Queues the filler's out point at a return at limit (see above), its
 * decoding times kept after the filler's last packet queued and before
 * bound (spread evenly between the two when they do not fit). Called once
 * the filler shown before limit is released. Returns the pictures queued;
 * 0 when none needed it or it could not be done (the picture before them
 * then shows until the return, said in the trace).
 */
static int filler_out_point(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t limit,
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
    if (!ahead) {
        if (!tail_plan(env, rep, r, s, r->queued_item, r->queued_filler, limit, t) || t->x != r->queued_filler) {
            tail_unplan(t);
            return 0;  // what is held is held for the programme's pace, not for a reference
        }
        if (!t->why && t->m > 0)
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
        queue_packet(env, p);
    }
    r->queued_dts = t->dts[m - 1] + t->duration;
    a->tails += m;
    t->m = 0;
    tail_unplan(t);
    return m;
}

/*
 * Queues the run's packets encoded so far (output stream s): the first one,
 * an IDR, is where the programme is back (rep->end_pts: the sound follows
 * it); the filler's pictures shown before it go out first. Their dts are
 * their pts less the programme's lead, after the filler's and increasing.
 */
static void accurate_air(const splice_env *env, rep_ctx *rep, rep_stream *r, int s)
{
    splice_accurate *a = env->accurate;
    AVPacket *p = nullptr;

    while (packets_queue_pop(a->run, &p) >= 0) {
        if (a->from == AV_NOPTS_VALUE) {
            a->from = rep->end_pts = p->pts;
            release_filler(env, rep, r, s, p->pts, true);
            filler_out_point(env, rep, r, s, p->pts, INT64_MAX);
            a->last_dts = r->queued_dts - 1;
            splice_mark_switch(p, SPLICE_SWITCH_KEY);
        }
        p->dts = std::max(p->pts - a->lead, a->last_dts + 1);
        a->last_dts = p->dts;
        p->stream_index = s;
        a->aired++;
        queue_packet(env, p);
    }
}

/*
 * Whether pkt follows the last packet of the GOP held on one time line:
 * its dts later, and no more than ACCURATE_GAP_FRAMES frames later (more
 * pictures than that lost with the input leave the decoder without its
 * references).
 */
#define ACCURATE_GAP_FRAMES 4

static bool accurate_follows(const splice_accurate *a, const AVStream *ist, const AVPacket *pkt)
{
    if (a->gop->count == 0)
        return true;
    int64_t last = a->gop->items[a->gop->count - 1]->dts, frame = frame_ticks(ist, nullptr);
    return pkt->dts > last && (frame <= 0 || pkt->dts - last <= ACCURATE_GAP_FRAMES * frame);
}

/*
 * Keeps a programme video packet read during the break for the return: a
 * key frame starts the GOP afresh (and a run begun on the one before that
 * has not aired yet); a GOP longer than the store is given up (the return
 * then stays on the key frame), and so is one whose time line breaks (a
 * run that aired ends there). The first picture shown at or after end
 * begins the run, which from then on is fed as the programme comes and
 * airs as it is encoded, in place of the filler. Takes *ppkt.
 */
static void accurate_keep(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist, int64_t end,
                          AVPacket **ppkt)
{
    splice_accurate *a = env->accurate;
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;

    if ((pkt->flags & AV_PKT_FLAG_KEY) && a->from == AV_NOPTS_VALUE) {
        note_key(a, pkt->pts);  // which key frame may be the last before the end (accurate_decode_ahead)
        accurate_clear(a);
    }
    const AVPacket *last = a->gop->count > 0 ? a->gop->items[a->gop->count - 1] : nullptr;
    bool held = last && pkt->dts != AV_NOPTS_VALUE && last->dts == pkt->dts;  // the packet a start decided on
    if (!a->failed && !held && pkt->dts != AV_NOPTS_VALUE && !accurate_follows(a, ist, pkt))
        accurate_give_up(a, EVENT_FALLBACK_TIMELINE);
    if (a->failed) {  // nothing to decode from before the next key frame
        av_packet_free(ppkt);
        return;
    }
    if (held) {
        av_packet_free(ppkt);
        pkt = a->gop->items[a->gop->count - 1];
    } else if (pkt->pts == AV_NOPTS_VALUE || pkt->dts == AV_NOPTS_VALUE || a->gop->count >= a->gop->capacity ||
               packets_queue_push(a->gop, pkt) < 0) {
        if (a->from == AV_NOPTS_VALUE)
            accurate_clear(a);
        accurate_give_up(a, EVENT_FALLBACK_NO_GOP);
        av_packet_free(ppkt);
        return;
    }
    *ppkt = nullptr;
    const AVPacket *key = a->gop->items[0];
    if (!a->open_gop && a->gop->count > 1 && (key->flags & AV_PKT_FLAG_KEY)) {
        gop_pic two[2] = {{key->pts, key->dts, 1, GOP_PIC_I, GOP_REFS_UNKNOWN},
                          {pkt->pts, pkt->dts, (uint8_t)((pkt->flags & AV_PKT_FLAG_KEY) != 0), GOP_PIC_P,
                           GOP_REFS_UNKNOWN}};
        a->open_gop = splice_gop_open(two, 2) == 1;
    }
    bool next_soon = rep->pending_count > 0 && rep->pending[0].point <= end + SPLICE_KEY_LEAD;
    bool ahead = !a->failed && !a->refused && !next_soon && end != INT64_MAX;
    if (a->running && (reencode_feed(a->enc, pkt, INT64_MAX) < 0 || !accurate_take(a))) {
        accurate_give_up(a, EVENT_FALLBACK_ERROR);
    } else if (a->decoding && pkt->pts < end && pkt != a->gop->items[0]) {
        if (reencode_feed(a->enc, pkt, INT64_MAX) < 0) {  // the return decodes the GOP afresh
            reencode_abort(a->enc);
            a->decoding = 0;
        }
    } else if (!a->running && ahead && pkt->pts >= end) {
        if (!(a->decoding && !a->open_gop && accurate_rewind(a, pkt, end))) {
            if (a->decoding)
                reencode_abort(a->enc);
            a->decoding = 0;
            accurate_begin(a, ist, end);
        }
    } else if (!a->running && !a->decoding && ahead && a->gop->count == 1 && (pkt->flags & AV_PKT_FLAG_KEY)) {
        accurate_decode_ahead(a, ist, end);
    }
    accurate_air(env, rep, r, s);
}

/*
 * A frame-accurate return at end, on the programme's key frame key: the
 * run that airs since the first picture shown at or after end is finished
 * at key and the rest of it queued (output stream s); *back is its first
 * picture's pts, *m its pictures. Returns 0, or an event_fallback: when
 * the run did not air, the return stays on key (nothing is re-encoded
 * when key is within a frame of end, and that is no fallback); a run that
 * failed once it aired ends there.
 */
static int accurate_return(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist, int64_t end,
                           const AVPacket *key, int *m, int64_t *back)
{
    splice_accurate *a = env->accurate;
    int64_t frame = frame_ticks(ist, nullptr);
    int why = EVENT_FALLBACK_NONE;

    if (a->running) {
        a->running = 0;
        if (reencode_finish(a->enc, key->pts) < 0 || !accurate_take(a))
            why = EVENT_FALLBACK_ERROR;
        accurate_air(env, rep, r, key->stream_index);
    } else if (a->from == AV_NOPTS_VALUE && frame > 0 && key->pts - end > frame) {
        why = a->refused  ? EVENT_FALLBACK_UNMATCHED
              : a->failed ? (a->why != EVENT_FALLBACK_NONE ? a->why : EVENT_FALLBACK_ERROR)
                          : EVENT_FALLBACK_NO_GOP;
    }
    *m = a->aired;
    if (a->from == AV_NOPTS_VALUE)
        return why;
    *back = a->from;
    if (why == EVENT_FALLBACK_NONE && a->failed)  // the run given up after it aired: the key frame follows it
        why = a->why != EVENT_FALLBACK_NONE ? a->why : EVENT_FALLBACK_ERROR;
    /* Every picture shown from the first at or after end up to key aired (no leading picture after key). */
    if (why == EVENT_FALLBACK_NONE && frame > 0 && (key->pts - a->from + frame / 2) / frame > a->aired)
        why = EVENT_FALLBACK_OPEN_GOP;
    return why;
}

/*
 * How far before a break's end a programme key frame may end it: one frame
 * when the return can be re-encoded on the announced picture (a key frame
 * earlier than that would bring the programme back early, so the break
 * runs on and the pictures from its end to the next key frame are
 * re-encoded), else SPLICE_KEY_LEAD, as at key-frame returns.
 */
static int64_t return_lead(const splice_env *env, const AVStream *ist)
{
    const splice_accurate *a = env->accurate;
    if (!a || a->refused || a->open_gop || a->failed)
        return SPLICE_KEY_LEAD;
    int64_t frame = frame_ticks(ist, nullptr);
    return frame > 0 && frame < SPLICE_KEY_LEAD ? frame : SPLICE_KEY_LEAD;
}

/*
 * End of the break on the video: the first key frame in the window before
 * its end point (return_lead). When the kept event's point is reached too, that event
 * starts on the same key frame. Returns true when the key frame decided.
 */
static bool finish_break(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVStream *ist,
                         AVPacket *pkt)
{
    int key = pkt->flags & AV_PKT_FLAG_KEY;
    int reason;
    int64_t end = break_end_point(rep, &reason);

    log_packet(env->desc->trace, env->out, pkt, key ? "key" : "non");
    if (!key)
        return false;

    /*
     * Frame-accurate: the programme is back at the first picture at or after
     * end, re-encoded up to this key frame; the key frame joins that run.
     */
    int reencoded = 0, fallback = EVENT_FALLBACK_NONE;
    int64_t back = pkt->pts;
    if (env->accurate && r->sent_dts != AV_NOPTS_VALUE && end != REP_NOW && end != INT64_MAX) {
        fallback = accurate_return(env, rep, r, ist, end, pkt, &reencoded, &back);
        if (fallback != EVENT_FALLBACK_NONE)
            env->accurate->fallbacks++;
    }

    /* The filler shows nothing from the programme's return on: what stays held is left out. */
    if (r->sent_dts != AV_NOPTS_VALUE) {
        release_filler_video(env, rep, r, pkt->stream_index, back);
        if (env->accurate && env->accurate->from == AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE)
            filler_out_point(env, rep, r, pkt->stream_index, back, pkt->dts);
        if (env->desc->verbose && (r->queued_item < r->item || r->queued_filler < r->next_filler))
            log_detail(env->desc->trace, "Filler video %d: pictures shown from %" PRId64 " on left out (item %d picture %d on)",
                       pkt->stream_index, back, (int)r->queued_item, (int)r->queued_filler);
        splice_spots_ended(env, rep, back, SPLICE_SPOTS_RETURN);
    }
    if (reencoded > 0 && reencode_key_params(env->accurate->enc, pkt) < 0)
        fallback = EVENT_FALLBACK_ERROR;  // the key frame goes without the programme's parameter sets
    if (env->accurate)
        accurate_clear(env->accurate);
    rep->state = SPLICING_STATE_FINISHED;
    rep->end_pts = back;
    splice_mark_switch(pkt, SPLICE_SWITCH_KEY);  // the programme's video returns here (unless the next break starts)

    event ev = event_make(EVENT_BREAK_ENDED);
    ev.reason = reason;
    ev.stream = pkt->stream_index;
    ev.pts = back;
    ev.delta_ticks = end == REP_NOW ? 0 : back - end;
    ev.end_pts = rep->end_pts;
    ev.aired = back - r->start_pts;
    ev.reencoded = env->accurate ? reencoded : -1;
    ev.fallback = fallback;
    r->sent_dts = AV_NOPTS_VALUE;
    emit(env, rep, &ev);

    /* Pending events whose time is over by this key frame will not air; the first one due starts here. */
    while (rep->pending_count > 0 &&
           splice_cue_passed(&rep->pending[0], rep->pending_count > 1 ? &rep->pending[1] : nullptr, pkt->pts)) {
        rep_cue gone = splice_pending_pop(rep);
        splice_expire(env, rep, &gone, EVENT_EXPIRE_PASSED, pkt->pts);
    }
    if (rep->pending_count > 0 && pkt->pts >= rep->pending[0].point - SPLICE_KEY_LEAD)
        chain_break(env, rep, r, fi, ist, pkt);
    return true;
}

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
 * - A key frame within a frame of the point starts the break on it, as
 *   without frame accuracy, nothing re-encoded.
 * - The audio held while armed waits for the decision (splice_replay_held
 *   up to a frame before the point) and switches at the start chosen.
 * - A point that cannot be conditioned (codec or profile refused, no GOP
 *   decoded toward it or still more than START_CATCH_UP_LAST packets from
 *   caught up, fields coded as pictures of their own, the time line
 *   broken, a run longer than the ring, an error) falls back to the first
 *   key frame at or after it less SPLICE_KEY_LEAD, as without frame
 *   accuracy; the withheld packets go out and break_start says why.
 */

/* Ends the decoding toward the armed point; the withheld packets go to the queue in order (the programme plays on). */
static void start_release(const splice_env *env)
{
    splice_accurate *a = env->accurate;
    AVPacket *p = nullptr;

    if (!a)
        return;
    if (a->npics > 0 && a->enc)
        reencode_abort(a->enc);
    a->npics = 0;
    while (packets_queue_pop(a->withheld, &p) >= 0)
        queue_packet(env, p);
}

/* The armed break cannot start on its picture (why: an event_fallback); it starts on a key frame. */
static void start_give_up(const splice_env *env, int why)
{
    start_release(env);
    env->accurate->start_why = why;
}

/* Whether the armed break is to start on its picture: frame-accurate, a point given, the codec not refused. */
static bool start_accurate(const splice_env *env, const rep_ctx *rep, const AVStream *ist)
{
    splice_accurate *a = env->accurate;

    if (!a || rep->state != SPLICING_STATE_ARMED || rep->scte_35_pts_time == REP_NOW || a->refused)
        return false;
    AVRational fr;
    if (frame_ticks(ist, &fr) <= 0)
        return false;
    if (!a->enc) {  // made once per session, for starts and returns alike
        int ret = reencode_create(&a->enc, ist->codecpar, fr, 0, 0);
        a->refused = ret < 0;  // REENCODE_UNMATCHED, or no memory for it: key frames for the session
        return ret >= 0;
    }
    return true;
}

/* Why a break starting on key frame pkt is not on its point (EVENT_FALLBACK_NONE: it is, within a frame). */
static int start_key_why(const splice_env *env, const rep_ctx *rep, const AVStream *ist, const AVPacket *pkt)
{
    const splice_accurate *a = env->accurate;
    int64_t frame = frame_ticks(ist, nullptr);

    if (!a || rep->scte_35_pts_time == REP_NOW || frame <= 0 || llabs(pkt->pts - rep->scte_35_pts_time) <= frame)
        return EVENT_FALLBACK_NONE;
    if (a->refused)
        return EVENT_FALLBACK_UNMATCHED;
    return a->start_why != EVENT_FALLBACK_NONE && a->point == rep->scte_35_pts_time ? a->start_why
                                                                                   : EVENT_FALLBACK_NO_GOP;
}

/*
 * Notes pkt in the GOP decoded toward the point, fed to the decoder when
 * decode. Returns EVENT_FALLBACK_NONE, or why the GOP cannot be used.
 */
static int start_feed(splice_accurate *a, const AVStream *ist, const AVPacket *pkt, int64_t point, bool decode)
{
    int64_t frame = frame_ticks(ist, nullptr);

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

static void start_decode(const splice_env *env, const AVStream *ist, int64_t point, int limit)
{
    splice_accurate *a = env->accurate;

    start_release(env);
    a->start_why = EVENT_FALLBACK_NONE;
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
static void start_keep(const splice_env *env, const AVStream *ist, const AVPacket *pkt)
{
    splice_accurate *a = env->accurate;

    if (pkt->flags & AV_PKT_FLAG_KEY)
        note_key(a, pkt->pts);
    /* A key frame starts afresh, but one that decides a start decoded toward its point (start_step) */
    if ((pkt->flags & AV_PKT_FLAG_KEY) && a->npics == 0)
        note_gop_rate(a, pkt);
    if (((pkt->flags & AV_PKT_FLAG_KEY) && a->npics == 0) ||
        (pkt->dts != AV_NOPTS_VALUE && !accurate_follows(a, ist, pkt)) || a->gop->count >= a->gop->capacity)
        free_queued(a->gop);
    if (pkt->pts == AV_NOPTS_VALUE || pkt->dts == AV_NOPTS_VALUE ||
        (a->gop->count == 0 && !(pkt->flags & AV_PKT_FLAG_KEY)))
        return;
    AVPacket *ref = av_packet_clone(pkt);
    if (!ref || packets_queue_push(a->gop, ref) < 0) {
        av_packet_free(&ref);
        free_queued(a->gop);  // a gap: nothing to decode from up to the next key frame
    }
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
    int64_t frame = frame_ticks(ist, nullptr), point = rep->scte_35_pts_time;
    uint8_t act[SPLICE_GOP_MAX];
    int64_t dts[SPLICE_GOP_MAX];
    AVPacket *run[SPLICE_START_RING] = {};
    gop_plan plan;

    int ret = splice_gop_plan(a->pics, n, GOP_OUT, point, frame, act, dts, &plan);
    int first_withheld = n - 1 - a->withheld->count;
    int why = ret == AVERROR(EAGAIN) ? EVENT_FALLBACK_NO_GOP : ret < 0 ? EVENT_FALLBACK_ERROR : EVENT_FALLBACK_NONE;
    for (int i = 0; why == EVENT_FALLBACK_NONE && i < first_withheld; i++)
        if (act[i] != GOP_KEEP)
            why = EVENT_FALLBACK_NO_GOP;  // out already (the cue came late): a picture aired was to be replaced
    if (why == EVENT_FALLBACK_NONE && plan.reencoded > SPLICE_START_RING)
        why = EVENT_FALLBACK_NO_GOP;
    int64_t rate = pkt->dts > a->first_dts ? av_rescale(a->bytes * 8, 90000, pkt->dts - a->first_dts) : 0;
    if (why == EVENT_FALLBACK_NONE && plan.reencoded > 0) {
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
            queue_packet(env, p);
        else
            av_packet_free(&p);
    }
    if (act[n - 1] == GOP_KEEP) {  // the point moved onto a key frame decoded before this packet
        queue_packet(env, pkt);
        *ppkt = nullptr;
    }
    for (int k = 0; k < plan.reencoded; k++) {
        if (env->desc->verbose)
            log_packet(env->desc->trace, env->out, run[k], "reS");
        queue_packet(env, run[k]);
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
    return start_break_at(env, rep, r, fi, s, start, slot, plan.reencoded, EVENT_FALLBACK_NONE);
}

/*
 * The armed break's start, frame-accurate, for video packet *ppkt: decoded
 * toward the point, withheld, or deciding (see above). Returns true when
 * the packet decided (the break started or was skipped); *ppkt is null
 * when the packet was taken.
 */
static bool start_step(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVStream *ist,
                       AVPacket **ppkt)
{
    splice_accurate *a = env->accurate;
    AVPacket *pkt = *ppkt;
    int64_t point = rep->scte_35_pts_time, frame = frame_ticks(ist, nullptr);
    bool key = pkt->flags & AV_PKT_FLAG_KEY;

    if (a->point != point) {  // another event armed: afresh
        start_release(env);
        a->point = point;
        a->start_why = EVENT_FALLBACK_NONE;
        a->first_dts = AV_NOPTS_VALUE;
        a->bytes = 0;
    }
    if (pkt->dts != AV_NOPTS_VALUE) {
        if (a->first_dts == AV_NOPTS_VALUE)
            a->first_dts = pkt->dts;
        a->bytes += pkt->size;
    }
    if (a->gop_rate > 0 && !key_due_at(a, a->key_pts, point, frame))
        reencode_prepare(a->enc, a->gop_rate);  // the start's encoder opens ahead, on its own thread, once armed
    if (key && pkt->pts < point - frame) {  // a GOP before the point: decoded when it may reach it
        start_release(env);
        note_gop_rate(a, pkt);
        free_queued(a->gop);
        start_keep(env, ist, pkt);
        if ((a->gop_len <= 0 || point - pkt->pts <= a->gop_len + frame) && !key_due_at(a, pkt->pts, point, frame))
            start_decode(env, ist, point, START_CATCH_UP);
        if (a->npics > 0 || pkt->pts < point - SPLICE_KEY_LEAD)
            return false;
        return start_break_at(env, rep, r, fi, pkt->stream_index, pkt->pts, pkt->dts, 0,
                              start_key_why(env, rep, ist, pkt));
    }
    /*
     * Armed in mid-GOP; or the key frame due on the point did not come (a
     * picture shown from its time on, or decoded from its decoding time on,
     * that is no key frame): that GOP is decoded at once.
     */
    const AVPacket *k = a->gop->count > 0 ? a->gop->items[0] : nullptr;
    bool due = k && key_due_at(a, k->pts, point, frame);
    bool awaited = due && pkt->dts != AV_NOPTS_VALUE && pkt->dts < k->dts + a->gop_len &&
                   (pkt->pts == AV_NOPTS_VALUE || 2 * (k->pts + a->gop_len - pkt->pts) > frame);
    if (a->npics == 0 && !key && a->start_why == EVENT_FALLBACK_NONE && k && (k->flags & AV_PKT_FLAG_KEY) &&
        k->pts < point - frame && (a->gop_len <= 0 || point - k->pts <= a->gop_len + frame) && !awaited)
        start_decode(env, ist, point, due ? -1 : START_CATCH_UP);
    if (a->npics == 0) {  // nothing decoded toward the point: on the key frame, as without frame accuracy
        log_packet(env->desc->trace, env->out, pkt, key ? "key" : "non");
        if (!key || pkt->pts < point - SPLICE_KEY_LEAD)
            return false;
        return start_break_at(env, rep, r, fi, pkt->stream_index, pkt->pts, pkt->dts, 0,
                              start_key_why(env, rep, ist, pkt));
    }
    bool decides = key || pkt->dts >= point;  // every picture shown before the point is read
    int why = decides && a->gop->count - a->npics > START_CATCH_UP_LAST + 1
                  ? EVENT_FALLBACK_NO_GOP  // still too far behind: decoding the rest would hold this packet up
                  : start_catch_up(a, ist, point, decides ? -1 : START_CATCH_UP, decides);
    if (why == EVENT_FALLBACK_NONE && (a->gop->count == 0 || a->gop->items[a->gop->count - 1]->dts != pkt->dts))
        why = EVENT_FALLBACK_NO_GOP;  // pkt was not held (a gap, no memory): the GOP does not reach the point
    if (why != EVENT_FALLBACK_NONE) {
        start_give_up(env, why);
        if (key && pkt->pts >= point - SPLICE_KEY_LEAD)
            return start_break_at(env, rep, r, fi, pkt->stream_index, pkt->pts, pkt->dts, 0,
                                  start_key_why(env, rep, ist, pkt));
        return false;
    }
    if (decides) {
        if (start_decide(env, rep, r, fi, ist, ppkt))
            return true;
        if (key && pkt->pts >= point - SPLICE_KEY_LEAD)
            return start_break_at(env, rep, r, fi, pkt->stream_index, pkt->pts, pkt->dts, 0,
                                  start_key_why(env, rep, ist, pkt));
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

/*
 * First audio packet of a stream reaching past the splice point: cut it
 * there, start the content. When the packet holding the splice point went
 * by unseen (lost with the input, or left out of an input faster than real
 * time), the content starts all the same, in step with the video: from
 * where this packet begins, what would have aired before it skipped.
 */
static void start_audio(const splice_env *env, rep_ctx *rep, rep_stream *r, int id, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;
    int64_t dd = rep->scte_35_pts_time - pkt->pts;

    r->start_dts = pkt->dts;
    event ev = event_make(EVENT_STREAM_SWITCHED);
    ev.reason = EVENT_SWITCH_TO_FILLER;
    ev.stream = s;
    ev.delta_ticks = dd;
    ev.pts = rep->scte_35_pts_time;
    emit(env, rep, &ev);

    AVPacket *f = nullptr;
    r->item = 0;
    r->next_filler = 0;
    r->sent_dts = rep->scte_35_pts_time;
    int got;
    while ((got = splice_next_audio(env, &rep->content, r, s, id, packet_end(pkt), &f)) == SPLICE_AUDIO_PACKET &&
           dd < 0 && f->dts + f->duration <= pkt->pts)
        av_packet_free(&f);
    if (got == SPLICE_AUDIO_END || got == SPLICE_AUDIO_NOMEM) {
        r->sent_dts = AV_NOPTS_VALUE;
        return;  // no filler packet to start with: the programme's audio goes on
    }
    r->start_dts = rep->scte_35_pts_time;

    if (dd > 0) {
        pkt->duration = dd;
        if (env->desc->verbose)
            log_packet(env->desc->trace, env->out, pkt, "Atr");
        queue_packet(env, pkt);
        *ppkt = nullptr;
    } else {
        av_packet_free(ppkt);
    }
    if (f && env->desc->verbose)
        log_packet(env->desc->trace, env->out, f, "reA");
    if (f)
        queue_packet(env, f);
}

/* The stream returns to the programme; what was sent ends at pts. */
static void audio_back(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t pts, int64_t delta)
{
    event ev = event_make(EVENT_STREAM_SWITCHED);
    ev.reason = EVENT_SWITCH_BACK_AT_END;
    ev.stream = s;
    ev.pts = pts;
    ev.end_pts = rep->end_pts;
    ev.delta_ticks = delta;
    r->sent_dts = AV_NOPTS_VALUE;
    emit(env, rep, &ev);
}

/*
 * Later audio packets while the stream is replaced: filler laid end to end
 * up to the packet's end. Once the video is back, the stream returns with
 * its first programme packet that ends after the return point: the filler
 * before it is cut to end where that packet begins. (When filler sent
 * before the return was known already reaches into that packet, the
 * filler goes on to the packet's end instead.) At a kept event's switch
 * point the filler in use is cut there and the next event's filler starts
 * from its first packet.
 */
static void replace_audio(const splice_env *env, rep_ctx *rep, rep_stream *r, int id, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;
    int64_t end = pkt->dts + pkt->duration;
    int64_t rem = end - r->sent_dts;
    bool returning = rep->end_pts != AV_NOPTS_VALUE && packet_end(pkt) > rep->end_pts;

    if (returning && r->sent_dts <= pkt->pts) {
        audio_back(env, rep, r, s, r->sent_dts, 0);
        return;
    }
    if (env->desc->verbose)
        log_detail(env->desc->trace, "Replacing audio %d, rem=%" PRId64 ", pkt_end_pts=%" PRId64, s, rem, end);

    while (r->sent_dts < end && !splice_audio_over(env, splice_content_of(rep, r), r, id)) {
        if (r->switch_at != AV_NOPTS_VALUE && r->sent_dts >= r->switch_at) {
            r->switch_at = AV_NOPTS_VALUE;
            r->item = 0;
            r->next_filler = 0;
            event ev = event_make(EVENT_STREAM_SWITCHED);
            ev.reason = EVENT_SWITCH_TO_FILLER;
            ev.stream = s;
            ev.pts = r->sent_dts;
            ev.delta_ticks = 0;
            emit(env, rep, &ev);
        }
        AVPacket *f = nullptr;
        int got = splice_next_audio(env, splice_content_of(rep, r), r, s, id, end, &f);
        if (got == SPLICE_AUDIO_SILENT)
            continue;
        if (got != SPLICE_AUDIO_PACKET) {
            /* Out of memory: this stream goes back to the programme. */
            r->sent_dts = AV_NOPTS_VALUE;
            break;
        }
        if (env->desc->verbose)
            log_packet(env->desc->trace, env->out, f, "reA");

        int64_t cut = AV_NOPTS_VALUE;  // where this filler packet must end
        if (r->switch_at != AV_NOPTS_VALUE && r->sent_dts > r->switch_at)
            cut = r->switch_at;
        else if (rep->end_pts != AV_NOPTS_VALUE && r->sent_dts > end && end + pkt->duration > rep->end_pts)
            cut = end;  // the next programme packet, ending after the return, goes out itself
        if (cut != AV_NOPTS_VALUE) {
            f->duration -= r->sent_dts - cut;
            r->sent_dts = cut;
            log_packet(env->desc->trace, env->out, f, "trA");
        }
        queue_packet(env, f);
        if (returning && r->sent_dts >= end) {
            audio_back(env, rep, r, s, r->sent_dts, 0);
            break;
        }
    }

    if (r->sent_dts != AV_NOPTS_VALUE && splice_audio_over(env, splice_content_of(rep, r), r, id)) {
        r->sent_dts = AV_NOPTS_VALUE;
        event ev = event_make(EVENT_STREAM_SWITCHED);
        ev.reason = EVENT_SWITCH_BACK_FILLER_END;
        ev.stream = s;
        ev.pts = end;
        emit(env, rep, &ev);
    }
    av_packet_free(ppkt);
}

/*
 * Notes video packet pkt of record r and returns the time before which no
 * key frame still to come can be shown: pictures before a key frame in
 * decoding order are shown before it, so it lies after every pts read, and
 * after this dts. With B-frames that is a reordering delay later than the
 * dts alone: held audio and filler pictures go on that much sooner. A dts
 * going back (a new time line) starts the record again.
 */
static int64_t keys_shown_after(rep_stream *r, const AVPacket *pkt)
{
    if (r->read_dts != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE && pkt->dts < r->read_dts)
        r->shown_max = AV_NOPTS_VALUE;
    if (pkt->dts != AV_NOPTS_VALUE)
        r->read_dts = pkt->dts;
    if (pkt->pts != AV_NOPTS_VALUE && (r->shown_max == AV_NOPTS_VALUE || pkt->pts > r->shown_max))
        r->shown_max = pkt->pts;
    return r->shown_max != AV_NOPTS_VALUE && r->shown_max > pkt->dts ? r->shown_max : pkt->dts;
}

/*
 * Video during the break: the filler packets that begin before this
 * programme packet ends, re-timed from the start key frame. The programme
 * packet is dropped, unless the filler ran out: then the video returns
 * with it. A filler picture is held until it is sure to be shown before
 * the key frame that ends the break: before the earliest such a key frame
 * can come, or by shown_after (key frames still to come are shown later).
 */
/*
 * Takes the filler pictures of video record r (output stream s) that begin
 * before until, re-timed from the start key frame, into its held pictures.
 * Returns false when the content ran out first.
 */
static bool take_filler_video(const splice_env *env, rep_ctx *rep, rep_stream *r, int s, int64_t until)
{
    while (until > r->sent_dts) {
        const filler_ctx *media;
        int fi;
        int64_t offset, next;
        const filler_stream *fs = video_item(env, rep, s, r->item, &media, &fi, &offset);
        if (fs && r->next_filler >= fs->count && splice_item(env, &rep->content, r->item + 1, &next)) {
            r->item++;
            r->next_filler = 0;
            continue;
        }
        if (!fs || r->next_filler >= fs->count)
            return false;
        if (r->next_filler == 0)
            splice_spot_started(env, rep, r->item);
        const AVPacket *p = fs->packets[r->next_filler++];
        int64_t dts, pts;
        filler_video_times(r, media, fi, offset, p, r->sent_dts, &dts, &pts);
        if (env->desc->verbose) {
            AVPacket shown = *p;  // traced on its output stream, not owned
            shown.stream_index = s;
            log_packet(env->desc->trace, env->out, &shown, "snd");
            log_detail(env->desc->trace, "until=%" PRId64 " (%f), rep_ctx.sent_dts=%" PRId64 " (%f)", until, until / 90000.0,
                       r->sent_dts, r->sent_dts / 90000.0);
        }
        r->sent_dts = dts + p->duration;
    }
    return true;
}

static void replace_video(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist,
                          int64_t shown_after, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;

    /* Once a frame-accurate return aired, the programme is back: the filler is no longer taken. */
    bool back = env->accurate && env->accurate->from != AV_NOPTS_VALUE;
    if (!back && !take_filler_video(env, rep, r, s, pkt->dts + pkt->duration)) {
        release_filler_video(env, rep, r, s, INT64_MAX);
        r->sent_dts = AV_NOPTS_VALUE;
        rep->state = SPLICING_STATE_FINISHED;
        rep->end_pts = pkt->dts;
        event ev = event_make(EVENT_BREAK_ENDED);
        ev.reason = EVENT_END_FILLER_END;
        ev.aired = pkt->dts - r->start_dts;
        ev.stream = s;
        ev.pts = pkt->pts;
        ev.end_pts = rep->end_pts;
        splice_spots_ended(env, rep, r->start_pts + ev.aired, SPLICE_SPOTS_RETURN);
        emit(env, rep, &ev);
        splice_mark_switch(pkt, SPLICE_SWITCH_MID_GOP);
        queue_packet(env, pkt);
        *ppkt = nullptr;
        return;
    }
    int64_t end = break_end_point(rep, nullptr);
    int64_t earliest_key = end - SPLICE_KEY_LEAD;
    int64_t limit = earliest_key > shown_after ? earliest_key : shown_after + 1;
    /* A frame-accurate return may take the programme back at end itself: filler shown from there waits. */
    release_filler_video(env, rep, r, s, env->accurate && limit > end ? end : limit);
    if (env->accurate) {
        filler_tail_ahead(env, rep, r, s, ist, pkt, end);
        accurate_keep(env, rep, r, ist, end, ppkt);  // the return may be decoded from it
    }
    else
        av_packet_free(ppkt);
}

void splice_break_clock(const splice_env *env, rep_ctx *rep, int64_t until)
{
    if (rep->state != SPLICING_STATE_STARTED || !env->out)
        return;
    int64_t earliest_key = break_end_point(rep, nullptr) - SPLICE_KEY_LEAD;
    for (unsigned s = 0; s < env->out->nb_streams && s < REP_MAX_STREAMS; s++) {
        rep_stream *r = &rep->streams[s];
        const AVStream *st = env->out->streams[s];
        if (r->sent_dts == AV_NOPTS_VALUE || r->sent_dts >= until)
            continue;
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            take_filler_video(env, rep, r, (int)s, until);  // run out: the break ends when the programme is back
            release_filler_video(env, rep, r, (int)s, until < earliest_key ? until : earliest_key);
            continue;
        }
        const rep_content *c = splice_content_of(rep, r);
        while (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && r->sent_dts < until && r->switch_at == AV_NOPTS_VALUE &&
               !splice_audio_over(env, c, r, st->id)) {
            AVPacket *f = nullptr;
            int got = splice_next_audio(env, c, r, (int)s, st->id, until, &f);
            if (got == SPLICE_AUDIO_SILENT)
                continue;
            if (got != SPLICE_AUDIO_PACKET)
                break;
            queue_packet(env, f);
        }
    }
}

/*
 * The audio rule for one packet of a programme's audio stream. A stream not
 * yet met starts at the packet that reaches past the splice point; one being
 * replaced goes on whatever the packet's time (held packets of a break that
 * just handed over to the next one lie before it). A stream no filler stream
 * stands in for (filler_match) is silent for the break, as under an item of
 * a sequence that lacks it: its programme's sound stops with the pictures.
 */
static void splice_audio(const splice_env *env, rep_ctx *rep, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    rep_stream *r = &rep->streams[pkt->stream_index];
    int64_t t = rep->scte_35_pts_time;
    bool replaced = r->start_dts != AV_NOPTS_VALUE && r->sent_dts != AV_NOPTS_VALUE;

    if (!replaced && !(pkt->pts > t || (pkt->pts <= t && t < packet_end(pkt))))
        return;
    if (env->desc->verbose)
        log_packet(env->desc->trace, env->out, pkt, "Ain");
    int id = env->out->streams[pkt->stream_index]->id;
    if (r->start_dts == AV_NOPTS_VALUE)
        start_audio(env, rep, r, id, ppkt);
    else if (replaced)
        replace_audio(env, rep, r, id, ppkt);
}

/*
 * The one way of audio to the queue, held or not: the audio rule of the
 * break under way (none while idle or armed), then what it leaves is
 * queued. Takes pkt.
 */
static void pass_audio(const splice_env *env, rep_ctx *rep, AVPacket *pkt)
{
    bool in_break = rep->state == SPLICING_STATE_STARTED || rep->state == SPLICING_STATE_FINISHED;

    if (in_break && pkt->stream_index >= 0 && pkt->stream_index < REP_MAX_STREAMS)
        splice_audio(env, rep, &pkt);
    if (pkt)
        queue_packet(env, pkt);
}

void splice_replay_held(const splice_env *env, rep_ctx *rep, int64_t limit, bool margin)
{
    AVPacket *pkt = nullptr;

    while (env->held && env->held->count > 0 &&
           packet_end(env->held->items[0]) + (margin ? env->held->items[0]->duration : 0) <= limit) {
        packets_queue_pop(env->held, &pkt);
        pass_audio(env, rep, pkt);
    }
}

void splice_release_held(const splice_env *env)
{
    AVPacket *pkt = nullptr;

    start_release(env);
    while (env->held && packets_queue_pop(env->held, &pkt) >= 0)
        queue_packet(env, pkt);
}

/*
 * Audio that may lie on either side of the key frame to come waits for it:
 * while armed, what reaches the earliest start; in a running break, what
 * reaches the earliest end. Returns true when pkt was held.
 */
static bool audio_waits(const splice_env *env, rep_ctx *rep, const rep_stream *r, AVPacket **ppkt)
{
    if (rep->state != SPLICING_STATE_ARMED && rep->state != SPLICING_STATE_STARTED)
        return false;
    int64_t from = rep->state == SPLICING_STATE_ARMED ? rep->scte_35_pts_time - SPLICE_KEY_LEAD
                   : r->sent_dts != AV_NOPTS_VALUE ? break_end_point(rep, nullptr) - SPLICE_KEY_LEAD
                                                   : INT64_MAX;
    return hold_audio(env, rep, from, ppkt);
}

/*
 * The armed event expires on key frame pkt when its time is over (see
 * splice_cue_passed): reported, and the next pending event armed. Returns
 * true when it expired.
 */
static bool expire_armed(const splice_env *env, rep_ctx *rep, const AVPacket *pkt)
{
    rep_cue armed = splice_current_cue(rep);

    if (!(pkt->flags & AV_PKT_FLAG_KEY) ||
        !splice_cue_passed(&armed, rep->pending_count > 0 ? &rep->pending[0] : nullptr, pkt->pts))
        return false;
    splice_expire(env, rep, &armed, EVENT_EXPIRE_PASSED, pkt->pts);
    splice_next_or_idle(env, rep, pkt->pts);
    return true;
}

/*
 * A video packet in the key-frame window starts or ends the break; an
 * armed event whose time is over hands the key frame to the next one.
 * Returns true when the packet's key frame decided.
 */
static bool video_decides(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVStream *ist,
                          AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    bool decided = false;
    const splice_accurate *a = env->accurate;

    if (a && (a->npics > 0 || a->withheld->count > 0) &&
        (rep->state != SPLICING_STATE_ARMED || rep->scte_35_pts_time != a->point))
        start_release(env);  // the event went (cancelled, expired): its programme plays on
    bool kept = a && rep->state != SPLICING_STATE_STARTED;
    if (kept)
        start_keep(env, ist, pkt);
    while (rep->state == SPLICING_STATE_ARMED) {
        bool window = pkt->pts >= rep->scte_35_pts_time - SPLICE_KEY_LEAD;
        if (window && expire_armed(env, rep, pkt)) {
            start_release(env);
            decided = true;
            continue;
        }
        if (start_accurate(env, rep, ist)) {
            decided = start_step(env, rep, r, fi, ist, ppkt) || decided;
            pkt = *ppkt;
        } else if (window) {
            decided = start_break(env, rep, r, fi, pkt, a ? 0 : -1, start_key_why(env, rep, ist, pkt)) || decided;
        }
        break;
    }
    if (pkt && rep->state == SPLICING_STATE_STARTED && pkt->pts >= break_end_point(rep, nullptr) - return_lead(env, ist))
        decided = finish_break(env, rep, r, fi, ist, pkt) || decided;
    if (a && !kept && pkt && rep->state != SPLICING_STATE_STARTED)
        start_keep(env, ist, pkt);  // the key frame that ended the break
    return decided;
}

/*
 * Held audio that the packet at hand lets go: all of it once a key frame
 * decided or the break is over, else what ends before any key frame still
 * to come (video packets only).
 */
static void release_held(const splice_env *env, rep_ctx *rep, int64_t shown_after, bool decided, bool video)
{
    bool over = rep->state == SPLICING_STATE_FINISHED || rep->state == SPLICING_STATE_IDLE;

    if (decided || (over && env->held && env->held->count > 0)) {
        splice_replay_held(env, rep, rep->state == SPLICING_STATE_ARMED ? rep->scte_35_pts_time - SPLICE_KEY_LEAD
                                                                 : INT64_MAX, false);
    } else if (video) {
        /*
         * Key frames still to come are shown after shown_after: audio ending by
         * then lies before the break (armed) or in it (running). In a running
         * break a packet goes only when the one after it ends by then too,
         * so that the packet with which the audio returns is never reached
         * by filler laid before the end was known.
         */
        int64_t limit = shown_after;
        const splice_accurate *a = env->accurate;
        if (a && rep->state == SPLICING_STATE_ARMED && a->npics > 0 && a->point == rep->scte_35_pts_time) {
            /* A frame-accurate start under way may come up to a frame before the point: the sound from there waits. */
            int64_t at = rep->scte_35_pts_time - SPLICE_KEY_LEAD;
            limit = at < limit ? at : limit;
        }
        if (env->accurate && env->accurate->from == AV_NOPTS_VALUE && rep->state == SPLICING_STATE_STARTED) {
            /* A frame-accurate return may come at the break's end itself: the sound from there waits for it. */
            int64_t end = break_end_point(rep, nullptr) - SPLICE_KEY_LEAD;
            limit = end < limit ? end : limit;
        }
        splice_replay_held(env, rep, limit, rep->state == SPLICING_STATE_STARTED);
    }
}

/* The rules for one packet of a stream that has a record (see splice_packet). Takes pkt. */
static void apply_rules(const splice_env *env, rep_ctx *rep, const AVStream *ist, AVPacket *pkt)
{
    enum AVMediaType type = ist->codecpar->codec_type;
    bool video = type == AVMEDIA_TYPE_VIDEO;
    bool audio = type == AVMEDIA_TYPE_AUDIO;
    rep_stream *r = &rep->streams[pkt->stream_index];
    int fi = splice_filler_stream(env->filler, env->out, ist->id);
    const filler_stream *fs = fi >= 0 ? &env->filler->streams[fi] : nullptr;

    if (audio && audio_waits(env, rep, r, &pkt))
        return;
    int64_t shown_after = video ? keys_shown_after(r, pkt) : AV_NOPTS_VALUE, now = pkt->pts;
    bool decided = video && video_decides(env, rep, r, fi, ist, &pkt);
    /* Every stream back on the programme: idle, or the kept event armed. */
    if (rep->state == SPLICING_STATE_FINISHED && !any_stream_replaced(env, rep)) {
        event ev = event_make(EVENT_IDLE);
        emit(env, rep, &ev);
        splice_next_or_idle(env, rep, now);
    }
    release_held(env, rep, shown_after, decided, video);

    if (audio) {
        pass_audio(env, rep, pkt);
        return;
    }
    if (pkt && video && rep->state == SPLICING_STATE_STARTED) {
        if (env->desc->verbose)
            log_packet(env->desc->trace, env->out, pkt, "Vin");
        /* Only the stream whose key frame started the break is replaced. */
        if (fs && r->start_dts != AV_NOPTS_VALUE && r->sent_dts != AV_NOPTS_VALUE)
            replace_video(env, rep, r, ist, shown_after, &pkt);
    }
    if (pkt)
        queue_packet(env, pkt);
}

int splice_packet(const splice_env *env, rep_ctx *rep, const AVStream *ist, AVPacket *pkt)
{
    int64_t refused = env->queue->refused;
    int s = pkt->stream_index;

    /* Only streams with a record can be replaced; nothing past the last record is touched. */
    if (s < 0 || s >= REP_MAX_STREAMS)
        queue_packet(env, pkt);
    else
        apply_rules(env, rep, ist, pkt);
    return env->queue->refused > refused ? -ENOMEM : 0;
}
