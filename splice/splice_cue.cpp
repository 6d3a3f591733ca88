/*
 * Cue decisions: what each decoded cue does to the splice state (arm, keep
 * for later, repeat, cancel, return, ignore), reported as events.
 */
#include "splice/splice.h"
#include "splice/splice_internal.h"

#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/trace.h"
#include "scte35/scte35.h"

int64_t splice_point_near(int64_t pts_time, int64_t pts_adjustment, int64_t near)
{
    const int64_t wrap = INT64_C(1) << 33;
    int64_t point = ((pts_time + pts_adjustment) % wrap + wrap) % wrap;

    if (near == AV_NOPTS_VALUE)
        return point;
    /* The candidate point + k * 2^33 closest to near. */
    int64_t k = (near - point) / wrap;
    int64_t best = point + k * wrap;
    for (int64_t c = best - wrap; c <= best + wrap; c += wrap)
        if (llabs(c - near) < llabs(best - near))
            best = c;
    return best;
}

/* Reports ev with the id, point and duration of the cue c (not those of the break under way). */
void splice_emit_cue(const splice_env *env, const rep_cue *c, event *ev)
{
    ev->splice_event_id = c->id;
    ev->splice_time = c->point == REP_NOW ? AV_NOPTS_VALUE : c->point;
    ev->duration = c->duration;
    if (c->point == REP_NOW)
        ev->flags |= EVENT_CUE_IMMEDIATE_FLAG;
    if (c->source == REP_SOURCE_SEGMENTATION)
        ev->flags |= EVENT_CUE_SEGMENTATION_FLAG;
    event_emit(env->events, ev);
}

static int ignore_cue(const splice_env *env, const rep_cue *c, int reason, int64_t cue_pts)
{
    event ev = event_make(EVENT_CUE_IGNORED);
    ev.reason = reason;
    ev.pts = cue_pts;
    splice_emit_cue(env, c, &ev);
    return 0;
}

/* The event armed or running in rep, as a cue. */
rep_cue splice_current_cue(const rep_ctx *rep)
{
    rep_cue c = {rep->source, rep->splice_event_id, rep->splice_point,
                 rep->scte_35_duration == AV_NOPTS_VALUE ? 0 : rep->scte_35_duration, rep->open};
    if (rep->state == SPLICING_STATE_IDLE)
        c.source = REP_SOURCE_NONE;
    return c;
}

static bool same_event(const rep_cue *a, const rep_cue *b)
{
    return a->source != REP_SOURCE_NONE && a->source == b->source && a->id == b->id;
}

/* Whether c repeats a: same event, same splice point. */
static bool repeats(const rep_cue *c, const rep_cue *a)
{
    return same_event(c, a) && c->point == a->point;
}


/*
 * Arms c: the record starts afresh (the kept and the last event stay).
 * now: the cue packet's time, for the remaining time reported.
 */
static void arm_event(const splice_env *env, rep_ctx *rep, const rep_cue *c, int reason, int64_t now,
                      int64_t pts_time, uint64_t pts_adjustment)
{
    rep_cue next = rep->next, last = rep->last;

    rep_ctx_reset(rep);
    rep->next = next;
    rep->last = last;
    rep->state = SPLICING_STATE_ARMED;
    rep->source = c->source;
    rep->splice_event_id = c->id;
    rep->splice_point = rep->scte_35_pts_time = c->point;
    rep->scte_35_duration = c->duration;
    rep->open = c->open;

    event ev = event_make(EVENT_ARMED);
    ev.reason = reason;
    ev.pts_time = pts_time;
    ev.pts_adjustment = pts_adjustment;
    ev.delta = now == AV_NOPTS_VALUE || c->point == REP_NOW ? 0 : c->point - now;
    ev.pts = now;
    ev.flags = (pts_time != AV_NOPTS_VALUE ? EVENT_CUE_TIME_FLAG : 0) |
               (c->duration > 0 ? EVENT_CUE_DURATION_FLAG : 0);
    splice_emit_cue(env, c, &ev);
    /* Audio held for an earlier cue that ends before this break can start goes on now. */
    if (c->point != REP_NOW)
        splice_replay_held(env, rep, c->point - SPLICE_KEY_LEAD, false);
}

