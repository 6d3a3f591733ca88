/*
 * State of the splice controller for one stream session: the splice state,
 * one record per output stream, the splice point, the break length, the
 * time at which the video returned to the programme, and the events waiting
 * for their turn.
 */
#ifndef KESTROW_SPLICE_REP_CTX_H
#define KESTROW_SPLICE_REP_CTX_H

#include <cstdint>

#include "event/event.h"

struct filler_ctx;

#define REP_MAX_STREAMS 32
#define REP_MAX_SPOTS   32  // spots one break's content may hold
#define REP_MAX_PENDING 64  // room for pending events; the bound in force is the caller's (splice_timing)
/*
 * A splice point meaning "at the next video key frame read" (immediate
 * cues). Far below any timestamp, and far enough above INT64_MIN that
 * subtracting the key-frame lead cannot overflow.
 */
#define REP_NOW (INT64_MIN / 4)

enum {
    REP_SOURCE_NONE = 0,            // no event
    REP_SOURCE_INSERT,              // splice_insert: id is the splice_event_id
    REP_SOURCE_SEGMENTATION,        // time_signal: id is the segmentation_event_id
};

/* One event as its cue announced it. */
struct rep_cue {
    int source;          // REP_SOURCE_*; REP_SOURCE_NONE: no event
    uint32_t id;
    int64_t point;       // effective splice point; REP_NOW for an immediate cue
    int64_t duration;    // 0 without one
    int open;            // no duration: the break lasts until its end cue
    int64_t late;        // ticks its cue came after the splice point (a late join); 0: in time
};

enum {
    SPLICING_STATE_IDLE = 0,        // no break pending or running
    SPLICING_STATE_ARMED = 1,       // cue accepted; waiting for a key frame at the splice point
    SPLICING_STATE_STARTED = 3,     // video and audio replaced by filler
    SPLICING_STATE_FINISHED = 4,    // video back on the programme; audio finishing its filler
};

/* A spot of a break's content: what the planner named, and where it airs. */
struct rep_spot {
    event_spot info;
    const filler_ctx *media;   // null: unusable (fate says why)
    int64_t offset;            // ticks from the break's start key frame; -1: not laid out
    int fate;                  // event_spot_reason of a spot not laid out
};

/*
 * What a break airs: its spots back to back from the start key frame, then
 * the filler, once (as without a schedule) or looped up to the break's end.
 * Item k of the content is the k-th spot laid out, or past them pass
 * k - count of the filler.
 */
struct rep_content {
    int64_t start;             // pts of the start key frame; AV_NOPTS_VALUE: no break yet
    int loop;                  // the filler loops; 0: it runs once and the break ends with it
    int spot_count;            // spots the planner named
    rep_spot spots[REP_MAX_SPOTS];
    int count;                 // spots laid out
    int8_t order[REP_MAX_SPOTS];  // their indexes into spots, in airing order
    int64_t fill_from;         // offset where the filler starts
    int64_t fill_length;       // ticks of one pass of the filler's video
    int started;               // items (from 0) whose first picture was queued
};

struct rep_stream {
    int64_t start_pts;   // video: pts of the key frame that started the break
    int64_t start_dts;   // dts where replacement started; AV_NOPTS_VALUE: not met in this break
    int64_t sent_dts;    // end of the last filler packet sent; AV_NOPTS_VALUE: not replaced
    int32_t next_filler; // index of the next filler packet of the matching filler stream
    int64_t pts_shift;   // video: ticks added to filler pts so that pts >= dts holds
    int64_t switch_at;   // audio: the next event's filler takes over here; AV_NOPTS_VALUE: none
    int32_t queued_filler; // video: filler packets before this index are queued, those up to next_filler held
    int64_t queued_dts;  // video: end of the last filler packet queued
    int32_t item;        // item of the content that next_filler counts in
    int32_t queued_item; // video: item that queued_filler counts in
    int64_t shown_max;   // video: highest pts read, key frames to come show after it; AV_NOPTS_VALUE
    int64_t read_dts;    // video: dts of the last packet read; AV_NOPTS_VALUE
};

struct rep_ctx {
    int state;
    rep_stream streams[REP_MAX_STREAMS];
    int64_t scte_35_pts_time;  // splice point, then the pts of the start key frame
    int64_t scte_35_duration;  // break length of the armed or running event, 0 when its cue gave
                               // none (see open); AV_NOPTS_VALUE before any event
    int64_t end_pts;           // where the video returned; AV_NOPTS_VALUE until then
    uint32_t splice_event_id;  // of the cue that armed the break; 0 before any
    int64_t splice_point;      // the cue's effective splice point, kept for the events; REP_NOW: immediate
    int source;                // REP_SOURCE_* of the armed or running event
    int open;                  // the running break lasts until its end cue
    int64_t return_point;      // a return cue's point (REP_NOW: immediate); AV_NOPTS_VALUE: none
    int64_t late;              // the armed or running event joined late: it ends at splice point + duration
    rep_cue pending[REP_MAX_PENDING];  // events kept for after the armed or running one, by splice point
    int pending_count;
    rep_cue last;              // the last event that started or expired, so that its late repeats are known
    rep_content content;       // what the break under way airs
    rep_content previous;      // what the break before it aired: audio finishing it up to its switch_at
    int64_t limit;             // open break: where --max-break ends it; AV_NOPTS_VALUE: none
};

/*
 * Idle, every timestamp AV_NOPTS_VALUE, every next_filler 0, no pending or
 * last event. Returns 0.
 */
int rep_ctx_reset(rep_ctx *ctx);

#endif
