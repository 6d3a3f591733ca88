/*
 * The conform thread: one file at a time, the schedule's spots in the
 * The conform thread: one file at a time, the schedule's spots in the
 * order they air (each to the length its records sell) and the filler
 * first, each conformed by a process of its own at the lowest priority
 * (service/conform_worker.h) while the thread waits for it; its counts into
 * the channel status and each outcome into the log. The thread itself runs
 * at the service's priority: what it holds (the traffic's lock to read the
 * schedule, the logger) it lets go at once. The channel's format is kept
 * beside the copies, so that the next start conforms before its input comes.
 */
#include "service/conform_thread.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/trace.h"
#include "common/utils.h"
#include "conform/conform.h"
#include "service/app_ctx.h"
#include "service/conform_worker.h"
#include "traffic/schedule.h"
#include "traffic/spots.h"
#include "traffic/traffic.h"

#define CONFORM_THREAD_PERIOD_MS 500  // how often the schedule in force is looked at
#define CONFORM_THREAD_NAME "slicer_conform"

struct conform_item {
    std::string dir, name;
    bool spot;
    int seconds;  // the length a spot's records sell; 0: the file's own
};

struct conform_thread {
    app_ctx *app;
    traffic *traffic_ctx;
    std::thread thread;
    std::atomic<int> stop{0};
    std::mutex lock;                       // guards what follows
    std::condition_variable wake;
    bool has_target = false;
    conform_target target;
    std::deque<conform_item> queue;
    int busy = 0;                          // a spot being conformed
    std::map<std::string, int> outcome;    // spot file name -> conform_status
    std::string filler_copy;               // the filler's conformed copy, until the session takes it
    bool keep_target = false;              // a session told a new format: the thread keeps it on file
    bool target_kept = false;              // the target in force is the one on file
    bool rescan = false;                   // the schedule's spots are to be queued again
    bool conforms = false;                 // there are files to conform; else the filler is only measured
    /* Thread's own: the schedule file last queued (path, size, time), the spots folder's time then. */
    std::string sched_path;
    int64_t sched_size = -1, sched_mtime = -1, spots_mtime = -1;
};

/* The counts into the channel status (under the lock). */
static void conform_thread_publish(conform_thread *c)
{
    int64_t done = 0, failed = 0, pending = c->busy;
    for (const auto &o : c->outcome) {
        done += o.second == CONFORM_CONFORMED || o.second == CONFORM_CHECKED || o.second == CONFORM_REMUXED;
        failed += o.second == CONFORM_FAILED;
    }
    for (const conform_item &i : c->queue)
        pending += i.spot;
    c->app->status.spots_conformed.store(done);
    c->app->status.spots_conform_pending.store(pending);
    c->app->status.spots_conform_failed.store(failed);
}

/* Queues item unless it waits already (under the lock); the filler goes first. */
static void conform_thread_queue(conform_thread *c, const conform_item &item)
{
    for (const conform_item &i : c->queue)
        if (i.dir == item.dir && i.name == item.name)
            return;
    if (item.spot)
        c->queue.push_back(item);
    else
        c->queue.push_front(item);
}

/*
 * The filler's file, when it is to be conformed: a name that does not end
 * in .ts, as the demo decides, or any with --normalize-filler.
 */
static bool conform_thread_filler_item(const app_ctx *app, conform_item *out)
{
    const char *path = app->filler_path, *dot = strrchr(path, '.'), *slash = strrchr(path, '/');
    out->dir = slash ? std::string(path, (size_t)(slash - path)) : ".";
    out->name = slash ? slash + 1 : path;
    out->spot = false;
    out->seconds = 0;
    return app->filler_normalize || !dot || (slash && dot < slash) || strcmp(dot, ".ts") != 0;
}

/* Where the channel's format is kept: beside the spots' copies, else the filler's; one file per control port. */
static std::string conform_thread_format_file(const app_ctx *app)
{
    char cache[CONFORM_PATH_SIZE];
    conform_item filler;
    conform_thread_filler_item(app, &filler);
    conform_cache_dir(app->spots_dir[0] ? app->spots_dir : filler.dir.c_str(), cache, sizeof(cache));
    return std::string(cache) + "/format-" + std::to_string(app->port) + ".txt";
}

/*
 * Whether item's copy is made for target t, for its source as it is now,
 * with the outcome known already (nothing to queue): its record is read,
 * the source hashed only when its size or time changed.
 */
