/*
 * The operator's console on the control port: one self-contained page (GET
 * /), the channel's state as JSON (GET /api/state, the same the page shows),
 * and the latest pictures of the input and the output (GET
 * /thumbnails/input.jpg, /thumbnails/output.jpg). All of it only reads.
 *
 * The console keeps its own record of the last hour (console_log): the
 * as-run records with the wall time of their splice points, the input's
 * outages and the output's failed checks, noted by the session's event sink
 * and read by the control thread; from it the state's timeline is made:
 * cues with their decisions, breaks waiting, armed, on air and aired with
 * their spots, fallbacks and outages.
 */
#ifndef KESTROW_SERVICE_CONSOLE_H
#define KESTROW_SERVICE_CONSOLE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/asrun.h"

struct app_ctx;
struct event;
struct event_air_clock;
struct http_reply;
struct http_request;
struct http_stats;

#define CONSOLE_EVENTS     1024      // as-run records kept at most
#define CONSOLE_OUTAGES    64        // input outages kept at most
#define CONSOLE_WINDOW_MS  3600000   // the timeline: this long before now and after
#define CONSOLE_CHECK_MS   60000     // a failed output check raises its alarm this long
#define CONSOLE_SPOT_STATUSES 7      // the verification file's statuses of spot records: aired, cut_short, ...

/* An as-run record and the wall time of its splice point. */
struct console_entry {
    asrun_record rec;
    int64_t splice_ms;       // wall ms its splice_time leaves the output (air clock); ASRUN_NONE: none
};

struct console_outage {
    int64_t start_ms;        // wall ms the input was lost
    int64_t end_ms;          // wall ms it came back; ASRUN_NONE while lost
};

/* What the console keeps; lives in the application context. One writer (the session), any reader. */
struct console_log {
    std::mutex lock;
    console_entry entries[CONSOLE_EVENTS];   // a ring, oldest overwritten first
    int next, count;
    console_outage outages[CONSOLE_OUTAGES];
    int outage_next, outage_count;
    int64_t check_ms;        // wall ms of the last failed output check; 0: none
    int check;               // which (ts_out_check)
    int64_t check_count;     // failures of checks within CONSOLE_CHECK_MS of check_ms
    int day;                 // local YYYYMMDD of the counts below; 0: none yet
    int64_t day_spots[CONSOLE_SPOT_STATUSES];  // spot records of the day by status
    int64_t day_breaks_aired, day_breaks_skipped;
};

/* Notes as-run record r (r->time_ms: wall ms) whose splice point leaves the output at splice_ms. */
void console_note_record(console_log *l, const asrun_record *r, int64_t splice_ms);

/* The wall ms at which ev's splice point leaves the output on clock c; ASRUN_NONE without one or before the tie. */
int64_t console_splice_ms(const event_air_clock *c, const event *ev);

/* Notes what of ev the console shows and the as-run does not: the input's outages, failed output checks. */
void console_note_event(console_log *l, const event *ev, int64_t now_ms);

/* What became of a break, as the timeline shows it. */
enum console_break_state {
    CONSOLE_BREAK_WAITING,   // kept for later, behind the armed one
    CONSOLE_BREAK_ARMED,
    CONSOLE_BREAK_ON_AIR,
    CONSOLE_BREAK_AIRED,
    CONSOLE_BREAK_SKIPPED,
    CONSOLE_BREAK_CANCELLED,
    CONSOLE_BREAK_EXPIRED,
    CONSOLE_BREAK_DROPPED,
};

/* "waiting", "armed", "on_air", "aired", "skipped", "cancelled", "expired", "dropped". */
const char *console_break_state_name(int state);

/*
 * The status the spot record r is written back with in the verification
 * file: 1, 1001 ... from its reason, or the one the record carries (an
 * unusable spot's 1006 or 1007); 0 unknown.
 */
int console_ver_status(const asrun_record *r);

/* One break of the timeline; times are wall ms, ASRUN_NONE when not known (yet). */
struct console_break {
    int64_t splice_event_id, segmentation_event_id;
    int state;               // console_break_state
    int64_t splice_time, duration;       // 90 kHz, as the cue gave them
    int64_t splice_ms;       // when its splice point leaves the output
    int64_t start_ms, end_ms;            // when it started and ended on air
    int64_t return_ms;       // a return cue's point
    int64_t aired;           // 90 kHz replaced
    const char *reason;      // of its end, skip, cancel, expiry or drop; "" when none
    const asrun_record *start, *end;     // its break_start and break_end records; null when none
    std::vector<const asrun_record *> spots;
};

/*
 * The breaks the n entries (oldest first) tell of, in the order they were
 * first announced: a record of an event id starts a new break when that
 * id's last one was over (aired, skipped, cancelled, expired, dropped).
 * The result points into entries.
 */
std::vector<console_break> console_breaks(const console_entry *entries, int n);

/* The channel's state at now_ms (wall) as the JSON document of /api/state. */
std::string console_state_json(app_ctx *app, const http_stats *port, int64_t now_ms);

/* Answers the console's paths; leaves out->status 0 for any other. */
void console_serve(app_ctx *app, const http_stats *port, const http_request *req, http_reply *out);

#endif
