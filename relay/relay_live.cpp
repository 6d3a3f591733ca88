/*
 * A live input's time line on the output's clock.
 *
 * The output runs on a clock of its own that follows the wall clock: it
 * starts on the programme's first video key frame, and from then on every
 * packet's times are the input's plus an offset. The offset is 0 until the
 * input's time line breaks; the output's never does:
 *  - input silent: the muxer is moved on at once with empty packets on the
 *    EPG track, so null packets, PAT/PMT/SDT and the PCR go on at the mux
 *    rate; lost (no programme packet for the threshold, desc.loss_us):
 *    reported, and after LIVE_CUT_US (the threshold at least) a break under way
 *    ends there (input_lost) and the filler airs as a slate until its
 *    announced end; without a break the slate airs after slate_us without
 *    video. The programme resumes on its next video key frame, after
 *    whatever went out last; after a short loss that lost nothing (the
 *    input held up, not lost) it simply goes on;
 *  - input late (paused and resumed with the same packets) or its source
 *    restarted on another time line: the programme resumes on its next key
 *    frame at the lag it had against the clock before, its times re-based
 *    (and the cues' pts_adjustment with them); after a restart the events
 *    of the old time line are cancelled (source_restart), a break under way
 *    goes on to its end;
 *  - a backlog sent in a burst after a stall: left out up to the first key
 *    frame read at real time again, which resumes the programme;
 *  - input faster than real time: where it runs ahead of the clock (beyond
 *    the highest lag of reference of the last ten minutes), the end of a
 *    GOP that makes up the excess is left out (live_cut_here), every stream
 *    alike, counted and reported once a minute with the input's rate; the
 *    next key frame takes up where the pictures let through end. An input
 *    that only came late for a while (a network or a reader held up), whose
 *    lag of reference followed it down, and then catches up is not ahead:
 *    nothing of it is left out.
 * Within LIVE_LATE_TICKS behind and LIVE_EARLY_TICKS ahead the input's own
 * jitter is taken as it comes; the lag of reference follows the input by at
 * most 500 ppm, so that the clocks of source and machine may differ.
 */
#include "relay/relay.h"
#include "relay/relay_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "common/mpegts.h"
#include "scte35/scte35.h"
#include "splice/filler.h"
#include "splice/packets_queue.h"
#include "splice/splice.h"
#include "ts/ts_in.h"
#include "ts/ts_out.h"

#define LIVE_LOST_US        100000          // no audio or video packet read this long: the input is lost (unless
                                            // the relay is told another threshold, desc.loss_us)
#define LIVE_GAP_USUAL_MAX  250000          // (or twice the programme's usual spacing, up to this)
#define LIVE_CUT_US         500000          // lost this long (the threshold at least): a break under way ends,
                                            // the slate takes over
#define LIVE_UNREAD_US      20000           // input the reader has left this long in the source: it runs behind
/*
 * The muxer wrote nothing for LIVE_KEEPALIVE_US and no packet went to it for
 * LIVE_QUIET_US: it is moved on; what the muxer holds for interleaving and
 * the sender's margin cover the wait. Not sooner, nor while the programme
 * flows: each flush of the interleaving queue puts the PCR ahead of the
 * programme for a while, and the output's delay with it (at 40 ms, when the
 * splice rules still held the programme longer, the 99th percentile of the
 * delay rose by 40-80 ms; at 60 ms it does not move, and an outage's first
 * silence is 20-30 ms, against 60-70 ms at 100 ms).
 */
#define LIVE_KEEPALIVE_US   10000
#define LIVE_QUIET_US       60000
#define LIVE_KEEPALIVE_BEHIND 3600          // ticks the keep-alive stays behind where the programme would
                                            // be: never ahead of the next packet, within the sender's margin
#define LIVE_SETTLE_US      500000          // after the start the lag of reference takes the highest seen
#define LIVE_LATE_TICKS     (90000 * 3 / 2) // a video packet this far behind the clock: the input came back late
#define LIVE_EARLY_TICKS    18000           // this far ahead: the input runs faster than real time (less
                                            // than the output stage's lead, which drops null packets)
#define LIVE_TRIM_TICKS     3600            // this far ahead, the end of a GOP is left out to make it up,
#define LIVE_CUT_TICKS      13500           // and this far, the rest of it at once (the output's schedule
                                            // follows its PCRs: an excess must stay well within its margin)
#define LIVE_WINDOW_TICKS   18000           // the input's arrival rate is measured over this much of it
#define LIVE_BURST_RATE     1500            // (thousandths) faster than this, a late input is a backlog
#define LIVE_BACKLOG_TICKS  22500           // (late by this much at least)
#define LIVE_HELD_CUES      16              // cues kept while the programme's times are about to move
#define LIVE_RESTART_TICKS  (2 * 90000)     // the input's own times jumping more than this: a new time line
#define LIVE_BACK_TICKS     90000           // a lead packet this far behind the last let through: its line broke
#define LIVE_HELD_UP_TICKS  9000            // video going on within this after a loss: nothing was lost
#define LIVE_SLEW_TICKS     45              // per second: the lag of reference follows by 500 ppm at most
#define LIVE_FAST_REPORT_US 60000000        // one report a minute of an input faster than real time,
#define LIVE_RATE_MIN_US    5000000         // its rate measured over 5 s of it at least
#define LIVE_GAP_TICKS      1800            // the programme resumes this far after the last packet written
#define LIVE_FRAME_TICKS    3600            // a filler packet without duration lasts this long
#define LIVE_SLATE_BEHIND   4500            // the slate runs this far behind a key frame's place, so
                                            // that the programme resumes where it would have been

enum live_gate {
    GATE_WAIT_KEY = 0,  // programme left out until a video key frame
    GATE_OPEN,
};

/* One filler stream airing as the slate. */
struct live_slate {
    int fi;          // filler stream
    int out;         // output stream with its PID
    int start;       // first packet of a loop
    int next;
    int64_t loops;
};

