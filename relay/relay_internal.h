/*
 * The relay's own record, shared by the relay's sources, and the relay loop's rules
 * for single packets, for the unit tests: which output stream a packet goes
 * to, the timestamp it is given, whether the muxer would refuse it, and the
 * leading pictures left out after a switch. Not for the programs: they
 * drive the relay through relay.h (relay_result tells them how it ended).
 */
#ifndef KESTROW_RELAY_RELAY_INTERNAL_H
#define KESTROW_RELAY_RELAY_INTERNAL_H

#include <cstdint>

#include "relay/relay.h"
#include "splice/rep_ctx.h"
#include "splice/splice.h"
#include "ts/ts_out.h"

struct AVPacket;
struct ts_layout_ids;

#define RELAY_STREAM_PASSED -2  // stream_map: the stream passes as TS packets (relay_pass_stream)

/* Video stream whose leading pictures are being left out after a switch onto a key frame. */
struct relay_gop_watch {
    int stream;                    // output index; -1: none
    int64_t key_pts;               // pts of the switch's key frame
    int dropped;                   // leading pictures left out so far
};

/*
 * A multiplex passing through: every PID no relayed stream carries leaves
 * as TS packets (ts/ts_pass.h); the muxer's clock is kept going while the
 * relayed streams are silent (relay_pass.cpp).
 */
struct relay_passing {
    int on;                        // the input filter chose a programme: its streams are relayed, the rest passes
    int program;                   // its program_number
    int unspliceable;              // event_unspliceable_reason: none of its video can be relayed; -1: it can
    int clock_stream;              // output index of the empty track that keeps the muxer's clock; -1: none
    int64_t idle_since;            // input time (27 MHz) read by the last write of a relayed packet; TS_TIME_NONE
    int64_t clock_dts;             // last dts written on the clock track; AV_NOPTS_VALUE
    int64_t ref_dts;               // last dts of a relayed packet written (90 kHz); AV_NOPTS_VALUE
    int64_t video_read_dts;        // last dts of a relayed video packet read (90 kHz, the demuxer's); AV_NOPTS_VALUE
    int64_t video_read_at;         // input time (27 MHz) of that read; TS_TIME_NONE
    int clock_error;               // a write on the clock track failed: the loop ends with it
    int64_t written;               // relayed packets the muxer took
    int64_t dropped_told;          // passthrough drops reported so far
    int64_t told_at;               // input time (27 MHz) of that report; TS_TIME_NONE: none yet
    int64_t tick_at;               // input time (27 MHz) the clock track last looked; TS_TIME_NONE
    int64_t input_at;              // the input time last read (27 MHz), and the wall clock then (µs); TS_TIME_NONE
    int64_t input_wall;
};

/*
 * A file's time lines: a jump of more than RELAY_MAX_DTS_JUMP in the
 * programme's pictures or sound starts a new one, moved to follow the last
 * (relay_follow_line); the one before stays known, for the packets of the
 * other streams still on it and for a single broken timestamp.
 */
struct relay_lines {
    int64_t offset;                // 90 kHz added to the current line's timestamps
    int64_t last;                  // its highest dts read (unmoved); AV_NOPTS_VALUE: no line yet
    int64_t prev_offset;           // the line before it
    int64_t prev_last;             // AV_NOPTS_VALUE: none
};

