/*
 * Test hooks of the logger. The product never calls these; tests use them to
 * make rotation deterministic and to hold back or wait for the writer thread.
 */
#ifndef KESTROW_COMMON_LOG_INTERNAL_H
#define KESTROW_COMMON_LOG_INTERNAL_H

#include <ctime>

/* Clock the writer uses for rotation decisions and rotated names; null = time(). */
void log_set_time_source(time_t (*now)(void));

/* Non-zero: the writer takes no line until released (log_stop still drains). */
void log_pause_writer(int paused);

/*
 * Waits until every line queued so far has been written. Returns 0, -ETIMEDOUT
 * after timeout_ms, -EINVAL when the logger is not running.
 */
int log_flush(int timeout_ms);

#endif
