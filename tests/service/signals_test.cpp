/*
 * Signal handling with the real handlers, logger and control server. Each
 * case runs in a child process: the logger starts once per process and the
 * handlers change process-wide state.
 */
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "common/log.h"
#include "service/ctl.h"
#include "service/signals.h"
#include "support.h"

namespace {

/* Runs body in a child; its result is the child's exit status. Bounded in time. */
int run_in_child(const std::function<int()> &body, int seconds = 30)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1000;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

int count_of(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

uint32_t free_tcp_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr *)&a, sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(s, (sockaddr *)&a, &len);
    close(s);
    return ntohs(a.sin_port);
}

/* Waits up to ms milliseconds for flag to become non-zero. */
bool wait_flag(const std::atomic<int> &flag, int ms)
{
    for (int i = 0; i < ms && flag.load() == 0; i++)
        usleep(1000);
    return flag.load() != 0;
}

/*
 * In the child: logger on log, a context whose stop flag is signal_count
 * (with a free control port when with_port), the service's handlers and its
 * signal thread.
 */
app_ctx *service_start(const std::string &log, bool with_port)
{
    log_set_stderr(0);
    log_start(log.c_str(), 86400);
    app_ctx *app = nullptr;
    app_ctx_create(&app);
    app->stop_flag = &signal_count;
    if (with_port)
        app->port = free_tcp_port();
    install_signals();
    return signals_start(app) == 0 ? app : nullptr;
}

/* In the child: the end of the shutdown order. */
void service_end(app_ctx *app)
{
    signals_stop();
    app_ctx_destroy(&app);
    log_stop();
}

} // namespace

TEST(Signals, OnlyTerminatingSignalsAreCounted)
{
    st::TempDir dir;
    int rc = run_in_child([&] {
        app_ctx *app = service_start(dir / "app.log", false);
        if (!app)
            return 1;
        raise(SIGPIPE);
        if (signal_count.load() != 0)
            return 2;
        for (int sig : {SIGTERM, SIGHUP, SIGALRM, SIGINT})
            raise(sig);
        if (signal_count.load() != 4)
            return 3;
        service_end(app);
        return 0;
    });
    EXPECT_EQ(0, rc);
}

TEST(Signals, HandlerInterruptingALoggingThreadNeverBlocksIt)
{
    st::TempDir dir;
    std::string log = dir / "app.log";
    const int signals = 300;
    int rc = run_in_child([&] {
        app_ctx *app = service_start(log, false);
        std::atomic<int> done{0};
        std::thread logger([&] {
            for (int i = 0; i < 20000; i++)
                log_printf(LOG_INFO, "busy line %d", i);
            done.store(1);
        });
        for (int i = 0; i < signals && !done.load(); i++) {
            pthread_kill(logger.native_handle(), SIGPIPE);
            usleep(50);
        }
        logger.join();
        service_end(app);
        return 0;
    });
    ASSERT_EQ(0, rc);
    EXPECT_EQ(20000, count_of(st::read_file(log), "busy line "));
}

TEST(Signals, FirstTerminatingSignalStopsTheControlServer)
{
    st::TempDir dir;
    std::string log = dir / "app.log";
    int rc = run_in_child([&] {
        app_ctx *app = service_start(log, true);
        if (ctl_init(app) != 0)
            return 1;
        pthread_t thread;
        if (pthread_create(&thread, nullptr, ctl_thread, app) != 0)
            return 2;
        usleep(200000);
        raise(SIGTERM);
        if (!wait_flag(ctl_thread_finished, 1000))
            return 3;
        pthread_join(thread, nullptr);
        if (app->ctl != nullptr)
            return 4;
        // The control server gave back the service's own SIGPIPE handler.
        raise(SIGPIPE);
        raise(SIGTERM);
        signals_stop();
        if (signal_count.load() != 2)
            return 5;
        app_ctx_destroy(&app);
        log_stop();
        return 0;
    });
    EXPECT_EQ(0, rc);
}

TEST(Signals, SignalBeforeTheControlServerExistsStillEndsIt)
{
    st::TempDir dir;
    std::string log = dir / "app.log";
    int rc = run_in_child([&] {
        app_ctx *app = service_start(log, true);
        raise(SIGTERM);  // the signal thread finds no server to stop
        usleep(50000);
        if (ctl_init(app) != 0)
            return 1;
        pthread_t thread;
        if (pthread_create(&thread, nullptr, ctl_thread, app) != 0)
            return 2;
        auto start = std::chrono::steady_clock::now();
        ctl_thread_finish(app, thread);
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(1))
            return 3;
        if (app->ctl != nullptr)
            return 4;
        service_end(app);
        return 0;
    });
    EXPECT_EQ(0, rc);
}
