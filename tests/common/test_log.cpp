/*
 * Logger: line layout, cuts, overflow, rotation, directories and the
 * lifecycle around log_start / log_stop. Each case runs in a forked child
 * with its own logger, in a temporary working directory, with TZ=UTC.
 */
#include "common/log.h"
#include "common/log_internal.h"
#include "lib/test_support.h"

#include <atomic>
#include <ctime>
#include <regex>
#include <sys/stat.h>

namespace {

const char OVERFLOW_MSG[] = "ERROR! message queue OVERFLOW!!!\n";
const time_t T0 = 1620043201;   // 2021-05-03 12:00:01 UTC

std::atomic<time_t> fake_now{T0};
time_t fake_clock(void) { return fake_now.load(); }

/* Runs body in a child whose working directory is a fresh temporary one. */
void in_logger_child(const std::function<void(const kt::TempDir &)> &body)
{
    kt::TempDir dir;
    kt::run_in_child([&] {
        setenv("TZ", "UTC", 1);
        tzset();
        ASSERT_EQ(0, chdir(dir.path.c_str()));
        body(dir);
    });
}

size_t entries(const std::string &dir)
{
    return (size_t)std::distance(std::filesystem::directory_iterator(dir), {});
}

TEST(Logger, LineLayoutByLevel)
{
    in_logger_child([](const kt::TempDir &dir) {
        kt::StderrCapture err(dir / "stderr");
        time_t before = time(nullptr);
        ASSERT_EQ(0, log_start("app.log", 86400));
        log_printf(LOG_ERROR, "x=%d", 5);
        log_printf(LOG_INFO, "info");
        log_printf(LOG_DEBUG, "debug");
        log_printf(7, "seven");
        log_printf(LOG_INFO, "ends in newline\n");
        ASSERT_EQ(0, log_stop());
        time_t after = time(nullptr);

        std::string text = kt::read_file("app.log");
        auto lines = kt::split_lines(text);
        ASSERT_EQ(6u, lines.size()) << text;
        const char *expect[][2] = {{"!", "x=5"},     {" ", "info"},           {"?", "debug"},
                                   {" ", "seven"},   {" ", "ends in newline"}};
        std::regex layout(R"(^(.) \[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3}\] (.*)$)");
        for (int i = 0; i < 5; i++) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(lines[i], m, layout)) << lines[i];
            EXPECT_EQ(expect[i][0], m[1].str());
            EXPECT_EQ(expect[i][1], m[3].str());
            struct tm tm = {};
            ASSERT_NE(nullptr, strptime(m[2].str().c_str(), "%Y-%m-%d %H:%M:%S", &tm));
            time_t stamped = timegm(&tm);
            EXPECT_LE(before, stamped);
            EXPECT_GE(after, stamped);
        }
        EXPECT_EQ("", lines[5]);
        // The copy on standard error is the same text, in the same order.
        EXPECT_EQ(text, err.text());
    });
}

TEST(Logger, LongMessagesAreCutKeepingTheNewline)
{
    in_logger_child([](const kt::TempDir &) {
        log_set_stderr(0);
        ASSERT_EQ(0, log_start("app.log", 86400));
        log_printf(LOG_INFO, "%s", std::string(200000, 'a').c_str());
        log_printf(LOG_INFO, "short");
        ASSERT_EQ(0, log_stop());
        auto lines = kt::split_lines(kt::read_file("app.log"));
        ASSERT_EQ(2u, lines.size());
        EXPECT_EQ(127989u, lines[0].size());
        EXPECT_EQ(" short", lines[1].substr(lines[1].find(']') + 1));
    });
}

TEST(Logger, OverflowDropsTheLineAndCountsIt)
{
    in_logger_child([](const kt::TempDir &dir) {
        kt::StderrCapture err(dir / "stderr");
        log_set_stderr(0);
        ASSERT_EQ(0, log_start("app.log", 86400));
        log_pause_writer(1);
        for (int i = 0; i < LOG_QUEUE_MAX_LINES; i++)
            log_printf(LOG_INFO, "line %d", i);
        EXPECT_EQ(0u, log_lines_dropped());
        log_printf(LOG_INFO, "dropped");
        log_printf(LOG_INFO, "dropped");
        EXPECT_EQ(2u, log_lines_dropped());
        // Standard error says so at once, once for each line (the writer, paused, takes no line).
        std::string twice = std::string(OVERFLOW_MSG) + OVERFLOW_MSG;
        for (int i = 0; i < 5000 && err.text() != twice; i++)
            usleep(1000);
        EXPECT_EQ(twice, err.text());

        log_pause_writer(0);
        ASSERT_EQ(0, log_flush(60000));
        log_printf(LOG_INFO, "after");
        ASSERT_EQ(0, log_stop());

        // In the log, one line with their count where they are missing.
        std::string text = kt::read_file("app.log");
        auto lines = kt::split_lines(text);
        ASSERT_EQ((size_t)LOG_QUEUE_MAX_LINES + 2, lines.size());
        for (int i = 0; i < LOG_QUEUE_MAX_LINES; i += 997)
            ASSERT_EQ(" line " + std::to_string(i), lines[i].substr(lines[i].find(']') + 1));
        const std::string &told = lines[LOG_QUEUE_MAX_LINES];
        EXPECT_EQ('!', told[0]);
        EXPECT_NE(std::string::npos, told.find("] log: 2 lines dropped: the log's queue was full (2 since the start)"))
            << told;
        EXPECT_NE(std::string::npos, lines.back().find("] after"));
        EXPECT_EQ(std::string::npos, text.find("dropped\n"));
    });
}

