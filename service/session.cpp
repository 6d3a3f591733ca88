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
#include "event/event_text.h"
#include "splice/filler.h"
#include "relay/relay.h"
#include "common/trace.h"
#include "ts/ts_layout.h"
#include "service/app_ctx.h"
#include "service/links.h"
#include "service/ratelimit.h"
#include "service/sources.h"
#include "service/conform_thread.h"
#include "service/traffic_thread.h"
#include "traffic/traffic.h"
#include "net/udp_in.h"
#include "net/udp_out.h"

#define SLICER_DATAGRAM_SIZE     1316    // seven TS packets per UDP datagram
#define SLICER_RETRY_PERIOD_US   250000  // pace of repeated sessions that fail at once
#define SLICER_STOP_STEP_US      100000  // a step of the stop said in the log when longer than this
#define SLICER_OUTPUT_GRACE_US   500000  // time the output gets to write its trailer after a stop
#define SLICER_SRC_BUFFER        (8 << 20)  // socket receive buffer asked for by default, bytes
#define SLICER_IN_RING_US        300000     // the input ring: this long at the mux rate (its reader waits for
                                            // nothing but the loop's queue)
#define SLICER_OUT_RING_US       400000     // the output ring: the sender's margin and the output's longest lead
#define SLICER_RING_MIN          (4 << 20)  // bytes, also for streams without a mux rate
/* Margin of the output's schedule over the latest bytes the muxer writes. */
#define SLICER_SEND_DELAY_US     60000
#define SLICER_MAX_MISMATCHES    16
/* How far the output may run ahead of the wall clock after a gap in the input's timestamps. */
#define SLICER_MAX_OUTPUT_LEAD_US 300000
/*
 * Longest the muxer holds the programme waiting for a silent stream (EPG,
 * cues, or the audio held while a break start is decided): added latency.
 * Kept within SLICER_SEND_DELAY_US, so that such a wait does not starve the
 * sender.
 */
#define SLICER_MAX_INTERLEAVE_US 40000
/* Longest the output's video waits for the pictures a frame-accurate start re-encodes. */
#define SLICER_RUN_BUDGET_US 300000

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

/* One stream session: what its event sink keeps besides the application context. */
struct slicer_session {
    app_ctx *app;
    ratelimit *failures;        // the main loop's: sessions failing over and over log once, then counts
    int quiet;                  // the previous session failed at once: its set-up lines are not repeated
    int64_t bytes_in;           // total at the last progress event
    struct slicer_sent_watch *sent;  // the main loop's: what the sender reports
    udp_in *src;                // the session's receiver: its overruns
    udp_out *dst;               // the session's sender: what left
    int64_t overruns;           // its overruns and kernel drops at the last count
    int64_t overruns_logged;    // of them, the part the log has told
    int64_t drops_logged;       // (kernel drops)
    int64_t losses_logged_at;   // µs (monotonic) of the last line about them; 0: none
    event_air_clock *clock;     // the main loop's: the input's timestamps on the wall clock
    traffic *traffic_ctx;       // the channel's traffic; null without --schedule
    conform_thread *conformer;  // null when nothing is to be conformed
    slicer_links *links;        // the main loop's: SRT and RTP beyond plain UDP
    slicer_sources *sources;    // with a backup source: both receivers and their merge into src
};

#define SLICER_LOSS_LINE_US 1000000  // the receiver's losses are logged at most this often

/*
 * Counts the receiver's new overruns into the channel status and logs them
 * at most once a second (final: the session's end, now).
 */
static void slicer_count_overruns(slicer_session *ses, bool final)
{
    udp_in_stats st;

    if (!ses->src || udp_in_get_stats(ses->src, &st) != 0)
        return;
    slicer_sources_add_stats(ses->sources, &st);  // with two sources, what each receiver lost too
    int64_t total = st.overruns + st.kernel_drops, now = status_now_us();
    status_add_overruns(&ses->app->status, total - ses->overruns);
    ses->overruns = total;
    if ((st.overruns == ses->overruns_logged && st.kernel_drops == ses->drops_logged) ||
        (!final && ses->losses_logged_at && now - ses->losses_logged_at < SLICER_LOSS_LINE_US))
        return;
    log_printf(LOG_ERROR, "%s: %" PRId64 " datagrams lost to a full queue, %" PRId64 " to a full socket buffer (%" PRId64
               " and %" PRId64 " in all)", "slicer_streams", st.overruns - ses->overruns_logged,
               st.kernel_drops - ses->drops_logged, st.overruns, st.kernel_drops);
    ses->overruns_logged = st.overruns;
    ses->drops_logged = st.kernel_drops;
    ses->losses_logged_at = now;
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
    -1,              // kept
    -1,              // dropped
    STATE_IDLE,      // expired (an armed event that does not air; the next one armed says so after it)
    -1,              // return
    -1,              // spot
    -1,              // input_switch
};

