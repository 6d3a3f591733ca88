/*
 * Asynchronous logger: any thread formats a line with log_printf, a single
 * writer thread appends it to the log file (opened, appended and closed per
 * line) and, unless switched off, copies it to standard error. The file is
 * renamed with a time stamp when the rotation interval has passed. A
 * logging call never waits: not for the writer, nor for another thread that
 * logs (the queue takes a line without a lock); with LOG_QUEUE_MAX_LINES
 * pending the line is dropped and counted, and the writer says so. A log
 * file that cannot be written is said once on standard error and, when it
 * takes lines again, in the file with the count of lines lost.
 */
#ifndef KESTROW_COMMON_LOG_H
#define KESTROW_COMMON_LOG_H

#include <cstdint>

#define LOG_INFO  0
#define LOG_ERROR 1
#define LOG_DEBUG 2

#define LOG_LINE_BUFFER_SIZE 128032
#define LOG_QUEUE_SLOTS      500001
#define LOG_QUEUE_MAX_LINES  128000

/*
 * Starts the writer thread. file_name empty: lines go to standard error only.
 * Otherwise the file an earlier run left is first renamed as a rotation
 * does, and file_name is opened for appending (created with its
 * directories) so that a file that cannot be written is known at once. A
 * negative interval is taken as 0. Returns 0; -EBUSY when already started or
 * stopped; the negative errno of the open; a negative errno when the queue
 * or the thread cannot be created (nothing is left running then).
 */
int log_start(const char *file_name, int rotate_interval);

/*
 * Stops the writer thread after it has written every line queued so far.
 * Returns 0; -EINVAL when the logger is not running; the lock's negative
 * errno when it cannot be taken (nothing is done then). Later logging calls
 * are dropped; they never block.
 */
int log_stop(void);

/* Sets the copy to standard error on (non-zero) or off; returns on. */
int log_set_stderr(int on);

/*
 * Formats one line "M [YYYY-mm-dd HH:MM:SS.mmm] message\n" (M: ' ', '!' or
 * '?' for LOG_INFO, LOG_ERROR, LOG_DEBUG) and queues it; the mark and the
 * local time are written by the writer thread from the time of the call.
 * Before log_start the line goes to standard error. Returns 0 whatever
 * happened to the line; never waits for another thread.
 */
int log_printf(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Same with a "[file:line:function] " prefix; lines above the threshold are skipped. Returns 0. */
int log_printf_src(int level, const char *file, int line, const char *function,
                   const char *fmt, ...) __attribute__((format(printf, 5, 6)));
int log_set_threshold(int level);

/* Lines a full queue dropped since the process started. */
uint64_t log_lines_dropped(void);

/* Wall-clock time in milliseconds since the epoch. */
uint64_t log_now_ms(void);

#endif
