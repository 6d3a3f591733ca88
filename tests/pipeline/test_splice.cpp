// The splice rules on synthetic packet sequences: a 25 fps programme (key
// frame every 10 frames) with one audio stream, an in-memory filler with the
// same PIDs, packets fed in dts order as a demuxer returns them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "pipeline/filler.h"
#include "pipeline/packets_queue.h"
#include "pipeline/splice.h"
#include "scte35/scte35.h"

namespace {

const int64_t FRAME = 3600, AFRAME = 1920, GOP = 10 * FRAME;
const int64_t T = 30 * GOP;   // splice point: a key frame
const int64_t D = 5 * GOP;    // break duration: ends on a key frame
const int64_t AOFF = 480;     // audio frames start 480 ticks after video frames
const int PROG_SIZE = 10, FILL_SIZE = 20;  // tells programme from filler packets

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

// Filler: video whose pts - dts follows gaps (cycled), audio of 1920 ticks.
filler_ctx *make_filler(std::vector<int64_t> gaps, int video = 100, int audio = 200)
{
    filler_ctx *f = (filler_ctx *)calloc(1, sizeof(filler_ctx));
    f->format = two_streams();
    for (int k = 0; k < video; k++)
        add_filler_packet(f, 0, packet(0, 5000 + k * FRAME + gaps[k % gaps.size()], 5000 + k * FRAME, FRAME,
                                       k % 10 == 0, FILL_SIZE));
    for (int k = 0; k < audio; k++)
        add_filler_packet(f, 1, packet(1, 7000 + k * AFRAME, 7000 + k * AFRAME, AFRAME, true, FILL_SIZE));
    f->format->streams[0]->start_time = f->streams[0].packets[0]->pts;
    f->format->streams[1]->start_time = 7000;
    return f;
}

struct Rig {
    AVFormatContext *out = two_streams();
    filler_ctx *filler;
    packets_queue *queue = nullptr, *held = nullptr;
    event_sink sink = {record, this};
    splice_env env = {};
    rep_ctx rep;
    std::vector<event> events;

    static void record(void *opaque, const event *ev) { ((Rig *)opaque)->events.push_back(*ev); }

