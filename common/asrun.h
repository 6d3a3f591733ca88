/*
 * As-run record: one JSON object per line for each cue decision and break,
 * appended and flushed at once, so that what aired can be proven afterwards.
 * The file is rotated like the log: renamed with a local time stamp
 * "-YYYYmmdd_HHMMSS" (then "-1", "-2", ... if that name exists) at the first
 * line of a run and, with a rotation interval, at the first line after it
 * has passed.
 */
#ifndef KESTROW_COMMON_ASRUN_H
#define KESTROW_COMMON_ASRUN_H

#include <cstddef>
#include <cstdint>

#define ASRUN_NONE INT64_MIN        // an absent number: written as null
#define ASRUN_REASON_SIZE 64
#define ASRUN_CHANNEL_SIZE 256      // the channel's name, escaped in the line
#define ASRUN_SPOT_SIZE 32          // spot identification and file name
#define ASRUN_WHY_SIZE 128          // why a spot could not air
#define ASRUN_LINE_SIZE 4096        // longest line with its newline and terminator

enum asrun_event {
    ASRUN_CUE,            // a cue was read
    ASRUN_ARMED,          // a break was scheduled at splice_time
    ASRUN_REPEAT,         // a cue repeating the armed event
    ASRUN_CANCELLED,      // the armed event was cancelled
    ASRUN_BREAK_START,    // the filler began at pts
    ASRUN_BREAK_END,      // the programme returned at pts; aired, reason
    ASRUN_BREAK_SKIPPED,  // a break that could not be aired; reason
    ASRUN_IGNORED,        // a cue that schedules nothing; reason
    ASRUN_KEPT,           // an event put in the pending list; reason
    ASRUN_DROPPED,        // a pending event left out of the full list; reason
    ASRUN_EXPIRED,        // an armed or pending event that will not air; reason
    ASRUN_RETURN,         // a return cue: the running break ends at splice_time
    ASRUN_SPOT,           // a spot of a break: spot_id, file, break_number, position, aired; reason: its status
    ASRUN_INPUT_SWITCH,   // the channel took another of its sources: input; reason: why
    ASRUN_EVENT_COUNT
};

/* One as-run line. Numbers are ASRUN_NONE and the reason empty when absent. */
struct asrun_record {
    int64_t time_ms;           // wall clock, milliseconds since the epoch (UTC)
    int event;                 // asrun_event
    int64_t splice_event_id;
    int64_t segmentation_event_id;  // a time_signal's event (then splice_event_id is absent)
    int64_t splice_time;       // effective splice time, 90 kHz
    int64_t duration;          // announced duration, 90 kHz
    int64_t pts;               // break_start: first filler key frame; break_end: returning key frame
    int64_t aired;             // break_end: 90 kHz actually replaced
    int64_t late;              // 90 kHz the cue came after its splice time (late_join, late)
    char reason[ASRUN_REASON_SIZE];
    char channel[ASRUN_CHANNEL_SIZE];  // the channel's name; empty: written as null
    char spot_id[ASRUN_SPOT_SIZE];     // spot records
    char spot_file[ASRUN_SPOT_SIZE];
    int64_t break_number;
    int64_t position;
    char why[ASRUN_WHY_SIZE];          // spot records: why it could not air; "" (left out of the line) otherwise
    int64_t ver_status;        // spot records that could not air: the verification file's status (1002, 1006, 1007)
    int64_t reencoded;         // break_start, break_end: pictures re-encoded for frame accuracy (absent: not tried)
    char fallback[ASRUN_REASON_SIZE];  // break_start, break_end: why it stayed on the key frame; empty: it did not
    char input[ASRUN_SPOT_SIZE];       // input_switch: the input taken ("main", "backup")
};

struct asrun_ctx;

/* A record of event at time_ms with every other field absent. */
asrun_record asrun_record_make(int event, int64_t time_ms);

/* "cue", "armed", ..., "ignored"; null for a value outside asrun_event. */
const char *asrun_event_name(int event);

/*
 * Writes r as one JSON object and a newline into buf (strings escaped, time
 * as "YYYY-mm-ddTHH:MM:SS.mmmZ"; a spot record also has spot_id, file,
 * break_number and position). Returns the length written; -EINVAL for a null
 * argument or an unknown event; -ENOSPC when size is too small (buf then holds
 * an empty string).
 */
int asrun_format(const asrun_record *r, char *buf, size_t size);

/*
 * Creates a writer for path, rotated every rotate_interval seconds; 0 or
 * less: one file for the run, renamed aside only at its first line if it
 * exists. Nothing is opened yet. 0 and *out set;
 * -EINVAL for a null argument or an empty path; -ENAMETOOLONG for a path too long; -ENOMEM
 * without memory.
 */
int asrun_create(asrun_ctx **out, const char *path, int rotate_interval);

/*
 * Starts a run at now_ms: moves the file an earlier run left aside, as the
 * first line of a run would, and opens the path for appending (creating
 * it), so that a file that cannot be written is known before any line is
 * due. 0; -EINVAL for a null record; the negative errno of the open.
 */
int asrun_open(asrun_ctx *a, int64_t now_ms);

/*
 * Appends r as one line, rotating first when due (by r->time_ms), with one
 * write(2) before returning (no user-space buffering). Safe from any thread. 0; -EINVAL for
 * a null argument or unknown event; a negative errno when the file cannot be
 * opened or written (the line is lost, the writer stays usable).
 */
int asrun_write(asrun_ctx *a, const asrun_record *r);

/*
 * Posts r to be appended as asrun_write does, by a thread of the writer's
 * own (started at the first post), in the order posted: the caller never
 * waits for the file system. 0; -EINVAL for a null argument or unknown
 * event; -ENOBUFS when 1000 lines wait already (this one is lost); else,
 * once for each spell of failing writes, the negative errno of the first
 * line posted earlier that could not be written, and once when the writes
 * succeed again, the number of lines the spell lost (> 0). Safe from any
 * thread.
 */
int asrun_post(asrun_ctx *a, const asrun_record *r);

/*
 * Writes the lines posted and not written yet (waiting half a second at
 * most), frees *a and clears it. 0; the number of lines still unwritten
 * when the file system held the writer longer (they are left to it, the
 * writer and its context to the process's exit); -EINVAL for a null
 * pointer or record.
 */
int asrun_destroy(asrun_ctx **a);

#endif
