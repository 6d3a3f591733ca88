/*
 * The wrap arithmetic of the two MPEG-TS clocks, which every layer takes
 * its timestamps and PCRs through.
 */
#include "common/mpegts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

TEST(Wrap, DifferenceNearestAndStreamFormOnBothClocks)
{
    const int64_t W = TS_PTS_WRAP, H = W / 2;
    struct { int64_t a, b, diff, nearest, wrap; } pts[] = {
        // a, b, pts_diff(a, b), pts_nearest(a, b), pts_wrap(a)
        {100, 40, 60, 100, 100},
        {40, 100, -60, 40, 40},
        {5, W - 5, 10, W + 5, 5},                // a has wrapped, b not yet
        {W - 5, 5, -10, -5, W - 5},              // and the other way
        {-100, W - 100, 0, W - 100, W - 100},    // demuxed below the wrap as a negative value
        {100, 3 * W + 50, 50, 3 * W + 100, 100}, // b on a line wrapped three times
        {2 * W + 7, 7, 0, 7, 7},
        {H, 0, -H, -H, H},                       // half a wrap apart: the range is [-H, H)
        {H - 1, 0, H - 1, H - 1, H - 1},
    };
    for (const auto &c : pts) {
        EXPECT_EQ(c.diff, ts_pts_diff(c.a, c.b)) << c.a << " - " << c.b;
        EXPECT_EQ(c.nearest, ts_pts_nearest(c.a, c.b)) << c.a << " near " << c.b;
        EXPECT_EQ(c.wrap, ts_pts_wrap(c.a)) << c.a;
    }

    const int64_t P = TS_PCR_WRAP;
    struct { int64_t a, b, diff, wrap; } pcr[] = {
        {27000, 0, 27000, 27000},
        {300, P - 300, 600, 300},
        {P - 300, 300, -600, P - 300},
        {P + 1, -1, 2, 1},
        {-1, 0, -1, P - 1},
    };
    for (const auto &c : pcr) {
        EXPECT_EQ(c.diff, ts_pcr_diff(c.a, c.b)) << c.a << " - " << c.b;
        EXPECT_EQ(c.wrap, ts_pcr_wrap(c.a)) << c.a;
    }
}

}  // namespace

namespace {

void collect_packet(void *opaque, const uint8_t *p)
{
    ((std::vector<std::vector<uint8_t>> *)opaque)->emplace_back(p, p + TS_PACKET_SIZE);
}

} // namespace

// Writes cut anywhere give the packets whole and in order; with resync, bytes off the sync are skipped.
TEST(Gather, PacketsWholeFromWritesOfAnySize)
{
    std::vector<uint8_t> bytes(3 * TS_PACKET_SIZE);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = i % TS_PACKET_SIZE == 0 ? TS_SYNC_BYTE : (uint8_t)(i / TS_PACKET_SIZE + 1);
    for (int cut : {1, 100, 188, 200, 564}) {
        ts_gather g = {};
        std::vector<std::vector<uint8_t>> got;
        for (int at = 0; at < (int)bytes.size(); at += cut)
            EXPECT_EQ(0, ts_gather_feed(&g, bytes.data() + at, std::min(cut, (int)bytes.size() - at), false,
                                        collect_packet, &got));
        ASSERT_EQ(3u, got.size()) << cut;
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + k * TS_PACKET_SIZE, bytes.begin() + (k + 1) * TS_PACKET_SIZE),
                      got[k]);
        EXPECT_EQ(0, g.len);
    }
    std::vector<uint8_t> off = {1, 2, 3};
    off.insert(off.end(), bytes.begin(), bytes.begin() + TS_PACKET_SIZE + 10);
    ts_gather g = {};
    std::vector<std::vector<uint8_t>> got;
    EXPECT_EQ(3, ts_gather_feed(&g, off.data(), (int)off.size(), true, collect_packet, &got));
    EXPECT_EQ(1u, got.size());
    EXPECT_EQ(10, g.len);  // the next packet's start waits for the rest
}
