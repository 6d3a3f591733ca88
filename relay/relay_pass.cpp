/*
 * A multiplex through the relay: which input streams the relay carries (the
 * chosen programme's that can be demultiplexed) and which pass as TS
 * packets, the passthrough set up between the input filter and the output
 * stage, and the muxer's clock kept going while the relayed streams are
 * silent, so that what passes through keeps finding places.
 */
#include "relay/relay.h"
#include "relay/relay_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/mpegts.h"
#include "splice/filler.h"
#include "ts/ts_layout.h"
#include "ts/ts_out.h"
#include "ts/ts_pass.h"

#define RELAY_PASS_MIN_PACKETS  32768                 // a probe's worth of a file (5 MB) and more
#define RELAY_PASS_MIN_LIVE     4096                  // a live input's: what arrived during set-up is dropped
#define RELAY_PASS_QUEUE_US     2000000               // the queue holds this long at the input's rate
#define RELAY_PASS_MAX_WAIT     ((int64_t)TS_CLOCK_HZ) // live: longest wait for room, beyond the delay
#define RELAY_CLOCK_TICK        (TS_CLOCK_HZ / 50)    // the input filter's tick: 20 ms of input
#define RELAY_CLOCK_IDLE        (TS_CLOCK_HZ / 25)    // no relayed packet for 40 ms: the clock track writes
#define RELAY_CLOCK_FIRST       (5 * TS_CLOCK_HZ)     // before a programme with video wrote: the clock track waits
#define RELAY_CLOCK_HOLD        TS_CLOCK_HZ           // pictures read this recently bound the clock track
#define RELAY_CLOCK_MAX_STEP    (2 * 90000)           // a move of the muxer's clock pads 2 s at most
#define RELAY_CLOCK_LAST_MOVES  8                     // at the end of input: 16 s at most
#define RELAY_CLOCK_STILL_US    40000                 // a live input's time still this long (wall clock): lost
#define RELAY_PASS_PRIME_MAX    (30 * 90000)          // the PCR starts at most 30 s before the first dts
#define RELAY_PASS_REPORT_EVERY ((int64_t)5 * TS_CLOCK_HZ) // input time between two reports of drops
#define RELAY_PROGRAMME_TEXT    200

int relay_pass_capacity(int64_t rate, bool live)
{
    int64_t n = rate / 8 / 188 * RELAY_PASS_QUEUE_US / 1000000;
    int least = live ? RELAY_PASS_MIN_LIVE : RELAY_PASS_MIN_PACKETS;
    return n > least ? (int)n : least;
}

/* "programme 7 is not in the input (it has 1, 2, 3)" */
static void missing_text(const ts_identity *id, char *text, size_t size)
{
    int n = snprintf(text, size, "programme %d is not in the input (%s", id->wanted,
                     id->programme_count ? "it has" : "no PAT read");
    for (int i = 0; i < id->programme_count && n > 0 && (size_t)n < size; i++)
        n += snprintf(text + n, size - n, "%s %d", i ? "," : "", id->numbers[i]);
    if (n > 0 && (size_t)n < size)
        snprintf(text + n, size - n, ")");
}

/* Whether stream i of in belongs to the chosen programme (its PMT, or the demuxer's programme). */
static bool chosen_stream(const AVFormatContext *in, const ts_identity *id, unsigned i)
{
    if (ts_identity_stream_type(id, in->streams[i]->id) >= 0)
        return true;
    for (unsigned p = 0; p < in->nb_programs; p++) {
        const AVProgram *prog = in->programs[p];
        for (unsigned k = 0; prog->id == id->program_number && k < prog->nb_stream_indexes; k++)
            if (prog->stream_index[k] == i)
                return true;
    }
    return false;
}

/*
 * Whether the programme the input filter chose (identity id; the demuxer's
 * streams in) cannot be spliced: none of its video can be relayed (a break
 * starts on a video key frame) because a stream of it is scrambled, or a
 * stream of it has a type the demuxer reads no codec from, while no audio
 * of it can be relayed or that stream's type is one of video. Returns the
 * event_unspliceable_reason, with *pid (may be null) the PID that says
 * why: a video stream's first; -1 when it can be spliced or has no video of
 * its own (a radio service).
 */