struct relay {
    relay_desc desc;
    AVFormatContext *in;           // the caller's
    ts_in *filter;                 // the caller's; null: the input has none
    AVFormatContext *out;          // owned
    ts_out *stage;                 // owned; null for an output that needs no file
    const filler_ctx *filler;      // the caller's
    int32_t *stream_map;           // input index -> output index; -1: none
    int32_t stream_map_size;
    int64_t *last_dts;             // per output stream: last dts written
    int64_t *next_dts;             // per input stream (map size): predicted dts of the next packet
    struct h264_join *joins;       // per output stream: H.264 joins at switches (h264_join.h)
    unsigned join_count;
    rep_ctx rep;
    relay_gop_watch gop;
    int ret_read;                  // last av_read_frame result
    int ret_write;                 // last av_interleaved_write_frame result
    int pcr_primed;                // the muxer's PCR start has been set (see relay_prime_pcr)
    int64_t mux_offset;            // 90 kHz added to the demuxer's timestamps for the muxer; AV_NOPTS_VALUE:
                                   // not chosen yet (relay_mux_offset)
    int failed_step;               // event_setup_step of a failed set-up; -1: none
    relay_passing pass;
    struct relay_live *live;       // owned; the live input's time line, with desc.live
    struct relay_pes *pes;         // owned; the input's whole-PES reading
    relay_lines lines;             // a file's time lines (not live)
    int64_t checks_told[TS_OUT_CHECK_COUNT];  // the output's failed checks reported so far
    int64_t checks_at[TS_OUT_CHECK_COUNT];    // µs (monotonic) of each one's last report; 0: none
    int64_t checks_input_at;                  // µs of the last report of the input's continuity breaks; 0: none
    struct relay_loop *loop;       // relay_run's working set while it runs; null otherwise
};

/* The loop's working set for one relay_run. */
struct relay_loop {
    relay *r;
    packets_queue *in_queue;  // read-ahead backlog before the splice rules
    packets_queue *out_queue; // what the rules let through, before the muxer
    packets_queue *held;      // audio the splice rules hold while a break is armed
    splice_env env;
    int64_t dts_max;          // highest dts read; AV_NOPTS_VALUE before the first
    unsigned reads;           // packets read, for the progress events
    bool write_failed;        // the muxer failed: nothing more is written
};

/*
 * Writes the oldest queued packets while at least keep are queued (keep 0:
 * all), leaving out what the muxer would refuse and the leading pictures
 * after a switch. Returns 0 or the muxing error, reported.
 */
int relay_write(relay_loop *loop, int keep);

/*
 * Moves the muxer's clock to dts (90 kHz on the muxer's line): an empty
 * packet on output stream stream (the EPG or clock track), the PCR primed
 * first when it was not, and the interleaving queue flushed, so that at a
 * constant rate the muxer pads up to there (null packets, tables, PCRs).
 * The clock track's last dts becomes dts. 0 or the muxing error.
 */
int relay_clock_write(relay *r, int stream, int64_t dts);

/*
 * A cue section's pts_adjustment moved by offset (90 kHz, modulo 2^33), so
 * that its splice time follows the programme's times when they are moved;
 * CRC_32 follows. A section whose CRC does not match goes as it came.
 */
void relay_adjust_cue(AVPacket *pkt, int64_t offset);

/* The 90 kHz added to the relay's timestamps as the muxer gets them (see relay_mux_offset). */
int64_t relay_muxer_offset(const relay *r);

/* The last dts read from a live input (its own time line, modulo 2^33); AV_NOPTS_VALUE before the first. */
int64_t relay_live_last_read(const relay *r);

/* Whether the live output's clock runs (the programme's first video key frame went out). */
bool relay_live_started(const relay *r);

/* The live input's time line (relay_live.cpp): its state, allocated with the relay. 0 or -12. */
int relay_live_create(relay *r);
void relay_live_destroy(relay *r);

/*
 * The input's whole-PES reading (relay_pes.cpp): its state, allocated with
 * the relay. 0 or -ENOMEM.
 */
int relay_pes_create(relay *r);
void relay_pes_destroy(relay *r);

/*
 * av_read_frame for both programs: video parsers are told that each PES
 * holds whole pictures (the picture a parser held then goes out in its
 * turn), and a PES the demuxer gives in parts is joined again. Returns as
 * av_read_frame.
 */
int relay_pes_next(relay *r, AVPacket *pkt);

/*
 * A live input's packet read at now (µs, monotonic), stamped and mapped:
 * its times are put on the output's clock. Returns 1 when it goes on, 0
 * when it is left out (before the programme's key frame, behind or ahead
 * of the clock), RELAY_CUE_ONLY for a cue that counts but is not written,
 * RELAY_HELD for a cue it took.
 */
#define RELAY_CUE_ONLY 2
#define RELAY_HELD     3  // a cue the live relay keeps until the programme's times are known (relay_live_held_cue)
int relay_live_admit(relay *r, AVPacket *pkt, int64_t now);

