/*
 * The splice controller's per-session record: reset to idle with every
 * timestamp missing, so that a new cue always starts from a clean state.
 */
#include "splice/rep_ctx.h"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/avutil.h>
}

int rep_ctx_reset(rep_ctx *ctx)
{
    if (!ctx)
        return -EINVAL;
    memset(ctx, 0, sizeof(*ctx));
    ctx->state = SPLICING_STATE_IDLE;
    for (int i = 0; i < REP_MAX_STREAMS; i++) {
        rep_stream *r = &ctx->streams[i];
        r->start_pts = AV_NOPTS_VALUE;
        r->start_dts = AV_NOPTS_VALUE;
        r->sent_dts = AV_NOPTS_VALUE;
        r->next_filler = 0;
        r->pts_shift = 0;
        r->switch_at = AV_NOPTS_VALUE;
        r->queued_dts = AV_NOPTS_VALUE;
        r->shown_max = r->read_dts = AV_NOPTS_VALUE;
    }
    ctx->scte_35_pts_time = AV_NOPTS_VALUE;
    ctx->scte_35_duration = AV_NOPTS_VALUE;
    ctx->end_pts = AV_NOPTS_VALUE;
    ctx->splice_point = AV_NOPTS_VALUE;
    ctx->return_point = AV_NOPTS_VALUE;
    ctx->limit = AV_NOPTS_VALUE;
    ctx->content.start = ctx->previous.start = AV_NOPTS_VALUE;
    return 0;
}