/*
 * The highest lag of reference in each of the last LIVE_HIGH_SPANS spans of
 * LIVE_HIGH_SPAN_US: where the input has been on time. The reference
 * follows the input at 500 ppm at most, so an input whose clock runs fast
 * soon leaves it behind, while one that came late for a while drags it
 * down; only a lag beyond the highest of them runs ahead of the wall clock,
 * one that comes back up to it after a late spell has caught up.
 */
#define LIVE_HIGH_SPANS     10
#define LIVE_HIGH_SPAN_US   60000000

struct relay_live {
    int64_t slate_us;
    int64_t loss_us;          // the input is lost after this long without a programme packet
    int epg;                  // output index of the EPG track; -1: none
    /* The output's clock. */
    int64_t t0;               // µs when the output started; 0 before
    int64_t c0;               // its 90 kHz time then
    int64_t lag;              // ticks the programme's packets run ahead of the clock
    int64_t key_lag;          // the lag of the last video key frame: where a resumed programme goes
    int64_t level;            // highest output dts let through; AV_NOPTS_VALUE before the first
    int64_t level_at;         // µs when it was read: the keep-alive goes on from there
    int64_t window_max;       // highest lag in the current second
    int64_t window_at;        // µs when that second began
    /* The input's time line. */
    int64_t raw_last;         // last dts read, modulo 2^33; AV_NOPTS_VALUE before the first
    int64_t in_last;          // its unwrapped value
    int64_t in_good;          // unwrapped dts of the last video packet let through; AV_NOPTS_VALUE
    int64_t good_at;          // µs when it was read
    int64_t offset;           // ticks added to the unwrapped input times
    int64_t cuts;             // the source's switches to another stream seen so far (desc.cuts)
    int64_t packet_at;        // µs when the last audio or video packet was read
    int64_t gap_max;          // µs: longest wait between two of them in the current second
    int64_t gap_usual;        // µs: that of the second before, the programme's own spacing
    int64_t gap_at;           // µs when the current second began
    int64_t passed_at;        // µs when the last packet went on to the muxer
    int64_t lost_at;          // µs of the last packet before the loss; 0 while not lost
    int break_cut;            // this loss has ended the break under way (if any)
    int64_t video_read;       // highest unwrapped dts of a video packet read; AV_NOPTS_VALUE
    int lead;                 // the media type whose key frames open the programme and whose times are
                              // followed: video, or audio for a programme without video; -1: not yet known
    int64_t stale_until;      // a key frame up to here was read before the loss: it opens nothing
    /* Where the programme resumes. */
    int gate;
    int why;                  // event_timeline_reason of the next opening
    int64_t audio_from;       // audio with an earlier pts (output time) is left out; AV_NOPTS_VALUE
    int64_t hold_until;       // the programme waits for a key frame at this output time; AV_NOPTS_VALUE
    /* An input faster than real time. */
    int64_t cut_at;           // output pts where the programme was cut for what is left out; AV_NOPTS_VALUE
    int64_t key_in;           // unwrapped dts of the lead's last key frame let through; AV_NOPTS_VALUE
    int64_t gop;              // ticks between its last two key frames; 0: not known
    int64_t shown_max;        // highest output pts of the lead let through; AV_NOPTS_VALUE
    int64_t frame;            // ticks of the lead's last picture (or audio frame)
    int64_t win_in;           // unwrapped dts and µs where the arrival rate's window began; AV_NOPTS_VALUE
    int64_t win_at;
    int64_t arrival;          // the input's last measured arrival rate, thousandths of real time; 0: unknown
    int64_t high[LIVE_HIGH_SPANS];  // highest lag of reference in each span; INT64_MIN: none
    int high_now;             // the current span
    int64_t high_at;          // µs when it began
    AVPacket *cues[LIVE_HELD_CUES];  // cues read while the programme's times are about to move, in order
    int cue_count;
    int64_t left_out;         // packets left out since the last report
    int64_t fast_at;          // µs of the last report; 0: none yet
    int64_t excess_at;        // µs of the last packet left out; 0: none yet
    int64_t rate_in;          // unwrapped dts and µs where the rate is measured from: the start of a
    int64_t rate_at;          // spell of excess, or the last report
    /* What the muxer writes. */
    int64_t out_bytes;
    int64_t out_at;           // µs when the muxer last wrote
    int64_t video_at;         // µs when video last went to the muxer
    /* The slate. */
    int slate_on;
    int64_t slate_base;       // output time of the filler's first key frame in loop 0
    int64_t slate_f0;         // that key frame's dts in the filler
    int64_t slate_span;       // ticks of one loop
    int slate_count;
    live_slate slate[FILLER_MAX_STREAMS];
};

static int64_t us_to_ticks(int64_t us)
{
    return av_rescale(us, 90000, 1000000);
}

/* The output's clock at now (µs). */
static int64_t live_clock(const relay_live *l, int64_t now)
{
    return l->c0 + us_to_ticks(now - l->t0);
}

static void live_emit(relay *r, event_type t, int reason, int64_t pts, int64_t delta_ticks)
{
    event ev = event_make(t);
    ev.splice_event_id = r->rep.splice_event_id;
    ev.reason = reason;
    ev.pts = pts;
    ev.delta_ticks = delta_ticks;
    event_emit(&r->desc.splice.events, &ev);
}

/* The input lost or back (t), after elapsed_us of the wall clock. */
static void live_emit_outage(relay *r, event_type t, int64_t elapsed_us)
{
    event ev = event_make(t);
    ev.splice_event_id = r->rep.splice_event_id;
    ev.elapsed_us = elapsed_us;
    event_emit(&r->desc.splice.events, &ev);
}

/* Forgets where the lag has been (the programme's times were moved): from now on. */
static void live_high_reset(relay_live *l, int64_t now)
{
    for (int i = 0; i < LIVE_HIGH_SPANS; i++)
        l->high[i] = INT64_MIN;
    l->high_now = 0;
    l->high_at = now;
}

static void live_high_note(relay_live *l, int64_t lag, int64_t now)
{
    if (now - l->high_at >= LIVE_HIGH_SPAN_US) {
        l->high_now = (l->high_now + 1) % LIVE_HIGH_SPANS;
        l->high[l->high_now] = INT64_MIN;
        l->high_at = now;
    }
    if (lag > l->high[l->high_now])
        l->high[l->high_now] = lag;
}

