/*
 * Channel status arithmetic, the as-run line and its file (rotation
 * included), and rate-limited failure lines.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "common/asrun.h"
#include "service/ratelimit.h"
#include "service/status.h"
#include "support.h"

namespace {

/* A status record as the zero-filled context holds it. */
struct Status {
    st::App app;
    channel_status *s = &app->status;
};

std::string stamp(int64_t secs)
{
    time_t t = (time_t)secs;
    struct tm tm;
    char buf[32];
    localtime_r(&t, &tm);
    strftime(buf, sizeof(buf), "-%Y%m%d_%H%M%S", &tm);
    return buf;
}

} // namespace

TEST(Status, BitrateIsTheLastFinishedSecondAndFadesWhenStale)
{
    struct Step {
        int64_t bytes, at_us, query_us, want;
    };
    // One writer's sequence: the first count opens the window, a count one
    // second or more later closes it (its own bytes included).
    const Step steps[] = {
        {1000, 10000000, 10000000, 0},        // window opened, nothing finished yet
        {1000, 10500000, 10600000, 0},
        {500, 11000000, 11000000, 20000},     // 2500 bytes over 1 s
        {1500, 12500000, 12500000, 8000},     // 1500 bytes over 1.5 s
        {0, 12600000, 14500000, 8000},        // 2 s old: still shown
        {0, 12700000, 14500001, 0},           // older than 2 s: no input
    };
    Status st;
    for (const Step &s : steps) {
        status_count_in(st.s, 1, s.bytes, s.at_us);
        EXPECT_EQ(s.want, status_bitrate(&st.s->in, s.query_us)) << s.at_us;
    }
    EXPECT_EQ(6, st.s->in.packets.load());
    EXPECT_EQ(4000, st.s->in.bytes.load());
    EXPECT_EQ(0, status_bitrate(&st.s->out, 12500000));
}

TEST(Status, StateUptimeAndEvents)
{
    Status st;
    asrun_record got;
    EXPECT_STREQ("starting", status_state_name(status_state(st.s)));
    EXPECT_EQ(0.0, status_session_uptime(st.s, 5000000));
    EXPECT_EQ(-ENODATA, status_last_event(st.s, &got));

    status_session_started(st.s, 3000000);
    status_set_state(st.s, STATE_ARMED);
    status_set_state(st.s, STATE_COUNT);  // ignored
    EXPECT_STREQ("armed", status_state_name(status_state(st.s)));
    EXPECT_DOUBLE_EQ(2.5, status_session_uptime(st.s, 5500000));

    // A break counts as aired when it ends on air, not when it starts.
    const int events[] = {ASRUN_CUE, ASRUN_ARMED, ASRUN_CUE, ASRUN_BREAK_START, ASRUN_BREAK_END,
                          ASRUN_BREAK_SKIPPED, ASRUN_BREAK_START, ASRUN_IGNORED};
    for (int e : events) {
        asrun_record r = asrun_record_make(e, 1000 + e);
        status_event(st.s, &r);
    }
    EXPECT_EQ(2, st.s->cues.load());
    EXPECT_EQ(1, st.s->breaks_aired.load());
    EXPECT_EQ(1, st.s->breaks_skipped.load());
    ASSERT_EQ(0, status_last_event(st.s, &got));
    EXPECT_EQ(ASRUN_IGNORED, got.event);
    EXPECT_EQ(1000 + ASRUN_IGNORED, got.time_ms);

    status_session_ended(st.s);
    EXPECT_STREQ("no_input", status_state_name(status_state(st.s)));
    EXPECT_EQ(0.0, status_session_uptime(st.s, 5500000));
    EXPECT_STREQ("unknown", status_state_name(-1));
}