/* The as-run record of ev, if it has one: into the channel status and the as-run file. */
static void slicer_record(slicer_session *ses, const event *ev)
{
    app_ctx *app = ses->app;
    asrun_record rec;

    if (event_asrun(ev, event_asrun_time(ses->clock, ev, (int64_t)log_now_ms()), &rec) <= 0)
        return;
    utils_strlcpy(rec.channel, app->channel_id[0] ? app->channel_id : app->service_name, sizeof(rec.channel));
    status_event(&app->status, &rec);
    console_note_record(&app->console, &rec, console_splice_ms(ses->clock, ev));
    /* A pending event cancelled leaves the armed or running one as it is. */
    int state = ev->type == EVENT_CANCELLED && ev->reason == EVENT_CANCEL_KEPT ? -1 : slicer_state_after[rec.event];
    if (state >= 0)
        status_set_state(&app->status, state);
    if (app->asrun) {
        int ret = asrun_post(app->asrun, &rec);  // written on the as-run writer's thread: the relay never waits
        if (ret == -ENOBUFS)
            slicer_fail(ses, "%s: as-run line lost: the file [%s] has not taken the lines before it", LOOP_NAME,
                        app->asrun_file);
        else if (ret < 0)
            log_printf(LOG_ERROR, "%s: cannot write the as-run file [%s]: %s; its lines are lost until it can be",
                       LOOP_NAME, app->asrun_file, strerror(-ret));
        else if (ret > 0)
            log_printf(LOG_ERROR, "%s: the as-run file [%s] is written again; %d lines were lost", LOOP_NAME,
                       app->asrun_file, ret);
    }
}

/* Counts what was read since the last progress event (what left, the sender counts as it sends). */
static void slicer_progress(slicer_session *ses, const event *ev)
{
    int64_t now = status_now_us();
    channel_status *st = &ses->app->status;

    status_count_in(st, ev->bytes_in / TS_PACKET_SIZE - ses->bytes_in / TS_PACKET_SIZE,
                    ev->bytes_in - ses->bytes_in, now);
    ses->bytes_in = ev->bytes_in;
    slicer_count_overruns(ses, false);
}

#define SLICER_SENT_LINE_US 60000000  // the sender's lateness and refusals are logged at most this often

/*
 * What the sender reports of each batch it sent (on its thread): into the
 * channel status, and the lines that explain it, each kind at most once a
 * minute with what came since the last. Sessions follow each other, so one
 * watcher serves them all.
 */
struct slicer_sent_watch {
    channel_status *status;
    int64_t late_at;                       // µs (monotonic) of the last line about lateness; 0: none
    int64_t late_worst;                    // µs: the latest since that line
    int64_t late_spells;                   // spells over STATUS_LATE_ALARM_US since that line
    int64_t error_at[UDP_OUT_ERR_COUNT];   // the same for each cause of refusal
    int64_t errors[UDP_OUT_ERR_COUNT];
};

static const char *const slicer_send_why[UDP_OUT_ERR_COUNT] = {
    "the destination refuses them: nothing receives on its port (the kernel had an ICMP port unreachable)",
    "the socket's send buffer or the interface's queue was full: the host sends more than its link takes",
    "the destination cannot be reached: no route to it, or the link is down",
    "a firewall rule of this host refuses them",
    "the kernel refused them",
};

