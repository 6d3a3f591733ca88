/*
 * The relay loop: output set-up mirroring the input, then read, timestamp
 * guard, stream mapping, cue intake, splice rules and interleaved writing.
 * Packets wait in two backlogs whose depths the program sets (relay_desc
 * in_depth, out_depth): read ahead of the splice rules, so that a key frame
 * is known before the packets around it are decided, and queued before the
 * muxer, so that pictures of an open GOP that lead a switch can still be
 * left out.
 */
#include "relay/relay.h"
#include "relay/relay_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "splice/filler.h"
#include "codec/h264_join.h"
#include "codec/hevc_bla.h"
#include "splice/packets_queue.h"
#include "splice/splice.h"
#include "common/mpegts.h"
#include "common/trace.h"
#include "ts/ts_layout.h"
#include "ts/ts_out.h"
#include "ts/ts_pass.h"

#define RELAY_EXTRA_MAP_ENTRIES 32      // room for input streams the demuxer adds later
#define RELAY_EPG_STREAM_ID     18      // PID 0x12: event information tables
#define RELAY_QUEUE_CAPACITY    512
#define RELAY_PACKET_SIZE       1316    // seven TS packets
#define RELAY_MAX_DTS_REPEAT    90000   // 1 s: how far behind its stream a packet counts as a repeat
#define RELAY_LINE_BACK         (2 * 90000)  // a file's pictures or sound this far behind their line: a new one
#define RELAY_PROGRESS_PACKETS  64      // packets read between two progress events
#define RELAY_LIVE_TICK_US      5000    // live: the loop acts on the wall clock at least this often
#define RELAY_LIVE_BATCH        32      // live: packets taken at once before the clock's turn
#define RELAY_CHECK_REPORT_US   1000000 // live: a failed output check is reported at most this often
/* How long the muxer may hold packets waiting for a silent stream (EPG, cues). */
#define RELAY_MAX_INTERLEAVE_US 300000
#define RELAY_LAYOUT_TEXT_SIZE  160
#define RELAY_DELAY_MARGIN_US   20000   // live: the muxer's max_delay beyond the input's longest video lead,
#define RELAY_DELAY_MIN_US      100000  // and no less than this

static event relay_event(event_type t, const relay *r)
{
    event ev = event_make(t);
    ev.splice_event_id = r->rep.splice_event_id;
    ev.splice_time = r->rep.splice_point;
    ev.duration = r->rep.scte_35_duration == AV_NOPTS_VALUE ? 0 : r->rep.scte_35_duration;
    return ev;
}

static int relay_setup_failed(relay *r, event_setup_step step, int stream, int code, const char *text)
{
    r->failed_step = step;
    event ev = relay_event(EVENT_SETUP_FAILED, r);
    ev.reason = step;
    ev.stream = stream;
    ev.result = code;
    ev.text = text;
    event_emit(&r->desc.splice.events, &ev);
    return code;
}

int relay_create(relay **out, const relay_desc *desc, const relay_input *in, const filler_ctx *filler)
{
    if (!out || !desc || !in || !in->fmt)
        return -EINVAL;
    relay *r = (relay *)calloc(1, sizeof(*r));
    if (!r)
        return -ENOMEM;
    r->desc = *desc;
    r->in = in->fmt;
    r->filter = in->filter;
    r->filler = filler;
    r->failed_step = -1;
    r->gop.stream = -1;
    r->mux_offset = AV_NOPTS_VALUE;
    r->lines.last = r->lines.prev_last = AV_NOPTS_VALUE;
    rep_ctx_reset(&r->rep);
    if (relay_pes_create(r) < 0 || (desc->live && relay_live_create(r) < 0)) {
        relay_pes_destroy(r);
        free(r);
        return -ENOMEM;
    }
    *out = r;
    return 0;
}

/*
 * Output stream mirroring input stream in_index on its PID, with what the
 * probe did not learn filled in (stream_type: what the input's PMT declares
 * for the PID). A stream the muxer cannot take keeps no output stream.
 * 0 or a library code.
 */
static int relay_add_stream(relay *r, int in_index, int stream_type)
{
    const AVStream *ist = r->in->streams[in_index];
    int plan = ts_layout_stream_plan(ist->codecpar);

    if (plan != TS_STREAM_RELAY) {
        event ev = relay_event(EVENT_STREAM_UNKNOWN, r);
        ev.input_index = in_index;
        ev.pid = ist->id;
        ev.reason = plan;
        event_emit(&r->desc.splice.events, &ev);
        if (plan == TS_STREAM_LEAVE_OUT)
            return 0;
    }
    int out_index = (int)r->out->nb_streams;
    AVStream *ost = avformat_new_stream(r->out, nullptr);
    if (!ost)
        return relay_setup_failed(r, EVENT_STEP_NEW_STREAM, out_index, AVERROR_UNKNOWN, nullptr);
    r->stream_map[in_index] = out_index;
    int ret = avcodec_parameters_copy(ost->codecpar, ist->codecpar);
    if (ret < 0)
        return relay_setup_failed(r, EVENT_STEP_CODEC_PARAMETERS, in_index, ret, nullptr);
    ost->codecpar->codec_tag = 0;
    ts_layout_fill_params(ost->codecpar, stream_type);
    ret = av_dict_copy(&ost->metadata, ist->metadata, AV_DICT_IGNORE_SUFFIX);
    if (ret < 0)
        return relay_setup_failed(r, EVENT_STEP_METADATA, in_index, ret, nullptr);
    ost->id = ist->id;

    event ev = relay_event(EVENT_STREAM_ADDED, r);
    ev.stream = out_index;
    ev.pid = ist->id;
    event_emit(&r->desc.splice.events, &ev);
    return 0;
}

/*
 * Adds the EPG track on PID 0x12 unless the input carries one. With a
 * multiplex passing through, the input's EIT passes as it is and the track
 * only keeps the muxer's clock going (relay_clock_tick), on a PID the input
 * leaves free. 0 or AVERROR_UNKNOWN.
 */
