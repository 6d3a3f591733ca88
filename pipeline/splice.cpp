/*
 * Splice rules: cue intake, break start and end on video key frames, audio
 * laid end to end from the splice point, video re-timed from the filler.
 */
#include "pipeline/splice.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "pipeline/filler.h"
#include "pipeline/packets_queue.h"
#include "pipeline/trace.h"
#include "scte35/scte35.h"

event event_make(event_type t)
{
    event ev;

    memset(&ev, 0, sizeof(ev));
    ev.type = t;
    ev.stream = -1;
    ev.splice_time = ev.duration = AV_NOPTS_VALUE;
    ev.pts = ev.delta = ev.end_pts = ev.pts_time = AV_NOPTS_VALUE;
    return ev;
}

void event_emit(const event_sink *sink, const event *ev)
{
    if (sink && sink->fn)
        sink->fn(sink->opaque, ev);
}

/* Reports ev for the break rep describes. */
static void emit(const splice_env *env, const rep_ctx *rep, event *ev)
{
    ev->splice_event_id = rep->splice_event_id;
    ev->splice_time = rep->splice_point;
    ev->duration = rep->scte_35_duration == AV_NOPTS_VALUE ? 0 : rep->scte_35_duration;
    event_emit(env->events, ev);
}

/* Queues pkt; a packet the queue refuses is freed, never leaked. */
static void queue_packet(const splice_env *env, AVPacket *pkt)
{
    if (packets_queue_push(env->queue, pkt) < 0)
        av_packet_free(&pkt);
}

static int64_t packet_end(const AVPacket *pkt)
{
    return pkt->pts + pkt->duration;
}

/* Moves the held audio that ends by limit, oldest first, to the queue. */
static void release_held_until(const splice_env *env, int64_t limit)
{
    AVPacket *pkt = nullptr;

    while (env->held && env->held->count > 0 && packet_end(env->held->items[0]) <= limit) {
        packets_queue_pop(env->held, &pkt);
        pkt->pos = -1;
        queue_packet(env, pkt);
    }
}

void splice_release_held(const splice_env *env)
{
    release_held_until(env, INT64_MAX);
}

/*
 * While a break is armed, an audio packet that ends after the earliest
 * possible start waits until the video shows where the break starts.
 * Returns true when the packet was taken.
 */
