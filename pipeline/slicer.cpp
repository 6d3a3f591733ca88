/*
 * The service's stream sessions: one UDP input relayed into one MPEG-TS
 * output on UDP, every input stream on its own PID, through the splice
 * controller; a new session opens whenever one ends, until the stop flag.
 */
#include "pipeline/slicer.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "common/app_ctx.h"
#include "common/log.h"
#include "common/utils.h"
#include "pipeline/filler.h"
#include "pipeline/packets_queue.h"
#include "pipeline/splice.h"
#include "pipeline/trace.h"
#include "pipeline/ts_out.h"
#include "service/udp_in.h"
#include "service/udp_out.h"

#define SLICER_EXTRA_MAP_ENTRIES 32      // room for input streams the demuxer adds later
#define SLICER_EPG_STREAM_ID     18      // PID 0x12: event information tables
/*
 * Everything produced for one input packet; large enough for the audio the
 * splice controller releases at once when a break starts.
 */
#define SLICER_DATAGRAM_SIZE     1316    // seven TS packets per UDP datagram
#define SLICER_OUT_QUEUE         512
#define SLICER_MAX_DTS_JUMP      1800000 // 20 s of 90 kHz ticks
#define SLICER_MAX_DTS_REPEAT    90000   // 1 s: how far behind its stream a packet counts as a repeat
#define SLICER_RETRY_PERIOD_US   250000  // pace of repeated sessions that fail at once
/* How long the muxer may hold packets waiting for a silent stream (EPG, cues). */
#define SLICER_MAX_INTERLEAVE_DELTA "300000"

#define SLICER_OUTPUT_GRACE_US   500000  // time the output gets to write its trailer after a stop
#define SLICER_SRC_BUFFER        (8 << 20)  // socket receive buffer asked for, bytes
#define SLICER_SRC_RING_US       1000000    // input ring: this long at the mux rate
#define SLICER_DST_RING_US       1000000    // output ring: this long at the mux rate
#define SLICER_RING_MIN          (4 << 20)  // bytes, for streams without a mux rate
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

int add_stream(session_ctx *session, int in_index, int out_index)
{
    const AVStream *ist = session->input->streams[in_index];
    char err[ERR_TEXT_SIZE] = {0};

    session->stream_map[in_index] = out_index;
    AVStream *ost = avformat_new_stream(session->output, nullptr);
    if (!ost) {
        log_printf(LOG_ERROR, "%s: Failed allocating output stream %d", "add_stream", out_index);
        return AVERROR_UNKNOWN;
    }
    int ret = avcodec_parameters_copy(ost->codecpar, ist->codecpar);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: Failed to copy codec parameters for stream %d: %s", "add_stream",
                   in_index, err_to_str(err, sizeof(err), ret));
        return ret;
    }
    ost->codecpar->codec_tag = 0;
    ret = av_dict_copy(&ost->metadata, ist->metadata, AV_DICT_IGNORE_SUFFIX);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: Failed to copy metadatas for stream %d: %s", "add_stream",
                   in_index, err_to_str(err, sizeof(err), ret));
        return ret;
    }
    ost->id = ist->id;
    return 0;
}

void splice_on_packet(app_ctx *app, session_ctx *session, const AVStream *ist, AVPacket **pkt,
                      packets_queue *queue)
{
    splice_env env = {};

    env.in = session->input;
    env.out = session->output;
    env.filler = app->filler;
    env.queue = queue;
    env.held = session->held;
    env.voice = SPLICE_VOICE_LOG;
    env.verbose = app->debug > 1;
    env.hex_text = app->hex_text;
    env.hex_size = sizeof(app->hex_text);

    if (ist->codecpar->codec_id == AV_CODEC_ID_SCTE_35)
        splice_cue(&env, &session->rep, ist, *pkt);
    splice_packet(&env, &session->rep, ist, pkt);
}

/*
 * Output stream for input stream i: its map entry, or, for a stream the
 * demuxer added after set-up, the first output stream with the same id.
 * Returns -1 when the stream has no output stream.
 */
static int slicer_map_stream(session_ctx *session, int i)
{
    if (i < 0 || i >= session->stream_map_size)
        return -1;
    if (session->stream_map[i] >= 0)
        return session->stream_map[i];

    int id = session->input->streams[i]->id;
    for (unsigned o = 0; o < session->output->nb_streams; o++) {
        if (session->output->streams[o]->id == id) {
            session->stream_map[i] = (int32_t)o;
            log_printf(LOG_INFO, "%s: source stream %d now belongs to output stream %d",
                       "slicer_packets_loop", i, (int)o);
            return (int)o;
        }
    }
    return -1;
}