static void slicer_on_sent(void *opaque, const udp_out_report *rep)
{
    slicer_sent_watch *w = (slicer_sent_watch *)opaque;
    int64_t now = rep->now_us;

    if (status_sent(w->status, rep))
        w->late_spells++;
    if (rep->steady && rep->late_max_us > STATUS_LATE_ALARM_US && rep->late_max_us > w->late_worst)
        w->late_worst = rep->late_max_us;
    if (w->late_spells && (!w->late_at || now - w->late_at >= SLICER_SENT_LINE_US)) {
        log_printf(LOG_ERROR, "%s: the output left up to %.0f ms after its time (%" PRId64 " times over %d ms since "
                   "the last such line): the sender or the relay was held up", "slicer_streams",
                   w->late_worst / 1000.0, w->late_spells, STATUS_LATE_ALARM_US / 1000);
        w->late_at = now;
        w->late_worst = 0;
        w->late_spells = 0;
    }
    for (int c = 0; c < UDP_OUT_ERR_COUNT; c++) {
        w->errors[c] += rep->errors[c];
        if (!w->errors[c] || (w->error_at[c] && now - w->error_at[c] < SLICER_SENT_LINE_US))
            continue;
        log_printf(LOG_ERROR, "%s: %" PRId64 " datagrams not sent (%s): %s (%s)", "slicer_streams", w->errors[c],
                   udp_out_error_name(c), slicer_send_why[c], strerror(rep->errnos[c] ? rep->errnos[c] : EIO));
        w->error_at[c] = now;
        w->errors[c] = 0;
    }
}

/* Name in front of the lines of ev: the part of the service whose step it reports. */
static const char *slicer_line_prefix(const event *ev)
{
    switch (ev->type) {
    case EVENT_STREAM_UNKNOWN:
    case EVENT_PROGRAMME_CHOSEN:
    case EVENT_PROGRAMME_UNSPLICEABLE:
    case EVENT_EPG_ADDED:
    case EVENT_OUTPUT_OPENING:
    case EVENT_SETUP_FAILED:
        return "slicer_streams";
    default:
        return LOOP_NAME;
    }
}

/* Whether the log shows ev: a repeated session's set-up and the streams av_dump_format lists stay out. */
static bool slicer_shown(const slicer_session *ses, const event *ev)
{
    switch (ev->type) {
    case EVENT_STREAM_ADDED:
        return false;
    case EVENT_EPG_ADDED:
    case EVENT_OUTPUT_OPENING:
    case EVENT_PROGRAMME_CHOSEN:
    case EVENT_PROGRAMME_UNSPLICEABLE:
        return !ses->quiet;
    default:
        return true;
    }
}

/* One event being logged. */
struct slicer_line {
    slicer_session *ses;
    const event *ev;
};

/*
 * One line of an event's wording into the log. Failures that every session
 * retried at once would repeat go through the rate limiter; a refused
 * identity names the options that set it.
 */
static void slicer_log_line(void *opaque, int severity, const char *text)
{
    const slicer_line *line = (const slicer_line *)opaque;
    const event *ev = line->ev;
    const char *prefix = slicer_line_prefix(ev);

    if (ev->type == EVENT_SETUP_FAILED && ev->reason == EVENT_STEP_LAYOUT)
        log_printf(severity, "%s: %s; check --mpegts_service_id, --mpegts_pmt_start_pid and "
                   "--mpegts_transport_stream_id", prefix, text);
    else if (ev->type == EVENT_SETUP_FAILED || ev->type == EVENT_WRITE_FAILED || ev->type == EVENT_READ_FAILED)
        slicer_fail(line->ses, "%s: %s", prefix, text);
    else
        log_printf(severity, "%s: %s", prefix, text);
}

#define SLICER_CHECK_LINE_US 60000000  // a failed output check is logged at most this often

/* A failed output check: one line a minute at most for each check, with the failures since the last. */
static void slicer_output_check(slicer_session *ses, const event *ev)
{
    static int64_t told_at[TS_OUT_CHECK_COUNT], pending[TS_OUT_CHECK_COUNT];  // the main thread's
    int c = ev->reason;
    if (c < 0 || c >= TS_OUT_CHECK_COUNT)
        return;
    int64_t now = status_now_us();
    pending[c] += ev->count;
    if (told_at[c] && now - told_at[c] < SLICER_CHECK_LINE_US)
        return;
    event line_ev = *ev;
    line_ev.count = pending[c];
    told_at[c] = now;
    pending[c] = 0;
    slicer_line line = {ses, &line_ev};
    event_text(&line_ev, slicer_log_line, &line);
}