/* The highest lag of reference over the last spans; INT64_MIN: none yet. */
static int64_t live_high(const relay_live *l)
{
    int64_t high = INT64_MIN;
    for (int i = 0; i < LIVE_HIGH_SPANS; i++)
        high = l->high[i] > high ? l->high[i] : high;
    return high;
}

int relay_live_create(relay *r)
{
    relay_live *l = (relay_live *)calloc(1, sizeof(*l));
    if (!l)
        return -ENOMEM;
    l->slate_us = r->desc.slate_us;
    l->loss_us = r->desc.loss_us > 0 ? r->desc.loss_us : LIVE_LOST_US;
    l->epg = -1;
    l->raw_last = l->in_good = l->audio_from = l->hold_until = l->level = AV_NOPTS_VALUE;
    l->video_read = l->stale_until = l->cut_at = l->win_in = l->key_in = l->shown_max = AV_NOPTS_VALUE;
    l->lead = -1;
    l->why = EVENT_TIMELINE_START;
    live_high_reset(l, 0);
    r->live = l;
    return 0;
}

void relay_live_destroy(relay *r)
{
    if (r->live) {
        for (int i = 0; i < r->live->cue_count; i++)
            av_packet_free(&r->live->cues[i]);
    }
    free(r->live);
    r->live = nullptr;
}

/* The EPG track that carries the keep-alive stuffing, once the output is set up. */
static void live_find_epg(relay *r)
{
    for (unsigned i = 0; i < r->out->nb_streams && r->live->epg < 0; i++)
        if (r->out->streams[i]->codecpar->codec_id == AV_CODEC_ID_EPG)
            r->live->epg = (int)i;
}

/*
 * Just after the last packet written on any stream of type only (any audio
 * or video stream with AVMEDIA_TYPE_UNKNOWN): where the programme may resume.
 */
static int64_t live_floor_of(const relay *r, enum AVMediaType only)
{
    int64_t floor = INT64_MIN;
    for (unsigned s = 0; s < r->out->nb_streams; s++) {
        enum AVMediaType type = r->out->streams[s]->codecpar->codec_type;
        bool counts = only == AVMEDIA_TYPE_UNKNOWN ? type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO : type == only;
        if (counts && r->last_dts[s] != AV_NOPTS_VALUE && r->last_dts[s] + LIVE_GAP_TICKS > floor)
            floor = r->last_dts[s] + LIVE_GAP_TICKS;
    }
    return floor;
}

static int64_t live_floor(const relay *r)
{
    return live_floor_of(r, AVMEDIA_TYPE_UNKNOWN);
}

/*
 * The lag of reference follows the programme: during the first half second
 * its highest value, later each second's highest by at most LIVE_SLEW_TICKS.
 */
static void live_follow(relay_live *l, int64_t lag, int64_t now)
{
    if (now - l->t0 < LIVE_SETTLE_US) {
        if (lag > l->lag)
            l->lag = lag;
        l->window_max = INT64_MIN;
        l->window_at = now;
        return;
    }
    if (lag > l->window_max)
        l->window_max = lag;
    if (now - l->window_at < 1000000)
        return;
    int64_t step = l->window_max - l->lag;
    step = step > LIVE_SLEW_TICKS ? LIVE_SLEW_TICKS : step < -LIVE_SLEW_TICKS ? -LIVE_SLEW_TICKS : step;
    l->lag += step;
    l->window_max = INT64_MIN;
    l->window_at = now;
}

/* One report a minute of an input faster than real time, with its rate against the wall clock. */
static void live_count_excess(relay *r, int64_t in, int64_t now)
{
    relay_live *l = r->live;

    if (!l->excess_at || now - l->excess_at >= LIVE_FAST_REPORT_US) {
        l->rate_in = in;  // a new spell: its rate is measured from here
        l->rate_at = now;
    }
    l->excess_at = now;
    l->left_out++;
    if (now - l->rate_at < LIVE_RATE_MIN_US || (l->fast_at && now - l->fast_at < LIVE_FAST_REPORT_US))
        return;
    int64_t wall = us_to_ticks(now - l->rate_at);
    event ev = event_make(EVENT_INPUT_FAST);
    ev.rate_milli = wall > 0 ? (in - l->rate_in) * 1000 / wall : 0;
    ev.count = l->left_out;
    event_emit(&r->desc.splice.events, &ev);
    l->left_out = 0;
    l->fast_at = now;
    l->rate_in = in;
    l->rate_at = now;
}

/*
 * The cue's pts_adjustment moved by the offset, so that its splice time
 * lies on the output's clock. A section that is not whole or whose CRC does
 * not match goes as it came.
 */
void relay_adjust_cue(AVPacket *pkt, int64_t offset)
{
    if (ts_pts_wrap(offset) != 0 && av_packet_make_writable(pkt) >= 0)
        scte35_move_pts_adjustment(pkt->data, pkt->size, offset);
}

/* ------------------------------------------------------------------------ */
/* The slate: the filler's streams on the programme's PIDs, looped. */

/* The filler stream that stands in for output stream s, as in a break (filler_match, of its codec); -1: none. */
static int live_filler_for(const relay *r, unsigned s)
{
    const AVStream *ost = r->out->streams[s];
    int fi = filler_match(r->filler, r->out, ost->id);
    return fi >= 0 && r->filler->format->streams[fi]->codecpar->codec_id == ost->codecpar->codec_id ? fi : -1;
}

/* Finds the filler's video and its first key frame; false when the filler has no video for the programme. */
static bool live_slate_video(relay *r)
{
    relay_live *l = r->live;
    const filler_ctx *f = r->filler;

    for (unsigned out = 0; f && out < r->out->nb_streams; out++) {
        int fi = r->out->streams[out]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? live_filler_for(r, out) : -1;
        if (fi < 0)
            continue;
        const filler_stream *fs = &f->streams[fi];
        for (int k = 0; k < fs->count; k++) {
            const AVPacket *p = fs->packets[k];
            if (!(p->flags & AV_PKT_FLAG_KEY) || p->dts == AV_NOPTS_VALUE)
                continue;
            const AVPacket *last = fs->packets[fs->count - 1];
            l->slate_f0 = p->dts;
            l->slate_span = last->dts + (last->duration > 0 ? last->duration : LIVE_FRAME_TICKS) - p->dts;
            l->slate[0] = {fi, (int)out, k, k, 0};
            l->slate_count = 1;
            return l->slate_span > 0;
        }
    }
    return false;
}