static int relay_add_epg(relay *r)
{
    for (unsigned i = 0; i < r->in->nb_streams && !r->pass.on; i++)
        if (r->in->streams[i]->codecpar->codec_id == AV_CODEC_ID_EPG)
            return 0;

    AVStream *epg = avformat_new_stream(r->out, nullptr);
    if (!epg)
        return relay_setup_failed(r, EVENT_STEP_NEW_STREAM, (int)r->out->nb_streams, AVERROR_UNKNOWN, nullptr);
    epg->codecpar->codec_tag = 0;
    epg->codecpar->codec_id = AV_CODEC_ID_EPG;
    epg->codecpar->codec_type = AVMEDIA_TYPE_DATA;
    epg->id = r->pass.on ? relay_clock_pid(r) : RELAY_EPG_STREAM_ID;
    r->pass.clock_stream = epg->index;
    if (!r->desc.add_epg || epg->id != RELAY_EPG_STREAM_ID)
        return 0;

    event ev = relay_event(EVENT_EPG_ADDED, r);
    ev.stream = epg->index;
    event_emit(&r->desc.splice.events, &ev);
    return 0;
}

/*
 * What the output stage rewrites: the cue streams leave as SCTE-35 sections
 * declared with their registration, the EPG stream as sections on its PID.
 */
static ts_out_config relay_stage_config(const AVFormatContext *output)
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

static void relay_mux_options(const relay_mux *m, AVFormatContext *output, AVDictionary **opts)
{
    if (m->service_name && m->service_name[0])
        av_dict_set(&output->metadata, "service_name", m->service_name, 0);
    if (m->service_provider && m->service_provider[0])
        av_dict_set(&output->metadata, "service_provider", m->service_provider, 0);
    if (m->original_network_id)
        av_dict_set_int(opts, "mpegts_original_network_id", m->original_network_id, 0);
    av_dict_set_int(opts, "muxrate", m->mux_rate, 0);
    av_dict_set_int(opts, "max_delay", m->max_delay, 0);
    av_dict_set(opts, "flush_packets", "0", 0);
    av_dict_set(opts, "mpegts_copyts", "1", 0);
    /* One PES per audio frame, so that every frame keeps the pts the splice gave it. */
    av_dict_set(opts, "pes_payload_size", "0", 0);
    /* Timestamps just below the 2^33 wrap demux as negative values: write them as they are. */
    av_dict_set(opts, "avoid_negative_ts", "disabled", 0);
    /* Streams that stay silent (EPG, cues) must not hold the relay back. */
    av_dict_set_int(opts, "max_interleave_delta", m->max_interleave_us > 0 ? m->max_interleave_us : RELAY_MAX_INTERLEAVE_US, 0);
}

/*
 * The muxer's program number, PMT PID and transport_stream_id: the input's
 * unless the program's description overrides them. 0, or the refusal's code
 * (reported).
 */
static int relay_output_identity(relay *r, const ts_identity *id, ts_layout_ids *ids)
{
    const relay_mux *m = &r->desc.mux;
    ts_layout_overrides ov = {m->service_id, m->pmt_start_pid, m->transport_stream_id, id->spts};
    char why[RELAY_LAYOUT_TEXT_SIZE] = "";

    int ret = ts_layout_output_ids(id, &ov, r->out, ids, why, sizeof(why));
    return ret < 0 ? relay_setup_failed(r, EVENT_STEP_LAYOUT, -1, ret, why) : 0;
}

/* The input-indexed tables: no stream mapped, no dts predicted. 0 or AVERROR(ENOMEM). */
static int relay_alloc_input_maps(relay *r)
{
    r->stream_map_size = (int)r->in->nb_streams + RELAY_EXTRA_MAP_ENTRIES;
    r->stream_map = (int32_t *)av_malloc_array(r->stream_map_size, sizeof(int32_t));
    r->next_dts = (int64_t *)av_malloc_array(r->stream_map_size, sizeof(int64_t));
    if (!r->stream_map || !r->next_dts)
        return AVERROR(ENOMEM);
    for (int i = 0; i < r->stream_map_size; i++) {
        r->stream_map[i] = -1;
        r->next_dts[i] = AV_NOPTS_VALUE;
    }
    return 0;
}

/* The output-indexed tables, once the streams are added: nothing written, no join. 0 or AVERROR(ENOMEM). */
static int relay_alloc_output_maps(relay *r)
{
    unsigned n = r->out->nb_streams ? r->out->nb_streams : 1;

    r->last_dts = (int64_t *)av_malloc_array(n, sizeof(int64_t));
    if (!r->last_dts)
        return AVERROR(ENOMEM);
    for (unsigned i = 0; i < n; i++)
        r->last_dts[i] = AV_NOPTS_VALUE;
    r->joins = (h264_join *)av_calloc(n, sizeof(h264_join));
    if (!r->joins)
        return AVERROR(ENOMEM);
    r->join_count = r->out->nb_streams;
    return 0;
}

/* The programme's identity as the input filter and the demuxer found it. */
static ts_identity relay_input_identity(const relay *r)
{
    ts_identity id;

    memset(&id, 0, sizeof(id));
    id.ts_id = id.program_number = id.pmt_pid = id.pcr_pid = -1;
    if (r->filter)
        ts_in_get_identity(r->filter, &id);
    ts_layout_identity_from_demuxer(r->in, &id);
    return id;
}

/*
 * Whether input stream i shares its PID with another stream the demuxer made
 * (a PMT that lists the PID twice, or a later version that names it again)
 * which is taken instead: the first of a known codec, else the first. Its
 * packets, if the demuxer hands any out under it, go to that one's output
 * stream (relay_map_stream attaches them by PID).
 */
static bool relay_duplicate(const relay *r, unsigned i)
{
    const AVStream *st = r->in->streams[i];
    bool known = st->codecpar->codec_id != AV_CODEC_ID_NONE;
    for (unsigned k = 0; k < r->in->nb_streams; k++) {
        const AVStream *o = r->in->streams[k];
        if (k == i || o->id != st->id)
            continue;
        bool other_known = o->codecpar->codec_id != AV_CODEC_ID_NONE;
        if (other_known != known ? other_known : k < i)
            return true;
    }
    return false;
}

/* Says that the programme lists PID pid twice (input stream i; -1: the demuxer made one of it). */
static void relay_told_twice(relay *r, int i, int pid)
{
    event ev = relay_event(EVENT_STREAM_UNKNOWN, r);
    ev.input_index = i;
    ev.pid = pid;
    ev.reason = TS_STREAM_DUPLICATE;
    event_emit(&r->desc.splice.events, &ev);
}

