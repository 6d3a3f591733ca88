/*
 * The relay loop shared by the service and the demo: an MPEG-TS output that
 * mirrors every input stream on its PID (through the output stage, which
 * sends cues as SCTE-35 sections), and the packet loop that reads, guards
 * the timestamps, maps streams, takes cues, runs the splice rules and writes
 * what they produce. The programs differ only through relay_desc.
 */
#ifndef KESTROW_PIPELINE_RELAY_H
#define KESTROW_PIPELINE_RELAY_H

#include <cstdint>

#include "pipeline/event.h"
#include "pipeline/rep_ctx.h"

struct AVFormatContext;
struct filler_ctx;
struct packets_queue;
struct trace_sink;
struct ts_out;

#define RELAY_CUE_ANY_SCTE35 -1  // relay_desc.cue_pid: every SCTE-35 stream carries cues
#define RELAY_MAX_DTS_JUMP   1800000  // 20 s of 90 kHz ticks: a larger jump ends the loop

/* Muxer options and output metadata; 0 or null: the library's default. */
struct relay_mux {
    int64_t mux_rate;              // bit/s
    int64_t max_delay;             // microseconds
    const char *service_name;
    const char *service_provider;
    int transport_stream_id;
    int original_network_id;
    int service_id;
    int pmt_start_pid;
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
    event_sink events;             // what the loop and the splice rules report
    const trace_sink *trace;       // installed for the packet traces; null: leave as it is
    int verbose;                   // per-packet traces of the splice rules
    int time_signal_breaks;        // time_signal segmentation descriptors start and end breaks
};

struct relay {
    relay_desc desc;
    AVFormatContext *in;           // the caller's
    AVFormatContext *out;          // owned
    ts_out *stage;                 // owned; null for an output that needs no file
    const filler_ctx *filler;      // the caller's
    int32_t *stream_map;           // input index -> output index; -1: none
    int32_t stream_map_size;
    int64_t *last_dts;             // per output stream: last dts written
    int64_t *next_dts;             // per input stream (map size): predicted dts of the next packet
    rep_ctx rep;
    int ret_read;                  // last av_read_frame result
    int ret_write;                 // last av_interleaved_write_frame result
};

/*
 * A new relay from in (opened and probed; stays the caller's) into *out.
 * Nothing is opened yet. 0; -22 without out, desc or in; -12 without memory.
 */
int relay_create(relay **out, const relay_desc *desc, AVFormatContext *in, const filler_ctx *filler);

/*
 * Creates the MPEG-TS output on url: one output stream per input stream on
 * its PID (EVENT_STREAM_ADDED each), the EPG track if desc asks for it, the
 * output stage, the muxer options and the header. interrupt (may be null) is
 * the output's interrupt callback. A failing step is reported
 * (EVENT_SETUP_FAILED) and its code returned; relay_destroy cleans up.
 */
int relay_open_output(relay *r, const char *url, int (*interrupt)(void *), void *interrupt_opaque);

/*
 * Relays packets until the stop callback, the end of input or a fatal error,
 * then passes on everything still queued and held and writes the trailer.
 * Returns 0 at the end of input or on stop; the read error, the muxing
 * error, -12 (a refused queue push or no memory) or AVERROR_INVALIDDATA (a
 * timestamp jump) otherwise.
 */
int relay_run(relay *r);

/* Null packets the output stage left out to keep in time; 0 without a stage. */
int64_t relay_nulls_dropped(const relay *r);

/*
 * Closes the output and frees *p; *p becomes null. 0; -22 without a relay;
 * the destination's first write or close error (the relay is freed all the
 * same).
 */
int relay_destroy(relay **p);

#endif
