/*
 * Splice rules shared by the service and the demo: a splice_insert cue with a
 * splice time arms a break; the first video key frame at the splice point
 * starts it (with frame-accurate splices, splice_accurate, the picture at the
 * point: splice_start.cpp); from there the programme's
 * video and audio packets are replaced by the filler's packets of the same
 * stream id, re-timed onto the programme's clock; the first video key frame at the end of the break returns the video,
 * each audio stream returns at the next source packet boundary. With a
 * planner (a traffic schedule) a break airs a sequence instead: the spots
 * the planner names that fit, back to back from the start key frame, then
 * the filler looped up to the key frame of the break's end; an open break
 * (no duration) loops the filler too (splice_content.cpp).
 *
 * The caller drives the rules one packet at a time and owns the loop around
 * them (queues, stream mapping, muxing). Everything the rules let through or
 * produce goes into the caller's queue, in writing order, with the packets
 * at which the video switches marked (splice_switch).
 */
#ifndef KESTROW_SPLICE_SPLICE_H
#define KESTROW_SPLICE_SPLICE_H

#include <cstddef>
#include <cstdint>

#include "event/event.h"
#include "splice/rep_ctx.h"

struct AVFormatContext;
struct AVPacket;
struct AVStream;
struct filler_ctx;
struct packets_queue;
struct scte35_section;

#define SPLICE_KEY_LEAD 9000  // ticks a key frame may come before the nominal start or end
#define SPLICE_HELD_MAX 256   // capacity of the caller's queue of audio held while armed
#define SPLICE_HELD_ACCURATE 1024  // the same with frame-accurate returns: a break's last GOP of sound waits
#define SPLICE_PLAN_LEAVE (-1)  // a planner's answer: the programme stays on air

/* A break about to start, as a planner sees it. */
struct splice_break {
    uint32_t id;           // splice_event_id (or segmentation_event_id)
    int64_t point;         // the cue's splice point; REP_NOW: immediate
    int64_t start;         // pts of the key frame that starts it
    int64_t duration;      // announced; 0 without one
    int open;              // it lasts until its end cue (or --max-break)
};

/*
 * What airs in each break (a traffic schedule). plan is called at the key
 * frame that starts a break, on the packet path: it must not wait for a
 * file or a lock held long. It fills at most max spots, in airing order,
 * each with its info and its media (null: unusable; media stays valid and
 * unchanged until the planner has been called twice more, every stream is
 * back on the programme (EVENT_IDLE) or the session ended), and returns their count, or SPLICE_PLAN_LEAVE to leave the
 * programme on air. With a planner every break's content runs up to the
 * break's end: the spots that fit, then the filler looped.
 */
struct splice_planner {
    int (*plan)(void *opaque, const splice_break *b, rep_spot *spots, int max);
    void *opaque;
};

struct splice_timing;
struct trace_sink;

/*
 * What the program sets for the splice rules: where their events go and the
 * options they follow. The relay's description embeds it (relay_desc.splice)
 * and the rules read it in place, through splice_env.
 */
struct splice_desc {
    event_sink events;             // what the splice rules and the relay report
    const trace_sink *trace;       // where the packet traces and detail lines go; null: none
    int verbose;                   // write the per-packet traces and detail lines
    int time_signal_breaks;        // time_signal segmentation descriptors start and end breaks
    const splice_planner *planner; // the breaks' spots (a traffic schedule); null: every break airs the filler
    int open_breaks;               // a splice_insert out cue without break_duration lasts until its return cue
    int64_t max_break;             // ticks an open break may last at most; 0: no bound
    const splice_timing *timing;   // the caller's, read while the relay runs; null: splice_timing_default()
    int64_t run_budget_us;         // > 0: the pictures a frame-accurate start re-encodes are encoded on a thread
                                   // of their own, the video behind them waiting at most this long (live);
                                   // 0: on the packet that decides (a file: nothing waits for the clock)
};

/*
 * When a cue is taken, as the operator sets it: a bogus cue far ahead must
 * not block real ones, and a cue that comes after its splice point airs
 * only what is left of its break.
 */
struct splice_timing {
    int max_pending;       // events kept beside the armed or running one (0 to REP_MAX_PENDING)
    int64_t max_cue_lead;  // ticks: a splice point further ahead of its cue is not taken (too_far)
    int64_t late_join;     // ticks: a cue this late or less joins its break late; a later one is not taken
};

#define SPLICE_MAX_PENDING_DEFAULT 16
#define SPLICE_MAX_CUE_LEAD_DEFAULT (INT64_C(600) * 90000)
#define SPLICE_LATE_JOIN_DEFAULT (INT64_C(2) * 90000)

