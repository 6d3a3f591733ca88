/*
 * The filler's video in a break: its packets re-timed from the start's
 * picture onto the programme's clock (the pts shift a filler with B-frames
 * needs), taken as the programme's packets come and held until each is sure
 * to be shown before the picture that ends the break (the earliest key frame
 * to come, or the start of a frame-accurate return), then queued; at the
 * end what is shown from the return on is left out. splice_break_clock
 * moves the break on the air clock when the programme's packets stop.
 */
#include "splice/splice_rules.h"

#include <cinttypes>
#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

#include "splice/filler.h"
#include "common/trace.h"

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
void splice_filler_video_times(const rep_stream *r, const filler_ctx *media, int fi, int64_t offset,
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
const filler_stream *splice_video_item(const splice_env *env, const rep_ctx *rep, int s, int k,
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
void splice_release_filler(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t limit, bool whole)
{
    while (r->queued_item < r->item ||
           (r->queued_item == r->item && (r->queued_filler < r->next_filler || (whole && r->next_filler > 0)))) {
        const filler_ctx *media;
        int fi;
        int64_t offset, dts, pts;
        const filler_stream *fs = splice_video_item(env, rep, s, r->queued_item, &media, &fi, &offset);
        if (!fs || r->queued_filler >= fs->count) {
            if (r->queued_item >= r->item)
                break;
            r->queued_item++;
            r->queued_filler = 0;
            continue;
        }
        const AVPacket *p = fs->packets[r->queued_filler];
        splice_filler_video_times(r, media, fi, offset, p, r->queued_dts, &dts, &pts);
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
        splice_queue(env, f);
    }
    if (r->queued_item == r->item && r->queued_filler > r->next_filler)
        r->next_filler = r->queued_filler;
}

void splice_release_filler_video(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t limit)
{
    splice_release_filler(env, rep, r, s, limit, false);
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
bool splice_take_filler_video(const splice_env *env, rep_ctx *rep, rep_stream *r, int s, int64_t until)
{
    while (until > r->sent_dts) {
        const filler_ctx *media;
        int fi;
        int64_t offset, next;
        const filler_stream *fs = splice_video_item(env, rep, s, r->item, &media, &fi, &offset);
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
        splice_filler_video_times(r, media, fi, offset, p, r->sent_dts, &dts, &pts);
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

void splice_replace_video(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist,
                          int64_t shown_after, AVPacket **ppkt)
{
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;

    /* Once a frame-accurate return aired, the programme is back: the filler is no longer taken. */
    bool back = env->accurate && env->accurate->from != AV_NOPTS_VALUE;
    if (!back && !splice_take_filler_video(env, rep, r, s, pkt->dts + pkt->duration)) {
        splice_release_filler_video(env, rep, r, s, INT64_MAX);
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
        splice_emit(env, rep, &ev);
        splice_mark_switch(pkt, SPLICE_SWITCH_MID_GOP);
        splice_queue(env, pkt);
        *ppkt = nullptr;
        return;
    }
    int64_t end = splice_break_end(rep, nullptr);
    int64_t earliest_key = end - SPLICE_KEY_LEAD;
    int64_t limit = earliest_key > shown_after ? earliest_key : shown_after + 1;
    /* A frame-accurate return may take the programme back at end itself: filler shown from there waits. */
    splice_release_filler_video(env, rep, r, s, env->accurate && limit > end ? end : limit);
    if (env->accurate) {
        splice_filler_tail_ahead(env, rep, r, s, ist, pkt, end);
        splice_accurate_keep(env, rep, r, ist, end, ppkt);  // the return may be decoded from it
    }
    else
        av_packet_free(ppkt);
}

void splice_break_clock(const splice_env *env, rep_ctx *rep, int64_t until)
{
    if (rep->state != SPLICING_STATE_STARTED || !env->out)
        return;
    int64_t earliest_key = splice_break_end(rep, nullptr) - SPLICE_KEY_LEAD;
    for (unsigned s = 0; s < env->out->nb_streams && s < REP_MAX_STREAMS; s++) {
        rep_stream *r = &rep->streams[s];
        const AVStream *st = env->out->streams[s];
        if (r->sent_dts == AV_NOPTS_VALUE || r->sent_dts >= until)
            continue;
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            splice_take_filler_video(env, rep, r, (int)s, until);  // run out: the break ends when the programme is back
            splice_release_filler_video(env, rep, r, (int)s, until < earliest_key ? until : earliest_key);
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
            splice_queue(env, f);
        }
    }
}
