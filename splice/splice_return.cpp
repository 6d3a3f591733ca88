/*
 * Frame-accurate returns: while a break runs, the programme video from its
 * last key frame is kept (splice_accurate_keep); the GOP that may be the
 * last before the end is decoded as it comes, and from the programme's
 * first picture shown at or after the end a run is re-encoded, closed and
 * starting with an IDR, and airs in place of the filler as it is encoded.
 * The key frame that ends the break finishes it (splice_accurate_return);
 * with open GOPs its leading pictures (shown before it) are in the run,
 * and it waits for them (splice_accurate_hold_key). A programme that
 * cannot be matched (codec refused, a time line that breaks, an error)
 * returns on the key frame and says why. Also
 * here: the frame-accurate state's life (create, clear, destroy) and what
 * starts share with returns (the programme's frame length, its GOP length
 * and rate, whether a key frame is due on a point).
 */
#include "splice/splice_rules.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

extern "C" {
#include <libavformat/avformat.h>
}

#include "codec/reencode.h"
#include "codec/splice_gop.h"
#include "splice/packets_queue.h"

int splice_accurate_create(splice_accurate **out)
{
    splice_accurate *a = (splice_accurate *)calloc(1, sizeof(*a));

    if (!a || packets_queue_create(&a->gop, SPLICE_GOP_MAX) < 0 || packets_queue_create(&a->run, SPLICE_GOP_MAX) < 0 ||
        packets_queue_create(&a->withheld, SPLICE_START_WITHHELD) < 0 ||
        packets_queue_create(&a->gated, SPLICE_RUN_GATED) < 0 || !(a->pics = (gop_pic *)calloc(SPLICE_GOP_MAX, sizeof(gop_pic)))) {
        if (a) {
            packets_queue_destroy(&a->gop);
            packets_queue_destroy(&a->run);
            packets_queue_destroy(&a->withheld);
            packets_queue_destroy(&a->gated);
        }
        free(a);
        return AVERROR(ENOMEM);
    }
    a->from = a->point = a->aim = a->key_pts = a->first_dts = AV_NOPTS_VALUE;
    a->run_stream = -1;
    *out = a;
    return 0;
}

void splice_free_queued(packets_queue *q)
{
    AVPacket *p = nullptr;

    while (packets_queue_pop(q, &p) >= 0)
        av_packet_free(&p);
}

/*
 * A key frame ends the GOP held: its rate (bit/s) is noted, the rate of
 * the encoder opened ahead for the next run (reencode_prepare).
 */
void splice_note_gop_rate(splice_accurate *a, const AVPacket *key)
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

/* Drops the GOP held and the run under way (a fresh start for the next one). */
void splice_accurate_clear(splice_accurate *a)
{
    if (a->running || a->decoding)
        reencode_abort(a->enc);
    a->running = a->decoding = a->failed = a->aired = a->joined = 0;
    a->why = EVENT_FALLBACK_NONE;
    a->from = AV_NOPTS_VALUE;
    splice_free_queued(a->gop);
    splice_free_queued(a->run);
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
    splice_free_queued(a->gop);
    splice_free_queued(a->run);
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
    splice_accurate_clear(*a);
    splice_free_queued((*a)->withheld);
    splice_free_queued((*a)->gated);
    packets_queue_destroy(&(*a)->gop);
    packets_queue_destroy(&(*a)->run);
    packets_queue_destroy(&(*a)->withheld);
    packets_queue_destroy(&(*a)->gated);
    av_packet_free(&(*a)->joining);
    free((*a)->pics);
    reencode_destroy(&(*a)->enc);
    splice_tail_destroy(&(*a)->tail);
    free(*a);
    *a = nullptr;
}

/* The programme video's frame duration (90 kHz), 0 when unknown. */
int64_t splice_frame_ticks(const AVStream *ist, AVRational *rate)
{
    AVRational fr = ist->avg_frame_rate.num > 0 && ist->avg_frame_rate.den > 0 ? ist->avg_frame_rate
                                                                                 : ist->r_frame_rate;
    if (rate)
        *rate = fr;
    return fr.num > 0 && fr.den > 0 ? av_rescale(90000, fr.den, fr.num) : 0;
}

