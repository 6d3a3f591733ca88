/*
 * KestrowApp: reads its options, optionally becomes a daemon, starts the
 * logger, the signal handling and the XML-RPC control server, runs the
 * stream sessions on the main thread until a terminating signal, then takes
 * everything down in order. Exit status 0 after a run, 255 for a rejected
 * command line or help, 1 when the context cannot be allocated, the process
 * cannot become a daemon, the control port cannot be set up or the filler
 * cannot be loaded.
 */
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/daemon.h"
#include "common/log.h"
#include "service/app_ctx.h"
#include "common/asrun.h"
#include "service/ctl.h"
#include "service/opts.h"
#include "service/session.h"
#include "service/signals.h"

namespace {

app_ctx *app;  // the process's one application context

} // namespace

int main(int argc, char **argv)
{
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

    if (app->demonize && !app->nodemonize) {
        log_set_stderr(0);
        if (daemonize() != 0) {
            app_ctx_destroy(&app);
            return 1;
        }
    }

    ret = log_start(app->log_file_name, app->log_rotate_interval);
    if (ret != 0)
        fprintf(stderr, "KestrowApp: the logger cannot start (%d); logging to standard error\n", ret);
    log_printf(LOG_INFO, "%s", KESTROW_BANNER);
    if (app->asrun_file[0]) {
        ret = asrun_create(&app->asrun, app->asrun_file, app->log_rotate_interval);
        if (ret < 0)
            log_printf(LOG_ERROR, "%s: cannot open the as-run file [%s]: %s", "main", app->asrun_file,
                       strerror(-ret));
    }
    install_signals();
    signals_start(app);

    int status = 1;
    if (ctl_init(app) == 0) {
        pthread_t thread;
        int err = pthread_create(&thread, nullptr, ctl_thread, app);
        if (err == 0) {
            if (slicer_main_loop(app) == 0) {
                status = 0;
                ctl_thread_finish(app, thread);
            } else {
                ctl_thread_stop(app, thread);
            }
            log_printf(LOG_INFO, "%s: Controls finished", "main");
        } else {
            log_printf(LOG_ERROR, "%s: pthread_create failed: %s", "main", strerror(err));
            ctl_destroy(&app->ctl);
        }
    } else {
        // Frees whatever the failed set-up left attached to the context.
        ctl_destroy(&app->ctl);
    }

    signals_stop();
    asrun_destroy(&app->asrun);
    app_ctx_destroy(&app);
    log_printf(LOG_INFO, "Bye!");
    log_stop();
    return status;
}