TEST(Asrun, LinesAreOneJsonObjectEach)
{
    asrun_record end = asrun_record_make(ASRUN_BREAK_END, 1700000000123);
    end.splice_event_id = 4294967295;
    end.splice_time = 8589934591;
    end.duration = 2700000;
    end.pts = 0;
    end.aired = 2699999;
    strcpy(end.reason, "duration");
    asrun_record odd = asrun_record_make(ASRUN_IGNORED, 999);
    strcpy(odd.reason, "say \"no\"\\\n\t\x01 caf\xc3\xa9");
    const std::pair<asrun_record, std::string> cases[] = {
        {end, "{\"time\":\"2023-11-14T22:13:20.123Z\",\"event\":\"break_end\","
              "\"splice_event_id\":4294967295,\"splice_time\":8589934591,\"duration\":2700000,"
              "\"pts\":0,\"aired\":2699999,\"reason\":\"duration\"}\n"},
        {odd, "{\"time\":\"1970-01-01T00:00:00.999Z\",\"event\":\"ignored\",\"splice_event_id\":null,"
              "\"splice_time\":null,\"duration\":null,\"pts\":null,\"aired\":null,"
              "\"reason\":\"say \\\"no\\\"\\\\\\u000a\\u0009\\u0001 caf\xc3\xa9\"}\n"},
    };
    char buf[ASRUN_LINE_SIZE];
    for (const auto &c : cases) {
        EXPECT_EQ((int)c.second.size(), asrun_format(&c.first, buf, sizeof(buf)));
        EXPECT_EQ(c.second, buf);
        EXPECT_EQ(-ENOSPC, asrun_format(&c.first, buf, c.second.size()));
        EXPECT_STREQ("", buf);
    }
    const char *names[] = {"cue", "armed", "repeat", "cancelled", "break_start", "break_end",
                           "break_skipped", "ignored"};
    for (int e = 0; e < ASRUN_EVENT_COUNT; e++)
        EXPECT_STREQ(names[e], asrun_event_name(e));
    asrun_record bad = asrun_record_make(ASRUN_EVENT_COUNT, 0);
    EXPECT_EQ(-EINVAL, asrun_format(&bad, buf, sizeof(buf)));
}

TEST(Asrun, FileIsAppendedAndRotatedLikeTheLog)
{
    kt::TempDir dir;
    std::string path = dir / "asrun.json";
    kt::write_file(path, "from an earlier run\n");
    asrun_ctx *a = nullptr;
    ASSERT_EQ(0, asrun_create(&a, path.c_str(), 60));

    const int64_t t0 = 1700000000;
    const int64_t at[] = {t0, t0 + 30, t0 + 60, t0 + 61};
    for (int64_t secs : at) {
        asrun_record r = asrun_record_make(ASRUN_CUE, secs * 1000);
        EXPECT_EQ(0, asrun_write(a, &r));
    }
    // The first line rotates what an earlier run left; the next rotation is
    // due once more than the interval has passed.
    EXPECT_EQ("from an earlier run\n", kt::read_file(path + stamp(t0)));
    std::string first = kt::read_file(path + stamp(t0 + 61));
    EXPECT_EQ(3, std::count(first.begin(), first.end(), '\n')) << first;
    std::string now = kt::read_file(path);
    EXPECT_EQ(1, std::count(now.begin(), now.end(), '\n')) << now;

    asrun_record bad = asrun_record_make(-1, 0);
    EXPECT_EQ(-EINVAL, asrun_write(a, &bad));
    EXPECT_EQ(0, asrun_destroy(&a));
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ(-EINVAL, asrun_destroy(&a));

    ASSERT_EQ(0, asrun_create(&a, (dir / "no/such/dir.json").c_str(), 60));
    asrun_record r = asrun_record_make(ASRUN_CUE, t0 * 1000);
    EXPECT_EQ(-ENOENT, asrun_write(a, &r));
    asrun_destroy(&a);
    EXPECT_EQ(-EINVAL, asrun_create(&a, "", 60));
}

TEST(RateLimit, FirstLineThenACountPerPeriod)
{
    ratelimit rl{};
    const int64_t p = RATELIMIT_PERIOD_US;
    struct Step {
        const char *line;
        int64_t at;
        int logged;
        const char *text;  // what reaches the log; "" for nothing
    };
    const Step steps[] = {
        {"open failed", 0, 1, "open failed\n"},
        {"open failed", 1, 0, ""},
        {"open failed", p - 1, 0, ""},
        {"open failed", p, 1, "open failed (repeated 3 times in 5 s)\n"},
        {"open failed", p + 1, 0, ""},
        {"read failed", p + 2, 1, "open failed (repeated 1 times in 0 s)\n"},
    };
    for (const Step &s : steps) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(s.logged, ratelimit_log(&rl, s.at, 0, "%s", s.line)) << s.at;
        std::string err = testing::internal::GetCapturedStderr();
        if (s.text[0])
            EXPECT_NE(std::string::npos, err.find(s.text)) << err;
        else
            EXPECT_EQ("", err);
    }
}