static bool conform_thread_known(const std::map<std::string, int> &outcome, conform_target t, const conform_item &item)
{
    auto was = outcome.find(item.name);
    if (was == outcome.end())
        return false;
    char cache[CONFORM_PATH_SIZE];
    conform_result res;
    t.length = item.seconds;
    conform_cache_dir(item.dir.c_str(), cache, sizeof(cache));
    int ret = conform_cached(item.dir.c_str(), item.name.c_str(), cache, &t, &res, nullptr, 0);
    return (ret == 0 || ret == CONFORM_ERR_FAILED) && res.status == was->second;
}

/*
 * Queues the spots of the schedule in force when it is new or was written
 * since it was last looked at, or a file landed in the spots folder: each
 * LOI record's file once, in the order of the file, but those whose copy
 * is made already for the file as it is. The outcomes of files it no
 * longer names are forgotten.
 */
static void conform_thread_schedule(conform_thread *c)
{
    if (!c->traffic_ctx)
        return;
    traffic_stats st;
    traffic_get_stats(c->traffic_ctx, &st);
    struct stat sb, sd;
    if (!st.schedule[0] || stat(st.schedule, &sb) != 0)
        return;
    int64_t mtime = (int64_t)sb.st_mtim.tv_sec * 1000000000 + sb.st_mtim.tv_nsec;
    int64_t spots = stat(c->app->spots_dir, &sd) == 0 ? (int64_t)sd.st_mtim.tv_sec * 1000000000 + sd.st_mtim.tv_nsec : 0;
    bool rescan;
    {
        std::lock_guard<std::mutex> guard(c->lock);
        rescan = c->rescan;
        c->rescan = false;
    }
    if (!rescan && c->sched_path == st.schedule && c->sched_size == (int64_t)sb.st_size && c->sched_mtime == mtime &&
        c->spots_mtime == spots)
        return;  // a file landing in the spots folder changes its time
    c->sched_path = st.schedule;
    c->sched_size = (int64_t)sb.st_size;
    c->sched_mtime = mtime;
    c->spots_mtime = spots;
    schedule *s = nullptr;
    if (schedule_load(st.schedule, (int64_t)log_now_ms(), &s, nullptr, nullptr) < 0)
        return;  // the traffic says why and keeps the schedule in force: so does the queue
    spot_file *files = nullptr;
    int n = spot_files(s, c->app->spots_dir, &files);  // no file: the traffic reports it missing
    schedule_destroy(&s);
    std::deque<conform_item> found;
    for (int i = 0; i < n; i++)
        found.push_back({c->app->spots_dir, files[i].file, true, files[i].seconds});
    free(files);
    std::map<std::string, int> outcome;
    conform_target target;
    bool has_target;
    {
        std::lock_guard<std::mutex> guard(c->lock);
        outcome = c->outcome;
        target = c->target;
        has_target = c->has_target;
    }
    std::vector<bool> known;
    for (const conform_item &i : found)
        known.push_back(has_target && conform_thread_known(outcome, target, i));
    std::lock_guard<std::mutex> guard(c->lock);
    for (auto it = c->outcome.begin(); it != c->outcome.end();) {
        bool named =
            std::any_of(found.begin(), found.end(), [&](const conform_item &i) { return i.name == it->first; });
        it = named ? std::next(it) : c->outcome.erase(it);
    }
    c->queue.erase(std::remove_if(c->queue.begin(), c->queue.end(), [](const conform_item &i) { return i.spot; }),
                   c->queue.end());
    for (size_t i = 0; i < found.size(); i++)
        if (!known[i])
            conform_thread_queue(c, found[i]);
    conform_thread_publish(c);
}

