// The splice rules on synthetic packet sequences: a 25 fps programme (key
// frame every 10 frames) with one audio stream, an in-memory filler with the
// same PIDs, packets fed in dts order as a demuxer returns them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "splice/filler.h"
#include "splice/packets_queue.h"
#include "splice/splice.h"
#include "scte35/scte35.h"

namespace {

const int64_t FRAME = 3600, AFRAME = 1920, GOP = 10 * FRAME;
const int64_t T = 30 * GOP;   // splice point: a key frame
const int64_t D = 5 * GOP;    // break duration: ends on a key frame
const int64_t AOFF = 480;     // audio frames start 480 ticks after video frames
const int PROG_SIZE = 10, FILL_SIZE = 20;  // tells programme from filler packets

// A splice_insert out cue (at: REP_NOW for an immediate one; dur 0: none).
scte35_section insert(uint32_t id, int64_t at, int64_t dur, int out = 1, int cancel = 0)
{
    scte35_section c;
    memset(&c, 0, sizeof(c));
    c.splice_command_type = 5;
    scte35_splice_insert *si = &c.splice_insert;
    si->splice_event_id = id;
    si->splice_event_cancel_indicator = (uint8_t)cancel;
    si->out_of_network_indicator = (uint8_t)out;
    si->program_splice_flag = 1;
    si->splice_immediate_flag = at == REP_NOW;
    si->splice_time.flag = at != REP_NOW;
    si->splice_time.value = at == REP_NOW ? 0 : (uint64_t)at;
    si->duration_flag = dur > 0;
    si->break_duration.value = (uint64_t)dur;
    return c;
}

// A time_signal at `at` with one segmentation descriptor.
scte35_section segment(int type, uint32_t id, int64_t at, int64_t dur, int cancel = 0)
{
    scte35_section c;
    memset(&c, 0, sizeof(c));
    c.splice_command_type = 6;
    c.time_signal.splice_time = {1, (uint64_t)at};
    c.segmentation_count = 1;
    scte35_segmentation *g = &c.segmentation[0];
    g->segmentation_event_id = id;
    g->segmentation_event_cancel_indicator = (uint8_t)cancel;
    g->segmentation_type_id = (uint8_t)type;
    g->segmentation_duration_flag = dur > 0;
    g->segmentation_duration = (uint64_t)dur;
    return c;
}

AVPacket *packet(int s, int64_t pts, int64_t dts, int64_t dur, bool key, int size)
{
    AVPacket *p = av_packet_alloc();
    av_new_packet(p, size);
    p->stream_index = s;
    p->pts = pts;
    p->dts = dts;
    p->duration = dur;
    p->flags = key ? AV_PKT_FLAG_KEY : 0;
    return p;
}

// Two streams (video 0x100, audio 0x101) in a format context of their own.
AVFormatContext *two_streams()
{
    AVFormatContext *f = avformat_alloc_context();
    const AVMediaType types[] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO};
    for (int i = 0; i < 2; i++) {
        AVStream *st = avformat_new_stream(f, nullptr);
        st->id = 0x100 + i;
        st->codecpar->codec_type = types[i];
        st->time_base = AVRational{1, 90000};
    }
    return f;
}

void add_filler_packet(filler_ctx *f, int s, AVPacket *p)
{
    filler_stream *fs = &f->streams[s];
    fs->packets = (AVPacket **)realloc(fs->packets, (fs->count + 1) * sizeof(AVPacket *));
    fs->packets[fs->count++] = p;
}

// Filler (or a spot): video whose pts - dts follows gaps (cycled), audio of 1920 ticks; size tells its packets.
filler_ctx *make_filler(std::vector<int64_t> gaps, int video = 100, int audio = 200, int size = FILL_SIZE)
{
    filler_ctx *f = (filler_ctx *)calloc(1, sizeof(filler_ctx));
    f->format = two_streams();
    for (int k = 0; k < video; k++)
        add_filler_packet(f, 0, packet(0, 5000 + k * FRAME + gaps[k % gaps.size()], 5000 + k * FRAME, FRAME,
                                       k % 10 == 0, size));
    for (int k = 0; k < audio; k++)
        add_filler_packet(f, 1, packet(1, 7000 + k * AFRAME, 7000 + k * AFRAME, AFRAME, true, size));
    f->format->streams[0]->start_time = video ? f->streams[0].packets[0]->pts : AV_NOPTS_VALUE;
    f->format->streams[1]->start_time = 7000;
    return f;
}

struct Rig {
    AVFormatContext *out = two_streams();
    filler_ctx *filler;
    packets_queue *queue = nullptr, *held = nullptr;
    splice_desc desc = {{record, this}, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0};
    splice_env env = {};
    rep_ctx rep;
    std::vector<event> events;
    std::string fates;       // each spot's end: "A:aired B:break_too_short"
    int refusing_calls = 0;  // splice_packet calls that met a full queue
    int64_t shown_late = 0;  // the programme's pictures are shown this long after their dts

    static void record(void *opaque, const event *ev)
    {
        Rig *rig = (Rig *)opaque;
        rig->events.push_back(*ev);
        if (ev->type == EVENT_SPOT_ENDED)
            rig->fates += std::string(rig->fates.empty() ? "" : " ") + ev->spot->id + ":" + event_reason_name(ev);
    }

    explicit Rig(filler_ctx *f, int capacity = 4096) : filler(f)
    {
        packets_queue_create(&queue, capacity);
        packets_queue_create(&held, SPLICE_HELD_MAX);
        env = {out, filler, queue, held, &desc, nullptr};
        rep_ctx_reset(&rep);
    }
    ~Rig()
    {
        packets_queue_destroy(&queue);
        packets_queue_destroy(&held);
        avformat_free_context(out);
        filler_destroy(&filler);
    }
    void arm(int64_t at, int64_t duration)
    {
        scte35_section cue = insert(7, at, duration);
        ASSERT_EQ(1, splice_on_cue(&env, &rep, &cue, at - 90000));
    }
    // One packet through the rules, as the relay hands it over.
    void feed(AVPacket *p) { refusing_calls += splice_packet(&env, &rep, out->streams[p->stream_index], p) < 0; }
    // The programme from frame `from` to `to` (video frames), audio interleaved
    // by dts, or lead ticks earlier (< 0: later) in mux order; each cue is
    // taken just before the video frame it names, timed by that frame.
    struct Cue { int64_t frame; scte35_section section; };
    void programme(int64_t from, int64_t to, int64_t lead = 0, const std::vector<Cue> &cues = {})
    {
        int64_t a = from * FRAME / AFRAME;
        for (int64_t k = from; k < to; k++) {
            for (; a * AFRAME + AOFF - lead < (k + 1) * FRAME; a++)
                if (a * AFRAME + AOFF >= from * FRAME)
                    feed(packet(1, a * AFRAME + AOFF, a * AFRAME + AOFF, AFRAME, true, PROG_SIZE));
            for (const Cue &c : cues)
                if (c.frame == k)
                    splice_on_cue(&env, &rep, &c.section, k * FRAME);
            feed(packet(0, k * FRAME + shown_late, k * FRAME, FRAME, k % 10 == 0, PROG_SIZE));
        }
    }
    // The packets queued on stream s (of that size only, when given).
    std::vector<AVPacket *> written(int s, int size = 0) const
    {
        std::vector<AVPacket *> v;
        for (int i = 0; i < queue->count; i++)
            if (queue->items[i]->stream_index == s && (!size || queue->items[i]->size == size))
                v.push_back(queue->items[i]);
        return v;
    }
};

