/*
 * Output stage between the MPEG-TS muxer and its destination (UDP or file).
 *
 * The muxer writes its transport stream into the stage's AVIOContext; the
 * stage rewrites it packet by packet as it leaves and writes it to the
 * destination: an AVIOContext of its own opened on a URL, or the caller's
 * write function (a paced sender, say):
 *  - the SCTE-35 PIDs are declared in every PMT with stream type 0x86, and the
 *    PMT gets a program-level registration descriptor "CUEI" (ISO/IEC 13818-1
 *    tag 5) unless it has one; section_length and CRC_32 are recomputed;
 *  - each cue, which the muxer wrote as a PES packet, leaves as the
 *    splice_info_section it carries (SCTE 35): payload_unit_start_indicator,
 *    pointer_field 0, the section's bytes as received, 0xFF stuffing;
 *  - the EPG PID leaves as sections too and is removed from the PMT;
 *  - with a PCR PID of the programme's own (ts_out_config.pcr_pid), the PMT
 *    names it as PCR_PID, and each PCR the muxer writes on its PCR PID is
 *    also sent on it in an adaptation-field-only packet, with the value for
 *    that packet's place; the muxer's PCRs stay where they are;
 *  - rewritten PIDs (cue, EPG, PMT) get continuity counters of their own;
 *    every other PID keeps the muxer's bytes untouched;
 *  - the packet count, and so the mux rate, is kept: section packets take the
 *    places of the PES packets they replace and of the muxer's null packets,
 *    and a place left over becomes a null packet. A section packet that finds
 *    no place within TS_OUT_HOLD_PACKETS packets is sent in addition, and so
 *    is any PCR copy at a variable rate (ts_out_config.mux_rate 0); a PCR
 *    copy without a free place within 10 ms at the mux rate is sent in
 *    addition too, and a later null packet is left out for it;
 *  - with ts_out_set_pacing, null packets that would put the output too far
 *    ahead of the wall clock are left out;
 *  - with a passthrough queue (ts_out_set_pass), the input's packets that
 *    the muxer does not carry take free places as they fall due (see
 *    ts_pass.h), byte for byte; the input's PAT and the relayed programme's
 *    PMT and SDT entry stand in for the muxer's, with its identity;
 *  - at a constant rate the stage sends the tables itself: it keeps the
 *    current version of the PAT (the input's rewritten; the muxer's with
 *    spts or without a passthrough), of the PMT of each programme of that
 *    PAT (the relayed one rewritten, the others as the input sends them,
 *    gathered from their PIDs in the queue) and of the SDT actual (the
 *    input's, rewritten or not, else the muxer's), and sends each again
 *    after TS_OUT_PSI_PERIOD_MS (PAT, PMT) or TS_OUT_SDT_PERIOD_MS of
 *    output time (the muxer's PCRs, at the mux rate between them), a new
 *    version at the next place. Tables take free places before the
 *    passthrough queue; one that finds none within TS_OUT_PSI_WAIT_MS
 *    (TS_OUT_SDT_WAIT_MS) is sent in addition. The muxer's own PAT, PMT and
 *    SDT packets give their places away; the tables' PIDs have continuity
 *    counters of the stage's. Other SI passes as it comes;
 *  - the packets as sent are checked as a receiver would (ts_out_check):
 *    counted in ts_out_stats, nothing is logged.
 * Memory is allocated once, at open; nothing is allocated per packet.
 */
#ifndef KESTROW_TS_TS_OUT_H
#define KESTROW_TS_TS_OUT_H

#include <cstdint>

struct AVIOContext;
struct AVIOInterruptCB;
struct ts_out;

#define TS_OUT_MAX_CUE_PIDS 8
/* Longest wait of a section packet for a free place, in TS packets. */
#define TS_OUT_HOLD_PACKETS 64
/* The stage's own tables (constant rate): sent again after a period, in addition after a wait past it. */
#define TS_OUT_PSI_PERIOD_MS 60     // PAT and each PMT
#define TS_OUT_PSI_WAIT_MS   20
#define TS_OUT_SDT_PERIOD_MS 500
#define TS_OUT_SDT_WAIT_MS   1000

struct ts_out_config {
    int cue_pids[TS_OUT_MAX_CUE_PIDS];  // PIDs of the AV_CODEC_ID_SCTE_35 output streams
    int cue_pid_count;                  // 0 .. TS_OUT_MAX_CUE_PIDS
    int epg_pid;                        // -1: none
    int pcr_pid;                        // PID for the programme's PCRs; 0: the muxer's PCR PID
    int64_t mux_rate;                   // bit/s of the muxer's constant rate; 0 or 1: variable
};