static int relay_unspliceable(const AVFormatContext *in, const ts_in *filter, const ts_identity *id, int *pid)
{
    int scrambled = -1, unread = -1;
    bool scrambled_video = false, unread_video = false, video = false, audio = false;
    for (unsigned i = 0; in && filter && i < in->nb_streams; i++) {
        const AVStream *st = in->streams[i];
        enum AVCodecID codec = st->codecpar->codec_id;
        if (codec == AV_CODEC_ID_SCTE_35 || codec == AV_CODEC_ID_EPG || !chosen_stream(in, id, i))
            continue;
        enum AVMediaType type = st->codecpar->codec_type;
        bool is_video = type == AVMEDIA_TYPE_VIDEO || ts_stream_type_video(ts_identity_stream_type(id, st->id));
        if (ts_in_pid_state(filter, st->id) == 1) {
            if (scrambled < 0 || (is_video && !scrambled_video)) {
                scrambled = st->id;
                scrambled_video = is_video;
            }
        } else if (codec == AV_CODEC_ID_NONE) {
            if (unread < 0 || (is_video && !unread_video)) {
                unread = st->id;
                unread_video = is_video;
            }
        } else {
            video |= type == AVMEDIA_TYPE_VIDEO;
            audio |= type == AVMEDIA_TYPE_AUDIO;
        }
    }
    if (video || (scrambled < 0 && (unread < 0 || (audio && !unread_video))))
        return -1;
    if (pid)
        *pid = scrambled >= 0 ? scrambled : unread;
    return scrambled >= 0 ? EVENT_UNSPLICEABLE_SCRAMBLED : EVENT_UNSPLICEABLE_UNREAD;
}

int relay_pass_begin(relay *r, const ts_identity *id)
{
    relay_passing *ps = &r->pass;

    ps->clock_stream = -1;
    ps->unspliceable = -1;
    ps->idle_since = ps->told_at = ps->video_read_at = ps->tick_at = ps->input_at = TS_TIME_NONE;
    ps->clock_dts = ps->ref_dts = ps->video_read_dts = AV_NOPTS_VALUE;
    if (!r->filter || !ts_in_pass(r->filter))
        return 0;
    if (id->chosen == TS_CHOSEN_NONE) {
        if (!id->wanted)
            return 0;  // no PAT or PMT read: everything is relayed, as one programme
        char text[RELAY_PROGRAMME_TEXT];
        missing_text(id, text, sizeof(text));
        r->failed_step = EVENT_STEP_PROGRAMME;
        event ev = event_make(EVENT_SETUP_FAILED);
        ev.reason = EVENT_STEP_PROGRAMME;
        ev.result = AVERROR_STREAM_NOT_FOUND;
        ev.text = text;
        event_emit(&r->desc.splice.events, &ev);
        return AVERROR_STREAM_NOT_FOUND;
    }
    ps->on = 1;
    ps->program = id->program_number;
    event ev = event_make(EVENT_PROGRAMME_CHOSEN);
    ev.program_number = id->program_number;
    ev.pid = id->pmt_pid;
    ev.reason = id->chosen;
    ev.count = id->programme_count > 0 ? id->programme_count - 1 : 0;
    ev.flags = id->spts ? 1 : 0;
    event_emit(&r->desc.splice.events, &ev);

    int pid = -1;
    ps->unspliceable = relay_unspliceable(r->in, r->filter, id, &pid);
    if (ps->unspliceable < 0)
        return 0;
    ev = event_make(EVENT_PROGRAMME_UNSPLICEABLE);
    ev.reason = ps->unspliceable;
    ev.program_number = id->program_number;
    ev.pid = pid;
    ev.stream_type = ts_identity_stream_type(id, pid);
    event_emit(&r->desc.splice.events, &ev);
    return 0;
}

bool relay_pass_stream(relay *r, const ts_identity *id, int i)
{
    if (!r->pass.on)
        return false;
    const AVStream *st = r->in->streams[i];
    if (st->codecpar->codec_id == AV_CODEC_ID_EPG || !chosen_stream(r->in, id, (unsigned)i))
        return true;  // the input's EIT, another programme's stream
    if (r->pass.unspliceable >= 0)
        return st->codecpar->codec_id != AV_CODEC_ID_SCTE_35;  // said once (relay_pass_begin); its cues are read
    if (ts_in_pid_state(r->filter, st->id) != 1 && st->codecpar->codec_id != AV_CODEC_ID_NONE)
        return false;
    event ev = event_make(EVENT_STREAM_UNKNOWN);
    ev.input_index = i;
    ev.pid = st->id;
    ev.reason = TS_STREAM_PASS;
    event_emit(&r->desc.splice.events, &ev);
    return true;
}

