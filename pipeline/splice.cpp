/*
 * Splice rules: cue intake, break start and end on video key frames, audio
 * laid end to end from the splice point, video re-timed from the filler.
 */
#include "pipeline/splice.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/log.h"
#include "pipeline/filler.h"
#include "pipeline/packets_queue.h"
#include "pipeline/trace.h"
#include "scte35/scte35.h"

/* Name the logger voice puts in front of every line: the loop that runs the rules. */
static const char SPLICE_LOG_NAME[] = "slicer_packets_loop";

/* Public SCTE-35 decoders into which an operator can paste a logged cue. */
static const char SCTE35_DECODER_A[] = "https://tools.middleman.tv/scte35-parser";
static const char SCTE35_DECODER_B[] = "https://comcast.github.io/scte35-js/";

/* One message: a log line "slicer_packets_loop: text" or a stdout line "text". */
__attribute__((format(printf, 3, 4)))
static void say(const splice_env *env, int level, const char *fmt, ...)
{
    char text[1024];
    va_list ap;

    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    if (env->voice == SPLICE_VOICE_LOG)
        log_printf(level, "%s: %s", SPLICE_LOG_NAME, text);
    else
        puts(text);
}

/* The console voice separates the steps of a break with empty lines. */
static void console_gap(const splice_env *env)
{
    if (env->voice == SPLICE_VOICE_CONSOLE)
        putchar('\n');
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

    if (!si->splice_time.flag)
        return 0;

    rep_ctx_reset(rep);
    int64_t pts_time = (int64_t)si->splice_time.value;
    int64_t splice_point = splice_point_near(pts_time, (int64_t)cue->pts_adjustment, cue_pts);
    int64_t remain = cue_pts == AV_NOPTS_VALUE ? 0 : splice_point - cue_pts;
    say(env, LOG_INFO, "splice_insert.splice_time.pts_time=%" PRId64, pts_time);
    if (splice_point != pts_time)
        say(env, LOG_INFO, "effective splice point=%" PRId64 " (%f), pts_adjustment=%" PRIu64,
            splice_point, splice_point / 90000.0, cue->pts_adjustment);
    say(env, LOG_INFO, "remain: %" PRId64 " ticks (%f sec)", remain, remain / 90000.0);

    int64_t duration = 0;
    if (si->duration_flag) {
        duration = (int64_t)si->break_duration.value;
        say(env, LOG_INFO, "splice_insert.break_duration.duration=%" PRId64 " (%f), at=%" PRId64,
            duration, duration / 90000.0, pts_time + duration);
    }
    rep->state = SPLICING_STATE_ARMED;
    rep->scte_35_pts_time = splice_point;
    rep->scte_35_duration = duration;
    /* Audio held for an earlier cue that ends before this break can start goes on now. */
    release_held_until(env, splice_point - SPLICE_KEY_LEAD);
    return 1;
}

/* The cue's bytes in upper-case hexadecimal: one log line plus a hint, or one stdout line. */
static void dump_cue(const splice_env *env, const AVPacket *pkt)
{
    if (env->voice == SPLICE_VOICE_CONSOLE) {
        for (int i = 0; i < pkt->size; i++)
            printf("%.2X", pkt->data[i]);
        putchar('\n');
        return;
    }

    char local[4096];
    char *hex = env->hex_text ? env->hex_text : local;
    size_t size = env->hex_text ? env->hex_size : sizeof(local);
    size_t pos = 0;

    if (size == 0)
        return;
    hex[0] = '\0';
    for (int i = 0; i < pkt->size && pos + 1 < size; i++, pos += 2)
        snprintf(hex + pos, size - pos, "%.2X", pkt->data[i]);
    /* Straight to the logger: say() would cut a long cue's dump to its own line size. */
    log_printf(LOG_INFO, "%s: %s", SPLICE_LOG_NAME, hex);
    say(env, LOG_INFO, "check value against %s or %s", SCTE35_DECODER_A, SCTE35_DECODER_B);
}

