/*
 * Splice rules, the key-frame half and the packet's way through the rules:
 * a break armed for a point starts on the first video key frame in the
 * window before it (start_break_at: the filler's first picture shown there,
 * its content laid out), ends on the first key frame in the window before
 * its end (finish_break), and hands over to the next event on the same key
 * frame (chain_break); audio around the key frames to come waits in the
 * held queue until the video decides. apply_rules is the one way of every
 * packet: audio held or passed, the video's decision, the filler's video in
 * a running break, then the queue. With frame-accurate splices the start
 * (splice_start.cpp) and the return (splice_return.cpp) move onto the
 * pictures at the points; what the cues decide is in splice_cue.cpp.
 */
#include "splice/splice_rules.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>

extern "C" {
#include <libavformat/avformat.h>
}

#include "codec/reencode.h"
#include "splice/filler.h"
#include "splice/packets_queue.h"
#include "common/trace.h"

/* Reports ev for the break rep describes. */
void splice_emit(const splice_env *env, const rep_ctx *rep, event *ev)
{
    ev->splice_event_id = rep->splice_event_id;
    ev->splice_time = rep->splice_point;
    ev->duration = rep->scte_35_duration == AV_NOPTS_VALUE ? 0 : rep->scte_35_duration;
    if (rep->source == REP_SOURCE_SEGMENTATION)
        ev->flags |= EVENT_CUE_SEGMENTATION_FLAG;
    event_emit(&env->desc->events, ev);
}

/*
 * Queues pkt for writing; a packet the queue refuses is freed, never leaked,
 * and reported. The video of a stream that waits for a start's run being
 * encoded waits behind it (splice_start_settle).
 */
