/*
 * The traffic controller: the planner and the event intake on the packet
 * path, the file work in traffic_poll, one lock between them that is never
 * held across a file access.
 */
#include "traffic/traffic.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/log.h"
#include "common/utils.h"
#include "conform/conform.h"
#include "splice/filler.h"
#include "splice/rep_ctx.h"
#include "splice/splice.h"
#include "traffic/spots.h"
#include "traffic/verification.h"

namespace {

/*
 * The breaks of one window so far. A break gets its number from the cue that
 * opens it, when the cue arms it (or when it starts, without one): a break
 * cancelled before it starts keeps its number, and the next one does not
 * take it over.
 */
struct window_state {
    int64_t start_ms;
    int minutes;
    int started;    // the highest break number started
    int numbered;   // break numbers given so far
    std::vector<std::pair<uint32_t, int>> armed;  // cue id and its break's number, until it starts or is called off
};

/* A file as stat sees it: a new or rewritten file differs. */
struct file_id {
    std::string path;
    dev_t dev;
    ino_t ino;
    off_t size;
    int64_t mtime_ns;
    bool operator==(const file_id &o) const
    {
        return path == o.path && dev == o.dev && ino == o.ino && size == o.size && mtime_ns == o.mtime_ns;
    }
};

typedef std::vector<std::pair<int, std::string>> line_list;

} // namespace

struct traffic {
    std::mutex lock;
    std::condition_variable wake;
    bool work = false;
    std::string schedule_option, spots_dir, channel, headend, verification_option;
    const event_air_clock *clock = nullptr;
    traffic_line_fn line = nullptr;
    void *line_opaque = nullptr;
    splice_planner planner = {};

    schedule *sched = nullptr;           // in force; null: none
    int64_t generation = 0;              // counts the schedules put in force
    file_id in_force = {}, refused = {};
    std::string ver_path;
    spot_store *store = nullptr;
    AVFormatContext *programme = nullptr;  // a copy of the session's streams
    std::vector<window_state> windows;
    std::vector<std::string> pinned[2];  // spots of the last two breaks planned
    std::vector<std::pair<int, int>> wanted;  // (a record of the window, break number) to read ahead
    std::vector<std::pair<int, int>> retry;   // of them, those that found no room: asked again when spots are let go
    bool read_all = false;               // read ahead every spot of the schedule
    bool dirty = false;                  // the verification file is behind
    int planned_window = -1;             // record of the window of the break under way
    int aired_in_break = 0;
    uint64_t aired_count = 0;
    int64_t spots_aired = 0, spots_missed = 0;
    std::atomic<int> unmeasured{0};      // records whose aired time awaits the sender's measure (air_pts)
    int state = TRAFFIC_SCHEDULE_NONE;   // traffic_schedule_state
    std::string expected;                // the file looked for at the last poll
    int warned_day = -1;                 // the local day (yyyymmdd) the schedule's state was last warned of
    bool ver_failing = false;            // the verification file's last write failed
    int64_t ver_logged_ms = 0;           // when that was last said
    std::atomic<bool> short_of_memory{false};  // said once: a callback ran out of memory
    int64_t files_seen[2] = {-1, -1};    // poll's own: the times of the spots folder and of its cache folder
};

