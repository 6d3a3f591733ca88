/*
 * The relay loop's rules for single packets, for the unit tests: which
 * output stream a packet goes to, the timestamp it is given, whether the
 * muxer would refuse it, and the leading pictures left out after a switch.
 * Not for the programs: they drive the relay through relay.h.
 */
#ifndef KESTROW_RELAY_RELAY_INTERNAL_H
#define KESTROW_RELAY_RELAY_INTERNAL_H

#include <cstdint>

#include "relay/relay.h"
#include "splice/splice.h"

struct AVPacket;

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
 * An empty PES (one stuffing byte) on the EPG track stream at dts, through
 * the interleaving writer: at a constant rate the muxer pads up to there
 * (null packets, tables, PCRs); the output stage turns the PES into nothing.
 * Returns 0 or the muxing error.
 */
int relay_write_stuffing(relay *r, int stream, int64_t dts);

/* The live input's time line (relay_live.cpp): its state, allocated with the relay. 0 or -12. */
int relay_live_create(relay *r);
void relay_live_destroy(relay *r);

/*
 * A live input's packet read at now (µs, monotonic), stamped and mapped:
 * its times are put on the output's clock. Returns 1 when it goes on, 0
 * when it is left out (before the programme's key frame, behind or ahead
 * of the clock), RELAY_CUE_ONLY for a cue that counts but is not written.
 */
#define RELAY_CUE_ONLY 2
int relay_live_admit(relay *r, AVPacket *pkt, int64_t now);

/* The wall clock's turn while relay_run runs: loss, slate, keep-alive (see relay_tick). */
void relay_live_tick(relay *r, int64_t now);

/*
 * Output stream for input stream i: its map entry, or, for a stream the
 * demuxer added after set-up, the first output stream with the same id
 * (EVENT_STREAM_ATTACHED, and kept in the map). Returns -1 when the stream
 * has no output stream.
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

#endif
