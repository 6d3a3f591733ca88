// The words of every event, as both programs show them: each row an event
// and its lines, "I " or "E " for the severity.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

#include "common/log.h"
#include "event/event_text.h"
#include "ts/ts_layout.h"

namespace {

// An event of break 42 at 990000 with the fields a row sets.
struct Ev {
    event e;
    explicit Ev(event_type t, int reason = 0) : e(event_make(t))
    {
        e.reason = reason;
        e.splice_event_id = 42;
        e.splice_time = 990000;
    }
    Ev &at(int64_t pts, int64_t delta = AV_NOPTS_VALUE, int64_t end_pts = AV_NOPTS_VALUE)
    {
        e.pts = pts, e.delta_ticks = delta, e.end_pts = end_pts;
        return *this;
    }
    Ev &on(int stream) { return e.stream = stream, *this; }
    Ev &input(int index) { return e.input_index = index, *this; }
    Ev &pid(int pid, int program_number = 0) { return e.pid = pid, e.program_number = program_number, *this; }
    Ev &result(int result) { return e.result = result, *this; }
    Ev &count(int64_t n) { return e.count = n, *this; }
    Ev &us(int64_t elapsed) { return e.elapsed_us = elapsed, *this; }
    Ev &flags(int f) { return e.flags = f, *this; }
    Ev &text(const char *t) { return e.text = t, *this; }
};

void collect(void *opaque, int severity, const char *text)
{
    ((std::vector<std::string> *)opaque)->push_back((severity == LOG_ERROR ? "E " : "I ") + std::string(text));
}

const uint8_t CUE[] = {0xFC, 0x30, 0x0A};
const std::string HEX = "I FC300A", HINT = "I check value against " EVENT_SCTE35_DECODER_A " or "
                                                EVENT_SCTE35_DECODER_B;
const int SEG = EVENT_CUE_SEGMENTATION_FLAG;

} // namespace

