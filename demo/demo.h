/*
 * KestrowDemo: splices the breaks announced in a recorded MPEG-TS into a new
 * MPEG-TS file, with the filler read from a "replace" file.
 */
#ifndef KESTROW_DEMO_DEMO_H
#define KESTROW_DEMO_DEMO_H

#include "pipeline/event.h"

struct trace_sink;

#define DEMO_CUE_PID 1424  // stream id (PID) of the cue stream

/* The demo's event sink: console lines on stdout and stderr. */
void demo_on_event(void *opaque, const event *ev);

/* Packet traces on stderr, the splice rules' detail lines on stdout. */
extern const trace_sink demo_trace;

/*
 * The whole program: argv[1] input, argv[2] output, argv[3] replace file.
 * Prints its report on stdout and stderr and returns the exit status (0, or
 * 1 after the usage text, a set-up failure or a read error). Keeps no state
 * between calls, so it can run many times in one process.
 */
int demo_run(int argc, char **argv);

#endif