int splice_cue(const splice_env *env, rep_ctx *rep, const AVStream *ist, const AVPacket *pkt)
{
    scte35_section cue;

    memset(&cue, 0, sizeof(cue));
    log_packet_tb(ist->time_base, pkt, "SCTE-35");
    dump_cue(env, pkt);

    memset(&cue, 0, sizeof(cue));
    int ret = scte35_parse_section(pkt->data, pkt->size, &cue);
    if (ret < 0) {
        if (env->voice == SPLICE_VOICE_LOG)
            say(env, LOG_ERROR, "Failed to parse SCTE-35 packet: %d", ret);
        else
            say(env, LOG_ERROR, "Failed to parse");
        return ret;
    }
    if (env->voice == SPLICE_VOICE_LOG)
        say(env, LOG_INFO, "splice_insert.splice_event_id=%u", cue.splice_insert.splice_event_id);
    splice_arm(env, rep, &cue, pkt->pts);
    return 0;
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
    say(env, LOG_INFO, "Splicing started: delta=%" PRId64 ", time=%f", delta, delta / 90000.0);
    if (r->pts_shift > 0)
        say(env, LOG_INFO, "filler video pts shifted by %" PRId64 " ticks (%f sec) to keep pts >= dts",
            r->pts_shift, r->pts_shift / 90000.0);
    rep->scte_35_pts_time = pkt->pts;
    rep->state = SPLICING_STATE_STARTED;
    if (env->on_break_start)
        env->on_break_start(env, rep);
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
    say(env, LOG_INFO, "Splicing finished: delta=%" PRId64 ", time=%f, rep_ctx.end_pts=%" PRId64,
        delta, delta / 90000.0, rep->end_pts);
    r->sent_dts = AV_NOPTS_VALUE;
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
    say(env, LOG_INFO, "found audio stream %d, dts delta=%" PRId64 ", rep_ctx.scte_35_pts_time=%" PRId64,
        s, dd, rep->scte_35_pts_time);

    if (dd < 0) {
        /* The packet holding the splice point went by unseen: this stream stays on the programme. */
        if (env->voice == SPLICE_VOICE_LOG)
            say(env, LOG_ERROR, "Strange conditions: break outside packet, lost first packet?");
        else
            say(env, LOG_ERROR, "Strange conditions: break outside packet.");
        av_packet_free(ppkt);
        console_gap(env);
        return;
    }

    AVPacket *f = next_filler_packet(fs, r, s);
    if (!f) {
        /* No filler packet to start with: the programme's audio goes on. */
        console_gap(env);
        return;
    }
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
    console_gap(env);
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
        say(env, LOG_DEBUG, "Replacing audio %d, rem=%" PRId64 ", pkt_end_pts=%" PRId64 "%s",
            s, rem, end, env->voice == SPLICE_VOICE_LOG ? "\n" : "");

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
            say(env, LOG_INFO, "end of break detected for stream %d, sent_dts=%" PRId64 ", end_pts=%" PRId64,
                s, r->sent_dts, rep->end_pts);
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
        if (env->voice == SPLICE_VOICE_LOG)
            say(env, LOG_INFO, "end of AUDIO stream %d reached", s);
        else
            say(env, LOG_INFO, "end of source stream %d reached", s);
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
            if (env->voice == SPLICE_VOICE_LOG)
                say(env, LOG_INFO, "end of VIDEO stream %d reached", s);
            queue_packet(env, pkt);
            *ppkt = nullptr;
            return;
        }
        if (env->verbose) {
            log_packet(env->out, f, "snd");
            int64_t pkt_end = pkt->dts + pkt->duration;
            if (env->voice == SPLICE_VOICE_LOG)
                log_printf(LOG_DEBUG, "%s:%d: pkt.dts + pkt.duration=%" PRId64 " (%f), rep_ctx.sent_dts=%" PRId64 " (%f)",
                           SPLICE_LOG_NAME, 473, pkt_end, pkt_end / 90000.0, r->sent_dts, r->sent_dts / 90000.0);
            else
                printf("pkt.dts + pkt.duration=%" PRId64 " (%f), rep_ctx.sent_dts=%" PRId64 " (%f)\n",
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
        console_gap(env);
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
        say(env, LOG_INFO, "SPLICING_STATE_IDLE");
        rep->state = SPLICING_STATE_IDLE;
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
