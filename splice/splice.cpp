/*
 * Splice rules: break start and end on video key frames, audio laid end to
 * end from the splice point, video re-timed from the filler. What the cues
 * decide is in splice_cue.cpp.
 */
#include "splice/splice.h"
#include "splice/splice_internal.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

extern "C" {
#include <libavformat/avformat.h>
}

#include "splice/filler.h"
#include "splice/packets_queue.h"
#include "common/trace.h"
#include "scte35/scte35.h"

/* Reports ev for the break rep describes. */
static void emit(const splice_env *env, const rep_ctx *rep, event *ev)
{
    ev->splice_event_id = rep->splice_event_id;
    ev->splice_time = rep->splice_point;
    ev->duration = rep->scte_35_duration == AV_NOPTS_VALUE ? 0 : rep->scte_35_duration;
    if (rep->source == REP_SOURCE_SEGMENTATION)
        ev->flags |= EVENT_CUE_SEGMENTATION_FLAG;
    event_emit(env->events, ev);
}

/* Queues pkt for writing; a packet the queue refuses is freed, never leaked, and reported. */
static void queue_packet(const splice_env *env, AVPacket *pkt)
{
    pkt->pos = -1;
    int ret = packets_queue_push(env->queue, pkt);
    if (ret < 0) {
        av_packet_free(&pkt);
        event ev = event_make(EVENT_QUEUE_REFUSED);
        ev.code = ret;
        event_emit(env->events, &ev);
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

/*
 * Index of the filler stream standing in for a programme stream with this
 * stream id, or -1: no stream of that id, or the first one has no slot in
 * the store or holds no packet.
 */
static int filler_stream_for(const filler_ctx *filler, int id)
{
    if (!filler || !filler->format)
        return -1;
    for (unsigned i = 0; i < filler->format->nb_streams; i++) {
        if (filler->format->streams[i]->id != id)
            continue;
        if (i >= FILLER_MAX_STREAMS || filler->streams[i].count <= 0)
            return -1;
        return (int)i;
    }
    return -1;
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
 * Output dts and pts of filler video packet p in the break of r (fi: its
 * filler stream); prev_end: where the filler packet before it ends.
 */
static void filler_video_times(const splice_env *env, const rep_stream *r, int fi, const AVPacket *p,
                               int64_t prev_end, int64_t *dts, int64_t *pts)
{
    const filler_stream *fs = &env->filler->streams[fi];
    int64_t first_dts = fs->packets[0]->dts;
    int64_t start_time = env->filler->format->streams[fi]->start_time;

    if (start_time == AV_NOPTS_VALUE)
        start_time = fs->packets[0]->pts;
    /* A filler packet without timestamps continues where the last one ended. */
    *dts = p->dts == AV_NOPTS_VALUE || first_dts == AV_NOPTS_VALUE ? prev_end : p->dts - first_dts + r->start_dts;
    *pts = p->pts == AV_NOPTS_VALUE || start_time == AV_NOPTS_VALUE
               ? *dts + r->pts_shift : p->pts - start_time + r->start_pts + r->pts_shift;
}

/*
 * Queues the held filler video of r (output stream s), oldest first, while
 * its pictures are shown before limit. The first picture shown at or after
 * limit stays held, and with it every one after it in decoding order, since
 * those may reference it.
 */
static void release_filler_video(const splice_env *env, rep_stream *r, int fi, int s, int64_t limit)
{
    const filler_stream *fs = &env->filler->streams[fi];

    while (r->queued_filler < r->next_filler) {
        const AVPacket *p = fs->packets[r->queued_filler];
        int64_t dts, pts;
        filler_video_times(env, r, fi, p, r->queued_dts, &dts, &pts);
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
            splice_mark_switch(f, SPLICE_SWITCH_KEY);  // the filler's first picture: the break's video starts here
        if (env->verbose)
            log_packet(env->out, f, "reV");
        queue_packet(env, f);
    }
}

/* The video record of the break under way (the one whose key frame started it), or null. */
static rep_stream *video_record(rep_ctx *rep)
{
    for (int i = 0; i < REP_MAX_STREAMS; i++)
        if (rep->streams[i].start_pts != AV_NOPTS_VALUE)
            return &rep->streams[i];
    return nullptr;
}

void splice_session_end(const splice_env *env, rep_ctx *rep)
{
    if (rep->state == SPLICING_STATE_STARTED) {
        event ev = event_make(EVENT_BREAK_ENDED);
        ev.reason = EVENT_END_SESSION_END;
        rep_stream *v = video_record(rep);
        if (v && v->sent_dts != AV_NOPTS_VALUE) {
            ev.aired = v->sent_dts - v->start_dts;
            /* Nothing follows the filler video held back: it goes out. */
            int s = (int)(v - rep->streams);
            int fi = env->out && (unsigned)s < env->out->nb_streams
                         ? filler_stream_for(env->filler, env->out->streams[s]->id) : -1;
            if (fi >= 0)
                release_filler_video(env, v, fi, s, INT64_MAX);
        }
        emit(env, rep, &ev);
    }
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
 * Where the running break ends, and why: start key frame + duration (a late
 * join: its announced end, splice point + duration), a return cue's point,
 * or the first pending event's point, whichever comes first.
 */
static int64_t break_end_point(const rep_ctx *rep, int *reason)
{
    int64_t from = rep->late > 0 ? rep->splice_point : rep->scte_35_pts_time;
    int64_t end = rep->open ? INT64_MAX : from + rep->scte_35_duration;
    int why = EVENT_END_DURATION;

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

    for (int i = 0; env->verbose && env->out && i < q->count; i++) {
        const AVPacket *p = q->items[i];
        if (p->pts != AV_NOPTS_VALUE && p->pts >= start && (unsigned)p->stream_index < env->out->nb_streams &&
            env->out->streams[p->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            log_packet(env->out, p, "ouq");
    }
}

/*
 * Start of the break on the first video key frame in the window before the
 * splice point (immediate: the first key frame). A programme video that the
 * filler cannot stand in for skips the break. Returns true when the key
 * frame decided (started or skipped).
 */
static bool start_break(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVPacket *pkt)
{
    int key = pkt->flags & AV_PKT_FLAG_KEY;

    log_packet(env->out, pkt, key ? "key" : "non");
    if (!key)
        return false;

    rep->last = splice_current_cue(rep);
    if (fi < 0) {
        event ev = event_make(EVENT_BREAK_SKIPPED);
        ev.reason = EVENT_SKIP_NO_FILLER_VIDEO;
        ev.stream = pkt->stream_index;
        ev.pts = pkt->pts;
        emit(env, rep, &ev);
        splice_next_or_idle(env, rep, pkt->pts);
        return true;
    }

    int64_t delta = rep->scte_35_pts_time == REP_NOW ? 0 : pkt->pts - rep->scte_35_pts_time;
    r->start_dts = r->sent_dts = r->queued_dts = pkt->dts;
    r->start_pts = pkt->pts;
    r->next_filler = r->queued_filler = 0;
    r->pts_shift = splice_video_pts_shift(env->filler, fi, pkt->pts - pkt->dts);
    rep->scte_35_pts_time = pkt->pts;
    rep->state = SPLICING_STATE_STARTED;

    event ev = event_make(EVENT_BREAK_STARTED);
    ev.stream = pkt->stream_index;
    ev.pts = pkt->pts;
    ev.delta = delta;
    ev.pts_shift = r->pts_shift;
    emit(env, rep, &ev);
    trace_late_audio(env, pkt->pts);
    return true;
}

/*
 * The first pending event starts on the key frame that ended the break: the
 * video plays the new event's filler from its start; each audio stream being
 * replaced switches to it at the key frame's pts, the others start afresh.
 */
static void chain_break(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVPacket *pkt)
{
    rep_cue next = splice_pending_pop(rep);

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
    ev.delta = next.point == REP_NOW ? 0 : next.point - pkt->pts;
    ev.flags = next.duration > 0 ? EVENT_CUE_DURATION_FLAG : 0;
    splice_emit_cue(env, &next, &ev);
    start_break(env, rep, r, fi, pkt);
}

/*
 * End of the break on the video: the first key frame in the window before
 * its end point. When the kept event's point is reached too, that event
 * starts on the same key frame. Returns true when the key frame decided.
 */
static bool finish_break(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, AVPacket *pkt)
{
    int key = pkt->flags & AV_PKT_FLAG_KEY;
    int reason;
    int64_t end = break_end_point(rep, &reason);

    log_packet(env->out, pkt, key ? "key" : "non");
    if (!key)
        return false;

    /* The filler shows nothing from the key frame's time on: what stays held is left out. */
    if (fi >= 0 && r->sent_dts != AV_NOPTS_VALUE) {
        release_filler_video(env, r, fi, pkt->stream_index, pkt->pts);
        if (env->verbose && r->queued_filler < r->next_filler)
            log_detail("Filler video %d: %d pictures shown from %" PRId64 " on left out", pkt->stream_index,
                       (int)(r->next_filler - r->queued_filler), pkt->pts);
    }
    rep->state = SPLICING_STATE_FINISHED;
    rep->end_pts = pkt->pts;
    splice_mark_switch(pkt, SPLICE_SWITCH_KEY);  // the programme's video returns here (unless the next break starts)

    event ev = event_make(EVENT_BREAK_ENDED);
    ev.reason = reason;
    ev.stream = pkt->stream_index;
    ev.pts = pkt->pts;
    ev.delta = end == REP_NOW ? 0 : pkt->pts - end;
    ev.end_pts = rep->end_pts;
    ev.aired = pkt->pts - r->start_pts;
    r->sent_dts = AV_NOPTS_VALUE;
    emit(env, rep, &ev);

    /* Pending events whose time is over by this key frame will not air; the first one due starts here. */
    while (rep->pending_count > 0 &&
           splice_cue_passed(&rep->pending[0], rep->pending_count > 1 ? &rep->pending[1] : nullptr, pkt->pts)) {
        rep_cue gone = splice_pending_pop(rep);
        splice_expire(env, rep, &gone, EVENT_EXPIRE_PASSED, pkt->pts);
    }
    if (rep->pending_count > 0 && pkt->pts >= rep->pending[0].point - SPLICE_KEY_LEAD)
        chain_break(env, rep, r, fi, pkt);
    return true;
}

/* A clone of the next filler packet of fs for output stream s, or null when none is left. */
static AVPacket *next_filler_packet(const filler_stream *fs, rep_stream *r, int s)
{
    if (r->next_filler < 0 || r->next_filler >= fs->count)
        return nullptr;
    AVPacket *f = av_packet_clone(fs->packets[r->next_filler]);
    if (!f)
        return nullptr;
    r->next_filler++;
    f->stream_index = s;
    f->pos = -1;
    return f;
}

/* First audio packet of a stream reaching past the splice point: cut it there, start the filler. */
static void start_audio(const splice_env *env, rep_ctx *rep, rep_stream *r, const filler_stream *fs,
                        AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;
    int64_t dd = rep->scte_35_pts_time - pkt->pts;

    r->start_dts = pkt->dts;

    event ev = event_make(dd < 0 ? EVENT_STREAM_MISSED : EVENT_STREAM_SWITCHED);
    ev.reason = EVENT_SWITCH_TO_FILLER;
    ev.stream = s;
    ev.delta = dd;
    ev.pts = rep->scte_35_pts_time;
    emit(env, rep, &ev);

    if (dd < 0) {
        /* The packet holding the splice point went by unseen: this stream stays on the programme. */
        av_packet_free(ppkt);
        return;
    }

    AVPacket *f = next_filler_packet(fs, r, s);
    if (!f)
        return;  // no filler packet to start with: the programme's audio goes on
    r->start_dts = r->sent_dts = rep->scte_35_pts_time;
    f->dts = f->pts = r->sent_dts;
    r->sent_dts += f->duration;

    if (dd > 0) {
        pkt->duration = dd;
        if (env->verbose)
            log_packet(env->out, pkt, "Atr");
        queue_packet(env, pkt);
        *ppkt = nullptr;
    } else {
        av_packet_free(ppkt);
    }
    if (env->verbose)
        log_packet(env->out, f, "reA");
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
    ev.delta = delta;
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
static void replace_audio(const splice_env *env, rep_ctx *rep, rep_stream *r, const filler_stream *fs,
                          AVPacket **ppkt)
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
    if (env->verbose)
        log_detail("Replacing audio %d, rem=%" PRId64 ", pkt_end_pts=%" PRId64, s, rem, end);

    while (r->sent_dts < end && r->next_filler < fs->count) {
        if (r->switch_at != AV_NOPTS_VALUE && r->sent_dts >= r->switch_at) {
            r->switch_at = AV_NOPTS_VALUE;
            r->next_filler = 0;
            event ev = event_make(EVENT_STREAM_SWITCHED);
            ev.reason = EVENT_SWITCH_TO_FILLER;
            ev.stream = s;
            ev.pts = r->sent_dts;
            ev.delta = 0;
            emit(env, rep, &ev);
        }
        AVPacket *f = next_filler_packet(fs, r, s);
        if (!f) {
            /* Out of memory: this stream goes back to the programme. */
            r->sent_dts = AV_NOPTS_VALUE;
            break;
        }
        f->dts = f->pts = r->sent_dts;
        if (env->verbose)
            log_packet(env->out, f, "reA");
        r->sent_dts += f->duration;

        int64_t cut = AV_NOPTS_VALUE;  // where this filler packet must end
        if (r->switch_at != AV_NOPTS_VALUE && r->sent_dts > r->switch_at)
            cut = r->switch_at;
        else if (rep->end_pts != AV_NOPTS_VALUE && r->sent_dts > end && end + pkt->duration > rep->end_pts)
            cut = end;  // the next programme packet, ending after the return, goes out itself
        if (cut != AV_NOPTS_VALUE) {
            f->duration -= r->sent_dts - cut;
            r->sent_dts = cut;
            log_packet(env->out, f, "trA");
        }
        queue_packet(env, f);
        if (returning && r->sent_dts >= end) {
            audio_back(env, rep, r, s, r->sent_dts, 0);
            break;
        }
    }

    if (r->sent_dts != AV_NOPTS_VALUE && r->next_filler >= fs->count) {
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
 * Video during the break: the filler packets that begin before this
 * programme packet ends, re-timed from the start key frame. The programme
 * packet is dropped, unless the filler ran out: then the video returns
 * with it. A filler picture is held until it is sure to be shown before
 * the key frame that ends the break: before the earliest such a key frame
 * can come, or by this packet's dts (key frames still to come are shown
 * later).
 */
static void replace_video(const splice_env *env, rep_ctx *rep, rep_stream *r, const filler_stream *fs,
                          int fi, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;

    while (pkt->dts + pkt->duration > r->sent_dts) {
        if (r->next_filler < 0 || r->next_filler >= fs->count) {
            release_filler_video(env, r, fi, s, INT64_MAX);
            r->sent_dts = AV_NOPTS_VALUE;
            rep->state = SPLICING_STATE_FINISHED;
            rep->end_pts = pkt->dts;
            event ev = event_make(EVENT_BREAK_ENDED);
            ev.reason = EVENT_END_FILLER_END;
            ev.aired = pkt->dts - r->start_dts;
            ev.stream = s;
            ev.pts = pkt->pts;
            ev.end_pts = rep->end_pts;
            emit(env, rep, &ev);
            splice_mark_switch(pkt, SPLICE_SWITCH_MID_GOP);
            queue_packet(env, pkt);
            *ppkt = nullptr;
            return;
        }
        const AVPacket *p = fs->packets[r->next_filler++];
        int64_t dts, pts;
        filler_video_times(env, r, fi, p, r->sent_dts, &dts, &pts);
        if (env->verbose) {
            AVPacket shown = *p;  // traced on its output stream, not owned
            shown.stream_index = s;
            log_packet(env->out, &shown, "snd");
            int64_t pkt_end = pkt->dts + pkt->duration;
            log_detail("pkt.dts + pkt.duration=%" PRId64 " (%f), rep_ctx.sent_dts=%" PRId64 " (%f)",
                       pkt_end, pkt_end / 90000.0, r->sent_dts, r->sent_dts / 90000.0);
        }
        r->sent_dts = dts + p->duration;
    }
    int64_t earliest_key = break_end_point(rep, nullptr) - SPLICE_KEY_LEAD;
    release_filler_video(env, r, fi, s, earliest_key > pkt->dts ? earliest_key : pkt->dts + 1);
    av_packet_free(ppkt);
}

/*
 * The audio rule for one packet of a stream whose filler stream is fs (null:
 * none). A stream not yet met starts at the packet that reaches past the
 * splice point; one being replaced goes on whatever the packet's time (held
 * packets of a break that just handed over to the next one lie before it).
 */
static void splice_audio(const splice_env *env, rep_ctx *rep, const filler_stream *fs, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    rep_stream *r = &rep->streams[pkt->stream_index];
    int64_t t = rep->scte_35_pts_time;
    bool replaced = r->start_dts != AV_NOPTS_VALUE && r->sent_dts != AV_NOPTS_VALUE;

    if (!replaced && !(pkt->pts > t || (pkt->pts <= t && t < packet_end(pkt))))
        return;
    if (env->verbose)
        log_packet(env->out, pkt, "Ain");
    if (!fs)
        return;
    if (r->start_dts == AV_NOPTS_VALUE)
        start_audio(env, rep, r, fs, ppkt);
    else if (replaced)
        replace_audio(env, rep, r, fs, ppkt);
}

/* The filler stream standing in for output stream s, or null. */
static const filler_stream *filler_for_output(const splice_env *env, int s)
{
    if (!env->out || s < 0 || (unsigned)s >= env->out->nb_streams)
        return nullptr;
    int fi = filler_stream_for(env->filler, env->out->streams[s]->id);
    return fi >= 0 ? &env->filler->streams[fi] : nullptr;
}

/*
 * The one way of audio to the queue, held or not: the audio rule of the
 * break under way (none while idle or armed), then what it leaves is
 * queued. fs: the stream's filler stream (null: none). Takes pkt.
 */
static void pass_audio(const splice_env *env, rep_ctx *rep, const filler_stream *fs, AVPacket *pkt)
{
    bool in_break = rep->state == SPLICING_STATE_STARTED || rep->state == SPLICING_STATE_FINISHED;

    if (in_break && pkt->stream_index >= 0 && pkt->stream_index < REP_MAX_STREAMS)
        splice_audio(env, rep, fs, &pkt);
    if (pkt)
        queue_packet(env, pkt);
}

void splice_replay_held(const splice_env *env, rep_ctx *rep, int64_t limit, bool margin)
{
    AVPacket *pkt = nullptr;

    while (env->held && env->held->count > 0 &&
           packet_end(env->held->items[0]) + (margin ? env->held->items[0]->duration : 0) <= limit) {
        packets_queue_pop(env->held, &pkt);
        pass_audio(env, rep, filler_for_output(env, pkt->stream_index), pkt);
    }
}

void splice_release_held(const splice_env *env)
{
    AVPacket *pkt = nullptr;

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
static bool video_decides(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, AVPacket *pkt)
{
    bool decided = false;

    while (rep->state == SPLICING_STATE_ARMED && pkt->pts >= rep->scte_35_pts_time - SPLICE_KEY_LEAD) {
        if (!expire_armed(env, rep, pkt)) {
            decided = start_break(env, rep, r, fi, pkt) || decided;
            break;
        }
        decided = true;
    }
    if (rep->state == SPLICING_STATE_STARTED && pkt->pts >= break_end_point(rep, nullptr) - SPLICE_KEY_LEAD)
        decided = finish_break(env, rep, r, fi, pkt) || decided;
    return decided;
}

/*
 * Held audio that the packet at hand lets go: all of it once a key frame
 * decided or the break is over, else what ends before any key frame still
 * to come (video packets only).
 */
static void release_held(const splice_env *env, rep_ctx *rep, const AVPacket *pkt, bool decided, bool video)
{
    bool over = rep->state == SPLICING_STATE_FINISHED || rep->state == SPLICING_STATE_IDLE;

    if (decided || (over && env->held && env->held->count > 0)) {
        splice_replay_held(env, rep, rep->state == SPLICING_STATE_ARMED ? rep->scte_35_pts_time - SPLICE_KEY_LEAD
                                                                 : INT64_MAX, false);
    } else if (video) {
        /*
         * Key frames still to come have pts >= this dts: audio ending by then
         * lies before the break (armed) or in it (running). In a running
         * break a packet goes only when the one after it ends by then too,
         * so that the packet with which the audio returns is never reached
         * by filler laid before the end was known.
         */
        splice_replay_held(env, rep, pkt->dts, rep->state == SPLICING_STATE_STARTED);
    }
}

/* The rules for one packet of a stream that has a record (see splice_packet). Takes pkt. */
static void apply_rules(const splice_env *env, rep_ctx *rep, const AVStream *ist, AVPacket *pkt)
{
    enum AVMediaType type = ist->codecpar->codec_type;
    bool video = type == AVMEDIA_TYPE_VIDEO;
    bool audio = type == AVMEDIA_TYPE_AUDIO;
    rep_stream *r = &rep->streams[pkt->stream_index];
    int fi = filler_stream_for(env->filler, ist->id);
    const filler_stream *fs = fi >= 0 ? &env->filler->streams[fi] : nullptr;

    if (audio && fs && audio_waits(env, rep, r, &pkt))
        return;
    bool decided = video && video_decides(env, rep, r, fi, pkt);
    /* Every stream back on the programme: idle, or the kept event armed. */
    if (rep->state == SPLICING_STATE_FINISHED && !any_stream_replaced(env, rep)) {
        event ev = event_make(EVENT_IDLE);
        emit(env, rep, &ev);
        splice_next_or_idle(env, rep, pkt->pts);
    }
    release_held(env, rep, pkt, decided, video);

    if (audio) {
        pass_audio(env, rep, fs, pkt);
        return;
    }
    if (video && rep->state == SPLICING_STATE_STARTED) {
        if (env->verbose)
            log_packet(env->out, pkt, "Vin");
        /* Only the stream whose key frame started the break is replaced. */
        if (fs && r->start_dts != AV_NOPTS_VALUE && r->sent_dts != AV_NOPTS_VALUE)
            replace_video(env, rep, r, fs, fi, &pkt);
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
