// The relay loop's rules for single packets (relay_internal.h) on hand-made
// streams, and a read error met by relay_run on a generated programme.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "lib/test_support.h"
#include "relay/relay_internal.h"
#include "splice/splice.h"

namespace {

typedef std::vector<std::pair<int, AVMediaType>> streams;  // (stream id, media type)

void add_streams(AVFormatContext *f, const streams &list)
{
    for (auto s : list) {
        AVStream *st = avformat_new_stream(f, nullptr);
        st->id = s.first;
        st->codecpar->codec_type = s.second;
        st->time_base = AVRational{1, 90000};
    }
}

// A relay over input and output contexts that are not opened, with the
// tables relay_open_output makes: nothing mapped, stamped or written yet.
struct Bench {
    AVFormatContext *in = avformat_alloc_context(), *out = avformat_alloc_context();
    relay r = {};
    std::vector<event> events;

    static void record(void *opaque, const event *ev) { ((Bench *)opaque)->events.push_back(*ev); }

    Bench(const streams &inputs, const streams &outputs)
    {
        add_streams(in, inputs);
        add_streams(out, outputs);
        r.in = in;
        r.out = out;
        r.desc.splice.events = {record, this};
        r.gop.stream = -1;
        r.stream_map_size = (int)in->nb_streams;
        r.stream_map = (int32_t *)av_malloc_array(in->nb_streams, sizeof(int32_t));
        r.next_dts = (int64_t *)av_malloc_array(in->nb_streams, sizeof(int64_t));
        r.last_dts = (int64_t *)av_malloc_array(out->nb_streams, sizeof(int64_t));
        for (unsigned i = 0; i < in->nb_streams; i++)
            r.stream_map[i] = i < out->nb_streams ? (int)i : -1, r.next_dts[i] = AV_NOPTS_VALUE;
        for (unsigned i = 0; i < out->nb_streams; i++)
            r.last_dts[i] = AV_NOPTS_VALUE;
    }
    ~Bench()
    {
        av_freep(&r.stream_map);
        av_freep(&r.next_dts);
        av_freep(&r.last_dts);
        avformat_free_context(in);
        avformat_free_context(out);
    }
};

AVPacket packet(int s, int64_t pts, int64_t dts, int64_t duration = 0)
{
    AVPacket p = {};
    p.stream_index = s;
    p.pts = pts;
    p.dts = dts;
    p.duration = duration;
    return p;
}

const int64_t NO = AV_NOPTS_VALUE;

} // namespace

TEST(Relay, StreamsMapByIndexAndLateStreamsById)
{
    Bench b({{0x100, AVMEDIA_TYPE_VIDEO}, {0x101, AVMEDIA_TYPE_AUDIO}, {0x101, AVMEDIA_TYPE_AUDIO},
             {0x200, AVMEDIA_TYPE_DATA}},
            {{0x100, AVMEDIA_TYPE_VIDEO}, {0x101, AVMEDIA_TYPE_AUDIO}});
    b.r.stream_map[2] = b.r.stream_map[3] = -1;  // added by the demuxer after set-up
    struct { int in, out; } rows[] = {{0, 0}, {1, 1}, {2, 1}, {2, 1}, {3, -1}, {-1, -1}, {4, -1}};
    for (auto row : rows)
        EXPECT_EQ(row.out, relay_map_stream(&b.r, row.in)) << row.in;
    ASSERT_EQ(1u, b.events.size());  // attached once, then mapped
    EXPECT_EQ(EVENT_STREAM_ATTACHED, b.events[0].type);
    EXPECT_EQ(1, b.events[0].stream);
    EXPECT_EQ(2, b.events[0].input_index);
}

TEST(Relay, TimestampRule)
{
    struct { int64_t next, pts, dts, duration, first; bool kept; int64_t dts_after, next_after; } rows[] = {
        {NO, 100, 100, 10, NO, true, 100, 110},
        {110, NO, NO, 10, 100, true, 110, 120},   // predicted from its own stream
        {110, 500, NO, 10, 100, true, 110, 120},  // the prediction before its own pts
        {NO, 500, NO, 0, 100, true, 500, 501},    // its pts; a packet without duration lasts a tick
        {NO, NO, NO, 10, 100, true, NO, NO},      // never another stream's time
        {NO, NO, NO, 10, NO, false, NO, NO},      // before the session's first timestamp
    };
    for (const auto &row : rows) {
        Bench b({{0x100, AVMEDIA_TYPE_VIDEO}}, {{0x100, AVMEDIA_TYPE_VIDEO}});
        b.r.next_dts[0] = row.next;
        AVPacket p = packet(0, row.pts, row.dts, row.duration);
        EXPECT_EQ(row.kept, relay_stamp(&b.r, &p, row.first)) << row.next << " " << row.pts;
        EXPECT_EQ(row.dts_after, p.dts);
        EXPECT_EQ(row.pts, p.pts);
        EXPECT_EQ(row.next_after, b.r.next_dts[0]);
    }
}

