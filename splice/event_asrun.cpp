/*
 * Relay events to as-run records: one table row per event type and reason.
 */
#include "splice/event_asrun.h"

#include <cerrno>

extern "C" {
#include <libavutil/avutil.h>
}

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
};

/* A time as the stream carries it: 33 bits, 0 to 2^33 - 1, whatever the packets' unwrapped time line. */
static int64_t asrun_time(int64_t t)
{
    const int64_t wrap = INT64_C(1) << 33;
    return t == AV_NOPTS_VALUE ? ASRUN_NONE : (t % wrap + wrap) % wrap;
}

/* How late the cue came after its splice time, for the decisions its lateness made. */
static int64_t asrun_late(const event *ev)
{
    bool timed = (ev->type == EVENT_ARMED && ev->reason == EVENT_ARM_LATE_JOIN) ||
                 (ev->type == EVENT_CUE_IGNORED && ev->reason == EVENT_IGNORE_LATE);
    return timed && ev->delta != AV_NOPTS_VALUE ? -ev->delta : ASRUN_NONE;
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
    if (ev->type == EVENT_BREAK_ENDED) {
        rec.aired = ev->aired == AV_NOPTS_VALUE ? ASRUN_NONE : ev->aired;
        if (ev->reason == EVENT_END_SESSION_END)
            rec.pts = ASRUN_NONE;  // the input ended: no key frame took the programme back
    }
    *out = rec;
    return 1;
}
