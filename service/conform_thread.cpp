/*
 * The conform thread: one file at a time, the schedule's spots in the
 * order they air and the filler first, each conformed by a process of its
 * own at the lowest priority (service/conform_worker.h) while the thread
 * waits for it; its counts into the channel status and each outcome into
 * the log. The thread itself runs at the service's priority: what it holds
 * (the traffic's lock to read the schedule, the logger) it lets go at once.
 */
#include "service/conform_thread.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "common/log.h"
#include "common/utils.h"
#include "conform/conform.h"
#include "service/app_ctx.h"
#include "service/conform_worker.h"
#include "traffic/schedule.h"
#include "traffic/traffic.h"

#define CONFORM_THREAD_PERIOD_MS 500  // how often the schedule in force is looked at
#define CONFORM_THREAD_NAME "slicer_conform"

struct conform_item {
    std::string dir, name;
    bool spot;
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
    /* Thread's own: the schedule file last queued (path, size, time). */
    std::string sched_path;
    int64_t sched_size = -1, sched_mtime = -1;
};

/* The counts into the channel status (under the lock). */
static void conform_thread_publish(conform_thread *c)
{
    int64_t done = 0, failed = 0, pending = c->busy;
    for (const auto &o : c->outcome) {
        done += o.second == CONFORM_CONFORMED || o.second == CONFORM_CHECKED;
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

/* The filler's file, when it is to be conformed: a name that does not end in .ts, as the demo decides. */
static bool conform_thread_filler_item(const app_ctx *app, conform_item *out)
{
    const char *path = app->filler_path, *dot = strrchr(path, '.'), *slash = strrchr(path, '/');
    if (dot && (!slash || dot > slash) && strcmp(dot, ".ts") == 0)
        return false;
    out->dir = slash ? std::string(path, (size_t)(slash - path)) : ".";
    out->name = slash ? slash + 1 : path;
    out->spot = false;
    return true;
}

/*
 * Queues the spots of the schedule in force when it is new or was written
 * since it was last looked at: each LOI record's file once, in the order
 * of the file. The outcomes of files it no longer names are forgotten.
 */
static void conform_thread_schedule(conform_thread *c)
{
    if (!c->traffic_ctx)
        return;
    traffic_stats st;
    traffic_get_stats(c->traffic_ctx, &st);
    struct stat sb;
    if (!st.schedule[0] || stat(st.schedule, &sb) != 0)
        return;
    int64_t mtime = (int64_t)sb.st_mtim.tv_sec * 1000000000 + sb.st_mtim.tv_nsec;
    if (c->sched_path == st.schedule && c->sched_size == (int64_t)sb.st_size && c->sched_mtime == mtime)
        return;
    c->sched_path = st.schedule;
    c->sched_size = (int64_t)sb.st_size;
    c->sched_mtime = mtime;
    schedule *s = nullptr;
    if (schedule_load(st.schedule, (int64_t)log_now_ms(), &s, nullptr, nullptr) < 0)
        return;  // the traffic says why and keeps the schedule in force: so does the queue
    std::deque<conform_item> found;
    for (int i = 0; i < s->count; i++) {
        char name[EVENT_SPOT_FILE_SIZE];
        if (s->records[i].type != SCHEDULE_LOI ||
            conform_find_source(c->app->spots_dir, s->records[i].spot_id, name, sizeof(name)) < 0)
            continue;  // no file: the traffic reports it missing
        found.push_back({c->app->spots_dir, name, true});
    }
    schedule_destroy(&s);
    std::lock_guard<std::mutex> guard(c->lock);
    for (auto it = c->outcome.begin(); it != c->outcome.end();) {
        bool named =
            std::any_of(found.begin(), found.end(), [&](const conform_item &i) { return i.name == it->first; });
        it = named ? std::next(it) : c->outcome.erase(it);
    }
    c->queue.erase(std::remove_if(c->queue.begin(), c->queue.end(), [](const conform_item &i) { return i.spot; }),
                   c->queue.end());
    for (const conform_item &i : found)
        conform_thread_queue(c, i);
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
        log_printf(LOG_INFO, "%s: %s [%s]: %s, %.2f s, loudness %.1f -> %.1f LUFS", CONFORM_THREAD_NAME, what,
                   item.name.c_str(), conform_status_name(res.status), res.seconds, res.before, res.after);
    else if (ret == 1)
        log_printf(LOG_INFO, "%s: %s [%s]: %s before", CONFORM_THREAD_NAME, what, item.name.c_str(),
                   conform_status_name(res.status));
    else
        log_printf(LOG_ERROR, "%s: %s [%s] cannot be conformed: %s", CONFORM_THREAD_NAME, what, item.name.c_str(),
                   ret == CONFORM_ERR_FAILED ? res.why : strerror(-ret));
    std::lock_guard<std::mutex> guard(c->lock);
    if (item.spot)
        c->outcome[item.name] = ret >= 0 ? res.status : CONFORM_FAILED;
    else if (ret == 0)  // a copy there before was loaded at the start
        c->filler_copy = std::string(cache) + "/" + item.name + ".ts";
}

static void conform_thread_body(conform_thread *c)
{
    utils_name_thread("conform");
    try {
        while (!c->stop.load()) {
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

int conform_thread_start(app_ctx *app, traffic *traffic_ctx, conform_thread **out)
{
    *out = nullptr;
    conform_item filler;
    bool has_filler = conform_thread_filler_item(app, &filler);
    if (!traffic_ctx && !has_filler)
        return 0;
    conform_thread *c = new (std::nothrow) conform_thread();
    if (!c) {
        log_printf(LOG_ERROR, "%s: no memory for the conform thread", CONFORM_THREAD_NAME);
        return -ENOMEM;
    }
    c->app = app;
    c->traffic_ctx = traffic_ctx;
    if (has_filler)
        c->queue.push_back(filler);
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
    if (!c || !programme || conform_target_from(programme, input, c->app->loudness, &t) < 0)
        return;  // no video to conform to: files are used as they are
    std::lock_guard<std::mutex> guard(c->lock);
    if (c->has_target && memcmp(&t, &c->target, sizeof(t)) == 0)
        return;
    char text[512];
    conform_target_text(&t, text, sizeof(text));
    log_printf(LOG_INFO, "%s: spots and filler are conformed to %s", CONFORM_THREAD_NAME, text);
    bool again = c->has_target;
    c->target = t;
    c->has_target = true;
    if (again) {
        /* Everything done for the format before is done again for this one. */
        conform_item filler;
        for (const auto &o : c->outcome)
            conform_thread_queue(c, {c->app->spots_dir, o.first, true});
        c->outcome.clear();
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