namespace {

int64_t wall_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* "HH:MM:SS" of wall ms (local time). */
std::string clock_text(int64_t ms)
{
    time_t t = (time_t)(ms / 1000);
    struct tm tm;
    char buf[16];
    localtime_r(&t, &tm);
    strftime(buf, sizeof(buf), "%H:%M:%S", &tm);
    return buf;
}

void say(line_list *lines, int severity, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void say(line_list *lines, int severity, const char *fmt, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    lines->emplace_back(severity, text);
}

/*
 * A callback the splice rules or the program call through a C pointer ran
 * out of memory and fell back (no spots, the event not taken): said once,
 * without allocating.
 */
void say_short_of_memory(traffic *t, const char *text)
{
    if (!t->short_of_memory.exchange(true) && t->line)
        t->line(t->line_opaque, LOG_ERROR, text);
}

/* Hands the lines to the program, outside the lock. */
void report(const traffic *t, const line_list &lines)
{
    for (const auto &l : lines)
        if (t->line)
            t->line(t->line_opaque, l.first, l.second.c_str());
}

window_state *window_of(traffic *t, const schedule_record *r, bool add)
{
    for (window_state &w : t->windows)
        if (w.start_ms == r->window_ms && w.minutes == r->window_minutes)
            return &w;
    if (!add)
        return nullptr;
    t->windows.push_back(window_state{r->window_ms, r->window_minutes, 0, 0, {}});
    return &t->windows.back();
}

/* The break number of cue id in ws: the one its arming gave, else (assign) the next; 0: none. forget: the cue is done. */
int number_of(window_state *ws, uint32_t id, bool assign, bool forget)
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
int window_record(const traffic *t, const window_state *ws)
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
    for (window_state &ws : t->windows) {
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
            t->spots_missed += r->type == SCHEDULE_LOI;
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
        t->unmeasured--;
    }
}

/* The records' air_pts counted again (a new schedule, or a new session whose sender knows nothing older). */
void recount_unmeasured(traffic *t, bool forget)
{
    int n = 0;
    for (int i = 0; t->sched && i < t->sched->count; i++) {
        if (forget)
            t->sched->records[i].air_pts = SCHEDULE_NONE;
        n += t->sched->records[i].air_pts != SCHEDULE_NONE;
    }
    t->unmeasured = n;
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
    return c && !c->follow && c->last_pts != AV_NOPTS_VALUE ? event_air_ms(c, c->last_pts, 0) : wall_now_ms();
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
    for (const std::string &id : t->pinned[1]) {
        spot *sp = spot_store_find(t->store, id.c_str());
        if (sp && sp->pins > 0)
            sp->pins--;
    }
    t->pinned[1] = std::move(t->pinned[0]);
    t->pinned[0] = std::move(*now);
}

/*
 * The status of a record whose spot sp (null: never named to the store)
 * does not air for want of a file fit to air: shorter than sold (short),
 * missing or unusable, else not ready in time (not read or conformed yet).
 */
int unfit_status(const spot *sp, bool short_spot)
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
int outlook_of(traffic *t, const schedule_record *r, int *status, char *why, size_t size)
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
    int unfit = unfit_status(sp, short_spot);
    if (unfit == SCHEDULE_STATUS_NOT_READY)
        return TRAFFIC_SPOT_PENDING;
    *status = unfit;
    return TRAFFIC_SPOT_WILL_NOT_AIR;
}

/* The records of break number n of window w into spots (the planner's answer). */
int plan_records(traffic *t, int w, int n, int64_t at, int64_t key, rep_spot *spots, int max, line_list *lines)
{
    int idx[REP_MAX_SPOTS];
    int k = schedule_break_records(t->sched, w, n, idx, max < REP_MAX_SPOTS ? max : REP_MAX_SPOTS);
    const schedule_record *wr = &t->sched->records[w];
    std::string what;
    std::vector<std::string> pins;

    for (int i = 0; i < k; i++) {
        if (t->sched->records[idx[i]].type != SCHEDULE_NUL)
            continue;
        for (int j = 0; j < k; j++) {
            schedule_record *r = &t->sched->records[idx[j]];
            // The programme's key frame is what airs in a NUL break's place: its measure if it left already.
            r->aired_ms = r->type == SCHEDULE_NUL && key != AV_NOPTS_VALUE && key != REP_NOW
                              ? event_air_ms(t->clock, key, at) : at;
            r->air_pts = r->type == SCHEDULE_NUL ? to_measure(t, key) : SCHEDULE_NONE;
            t->unmeasured += r->air_pts != SCHEDULE_NONE;
            r->status = r->type == SCHEDULE_NUL ? SCHEDULE_STATUS_AIRED : SCHEDULE_STATUS_CANCELLED;
            t->spots_missed += r->type == SCHEDULE_LOI;
        }
        t->dirty = true;
        say(lines, LOG_INFO, "break %d of the window at %s: NUL, the programme stays on air", n,
            clock_text(wr->window_ms).c_str());
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
        out->info.tag = t->generation << 32 | idx[i];
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
        r->unfit_status = out->media ? 0 : unfit_status(sp, short_why[0] != 0);
        what += std::string(i ? ", " : "") + r->spot_id + (out->media ? "" : std::string(" (") + why + ")");
    }
    rotate_pins(t, &pins);
    say(lines, LOG_INFO, "break %d of the window at %s: %s", n, clock_text(wr->window_ms).c_str(),
        k ? what.c_str() : "no record, the filler airs");
    return k;
}

