// Events to as-run records: each recorded type gives its record, its reason
// and the event's own numbers; every other type gives nothing.
#include <gtest/gtest.h>

#include "splice/event_asrun.h"

namespace {

const int64_t NOW = 1620043201123, ID = 7, AT = 900000, DUR = 2700000, PTS = 903003, AIRED = 2702700;
const int64_t NONE = ASRUN_NONE;

TEST(EventAsrun, RecordedEventsGiveTheirRecordReasonAndNumbers)
{
    struct {
        event_type type;
        int reason, record;
        const char *why;
        int64_t id, pts, aired;
    } rows[] = {
        {EVENT_CUE_DECODED, 0, ASRUN_CUE, "", ID, NONE, NONE},
        {EVENT_CUE_FAILED, 0, ASRUN_IGNORED, "unreadable", NONE, NONE, NONE},
        {EVENT_CUE_IGNORED, EVENT_IGNORE_CRC, ASRUN_IGNORED, "crc_mismatch", ID, NONE, NONE},
        {EVENT_ARMED, EVENT_ARM_UPDATED, ASRUN_ARMED, "updated", ID, NONE, NONE},
        {EVENT_NEXT_KEPT, EVENT_KEEP_DISPLACED, ASRUN_KEPT, "displaced", ID, NONE, NONE},
        {EVENT_DROPPED, EVENT_DROP_MAX_PENDING, ASRUN_DROPPED, "max_pending", ID, NONE, NONE},
        {EVENT_EXPIRED, EVENT_EXPIRE_PASSED, ASRUN_EXPIRED, "passed", ID, PTS, NONE},
        {EVENT_RETURN_SCHEDULED, 0, ASRUN_RETURN, "", ID, NONE, NONE},
        {EVENT_CUE_REPEATED, 0, ASRUN_REPEAT, "", ID, NONE, NONE},
        {EVENT_CANCELLED, EVENT_CANCEL_KEPT, ASRUN_CANCELLED, "kept", ID, NONE, NONE},
        {EVENT_BREAK_STARTED, 0, ASRUN_BREAK_START, "", ID, PTS, NONE},
        {EVENT_BREAK_SKIPPED, EVENT_SKIP_NO_FILLER_VIDEO, ASRUN_BREAK_SKIPPED, "no_filler_video", ID, PTS, NONE},
        {EVENT_BREAK_ENDED, EVENT_END_RETURN_CUE, ASRUN_BREAK_END, "return_cue", ID, PTS, AIRED},
        // The input ended: no key frame took the programme back, and no length is known.
        {EVENT_BREAK_ENDED, EVENT_END_SESSION_END, ASRUN_BREAK_END, "session_end", ID, NONE, NONE},
        {EVENT_BREAK_ENDED, EVENT_END_INPUT_LOST, ASRUN_BREAK_END, "input_lost", ID, NONE, AIRED},
        {EVENT_CANCELLED, EVENT_CANCEL_SOURCE_RESTART, ASRUN_CANCELLED, "source_restart", ID, NONE, NONE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << "event " << row.type << " reason " << row.reason);
        event ev = event_make(row.type);
        ev.reason = row.reason;
        ev.splice_event_id = ID;
        ev.splice_time = AT;
        ev.duration = DUR;
        ev.pts = PTS;
        ev.aired = AIRED;
        asrun_record r;
        ASSERT_EQ(1, event_asrun(&ev, NOW, &r));
        EXPECT_EQ(row.record, r.event);
        EXPECT_EQ(NOW, r.time_ms);
        EXPECT_STREQ(row.why, r.reason);
        EXPECT_EQ(row.id, r.splice_event_id);
        EXPECT_EQ(AT, r.splice_time);
        EXPECT_EQ(DUR, r.duration);
        EXPECT_EQ(row.pts, r.pts);
        EXPECT_EQ(row.aired, r.aired);
    }
}

TEST(EventAsrun, AbsentNumbersStayAbsentAndOtherEventsRecordNothing)
{
    event ev = event_make(EVENT_BREAK_ENDED);  // no splice time, pts or aired
    ev.duration = 0;                           // the cue gave none
    asrun_record r;
    ASSERT_EQ(1, event_asrun(&ev, NOW, &r));
    for (int64_t v : {r.splice_time, r.duration, r.pts, r.aired})
        EXPECT_EQ(NONE, v);

    for (event_type t : {EVENT_STREAM_SWITCHED, EVENT_IDLE, EVENT_RELAY_STARTED, EVENT_WRITE_FAILED,
                         EVENT_PROGRESS}) {
        ev = event_make(t);
        r = asrun_record_make(ASRUN_CUE, 1);
        EXPECT_EQ(0, event_asrun(&ev, NOW, &r)) << t;
        EXPECT_EQ(1, r.time_ms) << t;  // untouched
    }
    EXPECT_EQ(-22, event_asrun(nullptr, NOW, &r));
    EXPECT_EQ(-22, event_asrun(&ev, NOW, nullptr));
}

// A time_signal's id is its segmentation_event_id, a cue without one has none; times are the 33-bit
// values whatever the packets' time line; lateness is recorded where it decided.
TEST(EventAsrun, IdsOfTheirKindThirtyThreeBitTimesAndLateness)
{
    const int64_t W = INT64_C(1) << 33;
    struct {
        event_type type;
        int reason, flags;
        int64_t at, delta;
        int64_t splice_id, segmentation_id, splice_time, late;
    } rows[] = {
        {EVENT_CUE_DECODED, 0, EVENT_CUE_SEGMENTATION_FLAG, W + 5, 0, NONE, ID, 5, NONE},
        {EVENT_CUE_IGNORED, EVENT_IGNORE_ENCRYPTED, EVENT_CUE_NO_ID_FLAG, -206672, 0, NONE, NONE, W - 206672, NONE},
        {EVENT_ARMED, EVENT_ARM_LATE_JOIN, 0, AT, -45000, ID, NONE, AT, 45000},
        {EVENT_ARMED, EVENT_ARM_CUE, 0, AT, 180000, ID, NONE, AT, NONE},
        {EVENT_CUE_IGNORED, EVENT_IGNORE_LATE, EVENT_CUE_SEGMENTATION_FLAG, AT, -270000, NONE, ID, AT, 270000},
        {EVENT_CUE_IGNORED, EVENT_IGNORE_TOO_FAR, 0, AT, 1944000000, ID, NONE, AT, NONE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << "event " << row.type << " reason " << row.reason);
        event ev = event_make(row.type);
        ev.reason = row.reason;
        ev.flags = row.flags;
        ev.splice_event_id = ID;
        ev.splice_time = row.at;
        ev.delta_ticks = row.delta;
        asrun_record r;
        ASSERT_EQ(1, event_asrun(&ev, NOW, &r));
        EXPECT_EQ(row.splice_id, r.splice_event_id);
        EXPECT_EQ(row.segmentation_id, r.segmentation_event_id);
        EXPECT_EQ(row.splice_time, r.splice_time);
        EXPECT_EQ(row.late, r.late);
    }
    event start = event_make(EVENT_BREAK_STARTED);
    start.pts = -90000;  // a key frame just before the wrap, as the demuxer may give it
    asrun_record r;
    ASSERT_EQ(1, event_asrun(&start, NOW, &r));
    EXPECT_EQ(W - 90000, r.pts);
}

} // namespace

