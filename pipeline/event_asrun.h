/*
 * The as-run record of a relay event: which events are cue decisions and
 * breaks, and what their as-run line says. Both programs write what this
 * gives, so their as-run files agree.
 */
#ifndef KESTROW_PIPELINE_EVENT_ASRUN_H
#define KESTROW_PIPELINE_EVENT_ASRUN_H

#include <cstdint>

#include "common/asrun.h"
#include "pipeline/event.h"

/* What one relay run remembers between events; zero-filled is a fresh run. */
struct event_asrun_ctx {
    int no_filler_video;   // set by the program: the filler cannot replace the video; breaks are skipped
    int in_break;          // a break_start was recorded and its break_end not yet
    int skipping;          // the break under way was recorded as skipped
    int64_t start_pts;     // 90 kHz: where the filler began
};

/*
 * Fills *out with the as-run record of ev at time_ms (wall clock, ms): 1;
 * 0 when ev records nothing (out unchanged); -22 for a null argument.
 */
int event_asrun(event_asrun_ctx *ctx, const event *ev, int64_t time_ms, asrun_record *out);

#endif
