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

struct AVPacket;

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