namespace {

event at_pts(event_type t, int64_t pts, int reason = 0)
{
    event ev = event_make(t);
    ev.pts = pts;
    ev.reason = reason;
    return ev;
}

// A live input's clock: tied at progress events while the programme's times go on; a frozen
// highest dts (the input silent) or one of another time line (a packet an hour on, read before
// its key frame re-based it) ties nothing; a restart's re-base ties its key frame to now.
TEST(EventAirClock, FollowsTheProgrammeAcrossOutagesAndRestarts)
{
    const int64_t HOUR = 3600 * 90000, W0 = NOW;
    event_air_clock c;
    event_air_clock_init(&c, ASRUN_NONE, 1);
    struct {
        event ev;
        int64_t now_ms;           // when it comes
        int64_t pts, air_ms;      // then: the air time of pts
    } rows[] = {
        {at_pts(EVENT_PROGRESS, PTS), W0, PTS + 90000, W0 + 1000},
        {at_pts(EVENT_PROGRESS, PTS + 90000), W0 + 1000, PTS + 180000, W0 + 2000},
        // The input silent for 3 s: its last dts read stays what it was.
        {at_pts(EVENT_PROGRESS, PTS + 90000), W0 + 4000, PTS + 450000, W0 + 5000},
        // The new time line's first packets raised the highest dts an hour before the re-base.
        {at_pts(EVENT_PROGRESS, PTS + HOUR), W0 + 4500, PTS + 495000, W0 + 5500},
        // Its key frame re-based at the output's clock (half a second later than the old line had it).
        {at_pts(EVENT_TIMELINE_MOVED, PTS + 450000, EVENT_TIMELINE_RESTART), W0 + 5500, PTS + 540000, W0 + 6500},
        {at_pts(EVENT_PROGRESS, PTS + HOUR), W0 + 6000, PTS + 990000, W0 + 11500},
        {at_pts(EVENT_PROGRESS, PTS + 540000), W0 + 6500, PTS + 990000, W0 + 11500},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << "event " << row.ev.type << " at " << row.now_ms - W0);
        event_air_clock_follow(&c, &row.ev, row.now_ms);
        EXPECT_EQ(row.air_ms, event_air_ms(&c, row.pts, 0));
        event end = at_pts(EVENT_BREAK_ENDED, row.pts, EVENT_END_DURATION);
        EXPECT_EQ(row.air_ms, event_asrun_time(&c, &end, 0));
    }
    EXPECT_EQ(PTS + 540000, c.last_pts);  // the highest timestamp read on the clock's own line
}

} // namespace