bool relay_pass_cue_untimed(const relay *r, int i)
{
    if (!r->pass.on || r->in->streams[i]->codecpar->codec_id != AV_CODEC_ID_SCTE_35)
        return false;
    const AVProgram *first = av_find_program_from_stream(r->in, nullptr, i);
    return first && first->id != r->pass.program;
}

int relay_clock_pid(const relay *r)
{
    const int epg = 0x12;
    if (!r->pass.on)
        return epg;
    for (int pid = epg;; pid = pid == epg ? 0x1FFE : pid - 1) {
        bool used = ts_in_pid_state(r->filter, pid) != 0;
        for (unsigned o = 0; o < r->out->nb_streams && !used; o++)
            used = r->out->streams[o]->id == pid;
        if (!used || pid <= 0x20)
            return pid;
    }
}

/* The lead PID: the first relayed video stream's, else the first audio stream's; -1: none. */
static int lead_pid(const relay *r)
{
    static const enum AVMediaType types[] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO};
    for (enum AVMediaType type : types)
        for (unsigned o = 0; o < r->out->nb_streams; o++)
            if (r->out->streams[o]->codecpar->codec_type == type)
                return r->out->streams[o]->id;
    return -1;
}

int relay_pass_attach(relay *r, const ts_identity *id, const ts_layout_ids *ids)
{
    relay_passing *ps = &r->pass;
    if (!ps->on)
        return 0;
    /* Every output stream's PID: one left out would pass a second time beside the muxer's. */
    int *relayed = (int *)av_malloc_array(r->out->nb_streams + 1, sizeof(int));
    if (!relayed)
        return AVERROR(ENOMEM);
    int count = 0;
    bool pcr_relayed = false;
    for (unsigned o = 0; o < r->out->nb_streams; o++) {
        if ((int)o == ps->clock_stream)
            continue;
        relayed[count++] = r->out->streams[o]->id;
        pcr_relayed |= r->out->streams[o]->id == id->pcr_pid;
    }
    int ret = ts_in_start_pass(r->filter, relayed, count);
    av_free(relayed);
    if (ret < 0)
        return ret;
    ts_pass *pass = ts_in_pass(r->filter);
    ts_pass_set_lead_pid(pass, lead_pid(r));
    if (!(ts_in_seekable(r->filter) & AVIO_SEEKABLE_NORMAL))
        ts_pass_set_max_wait(pass, RELAY_PASS_MAX_WAIT);

    const relay_mux *m = &r->desc.mux;
    int service_id = ids->service_id ? ids->service_id : 1, ts_id = ids->ts_id ? ids->ts_id : 1;
    bool names = (m->service_name && m->service_name[0]) || (m->service_provider && m->service_provider[0]);
    ts_out_pass_config pc = {};
    pc.in_program = id->program_number;
    pc.in_pmt_pid = id->pmt_pid;
    pc.keep_pcr_pid = ts_identity_stream_type(id, id->pcr_pid) >= 0 && !pcr_relayed;
    pc.spts = id->spts;
    pc.input_sdt = ts_in_pid_state(r->filter, 0x11) != 0;
    pc.sdt_rewrite = id->spts || names || service_id != id->program_number || ts_id != id->ts_id;
    pc.service_name = m->service_name;
    pc.service_provider = m->service_provider;
    if (r->stage && (ret = ts_out_set_pass(r->stage, pass, &pc)) < 0)
        return ret;
    if (!r->desc.live)
        ts_in_set_yield(r->filter, RELAY_CLOCK_TICK);  // a file: the loop acts on its time between packets
    return 0;
}

void relay_pass_wrote(relay *r, int stream, int64_t dts)
{
    relay_passing *ps = &r->pass;
    ps->written++;
    if (ps->on && dts != AV_NOPTS_VALUE && stream != ps->clock_stream) {
        ps->idle_since = ts_in_now(r->filter);
        ps->ref_dts = dts;
    }
}

void relay_pass_read(relay *r, const AVPacket *pkt)
{
    const AVStream *st = r->in->streams[pkt->stream_index];
    if (r->pass.on && pkt->dts != AV_NOPTS_VALUE && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        r->pass.video_read_dts = av_rescale_q(pkt->dts, st->time_base, AVRational{1, 90000});
        r->pass.video_read_at = ts_in_now(r->filter);
    }
}