/* Continuity breaks the input brought on a PID passing through: one line a minute at most for each PID. */
static void slicer_input_continuity(slicer_session *ses, const event *ev)
{
    static int64_t told_at[TS_PID_COUNT], pending[TS_PID_COUNT];  // the main thread's
    if (ev->pid < 0 || ev->pid >= TS_PID_COUNT)
        return;
    status_add_input_cc(&ses->app->status, ev->pid, ev->count);
    int64_t now = status_now_us();
    pending[ev->pid] += ev->count;
    if (told_at[ev->pid] && now - told_at[ev->pid] < SLICER_CHECK_LINE_US)
        return;
    event line_ev = *ev;
    line_ev.count = pending[ev->pid];
    told_at[ev->pid] = now;
    pending[ev->pid] = 0;
    slicer_line line = {ses, &line_ev};
    event_text(&line_ev, slicer_log_line, &line);
}

/*
 * The service's event sink: the as-run record, the channel's status and
 * counters, and the events' lines in the log.
 */
/* Moves the times the sender stamped into the air clock. */
static void slicer_take_marks(slicer_session *ses, udp_out *dst)
{
    udp_out_mark_time sent[UDP_OUT_MARKS];
    int n = udp_out_mark_taken(dst, sent, UDP_OUT_MARKS);
    for (int i = 0; i < n; i++)
        event_air_clock_mark(ses->clock, sent[i].pts, sent[i].wall_ms);
}

/*
 * The pictures whose air time is recorded (a break's start, each spot's first)
 * are marked in the sender, which stamps them as they leave; what it stamped
 * goes into the air clock, so that the as-run and the verification file give
 * the time the picture left, not the time it was read.
 */
static void slicer_air_marks(slicer_session *ses, const event *ev)
{
    if (!ses->dst)
        return;
    if ((ev->type == EVENT_BREAK_STARTED || ev->type == EVENT_BREAK_SKIPPED || ev->type == EVENT_SPOT_STARTED) &&
        ev->pts != AV_NOPTS_VALUE)
        udp_out_mark(ses->dst, ts_pts_wrap(ev->pts));
    slicer_take_marks(ses, ses->dst);
}

