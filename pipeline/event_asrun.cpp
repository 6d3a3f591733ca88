/*
 * Relay events to as-run records: one table row per event type and reason.
 */
#include "pipeline/event_asrun.h"

#include <cerrno>

extern "C" {
#include <libavutil/avutil.h>
}

#include "common/utils.h"

#define ANY_REASON -1

enum asrun_pts_field { PTS_NONE, PTS_EVENT };

struct asrun_row {
    int type;             // event_type
    int reason;           // the type's reason, or ANY_REASON
    int record;           // asrun_event
    const char *why;      // the record's reason; null: none
    int pts;              // asrun_pts_field
};

static const asrun_row asrun_rows[] = {
    {EVENT_CUE_DECODED, ANY_REASON, ASRUN_CUE, nullptr, PTS_NONE},
    {EVENT_CUE_FAILED, ANY_REASON, ASRUN_IGNORED, "unreadable", PTS_NONE},
    {EVENT_CUE_IGNORED, EVENT_IGNORE_NO_SPLICE_TIME, ASRUN_IGNORED, "no_splice_time", PTS_NONE},
    {EVENT_ARMED, ANY_REASON, ASRUN_ARMED, nullptr, PTS_NONE},
    {EVENT_BREAK_STARTED, ANY_REASON, ASRUN_BREAK_START, nullptr, PTS_EVENT},
    {EVENT_BREAK_ENDED, EVENT_END_DURATION, ASRUN_BREAK_END, "duration", PTS_EVENT},
    {EVENT_BREAK_ENDED, EVENT_END_FILLER_END, ASRUN_BREAK_END, "filler_end", PTS_EVENT},
    {EVENT_BREAK_ENDED, EVENT_END_SESSION_END, ASRUN_BREAK_END, "session_end", PTS_NONE},
};

static int64_t asrun_time(int64_t t)
{
    return t == AV_NOPTS_VALUE ? ASRUN_NONE : t;
}

int event_asrun(event_asrun_ctx *ctx, const event *ev, int64_t time_ms, asrun_record *out)
{
    if (!ctx || !ev || !out)
        return -EINVAL;
    const asrun_row *row = nullptr;
    for (const asrun_row &r : asrun_rows) {
        if (r.type == ev->type && (r.reason == ANY_REASON || r.reason == ev->reason)) {
            row = &r;
            break;
        }
    }
    if (!row)
        return 0;

    asrun_record rec = asrun_record_make(row->record, time_ms);
    /* A failed cue has no id of its own; the others carry theirs or the break's. */
    if (ev->type != EVENT_CUE_FAILED)
        rec.splice_event_id = ev->splice_event_id;
    rec.splice_time = asrun_time(ev->splice_time);
    rec.duration = ev->duration > 0 ? ev->duration : ASRUN_NONE;
    if (row->pts == PTS_EVENT)
        rec.pts = asrun_time(ev->pts);
    if (row->why)
        utils_strlcpy(rec.reason, row->why, sizeof(rec.reason));

    /* A break whose video cannot be replaced is recorded as skipped, never as aired. */
    if (rec.event == ASRUN_BREAK_START && ctx->no_filler_video) {
        rec.event = ASRUN_BREAK_SKIPPED;
        utils_strlcpy(rec.reason, "no_filler_video", sizeof(rec.reason));
        ctx->skipping = 1;
    } else if (rec.event == ASRUN_BREAK_END && ctx->skipping) {
        ctx->skipping = 0;
        return 0;
    } else if (rec.event == ASRUN_BREAK_START) {
        ctx->in_break = 1;
        ctx->start_pts = ev->pts;
    } else if (rec.event == ASRUN_BREAK_END) {
        /* The programme's time from the first filler key frame to the return (or to the last packet read). */
        int64_t end = ev->pts != AV_NOPTS_VALUE ? ev->pts : ev->end_pts;
        if (ctx->in_break && ctx->start_pts != AV_NOPTS_VALUE && end != AV_NOPTS_VALUE)
            rec.aired = end - ctx->start_pts;
        ctx->in_break = 0;
    }
    *out = rec;
    return 1;
}