/*
 * Why the muxer would refuse pkt, as a trace tag, or null. A packet whose dts
 * does not come after the last one written on its stream, by at most
 * SLICER_MAX_DTS_REPEAT, is a repeat (a datagram received twice) or left
 * over from a damaged stretch of input; so is one with a pts before its dts.
 * The muxer would fail on either and end the session, so they are left out.
 * A stream that goes further back is a jump, left to the muxer as before.
 */
static const char *slicer_refused(const AVFormatContext *output, const int64_t *last_dts,
                                  const AVPacket *pkt)
{
    int s = pkt->stream_index;

    if (pkt->pts != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE && pkt->pts < pkt->dts)
        return "PTS<DTS";
    if (!last_dts || s < 0 || (unsigned)s >= output->nb_streams || last_dts[s] == AV_NOPTS_VALUE ||
        pkt->dts == AV_NOPTS_VALUE || last_dts[s] - pkt->dts > SLICER_MAX_DTS_REPEAT)
        return nullptr;
    enum AVMediaType type = output->streams[s]->codecpar->codec_type;
    bool equal_allowed = type == AVMEDIA_TYPE_DATA || type == AVMEDIA_TYPE_SUBTITLE;
    if (pkt->dts < last_dts[s] || (pkt->dts == last_dts[s] && !equal_allowed))
        return "OLD";
    return nullptr;
}

/*
 * Writes out the queue, oldest first, leaving out what the muxer would refuse
 * (traced); last_dts, one entry per output stream, follows what was written.
 * Returns the muxing error, logged, or 0.
 */
static int slicer_write_queue(session_ctx *session, packets_queue *queue, int64_t *last_dts)
{
    AVPacket *pkt = nullptr;

    while (packets_queue_pop(queue, &pkt) >= 0) {
        const char *refused = slicer_refused(session->output, last_dts, pkt);
        if (refused) {
            log_packet(session->output, pkt, refused);
            av_packet_free(&pkt);
            continue;
        }
        int s = pkt->stream_index;
        int64_t dts = pkt->dts;
        int ret = av_interleaved_write_frame(session->output, pkt);
        av_packet_free(&pkt);
        if (ret < 0) {
            char err[ERR_TEXT_SIZE] = {0};
            log_printf(LOG_ERROR, "%s: Error muxing packet: %s", "slicer_packets_loop",
                       err_to_str(err, sizeof(err), ret));
            return ret;
        }
        if (last_dts && s >= 0 && (unsigned)s < session->output->nb_streams && dts != AV_NOPTS_VALUE)
            last_dts[s] = dts;
    }
    return 0;
}

