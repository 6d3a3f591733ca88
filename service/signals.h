/*
 * Signals and the control thread of the service. The handlers only count and
 * record: a terminating signal (SIGINT, SIGTERM, SIGHUP, SIGALRM) adds one to
 * signal_count, the stop flag of every loop, and each caught signal's number
 * goes down a self-pipe. The signal thread reads the pipe, writes the log
 * line of each signal in arrival order and, for the first terminating one,
 * asks the control server to stop. Handlers never take a lock.
 */
#ifndef KESTROW_SERVICE_SIGNALS_H
#define KESTROW_SERVICE_SIGNALS_H

#include <pthread.h>

#include <atomic>

struct app_ctx;

/* Count of terminating signals caught; non-zero asks every loop to stop. */
extern std::atomic<int> signal_count;

/* Set by ctl_thread once the control server is torn down. */
extern std::atomic<int> ctl_thread_finished;

/*
 * Creates the self-pipe (once) and installs the handlers with signal(): the
 * process's only set-up of SIGPIPE, so that a write to a pipe or socket
 * whose reader has gone never ends the process (the write fails with EPIPE
 * and its writer reports it; the signal is noted at the information level).
 */
void install_signals(void);

/* Handler of SIGINT, SIGTERM, SIGHUP and SIGALRM: counts and records. */
void sighandler(int sig);

/* Handler of SIGPIPE: records only, so a broken pipe never ends the process. */
void sighandler_ignore(int sig);

/*
 * Starts the signal thread for app (whose ctl the first terminating signal
 * stops). Returns 0; -EINVAL without app; a negative errno (logged) when it
 * cannot start; the stop flag still works without it.
 */
int signals_start(app_ctx *app);

/*
 * Logs every signal recorded so far, then ends the signal thread. After it
 * returns the thread no longer touches app. Nothing is done when the thread
 * was not started.
 */
void signals_stop(void);

/* Body of the control thread: ctl_run, then ctl_destroy, on app->ctl. arg: the app_ctx. */
void *ctl_thread(void *arg);

/*
 * Ends the control thread running ctl_thread on app: waits for the stop flag,
 * then asks the control server to stop again and again until the thread has
 * torn it down, and joins it. The repetition covers a terminating signal that
 * came before the server existed or before its loop ran, when the signal
 * thread's one request found nothing to stop.
 */
void ctl_thread_finish(app_ctx *app, pthread_t thread);

/* The same without waiting for the stop flag: the service ends on its own. */
void ctl_thread_stop(app_ctx *app, pthread_t thread);

#endif
