/*
 * Input filter between the input's byte source and the MPEG-TS demuxer.
 *
 * The demuxer reads from the filter's AVIOContext; the filter reads from the
 * source and rewrites the transport stream in place on the way:
 *  - a PMT that declares a stream of stream_type 0x86 (SCTE 35) and carries
 *    no program-level registration descriptor "CUEI" gets one (tag 5,
 *    length 4) at the head of its program info; section_length and CRC_32
 *    are recomputed. The demuxer exposes such a PID as AV_CODEC_ID_SCTE_35
 *    only with that descriptor; DVB feeds commonly leave it out. The
 *    descriptor is added where the PMT section lies within one TS packet and
 *    the 6 bytes fit in that packet's stuffing; any other PMT (spanning
 *    packets, or a full packet) passes unchanged and is counted;
 *  - packets keep their number, PIDs and continuity counters; bytes outside
 *    TS packets (lost sync) pass untouched.
 * It also records the input's identity from the PAT and the first
 * programme's PMT (sections lying within one TS packet).
 * Memory is allocated once, at open; nothing is allocated per packet.
 */
#ifndef KESTROW_TS_TS_IN_H
#define KESTROW_TS_TS_IN_H

#include <cstdint>

struct AVDictionary;
struct AVIOContext;
struct AVIOInterruptCB;
struct ts_in;

#define TS_IN_MAX_ES 32

/* Identity of the input's programme; -1 in a field not learnt yet. */
struct ts_identity {
    int ts_id;            // transport_stream_id of the PAT
    int program_number;   // first programme of the PAT (program_number != 0)
    int pmt_pid;
    int pcr_pid;          // 0x1FFF: the PMT names no PCR PID
    int es_count;         // elementary streams of that PMT, in PMT order
    struct {
        int pid;
        int stream_type;
    } es[TS_IN_MAX_ES];   // the first TS_IN_MAX_ES
};

struct ts_in_stats {
    int64_t packets;          // whole TS packets read
    int64_t pmts_seen;        // PMT sections of programmes of the PAT
    int64_t pmts_rewritten;   // "CUEI" added
    int64_t pmts_unchanged;   // "CUEI" wanted but the section spans packets or has no room
    int64_t bytes_skipped;    // bytes outside TS packets
};

/* Reads up to size bytes into buf: the count, AVERROR_EOF at the end, or a
 * negative error (AVIOContext read_packet contract). */
typedef int (*ts_in_read_fn)(void *opaque, uint8_t *buf, int size);

/*
 * Creates a filter reading through read(opaque, ...) and stores it in *out.
 * buffer_size is the size of the reads from the source (1316 or more for UDP:
 * one datagram must fit). Returns 0; -22 without out or read; -34 for a
 * buffer_size outside 188..1048576; -12 without memory. On failure *out is
 * null.
 */
int ts_in_open(ts_in **out, ts_in_read_fn read, void *opaque, int buffer_size);

/*
 * Opens url for reading (avio_open2 with interrupt, which may be null, and
 * options, whose used entries are consumed as by avio_open2) behind a new
 * filter, which owns that context. Returns as ts_in_open, or the library's
 * code from opening url; on failure *out is null and nothing stays open.
 */
int ts_in_open_url(ts_in **out, const char *url, const AVIOInterruptCB *interrupt,
                   AVDictionary **options, int buffer_size);

/*
 * The context the demuxer reads from (AVFormatContext.pb, with
 * AVFMT_FLAG_CUSTOM_IO); it belongs to the filter: never close it, and call
 * ts_in_close only after avformat_close_input. Null without a filter.
 */
AVIOContext *ts_in_pb(ts_in *f);

/*
 * Drops what the filter holds and what its source has buffered, so that the
 * next read returns fresh input (the demuxer's own buffer is flushed with
 * avio_flush on ts_in_pb). Returns 0, or -22 without a filter.
 */
int ts_in_flush(ts_in *f);

/* The source's AVIO seekable flags (AVIO_SEEKABLE_*): 0 for a live source,
 * a callback source or without a filter. */
int ts_in_seekable(const ts_in *f);

/* Copies what the filter has learnt so far. 0; -22 without f or id. */
int ts_in_get_identity(const ts_in *f, ts_identity *id);

/* The stream_type id's PMT declares for pid; -1 when it names no such PID. */
int ts_identity_stream_type(const ts_identity *id, int pid);

/* Copies the counters. 0; -22 without f or stats. */
int ts_in_get_stats(const ts_in *f, ts_in_stats *stats);

/* Closes the source when the filter opened it, frees the filter; *p becomes
 * null. Returns 0, or -22 without a filter. */
int ts_in_close(ts_in **p);

#endif
