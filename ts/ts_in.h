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
 *  - a stream of the chosen programme one of whose PES declared a
 *    PES_packet_length that its bytes up to the next PES start did not
 *    match (encoders write one byte short, modulo 65536, or too long) gets
 *    length 0 in its later PES: the demuxer then takes each PES up to the
 *    next start, where a wrong length would make it cut the PES there and
 *    skip the rest. The lengths that lied are counted;
 *  - packets keep their number, PIDs and continuity counters; bytes outside
 *    TS packets (lost sync, the parity of 204-byte packets) are left out and
 *    counted, so that the demuxer reads whole packets only.
 * It reads the PAT, every PMT it names and the CAT, and chooses the
 * programme that is relayed (ts_in_set_pass): the one asked for, else the
 * first in PAT order whose PMT lists a video stream, else the first; a
 * programme whose PMT has not come TS_IN_PMT_WAIT after the PAT (or by the
 * end of the input) is passed over. A PID a PMT lists twice is taken once. Its
 * identity is recorded; so are the PIDs that carry scrambled packets.
 *
 * With passthrough on (ts_in_set_pass), each packet is also copied, as it
 * came, into the passthrough queue (ts_pass.h) with its time on the chosen
 * programme's clock, until ts_in_start_pass says which PIDs pass: from then
 * on only those are copied. A live source's (one that cannot seek) are
 * copied only from then on: what its probe read is stale once it runs. Once the programme is chosen the demuxer sees
 * only what it needs for it (the PAT, its PMT and PCR PID, its streams of
 * types the demuxer reads; after ts_in_start_pass, of those only the
 * relayed ones): every other packet reaches it as a null packet, so that
 * neither other programmes nor a PID it cannot read hold up its probe of a
 * live input.
 * The demuxer never sees a scrambled payload, nor one of a chosen stream of
 * a type it does not read (the PCR PID may be one): such a packet it is
 * shown reaches it as its adaptation field alone (the PCR), or as a null
 * packet without one.
 *
 * With the early end on (ts_in_set_probe), the filter ends the demuxer's
 * probe once nothing more can be learnt of the chosen programme for a
 * splice: each of its video streams was seen scrambled or has a type the
 * demuxer does not read; or, a programme without video, none of its
 * streams the demuxer reads (but SCTE 35, whose PMT entry says all) shows
 * a clear payload, and each was seen scrambled or the wait for those not
 * seen is over. The demuxer then reads the end of the input (the probe of
 * a live input would wait for those streams for good) until
 * ts_in_end_probe.
 * Memory is allocated once, at open (the queue at ts_in_set_pass); nothing
 * is allocated per packet.
 */
#ifndef KESTROW_TS_TS_IN_H
#define KESTROW_TS_TS_IN_H

#include <cstdint>

#include "common/mpegts.h"

struct AVDictionary;
struct AVIOContext;
struct AVIOInterruptCB;
struct ts_in;
struct ts_pass;

#define TS_IN_MAX_ES       32
#define TS_IN_MAX_PROGRAMS 64   // programmes of the PAT the filter follows; the rest pass, unchosen
#define TS_IN_PROBE_PACKETS 26596  // the library's probe size (5 MB): the early end's wait without a PCR
#define TS_IN_PMT_WAIT      ((int64_t)27000000)  // input time after the PAT that a PMT not come is waited for
#define TS_IN_PMT_WAIT_PACKETS 20000            // the same without a PCR (1 s at 30 Mbit/s)

/* How the relayed programme was chosen. */
enum ts_choice {
    TS_CHOSEN_NONE = 0,   // not yet: no PAT, a PMT not read, or the programme asked for is not in the PAT
    TS_CHOSEN_ASKED,      // the program_number asked for
    TS_CHOSEN_VIDEO,      // the first in PAT order whose PMT lists a video stream
    TS_CHOSEN_FIRST,      // the first in PAT order: no PMT lists a video stream
};