int plan_break_unguarded(traffic *t, const splice_break *b, rep_spot *spots, int max)
{
    line_list lines;
    int n = 0;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        int64_t at = event_air_ms(t->clock, b->point == REP_NOW ? b->start : b->point, air_now(t));
        int w = schedule_window_at(t->sched, at);
        t->aired_in_break = 0;
        t->planned_window = w;
        if (w < 0) {
            std::vector<std::string> none;
            rotate_pins(t, &none);
            say(&lines, LOG_INFO, "break at %s: outside every window of the schedule, the filler airs",
                clock_text(at).c_str());
        } else {
            window_state *ws = window_of(t, &t->sched->records[w], true);
            int number = number_of(ws, b->id, true, true);
            ws->started = std::max(ws->started, number);
            n = plan_records(t, w, number, at, b->start, spots, max, &lines);
        }
    }
    report(t, lines);
    return n;
}

/* The planner (splice_planner.plan): out of memory, nothing is planned and the filler airs. */
int plan_break(void *opaque, const splice_break *b, rep_spot *spots, int max)
{
    traffic *t = (traffic *)opaque;
    try {
        return plan_break_unguarded(t, b, spots, max);
    } catch (...) {
        say_short_of_memory(t, "traffic: out of memory, breaks air the filler where they cannot be planned");
        return 0;
    }
}

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
    if (info->tag >> 32 == t->generation && index < s->count)
        return &s->records[index];
    for (int i = 0; t->planned_window >= 0 && t->planned_window < s->count && i < s->count; i++) {
        schedule_record *r = &s->records[i];
        if (r->type == SCHEDULE_LOI && r->break_number == info->break_number && r->position == info->position &&
            strcmp(r->spot_id, info->id) == 0 && schedule_same_window(r, &s->records[t->planned_window]))
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
    t->unmeasured -= r->air_pts != SCHEDULE_NONE;
    r->air_pts = to_measure(t, ev->pts);
    t->unmeasured += r->air_pts != SCHEDULE_NONE;
    r->aired_length = aired ? ev->aired / 900 : 0;
    r->aired_position = aired ? ++t->aired_in_break : 0;
    r->status = status_of(ev->reason);
    if (ev->reason == EVENT_SPOT_UNUSABLE && r->unfit_status)
        r->status = r->unfit_status;  // the planner gave it no file: for want of one fit to air, or ready in time
    if (r->status == SCHEDULE_STATUS_AIRED)
        t->spots_aired++;
    else
        t->spots_missed++;
    spot *sp = aired ? spot_store_find(t->store, ev->spot->id) : nullptr;
    if (sp)
        sp->aired = ++t->aired_count;
    t->dirty = true;
}

/* Numbers the break of an armed cue, and asks for its spots and those of the break after it. */
void want_window(traffic *t, const event *ev)
{
    int w = window_at_point(t, ev->splice_time);
    if (w < 0)
        return;
    window_state *ws = window_of(t, &t->sched->records[w], true);
    int next = number_of(ws, ev->splice_event_id, true, false);
    t->wanted.emplace_back(w, next);
    t->wanted.emplace_back(w, next + 1);
}

} // namespace

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
        t->schedule_option = c->schedule;
        t->spots_dir = c->spots;
        t->channel = c->channel_id ? c->channel_id : "";
        t->headend = c->headend_id ? c->headend_id : "";
        t->verification_option = c->verification ? c->verification : "";
    } catch (...) {
        delete t;
        return -ENOMEM;
    }
    t->clock = c->clock;
    t->line = c->line;
    t->line_opaque = c->line_opaque;
    t->planner.plan = plan_break;
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