int slicer_packets_loop(app_ctx *app, session_ctx *session)
{
    packets_queue *queue = nullptr;
    AVPacket *pkt = nullptr;
    int64_t dts_stream_max = AV_NOPTS_VALUE;
    bool write_failed = false;
    int ret;

    /* Last dts written per output stream; without it (no memory) nothing is left out. */
    int64_t *last_dts = (int64_t *)av_malloc_array(session->output->nb_streams, sizeof(int64_t));
    for (unsigned i = 0; last_dts && i < session->output->nb_streams; i++)
        last_dts[i] = AV_NOPTS_VALUE;

    if (packets_queue_create(&queue, SLICER_OUT_QUEUE) < 0) {
        av_free(last_dts);
        return 0;
    }
    if (packets_queue_create(&session->held, SPLICE_HELD_MAX) < 0) {
        packets_queue_destroy(&queue);
        av_free(last_dts);
        return 0;
    }
    log_printf(LOG_INFO, "%s: Entering main loop...", "slicer_packets_loop");

    while (!slicer_stopping(app)) {
        pkt = av_packet_alloc();
        if (!pkt)
            break;
        if (av_read_frame(session->input, pkt) < 0 || slicer_stopping(app))
            break;

        if (pkt->pts == AV_NOPTS_VALUE || pkt->dts == AV_NOPTS_VALUE) {
            if (dts_stream_max == AV_NOPTS_VALUE) {
                log_packet(session->input, pkt, "NOPTS");
                av_packet_free(&pkt);
                continue;
            }
            pkt->dts = dts_stream_max;
            pkt->pts = dts_stream_max;
        }

        if (dts_stream_max == AV_NOPTS_VALUE) {
            dts_stream_max = pkt->dts;
            log_printf(LOG_INFO, "%s: dts_stream_max=%" PRId64 " (%f)", "slicer_packets_loop",
                       dts_stream_max, dts_stream_max / 90000.0);
        } else {
            int64_t delta = pkt->dts - dts_stream_max;
            if (llabs(delta) > SLICER_MAX_DTS_JUMP) {
                log_printf(LOG_ERROR, "%s:%d: delta=%" PRId64, "slicer_packets_loop", 123, delta);
                log_packet(session->input, pkt, "BAD");
                break;
            }
            if (pkt->dts > dts_stream_max)
                dts_stream_max = pkt->dts;
        }

        int in_index = pkt->stream_index;
        int out_index = slicer_map_stream(session, in_index);
        if (out_index < 0) {
            log_packet(session->input, pkt, "IGN");
            av_packet_free(&pkt);
            continue;
        }
        pkt->stream_index = out_index;

        splice_on_packet(app, session, session->input->streams[in_index], &pkt, queue);

        if (pkt) {
            pkt->pos = -1;
            ret = packets_queue_push(queue, pkt);
            if (ret < 0) {
                log_printf(LOG_ERROR, "%s:%d packets_queue_push failed with %d", "slicer_packets_loop", 513, ret);
                break;
            }
            pkt = nullptr;
        }

        if (slicer_write_queue(session, queue, last_dts) < 0) {
            write_failed = true;
            break;
        }
    }
    av_packet_free(&pkt);

    /* Audio still held for a break that did not start yet goes out with the rest. */
    if (!write_failed) {
        splice_env env = {};
        env.queue = queue;
        env.held = session->held;
        splice_release_held(&env);
        slicer_write_queue(session, queue, last_dts);
    }
    packets_queue_destroy(&session->held);
    packets_queue_destroy(&queue);
    av_free(last_dts);
    return 0;
}

/* Muxer options and output metadata from the service's options. */
static void slicer_output_options(const app_ctx *app, AVFormatContext *output, AVDictionary **opts)
{
    if (app->service_name[0])
        av_dict_set(&output->metadata, "service_name", app->service_name, 0);
    if (app->service_provider[0])
        av_dict_set(&output->metadata, "service_provider", app->service_provider, 0);
    if (app->transport_stream_id)
        av_dict_set_int(opts, "mpegts_transport_stream_id", app->transport_stream_id, 0);
    if (app->original_network_id)
        av_dict_set_int(opts, "mpegts_original_network_id", app->original_network_id, 0);
    if (app->service_id)
        av_dict_set_int(opts, "mpegts_service_id", app->service_id, 0);
    if (app->pmt_start_pid)
        av_dict_set_int(opts, "mpegts_pmt_start_pid", app->pmt_start_pid, 0);
    av_dict_set_int(opts, "muxrate", app->mux_rate, 0);
    av_dict_set_int(opts, "max_delay", app->max_delay, 0);
    av_dict_set(opts, "flush_packets", "0", 0);
    av_dict_set(opts, "mpegts_copyts", "1", 0);
    /* One PES per audio frame, so that every frame keeps the pts the splice gave it. */
    av_dict_set(opts, "pes_payload_size", "0", 0);
    /* Timestamps just below the 2^33 wrap demux as negative values: write them as they are. */
    av_dict_set(opts, "avoid_negative_ts", "disabled", 0);
    /* Streams that stay silent (EPG, cues) must not hold the relay back. */
    av_dict_set(opts, "max_interleave_delta", SLICER_MAX_INTERLEAVE_DELTA, 0);
}

/* Adds the EPG track on PID 0x12 unless the input carries one. 0 or AVERROR_UNKNOWN. */
static int slicer_add_epg(session_ctx *session)
{
    for (unsigned i = 0; i < session->input->nb_streams; i++)
        if (session->input->streams[i]->codecpar->codec_id == AV_CODEC_ID_EPG)
            return 0;

    log_printf(LOG_INFO, "%s: adding EPG track", "slicer_streams");
    AVStream *epg = avformat_new_stream(session->output, nullptr);
    if (!epg) {
        log_printf(LOG_ERROR, "%s: Failed allocating output stream", "slicer_streams");
        return AVERROR_UNKNOWN;
    }
    epg->codecpar->codec_tag = 0;
    epg->codecpar->codec_id = AV_CODEC_ID_EPG;
    epg->codecpar->codec_type = AVMEDIA_TYPE_DATA;
    epg->id = SLICER_EPG_STREAM_ID;
    return 0;
}

