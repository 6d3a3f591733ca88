// The output stage's clock arithmetic at a year of output, and the stage
// writing into a caller's function instead of a URL.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
}

#include "ts/ts_out.h"

namespace {

TEST(Clock, BitsToMicrosecondsHoldsAYearAt100Mbits)
{
    const int64_t year_s = 366LL * 86400;
    struct { int64_t bits, rate, us; } cases[] = {
        {0, 20000000, 0},
        {1504, 20000000, 75},                                 // one TS packet, rounded down
        {year_s * 100000000, 100000000, year_s * 1000000},   // a year at 100 Mbit/s
        {year_s * 100000000 + 99, 100000000, year_s * 1000000},
        {year_s * 1000000000, 1000000000, year_s * 1000000}, // and at 1 Gbit/s
        {16000000000LL, 3000000, 5333333333LL},              // a rate that does not divide
    };
    for (auto &c : cases)
        EXPECT_EQ(c.us, ts_out_bits_to_us(c.bits, c.rate)) << c.bits << " at " << c.rate;
    // Odd rates over a year: the remainder is carried exactly.
    for (int64_t rate : {2999999LL, 99999989LL}) {
        int64_t bits = year_s * 100000000 + 12345;
        EXPECT_EQ((int64_t)((__int128)bits * 1000000 / rate), ts_out_bits_to_us(bits, rate)) << rate;
    }
}

struct sink {
    std::vector<int> sizes;
    std::vector<uint8_t> bytes;
    int fail;  // 0, or the error every call returns
};

int sink_write(void *opaque, uint8_t *buf, int size)
{
    sink *s = (sink *)opaque;
    if (s->fail)
        return s->fail;
    s->sizes.push_back(size);
    s->bytes.insert(s->bytes.end(), buf, buf + size);
    return size;
}

std::vector<uint8_t> video_packets(int n)
{
    std::vector<uint8_t> ts((size_t)n * 188, 0xAB);
    for (int i = 0; i < n; i++) {
        uint8_t *p = &ts[(size_t)i * 188];
        p[0] = 0x47, p[1] = 0x01, p[2] = 0x00, p[3] = (uint8_t)(0x10 | (i & 15));
    }
    return ts;
}

TEST(Writer, GetsDatagramSizedPiecesAndStaysOpen)
{
    sink s = {};
    ts_out_config config = {};
    config.epg_pid = -1;
    ts_out *stage = nullptr;
    ASSERT_EQ(-EINVAL, ts_out_open_writer(&stage, nullptr, &s, &config, 1316));
    ASSERT_EQ(0, ts_out_open_writer(&stage, sink_write, &s, &config, 1316));
    std::vector<uint8_t> ts = video_packets(17);
    avio_write(ts_out_pb(stage), ts.data(), (int)ts.size());
    EXPECT_EQ(0, ts_out_close(&stage));
    EXPECT_EQ((std::vector<int>{1316, 1316, 564}), s.sizes);
    EXPECT_TRUE(ts == s.bytes);
}

TEST(Writer, AnErrorOfTheWriterSticks)
{
    sink s = {};
    s.fail = -EIO;
    ts_out_config config = {};
    config.epg_pid = -1;
    ts_out *stage = nullptr;
    ASSERT_EQ(0, ts_out_open_writer(&stage, sink_write, &s, &config, 1316));
    std::vector<uint8_t> ts = video_packets(14);
    AVIOContext *pb = ts_out_pb(stage);
    avio_write(pb, ts.data(), (int)ts.size());
    avio_flush(pb);
    EXPECT_EQ(-EIO, pb->error);
    EXPECT_EQ(-EIO, ts_out_close(&stage));
}

}  // namespace