/* Conforms one file to target; its outcome into the log and the counts. */
static void conform_thread_one(conform_thread *c, const conform_item &item, const conform_target &target)
{
    char cache[CONFORM_PATH_SIZE];
    conform_result res = {};
    conform_cache_dir(item.dir.c_str(), cache, sizeof(cache));
    const char *what = item.spot ? "spot file" : "filler";
    int ret = conform_worker_run(item.dir.c_str(), item.name.c_str(), cache, &target, &res, &c->stop);
    if (ret == -ECHILD)
        ret = CONFORM_ERR_FAILED;  // no outcome (a crash): this file only, tried again at the next start
    if (ret == -EINTR) {
        log_printf(LOG_INFO, "%s: %s [%s]: abandoned at the stop, done again at the next start", CONFORM_THREAD_NAME,
                   what, item.name.c_str());
        return;
    }
    if (ret >= 0 && ret != 1)
        log_printf(LOG_INFO, "%s: %s [%s]: %s, %.2f s (%lld pictures; %.2f s delivered), loudness %.1f -> %.1f LUFS%s%s",
                   CONFORM_THREAD_NAME, what, item.name.c_str(), conform_status_name(res.status), res.seconds,
                   (long long)res.pictures, res.source_seconds, res.before, res.after, res.why[0] ? "; " : "", res.why);
    else if (ret == 1)
        log_printf(LOG_INFO, "%s: %s [%s]: %s before", CONFORM_THREAD_NAME, what, item.name.c_str(),
                   conform_status_name(res.status));
    else
        log_printf(LOG_ERROR, "%s: %s [%s] cannot be conformed: %s", CONFORM_THREAD_NAME, what, item.name.c_str(),
                   ret == CONFORM_ERR_FAILED ? res.why : strerror(-ret));
    if (!item.spot && ret >= 0)
        status_set_filler_loudness(&c->app->status, res.after);
    std::lock_guard<std::mutex> guard(c->lock);
    if (item.spot)
        c->outcome[item.name] = ret >= 0 ? res.status : CONFORM_FAILED;
    else if (ret == 0)  // a copy there before was loaded at the start
        c->filler_copy = std::string(cache) + "/" + item.name + ".ts";
}

/* The loudness of a filler that airs as it is, into the log and the status. */
static void conform_thread_measure_filler(conform_thread *c)
{
    conform_item filler;
    conform_result res;
    if (conform_thread_filler_item(c->app, &filler))
        return;  // conformed: its copy's loudness is said
    int ret = conform_worker_measure(c->app->filler_path, &res, &c->stop);
    if (ret == -EINTR)
        return;
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: filler [%s]: its loudness cannot be measured: %s", CONFORM_THREAD_NAME,
                   filler.name.c_str(), res.why);
        return;
    }
    log_printf(fabs(res.before - c->app->loudness) > CONFORM_TOLERANCE ? LOG_ERROR : LOG_INFO,
               "%s: filler [%s]: loudness %.1f LUFS, true peak %.1f dBTP, spots at %.1f LUFS; it airs as it is "
               "(--normalize-filler conforms it)", CONFORM_THREAD_NAME, filler.name.c_str(), res.before,
               std::isfinite(res.peak) ? res.peak : -99.0, c->app->loudness);
    status_set_filler_loudness(&c->app->status, res.before);
}

/* Keeps the format a session told in its file, for the next start (thread's own). */
static void conform_thread_keep_target(conform_thread *c)
{
    conform_target t;
    {
        std::lock_guard<std::mutex> guard(c->lock);
        if (!c->keep_target)
            return;
        c->keep_target = false;
        t = c->target;
    }
    std::string kept = conform_thread_format_file(c->app);
    std::string dir = kept.substr(0, kept.rfind('/'));
    int ret = mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST ? conform_target_save(kept.c_str(), &t) : -errno;
    if (ret < 0)
        log_printf(LOG_ERROR, "%s: cannot keep the channel's format in [%s]: %s; the next start conforms once its "
                   "input comes", CONFORM_THREAD_NAME, kept.c_str(), strerror(-ret));
}

static void conform_thread_body(conform_thread *c)
{
    utils_name_thread("conform");
    try {
        conform_thread_measure_filler(c);
        while (c->conforms && !c->stop.load()) {
            conform_thread_keep_target(c);
            conform_thread_schedule(c);
            conform_item item;
            conform_target target;
            {
                std::unique_lock<std::mutex> guard(c->lock);
                if (!c->has_target || c->queue.empty()) {
                    c->wake.wait_for(guard, std::chrono::milliseconds(CONFORM_THREAD_PERIOD_MS));
                    continue;
                }
                item = c->queue.front();
                c->queue.pop_front();
                target = c->target;
                target.length = item.seconds;
                c->busy = item.spot;
                conform_thread_publish(c);
            }
            conform_thread_one(c, item, target);
            std::lock_guard<std::mutex> guard(c->lock);
            c->busy = 0;
            conform_thread_publish(c);
        }
    } catch (...) {
        log_printf(LOG_ERROR, "%s: the conform thread stopped on an exception", CONFORM_THREAD_NAME);
    }
}

/*
 * The channel's format before any session: --format-from's recording, else
 * the one kept from the last session. Conforming starts with it at once.
 */