/* The slate starts at the output time base: the filler's video from its first key frame, its audio with it. */
static void live_slate_start(relay *r, int64_t base)
{
    relay_live *l = r->live;
    const filler_ctx *f = r->filler;

    l->slate_count = 0;
    if (!live_slate_video(r))
        return;
    for (unsigned out = 0; out < r->out->nb_streams && l->slate_count < FILLER_MAX_STREAMS; out++) {
        int fi = r->out->streams[out]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? live_filler_for(r, out) : -1;
        if (fi < 0)
            continue;
        const filler_stream *fs = &f->streams[fi];
        int k = 0;
        while (k < fs->count && (fs->packets[k]->dts == AV_NOPTS_VALUE || fs->packets[k]->dts < l->slate_f0))
            k++;
        if (k < fs->count && fs->packets[k]->dts - l->slate_f0 < l->slate_span)
            l->slate[l->slate_count++] = {fi, (int)out, k, k, 0};
    }
    l->slate_on = 1;
    l->slate_base = base;
    live_emit(r, EVENT_SLATE_STARTED, 0, base, 0);
}

static void live_slate_step(live_slate *s, int count)
{
    if (++s->next >= count) {
        s->next = s->start;
        s->loops++;
    }
}

/* Queues the slate's packets due by limit (output time) and writes them. 0 or the muxing error. */
static int live_slate_feed(relay *r, int64_t limit, int64_t now)
{
    relay_live *l = r->live;
    packets_queue *queue = r->loop->out_queue;

    for (int i = 0; i < l->slate_count; i++) {
        live_slate *s = &l->slate[i];
        const filler_stream *fs = &r->filler->streams[s->fi];
        while (queue->count < queue->capacity) {
            const AVPacket *p = fs->packets[s->next];
            if (p->dts == AV_NOPTS_VALUE) {
                live_slate_step(s, fs->count);
                continue;
            }
            if (p->dts - l->slate_f0 >= l->slate_span) {  // beyond the video's end: the next loop
                s->next = s->start;
                s->loops++;
                continue;
            }
            int64_t shift = l->slate_base - l->slate_f0 + s->loops * l->slate_span;
            if (p->dts + shift > limit)
                break;
            AVPacket *c = av_packet_clone(p);
            if (!c)
                return AVERROR(ENOMEM);
            c->dts += shift;
            c->pts = c->pts == AV_NOPTS_VALUE ? c->dts : c->pts + shift;
            c->stream_index = s->out;
            c->pos = -1;
            if (i == 0 && s->next == s->start)
                splice_mark_switch(c, SPLICE_SWITCH_KEY);
            if (packets_queue_push(queue, c) < 0) {
                av_packet_free(&c);
                break;
            }
            if (i == 0)
                l->video_at = now;
            live_slate_step(s, fs->count);
        }
    }
    return relay_write(r->loop, 0);
}

/* ------------------------------------------------------------------------ */
/* Packets read. */

/*
 * The key frame pkt (input dts in, pts in_pts, unwrapped) reopens the
 * programme: the offset that puts it where it belongs on the output's
 * clock, after whatever went out last. Returns false when it may not
 * (a break's announced end not reached yet).
 */
static bool live_open(relay *r, AVPacket *pkt, int64_t in, int64_t in_pts, int64_t now)
{
    relay_live *l = r->live;
    int64_t want = in + l->offset;
    bool restart = false;

    if (l->why != EVENT_TIMELINE_START) {
        int64_t target = live_clock(l, now) + l->key_lag, floor = live_floor(r);
        int64_t jump = l->in_good == AV_NOPTS_VALUE ? 0 : in - l->in_good;
        restart = jump < -LIVE_RESTART_TICKS || jump > us_to_ticks(now - l->good_at) + LIVE_RESTART_TICKS;
        int64_t lag = want - live_clock(l, now);
        if (restart)
            l->why = EVENT_TIMELINE_RESTART;
        else if (lag < l->lag - LIVE_LATE_TICKS)
            l->why = EVENT_TIMELINE_LATE;
        else if (lag > l->lag + LIVE_EARLY_TICKS)
            l->why = EVENT_TIMELINE_EARLY;
        if (l->why == EVENT_TIMELINE_EARLY && l->cut_at != AV_NOPTS_VALUE) {
            /*
             * Shown where the pictures let through end, unless that is
             * behind the clock; audio that went out beyond it, which came
             * ahead of the video, is followed by the key frame's audio from
             * its end on (what would go back is refused).
             */
            int64_t at_cut = l->cut_at - (in_pts != AV_NOPTS_VALUE ? in_pts - in : 0);
            int64_t now_at = live_clock(l, now) + l->lag;
            want = at_cut > now_at ? at_cut : now_at;
            floor = live_floor_of(r, (enum AVMediaType)l->lead);
        } else if (l->why != EVENT_TIMELINE_RESUMED) {
            want = target;
        }
        want = want < floor ? floor : want;
    }
    int64_t key_pts = in_pts + want - in;
    if (l->hold_until != AV_NOPTS_VALUE && key_pts < l->hold_until - SPLICE_KEY_LEAD)
        return false;

    /*
     * A new time line after the source switched to another stream of the
     * programme: its events keep their moment, moved by what the output
     * gives it now less what the old line would have given it now.
     */
    int64_t cuts = r->desc.cuts ? r->desc.cuts(r->desc.unread_opaque) : 0;
    bool switched = restart && cuts > l->cuts;
    int64_t moved = switched ? want - (l->in_good + l->offset + us_to_ticks(now - l->good_at)) : 0;
    l->cuts = cuts;
    int64_t delta = want - in - l->offset;
    l->offset = want - in;
    if (delta)
        live_high_reset(l, now);
    if (!l->t0) {
        l->t0 = l->video_at = l->out_at = now;
        l->c0 = want;
    }
    if (switched)
        splice_source_switched(&r->loop->env, &r->rep, moved);
    else if (restart)
        splice_source_restart(&r->loop->env, &r->rep);
    else if (delta)
        splice_shift_points(&r->rep, delta);
    relay_write(r->loop, 0);
    /* An input faster than real time moves it at every GOP left out: its warning comes once a minute. */
    if (l->why != EVENT_TIMELINE_EARLY)
        live_emit(r, EVENT_TIMELINE_MOVED, l->why, key_pts, delta);
    l->gate = GATE_OPEN;
    l->cut_at = AV_NOPTS_VALUE;
    l->slate_on = 0;
    l->level = want;
    l->level_at = now;
    l->audio_from = key_pts;
    l->hold_until = l->stale_until = AV_NOPTS_VALUE;
    splice_mark_switch(pkt, SPLICE_SWITCH_KEY);
    return true;
}