namespace {

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
        if (t->unmeasured.load() <= 0)
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
        t->wanted.insert(t->wanted.end(), t->retry.begin(), t->retry.end());
        t->retry.clear();
        break;
    }
    case EVENT_RELAY_STARTED: {
        /* A new session: nothing of the last one's breaks is in use any more. */
        std::vector<std::string> none;
        rotate_pins(t, &none);
        rotate_pins(t, &none);
        recount_unmeasured(t, true);
        return 0;
    }
    default:
        return 0;
    }
    bool work = t->dirty || !t->wanted.empty();
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
        say_short_of_memory(t, "traffic: out of memory, events not taken into the schedule's records");
        return 0;
    }
}

int traffic_measure(traffic *t)
{
    if (!t || t->unmeasured.load() <= 0)
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

void traffic_get_stats(traffic *t, traffic_stats *out)
{
    std::lock_guard<std::mutex> guard(t->lock);
    utils_strlcpy(out->schedule, t->sched ? t->sched->path : "", sizeof(out->schedule));
    out->spots = t->sched ? t->sched->spots : 0;
    out->spots_aired = t->spots_aired;
    out->spots_missed = t->spots_missed;
    out->state = t->state;
    utils_strlcpy(out->expected, t->expected.c_str(), sizeof(out->expected));
    utils_strlcpy(out->verification, t->ver_path.c_str(), sizeof(out->verification));
    out->verification_failing = t->ver_failing;
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
        p->outlook = outlook_of(t, r, &p->status, p->why, sizeof(p->why));
    }
    *out = rows;
    return n;
}

/* ---- the file work ---- */

