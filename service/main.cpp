/*
 * KestrowApp: reads its options, installs the signal handling, sets up the
 * XML-RPC control server on its port, optionally becomes a daemon, opens the
 * log and as-run files, runs the stream sessions on the main thread until a
 * terminating signal, then takes everything down in order. Exit status 0
 * after a run, 255 for a rejected command line or help, 1 when the context
 * cannot be allocated, the control port cannot be set up, the process
 * cannot become a daemon, the log or as-run file cannot be written or the
 * filler cannot be used.
 */
#include <malloc.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/daemon.h"
#include "common/log.h"
#include "service/app_ctx.h"
#include "service/conform_worker.h"
#include "common/asrun.h"
#include "service/ctl.h"
#include "service/opts.h"
#include "service/session.h"
#include "service/signals.h"

namespace {

app_ctx *app;  // the process's one application context

/*
 * Opens the log, rotating the file the last run left, logs the banner, and
 * opens the as-run file when one is asked for. 0; 1 after one line naming
 * the file that cannot be written (on standard error when it is the log).
 */
int open_files(app_ctx *a)
{
    int ret = log_start(a->log_file_name, a->log_rotate_interval);
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: cannot open the log file [%s] for writing: %s", "main", a->log_file_name,
                   strerror(-ret));
        return 1;
    }
    log_printf(LOG_INFO, "%s", KESTROW_BANNER);
    if (!a->asrun_file[0])
        return 0;
    ret = asrun_create(&a->asrun, a->asrun_file, a->log_rotate_interval);
    if (ret == 0)
        ret = asrun_open(a->asrun, (int64_t)log_now_ms());
    if (ret < 0) {
        log_printf(LOG_ERROR, "%s: cannot open the as-run file [%s] for writing: %s", "main", a->asrun_file,
                   strerror(-ret));
        return 1;
    }
    return 0;
}

/* Runs the control thread and the stream sessions until the stop. The exit status. */
int run(app_ctx *a)
{
    pthread_t thread;
    int err = pthread_create(&thread, nullptr, ctl_thread, a);
    if (err != 0) {
        log_printf(LOG_ERROR, "%s: pthread_create failed: %s", "main", strerror(err));
        return 1;
    }
    int status = 1;
    if (slicer_main_loop(a) == 0) {
        status = 0;
        ctl_thread_finish(a, thread);
    } else {
        ctl_thread_stop(a, thread);
    }
    log_printf(LOG_INFO, "%s: Controls finished", "main");
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    /* The service started again by itself to conform a spot (service/conform_worker.h). */
    if (argc == 2 && strcmp(argv[1], CONFORM_WORKER_ARG) == 0)
        return conform_worker_main();
    /*
     * Packets are allocated by the relay's reader thread and freed by its
     * loop: with a heap per thread each keeps its own free memory (a second
     * heap held 7 MiB at 80 Mbit/s). One heap for all: what one thread frees
     * the next allocation reuses; the threads allocate a block per picture
     * or audio frame, seldom enough to meet on the heap's lock.
     */
    mallopt(M_ARENA_MAX, 1);
    /*
     * No transparent huge pages in this process. The kernel merges a
     * process's small pages into huge ones (khugepaged) with the process's
     * memory map locked; at that thread's low priority, on a busy machine,
     * it holds the lock for up to a second, and every thread of the relay
     * that maps memory or touches a new page waits for it: the output fell
     * silent for 0.4-0.9 s. Page faults cost a little more instead.
     */
    if (prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0)
        fprintf(stderr, "KestrowApp: transparent huge pages stay enabled (%s): the output may stall while "
                        "the kernel merges pages\n", strerror(errno));
    if (app_ctx_create(&app) != 0) {
        fprintf(stderr, "KestrowApp: cannot allocate the application context\n");
        return 1;
    }
    app->stop_flag = &signal_count;

    /* -ECANCELED: --version was answered; any other refusal has printed its reason. */
    int ret = opts_parse(app, argc, argv);
    if (ret != 0) {
        app_ctx_destroy(&app);
        return ret == -ECANCELED ? 0 : 255;
    }

    /*
     * The control port is bound first, in the foreground: a second instance
     * started on a running channel's options stops there, with its reason on
     * standard error, before it opens (and rotates) that channel's log and
     * as-run files. The handlers come before it, so that a signal during the
     * set-up stops the service in order (the signal thread logs it once the
     * log is open); threads only after daemonizing.
     */
    install_signals();
    int status = 1;
    if (ctl_init(app) == 0) {
        bool detach = app->demonize && !app->nodemonize;
        if (detach)
            log_set_stderr(0);
        if ((!detach || daemonize() == 0) && open_files(app) == 0) {
            signals_start(app);  // after the banner: the log's first line
            status = run(app);
        }
    }

    // Whatever the failed set-up or the control thread left attached to the context.
    ctl_destroy(&app->ctl);
    signals_stop();
    if (app->asrun) {
        int left = asrun_destroy(&app->asrun);
        if (left > 0)
            log_printf(LOG_ERROR, "%s: %d as-run lines not written: the file [%s] does not take them", "main", left,
                       app->asrun_file);
    }
    app_ctx_destroy(&app);
    log_printf(LOG_INFO, "Bye!");
    log_stop();
    return status;
}
