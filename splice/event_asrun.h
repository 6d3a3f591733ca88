/*
 * The as-run record of a relay event: which events are cue decisions and
 * breaks, and what their as-run line says. Both programs write what this
 * gives, so their as-run files agree.
 */
#ifndef KESTROW_SPLICE_EVENT_ASRUN_H
#define KESTROW_SPLICE_EVENT_ASRUN_H

#include <cstdint>

#include "common/asrun.h"
#include "event/event.h"

/*
 * Fills *out with the as-run record of ev at time_ms (wall clock, ms): 1;
 * 0 when ev records nothing (out unchanged); -EINVAL for a null argument.
 * Every record follows from its event alone.
 */
int event_asrun(const event *ev, int64_t time_ms, asrun_record *out);

/*
 * When the programme's timestamps leave the output, on the wall clock. The
 * session's first timestamp is tied to a wall time (now, or the time the
 * program was given); a clock that follows ties the highest timestamp read
 * to now again at every progress event, so that it keeps up with a live
 * input over a long session.
 */
#define EVENT_AIR_MARKS 32
#define EVENT_AIR_OFF_LINE (2 * 90000)  // a progress pts this far from the tie's now is on another time line

/* A timestamp whose picture was seen leaving the output (the sender's own stamp). */
struct event_air_mark {
    int64_t pts;        // modulo 2^33; AV_NOPTS_VALUE: none
    int64_t wall_ms;
};

struct event_air_clock {
    int64_t start_ms;   // wall ms of the first timestamp; ASRUN_NONE: now when it comes
    int follow;         // tied again at every progress event (a live input)
    int64_t wall_ms;    // the wall time of pts
    int64_t pts;        // 90 kHz; AV_NOPTS_VALUE before the first timestamp
    int64_t last_pts;   // the highest timestamp read so far
    event_air_mark marks[EVENT_AIR_MARKS];  // the latest ones measured, oldest replaced first
    int next_mark;
};

/* A clock tied at the first timestamp to start_ms (ASRUN_NONE: the wall clock then). */
void event_air_clock_init(event_air_clock *c, int64_t start_ms, int follow);

/*
 * Ties the clock at the session's first timestamp and, when it follows, at
 * each progress event whose highest dts moved on along the clock's time
 * line (the first one ties a clock that has none yet: a live input's
 * session reports no first timestamp), and at each move of the programme's
 * times (EVENT_TIMELINE_MOVED: a source restarted or switched, the input
 * back), to its key frame.
 */
void event_air_clock_follow(event_air_clock *c, const event *ev, int64_t now_ms);

/* Notes that the picture at pts left the output at wall_ms (measured): event_air_ms gives it from now on. */
void event_air_clock_mark(event_air_clock *c, int64_t pts, int64_t wall_ms);

/* The measured wall ms of pts (a mark), into *wall_ms: 1; 0 when pts was not measured (yet). */
int event_air_measured(const event_air_clock *c, int64_t pts, int64_t *wall_ms);

/*
 * Wall ms at which pts leaves the output: measured when it was, else from the
 * tie; now_ms before the first timestamp or without pts.
 */
int64_t event_air_ms(const event_air_clock *c, int64_t pts, int64_t now_ms);

/*
 * The time of ev's as-run record: for a break or a spot its air time (of
 * ev->pts); for the rest now_ms, or, on a clock that does not follow the
 * wall clock (a recording), the air time of the event's or the latest
 * timestamp.
 */
int64_t event_asrun_time(const event_air_clock *c, const event *ev, int64_t now_ms);

#endif
