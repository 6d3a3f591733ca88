/*
 * The paths that threads share, driven from several threads at once: the
 * media library's log callback (called from the library's own threads, such
 * as the UDP reader, while the main thread logs too), the logger's queue and
 * its switches, and log_stop while callers are still logging. Meant for the
 * ThreadSanitizer build (tests/tsan/run_tsan.sh) and run in every other build
 * as well. Each case gets a logger of its own in a forked child.
 */
#include "common/log.h"
#include "pipeline/trace.h"
#include "test_support.h"

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

TEST(Threads, LibraryLogLinesFromManyThreadsStayWholeAndInOrder)
{
    in_logger_child([] {
        const int per_thread = 400;
        log_set_stderr(0);
        ASSERT_EQ(0, log_start("app.log", 86400));
        av_log_set_callback(ffmpeg_log_callback);
        av_log_set_level(AV_LOG_INFO);

        std::atomic<bool> done{false};
        std::vector<std::thread> pool;
        for (int t = 0; t < THREADS; t++)
            pool.emplace_back([t] {
                for (int i = 0; i < per_thread; i++) {
                    if (i % 2)
                        av_log(nullptr, AV_LOG_INFO, "lib t%d %d\n", t, i);
                    else
                        log_printf(LOG_INFO, "own t%d %d", t, i);
                }
            });
        // Meanwhile the switches that other threads read are flipped.
        static const trace_sink quiet = {nullptr, nullptr};
        std::thread flipper([&done] {
            for (int k = 0; !done.load(); k++) {
                log_set_stderr(0);
                log_packet_set_sink(k % 2 ? &quiet : nullptr);
                std::this_thread::yield();
            }
        });
        for (auto &th : pool)
            th.join();
        done = true;
        flipper.join();
        av_log_set_callback(av_log_default_callback);
        ASSERT_EQ(0, log_stop());

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
        EXPECT_EQ((size_t)THREADS * per_thread, count);
    });
}

TEST(Threads, StopWhileOtherThreadsLogNeitherBlocksNorCutsALine)
{
    in_logger_child([] {
        log_set_stderr(0);
        ASSERT_EQ(0, log_start("app.log", 86400));
        av_log_set_callback(ffmpeg_log_callback);

        std::atomic<bool> done{false};
        std::atomic<int> calls{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < THREADS; t++)
            pool.emplace_back([t, &done, &calls] {
                for (int i = 0; !done.load(); i++) {
                    if (t % 2)
                        av_log(nullptr, AV_LOG_ERROR, "lib t%d %d\n", t, i);
                    else
                        log_printf(LOG_ERROR, "own t%d %d", t, i);
                    calls++;
                }
            });
        while (calls.load() < 2000)
            std::this_thread::yield();
        ASSERT_EQ(0, log_stop());
        // The callers go on after the stop; their lines are dropped.
        int at_stop = calls.load();
        while (calls.load() < at_stop + 2000)
            std::this_thread::yield();
        done = true;
        for (auto &th : pool)
            th.join();
        av_log_set_callback(av_log_default_callback);
        EXPECT_EQ(-1, log_stop());

        std::regex form("(FFMPEG: lib|own) t[0-9]+ [0-9]+");
        auto lines = messages("app.log");
        EXPECT_GT(lines.size(), 0u);
        EXPECT_LE(lines.size(), (size_t)at_stop + THREADS);
        for (auto &m : lines)
            ASSERT_TRUE(std::regex_match(m, form)) << m;
    });
}

} // namespace