/* One output stream per input stream (once per PID), then the EPG track if asked. 0 or the failing step's code. */
static int relay_add_streams(relay *r, const ts_identity *id)
{
    bool told = false;
    for (unsigned i = 0; i < r->in->nb_streams; i++) {
        if (relay_duplicate(r, i)) {
            relay_told_twice(r, (int)i, r->in->streams[i]->id);
            told |= r->in->streams[i]->id == id->twice;
            continue;
        }
        if (relay_pass_stream(r, id, (int)i)) {
            r->stream_map[i] = RELAY_STREAM_PASSED;
            continue;
        }
        int ret = relay_add_stream(r, (int)i, ts_identity_stream_type(id, r->in->streams[i]->id));
        if (ret < 0)
            return ret;
    }
    if (id->twice && !told)
        relay_told_twice(r, -1, id->twice);
    return r->desc.add_epg || r->pass.on ? relay_add_epg(r) : 0;
}

/*
 * The output stage on url, or on the program's writer, for an output that
 * writes a file (EVENT_OUTPUT_OPENING first). 0 or its code, reported.
 */
static int relay_open_stage(relay *r, const char *url, const ts_layout_ids *ids)
{
    const relay_mux *m = &r->desc.mux;
    int ret;

    if (r->out->oformat->flags & AVFMT_NOFILE)
        return 0;
    event ev = relay_event(EVENT_OUTPUT_OPENING, r);
    ev.text = url;
    event_emit(&r->desc.splice.events, &ev);

    ts_out_config config = relay_stage_config(r->out);
    config.pcr_pid = ids->pcr_pid;
    config.mux_rate = m->mux_rate;
    int size = m->packet_size > 0 ? m->packet_size : RELAY_PACKET_SIZE;
    if (m->write)
        ret = ts_out_open_writer(&r->stage, m->write, m->write_opaque, &config, size);
    else
        ret = ts_out_open(&r->stage, url, &config, &r->out->interrupt_callback, size);
    if (ret < 0)
        return relay_setup_failed(r, EVENT_STEP_OPEN_OUTPUT, -1, ret, url);
    r->out->pb = ts_out_pb(r->stage);
    if (m->mux_rate > 0 && m->max_lead_us > 0)
        ts_out_set_pacing(r->stage, m->mux_rate, m->max_lead_us);
    return 0;
}

/*
 * A live output's decoder delay follows the input's: the muxer's max_delay
 * (the set one is the most) becomes the longest lead of the programme's
 * video over the input's clock seen while probing, with a margin. With a
 * longer one the output would run that much further behind the input (what
 * passes through starts the PCR earlier by the difference, and the sender's
 * schedule keeps it); with a shorter one pictures would come too late for
 * their decoding time.
 */
static void relay_follow_input_delay(relay *r)
{
    int64_t lead = r->desc.live && r->filter ? ts_in_video_lead(r->filter) : TS_TIME_NONE;
    relay_mux *m = &r->desc.mux;
    if (lead == TS_TIME_NONE || m->max_delay <= 0)
        return;
    int64_t us = lead / 27 + RELAY_DELAY_MARGIN_US;
    us = us < RELAY_DELAY_MIN_US ? RELAY_DELAY_MIN_US : us;
    if (us < m->max_delay)
        m->max_delay = us;
}

int relay_open_output(relay *r, const char *url, int (*interrupt)(void *), void *interrupt_opaque)
{
    AVDictionary *opts = nullptr;
    ts_layout_ids ids;

    avformat_alloc_output_context2(&r->out, nullptr, "mpegts", url);
    if (!r->out)
        return relay_setup_failed(r, EVENT_STEP_OUTPUT_CONTEXT, -1, AVERROR_UNKNOWN, url);
    r->out->interrupt_callback.callback = interrupt;
    r->out->interrupt_callback.opaque = interrupt_opaque;

    ts_identity id = relay_input_identity(r);
    int ret = relay_alloc_input_maps(r);
    if (ret >= 0)
        ret = relay_pass_begin(r, &id);
    if (ret >= 0)
        ret = relay_add_streams(r, &id);
    if (ret >= 0)
        ret = relay_alloc_output_maps(r);
    if (ret >= 0)
        ret = relay_output_identity(r, &id, &ids);
    if (ret < 0)
        return ret;
    av_dump_format(r->out, 0, url, 1);
    ret = relay_open_stage(r, url, &ids);
    if (ret < 0)
        return ret;
    ret = relay_pass_attach(r, &id, &ids);
    if (ret < 0)
        return relay_setup_failed(r, EVENT_STEP_OPEN_OUTPUT, -1, ret, url);

    relay_follow_input_delay(r);
    relay_mux_options(&r->desc.mux, r->out, &opts);
    ret = ts_layout_set_options(&ids, &opts);
    if (ret >= 0)
        ret = avformat_write_header(r->out, &opts);
    av_dict_free(&opts);
    if (ret < 0)
        return relay_setup_failed(r, EVENT_STEP_WRITE_HEADER, -1, ret, url);
    return 0;
}

static bool relay_stopping(const relay *r)
{
    return r->desc.stop && r->desc.stop(r->desc.stop_opaque);
}

/* See relay_internal.h. */
int relay_map_stream(relay *r, int i)
{
    if (i < 0 || i >= r->stream_map_size || (unsigned)i >= r->in->nb_streams)
        return -1;
    if (r->stream_map[i] >= 0 || r->stream_map[i] == RELAY_STREAM_PASSED)
        return r->stream_map[i];

    int id = r->in->streams[i]->id;
    for (unsigned o = 0; o < r->out->nb_streams; o++) {
        if (r->out->streams[o]->id == id) {
            r->stream_map[i] = (int32_t)o;
            event ev = relay_event(EVENT_STREAM_ATTACHED, r);
            ev.stream = (int)o;
            ev.input_index = i;
            event_emit(&r->desc.splice.events, &ev);
            return (int)o;
        }
    }
    return -1;
}

/* See relay_internal.h. */
const char *relay_refused(const relay *r, const AVPacket *pkt)
{
    int s = pkt->stream_index;

    if (pkt->pts != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE && pkt->pts < pkt->dts)
        return "PTS<DTS";
    if (s < 0 || (unsigned)s >= r->out->nb_streams || r->last_dts[s] == AV_NOPTS_VALUE ||
        pkt->dts == AV_NOPTS_VALUE || r->last_dts[s] - pkt->dts > RELAY_MAX_DTS_REPEAT)
        return nullptr;
    enum AVMediaType type = r->out->streams[s]->codecpar->codec_type;
    bool equal_allowed = type == AVMEDIA_TYPE_DATA || type == AVMEDIA_TYPE_SUBTITLE;
    if (pkt->dts < r->last_dts[s] || (pkt->dts == r->last_dts[s] && !equal_allowed))
        return "OLD";
    return nullptr;
}

