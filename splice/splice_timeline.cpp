/*
 * What the splice rules do when the live input's time line breaks: the input
 * lost during a break, the source restarting on a new time line or switched
 * to another source of the programme, the programme's times moved onto the
 * output's clock.
 */
#include "splice/splice.h"
#include "splice/splice_internal.h"

extern "C" {
#include <libavutil/avutil.h>
}

int64_t splice_input_lost(const splice_env *env, rep_ctx *rep, int64_t now)
{
    int64_t end = splice_break_cut(env, rep, EVENT_END_INPUT_LOST);

    if (end != AV_NOPTS_VALUE)
        splice_next_or_idle(env, rep, now);
    return end;
}

void splice_source_restart(const splice_env *env, rep_ctx *rep)
{
    bool running = rep->state == SPLICING_STATE_STARTED || rep->state == SPLICING_STATE_FINISHED;
    if (rep->state == SPLICING_STATE_ARMED) {
        rep_cue cur = splice_current_cue(rep);
        event ev = event_make(EVENT_CANCELLED);
        ev.reason = EVENT_CANCEL_SOURCE_RESTART;
        splice_emit_cue(env, &cur, &ev);
    }
    for (int i = 0; i < rep->pending_count; i++) {
        event ev = event_make(EVENT_CANCELLED);
        ev.reason = EVENT_CANCEL_SOURCE_RESTART;
        splice_emit_cue(env, &rep->pending[i], &ev);
    }
    if (rep->state == SPLICING_STATE_STARTED)
        splice_accurate_abandon(env, EVENT_FALLBACK_TIMELINE);  // its GOP lies on the old time line
    if (running) {
        rep->pending_count = 0;  // the break under way goes on: the programme's times follow on the output's clock
        return;
    }
    splice_release_held(env);
    rep_ctx_reset(rep);
}

void splice_source_switched(const splice_env *env, rep_ctx *rep, int64_t delta)
{
    if (rep->state == SPLICING_STATE_STARTED)
        splice_accurate_abandon(env, EVENT_FALLBACK_TIMELINE);  // its GOP lies on the old time line
    else if (rep->state != SPLICING_STATE_FINISHED)
        splice_release_held(env);  // what was held lies before the armed point: the programme plays on
    splice_shift_points(rep, delta);
}

static void shift(int64_t *point, int64_t delta)
{
    if (*point != AV_NOPTS_VALUE && *point != REP_NOW)
        *point += delta;
}

void splice_shift_points(rep_ctx *rep, int64_t delta)
{
    if (rep->state == SPLICING_STATE_ARMED) {
        shift(&rep->splice_point, delta);
        shift(&rep->scte_35_pts_time, delta);
    }
    for (int i = 0; i < rep->pending_count; i++)
        shift(&rep->pending[i].point, delta);
    if (rep->last.source != REP_SOURCE_NONE)
        shift(&rep->last.point, delta);
}