static bool hold_audio(const splice_env *env, const rep_ctx *rep, AVPacket **ppkt)
{
    if (!env->held || packet_end(*ppkt) <= rep->scte_35_pts_time - SPLICE_KEY_LEAD)
        return false;
    if (packets_queue_push(env->held, *ppkt) < 0) {
        /* Full: the break is not coming soon; let everything go on in order. */
        splice_release_held(env);
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

int64_t splice_point_near(int64_t pts_time, int64_t pts_adjustment, int64_t near)
{
    const int64_t wrap = INT64_C(1) << 33;
    int64_t point = ((pts_time + pts_adjustment) % wrap + wrap) % wrap;

    if (near == AV_NOPTS_VALUE)
        return point;
    /* The candidate point + k * 2^33 closest to near. */
    int64_t k = (near - point) / wrap;
    int64_t best = point + k * wrap;
    for (int64_t c = best - wrap; c <= best + wrap; c += wrap)
        if (llabs(c - near) < llabs(best - near))
            best = c;
    return best;
}

int splice_arm(const splice_env *env, rep_ctx *rep, const scte35_section *cue, int64_t cue_pts)
{
    const scte35_splice_insert *si = &cue->splice_insert;

    if (!si->splice_time.flag) {
        event ev = event_make(EVENT_CUE_IGNORED);
        ev.reason = EVENT_IGNORE_NO_SPLICE_TIME;
        ev.pts = cue_pts;
        emit(env, rep, &ev);
        return 0;
    }

    uint32_t id = si->splice_event_id;
    rep_ctx_reset(rep);
    int64_t pts_time = (int64_t)si->splice_time.value;
    int64_t splice_point = splice_point_near(pts_time, (int64_t)cue->pts_adjustment, cue_pts);
    int64_t remain = cue_pts == AV_NOPTS_VALUE ? 0 : splice_point - cue_pts;

    rep->state = SPLICING_STATE_ARMED;
    rep->splice_event_id = id;
    rep->splice_point = rep->scte_35_pts_time = splice_point;
    rep->scte_35_duration = si->duration_flag ? (int64_t)si->break_duration.value : 0;

    event ev = event_make(EVENT_ARMED);
    ev.pts_time = pts_time;
    ev.pts_adjustment = cue->pts_adjustment;
    ev.delta = remain;
    ev.pts = cue_pts;
    ev.flags = EVENT_CUE_TIME_FLAG | (si->duration_flag ? EVENT_CUE_DURATION_FLAG : 0);
    emit(env, rep, &ev);
    /* Audio held for an earlier cue that ends before this break can start goes on now. */
    release_held_until(env, splice_point - SPLICE_KEY_LEAD);
    return 1;
}

int splice_cue(const splice_env *env, rep_ctx *rep, const AVStream *ist, const AVPacket *pkt,
               int64_t clock)
{
    scte35_section cue;
    int64_t cue_pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : clock;

    log_packet_tb(ist->time_base, pkt, "SCTE-35");
    memset(&cue, 0, sizeof(cue));
    int ret = scte35_parse_section(pkt->data, pkt->size, &cue);

    event ev = event_make(ret < 0 ? EVENT_CUE_FAILED : EVENT_CUE_DECODED);
    ev.data = pkt->data;
    ev.size = pkt->size;
    ev.pts = cue_pts;
    ev.code = ret;
    if (ret >= 0) {
        const scte35_splice_insert *si = &cue.splice_insert;
        ev.pts_time = si->splice_time.flag ? (int64_t)si->splice_time.value : AV_NOPTS_VALUE;
        ev.pts_adjustment = cue.pts_adjustment;
        ev.flags = (si->splice_time.flag ? EVENT_CUE_TIME_FLAG : 0) |
                   (si->duration_flag ? EVENT_CUE_DURATION_FLAG : 0);
    }
    /* Reported with the cue's own id and times, not those of the break under way. */
    ev.splice_event_id = ret < 0 ? 0 : cue.splice_insert.splice_event_id;
    ev.splice_time = ret < 0 || !cue.splice_insert.splice_time.flag ? AV_NOPTS_VALUE
                     : splice_point_near(ev.pts_time, (int64_t)cue.pts_adjustment, cue_pts);
    ev.duration = ret >= 0 && cue.splice_insert.duration_flag ? (int64_t)cue.splice_insert.break_duration.value : 0;
    event_emit(env->events, &ev);
    if (ret < 0)
        return ret;
    splice_arm(env, rep, &cue, cue_pts);
    return 0;
}

void splice_session_end(const splice_env *env, rep_ctx *rep)
{
    if (rep->state == SPLICING_STATE_STARTED) {
        event ev = event_make(EVENT_BREAK_ENDED);
        ev.reason = EVENT_END_SESSION_END;
        emit(env, rep, &ev);
    }
    rep_ctx_reset(rep);
}

/* Start of the break on the first video key frame in the window before the splice point. */
static void start_break(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVPacket *pkt)
{
    int key = pkt->flags & AV_PKT_FLAG_KEY;

    log_packet(env->out, pkt, key ? "key" : "non");
    if (!key)
        return;

    int64_t delta = pkt->pts - rep->scte_35_pts_time;
    r->start_dts = r->sent_dts = pkt->dts;
    r->start_pts = pkt->pts;
    r->next_filler = 0;
    r->pts_shift = splice_video_pts_shift(env->filler, fi, pkt->pts - pkt->dts);
    rep->scte_35_pts_time = pkt->pts;
    rep->state = SPLICING_STATE_STARTED;

    event ev = event_make(EVENT_BREAK_STARTED);
    ev.stream = pkt->stream_index;
    ev.pts = pkt->pts;
    ev.delta = delta;
    ev.pts_shift = r->pts_shift;
    emit(env, rep, &ev);
}

/* End of the break on the video: the first key frame in the window before splice point + duration. */
static void finish_break(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVPacket *pkt)
{
    int key = pkt->flags & AV_PKT_FLAG_KEY;

    log_packet(env->out, pkt, key ? "key" : "non");
    if (!key)
        return;

    int64_t delta = pkt->pts - (rep->scte_35_pts_time + rep->scte_35_duration);
    rep->state = SPLICING_STATE_FINISHED;
    rep->end_pts = pkt->pts;
    r->sent_dts = AV_NOPTS_VALUE;

    event ev = event_make(EVENT_BREAK_ENDED);
    ev.reason = EVENT_END_DURATION;
    ev.stream = pkt->stream_index;
    ev.pts = pkt->pts;
    ev.delta = delta;
    ev.end_pts = rep->end_pts;
    emit(env, rep, &ev);
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

/* Later audio packets while the stream is replaced: filler laid end to end up to the packet's end. */
static void replace_audio(const splice_env *env, rep_ctx *rep, rep_stream *r, const filler_stream *fs,
                          AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;
    int64_t end = pkt->dts + pkt->duration;
    int64_t rem = end - r->sent_dts;

    if (env->verbose)
        log_detail("Replacing audio %d, rem=%" PRId64 ", pkt_end_pts=%" PRId64, s, rem, end);

    while (r->sent_dts < end && r->next_filler < fs->count) {
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

        if (rep->end_pts != AV_NOPTS_VALUE && r->sent_dts > rep->end_pts) {
            /* The video is back: this filler packet ends where the programme's packet ends. */
            event ev = event_make(EVENT_STREAM_SWITCHED);
            ev.reason = EVENT_SWITCH_BACK_AT_END;
            ev.stream = s;
            ev.pts = r->sent_dts;
            ev.end_pts = rep->end_pts;
            ev.delta = end - r->sent_dts;
            emit(env, rep, &ev);
            f->duration += end - r->sent_dts;
            log_packet(env->out, f, "trA");
            r->sent_dts = AV_NOPTS_VALUE;
            queue_packet(env, f);
            break;
        }
        queue_packet(env, f);
    }

    if (r->next_filler >= fs->count) {
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
 * with it.
 */
static void replace_video(const splice_env *env, rep_ctx *rep, rep_stream *r, const filler_stream *fs,
                          int fi, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;
    int64_t first_dts = fs->packets[0]->dts;
    int64_t start_time = env->filler->format->streams[fi]->start_time;

    if (start_time == AV_NOPTS_VALUE)
        start_time = fs->packets[0]->pts;

    while (pkt->dts + pkt->duration > r->sent_dts) {
        AVPacket *f = next_filler_packet(fs, r, s);
        if (!f) {
            r->sent_dts = AV_NOPTS_VALUE;
            rep->state = SPLICING_STATE_FINISHED;
            rep->end_pts = pkt->dts;
            event ev = event_make(EVENT_BREAK_ENDED);
            ev.reason = EVENT_END_FILLER_END;
            ev.stream = s;
            ev.pts = pkt->pts;
            ev.end_pts = rep->end_pts;
            emit(env, rep, &ev);
            queue_packet(env, pkt);
            *ppkt = nullptr;
            return;
        }
        if (env->verbose) {
            log_packet(env->out, f, "snd");
            int64_t pkt_end = pkt->dts + pkt->duration;
            log_detail("pkt.dts + pkt.duration=%" PRId64 " (%f), rep_ctx.sent_dts=%" PRId64 " (%f)",
                       pkt_end, pkt_end / 90000.0, r->sent_dts, r->sent_dts / 90000.0);
        }

        /* A filler packet without timestamps continues where the last one ended. */
        f->dts = f->dts == AV_NOPTS_VALUE || first_dts == AV_NOPTS_VALUE
                     ? r->sent_dts : f->dts - first_dts + r->start_dts;
        f->pts = f->pts == AV_NOPTS_VALUE || start_time == AV_NOPTS_VALUE
                     ? f->dts + r->pts_shift : f->pts - start_time + r->start_pts + r->pts_shift;
        r->sent_dts = f->dts + f->duration;
        if (env->verbose)
            log_packet(env->out, f, "reV");
        queue_packet(env, f);
    }
    av_packet_free(ppkt);
}

/* The audio rule for one packet of a stream whose filler stream is fs (null: none). */
static void splice_audio(const splice_env *env, rep_ctx *rep, const filler_stream *fs, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    rep_stream *r = &rep->streams[pkt->stream_index];
    int64_t t = rep->scte_35_pts_time;

    if (!(pkt->pts > t || (pkt->pts <= t && t < packet_end(pkt))))
        return;
    if (env->verbose)
        log_packet(env->out, pkt, "Ain");
    if (!fs)
        return;
    if (r->start_dts == AV_NOPTS_VALUE)
        start_audio(env, rep, r, fs, ppkt);
    else if (r->sent_dts != AV_NOPTS_VALUE)
        replace_audio(env, rep, r, fs, ppkt);
}

/*
 * Once the break has started (and maybe already ended, for a break without
 * duration): the held audio meets it, oldest first.
 */
static void replay_held(const splice_env *env, rep_ctx *rep)
{
    AVPacket *pkt = nullptr;
    bool in_break = rep->state == SPLICING_STATE_STARTED || rep->state == SPLICING_STATE_FINISHED;

    while (env->held && packets_queue_pop(env->held, &pkt) >= 0) {
        int fi = filler_stream_for(env->filler, env->out->streams[pkt->stream_index]->id);
        if (in_break)
            splice_audio(env, rep, fi >= 0 ? &env->filler->streams[fi] : nullptr, &pkt);
        if (pkt) {
            pkt->pos = -1;
            queue_packet(env, pkt);
        }
    }
}

void splice_packet(const splice_env *env, rep_ctx *rep, const AVStream *ist, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;
    enum AVMediaType type = ist->codecpar->codec_type;

    /* Only streams with a record can be replaced; nothing past the last record is touched. */
    if (s < 0 || s >= REP_MAX_STREAMS)
        return;

    rep_stream *r = &rep->streams[s];
    int fi = filler_stream_for(env->filler, ist->id);
    const filler_stream *fs = fi >= 0 ? &env->filler->streams[fi] : nullptr;
    bool video = type == AVMEDIA_TYPE_VIDEO;

    if (rep->state == SPLICING_STATE_ARMED) {
        /* A key frame still to come has pts >= this dts: audio ending by then lies before the break. */
        if (video)
            release_held_until(env, pkt->dts);
        else if (type == AVMEDIA_TYPE_AUDIO && fs && hold_audio(env, rep, ppkt))
            return;
    }

    if (rep->state == SPLICING_STATE_ARMED && video &&
        pkt->pts >= rep->scte_35_pts_time - SPLICE_KEY_LEAD)
        start_break(env, rep, r, fi, pkt);

    if (rep->state == SPLICING_STATE_STARTED && video &&
        pkt->pts >= rep->scte_35_pts_time + rep->scte_35_duration - SPLICE_KEY_LEAD)
        finish_break(env, rep, r, pkt);

    if (rep->state == SPLICING_STATE_FINISHED && !any_stream_replaced(env, rep)) {
        rep->state = SPLICING_STATE_IDLE;
        event ev = event_make(EVENT_IDLE);
        emit(env, rep, &ev);
    }

    if (rep->state != SPLICING_STATE_ARMED && env->held && env->held->count > 0)
        replay_held(env, rep);

    if (type == AVMEDIA_TYPE_AUDIO &&
        (rep->state == SPLICING_STATE_STARTED || rep->state == SPLICING_STATE_FINISHED)) {
        splice_audio(env, rep, fs, ppkt);
        return;
    }

    if (rep->state == SPLICING_STATE_STARTED && video) {
        if (env->verbose)
            log_packet(env->out, pkt, "Vin");
        /* Only the stream whose key frame started the break is replaced. */
        if (!fs || r->start_dts == AV_NOPTS_VALUE || r->sent_dts == AV_NOPTS_VALUE)
            return;
        replace_video(env, rep, r, fs, fi, ppkt);
    }
}
