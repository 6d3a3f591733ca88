/*
 * The traffic's file work (traffic_poll, on the service's traffic thread or
 * between the demo's packets): picks up a new or rewritten schedule, closes
 * the windows that ended, reads the spots asked for (all of a new schedule's
 * while they fit), watches the spot files and their conformed copies, says
 * which spots will not air, rewrites the verification file when it is
 * behind. The lock is taken for each look at the record, never across a file
 * access.
 */
#include "traffic/traffic_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/utils.h"
#include "conform/conform.h"
#include "splice/filler.h"
#include "splice/rep_ctx.h"
#include "traffic/verification.h"

namespace {

/* The schedule file to use at now_ms: the option, or the day's file in the folder it names; "" none. */
std::string schedule_file(const traffic *t, int64_t now_ms)
{
    char path[SCHEDULE_PATH_SIZE];
    return schedule_day_file(t->files.schedule_option.c_str(), now_ms, t->files.channel.c_str(),
                             t->files.headend.c_str(), path, sizeof(path)) == 0 ? path : std::string();
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
void close_windows(traffic *t, schedule *s, int64_t now_ms, traffic_notes *notes)
{
    int left = 0;
    /* A window a day past is no schedule's any more. */
    t->air.windows.erase(std::remove_if(t->air.windows.begin(), t->air.windows.end(), [now_ms](const traffic_window &w) {
        return w.start_ms + (int64_t)w.minutes * 60000 + 86400000 < now_ms;
    }), t->air.windows.end());
    for (int i = 0; s && i < s->count; i++) {
        schedule_record *r = &s->records[i];
        if ((r->type != SCHEDULE_LOI && r->type != SCHEDULE_NUL) || r->status != SCHEDULE_STATUS_OPEN ||
            r->window_ms + (int64_t)r->window_minutes * 60000 > now_ms)
            continue;
        traffic_window *ws = traffic_window_of(t, r, false);
        if (ws && r->break_number <= ws->started)
            continue;  // its break came: the break's end decides
        r->status = SCHEDULE_STATUS_NO_BREAK;
        t->air.spots_missed += r->type == SCHEDULE_LOI;
        t->dirty = true;
        left++;
    }
    if (left) {
        traffic_note &n = traffic_note_add(notes, EVENT_WINDOWS_CLOSED);
        n.schedule = s->path;
        n.count = left;
    }
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
void put_in_force(traffic *t, schedule *s, const traffic_file_id &id, schedule **old, int64_t now_ms, traffic_notes *notes)
{
    carry_over(s, t->sched);
    close_windows(t, t->sched, now_ms, notes);
    spot_store_prune(t->store, names_spot, s);
    /* A break under way finds its records in the new schedule by its window. */
    const schedule_record *running = t->air.planned_window >= 0 ? &t->sched->records[t->air.planned_window] : nullptr;
    int planned = -1;
    for (int i = 0; running && planned < 0 && i < s->count; i++)
        if ((s->records[i].type == SCHEDULE_LOI || s->records[i].type == SCHEDULE_NUL) &&
            schedule_same_window(&s->records[i], running))
            planned = i;
    *old = t->sched;
    t->sched = s;
    t->files.in_force = id;
    t->air.generation++;
    t->air.planned_window = planned;
    traffic_recount_unmeasured(t, false);
    t->air.wanted.clear();  // indexes into the schedule replaced: read_all asks again
    t->air.retry.clear();
    t->files.read_all = true;
    t->dirty = true;
    char path[SCHEDULE_PATH_SIZE];
    t->files.ver_path = verification_path(s->path, t->files.verification_option.c_str(), path, sizeof(path)) == 0 ? path : "";
    traffic_note &n = traffic_note_add(notes, EVENT_SCHEDULE_IN_FORCE);
    n.schedule = s->path;
    n.file = t->files.ver_path;
    n.count = s->spots;
}

/* The schedule reader's warning callback: out of memory, the warning is lost. */
void collect_warning(void *opaque, const char *text)
{
    std::pair<traffic_notes *, const char *> *w = (std::pair<traffic_notes *, const char *> *)opaque;
    try {
        traffic_note &n = traffic_note_add(w->first, EVENT_SCHEDULE_WARNING);
        n.schedule = w->second;
        n.text = text;
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
void update_state(traffic *t, const std::string &path, bool present, bool refused, int64_t now_ms, traffic_notes *notes)
{
    int month, day;
    int today = local_day(now_ms, &month, &day);
    const schedule_record *dated = nullptr;
    for (int i = 0; t->sched && !dated && i < t->sched->count; i++)
        if (t->sched->records[i].type == SCHEDULE_LOI || t->sched->records[i].type == SCHEDULE_NUL)
            dated = &t->sched->records[i];
    bool other_day = dated && (dated->month != month || dated->day != day);
    t->files.expected = path;
    t->files.state = !present ? TRAFFIC_SCHEDULE_MISSING
               : refused ? TRAFFIC_SCHEDULE_UNREADABLE
               : !t->sched ? TRAFFIC_SCHEDULE_NONE
               : other_day ? TRAFFIC_SCHEDULE_OTHER_DAY : TRAFFIC_SCHEDULE_IN_FORCE;
    if (t->files.warned_day == today || (t->files.state != TRAFFIC_SCHEDULE_MISSING && t->files.state != TRAFFIC_SCHEDULE_OTHER_DAY))
        return;
    t->files.warned_day = today;
    traffic_note &n = traffic_note_add(notes, t->files.state == TRAFFIC_SCHEDULE_MISSING ? EVENT_SCHEDULE_MISSING
                                                                                      : EVENT_SCHEDULE_OTHER_DAY);
    n.schedule = t->sched ? t->sched->path : "";
    n.file = path;
    if (dated) {
        n.where.month = dated->month;
        n.where.day = dated->day;
    }
    n.where.today_month = month;
    n.where.today_day = day;
}

/* Reads the schedule file when it is new or rewritten; the one it replaces is saved a last time. */
void check_schedule(traffic *t, int64_t now_ms, traffic_notes *notes)
{
    std::string path = schedule_file(t, now_ms);
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        std::lock_guard<std::mutex> guard(t->lock);
        update_state(t, path, false, false, now_ms, notes);  // not there (yet): whatever is in force stays
        return;
    }
    traffic_file_id id = {path, st.st_dev, st.st_ino, st.st_size, (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec};
    {
        std::lock_guard<std::mutex> guard(t->lock);
        if (id == t->files.in_force || id == t->files.refused) {
            update_state(t, path, true, id == t->files.refused, now_ms, notes);
            return;
        }
    }
    schedule *s = nullptr, *old = nullptr;
    std::pair<traffic_notes *, const char *> warn(notes, path.c_str());
    int ret = schedule_load(path.c_str(), now_ms, &s, collect_warning, &warn);
    char *text = nullptr;
    size_t size = 0;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        if (ret < 0) {
            t->files.refused = id;
            traffic_note &n = traffic_note_add(notes, EVENT_SCHEDULE_REFUSED);
            n.file = path;
            n.schedule = t->sched ? t->sched->path : "";
            n.result = ret;
            update_state(t, path, true, true, now_ms, notes);
            return;
        }
        put_in_force(t, s, id, &old, now_ms, notes);
        t->files.warned_day = -1;  // a new schedule of another day is said at once
        update_state(t, path, true, false, now_ms, notes);
        text = old ? verification_text(old, &size) : nullptr;
    }
    if (old) {
        char path_old[SCHEDULE_PATH_SIZE];
        if (text && verification_path(old->path, t->files.verification_option.c_str(), path_old, sizeof(path_old)) == 0)
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
        all = t->files.read_all;
        for (int i = 0; all && i < t->sched->count; i++)
            if (t->sched->records[i].window_ms + (int64_t)t->sched->records[i].window_minutes * 60000 > now_ms)
                recs.push_back(i);
        std::stable_sort(recs.begin(), recs.end(), [t](int a, int b) {
            return t->sched->records[a].window_ms < t->sched->records[b].window_ms;
        });
        for (const auto &want : t->air.wanted) {
            int idx[REP_MAX_SPOTS];
            int k = schedule_break_records(t->sched, want.first, want.second, idx, REP_MAX_SPOTS);
            recs.insert(recs.begin(), idx, idx + k);
        }
        asked.swap(t->air.wanted);
        t->files.read_all = false;
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
        uint64_t stamp = spot_stamp(t->files.spots_dir.c_str(), id.c_str());  // before: a change while read reads again
        int ret = spot_read(t->files.spots_dir.c_str(), id.c_str(), file, sizeof(file), &media);
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
                t->air.retry.push_back(want);
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
    conform_cache_dir(t->files.spots_dir.c_str(), cache, sizeof(cache));
    int64_t now[2] = {folder_time(t->files.spots_dir), folder_time(cache)};
    if (now[0] == t->files.files_seen[0] && now[1] == t->files.files_seen[1])
        return;
    std::vector<std::pair<std::string, uint64_t>> held;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        for (int i = 0; spot *sp = spot_store_at(t->store, i); i++)
            held.emplace_back(sp->id, sp->stamp);
    }
    for (auto &h : held)
        h.second = spot_stamp(t->files.spots_dir.c_str(), h.first.c_str()) != h.second;
    bool all = true;
    std::lock_guard<std::mutex> guard(t->lock);
    for (const auto &h : held) {
        spot *sp = h.second ? spot_store_find(t->store, h.first.c_str()) : nullptr;
        if (sp && !spot_store_unread(t->store, sp))
            all = false;
        t->files.read_all |= sp != nullptr;
    }
    if (all) {
        t->files.files_seen[0] = now[0];
        t->files.files_seen[1] = now[1];
    }
}

/*
 * Says, once for each record and status, which spots of the windows that
 * begin within TRAFFIC_WARN_AHEAD_MS of now_ms (or are under way) will not
 * air, as soon as that is known.
 */
void warn_ahead(traffic *t, int64_t now_ms, traffic_notes *notes)
{
    std::lock_guard<std::mutex> guard(t->lock);
    for (int i = 0; t->sched && i < t->sched->count; i++) {
        schedule_record *r = &t->sched->records[i];
        if (r->type != SCHEDULE_LOI || r->status != SCHEDULE_STATUS_OPEN ||
            r->window_ms > now_ms + TRAFFIC_WARN_AHEAD_MS || r->window_ms + (int64_t)r->window_minutes * 60000 <= now_ms)
            continue;
        char why[EVENT_SPOT_WHY_SIZE];
        int status;
        if (traffic_outlook_of(t, r, &status, why, sizeof(why)) != TRAFFIC_SPOT_WILL_NOT_AIR || status == r->warned_status)
            continue;
        r->warned_status = status;
        traffic_note &n = traffic_note_add(notes, EVENT_SPOT_WILL_NOT_AIR);
        n.has_spot = true;
        utils_strlcpy(n.spot.id, r->spot_id, sizeof(n.spot.id));
        n.text = why;
        n.where.window_ms = r->window_ms;
        n.where.break_number = r->break_number;
        n.where.status = status;
    }
}

/* Says, once each, which spots cannot air. */
void report_spots(traffic *t, traffic_notes *notes)
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
        traffic_note &n = traffic_note_add(notes, EVENT_SPOT_CHECKED);
        n.reason = why[0] ? EVENT_SPOT_CHECK_SHORT
                   : ready ? EVENT_SPOT_CHECK_READY
                   : sp->state == SPOT_MISSING ? EVENT_SPOT_CHECK_MISSING : EVENT_SPOT_CHECK_UNUSABLE;
        n.has_spot = true;
        utils_strlcpy(n.spot.id, sp->id, sizeof(n.spot.id));
        utils_strlcpy(n.spot.file, sp->file, sizeof(n.spot.file));
        n.spot.length = sp->length;
        n.text = why[0] ? why : n.reason == EVENT_SPOT_CHECK_UNUSABLE ? sp->why : "";
        n.file = t->files.spots_dir;
    }
}

/* Rewrites the verification file when it is behind. 0 or the write's error (reported). */
int save_verification(traffic *t, traffic_notes *notes)
{
    std::string path;
    size_t size = 0;
    char *text = nullptr;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        if (!t->dirty || !t->sched || t->files.ver_path.empty())
            return 0;
        text = verification_text(t->sched, &size);
        path = t->files.ver_path;
        t->dirty = !text;
    }
    int ret = text ? verification_save(path.c_str(), text, size) : -ENOMEM;
    free(text);
    int64_t now = traffic_wall_now_ms();
    std::lock_guard<std::mutex> guard(t->lock);
    if (ret < 0) {
        t->dirty = true;
        if (!t->files.ver_failing || now - t->files.ver_logged_ms >= 60000) {
            t->files.ver_logged_ms = now;
            traffic_note &n = traffic_note_add(notes, EVENT_VERIFICATION_FAILED);
            n.file = path;
            n.result = ret;
        }
    } else if (t->files.ver_failing) {
        traffic_note_add(notes, EVENT_VERIFICATION_BACK).file = path;
    }
    t->files.ver_failing = ret < 0;
    return ret;
}

} // namespace

namespace {

int poll_unguarded(traffic *t, int64_t now_ms)
{
    traffic_notes notes;
    check_schedule(t, now_ms, &notes);
    {
        std::lock_guard<std::mutex> guard(t->lock);
        close_windows(t, t->sched, now_ms, &notes);
    }
    check_spot_files(t);
    read_spots(t, now_ms);
    report_spots(t, &notes);
    warn_ahead(t, now_ms, &notes);
    int ret = save_verification(t, &notes);
    traffic_report(t, notes);
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
        traffic_short_of_memory(t, EVENT_MEMORY_FILES);
        return -ENOMEM;
    }
}
