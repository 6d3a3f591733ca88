/*
 * Cue decisions: what each decoded cue does to the splice state (arm, keep
 * in the pending list for its turn, repeat, cancel, return, ignore), and
 * the timing rules that refuse a cue too far ahead or too late, reported as
 * events.
 */
#include "splice/splice.h"
#include "splice/splice_internal.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/mpegts.h"
#include "common/trace.h"
#include "scte35/scte35.h"

int64_t splice_point_near(int64_t pts_time, int64_t pts_adjustment, int64_t near)
{
    int64_t point = ts_pts_wrap(pts_time + pts_adjustment);
    return near == AV_NOPTS_VALUE ? point : ts_pts_nearest(point, near);
}

static splice_timing timing_of(const splice_env *env)
{
    return env->desc->timing ? *env->desc->timing : splice_timing_default();
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
    if (c->source == REP_SOURCE_NONE)
        ev->flags |= EVENT_CUE_NO_ID_FLAG;
    event_emit(&env->desc->events, ev);
}

static int ignore_cue(const splice_env *env, const rep_cue *c, int reason, int64_t cue_pts)
{
    event ev = event_make(EVENT_CUE_IGNORED);
    ev.reason = reason;
    ev.pts = cue_pts;
    if (cue_pts != AV_NOPTS_VALUE && c->point != AV_NOPTS_VALUE && c->point != REP_NOW)
        ev.delta_ticks = c->point - cue_pts;
    splice_emit_cue(env, c, &ev);
    return 0;
}