/* Identity of the chosen programme; -1 in a field not learnt yet. */
struct ts_identity {
    int ts_id;            // transport_stream_id of the PAT
    int program_number;   // the chosen programme (program_number != 0)
    int pmt_pid;
    int pcr_pid;          // 0x1FFF: the PMT names no PCR PID
    int es_count;         // elementary streams of that PMT, in PMT order
    struct {
        int pid;
        int stream_type;
    } es[TS_IN_MAX_ES];   // the first TS_IN_MAX_ES
    int twice;                           // a PID the chosen PMT lists twice (taken once); 0: none
    int wanted;                          // program_number asked for (ts_in_set_pass); 0: none
    int spts;                            // 1: the chosen programme goes out alone
    int chosen;                          // ts_choice
    int programme_count;                 // programmes of the PAT followed
    int numbers[TS_IN_MAX_PROGRAMS];     // their program_numbers, in PAT order
    int pmt_pids[TS_IN_MAX_PROGRAMS];
    uint8_t others[TS_PID_COUNT / 8];    // bit per PID: a PMT PID or a stream of another programme
};

struct ts_in_stats {
    int64_t packets;          // whole TS packets read
    int64_t pmts_seen;        // PMT sections of programmes of the PAT
    int64_t pmts_rewritten;   // "CUEI" added
    int64_t pmts_unchanged;   // "CUEI" wanted but the section spans packets or has no room
    int64_t bytes_skipped;    // bytes outside TS packets
    int64_t pes_lengths_wrong;  // PES of the chosen programme whose PES_packet_length did not match their bytes
};

/* Reads up to size bytes into buf: the count, AVERROR_EOF at the end, or a
 * negative error (AVIOContext read_packet contract). A live source may
 * return AVERROR(EAGAIN) when nothing came within a wait of its own: the
 * filter reads again (unless cancelled, see ts_in_cancel). */
typedef int (*ts_in_read_fn)(void *opaque, uint8_t *buf, int size);

/*
 * Creates a filter reading through read(opaque, ...) and stores it in *out.
 * buffer_size is the size of the reads from the source (1316 or more for UDP:
 * one datagram must fit). Returns 0; -EINVAL without out or read; -ERANGE for a
 * buffer_size outside 188..1048576; -ENOMEM without memory. On failure *out is
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
 * Drops what the filter holds, its passthrough queue included, and what its
 * source has buffered, so that the next read returns fresh input (the
 * demuxer's own buffer is flushed with avio_flush on ts_in_pb). Returns 0,
 * or -EINVAL without a filter.
 */
int ts_in_flush(ts_in *f);

/* The source's AVIO seekable flags (AVIO_SEEKABLE_*): 0 for a live source,
 * a callback source or without a filter. */
int ts_in_seekable(const ts_in *f);

/*
 * Turns passthrough on, before the first read: program is the
 * program_number to relay (0: the first in PAT order whose PMT lists
 * video), spts 1 to send that programme alone, capacity the packets the
 * queue holds. Returns 0; -EINVAL without f; -EBUSY when already on or
 * after a read; -ERANGE for a program outside 0..65535 or a capacity
 * ts_pass_create refuses; -ENOMEM without memory.
 */
int ts_in_set_pass(ts_in *f, int program, int spts, int capacity);

/* The passthrough queue (the filter's; it lives until ts_in_close); null
 * while passthrough is off. */
ts_pass *ts_in_pass(ts_in *f);

/*
 * Says which PIDs the relay carries through the demuxer and the muxer
 * (relayed, count entries): every other PID passes, except the PAT when a
 * single programme goes out, the chosen programme's PMT (the output stage
 * takes its sections), its PCR PID unless that carries an elementary
 * stream not relayed, and with spts everything not of the chosen
 * programme (its streams, its ECM PIDs and, when it has any, the CAT and
 * the EMM PIDs it names) but the SDT. Packets already queued of PIDs that
 * do not pass are left out; from now on the demuxer sees only the PAT, the
 * chosen PMT, its PCR PID and the relayed PIDs. Returns 0; -EINVAL without f,
 * without passthrough, or without a chosen programme.
 */
int ts_in_start_pass(ts_in *f, const int *relayed, int count);