/* The switch's packet: H.264 and HEVC start afresh there (a key frame: on_key). */
static void relay_switched(relay *r, AVPacket *pkt, int on_key)
{
    unsigned s = (unsigned)pkt->stream_index;

    if (s >= r->out->nb_streams)
        return;
    enum AVCodecID codec = r->out->streams[s]->codecpar->codec_id;
    if (codec == AV_CODEC_ID_H264 && r->joins)
        h264_join_switch(&r->joins[s]);
    else if (codec == AV_CODEC_ID_HEVC && on_key && hevc_broken_link(pkt) < 0)
        log_packet(r->desc.splice.trace, r->out, pkt, "NOBLA");
}

/* See relay_internal.h. */
bool relay_leading(relay *r, AVPacket *pkt)
{
    relay_gop_watch *g = &r->gop;
    int mark = splice_switch_of(pkt);

    if (mark != SPLICE_SWITCH_NONE) {
        pkt->opaque = nullptr;  // acted on here; nothing of it reaches the muxer
        relay_switched(r, pkt, mark == SPLICE_SWITCH_KEY);
        g->stream = mark == SPLICE_SWITCH_KEY && pkt->pts != AV_NOPTS_VALUE ? pkt->stream_index : -1;
        g->key_pts = pkt->pts;
        g->dropped = 0;
        return false;
    }
    if (g->stream < 0 || pkt->stream_index != g->stream || pkt->pts == AV_NOPTS_VALUE)
        return false;
    if (pkt->pts < g->key_pts) {
        g->dropped++;
        return true;
    }
    if (g->dropped > 0) {
        event ev = relay_event(EVENT_LEADING_DROPPED, r);
        ev.stream = g->stream;
        ev.pts = g->key_pts;
        ev.count = g->dropped;
        event_emit(&r->desc.splice.events, &ev);
    }
    g->stream = -1;
    return false;
}

/*
 * H.264 video switched onto a key frame that is not an IDR picture is
 * joined there (see h264_join.h). Without memory the packet goes out as
 * it is: its pictures may then not decode, but nothing is lost.
 */
static void relay_join(relay *r, AVPacket *pkt)
{
    int s = pkt->stream_index;

    if (!r->joins || s < 0 || (unsigned)s >= r->out->nb_streams ||
        r->out->streams[s]->codecpar->codec_id != AV_CODEC_ID_H264)
        return;
    int64_t joined = r->joins[s].joined, refused = r->joins[s].refused;
    if (h264_join_packet(&r->joins[s], pkt) < 0)
        return;
    if (r->joins[s].joined != joined)
        log_packet(r->desc.splice.trace, r->out, pkt, "IDR");
    else if (r->joins[s].refused != refused)
        log_packet(r->desc.splice.trace, r->out, pkt, "NOIDR");  // not an I picture, or a stream the joiner does not take
}

/* See relay_internal.h. */
int relay_write_empty(relay *r, int stream, int64_t dts)
{
    AVPacket *pkt = av_packet_alloc();
    if (!pkt)
        return AVERROR(ENOMEM);
    int ret = av_new_packet(pkt, 1);
    if (ret >= 0) {
        pkt->data[0] = 0xFF;  // stuffing: no section
        pkt->stream_index = stream;
        pkt->pts = pkt->dts = dts;
        ret = av_interleaved_write_frame(r->out, pkt);
    }
    av_packet_free(&pkt);
    return ret;
}

/*
 * At a constant mux rate the muxer starts its PCR at the first dts it is
 * given and lets it fall max_delay behind only as its padding makes room:
 * for the first seconds the PCRs run slow against the wall clock, and a
 * sender pacing by them holds the output back by up to max_delay. An empty
 * packet on the EPG track, max_delay before the first dts (or earlier, when
 * the oldest packet waiting to pass through falls due before), starts the
 * PCR where it settles; the output stage turns that PES into nothing. Without
 * an EPG track, or when that time would be negative, the muxer starts as
 * it would. Returns 0 or the muxing error.
 */
int relay_prime_pcr(relay *r, int stream, int64_t first_dts)
{
    const relay_mux *m = &r->desc.mux;
    r->pcr_primed = 1;
    if (m->mux_rate <= 1 || m->max_delay <= 0 || first_dts == AV_NOPTS_VALUE)
        return 0;
    const AVStream *epg = nullptr;
    for (unsigned i = 0; i < r->out->nb_streams && !epg; i++)
        if (r->out->streams[i]->codecpar->codec_id == AV_CODEC_ID_EPG)
            epg = r->out->streams[i];
    if (!epg)
        return 0;
    int64_t dts = av_rescale_q(first_dts, r->out->streams[stream]->time_base, epg->time_base) -
                  av_rescale_q(m->max_delay, AV_TIME_BASE_Q, epg->time_base);
    int64_t passing = relay_pass_start_dts(r, dts);  // what passes through may start earlier
    if (passing != AV_NOPTS_VALUE)
        dts = FFMIN(dts, passing);
    if (dts < 0)
        return 0;
    r->pass.clock_dts = dts;
    return relay_write_empty(r, epg->index, dts);
}

/*
 * Moves pkt's timestamps onto the muxer's line: one 33-bit wrap up (or where
 * the clock track already put that line, see relay_mux_offset). A session
 * that starts within 60 s before the wrap has the demuxer give the
 * timestamps below it as negative values, and the muxer, which sets its PCR
 * schedule up as if the first dts came after 0, then writes a PCR only with
 * each key frame until its clock passes 0. The muxer writes every timestamp
 * and PCR modulo 2^33, so the bytes are those of the unmoved values.
 */
static void relay_to_muxer_time(relay *r, AVPacket *pkt)
{
    int s = pkt->stream_index;
    if (s < 0 || (unsigned)s >= r->out->nb_streams)
        return;
    AVRational tb = r->out->streams[s]->time_base;
    if (r->mux_offset == AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE)
        r->mux_offset = relay_mux_offset(r, av_rescale_q(pkt->dts, tb, AVRational{1, 90000}));
    int64_t offset = av_rescale_q(relay_muxer_offset(r), AVRational{1, 90000}, tb);
    if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts += offset;
    if (pkt->dts != AV_NOPTS_VALUE)
        pkt->dts += offset;
}

int64_t relay_muxer_offset(const relay *r)
{
    return r->mux_offset == AV_NOPTS_VALUE ? TS_PTS_WRAP : r->mux_offset;
}

/*
 * A key frame of the first video stream of the output (out_index: the
 * packet's output stream) to the program's hook, if it has one; par: the
 * parameters of the stream it was read from, or null for the output's.
 */
