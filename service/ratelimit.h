/*
 * Rate-limited failure lines for loops that fail the same way over and
 * over: the first line is logged, identical repeats are only counted, and
 * the count is logged every RATELIMIT_PERIOD_US while they go on. A
 * different line (or ratelimit_flush) first logs the count still pending.
 */
#ifndef KESTROW_SERVICE_RATELIMIT_H
#define KESTROW_SERVICE_RATELIMIT_H

#include <cstdint>

#define RATELIMIT_PERIOD_US 5000000
#define RATELIMIT_LINE_SIZE 512

/* Zero-filled is a valid, empty limiter. One thread uses it. */
struct ratelimit {
    char line[RATELIMIT_LINE_SIZE];  // the last line logged in full
    int level;
    int64_t repeats;                 // identical lines since the last report
    int64_t reported_at;             // µs, monotonic
};

/*
 * Formats the line and logs it at level, unless it equals the last one:
 * then it is counted, and "<line> (repeated N times in S s)" is logged once
 * the period has passed since the last report. Returns 1 when a line was
 * logged, 0 when it was only counted.
 */
int ratelimit_log(ratelimit *rl, int64_t now_us, int level, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* Logs the count of repeats not yet reported, if any, and forgets the line. */
void ratelimit_flush(ratelimit *rl, int64_t now_us);

#endif