/* Keeps c for after the break under way (or after the armed event). */
static int keep_next(const splice_env *env, rep_ctx *rep, const rep_cue *c, int64_t cue_pts)
{
    if (rep->next.source != REP_SOURCE_NONE && !same_event(c, &rep->next))
        return ignore_cue(env, c, EVENT_IGNORE_NEXT_PENDING, cue_pts);
    rep->next = *c;
    event ev = event_make(EVENT_NEXT_KEPT);
    ev.pts = cue_pts;
    splice_emit_cue(env, c, &ev);
    return 1;
}

/* Goes idle, or arms the kept event. now: the time of the packet at hand. */
void splice_next_or_idle(const splice_env *env, rep_ctx *rep, int64_t now)
{
    rep_cue next = rep->next;

    if (next.source == REP_SOURCE_NONE) {
        rep_cue last = rep->last;
        rep_ctx_reset(rep);
        rep->last = last;
        return;
    }
    rep->next.source = REP_SOURCE_NONE;
    arm_event(env, rep, &next, EVENT_ARM_KEPT, now, AV_NOPTS_VALUE, 0);
}

static int take_out(const splice_env *env, rep_ctx *rep, const rep_cue *c, int64_t cue_pts, int64_t pts_time,
                    uint64_t pts_adjustment)
{
    rep_cue cur = splice_current_cue(rep);

    if (repeats(c, &cur) || repeats(c, &rep->next) || (c->point != REP_NOW && repeats(c, &rep->last))) {
        event ev = event_make(EVENT_CUE_REPEATED);
        ev.pts = cue_pts;
        splice_emit_cue(env, c, &ev);
        return 0;
    }
    switch (rep->state) {
    case SPLICING_STATE_IDLE:
        arm_event(env, rep, c, EVENT_ARM_CUE, cue_pts, pts_time, pts_adjustment);
        return 1;
    case SPLICING_STATE_ARMED:
        if (same_event(c, &cur)) {
            arm_event(env, rep, c, EVENT_ARM_UPDATED, cue_pts, pts_time, pts_adjustment);
            return 1;
        }
        if (c->point != REP_NOW && (cur.point == REP_NOW || c->point > cur.point))
            return keep_next(env, rep, c, cue_pts);
        /* The new event comes first: it is armed, the one armed so far is kept for after it. */
        if (rep->next.source != REP_SOURCE_NONE)
            return ignore_cue(env, c, EVENT_IGNORE_NEXT_PENDING, cue_pts);
        arm_event(env, rep, c, EVENT_ARM_CUE, cue_pts, pts_time, pts_adjustment);
        return keep_next(env, rep, &cur, cue_pts);
    case SPLICING_STATE_STARTED:
        if (same_event(c, &cur))
            return ignore_cue(env, c, EVENT_IGNORE_RUNNING_MOVED, cue_pts);
        return keep_next(env, rep, c, cue_pts);
    default:
        return keep_next(env, rep, c, cue_pts);
    }
}

static int take_return(const splice_env *env, rep_ctx *rep, const rep_cue *c, int64_t cue_pts)
{
    if (rep->state != SPLICING_STATE_STARTED)
        return ignore_cue(env, c, EVENT_IGNORE_NOT_IN_BREAK, cue_pts);
    event ev = event_make(rep->return_point == c->point ? EVENT_CUE_REPEATED : EVENT_RETURN_SCHEDULED);
    ev.pts = cue_pts;
    splice_emit_cue(env, c, &ev);
    if (rep->return_point == c->point)
        return 0;
    rep->return_point = c->point;
    return 1;
}