/*
 * After a short loss that cost nothing (no slate, no break cut, the video
 * going on from where it stopped: the input was held up, not lost), the
 * programme goes on without waiting for a key frame: its audio at once,
 * its video from the packet that follows the last one let through.
 */
static bool live_unharmed(const relay *r, int64_t in, int64_t now, enum AVMediaType type)
{
    const relay_live *l = r->live;
    int64_t lag = in + l->offset - live_clock(l, now);

    if (l->why != EVENT_TIMELINE_RESUMED || l->slate_on || l->hold_until != AV_NOPTS_VALUE ||
        l->in_good == AV_NOPTS_VALUE || lag < l->lag - LIVE_LATE_TICKS || lag > l->lag + LIVE_EARLY_TICKS)
        return false;
    return type == AVMEDIA_TYPE_AUDIO || (in > l->in_good && in - l->in_good <= LIVE_HELD_UP_TICKS);
}

/*
 * A cue off the clock still counts (its splice time moves with the
 * programme's times when they move), but does not go to the muxer, which
 * would pad up to its time or refuse it.
 */
static int live_cue_only(const relay *r, const AVPacket *pkt)
{
    return r->in->streams[pkt->stream_index]->codecpar->codec_id == AV_CODEC_ID_SCTE_35 ? RELAY_CUE_ONLY : 0;
}

/*
 * A cue read while the programme waits for its times to move (it came back
 * late, or a GOP is left out of an input faster than real time) is kept
 * until the programme opens again: it then goes on at the key frame, its
 * pts_adjustment moved by the new offset, as if it had come then. One
 * beyond LIVE_HELD_CUES counts at once and is written as it came. Returns
 * RELAY_HELD when pkt was taken, else what becomes of it.
 */
static int live_hold_cue(relay *r, AVPacket *pkt)
{
    relay_live *l = r->live;
    if (r->in->streams[pkt->stream_index]->codecpar->codec_id != AV_CODEC_ID_SCTE_35)
        return 0;
    if (l->cue_count >= LIVE_HELD_CUES)
        return 1;
    l->cues[l->cue_count++] = pkt;
    return RELAY_HELD;
}

AVPacket *relay_live_held_cue(relay *r)
{
    relay_live *l = r->live;
    if (!l || l->gate != GATE_OPEN || l->cue_count == 0)
        return nullptr;
    AVPacket *pkt = l->cues[0];
    memmove(l->cues, l->cues + 1, --l->cue_count * sizeof(l->cues[0]));
    relay_adjust_cue(pkt, l->offset);
    pkt->dts = pkt->pts = l->level;
    return pkt;
}

/*
 * The input's arrival rate against the wall clock, over windows of
 * LIVE_WINDOW_TICKS of its lead stream; a loss starts it afresh.
 */
static void live_note_rate(relay_live *l, int64_t in, int64_t now)
{
    if (l->win_in == AV_NOPTS_VALUE || in < l->win_in) {
        l->win_in = in;
        l->win_at = now;
        return;
    }
    if (in - l->win_in < LIVE_WINDOW_TICKS)
        return;
    int64_t wall = us_to_ticks(now - l->win_at);
    l->arrival = (in - l->win_in) * 1000 / (wall > 0 ? wall : 1);
    l->win_in = in;
    l->win_at = now;
}

/*
 * Whether a key frame read after a loss, behind the clock, is part of a
 * backlog the source sends in a burst after a stall: the input arrives
 * faster than LIVE_BURST_RATE, or its rate since the loss is not known yet.
 * The programme then resumes further on, where the burst ends, with the
 * times it has, instead of twice: once late and once more when the burst
 * has caught up. One on time after a loss opens at once.
 */
static bool live_backlog(const relay *r, int64_t in, int64_t now)
{
    const relay_live *l = r->live;
    if (l->why == EVENT_TIMELINE_START || l->why == EVENT_TIMELINE_EARLY ||
        in + l->offset - live_clock(l, now) >= l->lag - LIVE_BACKLOG_TICKS)
        return false;
    return l->arrival == 0 || l->arrival > LIVE_BURST_RATE;
}

/*
 * While the programme waits for a key frame: cues go on when the offset
 * still holds, and are kept until it opens otherwise; after a cut ahead of
 * a GOP left out, audio shown before the cut still goes on (it may come
 * after the video); the rest is left out.
 */
static int live_waiting(relay *r, AVPacket *pkt, int64_t in, int64_t in_pts, int64_t now)
{
    relay_live *l = r->live;
    enum AVMediaType type = r->in->streams[pkt->stream_index]->codecpar->codec_type;

    if (live_unharmed(r, in, now, type)) {
        if (type == l->lead) {
            l->gate = GATE_OPEN;
            l->stale_until = AV_NOPTS_VALUE;
        }
        return 1;
    }
    /*
     * The demuxer hands a picture over when the next one begins: the first
     * after a loss is from before it. A key frame far behind that is a
     * source restarted on an earlier time line, and opens.
     */
    bool stale = l->stale_until != AV_NOPTS_VALUE && in <= l->stale_until &&
                 l->stale_until - in <= LIVE_HELD_UP_TICKS + LIVE_RESTART_TICKS;
    if (type == l->lead && (pkt->flags & AV_PKT_FLAG_KEY) && !stale && !live_backlog(r, in, now))
        return live_open(r, pkt, in, in_pts, now) ? 1 : 0;
    if (l->why == EVENT_TIMELINE_EARLY) {
        if (type == AVMEDIA_TYPE_AUDIO && l->cut_at != AV_NOPTS_VALUE && in_pts != AV_NOPTS_VALUE &&
            in_pts + l->offset < l->cut_at)
            return 1;
        live_count_excess(r, in, now);
    }
    if (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO)
        return 0;
    return l->why == EVENT_TIMELINE_START || l->why == EVENT_TIMELINE_RESUMED ? 1 : live_hold_cue(r, pkt);
}

