/*
 * The traffic controller: its life, its counts and the plan before air, and
 * what its two sides share (traffic_internal.h): the planner and the event
 * intake on the packet path are in traffic_air.cpp, the file work of
 * traffic_poll in traffic_files.cpp.
 */
#include "traffic/traffic_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/utils.h"
#include "splice/rep_ctx.h"

traffic_note &traffic_note_add(traffic_notes *notes, event_type type)
{
    notes->emplace_back();
    notes->back().type = type;
    return notes->back();
}

void traffic_report(const traffic *t, const traffic_notes &notes)
{
    for (const traffic_note &n : notes) {
        event ev = event_make(n.type);
        event_traffic where = n.where;
        where.schedule = n.schedule.c_str();
        where.file = n.file.c_str();
        where.spots = n.spots.empty() ? nullptr : n.spots.data();
        where.spot_count = (int)n.spots.size();
        ev.reason = n.reason;
        ev.result = n.result;
        ev.count = n.count;
        ev.text = n.text.empty() ? nullptr : n.text.c_str();
        ev.spot = n.has_spot ? &n.spot : nullptr;
        ev.traffic = &where;
        event_emit(&t->sink, &ev);
    }
}

void traffic_short_of_memory(traffic *t, int step)
{
    if (t->short_of_memory.exchange(true))
        return;
    event ev = event_make(EVENT_TRAFFIC_NO_MEMORY);
    ev.reason = step;
    event_emit(&t->sink, &ev);
}

int64_t traffic_wall_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

traffic_window *traffic_window_of(traffic *t, const schedule_record *r, bool add)
{
    for (traffic_window &w : t->air.windows)
        if (w.start_ms == r->window_ms && w.minutes == r->window_minutes)
            return &w;
    if (!add)
        return nullptr;
    t->air.windows.push_back(traffic_window{r->window_ms, r->window_minutes, 0, 0, {}});
    return &t->air.windows.back();
}

/* The records' air_pts counted again (a new schedule, or a new session whose sender knows nothing older). */
void traffic_recount_unmeasured(traffic *t, bool forget)
{
    int n = 0;
    for (int i = 0; t->sched && i < t->sched->count; i++) {
        if (forget)
            t->sched->records[i].air_pts = SCHEDULE_NONE;
        n += t->sched->records[i].air_pts != SCHEDULE_NONE;
    }
    t->air.unmeasured = n;
}

/*
 * The status of a record whose spot sp (null: never named to the store)
 * does not air for want of a file fit to air: shorter than sold (short),
 * missing or unusable, else not ready in time (not read or conformed yet).
 */
int traffic_unfit_status(const spot *sp, bool short_spot)
{
    if (short_spot)
        return SCHEDULE_STATUS_SHORT;
    if (sp && (sp->state == SPOT_MISSING || sp->state == SPOT_UNUSABLE))
        return SCHEDULE_STATUS_UNUSABLE;
    return SCHEDULE_STATUS_NOT_READY;
}

/*
 * What the LOI record r is set to do as things stand (under the lock):
 * traffic_spot_outlook, with the status it has or would get (0 while
 * undecided) and why it would not air.
 */
int traffic_outlook_of(traffic *t, const schedule_record *r, int *status, char *why, size_t size)
{
    why[0] = '\0';
    *status = r->status;
    if (r->status != SCHEDULE_STATUS_OPEN)
        return TRAFFIC_SPOT_DONE;
    spot *sp = spot_store_find(t->store, r->spot_id);
    bool short_spot = sp && spot_short(sp, r->length, why, size);
    if (!short_spot && sp && (sp->state == SPOT_READY || sp->state == SPOT_READ))
        return TRAFFIC_SPOT_READY;
    if (!short_spot)
        utils_strlcpy(why, sp && sp->why[0] ? sp->why : "not read yet", size);
    int unfit = traffic_unfit_status(sp, short_spot);
    if (unfit == SCHEDULE_STATUS_NOT_READY)
        return TRAFFIC_SPOT_PENDING;
    *status = unfit;
    return TRAFFIC_SPOT_WILL_NOT_AIR;
}

const char *traffic_schedule_state_name(int state)
{
    static const char *const names[] = {"none", "in_force", "missing", "other_day", "unreadable"};
    return state >= 0 && state < (int)(sizeof(names) / sizeof(names[0])) ? names[state] : "none";
}