/* A cue kept by relay_live_admit, once the programme is open again, timed at its key frame; null: none. */
AVPacket *relay_live_held_cue(relay *r);

/*
 * The wall clock's turn while relay_run runs: loss, slate, keep-alive (see
 * relay_tick). heard: when the reader last read an audio or video packet
 * (µs, monotonic; 0: never), which the loop may not have taken yet.
 */
void relay_live_tick(relay *r, int64_t now, int64_t heard);

/*
 * Output stream for input stream i: its map entry, or, for a stream the
 * demuxer added after set-up, the first output stream with the same id
 * (EVENT_STREAM_ATTACHED, and kept in the map). Returns -1 when the stream
 * has no output stream, RELAY_STREAM_PASSED when it passes as TS packets.
 */
int relay_map_stream(relay *r, int i);

/*
 * The timestamp rule. A packet without dts takes the one predicted from the
 * previous packet of its own stream (its dts plus its duration), as a stream
 * copy does, its pts left for the muxer to fill in; lacking that, its own
 * pts. A packet of a stream that never had a timestamp keeps none: it is
 * never stamped with another stream's time. Returns false for a packet
 * without timestamps before the session's first one: it is left out.
 */
bool relay_stamp(relay *r, AVPacket *pkt, int64_t first_dts);

/*
 * Why the muxer would refuse pkt, as a trace tag, or null. A packet whose dts
 * does not come after the last one written on its stream, by at most
 * RELAY_MAX_DTS_REPEAT, is a repeat (a datagram received twice) or left over
 * from a damaged stretch of input; so is one with a pts before its dts. The
 * muxer would fail on either and end the session, so they are left out. A
 * stream that goes further back is a jump, left to the muxer.
 */
const char *relay_refused(const relay *r, const AVPacket *pkt);

/*
 * Leading pictures after a video switch, in writing order. The packet the
 * splice rules marked as a switch (splice_switch_of) starts the stream
 * afresh (relay_switched: H.264 join, HEVC broken link) and, on a key frame
 * that opens a GOP, its leading pictures: with an open GOP the pictures
 * that follow the key frame in decoding order but are shown before it
 * reference pictures of the GOP before, which the switch removed. They
 * cannot be decoded and are left out, until the first picture shown at or
 * after the key frame; EVENT_LEADING_DROPPED then says how many. Closed
 * GOPs have none. The mark is cleared. Returns true when pkt is left out.
 */
bool relay_leading(relay *r, AVPacket *pkt);

/*
 * The muxer's PCR started max_delay before first_dts (of output stream
 * stream's first packet), or earlier for what passes through, with an
 * empty packet on the EPG track (see relay.cpp). Returns 0 or the muxing
 * error; marks the PCR primed either way.
 */
int relay_prime_pcr(relay *r, int stream, int64_t first_dts);

/* An empty packet (one stuffing byte: no section) on output stream stream at dts, through the
 * interleaver. 0 or the muxing error. */
int relay_write_empty(relay *r, int stream, int64_t dts);

/* relay_pass.cpp: a multiplex through the relay. */

/* Passthrough queue size (packets) for an input of rate bit/s (0: unknown), live or a file. */
int relay_pass_capacity(int64_t rate, bool live);

/*
 * Turns passthrough on when the input filter chose a programme (id: its
 * identity) and reports the choice, and, when it cannot be spliced (none
 * of its video can be relayed), why (EVENT_PROGRAMME_UNSPLICEABLE); fails,
 * reported, with AVERROR_STREAM_NOT_FOUND when the programme asked for is
 * not in the input. 0 otherwise (passthrough stays off without a choice).
 */
int relay_pass_begin(relay *r, const ts_identity *id);

/* Whether input stream i passes as TS packets instead of through the muxer:
 * another programme's, the input's EIT, a stream of the programme that
 * cannot be demultiplexed (scrambled, unknown codec: reported), or any but
 * its cues when the programme cannot be spliced. */
bool relay_pass_stream(relay *r, const ts_identity *id, int i);