/*
 * The input runs faster than real time: the programme is cut before pkt (a
 * packet of its lead stream), and what follows up to its next key frame is
 * left out, every stream alike; the key frame then takes up where the
 * pictures let through end (cut_at).
 */
static void live_cut_ahead(relay *r, int64_t in, int64_t in_pts, int64_t now)
{
    relay_live *l = r->live;
    l->gate = GATE_WAIT_KEY;
    l->why = EVENT_TIMELINE_EARLY;
    l->cut_at = l->shown_max != AV_NOPTS_VALUE ? l->shown_max + l->frame
                                               : (in_pts != AV_NOPTS_VALUE ? in_pts : in) + l->offset;
    ts_out_pass_rejoin(r->stage);
    live_count_excess(r, in, now);
}

/*
 * Where an input faster than real time is cut, at a packet of its lead
 * ahead of the clock by excess: at a key frame whose GOP the excess covers
 * (the GOP is left out whole), at the anchor picture from which the rest of
 * the GOP up to the next key frame, as far as the last GOP's length
 * foretells it, makes up the excess (the end of a GOP can go: nothing
 * refers to it), or anywhere once the excess reaches most.
 */
static bool live_cut_here(const relay_live *l, const AVPacket *pkt, int64_t in, int64_t in_pts, int64_t excess,
                          int64_t most)
{
    if (excess > most)
        return true;
    if (excess < LIVE_TRIM_TICKS || l->gop <= 0 || l->key_in == AV_NOPTS_VALUE)
        return false;
    if (pkt->flags & AV_PKT_FLAG_KEY)
        return excess >= l->gop;
    /*
     * An anchor (I or P picture) is shown after every picture before it;
     * B-pictures come in between. Anchors come a few pictures apart: the
     * rest may exceed the excess by two pictures (a gap that short) rather
     * than wait for the next GOP, by which the excess may reach most.
     */
    bool anchor = in_pts != AV_NOPTS_VALUE && (l->shown_max == AV_NOPTS_VALUE || in_pts + l->offset > l->shown_max);
    return anchor && l->key_in + l->gop - in <= excess + 2 * l->frame;
}

/* What a lead packet let through tells: its GOP, where it is shown, its length, whether pictures are reordered. */
static void live_note_lead(relay_live *l, const AVPacket *pkt, int64_t in)
{
    if (pkt->flags & AV_PKT_FLAG_KEY) {
        l->gop = l->key_in != AV_NOPTS_VALUE && in > l->key_in ? in - l->key_in : l->gop;
        l->key_in = in;
    }
    if (pkt->duration > 0)
        l->frame = pkt->duration;
    if (pkt->pts != AV_NOPTS_VALUE && (l->shown_max == AV_NOPTS_VALUE || pkt->pts > l->shown_max))
        l->shown_max = pkt->pts;
}

/*
 * Whether a packet of the open programme keeps to the clock. Its lead
 * stream decides for every stream: a lead packet far behind closes the
 * programme until the next key frame (it came back late); one ahead may
 * cut it (live_cut_here). Audio goes on while the lead does, unless far
 * behind. 1: it goes on; 0: left out; RELAY_CUE_ONLY for a cue.
 */
static int live_in_time(relay *r, AVPacket *pkt, int64_t in, int64_t in_pts, int64_t now)
{
    relay_live *l = r->live;
    int64_t lag = in + l->offset - live_clock(l, now);
    enum AVMediaType type = r->in->streams[pkt->stream_index]->codecpar->codec_type;
    bool lead = type == l->lead, settling = now - l->t0 < LIVE_SETTLE_US;
    /* While the lag of reference settles, a stream that runs ahead of the video raises it. */
    int64_t early = settling ? LIVE_LATE_TICKS : LIVE_EARLY_TICKS;

    /*
     * Far behind the clock, or a lead packet behind the last one let through
     * by more than a repeat (a source restarted a second or so back, which
     * its lag alone does not show): the muxer would refuse it.
     */
    bool back = lead && l->in_good != AV_NOPTS_VALUE && l->in_good - in > LIVE_BACK_TICKS;
    if (lag < l->lag - LIVE_LATE_TICKS || back) {
        if (lead) {
            l->gate = GATE_WAIT_KEY;
            l->why = EVENT_TIMELINE_LATE;
            ts_out_pass_rejoin(r->stage);
        }
        return live_cue_only(r, pkt);
    }
    /*
     * Ahead of the clock only beyond where the lead has been on time: an
     * input that came late for a while (its lag of reference followed it
     * down) and catches up is not cut, nor is its backlog after a hold.
     */
    int64_t high = live_high(l), ahead = lag - (high > l->lag ? high : l->lag);
    if (lead && !settling && live_cut_here(l, pkt, in, in_pts, ahead, LIVE_CUT_TICKS)) {
        live_cut_ahead(r, in, in_pts, now);
        return 0;
    }
    if (!lead && type != AVMEDIA_TYPE_AUDIO && lag > l->lag + early)
        return live_cue_only(r, pkt);
    /*
     * Audio of a new time line far ahead (a source switched or restarted
     * without a pause, its sound read before its first picture): left out
     * until its key frame re-bases it, or the muxer would get it an hour on.
     */
    if (!lead && type == AVMEDIA_TYPE_AUDIO && lag > l->lag + LIVE_RESTART_TICKS)
        return 0;
    if (lead || lag <= l->lag + early)
        live_follow(l, lag, now);
    if (lead && !settling)
        live_high_note(l, l->lag, now);
    if (lead && (pkt->flags & AV_PKT_FLAG_KEY))
        l->key_lag = lag;
    return 1;
}