TEST(Logger, AFileThatCannotBeWrittenIsSaidOnceAndWhenItIsAgain)
{
    in_logger_child([](const kt::TempDir &dir) {
        kt::StderrCapture err(dir / "stderr");
        log_set_stderr(0);
        ASSERT_EQ(0, log_start("app.log", 86400));
        log_printf(LOG_INFO, "one");
        ASSERT_EQ(0, log_flush(10000));
        // The file becomes a folder: nothing can be appended (as on a full disk, a lost mount).
        ASSERT_EQ(0, rename("app.log", "kept.log"));
        ASSERT_EQ(0, mkdir("app.log", 0755));
        for (int i = 0; i < 3; i++)
            log_printf(LOG_INFO, "lost %d", i);
        ASSERT_EQ(0, log_flush(10000));
        EXPECT_EQ("log: cannot write the log file [app.log]: Is a directory; its lines are lost until it can be\n",
                  err.text());
        ASSERT_EQ(0, rmdir("app.log"));
        log_printf(LOG_INFO, "two");
        ASSERT_EQ(0, log_stop());
        auto lines = kt::split_lines(kt::read_file("app.log"));
        ASSERT_EQ(2u, lines.size());
        EXPECT_NE(std::string::npos, lines[0].find("] log: the log file [app.log] is written again; 3 lines were lost"))
            << lines[0];
        EXPECT_NE(std::string::npos, lines[1].find("] two"));
    });
}

TEST(Logger, RotatesOnlyWhenMoreThanTheIntervalHasPassed)
{
    in_logger_child([](const kt::TempDir &dir) {
        log_set_stderr(0);
        log_set_time_source(fake_clock);
        kt::write_file("app.log", "left by an earlier run\n");
        ASSERT_EQ(0, log_start("app.log", 3600));

        // The first line moves the earlier file aside under the start time.
        log_printf(LOG_INFO, "first");
        ASSERT_EQ(0, log_flush(10000));
        EXPECT_EQ("left by an earlier run\n", kt::read_file("app.log-20210503_120001"));

        fake_now = T0 + 3600;
        log_printf(LOG_INFO, "second");
        ASSERT_EQ(0, log_flush(10000));
        EXPECT_EQ(2u, entries(dir.path));

        fake_now = T0 + 3601;
        log_printf(LOG_INFO, "third");
        ASSERT_EQ(0, log_stop());
        EXPECT_EQ(3u, entries(dir.path));
        auto old = kt::split_lines(kt::read_file("app.log-20210503_130002"));
        ASSERT_EQ(2u, old.size());
        EXPECT_NE(std::string::npos, old[0].find("] first"));
        EXPECT_NE(std::string::npos, old[1].find("] second"));
        auto cur = kt::split_lines(kt::read_file("app.log"));
        ASSERT_EQ(1u, cur.size());
        EXPECT_NE(std::string::npos, cur[0].find("] third"));
    });
}

TEST(Logger, NegativeIntervalRotatesOncePerSecondAndNeverReplaces)
{
    in_logger_child([](const kt::TempDir &dir) {
        log_set_stderr(0);
        log_set_time_source(fake_clock);
        kt::write_file("app.log", "old\n");
        kt::write_file("app.log-20210503_120001", "earlier rotation\n");
        ASSERT_EQ(0, log_start("app.log", -5));

        log_printf(LOG_INFO, "a");
        log_printf(LOG_INFO, "b");     // same second: no rotation
        ASSERT_EQ(0, log_flush(10000));
        EXPECT_EQ("earlier rotation\n", kt::read_file("app.log-20210503_120001"));
        EXPECT_EQ("old\n", kt::read_file("app.log-20210503_120001-1"));
        EXPECT_EQ(3u, entries(dir.path));

        fake_now = T0 + 1;
        log_printf(LOG_INFO, "c");
        ASSERT_EQ(0, log_stop());
        EXPECT_EQ(4u, entries(dir.path));
        EXPECT_EQ(2u, kt::split_lines(kt::read_file("app.log-20210503_120002")).size());
        EXPECT_EQ(1u, kt::split_lines(kt::read_file("app.log")).size());
    });
}