/*
 * Whether the demuxer's time for a section of input stream i is stale: it
 * times an SCTE-35 section by the last PCR of the first programme that
 * lists the PID, and when that is not the chosen programme (a cue PID two
 * programmes share), that programme's PCR PID is hidden from the demuxer.
 */
bool relay_pass_cue_untimed(const relay *r, int i);

/* PID of the track that carries the muxer's clock: 0x12 unless the input uses it. */
int relay_clock_pid(const relay *r);

/* Tells the input filter which PIDs the relay carries, hands its queue to
 * the output stage with the output's identity ids, and starts the ticks
 * that keep the muxer's clock going. 0 or the error. */
int relay_pass_attach(relay *r, const ts_identity *id, const ts_layout_ids *ids);

/* dts (90 kHz, next to ref modulo 2^33, 30 s before it at most; ref on the muxer's line) at which the muxer's PCR is to
 * start so that the oldest packet waiting to pass through finds its place; AV_NOPTS_VALUE: none. */
int64_t relay_pass_start_dts(const relay *r, int64_t ref);

/* A relayed packet of output stream stream with dts (on the muxer's line) was written. */
void relay_pass_wrote(relay *r, int stream, int64_t dts);

/*
 * A relayed packet (pkt, the demuxer's) was read. While the splice rules
 * hold or drop what the programme sends (at a break's start or return), the
 * clock track moves the muxer's clock no further than the programme's
 * pictures read: what is still to be written would otherwise go out late,
 * and the output's delay would grow by the hold.
 */
void relay_pass_read(relay *r, const AVPacket *pkt);

/*
 * What is added to the demuxer's timestamps (90 kHz) as the muxer gets them,
 * chosen at the first relayed packet, of dts (90 kHz, the demuxer's): one
 * 33-bit wrap, or, when the clock track wrote before (it follows the input's
 * PCRs, one wrap up), the multiple of 2^33 that puts dts next to the clock
 * track's last dts, so that the muxer never sees its time jump by a wrap.
 */
int64_t relay_mux_offset(const relay *r, int64_t dts);

/*
 * The input's time went on (the loop calls it after every packet and every
 * yield of the input filter, and on the wall clock's turn): keeps the
 * muxer's clock going while nothing is relayed, until a live output's own
 * clock runs. Acts at most every 20 ms of input time. wall: the live loop's
 * clock (µs, monotonic), by which the input's time goes on while it is
 * lost; 0 for a file.
 */
void relay_clock_tick(relay *r, int64_t wall);

/* relay_feed.cpp: a live input's demuxer on a thread of its own. */
struct relay_feed;

/*
 * Starts the reader thread on r's input, which from now on is touched only
 * between relay_feed_take and relay_feed_give. 0, or AVERROR(ENOMEM) or the
 * thread's error.
 */
int relay_feed_start(relay *r, relay_feed **out);

/*
 * The next packet read and the time it was read at (µs, monotonic), waiting
 * until deadline (µs, monotonic) at most; call it without the lock. 1 with
 * a packet (the caller's); 0 when none came by the deadline; the reader's
 * end (AVERROR_EOF, AVERROR_EXIT or its error) once the queue is empty.
 */
int relay_feed_next(relay_feed *f, AVPacket **pkt, int64_t *at, int64_t deadline);

/* When the reader last read an audio or video packet (µs, monotonic); 0: none yet. */
int64_t relay_feed_heard(relay_feed *f);

/* The input's lock, taken ahead of the reader's next turn, and given back. */
void relay_feed_take(relay_feed *f);
void relay_feed_give(relay_feed *f);

/* Ends the reads (the source's wait returns), joins the thread, frees what it queued; *p becomes null. */
void relay_feed_stop(relay_feed **p);

/* At the end of the input: the muxer's clock moved on to the last input read (16 s at most),
 * so that what still waits to pass through finds places before the trailer. */
void relay_pass_finish(relay *r);

/* Reports passthrough drops (EVENT_PASS_DROPPED): new ones at most every 5 s of input, and when final. */
void relay_pass_report(relay *r, bool final);

#endif
