/*
 * The traffic on the packet path: the planner the splice rules ask what a
 * break airs (the Nth break to start in a window airs the records of break
 * number N; a NUL record leaves the programme on air; outside every window
 * the filler airs) and the intake of what they report (a break's number given
 * when its cue arms it, its spots asked to be read; a break called off; a
 * spot's end into its record; the sender's measure of when it aired). Quick:
 * under the lock, no file touched; what it has to say is noted and reported
 * once the lock is let go.
 */
#include "traffic/traffic_internal.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/utils.h"
#include "splice/rep_ctx.h"

namespace {

/* The break number of cue id in ws: the one its arming gave, else (assign) the next; 0: none. forget: the cue is done. */
int number_of(traffic_window *ws, uint32_t id, bool assign, bool forget)
{
    for (size_t i = 0; i < ws->armed.size(); i++) {
        if (ws->armed[i].first != id)
            continue;
        int n = ws->armed[i].second;
        if (forget)
            ws->armed.erase(ws->armed.begin() + (long)i);
        return n;
    }
    if (!assign)
        return 0;
    if (!forget)
        ws->armed.emplace_back(id, ws->numbered + 1);
    return ++ws->numbered;
}

/* The first LOI or NUL record of window ws in the schedule in force, or -1. */
int window_record(const traffic *t, const traffic_window *ws)
{
    for (int i = 0; t->sched && i < t->sched->count; i++) {
        const schedule_record *r = &t->sched->records[i];
        if ((r->type == SCHEDULE_LOI || r->type == SCHEDULE_NUL) && r->window_ms == ws->start_ms &&
            r->window_minutes == ws->minutes)
            return i;
    }
    return -1;
}

/* A cue called off before its break started (cancelled, expired, dropped): its break's records get 1004. */
void call_off(traffic *t, uint32_t id)
{
    for (traffic_window &ws : t->air.windows) {
        int n = number_of(&ws, id, false, true);
        int w = n > 0 ? window_record(t, &ws) : -1;
        if (w < 0)
            continue;
        int idx[REP_MAX_SPOTS];
        int k = schedule_break_records(t->sched, w, n, idx, REP_MAX_SPOTS);
        for (int i = 0; i < k; i++) {
            schedule_record *r = &t->sched->records[idx[i]];
            if (r->status != SCHEDULE_STATUS_OPEN)
                continue;
            r->status = SCHEDULE_STATUS_CANCELLED;
            t->air.spots_missed += r->type == SCHEDULE_LOI;
            t->dirty = true;
        }
    }
}

/* Records whose aired time was an estimate get the sender's measure once it is there. Under the lock. */
void measure_records(traffic *t)
{
    const event_air_clock *c = t->clock;
    for (int i = 0; t->sched && i < t->sched->count; i++) {
        schedule_record *r = &t->sched->records[i];
        int64_t ms;
        if (r->air_pts == SCHEDULE_NONE)
            continue;
        if (event_air_measured(c, r->air_pts, &ms)) {
            r->aired_ms = ms;
            t->dirty = true;
        } else if (!c || c->last_pts == AV_NOPTS_VALUE || c->last_pts - r->air_pts < 30 * 90000) {
            continue;  // not sent yet
        }
        r->air_pts = SCHEDULE_NONE;  // measured, or no measure will come: the estimate stays
        t->air.unmeasured--;
    }
}

/* pts whose measure an aired time of now awaits: the sender measures a live output only. */
int64_t to_measure(const traffic *t, int64_t pts)
{
    int64_t ms;
    if (pts == AV_NOPTS_VALUE || pts == REP_NOW || !t->clock || !t->clock->follow ||
        event_air_measured(t->clock, pts, &ms))
        return SCHEDULE_NONE;
    return pts;
}

/* Now on the program's air clock: the wall clock, or for a recording the air time of its latest timestamp. */
int64_t air_now(const traffic *t)
{
    const event_air_clock *c = t->clock;
    return c && !c->follow && c->last_pts != AV_NOPTS_VALUE ? event_air_ms(c, c->last_pts, 0) : traffic_wall_now_ms();
}

/* The window of a splice point (ticks; REP_NOW or none: now) under the lock: its record, or -1. */
int window_at_point(traffic *t, int64_t point)
{
    int64_t now = air_now(t);
    int64_t at = point == REP_NOW || point == AV_NOPTS_VALUE ? now : event_air_ms(t->clock, point, now);
    return schedule_window_at(t->sched, at);
}

/* Lets go of the spots of the break planned two breaks ago; the new break's go in their place. */
void rotate_pins(traffic *t, std::vector<std::string> *now)
{
    for (const std::string &id : t->air.pinned[1]) {
        spot *sp = spot_store_find(t->store, id.c_str());
        if (sp && sp->pins > 0)
            sp->pins--;
    }
    t->air.pinned[1] = std::move(t->air.pinned[0]);
    t->air.pinned[0] = std::move(*now);
}

/* The records of break number n of window w into spots (the planner's answer). */
int plan_records(traffic *t, int w, int n, int64_t at, int64_t key, rep_spot *spots, int max, traffic_notes *notes)
{
    int idx[REP_MAX_SPOTS];
    int k = schedule_break_records(t->sched, w, n, idx, max < REP_MAX_SPOTS ? max : REP_MAX_SPOTS);
    const schedule_record *wr = &t->sched->records[w];
    std::vector<std::string> pins;
    traffic_note &plan = traffic_note_add(notes, EVENT_BREAK_PLANNED);
    plan.where.break_number = n;
    plan.where.window_ms = wr->window_ms;

    for (int i = 0; i < k; i++) {
        if (t->sched->records[idx[i]].type != SCHEDULE_NUL)
            continue;
        for (int j = 0; j < k; j++) {
            schedule_record *r = &t->sched->records[idx[j]];
            // The programme's key frame is what airs in a NUL break's place: its measure if it left already.
            r->aired_ms = r->type == SCHEDULE_NUL && key != AV_NOPTS_VALUE && key != REP_NOW
                              ? event_air_ms(t->clock, key, at) : at;
            r->air_pts = r->type == SCHEDULE_NUL ? to_measure(t, key) : SCHEDULE_NONE;
            t->air.unmeasured += r->air_pts != SCHEDULE_NONE;
            r->status = r->type == SCHEDULE_NUL ? SCHEDULE_STATUS_AIRED : SCHEDULE_STATUS_CANCELLED;
            t->air.spots_missed += r->type == SCHEDULE_LOI;
        }
        t->dirty = true;
        plan.reason = EVENT_PLAN_NUL;
        rotate_pins(t, &pins);
        return SPLICE_PLAN_LEAVE;
    }
    for (int i = 0; i < k; i++) {
        schedule_record *r = &t->sched->records[idx[i]];
        rep_spot *out = &spots[i];
        memset(out, 0, sizeof(*out));
        utils_strlcpy(out->info.id, r->spot_id, sizeof(out->info.id));
        out->info.break_number = n;
        out->info.position = r->position;
        out->info.tag = t->air.generation << 32 | idx[i];
        spot *sp = spot_store_find(t->store, r->spot_id);
        char short_why[SPOT_WHY_SIZE] = "";
        if (sp)
            utils_strlcpy(out->info.file, sp->file, sizeof(out->info.file));
        if (sp && spot_short(sp, r->length, short_why, sizeof(short_why))) {
            /* Shorter than sold: not aired (1002), the filler takes its place. */
        } else if (sp && sp->state == SPOT_READY) {
            out->media = sp->media;
            sp->pins++;
            pins.push_back(sp->id);
        }
        const char *why = short_why[0] ? short_why : sp && sp->why[0] ? sp->why : "not read yet";
        if (!out->media)
            utils_strlcpy(out->info.why, why, sizeof(out->info.why));
        r->unfit_status = out->media ? 0 : traffic_unfit_status(sp, short_why[0] != 0);
        out->info.status = r->unfit_status;
        plan.spots.push_back(out->info);
    }
    rotate_pins(t, &pins);
    return k;
}

int plan_break_unguarded(traffic *t, const splice_break *b, rep_spot *spots, int max)
{
    traffic_notes notes;
    int n = 0;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        int64_t at = event_air_ms(t->clock, b->point == REP_NOW ? b->start : b->point, air_now(t));
        int w = schedule_window_at(t->sched, at);
        t->air.aired_in_break = 0;
        t->air.planned_window = w;
        if (w < 0) {
            std::vector<std::string> none;
            rotate_pins(t, &none);
            traffic_note &plan = traffic_note_add(&notes, EVENT_BREAK_PLANNED);
            plan.reason = EVENT_PLAN_OUTSIDE;
            plan.where.window_ms = at;
        } else {
            traffic_window *ws = traffic_window_of(t, &t->sched->records[w], true);
            int number = number_of(ws, b->id, true, true);
            ws->started = std::max(ws->started, number);
            n = plan_records(t, w, number, at, b->start, spots, max, &notes);
        }
    }
    traffic_report(t, notes);
    return n;
}

} // namespace