TEST(Logger, CreatesDirectoriesOfARelativePathAgainAndAgain)
{
    in_logger_child([](const kt::TempDir &dir) {
        log_set_stderr(0);
        ASSERT_EQ(0, log_start("logs/today/app.log", 86400));
        log_printf(LOG_INFO, "one");
        ASSERT_EQ(0, log_flush(10000));
        EXPECT_TRUE(std::filesystem::is_directory(dir / "logs/today"));
        EXPECT_EQ(1u, kt::split_lines(kt::read_file("logs/today/app.log")).size());

        // A log removed from outside is simply created again.
        std::filesystem::remove_all(dir / "logs");
        log_printf(LOG_INFO, "two");
        ASSERT_EQ(0, log_stop());
        auto lines = kt::split_lines(kt::read_file("logs/today/app.log"));
        ASSERT_EQ(1u, lines.size());
        EXPECT_NE(std::string::npos, lines[0].find("] two"));
    });
}

TEST(Logger, StopWritesEveryQueuedLineThenRefusesQuietly)
{
    in_logger_child([](const kt::TempDir &dir) {
        kt::StderrCapture err(dir / "stderr");
        log_set_stderr(0);
        ASSERT_EQ(0, log_start("app.log", 86400));
        log_pause_writer(1);    // everything below is still queued at stop
        for (int i = 0; i < 1000; i++)
            log_printf(LOG_INFO, "queued %d", i);
        ASSERT_EQ(0, log_stop());
        EXPECT_EQ(1000u, kt::split_lines(kt::read_file("app.log")).size());

        // After stop: dropped, no block, no restart.
        log_set_stderr(1);
        EXPECT_EQ(0, log_printf(LOG_ERROR, "late"));
        EXPECT_EQ(-EINVAL, log_stop());
        EXPECT_EQ(-16, log_start("app.log", 86400));
        EXPECT_EQ(1000u, kt::split_lines(kt::read_file("app.log")).size());
        EXPECT_EQ("", err.text());
    });
}

/* Context switches of every thread but the caller, from /proc. */
long other_threads_switches()
{
    long sum = 0;
    std::string self = std::to_string(gettid());
    for (auto &e : std::filesystem::directory_iterator("/proc/self/task")) {
        if (e.path().filename() == self)
            continue;
        for (auto &line : kt::split_lines(kt::read_file(e.path().string() + "/status")))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                sum += atol(line.c_str() + 24);
    }
    return sum;
}

TEST(Logger, IdleWriterSleepsUntilALineComes)
{
    in_logger_child([](const kt::TempDir &) {
        log_set_stderr(0);
        ASSERT_EQ(0, log_start("app.log", 86400));
        log_printf(LOG_INFO, "one");
        ASSERT_EQ(0, log_flush(10000));
        long before = other_threads_switches();
        usleep(300000);
        EXPECT_LT(other_threads_switches() - before, 10);  // a 1 ms poll wakes ~300 times
        log_printf(LOG_INFO, "two");
        ASSERT_EQ(0, log_flush(1000));
        ASSERT_EQ(0, log_stop());
        EXPECT_EQ(2u, kt::split_lines(kt::read_file("app.log")).size());
    });
}

TEST(Logger, WithoutAFileLinesGoOnlyToStderr)
{
    // Before the start, and after a start with an empty file name.
    in_logger_child([](const kt::TempDir &dir) {
        kt::StderrCapture err(dir / "stderr");
        EXPECT_EQ(-EINVAL, log_stop());
        EXPECT_EQ(-EINVAL, log_flush(10));
        EXPECT_EQ(-ENOTDIR, log_start("stderr/app.log", 0));  // refused at start, nothing left running
        log_printf(LOG_ERROR, "early %d", 1);
        ASSERT_EQ(0, log_start("", 0));
        log_printf(LOG_INFO, "shown");
        ASSERT_EQ(0, log_flush(10000));
        EXPECT_EQ(0, log_set_stderr(0));
        log_printf(LOG_INFO, "hidden");
        ASSERT_EQ(0, log_stop());
        EXPECT_TRUE(std::regex_match(err.text(), std::regex(R"(^! \[[-0-9: ]{19}\.\d{3}\] early 1\n  \[[-0-9: ]{19}\.\d{3}\] shown\n$)")))
            << err.text();
        EXPECT_EQ(1u, entries(dir.path));   // only the capture file
    });
}

} // namespace