/* Notes a programme key frame shown at pts, and the length of the GOP it ends. */
void splice_note_key(splice_accurate *a, int64_t pts)
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
bool splice_key_due_at(const splice_accurate *a, int64_t key_pts, int64_t point, int64_t frame)
{
    if (!a->gop_steady || a->gop_len <= 0 || key_pts == AV_NOPTS_VALUE || point < key_pts)
        return false;
    int64_t d = (point - key_pts) % a->gop_len;  // the next key frame due at point + (gop_len - d)
    return d == 0 || a->gop_len - d < frame;
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
 * before the end starts afresh (splice_accurate_clear). A failure leaves the
 * decoding to the return (accurate_begin).
 */
static void accurate_decode_ahead(splice_accurate *a, const AVStream *ist, int64_t end)
{
    const AVPacket *key = a->gop->items[0];
    AVRational fr;
    int64_t frame = splice_frame_ticks(ist, &fr);

    if (frame <= 0 || key->pts >= end || (a->gop_len > 0 && key->pts + a->gop_len + frame <= end) ||
        splice_key_due_at(a, key->pts, end, frame) || !accurate_encoder(a, fr, ist) || reencode_busy(a->enc) ||
        reencode_begin(a->enc, INT64_MAX, 0, 0) < 0)
        return;  // busy: a start's run left out may still be encoding, and beginning would wait for it
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
static bool accurate_rewind(splice_accurate *a, const AVPacket *pkt, int64_t end, bool pipe)
{
    a->decoding = 0;
    reencode_unprepare(a->enc);  // a start's encoder opened ahead has the start's rate, not this GOP's
    if (pipe)
        reencode_pipe(a->enc, true);  // decoded and encoded on the re-encoder's thread from here on
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
 */
static void accurate_begin(splice_accurate *a, const AVStream *ist, int64_t end, bool pipe)
{
    const packets_queue *g = a->gop;
    AVRational fr;

    if (splice_frame_ticks(ist, &fr) <= 0 || !(g->items[0]->flags & AV_PKT_FLAG_KEY) || g->items[0]->pts > end)
        return;
    if (!accurate_encoder(a, fr, ist))
        return;
    if (reencode_busy(a->enc)) {  // a run left out still on the re-encoder's threads: the video cannot wait for it
        a->failed = 1;
        a->why = EVENT_FALLBACK_LATE;
        return;
    }
    int64_t rate = accurate_rate(a);
    a->running = reencode_begin(a->enc, end, a->lead, rate) >= 0;
    a->failed = !a->running;
    if (a->running && pipe)
        reencode_pipe(a->enc, true);
    for (int i = 0; a->running && i < g->count; i++) {
        if (reencode_feed(a->enc, g->items[i], INT64_MAX) < 0 || !accurate_take(a)) {
            splice_accurate_clear(a);
            a->failed = 1;
        }
    }
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
            splice_release_filler(env, rep, r, s, p->pts, true);
            splice_filler_out_point(env, rep, r, s, p->pts, INT64_MAX);
            a->last_dts = r->queued_dts - 1;
            splice_mark_switch(p, SPLICE_SWITCH_KEY);
        }
        p->dts = std::max(p->pts - a->lead, a->last_dts + 1);
        a->last_dts = p->dts;
        p->stream_index = s;
        a->aired++;
        splice_queue(env, p);
    }
}

void splice_accurate_poll(const splice_env *env, rep_ctx *rep)
{
    splice_accurate *a = env->accurate;

    if (!a || !a->running || !a->air || env->desc->run_budget_us <= 0)
        return;
    /*
     * The thread falls behind the programme (a host too busy to encode in
     * real time): past the budget the run ends where it is, rather than the
     * key frame after it waiting for a backlog that keeps growing.
     */
    if (reencode_pipe_lag_us(a->enc) > env->desc->run_budget_us) {
        accurate_give_up(a, EVENT_FALLBACK_LATE);
        return;
    }
    if (accurate_take(a))
        accurate_air(env, rep, a->air, a->air_stream);
    else
        accurate_give_up(a, EVENT_FALLBACK_ERROR);
}

/*
 * Notes whether the programme's GOPs are open, on pkt, the last packet of
 * the GOP held: a picture decoded after its key frame but shown before it
 * (a leading picture) references the GOP before; and how many such
 * pictures follow the last key frame.
 */
void splice_note_open_gop(splice_accurate *a, const AVPacket *pkt)
{
    const AVPacket *key = a->gop->count > 1 ? a->gop->items[0] : nullptr;
    if (!key || !(key->flags & AV_PKT_FLAG_KEY) || pkt == key)
        return;
    if (a->open_gop && pkt->pts < key->pts)
        a->leading = a->gop->count - 1;  // the leading pictures follow their key frame
    else if (a->gop->count == 2)
        a->leading = 0;                  // this GOP has none (a closed one among open ones)
    if (a->open_gop)
        return;
    gop_pic two[2] = {{key->pts, key->dts, 1, GOP_PIC_I, GOP_REFS_UNKNOWN},
                      {pkt->pts, pkt->dts, (uint8_t)((pkt->flags & AV_PKT_FLAG_KEY) != 0), GOP_PIC_P,
                       GOP_REFS_UNKNOWN}};
    a->open_gop = splice_gop_open(two, 2) == 1;
}

/*
 * The session ends while a run airs (the programme's next key frame not
 * come): the pictures fed are the programme's, so the re-encoder's last
 * ones are finished and queued (output stream s) rather than lost with it.
 */
void splice_accurate_flush(const splice_env *env, rep_ctx *rep, rep_stream *r, int s)
{
    splice_accurate *a = env->accurate;

    if (!a->running || a->from == AV_NOPTS_VALUE)
        return;
    a->running = 0;
    int64_t to = a->joining ? a->joining->pts : INT64_MAX;  // a key frame held for its leading pictures follows
    if (reencode_finish(a->enc, to) >= 0 && reencode_pipe(a->enc, false) >= 0)
        accurate_take(a);
    reencode_abort(a->enc);  // what was not taken
    accurate_air(env, rep, r, s);
}

/*
 * Whether pkt follows the last packet of the GOP held on one time line:
 * its dts later, and no more than ACCURATE_GAP_FRAMES frames later (more
 * pictures than that lost with the input leave the decoder without its
 * references).
 */

bool splice_accurate_follows(const splice_accurate *a, const AVStream *ist, const AVPacket *pkt)
{
    if (a->gop->count == 0)
        return true;
    int64_t last = a->gop->items[a->gop->count - 1]->dts, frame = splice_frame_ticks(ist, nullptr);
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
void splice_accurate_keep(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist, int64_t end,
                          AVPacket **ppkt)
{
    splice_accurate *a = env->accurate;
    AVPacket *pkt = *ppkt;
    int s = pkt->stream_index;

    if (a->joining && !a->running) {  // a leading picture of the key frame held, no run to take it: left out
        av_packet_free(ppkt);
        return;
    }
    if ((pkt->flags & AV_PKT_FLAG_KEY) && a->from == AV_NOPTS_VALUE) {
        splice_note_key(a, pkt->pts);  // which key frame may be the last before the end (accurate_decode_ahead)
        splice_accurate_clear(a);
    }
    const AVPacket *last = a->gop->count > 0 ? a->gop->items[a->gop->count - 1] : nullptr;
    bool held = last && pkt->dts != AV_NOPTS_VALUE && last->dts == pkt->dts;  // the packet a start decided on
    if (!a->failed && !held && pkt->dts != AV_NOPTS_VALUE && !splice_accurate_follows(a, ist, pkt))
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
            splice_accurate_clear(a);
        accurate_give_up(a, EVENT_FALLBACK_NO_GOP);
        av_packet_free(ppkt);
        return;
    }
    *ppkt = nullptr;
    splice_note_open_gop(a, pkt);
    bool next_soon = rep->pending_count > 0 && rep->pending[0].point <= end + SPLICE_KEY_LEAD;
    bool ahead = !a->failed && !a->refused && !next_soon && end != INT64_MAX;
    bool pipe = env->desc->run_budget_us > 0;  // live: the run is encoded on the re-encoder's thread
    if (a->running && (reencode_feed(a->enc, pkt, INT64_MAX) < 0 || !accurate_take(a))) {
        accurate_give_up(a, EVENT_FALLBACK_ERROR);
    } else if (a->decoding && pkt->pts < end && pkt != a->gop->items[0]) {
        if (reencode_feed(a->enc, pkt, INT64_MAX) < 0) {  // the return decodes the GOP afresh
            reencode_abort(a->enc);
            a->decoding = 0;
        }
    } else if (!a->running && ahead && pkt->pts >= end) {
        if (!(a->decoding && accurate_rewind(a, pkt, end, pipe))) {
            if (a->decoding)
                reencode_abort(a->enc);
            a->decoding = 0;
            accurate_begin(a, ist, end, pipe);
        }
        a->air = r;
        a->air_stream = s;
    } else if (!a->running && !a->decoding && ahead && a->gop->count == 1 && (pkt->flags & AV_PKT_FLAG_KEY)) {
        accurate_decode_ahead(a, ist, end);
    }
    accurate_air(env, rep, r, s);
}

bool splice_accurate_hold_key(const splice_env *env, int64_t end, AVPacket **ppkt)
{
    splice_accurate *a = env->accurate;
    AVPacket *pkt = *ppkt;

    if (!a || a->joining || a->joined || !a->open_gop || !(pkt->flags & AV_PKT_FLAG_KEY) ||
        pkt->pts == AV_NOPTS_VALUE || pkt->dts == AV_NOPTS_VALUE || pkt->pts < end)
        return false;
    /* The run's decoder needs it for the leading pictures; without a run they are left out, and counted. */
    if (a->running && !a->failed && reencode_feed(a->enc, pkt, INT64_MAX) < 0)
        accurate_give_up(a, EVENT_FALLBACK_ERROR);
    a->joining = pkt;
    a->join_leading = 0;
    *ppkt = nullptr;
    return true;
}

AVPacket *splice_accurate_key_goes(const splice_env *env, const rep_ctx *rep, const AVStream *ist, const AVPacket *pkt)
{
    splice_accurate *a = env->accurate;
    AVPacket *key = a ? a->joining : nullptr;

    if (!key || pkt->stream_index != key->stream_index)
        return nullptr;
    bool leading = rep->state == SPLICING_STATE_STARTED && !(pkt->flags & AV_PKT_FLAG_KEY) &&
                   pkt->pts != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE && pkt->pts < key->pts &&
                   pkt->dts > key->dts && a->join_leading < SPLICE_JOIN_MAX;
    if (leading) {
        a->join_leading++;
        return nullptr;
    }
    a->joining = nullptr;
    a->joined = 1;
    int64_t frame = splice_frame_ticks(ist, nullptr);
    if (a->join_leading > 0 && frame > 0)  // decoded in the place of its last leading picture, after the run
        key->dts = std::min(key->dts + a->join_leading * frame, key->pts);
    return key;
}

void splice_accurate_follow_run(const splice_accurate *a, AVPacket *key)
{
    if (a->from != AV_NOPTS_VALUE && key->dts != AV_NOPTS_VALUE && key->dts <= a->last_dts)
        key->dts = std::min(a->last_dts + 1, key->pts);
}

AVPacket *splice_accurate_take_key(splice_accurate *a)
{
    AVPacket *key = a ? a->joining : nullptr;

    if (key)
        a->joining = nullptr;
    return key;
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
int splice_accurate_return(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist, int64_t end,
                           const AVPacket *key, int *m, int64_t *back)
{
    splice_accurate *a = env->accurate;
    int64_t frame = splice_frame_ticks(ist, nullptr);
    int why = EVENT_FALLBACK_NONE;

    int ret = a->running ? reencode_finish(a->enc, key->pts) : 0;
    int64_t wait = std::min<int64_t>(env->desc->run_budget_us, ACCURATE_KEY_WAIT_US);
    if (a->running && ret >= 0 && !reencode_pipe_settled(a->enc, wait)) {
        /* The re-encoder's thread is too far behind for the key frame to wait: the run ends where it aired. */
        accurate_give_up(a, EVENT_FALLBACK_LATE);
        why = EVENT_FALLBACK_LATE;
    } else if (a->running) {
        a->running = 0;
        if (ret >= 0)
            ret = reencode_pipe(a->enc, false);  // the run's last pictures encoded
        if (ret < 0 || !accurate_take(a))
            why = EVENT_FALLBACK_ERROR;
        accurate_air(env, rep, r, key->stream_index);
    } else if (a->from == AV_NOPTS_VALUE && frame > 0 && key->pts - end >= frame) {
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
