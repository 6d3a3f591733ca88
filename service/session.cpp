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
#include "service/app_ctx.h"
#include "service/udp_in.h"
#include "service/udp_out.h"

#define SLICER_DATAGRAM_SIZE     1316    // seven TS packets per UDP datagram
#define SLICER_RETRY_PERIOD_US   250000  // pace of repeated sessions that fail at once
#define SLICER_OUTPUT_GRACE_US   500000  // time the output gets to write its trailer after a stop
#define SLICER_SRC_BUFFER        (8 << 20)  // socket receive buffer asked for by default, bytes
#define SLICER_RING_US           1000000    // input and output rings: this long at the mux rate
#define SLICER_RING_MIN          (4 << 20)  // bytes, also for streams without a mux rate
/* Margin of the output's schedule over the latest bytes the muxer writes. */
#define SLICER_SEND_DELAY_US     60000
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
    default:
        break;
    }
}

/* What the event's id counts: splice_insert events or time_signal segmentation events. */
static const char *slicer_id_name(const event *ev)
{
    return ev->flags & EVENT_CUE_SEGMENTATION_FLAG ? "segmentation_event_id" : "splice_event_id";
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
    desc.time_signal_breaks = app->time_signal_breaks;
    return desc;
}

/* Bytes the input and output rings hold: about a second at the mux rate. */
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
    /* The muxer's PCR starts at the first dts and settles max_delay behind. */
    config.start_lead_us = app->max_delay > 0 ? app->max_delay : 0;
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

int slicer_streams(app_ctx *app)
{
    AVFormatContext *input = nullptr;
    relay *relay = nullptr;
    udp_in *src = nullptr;
    udp_out *dst = nullptr;
    slicer_output_stop output_stop = {app, 0};
    char err[ERR_TEXT_SIZE] = {0};
    int ret;

    log_printf(LOG_INFO, "%s: avformat_open_input(%s)", "slicer_streams", app->src_url);
    ret = slicer_open_receiver(app, &src);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: Could not open input file [%s]: %s", "slicer_streams", app->src_url,
                   err_to_str(err, sizeof(err), ret));
        return ret;
    }
    input = avformat_alloc_context();
    if (!input) {
        udp_in_destroy(&src);
        return AVERROR(ENOMEM);
    }
    input->interrupt_callback.callback = slicer_interrupt;
    input->interrupt_callback.opaque = app;
    input->pb = udp_in_pb(src);
    input->flags |= AVFMT_FLAG_CUSTOM_IO;
    ret = avformat_open_input(&input, app->src_url, av_find_input_format("mpegts"), nullptr);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: Could not open input file [%s]: %s", "slicer_streams", app->src_url,
                   err_to_str(err, sizeof(err), ret));
        udp_in_destroy(&src);
        return ret;
    }

    log_printf(LOG_INFO, "%s: avformat_find_stream_info()...", "slicer_streams");
    ret = avformat_find_stream_info(input, nullptr);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: Failed to retrieve input stream information [%s]: %s", "slicer_streams",
                   app->src_url, err_to_str(err, sizeof(err), ret));
        goto out_close_input;
    }
    av_dump_format(input, 0, app->src_url, 0);

    ret = slicer_open_sender(app, &dst);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: Could not open output file [%s]: %s", "slicer_streams", app->dst_url,
                   err_to_str(err, sizeof(err), ret));
        goto out_close_input;
    }
    {
        relay_desc desc = slicer_relay_desc(app);
        desc.mux.write = udp_out_write;
        desc.mux.write_opaque = dst;
        ret = relay_create(&relay, &desc, input, app->filler);
    }
    if (ret < 0)
        goto out_close_input;
    ret = relay_open_output(relay, app->dst_url, slicer_interrupt_output, &output_stop);
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
    slicer_close_sender(&dst);
    avformat_close_input(&input);
    udp_in_destroy(&src);
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
    /* Names for the log and the muxer; the sockets are the session's own. */
    utils_strlcpy(app->src_url, "udp://", sizeof(app->src_url));
    utils_strlcat(app->src_url, app->src_addr, sizeof(app->src_url));
    utils_strlcpy(app->dst_url, "udp://", sizeof(app->dst_url));
    utils_strlcat(app->dst_url, app->dst_addr, sizeof(app->dst_url));
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

        if (ret < 0 && took < SLICER_RETRY_PERIOD_US)
            quick_failures++;
        else
            quick_failures = 0;
        if (quick_failures > 1)
            slicer_pause(app, SLICER_RETRY_PERIOD_US - took);
    }

    filler_destroy(&app->filler);
    return 0;
}
