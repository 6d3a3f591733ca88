/*
 * What a break airs, as a sequence of items on the break's clock: the spots
 * the planner named that fit, back to back from the start key frame, then
 * the filler, once (as without a schedule) or looped up to the break's end.
 * The video takes each item from its first packet at its offset; the audio
 * is laid end to end, each item's audio cut where the next item begins.
 */
#include "splice/splice.h"
#include "splice/splice_internal.h"

#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/trace.h"
#include "splice/filler.h"

int64_t splice_video_length(const filler_ctx *media, int id)
{
    int fi = media ? splice_filler_stream(media, nullptr, id) : -1;
    if (fi < 0)
        return 0;
    const filler_stream *fs = &media->streams[fi];
    const AVPacket *first = fs->packets[0], *last = fs->packets[fs->count - 1];
    if (first->dts == AV_NOPTS_VALUE || last->dts == AV_NOPTS_VALUE)
        return 0;
    int64_t frame = last->duration > 0 ? last->duration
                    : fs->count > 1 ? (last->dts - first->dts) / (fs->count - 1) : 0;
    return last->dts + frame - first->dts;
}

bool splice_sequence(const splice_env *env, const rep_ctx *rep)
{
    return env->planner || rep->open;
}

int splice_content_start(const splice_env *env, rep_ctx *rep, int64_t start, int id, int64_t end)
{
    rep_content *c = &rep->content;

    memset(c, 0, sizeof(*c));
    c->start = start;
    c->loop = splice_sequence(env, rep);
    c->fill_length = splice_video_length(env->filler, id);
    if (env->planner && env->planner->plan) {
        splice_break b = {rep->splice_event_id, rep->splice_point, start,
                          rep->scte_35_duration == AV_NOPTS_VALUE ? 0 : rep->scte_35_duration, rep->open};
        int n = env->planner->plan(env->planner->opaque, &b, c->spots, REP_MAX_SPOTS);
        if (n == SPLICE_PLAN_LEAVE)
            return n;
        c->spot_count = n < 0 ? 0 : n > REP_MAX_SPOTS ? REP_MAX_SPOTS : n;
    }
    /* Each spot that still fits before the end goes next: an advertiser pays for a whole spot. */
    int64_t room = end == INT64_MAX ? INT64_MAX : end - start, at = 0;
    for (int i = 0; i < c->spot_count; i++) {
        rep_spot *sp = &c->spots[i];
        sp->offset = -1;
        sp->info.length = sp->media ? splice_video_length(sp->media, id) : 0;
        if (sp->info.length <= 0)
            sp->fate = EVENT_SPOT_UNUSABLE;
        else if (sp->info.length > room - at)
            sp->fate = EVENT_SPOT_TOO_SHORT;
        else {
            sp->offset = at;
            c->order[c->count++] = (int8_t)i;
            at += sp->info.length;
        }
    }
    c->fill_from = at;
    return c->count;
}

const filler_ctx *splice_item(const splice_env *env, const rep_content *c, int k, int64_t *offset)
{
    if (k < 0)
        return nullptr;
    if (k < c->count) {
        *offset = c->spots[c->order[k]].offset;
        return c->spots[c->order[k]].media;
    }
    int64_t pass = k - c->count;
    if (pass > 0 && (!c->loop || c->fill_length <= 0))
        return nullptr;
    *offset = c->fill_from + pass * c->fill_length;
    return env->filler;
}

const filler_stream *splice_item_stream(const splice_env *env, const rep_content *c, int k, int id,
                                        const filler_ctx **media, int *fi, int64_t *offset)
{
    const filler_ctx *m = splice_item(env, c, k, offset);
    int i = m ? splice_filler_stream(m, env->out, id) : -1;

    *media = m;
    if (fi)
        *fi = i;
    return i >= 0 ? &m->streams[i] : nullptr;
}

const rep_content *splice_content_of(const rep_ctx *rep, const rep_stream *r)
{
    return r->switch_at != AV_NOPTS_VALUE ? &rep->previous : &rep->content;
}

