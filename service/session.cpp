/*
 * The service's stream sessions: one UDP input relayed into one MPEG-TS
 * output on UDP, every input stream on its own PID, through the splice
 * rules; a new session opens whenever one ends, until the stop flag. What
 * the relay reports becomes log lines here.
 */
#include "service/session.h"

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "common/log.h"
#include "common/mpegts.h"
#include "common/utils.h"
#include "splice/event_asrun.h"
#include "splice/filler.h"
#include "relay/relay.h"
#include "common/trace.h"
#include "ts/ts_layout.h"
#include "service/app_ctx.h"
#include "service/ratelimit.h"
#include "service/udp_in.h"
#include "service/udp_out.h"

#define SLICER_DATAGRAM_SIZE     1316    // seven TS packets per UDP datagram
#define SLICER_RETRY_PERIOD_US   250000  // pace of repeated sessions that fail at once
#define SLICER_OUTPUT_GRACE_US   500000  // time the output gets to write its trailer after a stop
#define SLICER_SRC_BUFFER        (8 << 20)  // socket receive buffer asked for by default, bytes
#define SLICER_RING_US           500000     // input and output rings: this long at the mux rate
#define SLICER_RING_MIN          (4 << 20)  // bytes, also for streams without a mux rate
/* Margin of the output's schedule over the latest bytes the muxer writes. */
#define SLICER_SEND_DELAY_US     60000
#define SLICER_MAX_MISMATCHES    16
/* How far the output may run ahead of the wall clock after a gap in the input's timestamps. */
#define SLICER_MAX_OUTPUT_LEAD_US 300000
/* Longest the muxer holds the programme waiting for a silent stream (EPG, cues): added latency. */
#define SLICER_MAX_INTERLEAVE_US 100000

/* Interrupts the input's blocking reads once a stop was requested. */
static int slicer_interrupt(void *opaque)
{
    const app_ctx *app = (const app_ctx *)opaque;
    return app->stop_flag && app->stop_flag->load() != 0;
}

/* The output's view of a stop: it may finish writing for a short grace time. */
struct slicer_output_stop {
    const app_ctx *app;
    int64_t seen;  // when the stop was first seen; 0 before
};

static int slicer_interrupt_output(void *opaque)
{
    slicer_output_stop *stop = (slicer_output_stop *)opaque;

    if (!slicer_interrupt((void *)stop->app))
        return 0;
    int64_t now = av_gettime_relative();
    if (!stop->seen)
        stop->seen = now;
    return now - stop->seen > SLICER_OUTPUT_GRACE_US;
}

static bool slicer_stopping(const app_ctx *app)
{
    return app->stop_flag && app->stop_flag->load() != 0;
}

/* Name in front of the lines that word the relay's events: the service's event sink. */
static const char LOOP_NAME[] = "slicer_on_event";

/* Non-zero while a session repeats one that failed at once: the library's lines would repeat too. */
static std::atomic<int> slicer_library_quiet{0};

/* One stream session: what its event sink keeps besides the application context. */
struct slicer_session {
    app_ctx *app;
    ratelimit *failures;        // the main loop's: sessions failing over and over log once, then counts
    int quiet;                  // the previous session failed at once: its set-up lines are not repeated
    int64_t bytes_in;           // totals at the last progress event
    int64_t bytes_out;
    udp_in *src;                // the session's receiver: its overruns
    udp_out *dst;               // the session's sender: what left
    int64_t overruns;           // its overruns and kernel drops at the last count
};

/* Counts the receiver's new overruns into the channel status. */
static void slicer_count_overruns(slicer_session *ses)
{
    udp_in_stats st;

    if (!ses->src || udp_in_get_stats(ses->src, &st) != 0)
        return;
    int64_t total = st.overruns + st.kernel_drops;
    status_add_overruns(&ses->app->status, total - ses->overruns);
    ses->overruns = total;
}