/* The event armed or running in rep, as a cue. */
rep_cue splice_current_cue(const rep_ctx *rep)
{
    rep_cue c = {rep->source, rep->splice_event_id, rep->splice_point,
                 rep->scte_35_duration == AV_NOPTS_VALUE ? 0 : rep->scte_35_duration, rep->open, rep->late};
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

/* ---- The pending list: events waiting for their turn, by splice point. */

/* Index of the pending event that is c's event, or -1. */
static int pending_find(const rep_ctx *rep, const rep_cue *c)
{
    for (int i = 0; i < rep->pending_count; i++)
        if (same_event(c, &rep->pending[i]))
            return i;
    return -1;
}

static void pending_remove(rep_ctx *rep, int i)
{
    memmove(&rep->pending[i], &rep->pending[i + 1], (size_t)(rep->pending_count - i - 1) * sizeof(rep_cue));
    rep->pending_count--;
}

rep_cue splice_pending_pop(rep_ctx *rep)
{
    rep_cue c = rep->pending[0];
    pending_remove(rep, 0);
    return c;
}

/* Reports c left out of the full pending list (bound: its size). */
static void drop_event(const splice_env *env, const rep_cue *c, int bound, int64_t cue_pts)
{
    event ev = event_make(EVENT_DROPPED);
    ev.reason = EVENT_DROP_MAX_PENDING;
    ev.count = bound;
    ev.pts = cue_pts;
    splice_emit_cue(env, c, &ev);
}

/*
 * Puts c in the pending list after the events whose point is not later
 * (reason: event_keep_reason). A full list drops its farthest event, which
 * is c itself when nothing pending lies beyond it. Returns 1 when c was kept.
 */
static int keep_event(const splice_env *env, rep_ctx *rep, const rep_cue *c, int reason, int64_t cue_pts)
{
    int bound = timing_of(env).max_pending;
    if (bound > REP_MAX_PENDING)
        bound = REP_MAX_PENDING;
    int at = rep->pending_count;
    while (at > 0 && rep->pending[at - 1].point > c->point)
        at--;
    if (at >= bound) {
        drop_event(env, c, bound, cue_pts);
        return 0;
    }
    bool full = rep->pending_count >= bound;
    rep_cue farthest = full ? rep->pending[--rep->pending_count] : rep_cue{};
    memmove(&rep->pending[at + 1], &rep->pending[at], (size_t)(rep->pending_count - at) * sizeof(rep_cue));
    rep->pending[at] = *c;
    rep->pending_count++;

    event ev = event_make(EVENT_NEXT_KEPT);
    ev.reason = reason;
    ev.pts = cue_pts;
    ev.count = rep->pending_count;
    splice_emit_cue(env, c, &ev);
    if (full)
        drop_event(env, &farthest, bound, cue_pts);
    return 1;
}

bool splice_cue_passed(const rep_cue *c, const rep_cue *next, int64_t pts)
{
    if (c->point == REP_NOW || pts == AV_NOPTS_VALUE)
        return false;
    int64_t end = !c->open && c->duration > 0 ? c->point + c->duration : INT64_MAX;
    if (next && next->point != REP_NOW && next->point < end)
        end = next->point;
    return end != INT64_MAX && pts >= end - SPLICE_KEY_LEAD;
}

void splice_expire(const splice_env *env, rep_ctx *rep, const rep_cue *c, int reason, int64_t pts)
{
    event ev = event_make(EVENT_EXPIRED);
    ev.reason = reason;
    ev.pts = pts;
    splice_emit_cue(env, c, &ev);
    rep->last = *c;
}

/* ---- Arming. */

/* Idle again, with the pending list and the last event kept. */
static void reset_keeping_events(rep_ctx *rep)
{
    rep_cue pending[REP_MAX_PENDING], last = rep->last;
    int count = rep->pending_count;

    memcpy(pending, rep->pending, (size_t)count * sizeof(rep_cue));
    rep_ctx_reset(rep);
    memcpy(rep->pending, pending, (size_t)count * sizeof(rep_cue));
    rep->pending_count = count;
    rep->last = last;
}

/*
 * Arms c: the record starts afresh (the pending and the last event stay).
 * now: the cue packet's time, for the remaining time reported.
 */
static void arm_event(const splice_env *env, rep_ctx *rep, const rep_cue *c, int reason, int64_t now,
                      int64_t pts_time, uint64_t pts_adjustment)
{
    reset_keeping_events(rep);
    rep->state = SPLICING_STATE_ARMED;
    rep->source = c->source;
    rep->splice_event_id = c->id;
    rep->splice_point = rep->scte_35_pts_time = c->point;
    rep->scte_35_duration = c->duration;
    rep->open = c->open;
    rep->late = c->late;

    event ev = event_make(EVENT_ARMED);
    ev.reason = reason;
    ev.pts_time = pts_time;
    ev.pts_adjustment = pts_adjustment;
    ev.delta_ticks = now == AV_NOPTS_VALUE || c->point == REP_NOW ? 0 : c->point - now;
    ev.pts = now;
    ev.flags = (pts_time != AV_NOPTS_VALUE ? EVENT_CUE_TIME_FLAG : 0) |
               (c->duration > 0 ? EVENT_CUE_DURATION_FLAG : 0);
    splice_emit_cue(env, c, &ev);
    /* Audio held for an earlier cue that ends before this break can start goes on now. */
    if (c->point != REP_NOW)
        splice_replay_held(env, rep, c->point - SPLICE_KEY_LEAD, false);
}

/* Goes idle, or arms the first pending event. now: the time of the packet at hand. */
void splice_next_or_idle(const splice_env *env, rep_ctx *rep, int64_t now)
{
    if (rep->pending_count == 0) {
        reset_keeping_events(rep);
        return;
    }
    rep_cue next = splice_pending_pop(rep);
    arm_event(env, rep, &next, EVENT_ARM_KEPT, now, AV_NOPTS_VALUE, 0);
}

/*
 * The timing rules for an out cue c that arrived at cue_pts: the reason it
 * is not taken (too_far, late), or -1; a late join gets c->late set.
 */
static int timing_refusal(const splice_env *env, rep_cue *c, int64_t cue_pts)
{
    if (c->point == REP_NOW || cue_pts == AV_NOPTS_VALUE)
        return -1;
    splice_timing t = timing_of(env);
    int64_t lead = c->point - cue_pts;
    if (lead > t.max_cue_lead)
        return EVENT_IGNORE_TOO_FAR;
    if (lead >= 0)
        return -1;
    if (-lead > t.late_join || (!c->open && c->duration > 0 && -lead >= c->duration))
        return EVENT_IGNORE_LATE;
    c->late = -lead;
    return -1;
}

/*
 * Puts event c (from a cue at cue_pts) in its place: armed when it comes
 * first, else pending. updated: the event was armed or pending at another
 * point.
 */
static int place_event(const splice_env *env, rep_ctx *rep, const rep_cue *c, bool updated, int64_t cue_pts,
                       int64_t pts_time, uint64_t pts_adjustment)
{
    rep_cue cur = splice_current_cue(rep);
    int arm = c->late > 0 ? EVENT_ARM_LATE_JOIN : updated ? EVENT_ARM_UPDATED : EVENT_ARM_CUE;

    switch (rep->state) {
    case SPLICING_STATE_IDLE:
        arm_event(env, rep, c, arm, cue_pts, pts_time, pts_adjustment);
        return 1;
    case SPLICING_STATE_ARMED:
        if (same_event(c, &cur) && rep->pending_count > 0 && rep->pending[0].point < c->point) {
            /* The armed event moved behind a pending one: that one is armed instead. */
            rep_cue first = splice_pending_pop(rep);
            arm_event(env, rep, &first, EVENT_ARM_KEPT, cue_pts, AV_NOPTS_VALUE, 0);
            keep_event(env, rep, c, EVENT_KEEP_UPDATED, cue_pts);
            return 1;
        }
        if (same_event(c, &cur)) {
            arm_event(env, rep, c, arm, cue_pts, pts_time, pts_adjustment);
            return 1;
        }
        if (c->point > cur.point)
            return keep_event(env, rep, c, updated ? EVENT_KEEP_UPDATED : EVENT_KEEP_AFTER_ARMED, cue_pts);
        /* The new event comes first: it is armed, the one armed so far waits behind it. */
        arm_event(env, rep, c, arm, cue_pts, pts_time, pts_adjustment);
        keep_event(env, rep, &cur, EVENT_KEEP_DISPLACED, cue_pts);
        return 1;
    default:
        return keep_event(env, rep, c, updated ? EVENT_KEEP_UPDATED : EVENT_KEEP_AFTER_BREAK, cue_pts);
    }
}

/* Whether the output carries a video stream of the programme, whose key frames start breaks (assumed without an output). */
static bool carries_video(const splice_env *env)
{
    for (unsigned i = 0; env->out && i < env->out->nb_streams; i++)
        if (env->out->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            return true;
    return !env->out;
}

/* Event c cannot air: nothing would start it. Skipped at once, and its repeats known as such. */
static int skip_event(const splice_env *env, rep_ctx *rep, const rep_cue *c, int64_t cue_pts)
{
    event ev = event_make(EVENT_BREAK_SKIPPED);
    ev.reason = EVENT_SKIP_NO_VIDEO;
    ev.pts = c->point == REP_NOW ? cue_pts : c->point;
    splice_emit_cue(env, c, &ev);
    rep->last = *c;
    return 0;
}

static int take_out(const splice_env *env, rep_ctx *rep, rep_cue c, int64_t cue_pts, int64_t pts_time,
                    uint64_t pts_adjustment)
{
    rep_cue cur = splice_current_cue(rep);
    int at = pending_find(rep, &c);

    if (repeats(&c, &cur) || (at >= 0 && rep->pending[at].point == c.point) ||
        (c.point != REP_NOW && repeats(&c, &rep->last))) {
        event ev = event_make(EVENT_CUE_REPEATED);
        ev.pts = cue_pts;
        splice_emit_cue(env, &c, &ev);
        return 0;
    }
    if (rep->state == SPLICING_STATE_STARTED && same_event(&c, &cur))
        return ignore_cue(env, &c, EVENT_IGNORE_RUNNING_MOVED, cue_pts);
    int refusal = timing_refusal(env, &c, cue_pts);
    if (refusal >= 0)
        return ignore_cue(env, &c, refusal, cue_pts);
    if (!carries_video(env))
        return skip_event(env, rep, &c, cue_pts);
    bool updated = at >= 0 || (rep->state == SPLICING_STATE_ARMED && same_event(&c, &cur));
    if (at >= 0)
        pending_remove(rep, at);
    return place_event(env, rep, &c, updated, cue_pts, pts_time, pts_adjustment);
}

/*
 * A return cue c for an event that has not started yet, armed or pending:
 * its point becomes the event's end (the armed event's return point, a
 * pending event's duration). Returns 1 when it did, 0 for a repeat, -1
 * when c is for neither or its point does not follow the event's.
 */
static int return_ahead(const splice_env *env, rep_ctx *rep, const rep_cue *c, int64_t cue_pts)
{
    rep_cue cur = splice_current_cue(rep);
    bool armed = rep->state == SPLICING_STATE_ARMED && same_event(c, &cur);
    int at = armed ? -1 : pending_find(rep, c);
    rep_cue *p = armed ? &cur : at >= 0 ? &rep->pending[at] : nullptr;

    if (!p || c->point == REP_NOW || p->point == REP_NOW || c->point <= p->point)
        return -1;
    bool repeated = armed ? rep->return_point == c->point : !p->open && p->point + p->duration == c->point;
    event ev = event_make(repeated ? EVENT_CUE_REPEATED : EVENT_RETURN_SCHEDULED);
    ev.pts = cue_pts;
    splice_emit_cue(env, c, &ev);
    if (repeated)
        return 0;
    if (armed) {
        rep->return_point = c->point;
    } else {
        p->duration = c->point - p->point;
        p->open = 0;
    }
    return 1;
}

static int take_return(const splice_env *env, rep_ctx *rep, const rep_cue *c, int64_t cue_pts)
{
    if (rep->state != SPLICING_STATE_STARTED) {
        int ahead = return_ahead(env, rep, c, cue_pts);
        return ahead >= 0 ? ahead : ignore_cue(env, c, EVENT_IGNORE_NOT_IN_BREAK, cue_pts);
    }
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
    event ev = event_make(EVENT_CANCELLED);
    ev.pts = cue_pts;

    if (rep->state == SPLICING_STATE_ARMED && same_event(c, &cur)) {
        ev.reason = EVENT_CANCEL_ARMED;
        splice_emit_cue(env, &cur, &ev);
        splice_next_or_idle(env, rep, cue_pts);
        if (rep->state == SPLICING_STATE_IDLE)
            splice_replay_held(env, rep, INT64_MAX, false);
        return 1;
    }
    if (rep->state != SPLICING_STATE_IDLE && same_event(c, &cur))
        return ignore_cue(env, c, EVENT_IGNORE_STARTED, cue_pts);
    int at = pending_find(rep, c);
    if (at < 0)
        return ignore_cue(env, c, EVENT_IGNORE_UNKNOWN_EVENT, cue_pts);
    ev.reason = EVENT_CANCEL_KEPT;
    splice_emit_cue(env, &rep->pending[at], &ev);
    pending_remove(rep, at);
    return 1;
}

static int take_insert(const splice_env *env, rep_ctx *rep, const scte35_section *cue, int64_t cue_pts)
{
    const scte35_splice_insert *si = &cue->splice_insert;
    rep_cue c = {REP_SOURCE_INSERT, si->splice_event_id, AV_NOPTS_VALUE, 0, 0, 0};
    int64_t pts_time = AV_NOPTS_VALUE;

    if (si->splice_event_cancel_indicator)
        return take_cancel(env, rep, &c, cue_pts);
    c.duration = si->duration_flag ? (int64_t)si->break_duration.value : 0;
    c.open = env->desc->open_breaks && !si->duration_flag;  // --open-breaks: it lasts until its return cue
    if (!si->program_splice_flag)
        return ignore_cue(env, &c, EVENT_IGNORE_COMPONENT_MODE, cue_pts);
    if (si->splice_immediate_flag) {
        c.point = REP_NOW;
    } else if (si->splice_time.flag) {
        pts_time = (int64_t)si->splice_time.value;
        c.point = splice_point_near(pts_time, (int64_t)cue->pts_adjustment, cue_pts);
    } else {
        return ignore_cue(env, &c, EVENT_IGNORE_NO_SPLICE_TIME, cue_pts);
    }
    if (!si->out_of_network_indicator)
        return take_return(env, rep, &c, cue_pts);
    return take_out(env, rep, c, cue_pts, pts_time, cue->pts_adjustment);
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

/* Each segmentation descriptor of a time_signal as an event of its own segmentation_event_id. */
static int take_time_signal(const splice_env *env, rep_ctx *rep, const scte35_section *cue, int64_t cue_pts)
{
    const scte35_time_field *t = &cue->time_signal.splice_time;
    int64_t pts_time = t->flag ? (int64_t)t->value : AV_NOPTS_VALUE;
    int64_t point = t->flag ? splice_point_near(pts_time, (int64_t)cue->pts_adjustment, cue_pts) : REP_NOW;
    int off = env->desc->time_signal_breaks ? -1 : EVENT_IGNORE_TIME_SIGNAL_OFF;
    int changed = 0;

    if (cue->segmentation_count == 0) {
        rep_cue c = {REP_SOURCE_NONE, 0, point, 0, 0, 0};
        return ignore_cue(env, &c, off >= 0 ? off : EVENT_IGNORE_SEGMENTATION_TYPE, cue_pts);
    }
    for (int i = 0; i < cue->segmentation_count && i < SCTE35_MAX_SEGMENTATION; i++) {
        const scte35_segmentation *seg = &cue->segmentation[i];
        rep_cue c = {REP_SOURCE_SEGMENTATION, seg->segmentation_event_id, point, 0, 0, 0};
        if (seg->segmentation_duration_flag)
            c.duration = (int64_t)seg->segmentation_duration;
        c.open = !seg->segmentation_duration_flag;

        if (off >= 0) {
            ignore_cue(env, &c, off, cue_pts);
        } else if (seg->segmentation_event_cancel_indicator) {
            changed |= take_cancel(env, rep, &c, cue_pts);
        } else if (segmentation_start(seg->segmentation_type_id)) {
            changed |= take_out(env, rep, c, cue_pts, pts_time, cue->pts_adjustment);
        } else if (segmentation_end(seg->segmentation_type_id)) {
            rep_cue cur = splice_current_cue(rep);
            if (rep->state == SPLICING_STATE_STARTED && same_event(&c, &cur))
                changed |= take_return(env, rep, &c, cue_pts);
            else if (rep->state == SPLICING_STATE_STARTED)
                ignore_cue(env, &c, EVENT_IGNORE_NOT_IN_BREAK, cue_pts);
            else
                changed |= take_return(env, rep, &c, cue_pts);  // an event not started yet
        } else {
            ignore_cue(env, &c, EVENT_IGNORE_SEGMENTATION_TYPE, cue_pts);
        }
    }
    return changed;
}

/* Why a command other than splice_insert and time_signal is not acted on. */
static int command_reason(int type)
{
    switch (type) {
    case 0: return EVENT_IGNORE_SPLICE_NULL;
    case 4: return EVENT_IGNORE_SPLICE_SCHEDULE;
    case 7: return EVENT_IGNORE_BANDWIDTH_RESERVATION;
    case 0xFF: return EVENT_IGNORE_PRIVATE_COMMAND;
    default: return EVENT_IGNORE_RESERVED_COMMAND;
    }
}

int splice_on_cue(const splice_env *env, rep_ctx *rep, const scte35_section *cue, int64_t cue_pts)
{
    rep_cue c = {REP_SOURCE_NONE, 0, AV_NOPTS_VALUE, 0, 0, 0};
    int type = cue->splice_command_type;

    if (cue->defects & SCTE35_DEFECT_CRC) {
        if (type == 5 && !cue->encrypted_packet)
            c = {REP_SOURCE_INSERT, cue->splice_insert.splice_event_id, AV_NOPTS_VALUE, 0, 0, 0};
        return ignore_cue(env, &c, EVENT_IGNORE_CRC, cue_pts);
    }
    if (cue->encrypted_packet)
        return ignore_cue(env, &c, EVENT_IGNORE_ENCRYPTED, cue_pts);
    if (type == 6)
        return take_time_signal(env, rep, cue, cue_pts);
    if (type == 5)
        return take_insert(env, rep, cue, cue_pts);
    /* A splice_schedule names its events: each is reported with its own id. */
    int events = type == 4 ? std::min<int>(cue->schedule.event_count, SCTE35_MAX_SCHEDULE) : 0;
    for (int i = 0; i < events; i++) {
        rep_cue e = {REP_SOURCE_INSERT, cue->schedule.splice_event_id[i], AV_NOPTS_VALUE, 0, 0, 0};
        ignore_cue(env, &e, EVENT_IGNORE_SPLICE_SCHEDULE, cue_pts);
    }
    if (events == 0)
        ignore_cue(env, &c, command_reason(type), cue_pts);
    return 0;
}

/*
 * The decoded cue's own id, times and duration into ev: a splice_insert's,
 * a time_signal's splice time with its first segmentation descriptor's id
 * and duration. Without an id (a time_signal without segmentation
 * descriptor, another command, an encrypted section) EVENT_CUE_NO_ID_FLAG is
 * set; a splice_schedule's events are named by the decision on each.
 */
static void cue_fields(const scte35_section *cue, int64_t cue_pts, event *ev)
{
    const scte35_time_field *time = nullptr;
    bool has_duration = false;
    uint32_t id = 0;
    bool has_id = false;

    ev->pts_adjustment = cue->pts_adjustment;
    ev->duration = 0;
    if (cue->encrypted_packet) {
        /* Scrambled from splice_command_type on: nothing of the command is known. */
    } else if (cue->splice_command_type == 5) {
        const scte35_splice_insert *si = &cue->splice_insert;
        time = &si->splice_time;
        id = si->splice_event_id;
        has_id = true;
        has_duration = si->duration_flag;
        ev->duration = has_duration ? (int64_t)si->break_duration.value : 0;
    } else if (cue->splice_command_type == 6) {
        time = &cue->time_signal.splice_time;
        ev->flags |= EVENT_CUE_SEGMENTATION_FLAG;
        if (cue->segmentation_count > 0) {
            const scte35_segmentation *seg = &cue->segmentation[0];
            id = seg->segmentation_event_id;
            has_id = true;
            has_duration = seg->segmentation_duration_flag;
            ev->duration = has_duration ? (int64_t)seg->segmentation_duration : 0;
        }
    }
    ev->splice_event_id = id;
    if (!has_id)
        ev->flags |= EVENT_CUE_NO_ID_FLAG;
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

    log_packet_tb(env->desc->trace, ist->time_base, pkt, "SCTE-35");
    memset(&cue, 0, sizeof(cue));
    int ret = scte35_parse_section(pkt->data, pkt->size, &cue);

    /* Reported with the cue's own id and times, not those of the break under way. */
    event ev = event_make(ret < 0 ? EVENT_CUE_FAILED : EVENT_CUE_DECODED);
    ev.data = pkt->data;
    ev.size = pkt->size;
    ev.pts = cue_pts;
    ev.result = ret;
    ev.splice_event_id = 0;
    ev.duration = 0;
    if (ret >= 0)
        cue_fields(&cue, cue_pts, &ev);
    event_emit(&env->desc->events, &ev);
    if (ret < 0)
        return ret;
    splice_on_cue(env, rep, &cue, cue_pts);
    return 0;
}