/*
 * Lets the relay act on input time while the demuxer reads a long stretch
 * that gives it nothing (a programme that cannot be demultiplexed): every
 * period of input time (27 MHz; 0: never, as after open), at a point where
 * the demuxer has no PES of a relayed stream begun, its read fails with
 * AVERROR(EAGAIN). The demuxer hands out a PES it has begun when a read
 * fails, hence only there. After such a failure call ts_in_resume before
 * reading on.
 */
void ts_in_set_yield(ts_in *f, int64_t period);

/* Clears the failure a yield left in the demuxer's context. 0; -EINVAL without f. */
int ts_in_resume(ts_in *f);

struct handoff;

/*
 * For a demuxer run on a thread of its own under lock (common/handoff.h,
 * as its worker): the filter gives the lock up around every read from the
 * source, where the thread waits for input, so that the owner of the lock
 * acts meanwhile. Null: none, as after open.
 */
void ts_in_set_lock(ts_in *f, handoff *lock);

/* on: the reads from the source end with AVERROR_EXIT as soon as the
 * source returns (a live source returns within its own wait); off again. */
void ts_in_cancel(ts_in *f, bool on);

/*
 * Turns the early end of the demuxer's probe on, before the first read:
 * wait is the input time (27 MHz, on the chosen programme's clock;
 * TS_IN_PROBE_PACKETS packets while it has none) after the choice that a
 * stream of it not seen yet is waited for. wall (microseconds, 0: none)
 * bounds the whole probe on the wall clock once the programme is chosen,
 * whatever its streams: the demuxer's own bound is the time its packets
 * span, which a source whose times keep going back never reaches. Returns
 * 0; -EINVAL without f, with wait <= 0 or wall < 0; -EBUSY after a read.
 */
int ts_in_set_probe(ts_in *f, int64_t wait, int64_t wall);

/*
 * The probe is over: the early end is off, and when the filter ended the
 * probe, the demuxer's context, which took that for the end of the input,
 * reads on from where it stopped. Returns 1 when the filter had ended it,
 * 0 when not, -EINVAL without f.
 */
int ts_in_end_probe(ts_in *f);

/*
 * The longest lead of a video PES of the chosen programme over the input's
 * clock (its dts less the time of the packet that starts it, 27 MHz) seen so
 * far, up to TS_IN_LEAD_MAX (beyond: a broken clock); TS_TIME_NONE before
 * the first. The delay a decoder of the input has.
 */
#define TS_IN_LEAD_MAX ((int64_t)27000000 * 5)
int64_t ts_in_video_lead(const ts_in *f);

/* Input time of the last packet read, on the chosen programme's clock;
 * TS_TIME_NONE before its first PCR. */
int64_t ts_in_now(const ts_in *f);

/* 1 when a packet of pid with payload was scrambled (transport_scrambling_control
 * not 0), 2 when pid was seen but never scrambled, 0 when not seen. */
int ts_in_pid_state(const ts_in *f, int pid);

/* Whether a PES of pid began without a PTS so far (its pictures may span
 * several PES, or each field has its own); false without f. */
bool ts_in_pes_untimed(const ts_in *f, int pid);

/* Copies what the filter has learnt so far. 0; -EINVAL without f or id. */
int ts_in_get_identity(const ts_in *f, ts_identity *id);

/* The stream_type id's PMT declares for pid; -1 when it names no such PID. */
int ts_identity_stream_type(const ts_identity *id, int pid);

/* 1 when pid is a PMT PID or a stream of a programme other than the chosen one. */
int ts_identity_other(const ts_identity *id, int pid);

/* 1 when stream_type t is one of video (whether the demuxer reads it or not), else 0. */
int ts_stream_type_video(int t);

/* Copies the counters. 0; -EINVAL without f or stats. */
int ts_in_get_stats(const ts_in *f, ts_in_stats *stats);

/* Closes the source when the filter opened it, frees the filter and its
 * queue; *p becomes null. Returns 0, or -EINVAL without a filter. */
int ts_in_close(ts_in **p);

#endif