/*
 * The programme's own spacing of packets, so that a loss is not seen in
 * it: a radio service's audio PES may each carry 100 ms and more. Gaps up
 * to LIVE_GAP_USUAL_MAX count, over this second and the one before.
 */
static void live_note_gap(relay_live *l, int64_t now)
{
    if (!l->packet_at)
        return;
    int64_t gap = now - l->packet_at;  // one that was taken for a loss counts too, when it is short
    if (gap > l->gap_max && gap <= LIVE_GAP_USUAL_MAX)
        l->gap_max = gap;
    if (now - l->gap_at >= 1000000) {
        l->gap_usual = l->gap_max;
        l->gap_max = 0;
        l->gap_at = now;
    }
}

/*
 * No programme packet this long (µs): the input is lost. A radio service's
 * spacing is not known before a second of its packets was seen: until then
 * its gaps count as LIVE_GAP_USUAL_MAX.
 */
static int64_t live_lost_after(const relay_live *l)
{
    int64_t seen = l->gap_usual > l->gap_max ? l->gap_usual : l->gap_max;
    if (l->lead == AVMEDIA_TYPE_AUDIO && l->gap_usual == 0)
        seen = LIVE_GAP_USUAL_MAX;
    int64_t usual = 2 * seen;
    return usual > l->loss_us ? usual : l->loss_us;
}