int traffic_create(traffic **out, const traffic_config *c)
{
    if (!out || !c || !c->schedule || !c->schedule[0] || !c->spots || !c->spots[0])
        return -EINVAL;
    traffic *t = new (std::nothrow) traffic();
    if (!t)
        return -ENOMEM;
    try {
        t->files.schedule_option = c->schedule;
        t->files.spots_dir = c->spots;
        t->files.channel = c->channel_id ? c->channel_id : "";
        t->files.headend = c->headend_id ? c->headend_id : "";
        t->files.verification_option = c->verification ? c->verification : "";
    } catch (...) {
        delete t;
        return -ENOMEM;
    }
    t->clock = c->clock;
    t->sink = c->sink;
    t->planner.plan = traffic_plan_break;
    t->planner.opaque = t;
    int ret = spot_store_create(&t->store, c->spots, c->cache_bytes);
    if (ret < 0) {
        delete t;
        return ret;
    }
    *out = t;
    return 0;
}

int traffic_destroy(traffic **p)
{
    if (!p || !*p)
        return -EINVAL;
    traffic *t = *p;
    spot_store_destroy(&t->store);
    if (t->sched)
        schedule_destroy(&t->sched);
    avformat_free_context(t->programme);
    delete t;
    *p = nullptr;
    return 0;
}

const splice_planner *traffic_planner(traffic *t)
{
    return t ? &t->planner : nullptr;
}

void traffic_set_programme(traffic *t, AVFormatContext **programme)
{
    if (!programme || !*programme)
        return;
    AVFormatContext *held = *programme;
    *programme = nullptr;
    if (t) {
        std::lock_guard<std::mutex> guard(t->lock);
        std::swap(t->programme, held);
        spot_store_check(t->store, t->programme);
    }
    avformat_free_context(held);
}

void traffic_wait(traffic *t, int timeout_ms)
{
    std::unique_lock<std::mutex> guard(t->lock);
    t->wake.wait_for(guard, std::chrono::milliseconds(timeout_ms), [t] { return t->work; });
    t->work = false;
}

void traffic_wake(traffic *t)
{
    std::lock_guard<std::mutex> guard(t->lock);
    t->work = true;
    t->wake.notify_one();
}

void traffic_get_stats(traffic *t, traffic_stats *out)
{
    std::lock_guard<std::mutex> guard(t->lock);
    utils_strlcpy(out->schedule, t->sched ? t->sched->path : "", sizeof(out->schedule));
    out->spots = t->sched ? t->sched->spots : 0;
    out->spots_aired = t->air.spots_aired;
    out->spots_missed = t->air.spots_missed;
    out->state = t->files.state;
    utils_strlcpy(out->expected, t->files.expected.c_str(), sizeof(out->expected));
    utils_strlcpy(out->verification, t->files.ver_path.c_str(), sizeof(out->verification));
    out->verification_failing = t->files.ver_failing;
}

const char *traffic_spot_outlook_name(int outlook, int status)
{
    switch (outlook) {
    case TRAFFIC_SPOT_READY: return "ready";
    case TRAFFIC_SPOT_PENDING: return "pending";
    case TRAFFIC_SPOT_WILL_NOT_AIR: return "will_not_air";
    default: return status == SCHEDULE_STATUS_AIRED ? "aired" : "not_aired";
    }
}

int traffic_plan(traffic *t, traffic_spot_plan **out)
{
    if (!t || !out)
        return -EINVAL;
    *out = nullptr;
    std::lock_guard<std::mutex> guard(t->lock);
    int n = 0;
    for (int i = 0; t->sched && i < t->sched->count; i++)
        n += t->sched->records[i].type == SCHEDULE_LOI;
    if (n == 0)
        return 0;
    traffic_spot_plan *rows = (traffic_spot_plan *)calloc((size_t)n, sizeof(*rows));
    if (!rows)
        return -ENOMEM;
    int k = 0;
    for (int i = 0; i < t->sched->count; i++) {
        const schedule_record *r = &t->sched->records[i];
        if (r->type != SCHEDULE_LOI)
            continue;
        traffic_spot_plan *p = &rows[k++];
        p->window_ms = r->window_ms;
        p->window_minutes = r->window_minutes;
        p->break_number = r->break_number;
        p->position = r->position;
        p->seconds = r->length;
        utils_strlcpy(p->id, r->spot_id, sizeof(p->id));
        const spot *sp = spot_store_find(t->store, r->spot_id);
        utils_strlcpy(p->file, sp ? sp->file : "", sizeof(p->file));
        p->outlook = traffic_outlook_of(t, r, &p->status, p->why, sizeof(p->why));
    }
    *out = rows;
    return n;
}