/* The defaults: 16 pending events, 600 s of lead, 2 s of late join. */
inline splice_timing splice_timing_default(void)
{
    return {SPLICE_MAX_PENDING_DEFAULT, SPLICE_MAX_CUE_LEAD_DEFAULT, SPLICE_LATE_JOIN_DEFAULT};
}

struct reencode;

/* Programme video pictures a break holds for a frame-accurate return: the last GOP read. */
#define SPLICE_GOP_MAX 600
/* Decoded pictures a frame-accurate start keeps: the longest run re-encoded before a splice point. */
#define SPLICE_START_RING 8
/* Programme video packets a frame-accurate start withholds from the first one shown at the point on. */
#define SPLICE_START_WITHHELD 32
/* Leading pictures an open GOP's key frame may wait for before it ends a frame-accurate return. */
#define SPLICE_JOIN_MAX 16
/* Video packets that may wait behind a start's run being encoded (splice_desc.run_budget_us); more: it is waited for. */
#define SPLICE_RUN_GATED 256

struct gop_pic;

/*
 * What a frame-accurate return needs across a session: the programme
 * video's packets read during the running break from its last key frame on
 * (they are not aired; at most SPLICE_GOP_MAX, a longer GOP is given up),
 * the re-encoder (made at the first return) and the run it is fed, whether
 * the video's codec was refused, and the returns that fell back to the key
 * frame.
 */
struct splice_accurate {
    packets_queue *gop;        // the programme video from its last key frame read (outside a break too, for a start
                               // armed in mid-GOP); capacity SPLICE_GOP_MAX
    packets_queue *run;        // the run's packets encoded so far, in decoding order; capacity SPLICE_GOP_MAX
    int running;               // the run of the return is fed: the GOP held shows a picture at or after the end
    int decoding;              // the GOP held, the last before the end, is decoded as it comes (no encoder yet)
    int failed;                // the run of this GOP failed: the return stays on the key frame
    int why;                   // event_fallback of a run given up (its input broke); NONE: decided at the return
    int64_t from;              // the run's first picture aired: the programme is back there; AV_NOPTS_VALUE: not yet
    int64_t lead;              // the run's dts are its pts less this (the programme's largest reordering lead)
    int64_t last_dts;          // of the run's last packet queued
    int aired;                 // the run's packets queued
    reencode *enc;
    int refused;               // the programme's codec or profile cannot be re-encoded here
    int open_gop;              // the programme's GOPs are open (a leading picture seen): returns join their key frame
    int leading;               // leading pictures after the last key frame read (open GOPs)
    AVPacket *joining;         // open GOPs: the key frame that ends the break, held while its leading pictures are
                               //   fed to the run (they are shown before it); null: none
    int join_leading;          // those fed so far
    int joined;                // the key frame held is let go: it ends the break now
    int64_t fallbacks;         // returns that fell back to the programme's key frame
    rep_stream *air;           // the video record the running run airs on (its output stream air_stream): live,
    int air_stream;            //   it airs as the re-encoder's thread hands its pictures over, on any packet read
    /* the start of the armed break (splice_start.cpp) */
    gop_pic *pics;             // the GOP decoded toward the point, decoding order; capacity SPLICE_GOP_MAX
    int npics;                 // 0: none decoded
    packets_queue *withheld;   // its packets from the first shown at or after the point on; SPLICE_START_WITHHELD
    int64_t point;             // the armed point decoded toward; AV_NOPTS_VALUE: none
    int64_t aim;               // where its start is decided: the point, or the first picture after those shown
                               // from it on that had gone out when it was armed (a cue read that late)
    int aim_why;               // event_fallback: why aim is past the point (late_cue, no_gop); NONE: it is the point
    int start_why;             // event_fallback: why the armed break starts on a key frame; NONE: not known yet
    int64_t gop_len;           // ticks from one key frame to the next, as last read; 0: unknown
    int gop_steady;            // gop_len is the length of the GOP before that one too
    int64_t key_pts;           // of the programme's last key frame read; AV_NOPTS_VALUE: none
    int64_t bytes;             // programme video read while armed since first_dts: the run's rate
    int64_t first_dts;         // AV_NOPTS_VALUE: nothing read yet
    int64_t gop_rate;          // bit/s of the programme video's last whole GOP held; 0: none yet
    /* the start's run, encoded on the re-encoder's thread (splice_desc.run_budget_us) */
    int run_stream;            // output stream whose video waits for it; -1: none waits
    int run_count;             // its pictures
    int64_t run_dts[SPLICE_START_RING];  // their decoding times
    int64_t run_since;         // wall clock (us) when it was handed over
    int run_dropped;           // left out, still being encoded: its packets are freed when it ends
    packets_queue *gated;      // that stream's packets queued since, in order; capacity SPLICE_RUN_GATED
    int64_t runs_left_out;     // starts whose run was left out (late, or failed)
    /* the filler's pictures shown before a return that reference one shown after it (splice_tail.cpp) */
    struct filler_tail *tail;  // its run, planned and encoded ahead; null: none yet
    int64_t tails;             // filler pictures re-encoded before returns
};