/* Video when the relay carries a video stream of the programme, else audio (a radio service). */
static int live_lead_type(const relay *r)
{
    for (int i = 0; i < r->stream_map_size && i < (int)r->in->nb_streams; i++)
        if (r->stream_map[i] >= 0 && r->in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            return AVMEDIA_TYPE_VIDEO;
    return AVMEDIA_TYPE_AUDIO;
}

int relay_live_admit(relay *r, AVPacket *pkt, int64_t now)
{
    relay_live *l = r->live;

    if (pkt->dts == AV_NOPTS_VALUE)
        return l->gate == GATE_OPEN;
    int64_t raw = ts_pts_wrap(pkt->dts);
    int64_t in = l->raw_last == AV_NOPTS_VALUE ? pkt->dts : l->in_last + ts_pts_diff(raw, l->raw_last);
    int64_t in_pts = pkt->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : in + ts_pts_diff(pkt->pts, pkt->dts);
    l->raw_last = raw;
    l->in_last = in;
    enum AVMediaType type = r->in->streams[pkt->stream_index]->codecpar->codec_type;
    if (l->lead < 0)
        l->lead = live_lead_type(r);
    if (type == l->lead && (l->video_read == AV_NOPTS_VALUE || in > l->video_read))
        l->video_read = in;
    if (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) {
        // The programme's packets tell whether the input is there; a stray cue does not.
        live_note_gap(l, now);
        l->packet_at = now;
        if (l->lost_at) {
            live_emit_outage(r, EVENT_INPUT_BACK, now - l->lost_at);
            l->lost_at = 0;
            l->break_cut = 0;
        }
    }

    if (type == l->lead)
        live_note_rate(l, in, now);
    int go = l->gate == GATE_OPEN ? live_in_time(r, pkt, in, in_pts, now) : live_waiting(r, pkt, in, in_pts, now);
    if (!go || go == RELAY_HELD)
        return go;
    const AVStream *ist = r->in->streams[pkt->stream_index];
    pkt->dts = in + l->offset;
    if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts = in_pts + l->offset;
    if (ist->codecpar->codec_id == AV_CODEC_ID_SCTE_35)
        relay_adjust_cue(pkt, l->offset);
    if (go == RELAY_CUE_ONLY)
        return go;
    if (ist->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && l->audio_from != AV_NOPTS_VALUE &&
        pkt->pts != AV_NOPTS_VALUE && pkt->pts < l->audio_from)
        return 0;
    if (ist->codecpar->codec_type == l->lead) {
        l->in_good = in;
        l->good_at = l->video_at = now;
        live_note_lead(l, pkt, in);
    }
    l->passed_at = now;
    if (l->level == AV_NOPTS_VALUE || pkt->dts > l->level) {
        l->level = pkt->dts;
        l->level_at = now;
    }
    return 1;
}

/* ------------------------------------------------------------------------ */
/* The wall clock's turn: loss, slate, keep-alive. */

/*
 * An event whose splice point the output reaches while the input is lost
 * starts and ends there (splice_start_in_outage): the slate airs in its
 * place up to its announced end, before which the programme does not
 * resume, so that audio and video are both the slate's or both the
 * programme's at every moment.
 */
static void live_start_in_outage(relay *r, int64_t now)
{
    relay_live *l = r->live;
    int64_t at = live_clock(l, now) + l->key_lag;
    int64_t end = splice_start_in_outage(&r->loop->env, &r->rep, at);
    if (end == AV_NOPTS_VALUE)
        return;
    relay_write(r->loop, 0);
    l->hold_until = end == INT64_MAX ? AV_NOPTS_VALUE : end;
    if (l->slate_us > 0 && !l->slate_on) {
        int64_t floor = live_floor(r), base = at - LIVE_SLATE_BEHIND;
        live_slate_start(r, base < floor ? floor : base);
    }
}

/*
 * No programme packet read for the threshold (live_lost_after): reported,
 * and the programme waits for its input. For LIVE_CUT_US (the threshold at
 * least): a break under way ends there
 * (input_lost) and the slate covers its rest. The silence runs from the
 * latest programme packet the reader read (heard), not from the latest the
 * loop took, and is not judged while the source holds input older than
 * LIVE_UNREAD_US that the reader has not taken: a loop or reader running
 * behind on a busy machine has not lost its input; nor while the source
 * switches to another input (desc.switching).
 */
static void live_check_lost(relay *r, int64_t now, int64_t heard)
{
    relay_live *l = r->live;
    int64_t last = heard > l->packet_at ? heard : l->packet_at;
    int64_t unread = r->desc.unread_since ? r->desc.unread_since(r->desc.unread_opaque) : 0;

    if (unread > 0 && now - unread >= LIVE_UNREAD_US)
        return;
    if (r->desc.switching && r->desc.switching(r->desc.unread_opaque))
        return;

    if (!l->lost_at && now - last >= live_lost_after(l)) {
        l->lost_at = last;
        l->stale_until = l->video_read == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : l->video_read + LIVE_HELD_UP_TICKS;
        live_emit_outage(r, EVENT_INPUT_LOST, now - last);
        ts_out_pass_rejoin(r->stage);  // what passes through may come back with other counters
        l->win_in = AV_NOPTS_VALUE;   // how fast it comes back is measured afresh
        l->arrival = 0;
        if (l->gate == GATE_OPEN) {
            l->gate = GATE_WAIT_KEY;
            l->why = EVENT_TIMELINE_RESUMED;
        }
    }
    if (!l->lost_at || now - last < (LIVE_CUT_US > l->loss_us ? LIVE_CUT_US : l->loss_us))
        return;
    live_start_in_outage(r, now);
    if (l->break_cut)
        return;
    l->break_cut = 1;
    int64_t end = splice_input_lost(&r->loop->env, &r->rep, live_clock(l, now) + l->lag);
    if (end == AV_NOPTS_VALUE)
        return;
    relay_write(r->loop, 0);
    l->hold_until = end == INT64_MAX ? AV_NOPTS_VALUE : end;
    int64_t floor = live_floor(r), base = live_clock(l, now) + l->key_lag - LIVE_SLATE_BEHIND;
    if (l->slate_us > 0)
        live_slate_start(r, base < floor ? floor : base);
}

/*
 * Whether the splice rules may withhold the programme from the muxer:
 * while a frame-accurate start is decided (its reordering delay's worth),
 * and while a break runs whose return is to be re-encoded (from the
 * filler's last picture shown before the end to the run's first one
 * decoded, the sound waiting for it).
 */
static bool live_withheld(const relay *r)
{
    const splice_accurate *a = r->loop ? r->loop->env.accurate : nullptr;
    return a && (a->withheld->count > 0 || (r->rep.state == SPLICING_STATE_STARTED && a->from == AV_NOPTS_VALUE));
}

/*
 * An empty packet on the EPG track (the clock track of a multiplex) at the
 * programme's level moves the muxer on: at a constant rate it writes null
 * packets, tables and PCRs up to there, and what passes through takes the
 * null packets' places. The interleaving queue is flushed, so nothing waits
 * for a silent stream. While a start or a return withholds the programme,
 * the packets read go nowhere near the muxer, so it is moved on as soon as
 * it is silent: otherwise the output stops for the hold (100-170 ms) and
 * then leaves in a burst, its PCRs that late.
 */
static int live_keep_alive(relay *r, int64_t now)
{
    relay_live *l = r->live;
    ts_out_stats st;

    if (ts_out_get_stats(r->stage, &st) == 0 && st.bytes_in != l->out_bytes) {
        l->out_bytes = st.bytes_in;
        l->out_at = now;
        return 0;
    }
    if (now - l->out_at < LIVE_KEEPALIVE_US || (now - l->passed_at < LIVE_QUIET_US && !live_withheld(r)) ||
        l->epg < 0)
        return 0;
    l->out_at = now;
    /*
     * Where the programme would be now: on from its latest packet, not ahead
     * of it, nor ahead of the clock (a programme cut ahead of a GOP left out
     * went out ahead of it: what it sent covers the wait).
     */
    int64_t dts = live_clock(l, now) + l->lag - LIVE_KEEPALIVE_BEHIND;
    if (l->level != AV_NOPTS_VALUE && l->level + us_to_ticks(now - l->level_at) - LIVE_KEEPALIVE_BEHIND < dts)
        dts = l->level + us_to_ticks(now - l->level_at) - LIVE_KEEPALIVE_BEHIND;
    if (r->last_dts[l->epg] != AV_NOPTS_VALUE && dts < r->last_dts[l->epg])
        dts = r->last_dts[l->epg];
    /* The track may also carry the clock a multiplex passing through kept before the start. */
    int64_t off = relay_muxer_offset(r);
    if (r->pass.clock_dts != AV_NOPTS_VALUE && dts + off < r->pass.clock_dts)
        dts = r->pass.clock_dts - off;
    int ret = relay_clock_write(r, l->epg, dts + off);
    if (ret >= 0)
        r->last_dts[l->epg] = dts;
    return ret;
}

int64_t relay_live_last_read(const relay *r)
{
    return r->live ? r->live->raw_last : AV_NOPTS_VALUE;
}

bool relay_live_started(const relay *r)
{
    return r->live && r->live->t0 != 0;
}

void relay_live_tick(relay *r, int64_t now, int64_t heard)
{
    relay_live *l = r->live;

    if (!l->t0 || r->ret_write < 0)
        return;
    if (l->epg < 0)
        live_find_epg(r);
    live_check_lost(r, now, heard);
    if (!l->slate_on && l->lost_at && l->gate != GATE_OPEN && l->slate_us > 0 && now - l->video_at >= l->slate_us) {
        int64_t floor = live_floor(r), base = live_clock(l, now) + l->key_lag - LIVE_SLATE_BEHIND;
        live_slate_start(r, base < floor ? floor : base);
    }
    int ret = 0;
    if (l->slate_on)
        ret = live_slate_feed(r, live_clock(l, now) + l->key_lag - LIVE_SLATE_BEHIND, now);
    else if (l->gate != GATE_OPEN && now - l->passed_at >= LIVE_QUIET_US && r->rep.state == SPLICING_STATE_STARTED) {
        /* A break under way goes on while the programme is away (its input held up, its source restarting). */
        splice_break_clock(&r->loop->env, &r->rep, live_clock(l, now) + l->key_lag - LIVE_KEEPALIVE_BEHIND);
        ret = relay_write(r->loop, 0);
    }
    if (ret >= 0)
        ret = live_keep_alive(r, now);
    if (ret < 0 && r->ret_write >= 0) {
        r->ret_write = ret;
        event ev = event_make(EVENT_WRITE_FAILED);
        ev.result = ret;
        event_emit(&r->desc.splice.events, &ev);
    }
}