static void relay_key_frame(relay *r, int output, const AVPacket *pkt, int out_index, const AVCodecParameters *par)
{
    if (!r->desc.key_frame || !(pkt->flags & AV_PKT_FLAG_KEY) || out_index < 0 ||
        (unsigned)out_index >= r->out->nb_streams)
        return;
    for (unsigned i = 0; i < r->out->nb_streams; i++) {
        if (r->out->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            if (i == (unsigned)out_index)
                r->desc.key_frame(r->desc.key_frame_opaque, output, pkt, par ? par : r->out->streams[i]->codecpar);
            return;
        }
    }
}

/* See relay_internal.h. */
int relay_write(relay_loop *loop, int keep)
{
    relay *r = loop->r;
    AVPacket *pkt = nullptr;

    if (r->pass.clock_error < 0) {
        r->ret_write = r->pass.clock_error;  // the clock track's write, between two reads
        event ev = relay_event(EVENT_WRITE_FAILED, r);
        ev.result = r->ret_write;
        event_emit(&r->desc.splice.events, &ev);
        return r->ret_write;
    }
    while (loop->out_queue->count > 0 && loop->out_queue->count >= keep &&
           packets_queue_pop(loop->out_queue, &pkt) >= 0) {
        const char *refused = relay_leading(r, pkt) ? "LEAD" : relay_refused(r, pkt);
        if (refused) {
            log_packet(r->desc.splice.trace, r->out, pkt, refused);
            av_packet_free(&pkt);
            continue;
        }
        int s = pkt->stream_index;
        int64_t dts = pkt->dts;
        relay_join(r, pkt);
        relay_key_frame(r, 1, pkt, s, nullptr);
        relay_to_muxer_time(r, pkt);
        int64_t mux_dts = pkt->dts;
        bool first = !r->pcr_primed;
        r->ret_write = first ? relay_prime_pcr(r, s, mux_dts) : 0;
        if (r->ret_write >= 0)
            r->ret_write = av_interleaved_write_frame(r->out, pkt);
        /*
         * A live output's first packet (its key frame) goes out at once: the
         * muxer would hold it for the other streams' first packets, and the
         * sender, whose schedule starts on the first bytes, would keep that
         * wait as added latency for good.
         */
        if (r->ret_write >= 0 && first && r->desc.live)
            r->ret_write = av_interleaved_write_frame(r->out, nullptr);
        av_packet_free(&pkt);
        if (r->ret_write < 0) {
            event ev = relay_event(EVENT_WRITE_FAILED, r);
            ev.result = r->ret_write;
            event_emit(&r->desc.splice.events, &ev);
            return r->ret_write;
        }
        if (s >= 0 && (unsigned)s < r->out->nb_streams && dts != AV_NOPTS_VALUE)
            r->last_dts[s] = dts;
        relay_pass_wrote(r, s, mux_dts);
    }
    return 0;
}

/* The splice rules for one packet (stream index: the input's). Takes pkt. 0 or the queue's code. */
static int relay_splice(relay_loop *loop, AVPacket *pkt)
{
    relay *r = loop->r;
    const AVStream *ist = r->in->streams[pkt->stream_index];

    pkt->stream_index = r->stream_map[pkt->stream_index];
    return splice_packet(&loop->env, &r->rep, ist, pkt);
}

/* See relay_internal.h. */
bool relay_stamp(relay *r, AVPacket *pkt, int64_t first_dts)
{
    int i = pkt->stream_index;

    if (pkt->dts == AV_NOPTS_VALUE) {
        if (r->next_dts[i] != AV_NOPTS_VALUE)
            pkt->dts = r->next_dts[i];
        else if (pkt->pts != AV_NOPTS_VALUE)
            pkt->dts = pkt->pts;
        else if (first_dts == AV_NOPTS_VALUE)
            return false;
    }
    if (pkt->dts != AV_NOPTS_VALUE)
        r->next_dts[i] = pkt->dts + (pkt->duration > 0 ? pkt->duration : 1);
    return true;
}

/*
 * Reports the output's own checks that failed since their last report
 * (EVENT_OUTPUT_CHECK), each at most every RELAY_CHECK_REPORT_US of wall
 * (now, live) and at each call for a file (now 0), or whatever is left
 * (final).
 */
static void relay_report_checks(relay *r, int64_t now, bool final)
{
    ts_out_stats st;
    if (ts_out_get_stats(r->stage, &st) != 0)
        return;
    for (int c = 0; c < TS_OUT_CHECK_COUNT; c++) {
        if (st.checks[c] == r->checks_told[c] ||
            (!final && now && r->checks_at[c] && now - r->checks_at[c] < RELAY_CHECK_REPORT_US))
            continue;
        event ev = relay_event(EVENT_OUTPUT_CHECK, r);
        ev.reason = c;
        ev.text = ts_out_check_name(c);
        ev.count = st.checks[c] - r->checks_told[c];
        r->checks_told[c] = st.checks[c];
        r->checks_at[c] = now;
        event_emit(&r->desc.splice.events, &ev);
    }
    /* Breaks the input brought on PIDs passing through: the input's, by PID, as often. */
    if (!final && now && r->checks_input_at && now - r->checks_input_at < RELAY_CHECK_REPORT_US)
        return;
    r->checks_input_at = now;
    int pids[16];
    int64_t counts[16];
    for (int n; (n = ts_out_take_input_cc(r->stage, pids, counts, 16)) > 0;) {
        for (int i = 0; i < n; i++) {
            event ev = relay_event(EVENT_INPUT_CONTINUITY, r);
            ev.pid = pids[i];
            ev.count = counts[i];
            event_emit(&r->desc.splice.events, &ev);
        }
    }
}

/* Reports the bytes read and sent so far and the highest dts read (EVENT_PROGRESS). */
static void relay_progress(relay *r, int64_t dts_max)
{
    ts_out_stats stats;
    event ev = relay_event(EVENT_PROGRESS, r);

    ev.pts = dts_max;
    ev.bytes_in = r->in->pb ? r->in->pb->bytes_read : 0;
    if (ts_out_get_stats(r->stage, &stats) == 0)
        ev.bytes_out = stats.bytes_out;
    event_emit(&r->desc.splice.events, &ev);
    relay_pass_report(r, false);
    relay_report_checks(r, r->live ? av_gettime_relative() : 0, false);
}

/* Seekable flags of the input's source: 0 for a live input. */
static int relay_input_seekable(const relay *r)
{
    if (r->filter)
        return ts_in_seekable(r->filter);
    return r->in->pb ? r->in->pb->seekable : 0;
}