/*
 * The output's own checks (after ETSI TR 101 290), on the packets as sent,
 * timed by the PCRs sent (the first PID whose PCR goes out, interpolated
 * between them): each counts once a fault.
 */
enum ts_out_check {
    TS_OUT_CHECK_PAT_INTERVAL,       // "pat_interval": no PAT for more than 0.5 s (counted once the gap passes it)
    TS_OUT_CHECK_PMT_INTERVAL,       // "pmt_interval": no PMT on a PMT PID of the last PAT for more than 0.5 s
    TS_OUT_CHECK_SDT_INTERVAL,       // "sdt_interval": no SDT actual for more than 2 s (after the first)
    TS_OUT_CHECK_PCR_INTERVAL,       // "pcr_interval": the output's own PCRs (not those passing through) of a
                                     //   PID more than 40 ms apart by their values
    TS_OUT_CHECK_PCR_DISCONTINUITY,  // "pcr_discontinuity": a PCR over 100 ms after the one before, or
                                     //   before it, without discontinuity_indicator (not a pcr_interval)
    TS_OUT_CHECK_CONTINUITY,         // "continuity": a continuity_counter out of order on a PID (a packet
                                     //   may come twice; packets without payload and null packets aside;
                                     //   a break a passed PID brought from the input is the input's)
    TS_OUT_CHECK_COUNT
};

/* The check's name as above ("pat_interval", ...); null outside 0 .. TS_OUT_CHECK_COUNT - 1. */
const char *ts_out_check_name(int check);

/* What the stage has done so far; counts since open. */
struct ts_out_stats {
    int64_t bytes_in;          // bytes the muxer wrote
    int64_t bytes_out;         // bytes handed to the destination
    int64_t packets_in;        // whole TS packets taken from the muxer's bytes
    int64_t packets_out;
    int64_t packets_added;     // sent beyond the muxer's count (no free place in time)
    int64_t pcrs_out;          // PCR copies sent on the programme's PCR PID, added or not
    int64_t nulls_repaid;      // null packets left out for PCR copies added at a constant rate
    int64_t sections_out;      // cue and EPG sections sent
    int64_t pmts_rewritten;
    int64_t units_dropped;     // PES units or parts of them neither sections nor stuffing
    int64_t bytes_skipped;     // bytes outside any TS packet (lost sync, partial tail)
    int64_t nulls_dropped;     // null packets left out to keep the output in time
    int64_t passed;            // packets of the passthrough queue sent
    int64_t tables_out;        // PAT, PMT and SDT repetitions the stage sent itself (constant rate)
    int64_t tables_late;       // of which sent in addition: no free place came in time
    int64_t checks[TS_OUT_CHECK_COUNT];  // faults each check found (what the output caused)
    int64_t input_cc_errors;   // continuity breaks the input brought on PIDs passing through, passed as they
                               // came (not in checks: they are the input's; ts_out_take_input_cc by PID)
    int64_t pat_interval_max_us;  // longest time between two PATs sent
    int64_t pmt_interval_max_us;  // longest time between two PMTs of one PID of the PAT
};

/* How the input's programme and tables go out beside the muxer's (ts_out_set_pass). */
struct ts_out_pass_config {
    int in_program;             // program_number of the relayed programme in the input
    int in_pmt_pid;             // its PMT PID in the input
    int keep_pcr_pid;           // 1: its PCR PID passes with its own PCRs; the PMT keeps naming it
    int spts;                   // 1: it goes out alone: the muxer's PAT, the SDT with its entry only
    int input_sdt;              // 1: the input has an SDT: the muxer's gives way from the start
    int sdt_rewrite;            // 1: the input's SDT is taken apart (at a constant rate it always is):
                                //    transport_stream_id and the entry's service_id become the
                                //    muxer's, names as below
    const char *service_name;   // null or empty: the entry's own
    const char *service_provider;
};

/*
 * Opens url for writing (avio_open2 with AVIO_FLAG_WRITE and interrupt, which
 * may be null) behind a new stage and stores the stage in *out. packet_size is
 * the size of the stage's I/O buffer, so the muxer hands over that many bytes
 * at a time (1316 for UDP: seven TS packets). Returns 0; -EINVAL without out, url
 * or config, or when a cue PID is also the EPG or the PCR PID; -ERANGE for a PID
 * outside 0x10..0x1FFE (a PCR PID other than 0: 0x20..0x1FFE), a cue count
 * outside 0..8 or a packet_size outside 188..1048576; -ENOMEM without memory; or
 * the library's code from opening url.
 * On failure *out is null and nothing stays open.
 */
