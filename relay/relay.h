/*
 * The relay loop shared by the service and the demo: an MPEG-TS output that
 * mirrors every input stream on its PID (through the output stage, which
 * sends cues as SCTE-35 sections), and the packet loop that reads, guards
 * the timestamps, maps streams, takes cues, runs the splice rules and writes
 * what they produce. The programs differ only through relay_desc.
 */
#ifndef KESTROW_RELAY_RELAY_H
#define KESTROW_RELAY_RELAY_H

#include <cstdint>

#include "event/event.h"
#include "splice/splice.h"
#include "ts/ts_in.h"

struct AVCodecParameters;
struct AVDictionary;
struct AVFormatContext;
struct AVPacket;
struct AVIOInterruptCB;
struct filler_ctx;
struct filler_mismatch;
struct relay;

#define RELAY_CUE_ANY_SCTE35 -1  // relay_desc.cue_pid: every SCTE-35 stream carries cues
#define RELAY_MAX_DTS_JUMP   1800000  // 20 s of 90 kHz ticks: a larger jump ends the loop
#define RELAY_INPUT_BUFFER   32768    // bytes of one read from the input's source

/* Step of relay_open_input that failed. */
enum relay_input_step {
    RELAY_INPUT_OPEN = 0,     // opening the URL or the demuxer
    RELAY_INPUT_PROBE,        // avformat_find_stream_info
};

/* An MPEG-TS input read through the input filter (ts/ts_in.h). */
struct relay_input {
    AVFormatContext *fmt;     // opened and probed; null when closed
    ts_in *filter;            // what the demuxer reads through
    int failed_step;          // relay_input_step of the last failure
    /* Set by the caller before opening; 0 for the defaults. */
    int program;              // program_number whose breaks are spliced; 0: the first in PAT order with video
    int spts;                 // 1: that programme goes out alone
    int64_t rate;             // bit/s the input may reach (sizes the passthrough queue); 0: unknown
};

/* Muxer options and output metadata; 0 or null: the library's default. */
struct relay_mux {
    int64_t mux_rate;              // bit/s
    int64_t max_delay;             // microseconds
    int64_t max_interleave_us;     // longest the muxer waits for a silent stream; 0: 300 ms
    const char *service_name;
    const char *service_provider;
    int transport_stream_id;       // 0: the input's (see ts_layout_output_ids)
    int original_network_id;
    int service_id;                // program number; 0: the input's
    int pmt_start_pid;             // 0: the input's PMT PID
    int packet_size;               // bytes the output stage hands over at once (1316: UDP)
    int64_t max_lead_us;           // > 0: null packets keeping the output ahead of the clock by more are left out
    /* Where the output stage writes; null: the URL given to relay_open_output. */
    int (*write)(void *opaque, uint8_t *buf, int size);
    void *write_opaque;
};

/* What differs between the programs that drive the relay. */
struct relay_desc {
    int in_depth;                  // packets read ahead of the splice rules (0: none)
    int out_depth;                 // packets kept queued before the muxer (0: none)
    int cue_pid;                   // PID of the cue stream, or RELAY_CUE_ANY_SCTE35
    int add_epg;                   // add an EPG track on PID 0x12 when the input has none
    relay_mux mux;
    int (*stop)(void *opaque);     // non-zero: stop; checked before and after each read; may be null
    void *stop_opaque;
    splice_desc splice;            // what the loop and the splice rules report (splice.events), their options
    int frame_accurate;            // returns on the announced picture (re-encoded up to the key frame); 0: key frames
    /*
     * Non-zero: a live input whose time line may break (relay_live.cpp):
     * the output starts on the first video key frame and keeps its clock
     * through outages, pauses and restarts of the input (the demuxer runs
     * on a thread of its own, the loop acts on the wall clock between
     * packets); a timestamp jump no longer ends the loop. 0: the input's
     * times as they are (files).
     */
    int live;
    int64_t slate_us;              // live: the filler airs after this long without video; 0: never
    int64_t loss_us;               // live: no programme packet this long, the input is lost; 0: 100 ms
    /*
     * Live: when the oldest input the source holds and the reader has not
     * taken yet arrived (µs, monotonic; 0: none), so that a reader running
     * behind is not taken for an input gone silent. May be null.
     */
    int64_t (*unread_since)(void *opaque);
    /*
     * Live: non-zero while the source is switching to another input that
     * will bring the programme (a channel with a backup): its silence is
     * not judged (no loss, no break cut, no slate). May be null.
     */
    int (*switching)(void *opaque);
    /*
     * Live: how many times the source has been switched to another stream of
     * the programme so far (a cut at its key frame): a new time line after a
     * new one is the same programme's, not a restart. May be null.
     */
    int64_t (*cuts)(void *opaque);
    void *unread_opaque;               // the opaque of all three
    /*
     * Each key frame of the first video stream as read (output 0) and as
     * handed to the muxer (output 1), with its stream's parameters, valid
     * during the call: the callee may take a reference and must return at
     * once (pictures of what comes in and goes out). May be null.
     */
    void (*key_frame)(void *opaque, int output, const AVPacket *pkt, const AVCodecParameters *par);
    void *key_frame_opaque;
};