/* Whether input stream i carries SCTE-35 sections: its codec says so, or that of the output stream it went to. */
static bool relay_cue_stream(const relay *r, int i)
{
    int o = i >= 0 && i < r->stream_map_size ? r->stream_map[i] : -1;
    return r->in->streams[i]->codecpar->codec_id == AV_CODEC_ID_SCTE_35 ||
           (o >= 0 && (unsigned)o < r->out->nb_streams && r->out->streams[o]->codecpar->codec_id == AV_CODEC_ID_SCTE_35);
}

static bool relay_is_cue(const relay *r, const AVStream *ist)
{
    if (r->desc.cue_pid == RELAY_CUE_ANY_SCTE35)
        return relay_cue_stream(r, ist->index);
    return ist->id == r->desc.cue_pid;
}

/* The loop's queues and the splice rules' environment. 0 or AVERROR(ENOMEM). */
static int relay_loop_open(relay *r, relay_loop *loop)
{
    loop->r = r;
    loop->dts_max = AV_NOPTS_VALUE;
    if (packets_queue_create(&loop->in_queue, RELAY_QUEUE_CAPACITY) < 0 ||
        packets_queue_create(&loop->out_queue, RELAY_QUEUE_CAPACITY) < 0 ||
        packets_queue_create(&loop->held, r->desc.frame_accurate ? SPLICE_HELD_ACCURATE : SPLICE_HELD_MAX) < 0 ||
        (r->desc.frame_accurate && splice_accurate_create(&loop->env.accurate) < 0))
        return AVERROR(ENOMEM);
    loop->env.out = r->out;
    loop->env.filler = r->filler;
    loop->env.queue = loop->out_queue;
    loop->env.held = loop->held;
    loop->env.desc = &r->desc.splice;
    return 0;
}

static void relay_loop_close(relay_loop *loop)
{
    packets_queue_destroy(&loop->in_queue);
    packets_queue_destroy(&loop->out_queue);
    packets_queue_destroy(&loop->held);
    splice_accurate_destroy(&loop->env.accurate);
}

/*
 * A live input is read afresh from here: what arrived during set-up is
 * stale. A file is not: what probing read is the start of the recording.
 */
static void relay_skip_stale_input(relay *r)
{
    if (relay_input_seekable(r) & AVIO_SEEKABLE_NORMAL)
        return;
    if (r->filter)
        ts_in_flush(r->filter);
    if (r->in->pb)
        avio_flush(r->in->pb);
    avformat_flush(r->in);
}

/* A read's result: a packet, the end of input or a stop, or the input filter's yield (a file's input time went on). */
enum { RELAY_READ_PACKET = 0, RELAY_READ_END = 1, RELAY_READ_YIELD = 2 };

/* Counts a packet read, with a progress event every RELAY_PROGRESS_PACKETS. */
static void relay_count_read(relay_loop *loop)
{
    if (++loop->reads % RELAY_PROGRESS_PACKETS == 0)
        relay_progress(loop->r, loop->dts_max);
}

/* The end of the reads: 1 for the end of input or a stop, else the read error, reported (EVENT_READ_FAILED). */
static int relay_read_ended(relay *r, int ret)
{
    r->ret_read = ret;
    if (ret >= 0 || ret == AVERROR_EOF || ret == AVERROR_EXIT || relay_stopping(r))
        return RELAY_READ_END;
    event ev = relay_event(EVENT_READ_FAILED, r);
    ev.result = ret;
    event_emit(&r->desc.splice.events, &ev);
    return ret;
}

/*
 * Reads the next packet of a file (or URL) into *pkt. Returns
 * RELAY_READ_PACKET with a packet, RELAY_READ_END, RELAY_READ_YIELD, or
 * AVERROR(ENOMEM) or the read error (reported).
 */
static int relay_read(relay_loop *loop, AVPacket **pkt)
{
    relay *r = loop->r;

    if (relay_stopping(r))
        return RELAY_READ_END;
    *pkt = av_packet_alloc();
    if (!*pkt)
        return r->ret_read = AVERROR(ENOMEM);
    r->ret_read = relay_pes_next(r, *pkt);
    if (r->ret_read == AVERROR(EAGAIN)) {
        av_packet_free(pkt);
        ts_in_resume(r->filter);
        r->ret_read = 0;
        return RELAY_READ_YIELD;
    }
    if (r->ret_read < 0 || relay_stopping(r)) {
        av_packet_free(pkt);
        return relay_read_ended(r, r->ret_read);
    }
    relay_count_read(loop);
    return RELAY_READ_PACKET;
}

/*
 * Whether input stream i is neither pictures nor sound (teletext, subtitles,
 * private data, cues): its timestamps follow the programme's clock, they
 * never set it.
 */
static bool relay_side_stream(const relay *r, int i)
{
    enum AVMediaType type = r->in->streams[i]->codecpar->codec_type;
    return type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO;
}

/*
 * The time of a side stream's packet. Teletext and private data often come
 * as PES without timestamps, which the demuxer times from whatever clock it
 * finds (another programme's PCR), or with timestamps of a clock of their
 * own: a packet of a PID whose PES began untimed, or whose dts lies more
 * than RELAY_MAX_DTS_JUMP from the programme's clock, takes that clock; one
 * the demuxer gave no time keeps none.
 * Before the programme has a clock such a packet is left out (false), but
 * a cue, which only the splice rules read, goes on as it came.
 */
static bool relay_side_time(relay *r, AVPacket *pkt, int64_t clock)
{
    const AVStream *st = r->in->streams[pkt->stream_index];
    bool cue = relay_cue_stream(r, pkt->stream_index);
    if (clock == AV_NOPTS_VALUE)
        return cue;
    if (pkt->dts == AV_NOPTS_VALUE)
        return true;  // none given, none made up (relay_stamp): the muxer writes it as it is
    int64_t delta = ts_pts_diff(pkt->dts, clock);
    if (ts_in_pes_untimed(r->filter, st->id) || llabs(delta) > RELAY_MAX_DTS_JUMP) {
        pkt->pts = pkt->dts = clock;
        r->next_dts[pkt->stream_index] = AV_NOPTS_VALUE;
    }
    return true;
}

/*
 * The offset of the time line a file's picture or sound packet (its dts
 * read, unmoved) is on. From RELAY_LINE_BACK behind the current line's
 * highest dts to RELAY_MAX_DTS_JUMP ahead of it (a recording with a gap
 * keeps its times): that line; so near the line before: that one, which
 * becomes the current one again (the other streams' packets still on it,
 * or a single broken timestamp). Otherwise a new line starts (EVENT_TIME_JUMP), moved
 * to follow the highest dts written by a packet's duration, and the splice
 * rules take it as a source restart, as the service does: the points of
 * the cues read so far are not reached on it.
 */