namespace {

/* The schedule file to use at now_ms: the option, or the day's file in the folder it names. */
std::string schedule_file(const traffic *t, int64_t now_ms)
{
    struct stat st;
    if (stat(t->schedule_option.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return t->schedule_option;
    char name[SCHEDULE_NAME_SIZE];
    if (schedule_file_name(now_ms, t->channel.c_str(), t->headend.c_str(), name, sizeof(name)) < 0)
        return std::string();
    return t->schedule_option + "/" + name;
}

/* Gives new the verification results of old's matching records. */
void carry_over(schedule *to, const schedule *from)
{
    for (int i = 0; from && i < to->count; i++) {
        schedule_record *r = &to->records[i];
        for (int k = 0; (r->type == SCHEDULE_LOI || r->type == SCHEDULE_NUL) && k < from->count; k++) {
            const schedule_record *o = &from->records[k];
            if (o->type == r->type && o->status != SCHEDULE_STATUS_OPEN && schedule_same_window(o, r) &&
                o->break_number == r->break_number && o->position == r->position &&
                strcmp(o->spot_id, r->spot_id) == 0) {
                r->aired_ms = o->aired_ms;
                r->air_pts = o->air_pts;
                r->aired_length = o->aired_length;
                r->aired_position = o->aired_position;
                r->status = o->status;
                break;
            }
        }
    }
}

/* Gives the records of windows that ended by now_ms without their break their final status. */
void close_windows(traffic *t, schedule *s, int64_t now_ms, line_list *lines)
{
    int left = 0;
    /* A window a day past is no schedule's any more. */
    t->windows.erase(std::remove_if(t->windows.begin(), t->windows.end(), [now_ms](const window_state &w) {
        return w.start_ms + (int64_t)w.minutes * 60000 + 86400000 < now_ms;
    }), t->windows.end());
    for (int i = 0; s && i < s->count; i++) {
        schedule_record *r = &s->records[i];
        if ((r->type != SCHEDULE_LOI && r->type != SCHEDULE_NUL) || r->status != SCHEDULE_STATUS_OPEN ||
            r->window_ms + (int64_t)r->window_minutes * 60000 > now_ms)
            continue;
        window_state *ws = window_of(t, r, false);
        if (ws && r->break_number <= ws->started)
            continue;  // its break came: the break's end decides
        r->status = SCHEDULE_STATUS_NO_BREAK;
        t->spots_missed += r->type == SCHEDULE_LOI;
        t->dirty = true;
        left++;
    }
    if (left)
        say(lines, LOG_ERROR, "schedule [%s]: %d records of ended windows without their break", s->path, left);
}

/* Whether the schedule (opaque) names spot id. */
bool names_spot(void *opaque, const char *id)
{
    const schedule *s = (const schedule *)opaque;
    for (int i = 0; i < s->count; i++)
        if (s->records[i].type == SCHEDULE_LOI && strcmp(s->records[i].spot_id, id) == 0)
            return true;
    return false;
}

/* Puts s in force (after the lock is taken); the one it replaces goes to *old. */
void put_in_force(traffic *t, schedule *s, const file_id &id, schedule **old, int64_t now_ms, line_list *lines)
{
    carry_over(s, t->sched);
    close_windows(t, t->sched, now_ms, lines);
    spot_store_prune(t->store, names_spot, s);
    /* A break under way finds its records in the new schedule by its window. */
    const schedule_record *running = t->planned_window >= 0 ? &t->sched->records[t->planned_window] : nullptr;
    int planned = -1;
    for (int i = 0; running && planned < 0 && i < s->count; i++)
        if ((s->records[i].type == SCHEDULE_LOI || s->records[i].type == SCHEDULE_NUL) &&
            schedule_same_window(&s->records[i], running))
            planned = i;
    *old = t->sched;
    t->sched = s;
    t->in_force = id;
    t->generation++;
    t->planned_window = planned;
    recount_unmeasured(t, false);
    t->wanted.clear();  // indexes into the schedule replaced: read_all asks again
    t->retry.clear();
    t->read_all = true;
    t->dirty = true;
    char path[SCHEDULE_PATH_SIZE];
    t->ver_path = verification_path(s->path, t->verification_option.c_str(), path, sizeof(path)) == 0 ? path : "";
    say(lines, LOG_INFO, "schedule [%s] in force: %d spots, verification file [%s]", s->path, s->spots,
        t->ver_path.c_str());
}

/* The schedule reader's warning callback: out of memory, the warning is lost. */
void collect_warning(void *opaque, const char *text)
{
    std::pair<line_list *, const char *> *w = (std::pair<line_list *, const char *> *)opaque;
    try {
        say(w->first, LOG_ERROR, "schedule [%s] %s", w->second, text);
    } catch (...) {
    }
}

/* The local day of wall ms as yyyymmdd, and its month and day. */
int local_day(int64_t ms, int *month, int *day)
{
    time_t s = (time_t)(ms / 1000);
    struct tm tm;
    localtime_r(&s, &tm);
    *month = tm.tm_mon + 1;
    *day = tm.tm_mday;
    return (tm.tm_year + 1900) * 10000 + *month * 100 + *day;
}

/*
 * The schedule's state after a look for path (present: the file is there;
 * refused: it cannot be used), under the lock; a missing file or one of
 * another day is said once a day.
 */
void update_state(traffic *t, const std::string &path, bool present, bool refused, int64_t now_ms, line_list *lines)
{
    int month, day;
    int today = local_day(now_ms, &month, &day);
    const schedule_record *dated = nullptr;
    for (int i = 0; t->sched && !dated && i < t->sched->count; i++)
        if (t->sched->records[i].type == SCHEDULE_LOI || t->sched->records[i].type == SCHEDULE_NUL)
            dated = &t->sched->records[i];
    bool other_day = dated && (dated->month != month || dated->day != day);
    t->expected = path;
    t->state = !present ? TRAFFIC_SCHEDULE_MISSING
               : refused ? TRAFFIC_SCHEDULE_UNREADABLE
               : !t->sched ? TRAFFIC_SCHEDULE_NONE
               : other_day ? TRAFFIC_SCHEDULE_OTHER_DAY : TRAFFIC_SCHEDULE_IN_FORCE;
    if (t->warned_day == today || (t->state != TRAFFIC_SCHEDULE_MISSING && t->state != TRAFFIC_SCHEDULE_OTHER_DAY))
        return;
    t->warned_day = today;
    if (t->state == TRAFFIC_SCHEDULE_MISSING)
        say(lines, LOG_ERROR, "no schedule for today: no file [%s]; %s%s%s", path.c_str(),
            t->sched ? "the schedule in force stays [" : "breaks air the filler", t->sched ? t->sched->path : "",
            t->sched ? "]" : "");
    else
        say(lines, LOG_ERROR, "schedule [%s] is dated %02d/%02d, not today (%02d/%02d): its windows are not today's, "
            "breaks air the filler", t->sched->path, dated->month, dated->day, month, day);
}

/* Reads the schedule file when it is new or rewritten; the one it replaces is saved a last time. */
void check_schedule(traffic *t, int64_t now_ms, line_list *lines)
{
    std::string path = schedule_file(t, now_ms);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        std::lock_guard<std::mutex> guard(t->lock);
        update_state(t, path, false, false, now_ms, lines);  // not there (yet): whatever is in force stays
        return;
    }
    file_id id = {path, st.st_dev, st.st_ino, st.st_size, (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec};
    {
        std::lock_guard<std::mutex> guard(t->lock);
        if (id == t->in_force || id == t->refused) {
            update_state(t, path, true, id == t->refused, now_ms, lines);
            return;
        }
    }
    schedule *s = nullptr, *old = nullptr;
    std::pair<line_list *, const char *> warn(lines, path.c_str());
    int ret = schedule_load(path.c_str(), now_ms, &s, collect_warning, &warn);
    char *text = nullptr;
    size_t size = 0;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        if (ret < 0) {
            t->refused = id;
            say(lines, LOG_ERROR, "schedule [%s] cannot be used: %s; %s%s%s", path.c_str(),
                ret == -ENODATA ? "no record can be read" : strerror(-ret),
                t->sched ? "the schedule in force stays [" : "no schedule is in force",
                t->sched ? t->sched->path : "", t->sched ? "]" : "");
            update_state(t, path, true, true, now_ms, lines);
            return;
        }
        put_in_force(t, s, id, &old, now_ms, lines);
        t->warned_day = -1;  // a new schedule of another day is said at once
        update_state(t, path, true, false, now_ms, lines);
        text = old ? verification_text(old, &size) : nullptr;
    }
    if (old) {
        char path_old[SCHEDULE_PATH_SIZE];
        if (text && verification_path(old->path, t->verification_option.c_str(), path_old, sizeof(path_old)) == 0)
            verification_save(path_old, text, size);
        free(text);
        schedule_destroy(&old);
    }
}

/* Reads the spots asked for (all of a new schedule's, while they fit), outside the lock. */
void read_spots(traffic *t, int64_t now_ms)
{
    std::vector<std::string> ids;
    std::vector<std::pair<int, int>> asked;
    bool all;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        std::vector<int> recs;
        if (!t->sched)
            return;
        all = t->read_all;
        for (int i = 0; all && i < t->sched->count; i++)
            if (t->sched->records[i].window_ms + (int64_t)t->sched->records[i].window_minutes * 60000 > now_ms)
                recs.push_back(i);
        std::stable_sort(recs.begin(), recs.end(), [t](int a, int b) {
            return t->sched->records[a].window_ms < t->sched->records[b].window_ms;
        });
        for (const auto &want : t->wanted) {
            int idx[REP_MAX_SPOTS];
            int k = schedule_break_records(t->sched, want.first, want.second, idx, REP_MAX_SPOTS);
            recs.insert(recs.begin(), idx, idx + k);
        }
        asked.swap(t->wanted);
        t->read_all = false;
        for (int i : recs) {
            const schedule_record *r = &t->sched->records[i];
            spot *sp = r->type == SCHEDULE_LOI ? spot_store_want(t->store, r->spot_id) : nullptr;
            if (!sp)
                continue;
            sp->needed_at = std::min(sp->needed_at, r->window_ms);
            if (sp->state == SPOT_WANTED && std::find(ids.begin(), ids.end(), sp->id) == ids.end())
                ids.push_back(sp->id);
        }
    }
    for (const std::string &id : ids) {
        char file[EVENT_SPOT_FILE_SIZE];
        filler_ctx *media = nullptr;
        uint64_t stamp = spot_stamp(t->spots_dir.c_str(), id.c_str());  // before: a change while read reads again
        int ret = spot_read(t->spots_dir.c_str(), id.c_str(), file, sizeof(file), &media);
        std::lock_guard<std::mutex> guard(t->lock);
        spot *sp = spot_store_find(t->store, id.c_str());
        int state = sp && !sp->media ? spot_store_put(t->store, sp, ret, file, media, t->programme) : -1;
        if (state < 0)
            filler_destroy(&media);
        else
            sp->stamp = stamp;
        if (all && state == SPOT_WANTED)
            break;  // the cache is full: the rest are read when their breaks come nearer
    }
    std::lock_guard<std::mutex> guard(t->lock);
    for (const auto &want : asked) {
        int idx[REP_MAX_SPOTS];
        int k = t->sched ? schedule_break_records(t->sched, want.first, want.second, idx, REP_MAX_SPOTS) : 0;
        for (int i = 0; i < k; i++) {
            spot *sp = spot_store_find(t->store, t->sched->records[idx[i]].spot_id);
            if (sp && sp->state == SPOT_WANTED) {
                t->retry.push_back(want);
                break;
            }
        }
    }
}

/* The time (ns) of the folder at path; 0 when it is not there. */
int64_t folder_time(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec : 0;
}

/*
 * When a file landed in the spots folder or a copy was made in its cache
 * (a folder's time moved), the spots whose files changed since they were
 * read are let go, to be read again (all the schedule's spots asked for).
 * A spot on air is let go at a later look.
 */
void check_spot_files(traffic *t)
{
    char cache[CONFORM_PATH_SIZE];
    conform_cache_dir(t->spots_dir.c_str(), cache, sizeof(cache));
    int64_t now[2] = {folder_time(t->spots_dir), folder_time(cache)};
    if (now[0] == t->files_seen[0] && now[1] == t->files_seen[1])
        return;
    std::vector<std::pair<std::string, uint64_t>> held;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        for (int i = 0; spot *sp = spot_store_at(t->store, i); i++)
            held.emplace_back(sp->id, sp->stamp);
    }
    for (auto &h : held)
        h.second = spot_stamp(t->spots_dir.c_str(), h.first.c_str()) != h.second;
    bool all = true;
    std::lock_guard<std::mutex> guard(t->lock);
    for (const auto &h : held) {
        spot *sp = h.second ? spot_store_find(t->store, h.first.c_str()) : nullptr;
        if (sp && !spot_store_unread(t->store, sp))
            all = false;
        t->read_all |= sp != nullptr;
    }
    if (all) {
        t->files_seen[0] = now[0];
        t->files_seen[1] = now[1];
    }
}