static void conform_thread_known_format(conform_thread *c)
{
    std::string kept = conform_thread_format_file(c->app);
    const char *from = c->app->format_from[0] ? c->app->format_from : kept.c_str();
    int ret = c->app->format_from[0] ? conform_target_from_file(from, c->app->loudness, &c->target)
                                      : conform_target_load(from, c->app->loudness, &c->target);
    if (ret < 0) {
        char err[ERR_TEXT_SIZE];
        if (c->app->format_from[0] || ret != -ENOENT)
            log_printf(LOG_ERROR, "%s: no channel format in [%s]: %s; spots are conformed once the input comes",
                       CONFORM_THREAD_NAME, from, ret == -EINVAL ? "no video stream, or not a format file"
                                                                 : err_to_str(err, sizeof(err), ret));
        return;
    }
    char text[512];
    conform_target_text(&c->target, text, sizeof(text));
    log_printf(LOG_INFO, "%s: spots and filler are conformed to %s, %s [%s], before the input comes",
               CONFORM_THREAD_NAME, text, c->app->format_from[0] ? "the format of" : "the format kept in", from);
    c->has_target = true;
    c->target_kept = !c->app->format_from[0];
}

int conform_thread_start(app_ctx *app, traffic *traffic_ctx, conform_thread **out)
{
    *out = nullptr;
    conform_item filler;
    bool has_filler = conform_thread_filler_item(app, &filler);
    conform_thread *c = new (std::nothrow) conform_thread();
    if (!c) {
        log_printf(LOG_ERROR, "%s: no memory for the conform thread", CONFORM_THREAD_NAME);
        return -ENOMEM;
    }
    c->app = app;
    c->traffic_ctx = traffic_ctx;
    c->conforms = traffic_ctx || has_filler;
    if (has_filler)
        c->queue.push_back(filler);
    if (c->conforms)
        conform_thread_known_format(c);
    try {
        c->thread = std::thread(conform_thread_body, c);
    } catch (...) {
        log_printf(LOG_ERROR, "%s: the conform thread cannot start", CONFORM_THREAD_NAME);
        delete c;
        return -ENOMEM;
    }
    *out = c;
    return 0;
}

void conform_thread_set_target(conform_thread *c, const AVFormatContext *programme, const AVFormatContext *input)
{
    conform_target t;
    if (!c || !c->conforms || !programme || conform_target_from(programme, input, c->app->loudness, &t) < 0)
        return;  // nothing to conform, or no video to conform to: files are used as they are
    std::lock_guard<std::mutex> guard(c->lock);
    if (c->has_target && memcmp(&t, &c->target, sizeof(t)) == 0) {
        c->keep_target |= !c->target_kept;  // --format-from's is the session's: kept for a start without it
        c->target_kept = true;
        return;
    }
    char text[512];
    conform_target_text(&t, text, sizeof(text));
    log_printf(LOG_INFO, "%s: spots and filler are conformed to %s", CONFORM_THREAD_NAME, text);
    c->keep_target = true;  // the thread keeps it for the next start
    c->target_kept = true;
    bool again = c->has_target;
    c->target = t;
    c->has_target = true;
    if (again) {
        /* Everything done for the format before is done again for this one: the schedule's spots queued anew. */
        conform_item filler;
        c->outcome.clear();
        c->rescan = true;
        if (conform_thread_filler_item(c->app, &filler))
            conform_thread_queue(c, filler);
    }
    conform_thread_publish(c);
    c->wake.notify_one();
}

int conform_thread_filler(conform_thread *c, char *path, size_t size)
{
    if (!c)
        return 0;
    std::lock_guard<std::mutex> guard(c->lock);
    if (c->filler_copy.empty())
        return 0;
    utils_strlcpy(path, c->filler_copy.c_str(), size);
    c->filler_copy.clear();
    return 1;
}

int conform_thread_filler_at_start(const app_ctx *app, char *path, size_t size)
{
    utils_strlcpy(path, app->filler_path, size);
    conform_item filler;
    char cache[CONFORM_PATH_SIZE], copy[CONFORM_PATH_SIZE];
    conform_result res;
    if (!conform_thread_filler_item(app, &filler))
        return 0;
    conform_cache_dir(filler.dir.c_str(), cache, sizeof(cache));
    if (conform_cached(filler.dir.c_str(), filler.name.c_str(), cache, nullptr, &res, copy, sizeof(copy)) != 0)
        return -EAGAIN;
    utils_strlcpy(path, copy, size);
    return 1;
}

void conform_thread_stop(conform_thread **p)
{
    conform_thread *c = *p;
    if (!c)
        return;
    {
        std::lock_guard<std::mutex> guard(c->lock);
        c->stop.store(1);
        c->wake.notify_one();
    }
    if (c->thread.joinable())
        c->thread.join();
    delete c;
    *p = nullptr;
}
