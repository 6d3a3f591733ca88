/*
 * The wording of every event: one section per kind of event, lines in the
 * order an operator reads them.
 */
#include "event/event_text.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

#include "common/log.h"
#include "common/trace.h"
#include "ts/ts_layout.h"

#define EVENT_LINE_SIZE 1024  // any line but a cue's bytes

/* Where the lines of one event go, and how many went. */
struct wording {
    event_line_fn fn;
    void *opaque;
    int lines;
};

static void say(wording *w, int severity, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
static void say(wording *w, int severity, const char *fmt, ...)
{
    char line[EVENT_LINE_SIZE];
    va_list ap;

    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    w->fn(w->opaque, severity, line);
    w->lines++;
}

/* What the event's id counts: splice_insert events or time_signal segmentation events. */
static const char *id_name(const event *ev)
{
    return ev->flags & EVENT_CUE_SEGMENTATION_FLAG ? "segmentation_event_id" : "splice_event_id";
}

/* The cue's bytes in upper-case hexadecimal, then where to decode them. */
static void say_cue(wording *w, const event *ev)
{
    static const char digits[] = "0123456789ABCDEF";
    std::vector<char> hex((size_t)(ev->size > 0 ? ev->size : 0) * 2 + 1);

    for (int i = 0; i < ev->size; i++) {
        hex[(size_t)i * 2] = digits[ev->data[i] >> 4];
        hex[(size_t)i * 2 + 1] = digits[ev->data[i] & 0x0F];
    }
    hex.back() = '\0';
    w->fn(w->opaque, LOG_INFO, hex.data());
    w->lines++;
    say(w, LOG_INFO, "check value against %s or %s", EVENT_SCTE35_DECODER_A, EVENT_SCTE35_DECODER_B);
}

static void say_armed(wording *w, const event *ev)
{
    if (ev->pts_time != AV_NOPTS_VALUE)
        say(w, LOG_INFO, "%s.splice_time.pts_time=%" PRId64,
            ev->flags & EVENT_CUE_SEGMENTATION_FLAG ? "time_signal" : "splice_insert", ev->pts_time);
    if (ev->pts_time != AV_NOPTS_VALUE && ev->splice_time != ev->pts_time)
        say(w, LOG_INFO, "effective splice point=%" PRId64 " (%f), pts_adjustment=%" PRIu64, ev->splice_time,
            ev->splice_time / 90000.0, ev->pts_adjustment);
    if (ev->reason != EVENT_ARM_CUE)
        say(w, LOG_INFO, "%s=%u armed (%s) at %" PRId64, id_name(ev), ev->splice_event_id, event_reason_name(ev),
            ev->splice_time);
    if (ev->flags & EVENT_CUE_IMMEDIATE_FLAG)
        say(w, LOG_INFO, "%s=%u armed: immediate, at the next video key frame", id_name(ev), ev->splice_event_id);
    else
        say(w, LOG_INFO, "remain: %" PRId64 " ticks (%f sec)", ev->delta_ticks, ev->delta_ticks / 90000.0);
    if (ev->flags & EVENT_CUE_DURATION_FLAG && ev->pts_time != AV_NOPTS_VALUE)
        say(w, LOG_INFO, "splice_insert.break_duration.duration=%" PRId64 " (%f), at=%" PRId64, ev->duration,
            ev->duration / 90000.0, ev->pts_time + ev->duration);
}

/* Why a cue was ignored, with how far ahead or late it came when its timing was the reason. */
static void say_ignored(wording *w, const event *ev)
{
    char when[64] = "";

    if (ev->delta_ticks != AV_NOPTS_VALUE && (ev->reason == EVENT_IGNORE_TOO_FAR || ev->reason == EVENT_IGNORE_LATE))
        snprintf(when, sizeof(when), " (%f sec %s its splice point)", llabs(ev->delta_ticks) / 90000.0,
                 ev->delta_ticks < 0 ? "after" : "before");
    if (ev->flags & EVENT_CUE_NO_ID_FLAG)
        say(w, LOG_INFO, "cue ignored: %s%s", event_reason_name(ev), when);
    else
        say(w, LOG_INFO, "cue of %s=%u ignored: %s%s", id_name(ev), ev->splice_event_id, event_reason_name(ev),
            when);
}

/* What became of an event waiting for its turn: kept, dropped, expired. */
static void say_pending(wording *w, const event *ev)
{
    const char *id = id_name(ev);
    uint32_t n = ev->splice_event_id;
    const char *why = event_reason_name(ev);

    if (ev->type == EVENT_NEXT_KEPT)
        say(w, LOG_INFO, "%s=%u at %" PRId64 " kept (%s): armed when its turn comes, %" PRId64 " pending", id, n,
            ev->splice_time, why, ev->count);
    else if (ev->type == EVENT_DROPPED)
        say(w, LOG_ERROR, "%s=%u at %" PRId64 " dropped (%s): more than %" PRId64 " events pending", id, n,
            ev->splice_time, why, ev->count);
    else if (ev->reason == EVENT_EXPIRE_SESSION_END)
        say(w, LOG_INFO, "%s=%u at %" PRId64 " expired (%s): the session ended before it", id, n,
            ev->splice_time, why);
    else
        say(w, LOG_ERROR, "%s=%u at %" PRId64 " expired (%s): its time was over at the key frame at %" PRId64, id,
            n, ev->splice_time, why, ev->pts);
}

/* The cue decisions that change no stream: ignored, repeated, cancelled, return, kept, skipped. */
static bool say_decision(wording *w, const event *ev)
{
    const char *id = id_name(ev);
    uint32_t n = ev->splice_event_id;

    switch (ev->type) {
    case EVENT_CUE_IGNORED:
        say_ignored(w, ev);
        return true;
    case EVENT_CUE_REPEATED:
        say(w, LOG_INFO, "%s=%u repeated: nothing changes", id, n);
        return true;
    case EVENT_CANCELLED:
        say(w, LOG_INFO, "%s=%u cancelled: %s", id, n,
            ev->reason == EVENT_CANCEL_ARMED  ? "disarmed"
            : ev->reason == EVENT_CANCEL_KEPT ? "no longer kept for after the break"
                                              : "the source restarted on a new time line (source_restart)");
        return true;
    case EVENT_RETURN_SCHEDULED:
        if (ev->flags & EVENT_CUE_IMMEDIATE_FLAG)
            say(w, LOG_INFO, "return cue %s=%u: the break ends at the next video key frame", id, n);
        else
            say(w, LOG_INFO, "return cue %s=%u: the break ends at the first video key frame at %" PRId64 " (%f)", id,
                n, ev->splice_time, ev->splice_time / 90000.0);
        return true;
    case EVENT_NEXT_KEPT:
    case EVENT_DROPPED:
    case EVENT_EXPIRED:
        say_pending(w, ev);
        return true;
    case EVENT_BREAK_SKIPPED:
        if (ev->reason == EVENT_SKIP_SCHEDULE)
            say(w, LOG_INFO, "break of %s=%u skipped (%s): the schedule leaves the programme on air", id, n,
                event_reason_name(ev));
        else if (ev->reason == EVENT_SKIP_NO_VIDEO)
            say(w, LOG_ERROR, "break of %s=%u skipped (%s): no video of the programme can be demultiplexed", id, n,
                event_reason_name(ev));
        else
            say(w, LOG_ERROR, "break of %s=%u skipped (%s): the filler has no video for output stream %d", id, n,
                event_reason_name(ev), ev->stream);
        return true;
    default:
        return false;
    }
}

/* A spot of a break: on air, and how it ended. */
static void say_spot(wording *w, const event *ev)
{
    const event_spot *sp = ev->spot;
    int64_t aired = ev->aired == AV_NOPTS_VALUE ? 0 : ev->aired;

    const char *file = sp->file[0] ? sp->file : "no file";

    if (ev->type == EVENT_SPOT_STARTED)
        say(w, LOG_INFO, "spot %s [%s] (break %d, position %d) on air at %" PRId64 " (%f), %f sec", sp->id, file,
            sp->break_number, sp->position, ev->pts, ev->pts / 90000.0, sp->length / 90000.0);
    else
        say(w, ev->reason == EVENT_SPOT_AIRED ? LOG_INFO : LOG_ERROR,
            "spot %s [%s] (break %d, position %d): %s, aired=%" PRId64 " (%f sec of %f)", sp->id, file,
            sp->break_number, sp->position, event_reason_name(ev), aired, aired / 90000.0, sp->length / 90000.0);
}

/* A break's start and end, and each stream's switch. */
static bool say_break(wording *w, const event *ev)
{
    switch (ev->type) {
    case EVENT_BREAK_STARTED:
        say(w, LOG_INFO, "Splicing started: delta=%" PRId64 ", time=%f", ev->delta_ticks, ev->delta_ticks / 90000.0);
        if (ev->pts_shift > 0)
            say(w, LOG_INFO, "filler video pts shifted by %" PRId64 " ticks (%f sec) to keep pts >= dts",
                ev->pts_shift, ev->pts_shift / 90000.0);
        if (ev->fallback == EVENT_FALLBACK_LATE_CUE)  // as near the point as what had gone out allows
            say(w, LOG_INFO, "start of %s=%u %f sec after the announced picture: %s (the pictures shown from it on "
                "had gone out when the cue came), %d pictures before the start re-encoded", id_name(ev),
                ev->splice_event_id, ev->delta_ticks / 90000.0, event_fallback_name(ev->fallback), ev->reencoded);
        else if (ev->fallback != EVENT_FALLBACK_NONE)
            say(w, LOG_INFO, "start of %s=%u on the programme's key frame, not on the announced picture: %s",
                id_name(ev), ev->splice_event_id, event_fallback_name(ev->fallback));
        else if (ev->reencoded > 0)
            say(w, LOG_INFO, "start of %s=%u on the announced picture: %d pictures before it re-encoded",
                id_name(ev), ev->splice_event_id, ev->reencoded);
        return true;
    case EVENT_STREAM_SWITCHED:
        if (ev->reason == EVENT_SWITCH_TO_FILLER)
            say(w, LOG_INFO, "found audio stream %d, dts delta=%" PRId64 ", rep_ctx.scte_35_pts_time=%" PRId64,
                ev->stream, ev->delta_ticks, ev->pts);
        else if (ev->reason == EVENT_SWITCH_BACK_AT_END)
            say(w, LOG_INFO, "end of break detected for stream %d, sent_dts=%" PRId64 ", end_pts=%" PRId64,
                ev->stream, ev->pts, ev->end_pts);
        else if (ev->reason == EVENT_SWITCH_BACK_FILLER_END)
            say(w, LOG_INFO, "end of AUDIO stream %d reached", ev->stream);
        return true;
    case EVENT_BREAK_ENDED: {
        if (ev->reason == EVENT_END_FILLER_END)
            say(w, LOG_INFO, "end of VIDEO stream %d reached", ev->stream);
        else if (ev->reason < EVENT_END_INPUT_LOST && ev->reason != EVENT_END_SESSION_END)
            say(w, LOG_INFO, "Splicing finished: delta=%" PRId64 ", time=%f, rep_ctx.end_pts=%" PRId64, ev->delta_ticks,
                ev->delta_ticks / 90000.0, ev->end_pts);
        int64_t aired = ev->aired == AV_NOPTS_VALUE ? 0 : ev->aired;
        say(w, LOG_INFO, "break of %s=%u ended: %s, aired=%" PRId64 " (%f sec)", id_name(ev), ev->splice_event_id,
            event_reason_name(ev), aired, aired / 90000.0);
        if (ev->fallback != EVENT_FALLBACK_NONE)
            say(w, LOG_INFO, "return of %s=%u on the programme's key frame, not on the announced picture: %s",
                id_name(ev), ev->splice_event_id, event_fallback_name(ev->fallback));
        else if (ev->reencoded > 0)
            say(w, LOG_INFO, "return of %s=%u on the announced picture: %d pictures re-encoded up to the key frame",
                id_name(ev), ev->splice_event_id, ev->reencoded);
        return true;
    }
    case EVENT_RUN_LEFT_OUT: {
        char err[ERR_TEXT_SIZE] = {0};
        if (ev->fallback == EVENT_FALLBACK_LATE)
            say(w, LOG_ERROR, "start of %s=%u: the %" PRId64 " pictures before it re-encoded were not ready after %" PRId64
                " ms: left out (%s), the picture before them held", id_name(ev), ev->splice_event_id, ev->count,
                ev->elapsed_us / 1000, event_fallback_name(ev->fallback));
        else
            say(w, LOG_ERROR, "start of %s=%u: the %" PRId64 " pictures before it could not be re-encoded: left out (%s: %s), "
                "the picture before them held", id_name(ev), ev->splice_event_id, ev->count,
                event_fallback_name(ev->fallback), err_to_str(err, sizeof(err), ev->result));
        return true;
    }
    case EVENT_IDLE:
        say(w, LOG_INFO, "SPLICING_STATE_IDLE");
        return true;
    case EVENT_SPOT_STARTED:
    case EVENT_SPOT_ENDED:
        if (ev->spot)
            say_spot(w, ev);
        return true;
    default:
        return false;
    }
}

static void say_setup_failed(wording *w, const event *ev)
{
    char err[ERR_TEXT_SIZE] = {0};
    const char *text = err_to_str(err, sizeof(err), ev->result);

    switch (ev->reason) {
    case EVENT_STEP_OUTPUT_CONTEXT:
        say(w, LOG_ERROR, "avformat_alloc_output_context2(%s) failed: %s", ev->text, text);
        break;
    case EVENT_STEP_NEW_STREAM:
        say(w, LOG_ERROR, "Failed allocating output stream %d", ev->stream);
        break;
    case EVENT_STEP_CODEC_PARAMETERS:
        say(w, LOG_ERROR, "Failed to copy codec parameters for stream %d: %s", ev->stream, text);
        break;
    case EVENT_STEP_METADATA:
        say(w, LOG_ERROR, "Failed to copy metadatas for stream %d: %s", ev->stream, text);
        break;
    case EVENT_STEP_OPEN_OUTPUT:
        say(w, LOG_ERROR, "Could not open output file [%s]: %s", ev->text, text);
        break;
    case EVENT_STEP_WRITE_HEADER:
        say(w, LOG_ERROR, "avformat_write_header failed: %s", text);
        break;
    case EVENT_STEP_LAYOUT:
        say(w, LOG_ERROR, "output identity refused: %s", ev->text ? ev->text : text);
        break;
    case EVENT_STEP_PROGRAMME:
        say(w, LOG_ERROR, "%s", ev->text ? ev->text : text);
        break;
    default:
        break;
    }
}

/* The live input's time line: lost, back, moved, too fast; the slate. */
static bool say_timeline(wording *w, const event *ev)
{
    switch (ev->type) {
    case EVENT_INPUT_LOST:
        say(w, LOG_ERROR, "input lost: nothing received for %.3f s; the output goes on", ev->elapsed_us / 1e6);
        return true;
    case EVENT_INPUT_BACK:
        say(w, LOG_INFO, "input back after %.3f s", ev->elapsed_us / 1e6);
        return true;
    case EVENT_TIMELINE_MOVED:
        if (ev->reason == EVENT_TIMELINE_START)
            say(w, LOG_INFO, "output starts on the video key frame at pts %" PRId64, ev->pts);
        else
            say(w, LOG_INFO, "programme resumes on the video key frame at pts %" PRId64 " (%s), its times moved by "
                "%" PRId64 " ticks (%f sec)", ev->pts, event_reason_name(ev), ev->delta_ticks, ev->delta_ticks / 90000.0);
        return true;
    case EVENT_INPUT_FAST:
        say(w, LOG_ERROR, "input runs ahead of the wall clock, its clock at %.2f times the wall clock's rate: taken at "
            "real time, %" PRId64 " packets left out", ev->rate_milli / 1000.0, ev->count);
        return true;
    case EVENT_SLATE_STARTED:
        say(w, LOG_INFO, "slate: the filler airs from its first key frame at pts %" PRId64, ev->pts);
        return true;
    default:
        return false;
    }
}

/* The programme whose breaks are spliced, and what becomes of the others. */
static void say_programme(wording *w, const event *ev)
{
    static const char *const how[] = {"", "the one asked for", "the first with a video stream",
                                      "the first: none has a video stream"};
    const char *why = ev->reason > 0 && ev->reason < 4 ? how[ev->reason] : "";
    if (ev->count == 0)
        say(w, LOG_INFO, "programme %d (PMT PID 0x%X) is spliced, %s; there is no other programme",
            ev->program_number, (unsigned)ev->pid, why);
    else
        say(w, LOG_INFO, "programme %d (PMT PID 0x%X) is spliced, %s; %" PRId64 " other programme%s %s",
            ev->program_number, (unsigned)ev->pid, why, ev->count, ev->count == 1 ? "" : "s",
            ev->flags & 1 ? (ev->count == 1 ? "is left out" : "are left out")
                          : (ev->count == 1 ? "passes through untouched" : "pass through untouched"));
}

/* Why the chosen programme cannot be spliced. */
static void say_unspliceable(wording *w, const event *ev)
{
    if (ev->reason == EVENT_UNSPLICEABLE_SCRAMBLED)
        say(w, LOG_ERROR, "programme %d cannot be spliced: PID 0x%X of it is scrambled; its streams pass through as "
            "TS packets and its breaks are skipped", ev->program_number, (unsigned)ev->pid);
    else
        say(w, LOG_ERROR, "programme %d cannot be spliced: the demuxer reads no codec from PID 0x%X (stream type "
            "0x%02X); its streams pass through as TS packets and its breaks are skipped", ev->program_number,
            (unsigned)ev->pid, (unsigned)ev->stream_type);
}

/* The relay loop and the output's set-up. */
static bool say_relay(wording *w, const event *ev)
{
    char err[ERR_TEXT_SIZE] = {0};

    switch (ev->type) {
    case EVENT_RELAY_STARTED:
        say(w, LOG_INFO, "Entering main loop...");
        return true;
    case EVENT_FIRST_TIMESTAMP:
        say(w, LOG_INFO, "dts_stream_max=%" PRId64 " (%f)", ev->pts, ev->pts / 90000.0);
        return true;
    case EVENT_TIME_JUMP:
        say(w, LOG_INFO, "timestamp jump of %f s at dts %" PRId64 ": a new time line follows the last",
            ev->delta_ticks / 90000.0, ev->pts);
        return true;
    case EVENT_STREAM_ATTACHED:
        say(w, LOG_INFO, "source stream %d now belongs to output stream %d", ev->input_index, ev->stream);
        return true;
    case EVENT_STREAM_ADDED:
        say(w, LOG_INFO, "stream[%d]->id=%d [0x%X]", ev->stream, ev->pid, (unsigned)ev->pid);
        return true;
    case EVENT_STREAM_UNKNOWN:
        if (ev->reason == TS_STREAM_LEAVE_OUT)
            say(w, LOG_ERROR, "stream on PID 0x%X has unknown parameters: left out for this session",
                (unsigned)ev->pid);
        else if (ev->reason == TS_STREAM_DUPLICATE)
            say(w, LOG_INFO, "PID 0x%X is listed twice in the programme: relayed once", (unsigned)ev->pid);
        else if (ev->reason == TS_STREAM_PASS)
            say(w, LOG_INFO, "stream on PID 0x%X cannot be demultiplexed (scrambled or unknown): it passes as "
                "TS packets", (unsigned)ev->pid);
        else
            say(w, LOG_INFO, "stream on PID 0x%X has no sample rate yet: relayed as declared", (unsigned)ev->pid);
        return true;
    case EVENT_LEADING_DROPPED:
        say(w, LOG_INFO, "%" PRId64 " leading pictures of the GOP at pts %" PRId64 " left out on stream %d", ev->count,
            ev->pts, ev->stream);
        return true;
    case EVENT_EPG_ADDED:
        say(w, LOG_INFO, "adding EPG track");
        return true;
    case EVENT_OUTPUT_OPENING:
        say(w, LOG_INFO, "Opening [%s]...", ev->text);
        return true;
    case EVENT_SETUP_FAILED:
        say_setup_failed(w, ev);
        return true;
    case EVENT_QUEUE_REFUSED:
        say(w, LOG_ERROR, "packets_queue_push failed with %d", ev->result);
        return true;
    case EVENT_WRITE_FAILED:
        say(w, LOG_ERROR, "Error muxing packet: %s", err_to_str(err, sizeof(err), ev->result));
        return true;
    case EVENT_READ_FAILED:
        say(w, LOG_ERROR, "Error reading the input: %s", err_to_str(err, sizeof(err), ev->result));
        return true;
    case EVENT_PROGRAMME_CHOSEN:
        say_programme(w, ev);
        return true;
    case EVENT_PROGRAMME_UNSPLICEABLE:
        say_unspliceable(w, ev);
        return true;
    case EVENT_PASS_DROPPED:
        say(w, LOG_ERROR, "%" PRId64 " packets passing through dropped: the output had no room for them", ev->count);
        return true;
    case EVENT_OUTPUT_CHECK:
        say(w, LOG_ERROR, "the output failed its %s check %" PRId64 " times", ev->text ? ev->text : "?", ev->count);
        return true;
    case EVENT_INPUT_CONTINUITY:
        say(w, LOG_ERROR, "the input broke the continuity counters of PID 0x%x %" PRId64 " times (packets lost "
            "before it; passed as they came)", ev->pid, ev->count);
        return true;
    default:
        return false;
    }
}

/* "HH:MM:SS" of wall ms, local time. */
static const char *clock_text(int64_t ms, char *buf, size_t size)
{
    time_t t = (time_t)(ms / 1000);
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(buf, size, "%H:%M:%S", &tm);
    return buf;
}

/* What a break of the schedule airs: its records' spots, each with why it does not when it does not. */
static void say_planned(wording *w, const event *ev, const event_traffic *tr)
{
    char at[16];
    clock_text(tr->window_ms, at, sizeof(at));
    if (ev->reason == EVENT_PLAN_OUTSIDE) {
        say(w, LOG_INFO, "break at %s: outside every window of the schedule, the filler airs", at);
        return;
    }
    if (ev->reason == EVENT_PLAN_NUL) {
        say(w, LOG_INFO, "break %d of the window at %s: NUL, the programme stays on air", tr->break_number, at);
        return;
    }
    std::string what;
    for (int i = 0; i < tr->spot_count; i++) {
        const event_spot *sp = &tr->spots[i];
        what += std::string(i ? ", " : "") + sp->id + (sp->why[0] ? std::string(" (") + sp->why + ")" : "");
    }
    say(w, LOG_INFO, "break %d of the window at %s: %s", tr->break_number, at,
        tr->spot_count ? what.c_str() : "no record, the filler airs");
}

/* A spot as read: ready, or why it cannot air. */
static void say_checked(wording *w, const event *ev, const event_traffic *tr)
{
    const event_spot *sp = ev->spot;
    const char *why = ev->text ? ev->text : "";
    if (ev->reason == EVENT_SPOT_CHECK_READY)
        say(w, LOG_INFO, "spot %s [%s]: ready, %.2f s", sp->id, sp->file, sp->length / 90000.0);
    else if (ev->reason == EVENT_SPOT_CHECK_MISSING)
        say(w, LOG_ERROR, "spot %s: no file %s.ts in [%s]", sp->id, sp->id, tr->file);
    else
        say(w, LOG_ERROR, "spot %s [%s] cannot air: %s", sp->id, sp->file, why);
}

/* The schedule: in force, missing, of another day, refused, warned of, its windows closed. */
static bool say_schedule(wording *w, const event *ev, const event_traffic *tr)
{
    bool stays = tr->schedule[0] != '\0';
    switch (ev->type) {
    case EVENT_SCHEDULE_IN_FORCE:
        say(w, LOG_INFO, "schedule [%s] in force: %" PRId64 " spots, verification file [%s]", tr->schedule,
            ev->count, tr->file);
        return true;
    case EVENT_SCHEDULE_WARNING:
        say(w, LOG_ERROR, "schedule [%s] %s", tr->schedule, ev->text ? ev->text : "");
        return true;
    case EVENT_SCHEDULE_MISSING:
        say(w, LOG_ERROR, "no schedule for today: no file [%s]; %s%s%s", tr->file,
            stays ? "the schedule in force stays [" : "breaks air the filler", tr->schedule, stays ? "]" : "");
        return true;
    case EVENT_SCHEDULE_OTHER_DAY:
        say(w, LOG_ERROR, "schedule [%s] is dated %02d/%02d, not today (%02d/%02d): its windows are not today's, "
            "breaks air the filler", tr->schedule, tr->month, tr->day, tr->today_month, tr->today_day);
        return true;
    case EVENT_SCHEDULE_REFUSED:
        say(w, LOG_ERROR, "schedule [%s] cannot be used: %s; %s%s%s", tr->file,
            ev->result == -ENODATA ? "no record can be read" : strerror(-ev->result),
            stays ? "the schedule in force stays [" : "no schedule is in force", tr->schedule, stays ? "]" : "");
        return true;
    case EVENT_WINDOWS_CLOSED:
        say(w, LOG_ERROR, "schedule [%s]: %" PRId64 " records of ended windows without their break", tr->schedule,
            ev->count);
        return true;
    default:
        return false;
    }
}

/* The traffic's events: a break planned, the schedule, its spots, the verification file. */
static bool say_traffic(wording *w, const event *ev)
{
    static const char *const short_of[] = {
        "traffic: out of memory, breaks air the filler where they cannot be planned",
        "traffic: out of memory, events not taken into the schedule's records",
        "traffic: out of memory, the schedule's file work waits for the next turn",
    };
    static const event_traffic none = {"", "", 0, 0, 0, 0, 0, 0, 0, nullptr, 0};
    const event_traffic *tr = ev->traffic ? ev->traffic : &none;
    char at[16];
    switch (ev->type) {
    case EVENT_BREAK_PLANNED:
        say_planned(w, ev, tr);
        return true;
    case EVENT_SPOT_WILL_NOT_AIR:
        if (ev->spot)
            say(w, LOG_ERROR, "break %d of the window at %s: spot %s will not air (%04d): %s", tr->break_number,
                clock_text(tr->window_ms, at, sizeof(at)), ev->spot->id, tr->status, ev->text ? ev->text : "");
        return true;
    case EVENT_SPOT_CHECKED:
        if (ev->spot)
            say_checked(w, ev, tr);
        return true;
    case EVENT_VERIFICATION_FAILED:
        say(w, LOG_ERROR, "cannot write the verification file [%s]: %s; retried until it can be", tr->file,
            strerror(-ev->result));
        return true;
    case EVENT_VERIFICATION_BACK:
        say(w, LOG_INFO, "verification file [%s] written again", tr->file);
        return true;
    case EVENT_TRAFFIC_NO_MEMORY:
        if (ev->reason >= 0 && ev->reason <= EVENT_MEMORY_FILES)
            say(w, LOG_ERROR, "%s", short_of[ev->reason]);
        return true;
    default:
        return say_schedule(w, ev, tr);
    }
}

int event_text(const event *ev, event_line_fn fn, void *opaque)
{
    if (!ev || !fn)
        return -EINVAL;
    wording w = {fn, opaque, 0};

    switch (ev->type) {
    case EVENT_CUE_DECODED:
        say_cue(&w, ev);
        say(&w, LOG_INFO, "%s.%s=%u", ev->flags & EVENT_CUE_SEGMENTATION_FLAG ? "time_signal" : "splice_insert",
            id_name(ev), ev->splice_event_id);
        break;
    case EVENT_CUE_FAILED:
        say_cue(&w, ev);
        say(&w, LOG_ERROR, "Failed to parse SCTE-35 packet: %d", ev->result);
        break;
    case EVENT_ARMED:
        say_armed(&w, ev);
        break;
    default:
        if (!say_decision(&w, ev) && !say_break(&w, ev) && !say_timeline(&w, ev) && !say_relay(&w, ev))
            say_traffic(&w, ev);
        break;
    }
    return w.lines;
}