/*
 * Says, once for each record and status, which spots of the windows that
 * begin within TRAFFIC_WARN_AHEAD_MS of now_ms (or are under way) will not
 * air, as soon as that is known.
 */
void warn_ahead(traffic *t, int64_t now_ms, line_list *lines)
{
    std::lock_guard<std::mutex> guard(t->lock);
    for (int i = 0; t->sched && i < t->sched->count; i++) {
        schedule_record *r = &t->sched->records[i];
        if (r->type != SCHEDULE_LOI || r->status != SCHEDULE_STATUS_OPEN ||
            r->window_ms > now_ms + TRAFFIC_WARN_AHEAD_MS || r->window_ms + (int64_t)r->window_minutes * 60000 <= now_ms)
            continue;
        char why[EVENT_SPOT_WHY_SIZE];
        int status;
        if (outlook_of(t, r, &status, why, sizeof(why)) != TRAFFIC_SPOT_WILL_NOT_AIR || status == r->warned_status)
            continue;
        r->warned_status = status;
        say(lines, LOG_ERROR, "break %d of the window at %s: spot %s will not air (%04d): %s", r->break_number,
            clock_text(r->window_ms).c_str(), r->spot_id, status, why);
    }
}

/* Says, once each, which spots cannot air. */
void report_spots(traffic *t, line_list *lines)
{
    std::lock_guard<std::mutex> guard(t->lock);
    for (int i = 0; spot *sp = spot_store_at(t->store, i); i++) {
        bool ready = sp->state == SPOT_READY || sp->state == SPOT_READ;
        if (sp->reported || (sp->state != SPOT_MISSING && sp->state != SPOT_UNUSABLE && !ready))
            continue;
        sp->reported = 1;
        char why[SPOT_WHY_SIZE] = "";
        for (int k = 0; ready && t->sched && !why[0] && k < t->sched->count; k++) {
            const schedule_record *r = &t->sched->records[k];
            if (r->type == SCHEDULE_LOI && strcmp(r->spot_id, sp->id) == 0)
                spot_short(sp, r->length, why, sizeof(why));
        }
        if (why[0])
            say(lines, LOG_ERROR, "spot %s [%s] cannot air: %s", sp->id, sp->file, why);
        else if (ready)
            say(lines, LOG_INFO, "spot %s [%s]: ready, %.2f s", sp->id, sp->file, sp->length / 90000.0);
        else if (sp->state == SPOT_MISSING)
            say(lines, LOG_ERROR, "spot %s: no file %s.ts in [%s]", sp->id, sp->id, t->spots_dir.c_str());
        else
            say(lines, LOG_ERROR, "spot %s [%s] cannot air: %s", sp->id, sp->file, sp->why);
    }
}

