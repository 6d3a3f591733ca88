/*
 * Two sources of one programme, main and backup, merged into the one ring
 * the session reads.
 *
 * Both receivers run all the time, each into a ring of its own; a thread
 * of the merge takes their TS packets, watches each input's health and
 * hands the session's ring one stream:
 *  - the same stream on both paths (one encoder, two networks): packets are
 *    matched by their bytes (PID, continuity counter and payload) and their
 *    place in their PID's order. Each goes out MERGE_WINDOW_US after the
 *    earlier path brought it, its copy from the other path dropped; a
 *    packet one path lost is taken from the other in its place, so that
 *    the continuity of every PID goes on. Nothing is re-timed; a skew of
 *    the paths up to the window is absorbed;
 *  - other streams (another encoder): the active input alone is taken; a
 *    switch cuts to the new input at its next video key frame (its PAT and
 *    PMT first, the key frame's packet flagged as a discontinuity), which
 *    the relay takes as a source restart.
 * The active input is the main until it is lost (nothing for loss_us) or
 * shows priority 1 errors (more than MERGE_CC_LIMIT continuity errors in a
 * second, no PAT or no PMT of the programme for MERGE_TABLE_US, one of the
 * programme's PIDs missing for MERGE_PID_US), and the backup is healthy;
 * then the backup, until the main has been healthy for hold_us (revert),
 * or until the backup fails while the main is healthy (stay, or revert).
 */
#ifndef KESTROW_NET_INPUT_MERGE_H
#define KESTROW_NET_INPUT_MERGE_H

#include <atomic>
#include <cstdint>

struct udp_in;
struct merge_in;

#define MERGE_WINDOW_US 200000   // each packet waits this long for its copy on the other path
#define MERGE_CC_LIMIT  5        // continuity errors in one second of flow beyond which an input is errored
#define MERGE_GAP_US    100000   // a silence this long or more does not count as flow
#define MERGE_TABLE_US  500000   // no PAT (PMT of the programme) this long: errored
#define MERGE_PID_US    1000000  // a video or audio PID of the programme silent this long: errored
#define MERGE_REPORT_US 200000
#define MERGE_SILENT_US 100000   // the active input silent this long, the other healthy: a switch is coming
#define MERGE_KEY_WAIT_US 3000000  // a cut waits this long at most for the new input's key frame

enum { MERGE_MAIN, MERGE_BACKUP, MERGE_INPUTS };

/* An input's state. */
enum merge_state {
    MERGE_UNSEEN,   // nothing received yet
    MERGE_UP,       // healthy
    MERGE_LOST,     // nothing for the loss threshold
    MERGE_ERRORED,  // priority 1 errors (merge_why says which)
    MERGE_STATE_COUNT
};

/* Why an input is not healthy, or why a switch was made. */
enum merge_why {
    MERGE_WHY_NONE,
    MERGE_WHY_LOST,        // nothing received for the loss threshold
    MERGE_WHY_CONTINUITY,  // continuity errors beyond MERGE_CC_LIMIT a second
    MERGE_WHY_PAT,         // no PAT for MERGE_TABLE_US
    MERGE_WHY_PMT,         // no PMT of the programme for MERGE_TABLE_US
    MERGE_WHY_PID,         // a PID of the programme missing for MERGE_PID_US
    MERGE_WHY_FAILBACK,    // the main healthy for the hold
    MERGE_WHY_COUNT
};

/* "main", "backup"; "unseen", "up", "lost", "errored"; "none", "lost", "continuity", ... */
const char *merge_input_name(int input);
const char *merge_state_name(int state);
const char *merge_why_name(int why);

/* One input's health and counts since create. */
struct merge_health {
    int state;                 // merge_state
    int why;                   // merge_why while not up
    int64_t last_packet_us;    // monotonic; 0: none yet
    int64_t packets;
    int64_t bytes;
    int64_t bitrate;           // bit/s over the last second
    int64_t cc_errors;
    int64_t pat_errors;        // spells without PAT
    int64_t pmt_errors;
    int64_t pid_errors;
};

/* A switch of the active input, told on the merge's thread. */
struct merge_switch {
    int to;                    // MERGE_MAIN or MERGE_BACKUP
    int why;                   // merge_why of the input left (MERGE_WHY_FAILBACK back to the main)
    int hitless;               // 1: the same stream on both paths, nothing cut; 0: a cut at a key frame
    int64_t now_us;
};

/* What the merge did to the stream, since create. */
struct merge_counts {
    int64_t repaired;          // packets a path lost taken from the other
    int64_t duplicates;        // copies dropped
    int64_t switches;
    int64_t cuts;              // switches cut at a key frame (other streams)
};

struct merge_config {
    udp_in *inputs[MERGE_INPUTS];  // the receivers; read by the merge alone
    udp_in *out;                   // a fed ring (udp_in_config.fed) the merge alone pushes into
    int64_t loss_us;               // nothing for this long: lost
    int64_t hold_us;               // the main healthy this long before a failback
    int revert;                    // 0: stay on the backup while it is healthy
    int program;                   // program_number whose PIDs are watched; 0: the first in the PAT
    const std::atomic<int> *stop_flag;  // may be null
    void (*on_switch)(void *opaque, const merge_switch *sw);  // may be null; must not block
    /* Each input's health and the merge's counts, every MERGE_REPORT_US; may be null; must not block. */
    void (*on_health)(void *opaque, int active, const merge_health *inputs, const merge_counts *counts);
    void *opaque;
};

/* Starts the merge's thread. 0; -EINVAL; -ENOMEM; the thread's error. *out null on failure. */
int merge_create(merge_in **out, const merge_config *config);

/* The active input (MERGE_MAIN without a merge). */
int merge_active(merge_in *m);

/*
 * Non-zero while the programme is on its way through the other input: a
 * cut waits for its key frame, or the active input has been silent for
 * MERGE_SILENT_US while the other is healthy. 0 without a merge.
 */
int merge_switching(merge_in *m);

/* One input's health into *out. 0; -EINVAL. */
int merge_health_of(merge_in *m, int input, merge_health *out);

int merge_get_counts(merge_in *m, merge_counts *out);

/* Stops and joins the thread and frees (the rings stay the caller's); *p null. */
void merge_destroy(merge_in **p);

#endif
