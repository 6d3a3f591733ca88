/*
 * The service's stream sessions: one UDP input relayed into one MPEG-TS
 * output on UDP, every input stream on its own PID, through the splice
 * rules; a new session opens whenever one ends, until the stop flag. What
 * the relay reports becomes log lines here.
 */
#include "service/session.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "common/log.h"
#include "common/utils.h"
#include "pipeline/filler.h"
#include "pipeline/relay.h"
#include "pipeline/trace.h"
#include "pipeline/ts_layout.h"
#include "service/app_ctx.h"

#define SLICER_DATAGRAM_SIZE     1316    // seven TS packets per UDP datagram
#define SLICER_RETRY_PERIOD_US   250000  // pace of repeated sessions that fail at once
#define SLICER_OUTPUT_GRACE_US   500000  // time the output gets to write its trailer after a stop
#define SLICER_SEND_HEADROOM     20      // the UDP sender may go 1/20 faster than the mux rate
/* How far the output may run ahead of the wall clock after a gap in the input's timestamps. */
#define SLICER_MAX_OUTPUT_LEAD_US 300000

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

/* Name in front of the lines that word the relay's events: the service's packet loop. */
static const char LOOP_NAME[] = "slicer_packets_loop";

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

static void slicer_log_setup_failure(const event *ev)
{
    char err[ERR_TEXT_SIZE] = {0};
    const char *text = err_to_str(err, sizeof(err), ev->code);

    switch (ev->reason) {
    case EVENT_STEP_OUTPUT_CONTEXT:
        log_printf(LOG_ERROR, "%s: avformat_alloc_output_context2(%s) failed: %s", "slicer_streams", ev->text, text);
        break;
    case EVENT_STEP_NEW_STREAM:
        log_printf(LOG_ERROR, "%s: Failed allocating output stream %d", "add_stream", ev->stream);
        break;
    case EVENT_STEP_CODEC_PARAMETERS:
        log_printf(LOG_ERROR, "%s: Failed to copy codec parameters for stream %d: %s", "add_stream", ev->stream, text);
        break;
    case EVENT_STEP_METADATA:
        log_printf(LOG_ERROR, "%s: Failed to copy metadatas for stream %d: %s", "add_stream", ev->stream, text);
        break;
    case EVENT_STEP_OPEN_OUTPUT:
        log_printf(LOG_ERROR, "%s: Could not open output file [%s]: %s", "slicer_streams", ev->text, text);
        break;
    case EVENT_STEP_WRITE_HEADER:
        log_printf(LOG_ERROR, "%s: avformat_write_header failed: %s", "slicer_streams", text);
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

/* The service's event sink: the log lines of the packet loop and the splice rules. */
static void slicer_on_event(void *opaque, const event *ev)
{
    app_ctx *app = (app_ctx *)opaque;
    char err[ERR_TEXT_SIZE] = {0};

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
        log_printf(LOG_INFO, "%s: splice_insert.splice_time.pts_time=%" PRId64, LOOP_NAME, ev->pts_time);
        if (ev->splice_time != ev->pts_time)
            log_printf(LOG_INFO, "%s: effective splice point=%" PRId64 " (%f), pts_adjustment=%" PRIu64,
                       LOOP_NAME, ev->splice_time, ev->splice_time / 90000.0, ev->pts_adjustment);
        log_printf(LOG_INFO, "%s: remain: %" PRId64 " ticks (%f sec)", LOOP_NAME, ev->delta, ev->delta / 90000.0);
        if (ev->flags & EVENT_CUE_DURATION_FLAG)
            log_printf(LOG_INFO, "%s: splice_insert.break_duration.duration=%" PRId64 " (%f), at=%" PRId64,
                       LOOP_NAME, ev->duration, ev->duration / 90000.0, ev->pts_time + ev->duration);
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
        if (ev->reason == EVENT_END_DURATION)
            log_printf(LOG_INFO, "%s: Splicing finished: delta=%" PRId64 ", time=%f, rep_ctx.end_pts=%" PRId64,
                       LOOP_NAME, ev->delta, ev->delta / 90000.0, ev->end_pts);
        else if (ev->reason == EVENT_END_FILLER_END)
            log_printf(LOG_INFO, "%s: end of VIDEO stream %d reached", LOOP_NAME, ev->stream);
        else
            log_printf(LOG_INFO, "%s: break of splice_event_id=%u ended with the session", LOOP_NAME,
                       ev->splice_event_id);
        break;
    case EVENT_IDLE:
        log_printf(LOG_INFO, "%s: SPLICING_STATE_IDLE", LOOP_NAME);
        break;
    case EVENT_RELAY_STARTED:
        log_printf(LOG_INFO, "%s: Entering main loop...", LOOP_NAME);
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
        log_printf(LOG_INFO, "%s: adding EPG track", "slicer_streams");
        break;
    case EVENT_OUTPUT_OPENING:
        log_printf(LOG_INFO, "%s: Opening [%s]...", "slicer_streams", ev->text);
        break;
    case EVENT_SETUP_FAILED:
        slicer_log_setup_failure(ev);
        break;
    case EVENT_QUEUE_REFUSED:
        log_printf(LOG_ERROR, "%s: packets_queue_push failed with %d", LOOP_NAME, ev->code);
        break;
    case EVENT_WRITE_FAILED:
        log_printf(LOG_ERROR, "%s: Error muxing packet: %s", LOOP_NAME, err_to_str(err, sizeof(err), ev->code));
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
        log_printf(LOG_DEBUG, "%s: %s", LOOP_NAME, line);
    else
        log_printf(LOG_INFO, "%s", line);
}

static const trace_sink slicer_trace = {slicer_on_trace, nullptr};

static int slicer_stop_requested(void *opaque)
{
    return slicer_stopping((const app_ctx *)opaque);
}

static relay_desc slicer_relay_desc(app_ctx *app)
{
    relay_desc desc = {};

    desc.in_depth = 0;
    desc.out_depth = 0;
    desc.cue_pid = RELAY_CUE_ANY_SCTE35;
    desc.add_epg = 1;
    desc.mux.mux_rate = app->mux_rate;
    desc.mux.max_delay = app->max_delay;
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
    desc.events.opaque = app;
    desc.trace = &slicer_trace;
    desc.verbose = app->debug > 1;
    return desc;
}

int slicer_streams(app_ctx *app)
{
    relay_input input = {};
    relay *relay = nullptr;
    slicer_output_stop output_stop = {app, 0};
    const AVIOInterruptCB interrupt = {slicer_interrupt, app};
    char err[ERR_TEXT_SIZE] = {0};
    int ret;

    log_printf(LOG_INFO, "%s: avformat_open_input(%s)", "slicer_streams", app->src_url);
    ret = relay_open_input(&input, app->src_url, &interrupt, nullptr);
    if (ret < 0) {
        if (input.failed_step == RELAY_INPUT_PROBE)
            log_printf(LOG_ERROR, "%s: Failed to retrieve input stream information [%s]: %s", "slicer_streams",
                       app->src_url, err_to_str(err, sizeof(err), ret));
        else
            log_printf(LOG_ERROR, "%s: Could not open input file [%s]: %s", "slicer_streams", app->src_url,
                       err_to_str(err, sizeof(err), ret));
        return ret;
    }
    av_dump_format(input.fmt, 0, app->src_url, 0);

    {
        relay_desc desc = slicer_relay_desc(app);
        ret = relay_create(&relay, &desc, &input, app->filler);
    }
    if (ret < 0)
        goto out_close_input;
    ret = relay_open_output(relay, app->dst_url, slicer_interrupt_output, &output_stop);
    if (ret < 0 && relay->failed_step == EVENT_STEP_LAYOUT)
        ret = SLICER_CONFIG_FAULT;
    if (ret >= 0) {
        ret = relay_run(relay);
        int64_t dropped = relay_nulls_dropped(relay);
        if (dropped > 0)
            log_printf(LOG_INFO, "%s: %" PRId64 " null packets left out to keep the output in time",
                       "slicer_streams", dropped);
    }
    relay_destroy(&relay);

out_close_input:
    relay_close_input(&input);
    return ret;
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
    char part[64];

    utils_strlcpy(app->src_url, "udp://", sizeof(app->src_url));
    utils_strlcat(app->src_url, app->src_addr, sizeof(app->src_url));
    utils_strlcat(app->src_url, "?overrun_nonfatal=1&fifo_size=2000000", sizeof(app->src_url));
    if (app->src_if[0]) {
        utils_strlcat(app->src_url, "&localaddr=", sizeof(app->src_url));
        utils_strlcat(app->src_url, app->src_if, sizeof(app->src_url));
    }
    utils_strlcpy(app->dst_url, "udp://", sizeof(app->dst_url));
    utils_strlcat(app->dst_url, app->dst_addr, sizeof(app->dst_url));
    utils_strlcat(app->dst_url, "?fifo_size=2000000&&pkt_size=1316", sizeof(app->dst_url));
    if (app->dst_if[0]) {
        utils_strlcat(app->dst_url, "&localaddr=", sizeof(app->dst_url));
        utils_strlcat(app->dst_url, app->dst_if, sizeof(app->dst_url));
    }
    if (app->mux_rate) {
        /*
         * The UDP sender thread sleeps between datagrams and forgets the time
         * it overslept: at exactly the muxer's rate it falls behind by 0.2 to
         * 0.7 % (measured at 20 Mbit/s), more on a loaded machine, and the
         * delay on air grows for as long as the session runs. With a little
         * headroom it keeps up; the muxer's constant rate still sets the pace.
         */
        snprintf(part, sizeof(part), "&bitrate=%" PRId64,
                 (int64_t)app->mux_rate + app->mux_rate / SLICER_SEND_HEADROOM);
        utils_strlcat(app->dst_url, part, sizeof(app->dst_url));
    }
    log_printf(LOG_INFO, "%s: src_url=%s", "slicer_main_loop", app->src_url);
    log_printf(LOG_INFO, "%s: dst_url=%s", "slicer_main_loop", app->dst_url);

    av_log_set_flags(AV_LOG_SKIP_REPEATED);
    av_log_set_callback(ffmpeg_log_callback);
    avformat_network_init();

    log_printf(LOG_INFO, "%s: loading filler [%s]", "slicer_main_loop", app->filler_path);
    int ret = filler_load(app->filler_path, &app->filler);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: failed to load filler [%s]", "slicer_main_loop", app->filler_path);
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
    while (!slicer_stopping(app)) {
        int64_t started = av_gettime_relative();
        ret = slicer_streams(app);
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

    filler_destroy(&app->filler);
    return ret == SLICER_CONFIG_FAULT ? ret : 0;
}