int relay_clock_write(relay *r, int stream, int64_t dts)
{
    int ret = r->pcr_primed ? 0 : relay_prime_pcr(r, stream, dts);
    if (ret >= 0)
        ret = relay_write_empty(r, stream, dts);
    r->pass.clock_dts = dts;
    return ret < 0 ? ret : av_interleaved_write_frame(r->out, nullptr);
}

/*
 * The dts that brings the muxer's clock to input time t: t plus the
 * passthrough delay (the output time of what came in at t), plus max_delay
 * (the muxer's PCR runs max_delay behind the dts it pads to). The muxer
 * copies timestamps, so its clock is on the input's time line modulo 2^33:
 * the dts is taken next to ref (a dts the muxer has), or, without ref
 * (AV_NOPTS_VALUE), one wrap up, as the relayed timestamps are moved
 * (relay_to_muxer_time).
 */
static int64_t clock_dts_at(const relay *r, int64_t t, int64_t ref)
{
    int64_t delay = ts_pass_delay(ts_in_pass(r->filter));
    int64_t dts = (t + (delay == TS_TIME_NONE ? 0 : delay)) / 300 + av_rescale(r->desc.mux.max_delay, 90000, AV_TIME_BASE);
    return ref == AV_NOPTS_VALUE ? dts + TS_PTS_WRAP : ts_pts_nearest(dts, ref);
}

int64_t relay_mux_offset(const relay *r, int64_t dts)
{
    int64_t clock = r->pass.clock_dts;
    return clock == AV_NOPTS_VALUE ? TS_PTS_WRAP : ts_pts_nearest(dts, clock) - dts;
}

int64_t relay_pass_start_dts(const relay *r, int64_t ref)
{
    int64_t t = r->pass.on ? ts_pass_front_time(ts_in_pass(r->filter)) : TS_TIME_NONE;
    if (t == TS_TIME_NONE)
        return AV_NOPTS_VALUE;
    int64_t dts = clock_dts_at(r, t, ref) - av_rescale(r->desc.mux.max_delay, 90000, AV_TIME_BASE);
    return dts < ref - RELAY_PASS_PRIME_MAX ? ref - RELAY_PASS_PRIME_MAX : dts;
}

/*
 * Moves the muxer's clock on to input time now with an empty packet on the
 * clock track, by RELAY_CLOCK_MAX_STEP at most beyond the last dts written.
 * Returns 1 when it moved.
 */
static int clock_move(relay *r, int64_t now)
{
    relay_passing *ps = &r->pass;
    if (ps->clock_stream < 0 || ps->clock_error < 0)
        return 0;
    int64_t ref = ps->clock_dts == AV_NOPTS_VALUE ? ps->ref_dts
                  : ps->ref_dts == AV_NOPTS_VALUE ? ps->clock_dts : FFMAX(ps->clock_dts, ps->ref_dts);
    int64_t dts = clock_dts_at(r, now, ref);
    if (ps->clock_dts != AV_NOPTS_VALUE && dts <= ps->clock_dts)
        return 0;
    if (ref != AV_NOPTS_VALUE && dts - ref > RELAY_CLOCK_MAX_STEP)
        dts = ref + RELAY_CLOCK_MAX_STEP;  // where the muxer's clock stands, at most this far on
    if (ps->video_read_at != TS_TIME_NONE && now - ps->video_read_at < RELAY_CLOCK_HOLD &&
        r->mux_offset != AV_NOPTS_VALUE && dts > ps->video_read_dts + r->mux_offset)
        dts = ps->video_read_dts + r->mux_offset;  // not past the programme's pictures still to come
    if (ps->clock_dts != AV_NOPTS_VALUE && dts <= ps->clock_dts)
        return 0;
    ps->clock_error = relay_clock_write(r, ps->clock_stream, dts);  // may prime the PCR first, on this track
    return 1;
}

/*
 * The input filter's tick (now: input time, 27 MHz). While no relayed packet
 * has been written for RELAY_CLOCK_IDLE of input time (a programme that
 * cannot be demultiplexed, or is silent), an empty packet on the clock
 * track carries the muxer's time on to the input's: the muxer pads to it
 * with null packets, whose places the packets passing through take.
 */