/* 0 with *out set, or AVERROR(ENOMEM). */
int splice_accurate_create(splice_accurate **out);
/* Frees *a (its packets and re-encoder) and sets it to null; null is fine. */
void splice_accurate_destroy(splice_accurate **a);

struct splice_env {
    AVFormatContext *out;      // output context: traces, output stream count
    const filler_ctx *filler;
    packets_queue *queue;      // the packets produced go here, in writing order
    /*
     * Audio held back while a break is armed (capacity SPLICE_HELD_MAX, or
     * SPLICE_HELD_ACCURATE with frame-accurate returns; null: nothing is
     * held). A demuxer returns a video frame only once the next one begins,
     * so the audio packets around the splice point come out before the key
     * frame that starts the break. They wait here until the video shows
     * whether they lie before the break or in it; with frame-accurate
     * returns the sound from a running break's end on also waits for the
     * key frame that decides where the programme is back.
     */
    packets_queue *held;
    const splice_desc *desc;   // the program's sinks and options (the relay's relay_desc.splice)
    splice_accurate *accurate;  // frame-accurate returns; null: breaks return at the programme's key frame
};

/*
 * Cue intake for one packet of the cue stream: trace, decode (reported with
 * the cue's bytes), then the decision splice_on_cue takes. pkt stays the
 * caller's and is not changed. A cue packet without pts is still acted on:
 * its own splice time counts, and clock (the session's latest dts, or
 * AV_NOPTS_VALUE) stands in as its time. Returns the parser's result.
 */
int splice_cue(const splice_env *env, rep_ctx *rep, const AVStream *ist, const AVPacket *pkt,
               int64_t clock);

/*
 * End of the session: the filler video a running break still holds back is
 * queued and the break is reported ended; the armed and pending events are
 * reported expired. rep is reset.
 */
void splice_session_end(const splice_env *env, rep_ctx *rep);

/*
 * A running break ends where it is, for reason (an event_end_reason): the
 * filler video it holds back is queued and EVENT_BREAK_ENDED reports what
 * aired. rep is left as it was otherwise (the caller decides what comes
 * next). Returns the point where the break was to end (INT64_MAX for a
 * break without an end), or AV_NOPTS_VALUE when no break was running.
 */
int64_t splice_break_cut(const splice_env *env, rep_ctx *rep, int reason);

/*
 * The input was lost during a break (EVENT_END_INPUT_LOST): the break ends
 * as splice_break_cut says, and the first pending event is armed, or
 * the rules go idle; the last event is still known, so that its repeats
 * after the outage change nothing. Returns what splice_break_cut returns.
 */
int64_t splice_input_lost(const splice_env *env, rep_ctx *rep, int64_t now);

/*
 * The armed event's splice point came while the input is lost (now: where
 * the output stands, on its clock): the break starts there and ends there
 * at once (EVENT_BREAK_STARTED, its spots cut short with nothing aired,
 * EVENT_BREAK_ENDED with EVENT_END_INPUT_LOST), as the programme it would
 * have replaced did not come; the slate stands in for it up to its end.
 * Returns the announced end (INT64_MAX for an open break), or
 * AV_NOPTS_VALUE when no armed point is reached (nothing happens).
 */
int64_t splice_start_in_outage(const splice_env *env, rep_ctx *rep, int64_t now);

/*
 * While the programme is away during a break (its input lost for a moment,
 * or its source restarted and its next key frame still to come), the
 * break's content goes on by the clock: every replaced stream gets what
 * begins before until (the output's time), filler pictures held as usual.
 * Nothing when no break runs.
 */
void splice_break_clock(const splice_env *env, rep_ctx *rep, int64_t until);

/*
 * The source restarted on a new time line: the points of its cues are no
 * longer reached. The armed and the pending events are cancelled
 * (EVENT_CANCEL_SOURCE_RESTART); a break under way goes on to its end (the
 * programme's times are moved onto the output's clock, so its end is still
 * ahead), as a return cue of the new time line may end it; otherwise held
 * audio goes to the queue and rep is reset.
 */
void splice_source_restart(const splice_env *env, rep_ctx *rep);

