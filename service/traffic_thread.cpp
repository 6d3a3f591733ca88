/*
 * The traffic thread: traffic_poll every TRAFFIC_THREAD_PERIOD_MS or when
 * a cue asks, its lines into the log, its counts into the status.
 */
#include "service/traffic_thread.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "common/log.h"
#include "event/event_text.h"
#include "service/app_ctx.h"
#include "traffic/traffic.h"
#include "common/utils.h"

struct traffic_thread {
    app_ctx *app;
    traffic *traffic_ctx;
    std::thread thread;
    std::atomic<int> stop{0};
};

/* The traffic's events, worded, into the log. */
static void traffic_thread_line(void *opaque, int severity, const char *text)
{
    (void)opaque;
    log_printf(severity, "%s: %s", "slicer_traffic", text);
}

static void traffic_thread_event(void *opaque, const event *ev)
{
    event_text(ev, traffic_thread_line, opaque);
}

/* One round of file work and the status it leaves. */
static void traffic_thread_poll(traffic_thread *t)
{
    traffic_stats st;

    traffic_spot_plan *plan = nullptr;

    traffic_poll(t->traffic_ctx, (int64_t)log_now_ms());
    traffic_get_stats(t->traffic_ctx, &st);
    status_set_schedule(&t->app->status, st.schedule, st.spots, st.spots_aired, st.spots_missed);
    status_set_traffic(&t->app->status, st.state, st.verification_failing);
    int n = traffic_plan(t->traffic_ctx, &plan);
    if (n >= 0)
        status_set_plan(&t->app->status, plan, n);
    free(plan);
}

static void traffic_thread_body(traffic_thread *t)
{
    utils_name_thread("traffic");
    try {
        while (!t->stop.load()) {
            traffic_wait(t->traffic_ctx, TRAFFIC_THREAD_PERIOD_MS);
            if (!t->stop.load())
                traffic_thread_poll(t);
        }
    } catch (...) {
        log_printf(LOG_ERROR, "%s: the traffic thread stopped on an exception", "slicer_traffic");
    }
}

/*
 * Where the verification files go: --verification, else the unit's state
 * directory (StateDirectory=kestrow/verification: under systemd the only
 * writable place besides the log's), else beside the schedule (null).
 */
static const char *traffic_thread_verification(const app_ctx *app, char *buf, size_t size)
{
    const char *state = getenv("STATE_DIRECTORY");
    if (app->verification_path[0] || !state || !state[0])
        return app->verification_path;
    size_t len = strcspn(state, ":");  // several directories: the first
    if (snprintf(buf, size, "%.*s", (int)len, state) >= (int)size)
        return app->verification_path;
    return buf;
}

int traffic_thread_start(app_ctx *app, const event_air_clock *clock, traffic_thread **out)
{
    *out = nullptr;
    if (!app->schedule_path[0])
        return 0;
    traffic_thread *t = new (std::nothrow) traffic_thread();
    char state_dir[APP_TEXT_SIZE];
    traffic_config config = {app->schedule_path, app->spots_dir, app->channel_id, app->headend_id,
                             traffic_thread_verification(app, state_dir, sizeof(state_dir)),
                             (int64_t)app->spot_cache << 20, clock, {traffic_thread_event, nullptr}};
    if (!t || traffic_create(&t->traffic_ctx, &config) < 0) {
        log_printf(LOG_ERROR, "%s: no memory for the traffic", "slicer_traffic");
        delete t;
        return -ENOMEM;
    }
    t->app = app;
    traffic_thread_poll(t);
    try {
        t->thread = std::thread(traffic_thread_body, t);
    } catch (...) {
        log_printf(LOG_ERROR, "%s: the traffic thread cannot start", "slicer_traffic");
        traffic_destroy(&t->traffic_ctx);
        delete t;
        return -ENOMEM;
    }
    *out = t;
    return 0;
}

traffic *traffic_thread_traffic(traffic_thread *t)
{
    return t ? t->traffic_ctx : nullptr;
}

void traffic_thread_stop(traffic_thread **p)
{
    traffic_thread *t = *p;
    if (!t)
        return;
    t->stop.store(1);
    if (t->traffic_ctx)
        traffic_wake(t->traffic_ctx);  // not at the end of its period: at once
    if (t->thread.joinable())
        t->thread.join();
    traffic_thread_poll(t);
    traffic_destroy(&t->traffic_ctx);
    delete t;
    *p = nullptr;
}
