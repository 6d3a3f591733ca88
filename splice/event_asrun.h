/*
 * The as-run record of a relay event: which events are cue decisions and
 * breaks, and what their as-run line says. Both programs write what this
 * gives, so their as-run files agree.
 */
#ifndef KESTROW_SPLICE_EVENT_ASRUN_H
#define KESTROW_SPLICE_EVENT_ASRUN_H

#include <cstdint>

#include "common/asrun.h"
#include "splice/event.h"

/*
 * Fills *out with the as-run record of ev at time_ms (wall clock, ms): 1;
 * 0 when ev records nothing (out unchanged); -22 for a null argument.
 * Every record follows from its event alone.
 */
int event_asrun(const event *ev, int64_t time_ms, asrun_record *out);

#endif