static int take_cancel(const splice_env *env, rep_ctx *rep, const rep_cue *c, int64_t cue_pts)
{
    rep_cue cur = splice_current_cue(rep);

    if (rep->state == SPLICING_STATE_ARMED && same_event(c, &cur)) {
        event ev = event_make(EVENT_CANCELLED);
        ev.reason = EVENT_CANCEL_ARMED;
        ev.pts = cue_pts;
        splice_emit_cue(env, &cur, &ev);
        splice_next_or_idle(env, rep, cue_pts);
        if (rep->state == SPLICING_STATE_IDLE)
            splice_replay_held(env, rep, INT64_MAX, false);
        return 1;
    }
    if (rep->state != SPLICING_STATE_IDLE && same_event(c, &cur))
        return ignore_cue(env, c, EVENT_IGNORE_STARTED, cue_pts);
    if (same_event(c, &rep->next)) {
        event ev = event_make(EVENT_CANCELLED);
        ev.reason = EVENT_CANCEL_KEPT;
        ev.pts = cue_pts;
        splice_emit_cue(env, &rep->next, &ev);
        rep->next.source = REP_SOURCE_NONE;
        return 1;
    }
    return ignore_cue(env, c, EVENT_IGNORE_UNKNOWN_EVENT, cue_pts);
}

static int take_insert(const splice_env *env, rep_ctx *rep, const scte35_section *cue, int64_t cue_pts)
{
    const scte35_splice_insert *si = &cue->splice_insert;
    rep_cue c = {REP_SOURCE_INSERT, si->splice_event_id, AV_NOPTS_VALUE, 0, 0};
    int64_t pts_time = AV_NOPTS_VALUE;

    if (si->splice_event_cancel_indicator)
        return take_cancel(env, rep, &c, cue_pts);
    if (si->splice_immediate_flag && si->program_splice_flag) {
        c.point = REP_NOW;
    } else if (si->splice_time.flag) {
        pts_time = (int64_t)si->splice_time.value;
        c.point = splice_point_near(pts_time, (int64_t)cue->pts_adjustment, cue_pts);
    } else {
        return ignore_cue(env, &c, EVENT_IGNORE_NO_SPLICE_TIME, cue_pts);
    }
    c.duration = si->duration_flag ? (int64_t)si->break_duration.value : 0;
    c.open = env->open_breaks && !si->duration_flag;  // --open-breaks: it lasts until its return cue
    if (!si->out_of_network_indicator)
        return take_return(env, rep, &c, cue_pts);
    return take_out(env, rep, &c, cue_pts, pts_time, cue->pts_adjustment);
}

/* Segmentation types that start a break; each one's end type is the next value. */
static bool segmentation_start(int type)
{
    return type == 0x22 || type == 0x30 || type == 0x32 || type == 0x34 || type == 0x36;
}

static bool segmentation_end(int type)
{
    return type == 0x23 || type == 0x31 || type == 0x33 || type == 0x35 || type == 0x37;
}

static int take_time_signal(const splice_env *env, rep_ctx *rep, const scte35_section *cue, int64_t cue_pts)
{
    const scte35_time_field *t = &cue->time_signal.splice_time;
    int64_t pts_time = t->flag ? (int64_t)t->value : AV_NOPTS_VALUE;
    int64_t point = t->flag ? splice_point_near(pts_time, (int64_t)cue->pts_adjustment, cue_pts) : REP_NOW;
    int changed = 0;

    if (!env->time_signal_breaks || cue->segmentation_count == 0) {
        rep_cue c = {REP_SOURCE_SEGMENTATION, 0, point, 0, 0};
        return ignore_cue(env, &c, env->time_signal_breaks ? EVENT_IGNORE_SEGMENTATION_TYPE
                                                             : EVENT_IGNORE_TIME_SIGNAL_OFF, cue_pts);
    }
    for (int i = 0; i < cue->segmentation_count && i < SCTE35_MAX_SEGMENTATION; i++) {
        const scte35_segmentation *seg = &cue->segmentation[i];
        rep_cue c = {REP_SOURCE_SEGMENTATION, seg->segmentation_event_id, point, 0, 0};
        if (seg->segmentation_duration_flag)
            c.duration = (int64_t)seg->segmentation_duration;
        c.open = !seg->segmentation_duration_flag;

        if (seg->segmentation_event_cancel_indicator) {
            changed |= take_cancel(env, rep, &c, cue_pts);
        } else if (segmentation_start(seg->segmentation_type_id)) {
            changed |= take_out(env, rep, &c, cue_pts, pts_time, cue->pts_adjustment);
        } else if (segmentation_end(seg->segmentation_type_id)) {
            rep_cue cur = splice_current_cue(rep);
            if (rep->state == SPLICING_STATE_STARTED && same_event(&c, &cur))
                changed |= take_return(env, rep, &c, cue_pts);
            else
                ignore_cue(env, &c, EVENT_IGNORE_NOT_IN_BREAK, cue_pts);
        } else {
            ignore_cue(env, &c, EVENT_IGNORE_SEGMENTATION_TYPE, cue_pts);
        }
    }
    return changed;
}

