/*
 * Audio in a break: each programme audio stream switches to the content at
 * its first packet that reaches past the start (cut there), is replaced by
 * the content's packets laid end to end while the break runs, switches to
 * the next event's content at a kept event's switch point, and returns to
 * the programme with its first packet that ends after the video's return.
 * A stream the content lacks is silent for the break. The held queue that
 * lets audio wait for the video's decision is the key-frame rules'
 * (splice.cpp); splice_pass_audio is where held and passing audio meet
 * the rule of the break under way.
 */
#include "splice/splice_rules.h"

#include <cinttypes>
#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

#include "splice/filler.h"
#include "common/trace.h"

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
    splice_emit(env, rep, &ev);

    AVPacket *f = nullptr;
    r->item = 0;
    r->next_filler = 0;
    r->sent_dts = rep->scte_35_pts_time;
    int got;
    while ((got = splice_next_audio(env, &rep->content, r, s, id, splice_packet_end(pkt), &f)) == SPLICE_AUDIO_PACKET &&
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
        splice_queue(env, pkt);
        *ppkt = nullptr;
    } else {
        av_packet_free(ppkt);
    }
    if (f && env->desc->verbose)
        log_packet(env->desc->trace, env->out, f, "reA");
    if (f)
        splice_queue(env, f);
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
    splice_emit(env, rep, &ev);
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
    bool returning = rep->end_pts != AV_NOPTS_VALUE && splice_packet_end(pkt) > rep->end_pts;

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
            splice_emit(env, rep, &ev);
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
        splice_queue(env, f);
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
        splice_emit(env, rep, &ev);
    }
    av_packet_free(ppkt);
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

    if (!replaced && !(pkt->pts > t || (pkt->pts <= t && t < splice_packet_end(pkt))))
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
void splice_pass_audio(const splice_env *env, rep_ctx *rep, AVPacket *pkt)
{
    bool in_break = rep->state == SPLICING_STATE_STARTED || rep->state == SPLICING_STATE_FINISHED;

    if (in_break && pkt->stream_index >= 0 && pkt->stream_index < REP_MAX_STREAMS)
        splice_audio(env, rep, &pkt);
    if (pkt)
        splice_queue(env, pkt);
}