int ts_out_open(ts_out **out, const char *url, const ts_out_config *config,
                const AVIOInterruptCB *interrupt, int packet_size);

/*
 * Where the stage hands its bytes when it does not open a URL: called with
 * packet_size bytes at a time (less at the end), returns the count taken or
 * a negative error, which sticks (the signature of an AVIO write callback).
 */
typedef int (*ts_out_write_fn)(void *opaque, uint8_t *buf, int size);

/*
 * Like ts_out_open, writing into write(opaque, ...) instead of a URL; the
 * destination stays the caller's: ts_out_close flushes into it and leaves it
 * open. Returns 0; -EINVAL without out, write or config; the other codes as
 * ts_out_open. On failure *out is null.
 */
int ts_out_open_writer(ts_out **out, ts_out_write_fn write, void *opaque,
                       const ts_out_config *config, int packet_size);

/*
 * Microseconds that bits take at rate bit/s (rate > 0), rounded down; exact
 * for any count a year of output at 100 Mbit/s and more reaches.
 */
int64_t ts_out_bits_to_us(int64_t bits, int64_t rate);

/*
 * The I/O context the muxer writes into (AVFormatContext.pb); it belongs to
 * the stage: set the muxer's pb to it, never close it, and call ts_out_close
 * only after the muxer is done (av_write_trailer). Null without a stage.
 * A destination write error is returned by the write callback, so it lands in
 * this context's error and the muxer's write calls return it.
 */
AVIOContext *ts_out_pb(ts_out *stage);

/*
 * Keeps the output in time: rate is the muxer's constant rate in bit/s, at
 * which the destination sends, and max_lead_us how far the output may run
 * ahead of the wall clock at that rate. The muxer fills every gap in the
 * timestamps with null packets, so after an outage of the input, or a jump
 * of its timestamps, it writes the whole gap at once, and the output would
 * go on air that much later for the rest of the session. Null packets that
 * would put the output more than max_lead_us ahead are left out (counted in
 * nulls_dropped). 0 in either turns this off, as after ts_out_open. Returns
 * 0; -EINVAL without stage; -ERANGE for a negative value.
 */
int ts_out_set_pacing(ts_out *stage, int64_t rate, int64_t max_lead_us);

struct ts_pass;

/*
 * Takes the input's packets from pass (the input filter's; it must outlive
 * the stage or be detached with a null pass) into free places as they fall
 * due on the muxer's clock; call it before the muxer writes its header.
 * Packets of the input's PAT (unless config->spts) and of the relayed
 * programme's PMT, and of its SDT when config->sdt_rewrite, are taken
 * apart: the PAT with the muxer's transport_stream_id and, for the relayed
 * programme, the muxer's program number and PMT PID; the PMT as the input
 * declares it, with the muxer's program number and PCR PID (or its own
 * with keep_pcr_pid) and the cue and EPG rewrites above; the SDT entry of
 * the programme. They leave in the places of the muxer's PAT and PMT,
 * which are not sent. At a constant rate these tables, and the other
 * programmes' PMTs, are the stage's own (see above): their PIDs wait in the
 * queue's table ring (ts_pass_set_table_pid), taken apart as they fall due
 * whether free places come or not. At a variable rate the input's packets
 * are sent in addition, before the muxer's packet at whose time they fall
 * due. A stage that had a queue sends what is left in it first and gives
 * its table PIDs back. Returns 0; -EINVAL without stage, or with a pass and
 * no config.
 */
int ts_out_set_pass(ts_out *stage, ts_pass *pass, const ts_out_pass_config *config);

/*
 * The input's time line broke (lost, restarted): the next break in each
 * passed PID's continuity counters comes from the input, not from packets
 * lost on the way, and the output's counters of that PID go on across it
 * (shifted from then on). Without stage: nothing.
 */
void ts_out_pass_rejoin(ts_out *stage);

/*
 * Moves the continuity breaks the input brought on passed PIDs since the
 * last take into pids and counts (at most max, by PID order) and forgets
 * them. Returns how many PIDs; 0 without stage.
 */
int ts_out_take_input_cc(ts_out *stage, int *pids, int64_t *counts, int max);

/* Copies the counters into *stats. 0; -EINVAL without stage or stats. */
int ts_out_get_stats(const ts_out *stage, ts_out_stats *stats);

/*
 * Flushes everything pending (the muxer's buffered bytes, a PES unit without
 * a length, section packets still waiting for a place, the passthrough
 * queue), closes the destination and frees the stage; *p becomes null. Returns 0, -EINVAL without a
 * stage, or the destination's first write or close error.
 */
int ts_out_close(ts_out **p);

#endif