TEST(Splice, KeyFrameWindowOnBothSides)
{
    struct { bool end; int64_t offset; bool key; int state; } cases[] = {
        {false, -SPLICE_KEY_LEAD - 1, true, SPLICING_STATE_ARMED},
        {false, -SPLICE_KEY_LEAD, false, SPLICING_STATE_ARMED},
        {false, -SPLICE_KEY_LEAD, true, SPLICING_STATE_STARTED},
        {false, 40000, true, SPLICING_STATE_STARTED},
        {true, -SPLICE_KEY_LEAD - 1, true, SPLICING_STATE_STARTED},
        {true, -SPLICE_KEY_LEAD, false, SPLICING_STATE_STARTED},
        {true, -SPLICE_KEY_LEAD, true, SPLICING_STATE_IDLE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "end " << c.end << " offset " << c.offset << " key " << c.key);
        Rig rig(make_filler({0}));
        rig.arm(T, D);
        if (c.end)
            rig.feed(packet(0, T, T, FRAME, true, PROG_SIZE));
        int64_t at = (c.end ? T + D : T) + c.offset;
        rig.feed(packet(0, at, at, FRAME, c.key, PROG_SIZE));
        EXPECT_EQ(c.state, rig.rep.state);
    }
}

TEST(Splice, AStartOffItsPointSaysWhyItStayedOnTheKeyFrame)
{
    // Frame-accurate splices on a programme whose codec no encoder matches (the rig's): the break starts on
    // the first key frame at or after its point, which says why unless it is the point's picture (the first
    // shown at or after it): a key frame a picture (or half of one) before or after the point is not the
    // point. Without them, the key frame in the window, nothing said.
    struct { bool accurate; int64_t offset; int64_t start; int reencoded, fallback; } cases[] = {
        {true, 3 * FRAME, T + GOP, 0, EVENT_FALLBACK_UNMATCHED},
        {true, FRAME / 2, T + GOP, 0, EVENT_FALLBACK_UNMATCHED},
        {true, -FRAME / 2, T, 0, EVENT_FALLBACK_NONE},
        {true, -FRAME, T, 0, EVENT_FALLBACK_UNMATCHED},
        {false, 3 * FRAME, T + GOP, -1, EVENT_FALLBACK_NONE},
        {false, FRAME / 2, T, -1, EVENT_FALLBACK_NONE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "accurate " << c.accurate << " offset " << c.offset);
        Rig rig(make_filler({0}));
        rig.out->streams[0]->avg_frame_rate = {25, 1};
        if (c.accurate) {
            ASSERT_EQ(0, splice_accurate_create(&rig.env.accurate));
        }
        rig.arm(T + c.offset, D);
        rig.programme(T / FRAME - 20, (T + GOP) / FRAME + 1);
        auto started = std::find_if(rig.events.begin(), rig.events.end(),
                                    [](const event &e) { return e.type == EVENT_BREAK_STARTED; });
        ASSERT_NE(rig.events.end(), started);
        EXPECT_EQ(c.start, started->pts);
        EXPECT_EQ(c.reencoded, started->reencoded);
        EXPECT_EQ(c.fallback, started->fallback);
        splice_accurate_destroy(&rig.env.accurate);
    }
}

TEST(Splice, SplicePointOnTheUnwrappedTimeLine)
{
    const int64_t W = INT64_C(1) << 33;
    struct { int64_t pts_time, adjustment, near, point; } cases[] = {
        {500, 0, AV_NOPTS_VALUE, 500},
        {100, 0, W + 50, W + 100},             // the programme has wrapped, the cue's time too
        {100, 0, 3 * W + 50, 3 * W + 100},     // and wrapped again
        {W - 10, 20, 5, 10},                   // the adjustment carries the point past the wrap
        {W - 100, 0, -50, -100},               // demuxed just below the wrap as negative values
        {W - 100, 0, W + 10, W - 100},         // the point lies just before the packets' wrap
        {5, W - 1, 90000, 4},                  // adjustment modulo 2^33
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.point, splice_point_near(c.pts_time, c.adjustment, c.near))
            << c.pts_time << " + " << c.adjustment << " near " << c.near;
}

TEST(Splice, FillerVideoPtsShiftKeepsPtsAtOrAfterDts)
{
    struct { std::vector<int64_t> gaps; int64_t programme_delay, shift; } cases[] = {
        {{0}, 0, 0},
        {{7200, 0, 3600}, 0, 7200},
        {{7200, 0, 3600}, 3600, 3600},
        {{7200, 0, 3600}, 9000, 0},
        {{7200, 3600, 3600}, 0, 3600},
    };
    for (const auto &c : cases) {
        filler_ctx *f = make_filler(c.gaps, 12, 1);
        EXPECT_EQ(c.shift, splice_video_pts_shift(f, 0, c.programme_delay)) << c.programme_delay;
        filler_destroy(&f);
    }
}

