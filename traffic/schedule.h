/*
 * A day's traffic schedule: the CCMS schedule file (MDDCCHHH.SCH) that a
 * channel's traffic system sends, one record per line, fields at fixed byte
 * positions (counted from 1, one blank between them):
 *
 *   1-3 event type (LOI insert a spot, NUL leave the break alone, REM
 *   remark, END last record), 5-8 date MMDD, 10-15 scheduled time HHMMSS,
 *   17-20 window start HHMM, 22-25 window duration HHMM, 27-29 break number
 *   in the window, 31-33 position in the break, 35-40 scheduled length
 *   HHMMSS, 42-47 aired time HHMMSS, 49-56 aired length HHMMSSCC, 58-60
 *   aired position, 62-72 spot identification, 74-77 status, 79-110
 *   advertiser, 112-131 spot name, 133-136 scheduled or fill, 138-143
 *   reserved, 145 on user defined.
 *
 * Every line is kept as read, so that the verification file gives each one
 * back in its place; an LOI or NUL line that cannot be read is reported once
 * (line and field) and left out of the breaks, the rest is used. Windows are
 * placed on the wall clock (local time) in the year that puts their date
 * nearest the time the schedule was read.
 */
#ifndef KESTROW_TRAFFIC_SCHEDULE_H
#define KESTROW_TRAFFIC_SCHEDULE_H

#include <cstddef>
#include <cstdint>

#define SCHEDULE_ID_SIZE 12          // spot identification: 11 characters and the terminator
#define SCHEDULE_PATH_SIZE 4096
#define SCHEDULE_NAME_SIZE 16        // "MDDCCHHH.SCH" and the terminator
#define SCHEDULE_MAX_BYTES (16 << 20)  // longest schedule file read
#define SCHEDULE_NONE INT64_MIN      // a time not known

enum schedule_type {
    SCHEDULE_BLANK = 0,   // an empty line
    SCHEDULE_LOI,         // insert a spot
    SCHEDULE_NUL,         // leave this break alone: no splice
    SCHEDULE_REM,         // remark
    SCHEDULE_END,         // last record
    SCHEDULE_UNREAD,      // a line that could not be read: written back as it came
};

/* The status written back in the verification file (bytes 74-77). */
enum schedule_status {
    SCHEDULE_STATUS_OPEN = 0,          // 0000: not decided yet (as in the schedule)
    SCHEDULE_STATUS_AIRED = 1,         // 0001: aired in full
    SCHEDULE_STATUS_TOO_SHORT = 1001,  // not started: the break was too short for it
    SCHEDULE_STATUS_UNUSABLE = 1002,   // spot file missing or unusable (not found, unreadable, unfit)
    SCHEDULE_STATUS_NO_BREAK = 1003,   // no break came in the window
    SCHEDULE_STATUS_CANCELLED = 1004,  // the break was cancelled or skipped
    SCHEDULE_STATUS_CUT_SHORT = 1005,  // cut short: input lost, session ended, an early return
    SCHEDULE_STATUS_SHORT = 1006,      // not started: its file is shorter than the length sold
    SCHEDULE_STATUS_NOT_READY = 1007,  // not started: its file was not ready in time (not conformed or read yet)
};

struct schedule_record {
    int type;                     // schedule_type
    int line;                     // from 1
    int month, day;
    int window_start;             // minutes from midnight
    int window_minutes;
    int break_number;
    int position;                 // 0 when a NUL line gives none
    int length;                   // scheduled length, seconds
    char spot_id[SCHEDULE_ID_SIZE];  // blanks at either end left out
    int64_t window_ms;            // wall clock at the window's start, ms since the epoch
    /* What aired: written back into the verification file. */
    int64_t aired_ms;             // wall clock of its first picture at the output; SCHEDULE_NONE: not aired
    int64_t air_pts;              // 90 kHz of that picture while aired_ms is an estimate awaiting the sender's
                                  // measure; SCHEDULE_NONE: measured, or nothing to measure
    int64_t aired_length;         // hundredths of a second
    int aired_position;
    int status;                   // schedule_status
    int unfit_status;             // planned without its spot: the status it gets when the spot does not air (0: 1002)
    int warned_status;            // the status a line said it would get before its window (0: none said)
    char *text;                   // the line as read, without its line end (owned)
};

struct schedule {
    char path[SCHEDULE_PATH_SIZE];
    int count;
    schedule_record *records;     // every line, in file order
    int crlf;                     // lines end with CR LF
    int spots;                    // LOI records that were read
};

/* One line about a schedule line that could not be read; text is valid during the call only. */
typedef void (*schedule_warn_fn)(void *opaque, const char *text);

/*
 * Reads the schedule text (size bytes) into a new schedule in *out. now_ms
 * (wall clock) chooses each date's year. Each LOI or NUL line that cannot be
 * read is reported through warn (may be null), naming its line and field.
 * 0; -EINVAL for a null argument; -ENODATA when no line is a record (empty,
 * or nothing readable); -ENOMEM without memory. On failure *out is null.
 */
int schedule_parse(const char *text, size_t size, int64_t now_ms, schedule **out, schedule_warn_fn warn,
                   void *opaque);

/* schedule_parse on the file at path (at most SCHEDULE_MAX_BYTES), path kept; also the open's -errno, -EFBIG. */
int schedule_load(const char *path, int64_t now_ms, schedule **out, schedule_warn_fn warn, void *opaque);

/* Frees *p, sets it to null. 0; -EINVAL for a null pointer or record. */
int schedule_destroy(schedule **p);

/*
 * The day's file name at wall_ms (local time): month in hexadecimal (1-C),
 * day, channel id (2 characters) and headend id (3), "MDDCCHHH.SCH". 0;
 * -EINVAL for ids of another length or with other than letters and digits;
 * -ENOSPC when buf is too small.
 */
int schedule_file_name(int64_t wall_ms, const char *channel, const char *headend, char *buf, size_t size);

/*
 * The schedule file to read at wall_ms: option itself, or, when option is
 * a folder, the day's file in it (schedule_file_name). 0; -EINVAL or
 * -ENOSPC as schedule_file_name.
 */
int schedule_day_file(const char *option, int64_t wall_ms, const char *channel, const char *headend, char *buf,
                      size_t size);

/*
 * Why a schedule option cannot work, worded for the operator, or null: no
 * spots folder, or a schedule folder without a channel id (2 letters or
 * digits) and a headend id (3). schedule: the option (a file or a folder).
 */
const char *schedule_config_error(const char *schedule, const char *spots, const char *channel,
                                  const char *headend);

/*
 * The record (index) of the window [start, start + duration) holding
 * wall_ms, the earliest starting when several do; -1 when none does.
 */
int schedule_window_at(const schedule *s, int64_t wall_ms);

/* Whether records a and b lie in the same window. */
bool schedule_same_window(const schedule_record *a, const schedule_record *b);

/*
 * The LOI and NUL records of break number n of the window of record w, in
 * position order: their indexes into out (at most max). Returns how many.
 */
int schedule_break_records(const schedule *s, int w, int n, int *out, int max);

#endif
