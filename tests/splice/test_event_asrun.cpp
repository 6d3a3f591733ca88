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
        {EVENT_ARMED, EVENT_ARM_UPDATED, ASRUN_ARMED, "", ID, NONE, NONE},
        {EVENT_CUE_REPEATED, 0, ASRUN_REPEAT, "", ID, NONE, NONE},
        {EVENT_CANCELLED, EVENT_CANCEL_KEPT, ASRUN_CANCELLED, "kept", ID, NONE, NONE},
        {EVENT_BREAK_STARTED, 0, ASRUN_BREAK_START, "", ID, PTS, NONE},
        {EVENT_BREAK_SKIPPED, EVENT_SKIP_NO_FILLER_VIDEO, ASRUN_BREAK_SKIPPED, "no_filler_video", ID, PTS, NONE},
        {EVENT_BREAK_ENDED, EVENT_END_RETURN_CUE, ASRUN_BREAK_END, "return_cue", ID, PTS, AIRED},
        // The input ended: no key frame took the programme back.
        {EVENT_BREAK_ENDED, EVENT_END_SESSION_END, ASRUN_BREAK_END, "session_end", ID, NONE, AIRED},
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

    for (event_type t : {EVENT_STREAM_SWITCHED, EVENT_IDLE, EVENT_RETURN_SCHEDULED, EVENT_NEXT_KEPT,
                         EVENT_RELAY_STARTED, EVENT_WRITE_FAILED, EVENT_PROGRESS}) {
        ev = event_make(t);
        r = asrun_record_make(ASRUN_CUE, 1);
        EXPECT_EQ(0, event_asrun(&ev, NOW, &r)) << t;
        EXPECT_EQ(1, r.time_ms) << t;  // untouched
    }
    EXPECT_EQ(-22, event_asrun(nullptr, NOW, &r));
    EXPECT_EQ(-22, event_asrun(&ev, NOW, nullptr));
}

} // namespace
