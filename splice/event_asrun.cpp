/*
 * Relay events to as-run records: one table row per event type and reason.
 */
#include "splice/event_asrun.h"

#include <cerrno>

extern "C" {
#include <libavutil/avutil.h>
}

#include "common/mpegts.h"
#include "common/utils.h"

enum asrun_pts_field { PTS_NONE, PTS_EVENT };

struct asrun_row {
    int type;             // event_type
    int record;           // asrun_event
    int reason;           // the record carries the event's reason name
    int pts;              // asrun_pts_field
};

static const asrun_row asrun_rows[] = {
    {EVENT_CUE_DECODED, ASRUN_CUE, 0, PTS_NONE},
    {EVENT_CUE_FAILED, ASRUN_IGNORED, 0, PTS_NONE},
    {EVENT_CUE_IGNORED, ASRUN_IGNORED, 1, PTS_NONE},
    {EVENT_ARMED, ASRUN_ARMED, 1, PTS_NONE},
    {EVENT_CUE_REPEATED, ASRUN_REPEAT, 0, PTS_NONE},
    {EVENT_CANCELLED, ASRUN_CANCELLED, 1, PTS_NONE},
    {EVENT_NEXT_KEPT, ASRUN_KEPT, 1, PTS_NONE},
    {EVENT_DROPPED, ASRUN_DROPPED, 1, PTS_NONE},
    {EVENT_EXPIRED, ASRUN_EXPIRED, 1, PTS_EVENT},
    {EVENT_RETURN_SCHEDULED, ASRUN_RETURN, 0, PTS_NONE},
    {EVENT_BREAK_STARTED, ASRUN_BREAK_START, 0, PTS_EVENT},
    {EVENT_BREAK_SKIPPED, ASRUN_BREAK_SKIPPED, 1, PTS_EVENT},
    {EVENT_BREAK_ENDED, ASRUN_BREAK_END, 1, PTS_EVENT},
    {EVENT_SPOT_ENDED, ASRUN_SPOT, 1, PTS_EVENT},
};

/* A time as the stream carries it: 33 bits, 0 to 2^33 - 1, whatever the packets' unwrapped time line. */
static int64_t asrun_time(int64_t t)
{
    return t == AV_NOPTS_VALUE ? ASRUN_NONE : ts_pts_wrap(t);
}

/* How late the cue came after its splice time, for the decisions its lateness made. */
static int64_t asrun_late(const event *ev)
{
    bool timed = (ev->type == EVENT_ARMED && ev->reason == EVENT_ARM_LATE_JOIN) ||
                 (ev->type == EVENT_CUE_IGNORED && ev->reason == EVENT_IGNORE_LATE);
    return timed && ev->delta_ticks != AV_NOPTS_VALUE ? -ev->delta_ticks : ASRUN_NONE;
}

int event_asrun(const event *ev, int64_t time_ms, asrun_record *out)
{
    if (!ev || !out)
        return -EINVAL;
    const asrun_row *row = nullptr;
    for (const asrun_row &r : asrun_rows) {
        if (r.type == ev->type) {
            row = &r;
            break;
        }
    }
    if (!row)
        return 0;

    asrun_record rec = asrun_record_make(row->record, time_ms);
    /* A failed cue has no id of its own; the others carry theirs or the break's, of its kind. */
    if (ev->type != EVENT_CUE_FAILED && !(ev->flags & EVENT_CUE_NO_ID_FLAG)) {
        if (ev->flags & EVENT_CUE_SEGMENTATION_FLAG)
            rec.segmentation_event_id = ev->splice_event_id;
        else
            rec.splice_event_id = ev->splice_event_id;
    }
    rec.late = asrun_late(ev);
    rec.splice_time = asrun_time(ev->splice_time);
    rec.duration = ev->duration > 0 ? ev->duration : ASRUN_NONE;
    if (row->pts == PTS_EVENT)
        rec.pts = asrun_time(ev->pts);
    if (ev->type == EVENT_CUE_FAILED)
        utils_strlcpy(rec.reason, "unreadable", sizeof(rec.reason));
    else if (row->reason)
        utils_strlcpy(rec.reason, event_reason_name(ev), sizeof(rec.reason));
    /* A length, not a time on the stream's clock: not taken modulo 2^33. */
    if (ev->type == EVENT_BREAK_ENDED || ev->type == EVENT_SPOT_ENDED)
        rec.aired = ev->aired == AV_NOPTS_VALUE ? ASRUN_NONE : ev->aired;
    if (ev->type == EVENT_BREAK_ENDED || ev->type == EVENT_BREAK_STARTED) {
        rec.reencoded = ev->reencoded < 0 ? ASRUN_NONE : ev->reencoded;
        utils_strlcpy(rec.fallback, event_fallback_name(ev->fallback), sizeof(rec.fallback));
    }
    if (ev->type == EVENT_BREAK_ENDED && (ev->reason == EVENT_END_SESSION_END || ev->reason == EVENT_END_INPUT_LOST))
        rec.pts = ASRUN_NONE;  // the input ended or broke off: no key frame took the programme back
    if (ev->type == EVENT_BREAK_ENDED && ev->reason == EVENT_END_SESSION_END)
        rec.aired = ASRUN_NONE;  // nothing took the programme back: no length to give
    if (ev->type == EVENT_SPOT_ENDED && ev->spot) {
        utils_strlcpy(rec.spot_id, ev->spot->id, sizeof(rec.spot_id));
        utils_strlcpy(rec.spot_file, ev->spot->file, sizeof(rec.spot_file));
        rec.break_number = ev->spot->break_number;
        rec.position = ev->spot->position;
        if (ev->reason == EVENT_SPOT_UNUSABLE) {
            utils_strlcpy(rec.why, ev->spot->why, sizeof(rec.why));
            rec.ver_status = ev->spot->status > 0 ? ev->spot->status : ASRUN_NONE;
        }
    }
    *out = rec;
    return 1;
}