static bool on_line(int64_t dts, int64_t last)
{
    return dts - last >= -RELAY_LINE_BACK && dts - last <= RELAY_MAX_DTS_JUMP;
}

static int64_t relay_follow_line(relay_loop *loop, const AVPacket *pkt)
{
    relay *r = loop->r;
    relay_lines *l = &r->lines;
    /* Times are compared modulo 2^33: a time just short of the wrap follows one just past it. */
    int64_t raw = l->last != AV_NOPTS_VALUE ? ts_pts_nearest(pkt->dts, l->last) : pkt->dts;

    if (l->last != AV_NOPTS_VALUE && !on_line(raw, l->last)) {
        int64_t back = l->prev_last != AV_NOPTS_VALUE ? ts_pts_nearest(pkt->dts, l->prev_last) : AV_NOPTS_VALUE;
        if (back != AV_NOPTS_VALUE && on_line(back, l->prev_last)) {
            std::swap(l->offset, l->prev_offset);
            std::swap(l->last, l->prev_last);
            raw = back;
        } else {
            event ev = relay_event(EVENT_TIME_JUMP, r);
            ev.delta_ticks = raw - l->last;
            ev.pts = raw;
            event_emit(&r->desc.splice.events, &ev);
            log_packet(r->desc.splice.trace, r->in, pkt, "LINE");
            l->prev_offset = l->offset;
            l->prev_last = l->last;
            l->offset = loop->dts_max + (pkt->duration > 0 ? pkt->duration : 1) - raw;
            l->last = AV_NOPTS_VALUE;
            splice_source_restart(&loop->env, &r->rep);
        }
    }
    if (l->last == AV_NOPTS_VALUE || raw > l->last)
        l->last = raw;
    return l->offset + raw - pkt->dts;
}

/*
 * Whether a packet read goes on: its stream has an output stream, it has a
 * timestamp (relay_stamp), and its dts lies within RELAY_MAX_DTS_JUMP of
 * the highest so far. Returns 1 when it goes on, 0 when it is left out
 * (traced), AVERROR_INVALIDDATA at a timestamp jump (reported); for a live
 * input (read at at, µs) see relay_live_admit.
 */
static int relay_admit(relay_loop *loop, AVPacket *pkt, int64_t at)
{
    relay *r = loop->r;

    int mapped = relay_map_stream(r, pkt->stream_index);
    if (mapped < 0) {
        if (mapped != RELAY_STREAM_PASSED)
            log_packet(r->desc.splice.trace, r->in, pkt, "IGN");
        return 0;
    }
    relay_pass_read(r, pkt);
    /*
     * The session's clock stands in, as for a cue without time (live: the
     * input's, which relay_live_admit moves; a file: the highest dts on the
     * current time line, before relay_follow_line moves it).
     */
    int64_t clock = r->live ? relay_live_last_read(r)
                    : loop->dts_max == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : loop->dts_max - r->lines.offset;
    if (clock != AV_NOPTS_VALUE && relay_pass_cue_untimed(r, pkt->stream_index))
        pkt->pts = pkt->dts = clock;
    bool side = relay_side_stream(r, pkt->stream_index);
    if (side && !relay_side_time(r, pkt, clock)) {
        log_packet(r->desc.splice.trace, r->in, pkt, "NOPTS");
        return 0;
    }
    if (!relay_stamp(r, pkt, loop->dts_max)) {
        log_packet(r->desc.splice.trace, r->in, pkt, "NOPTS");
        return 0;
    }
    if (r->live) {
        int go = relay_live_admit(r, pkt, at);
        if (go == 1 && pkt->dts != AV_NOPTS_VALUE && (loop->dts_max == AV_NOPTS_VALUE || pkt->dts > loop->dts_max))
            loop->dts_max = pkt->dts;
        return go;
    }
    if (pkt->dts == AV_NOPTS_VALUE)
        return 1;
    int64_t offset = !side                                ? relay_follow_line(loop, pkt)
                     : r->lines.last == AV_NOPTS_VALUE ? r->lines.offset
                                                       : r->lines.offset + ts_pts_nearest(pkt->dts, r->lines.last) - pkt->dts;
    pkt->dts += offset;
    if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts += offset;
    if (relay_cue_stream(r, pkt->stream_index))
        relay_adjust_cue(pkt, offset);
    /*
     * Nothing reaches the muxer far ahead of the time line: at a constant
     * mux rate it would fill the gap with null packets (hours of them for a
     * stray time).
     */
    if (loop->dts_max != AV_NOPTS_VALUE && pkt->dts - loop->dts_max > RELAY_MAX_DTS_JUMP) {
        log_packet(r->desc.splice.trace, r->in, pkt, "FAR");
        return 0;
    }
    if (side)
        return 1;
    if (loop->dts_max == AV_NOPTS_VALUE) {
        loop->dts_max = pkt->dts;
        event ev = relay_event(EVENT_FIRST_TIMESTAMP, r);
        ev.pts = loop->dts_max;
        event_emit(&r->desc.splice.events, &ev);
        return 1;
    }
    if (pkt->dts > loop->dts_max)
        loop->dts_max = pkt->dts;
    return 1;
}

/*
 * Puts pkt in the read-ahead backlog (a refusal frees it and is reported)
 * and runs the splice rules on what the backlog holds beyond its depth.
 * Takes pkt. 0 or the queue's code.
 */
static int relay_advance(relay_loop *loop, AVPacket *pkt)
{
    relay *r = loop->r;
    int depth = r->desc.in_depth > 1 ? r->desc.in_depth : 1;
    int ret = packets_queue_push(loop->in_queue, pkt);

    if (ret < 0) {
        av_packet_free(&pkt);
        event ev = relay_event(EVENT_QUEUE_REFUSED, r);
        ev.result = ret;
        event_emit(&r->desc.splice.events, &ev);
        return ret;
    }
    ret = 0;
    while (ret == 0 && loop->in_queue->count >= depth && packets_queue_pop(loop->in_queue, &pkt) >= 0)
        ret = relay_splice(loop, pkt);
    return ret;
}

