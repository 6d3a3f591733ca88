/*
 * Signal handlers, the signal thread that logs what they recorded, and the
 * control thread body.
 */
#include "service/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "service/app_ctx.h"
#include "common/log.h"
#include "service/ctl.h"
#include "common/utils.h"

static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need a lock-free counter");

std::atomic<int> signal_count{0};
std::atomic<int> ctl_thread_finished{0};

namespace {

// Self-pipe: handlers write one byte per signal (its number) to the
// non-blocking write end; 0 asks the signal thread to end. The pipe stays
// open for the life of the process, so a late handler never writes to a
// descriptor that was closed and reused.
int pipe_rd = -1;
int pipe_wr = -1;

pthread_t signal_thread;
bool signal_thread_running;

bool is_terminating(int sig)
{
    return sig == SIGINT || sig == SIGTERM || sig == SIGHUP || sig == SIGALRM;
}

/* Async-signal-safe: one write(2); a full pipe loses the line, never the stop. */
void record(int sig)
{
    if (pipe_wr < 0)
        return;
    unsigned char b = (unsigned char)sig;
    ssize_t n = write(pipe_wr, &b, 1);
    (void)n;
}

static void signal_thread_loop(app_ctx *app);

void *signal_thread_main(void *arg)
{
    utils_name_thread("signals");
    try {
        signal_thread_loop((app_ctx *)arg);
    } catch (...) {
        log_printf(LOG_ERROR, "%s: the signal thread stopped on an exception", "signals_start");
    }
    return nullptr;
}

static void signal_thread_loop(app_ctx *app)
{
    bool stop_requested = false;
    for (;;) {
        unsigned char b;
        ssize_t n = read(pipe_rd, &b, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || b == 0)
            break;
        int sig = b;
        if (is_terminating(sig)) {
            log_printf(LOG_INFO, "sighandler: [%d] catched %d", (int)getpid(), sig);
            if (!stop_requested) {
                stop_requested = true;
                ctl_terminate(&app->ctl);
            }
        } else {
            // A broken pipe is its writer's to report (the control port never raises one): only noted.
            log_printf(LOG_INFO, "sighandler_ignore: [%d] catched %d", (int)getpid(), sig);
        }
    }
}

} // namespace

void sighandler(int sig)
{
    int saved_errno = errno;
    signal_count.fetch_add(1);
    record(sig);
    errno = saved_errno;
}

void sighandler_ignore(int sig)
{
    int saved_errno = errno;
    record(sig);
    errno = saved_errno;
}

void install_signals(void)
{
    if (pipe_wr < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
            pipe_rd = fds[0];
            pipe_wr = fds[1];
        }
    }
    signal(SIGINT, sighandler);
    signal(SIGTERM, sighandler);
    signal(SIGPIPE, sighandler_ignore);
    signal(SIGHUP, sighandler);
    signal(SIGALRM, sighandler);
}

int signals_start(app_ctx *app)
{
    if (!app)
        return -EINVAL;
    if (signal_thread_running)
        return 0;
    if (pipe_rd < 0) {
        log_printf(LOG_ERROR, "%s: no signal pipe; caught signals are not logged", "signals_start");
        return -EPIPE;
    }
    int err = pthread_create(&signal_thread, nullptr, signal_thread_main, app);
    if (err != 0) {
        log_printf(LOG_ERROR, "%s: pthread_create failed: %s", "signals_start", strerror(err));
        return -err;
    }
    signal_thread_running = true;
    return 0;
}

void signals_stop(void)
{
    if (!signal_thread_running)
        return;
    // The end marker queues behind every signal recorded so far.
    unsigned char b = 0;
    bool queued = false;
    for (;;) {
        ssize_t n = write(pipe_wr, &b, 1);
        if (n == 1) {
            queued = true;
            break;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            break;
        usleep(1000);
    }
    if (queued)
        pthread_join(signal_thread, nullptr);
    else
        pthread_detach(signal_thread);
    signal_thread_running = false;
}

void *ctl_thread(void *arg)
{
    utils_name_thread("control");
    app_ctx *app = (app_ctx *)arg;
    try {
        ctl_run(&app->ctl);
        ctl_destroy(&app->ctl);
    } catch (...) {
        log_printf(LOG_ERROR, "%s: the control thread stopped on an exception", "ctl_run");
    }
    ctl_thread_finished.store(1);
    return nullptr;
}

void ctl_thread_finish(app_ctx *app, pthread_t thread)
{
    const useconds_t poll_us = 20000;
    while (app->stop_flag->load() == 0)
        usleep(poll_us);
    ctl_thread_stop(app, thread);
}

void ctl_thread_stop(app_ctx *app, pthread_t thread)
{
    const useconds_t poll_us = 20000;
    while (ctl_thread_finished.load() == 0) {
        ctl_terminate(&app->ctl);
        usleep(poll_us);
    }
    pthread_join(thread, nullptr);
}