/*
 * The source switched to another source of the same programme on another
 * time line, delta ticks the output time of a moment on the new line less
 * the one it had on the old (measured at the switch): the armed, pending
 * and last events keep their moment, their points moved by delta; a break
 * under way goes on to its end; held pictures and audio go to the queue.
 */
void splice_source_switched(const splice_env *env, rep_ctx *rep, int64_t delta);

/*
 * The programme's times moved by delta ticks (the same content, later or
 * earlier on the output's clock): the points of the armed, pending and last
 * events move with it. A running break keeps its times.
 */
void splice_shift_points(rep_ctx *rep, int64_t delta);

/*
 * The splice point of a cue: (pts_time + pts_adjustment) modulo 2^33, on the
 * packets' unwrapped time line at the value nearest near (the cue packet's
 * own pts; AV_NOPTS_VALUE: the 33-bit value itself).
 */
int64_t splice_point_near(int64_t pts_time, int64_t pts_adjustment, int64_t near);

/*
 * What a decoded cue, received in a packet with pts cue_pts (AV_NOPTS_VALUE:
 * unknown), does to rep; every decision is reported with the event's id:
 *  - out (splice_insert with out_of_network_indicator 1, or with
 *    time_signal_breaks a segmentation start type): arms a new event when
 *    idle; one repeating the armed, running, a pending or the last event
 *    (same source, id and splice point) is a repeat; another event while
 *    one is armed or running waits in the pending list, ordered by splice
 *    point (the earlier of it and the armed one is armed), and ends the
 *    running break at its own point when that comes first. Past the
 *    timing's max_pending the farthest pending event is dropped. A pending
 *    event is armed when the one before it ends or is cancelled;
 *  - timing (known cue_pts, not immediate): a splice point more than
 *    max_cue_lead ahead is not taken (too_far); a cue after its splice point
 *    by up to late_join (and less than its duration) joins the break late:
 *    it starts at the next key frame and ends at splice point + duration;
 *    later, it is not taken (late);
 *  - return (out_of_network_indicator 0, or the matching segmentation end):
 *    the running break ends at the first key frame at its point;
 *  - cancel: disarms the armed event or drops the pending one of its id; a
 *    running break is not cancelled;
 *  - immediate: the point is the next video key frame read.
 * A section with a CRC mismatch or encrypted, a component-mode
 * splice_insert, a time_signal without time_signal_breaks and the other
 * commands are ignored, each with its reason (a splice_schedule once per
 * event it carries). Returns 1 when rep changed, 0 when not.
 */
int splice_on_cue(const splice_env *env, rep_ctx *rep, const scte35_section *cue, int64_t cue_pts);

/*
 * The splice rules for one packet whose stream index is already the output
 * index; ist is its input stream (codec type and stream id). Takes pkt: it
 * is queued (its duration cut where the audio switches), held, or dropped
 * for the filler, whose packets are queued as clones of the store's. A
 * packet the queue refuses is freed and reported (EVENT_QUEUE_REFUSED), once
 * each. Returns 0, or -ENOMEM when the queue refused a packet during the call.
 */
int splice_packet(const splice_env *env, rep_ctx *rep, const AVStream *ist, AVPacket *pkt);

/*
 * Where the video switches, marked by the rules on the packet they queue
 * there (in its opaque field, which the muxer does not read): the filler's
 * first packet at the key frame that starts a break, the programme's key
 * frame that ends it, or the programme's packet at hand when the filler's
 * video ran out. The writer joins the stream there (H.264, HEVC) and, on a
 * key frame, leaves out the leading pictures that follow it.
 */
enum splice_switch {
    SPLICE_SWITCH_NONE = 0,
    SPLICE_SWITCH_KEY,       // onto a key frame that opens a GOP
    SPLICE_SWITCH_MID_GOP,   // back onto the programme's packet at hand: no key frame
};

/* Marks pkt with mark (a splice_switch; SPLICE_SWITCH_NONE clears it). */
void splice_mark_switch(AVPacket *pkt, int mark);

/* The splice_switch mark of a packet. */
int splice_switch_of(const AVPacket *pkt);

/* Moves every held audio packet, unchanged and in order, to the queue (end of input). */
void splice_release_held(const splice_env *env);

/*
 * Ticks one pass of media's video stream on PID id lasts: from its first
 * dts to the end of its last packet. 0 when it has no such stream.
 */
int64_t splice_video_length(const filler_ctx *media, int id);

/*
 * Ticks to add to the filler's video presentation times so that a filler
 * with a longer reorder delay than the programme's keeps pts >= dts.
 * programme_delay is pts - dts of the programme's key frame at the splice.
 */
int64_t splice_video_pts_shift(const filler_ctx *filler, int fi, int64_t programme_delay);

#endif