/*
 * Opens url as MPEG-TS behind the input filter, which adds the SCTE-35
 * registration PMTs lack, chooses the programme (in->program, in->spts),
 * records its identity and keeps what passes through, and probes it. interrupt (may be null) applies to the source and the demuxer; the
 * used entries of options are consumed (avio_open2). On success in->fmt and
 * in->filter are set: close them with relay_close_input. On failure nothing
 * stays open, in->failed_step says which step failed and its code is
 * returned; -EINVAL without in or url.
 */
int relay_open_input(relay_input *in, const char *url, const AVIOInterruptCB *interrupt,
                     AVDictionary **options);

/*
 * Like relay_open_input, reading the transport stream from read(opaque, ...)
 * (a live source of the program's own) instead of a URL; name is what the
 * demuxer and the traces call the input.
 */
int relay_open_input_reader(relay_input *in, const char *name, ts_in_read_fn read, void *opaque,
                            const AVIOInterruptCB *interrupt);

/* Closes the demuxer, then the filter; both become null. Without in: nothing. */
void relay_close_input(relay_input *in);

/*
 * filler_check (splice/filler.h) on the streams of in whose breaks are
 * spliced: those of the programme the input filter chose, or all when it
 * chose none; not those seen scrambled, which pass as they came, and none
 * of a programme that cannot be spliced (none of its video can be
 * relayed). Returns as filler_check, counting only those streams; -ENOMEM
 * without memory.
 */
int relay_check_filler(const relay_input *in, const filler_ctx *filler, filler_mismatch *out, int max);

/*
 * The audio and video streams of in whose breaks are spliced (as
 * relay_check_filler takes them) in a new context of their own: codec
 * parameters and ids copied, for checks against the programme that outlive
 * the input (the traffic's spots). The caller frees it with
 * avformat_free_context. Null without in->fmt or memory.
 */
AVFormatContext *relay_spliced_streams(const relay_input *in);

/*
 * A new relay from in (opened by relay_open_input; stays the caller's) into
 * *out. Nothing is opened yet. 0; -EINVAL without out, desc or in->fmt; -ENOMEM
 * without memory.
 */
int relay_create(relay **out, const relay_desc *desc, const relay_input *in, const filler_ctx *filler);

/*
 * Creates the MPEG-TS output on url: one output stream per input stream on
 * its PID (EVENT_STREAM_ADDED each), the EPG track if desc asks for it, the
 * output stage, the muxer options and the header. The output keeps the
 * input's program number, PMT PID and transport_stream_id unless desc.mux
 * overrides them; an identity the muxer cannot take (a value out of range,
 * a PMT PID that is a stream's PID) is refused with EVENT_SETUP_FAILED,
 * step EVENT_STEP_LAYOUT, text naming both. A stream whose parameters the
 * probe did not learn is relayed with them filled in, or left out for the
 * session when the muxer cannot take it (EVENT_STREAM_UNKNOWN, once each).
 * With a programme chosen by the input filter, only its streams that can be
 * demultiplexed are relayed and everything else passes as TS packets; the
 * choice is reported (EVENT_PROGRAMME_CHOSEN), and a programme asked for
 * that the input lacks fails the set-up (EVENT_STEP_PROGRAMME).
 * interrupt (may be null) is the output's interrupt callback. A failing step
 * is reported (EVENT_SETUP_FAILED), kept in failed_step, and its code
 * returned; relay_destroy cleans up.
 */
int relay_open_output(relay *r, const char *url, int (*interrupt)(void *), void *interrupt_opaque);

/*
 * Relays packets until the stop callback, the end of input or a fatal error,
 * then passes on everything still queued and held and writes the trailer.
 * Returns 0 at the end of input or on stop; the read error (reported,
 * EVENT_READ_FAILED), the muxing error, -ENOMEM (a refused queue push or no
 * memory) or AVERROR_INVALIDDATA (a timestamp jump) otherwise.
 */
int relay_run(relay *r);

/* How a relay's set-up and run ended, for the program's messages and exit status. */
struct relay_outcome {
    int ret_read;                  // last av_read_frame result
    int ret_write;                 // last av_interleaved_write_frame result
    int failed_step;               // event_setup_step of a failed set-up; -1: none
};

/* Fills *out from r: 0; -EINVAL without r or out. */
int relay_result(const relay *r, relay_outcome *out);

/* Null packets the output stage left out to keep in time; 0 without a stage. */
int64_t relay_nulls_dropped(const relay *r);

/* Packets that reached the output: relayed through the muxer or passed
 * through as TS packets; 0 without a relay. */
int64_t relay_packets_out(const relay *r);

/*
 * Closes the output and frees *p; *p becomes null. 0; -EINVAL without a relay;
 * the destination's first write or close error (the relay is freed all the
 * same).
 */
int relay_destroy(relay **p);

#endif