void event_air_clock_init(event_air_clock *c, int64_t start_ms, int follow)
{
    c->start_ms = start_ms;
    c->follow = follow;
    c->wall_ms = 0;
    c->pts = c->last_pts = AV_NOPTS_VALUE;
    for (event_air_mark &m : c->marks)
        m.pts = AV_NOPTS_VALUE;
    c->next_mark = 0;
}

void event_air_clock_mark(event_air_clock *c, int64_t pts, int64_t wall_ms)
{
    if (!c || pts == AV_NOPTS_VALUE)
        return;
    c->marks[c->next_mark] = event_air_mark{asrun_time(pts), wall_ms};
    c->next_mark = (c->next_mark + 1) % EVENT_AIR_MARKS;
}

int event_air_measured(const event_air_clock *c, int64_t pts, int64_t *wall_ms)
{
    if (!c || pts == AV_NOPTS_VALUE)
        return 0;
    int64_t at = asrun_time(pts);
    for (const event_air_mark &m : c->marks) {
        if (m.pts == at) {
            *wall_ms = m.wall_ms;
            return 1;
        }
    }
    return 0;
}

/*
 * Whether a progress event's highest dts ties a following clock: it must
 * have moved on (a frozen one, the input silent, would tie an old picture
 * to a later wall time) and lie on the clock's own time line, within
 * EVENT_AIR_OFF_LINE of where the tie puts now (a packet of a new time line
 * read before its key frame re-based it may have raised it an hour).
 */
static bool air_follows(const event_air_clock *c, int64_t pts, int64_t now_ms)
{
    if (c->pts == AV_NOPTS_VALUE)
        return true;
    int64_t expected = c->pts + (now_ms - c->wall_ms) * 90;
    return pts > c->pts && pts - expected <= EVENT_AIR_OFF_LINE && expected - pts <= EVENT_AIR_OFF_LINE;
}

void event_air_clock_follow(event_air_clock *c, const event *ev, int64_t now_ms)
{
    if (ev->pts == AV_NOPTS_VALUE)
        return;
    if (ev->type == EVENT_FIRST_TIMESTAMP) {
        c->pts = c->last_pts = ev->pts;
        c->wall_ms = c->start_ms != ASRUN_NONE ? c->start_ms : now_ms;
    } else if (ev->type == EVENT_TIMELINE_MOVED && c->follow) {
        /* The programme's times re-based (a source restarted or switched, the input back): its key frame is now. */
        c->pts = c->last_pts = ev->pts;
        c->wall_ms = now_ms;
    } else if (ev->type == EVENT_PROGRESS && (c->pts != AV_NOPTS_VALUE || c->follow)) {
        if (!c->follow) {
            c->last_pts = ev->pts;
        } else if (air_follows(c, ev->pts, now_ms)) {
            c->pts = c->last_pts = ev->pts;
            c->wall_ms = now_ms;
        }
    }
}

int64_t event_air_ms(const event_air_clock *c, int64_t pts, int64_t now_ms)
{
    int64_t measured;
    if (event_air_measured(c, pts, &measured))
        return measured;
    if (!c || c->pts == AV_NOPTS_VALUE || pts == AV_NOPTS_VALUE)
        return now_ms;
    return c->wall_ms + (pts - c->pts) / 90;
}

int64_t event_asrun_time(const event_air_clock *c, const event *ev, int64_t now_ms)
{
    switch (ev->type) {
    case EVENT_BREAK_STARTED:
    case EVENT_BREAK_ENDED:
    case EVENT_BREAK_SKIPPED:
    case EVENT_SPOT_ENDED:
        if (ev->pts != AV_NOPTS_VALUE)
            return event_air_ms(c, ev->pts, now_ms);
        break;
    default:
        break;
    }
    if (!c || c->follow)
        return now_ms;
    return event_air_ms(c, ev->pts != AV_NOPTS_VALUE ? ev->pts : c->last_pts, now_ms);
}
