// rep_ctx_reset: a record left in any state comes back idle with every
// timestamp missing.
#include <gtest/gtest.h>

#include <cstring>

extern "C" {
#include <libavutil/avutil.h>
}

#include "pipeline/rep_ctx.h"

TEST(RepCtx, ResetClearsEveryStreamRecord)
{
    rep_ctx r;
    memset(&r, 0x5a, sizeof(r));
    EXPECT_EQ(0, rep_ctx_reset(&r));
    EXPECT_EQ(SPLICING_STATE_IDLE, r.state);
    EXPECT_EQ(AV_NOPTS_VALUE, r.scte_35_pts_time);
    EXPECT_EQ(AV_NOPTS_VALUE, r.scte_35_duration);
    EXPECT_EQ(AV_NOPTS_VALUE, r.end_pts);
    for (int i = 0; i < REP_MAX_STREAMS; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(AV_NOPTS_VALUE, r.streams[i].start_pts);
        EXPECT_EQ(AV_NOPTS_VALUE, r.streams[i].start_dts);
        EXPECT_EQ(AV_NOPTS_VALUE, r.streams[i].sent_dts);
        EXPECT_EQ(0, r.streams[i].next_filler);
        EXPECT_EQ(0, r.streams[i].pts_shift);
    }
    EXPECT_EQ(-22, rep_ctx_reset(nullptr));
}
