/*
 * Channel status arithmetic and rate-limited failure lines.
 */
#include <gtest/gtest.h>

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

TEST(Status, InputLossesAndTheirTime)
{
    enum { LOST, INVALID, BACK };
    struct Step {
        int call;
        int64_t at_s, ret;  // ret: back's µs, else 1 for a change
        const char *state;
        int up;
        double uptime, lost_s;
        int64_t losses;
    };
    // The session started at 1 s; two watchers may report one change.
    const Step steps[] = {
        {LOST, 2, 0, "idle", 0, 1, 0, 0},               // never up yet: nothing was lost
        {BACK, 3, 0, "idle", 1, 2, 0, 0},
        {LOST, 5, 1, "input_lost", 0, 0, 0, 1},
        {LOST, 6, 0, "input_lost", 0, 0, 1, 1},
        {INVALID, 7, 1, "input_invalid", 0, 0, 2, 1},   // the same outage goes on
        {BACK, 9, 4000000, "idle", 1, 0, 4, 1},         // the uptime starts afresh
        {BACK, 10, 0, "idle", 1, 1, 4, 1},
        {INVALID, 12, 1, "input_invalid", 0, 0, 4, 2},
        {BACK, 13, 1000000, "idle", 1, 0, 5, 2},
    };
    Status st;
    status_session_started(st.s, 1000000);
    status_set_state(st.s, STATE_IDLE);
    status_set_state(st.s, STATE_INPUT_LOST);  // the input's states come only from its watchers
    for (const Step &s : steps) {
        int64_t at = s.at_s * 1000000;
        int64_t ret = s.call == LOST ? status_input_lost(st.s, at)
                      : s.call == INVALID ? status_input_invalid(st.s, at) : status_input_back(st.s, at);
        EXPECT_EQ(s.ret, ret) << s.at_s;
        EXPECT_STREQ(s.state, status_state_name(status_state(st.s))) << s.at_s;
        EXPECT_EQ(s.up, status_input_up(st.s)) << s.at_s;
        EXPECT_DOUBLE_EQ(s.uptime, status_session_uptime(st.s, at)) << s.at_s;
        EXPECT_DOUBLE_EQ(s.lost_s, status_input_lost_seconds(st.s, at)) << s.at_s;
        EXPECT_EQ(s.losses, status_input_losses(st.s)) << s.at_s;
    }
    // Random bytes from the start: invalid without an outage; a session that ended stays ended.
    Status fresh;
    EXPECT_EQ(1, status_input_invalid(fresh.s, 1000000));
    EXPECT_STREQ("input_invalid", status_state_name(status_state(fresh.s)));
    EXPECT_EQ(0, status_input_back(fresh.s, 2000000));
    EXPECT_EQ(0, status_input_losses(fresh.s));
    EXPECT_EQ(0.0, status_session_uptime(fresh.s, 3000000));
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