TEST(EventText, EveryEventInItsWords)
{
    Ev armed(EVENT_ARMED, EVENT_ARM_UPDATED);
    armed.at(810000, 180000).flags(EVENT_CUE_DURATION_FLAG | EVENT_CUE_TIME_FLAG);
    armed.e.pts_time = 900000, armed.e.pts_adjustment = 90000, armed.e.duration = 270000;
    Ev shifted(EVENT_BREAK_STARTED);
    shifted.at(990000, 1800).e.pts_shift = 7200;
    Ev on_point(EVENT_BREAK_STARTED), on_key(EVENT_BREAK_STARTED), late(EVENT_BREAK_STARTED);
    on_point.at(990000, 0).e.reencoded = 2;
    on_key.at(1080000, 90000).e.fallback = EVENT_FALLBACK_FIELDS;
    late.at(1044000, 54000).e.fallback = EVENT_FALLBACK_LATE_CUE;
    late.e.reencoded = 1;
    Ev ended(EVENT_BREAK_ENDED, EVENT_END_DURATION);
    ended.at(1260000, 0, 1260000).on(0).e.aired = 270000;
    Ev lost(EVENT_BREAK_ENDED, EVENT_END_SESSION_END);
    Ev exact(EVENT_BREAK_ENDED, EVENT_END_RETURN_CUE), keyed(EVENT_BREAK_ENDED, EVENT_END_DURATION);
    exact.at(1260000, 0, 1260000).on(0).e.reencoded = 24;
    keyed.at(1350000, 90000, 1350000).on(0).e.fallback = EVENT_FALLBACK_UNMATCHED;
    Ev back(EVENT_BREAK_ENDED, EVENT_END_FILLER_END);
    back.on(0).e.aired = 90000;
    Ev fast(EVENT_INPUT_FAST);
    fast.count(25).e.rate_milli = 2000;
    Ev run_late(EVENT_RUN_LEFT_OUT), run_failed(EVENT_RUN_LEFT_OUT);
    run_late.count(2).us(301000).e.fallback = EVENT_FALLBACK_LATE;
    run_failed.count(3).result(-12).e.fallback = EVENT_FALLBACK_ERROR;
    Ev unread(EVENT_PROGRAMME_UNSPLICEABLE, EVENT_UNSPLICEABLE_UNREAD);
    unread.pid(0x100, 1).e.stream_type = 0x33;
    struct Row { event ev; std::vector<std::string> lines; } rows[] = {
        {Ev(EVENT_CUE_DECODED).e, {HEX, HINT, "I splice_insert.splice_event_id=42"}},
        {Ev(EVENT_CUE_DECODED).flags(SEG).e, {HEX, HINT, "I time_signal.segmentation_event_id=42"}},
        {Ev(EVENT_CUE_FAILED).result(-22).e, {HEX, HINT, "E Failed to parse SCTE-35 packet: -22"}},
        {armed.e, {"I splice_insert.splice_time.pts_time=900000",
                   "I effective splice point=990000 (11.000000), pts_adjustment=90000",
                   "I splice_event_id=42 armed (updated) at 990000", "I remain: 180000 ticks (2.000000 sec)",
                   "I splice_insert.break_duration.duration=270000 (3.000000), at=1170000"}},
        {Ev(EVENT_ARMED).flags(SEG | EVENT_CUE_IMMEDIATE_FLAG).e,
         {"I segmentation_event_id=42 armed: immediate, at the next video key frame"}},
        {Ev(EVENT_CUE_IGNORED, EVENT_IGNORE_CRC).e, {"I cue of splice_event_id=42 ignored: crc_mismatch"}},
        {Ev(EVENT_CUE_REPEATED).flags(SEG).e, {"I segmentation_event_id=42 repeated: nothing changes"}},
        {Ev(EVENT_CANCELLED, EVENT_CANCEL_ARMED).e, {"I splice_event_id=42 cancelled: disarmed"}},
        {Ev(EVENT_CANCELLED, EVENT_CANCEL_KEPT).e,
         {"I splice_event_id=42 cancelled: no longer kept for after the break"}},
        {Ev(EVENT_RETURN_SCHEDULED).e,
         {"I return cue splice_event_id=42: the break ends at the first video key frame at 990000 (11.000000)"}},
        {Ev(EVENT_RETURN_SCHEDULED).flags(EVENT_CUE_IMMEDIATE_FLAG).e,
         {"I return cue splice_event_id=42: the break ends at the next video key frame"}},
        {Ev(EVENT_NEXT_KEPT, EVENT_KEEP_AFTER_BREAK).count(3).e,
         {"I splice_event_id=42 at 990000 kept (after_break): armed when its turn comes, 3 pending"}},
        {Ev(EVENT_DROPPED, EVENT_DROP_MAX_PENDING).count(16).e,
         {"E splice_event_id=42 at 990000 dropped (max_pending): more than 16 events pending"}},
        {Ev(EVENT_EXPIRED, EVENT_EXPIRE_PASSED).at(1080000).e,
         {"E splice_event_id=42 at 990000 expired (passed): its time was over at the key frame at 1080000"}},
        {Ev(EVENT_EXPIRED, EVENT_EXPIRE_SESSION_END).flags(SEG).e,
         {"I segmentation_event_id=42 at 990000 expired (session_end): the session ended before it"}},
        {Ev(EVENT_CUE_IGNORED, EVENT_IGNORE_LATE).at(1260000, -270000).e,
         {"I cue of splice_event_id=42 ignored: late (3.000000 sec after its splice point)"}},
        {Ev(EVENT_CUE_IGNORED, EVENT_IGNORE_TOO_FAR).at(0, 54000000).e,
         {"I cue of splice_event_id=42 ignored: too_far (600.000000 sec before its splice point)"}},
        {Ev(EVENT_CUE_IGNORED, EVENT_IGNORE_ENCRYPTED).flags(EVENT_CUE_NO_ID_FLAG).e,
         {"I cue ignored: encrypted"}},
        {Ev(EVENT_BREAK_SKIPPED, EVENT_SKIP_NO_FILLER_VIDEO).on(0).e,
         {"E break of splice_event_id=42 skipped (no_filler_video): the filler has no video for output stream 0"}},
        {Ev(EVENT_BREAK_SKIPPED, EVENT_SKIP_NO_VIDEO).e,
         {"E break of splice_event_id=42 skipped (no_video): no video of the programme can be demultiplexed"}},
        {shifted.e, {"I Splicing started: delta=1800, time=0.020000",
                     "I filler video pts shifted by 7200 ticks (0.080000 sec) to keep pts >= dts"}},
        {on_point.e, {"I Splicing started: delta=0, time=0.000000",
                      "I start of splice_event_id=42 on the announced picture: 2 pictures before it re-encoded"}},
        {on_key.e, {"I Splicing started: delta=90000, time=1.000000",
                    "I start of splice_event_id=42 on the programme's key frame, not on the announced picture: "
                    "field_pictures"}},
        {late.e, {"I Splicing started: delta=54000, time=0.600000",
                  "I start of splice_event_id=42 0.600000 sec after the announced picture: late_cue (the pictures "
                  "shown from it on had gone out when the cue came), 1 pictures before the start re-encoded"}},
        {run_late.e, {"E start of splice_event_id=42: the 2 pictures before it re-encoded were not ready after 301 ms: "
                      "left out (late), the picture before them held"}},
        {run_failed.e, {"E start of splice_event_id=42: the 3 pictures before it could not be re-encoded: left out "
                        "(error: Cannot allocate memory), the picture before them held"}},
        {Ev(EVENT_STREAM_SWITCHED, EVENT_SWITCH_TO_FILLER).at(990000, 960).on(1).e,
         {"I found audio stream 1, dts delta=960, rep_ctx.scte_35_pts_time=990000"}},
        {Ev(EVENT_STREAM_SWITCHED, EVENT_SWITCH_BACK_AT_END).at(1260480, 0, 1260000).on(1).e,
         {"I end of break detected for stream 1, sent_dts=1260480, end_pts=1260000"}},
        {Ev(EVENT_STREAM_SWITCHED, EVENT_SWITCH_BACK_FILLER_END).on(1).e, {"I end of AUDIO stream 1 reached"}},
        {ended.e, {"I Splicing finished: delta=0, time=0.000000, rep_ctx.end_pts=1260000",
                   "I break of splice_event_id=42 ended: duration, aired=270000 (3.000000 sec)"}},
        {back.e, {"I end of VIDEO stream 0 reached",
                  "I break of splice_event_id=42 ended: filler_end, aired=90000 (1.000000 sec)"}},
        {lost.e, {"I break of splice_event_id=42 ended: session_end, aired=0 (0.000000 sec)"}},
        {exact.e, {"I Splicing finished: delta=0, time=0.000000, rep_ctx.end_pts=1260000",
                   "I break of splice_event_id=42 ended: return_cue, aired=0 (0.000000 sec)",
                   "I return of splice_event_id=42 on the announced picture: 24 pictures re-encoded up to the key "
                   "frame"}},
        {keyed.e, {"I Splicing finished: delta=90000, time=1.000000, rep_ctx.end_pts=1350000",
                   "I break of splice_event_id=42 ended: duration, aired=0 (0.000000 sec)",
                   "I return of splice_event_id=42 on the programme's key frame, not on the announced picture: "
                   "unmatched"}},
        {Ev(EVENT_BREAK_ENDED, EVENT_END_INPUT_LOST).e,
         {"I break of splice_event_id=42 ended: input_lost, aired=0 (0.000000 sec)"}},
        {Ev(EVENT_CANCELLED, EVENT_CANCEL_SOURCE_RESTART).e,
         {"I splice_event_id=42 cancelled: the source restarted on a new time line (source_restart)"}},
        {Ev(EVENT_INPUT_LOST).us(105000).e, {"E input lost: nothing received for 0.105 s; the output goes on"}},
        {Ev(EVENT_INPUT_BACK).us(5200000).e, {"I input back after 5.200 s"}},
        {Ev(EVENT_TIMELINE_MOVED, EVENT_TIMELINE_START).at(900000, 0).e,
         {"I output starts on the video key frame at pts 900000"}},
        {Ev(EVENT_TIMELINE_MOVED, EVENT_TIMELINE_LATE).at(990000, 468000).e,
         {"I programme resumes on the video key frame at pts 990000 (late), its times moved by 468000 ticks "
          "(5.200000 sec)"}},
        {fast.e,
         {"E input runs ahead of the wall clock, its clock at 2.00 times the wall clock's rate: taken at real "
          "time, 25 packets left out"}},
        {Ev(EVENT_SLATE_STARTED).at(990000).e, {"I slate: the filler airs from its first key frame at pts 990000"}},
        {Ev(EVENT_IDLE).e, {"I SPLICING_STATE_IDLE"}},
        {Ev(EVENT_RELAY_STARTED).e, {"I Entering main loop..."}},
        {Ev(EVENT_FIRST_TIMESTAMP).at(900000).e, {"I dts_stream_max=900000 (10.000000)"}},
        {Ev(EVENT_TIME_JUMP).at(0, -1800001).e, {"I timestamp jump of -20.000011 s at dts 0: a new time line follows the last"}},
        {Ev(EVENT_STREAM_ATTACHED).on(2).input(3).e, {"I source stream 3 now belongs to output stream 2"}},
        {Ev(EVENT_STREAM_ADDED).on(1).pid(257).e, {"I stream[1]->id=257 [0x101]"}},
        {Ev(EVENT_STREAM_UNKNOWN, TS_STREAM_LEAVE_OUT).input(1).pid(0x101).e,
         {"E stream on PID 0x101 has unknown parameters: left out for this session"}},
        {Ev(EVENT_STREAM_UNKNOWN, TS_STREAM_RELAY_FILLED).input(1).pid(0x101).e,
         {"I stream on PID 0x101 has no sample rate yet: relayed as declared"}},
        {Ev(EVENT_LEADING_DROPPED).at(990000).count(2).on(0).e,
         {"I 2 leading pictures of the GOP at pts 990000 left out on stream 0"}},
        {Ev(EVENT_EPG_ADDED).on(3).e, {"I adding EPG track"}},
        {Ev(EVENT_OUTPUT_OPENING).text("out.ts").e, {"I Opening [out.ts]..."}},
        {Ev(EVENT_SETUP_FAILED, EVENT_STEP_OUTPUT_CONTEXT).result(AVERROR_UNKNOWN).text("o").e,
         {"E avformat_alloc_output_context2(o) failed: Unknown error occurred"}},
        {Ev(EVENT_SETUP_FAILED, EVENT_STEP_NEW_STREAM).on(2).e, {"E Failed allocating output stream 2"}},
        {Ev(EVENT_SETUP_FAILED, EVENT_STEP_CODEC_PARAMETERS).on(2).result(AVERROR(ENOMEM)).e,
         {"E Failed to copy codec parameters for stream 2: Cannot allocate memory"}},
        {Ev(EVENT_SETUP_FAILED, EVENT_STEP_METADATA).on(2).result(AVERROR(ENOMEM)).e,
         {"E Failed to copy metadatas for stream 2: Cannot allocate memory"}},
        {Ev(EVENT_SETUP_FAILED, EVENT_STEP_OPEN_OUTPUT).result(AVERROR(EACCES)).text("o").e,
         {"E Could not open output file [o]: Permission denied"}},
        {Ev(EVENT_SETUP_FAILED, EVENT_STEP_WRITE_HEADER).result(AVERROR(EINVAL)).e,
         {"E avformat_write_header failed: Invalid argument"}},
        {Ev(EVENT_SETUP_FAILED, EVENT_STEP_LAYOUT).result(-EINVAL).text("PMT PID 0x100 is also a stream's").e,
         {"E output identity refused: PMT PID 0x100 is also a stream's"}},
        {Ev(EVENT_QUEUE_REFUSED).result(-12).e, {"E packets_queue_push failed with -12"}},
        {Ev(EVENT_WRITE_FAILED).result(AVERROR(EIO)).e, {"E Error muxing packet: Input/output error"}},
        {Ev(EVENT_READ_FAILED).result(AVERROR(EIO)).e, {"E Error reading the input: Input/output error"}},
        {Ev(EVENT_PROGRAMME_UNSPLICEABLE, EVENT_UNSPLICEABLE_SCRAMBLED).pid(0x300, 3).e,
         {"E programme 3 cannot be spliced: PID 0x300 of it is scrambled; its streams pass through as TS packets "
          "and its breaks are skipped"}},
        {unread.e,
         {"E programme 1 cannot be spliced: the demuxer reads no codec from PID 0x100 (stream type 0x33); its "
          "streams pass through as TS packets and its breaks are skipped"}},
        {Ev(EVENT_OUTPUT_CHECK, 0).count(3).text("pat_interval").e,
         {"E the output failed its pat_interval check 3 times"}},
        {Ev(EVENT_PROGRESS).e, {}},
    };
    for (Row &row : rows) {
        SCOPED_TRACE(row.ev.type);
        row.ev.data = CUE;
        row.ev.size = sizeof(CUE);
        std::vector<std::string> lines;
        EXPECT_EQ((int)row.lines.size(), event_text(&row.ev, collect, &lines));
        EXPECT_EQ(row.lines, lines);
    }
    EXPECT_EQ(-EINVAL, event_text(nullptr, collect, nullptr));
}