void splice_queue(const splice_env *env, AVPacket *pkt)
{
    splice_accurate *a = env->accurate;

    pkt->pos = -1;
    bool gated = a && a->run_stream >= 0 && pkt->stream_index == a->run_stream;
    if (gated && a->gated->count >= a->gated->capacity) {
        splice_start_settle(env, nullptr, true);  // more than ever waits: the run is waited for
        gated = false;
    }
    int ret = packets_queue_push(gated ? a->gated : env->queue, pkt);
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

/*
 * An audio packet that ends after from waits in the held queue until the
 * video shows where the break starts (while armed) or ends (near the end
 * of a running break). Returns true when the packet was taken.
 */
static bool hold_audio(const splice_env *env, rep_ctx *rep, int64_t from, AVPacket **ppkt)
{
    if (!env->held || splice_packet_end(*ppkt) <= from)
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

/* The video record of the break under way (the one whose key frame started it), or null. */
static rep_stream *video_record(rep_ctx *rep)
{
    for (int i = 0; i < REP_MAX_STREAMS; i++)
        if (rep->streams[i].start_pts != AV_NOPTS_VALUE)
            return &rep->streams[i];
    return nullptr;
}

int64_t splice_break_cut(const splice_env *env, rep_ctx *rep, int reason)
{
    splice_start_settle(env, rep, true);  // the start's run goes out before what ends the break
    if (rep->state != SPLICING_STATE_STARTED)
        return AV_NOPTS_VALUE;
    int64_t end = splice_break_end(rep, nullptr);
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
            splice_release_filler_video(env, rep, v, s, a && a->from != AV_NOPTS_VALUE ? a->from : INT64_MAX);
    }
    if (a) {  // the run under way ends with the break
        if (v && reason == EVENT_END_SESSION_END && env->out && (unsigned)(v - rep->streams) < env->out->nb_streams)
            splice_accurate_flush(env, rep, v, (int)(v - rep->streams));
        AVPacket *key = splice_accurate_take_key(a);
        ev.reencoded = a->from != AV_NOPTS_VALUE ? a->aired : -1;
        if (key) {  // the programme's key frame held for its leading pictures follows the run
            splice_accurate_follow_run(a, key);
            splice_mark_switch(key, SPLICE_SWITCH_KEY);
            splice_queue(env, key);
        }
        splice_accurate_clear(a);
    }
    splice_spots_ended(env, rep, reached, SPLICE_SPOTS_SESSION_END);
    splice_emit(env, rep, &ev);
    return end;
}

int64_t splice_start_in_outage(const splice_env *env, rep_ctx *rep, int64_t now)
{
    if (rep->state != SPLICING_STATE_ARMED || rep->splice_point == REP_NOW || now < rep->splice_point - SPLICE_KEY_LEAD)
        return AV_NOPTS_VALUE;
    splice_start_release(env);  // what a frame-accurate start withheld before the input was lost goes first
    rep->last = splice_current_cue(rep);
    rep->scte_35_pts_time = rep->splice_point;
    int64_t end = splice_break_end(rep, nullptr);
    int id = -1;
    for (unsigned s = 0; env->out && s < env->out->nb_streams && id < 0; s++)
        if (env->out->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            id = env->out->streams[s]->id;
    int planned = splice_content_start(env, rep, rep->splice_point, id, end);
    if (planned == SPLICE_PLAN_LEAVE) {
        event ev = event_make(EVENT_BREAK_SKIPPED);
        ev.reason = EVENT_SKIP_SCHEDULE;
        ev.pts = rep->splice_point;
        splice_emit(env, rep, &ev);
        splice_next_or_idle(env, rep, now);
        return AV_NOPTS_VALUE;
    }
    event ev = event_make(EVENT_BREAK_STARTED);
    ev.pts = rep->splice_point;
    ev.delta_ticks = 0;
    splice_emit(env, rep, &ev);
    splice_spots_ended(env, rep, rep->splice_point, SPLICE_SPOTS_SESSION_END);
    ev = event_make(EVENT_BREAK_ENDED);
    ev.reason = EVENT_END_INPUT_LOST;
    ev.pts = rep->splice_point;
    ev.aired = 0;
    splice_emit(env, rep, &ev);
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
int64_t splice_break_end(const rep_ctx *rep, int *reason)
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
bool splice_start_break_at(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, int s, int64_t pts,
                           int64_t dts, int reencoded, int fallback)
{
    rep->last = splice_current_cue(rep);
    int64_t delta = rep->scte_35_pts_time == REP_NOW ? 0 : pts - rep->scte_35_pts_time;
    rep->scte_35_pts_time = pts;
    rep->limit = rep->open && env->desc->max_break > 0 ? pts + env->desc->max_break : AV_NOPTS_VALUE;
    int id = env->out->streams[s]->id;
    int planned = splice_content_start(env, rep, pts, id, splice_break_end(rep, nullptr));
    if (planned == SPLICE_PLAN_LEAVE || fi < 0) {
        event ev = event_make(EVENT_BREAK_SKIPPED);
        ev.reason = planned == SPLICE_PLAN_LEAVE ? EVENT_SKIP_SCHEDULE : EVENT_SKIP_NO_FILLER_VIDEO;
        ev.stream = s;
        ev.pts = pts;
        if (planned != SPLICE_PLAN_LEAVE)
            splice_spots_ended(env, rep, AV_NOPTS_VALUE, SPLICE_SPOTS_SKIPPED);
        splice_emit(env, rep, &ev);
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
    splice_emit(env, rep, &ev);
    trace_late_audio(env, pts);
    return true;
}

/*
 * Start of the break on the first video key frame in the window before the
 * splice point (immediate: the first key frame), see splice_start_break_at.
 * Returns true when the key frame decided (started or skipped).
 */
static bool start_break(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVPacket *pkt,
                        int reencoded, int fallback)
{
    int key = pkt->flags & AV_PKT_FLAG_KEY;

    log_packet(env->desc->trace, env->out, pkt, key ? "key" : "non");
    if (!key)
        return false;
    return splice_start_break_at(env, rep, r, fi, pkt->stream_index, pkt->pts, pkt->dts, reencoded, fallback);
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
    start_break(env, rep, r, fi, pkt, env->accurate ? 0 : -1, splice_start_key_why(env, rep, ist, pkt));
}

/*
 * How far before a break's end a programme key frame may end it: with
 * frame-accurate returns none (a key frame before the end would bring the
 * programme back early: the break runs on, and the pictures from its end to
 * the next key frame are re-encoded, or that key frame ends it and says
 * why), else SPLICE_KEY_LEAD, as at key-frame returns.
 */
static int64_t return_lead(const splice_env *env)
{
    return splice_key_lead(env);
}

/*
 * A return on key frame pkt of open GOPs (not re-encoded): its leading
 * pictures, shown before it, reference the GOP the filler replaced and are
 * left out (relay_leading), and the filler, paced on the programme's
 * decoding times, has not yet taken the pictures it shows in their place.
 * The key frame is decoded as late as its last leading picture would have
 * been, and the filler takes up to there: its pictures shown before the key
 * frame go out on those decoding times (those that reference a later one
 * re-encoded at the out point) instead of the picture before them holding.
 */
static void open_gop_return(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist, AVPacket *pkt)
{
    const splice_accurate *a = env->accurate;
    int64_t frame = splice_frame_ticks(ist, nullptr);

    if (!a || !a->open_gop || a->from != AV_NOPTS_VALUE || frame <= 0 || pkt->dts == AV_NOPTS_VALUE ||
        pkt->pts == AV_NOPTS_VALUE)
        return;
    if (a->joined) {  // held for its leading pictures: its dts is already the last one's
        splice_take_filler_video(env, rep, r, pkt->stream_index, pkt->dts);
        return;
    }
    int64_t dts = std::min(pkt->dts + a->leading * frame, pkt->pts);
    if (a->leading <= 0 || dts <= pkt->dts)
        return;
    pkt->dts = dts;
    splice_take_filler_video(env, rep, r, pkt->stream_index, dts);
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
    int64_t end = splice_break_end(rep, &reason);

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
        fallback = splice_accurate_return(env, rep, r, ist, end, pkt, &reencoded, &back);
        if (fallback != EVENT_FALLBACK_NONE)
            env->accurate->fallbacks++;
        splice_accurate_follow_run(env->accurate, pkt);
    }

    /* The filler shows nothing from the programme's return on: what stays held is left out. */
    if (r->sent_dts != AV_NOPTS_VALUE) {
        open_gop_return(env, rep, r, ist, pkt);
        splice_release_filler_video(env, rep, r, pkt->stream_index, back);
        if (env->accurate && env->accurate->from == AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE)
            splice_filler_out_point(env, rep, r, pkt->stream_index, back, pkt->dts);
        if (env->desc->verbose && (r->queued_item < r->item || r->queued_filler < r->next_filler))
            log_detail(env->desc->trace, "Filler video %d: pictures shown from %" PRId64 " on left out (item %d picture %d on)",
                       pkt->stream_index, back, (int)r->queued_item, (int)r->queued_filler);
        splice_spots_ended(env, rep, back, SPLICE_SPOTS_RETURN);
    }
    if (reencoded > 0 && reencode_key_params(env->accurate->enc, pkt) < 0)
        fallback = EVENT_FALLBACK_ERROR;  // the key frame goes without the programme's parameter sets
    if (env->accurate)
        splice_accurate_clear(env->accurate);
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
    splice_emit(env, rep, &ev);

    /* Pending events whose time is over by this key frame will not air; the first one due starts here. */
    while (rep->pending_count > 0 &&
           splice_cue_passed(&rep->pending[0], rep->pending_count > 1 ? &rep->pending[1] : nullptr, pkt->pts)) {
        rep_cue gone = splice_pending_pop(rep);
        splice_expire(env, rep, &gone, EVENT_EXPIRE_PASSED, pkt->pts);
    }
    if (rep->pending_count > 0 && pkt->pts >= rep->pending[0].point - splice_key_lead(env))
        chain_break(env, rep, r, fi, ist, pkt);
    return true;
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

void splice_replay_held(const splice_env *env, rep_ctx *rep, int64_t limit, bool margin)
{
    AVPacket *pkt = nullptr;

    while (env->held && env->held->count > 0 &&
           splice_packet_end(env->held->items[0]) + (margin ? env->held->items[0]->duration : 0) <= limit) {
        packets_queue_pop(env->held, &pkt);
        splice_pass_audio(env, rep, pkt);
    }
}

void splice_release_held(const splice_env *env)
{
    AVPacket *pkt = nullptr;

    splice_start_release(env);
    while (env->held && packets_queue_pop(env->held, &pkt) >= 0)
        splice_queue(env, pkt);
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
                   : r->sent_dts != AV_NOPTS_VALUE ? splice_break_end(rep, nullptr) - SPLICE_KEY_LEAD
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
        splice_start_release(env);  // the event went (cancelled, expired): its programme plays on
    bool kept = a && rep->state != SPLICING_STATE_STARTED;
    if (kept)
        splice_start_keep(env, ist, pkt);
    while (rep->state == SPLICING_STATE_ARMED) {
        bool window = pkt->pts >= rep->scte_35_pts_time - splice_key_lead(env);
        if (window && expire_armed(env, rep, pkt)) {
            splice_start_release(env);
            decided = true;
            continue;
        }
        if (splice_start_accurate(env, rep, ist)) {
            decided = splice_start_step(env, rep, r, fi, ist, ppkt) || decided;
            pkt = *ppkt;
        } else if (window) {
            decided = start_break(env, rep, r, fi, pkt, a ? 0 : -1, splice_start_key_why(env, rep, ist, pkt)) || decided;
        }
        break;
    }
    int64_t end = rep->state == SPLICING_STATE_STARTED ? splice_break_end(rep, nullptr) : AV_NOPTS_VALUE;
    if (pkt && rep->state == SPLICING_STATE_STARTED && pkt->pts >= end - return_lead(env)) {
        if (r->sent_dts != AV_NOPTS_VALUE && end != REP_NOW && end != INT64_MAX && splice_accurate_hold_key(env, end, ppkt))
            return decided;  // its leading pictures go first (to the run)
        decided = finish_break(env, rep, r, fi, ist, pkt) || decided;
    }
    if (a && !kept && pkt && rep->state != SPLICING_STATE_STARTED)
        splice_start_keep(env, ist, pkt);  // the key frame that ended the break
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
            int64_t end = splice_break_end(rep, nullptr) - SPLICE_KEY_LEAD;
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
    AVPacket *key = video ? splice_accurate_key_goes(env, rep, ist, pkt) : nullptr;
    if (key)
        apply_rules(env, rep, ist, key);  // the held key frame ends the break before pkt
    int64_t shown_after = video ? keys_shown_after(r, pkt) : AV_NOPTS_VALUE, now = pkt->pts;
    bool decided = video && video_decides(env, rep, r, fi, ist, &pkt);
    /* Every stream back on the programme: idle, or the kept event armed. */
    if (rep->state == SPLICING_STATE_FINISHED && !any_stream_replaced(env, rep)) {
        event ev = event_make(EVENT_IDLE);
        splice_emit(env, rep, &ev);
        splice_next_or_idle(env, rep, now);
    }
    release_held(env, rep, shown_after, decided, video);

    if (audio) {
        splice_pass_audio(env, rep, pkt);
        return;
    }
    if (pkt && video && rep->state == SPLICING_STATE_STARTED) {
        if (env->desc->verbose)
            log_packet(env->desc->trace, env->out, pkt, "Vin");
        /* Only the stream whose key frame started the break is replaced. */
        if (fs && r->start_dts != AV_NOPTS_VALUE && r->sent_dts != AV_NOPTS_VALUE)
            splice_replace_video(env, rep, r, ist, shown_after, &pkt);
    }
    if (pkt)
        splice_queue(env, pkt);
}

int splice_packet(const splice_env *env, rep_ctx *rep, const AVStream *ist, AVPacket *pkt)
{
    int64_t refused = env->queue->refused;
    int s = pkt->stream_index;

    splice_start_settle(env, rep, false);
    splice_accurate_poll(env, rep);

    /* Only streams with a record can be replaced; nothing past the last record is touched. */
    if (s < 0 || s >= REP_MAX_STREAMS)
        splice_queue(env, pkt);
    else
        apply_rules(env, rep, ist, pkt);
    return env->queue->refused > refused ? -ENOMEM : 0;
}