/* Whether the muxer carries a video stream of the programme. */
static bool relay_carries_video(const relay *r)
{
    for (unsigned i = 0; r->out && i < r->out->nb_streams; i++)
        if (r->out->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            return true;
    return false;
}

void relay_clock_tick(relay *r, int64_t wall)
{
    relay_passing *ps = &r->pass;
    int64_t now = ts_in_now(r->filter);
    if (!ps->on || now == TS_TIME_NONE || relay_live_started(r))
        return;  // the live output's keep-alive follows the wall clock from now on (relay_live.cpp)
    /* A live input that stopped: its time goes on with the wall clock, so the output does too. */
    if (now != ps->input_at || !wall) {
        ps->input_at = now;
        ps->input_wall = wall;
    } else if (wall - ps->input_wall > RELAY_CLOCK_STILL_US) {
        now += (wall - ps->input_wall) * (TS_CLOCK_HZ / 1000000);
    }
    if (ps->tick_at != TS_TIME_NONE && now >= ps->tick_at && now - ps->tick_at < RELAY_CLOCK_TICK)
        return;
    ps->tick_at = now;
    if (ps->idle_since == TS_TIME_NONE)
        ps->idle_since = now;
    /* Before the programme's first picture the muxer's clock is left to it: on the input's time it
     * would start with the input's lead of the pictures over the PCR, not max_delay, and the PCR
     * would then run slower than real time until the muxer's padding made that lead up. */
    int64_t idle = ps->ref_dts == AV_NOPTS_VALUE && relay_carries_video(r) ? RELAY_CLOCK_FIRST : RELAY_CLOCK_IDLE;
    if (now - ps->idle_since >= idle)
        clock_move(r, now);
}

void relay_pass_finish(relay *r)
{
    int64_t now = ts_in_now(r->filter);
    for (int moves = 0; moves < RELAY_CLOCK_LAST_MOVES && r->pass.on && now != TS_TIME_NONE &&
                        ts_pass_count(ts_in_pass(r->filter)) > 0 && clock_move(r, now); moves++) {
    }
}

void relay_pass_report(relay *r, bool final)
{
    relay_passing *ps = &r->pass;
    ts_pass_stats st;
    int64_t now = ts_in_now(r->filter);
    if (!ps->on || ts_pass_get_stats(ts_in_pass(r->filter), &st) < 0 || st.dropped == ps->dropped_told)
        return;
    if (!final && ps->told_at != TS_TIME_NONE && now != TS_TIME_NONE && now - ps->told_at < RELAY_PASS_REPORT_EVERY)
        return;
    ps->told_at = now;
    event ev = event_make(EVENT_PASS_DROPPED);
    ev.count = st.dropped - ps->dropped_told;
    ps->dropped_told = st.dropped;
    event_emit(&r->desc.splice.events, &ev);
}

int64_t relay_packets_out(const relay *r)
{
    ts_pass_stats st;
    if (!r)
        return 0;
    int64_t passed = r->pass.on && ts_pass_get_stats(ts_in_pass(r->filter), &st) == 0 ? st.packets_out : 0;
    return r->pass.written + passed;
}

AVFormatContext *relay_spliced_streams(const relay_input *in)
{
    if (!in || !in->fmt)
        return nullptr;
    ts_identity id;
    bool all = !in->filter || ts_in_get_identity(in->filter, &id) < 0 || id.chosen == TS_CHOSEN_NONE;
    bool none = !all && relay_unspliceable(in->fmt, in->filter, &id, nullptr) >= 0;
    AVFormatContext *copy = avformat_alloc_context();
    for (unsigned i = 0; copy && !none && i < in->fmt->nb_streams; i++) {
        const AVStream *st = in->fmt->streams[i];
        enum AVMediaType type = st->codecpar->codec_type;
        if ((type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) || !(all || chosen_stream(in->fmt, &id, i)) ||
            ts_in_pid_state(in->filter, st->id) == 1)
            continue;  // not of the programme, or scrambled: it passes as it came
        AVStream *c = avformat_new_stream(copy, nullptr);
        if (!c || avcodec_parameters_copy(c->codecpar, st->codecpar) < 0) {
            avformat_free_context(copy);
            return nullptr;
        }
        c->id = st->id;
    }
    return copy;
}

int relay_check_filler(const relay_input *in, const filler_ctx *filler, filler_mismatch *out, int max)
{
    AVFormatContext *programme = relay_spliced_streams(in);
    if (!programme)
        return in && in->fmt ? AVERROR(ENOMEM) : -EINVAL;
    int n = filler_check(filler, programme, out, max);
    avformat_free_context(programme);
    return n;
}