/* Rewrites the verification file when it is behind. 0 or the write's error (reported). */
int save_verification(traffic *t, line_list *lines)
{
    std::string path;
    size_t size = 0;
    char *text = nullptr;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        if (!t->dirty || !t->sched || t->ver_path.empty())
            return 0;
        text = verification_text(t->sched, &size);
        path = t->ver_path;
        t->dirty = !text;
    }
    int ret = text ? verification_save(path.c_str(), text, size) : -ENOMEM;
    free(text);
    int64_t now = wall_now_ms();
    std::lock_guard<std::mutex> guard(t->lock);
    if (ret < 0) {
        t->dirty = true;
        if (!t->ver_failing || now - t->ver_logged_ms >= 60000) {
            t->ver_logged_ms = now;
            say(lines, LOG_ERROR, "cannot write the verification file [%s]: %s; retried until it can be",
                path.c_str(), strerror(-ret));
        }
    } else if (t->ver_failing) {
        say(lines, LOG_INFO, "verification file [%s] written again", path.c_str());
    }
    t->ver_failing = ret < 0;
    return ret;
}

} // namespace

namespace {

int poll_unguarded(traffic *t, int64_t now_ms)
{
    line_list lines;
    check_schedule(t, now_ms, &lines);
    {
        std::lock_guard<std::mutex> guard(t->lock);
        close_windows(t, t->sched, now_ms, &lines);
    }
    check_spot_files(t);
    read_spots(t, now_ms);
    report_spots(t, &lines);
    warn_ahead(t, now_ms, &lines);
    int ret = save_verification(t, &lines);
    report(t, lines);
    return ret;
}

} // namespace

/* The demo calls it from its event sink: out of memory, -ENOMEM and the work waits for the next call. */
int traffic_poll(traffic *t, int64_t now_ms)
{
    if (!t)
        return -EINVAL;
    try {
        return poll_unguarded(t, now_ms);
    } catch (...) {
        say_short_of_memory(t, "traffic: out of memory, the schedule's file work waits for the next turn");
        return -ENOMEM;
    }
}