/* One packet read at at (µs): admit, take a cue, splice, write. Takes pkt. 0 or the code that ends the loop. */
static int relay_packet(relay_loop *loop, AVPacket *pkt, int64_t at)
{
    relay *r = loop->r;
    int ret = relay_admit(loop, pkt, at);
    if (ret == RELAY_HELD)
        return 0;
    if (ret <= 0) {
        av_packet_free(&pkt);
        return ret;
    }
    const AVStream *ist = r->in->streams[pkt->stream_index];
    if (relay_is_cue(r, ist))
        splice_cue(&loop->env, &r->rep, ist, pkt, loop->dts_max);
    relay_key_frame(r, 0, pkt, pkt->stream_index < r->stream_map_size ? r->stream_map[pkt->stream_index] : -1,
                    ist->codecpar);
    if (ret == RELAY_CUE_ONLY) {
        av_packet_free(&pkt);
        return 0;
    }
    ret = relay_advance(loop, pkt);
    /* A cue kept while the programme's times were about to move goes on after the key frame that reopened it. */
    AVPacket *cue;
    while (ret >= 0 && r->live && (cue = relay_live_held_cue(r))) {
        splice_cue(&loop->env, &r->rep, r->in->streams[cue->stream_index], cue, loop->dts_max);
        ret = relay_advance(loop, cue);
    }
    if (ret < 0)
        return ret;
    ret = relay_write(loop, r->desc.out_depth);
    if (ret < 0)
        loop->write_failed = true;
    return ret;
}

/* The packet loop of a file: read, act on the packet, and on the input's time when the filter yields. */
static int relay_packets(relay_loop *loop)
{
    relay *r = loop->r;

    for (;;) {
        AVPacket *pkt = nullptr;
        int ret = relay_read(loop, &pkt);
        if (ret == RELAY_READ_PACKET)
            ret = relay_packet(loop, pkt, 0);
        else if (ret != RELAY_READ_YIELD)
            return ret > 0 ? 0 : ret;
        if (ret < 0)
            return ret;
        relay_clock_tick(r, 0);
    }
}

/*
 * The packet loop of a live input: the reader thread demultiplexes; the
 * loop takes what it read, at most RELAY_LIVE_TICK_US apart, and between
 * packets acts on the wall clock (relay_live_tick) and on the input's time
 * (relay_clock_tick), holding the input's lock throughout.
 */
static int relay_packets_live(relay_loop *loop)
{
    relay *r = loop->r;
    relay_feed *feed = nullptr;
    int ret = relay_feed_start(r, &feed);
    if (ret < 0)
        return relay_read_ended(r, ret);
    int64_t ticked = 0;
    while (ret >= 0 && !relay_stopping(r)) {
        AVPacket *pkt = nullptr;
        int64_t at = 0, now = av_gettime_relative();
        int got = relay_feed_next(feed, &pkt, &at, now + RELAY_LIVE_TICK_US);
        relay_feed_take(feed);
        for (int n = 0; got == 1 && ret >= 0; n++) {
            relay_count_read(loop);
            ret = relay_packet(loop, pkt, at);
            got = n < RELAY_LIVE_BATCH && ret >= 0 ? relay_feed_next(feed, &pkt, &at, 0) : 0;
        }
        if (got == 1)
            av_packet_free(&pkt);
        now = av_gettime_relative();
        if (ret >= 0 && now - ticked >= RELAY_LIVE_TICK_US) {
            ticked = now;
            relay_live_tick(r, now, relay_feed_heard(feed));
            relay_clock_tick(r, now);
            relay_report_checks(r, now, false);
        }
        relay_feed_give(feed);
        if (got < 0) {
            int end = relay_read_ended(r, got);
            ret = end > 0 ? ret : end;
            break;
        }
    }
    relay_feed_stop(&feed);
    return ret;
}

/*
 * Nothing read is left behind: the backlog, the held audio and the filler
 * video of a break still running go through the rules and out, unless the
 * muxer failed. ret: the loop's result; returns it, or the last write's
 * failure when the loop ended well.
 */
static int relay_drain(relay_loop *loop, int ret)
{
    relay *r = loop->r;
    AVPacket *pkt = nullptr;

    if (!loop->write_failed) {
        while (packets_queue_pop(loop->in_queue, &pkt) >= 0) {
            if (relay_splice(loop, pkt) < 0)
                break;
        }
        splice_release_held(&loop->env);
    }
    splice_session_end(&loop->env, &r->rep);
    if (!loop->write_failed) {
        int wret = relay_write(loop, 0);
        if (ret == 0)
            ret = wret;
    }
    return ret;
}

int relay_run(relay *r)
{
    relay_loop loop = {};

    r->ret_read = r->ret_write = 0;
    int ret = relay_loop_open(r, &loop);
    if (ret < 0) {
        r->ret_read = ret;
    } else {
        relay_skip_stale_input(r);
        event ev = relay_event(EVENT_RELAY_STARTED, r);
        event_emit(&r->desc.splice.events, &ev);
        r->loop = &loop;
        ret = r->live ? relay_packets_live(&loop) : relay_packets(&loop);
        r->loop = nullptr;
        ret = relay_drain(&loop, ret);
        if (!loop.write_failed)
            relay_pass_finish(r);
    }
    relay_loop_close(&loop);
    av_write_trailer(r->out);
    relay_progress(r, loop.dts_max);
    relay_pass_report(r, true);
    relay_report_checks(r, 0, true);
    return ret;
}

int relay_result(const relay *r, relay_outcome *out)
{
    if (!r || !out)
        return -EINVAL;
    out->ret_read = r->ret_read;
    out->ret_write = r->ret_write;
    out->failed_step = r->failed_step;
    return 0;
}

int64_t relay_nulls_dropped(const relay *r)
{
    ts_out_stats stats;

    if (!r || ts_out_get_stats(r->stage, &stats) != 0)
        return 0;
    return stats.nulls_dropped;
}

int relay_destroy(relay **p)
{
    if (!p || !*p)
        return -EINVAL;
    relay *r = *p;
    if (r->filter)
        ts_in_set_yield(r->filter, 0);
    if (r->out)
        r->out->pb = nullptr;  // the stage's own context
    int ret = r->stage ? ts_out_close(&r->stage) : 0;
    avformat_free_context(r->out);
    av_freep(&r->stream_map);
    av_freep(&r->next_dts);
    av_freep(&r->last_dts);
    for (unsigned i = 0; r->joins && i < r->join_count; i++)
        h264_join_uninit(&r->joins[i]);
    av_freep(&r->joins);
    relay_live_destroy(r);
    relay_pes_destroy(r);
    free(r);
    *p = nullptr;
    return ret < 0 ? ret : 0;
}