/* A failure line through the rate limiter. */
static void slicer_fail(slicer_session *ses, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void slicer_fail(slicer_session *ses, const char *fmt, ...)
{
    char line[RATELIMIT_LINE_SIZE];
    va_list ap;

    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    ratelimit_log(ses->failures, status_now_us(), LOG_ERROR, "%s", line);
}

/* The channel's state after each as-run event; -1: unchanged. In asrun_event order. */
static const int slicer_state_after[ASRUN_EVENT_COUNT] = {
    -1,              // cue
    STATE_ARMED,     // armed
    -1,              // repeat
    STATE_IDLE,      // cancelled
    STATE_IN_BREAK,  // break_start
    STATE_IDLE,      // break_end
    STATE_IDLE,      // break_skipped
    -1,              // ignored
};

/* The as-run record of ev, if it has one: into the channel status and the as-run file. */
static void slicer_record(slicer_session *ses, const event *ev)
{
    app_ctx *app = ses->app;
    asrun_record rec;

    if (event_asrun(ev, (int64_t)log_now_ms(), &rec) <= 0)
        return;
    status_event(&app->status, &rec);
    if (slicer_state_after[rec.event] >= 0)
        status_set_state(&app->status, slicer_state_after[rec.event]);
    if (app->asrun) {
        int ret = asrun_write(app->asrun, &rec);
        if (ret < 0)
            slicer_fail(ses, "%s: cannot write the as-run file [%s]: %s", LOOP_NAME, app->asrun_file,
                        strerror(-ret));
    }
}

/* Counts what was read and what left the sender since the last progress event. */
static void slicer_progress(slicer_session *ses, const event *ev)
{
    int64_t now = status_now_us();
    channel_status *st = &ses->app->status;
    udp_out_stats sent;
    int64_t bytes_out = ses->dst && udp_out_get_stats(ses->dst, &sent) == 0 ? sent.bytes_sent : ev->bytes_out;

    status_count_in(st, ev->bytes_in / TS_PACKET_SIZE - ses->bytes_in / TS_PACKET_SIZE,
                    ev->bytes_in - ses->bytes_in, now);
    status_count_out(st, bytes_out / TS_PACKET_SIZE - ses->bytes_out / TS_PACKET_SIZE,
                     bytes_out - ses->bytes_out, now);
    ses->bytes_in = ev->bytes_in;
    ses->bytes_out = bytes_out;
    slicer_count_overruns(ses);
}

/* Public SCTE-35 decoders into which an operator can paste a logged cue. */
static const char SCTE35_DECODER_A[] = "https://tools.middleman.tv/scte35-parser";
static const char SCTE35_DECODER_B[] = "https://comcast.github.io/scte35-js/";

/* The cue's bytes in upper-case hexadecimal, one log line, then the hint. */
static void slicer_log_cue(app_ctx *app, const event *ev)
{
    char *hex = app->hex_text;
    size_t size = sizeof(app->hex_text);
    size_t pos = 0;

    hex[0] = '\0';
    for (int i = 0; i < ev->size && pos + 2 < size; i++, pos += 2)
        snprintf(hex + pos, size - pos, "%.2X", ev->data[i]);
    log_printf(LOG_INFO, "%s: %s", LOOP_NAME, hex);
    log_printf(LOG_INFO, "%s: check value against %s or %s", LOOP_NAME, SCTE35_DECODER_A, SCTE35_DECODER_B);
}

static void slicer_log_setup_failure(slicer_session *ses, const event *ev)
{
    char err[ERR_TEXT_SIZE] = {0};
    const char *text = err_to_str(err, sizeof(err), ev->code);

    switch (ev->reason) {
    case EVENT_STEP_OUTPUT_CONTEXT:
        slicer_fail(ses, "%s: avformat_alloc_output_context2(%s) failed: %s", "slicer_streams", ev->text, text);
        break;
    case EVENT_STEP_NEW_STREAM:
        slicer_fail(ses, "%s: Failed allocating output stream %d", "slicer_streams", ev->stream);
        break;
    case EVENT_STEP_CODEC_PARAMETERS:
        slicer_fail(ses, "%s: Failed to copy codec parameters for stream %d: %s", "slicer_streams", ev->stream, text);
        break;
    case EVENT_STEP_METADATA:
        slicer_fail(ses, "%s: Failed to copy metadatas for stream %d: %s", "slicer_streams", ev->stream, text);
        break;
    case EVENT_STEP_OPEN_OUTPUT:
        slicer_fail(ses, "%s: Could not open output file [%s]: %s", "slicer_streams", ev->text, text);
        break;
    case EVENT_STEP_WRITE_HEADER:
        slicer_fail(ses, "%s: avformat_write_header failed: %s", "slicer_streams", text);
        break;
    case EVENT_STEP_LAYOUT:
        log_printf(LOG_ERROR, "%s: output identity refused: %s; check --mpegts_service_id, "
                   "--mpegts_pmt_start_pid and --mpegts_transport_stream_id", "slicer_streams",
                   ev->text ? ev->text : text);
        break;
    default:
        break;
    }
}

/* What the event's id counts: splice_insert events or time_signal segmentation events. */
static const char *slicer_id_name(const event *ev)
{
    return ev->flags & EVENT_CUE_SEGMENTATION_FLAG ? "segmentation_event_id" : "splice_event_id";
}

/*
 * The service's event sink: the log lines of the packet loop and the splice
 * rules, the as-run record, the channel's status and counters.
 */
static void slicer_on_event(void *opaque, const event *ev)
{
    slicer_session *ses = (slicer_session *)opaque;
    app_ctx *app = ses->app;
    char err[ERR_TEXT_SIZE] = {0};

    slicer_record(ses, ev);
    switch (ev->type) {
    case EVENT_CUE_DECODED:
        slicer_log_cue(app, ev);
        log_printf(LOG_INFO, "%s: splice_insert.splice_event_id=%u", LOOP_NAME, ev->splice_event_id);
        break;
    case EVENT_CUE_FAILED:
        slicer_log_cue(app, ev);
        log_printf(LOG_ERROR, "%s: Failed to parse SCTE-35 packet: %d", LOOP_NAME, ev->code);
        break;
    case EVENT_ARMED:
        if (ev->pts_time != AV_NOPTS_VALUE)
            log_printf(LOG_INFO, "%s: %s.splice_time.pts_time=%" PRId64, LOOP_NAME,
                       ev->flags & EVENT_CUE_SEGMENTATION_FLAG ? "time_signal" : "splice_insert", ev->pts_time);
        if (ev->pts_time != AV_NOPTS_VALUE && ev->splice_time != ev->pts_time)
            log_printf(LOG_INFO, "%s: effective splice point=%" PRId64 " (%f), pts_adjustment=%" PRIu64,
                       LOOP_NAME, ev->splice_time, ev->splice_time / 90000.0, ev->pts_adjustment);
        if (ev->reason != EVENT_ARM_CUE)
            log_printf(LOG_INFO, "%s: %s=%u armed (%s) at %" PRId64, LOOP_NAME, slicer_id_name(ev),
                       ev->splice_event_id, event_reason_name(ev), ev->splice_time);
        if (ev->flags & EVENT_CUE_IMMEDIATE_FLAG)
            log_printf(LOG_INFO, "%s: %s=%u armed: immediate, at the next video key frame", LOOP_NAME,
                       slicer_id_name(ev), ev->splice_event_id);
        else
            log_printf(LOG_INFO, "%s: remain: %" PRId64 " ticks (%f sec)", LOOP_NAME, ev->delta, ev->delta / 90000.0);
        if (ev->flags & EVENT_CUE_DURATION_FLAG && ev->pts_time != AV_NOPTS_VALUE)
            log_printf(LOG_INFO, "%s: splice_insert.break_duration.duration=%" PRId64 " (%f), at=%" PRId64,
                       LOOP_NAME, ev->duration, ev->duration / 90000.0, ev->pts_time + ev->duration);
        break;
    case EVENT_CUE_IGNORED:
        log_printf(LOG_INFO, "%s: cue of %s=%u ignored: %s", LOOP_NAME, slicer_id_name(ev), ev->splice_event_id,
                   event_reason_name(ev));
        break;
    case EVENT_CUE_REPEATED:
        log_printf(LOG_INFO, "%s: %s=%u repeated: nothing changes", LOOP_NAME, slicer_id_name(ev),
                   ev->splice_event_id);
        break;
    case EVENT_CANCELLED:
        log_printf(LOG_INFO, "%s: %s=%u cancelled: %s", LOOP_NAME, slicer_id_name(ev), ev->splice_event_id,
                   ev->reason == EVENT_CANCEL_ARMED ? "disarmed" : "no longer kept for after the break");
        break;
    case EVENT_RETURN_SCHEDULED:
        if (ev->flags & EVENT_CUE_IMMEDIATE_FLAG)
            log_printf(LOG_INFO, "%s: return cue %s=%u: the break ends at the next video key frame", LOOP_NAME,
                       slicer_id_name(ev), ev->splice_event_id);
        else
            log_printf(LOG_INFO, "%s: return cue %s=%u: the break ends at the first video key frame at %" PRId64
                       " (%f)", LOOP_NAME, slicer_id_name(ev), ev->splice_event_id, ev->splice_time,
                       ev->splice_time / 90000.0);
        break;
    case EVENT_NEXT_KEPT:
        log_printf(LOG_INFO, "%s: %s=%u at %" PRId64 " kept: it starts when the break under way ends", LOOP_NAME,
                   slicer_id_name(ev), ev->splice_event_id, ev->splice_time);
        break;
    case EVENT_BREAK_SKIPPED:
        log_printf(LOG_ERROR, "%s: break of %s=%u skipped (%s): the filler has no video for output stream %d",
                   LOOP_NAME, slicer_id_name(ev), ev->splice_event_id, event_reason_name(ev), ev->stream);
        break;
    case EVENT_BREAK_STARTED:
        log_printf(LOG_INFO, "%s: Splicing started: delta=%" PRId64 ", time=%f", LOOP_NAME, ev->delta,
                   ev->delta / 90000.0);
        if (ev->pts_shift > 0)
            log_printf(LOG_INFO, "%s: filler video pts shifted by %" PRId64 " ticks (%f sec) to keep pts >= dts",
                       LOOP_NAME, ev->pts_shift, ev->pts_shift / 90000.0);
        break;
    case EVENT_STREAM_MISSED:
    case EVENT_STREAM_SWITCHED:
        if (ev->type == EVENT_STREAM_MISSED || ev->reason == EVENT_SWITCH_TO_FILLER)
            log_printf(LOG_INFO, "%s: found audio stream %d, dts delta=%" PRId64 ", rep_ctx.scte_35_pts_time=%" PRId64,
                       LOOP_NAME, ev->stream, ev->delta, ev->pts);
        if (ev->type == EVENT_STREAM_MISSED)
            log_printf(LOG_ERROR, "%s: Strange conditions: break outside packet, lost first packet?", LOOP_NAME);
        else if (ev->reason == EVENT_SWITCH_BACK_AT_END)
            log_printf(LOG_INFO, "%s: end of break detected for stream %d, sent_dts=%" PRId64 ", end_pts=%" PRId64,
                       LOOP_NAME, ev->stream, ev->pts, ev->end_pts);
        else if (ev->reason == EVENT_SWITCH_BACK_FILLER_END)
            log_printf(LOG_INFO, "%s: end of AUDIO stream %d reached", LOOP_NAME, ev->stream);
        break;
    case EVENT_BREAK_ENDED:
        if (ev->reason == EVENT_END_FILLER_END)
            log_printf(LOG_INFO, "%s: end of VIDEO stream %d reached", LOOP_NAME, ev->stream);
        else if (ev->reason != EVENT_END_SESSION_END)
            log_printf(LOG_INFO, "%s: Splicing finished: delta=%" PRId64 ", time=%f, rep_ctx.end_pts=%" PRId64,
                       LOOP_NAME, ev->delta, ev->delta / 90000.0, ev->end_pts);
        log_printf(LOG_INFO, "%s: break of %s=%u ended: %s, aired=%" PRId64 " (%f sec)", LOOP_NAME,
                   slicer_id_name(ev), ev->splice_event_id, event_reason_name(ev),
                   ev->aired == AV_NOPTS_VALUE ? 0 : ev->aired, ev->aired == AV_NOPTS_VALUE ? 0 : ev->aired / 90000.0);
        break;
    case EVENT_IDLE:
        status_set_state(&app->status, STATE_IDLE);
        log_printf(LOG_INFO, "%s: SPLICING_STATE_IDLE", LOOP_NAME);
        break;
    case EVENT_RELAY_STARTED:
        slicer_library_quiet.store(0);
        ratelimit_flush(ses->failures, status_now_us());
        status_session_started(&app->status, status_now_us());
        status_set_state(&app->status, STATE_IDLE);
        log_printf(LOG_INFO, "%s: Entering main loop...", LOOP_NAME);
        break;
    case EVENT_PROGRESS:
        slicer_progress(ses, ev);
        break;
    case EVENT_FIRST_TIMESTAMP:
        log_printf(LOG_INFO, "%s: dts_stream_max=%" PRId64 " (%f)", LOOP_NAME, ev->pts, ev->pts / 90000.0);
        break;
    case EVENT_TIME_JUMP:
        log_printf(LOG_ERROR, "%s: delta=%" PRId64, LOOP_NAME, ev->delta);
        break;
    case EVENT_STREAM_ATTACHED:
        log_printf(LOG_INFO, "%s: source stream %d now belongs to output stream %d", LOOP_NAME, ev->code,
                   ev->stream);
        break;
    case EVENT_STREAM_UNKNOWN:
        if (ev->reason == TS_STREAM_LEAVE_OUT)
            log_printf(LOG_ERROR, "%s: stream on PID 0x%X has unknown parameters: left out for this session",
                       "slicer_streams", (unsigned)ev->code);
        else
            log_printf(LOG_INFO, "%s: stream on PID 0x%X has no sample rate yet: relayed as declared",
                       "slicer_streams", (unsigned)ev->code);
        break;
    case EVENT_LEADING_DROPPED:
        log_printf(LOG_INFO, "%s: %" PRId64 " leading pictures of the GOP at pts %" PRId64 " left out on stream %d",
                   LOOP_NAME, ev->delta, ev->pts, ev->stream);
        break;
    case EVENT_EPG_ADDED:
        if (!ses->quiet)
            log_printf(LOG_INFO, "%s: adding EPG track", "slicer_streams");
        break;
    case EVENT_OUTPUT_OPENING:
        if (!ses->quiet)
            log_printf(LOG_INFO, "%s: Opening [%s]...", "slicer_streams", ev->text);
        break;
    case EVENT_SETUP_FAILED:
        slicer_log_setup_failure(ses, ev);
        break;
    case EVENT_QUEUE_REFUSED:
        log_printf(LOG_ERROR, "%s: packets_queue_push failed with %d", LOOP_NAME, ev->code);
        break;
    case EVENT_WRITE_FAILED:
        slicer_fail(ses, "%s: Error muxing packet: %s", LOOP_NAME, err_to_str(err, sizeof(err), ev->code));
        break;
    default:
        break;
    }
}

/* Packet traces into the log; the splice rules' detail lines at the debug level. */
static void slicer_on_trace(void *opaque, int kind, const char *line)
{
    (void)opaque;
    if (kind == TRACE_DETAIL)
        log_printf(LOG_DEBUG, "%s: %s", "slicer_on_trace", line);
    else
        log_printf(LOG_INFO, "%s", line);
}

static const trace_sink slicer_trace = {slicer_on_trace, nullptr};

static int slicer_stop_requested(void *opaque)
{
    return slicer_stopping((const app_ctx *)opaque);
}

static relay_desc slicer_relay_desc(slicer_session *ses)
{
    app_ctx *app = ses->app;
    relay_desc desc = {};

    desc.in_depth = 0;
    desc.out_depth = 0;
    desc.cue_pid = RELAY_CUE_ANY_SCTE35;
    desc.add_epg = 1;
    desc.mux.mux_rate = app->mux_rate;
    desc.mux.max_delay = app->max_delay;
    desc.mux.max_interleave_us = SLICER_MAX_INTERLEAVE_US;
    desc.mux.service_name = app->service_name;
    desc.mux.service_provider = app->service_provider;
    desc.mux.transport_stream_id = app->transport_stream_id;
    desc.mux.original_network_id = app->original_network_id;
    desc.mux.service_id = app->service_id;
    desc.mux.pmt_start_pid = app->pmt_start_pid;
    desc.mux.packet_size = SLICER_DATAGRAM_SIZE;
    desc.mux.max_lead_us = SLICER_MAX_OUTPUT_LEAD_US;
    desc.stop = slicer_stop_requested;
    desc.stop_opaque = app;
    desc.events.fn = slicer_on_event;
    desc.events.opaque = ses;
    desc.trace = &slicer_trace;
    desc.verbose = app->debug > 1;
    desc.time_signal_breaks = app->time_signal_breaks;
    return desc;
}

/* The input filter's source: what the UDP receiver has, as soon as it has some. */
static int slicer_read_input(void *opaque, uint8_t *buf, int size)
{
    return avio_read_partial((AVIOContext *)opaque, buf, size);
}

/* Bytes the input and output rings hold: half a second at the mux rate, more than the output runs ahead. */
static int64_t slicer_ring_bytes(const app_ctx *app)
{
    int64_t bytes = app->mux_rate > 0 ? app->mux_rate / 8 * SLICER_RING_US / 1000000 : 0;
    return bytes < SLICER_RING_MIN ? SLICER_RING_MIN : bytes;
}

/* The UDP receiver on src_addr, as configured by the options. */
static int slicer_open_receiver(app_ctx *app, udp_in **src)
{
    udp_in_config config = {};

    config.addr = app->src_addr;
    config.interface = app->src_if;
    config.source = app->src_source;
    config.socket_buffer = app->src_buffer > 0 ? app->src_buffer : SLICER_SRC_BUFFER;
    config.ring_bytes = slicer_ring_bytes(app);
    config.stop_flag = app->stop_flag;
    return udp_in_create(src, &config);
}

/* The paced UDP sender to dst_addr, as configured by the options. */
static int slicer_open_sender(app_ctx *app, udp_out **dst)
{
    udp_out_config config = {};

    config.addr = app->dst_addr;
    config.interface = app->dst_if;
    config.ttl = app->dst_ttl;
    config.rtp = app->dst_rtp;
    config.delay_us = SLICER_SEND_DELAY_US;
    config.max_lead_us = SLICER_MAX_OUTPUT_LEAD_US;
    config.ring_bytes = slicer_ring_bytes(app);
    config.stop_flag = app->stop_flag;
    return udp_out_create(dst, &config);
}

/* Closes the sender (a bounded drain) and logs what it did. */
static void slicer_close_sender(udp_out **dst)
{
    udp_out_stats sent = {};

    if (!*dst)
        return;
    udp_out_destroy(dst, &sent);
    log_printf(LOG_INFO, "%s: output: %" PRId64 " datagrams sent, %" PRId64 " late, latest by %" PRId64
               " us, %" PRId64 " dropped at stop, %" PRId64 " send errors, %" PRId64 " schedule restarts",
               "slicer_streams", sent.datagrams_sent, sent.datagrams_late, sent.max_late_us,
               sent.datagrams_dropped + sent.bytes_dropped / SLICER_DATAGRAM_SIZE, sent.send_errors,
               sent.schedule_restarts);
}

/*
 * Logs, once per session, each programme video or audio stream that the
 * filler cannot replace; breaks are recorded as skipped when a video
 * stream has no filler stream at all.
 */
static void slicer_check_filler(slicer_session *ses, const AVFormatContext *input)
{
    filler_mismatch found[SLICER_MAX_MISMATCHES];
    char text[256];
    int n = filler_check(ses->app->filler, input, found, SLICER_MAX_MISMATCHES);

    for (int i = 0; i < n && i < SLICER_MAX_MISMATCHES; i++) {
        if (ses->quiet)
            continue;
        filler_mismatch_text(&found[i], text, sizeof(text));
        log_printf(LOG_ERROR, "%s: the filler cannot replace %s", "slicer_streams", text);
    }
}

/* Runs one stream session; 0 after a complete session, else the failing step's code. */
static int slicer_streams(slicer_session *ses)
{
    app_ctx *app = ses->app;
    relay_input input = {};
    relay *relay = nullptr;
    udp_in *src = nullptr;
    udp_out *dst = nullptr;
    slicer_output_stop output_stop = {app, 0};
    const AVIOInterruptCB interrupt = {slicer_interrupt, app};
    char err[ERR_TEXT_SIZE] = {0};
    int ret;

    status_set_state(&app->status, STATE_NO_INPUT);
    if (!ses->quiet)
        log_printf(LOG_INFO, "%s: avformat_open_input(%s)", "slicer_streams", app->src_url);
    ret = slicer_open_receiver(app, &src);
    if (ret < 0) {
        slicer_fail(ses, "%s: Could not open input file [%s]: %s", "slicer_streams", app->src_url,
                    err_to_str(err, sizeof(err), ret));
        return ret;
    }
    ses->src = src;
    ret = relay_open_input_reader(&input, app->src_url, slicer_read_input, udp_in_pb(src), &interrupt);
    if (ret < 0) {
        if (input.failed_step == RELAY_INPUT_PROBE)
            slicer_fail(ses, "%s: Failed to retrieve input stream information [%s]: %s", "slicer_streams",
                        app->src_url, err_to_str(err, sizeof(err), ret));
        else
            slicer_fail(ses, "%s: Could not open input file [%s]: %s", "slicer_streams", app->src_url,
                        err_to_str(err, sizeof(err), ret));
        slicer_count_overruns(ses);
        ses->src = nullptr;
        udp_in_destroy(&src);
        status_session_ended(&app->status);
        return ret;
    }
    if (!ses->quiet)
        av_dump_format(input.fmt, 0, app->src_url, 0);
    slicer_check_filler(ses, input.fmt);

    ret = slicer_open_sender(app, &dst);
    if (ret < 0) {
        slicer_fail(ses, "%s: Could not open output file [%s]: %s", "slicer_streams", app->dst_url,
                    err_to_str(err, sizeof(err), ret));
        goto out_close_input;
    }
    ses->dst = dst;
    {
        relay_desc desc = slicer_relay_desc(ses);
        desc.mux.write = udp_out_write;
        desc.mux.write_opaque = dst;
        ret = relay_create(&relay, &desc, &input, app->filler);
    }
    if (ret < 0)
        goto out_close_input;
    ret = relay_open_output(relay, app->dst_url, slicer_interrupt_output, &output_stop);
    if (ret < 0 && relay->failed_step == EVENT_STEP_LAYOUT)
        ret = SLICER_CONFIG_FAULT;
    if (ret >= 0) {
        /* Start from fresh input: what arrived during set-up is stale. */
        udp_in_discard(src);
        ret = relay_run(relay);
        int64_t dropped = relay_nulls_dropped(relay);
        if (dropped > 0)
            log_printf(LOG_INFO, "%s: %" PRId64 " null packets left out to keep the output in time",
                       "slicer_streams", dropped);
    }
    relay_destroy(&relay);

out_close_input:
    ses->dst = nullptr;
    slicer_close_sender(&dst);
    relay_close_input(&input);
    slicer_count_overruns(ses);
    ses->src = nullptr;
    udp_in_destroy(&src);
    status_session_ended(&app->status);
    return ret;
}

#define SLICER_LIBRARY_REPEATS 10  // library lines of one format logged in a row before they are counted

/* The library's lines of one format in a row, and those of them left out. */
static std::mutex slicer_library_lock;
static const char *slicer_library_fmt;
static int64_t slicer_library_repeats;
static int64_t slicer_library_left_out;
static int64_t slicer_library_logged_at;  // µs (monotonic)

/*
 * The library's log into the logger, except while it would only repeat
 * itself. A demuxer searching random bytes for packets writes one line
 * dozens of times a second: past SLICER_LIBRARY_REPEATS lines of one format
 * in a row, one is logged per RATELIMIT_PERIOD_US with the count left out.
 */
static void slicer_log_callback(void *avcl, int level, const char *fmt, va_list vl)
{
    if (slicer_library_quiet.load() || level > AV_LOG_INFO)
        return;
    int64_t left_out = 0;
    {
        std::lock_guard<std::mutex> guard(slicer_library_lock);
        int64_t now = status_now_us();
        if (fmt != slicer_library_fmt) {
            left_out = slicer_library_left_out;
            slicer_library_fmt = fmt;
            slicer_library_repeats = 0;
        } else if (slicer_library_repeats >= SLICER_LIBRARY_REPEATS) {
            if (now - slicer_library_logged_at < RATELIMIT_PERIOD_US) {
                slicer_library_left_out++;
                return;
            }
            left_out = slicer_library_left_out;
        }
        slicer_library_repeats++;
        slicer_library_left_out = 0;
        slicer_library_logged_at = now;
    }
    if (left_out > 0)
        log_printf(LOG_INFO, "%s: %" PRId64 " lines of the media library like the previous one left out",
                   "slicer_main_loop", left_out);
    ffmpeg_log_callback(avcl, level, fmt, vl);
}

/* Sleeps up to us microseconds in short steps, returning early on a stop request. */
static void slicer_pause(const app_ctx *app, int64_t us)
{
    int64_t end = av_gettime_relative() + us;
    while (!slicer_stopping(app) && av_gettime_relative() < end)
        av_usleep(20000);
}

int slicer_main_loop(app_ctx *app)
{
    /* Names for the log and the muxer; the sockets are the session's own. */
    utils_strlcpy(app->src_url, "udp://", sizeof(app->src_url));
    utils_strlcat(app->src_url, app->src_addr, sizeof(app->src_url));
    utils_strlcpy(app->dst_url, "udp://", sizeof(app->dst_url));
    utils_strlcat(app->dst_url, app->dst_addr, sizeof(app->dst_url));
    log_printf(LOG_INFO, "%s: src_url=%s", "slicer_main_loop", app->src_url);
    log_printf(LOG_INFO, "%s: dst_url=%s", "slicer_main_loop", app->dst_url);

    av_log_set_flags(AV_LOG_SKIP_REPEATED);
    av_log_set_callback(slicer_log_callback);
    avformat_network_init();

    log_printf(LOG_INFO, "%s: loading filler [%s]", "slicer_main_loop", app->filler_path);
    int ret = filler_load(app->filler_path, &app->filler);
    if (ret < 0) {
        char err[ERR_TEXT_SIZE] = {0};
        log_printf(LOG_ERROR, "%s: failed to load filler [%s]: %s", "slicer_main_loop", app->filler_path,
                   err_to_str(err, sizeof(err), ret));
        return ret;
    }
    for (unsigned i = FILLER_MAX_STREAMS; i < app->filler->format->nb_streams; i++)
        log_printf(LOG_ERROR, "%s: filler stream %u (id %d) ignored: at most %d filler streams are used",
                   "slicer_main_loop", i, app->filler->format->streams[i]->id, FILLER_MAX_STREAMS);
    av_dump_format(app->filler->format, 0, app->filler_path, 0);

    /*
     * A new session starts at once after the previous one; only when
     * sessions keep failing straight away are they paced, so that an
     * address that cannot be opened does not spin a core.
     */
    int quick_failures = 0;
    ratelimit failures = {};
    while (!slicer_stopping(app)) {
        int64_t started = av_gettime_relative();
        slicer_session ses = {};
        ses.app = app;
        ses.failures = &failures;
        ses.quiet = quick_failures > 0;
        slicer_library_quiet.store(ses.quiet);
        ret = slicer_streams(&ses);
        int64_t took = av_gettime_relative() - started;
        if (ret == SLICER_CONFIG_FAULT) {
            /* The options cannot work with this programme: no later session would do better. */
            log_printf(LOG_ERROR, "%s: the service stops: its options do not fit the input", "slicer_main_loop");
            break;
        }

        if (ret < 0 && took < SLICER_RETRY_PERIOD_US)
            quick_failures++;
        else
            quick_failures = 0;
        if (quick_failures > 1)
            slicer_pause(app, SLICER_RETRY_PERIOD_US - took);
    }

    ratelimit_flush(&failures, status_now_us());
    filler_destroy(&app->filler);
    return ret == SLICER_CONFIG_FAULT ? ret : 0;
}
