// Picture bookkeeping at frame-accurate splice points: one row per GOP shape
// and point, the expected action of every picture written in display order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "codec/splice_gop.h"

namespace {

const int64_t F = 3600;  // one frame at 25 Hz

/*
 * Pictures in decoding order from a display-order pattern (I, P, B): each
 * anchor is decoded before the B-pictures shown ahead of it, so B-pictures
 * before an I picture are its leading pictures (an open GOP).
 */
std::vector<gop_pic> gop(const std::string &display, int refs_before = -1)
{
    std::vector<gop_pic> out;
    std::vector<int> pending;
    bool reorder = display.find('B') != std::string::npos;
    auto add = [&](int i) {
        uint8_t type = display[i] == 'I' ? GOP_PIC_I : display[i] == 'P' ? GOP_PIC_P : GOP_PIC_B;
        int64_t dts = ((int64_t)out.size() - (reorder ? 1 : 0)) * F;
        out.push_back({i * F, dts, (uint8_t)(display[i] == 'I'), type,
                       (int8_t)(i == refs_before ? GOP_REFS_BEFORE : GOP_REFS_UNKNOWN)});
    };
    for (int i = 0; i < (int)display.size(); i++) {
        if (display[i] == 'B') {
            pending.push_back(i);
            continue;
        }
        add(i);
        for (int b : pending)
            add(b);
        pending.clear();
    }
    return out;
}

struct Row {
    const char *name;
    const char *display;
    int side;
    int64_t point;       // 90 kHz
    const char *expect;  // k keep, r re-encode, d drop, in display order; or empty with err
    int err;
    int refs_before;     // a picture (display index) known to reference only pictures before the point
};

const Row rows[] = {
    {"ippp_out_mid", "IPPPPPPPIPPP", GOP_OUT, 5 * F, "kkkkkddddddd", 0, -1},
    {"ippp_in_mid", "IPPPPPPPIPPP", GOP_IN, 5 * F, "dddddrrrkkkk", 0, -1},
    {"ippp_in_half_frame_after_key", "IPPPPPPPIPPP", GOP_IN, 8 * F - F / 2, "ddddddddkkkk", 0, -1},
    {"closed_out_on_b", "IBBPBBPBBPIBBP", GOP_OUT, 5 * F, "kkkkrddddddddd", 0, -1},
    {"closed_out_on_anchor", "IBBPBBPBBPIBBP", GOP_OUT, 6 * F, "kkkkrrdddddddd", 0, -1},
    {"closed_out_after_anchor", "IBBPBBPBBPIBBP", GOP_OUT, 4 * F, "kkkkdddddddddd", 0, -1},
    {"closed_out_b_known_forward", "IBBPBBPBBPIBBP", GOP_OUT, 5 * F, "kkkkkddddddddd", 0, 4},
    {"closed_out_near_key", "IBBPBBPBBPIBBP", GOP_OUT, 10 * F + F / 3, "kkkkkkkkkkdddd", 0, -1},
    {"closed_in_mid", "IBBPBBPBBPIBBP", GOP_IN, 5 * F, "dddddrrrrrkkkk", 0, -1},
    {"closed_in_near_key", "IBBPBBPBBPIBBP", GOP_IN, 10 * F - F / 2, "ddddddddddkkkk", 0, -1},
    {"open_in_mid", "IBBPBBPBBPBBIBBPBBP", GOP_IN, 7 * F, "dddddddrrrrrkkkkkkk", 0, -1},
    {"open_in_inside_leading", "IBBPBBPBBPBBIBBPBBP", GOP_IN, 11 * F, "dddddddddddrkkkkkkk", 0, -1},
    {"open_out_on_key", "IBBPBBPBBPBBIBBPBBP", GOP_OUT, 12 * F, "kkkkkkkkkkrrddddddd", 0, -1},
    {"open_out_on_leading_b", "IBBPBBPBBPBBIBBPBBP", GOP_OUT, 11 * F, "kkkkkkkkkkrdddddddd", 0, -1},
    {"open_out_first_leading_of_start", "BBIBBPBBPBBP", GOP_OUT, 2 * F, "", AVERROR(EINVAL), -1},
    {"in_no_key_after", "IBBPBBPBBP", GOP_IN, 5 * F, "", AVERROR(EAGAIN), -1},
    {"in_key_last_decoded", "IBBPBBPBBPBBI", GOP_IN, 5 * F, "", AVERROR(EAGAIN), -1},
    {"out_not_decoded_past", "IBBPBBP", GOP_OUT, 9 * F, "", AVERROR(EAGAIN), -1},
    {"start_not_key", "PBBPBBPIBBP", GOP_OUT, 5 * F, "", AVERROR(EINVAL), -1},
};

TEST(SpliceGop, ActionsPerShapeAndPoint)
{
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<gop_pic> pics = gop(row.display, row.refs_before);
        int n = (int)pics.size();
        std::vector<uint8_t> act(n, 0xEE);
        std::vector<int64_t> dts(n, -1);
        gop_plan plan = {};
        plan.kept = -7;
        int ret = splice_gop_plan(pics.data(), n, row.side, row.point, F / 2, act.data(), dts.data(), &plan);
        ASSERT_EQ(row.err, ret);
        if (ret < 0) {
            EXPECT_EQ(-7, plan.kept);
            EXPECT_EQ(0xEE, act[0]);
            continue;
        }
        std::string got(n, '?');
        std::vector<int64_t> run_pts;
        int64_t last_kept = INT64_MIN, join_dts = INT64_MAX;
        for (int i = 0; i < n; i++) {
            got[pics[i].pts / F] = "krd"[act[i]];
            if (act[i] == GOP_REENCODE) {
                run_pts.push_back(pics[i].pts);
                EXPECT_LT(i, plan.decode_to);
            }
            if (act[i] == GOP_KEEP && (plan.join_key < 0 || i < plan.join_key))
                last_kept = pics[i].dts;
        }
        EXPECT_EQ(row.expect, got);
        EXPECT_EQ(n, plan.kept + plan.reencoded + plan.dropped);
        EXPECT_EQ((int)run_pts.size(), plan.reencoded);
        EXPECT_EQ(row.side == GOP_IN && plan.reencoded > 0, plan.join_key > 0);
        if (plan.join_key > 0) {
            EXPECT_TRUE(pics[plan.join_key].key);
            join_dts = pics[plan.join_key].dts;
        }
        // The run, in display order, decodes between the kept pictures and the key frame it joins.
        std::sort(run_pts.begin(), run_pts.end());
        for (size_t k = 0; k < run_pts.size(); k++) {
            EXPECT_LE(dts[k], run_pts[k]);
            EXPECT_GT(dts[k], k ? dts[k - 1] : last_kept);
            EXPECT_LT(dts[k], join_dts);
        }
    }
}

// Open GOPs seen in the pictures held from a key frame: a return then stays on the key frame.
TEST(SpliceGop, OpenWhenAPictureAfterAKeyFrameIsShownBeforeIt)
{
    const struct {
        const char *display;
        int open;
    } rows[] = {
        {"IBBPBBPBBPIBBP", 0},          // closed: the B-pictures before the next I are decoded before it
        {"IPPPPPPPIPPP", 0},
        {"IBBPBBPBBPBBIBBPBBP", 1},     // the next key frame's leading pictures
        {"BBIBBPBBP", 1},               // the first key frame's own
        {"PBBIBBP", AVERROR(EINVAL)},   // not from a key frame
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.display);
        std::vector<gop_pic> pics = gop(row.display);
        EXPECT_EQ(row.open, splice_gop_open(pics.data(), (int)pics.size()));
    }
    EXPECT_EQ(AVERROR(EINVAL), splice_gop_open(nullptr, 0));
}

}  // namespace
