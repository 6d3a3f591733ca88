/*
 * Signal handling with the real handlers, logger and control server. Each
 * case runs in a child process: the logger starts once per process and the
 * handlers change process-wide state. The log lines and the shutdown order
 * are checked on the real KestrowApp (test_service.py).
 */
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "common/log.h"
#include "service/ctl.h"
#include "service/signals.h"
#include "support.h"

namespace {

/*
 * In the child: logger on dir's app.log, a context whose stop flag is
 * signal_count (with a control port when with_port), the service's handlers
 * and its signal thread.
 */
app_ctx *service_start(const kt::TempDir &dir, bool with_port)
{
    log_set_stderr(0);
    log_start((dir / "app.log").c_str(), 86400);
    app_ctx *app = nullptr;
    app_ctx_create(&app);
    app->stop_flag = &signal_count;
    if (with_port)
        app->port = kt::free_port();
    install_signals();
    EXPECT_EQ(0, signals_start(app));
    return app;
}

void service_end(app_ctx *app)
{
    signals_stop();
    app_ctx_destroy(&app);
    log_stop();
}

/* Starts the control server's thread; its handle. */
pthread_t ctl_start(app_ctx *app)
{
    pthread_t thread = {};
    EXPECT_EQ(0, ctl_init(app));
    EXPECT_EQ(0, pthread_create(&thread, nullptr, ctl_thread, app));
    return thread;
}

} // namespace

TEST(Signals, OnlyTerminatingSignalsAreCounted)
{
    kt::TempDir dir;
    kt::run_in_child([&] {
        app_ctx *app = service_start(dir, false);
        raise(SIGPIPE);
        EXPECT_EQ(0, signal_count.load());
        for (int sig : {SIGTERM, SIGHUP, SIGALRM, SIGINT})
            raise(sig);
        EXPECT_EQ(4, signal_count.load());
        service_end(app);
    });
}

TEST(Signals, HandlerInterruptingALoggingThreadNeverBlocksIt)
{
    kt::TempDir dir;
    kt::run_in_child([&] {
        app_ctx *app = service_start(dir, false);
        std::atomic<int> done{0};
        std::thread logger([&] {
            for (int i = 0; i < 20000; i++)
                log_printf(LOG_INFO, "busy line %d", i);
            done.store(1);
        });
        for (int i = 0; i < 300 && !done.load(); i++) {
            pthread_kill(logger.native_handle(), SIGPIPE);
            usleep(50);
        }
        logger.join();
        service_end(app);
    }, 30000);
    size_t busy = 0;
    for (auto &line : kt::split_lines(kt::read_file(dir / "app.log")))
        busy += line.find("] busy line ") != std::string::npos;
    EXPECT_EQ(20000u, busy);
}

TEST(Signals, FirstTerminatingSignalStopsTheControlServer)
{
    kt::TempDir dir;
    kt::run_in_child([&] {
        app_ctx *app = service_start(dir, true);
        pthread_t thread = ctl_start(app);
        usleep(200000);
        raise(SIGTERM);
        for (int i = 0; i < 1000 && !ctl_thread_finished.load(); i++)
            usleep(1000);
        ASSERT_TRUE(ctl_thread_finished.load());
        pthread_join(thread, nullptr);
        EXPECT_EQ(nullptr, app->ctl);
        // A broken pipe after the teardown is only recorded, as before it.
        raise(SIGPIPE);
        raise(SIGTERM);
        signals_stop();
        EXPECT_EQ(2, signal_count.load());
        app_ctx_destroy(&app);
        log_stop();
    });
}

TEST(Signals, SignalBeforeTheControlServerExistsStillEndsIt)
{
    kt::TempDir dir;
    kt::run_in_child([&] {
        app_ctx *app = service_start(dir, true);
        raise(SIGTERM);  // the signal thread finds no server to stop
        usleep(50000);
        pthread_t thread = ctl_start(app);
        auto start = std::chrono::steady_clock::now();
        ctl_thread_finish(app, thread);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(nullptr, app->ctl);
        service_end(app);
    });
}
