/*
 * KestrowDemo: splices the breaks announced in a recorded MPEG-TS into a new
 * MPEG-TS file, with the filler read from a "replace" file.
 */
#ifndef KESTROW_DEMO_DEMO_H
#define KESTROW_DEMO_DEMO_H

#include "event/event.h"
#include "splice/event_asrun.h"
#include "splice/splice.h"

struct asrun_ctx;
struct trace_sink;
struct traffic;

/* What the demo's event sink keeps: the as-run writer, the traffic and the run's options. */
struct demo_ctx {
    asrun_ctx *asrun;        // null: no --asrun-file
    const char *asrun_path;  // --asrun-file, for messages
    int time_signal_breaks;  // --time-signal-breaks: time_signal cues start and end breaks
    int open_breaks;         // --open-breaks
    int frame_accurate_off;  // --frame-accurate=off: breaks return at the programme's key frame
    int64_t max_break;       // --max-break, 90 kHz
    const char *service_name;  // --service_name: the output's and the as-run records' channel
    const char *schedule, *spots, *channel_id, *headend_id, *verification;  // the traffic options
    int64_t spot_cache;      // --spot-cache, bytes
    int64_t clock_ms;        // --clock: wall ms of the input's first timestamp; ASRUN_NONE: now
    event_air_clock clock;   // the input's timestamps on the wall clock
    struct traffic *traffic_ctx;  // null: no --schedule
    splice_timing timing;    // --max-pending, --max-cue-lead, --late-join
    int program;             // --program: program_number whose breaks are spliced; 0: the first with video
    int spts;                // --spts: that programme goes out alone
    double loudness;         // --loudness, LUFS
    int filler_normalize;    // --normalize-filler: a .ts filler is conformed too
};

struct relay_input;

/*
 * Conforms, before the run, every spot the schedule in force names (to the
 * longest length its records sell) and the filler (when it is no transport
 * stream, or with --normalize-filler) to the spliced programme of
 * in, with progress on the console; a .ts filler used as it is has its
 * loudness measured and said. The filler file to load goes into
 * filler_out: its conformed copy, or filler. 0.
 */
int demo_conform(demo_ctx *demo, const relay_input *in, const char *filler, char *filler_out, size_t size);

/* Prints one line of the demo's own (severity LOG_ERROR: standard error, else standard output). */
void demo_print_line(void *opaque, int severity, const char *text);

/* An event's lines on the console (demo_print_line): the traffic's sink. */
void demo_print_event(void *opaque, const event *ev);

/* The demo's event sink (opaque: a demo_ctx): console lines on stdout and stderr, as-run lines. */
void demo_on_event(void *opaque, const event *ev);

/* Packet traces on stderr, the splice rules' detail lines on stdout. */
extern const trace_sink demo_trace;

/*
 * The whole program: [options] input output replace (see demo_usage). Prints its
 * report on stdout and stderr and returns the exit status (0, or 1 after the
 * usage text, a set-up failure, a read or loop error, a failed write, or a
 * run that wrote no packet of the input; a timestamp jump starts a new time
 * line and the run goes on). Keeps no state
 * between calls, so it can run many times in one process.
 */
int demo_run(int argc, char **argv);

#endif