// The traffic's words that no process test reads back: a break's plan, the schedule's warnings and closed
// windows, a spot as read, the fall-backs for want of memory.
TEST(EventText, TheTrafficInItsWords)
{
    struct tm tm = {};
    tm.tm_year = 126, tm.tm_mon = 11, tm.tm_mday = 9, tm.tm_hour = 10, tm.tm_min = 5, tm.tm_isdst = -1;
    int64_t ten_past = (int64_t)mktime(&tm) * 1000;
    event_spot a = {}, b = {}, ready = {};
    snprintf(a.id, sizeof(a.id), "A"), snprintf(b.id, sizeof(b.id), "B"), snprintf(b.why, sizeof(b.why), "not read yet");
    snprintf(ready.id, sizeof(ready.id), "R"), snprintf(ready.file, sizeof(ready.file), "R.mxf");
    ready.length = 1350000;
    event_spot both[] = {a, b};
    event_traffic planned = {"", "", ten_past, 2, 0, 0, 0, 0, 0, both, 2};
    event_traffic empty = planned, folder = planned, sch = planned;
    empty.spot_count = 0;
    folder.file = "/srv/spots";
    sch.schedule = "/srv/day.SCH";
    struct Row { event_type type; int reason; const event_traffic *tr; const event_spot *spot; const char *text;
                 int64_t count; std::string line; } rows[] = {
        {EVENT_BREAK_PLANNED, EVENT_PLAN_SPOTS, &planned, nullptr, nullptr, 0,
         "I break 2 of the window at 10:05:00: A, B (not read yet)"},
        {EVENT_BREAK_PLANNED, EVENT_PLAN_SPOTS, &empty, nullptr, nullptr, 0,
         "I break 2 of the window at 10:05:00: no record, the filler airs"},
        {EVENT_BREAK_PLANNED, EVENT_PLAN_OUTSIDE, &planned, nullptr, nullptr, 0,
         "I break at 10:05:00: outside every window of the schedule, the filler airs"},
        {EVENT_SCHEDULE_WARNING, 0, &sch, nullptr, "line 3: no such record type", 0,
         "E schedule [/srv/day.SCH] line 3: no such record type"},
        {EVENT_WINDOWS_CLOSED, 0, &sch, nullptr, nullptr, 4,
         "E schedule [/srv/day.SCH]: 4 records of ended windows without their break"},
        {EVENT_SPOT_CHECKED, EVENT_SPOT_CHECK_READY, &folder, &ready, nullptr, 0, "I spot R [R.mxf]: ready, 15.00 s"},
        {EVENT_SPOT_CHECKED, EVENT_SPOT_CHECK_MISSING, &folder, &a, nullptr, 0, "E spot A: no file A.ts in [/srv/spots]"},
        {EVENT_TRAFFIC_NO_MEMORY, EVENT_MEMORY_FILES, nullptr, nullptr, nullptr, 0,
         "E traffic: out of memory, the schedule's file work waits for the next turn"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.line);
        event ev = event_make(row.type);
        ev.reason = row.reason, ev.traffic = row.tr, ev.spot = row.spot, ev.text = row.text, ev.count = row.count;
        std::vector<std::string> lines;
        EXPECT_EQ(1, event_text(&ev, collect, &lines));
        EXPECT_EQ(std::vector<std::string>{row.line}, lines);
    }
}