/*
 * What the output stage rewrites: the cue streams leave as SCTE-35 sections
 * declared with their registration, the EPG stream as sections on its PID.
 */
static ts_out_config slicer_output_config(const AVFormatContext *output)
{
    ts_out_config config = {};

    config.epg_pid = -1;
    for (unsigned i = 0; i < output->nb_streams; i++) {
        const AVStream *st = output->streams[i];
        if (st->codecpar->codec_id == AV_CODEC_ID_SCTE_35 && config.cue_pid_count < TS_OUT_MAX_CUE_PIDS)
            config.cue_pids[config.cue_pid_count++] = st->id;
        else if (st->codecpar->codec_id == AV_CODEC_ID_EPG && config.epg_pid < 0)
            config.epg_pid = st->id;
    }
    return config;
}

int slicer_streams(app_ctx *app)
{
    session_ctx session;
    slicer_output_stop output_stop = {app, 0};
    ts_out *stage = nullptr;
    udp_in *src = nullptr;
    udp_out *sender = nullptr;
    int64_t ring_bytes = app->mux_rate > 0 ? (int64_t)app->mux_rate / 8 : 0;
    AVDictionary *in_opts = nullptr;
    AVDictionary *mux_opts = nullptr;
    char err[ERR_TEXT_SIZE] = {0};
    int ret;

    memset(&session, 0, sizeof(session));
    log_printf(LOG_INFO, "%s: avformat_open_input(%s)", "slicer_streams", app->src_url);

    session.input = avformat_alloc_context();
    if (!session.input)
        return AVERROR(ENOMEM);
    session.input->interrupt_callback.callback = slicer_interrupt;
    session.input->interrupt_callback.opaque = app;
    {
        udp_in_config src_config = {};
        src_config.addr = app->src_addr;
        src_config.interface = app->src_if;
        src_config.socket_buffer = SLICER_SRC_BUFFER;
        src_config.ring_bytes = ring_bytes * SLICER_SRC_RING_US / 1000000;
        if (src_config.ring_bytes < SLICER_RING_MIN)
            src_config.ring_bytes = SLICER_RING_MIN;
        src_config.stop_flag = app->stop_flag;
        ret = udp_in_create(&src, &src_config);
        if (ret < 0) {
            log_printf(LOG_ERROR, "%s: Could not open input file [%s]: %s", "slicer_streams", app->src_url,
                       err_to_str(err, sizeof(err), ret));
            avformat_free_context(session.input);
            return ret;
        }
    }
    session.input->pb = udp_in_pb(src);
    session.input->flags |= AVFMT_FLAG_CUSTOM_IO;
    ret = avformat_open_input(&session.input, app->src_url, av_find_input_format("mpegts"), &in_opts);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: Could not open input file [%s]: %s", "slicer_streams", app->src_url,
                   err_to_str(err, sizeof(err), ret));
        goto out_close;
    }

    log_printf(LOG_INFO, "%s: avformat_find_stream_info()...", "slicer_streams");
    ret = avformat_find_stream_info(session.input, nullptr);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: Failed to retrieve input stream information [%s]: %s", "slicer_streams",
                   app->src_url, err_to_str(err, sizeof(err), ret));
        goto out_close;
    }
    av_dump_format(session.input, 0, app->src_url, 0);

    avformat_alloc_output_context2(&session.output, nullptr, "mpegts", app->dst_url);
    if (!session.output) {
        ret = AVERROR_UNKNOWN;
        log_printf(LOG_ERROR, "%s: avformat_alloc_output_context2(%s) failed: %s", "slicer_streams",
                   app->dst_url, err_to_str(err, sizeof(err), ret));
        goto out_close;
    }
    session.output->interrupt_callback.callback = slicer_interrupt_output;
    session.output->interrupt_callback.opaque = &output_stop;

    {
        int n = (int)session.input->nb_streams;
        session.stream_map = (int32_t *)av_calloc(n + SLICER_EXTRA_MAP_ENTRIES, sizeof(int32_t));
        if (!session.stream_map) {
            ret = AVERROR(ENOMEM);
            goto out_close;
        }
        for (int i = 0; i < n; i++) {
            ret = add_stream(&session, i, i);
            if (ret < 0)
                goto out_close;
        }
        for (int i = n; i < n + SLICER_EXTRA_MAP_ENTRIES; i++)
            session.stream_map[i] = -1;
        session.stream_map_size = n + SLICER_EXTRA_MAP_ENTRIES;
    }

    ret = slicer_add_epg(&session);
    if (ret < 0)
        goto out_close;
    av_dump_format(session.output, 0, app->dst_url, 1);

    if (!(session.output->oformat->flags & AVFMT_NOFILE)) {
        log_printf(LOG_INFO, "%s: Opening [%s]...", "slicer_streams", app->dst_url);
        ts_out_config config = slicer_output_config(session.output);
        udp_out_config dst_config = {};
        dst_config.addr = app->dst_addr;
        dst_config.interface = app->dst_if;
        dst_config.delay_us = SLICER_SEND_DELAY_US;
        /* The muxer's PCR starts at the first dts and settles max_delay behind. */
        dst_config.start_lead_us = app->max_delay > 0 ? app->max_delay : 0;
        dst_config.max_lead_us = SLICER_MAX_OUTPUT_LEAD_US;
        dst_config.ring_bytes = ring_bytes * SLICER_DST_RING_US / 1000000;
        if (dst_config.ring_bytes < SLICER_RING_MIN)
            dst_config.ring_bytes = SLICER_RING_MIN;
        dst_config.stop_flag = app->stop_flag;
        ret = udp_out_create(&sender, &dst_config);
        if (ret >= 0)
            ret = ts_out_open_writer(&stage, udp_out_write, sender, &config, SLICER_DATAGRAM_SIZE);
        if (ret >= 0) {
            session.output->pb = ts_out_pb(stage);
            ts_out_set_pacing(stage, app->mux_rate > 0 ? app->mux_rate : 0, SLICER_MAX_OUTPUT_LEAD_US);
        }
        if (ret < 0) {
            log_printf(LOG_ERROR, "%s: Could not open output file [%s]: %s", "slicer_streams", app->dst_url,
                       err_to_str(err, sizeof(err), ret));
            goto out_close;
        }
    }

    slicer_output_options(app, session.output, &mux_opts);
    ret = avformat_write_header(session.output, &mux_opts);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: avformat_write_header failed: %s", "slicer_streams",
                   err_to_str(err, sizeof(err), ret));
        goto out_close;
    }

    /* Start from fresh input: what arrived during set-up is stale. */
    udp_in_discard(src);
    avformat_flush(session.input);

    ret = slicer_packets_loop(app, &session);
    av_write_trailer(session.output);
    {
        ts_out_stats stats;
        if (ts_out_get_stats(stage, &stats) == 0 && stats.nulls_dropped > 0)
            log_printf(LOG_INFO, "%s: %" PRId64 " null packets left out to keep the output in time",
                       "slicer_streams", stats.nulls_dropped);
    }

out_close:
    avformat_close_input(&session.input);
    udp_in_destroy(&src);
    if (session.output)
        session.output->pb = nullptr;  // the stage's own context
    ts_out_close(&stage);
    if (sender) {
        udp_out_stats sent;
        udp_out_destroy(&sender, &sent);
        log_printf(LOG_INFO, "%s: output: %" PRId64 " datagrams sent, %" PRId64 " late, latest by %" PRId64
                   " us, %" PRId64 " dropped at stop, %" PRId64 " send errors, %" PRId64 " schedule restarts",
                   "slicer_streams", sent.datagrams_sent, sent.datagrams_late, sent.max_late_us,
                   sent.datagrams_dropped + sent.bytes_dropped / SLICER_DATAGRAM_SIZE, sent.send_errors,
                   sent.schedule_restarts);
    }
    avformat_free_context(session.output);
    av_freep(&session.stream_map);
    av_dict_free(&in_opts);
    av_dict_free(&mux_opts);
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
    if (filler_load(app->filler_path, &app->filler) < 0) {
        log_printf(LOG_ERROR, "%s: failed to load filler [%s]", "slicer_main_loop", app->filler_path);
        return 0;
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
        int ret = slicer_streams(app);
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