static void slicer_on_event(void *opaque, const event *ev)
{
    slicer_session *ses = (slicer_session *)opaque;
    app_ctx *app = ses->app;

    slicer_air_marks(ses, ev);
    event_air_clock_follow(ses->clock, ev, (int64_t)log_now_ms());
    console_note_event(&app->console, ev, (int64_t)log_now_ms());
    slicer_record(ses, ev);
    traffic_on_event(ses->traffic_ctx, ev);
    switch (ev->type) {
    case EVENT_IDLE:
        status_set_state(&app->status, STATE_IDLE);
        break;
    case EVENT_RELAY_STARTED:
        ffmpeg_log_quiet(0);
        ratelimit_flush(ses->failures, status_now_us());
        status_session_started(&app->status, status_now_us());
        status_set_state(&app->status, STATE_IDLE);
        break;
    case EVENT_PROGRESS:
        slicer_progress(ses, ev);
        break;
    case EVENT_RUN_LEFT_OUT:  // a start on its picture, yet not as announced: monitoring counts it with the others
        app->status.accurate_fallbacks.fetch_add(1);
        break;
    case EVENT_INPUT_LOST:
        status_input_lost(&app->status, status_now_us());
        break;
    case EVENT_INPUT_BACK:
        status_input_back(&app->status, status_now_us());
        break;
    case EVENT_PASS_DROPPED:
        status_add_pass_dropped(&app->status, ev->count);
        break;
    case EVENT_INPUT_FAST:
        status_add_fast_dropped(&app->status, ev->count);
        break;
    case EVENT_OUTPUT_CHECK:
        status_add_output_errors(&app->status, ev->reason, ev->count);
        slicer_output_check(ses, ev);
        return;
    case EVENT_INPUT_CONTINUITY:
        slicer_input_continuity(ses, ev);
        return;
    default:
        break;
    }
    if (slicer_shown(ses, ev)) {
        slicer_line line = {ses, ev};
        event_text(ev, slicer_log_line, &line);
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

static int64_t slicer_unread_since(void *opaque)
{
    return udp_in_unread_since(((slicer_session *)opaque)->src);
}

static int slicer_switching(void *opaque)
{
    return slicer_sources_switching(((slicer_session *)opaque)->sources);
}

static int64_t slicer_cuts(void *opaque)
{
    return slicer_sources_cuts(((slicer_session *)opaque)->sources);
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
    /*
     * At a constant rate the muxer's PCRs and padding go on with the sound
     * while the video waits for a start's re-encoded pictures, which lead
     * the PCR by up to max_delay: a third of that lead (at most
     * SLICER_RUN_BUDGET_US) may go to waiting. At a variable rate the PCR
     * rides on the video: they are encoded on the packet.
     */
    if (app->mux_rate > 1)
        desc.splice.run_budget_us = std::min<int64_t>(app->max_delay / 3, SLICER_RUN_BUDGET_US);
    desc.stop = slicer_stop_requested;
    desc.stop_opaque = app;
    desc.splice.events.fn = slicer_on_event;
    desc.splice.events.opaque = ses;
    desc.splice.trace = &slicer_trace;
    desc.splice.verbose = app->debug > 1;
    desc.splice.time_signal_breaks = app->time_signal_breaks;
    desc.splice.planner = traffic_planner(ses->traffic_ctx);
    desc.splice.open_breaks = app->open_breaks;
    desc.splice.max_break = (int64_t)app->max_break * 90000;
    desc.frame_accurate = !app->frame_accurate_off;
    desc.splice.timing = &app->timing;
    desc.live = 1;
    desc.slate_us = (int64_t)app->input_loss_slate_ms * 1000;
    desc.loss_us = (int64_t)app->input_loss_ms * 1000;
    desc.unread_since = slicer_unread_since;
    desc.switching = slicer_switching;
    desc.cuts = slicer_cuts;
    desc.unread_opaque = ses;
    desc.key_frame = thumbs_offer;
    desc.key_frame_opaque = &app->thumbs;
    return desc;
}

#define SLICER_READ_WAIT_US 20000  // a read of the input returns this often while nothing comes

/* The input filter's source: what the UDP receiver has, as soon as it has some. */
static int slicer_read_input(void *opaque, uint8_t *buf, int size)
{
    return udp_in_read_until((udp_in *)opaque, buf, size, SLICER_READ_WAIT_US);
}

/* Bytes a ring holds to last us at the mux rate (SLICER_RING_MIN at least). */
static int64_t slicer_ring_bytes(const app_ctx *app, int64_t us)
{
    int64_t bytes = app->mux_rate > 0 ? app->mux_rate / 8 * us / 1000000 : 0;
    return bytes < SLICER_RING_MIN ? SLICER_RING_MIN : bytes;
}

#define SLICER_INVALID_LINE_US 60000000  // the "not MPEG-TS" line of all sessions at most this often

/*
 * What the receiver sees of the input, into the channel's status (opaque)
 * and the log: whether it is lost is the relay's to say (EVENT_INPUT_LOST).
 */
static void slicer_on_input(void *opaque, const udp_in_report *rep)
{
    static std::atomic<int64_t> line_at{0};
    channel_status *st = (channel_status *)opaque;

    if (rep->change != UDP_IN_INVALID) {
        status_input_back(st, rep->now_us);
        return;
    }
    status_input_invalid(st, rep->now_us);
    int64_t last = line_at.load();
    if ((last == 0 || rep->now_us - last >= SLICER_INVALID_LINE_US) && line_at.compare_exchange_strong(last, rep->now_us))
        log_printf(LOG_ERROR, "%s: the input is not MPEG-TS: %" PRId64 " datagrams in %" PRId64 " s without TS "
                   "packets (no sync byte every 188 bytes)", "slicer_streams", rep->datagrams, rep->seconds);
}

/*
 * The receiver on src_addr, as configured by the options; with a backup
 * address, the ring the main and the backup are merged into (*sources).
 */
static int slicer_open_receiver(app_ctx *app, slicer_links *links, udp_in **src, slicer_sources **sources)
{
    udp_in_config config = {};

    config.addr = app->src_addr;
    config.interface = app->src_if;
    config.source = app->src_source;
    config.socket_buffer = app->src_buffer > 0 ? app->src_buffer : SLICER_SRC_BUFFER;
    config.ring_bytes = slicer_ring_bytes(app, SLICER_IN_RING_US);
    config.stop_flag = app->stop_flag;
    config.on_change = slicer_on_input;
    config.on_change_opaque = &app->status;
    udp_in_config main_config = config;
    if (app->backup_addr[0])
        main_config.on_change = nullptr;  // the merged ring's watcher tells the channel's input
    int ret = slicer_links_receiver(links, &main_config, src);
    /* Every session's receiver gets the same buffer: one line per size granted. */
    static std::atomic<int64_t> told{-1};
    udp_in_stats st;
    if (ret >= 0 && udp_in_get_stats(*src, &st) == 0 && st.socket_buffer > 0 &&  // SRT's socket is libsrt's
        st.socket_buffer < config.socket_buffer && told.exchange(st.socket_buffer) != st.socket_buffer)
        log_printf(LOG_INFO, "%s: socket receive buffer of %" PRId64 " bytes asked for, the kernel granted %" PRId64
                   " (raise net.core.rmem_max)", "slicer_streams", config.socket_buffer, st.socket_buffer);
    if (ret >= 0 && app->backup_addr[0])
        ret = slicer_sources_open(app, links, &config, src, sources);
    return ret;
}

static void slicer_close_receiver(slicer_session *ses, udp_in **src)
{
    if (ses->sources)
        slicer_sources_close(&ses->sources, ses->links, src);
    else
        slicer_links_receiver_close(ses->links, src);
}

/* The paced sender to dst_addr, as configured by the options; watch hears of what it sends. */
static int slicer_open_sender(app_ctx *app, slicer_links *links, slicer_sent_watch *watch, udp_out **dst)
{
    udp_out_config config = {};

    config.addr = app->dst_addr;
    config.interface = app->dst_if;
    config.ttl = app->dst_ttl;
    config.rtp = app->dst_rtp;
    config.delay_us = SLICER_SEND_DELAY_US;
    config.max_lead_us = SLICER_MAX_OUTPUT_LEAD_US;
    config.ring_bytes = slicer_ring_bytes(app, SLICER_OUT_RING_US);
    config.stop_flag = app->stop_flag;
    config.on_sent = slicer_on_sent;
    config.on_sent_opaque = watch;
    int ret = slicer_links_sender(links, &config);
    return ret < 0 ? ret : udp_out_create(dst, &config);
}

/*
 * Closes the sender (a bounded drain) and logs what it did. The pictures
 * marked that left during the drain come after the session's last event:
 * their times go into the air clock and the traffic's records here.
 */
static void slicer_close_sender(slicer_session *ses, udp_out **dst)
{
    udp_out_stats sent = {};

    if (!*dst)
        return;
    udp_out_drain(*dst);
    slicer_take_marks(ses, *dst);
    traffic_measure(ses->traffic_ctx);
    udp_out_destroy(dst, &sent);
    log_printf(LOG_INFO, "%s: output: %" PRId64 " datagrams sent, %" PRId64 " late, latest by %" PRId64
               " us, %" PRId64 " dropped at stop, %" PRId64 " send errors, %" PRId64 " schedule restarts, %" PRId64
               " steps back (the longest %" PRId64 " us)",
               "slicer_streams", sent.datagrams_sent, sent.datagrams_late, sent.max_late_us,
               sent.datagrams_dropped + sent.bytes_dropped / SLICER_DATAGRAM_SIZE, sent.send_errors,
               sent.schedule_restarts, sent.steps_back, sent.max_step_back_us);
}

/*
 * Logs, once per session, each programme video or audio stream that the
 * filler cannot replace; breaks are recorded as skipped when a video
 * stream has no filler stream at all.
 */
static void slicer_check_filler(slicer_session *ses, const relay_input *input)
{
    filler_mismatch found[SLICER_MAX_MISMATCHES];
    char text[256];
    int n = relay_check_filler(input, ses->app->filler, found, SLICER_MAX_MISMATCHES);

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
    ret = slicer_open_receiver(app, ses->links, &src, &ses->sources);
    if (!ses->quiet)
        log_printf(LOG_INFO, "%s: avformat_open_input(%s)", "slicer_streams", app->src_url);
    if (ret < 0) {
        slicer_fail(ses, "%s: Could not open input file [%s]: %s", "slicer_streams", app->src_url,
                    err_to_str(err, sizeof(err), ret));
        return ret;
    }
    ses->src = src;
    input.program = app->program;
    input.spts = app->spts;
    input.rate = app->mux_rate;
    ret = relay_open_input_reader(&input, app->src_url, slicer_read_input, src, &interrupt);
    if (ret < 0) {
        const char *what = input.failed_step == RELAY_INPUT_PROBE ? "Failed to retrieve input stream information"
                                                                  : "Could not open input file";
        err_to_str(err, sizeof(err), ret);
        if (ret == AVERROR_EXIT && slicer_stopping(app))  // a stop ended the wait for input: no failure
            log_printf(LOG_INFO, "%s: %s [%s]: %s", "slicer_streams", what, app->src_url, err);
        else
            slicer_fail(ses, "%s: %s [%s]: %s", "slicer_streams", what, app->src_url, err);
        slicer_count_overruns(ses, true);
        ses->src = nullptr;
        slicer_close_receiver(ses, &src);
        status_session_ended(&app->status);
        return ret;
    }
    if (!ses->quiet)
        av_dump_format(input.fmt, 0, app->src_url, 0);
    slicer_check_filler(ses, &input);
    if (ses->conformer) {
        AVFormatContext *programme = relay_spliced_streams(&input);
        conform_thread_set_target(ses->conformer, programme, input.fmt);
        avformat_free_context(programme);
    }
    if (ses->traffic_ctx) {
        AVFormatContext *programme = relay_spliced_streams(&input);
        traffic_set_programme(ses->traffic_ctx, &programme);
    }

    ret = slicer_open_sender(app, ses->links, ses->sent, &dst);
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
    relay_outcome outcome;
    if (ret < 0 && relay_result(relay, &outcome) == 0 && outcome.failed_step == EVENT_STEP_LAYOUT)
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
    slicer_close_sender(ses, &dst);
    relay_close_input(&input);
    slicer_count_overruns(ses, true);
    ses->src = nullptr;
    slicer_close_receiver(ses, &src);
    status_session_ended(&app->status);
    return ret;
}

#define SLICER_LIBRARY_REPEATS 10  // library lines of one format logged in a row before they are counted

/* Sleeps up to us microseconds in short steps, returning early on a stop request. */
static void slicer_pause(const app_ctx *app, int64_t us)
{
    int64_t end = av_gettime_relative() + us;
    while (!slicer_stopping(app) && av_gettime_relative() < end)
        av_usleep(20000);
}

/* Between sessions: the filler's conformed copy, once there is one, replaces the filler as delivered. */
static void slicer_take_conformed_filler(app_ctx *app, conform_thread *conformer)
{
    char path[APP_TEXT_SIZE], why[128];
    filler_ctx *copy = nullptr;
    if (!conform_thread_filler(conformer, path, sizeof(path)))
        return;
    int ret = filler_load(path, &copy);
    if (ret == 0 && filler_usable(copy, why, sizeof(why)) == 0) {
        log_printf(LOG_INFO, "%s: the filler's conformed copy [%s] airs from now on", "slicer_main_loop", path);
        filler_destroy(&app->filler);
        app->filler = copy;
        return;
    }
    log_printf(LOG_ERROR, "%s: the filler's conformed copy [%s] cannot be used; the filler stays", "slicer_main_loop",
               path);
    filler_destroy(&copy);
}

/* Loads the filler (its conformed copy where one is kept) into app->filler; 0, or why not (said in the log). */
static int slicer_load_filler(app_ctx *app)
{
    char filler_file[APP_TEXT_SIZE];
    int conformed = conform_thread_filler_at_start(app, filler_file, sizeof(filler_file));
    log_printf(LOG_INFO, "%s: loading filler [%s]", "slicer_main_loop", filler_file);
    int ret = filler_load(filler_file, &app->filler, app->stop_flag);
    if (ret == -EINTR)
        return ret;  // the service stops
    if (ret < 0) {
        char err[ERR_TEXT_SIZE] = {0};
        log_printf(LOG_ERROR, "%s: failed to load filler [%s]: %s", "slicer_main_loop", app->filler_path,
                   err_to_str(err, sizeof(err), ret));
        return ret;
    }
    char why[128];
    ret = filler_usable(app->filler, why, sizeof(why));
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: the filler [%s] cannot be used: %s", "slicer_main_loop", app->filler_path, why);
        if (conformed == -EAGAIN)
            log_printf(LOG_ERROR, "%s: a filler that is no transport stream airs through its conformed copy, made "
                       "once a session knows the channel's format: start with a .ts filler, or convert it with "
                       "kestrow_conform", "slicer_main_loop");
        filler_destroy(&app->filler);
        return ret;
    }
    for (unsigned i = FILLER_MAX_STREAMS; i < app->filler->format->nb_streams; i++)
        log_printf(LOG_ERROR, "%s: filler stream %u (id %d) ignored: at most %d filler streams are used",
                   "slicer_main_loop", i, app->filler->format->streams[i]->id, FILLER_MAX_STREAMS);
    av_dump_format(app->filler->format, 0, filler_file, 0);
    return 0;
}

/*
 * One step of the stop, timed from since: a step that takes long (a thread
 * that does not see the stop, a host that gives it no CPU) is said, so that
 * a slow stop shows where it waited. The time now.
 */
static int64_t slicer_stop_step(const char *what, int64_t since)
{
    int64_t now = av_gettime_relative();
    if (now - since > SLICER_STOP_STEP_US)
        log_printf(LOG_INFO, "%s: stopping: %s took %.3f s", "slicer_main_loop", what, (now - since) / 1e6);
    return now;
}

int slicer_main_loop(app_ctx *app)
{
    /* Names for the log and the muxer (an SRT passphrase masked); the sockets are the session's own. */
    slicer_links_name(app->src_addr, app->src_url, sizeof(app->src_url));
    slicer_links_name(app->dst_addr, app->dst_url, sizeof(app->dst_url));
    log_printf(LOG_INFO, "%s: src_url=%s", "slicer_main_loop", app->src_url);
    log_printf(LOG_INFO, "%s: dst_url=%s", "slicer_main_loop", app->dst_url);
    if (app->backup_addr[0]) {
        slicer_links_name(app->backup_addr, app->backup_url, sizeof(app->backup_url));
        log_printf(LOG_INFO, "%s: backup_src_url=%s, failback %s after %d s", "slicer_main_loop", app->backup_url,
                   app->failback_stay ? "never (stay)" : "to the main", app->failback_hold);
    }

    ffmpeg_log_policy library_log = {1, SLICER_LIBRARY_REPEATS, RATELIMIT_PERIOD_US, "slicer_main_loop"};
    ffmpeg_log_policy_set(&library_log);
    avformat_network_init();

    int ret = slicer_load_filler(app);
    if (ret < 0)
        return ret == -EINTR ? 0 : ret;

    slicer_links *links = nullptr;
    ret = slicer_links_create(app, &links);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: the addresses cannot be used", "slicer_main_loop");
        filler_destroy(&app->filler);
        return ret;
    }
    /*
     * A new session starts at once after the previous one; only when
     * sessions keep failing straight away are they paced, so that an
     * address that cannot be opened does not spin a core.
     */
    int quick_failures = 0;
    ratelimit failures = {};
    event_air_clock clock;
    slicer_sent_watch sent = {};
    sent.status = &app->status;
    traffic_thread *traffic = nullptr;
    event_air_clock_init(&clock, ASRUN_NONE, 1);
    traffic_thread_start(app, &clock, &traffic);
    thumbs_start(&app->thumbs);
    conform_thread *conformer = nullptr;
    conform_thread_start(app, traffic_thread_traffic(traffic), &conformer);
    while (!slicer_stopping(app)) {
        slicer_take_conformed_filler(app, conformer);
        int64_t started = av_gettime_relative();
        slicer_session ses = {};
        ses.app = app;
        ses.clock = &clock;
        ses.sent = &sent;
        ses.traffic_ctx = traffic_thread_traffic(traffic);
        ses.conformer = conformer;
        ses.failures = &failures;
        ses.links = links;
        ses.quiet = quick_failures > 0;
        ffmpeg_log_quiet(ses.quiet);  // a session repeating one that failed at once: its library lines too
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
    int64_t step = av_gettime_relative();
    slicer_links_destroy(&links);
    step = slicer_stop_step("the links", step);
    thumbs_stop(&app->thumbs);
    step = slicer_stop_step("the thumbnails", step);
    conform_thread_stop(&conformer);  // first: it reads the traffic's schedule
    step = slicer_stop_step("the conforming", step);
    traffic_thread_stop(&traffic);
    step = slicer_stop_step("the traffic", step);
    filler_destroy(&app->filler);
    slicer_stop_step("the filler", step);
    return ret == SLICER_CONFIG_FAULT ? ret : 0;
}