    explicit Rig(filler_ctx *f) : filler(f)
    {
        packets_queue_create(&queue, 4096);
        packets_queue_create(&held, SPLICE_HELD_MAX);
        env = {out, filler, queue, held, &sink, 0};
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
        scte35_section cue;
        memset(&cue, 0, sizeof(cue));
        cue.splice_insert.splice_event_id = 7;
        cue.splice_insert.splice_time.flag = 1;
        cue.splice_insert.splice_time.value = (uint64_t)at;
        cue.splice_insert.duration_flag = 1;
        cue.splice_insert.break_duration.value = (uint64_t)duration;
        ASSERT_EQ(1, splice_arm(&env, &rep, &cue, at - 90000));
    }
    // One packet through the rules; what they leave goes on, as the relay does.
    void feed(AVPacket *p)
    {
        splice_packet(&env, &rep, out->streams[p->stream_index], &p);
        if (p)
            packets_queue_push(queue, p);
    }
    // The programme from frame `from` to `to` (video frames), audio interleaved by dts.
    void programme(int64_t from, int64_t to)
    {
        int64_t a = from * FRAME / AFRAME;
        for (int64_t k = from; k < to; k++) {
            for (; a * AFRAME + AOFF < (k + 1) * FRAME; a++)
                if (a * AFRAME + AOFF >= k * FRAME)
                    feed(packet(1, a * AFRAME + AOFF, a * AFRAME + AOFF, AFRAME, true, PROG_SIZE));
            feed(packet(0, k * FRAME, k * FRAME, FRAME, k % 10 == 0, PROG_SIZE));
        }
    }
    std::vector<AVPacket *> written(int s) const
    {
        std::vector<AVPacket *> v;
        for (int i = 0; i < queue->count; i++)
            if (queue->items[i]->stream_index == s)
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

TEST(Splice, BreakReplacesVideoAndLaysAudioEndToEnd)
{
    Rig rig(make_filler({0}));
    rig.arm(T, D);
    rig.programme(T / FRAME - 20, (T + D) / FRAME + 20);

    // Video: programme up to the splice, filler re-timed from the key frame,
    // programme again from the key frame at T + D.
    std::vector<AVPacket *> v = rig.written(0);
    int64_t expect = (T / FRAME - 20) * FRAME;
    for (AVPacket *p : v) {
        bool in_break = p->dts >= T && p->dts < T + D;
        EXPECT_EQ(in_break ? FILL_SIZE : PROG_SIZE, p->size) << p->dts;
        EXPECT_EQ(expect, p->dts);
        EXPECT_EQ(p->dts, p->pts);
        expect = p->dts + p->duration;
    }
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(T + D + 20 * FRAME, expect);

    // Audio: no gap and no overlap; the packet holding T cut there, filler from
    // T, the last filler packet ending on a programme packet's boundary.
    std::vector<AVPacket *> a = rig.written(1);
    int filler_packets = 0;
    for (size_t i = 1; i < a.size(); i++) {
        EXPECT_EQ(a[i - 1]->pts + a[i - 1]->duration, a[i]->pts) << i;
        filler_packets += a[i]->size == FILL_SIZE;
        if (a[i]->size == FILL_SIZE && a[i - 1]->size == PROG_SIZE) {
            EXPECT_EQ(T, a[i]->pts);
            EXPECT_EQ(T - a[i - 1]->pts, a[i - 1]->duration);
        }
        if (a[i]->size == PROG_SIZE && a[i - 1]->size == FILL_SIZE) {
            EXPECT_EQ(AOFF, a[i]->pts % AFRAME);
            EXPECT_GE(a[i]->pts, T + D);
            EXPECT_LT(a[i]->pts, T + D + 4 * AFRAME);  // audio fed before the key frame is still replaced
        }
    }
    EXPECT_GT(filler_packets, D / AFRAME - 1);
    EXPECT_EQ(SPLICING_STATE_IDLE, rig.rep.state);
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
        if (want[i].pts != AV_NOPTS_VALUE) {
            EXPECT_EQ(want[i].pts, e.pts);
        }
        if (want[i].delta != AV_NOPTS_VALUE) {
            EXPECT_EQ(want[i].delta, e.delta);
        }
        EXPECT_EQ(7u, e.splice_event_id);
        EXPECT_EQ(T, e.splice_time);
        EXPECT_EQ(D, e.duration);
    }
    EXPECT_EQ(T + D, rig.events[4].end_pts);
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
        expect = p->dts + p->duration;
    }
}

TEST(Splice, HeldAudioIsReleasedInOrderAtTheEndOfInput)
{
    Rig rig(make_filler({0}));
    rig.arm(T, D);
    for (int64_t a = T / AFRAME - 10; a < T / AFRAME + 5; a++)
        rig.feed(packet(1, a * AFRAME, a * AFRAME, AFRAME, true, PROG_SIZE));
    int queued = rig.queue->count;
    EXPECT_GT(rig.held->count, 0);
    splice_release_held(&rig.env);
    EXPECT_EQ(0, rig.held->count);
    EXPECT_EQ(15, rig.queue->count);
    EXPECT_GT(15, queued);
    for (int i = 0; i < rig.queue->count; i++) {
        EXPECT_EQ((T / AFRAME - 10 + i) * AFRAME, rig.queue->items[i]->pts);
        EXPECT_EQ(AFRAME, rig.queue->items[i]->duration);
    }
}

TEST(Splice, CueWithoutSpliceTimeIsIgnored)
{
    Rig rig(make_filler({0}));
    scte35_section cue;
    memset(&cue, 0, sizeof(cue));
    cue.splice_insert.splice_event_id = 9;
    EXPECT_EQ(0, splice_arm(&rig.env, &rig.rep, &cue, T));
    EXPECT_EQ(SPLICING_STATE_IDLE, rig.rep.state);
    ASSERT_EQ(1u, rig.events.size());
    EXPECT_EQ(EVENT_CUE_IGNORED, rig.events[0].type);
    EXPECT_EQ(EVENT_IGNORE_NO_SPLICE_TIME, rig.events[0].reason);
}

} // namespace