TEST(Relay, TheMuxerGetsOneTimeLine)
{
    const int64_t W = INT64_C(1) << 33, S = 90000;
    struct { int64_t clock, dts, offset; } rows[] = {
        {NO, 1000 * S, W},              // nothing written yet: one wrap up
        {NO, -22 * S, W},               // just below the wrap, as the demuxer gives it
        {W + 1001 * S, 1000 * S, W},    // the clock track wrote first, on the input's PCRs one wrap up
        {W + 999 * S, 1000 * S, W},
        {2 * W - 21 * S, -22 * S, 2 * W},  // ... just below the wrap: the demuxer's value is one wrap lower
    };
    for (const auto &row : rows) {
        Bench b({}, {});
        b.r.pass.clock_dts = row.clock;
        EXPECT_EQ(row.offset, relay_mux_offset(&b.r, row.dts)) << row.clock << " " << row.dts;
    }
}

TEST(Relay, PacketsTheMuxerWouldRefuseAreNamed)
{
    const int64_t L = 900000;  // last dts written on each stream
    struct { int s; int64_t pts, dts; const char *why; } rows[] = {
        {0, L + 10, L + 11, "PTS<DTS"},
        {0, L + 1, L + 1, nullptr},
        {0, L, L, "OLD"},                 // a repeat
        {1, L, L, nullptr},               // data streams may repeat a dts
        {0, L - 90000, L - 90000, "OLD"}, // up to a second behind
        {0, L - 90001, L - 90001, nullptr},  // further back: a jump, left to the muxer
        {0, NO, NO, nullptr},
        {2, L, L, nullptr},               // nothing written on it yet
    };
    Bench b({}, {{0x100, AVMEDIA_TYPE_VIDEO}, {0x1F0, AVMEDIA_TYPE_DATA}, {0x101, AVMEDIA_TYPE_AUDIO}});
    b.r.last_dts[0] = b.r.last_dts[1] = L;
    for (const auto &row : rows) {
        AVPacket p = packet(row.s, row.pts, row.dts);
        EXPECT_STREQ(row.why, relay_refused(&b.r, &p)) << row.s << " " << row.dts;
    }
}

TEST(Relay, LeadingPicturesAfterAKeyFrameSwitchAreLeftOut)
{
    Bench b({}, {{0x100, AVMEDIA_TYPE_VIDEO}, {0x101, AVMEDIA_TYPE_AUDIO}});
    struct { int s; int64_t pts; int mark; bool left_out; } rows[] = {
        {0, 1000, SPLICE_SWITCH_KEY, false},
        {0, 900, 0, true}, {1, 800, 0, false}, {0, 950, 0, true}, {0, NO, 0, false},
        {0, 1100, 0, false},  // shown after the key frame: the filter ends here
        {0, 900, 0, false},
        {0, 2000, SPLICE_SWITCH_MID_GOP, false}, {0, 1900, 0, false},
        {0, NO, SPLICE_SWITCH_KEY, false}, {0, 10, 0, false},
    };
    for (const auto &row : rows) {
        AVPacket p = packet(row.s, row.pts, NO);
        splice_mark_switch(&p, row.mark);
        EXPECT_EQ(row.left_out, relay_leading(&b.r, &p)) << row.s << " " << row.pts;
        EXPECT_EQ(SPLICE_SWITCH_NONE, splice_switch_of(&p));
    }
    ASSERT_EQ(1u, b.events.size());
    EXPECT_EQ(EVENT_LEADING_DROPPED, b.events[0].type);
    EXPECT_EQ(0, b.events[0].stream);
    EXPECT_EQ(1000, b.events[0].pts);
    EXPECT_EQ(2, b.events[0].count);
}

namespace {

// A source that hands out a file, then fails.
struct FailingSource {
    std::string data;
    size_t pos = 0;
};

int read_then_fail(void *opaque, uint8_t *buf, int size)
{
    FailingSource *src = (FailingSource *)opaque;
    if (src->pos >= src->data.size())
        return AVERROR(EIO);
    int n = (int)std::min((size_t)size, src->data.size() - src->pos);
    memcpy(buf, src->data.data() + src->pos, n);
    src->pos += n;
    return n;
}

} // namespace

TEST(Relay, AReadErrorEndsTheLoopAndIsReportedOnce)
{
    kt::TempDir dir;
    std::string cmd = std::string("python3 '") + KESTROW_TOOLS_DEFAULT + "/kestrow_gen.py' '" + dir / "in.ts" +
                      "' --duration 2 >/dev/null";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    FailingSource src;
    src.data = kt::read_file(dir / "in.ts");
    relay_input in = {};
    ASSERT_EQ(0, relay_open_input_reader(&in, "failing", read_then_fail, &src, nullptr));
    Bench sink({}, {});
    relay_desc desc = {};
    desc.splice.events = {Bench::record, &sink};
    relay *r = nullptr;
    ASSERT_EQ(0, relay_create(&r, &desc, &in, nullptr));
    ASSERT_EQ(0, relay_open_output(r, (dir / "out.ts").c_str(), nullptr, nullptr));

    EXPECT_EQ(AVERROR(EIO), relay_run(r));
    int reported = 0;
    for (const event &e : sink.events)
        reported += e.type == EVENT_READ_FAILED && e.result == AVERROR(EIO);
    EXPECT_EQ(1, reported);
    EXPECT_EQ(0, relay_destroy(&r));
    relay_close_input(&in);
}
