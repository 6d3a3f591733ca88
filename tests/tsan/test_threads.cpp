/*
 * The paths that threads share, driven from several threads at once: the
 * media library's log callback (called from the library's own threads, such
 * as the UDP reader, while the main thread logs too), the logger's queue and
 * its switches, and log_stop while callers are still logging. Meant for the
 * ThreadSanitizer build (tests/tsan/run_tsan.sh) and run in every other build
 * as well. Each case gets a logger of its own in a forked child.
 */
#include "common/log.h"
#include "common/trace.h"
#include "lib/test_support.h"

#include <atomic>
#include <regex>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

namespace {

const int THREADS = 4;

void in_logger_child(const std::function<void()> &body)
{
    kt::TempDir dir;
    kt::run_in_child([&] {
        ASSERT_EQ(0, chdir(dir.path.c_str()));
        body();
    });
}

/* Messages of the log file, without mark and time. */
std::vector<std::string> messages(const std::string &path)
{
    std::vector<std::string> out;
    for (auto &line : kt::split_lines(kt::read_file(path))) {
        size_t at = line.find("] ");
        out.push_back(at == std::string::npos ? line : line.substr(at + 2));
    }
    return out;
}

TEST(Threads, LibraryLogLinesFromManyThreadsStayWholeAndInOrderUntilTheStop)
{
    // Each thread logs on through the stop; its lines after the stop are
    // dropped, and neither it nor the stop blocks.
    in_logger_child([] {
        const int before_stop = 400;
        log_set_stderr(0);
        ASSERT_EQ(0, log_start("app.log", 86400));
        av_log_set_callback(ffmpeg_log_callback);
        av_log_set_level(AV_LOG_INFO);

        std::atomic<bool> done{false};
        std::atomic<int> calls{0}, past{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < THREADS; t++)
            pool.emplace_back([t, &done, &calls, &past] {
                for (int i = 0; !done.load(); i++) {
                    if (i % 2)
                        av_log(nullptr, AV_LOG_INFO, "lib t%d %d\n", t, i);
                    else
                        log_printf(LOG_INFO, "own t%d %d", t, i);
                    calls++;
                    if (i == before_stop - 1)
                        past++;
                }
            });
        // Meanwhile the switch that other threads read is flipped.
        std::atomic<bool> flipping{true};
        std::thread flipper([&flipping] {
            for (int k = 0; flipping.load(); k++) {
                log_set_stderr(0);
                std::this_thread::yield();
            }
        });
        while (past.load() < THREADS)
            std::this_thread::yield();
        ASSERT_EQ(0, log_stop());
        int at_stop = calls.load();
        while (calls.load() < at_stop + 2000)
            std::this_thread::yield();
        done = true;
        for (auto &th : pool)
            th.join();
        flipping = false;
        flipper.join();
        av_log_set_callback(av_log_default_callback);
        EXPECT_EQ(-EINVAL, log_stop());

        std::vector<int> next(THREADS, 0);
        std::regex form("(FFMPEG: lib|own) t([0-9]+) ([0-9]+)");
        size_t count = 0;
        for (auto &m : messages("app.log")) {
            std::smatch g;
            ASSERT_TRUE(std::regex_match(m, g, form)) << m;
            ASSERT_EQ(g[1] == "FFMPEG: lib", std::stoi(g[3]) % 2 == 1) << m;
            int t = std::stoi(g[2]), i = std::stoi(g[3]);
            ASSERT_EQ(next[t], i) << m;
            next[t]++;
            count++;
        }
        for (int t = 0; t < THREADS; t++)
            EXPECT_LE(before_stop, next[t]) << "thread " << t;
        EXPECT_LE(count, (size_t)at_stop + THREADS);
    });
}

} // namespace