/* The planner (splice_planner.plan): out of memory, nothing is planned and the filler airs. */
int traffic_plan_break(void *opaque, const splice_break *b, rep_spot *spots, int max)
{
    traffic *t = (traffic *)opaque;
    try {
        return plan_break_unguarded(t, b, spots, max);
    } catch (...) {
        traffic_short_of_memory(t, EVENT_MEMORY_PLAN);
        return 0;
    }
}

namespace {

int status_of(int reason)
{
    switch (reason) {
    case EVENT_SPOT_AIRED: return SCHEDULE_STATUS_AIRED;
    case EVENT_SPOT_CUT_SHORT: return SCHEDULE_STATUS_CUT_SHORT;
    case EVENT_SPOT_TOO_SHORT: return SCHEDULE_STATUS_TOO_SHORT;
    case EVENT_SPOT_UNUSABLE: return SCHEDULE_STATUS_UNUSABLE;
    default: return SCHEDULE_STATUS_CANCELLED;
    }
}

/* The record a spot event names, in the schedule in force (which may have been rewritten since). */
schedule_record *record_of(traffic *t, const event_spot *info)
{
    schedule *s = t->sched;
    int64_t index = info->tag & 0xFFFFFFFF;
    if (!s)
        return nullptr;
    if (info->tag >> 32 == t->air.generation && index < s->count)
        return &s->records[index];
    for (int i = 0; t->air.planned_window >= 0 && t->air.planned_window < s->count && i < s->count; i++) {
        schedule_record *r = &s->records[i];
        if (r->type == SCHEDULE_LOI && r->break_number == info->break_number && r->position == info->position &&
            strcmp(r->spot_id, info->id) == 0 && schedule_same_window(r, &s->records[t->air.planned_window]))
            return r;
    }
    return nullptr;
}

void spot_ended(traffic *t, const event *ev)
{
    schedule_record *r = record_of(t, ev->spot);
    if (!r)
        return;
    bool aired = ev->aired != AV_NOPTS_VALUE && ev->aired > 0;
    r->aired_ms = ev->pts != AV_NOPTS_VALUE ? event_air_ms(t->clock, ev->pts, air_now(t)) : SCHEDULE_NONE;
    t->air.unmeasured -= r->air_pts != SCHEDULE_NONE;
    r->air_pts = to_measure(t, ev->pts);
    t->air.unmeasured += r->air_pts != SCHEDULE_NONE;
    r->aired_length = aired ? ev->aired / 900 : 0;
    r->aired_position = aired ? ++t->air.aired_in_break : 0;
    r->status = status_of(ev->reason);
    if (ev->reason == EVENT_SPOT_UNUSABLE && r->unfit_status)
        r->status = r->unfit_status;  // the planner gave it no file: for want of one fit to air, or ready in time
    if (r->status == SCHEDULE_STATUS_AIRED)
        t->air.spots_aired++;
    else
        t->air.spots_missed++;
    spot *sp = aired ? spot_store_find(t->store, ev->spot->id) : nullptr;
    if (sp)
        sp->aired = ++t->air.aired_count;
    t->dirty = true;
}

/* Numbers the break of an armed cue, and asks for its spots and those of the break after it. */
void want_window(traffic *t, const event *ev)
{
    int w = window_at_point(t, ev->splice_time);
    if (w < 0)
        return;
    traffic_window *ws = traffic_window_of(t, &t->sched->records[w], true);
    int next = number_of(ws, ev->splice_event_id, true, false);
    t->air.wanted.emplace_back(w, next);
    t->air.wanted.emplace_back(w, next + 1);
}

int on_event_unguarded(traffic *t, const event *ev)
{
    switch (ev->type) {
    case EVENT_ARMED:
    case EVENT_NEXT_KEPT:
    case EVENT_CANCELLED:
    case EVENT_EXPIRED:
    case EVENT_DROPPED:
    case EVENT_SPOT_ENDED:
    case EVENT_BREAK_ENDED:
    case EVENT_BREAK_SKIPPED:
    case EVENT_RELAY_STARTED:
    case EVENT_IDLE:
        break;
    case EVENT_PROGRESS:
        if (t->air.unmeasured.load() <= 0)
            return 0;
        break;
    default:
        return 0;  // the rest need not wait for the lock
    }
    std::lock_guard<std::mutex> guard(t->lock);
    switch (ev->type) {
    case EVENT_ARMED:
    case EVENT_NEXT_KEPT:
        if (t->sched)
            want_window(t, ev);
        break;
    case EVENT_CANCELLED:
    case EVENT_EXPIRED:
    case EVENT_DROPPED:
        /* An event that will not air: its break keeps its number and is marked. */
        call_off(t, ev->splice_event_id);
        break;
    case EVENT_PROGRESS: {
        bool was = t->dirty;
        measure_records(t);
        if (was || !t->dirty)
            return 0;
        break;
    }
    case EVENT_SPOT_ENDED:
        if (ev->spot)
            spot_ended(t, ev);
        return 0;
    case EVENT_BREAK_ENDED:
    case EVENT_BREAK_SKIPPED:
        break;
    case EVENT_IDLE: {
        /* Every stream is back on the programme: no spot is in use, the cache may let them go for the
         * spots that found no room. */
        std::vector<std::string> none;
        rotate_pins(t, &none);
        rotate_pins(t, &none);
        t->air.wanted.insert(t->air.wanted.end(), t->air.retry.begin(), t->air.retry.end());
        t->air.retry.clear();
        break;
    }
    case EVENT_RELAY_STARTED: {
        /* A new session: nothing of the last one's breaks is in use any more. */
        std::vector<std::string> none;
        rotate_pins(t, &none);
        rotate_pins(t, &none);
        traffic_recount_unmeasured(t, true);
        return 0;
    }
    default:
        return 0;
    }
    bool work = t->dirty || !t->air.wanted.empty();
    if (work) {
        t->work = true;
        t->wake.notify_one();
    }
    return work;
}

} // namespace

/* Called from the program's event sink: out of memory, the event is not taken. */
int traffic_on_event(traffic *t, const event *ev)
{
    if (!t || !ev)
        return 0;
    try {
        return on_event_unguarded(t, ev);
    } catch (...) {
        traffic_short_of_memory(t, EVENT_MEMORY_EVENTS);
        return 0;
    }
}

int traffic_measure(traffic *t)
{
    if (!t || t->air.unmeasured.load() <= 0)
        return 0;
    std::lock_guard<std::mutex> guard(t->lock);
    bool was = t->dirty;
    measure_records(t);
    if (was || !t->dirty)
        return 0;
    t->work = true;
    t->wake.notify_one();
    return 1;
}