TEST(Splice, EventsInOrderWithTheirFields)
{
    Rig rig(make_filler({0}));
    rig.arm(T, D);
    rig.programme(T / FRAME - 20, (T + D) / FRAME + 20);

    struct { event_type type; int reason; int stream; int64_t pts, delta; } want[] = {
        {EVENT_ARMED, 0, -1, T - 90000, 90000},
        {EVENT_BREAK_STARTED, 0, 0, T, 0},
        {EVENT_STREAM_SWITCHED, EVENT_SWITCH_TO_FILLER, 1, T, (T - AOFF) % AFRAME},
        {EVENT_BREAK_ENDED, EVENT_END_DURATION, 0, T + D, 0},
        {EVENT_STREAM_SWITCHED, EVENT_SWITCH_BACK_AT_END, 1, AV_NOPTS_VALUE, AV_NOPTS_VALUE},
        {EVENT_IDLE, 0, -1, AV_NOPTS_VALUE, AV_NOPTS_VALUE},
    };
    ASSERT_EQ(sizeof(want) / sizeof(want[0]), rig.events.size());
    for (size_t i = 0; i < rig.events.size(); i++) {
        const event &e = rig.events[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(want[i].type, e.type);
        EXPECT_EQ(want[i].reason, e.reason);
        EXPECT_EQ(want[i].stream, e.stream);
        EXPECT_TRUE(want[i].pts == AV_NOPTS_VALUE || want[i].pts == e.pts) << e.pts;
        EXPECT_TRUE(want[i].delta == AV_NOPTS_VALUE || want[i].delta == e.delta_ticks) << e.delta_ticks;
        EXPECT_EQ(7u, e.splice_event_id);
        EXPECT_EQ(T, e.splice_time);
        EXPECT_EQ(D, e.duration);
    }
    EXPECT_EQ(T + D, rig.events[4].end_pts);
}

TEST(Splice, WhenTheInputsTimeLineBreaks)
{
    {   // Lost in a break: it ends there with what aired, its end is kept, its repeats change nothing.
        Rig rig(make_filler({0}));
        rig.arm(T, D);
        rig.programme(T / FRAME - 5, T / FRAME + 10);
        EXPECT_EQ(T + D, splice_input_lost(&rig.env, &rig.rep, T + 10 * FRAME));
        EXPECT_EQ(EVENT_BREAK_ENDED, rig.events.back().type);
        EXPECT_EQ(EVENT_END_INPUT_LOST, rig.events.back().reason);
        EXPECT_GE(rig.events.back().aired, 9 * FRAME);
        EXPECT_EQ(SPLICING_STATE_IDLE, rig.rep.state);
        scte35_section cue = insert(7, T, D);
        EXPECT_EQ(0, splice_on_cue(&rig.env, &rig.rep, &cue, T + 11 * FRAME));
        EXPECT_EQ(AV_NOPTS_VALUE, splice_input_lost(&rig.env, &rig.rep, T + 12 * FRAME));
    }
    {   // The source restarts while armed: cancelled for that reason, nothing airs at the old point.
        Rig rig(make_filler({0}));
        rig.arm(T, D);
        splice_source_restart(&rig.env, &rig.rep);
        EXPECT_EQ(EVENT_CANCELLED, rig.events.back().type);
        EXPECT_EQ(EVENT_CANCEL_SOURCE_RESTART, rig.events.back().reason);
        rig.programme(T / FRAME - 5, T / FRAME + 10);
        EXPECT_TRUE(rig.written(0, FILL_SIZE).empty());
    }
    {   // The splice point comes while the input is lost: the break starts and ends there, nothing aired.
        Rig rig(make_filler({0}));
        rig.arm(T, D);
        EXPECT_EQ(AV_NOPTS_VALUE, splice_start_in_outage(&rig.env, &rig.rep, T - GOP));
        EXPECT_EQ(T + D, splice_start_in_outage(&rig.env, &rig.rep, T));
        ASSERT_GE(rig.events.size(), 2u);
        EXPECT_EQ(EVENT_BREAK_STARTED, rig.events[rig.events.size() - 2].type);
        EXPECT_EQ(T, rig.events[rig.events.size() - 2].pts);
        EXPECT_EQ(EVENT_END_INPUT_LOST, rig.events.back().reason);
        EXPECT_EQ(0, rig.events.back().aired);
        EXPECT_EQ(SPLICING_STATE_IDLE, rig.rep.state);
    }
    {   // The source restarts during a break: the break goes on to its announced end, pending events go.
        Rig rig(make_filler({0}, 2 * D / FRAME));
        rig.arm(T, D);
        rig.programme(T / FRAME - 5, T / FRAME + 10);
        scte35_section next = insert(8, T + 2 * D, D);
        splice_on_cue(&rig.env, &rig.rep, &next, T + 10 * FRAME);  // kept for after the break
        splice_source_restart(&rig.env, &rig.rep);
        EXPECT_EQ(EVENT_CANCEL_SOURCE_RESTART, rig.events.back().reason);
        // While its next key frame is to come, the filler goes on by the clock, sound and pictures.
        size_t pictures = rig.written(0, FILL_SIZE).size(), sounds = rig.written(1).size();
        splice_break_clock(&rig.env, &rig.rep, T + 20 * FRAME);
        EXPECT_GE(rig.written(0, FILL_SIZE).size(), pictures + 8);
        EXPECT_GE(rig.written(1).size(), sounds + 15);
        EXPECT_LE(rig.written(1).back()->dts, T + 20 * FRAME);
        rig.programme(T / FRAME + 20, (T + D) / FRAME + 30);
        auto ended = std::find_if(rig.events.begin(), rig.events.end(),
                                  [](const event &e) { return e.type == EVENT_BREAK_ENDED; });
        ASSERT_NE(rig.events.end(), ended);
        EXPECT_EQ(EVENT_END_DURATION, ended->reason);
        EXPECT_EQ(T + D, ended->pts);
    }
    {   // Switched to another stream of the programme: the break goes on, the pending event keeps its
        // moment on the new time line, its copy there is a repeat, and it airs at its moved point.
        Rig rig(make_filler({0}, 2 * D / FRAME));
        rig.arm(T, D);
        rig.programme(T / FRAME - 5, T / FRAME + 10);
        scte35_section next = insert(8, T + 2 * D, D);
        splice_on_cue(&rig.env, &rig.rep, &next, T + 10 * FRAME);
        splice_source_switched(&rig.env, &rig.rep, GOP);
        EXPECT_EQ(EVENT_NEXT_KEPT, rig.events.back().type);
        scte35_section copy = insert(8, T + 2 * D + GOP, D);
        EXPECT_EQ(0, splice_on_cue(&rig.env, &rig.rep, &copy, T + 20 * FRAME));
        EXPECT_EQ(EVENT_CUE_REPEATED, rig.events.back().type);
        rig.programme(T / FRAME + 20, (T + 3 * D + GOP) / FRAME + 10);
        std::vector<std::pair<int64_t, int64_t>> breaks;  // (event, key frame) started and ended
        for (const event &e : rig.events)
            if (e.type == EVENT_BREAK_STARTED || e.type == EVENT_BREAK_ENDED)
                breaks.emplace_back(e.splice_event_id, e.pts);
        EXPECT_EQ((std::vector<std::pair<int64_t, int64_t>>{{7, T}, {7, T + D}, {8, T + 2 * D + GOP},
                                                            {8, T + 3 * D + GOP}}), breaks);
    }
    {   // The programme's times moved: the armed point moves with them.
        Rig rig(make_filler({0}));
        rig.arm(T, D);
        splice_shift_points(&rig.rep, GOP);
        rig.programme(T / FRAME - 5, T / FRAME + 25);
        auto started = std::find_if(rig.events.begin(), rig.events.end(),
                                    [](const event &e) { return e.type == EVENT_BREAK_STARTED; });
        ASSERT_NE(rig.events.end(), started);
        EXPECT_EQ(T + GOP, started->pts);
    }
}

TEST(Splice, ShortFillerVideoReturnsTheProgrammeOnTheCurrentPacket)
{
    Rig rig(make_filler({0}, 20));
    rig.arm(T, D);
    rig.programme(T / FRAME - 1, T / FRAME + 25);
    event end = event_make(EVENT_IDLE);
    for (const event &e : rig.events)
        if (e.type == EVENT_BREAK_ENDED)
            end = e;
    EXPECT_EQ(EVENT_BREAK_ENDED, end.type);
    EXPECT_EQ(EVENT_END_FILLER_END, end.reason);
    EXPECT_EQ(T + 20 * FRAME, end.end_pts);
    std::vector<AVPacket *> v = rig.written(0);
    int64_t expect = v.front()->dts;
    for (AVPacket *p : v) {
        EXPECT_EQ(expect, p->dts);  // the programme resumes where the filler stopped
        EXPECT_EQ(p->dts == T + 20 * FRAME ? SPLICE_SWITCH_MID_GOP : p->dts == T ? SPLICE_SWITCH_KEY : 0,
                  splice_switch_of(p)) << p->dts;
        expect = p->dts + p->duration;
    }
}

// A cue is reported with its own id, time and duration; a time_signal's come from its splice_time
// and its first segmentation descriptor (the SCTE 35 sample Placement Opportunity Start).
TEST(Splice, TimeSignalCueReportedWithItsSegmentationEventAndTime)
{
    const char *hex = "fc3034000000000000fffff00506fe72bd0050001e021c435545494800008e7fcf0001a599b0080800000000"
                      "2ca0a18a3402009ac9d17e";
    const int64_t at = 1924989008;
    Rig rig(make_filler({0}));
    AVPacket *p = packet(0, at - 90000, at - 90000, 0, false, (int)strlen(hex) / 2);
    for (int i = 0; i < p->size; i++)
        p->data[i] = (uint8_t)std::stoi(std::string(hex + 2 * i, 2), nullptr, 16);
    ASSERT_EQ(0, splice_cue(&rig.env, &rig.rep, rig.out->streams[0], p, AV_NOPTS_VALUE));
    av_packet_free(&p);
    const event &e = rig.events.at(0);
    EXPECT_EQ(EVENT_CUE_DECODED, e.type);
    EXPECT_EQ(0x4800008Eu, e.splice_event_id);
    EXPECT_EQ(at, e.splice_time);
    EXPECT_EQ(27630000, e.duration);
    EXPECT_EQ(EVENT_CUE_SEGMENTATION_FLAG | EVENT_CUE_TIME_FLAG | EVENT_CUE_DURATION_FLAG, e.flags);
}

// A full output queue: each packet it refuses is freed (AddressSanitizer sees a leak otherwise) and
// reported once, and the call that met the refusal says so.
TEST(Splice, EveryPacketTheQueueRefusesIsFreedAndReportedOnce)
{
    Rig all(make_filler({0})), full(make_filler({0}), 7);
    for (Rig *rig : {&all, &full}) {
        rig->arm(T, D);
        rig->programme(T / FRAME - 5, T / FRAME + 5);
    }
    int reported = 0;
    for (const event &e : full.events)
        reported += e.type == EVENT_QUEUE_REFUSED && e.result == -ENOMEM;
    ASSERT_EQ(8, full.queue->count);
    EXPECT_EQ(all.queue->count - 8, reported);
    EXPECT_EQ(reported, full.queue->refused);
    EXPECT_GT(full.refusing_calls, 0);
    EXPECT_EQ(0, all.refusing_calls);
}

// Filler B, B, anchor (shown three frames after its dts): the last anchor before the return key frame,
// shown with it, and the B-frames after it, which may reference it, are left out. A session ending
// just before the return writes, as the relay ends it, the held audio unchanged and in order, then
// every filler picture taken.
TEST(Splice, FillerPicturesShownFromTheReturnKeyFrameOnAreLeftOut)
{
    for (bool session_end : {false, true}) {
        SCOPED_TRACE(session_end);
        Rig rig(make_filler({0, 0, 3 * FRAME}));
        rig.arm(T, D);
        rig.programme(T / FRAME - 5, (T + D) / FRAME + (session_end ? -1 : 5));
        size_t held = (size_t)rig.held->count;
        if (session_end) {
            ASSERT_GT(held, 0u);
            splice_release_held(&rig.env);
            splice_session_end(&rig.env, &rig.rep);
            std::vector<AVPacket *> a = rig.written(1), tail(a.end() - held, a.end());
            for (size_t i = 0; i < held; i++)
                EXPECT_TRUE(tail[i]->size == PROG_SIZE && tail[i]->duration == AFRAME &&
                            tail[i]->pts == tail[0]->pts + (int64_t)i * AFRAME) << i;
        }
        std::vector<AVPacket *> fill = rig.written(0, FILL_SIZE);
        ASSERT_EQ((size_t)(D / FRAME - (session_end ? 1 : 3)), fill.size());
        for (size_t i = 0; i < fill.size(); i++) {
            EXPECT_EQ(T + (int64_t)i * FRAME, fill[i]->dts);
            EXPECT_TRUE(session_end || fill[i]->pts < T + D) << i;
        }
    }
}

// Open GOPs, on a programme no encoder matches (no run): the key frame
// that ends the break waits for its leading pictures (decoded after it,
// shown before it), which are left out, and is decoded in the last one's
// place. One with fewer than the GOP before it (none: a closed GOP among
// open ones) keeps its own dts, so that every picture after it follows it.
TEST(Splice, AnOpenGopsReturnKeyFrameCountsItsOwnLeadingPictures)
{
    const int64_t first = T / FRAME - 20, K = (T + D) / FRAME + 10;  // display indices; the end 3 frames after T + D
    for (int leading : {2, 0}) {
        SCOPED_TRACE(leading);
        Rig rig(make_filler({0}));
        rig.out->streams[0]->avg_frame_rate = {25, 1};
        ASSERT_EQ(0, splice_accurate_create(&rig.env.accurate));
        rig.arm(T, D + 3 * FRAME);
        // Decoding order: each key frame g, the two pictures shown before it, g+1 .. g+7; at K without leading
        // pictures, those two come before it.
        std::vector<std::pair<int64_t, bool>> order;
        for (int64_t g = first; g <= K + 10; g += 10) {
            bool closed = g == K && leading == 0;
            if (!closed)
                order.push_back({g, true});
            order.push_back({g - 2, false});
            order.push_back({g - 1, false});
            if (closed)
                order.push_back({g, true});
            for (int64_t i = 1; i <= 7; i++)
                order.push_back({g + i, false});
        }
        int64_t a = first * FRAME / AFRAME, key_dts = 0, last_leading_dts = 0;
        for (size_t n = 0; n < order.size(); n++) {
            int64_t dts = (first + (int64_t)n - 3) * FRAME;
            for (; a * AFRAME + AOFF < dts + FRAME; a++)
                rig.feed(packet(1, a * AFRAME + AOFF, a * AFRAME + AOFF, AFRAME, true, PROG_SIZE));
            rig.feed(packet(0, order[n].first * FRAME, dts, FRAME, order[n].second, PROG_SIZE));
            key_dts = order[n].first == K ? dts : key_dts;
            last_leading_dts = order[n].first == K - 1 ? dts : last_leading_dts;
        }
        std::vector<AVPacket *> v = rig.written(0);
        auto back = std::find_if(v.begin(), v.end(), [&](const AVPacket *p) { return p->size == PROG_SIZE && p->pts == K * FRAME; });
        ASSERT_NE(v.end(), back);
        EXPECT_EQ(leading ? last_leading_dts : key_dts, (*back)->dts);
        int after = 0;
        for (auto it = v.begin() + 1; it != v.end(); ++it) {
            EXPECT_GT((*it)->dts, (*(it - 1))->dts) << "pts " << (*it)->pts;
            after += it >= back && (*it)->size == PROG_SIZE;
            EXPECT_FALSE(it > back && (*it)->pts < K * FRAME) << "pts " << (*it)->pts;
        }
        EXPECT_EQ(18, after);  // K .. K+7 and the next GOP's ten
        splice_accurate_destroy(&rig.env.accurate);
    }
}

// Pictures shown two frames after their dts, as with B-frames: a key frame
// still to come is shown after every picture read, so the audio and the
// filler pictures shown by then go on at once, two frames sooner than the
// dts alone would let them.
TEST(Splice, WhatIsShownBeforeTheNextKeyFrameGoesOnAtOnce)
{
    Rig armed(make_filler({0}));
    armed.shown_late = 2 * FRAME;
    armed.arm(T, D);
    armed.programme(T / FRAME - 5, T / FRAME, 4 * FRAME);  // audio 4 frames ahead in mux order
    int64_t shown = T - FRAME + armed.shown_late;          // by the last picture read
    ASSERT_GT(armed.held->count, 0);
    for (int i = 0; i < armed.held->count; i++)
        EXPECT_GT(armed.held->items[i]->pts + armed.held->items[i]->duration, shown) << i;

    Rig running(make_filler({0}));
    running.shown_late = 2 * FRAME;
    running.arm(T, D);
    running.programme(T / FRAME - 5, (T + D) / FRAME);  // up to the return key frame, not included
    shown = T + D - FRAME + running.shown_late;
    std::vector<AVPacket *> fill = running.written(0, FILL_SIZE);
    ASSERT_FALSE(fill.empty());
    EXPECT_GT(fill.back()->pts + FRAME, shown);
}

// The decisions as a line of words: "armed:7 started:7 ended/duration:7 idle".
std::string decisions(const std::vector<event> &events)
{
    std::string out;
    for (const event &e : events) {
        const char *word = nullptr;
        switch (e.type) {
        case EVENT_ARMED: word = e.reason == EVENT_ARM_CUE ? "armed" : "armed/"; break;
        case EVENT_CUE_IGNORED: word = "ignored/"; break;
        case EVENT_CUE_REPEATED: word = "repeat"; break;
        case EVENT_CANCELLED: word = "cancelled/"; break;
        case EVENT_RETURN_SCHEDULED: word = "return"; break;
        case EVENT_NEXT_KEPT: word = "kept/"; break;
        case EVENT_DROPPED: word = "dropped/"; break;
        case EVENT_EXPIRED: word = "expired/"; break;
        case EVENT_BREAK_STARTED: word = "started"; break;
        case EVENT_BREAK_ENDED: word = "ended/"; break;
        case EVENT_BREAK_SKIPPED: word = "skipped/"; break;
        case EVENT_IDLE: out += " idle"; continue;
        default: continue;
        }
        out += std::string(" ") + word + (word[strlen(word) - 1] == '/' ? event_reason_name(&e) : "") + ":" +
               std::to_string(e.splice_event_id);
    }
    return out.empty() ? out : out.substr(1);
}

// A run of one recording's packets in the output: which one (its index in the
// list asked about), [first pts, end) in ticks.
struct Piece {
    int media;
    int64_t from, to;
    bool operator==(const Piece &o) const { return media == o.media && from == o.from && to == o.to; }
};
std::ostream &operator<<(std::ostream &os, const Piece &r) { return os << r.media << ":" << r.from << "-" << r.to; }

// Runs of the recordings in medias in stream s of the output, each one
// beginning with a recording's first packet or after a packet of another.
std::vector<Piece> content_runs(const Rig &rig, const std::vector<const filler_ctx *> &medias, int s)
{
    std::vector<Piece> runs;
    int in_run = -1;
    for (AVPacket *p : rig.written(s)) {
        int m = -1, k = -1;
        for (size_t j = 0; j < medias.size() && k < 0; j++)
            for (int i = 0; i < medias[j]->streams[s].count && k < 0; i++)
                if (medias[j]->streams[s].packets[i]->data == p->data)
                    m = (int)j, k = i;
        if (k == 0 || (k > 0 && m != in_run))
            runs.push_back({m, p->pts, 0});
        if (k >= 0)
            runs.back().to = p->pts + p->duration;
        in_run = m;
    }
    return runs;
}

// Runs of filler in stream s of the output: [first pts, end) in ticks.
std::vector<std::pair<int64_t, int64_t>> filler_runs(const Rig &rig, int s)
{
    std::vector<std::pair<int64_t, int64_t>> runs;
    for (const Piece &r : content_runs(rig, {rig.filler}, s))
        runs.push_back({r.from, r.to});
    return runs;
}

scte35_section crc_mismatch(scte35_section c)
{
    c.defects = SCTE35_DEFECT_CRC;
    return c;
}

scte35_section component_mode(scte35_section c)
{
    c.splice_insert.program_splice_flag = 0;
    return c;
}

// A section of command type (-1: encrypted); a splice_schedule (4) names events 11 and 12.
scte35_section command(int type)
{
    scte35_section c;
    memset(&c, 0, sizeof(c));
    c.encrypted_packet = type < 0;
    c.splice_command_type = (uint8_t)(type < 0 ? 0 : type);
    c.schedule.event_count = type == 4 ? 2 : 0;
    c.schedule.splice_event_id[0] = 11, c.schedule.splice_event_id[1] = 12;
    return c;
}

TEST(Splice, CuesAsFeedsSendThem)
{
    const int64_t F = FRAME, AHEAD = 27000, S = 90000;  // 300 ms; a second
    const int64_t t = T / F;                            // splice point, in frames
    const splice_timing deflt = splice_timing_default(), one_pending = {1, deflt.max_cue_lead, deflt.late_join},
                        seven_hours = {deflt.max_pending, 7 * 3600 * S, deflt.late_join};
    struct Row {
        const char *name;
        std::vector<Rig::Cue> cues;
        std::vector<std::pair<int64_t, int64_t>> breaks;  // video, in frames
        const char *decisions;
        int64_t lead = 0;
        int time_signal = 0, filler_video = 100;
        splice_timing timing = splice_timing_default();
        bool video = true;  // the output carries the programme's video
    } rows[] = {
        {"repeats before, during and after the break",
         {{250, insert(7, T, D)}, {280, insert(7, T, D)}, {320, insert(7, T, D)}, {360, insert(7, T, D)}},
         {{t, t + 50}}, "armed:7 repeat:7 started:7 repeat:7 ended/duration:7 idle repeat:7"},
        {"cancel before the start", {{250, insert(7, T, D)}, {280, insert(7, T, D, 1, 1)}}, {},
         "armed:7 cancelled/armed:7"},
        {"cancel of the running break", {{250, insert(7, T, D)}, {320, insert(7, T, D, 1, 1)}}, {{t, t + 50}},
         "armed:7 started:7 ignored/already_started:7 ended/duration:7 idle"},
        {"timed return, same id", {{250, insert(7, T, D)}, {310, insert(7, T + 25 * F, 0, 0)}}, {{t, t + 30}},
         "armed:7 started:7 return:7 ended/return_cue:7 idle"},
        {"timed return, audio 300 ms ahead", {{250, insert(7, T, D)}, {310, insert(7, T + 25 * F, 0, 0)}},
         {{t, t + 30}}, "armed:7 started:7 return:7 ended/return_cue:7 idle", AHEAD},
        {"timed return, audio 300 ms behind", {{250, insert(7, T, D)}, {310, insert(7, T + 25 * F, 0, 0)}},
         {{t, t + 30}}, "armed:7 started:7 return:7 ended/return_cue:7 idle", -AHEAD},
        {"immediate return, other id", {{250, insert(7, T, D)}, {312, insert(9, REP_NOW, 0, 0)}}, {{t, t + 20}},
         "armed:7 started:7 return:9 ended/return_cue:7 idle"},
        {"return outside a break", {{250, insert(7, T, 0, 0)}}, {}, "ignored/not_in_break:7"},
        {"timed return for the armed event", {{250, insert(7, T, D)}, {280, insert(7, T + 25 * F, 0, 0)}},
         {{t, t + 30}}, "armed:7 return:7 started:7 ended/return_cue:7 idle"},
        {"timed return for a pending event",
         {{250, insert(7, T, D)}, {251, insert(8, T + 70 * F, 30 * F)}, {260, insert(8, T + 85 * F, 0, 0)}},
         {{t, t + 50}, {t + 70, t + 90}},
         "armed:7 kept/after_armed:8 return:8 started:7 ended/duration:7 idle armed/kept:8 started:8 "
         "ended/duration:8 idle"},
        {"immediate out", {{255, insert(7, REP_NOW, D)}}, {{260, 310}}, "armed:7 started:7 ended/duration:7 idle"},
        {"back to back", {{250, insert(7, T, D)}, {320, insert(8, T + D, D)}}, {{t, t + 50}, {t + 50, t + 100}},
         "armed:7 started:7 kept/after_break:8 ended/duration:7 armed/kept:8 started:8 ended/duration:8 idle", AHEAD},
        {"next event after a gap", {{250, insert(7, T, D)}, {320, insert(8, T + 70 * F, 30 * F)}},
         {{t, t + 50}, {t + 70, t + 100}},
         "armed:7 started:7 kept/after_break:8 ended/duration:7 idle armed/kept:8 started:8 ended/duration:8 idle"},
        {"next event inside the break", {{250, insert(7, T, D)}, {320, insert(8, T + 30 * F, D)}},
         {{t, t + 30}, {t + 30, t + 80}},
         "armed:7 started:7 kept/after_break:8 ended/next_event:7 armed/kept:8 started:8 ended/duration:8 idle",
         -AHEAD},
        {"later event announced first", {{250, insert(8, T + 70 * F, 30 * F)}, {251, insert(7, T, D)}},
         {{t, t + 50}, {t + 70, t + 100}},
         "armed:8 armed:7 kept/displaced:8 started:7 ended/duration:7 idle armed/kept:8 started:8 ended/duration:8 "
         "idle"},
        {"four announced together: one too far, one far ahead and cancelled, two in turn",
         {{250, insert(7, T, D)}, {250, insert(10, T + 1000 * S, D)}, {250, insert(9, T + 300 * S, D)},
          {250, insert(8, T + 70 * F, 30 * F)}, {330, insert(9, T + 300 * S, D, 1, 1)}},
         {{t, t + 50}, {t + 70, t + 100}},
         "armed:7 ignored/too_far:10 kept/after_armed:9 kept/after_armed:8 started:7 cancelled/kept:9 "
         "ended/duration:7 idle armed/kept:8 started:8 ended/duration:8 idle"},
        {"a bogus cue 6 h ahead, then breaks cued inside the running one",
         {{250, insert(9, T + 6 * 3600 * S, 30 * S)}, {250, insert(7, T, D)}, {320, insert(8, T + 60 * F, 30 * F)},
          {370, insert(10, T + 100 * F, 20 * F)}},
         {{t, t + 50}, {t + 60, t + 90}, {t + 100, t + 120}},
         "armed:9 armed:7 kept/displaced:9 started:7 kept/after_break:8 ended/duration:7 idle armed/kept:8 "
         "started:8 kept/after_break:10 ended/duration:8 idle armed/kept:10 started:10 ended/duration:10 idle "
         "armed/kept:9", 0, 0, 100, seven_hours},
        {"one pending at most: the farthest is dropped",
         {{250, insert(7, T, D)}, {250, insert(8, T + 100 * F, 20 * F)}, {250, insert(9, T + 60 * F, 30 * F)}},
         {{t, t + 50}, {t + 60, t + 90}},
         "armed:7 kept/after_armed:8 kept/after_armed:9 dropped/max_pending:8 started:7 ended/duration:7 idle "
         "armed/kept:9 started:9 ended/duration:9 idle", 0, 0, 100, one_pending},
        {"two pending events due at one key frame: the first expires",
         {{250, insert(7, T, D)}, {320, insert(8, T + 31 * F, D)}, {320, insert(9, T + 32 * F, D)}},
         {{t, t + 30}, {t + 30, t + 80}},
         "armed:7 started:7 kept/after_break:8 kept/after_break:9 ended/next_event:7 expired/passed:8 "
         "armed/kept:9 started:9 ended/duration:9 idle"},
        {"cue 0.48 s late: joins at the next key frame, ends as announced", {{312, insert(7, T, D)}},
         {{t + 20, t + 50}}, "armed/late_join:7 started:7 ended/duration:7 idle"},
        {"key frame 7 frames after the splice point: back at the announced end",
         {{250, insert(7, T + 3 * F, 45 * F)}}, {{t + 10, t + 50}}, "armed:7 started:7 ended/duration:7 idle"},
        {"late join whose end comes before its key frame", {{312, insert(7, T, 15 * F)}}, {},
         "armed/late_join:7 expired/passed:7"},
        {"cues 3 s late and an hour stale", {{250, insert(8, T - 3600 * S, D)}, {375, insert(7, T, D)}}, {},
         "ignored/late:8 ignored/late:7"},
        {"encrypted, component mode, splice_schedule and other commands",
         {{250, command(-1)}, {250, component_mode(insert(7, T, D))}, {250, command(4)}, {250, command(0)},
          {250, command(7)}, {250, command(0xFF)}, {250, command(2)}}, {},
         "ignored/encrypted:0 ignored/component_mode:7 ignored/splice_schedule:11 ignored/splice_schedule:12 "
         "ignored/splice_null:0 ignored/bandwidth_reservation:0 ignored/private_command:0 "
         "ignored/reserved_command:0"},
        {"time_signal start and end", {{250, segment(0x34, 5, T, 0)}, {310, segment(0x35, 5, T + 20 * F, 0)}},
         {{t, t + 20}}, "armed:5 started:5 return:5 ended/return_cue:5 idle", 0, 1},
        {"time_signal start with a duration", {{250, segment(0x30, 5, T, D)}}, {{t, t + 50}},
         "armed:5 started:5 ended/duration:5 idle", 0, 1},
        {"time_signal cancel", {{250, segment(0x22, 5, T, 0)}, {280, segment(0x22, 5, T, 0, 1)}}, {},
         "armed:5 cancelled/armed:5", 0, 1},
        {"time_signal end of another event", {{250, segment(0x36, 5, T, D)}, {310, segment(0x37, 6, T, 0)}},
         {{t, t + 50}}, "armed:5 started:5 ignored/not_in_break:6 ended/duration:5 idle", 0, 1},
        {"time_signal without the option", {{250, segment(0x34, 5, T, D)}}, {}, "ignored/time_signal_off:5"},
        {"CRC mismatch", {{250, crc_mismatch(insert(7, T, D))}}, {}, "ignored/crc_mismatch:7"},
        {"no filler video", {{250, insert(7, T, D)}}, {}, "armed:7 skipped/no_filler_video:7", 0, 0, 0},
        {"no video of the programme: each event skipped at once, its repeat known",
         {{250, insert(7, T, D)}, {280, insert(7, T, D)}, {290, insert(8, T + 70 * F, D)}}, {},
         "skipped/no_video:7 repeat:7 skipped/no_video:8", 0, 0, 100, deflt, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig(make_filler({0}, row.filler_video));
        if (!row.video)
            rig.out->streams[0]->codecpar->codec_type = AVMEDIA_TYPE_DATA;
        rig.desc.time_signal_breaks = row.time_signal;
        rig.desc.timing = &row.timing;
        rig.programme(200, 440, row.lead, row.cues);
        EXPECT_EQ(row.decisions, decisions(rig.events));

        // Video: the filler from its first packet at each break's key frame,
        // nothing lost or repeated around it; the break's end reports what aired.
        std::vector<std::pair<int64_t, int64_t>> video = filler_runs(rig, 0), want;
        for (auto b : row.breaks)
            want.push_back({b.first * F, b.second * F});
        EXPECT_EQ(want, video);
        std::vector<AVPacket *> v = rig.written(0);
        for (size_t i = 1; i < v.size(); i++)
            ASSERT_EQ(v[i - 1]->dts + v[i - 1]->duration, v[i]->dts) << i;
        // The video switches, marked, on the key frames that start and end the breaks.
        std::set<int64_t> bounds;
        for (auto b : want)
            bounds.insert({b.first, b.second});
        std::vector<int64_t> marked;
        for (AVPacket *p : v)
            if (splice_switch_of(p) != SPLICE_SWITCH_NONE)
                marked.push_back(splice_switch_of(p) == SPLICE_SWITCH_KEY ? p->pts : -1);
        EXPECT_EQ(std::vector<int64_t>(bounds.begin(), bounds.end()), marked);
        size_t n = 0;
        for (const event &e : rig.events)
            if (e.type == EVENT_BREAK_ENDED && n < want.size()) {
                EXPECT_EQ(want[n].second - want[n].first, e.aired);
                n++;
            }
        EXPECT_EQ(want.size(), n);

        // Audio: gapless, one filler run per break from its key frame; back on
        // the programme with its first packet that ends after the return (the
        // next break's filler right at it).
        std::vector<AVPacket *> a = rig.written(1);
        for (size_t i = 1; i < a.size(); i++)
            ASSERT_EQ(a[i - 1]->pts + a[i - 1]->duration, a[i]->pts) << i;
        std::vector<std::pair<int64_t, int64_t>> audio = filler_runs(rig, 1);
        ASSERT_EQ(want.size(), audio.size());
        for (size_t i = 0; i < audio.size(); i++) {
            EXPECT_EQ(want[i].first, audio[i].first);
            bool chained = i + 1 < want.size() && want[i + 1].first == want[i].second;
            EXPECT_LE(audio[i].second, want[i].second);
            EXPECT_GT(audio[i].second, want[i].second - (chained ? 1 : AFRAME));
        }
    }
}

// A planner answering every break with the same spots A, B, ... (or leaving the programme on air).
struct Plan {
    std::vector<filler_ctx *> spots;
    bool leave = false;
    splice_planner planner = {answer, this};

    static int answer(void *opaque, const splice_break *, rep_spot *out, int max)
    {
        Plan *p = (Plan *)opaque;
        int n = 0;
        for (; !p->leave && n < (int)p->spots.size() && n < max; n++) {
            memset(&out[n], 0, sizeof(out[n]));
            out[n].info.id[0] = (char)('A' + n);
            out[n].media = p->spots[(size_t)n];
        }
        return p->leave ? SPLICE_PLAN_LEAVE : n;
    }
    ~Plan()
    {
        for (filler_ctx *&f : spots)
            filler_destroy(&f);
    }
};

TEST(Splice, ABreakAirsItsSpotsBackToBackThenTheFillerLoopedUpToItsEnd)
{
    const int64_t F = FRAME, t = T / F;
    struct Row {
        const char *name;
        std::vector<int> spots;    // video frames of each
        std::vector<Rig::Cue> cues;
        std::vector<Piece> video;    // media (0: the filler, k: spot k), from and to in frames
        const char *fates, *decisions;
        int filler_video = 100, open_breaks = 0;
        int64_t max_break = 0;
        bool leave = false;
    } rows[] = {
        {"back to back, one too long", {20, 60, 20}, {{250, insert(7, T, D)}},
         {{1, t, t + 20}, {3, t + 20, t + 40}, {0, t + 40, t + 50}}, "A:aired B:break_too_short C:aired",
         "armed:7 started:7 ended/duration:7 idle"},
        {"the filler looped", {}, {{250, insert(7, T, 2 * D)}}, {{0, t, t + 40}, {0, t + 40, t + 80}, {0, t + 80, t + 100}},
         "", "armed:7 started:7 ended/duration:7 idle", 40},
        {"NUL", {20}, {{250, insert(7, T, D)}}, {}, "", "armed:7 skipped/schedule:7", 100, 0, 0, true},
        {"open, ended by a return cue", {20, 20}, {{250, insert(7, T, 0)}, {310, insert(9, T + 30 * F, 0, 0)}},
         {{1, t, t + 20}, {2, t + 20, t + 30}}, "A:aired B:cut_short",
         "armed:7 started:7 return:9 ended/return_cue:7 idle", 100, 1},
        {"open, ended by --max-break", {20}, {{250, insert(7, T, 0)}}, {{1, t, t + 20}, {0, t + 20, t + 40}},
         "A:aired", "armed:7 started:7 ended/max_break:7 idle", 100, 1, 40 * F},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Plan plan;
        std::vector<const filler_ctx *> medias;
        for (size_t i = 0; i < row.spots.size(); i++)
            plan.spots.push_back(make_filler({0}, row.spots[i], row.spots[i] * 15 / 8 + 1, 30 + (int)i));
        plan.leave = row.leave;
        Rig rig(make_filler({0}, row.filler_video, row.filler_video * 15 / 8 + 1));
        medias.push_back(rig.filler);
        medias.insert(medias.end(), plan.spots.begin(), plan.spots.end());
        rig.desc.planner = &plan.planner;
        rig.desc.open_breaks = row.open_breaks;
        rig.desc.max_break = row.max_break;
        rig.programme(200, 440, 0, row.cues);
        EXPECT_EQ(row.decisions, decisions(rig.events));
        EXPECT_EQ(row.fates, rig.fates);

        // Video: each item from its first picture, back to back, switched (and
        // returned) on key frames; audio gapless, each item's from the same point.
        std::vector<Piece> want, audio;
        for (Piece r : row.video)
            want.push_back({r.media, r.from * F, r.to * F});
        EXPECT_EQ(want, content_runs(rig, medias, 0));
        std::vector<int64_t> marked, bounds;
        for (const Piece &r : want)
            bounds.push_back(r.from);
        if (!want.empty())
            bounds.push_back(want.back().to);
        for (AVPacket *p : rig.written(0))
            if (splice_switch_of(p) != SPLICE_SWITCH_NONE)
                marked.push_back(splice_switch_of(p) == SPLICE_SWITCH_KEY ? p->pts : -1);
        EXPECT_EQ(bounds, marked);
        std::vector<AVPacket *> a = rig.written(1);
        for (size_t i = 1; i < a.size(); i++)
            ASSERT_EQ(a[i - 1]->pts + a[i - 1]->duration, a[i]->pts) << i;
        for (Piece r : content_runs(rig, medias, 1))
            audio.push_back({r.media, r.from, 0});
        for (Piece &r : want)
            r.to = 0;
        EXPECT_EQ(want, audio);
    }
}

// A programme audio stream the filler lacks is silent for the break, with a schedule or without.
TEST(Splice, AProgrammeAudioTheFillerLacksIsSilentForTheBreak)
{
    for (bool schedule : {false, true}) {
        Plan plan;
        Rig rig(make_filler({0}, 100, 0));
        rig.desc.planner = schedule ? &plan.planner : nullptr;
        rig.arm(T, D);
        rig.programme(T / FRAME - 20, (T + D) / FRAME + 20);
        int during = 0, after = 0;
        for (AVPacket *p : rig.written(1)) {
            during += p->pts >= T && p->pts < T + D;
            after += p->pts >= T + D;
        }
        EXPECT_EQ(0, during) << schedule;
        EXPECT_GT(after, 0);
    }
}

} // namespace