int splice_on_cue(const splice_env *env, rep_ctx *rep, const scte35_section *cue, int64_t cue_pts)
{
    if (cue->defects & SCTE35_DEFECT_CRC) {
        rep_cue c = {REP_SOURCE_INSERT, cue->splice_command_type == 5 ? cue->splice_insert.splice_event_id : 0,
                     AV_NOPTS_VALUE, 0, 0};
        return ignore_cue(env, &c, EVENT_IGNORE_CRC, cue_pts);
    }
    if (cue->splice_command_type == 6)
        return take_time_signal(env, rep, cue, cue_pts);
    if (cue->splice_command_type == 5)
        return take_insert(env, rep, cue, cue_pts);
    rep_cue c = {REP_SOURCE_INSERT, 0, AV_NOPTS_VALUE, 0, 0};
    return ignore_cue(env, &c, EVENT_IGNORE_NO_SPLICE_TIME, cue_pts);
}

/*
 * The decoded cue's own id, times and duration into ev: a splice_insert's,
 * or a time_signal's splice time with its first segmentation descriptor's
 * id and duration. Another command has id 0 and no time.
 */
static void cue_fields(const scte35_section *cue, int64_t cue_pts, event *ev)
{
    const scte35_time_field *time = nullptr;
    bool has_duration = false;

    ev->pts_adjustment = cue->pts_adjustment;
    ev->splice_event_id = 0;
    ev->duration = 0;
    if (cue->splice_command_type == 5) {
        const scte35_splice_insert *si = &cue->splice_insert;
        time = &si->splice_time;
        ev->splice_event_id = si->splice_event_id;
        has_duration = si->duration_flag;
        ev->duration = has_duration ? (int64_t)si->break_duration.value : 0;
    } else if (cue->splice_command_type == 6) {
        time = &cue->time_signal.splice_time;
        ev->flags |= EVENT_CUE_SEGMENTATION_FLAG;
        if (cue->segmentation_count > 0) {
            const scte35_segmentation *seg = &cue->segmentation[0];
            ev->splice_event_id = seg->segmentation_event_id;
            has_duration = seg->segmentation_duration_flag;
            ev->duration = has_duration ? (int64_t)seg->segmentation_duration : 0;
        }
    }
    if (time && time->flag) {
        ev->pts_time = (int64_t)time->value;
        ev->splice_time = splice_point_near(ev->pts_time, (int64_t)cue->pts_adjustment, cue_pts);
        ev->flags |= EVENT_CUE_TIME_FLAG;
    }
    if (has_duration)
        ev->flags |= EVENT_CUE_DURATION_FLAG;
}

int splice_cue(const splice_env *env, rep_ctx *rep, const AVStream *ist, const AVPacket *pkt,
               int64_t clock)
{
    scte35_section cue;
    int64_t cue_pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : clock;

    log_packet_tb(ist->time_base, pkt, "SCTE-35");
    memset(&cue, 0, sizeof(cue));
    int ret = scte35_parse_section(pkt->data, pkt->size, &cue);

    /* Reported with the cue's own id and times, not those of the break under way. */
    event ev = event_make(ret < 0 ? EVENT_CUE_FAILED : EVENT_CUE_DECODED);
    ev.data = pkt->data;
    ev.size = pkt->size;
    ev.pts = cue_pts;
    ev.code = ret;
    ev.splice_event_id = 0;
    ev.duration = 0;
    if (ret >= 0)
        cue_fields(&cue, cue_pts, &ev);
    event_emit(env->events, &ev);
    if (ret < 0)
        return ret;
    splice_on_cue(env, rep, &cue, cue_pts);
    return 0;
}