int64_t splice_content_pts_shift(const splice_env *env, const rep_content *c, int id, int64_t delay)
{
    int64_t shift = 0, offset;

    for (int k = 0; k <= c->count; k++) {
        const filler_ctx *m = splice_item(env, c, k, &offset);
        int fi = m ? splice_filler_stream(m, env->out, id) : -1;
        int64_t s = fi >= 0 ? splice_video_pts_shift(m, fi, delay) : 0;
        if (s > shift)
            shift = s;
    }
    return shift;
}

bool splice_audio_over(const splice_env *env, const rep_content *c, const rep_stream *r, int id)
{
    const filler_ctx *m;
    int64_t offset;
    const filler_stream *fs = splice_item_stream(env, c, r->item, id, &m, nullptr, &offset);

    return m && fs && r->next_filler >= fs->count && !splice_item(env, c, r->item + 1, &offset);
}

int splice_next_audio(const splice_env *env, const rep_content *c, rep_stream *r, int s, int id, int64_t limit,
                      AVPacket **out)
{
    *out = nullptr;
    for (;;) {
        const filler_ctx *m;
        int64_t offset, next;
        const filler_stream *fs = splice_item_stream(env, c, r->item, id, &m, nullptr, &offset);
        if (!m)
            return SPLICE_AUDIO_END;
        int64_t bound = splice_item(env, c, r->item + 1, &next) ? c->start + next : INT64_MAX;
        if (r->sent_dts >= bound || (fs && r->next_filler >= fs->count && bound != INT64_MAX)) {
            /* The next item begins: at its offset, or where this one's audio ran out. */
            r->item++;
            r->next_filler = 0;
            continue;
        }
        if (!fs) {
            /* The item has nothing for this stream: silence, in step with the programme. */
            if (bound > limit) {
                if (limit > r->sent_dts)
                    r->sent_dts = limit;
                return SPLICE_AUDIO_SILENT;
            }
            r->sent_dts = bound;
            continue;
        }
        if (r->next_filler >= fs->count)
            return SPLICE_AUDIO_END;
        AVPacket *f = av_packet_clone(fs->packets[r->next_filler]);
        if (!f)
            return SPLICE_AUDIO_NOMEM;
        r->next_filler++;
        f->stream_index = s;
        f->pos = -1;
        f->dts = f->pts = r->sent_dts;
        r->sent_dts += f->duration;
        if (r->sent_dts > bound) {
            f->duration -= r->sent_dts - bound;
            r->sent_dts = bound;
            if (env->verbose)
                log_packet(env->out, f, "trA");
        }
        *out = f;
        return SPLICE_AUDIO_PACKET;
    }
}

void splice_spot_started(const splice_env *env, rep_ctx *rep, int k)
{
    rep_content *c = &rep->content;

    if (k < c->started || k >= c->count)
        return;
    c->started = k + 1;
    const rep_spot *sp = &c->spots[c->order[k]];
    event ev = event_make(EVENT_SPOT_STARTED);
    ev.spot = &sp->info;
    ev.pts = c->start + sp->offset;
    splice_emit(env, rep, &ev);
}

void splice_spots_ended(const splice_env *env, const rep_ctx *rep, int64_t end, int how)
{
    const rep_content *c = &rep->content;

    for (int i = 0; i < c->spot_count; i++) {
        const rep_spot *sp = &c->spots[i];
        event ev = event_make(EVENT_SPOT_ENDED);
        ev.spot = &sp->info;
        ev.aired = 0;
        if (how == SPLICE_SPOTS_SKIPPED) {
            ev.reason = EVENT_SPOT_SKIPPED;
        } else if (sp->offset < 0) {
            ev.reason = sp->fate;
        } else {
            int64_t from = c->start + sp->offset;
            int64_t aired = end == AV_NOPTS_VALUE || end < from ? 0 : end - from;
            ev.aired = aired < sp->info.length ? aired : sp->info.length;
            ev.pts = ev.aired > 0 ? from : AV_NOPTS_VALUE;
            /* A return key frame within the usual lead of the spot's end leaves it whole. */
            ev.reason = ev.aired >= sp->info.length - SPLICE_KEY_LEAD ? EVENT_SPOT_AIRED
                        : ev.aired > 0 || how == SPLICE_SPOTS_SESSION_END ? EVENT_SPOT_CUT_SHORT
                                                                           : EVENT_SPOT_TOO_SHORT;
        }
        splice_emit(env, rep, &ev);
    }
}
